"""The command line of library mode: ``orvane-isotrak --library ROOT --db FILE``.

It turns the options into an executor (a process pool, or a Dask
scheduler's workers), runs ``check_library`` with a progress bar on a
terminal, and prints what it found: a line for each disc that failed,
changed or did not match its reference, and a summary, or all of it as
JSON.  The exit status says the worst that was found.
"""

from __future__ import annotations

import argparse
import importlib.util
import json
import sys
from collections.abc import Callable, Sequence
from contextlib import nullcontext
from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    from concurrent.futures import Executor

    from orvane.isotrak.library import DiscOutcome

# The options are read on every start of the command line, the library
# machinery (processes, the database, Dask) is imported only for a run.

__all__ = [
    "add_arguments",
    "check_usage",
    "exit_status",
    "refuse_library_options",
    "run",
]

# Exit statuses: as for one disc, with a changed disc counted as a mismatch.
EXIT_DONE, EXIT_FAILED, EXIT_MISMATCH, EXIT_INTERRUPTED = 0, 1, 3, 130

_LIBRARY_OPTIONS = {
    "db": "--db",
    "jobs": "--jobs",
    "scheduler": "--scheduler",
    "recheck": "--recheck",
    "expect_db": "--expect-db",
}


def add_arguments(parser: argparse.ArgumentParser) -> None:
    group = parser.add_argument_group(
        "library mode",
        "check every disc under a folder and keep the results in an SQLite database;\n"
        "a rescan skips the discs whose files are unchanged",
    )
    group.add_argument(
        "--library",
        metavar="ROOT",
        help="check every disc under ROOT: each CUE sheet, and each folder of audio files "
        "that holds no sheet",
    )
    group.add_argument("--db", metavar="FILE", help="the library's database (made when missing)")
    group.add_argument(
        "--jobs",
        type=int,
        metavar="N",
        help="check N discs at once in worker processes (default: as many as the cores)",
    )
    group.add_argument(
        "--scheduler",
        metavar="ADDRESS",
        help="send the discs to the workers of a running Dask scheduler instead "
        "(they must see the same paths; needs orvane[dask])",
    )
    group.add_argument(
        "--recheck", action="store_true", help="check every disc, also those whose files are unchanged"
    )
    group.add_argument(
        "--expect-db",
        metavar="FILE",
        help="verify each disc against the checksums another scan stored in FILE "
        "(discs matched by their path relative to the root)",
    )


def refuse_library_options(args: argparse.Namespace, parser: argparse.ArgumentParser) -> None:
    """Refuse the options of library mode given without --library."""
    for attribute, option in _LIBRARY_OPTIONS.items():
        if getattr(args, attribute) not in (None, False):
            parser.error(f"{option} needs --library ROOT")


def check_usage(args: argparse.Namespace, parser: argparse.ArgumentParser) -> None:
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
    if args.jobs is not None and args.scheduler is not None:
        parser.error("--jobs and --scheduler exclude each other")
    if args.jobs is not None and args.jobs < 1:
        parser.error("--jobs must be at least 1")
    if args.scheduler is not None:
        if importlib.util.find_spec("distributed") is None:
            parser.error("--scheduler needs the distributed package: pip install 'orvane[dask]'")
        from orvane.isotrak.library import scheduler_address_fault

        from orvane.isotrak.report import shown_name

        fault = scheduler_address_fault(args.scheduler)
        if fault is not None:
            parser.error(f"--scheduler {shown_name(fault)}")


def _duration(seconds: float) -> str:
    whole = int(seconds)
    return f"{whole // 3600}:{whole // 60 % 60:02d}:{whole % 60:02d}"


def _audio_seconds(outcome: DiscOutcome) -> float:
    result = outcome.result
    if result is None or outcome.status == "skipped":
        return 0.0
    return sum(track.frames for track in result.tracks) / result.sample_rate


class _Progress:
    """A bar over the discs and the audio checked, on stderr when it is a terminal."""

    def __init__(self, total: int, say: Callable[[str, str], None]) -> None:
        self._say = say
        self._bar: Any = None
        self._audio = 0.0
        if sys.stderr.isatty():
            from tqdm import tqdm

            self._bar = tqdm(total=total, unit="disc", file=sys.stderr, delay=0.5, leave=False)

    def update(self, outcome: DiscOutcome) -> None:
        if outcome.status != "skipped" and outcome.result is not None:
            # Above the bar, which is drawn again below them.
            with self._bar.external_write_mode() if self._bar is not None else nullcontext():
                for warning in outcome.result.warnings:
                    self._say("warning", warning)
        if self._bar is not None:
            self._audio += _audio_seconds(outcome)
            self._bar.set_postfix_str(f"{_duration(self._audio)} of audio", refresh=False)
            self._bar.update(1)

    def close(self) -> None:
        if self._bar is not None:
            self._bar.close()


def _stop(executor: Executor) -> None:
    """Stop a process pool's workers now, not after the discs they hold."""
    from concurrent.futures import ProcessPoolExecutor

    if not isinstance(executor, ProcessPoolExecutor):
        return
    terminate = getattr(executor, "terminate_workers", None)  # Python 3.14
    if terminate is not None:
        terminate()
        return
    for process in list((getattr(executor, "_processes", None) or {}).values()):
        process.terminate()
    executor.shutdown(wait=True, cancel_futures=True)


def run(args: argparse.Namespace, write: Callable[[str], None], say: Callable[[str, str], None]) -> int:
    """Library mode of the command line; returns the exit status.

    ``write`` puts the output on stdout, ``say(kind, message)`` a line on
    stderr.  Ctrl-C stops the workers and goes on as KeyboardInterrupt.
    """
    from orvane.isotrak.library import (
        LibraryError,
        check_library,
        dask_executor,
        default_jobs,
        find_discs,
        process_pool,
    )
    from orvane.isotrak.store import StoreError

    executor: Executor | None = None
    close: Callable[[], object] = lambda: None
    progress: _Progress | None = None
    try:
        discs = find_discs(args.library)
        if args.scheduler is not None:
            executor, close = dask_executor(args.scheduler)
        else:
            pool = process_pool(args.jobs or default_jobs())
            executor, close = pool, pool.shutdown
        progress = _Progress(len(discs), say)
        outcomes = check_library(
            discs,
            executor,
            args.db,
            search=args.search,
            v2_offset=args.v2_offset,
            recheck=args.recheck,
            expect_db=args.expect_db,
            progress=progress.update,
        )
    except KeyboardInterrupt:
        if executor is not None:
            _stop(executor)
        raise
    except (LibraryError, StoreError) as error:
        say("error", str(error))
        return EXIT_FAILED
    finally:
        if progress is not None:
            progress.close()
        close()
    from orvane.isotrak.report import library_document, library_report

    references = args.expect_db is not None
    if args.json:
        write(json.dumps(library_document(outcomes, references), indent=2))
    else:
        write(library_report(outcomes))
    return exit_status(outcomes)


def exit_status(outcomes: Sequence[DiscOutcome]) -> int:
    """1 when a disc failed, else 3 when audio changed or a verification
    failed, else 0."""
    if any(outcome.status == "failed" for outcome in outcomes):
        return EXIT_FAILED
    if any(outcome.status == "changed" or outcome.verified is False for outcome in outcomes):
        return EXIT_MISMATCH
    return EXIT_DONE
