"""``python -m morva``: the same command as the ``morva`` script."""

import sys

from morva.cli import main

if __name__ == "__main__":
    sys.exit(main())
