"""Many discs at once: found under a folder, checked on any executor, kept in a database.

A disc is a folder's CUE sheet (each sheet in a folder is a disc of its
own), or, in a folder that holds no sheet, the folder's audio files in
natural name order.  The work on one disc is ``check_library_disc``: a
top-level function of paths and options that returns plain, picklable
data, so that any ``concurrent.futures.Executor`` can run it: a process
pool on this machine (``process_pool``), or the workers of a Dask cluster
(``dask_executor``), which must see the same paths.

Only the calling process looks at the files and writes the database.
Before a disc is handed out, its files' sizes and modification times are
compared with those stored: a disc whose files are unchanged is skipped.
A disc checked again is compared, track by track, with the checksums
stored of it, and each result is written in one transaction as it
arrives, so an interruption loses at most the discs still being checked.
"""

from __future__ import annotations

import multiprocessing
import os
import signal
from collections.abc import Callable, Iterable, Mapping, Sequence
from concurrent.futures import Executor, Future, ProcessPoolExecutor, as_completed
from contextlib import ExitStack
from dataclasses import dataclass, replace

from orvane.isotrak.audio import AUDIO_SUFFIXES
from orvane.isotrak.checksums import reach
from orvane.isotrak.cuesheet import is_cue_sheet
from orvane.isotrak.discs import check_disc, disc_paths, natural_key, second_v2_pass
from orvane.isotrak.errors import IncompleteDisc, LibraryError, MismatchedReference, TrackError
from orvane.isotrak.references import Reference, verify
from orvane.isotrak.results import (
    AUDIO_CHANGED,
    UNCHANGED_AUDIO,
    DiscOutcome,
    DiscResult,
    FileState,
    LibraryDisc,
    ShiftChecksums,
    Status,
    summary,
)
from orvane.isotrak.store import (
    ReferenceDatabase,
    Store,
    StoredDisc,
)

__all__ = [
    "AUDIO_CHANGED",
    "UNCHANGED_AUDIO",
    "DiscChecked",
    "DiscJob",
    "DiscOutcome",
    "LibraryDisc",
    "LibraryError",
    "Status",
    "check_library",
    "check_library_disc",
    "dask_executor",
    "default_jobs",
    "file_states",
    "find_discs",
    "ignore_interrupts",
    "process_pool",
    "scheduler_address_fault",
    "summary",
]

Path_ = str | os.PathLike[str]
def _hidden(name: str) -> bool:
    return name.startswith(".")


def find_discs(root: Path_) -> list[LibraryDisc]:
    """Every disc under ``root``, in natural name order, depth first.

    Symbolic links to folders are followed, each folder is visited once
    however many links lead to it (so a link to a folder above cannot
    loop), and hidden files and folders (names starting with ".") are
    left out.  A folder that cannot be listed is given as a disc of no
    tracks, which fails when it is checked: what it holds is not known.
    """
    top = os.path.abspath(os.fspath(root))
    if not os.path.isdir(top):
        raise LibraryError(f"{os.fspath(root)}: is not a folder")
    found: list[LibraryDisc] = []
    seen: set[tuple[int, int]] = set()
    waiting = [(top, "")]
    while waiting:
        folder, name = waiting.pop()
        try:
            status = os.stat(folder)
            if (status.st_dev, status.st_ino) in seen:
                continue
            seen.add((status.st_dev, status.st_ino))
            with os.scandir(folder) as listing:
                entries = sorted(
                    (entry for entry in listing if not _hidden(entry.name)),
                    key=lambda entry: natural_key(entry.name),
                )
        except OSError:
            found.append(LibraryDisc(folder, name or ".", top, sheet=False))
            continue
        files = [entry for entry in entries if _is_file(entry)]
        sheets = [entry for entry in files if is_cue_sheet(entry.name)]
        if sheets:
            found.extend(
                LibraryDisc(entry.path, os.path.join(name, entry.name), top, sheet=True)
                for entry in sheets
            )
        else:
            audio = tuple(
                entry.path
                for entry in files
                if os.path.splitext(entry.name)[1].lower() in AUDIO_SUFFIXES
            )
            if audio:
                found.append(LibraryDisc(folder, name or ".", top, sheet=False, tracks=audio))
        folders = [entry for entry in entries if _is_folder(entry)]
        waiting.extend((entry.path, os.path.join(name, entry.name)) for entry in reversed(folders))
    return found


def _is_file(entry: os.DirEntry[str]) -> bool:
    try:
        return entry.is_file()
    except OSError:
        return False


