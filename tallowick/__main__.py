"""python -m tallowick: the tallowick command where it is not installed as
one (a built tree, or an interpreter without the console script)."""

import sys

from tallowick.command import main

if __name__ == "__main__":
    sys.exit(main())
