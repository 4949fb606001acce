"""How checking a disc reports trouble: refusals and warnings.

A refusal is an exception whose message names what was refused (a file, a
track, a sheet) and says what is wrong with it.  A warning does not stop
the work: it is handed, as one line of text, to the ``warn`` callable that
the caller gave, or else issued through the warnings module.
"""

from __future__ import annotations

import warnings
from collections.abc import Callable
from typing import TYPE_CHECKING

if TYPE_CHECKING:
    from orvane.isotrak.results import DiscResult

__all__ = ["IncompleteDisc", "IsotrakWarning", "TrackError", "Warn", "issue_warning"]

# Takes one warning: a line of text that names what it is about.
Warn = Callable[[str], None]


class TrackError(ValueError):
    """A track that cannot be checked.

    It is unreadable, is not 2-channel 16-bit PCM, has another sample rate
    than the rest of the disc, or holds another number of frames than it
    announced.  The message names the track.
    """


class IncompleteDisc(TrackError):
    """A disc whose reading failed part-way.

    The message names the source that failed and why; ``results`` holds
    the tracks whose checksums were finished before the failure.
    """

    def __init__(self, message: str, results: DiscResult) -> None:
        super().__init__(message)
        self.results = results


class IsotrakWarning(UserWarning):
    """Something about a disc that does not stop it being checked."""


def issue_warning(message: str) -> None:
    """The default ``warn``: issue the message through the warnings module."""
    warnings.warn(message, IsotrakWarning, stacklevel=3)
