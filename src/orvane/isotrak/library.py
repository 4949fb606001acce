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
compared with those stored: a disc whose files are unchanged, whose last
check was good and whose audio was read recently enough is skipped.  A
disc checked again is compared, track by track, with its known-good
checksums, and each result is written in one transaction as it arrives,
so an interruption loses at most the discs still being checked.  Stored
discs that are not found are missing, unless a new disc has their layout
and checksums: then it is the same disc, moved.
"""

from __future__ import annotations

import os
import signal
import sys
import threading
import time
from collections.abc import Callable, Iterable, Iterator, Mapping, Sequence
from concurrent.futures import (
    FIRST_COMPLETED,
    Executor,
    Future,
    InvalidStateError,
    wait,
)
from contextlib import ExitStack
from dataclasses import dataclass, replace
from datetime import UTC, datetime, timedelta
from typing import TYPE_CHECKING, Any, TypeVar

from orvane.isotrak.audio.input import is_file, reason
from orvane.isotrak.cd import reach
from orvane.isotrak.names import is_audio_name, is_cue_sheet, natural_key
from orvane.isotrak.errors import (
    IncompleteDisc,
    LibraryError,
    MismatchedReference,
    StoreError,
    TrackError,
)
from orvane.isotrak.results import (
    AUDIO_CHANGED,
    FLAC_MD5_MISMATCH,
    UNCHANGED_AUDIO,
    DiscOutcome,
    DiscResult,
    FileState,
    LibraryDisc,
    ShiftChecksums,
    Status,
    TrackResult,
    fingerprint,
    skipped_outcome,
    summary,
)

# multiprocessing is imported once a pool is made: a scan with nothing to
# check makes none.
if TYPE_CHECKING:
    import multiprocessing.context
    from concurrent.futures import ProcessPoolExecutor
    from multiprocessing.managers import SyncManager

    from orvane.isotrak.audio import TrackSource
    from orvane.isotrak.layout import DiscLayout
    from orvane.isotrak.references import Reference
    from orvane.isotrak.store import AbsentDisc, KnownDisc, StoredDisc

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
    "check_library_batch",
    "check_library_disc",
    "scan_library",
    "dask_executor",
    "default_jobs",
    "end_with",
    "file_states",
    "find_discs",
    "ignore_interrupts",
    "OnDemandPool",
    "process_pool",
    "scheduler_address_fault",
    "summary",
]

Path_ = str | os.PathLike[str]
T = TypeVar("T")


def find_discs(root: Path_) -> list[LibraryDisc]:
    """Every disc under ``root``, in natural name order, depth first.

    Symbolic links to folders are followed, each folder is visited once
    however many links lead to it (so a link to a folder above cannot
    loop), and hidden files and folders (names starting with ".") are
    left out.  A folder that cannot be listed is given as a disc of no
    tracks, which fails when it is checked: what it holds is not known.
    """
    top = os.path.abspath(os.fspath(root))
    try:
        os.stat(top)
    except FileNotFoundError:
        pass  # said below
    except OSError as error:
        raise LibraryError(f"{os.fspath(root)}: cannot be read: {reason(error)}") from None
    if not os.path.isdir(top):
        raise LibraryError(f"{os.fspath(root)}: is not a folder")
    found: list[LibraryDisc] = []
    seen: set[tuple[int, int]] = set()
    waiting = [(top, "")]
    join = os.path.join
    while waiting:
        folder, name = waiting.pop()
        try:
            status = os.stat(folder)
            if (status.st_dev, status.st_ino) in seen:
                continue
            seen.add((status.st_dev, status.st_ino))
            with os.scandir(folder) as listing:
                entries = list(listing)
        except OSError:
            found.append(LibraryDisc(folder, name or ".", top, sheet=False))
            continue
        # Each entry told once: a folder, a sheet, an audio file or neither;
        # then each kind put in natural order, which leaves the others out.
        folders, sheets, audio = [], [], []
        for entry in entries:
            file_name = entry.name
            if file_name[0] == ".":
                continue
            try:
                if entry.is_dir():
                    folders.append(entry)
                    continue
                if is_audio_name(file_name) and entry.is_file():
                    audio.append(entry)
                elif is_cue_sheet(file_name) and entry.is_file():
                    sheets.append(entry)
            except OSError:
                continue
        if sheets:
            if len(sheets) > 1:
                sheets.sort(key=_entry_key)
            found.extend(
                LibraryDisc(entry.path, join(name, entry.name), top, sheet=True) for entry in sheets
            )
        elif audio:
            if len(audio) > 1:
                audio.sort(key=_entry_key)
            tracks = tuple(entry.path for entry in audio)
            found.append(LibraryDisc(folder, name or ".", top, sheet=False, tracks=tracks))
        if len(folders) > 1:
            folders.sort(key=_entry_key)
        waiting.extend((entry.path, join(name, entry.name)) for entry in reversed(folders))
    return found


def _entry_key(entry: os.DirEntry[str]) -> list[tuple[int, int | str]]:
    return natural_key(entry.name)


def file_states(paths: Iterable[Path_]) -> tuple[FileState, ...]:
    """The size and modification time (in nanoseconds) of each file."""
    states = []
    for path in paths:
        try:
            status = os.stat(path)
        except OSError as error:
            raise TrackError(f"{os.fspath(path)}: cannot be read: {reason(error)}") from None
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
    # Where the worker puts (key, part of the disc read) as it reads: a
    # queue of a multiprocessing manager, which any worker process reaches.
    reading: tuple[Any, int] | None = None
    # Whether the worker states the disc's files (a CUE sheet the
    # coordinator has not read): found as they are before the disc is read.
    states: bool = False


class _Reading:
    """The part of a disc read, put on a queue a percent or more at a time."""

    def __init__(self, queue: Any, key: int) -> None:
        self._queue = queue
        self._key = key
        self._total = 0
        self._read = 0
        self._told = 0

    def total(self, frames: int) -> None:
        self._total = frames

    def read(self, frames: int) -> None:
        self._read += frames
        if self._total and (self._read - self._told) * 100 >= self._total:
            self._queue.put((self._key, (self._read - self._told) / self._total))
            self._told = self._read


@dataclass(frozen=True)
class DiscChecked:
    """What a worker gives back: the disc's checksums, or why it failed.

    A disc that failed part-way has both: the tracks finished before, and
    the error.
    """

    result: DiscResult | None
    error: str | None = None
    unverified: str | None = None
    damage: tuple[str, ...] = ()
    files: tuple[FileState, ...] | None = None  # when the job asked for them


def _packed(result: DiscResult) -> DiscResult:
    """The result with every track's shifts packed into bytes, to travel
    light; tracks that could not be read are left out, as a failed disc's."""
    tracks = tuple(_packed_track(track, result.search) for track in result.tracks if track.error is None)
    return replace(result, tracks=tracks)


