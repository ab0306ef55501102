import sys

from cirrova.cli import main

sys.exit(main())
