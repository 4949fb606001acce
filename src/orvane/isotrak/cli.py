"""The command line of the rip verification tool: ``orvane-isotrak``.

It parses the arguments, runs the same checking functions that the API
offers, and prints a table or JSON on stdout; warnings and refusals go to
stderr as one line each, and the exit status says how it went.  The
checking machinery is imported once the arguments are parsed, so that
``--help`` and ``--version`` answer at once.
"""

from __future__ import annotations

import argparse
import errno
import itertools
import os
import sys
from collections.abc import Callable, Iterable, Mapping, Sequence
from typing import TYPE_CHECKING, NamedTuple

from orvane.isotrak import library_cli

if TYPE_CHECKING:
    from orvane.isotrak.discs import DiscInput
    from orvane.isotrak.references import DiscVerification, Reference, V2At
    from orvane.isotrak.results import DiscResult

__all__ = [
    "EXIT_BAD_USAGE",
    "EXIT_DONE",
    "EXIT_INTERRUPTED",
    "EXIT_MISMATCH",
    "EXIT_REFUSED",
    "PROG",
    "main",
]

PROG = "orvane-isotrak"

EXIT_DONE = 0  # every track matched its references, or none were given
EXIT_REFUSED = 1  # a file or reference was refused or could not be read
EXIT_BAD_USAGE = 2  # the arguments, or a reference's contents, are malformed
EXIT_MISMATCH = 3  # some track matched no reference
EXIT_INTERRUPTED = 130  # Ctrl-C

_EPILOG = """\
A read shift S means the track as read S frames later: the version 1 checksum
at shift +6 is that of this rip's audio moved 6 frames towards the disc's end.
A drive's read offset moves all tracks alike, so a rip whose every track
matches a reference at the same shift S was read with an offset S frames off
the reference's.

A reference (--expect FILE, repeatable: each file is one earlier rip) is one
of: this tool's own --json output; a text file of lines "TRACK V1 [V2]" with
checksums as 8 hexadecimal digits ('#' comments and blank lines allowed); or
JSON {"tracks": [{"track": 1, "checksums": [{"v1": ..., "v2": ..., "count": 12}]}]}
with candidate checksum pairs and how many rips agree on each (the confidence).

examples:
  orvane-isotrak --search 2000 --expect earlier.json "Disc Image.cue"
  orvane-isotrak --library ~/Music --db library.db

exit status:
  0  done: every track matched a reference (or no --expect was given)
  1  a file or reference was refused or could not be read
  2  bad usage, or a malformed reference
  3  some track matched no reference
  130  interrupted

library mode (--library ROOT --db FILE): 1 when a disc failed, else 3 when a
disc's audio changed or a disc did not match --expect-db, else 0.
"""


def _version() -> str:
    from orvane import __version__

    return __version__


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=PROG,
        description="Compute the Isotrak rip verification checksums of a disc's tracks, "
        "and verify them against the checksums of earlier rips.",
        epilog=_EPILOG,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.add_argument(
        "tracks",
        nargs="*",
        metavar="TRACK",
        help="the disc's track files in order (WAV, FLAC, ...), or one CUE sheet, "
        "folder or image file",
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
        "--expect",
        action="append",
        default=[],
        metavar="FILE",
        help="verify against the checksums of FILE, a reference (repeatable; see below)",
    )
    parser.add_argument(
        "--json", action="store_true", help="print JSON with the checksums of every shift"
    )
    parser.add_argument(
        "--demo",
        action="store_true",
        help="write a small demo disc of three WAV tracks to a temporary folder and check it",
    )
    parser.add_argument("--version", action="version", version=f"%(prog)s {_version()}")
    library_cli.add_arguments(parser)
    return parser


def _progress_bar(total: int) -> tuple[Callable[[int], object] | None, Callable[[], None]]:
    """A bar on stderr for a terminal, drawn only once the work lasts a while."""
    if not sys.stderr.isatty():
        return None, lambda: None
    from tqdm import tqdm

    bar = tqdm(total=total, unit="frame", unit_scale=True, file=sys.stderr, delay=0.5, leave=False)
    return bar.update, bar.close


def _say(kind: str, message: str) -> None:
    from orvane.isotrak.report import shown_name

    print(f"{PROG}: {kind}: {shown_name(message)}", file=sys.stderr)


def _print_warning(message: str) -> None:
    _say("warning", message)


def _rereadable(disc: DiscInput) -> bool:
    """Whether the disc's files can be read a second time (no pipes)."""
    if isinstance(disc, (str, os.PathLike)):
        return os.path.isfile(disc) or os.path.isdir(disc)
    if isinstance(disc, list):
        return all(isinstance(item, (str, os.PathLike)) and os.path.isfile(item) for item in disc)
    return False


class _Checked(NamedTuple):
    disc: DiscResult
    verification: DiscVerification | None