def _packed_track(track: TrackResult, search: int) -> TrackResult:
    packed = ShiftChecksums.pack(track.checksums_v1, search)
    # A checksum's shifts come packed already: no copy of the track for them.
    return track if packed is track.checksums_v1 else replace(track, checksums_v1=packed)


def check_library_disc(job: DiscJob) -> DiscChecked:
    """Check one disc as the command line checks it (``check_disc``),
    verified against the job's references; with the job's ``states``, the
    sizes and times of its files are found before its audio is read, and
    given back.

    Never raises for the disc's sake: a refusal, or any other fault, comes
    back as the error of a failed disc, so one bad disc cannot stop a
    library.  References of other tracks leave the disc unverified.
    """
    if not job.states:
        return _check_library_disc(job)
    checked, files = None, None
    if not job.tracks and is_cue_sheet(job.disc) and is_file(job.disc):
        # A sheet's files are those the check opens: stated then, before
        # their audio is read, the sheet is read once.
        stated = _SheetStates(job.disc)
        checked = _check_library_disc(job, stated)
        files = stated.files
    if files is None:
        # Not a sheet, or refused before its files were open: they are
        # found as disc_paths finds them.
        from orvane.isotrak.discs import disc_paths

        try:
            files = file_states(disc_paths(job.tracks or job.disc))
        except TrackError as error:
            return DiscChecked(None, str(error))
        except Exception as error:  # a fault of this disc, reported with it
            return DiscChecked(None, f"{job.disc}: {type(error).__name__}: {error}")
    return replace(checked if checked is not None else _check_library_disc(job), files=files)


class _SheetStates:
    """The states of a sheet and of the files it was opened with (as
    ``disc_paths`` finds them: the sheet, then the files in the stream)."""

    def __init__(self, sheet: str) -> None:
        self._sheet = sheet
        self.files: tuple[FileState, ...] | None = None

    def __call__(self, layout: DiscLayout) -> None:
        from pathlib import Path

        from orvane.isotrak.audio.base import AudioFile

        self.files = None
        paths = [source.path for source in layout.sources if isinstance(source, AudioFile)]
        if len(paths) == len(layout.sources):  # files opened by path, as a sheet's are
            self.files = file_states([Path(self._sheet), *paths])


