"""The command line of the rip verification tool, ``orvane-isotrak``: one disc,
or with ``--library`` every disc under a folder, checked and reported.

It parses the arguments, runs the same functions that the API offers
(``check_disc``, ``check_library``), and prints a table, a report or JSON on
stdout; warnings and refusals go to stderr as one line each, and the exit
status says how it went.  The checking machinery is imported once the
arguments are parsed, so that ``--help`` and ``--version`` answer at once.
"""

from __future__ import annotations

import argparse
import errno
import importlib.util
import itertools
import os
import re
import signal
import sys
import threading
from collections.abc import Callable, Iterable, Iterator, Sequence
from contextlib import AbstractContextManager, nullcontext
from datetime import timedelta
from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    from concurrent.futures import Executor

    from orvane.isotrak.discs import DiscInput
    from orvane.isotrak.references import Reference
    from orvane.isotrak.results import DiscOutcome, DiscResult

__all__ = [
    "EXIT_BAD_USAGE",
    "EXIT_DONE",
    "EXIT_INTERRUPTED",
    "EXIT_MISMATCH",
    "EXIT_REFUSED",
    "EXIT_TERMINATED",
    "PROG",
    "main",
    "parse_duration",
]

PROG = "orvane-isotrak"

# The exit statuses of both modes, as the epilog tells them.
EXIT_DONE = 0  # every track matched its references, or none were given
EXIT_REFUSED = 1  # a file or reference was refused or could not be read (a track failed); a library's disc failed
EXIT_BAD_USAGE = 2  # the arguments, or a reference's contents, are malformed; an ambiguous disc
EXIT_MISMATCH = 3  # some track matched no reference; a library's disc changed or did not match
EXIT_INTERRUPTED = 130  # Ctrl-C
EXIT_TERMINATED = 143  # SIGTERM, handled as Ctrl-C is

# The most worker processes --jobs may ask for.
MAX_JOBS = 1024

# Seconds to wait for a Dask scheduler to answer, and then for a worker of it.
SCHEDULER_TIMEOUT = 20.0

# The search of a verification that names none: 5 CD sectors either way,
# which holds the read offset of every drive in use.
EXPECT_SEARCH = 2940

_EPILOG = """\
A read shift S means the track as read S frames later: the version 1 checksum
at shift +6 is that of this rip's audio moved 6 frames towards the disc's
start, as a drive reading 6 frames later would give it. A drive's read offset
moves all tracks alike, so when every track matches a reference at the same
shift S, the reference was read S frames later than this rip. With --expect
and no --search, shifts up to 2940 frames either way (5 CD sectors, more than
any drive's read offset) are searched.

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
  1  a file or reference was refused or could not be read, or a track failed
  2  bad usage, or a malformed reference, or a disc named ambiguously
     (a folder of several CUE sheets, a track given twice)
  3  some track matched no reference
  130  interrupted (Ctrl-C)
  143  terminated (SIGTERM): handled as Ctrl-C is

library mode (--library ROOT --db FILE): 1 when a disc failed, else 3 when a
disc's audio changed, a disc is missing or a disc did not match --expect-db,
else 0.  --report: 3 when a stored disc is changed or missing, else 0.

DURATION (--recheck-older-than): a number and a unit, s, m, h, d or w (30d,
12h, 0s), or an ISO 8601 duration (P30D, PT12H, P1DT6H).
"""


def _version() -> str:
    from orvane import __version__

    return __version__


