"""python -m quarn: the quarn command."""
import sys

from quarn.cli import main

sys.exit(main())