def _check_library_disc(
    job: DiscJob, opened: Callable[[DiscLayout], object] | None = None
) -> DiscChecked:
    from orvane.isotrak.discs import check_disc

    disc: str | tuple[str, ...] = job.tracks or job.disc
    references = job.references
    unverified = None
    reading = None if job.reading is None else _Reading(*job.reading)
    sources: list[TrackSource] = []

    def on_open(layout: DiscLayout) -> None:
        sources[:] = layout.sources
        if opened is not None:
            opened(layout)

    while True:
        try:
            # One thread a disc: the executor already runs a disc on each core.
            result = check_disc(
                disc,
                search=job.search,
                v2_offset=job.v2_offset,
                references=references,
                progress=None if reading is None else reading.read,
                progress_total=None if reading is None else reading.total,
                warn=_ignore,
                threads=1,
                opened=on_open,
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
        try:
            damage, warnings = _flac_damage(sources)
        except TrackError as error:
            return DiscChecked(_packed(result), str(error))
        if warnings:
            result = replace(result, warnings=result.warnings + warnings)
        return DiscChecked(_packed(result), unverified=unverified, damage=damage)


def _flac_damage(sources: Sequence[TrackSource]) -> tuple[tuple[str, ...], tuple[str, ...]]:
    """What the MD5s of a disc's FLAC files say: the files whose audio
    does not match, and the warnings of their sample counts.  A file's
    audio is hashed as the checksums read it; one that was not read whole
    in order is decoded again."""
    from orvane.isotrak.audio.libsndfile import SoundFileAudio, flac_md5

    damage, warnings = [], []
    for source in sources:
        if not isinstance(source, SoundFileAudio):
            continue  # only soundfile opens a file that starts as FLAC does
        path = source.path
        try:
            with open(path, "rb") as file:
                if file.read(4) != b"fLaC":
                    continue
        except OSError:
            continue  # read by check_disc a moment ago; a fault now is told by the next scan
        md5 = source.decoded_md5
        decoded = None if md5 is None else (md5, source.frames)
        matched, warning = flac_md5(path, os.fspath(path), decoded, source.streaminfo)
        if matched is False:
            damage.append(f"{os.fspath(path)}: {FLAC_MD5_MISMATCH}")
        if warning is not None:
            warnings.append(warning)
    return tuple(damage), tuple(warnings)


def check_library_batch(jobs: Sequence[DiscJob]) -> tuple[DiscChecked, ...]:
    """Check a batch of discs one after another (``check_library_disc``):
    one task for many small discs, so that a task's cost is not that of
    its messages."""
    return tuple(check_library_disc(job) for job in jobs)


def _ignore(message: str) -> None:
    pass


def ignore_interrupts() -> None:
    """Ctrl-C in a worker process is for the coordinating process to
    handle, which stops the workers itself."""
    signal.signal(signal.SIGINT, signal.SIG_IGN)


def _start_worker(coordinator: int) -> None:
    """A worker process's initializer: it ignores Ctrl-C, and ends as soon
    as the coordinating process ``coordinator`` ends, however that ends
    (kill -9 included), even in the middle of a disc."""
    ignore_interrupts()
    end_with(coordinator)


def end_with(pid: int) -> None:
    """End this process (exit status 1) as soon as process ``pid`` ends.

    A daemon thread waits on a descriptor of that process (a pidfd, which
    becomes readable when it ends), else asks every half second whether
    it is still there.  Its parent is no sign: a worker's parent is the
    forkserver, which may outlive the coordinator for a moment.
    """
    try:
        handle: int | None = os.pidfd_open(pid)
    except ProcessLookupError:
        os._exit(1)
    except (AttributeError, OSError):  # no pidfd on this system
        handle = None

    def watch() -> None:
        if handle is not None:
            import select  # in a worker only

            select.select([handle], [], [])
        else:
            while _alive(pid):
                time.sleep(0.5)
        os._exit(1)

    threading.Thread(target=watch, name="orvane-watch-coordinator", daemon=True).start()


def _alive(pid: int) -> bool:
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    except PermissionError:  # there, but another user's: the pid was reused
        return False
    return True


def default_jobs() -> int:
    """The cores this process may run on."""
    if hasattr(os, "process_cpu_count"):
        return os.process_cpu_count() or 1
    if hasattr(os, "sched_getaffinity"):
        return len(os.sched_getaffinity(0))
    return os.cpu_count() or 1


def _start_helpers(context: multiprocessing.context.BaseContext) -> None:
    """Start multiprocessing's helper processes (the resource tracker, and
    the forkserver) with their output on the null device.

    Each ends once the last process holding its pipe has ended, that is
    just after the coordinator and the workers; till then, holding our
    stdout or stderr, it would keep a caller that reads them waiting, and
    the tracker would write there of the semaphores it frees.
    """
    from multiprocessing import forkserver, resource_tracker

    try:
        saved = [os.dup(1), os.dup(2)]
    except OSError:  # no stdout or stderr to keep free
        saved = []
    devnull = os.open(os.devnull, os.O_WRONLY)
    try:
        for stream in (sys.stdout, sys.stderr):
            if stream is not None:
                stream.flush()
        if saved:
            os.dup2(devnull, 1)
            os.dup2(devnull, 2)
        resource_tracker.ensure_running()
        if context.get_start_method() == "forkserver":
            forkserver.ensure_running()
    finally:
        for fd, original in zip((1, 2), saved):
            os.dup2(original, fd)
            os.close(original)
        os.close(devnull)


def process_pool(jobs: int | None = None) -> ProcessPoolExecutor:
    """A pool of ``jobs`` worker processes (default: the cores) for the discs.

    The workers start from a server process that has imported this
    package once (forkserver), where the system offers one, else afresh
    (spawn); they ignore Ctrl-C (``ignore_interrupts``), and each ends when
    the process that made the pool ends, however it ends (``end_with``).
    """
    from concurrent.futures import ProcessPoolExecutor

    context = _start_method()
    _start_helpers(context)
    return ProcessPoolExecutor(
        jobs or default_jobs(),
        mp_context=context,
        initializer=_start_worker,
        initargs=(os.getpid(),),
    )


# Work the calling process does itself before it starts anything: a scan
# with less to check than this starts no process at all.
INLINE_SECONDS = 0.03
# How long the forkserver takes to start (a fresh interpreter importing the
# checking code); the calling process goes on checking meanwhile.
BOOT_SECONDS = 0.1
# A batch of more audio than this is never checked in the calling process:
# it goes to the workers at once.
INLINE_BYTES = 16 * 2**20


class OnDemandPool(Executor):
    """A process pool (``process_pool``) started only when there is enough
    work for one: a scan with nothing to check, or little, starts no process.

    The first tasks run in the calling process, one after another, till
    they have taken ``inline_seconds``; then the forkserver (or what
    multiprocessing starts workers from) starts in the background, tasks
    still run here while it does (``BOOT_SECONDS``), and from then on they
    go to the pool.  ``submit_to_workers`` sends a task to the pool at once.
    """

    def __init__(self, jobs: int | None = None, *, inline_seconds: float | None = None) -> None:
        self._jobs = jobs
        self._inline_seconds = INLINE_SECONDS if inline_seconds is None else inline_seconds
        self._spent = 0.0
        self._booted: float | None = None  # when the forkserver was started
        self.pool: ProcessPoolExecutor | None = None

    def submit(self, fn: Callable[..., T], /, *args: Any, **kwargs: Any) -> Future[T]:
        if self.pool is None:
            if self._booted is None and self._spent >= self._inline_seconds:
                self._boot()
            if self._booted is None or time.monotonic() - self._booted < BOOT_SECONDS:
                return self._run_here(fn, args, kwargs)
        return self.submit_to_workers(fn, *args, **kwargs)

    def submit_to_workers(self, fn: Callable[..., T], /, *args: Any, **kwargs: Any) -> Future[T]:
        """Send a task to the pool, made now if it is not yet."""
        if self.pool is None:
            self.pool = process_pool(self._jobs)
        return self.pool.submit(fn, *args, **kwargs)

    def _run_here(self, fn: Callable[..., T], args: Any, kwargs: Any) -> Future[T]:
        future: Future[T] = Future()
        began = time.perf_counter()
        try:
            future.set_result(fn(*args, **kwargs))
        except Exception as error:  # the task's own failure, as a worker would give it
            future.set_exception(error)
        finally:
            self._spent += time.perf_counter() - began
        return future

    def _boot(self) -> None:
        # Nothing waits for it: a scan that ends before it is used leaves it
        # to end with this process.
        _start_helpers(_start_method())
        self._booted = time.monotonic()

    def shutdown(self, wait: bool = True, *, cancel_futures: bool = False) -> None:
        if self.pool is not None:
            self.pool.shutdown(wait=wait, cancel_futures=cancel_futures)


def _is_process_pool(executor: Executor) -> bool:
    if isinstance(executor, OnDemandPool):
        return True
    process = sys.modules.get("concurrent.futures.process")  # not imported: no pool was made
    return process is not None and isinstance(executor, process.ProcessPoolExecutor)


def _manager() -> SyncManager:
    """A started multiprocessing manager whose server process ends, as the
    workers do, when this process ends, however it ends."""
    from multiprocessing.managers import SyncManager

    manager = SyncManager(ctx=_start_method())
    manager.start(end_with, (os.getpid(),))
    return manager


def _start_method() -> multiprocessing.context.BaseContext:
    """How worker processes start: from a server process that has imported
    this package once (forkserver), where the system offers one, else afresh."""
    import multiprocessing

    if "forkserver" in multiprocessing.get_all_start_methods():
        forkserver = multiprocessing.get_context("forkserver")
        # What the work on a disc needs, and no more: not the database.
        forkserver.set_forkserver_preload([__name__, "orvane.isotrak.discs"])
        return forkserver
    return multiprocessing.get_context("spawn")


# Seconds to wait for a Dask scheduler to answer, and then for a worker of it.
CONNECT_TIMEOUT = 20.0

# Schemes of distributed whose addresses are a host and a port over TCP.
_TCP_SCHEMES = ("tcp", "tls", "ws", "wss")


def scheduler_address_fault(address: str, *, from_outside: bool = False) -> str | None:
    """What is wrong with a Dask scheduler's address, or None (needs distributed).

    The address must name a scheme that distributed knows and, for one
    over TCP, a host and a port from 1 to 65535; a TLS scheme needs the
    certificates in Dask's configuration.  ``from_outside``: the address
    is for another process, which an inproc:// address cannot name.
    """
    from distributed.comm import parse_address
    from distributed.comm.addressing import parse_host_port
    from distributed.comm.registry import get_backend

    def fault(what: str) -> str:
        return f"{address}: not a Dask scheduler address: {what}"

    try:
        scheme, location = parse_address(address, strict=False)
        get_backend(scheme)
    except ValueError as error:
        return fault(str(error))
    if not location:
        return fault("it names no host")
    if scheme == "inproc" and from_outside:
        return fault("an inproc:// address names a scheduler inside the same process")
    if scheme in _TCP_SCHEMES:
        try:
            host, port = parse_host_port(location)
        except ValueError as error:
            if "invalid literal" in str(error):  # int() of the port
                return fault("its port is not a number")
            return fault(str(error))
        if not host:
            return fault("it names no host")
        if not 0 < port < 65536:
            return fault(f"port {port} is outside 1 to 65535")
        if scheme in ("tls", "wss") and not _tls_configured():
            return (
                f"{address}: a {scheme}:// scheduler needs TLS certificates in Dask's "
                "configuration (distributed.comm.tls), and none are set"
            )
    return None


def _tls_configured() -> bool:
    from distributed.security import Security

    try:
        return Security().get_connection_args("client").get("ssl_context") is not None
    except Exception:  # a configuration that does not load is no configuration
        return False


def _probe(address: str, timeout: float) -> None:
    """Refuse at once a TCP scheduler that nothing listens for, or that
    does not answer within ``timeout``: distributed would retry for the
    whole timeout, then linger at exit."""
    import socket

    from distributed.comm import parse_address
    from distributed.comm.addressing import parse_host_port

    scheme, location = parse_address(address, strict=False)
    if scheme not in _TCP_SCHEMES:
        return
    host, port = parse_host_port(location)
    try:
        socket.create_connection((host.strip("[]"), port), timeout=timeout).close()
    except TimeoutError:
        raise LibraryError(
            f"{address}: cannot reach the Dask scheduler: no answer within {timeout:g} s"
        ) from None
    except OSError as error:
        raise LibraryError(f"{address}: cannot reach the Dask scheduler: {reason(error)}") from None


def _quiet_cluster_logging() -> None:
    """Keep distributed's logging (and that of the libraries it runs on)
    off stderr: what matters to the user is said by the tool itself."""
    import logging

    families = ("distributed", "tornado", "bokeh", "asyncio")
    # distributed gives several of its loggers a handler of their own.
    names = [name for name in logging.root.manager.loggerDict if name.split(".")[0] in families]
    for name in {*families, *names}:
        logger = logging.getLogger(name)
        for handler in list(logger.handlers):
            logger.removeHandler(handler)
        logger.addHandler(logging.NullHandler())
        logger.propagate = False


class _ClusterExecutor(Executor):
    """A Dask client's executor whose lost discs say why they were lost.

    distributed cancels the futures of a scheduler it lost, which says
    nothing; here they fail with a LibraryError that says so.
    """

    def __init__(self, client: Any, address: str) -> None:
        self._client = client
        self._address = address
        # Not pure: each disc is checked afresh, never taken from a cache.
        self._executor: Executor = client.get_executor(pure=False)

    def submit(self, fn: Callable[..., T], /, *args: Any, **kwargs: Any) -> Future[T]:
        inner = self._executor.submit(fn, *args, **kwargs)
        outer: Future[T] = Future()

        def relay(done: Future[T]) -> None:
            try:
                if done.cancelled():
                    outer.set_exception(LibraryError(self._lost()))
                elif (error := done.exception()) is not None:
                    outer.set_exception(error)
                else:
                    outer.set_result(done.result())
            except InvalidStateError:  # cancelled here meanwhile
                pass

        def cancel(done: Future[T]) -> None:
            if done.cancelled():
                inner.cancel()

        outer.add_done_callback(cancel)
        inner.add_done_callback(relay)
        return outer

    def _lost(self) -> str:
        if self._client.status != "running":
            return f"the Dask scheduler at {self._address} was lost"
        return f"the Dask scheduler at {self._address} cancelled it"

    def shutdown(self, wait: bool = True, *, cancel_futures: bool = False) -> None:
        self._executor.shutdown(wait=wait)


def dask_executor(
    address: str, *, timeout: float = CONNECT_TIMEOUT, verbose: bool = False
) -> tuple[Executor, Callable[[], None]]:
    """An executor on the Dask scheduler at ``address``, and what closes it.

    ``timeout`` bounds, in seconds, the wait for the scheduler to answer
    and then for it to have a worker; past it a LibraryError says which.
    distributed's own logging stays off stderr unless ``verbose``.  Needs
    the ``distributed`` package (``pip install 'orvane[dask]'``).
    """
    try:
        from distributed import Client
    except ImportError:
        raise LibraryError(
            "a Dask scheduler needs the distributed package: pip install 'orvane[dask]'"
        ) from None
    if not verbose:
        _quiet_cluster_logging()
    # Checked first: a Client refused for its address lingers at exit, and
    # one given no address starts a cluster of its own.
    fault = scheduler_address_fault(address)
    if fault is not None:
        raise LibraryError(fault)
    _probe(address, timeout)
    try:
        client = Client(address, set_as_default=False, timeout=timeout)
    except Exception as error:  # distributed raises what its transport raised
        raise LibraryError(f"{address}: cannot reach the Dask scheduler: {error}") from None
    try:
        client.wait_for_workers(1, timeout=timeout)
    except BaseException as error:
        _close(client)
        if isinstance(error, Exception):
            raise LibraryError(
                f"{address}: the Dask scheduler has no workers (waited {timeout:g} s)"
            ) from None
        raise  # Ctrl-C, once the client is closed
    return _ClusterExecutor(client, address), lambda: _close(client)


def _close(client: Any) -> None:
    """Close a client without waiting long for a scheduler that is gone."""
    try:
        client.close(timeout=2)
    except Exception:  # the scheduler is gone already: nothing to tell it
        pass


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


def _unchanged(
    known: KnownDisc | None,
    files: Sequence[FileState] | None,
    search: int,
    v2_offset: int,
    read_since: str | None,
) -> bool:
    """Whether the stored checksums still answer: same files, enough
    shifts, a good last check, and a full read since ``read_since``."""
    return (
        known is not None
        and files is not None
        and known.search is not None
        and known.checked_at is not None
        and known.status == "checked"
        and known.files_hash == hash(tuple(files))
        and known.search >= search
        and known.v2_offset == v2_offset
        and (read_since is None or known.checked_at > read_since)
    )


def _under(path: str, prefixes: Sequence[str]) -> bool:
    return any(path == prefix or path.startswith(os.path.join(prefix, "")) for prefix in prefixes)


def _status(
    stored: StoredDisc | None,
    good: DiscResult | None,
    changed: bool,
    damage: Sequence[str],
    accepted: bool,
) -> Status:
    """A good or changed check's status, from what was stored of the disc."""
    if (changed or damage) and not accepted:
        return "changed"
    if stored is None:
        return "new"
    back = stored.status == "changed" and good is not None and not accepted
    return "restored" if back else "checked"


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


def _disc_files(
    disc: LibraryDisc,
    known: KnownDisc | None,
    stored_files: Callable[[int], tuple[FileState, ...]],
) -> tuple[FileState, ...] | None:
    """The disc's files as they are now, or None for a sheet that must be
    read to tell them: the worker that checks the disc does that, so that
    this process needs no sheet parser.  A sheet whose size and time are
    those stored is not read again: its files are those stored
    (``stored_files`` of the disc's id)."""
    if disc.tracks:
        return file_states(disc.tracks)
    if disc.sheet:
        stored = () if known is None else stored_files(known.id)
        if stored and stored[0].path == disc.path:
            sheet = file_states([disc.path])
            if sheet[0] == stored[0]:
                try:
                    return sheet + file_states(file.path for file in stored[1:])
                except TrackError:
                    pass  # a file gone: the sheet says what it holds now
        return None
    from orvane.isotrak.discs import disc_paths

    # A folder disc without tracks could not be listed: disc_paths says why.
    return file_states(disc_paths(disc.path))


# A task is a batch of discs of about half a second of work: closed once
# its files hold this many bytes (a longer disc goes alone) or this many
# discs, so that a task's own cost is spread over its discs.
BATCH_BYTES = 24 * 2**20
BATCH_DISCS = 32
# What a sheet not yet read is taken to hold when the audio beside it
# cannot be listed: its image may be large, so that a batch holds few.
UNREAD_SHEET_BYTES = BATCH_BYTES // 4


def _audio_beside(sheet: str) -> int:
    """The bytes of the audio files in a sheet's folder: what a sheet not
    yet read most likely names, to size the batch it goes in."""
    try:
        with os.scandir(os.path.dirname(sheet)) as listing:
            return sum(
                entry.stat().st_size
                for entry in listing
                if is_audio_name(entry.name) and entry.is_file()
            ) or UNREAD_SHEET_BYTES
    except OSError:
        return UNREAD_SHEET_BYTES

# A Dask cluster's batches are larger: a task of distributed costs some
# milliseconds of its scheduler and its messages.
CLUSTER_BATCHES = 4


def _batch_limits(executor: Executor) -> tuple[int, int]:
    """The bytes and the discs at which a batch for ``executor`` closes."""
    cluster = isinstance(executor, _ClusterExecutor) or type(executor).__module__.startswith(
        "distributed."
    )
    scale = CLUSTER_BATCHES if cluster else 1
    return BATCH_BYTES * scale, BATCH_DISCS * scale


# Batches handed out at a time: enough to keep every worker busy, few
# enough that what waits to be sent stays small however large the library.
IN_FLIGHT = 16


@dataclass(frozen=True, slots=True)
class _Waiting:
    """What the coordinator keeps of a disc being checked till its result
    is back; not the stored checksums, read again then."""

    index: int
    disc: LibraryDisc
    files: tuple[FileState, ...] | None  # None: the worker tells them
    known: KnownDisc | None
    unverified: str | None


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
    recheck_older_than: timedelta | None = None,
    accept: Iterable[Path_] = (),
    accept_all: bool = False,
    prune: bool = False,
    advance: Callable[[float], object] | None = None,
) -> list[DiscOutcome]:
    """Check a library's discs on ``executor`` and keep the results in ``db``.

    discs: the library's root folder, or the discs ``find_discs`` found.
    executor: any concurrent.futures.Executor; the caller owns it.
    db: the SQLite database, made when missing.
    search, v2_offset: as for ``check_disc``.
    recheck: check every disc, even those whose files are as stored.
    recheck_older_than: check again the discs whose audio was last read
        in full longer ago than this, even if their files are as stored.
    accept: the discs under these paths (absolute, or relative to the
        root) have their checksums of this check made their known-good
        ones, changed or not; ``accept_all`` does so for every disc.
    prune: drop the rows of missing discs once they are reported.
    expect_db: another scan's database, whose stored checksums serve as
        references: each disc is verified against the disc of the same
        name (path relative to the library root) there.
    progress: called with each disc's outcome as it is recorded.
    advance: called with the part of the library done, in discs: the part
        of a disc that a worker of a process pool has read, as it reads
        it, and the rest of each disc once it is recorded; each disc adds
        up to 1.

    Returns one DiscOutcome per disc, in the order of ``discs``, then one
    for each stored disc under the root that was not found (``missing``).  Raises
    StoreError for a database that cannot be used (another scan holds it,
    or it belongs to something else), LibraryError for a root that is not
    a folder, ValueError for bad options.  When interrupted
    (KeyboardInterrupt), the discs not yet recorded are cancelled and the
    interruption goes on; those recorded stay.
    """
    listed = find_discs(discs) if isinstance(discs, (str, os.PathLike)) else list(discs)
    order = {id(disc): index for index, disc in enumerate(listed)}
    outcomes = []
    for outcome in _scan(
        listed,
        os.path.abspath(os.fspath(discs)) if isinstance(discs, (str, os.PathLike)) else None,
        executor,
        db,
        search=search,
        v2_offset=v2_offset,
        recheck=recheck,
        expect_db=expect_db,
        recheck_older_than=recheck_older_than,
        accept=accept,
        accept_all=accept_all,
        prune=prune,
        advance=advance,
        stored_results=True,
    ):
        if progress is not None:
            progress(outcome)
        outcomes.append(outcome)
    # Missing discs are not among those listed: they stay last, in their order.
    return sorted(outcomes, key=lambda outcome: order.get(id(outcome.disc), len(order)))


