"""``python -m orvane.isotrak`` runs the rip verification tool."""

import sys

from orvane.isotrak.cli import main

sys.exit(main())
