"""orvane: compact PCM audio containers and CD-rip verification checksums."""

from __future__ import annotations

import os

__all__ = ["__version__", "get_include"]

# The package's one version number: the build reads it from here.
__version__ = "0.1.0"


def get_include() -> str:
    """Return the folder holding the C header of the pcm module.

    Put it on the include path of native code that uses the exported
    interface (``#include <orvane/pcm.h>``).
    """
    return os.path.join(os.path.dirname(os.path.realpath(__file__)), "include")
