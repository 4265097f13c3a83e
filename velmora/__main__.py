"""``python -m velmora`` runs the demo (see ``python -m velmora --help``)."""

import sys

from velmora._demo import main

if __name__ == "__main__":
    sys.exit(main())
