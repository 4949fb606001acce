"""The command line of the rip verification tool: ``orvane-isotrak``.

It parses the arguments, runs the same checking functions that the API
offers, and prints a table or JSON on stdout; refusals go to stderr as one
line each, with a documented exit status.
"""

from __future__ import annotations

import argparse
import json
import os
import sys
import tempfile
from collections.abc import Callable, Sequence
from pathlib import Path

from orvane.isotrak.checksums import MAX_CLI_SHIFT, disc_checksums
from orvane.isotrak.results import TrackResult
from orvane.isotrak.errors import TrackError
from orvane.isotrak.sources import open_track

__all__ = ["format_json", "format_table", "main"]


def _hex(value: int) -> str:
    return f"{value:08X}"


def _shift_label(shift: int) -> str:
    return f"v1 {shift:+d}"


def format_table(results: Sequence[TrackResult], show_shifts: Sequence[int] = ()) -> str:
    """Lay the results out as a table: one row per track, checksums in hex."""
    header = ["track", "file", "frames", "v1", *(_shift_label(s) for s in show_shifts), "v2"]
    rows = [header]
    for result in results:
        rows.append(
            [
                str(result.number),
                result.name,
                str(result.frames),
                _hex(result.checksum_v1),
                *(_hex(result.checksums_v1[s]) for s in show_shifts),
                _hex(result.checksum_v2),
            ]
        )
    widths = [max(len(row[column]) for row in rows) for column in range(len(header))]
    lines = []
    for row in rows:
        # The file names read best left-aligned, the numbers right-aligned.
        cells = [
            cell.ljust(width) if column == 1 else cell.rjust(width)
            for column, (cell, width) in enumerate(zip(row, widths))
        ]
        lines.append("  ".join(cells).rstrip())
    return "\n".join(lines)


def format_json(
    results: Sequence[TrackResult], sample_rate: int, search: int, v2_offset: int
) -> str:
    """Lay the results out as JSON, every version 1 shift included."""
    document = {
        "sample_rate": sample_rate,
        "search": search,
        "v2_offset": v2_offset,
        "tracks": [
            {
                "track": result.number,
                "file": result.name,
                "frames": result.frames,
                "v1": result.checksum_v1,
                "v1_by_shift": {str(shift): value for shift, value in result.checksums_v1.items()},
                "v2": result.checksum_v2,
            }
            for result in results
        ],
    }
    return json.dumps(document, indent=2)


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="orvane-isotrak",
        description="Compute the Isotrak rip verification checksums of a disc's tracks.",
        epilog="Checksums are shown in hexadecimal in the table and as integers in JSON.",
    )
    parser.add_argument(
        "tracks",
        nargs="*",
        metavar="TRACK",
        help="the disc's tracks in order (WAV, or FLAC etc. with soundfile)",
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


def _run(
    args: argparse.Namespace, paths: Sequence[str | os.PathLike[str]], names: Sequence[str]
) -> str:
    def warn(message: str) -> None:
        print(f"orvane-isotrak: warning: {message}", file=sys.stderr)

    sources = [open_track(path, name, warn=warn) for path, name in zip(paths, names)]
    total = sum(source.frames for source in sources)
    update, close = _progress_bar(total)
    try:
        results = disc_checksums(
            sources, search=args.search, v2_offset=args.v2_offset, progress=update
        )
    finally:
        close()
    if args.json:
        return format_json(results, sources[0].sample_rate, args.search, args.v2_offset)
    return format_table(results, sorted(set(args.show_shift) - {0}))


def main(argv: Sequence[str] | None = None) -> int:
    """Run the command line; return the exit status (0 done, 1 refused, 2 bad usage)."""
    parser = _parser()
    args = parser.parse_args(argv)
    if not 0 <= args.search <= MAX_CLI_SHIFT:
        parser.error(f"--search must be from 0 to {MAX_CLI_SHIFT}")
    if abs(args.v2_offset) > MAX_CLI_SHIFT:
        parser.error(f"--v2-offset must be from -{MAX_CLI_SHIFT} to {MAX_CLI_SHIFT}")
    for shift in args.show_shift:
        if abs(shift) > args.search:
            parser.error(
                f"--show-shift {shift} is outside the searched shifts -{args.search}..+{args.search}"
            )
    if args.demo == bool(args.tracks):
        parser.error("give the tracks to check, or --demo")
    try:
        if args.demo:
            from orvane.isotrak.demo import write_demo_disc

            with tempfile.TemporaryDirectory(prefix="orvane-demo-") as folder:
                paths = write_demo_disc(Path(folder))
                print(f"checking a generated demo disc of {len(paths)} WAV tracks", file=sys.stderr)
                output = _run(args, paths, [path.name for path in paths])
        else:
            output = _run(args, args.tracks, args.tracks)
    except TrackError as error:
        print(f"{parser.prog}: error: {error}", file=sys.stderr)
        return 1
    print(output)
    return 0