def _is_folder(entry: os.DirEntry[str]) -> bool:
    try:
        return entry.is_dir()
    except OSError:
        return False


def file_states(paths: Iterable[Path_]) -> tuple[FileState, ...]:
    """The size and modification time (in nanoseconds) of each file."""
    states = []
    for path in paths:
        try:
            status = os.stat(path)
        except OSError as error:
            raise TrackError(f"{os.fspath(path)}: cannot be read: {error.strerror or error}") from None
        states.append(FileState(os.fspath(path), status.st_size, status.st_mtime_ns))
    return tuple(states)


# -- the work on one disc, wherever it runs ---------------------------------------


@dataclass(frozen=True)
class DiscJob:
    """What a worker needs to check one disc: ``disc``, a CUE sheet, or the
    track files ``tracks`` in order, and the options of the checksums."""

    disc: str
    tracks: tuple[str, ...] = ()
    search: int = 0
    v2_offset: int = 0
    references: tuple[Reference, ...] = ()


@dataclass(frozen=True)
class DiscChecked:
    """What a worker gives back: the disc's checksums, or why it failed.

    A disc that failed part-way has both: the tracks finished before, and
    the error.
    """

    result: DiscResult | None
    error: str | None = None
    unverified: str | None = None


def _packed(result: DiscResult) -> DiscResult:
    """The result with every track's shifts packed into bytes, to travel
    light; tracks that could not be read are left out, as a failed disc's."""
    tracks = tuple(
        replace(track, checksums_v1=ShiftChecksums.pack(track.checksums_v1, result.search))
        for track in result.tracks
        if track.error is None
    )
    return replace(result, tracks=tracks)


def check_library_disc(job: DiscJob) -> DiscChecked:
    """Check one disc as the command line checks it (``check_disc``),
    verified against the job's references.

    Never raises for the disc's sake: a refusal, or any other fault, comes
    back as the error of a failed disc, so one bad disc cannot stop a
    library.  References of other tracks leave the disc unverified.
    """
    disc: str | tuple[str, ...] = job.tracks or job.disc
    references = job.references
    unverified = None
    while True:
        try:
            # One thread a disc: the executor already runs a disc on each core.
            result = check_disc(
                disc,
                search=job.search,
                v2_offset=job.v2_offset,
                references=references,
                warn=_ignore,
                threads=1,
            )
        except MismatchedReference as error:
            references, unverified = (), str(error)
            continue
        except IncompleteDisc as error:
            return DiscChecked(_packed(error.results), str(error))
        except TrackError as error:
            return DiscChecked(None, str(error))
        except Exception as error:  # a fault of this disc, reported with it
            return DiscChecked(None, f"{job.disc}: {type(error).__name__}: {error}")
        if result.failed:
            # A disc with a track that could not be read failed, as one that
            # ended part-way: the tracks read are kept.
            return DiscChecked(_packed(result), result.failed[0].error)
        return DiscChecked(_packed(result), unverified=unverified)


def _ignore(message: str) -> None:
    pass


def ignore_interrupts() -> None:
    """A worker process's initializer: Ctrl-C is for the coordinating
    process to handle, which stops the workers itself."""
    signal.signal(signal.SIGINT, signal.SIG_IGN)


def default_jobs() -> int:
    """The cores this process may run on."""
    if hasattr(os, "process_cpu_count"):
        return os.process_cpu_count() or 1
    if hasattr(os, "sched_getaffinity"):
        return len(os.sched_getaffinity(0))
    return os.cpu_count() or 1


def process_pool(jobs: int | None = None) -> ProcessPoolExecutor:
    """A pool of ``jobs`` worker processes (default: the cores) for the discs.

    The workers start from a server process that has imported this
    package once (forkserver), where the system offers one, else afresh
    (spawn); they ignore Ctrl-C (``ignore_interrupts``).
    """
    context: multiprocessing.context.BaseContext
    if "forkserver" in multiprocessing.get_all_start_methods():
        forkserver = multiprocessing.get_context("forkserver")
        forkserver.set_forkserver_preload([__name__])
        context = forkserver
    else:
        context = multiprocessing.get_context("spawn")
    return ProcessPoolExecutor(
        jobs or default_jobs(), mp_context=context, initializer=ignore_interrupts
    )


# Seconds to wait for a Dask scheduler to answer before giving up.
CONNECT_TIMEOUT = 20