def scan_library(
    discs: Path_ | Iterable[LibraryDisc],
    executor: Executor,
    db: Path_,
    *,
    search: int = 0,
    v2_offset: int = 0,
    recheck: bool = False,
    expect_db: Path_ | None = None,
    recheck_older_than: timedelta | None = None,
    accept: Iterable[Path_] = (),
    accept_all: bool = False,
    prune: bool = False,
    advance: Callable[[float], object] | None = None,
    stored_results: bool = True,
) -> Iterator[DiscOutcome]:
    """``check_library`` as a stream: each disc's outcome as it is
    recorded, then those of the missing discs, none kept once given.

    Skipped discs come first, as they are found; checked ones as their
    batches come back.  ``stored_results``: a skipped disc's outcome
    carries its stored checksums, read back from the database; without,
    its ``result`` is None, and a skip reads nothing but the files'
    sizes and times (it is read back still when ``expect_db`` needs it).
    Nothing is opened or checked till the first outcome is asked for.
    """
    listed = find_discs(discs) if isinstance(discs, (str, os.PathLike)) else discs
    return _scan(
        listed,
        os.path.abspath(os.fspath(discs)) if isinstance(discs, (str, os.PathLike)) else None,
        executor,
        db,
        search=search,
        v2_offset=v2_offset,
        recheck=recheck,
        expect_db=expect_db,
        recheck_older_than=recheck_older_than,
        accept=accept,
        accept_all=accept_all,
        prune=prune,
        advance=advance,
        stored_results=stored_results,
    )


