"""python -m cellkit: the cellkit command."""

import sys

from ._cli import main

sys.exit(main())