def scheduler_address_fault(address: str) -> str | None:
    """What is wrong with a Dask scheduler's address, or None (needs distributed)."""
    from distributed.comm import parse_address
    from distributed.comm.registry import get_backend

    try:
        scheme, location = parse_address(address, strict=False)
        get_backend(scheme)
    except ValueError as error:
        return f"{address}: not a Dask scheduler address: {error}"
    return None if location else f"{address!r}: not a Dask scheduler address: it names no host"


def dask_executor(address: str) -> tuple[Executor, Callable[[], None]]:
    """An executor on the Dask scheduler at ``address``, and what closes it.

    Needs the ``distributed`` package (``pip install 'orvane[dask]'``).
    """
    try:
        from distributed import Client
    except ImportError:
        raise LibraryError(
            "a Dask scheduler needs the distributed package: pip install 'orvane[dask]'"
        ) from None
    # Checked first: a Client refused for its address lingers at exit, and
    # one given no address starts a cluster of its own.
    fault = scheduler_address_fault(address)
    if fault is not None:
        raise LibraryError(fault)
    try:
        client = Client(address, set_as_default=False, timeout=CONNECT_TIMEOUT)
    except (OSError, TimeoutError, ValueError) as error:
        raise LibraryError(f"{address}: cannot reach the Dask scheduler: {error}") from None
    # Not pure: each disc is checked afresh, never taken from a cache.
    executor: Executor = client.get_executor(pure=False)
    return executor, client.close


# -- the library ------------------------------------------------------------------------


def _compare(result: DiscResult, before: DiscResult | None) -> tuple[tuple[str | None, ...], bool]:
    """Each track's change against the stored checksums, and whether the
    disc's audio changed (a track's checksums, or the set of tracks)."""
    if before is None:
        return (None,) * len(result.tracks), False
    stored = {track.number: track for track in before.tracks}
    same_v2 = before.v2_offset == result.v2_offset
    changes: list[str | None] = []
    for track in result.tracks:
        old = stored.get(track.number)
        same = (
            old is not None
            and old.frames == track.frames
            and old.checksum_v1 == track.checksum_v1
            and (not same_v2 or old.checksum_v2 == track.checksum_v2)
        )
        changes.append(UNCHANGED_AUDIO if same else AUDIO_CHANGED)
    changed = AUDIO_CHANGED in changes or set(stored) != {t.number for t in result.tracks}
    return tuple(changes), changed


def _unchanged(stored: StoredDisc | None, files: Sequence[FileState], search: int, v2_offset: int) -> bool:
    """Whether the stored checksums still answer: same files, enough shifts."""
    return (
        stored is not None
        and stored.result is not None
        and stored.status != "failed"
        and stored.files == tuple(files)
        and stored.result.search >= search
        and stored.result.v2_offset == v2_offset
    )


def _narrowed(result: DiscResult, search: int) -> DiscResult:
    if result.search == search:
        return result
    # The stored words, sliced: no Python int is made for the shifts dropped.
    tracks = tuple(
        replace(
            track,
            checksums_v1=ShiftChecksums.pack(track.checksums_v1, result.search).narrowed(search),
        )
        for track in result.tracks
    )
    return replace(result, tracks=tracks, search=search)


def _disc_files(disc: LibraryDisc) -> tuple[FileState, ...]:
    # A folder disc without tracks could not be listed: disc_paths says why.
    return file_states(disc.tracks or disc_paths(disc.path))