def _parser() -> tuple[argparse.ArgumentParser, list[argparse.Action]]:
    """The parser, and the options of library mode that need --library."""
    parser = argparse.ArgumentParser(
        prog=PROG,
        description="Compute the Isotrak rip verification checksums of a disc's tracks,\n"
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
        metavar="N",
        help="compute version 1 checksums for every read shift from -N to +N frames "
        f"(default {EXPECT_SEARCH} with --expect, else 0)",
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
        "--no-hidden-file",
        dest="hidden_file",
        action="store_false",
        help="check a first track file numbered 00 (00.wav, track00.flac) as track 1, "
        "not as the hidden audio before track 1",
    )
    parser.add_argument(
        "--demo",
        action="store_true",
        help="write a small demo disc of three WAV tracks to a temporary folder and check it",
    )
    parser.add_argument("--version", action="version", version=f"%(prog)s {_version()}")
    library = parser.add_argument_group(
        "library mode",
        "check every disc under a folder and keep the results in an SQLite database;\n"
        "a rescan skips the discs whose files are unchanged",
    )
    library.add_argument(
        "--library",
        metavar="ROOT",
        help="check every disc under ROOT: each CUE sheet, and each folder of audio files "
        "that holds no sheet",
    )
    library.add_argument(
        "--db", metavar="FILE", help="the library's database (made when missing)"
    )
    library.add_argument(
        "--report",
        action="store_true",
        help="print the stored state of --db FILE (the last status of every disc), "
        "reading no audio and writing nothing",
    )
    library.add_argument(
        "--status",
        type=_statuses,
        metavar="S,...",
        help="with --report: only the discs of these statuses "
        f"({', '.join(_STORED_STATUSES)})",
    )
    needing_library = [
        library.add_argument(
            "--jobs",
            type=int,
            metavar="N",
            help=f"check N discs at once in worker processes, 1 to {MAX_JOBS} "
            "(default: as many as the cores)",
        ),
        library.add_argument(
            "--scheduler",
            metavar="ADDRESS",
            help="send the discs to the workers of a running Dask scheduler instead "
            "(they must see the same paths; needs orvane[dask])",
        ),
        library.add_argument(
            "--scheduler-timeout",
            type=float,
            metavar="SECONDS",
            help="how long to wait for the Dask scheduler to answer, and then for a worker "
            f"of it (default {SCHEDULER_TIMEOUT:g})",
        ),
        library.add_argument(
            "--verbose",
            action="store_true",
            help="let the Dask cluster library log on stderr",
        ),
        library.add_argument(
            "--recheck",
            action="store_true",
            help="check every disc, also those whose files are unchanged",
        ),
        library.add_argument(
            "--recheck-older-than",
            type=_duration_option,
            metavar="DURATION",
            help="read again the audio of discs whose last full read is older than "
            "DURATION (30d, 12h, P1DT6H), even if their files are unchanged",
        ),
        library.add_argument(
            "--accept",
            action="extend",
            nargs="+",
            metavar="PATH",
            help="make the checksums found now the known-good ones of the discs under "
            "PATH (relative to ROOT, or absolute)",
        ),
        library.add_argument(
            "--accept-all",
            action="store_true",
            help="make the checksums found now the known-good ones of every disc",
        ),
        library.add_argument(
            "--prune",
            action="store_true",
            help="drop missing discs from the database once they are reported",
        ),
        library.add_argument(
            "--expect-db",
            metavar="FILE",
            help="verify each disc against the checksums another scan stored in FILE "
            "(discs matched by their path relative to the root)",
        ),
    ]
    return parser, needing_library


# The statuses a database stores of a disc, which --report --status picks.
_STORED_STATUSES = ("checked", "changed", "failed", "missing")

_DURATION_UNITS = {"s": 1, "m": 60, "h": 3600, "d": 86400, "w": 604800}
_ISO_DURATION = re.compile(
    r"P(?:(?P<w>\d+(?:\.\d+)?)W)?(?:(?P<d>\d+(?:\.\d+)?)D)?"
    r"(?:T(?:(?P<h>\d+(?:\.\d+)?)H)?(?:(?P<m>\d+(?:\.\d+)?)M)?(?:(?P<s>\d+(?:\.\d+)?)S)?)?",
    re.IGNORECASE,
)
_SHORT_DURATION = re.compile(r"(\d+(?:\.\d+)?)\s*([smhdw])", re.IGNORECASE)


