"""The Isotrak rip verification checksums of a beets library's albums.

Enabled with ``plugins: isotrak`` in beets' configuration.  ``beet isotrak
[QUERY]`` checks each matching album as a disc, its items in disc and track
order, each disc of a multi-disc album alone, through the tool's own
``check_disc``.  Each item keeps its checksums as flexible attributes:
``isotrak_v1`` and ``isotrak_v2`` (eight hex digits, at read shift 0) and
``isotrak_checked`` (when they were last found).  A later run reports the
items whose audio changed since, and keeps what they had, so the change is
reported until the audio is put back or the attributes are removed
(``beet modify isotrak_v1! isotrak_v2! ...``).

``--expect FILE`` verifies each disc against a reference as the tool
does; ``-j N`` checks N discs at once in processes.  With
``isotrak: {auto: yes}`` each imported album is checked as it is imported.

The exit status is the tool's: 0 when all is well, 1 when a disc could not
be checked, else 3 when an item's audio changed or a disc did not match.
"""

from __future__ import annotations

import os
import sys
import time
from collections.abc import Iterable, Sequence
from concurrent.futures import Executor, ProcessPoolExecutor
from dataclasses import dataclass
from itertools import groupby
from optparse import Values
from typing import Any, ClassVar

from beets import ui
from beets.dbcore import types
from beets.exceptions import UserError
from beets.library import Album, Item, Library
from beets.plugins import BeetsPlugin
from beets.ui import Subcommand
from beets.util.color import colorize

from orvane.isotrak import DiscResult, IsotrakError, Reference, check_disc, read_reference
from orvane.isotrak.discs import natural_key
from orvane.isotrak.report import verdict_line

EXIT_DONE, EXIT_REFUSED, EXIT_MISMATCH = 0, 1, 3


@dataclass(frozen=True)
class _Disc:
    """One disc of an album: how it is named in messages, and its items in order."""

    name: str
    items: tuple[Item, ...]

    @property
    def paths(self) -> list[str]:
        return [os.fsdecode(item.path) for item in self.items]


def album_discs(album: Album) -> list[_Disc]:
    """The album's discs, each its items in track order (untagged ones by
    their file names, as the tool orders a folder)."""
    items = sorted(
        album.items(),
        key=lambda item: (item.disc or 0, item.track or 0, natural_key(os.fsdecode(item.path))),
    )
    groups = [(disc, tuple(group)) for disc, group in groupby(items, lambda item: item.disc or 0)]
    if len(groups) == 1:
        return [_Disc(str(album), groups[0][1])]
    return [_Disc(f"{album} (disc {disc})", group) for disc, group in groups]


def check_paths(paths: Sequence[str], references: Sequence[Reference]) -> DiscResult | str:
    """A disc's checksums, or the one line that says why it cannot be checked
    (a top-level function, for the processes of ``-j``)."""
    try:
        return check_disc(list(paths), references=references)
    except IsotrakError as error:
        return str(error)


def _hex(value: int) -> str:
    return f"{value:08x}"


class IsotrakPlugin(BeetsPlugin):
    """``beet isotrak``, and the checks of imported albums."""

    item_types: ClassVar[dict[str, types.Type[Any, Any]]] = {
        "isotrak_v1": types.STRING,
        "isotrak_v2": types.STRING,
        "isotrak_checked": types.DATE,
    }

    def __init__(self) -> None:
        super().__init__()
        self.config.add({"auto": False})
        if self.config["auto"].get(bool):
            self.register_listener("album_imported", self._imported)

    def commands(self) -> list[Subcommand]:
        command = Subcommand(
            "isotrak", help="compute and keep the Isotrak checksums of albums, and verify them"
        )
        command.parser.add_option(
            "--expect", action="append", default=[], metavar="FILE",
            help="verify against the checksums of FILE, a reference (repeatable)",
        )  # fmt: skip
        command.parser.add_option(
            "-j", "--jobs", type="int", default=1, metavar="N", help="check N discs at once"
        )
        command.func = self._command
        return [command]

    def _command(self, lib: Library, options: Values, arguments: list[str]) -> None:
        if options.jobs < 1:
            raise UserError(f"-j must be 1 or more, not {options.jobs}")
        try:
            references = [read_reference(path) for path in options.expect]
        except IsotrakError as error:
            raise UserError(str(error)) from None
        discs = [disc for album in lib.albums(arguments) for disc in album_discs(album)]
        if options.jobs == 1 or len(discs) < 2:
            status = self._check(discs, references, None)
        else:
            with ProcessPoolExecutor(min(options.jobs, len(discs))) as executor:
                status = self._check(discs, references, executor)
        if status != EXIT_DONE:
            sys.exit(status)

    def _imported(self, lib: Library, album: Album) -> None:
        self._check(album_discs(album), [], None)

    def _check(
        self, discs: Sequence[_Disc], references: Sequence[Reference], executor: Executor | None
    ) -> int:
        """Check the discs, store and report what they hold; the exit status."""
        work = [(disc.paths, references) for disc in discs]
        if executor is None:
            results: Iterable[DiscResult | str] = (check_paths(*task) for task in work)
        else:
            results = executor.map(check_paths, *zip(*work))
        failed = changed = False
        for disc, result in zip(discs, results):
            if isinstance(result, str):
                ui.print_(f"{colorize('text_error', disc.name)}: {result}")
                failed = True
                continue
            for track in result.failed:
                ui.print_(f"{colorize('text_error', disc.name)}: {track.error}")
                failed = True
            changed |= self._store(disc, result)
            if result.verification is not None:
                matched = result.verification.matched
                shown = colorize("text_success" if matched else "text_error", disc.name)
                ui.print_(f"{shown}: {verdict_line(result.verification)}")
                changed |= not matched
        return EXIT_REFUSED if failed else EXIT_MISMATCH if changed else EXIT_DONE

    def _store(self, disc: _Disc, result: DiscResult) -> bool:
        """Keep each item's checksums, reporting those that changed; whether any did."""
        now = time.time()
        changed: list[Item] = []
        for item, track in zip(disc.items, result.tracks):
            if track.error is not None:
                continue  # reported with the disc
            v1, v2 = _hex(track.checksums_v1[0]), _hex(track.checksum_v2)
            kept = item.get("isotrak_v1"), item.get("isotrak_v2")
            if kept[0] is not None and kept != (v1, v2):
                since = time.strftime("%Y-%m-%d %H:%M", time.localtime(item["isotrak_checked"]))
                ui.print_(f"{colorize('text_error', str(item))}: audio changed since {since}")
                changed.append(item)
                continue
            item["isotrak_v1"], item["isotrak_v2"], item["isotrak_checked"] = v1, v2, now
            item.store()
        if not changed:
            self._log.info("{}: {} tracks checked", disc.name, len(result.tracks) - len(result.failed))
        return bool(changed)
