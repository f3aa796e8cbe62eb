"""`python -m vantoresk_archive`: the `vantoresk` command line."""

import sys

from .cli import main

if __name__ == "__main__":
    sys.exit(main())