def _check(
    args: argparse.Namespace, disc: DiscInput, references: Sequence[Reference]
) -> _Checked:
    """Check and verify the disc, with a progress bar."""
    from orvane.isotrak.discs import check_disc

    bar: list[Callable[[], None]] = []

    def total(frames: int) -> None:
        update, close = _progress_bar(frames)
        bar.append(close)
        if update is not None:
            progress.append(update)

    progress: list[Callable[[int], object]] = []
    try:
        result = check_disc(
            disc,
            search=args.search,
            v2_offset=args.v2_offset,
            references=references,
            progress=lambda frames: [update(frames) for update in progress],
            progress_total=total,
            warn=_print_warning,
        )
    finally:
        for close in bar:
            close()
    return _Checked(result, result.verification)


def _output(args: argparse.Namespace, checked: _Checked) -> Iterable[str]:
    from orvane.isotrak.report import format_table, json_chunks

    if args.json:
        # Written as it is made: a wide search's JSON is far larger than its results.
        return json_chunks(checked.disc, checked.verification)
    return [format_table(checked.disc, sorted(set(args.show_shift) - {0}), checked.verification)]


def _demo(args: argparse.Namespace, references: Sequence[Reference]) -> _Checked:
    import tempfile
    from pathlib import Path

    from orvane.isotrak.demo import write_demo_disc
    from orvane.isotrak.audio import open_audio

    with tempfile.TemporaryDirectory(prefix="orvane-demo-") as folder:
        paths = write_demo_disc(Path(folder))
        print(f"checking a generated demo disc of {len(paths)} WAV tracks", file=sys.stderr)
        sources = [open_audio(path, path.name) for path in paths]
        return _check(args, sources, references)


def _arguments(argv: Sequence[str] | None) -> argparse.Namespace:
    parser = _parser()
    args = parser.parse_args(argv)
    from orvane.isotrak.checksums import MAX_SHIFT
    from orvane.isotrak.report import shown_name

    if not 0 <= args.search <= MAX_SHIFT:
        parser.error(f"--search must be from 0 to {MAX_SHIFT}")
    if abs(args.v2_offset) > MAX_SHIFT:
        parser.error(f"--v2-offset must be from -{MAX_SHIFT} to {MAX_SHIFT}")
    for shift in args.show_shift:
        if abs(shift) > args.search:
            parser.error(
                f"--show-shift {shift} is outside the searched shifts -{args.search}..+{args.search}"
            )
    if args.library is not None:
        library_cli.check_usage(args, parser)
        return args
    library_cli.refuse_library_options(args, parser)
    if args.demo == bool(args.tracks):
        parser.error("give the tracks to check, a CUE sheet or a folder, or --demo")
    if len(args.tracks) > 1:
        for track in args.tracks:
            if track.lower().endswith(".cue") or os.path.isdir(track):
                parser.error(f"{shown_name(track)}: a CUE sheet or a folder must be given alone")
    return args


def _run(args: argparse.Namespace) -> int:
    if args.library is not None:
        return library_cli.run(args, lambda text: _write([text]), _say)
    from orvane.isotrak.errors import IncompleteDisc, TrackError
    from orvane.isotrak.references import BadReference, MalformedReference, read_reference

    try:
        references = [read_reference(path) for path in args.expect]
    except BadReference as error:
        _say("error", str(error))
        return EXIT_BAD_USAGE if isinstance(error, MalformedReference) else EXIT_REFUSED
    try:
        checked = _demo(args, references) if args.demo else _check(args, args.tracks, references)
    except IncompleteDisc as error:
        if error.results.tracks:
            _write(_output(args, _Checked(error.results, None)))
        _say("error", str(error))
        return EXIT_REFUSED
    except (TrackError, BadReference) as error:  # a reference here is for another disc
        _say("error", str(error))
        return EXIT_REFUSED
    _write(_output(args, checked))
    if checked.verification is not None and not checked.verification.matched:
        return EXIT_MISMATCH
    return EXIT_DONE


def _write(chunks: Iterable[str]) -> None:
    """Write the output whole, piece by piece, and a newline; or raise.

    A buffered write to a pipe whose reader has gone can take only part of
    the data and say so by its count alone; writing the rest raises.
    """
    stdout = sys.stdout
    buffer = getattr(stdout, "buffer", None)
    if buffer is None:
        for text in chunks:
            stdout.write(text)
        stdout.write("\n")
        stdout.flush()
        return
    stdout.flush()
    # What the output encoding cannot take is written escaped, never refused.
    for text in itertools.chain(chunks, ["\n"]):
        data = memoryview(text.encode(stdout.encoding, "backslashreplace"))
        while data:
            written = buffer.write(data)
            if not written:
                raise OSError(errno.EIO, "the output takes no more data")
            data = data[written:]
    buffer.flush()


def main(argv: Sequence[str] | None = None) -> int:
    """Run the command line; return the exit status (see the module's EXIT_ names)."""
    try:
        return _run(_arguments(argv))
    except KeyboardInterrupt:
        print(f"{PROG}: interrupted", file=sys.stderr)
        return EXIT_INTERRUPTED
    except BrokenPipeError:
        # The reader went away (| head): say nothing more; Python would
        # otherwise fail again flushing stdout at exit.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return EXIT_REFUSED
    except OSError as error:
        if error.errno in (errno.ENOSPC, errno.EIO, errno.EFBIG, errno.EDQUOT):
            _say("error", f"cannot write the output: {error.strerror}")
            return EXIT_REFUSED
        raise
