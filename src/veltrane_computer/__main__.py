"""``python -m veltrane_computer``: the ``veltrane`` command line."""

import sys

from .cli import main

sys.exit(main())
