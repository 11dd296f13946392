"""python -m quorl: the quorl command."""

import sys

from quorl.cli import main

sys.exit(main())
