"""How the verifier reports trouble: one family of refusals, one route for warnings.

Every refusal is an ``IsotrakError`` (a ValueError) whose message names
what was refused (a file, a track, a sheet, a reference, a database) and
says what is wrong with it.  A warning does not stop the work: it is one
line of text given to ``warn``, which hands it to whoever gathers the
warnings of the disc being checked, or else to the warnings module.
"""

from __future__ import annotations

import threading
import warnings
from collections.abc import Callable, Iterator
from contextlib import contextmanager
from contextvars import ContextVar
from typing import TYPE_CHECKING

if TYPE_CHECKING:
    from orvane.isotrak.results import DiscResult

__all__ = [
    "AmbiguousDisc",
    "BadReference",
    "CueError",
    "IncompleteDisc",
    "IsotrakError",
    "IsotrakWarning",
    "LibraryError",
    "MalformedReference",
    "MismatchedReference",
    "StoreError",
    "TrackError",
    "UnreadableReference",
    "UsageError",
    "Warn",
    "gathering",
    "issue_warning",
    "warn",
]

# Takes one warning: a line of text that names what it is about.
Warn = Callable[[str], None]


class IsotrakError(ValueError):
    """Something given to the verifier that it refuses; the message names it."""


class TrackError(IsotrakError):
    """A track that cannot be checked.

    It is unreadable, is not 2-channel 16-bit PCM, has another sample rate
    than the rest of the disc, or holds another number of frames than it
    announced.  The message names the track.
    """


class CueError(TrackError):
    """A CUE sheet that cannot be read: "<sheet>: line N: <what is wrong>"."""


class IncompleteDisc(TrackError):
    """A disc whose reading failed part-way.

    The message names the source that failed and why; ``results`` holds
    the tracks whose checksums were finished before the failure.
    """

    def __init__(self, message: str, results: DiscResult) -> None:
        super().__init__(message)
        self.results = results


class UsageError(IsotrakError):
    """Options that do not go together, or a value out of its range."""


class AmbiguousDisc(TrackError, UsageError):
    """A disc named so that it could be more than one: a folder of several
    CUE sheets, or one track given twice (the same file, or one track in
    two formats).  The message names the files."""


class BadReference(IsotrakError):
    """A reference that cannot be used; the message names its file."""


class UnreadableReference(BadReference):
    """A reference file that cannot be read, or is not UTF-8 text."""


class MalformedReference(BadReference):
    """A reference in none of the accepted forms; the message names the
    file and its line, or the JSON path, of the first fault."""


class MismatchedReference(BadReference):
    """A reference for another disc: other tracks than the disc's."""


class StoreError(IsotrakError):
    """A database that cannot be used; the message names the file."""


class LibraryError(IsotrakError):
    """A library that cannot be scanned as asked; the message says why."""


class IsotrakWarning(UserWarning):
    """Something about a disc that does not stop it being checked."""


def issue_warning(message: str) -> None:
    """Issue a warning through the warnings module, as an IsotrakWarning."""
    warnings.warn(message, IsotrakWarning, stacklevel=3)


class _Gathered:
    """The warnings of one disc: kept, and given to ``deliver`` once released."""

    def __init__(self, deliver: Warn) -> None:
        self.given: list[str] = []
        self._deliver = deliver
        self._held: list[str] | None = []
        self._lock = threading.Lock()

    def __call__(self, message: str) -> None:
        with self._lock:
            self.given.append(message)
            if self._held is not None:
                self._held.append(message)
                return
        self._deliver(message)

    def release(self) -> None:
        """Deliver what was held, and from now on each warning as it comes."""
        with self._lock:
            held, self._held = self._held or [], None
        for message in held:
            self._deliver(message)


_gathering: ContextVar[_Gathered | None] = ContextVar("orvane_isotrak_warnings", default=None)


def warn(message: str) -> None:
    """Give a warning: to the disc being checked, or else to the warnings module."""
    gathered = _gathering.get()
    if gathered is None:
        issue_warning(message)
    else:
        gathered(message)


@contextmanager
def gathering(deliver: Warn | None = None) -> Iterator[_Gathered]:
    """Gather the warnings given in this context (and in the threads that
    run a copy of it), held back until ``release()`` and then delivered."""
    gathered = _Gathered(deliver or issue_warning)
    token = _gathering.set(gathered)
    try:
        yield gathered
    finally:
        _gathering.reset(token)