def parse_duration(text: str) -> timedelta:
    """A duration as ``30d``, ``12h``, ``0s`` or ISO 8601 (``P30D``,
    ``PT12H``; years and months are not of a fixed length, so not taken).
    Raises ValueError for anything else."""
    short = _SHORT_DURATION.fullmatch(text.strip())
    if short is not None:
        return timedelta(seconds=float(short.group(1)) * _DURATION_UNITS[short.group(2).lower()])
    iso = _ISO_DURATION.fullmatch(text.strip())
    if iso is None or not any(iso.groupdict().values()) or text.strip().upper().endswith("T"):
        raise ValueError(f"{text!r} is not a duration such as 30d, 12h or P1DT6H")
    return timedelta(
        seconds=sum(
            float(value) * _DURATION_UNITS[unit]
            for unit, value in iso.groupdict().items()
            if value is not None
        )
    )


def _duration_option(text: str) -> timedelta:
    try:
        return parse_duration(text)
    except (ValueError, OverflowError) as error:
        raise argparse.ArgumentTypeError(str(error)) from None


def _statuses(text: str) -> tuple[str, ...]:
    statuses = tuple(status.strip() for status in text.split(",") if status.strip())
    unknown = [status for status in statuses if status not in _STORED_STATUSES]
    if unknown or not statuses:
        raise argparse.ArgumentTypeError(
            f"{', '.join(unknown) or repr(text)}: not a stored status "
            f"({', '.join(_STORED_STATUSES)})"
        )
    return statuses


def _arguments(argv: Sequence[str] | None) -> argparse.Namespace:
    parser, needing_library = _parser()
    args = parser.parse_args(argv)
    from orvane.isotrak.cd import MAX_SHIFT
    from orvane.isotrak.names import is_cue_sheet
    from orvane.isotrak.report import shown_name

    if args.search is None:
        # Verifying, the drive's read offset is found without being asked for.
        args.search = EXPECT_SEARCH if args.expect else 0
    elif not 0 <= args.search <= MAX_SHIFT:
        parser.error(f"--search must be from 0 to {MAX_SHIFT}")
    if abs(args.v2_offset) > MAX_SHIFT:
        parser.error(f"--v2-offset must be from -{MAX_SHIFT} to {MAX_SHIFT}")
    for shift in args.show_shift:
        if abs(shift) > args.search:
            parser.error(
                f"--show-shift {shift} is outside the searched shifts "
                f"-{args.search}..+{args.search}; add --search {abs(shift)}"
            )
    if args.db == "":
        parser.error("--db needs a file name")
    if args.library == "":
        parser.error("--library needs a folder")
    if args.status is not None and not args.report:
        parser.error("--status goes with --report")
    if args.report:
        _check_report_usage(args, parser, needing_library)
        return args
    if args.library is not None:
        _check_library_usage(args, parser)
        return args
    if args.db is not None:
        parser.error("--db needs --library ROOT, or --report")
    for action in needing_library:
        if getattr(args, action.dest) is not None and getattr(args, action.dest) is not False:
            parser.error(f"{action.option_strings[0]} needs --library ROOT")
    if args.demo == bool(args.tracks):
        parser.error("give the tracks to check, a CUE sheet or a folder, or --demo")
    if len(args.tracks) > 1:
        for track in args.tracks:
            if is_cue_sheet(track) or os.path.isdir(track):
                parser.error(f"{shown_name(track)}: a CUE sheet or a folder must be given alone")
    return args


def _check_report_usage(
    args: argparse.Namespace, parser: argparse.ArgumentParser, needing_library: list[argparse.Action]
) -> None:
    """Refuse, through ``parser``, what does not go with --report."""
    if args.db is None:
        parser.error("--report needs --db FILE")
    if args.tracks or args.demo:
        parser.error("--report takes no tracks: it reads the database alone")
    for action in needing_library:
        if getattr(args, action.dest) not in (None, False):
            parser.error(f"{action.option_strings[0]} does not go with --report")