def check_library(
    discs: Path_ | Iterable[LibraryDisc],
    executor: Executor,
    db: Path_,
    *,
    search: int = 0,
    v2_offset: int = 0,
    recheck: bool = False,
    expect_db: Path_ | None = None,
    progress: Callable[[DiscOutcome], object] | None = None,
) -> list[DiscOutcome]:
    """Check a library's discs on ``executor`` and keep the results in ``db``.

    discs: the library's root folder, or the discs ``find_discs`` found.
    executor: any concurrent.futures.Executor; the caller owns it.
    db: the SQLite database, made when missing.
    search, v2_offset: as for ``check_disc``.
    recheck: check every disc, even those whose files are as stored.
    expect_db: another scan's database, whose stored checksums serve as
        references: each disc is verified against the disc of the same
        name (path relative to the library root) there.
    progress: called with each disc's outcome as it is recorded.

    Returns one DiscOutcome per disc, in the order of ``discs``.  Raises
    StoreError for a database that cannot be used (another scan holds it,
    or it belongs to something else), LibraryError for a root that is not
    a folder, ValueError for bad options.  When interrupted
    (KeyboardInterrupt), the discs not yet recorded are cancelled and the
    interruption goes on; those recorded stay.
    """
    reach(search, v2_offset)
    listed = find_discs(discs) if isinstance(discs, (str, os.PathLike)) else list(discs)
    outcomes: list[DiscOutcome | None] = [None] * len(listed)
    with ExitStack() as stack:
        store = stack.enter_context(Store(db))
        references = None
        if expect_db is not None:
            references = stack.enter_context(ReferenceDatabase(expect_db))
        roots = {disc.root for disc in listed}
        options = {
            "search": search,
            "v2_offset": v2_offset,
            "recheck": recheck,
            "expect_db": None if expect_db is None else os.fsdecode(expect_db),
            "executor": type(executor).__name__,
        }
        run = store.start_run(roots.pop() if len(roots) == 1 else None, options)

        def finish(index: int, outcome: DiscOutcome, files: Sequence[FileState] = ()) -> None:
            store.record(run, replace(outcome, files=tuple(files)))
            outcomes[index] = outcome
            if progress is not None:
                progress(outcome)

        def lost(index: int, error: Exception) -> None:
            # Not recorded: the disc itself may be fine, and is checked next time.
            disc = listed[index]
            outcome = DiscOutcome(disc, "failed", error=f"{disc.path}: not checked: {error}")
            outcomes[index] = outcome
            if progress is not None:
                progress(outcome)

        pending: dict[
            Future[DiscChecked], tuple[int, tuple[FileState, ...], StoredDisc | None, str | None]
        ] = {}
        try:
            for index, disc in enumerate(listed):
                try:
                    files = _disc_files(disc)
                except TrackError as error:
                    finish(index, DiscOutcome(disc, "failed", error=str(error)))
                    continue
                stored = store.stored(disc.path)
                reference, unverified = None, None
                if references is not None:
                    reference = references.reference(disc.name)
                    if reference is None:
                        unverified = f"{disc.name}: not in {references.name}"
                if not recheck and _unchanged(stored, files, search, v2_offset):
                    assert stored is not None and stored.result is not None
                    outcome = DiscOutcome(disc, "skipped", _narrowed(stored.result, search))
                    if reference is not None:
                        outcome = _verified(outcome, reference)
                    finish(index, replace(outcome, unverified=unverified or outcome.unverified))
                    continue
                job = DiscJob(
                    disc.path, disc.tracks, search, v2_offset, () if reference is None else (reference,)
                )
                try:
                    pending[executor.submit(check_library_disc, job)] = (
                        index,
                        files,
                        stored,
                        unverified,
                    )
                except Exception as error:  # the executor is broken or shut down
                    lost(index, error)
            for future in as_completed(list(pending)):
                index, files, stored, unverified = pending.pop(future)
                disc = listed[index]
                try:
                    checked = future.result()
                except Exception as error:  # the executor lost it: a worker died
                    lost(index, error)
                    continue
                before = stored.result if stored is not None else None
                files_changed = before is not None and stored is not None and stored.files != files
                if checked.result is None:
                    finish(index, DiscOutcome(disc, "failed", error=checked.error))
                    continue
                changes, changed = _compare(checked.result, before)
                status: Status = "failed" if checked.error else "changed" if changed else "checked"
                outcome = DiscOutcome(
                    disc,
                    status,
                    checked.result,
                    changes,
                    files_changed,
                    checked.error,
                    verification=None if checked.error else checked.result.verification,
                    unverified=None if checked.error else unverified or checked.unverified,
                )
                finish(index, outcome, files)
        finally:
            for future in pending:
                future.cancel()
        store.finish_run(run)
    return [outcome for outcome in outcomes if outcome is not None]


def _verified(outcome: DiscOutcome, reference: Reference) -> DiscOutcome:
    """A skipped disc's stored checksums verified, as check_disc verifies:
    a second version 2 pass reads the disc again when one is needed."""
    assert outcome.result is not None
    disc = outcome.disc

    def v2_at(shifts: Mapping[int, int]) -> Mapping[int, int]:
        return second_v2_pass(disc.tracks or disc.path, shifts)

    try:
        try:
            return replace(outcome, verification=verify(outcome.result, [reference], v2_at))
        except IncompleteDisc:
            return replace(outcome, verification=verify(outcome.result, [reference]))
    except MismatchedReference as error:
        return replace(outcome, unverified=str(error))
