"""orvane: compact PCM audio containers and CD-rip verification checksums."""

from __future__ import annotations

from pathlib import Path

__all__ = ["get_include"]


def get_include() -> str:
    """Return the folder holding the C header of the pcm module.

    Put it on the include path of native code that uses the exported
    interface (``#include <orvane/pcm.h>``).
    """
    return str(Path(__file__).resolve().parent / "include")
