"""The command line of the rip verification tool: ``orvane-isotrak``.

It parses the arguments, runs the same checking functions that the API
offers, and prints a table or JSON on stdout; refusals go to stderr as one
line each, with a documented exit status.
"""

from __future__ import annotations

import argparse
import os
import sys
import tempfile
from collections.abc import Callable, Sequence
from pathlib import Path

from orvane.isotrak.checksums import MAX_SHIFT, check_layout
from orvane.isotrak.discs import DiscInput, close_sources, open_disc
from orvane.isotrak.errors import IncompleteDisc, TrackError
from orvane.isotrak.report import format_json, format_table, shown_name
from orvane.isotrak.results import DiscResult
from orvane.isotrak.sources import open_audio

__all__ = ["PROG", "main"]

PROG = "orvane-isotrak"


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=PROG,
        description="Compute the Isotrak rip verification checksums of a disc's tracks.",
        epilog="Checksums are shown in hexadecimal in the table and as integers in JSON.",
    )
    parser.add_argument(
        "tracks",
        nargs="*",
        metavar="TRACK",
        help="the disc's track files in order (WAV, or FLAC etc. with soundfile), "
        "or one CUE sheet, folder or image file",
    )
    parser.add_argument(
        "--search",
        type=int,
        default=0,
        metavar="N",
        help="compute version 1 checksums for every read shift from -N to +N frames (default 0)",
    )
    parser.add_argument(
        "--show-shift",
        type=int,
        action="append",
        default=[],
        metavar="S",
        help="add a column for the version 1 checksum at shift S (repeatable; within --search)",
    )
    parser.add_argument(
        "--v2-offset",
        type=int,
        default=0,
        metavar="O",
        help="read shift of the version 2 checksum (default 0)",
    )
    parser.add_argument(
        "--json", action="store_true", help="print JSON with the checksums of every shift"
    )
    parser.add_argument(
        "--demo",
        action="store_true",
        help="write a small demo disc of three WAV tracks to a temporary folder and check it",
    )
    return parser


def _progress_bar(total: int) -> tuple[Callable[[int], object] | None, Callable[[], None]]:
    """A bar on stderr for a terminal, drawn only once the work lasts a while."""
    if not sys.stderr.isatty():
        return None, lambda: None
    from tqdm import tqdm

    bar = tqdm(total=total, unit="frame", unit_scale=True, file=sys.stderr, delay=0.5, leave=False)
    return bar.update, bar.close


def _print_warning(message: str) -> None:
    print(f"{PROG}: warning: {message}", file=sys.stderr)


def _check(args: argparse.Namespace, disc: DiscInput) -> DiscResult:
    """Open, lay out and check the disc: the path of check_disc, with a progress bar."""
    layout, notes = open_disc(disc, warn=_print_warning)
    try:
        total = sum(piece.frames for piece in layout.pieces if piece.source is not None)
        update, close = _progress_bar(total)
        try:
            return check_layout(
                layout,
                search=args.search,
                v2_offset=args.v2_offset,
                progress=update,
                warn=_print_warning,
                warnings=notes,
            )
        finally:
            close()
    finally:
        close_sources(layout.sources)


def _output(args: argparse.Namespace, disc: DiscResult) -> str:
    if args.json:
        return format_json(disc)
    return format_table(disc, sorted(set(args.show_shift) - {0}))


def _demo(args: argparse.Namespace) -> DiscResult:
    from orvane.isotrak.demo import write_demo_disc

    with tempfile.TemporaryDirectory(prefix="orvane-demo-") as folder:
        paths = write_demo_disc(Path(folder))
        print(f"checking a generated demo disc of {len(paths)} WAV tracks", file=sys.stderr)
        sources = [open_audio(path, path.name) for path in paths]
        return _check(args, sources)


def main(argv: Sequence[str] | None = None) -> int:
    """Run the command line; return the exit status (0 done, 1 refused, 2 bad usage)."""
    parser = _parser()
    args = parser.parse_args(argv)
    if not 0 <= args.search <= MAX_SHIFT:
        parser.error(f"--search must be from 0 to {MAX_SHIFT}")
    if abs(args.v2_offset) > MAX_SHIFT:
        parser.error(f"--v2-offset must be from -{MAX_SHIFT} to {MAX_SHIFT}")
    for shift in args.show_shift:
        if abs(shift) > args.search:
            parser.error(
                f"--show-shift {shift} is outside the searched shifts -{args.search}..+{args.search}"
            )
    if args.demo == bool(args.tracks):
        parser.error("give the tracks to check, a CUE sheet or a folder, or --demo")
    if len(args.tracks) > 1:
        for track in args.tracks:
            if track.lower().endswith(".cue") or os.path.isdir(track):
                parser.error(f"{shown_name(track)}: a CUE sheet or a folder must be given alone")
    try:
        disc = _demo(args) if args.demo else _check(args, args.tracks)
    except IncompleteDisc as error:
        if error.results.tracks:
            print(_output(args, error.results))
        print(f"{PROG}: error: {error}", file=sys.stderr)
        return 1
    except TrackError as error:
        print(f"{PROG}: error: {error}", file=sys.stderr)
        return 1
    print(_output(args, disc))
    return 0