def _check_library_usage(args: argparse.Namespace, parser: argparse.ArgumentParser) -> None:
    """Refuse, through ``parser``, what does not go with --library."""
    if args.db is None:
        parser.error("--library needs --db FILE")
    if args.tracks:
        parser.error("--library takes no track arguments: its discs are found under ROOT")
    for given, option in ((args.demo, "--demo"), (args.show_shift, "--show-shift")):
        if given:
            parser.error(f"{option} does not go with --library")
    if args.expect:
        parser.error("--expect does not go with --library; use --expect-db")
    # Refused here rather than by a group of argparse's, whose message
    # would name neither option first.
    if args.jobs is not None and args.scheduler is not None:
        parser.error("--jobs and --scheduler exclude each other")
    if args.jobs is not None and not 1 <= args.jobs <= MAX_JOBS:
        parser.error(f"--jobs must be from 1 to {MAX_JOBS}")
    if args.scheduler_timeout is not None:
        if args.scheduler is None:
            parser.error("--scheduler-timeout needs --scheduler ADDRESS")
        # Also refuses nan and inf.
        if not 0 < args.scheduler_timeout <= 86400:
            parser.error("--scheduler-timeout must be more than 0 and at most 86400 seconds")
    if args.scheduler is not None:
        if importlib.util.find_spec("distributed") is None:
            parser.error("--scheduler needs the distributed package: pip install 'orvane[dask]'")
        from orvane.isotrak.library import scheduler_address_fault
        from orvane.isotrak.report import shown_name

        fault = scheduler_address_fault(args.scheduler, from_outside=True)
        if fault is not None:
            parser.error(f"--scheduler {shown_name(fault)}")


# -- what is shown on stderr ----------------------------------------------------------


class _Bar:
    """A progress bar on stderr, drawn only once the work lasts a while."""

    def __init__(self, unit: str, unit_scale: bool) -> None:
        self._unit = unit
        self._unit_scale = unit_scale
        self._bar: Any = None

    def start(self, total: int) -> None:
        from tqdm import tqdm

        self._bar = tqdm(
            total=total,
            unit=self._unit,
            unit_scale=self._unit_scale,
            file=sys.stderr,
            delay=0.5,
            leave=False,
        )

    def update(self, count: float, note: str | None = None) -> None:
        if self._bar is not None:
            if note is not None:
                self._bar.set_postfix_str(note, refresh=False)
            self._bar.update(count)

    def above(self) -> AbstractContextManager[object]:
        """Where a line is printed above the bar, which is drawn again below it."""
        return self._bar.external_write_mode() if self._bar is not None else nullcontext()

    def close(self) -> None:
        if self._bar is not None:
            self._bar.close()


def _progress(unit: str, *, unit_scale: bool = False) -> _Bar | None:
    """A bar for a terminal; None when stderr is not one."""
    return _Bar(unit, unit_scale) if sys.stderr.isatty() else None


def _say(kind: str, message: str, bar: _Bar | None = None) -> None:
    from orvane.isotrak.report import shown_name

    with bar.above() if bar is not None else nullcontext():
        print(f"{PROG}: {kind}: {shown_name(message)}", file=sys.stderr)


# -- one disc --------------------------------------------------------------------------


def _check(args: argparse.Namespace, disc: DiscInput, references: Sequence[Reference]) -> DiscResult:
    """check_disc, with a progress bar and the warnings on stderr."""
    from orvane.isotrak.discs import check_disc

    bar = _progress("frame", unit_scale=True)
    try:
        return check_disc(
            disc,
            search=args.search,
            v2_offset=args.v2_offset,
            references=references,
            progress=bar.update if bar is not None else None,
            progress_total=bar.start if bar is not None else None,
            warn=lambda message: _say("warning", message, bar),
            hidden_file=args.hidden_file,
        )
    finally:
        if bar is not None:
            bar.close()


def _output(args: argparse.Namespace, disc: DiscResult) -> Iterable[str]:
    from orvane.isotrak.report import format_table, json_chunks

    if args.json:
        # Written as it is made: a wide search's JSON is far larger than its results.
        return json_chunks(disc, disc.verification)
    return [format_table(disc, sorted(set(args.show_shift) - {0}), disc.verification)]


