import os
import sys

# Run against the source tree when the modules were built in place.
ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
if os.path.exists(os.path.join(ROOT, "cirrova", "base.py")) and os.environ.get("CIRROVA_INSTALLED") != "1":
    sys.path.insert(0, ROOT)


import importlib.util
import types

import pytest


@pytest.fixture(scope="session")
def s3_server():
    """One S3-protocol server for the whole run: the one CIRROVA_S3_ENDPOINT names (for instance on the host,
    when the tests run in a chroot without Node.js), else a local s3rver started here."""
    endpoint = os.environ.get("CIRROVA_S3_ENDPOINT")
    if endpoint:
        yield types.SimpleNamespace(endpoint=endpoint.rstrip("/"))
        return
    spec = importlib.util.spec_from_file_location("cirrova_s3rver", os.path.join(ROOT, "tools", "s3rver.py"))
    mod = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(mod)
    with mod.S3rver() as server:
        yield server
