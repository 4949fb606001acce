"""``python -m orvane`` runs the rip verification tool, the package's main job."""

import sys

from orvane.isotrak import main

sys.exit(main())
