"""orvane: compact PCM audio containers and CD-rip verification checksums."""

from __future__ import annotations

import os
from typing import TYPE_CHECKING

__all__ = ["get_include"]

# Written by the build from pyproject.toml; read on first use (__getattr__ below).
__version__: str


def get_include() -> str:
    """Return the folder holding the C headers of the pcm module.

    Put it on the include path of native code that uses the exported
    interface (``#include <orvane/pcm_import.h>``).
    """
    # An editable install keeps the Python sources in the source tree and
    # what the build installs (the native modules and these headers)
    # elsewhere: the package's path names both folders.
    for folder in __path__:
        include = os.path.join(os.path.realpath(folder), "include")
        if os.path.isfile(os.path.join(include, "orvane", "pcm.h")):
            return include
    raise FileNotFoundError(f"the C headers of orvane are not installed in {list(__path__)}")


if not TYPE_CHECKING:
    # Hidden from type checkers, which would otherwise type every unknown
    # attribute of the package as this function's result.
    def __getattr__(name: str) -> str:
        # pyproject.toml holds the only copy of the version; the build
        # writes it into _version.py, and it is read on first use.
        if name == "__version__":
            from orvane._version import version

            globals()["__version__"] = version
            return version
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
