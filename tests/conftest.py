import os
import sys

# Run against the source tree when the modules were built in place.
ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
if os.path.exists(os.path.join(ROOT, "cirrova", "base.py")) and os.environ.get("CIRROVA_INSTALLED") != "1":
    sys.path.insert(0, ROOT)