def _demo(args: argparse.Namespace, references: Sequence[Reference]) -> DiscResult:
    import tempfile
    from pathlib import Path

    from orvane.isotrak.demo import write_demo_disc
    from orvane.isotrak.audio import open_audio

    with tempfile.TemporaryDirectory(prefix="orvane-demo-") as folder:
        paths = write_demo_disc(Path(folder))
        print(f"checking a generated demo disc of {len(paths)} WAV tracks", file=sys.stderr)
        sources = [open_audio(path, path.name) for path in paths]
        return _check(args, sources, references)


def _run_disc(args: argparse.Namespace) -> int:
    from orvane.isotrak.errors import (
        AmbiguousDisc,
        BadReference,
        IncompleteDisc,
        MalformedReference,
        TrackError,
    )
    from orvane.isotrak.references import read_reference

    try:
        # A file given twice is one reference: its rips count once.
        given: dict[str, str] = {}
        for path in args.expect:
            given.setdefault(os.path.realpath(path), path)
        references = [read_reference(path) for path in given.values()]
    except BadReference as error:
        _say("error", str(error))
        return EXIT_BAD_USAGE if isinstance(error, MalformedReference) else EXIT_REFUSED
    try:
        disc = _demo(args, references) if args.demo else _check(args, args.tracks, references)
    except IncompleteDisc as error:
        if error.results.tracks:
            _write(_output(args, error.results))
        _say("error", str(error))
        return EXIT_REFUSED
    except AmbiguousDisc as error:
        _say("error", str(error))
        return EXIT_BAD_USAGE
    except (TrackError, BadReference) as error:  # a reference here is for another disc
        _say("error", str(error))
        return EXIT_REFUSED
    failed = disc.failed
    if len(failed) < len(disc.tracks):
        # A disc none of whose tracks could be read is refused, its rows untold.
        _write(_output(args, disc))
    if failed:
        for track in failed:
            _say("error", track.error or "")
        return EXIT_REFUSED
    if disc.verification is not None and not disc.verification.matched:
        return EXIT_MISMATCH
    return EXIT_DONE


# -- a library -------------------------------------------------------------------------


def _duration(seconds: float) -> str:
    whole = int(seconds)
    return f"{whole // 3600}:{whole // 60 % 60:02d}:{whole % 60:02d}"


def _audio_seconds(outcome: DiscOutcome) -> float:
    result = outcome.result
    if result is None or outcome.status == "skipped":
        return 0.0
    return sum(track.frames for track in result.tracks) / result.sample_rate


def _stop(executor: Executor) -> None:
    """Stop a process pool's workers now, not after the discs they hold."""
    from concurrent.futures import ProcessPoolExecutor

    from orvane.isotrak.library import OnDemandPool

    if isinstance(executor, OnDemandPool):
        if executor.pool is None:
            return
        executor = executor.pool
    if not isinstance(executor, ProcessPoolExecutor):
        return
    executor.shutdown(wait=False, cancel_futures=True)
    import multiprocessing

    # The pool's workers are the only processes the command line starts.
    for process in multiprocessing.active_children():
        process.terminate()


def _run_report(args: argparse.Namespace) -> int:
    """--report: the stored state of a database, read alone."""
    from orvane.isotrak.errors import StoreError
    from orvane.isotrak.report import stored_document, stored_report
    from orvane.isotrak.store import stored_states

    root = None if args.library is None else os.path.abspath(args.library)
    wanted = args.status
    states = (
        state
        for state in stored_states(args.db, root=root)
        if wanted is None or state.status in wanted
    )
    counts = dict.fromkeys(wanted or _STORED_STATUSES, 0)
    try:
        _write(stored_document(states, counts) if args.json else stored_report(states, counts))
    except StoreError as error:
        _say("error", str(error))
        return EXIT_REFUSED
    return EXIT_MISMATCH if counts.get("changed") or counts.get("missing") else EXIT_DONE