def _scan(
    listed: Iterable[LibraryDisc],
    root: str | None,
    executor: Executor,
    db: Path_,
    *,
    search: int,
    v2_offset: int,
    recheck: bool,
    expect_db: Path_ | None,
    recheck_older_than: timedelta | None,
    accept: Iterable[Path_],
    accept_all: bool,
    prune: bool,
    advance: Callable[[float], object] | None,
    stored_results: bool,
) -> Iterator[DiscOutcome]:
    from orvane.isotrak.store import ReferenceDatabase, Store

    reach(search, v2_offset)
    listed = listed if isinstance(listed, list) else list(listed)
    started = datetime.now(UTC).isoformat(timespec="seconds")
    read_since = None
    if recheck_older_than is not None:
        try:
            read_since = (datetime.now(UTC) - recheck_older_than).isoformat(timespec="seconds")
        except OverflowError:
            pass  # longer ago than any time: nothing is that old
    with ExitStack() as stack:
        store = stack.enter_context(Store(db))
        references = None
        if expect_db is not None:
            references = stack.enter_context(ReferenceDatabase(expect_db))
        roots = {disc.root for disc in listed}
        if root is not None:
            roots.add(root)
        accepted = [
            os.path.abspath(os.path.join(root, os.fspath(path))) for path in accept for root in roots
        ]
        # What is stored of every disc, read at once: a disc whose files are
        # as stored is skipped on this alone.
        known = store.known()
        # Stored discs not found now: missing, unless a new disc turns out
        # to be one of them moved.
        absent = store.absent(roots, (disc.path for disc in listed))
        moved_to: dict[tuple[object, ...], AbsentDisc] = {
            gone.fingerprint: gone for gone in absent if gone.fingerprint is not None
        }
        options = {
            "search": search,
            "v2_offset": v2_offset,
            "recheck": recheck,
            "expect_db": None if expect_db is None else os.fsdecode(expect_db),
            "executor": "ProcessPoolExecutor"
            if isinstance(executor, OnDemandPool)
            else type(executor).__name__,
            "recheck_older_than": None if recheck_older_than is None else str(recheck_older_than),
            "accept": accepted,
            "accept_all": accept_all,
            "prune": prune,
        }
        run_root = next(iter(roots)) if len(roots) == 1 else None
        # The run is written when a disc is, else once at the end with its
        # skips: a rescan of nothing changed is one transaction.
        run: int | None = None
        skipped = 0
        back: list[int] = []

        def the_run() -> int:
            nonlocal run
            if run is None:
                run = store.start_run(run_root, options, started)
            return run

        queue = None
        reading = advance is not None and _is_process_pool(executor)
        # The part told of each disc being read, by its index.  A worker
        # puts all its parts before its result is sent, so none comes after.
        told: dict[int, float] = {}

        def drain() -> None:
            while queue is not None and not queue.empty():
                index, part = queue.get()
                told[index] = told.get(index, 0.0) + part
                if advance is not None:
                    advance(part)

        def done(index: int) -> None:
            if advance is not None:
                advance(max(0.0, 1.0 - told.pop(index, 0.0)))

        def finish(index: int, outcome: DiscOutcome, files: Sequence[FileState] = ()) -> DiscOutcome:
            store.record(the_run(), replace(outcome, files=tuple(files)))
            done(index)
            return outcome

        def lost(waiting: _Waiting, error: BaseException) -> DiscOutcome:
            # Not recorded: the disc itself may be fine, and is checked next time.
            disc = waiting.disc
            why = str(error) or type(error).__name__
            done(waiting.index)
            return DiscOutcome(disc, "failed", error=f"{disc.path}: not checked: {why}")

        def judged(waiting: _Waiting, checked: DiscChecked) -> DiscOutcome:
            """A checked disc's outcome, with its files, to be recorded."""
            disc = waiting.disc
            files = checked.files if waiting.files is None else waiting.files
            if checked.result is None:
                return DiscOutcome(disc, "failed", error=checked.error)
            result = checked.result
            stored = None if waiting.known is None else store.stored(disc.path)
            good, damaged = None, None if stored is None else stored.damaged
            if stored is not None and damaged is None:
                good, damaged = store.good(stored.id)
            if damaged is not None:
                note = f"{damaged}; checked afresh"
                result = replace(result, warnings=(*result.warnings, note))
            changes, changed = _compare(result, good)
            moved_from = None
            if stored is None and not checked.error and not changed and not checked.damage:
                gone = moved_to.pop(fingerprint(result), None)
                if gone is not None:
                    absent.remove(gone)
                    moved_from = gone.path
                    changes = (UNCHANGED_AUDIO,) * len(result.tracks)
            is_accepted = accept_all or _under(disc.path, accepted)
            status: Status = (
                "failed"
                if checked.error
                else "moved"
                if moved_from is not None
                else _status(stored, good, changed, checked.damage, is_accepted)
            )
            known_disc = waiting.known
            outcome = DiscOutcome(
                disc,
                status,
                result,
                changes,
                known_disc is not None
                and known_disc.checked_at is not None
                and known_disc.files_hash != hash(files or ()),
                checked.error,
                verification=None if checked.error else result.verification,
                unverified=None if checked.error else waiting.unverified or checked.unverified,
                damage=checked.damage,
                accepted=is_accepted and (changed or bool(checked.damage)),
                moved_from=moved_from,
                files=files or (),
            )
            return outcome

        pending: dict[Future[tuple[DiscChecked, ...]], list[_Waiting]] = {}
        most_bytes, most_discs = _batch_limits(executor)
        batch: list[DiscJob] = []
        batch_waiting: list[_Waiting] = []
        batch_bytes = 0

        def send() -> Iterator[DiscOutcome]:
            nonlocal batch, batch_waiting, batch_bytes
            jobs, waiting = tuple(batch), batch_waiting
            submit = executor.submit
            if batch_bytes > INLINE_BYTES and isinstance(executor, OnDemandPool):
                submit = executor.submit_to_workers  # too much to check here
            batch, batch_waiting, batch_bytes = [], [], 0
            try:
                pending[submit(check_library_batch, jobs)] = waiting
            except Exception as error:  # the executor is broken or shut down
                yield from (lost(each, error) for each in waiting)

        def collect(every: bool) -> Iterator[DiscOutcome]:
            """The outcomes of batches back: of every one, or of those done
            and then till few are out."""
            while pending:
                if every or len(pending) >= IN_FLIGHT:
                    finished, _ = wait(
                        list(pending),
                        timeout=None if queue is None else 0.2,
                        return_when=FIRST_COMPLETED,
                    )
                else:
                    finished = {future for future in pending if future.done()}
                    if not finished:
                        return
                drain()
                for future in finished:
                    waiting = pending.pop(future)
                    try:
                        results = future.result()
                    except Exception as error:  # the executor lost it: a worker died
                        yield from (lost(each, error) for each in waiting)
                        continue
                    outcomes = list(map(judged, waiting, results))
                    # The batch's discs in one transaction, each whole.
                    store.record_all(the_run(), outcomes)
                    for each, outcome in zip(waiting, outcomes):
                        done(each.index)
                        yield outcome

        try:
            for index, disc in enumerate(listed):
                known_disc = known.get(hash(disc.path))
                try:
                    files = _disc_files(disc, known_disc, store.files)
                except TrackError as error:
                    yield finish(index, DiscOutcome(disc, "failed", error=str(error)))
                    continue
                reference, unverified = None, None
                if references is not None:
                    try:
                        reference = references.reference(disc.name)
                    except StoreError as error:
                        unverified = str(error)
                    else:
                        if reference is None:
                            unverified = f"{disc.name}: not in {references.name}"
                if not recheck and _unchanged(known_disc, files, search, v2_offset, read_since):
                    assert known_disc is not None
                    outcome = None
                    if stored_results or references is not None:
                        stored = store.stored(disc.path)
                        if stored is not None and stored.result is not None:
                            outcome = DiscOutcome(disc, "skipped", _narrowed(stored.result, search))
                    else:
                        outcome = skipped_outcome(disc)
                    if outcome is not None and references is not None:
                        if reference is not None:
                            outcome = _verified(outcome, reference)
                        unverified = unverified or outcome.unverified
                        # Its verification is written: the one skip that writes.
                        yield finish(index, replace(outcome, unverified=unverified))
                        continue
                    if outcome is not None:
                        skipped += 1
                        if known_disc.missing:
                            back.append(known_disc.id)
                        done(index)
                        yield outcome
                        continue
                if reading and queue is None:
                    queue = stack.enter_context(_manager()).Queue()
                size = _audio_beside(disc.path) if files is None else sum(f.size for f in files)
                if batch and (batch_bytes + size > most_bytes or len(batch) >= most_discs):
                    yield from send()
                    yield from collect(False)
                batch.append(
                    DiscJob(
                        disc.path,
                        disc.tracks,
                        search,
                        v2_offset,
                        () if reference is None else (reference,),
                        None if queue is None else (queue, index),
                        states=files is None,
                    )
                )
                batch_waiting.append(_Waiting(index, disc, files, known_disc, unverified))
                batch_bytes += size
            if batch:
                yield from send()
            yield from collect(True)
            for gone in absent:
                missing = DiscOutcome(
                    LibraryDisc(gone.path, gone.name, next(iter(roots), ""), gone.sheet),
                    "missing",
                    pruned=prune,
                )
                store.record(the_run(), missing)
                if prune:
                    store.prune(gone.path)
                yield missing
        finally:
            for future in pending:
                future.cancel()
        if run is None:
            store.whole_run(run_root, options, started, skipped, back)
        else:
            store.finish_run(run, skipped, back)


def _verified(outcome: DiscOutcome, reference: Reference) -> DiscOutcome:
    """A skipped disc's stored checksums verified, as check_disc verifies:
    a second version 2 pass reads the disc again when one is needed."""
    from orvane.isotrak.discs import second_v2_pass
    from orvane.isotrak.references import verify

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
