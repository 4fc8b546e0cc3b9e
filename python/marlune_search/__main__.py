"""``python -m marlune_search``: the same command line as ``marlune-search``."""

import sys

from .cli import main

if __name__ == "__main__":
    sys.exit(main())