def _run_library(args: argparse.Namespace) -> int:
    """Library mode.  Ctrl-C stops the workers and goes on as KeyboardInterrupt.

    Each disc's outcome is written as it is recorded, then let go: the
    report (or the JSON) is the stream of outcomes, and only counts are kept.
    """
    from orvane.isotrak.errors import LibraryError, StoreError
    from orvane.isotrak.library import (
        OnDemandPool,
        dask_executor,
        default_jobs,
        find_discs,
        scan_library,
    )
    from orvane.isotrak.report import library_json, library_lines

    bar = _progress("disc")
    audio = 0.0
    failed = mismatch = False

    def told(outcomes: Iterable[DiscOutcome]) -> Iterator[DiscOutcome]:
        nonlocal audio, failed, mismatch
        for outcome in outcomes:
            if outcome.status != "skipped" and outcome.result is not None:
                for warning in outcome.result.warnings:
                    _say("warning", warning, bar)
            if bar is not None:
                audio += _audio_seconds(outcome)
                bar.update(0, f"{_duration(audio)} of audio")
            failed = failed or outcome.status == "failed"
            mismatch = mismatch or outcome.status in ("changed", "missing")
            mismatch = mismatch or outcome.verified is False
            yield outcome

    executor: Executor | None = None
    close: Callable[[], object] = lambda: None
    try:
        discs = find_discs(args.library)
        if args.scheduler is not None:
            executor, close = dask_executor(
                args.scheduler,
                timeout=args.scheduler_timeout or SCHEDULER_TIMEOUT,
                verbose=args.verbose,
            )
        else:
            # Started by the first disc that needs checking, if any does.
            pool = OnDemandPool(args.jobs or default_jobs())
            executor, close = pool, pool.shutdown
        if bar is not None:
            bar.start(len(discs))
        outcomes = scan_library(
            discs,
            executor,
            args.db,
            search=args.search,
            v2_offset=args.v2_offset,
            recheck=args.recheck,
            expect_db=args.expect_db,
            recheck_older_than=args.recheck_older_than,
            accept=args.accept or (),
            accept_all=args.accept_all,
            prune=args.prune,
            advance=bar.update if bar is not None else None,
            stored_results=args.json,
        )
        del discs
        # The database is opened, or refused, before anything is written.
        first = list(itertools.islice(outcomes, 1))
        stream = told(itertools.chain(first, outcomes))
        if args.json:
            _write(library_json(stream, args.expect_db is not None))
        else:
            _write(library_lines(stream))
    except KeyboardInterrupt:
        if executor is not None:
            _stop(executor)
        raise
    except (LibraryError, StoreError) as error:
        _say("error", str(error))
        return EXIT_REFUSED
    finally:
        if bar is not None:
            bar.close()
        close()
    if failed:
        return EXIT_REFUSED
    return EXIT_MISMATCH if mismatch else EXIT_DONE


# -- the output and the edge -----------------------------------------------------------


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


class _Terminated(KeyboardInterrupt):
    """SIGTERM, which ends the work as Ctrl-C does."""


def _terminate(signum: int, frame: object) -> None:
    # Once: the work being given up is not interrupted again.
    signal.signal(signal.SIGTERM, signal.SIG_IGN)
    raise _Terminated


def main(argv: Sequence[str] | None = None) -> int:
    """Run the command line; return the exit status (see the module's EXIT_ names).

    SIGTERM is handled as Ctrl-C is, with its own status, while it runs.
    """
    in_main_thread = threading.current_thread() is threading.main_thread()
    previous = signal.signal(signal.SIGTERM, _terminate) if in_main_thread else None
    try:
        return _main(argv)
    finally:
        if previous is not None:
            signal.signal(signal.SIGTERM, previous)


def _main(argv: Sequence[str] | None) -> int:
    try:
        args = _arguments(argv)
        if args.report:
            return _run_report(args)
        return _run_library(args) if args.library is not None else _run_disc(args)
    except _Terminated:
        print(f"{PROG}: terminated", file=sys.stderr)
        return EXIT_TERMINATED
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
