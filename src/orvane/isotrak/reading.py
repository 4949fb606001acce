"""Reading the disc stream for the checksums, in blocks, in one of two ways.

In order, in the calling thread: the stream from one position to another,
each source read once, front to back, into one buffer used again and again
(a block is done with before the next is read).  This way takes anything:
pipes, and track sources that only yield blocks.

Stretch by stretch, in worker threads: when every file of the disc is a
regular file and some must be decoded (FLAC, say), each stretch of the
stream is read by a thread of its own, with readers of its own at their
own places in the files, while the calling thread checksums the blocks as
they come.  Decoding releases the interpreter lock, so a few stretches are
decoded at once; the frames that two neighbouring stretches share (the
shifts' reach past a track) are simply read by both.  Each thread fills a
few buffers of its own and waits for one to come back before reading on,
so memory stays bounded whatever the timing, and the checksums cannot
depend on the timing, since every stretch is fed in order by its one
thread.  A single stretch may be the whole stream: one thread then reads
it in order, ahead of the checksums.

Every block is given to the caller with its stream position, as a
memoryview of little-endian 16-bit stereo frames that is valid until the
caller returns.
"""

from __future__ import annotations

import os
import queue
import threading
from collections import deque
from collections.abc import Callable, Iterator, Sequence
from dataclasses import dataclass
from typing import Any

from orvane.isotrak.audio import READ_BYTES, AudioFile, Reader, TrackSource, checked_blocks
from orvane.isotrak.cd import BYTES_PER_FRAME
from orvane.isotrak.errors import TrackError
from orvane.isotrak.layout import DiscLayout

__all__ = [
    "MAX_WORKERS",
    "Feed",
    "ReadFailure",
    "Segment",
    "read_in_order",
    "read_stretches",
    "segments",
    "threadable",
    "workers",
]

Progress = Callable[[int], object]

# Takes a block: its stream position, and its frames.
Feed = Callable[[int, memoryview], None]

# Threads reading at once: enough for the cores of a desktop, and each
# holds a checksum whose arrays grow with the search.
MAX_WORKERS = 4

# Buffers a thread fills ahead of the checksums.
_DEPTH = 3

_SILENCE = memoryview(bytes(READ_BYTES))


@dataclass(frozen=True)
class Segment:
    """A run of the stream from one source (None: silence), from its frame
    ``offset``, ``frames`` long, at stream position ``position``."""

    source: TrackSource | None
    offset: int
    frames: int
    position: int


def segments(layout: DiscLayout, begin: int, end: int) -> list[Segment]:
    """The stream from position ``begin`` to ``end``, with silence before
    its first frame and after its last."""
    found = []
    if begin < 0:
        found.append(Segment(None, 0, min(end, 0) - begin, begin))
    position = 0
    for piece in layout.pieces:
        low, high = max(begin, position), min(end, position + piece.frames)
        if low < high:
            found.append(Segment(piece.source, piece.offset + low - position, high - low, low))
        position += piece.frames
    low = max(begin, position)
    if end > low:
        found.append(Segment(None, 0, end - low, low))
    return found


def _ended(source: TrackSource, got: int) -> TrackError:
    return TrackError(f"{source.name}: ends after {got} of its {source.frames} frames")


def _silence(position: int, frames: int) -> Iterator[tuple[int, memoryview]]:
    step = len(_SILENCE) // BYTES_PER_FRAME
    for at in range(0, frames, step):
        yield position + at, _SILENCE[: min(step, frames - at) * BYTES_PER_FRAME]


class _FileInOrder:
    """An audio file read front to back, its frames between pieces dropped,
    into a buffer that the files read in order share."""

    def __init__(self, audio: AudioFile, buffer: memoryview) -> None:
        self.audio = audio
        self.reader: Reader | None = None
        self.position = 0
        self.buffer = buffer

    def take(self, segment: Segment) -> Iterator[tuple[int, memoryview]]:
        if self.reader is None:
            self.reader = self.audio.reader(0)
        if segment.offset > self.position:
            self.reader.skip(segment.offset - self.position)
            self.position = segment.offset
        position, left = segment.position, segment.frames
        while left:
            want = min(left, self.audio.read_frames, len(self.buffer) // BYTES_PER_FRAME)
            frames = self.reader.read_into(self.buffer[: want * BYTES_PER_FRAME])
            if not frames:
                raise _ended(self.audio, self.position)
            self.position += frames
            left -= frames
            yield position, self.buffer[: frames * BYTES_PER_FRAME]
            position += frames

    def close(self) -> None:
        if self.reader is not None:
            self.reader.close()


class _BlocksInOrder:
    """A track source that yields blocks, read front to back.

    Frames between two of its pieces (a data track's) are read and
    dropped; once a piece ends at the source's last frame the source is
    read to its end, so that one holding more or fewer frames than it
    announced is refused.
    """

    def __init__(self, source: TrackSource) -> None:
        self.source = source
        self.blocks = checked_blocks(source)
        self.position = 0
        self.pending = memoryview(b"")

    def _next(self) -> memoryview:
        if self.pending:
            data, self.pending = self.pending, memoryview(b"")
            return data
        return memoryview(next(self.blocks, b""))

    def take(self, segment: Segment) -> Iterator[tuple[int, memoryview]]:
        offset, end = segment.offset, segment.offset + segment.frames
        while self.position < end:
            data = self._next()
            if not data:
                raise _ended(self.source, self.position)
            count = len(data) // BYTES_PER_FRAME
            low = max(offset - self.position, 0)
            high = min(end - self.position, count)
            if high < count:
                self.pending = data[high * BYTES_PER_FRAME :]
            if low < high:
                yield (
                    segment.position + self.position + low - offset,
                    data[low * BYTES_PER_FRAME : high * BYTES_PER_FRAME],
                )
            self.position += high
        if end >= self.source.frames:
            for _ in self.blocks:  # the checks at the source's end
                pass

    def close(self) -> None:
        pass


def read_in_order(
    layout: DiscLayout, begin: int, end: int, feed: Feed, progress: Progress | None = None
) -> None:
    """Read the stream from ``begin`` to ``end`` in the calling thread.

    Raises TrackError, naming the source, when one fails: every frame
    before that has been fed.  ``progress`` is called with the frames of
    each block read from a source.
    """
    readers: dict[int, _FileInOrder | _BlocksInOrder] = {}
    # One block is in hand at a time, so one buffer serves every file.
    files = [p.source for p in layout.pieces if isinstance(p.source, AudioFile)]
    buffer = memoryview(bytearray(max((f.read_frames for f in files), default=0) * BYTES_PER_FRAME))
    try:
        for segment in segments(layout, begin, end):
            source = segment.source
            if source is None:
                for position, data in _silence(segment.position, segment.frames):
                    feed(position, data)
                continue
            reader = readers.get(id(source))
            if reader is None:
                reader = readers[id(source)] = (
                    _FileInOrder(source, buffer)
                    if isinstance(source, AudioFile)
                    else _BlocksInOrder(source)
                )
            for position, data in reader.take(segment):
                feed(position, data)
                if progress is not None:
                    progress(len(data) // BYTES_PER_FRAME)
    finally:
        for reader in readers.values():
            reader.close()


def threadable(layout: DiscLayout) -> bool:
    """Whether the stretches of this disc are worth reading in worker threads.

    Every source must be a regular file, which readers can share, and some
    must need decoding.  PCM files are read at the speed of a copy, about
    that of their checksums: threads would save little and, on a busy
    machine, cost more than that.
    """
    sources = [piece.source for piece in layout.pieces if piece.source is not None]
    return all(isinstance(s, AudioFile) and s.rereadable for s in sources) and any(
        isinstance(s, AudioFile) and s.decodes for s in sources
    )


def workers() -> int:
    """How many threads read at once: one per core this process may use."""
    try:
        cores = len(os.sched_getaffinity(0))
    except (AttributeError, OSError):
        cores = os.cpu_count() or 1
    return max(1, min(cores, MAX_WORKERS))


class ReadFailure(Exception):
    """A source failed while the stretches were read: ``error`` names it,
    and ``position`` is the stream position of the first frame it did not
    give.  Every stretch that ends at or before it was read whole."""

    def __init__(self, error: TrackError, position: int) -> None:
        super().__init__(str(error))
        self.error = error
        self.position = position


# What a thread tells the calling thread, as (kind, job, ...).
_DATA, _SILENT, _DONE, _FAILED, _CRASHED = range(5)


def _nothing(position: int, data: memoryview) -> None:
    pass


class _Job:
    """One stretch of the stream, read by a thread of its own."""

    def __init__(self, index: int, layout: DiscLayout, begin: int, end: int) -> None:
        self.index = index
        self.begin, self.end = begin, end
        self.segments = segments(layout, begin, end)
        sizes = [s.source.read_frames for s in self.segments if isinstance(s.source, AudioFile)]
        self.block_frames = max(sizes, default=1)
        # Buffers go round: filled by the thread, checksummed, given back.
        self.free: queue.SimpleQueue[bytearray | None] = queue.SimpleQueue()
        self.cancelled = False
        self.thread: threading.Thread | None = None
        self.feed: Feed = _nothing
        self.counted = (begin, end)  # the frames whose reading it reports

    def start(self, ready: queue.SimpleQueue[tuple[Any, ...]], spares: list[bytearray]) -> None:
        size = self.block_frames * BYTES_PER_FRAME
        for _ in range(_DEPTH):
            fitting = next((n for n, spare in enumerate(spares) if len(spare) == size), None)
            self.free.put(bytearray(size) if fitting is None else spares.pop(fitting))
        self.thread = threading.Thread(
            target=self._read, args=(ready,), name=f"orvane-read-{self.index}", daemon=True
        )
        self.thread.start()

    def give_back(self, spares: list[bytearray]) -> None:
        """Once the thread is done: its buffers, for the next stretch."""
        while True:
            try:
                buffer = self.free.get_nowait()
            except queue.Empty:
                return
            if buffer is not None:
                spares.append(buffer)

    def cancel(self) -> None:
        self.cancelled = True
        self.feed = _nothing
        self.free.put(None)  # wakes the thread if it waits for a buffer

    def _read(self, ready: queue.SimpleQueue[tuple[Any, ...]]) -> None:
        # One reader a source, and the source frame it stands at: the
        # segments of a source come in the order of their offsets.
        readers: dict[int, Reader] = {}
        places: dict[int, int] = {}
        position = self.begin
        try:
            for segment in self.segments:
                source = segment.source
                if not isinstance(source, AudioFile):
                    ready.put((_SILENT, self, segment.position, segment.frames))
                    position += segment.frames
                    continue
                key = id(source)
                if key not in readers:
                    readers[key] = source.reader(segment.offset)
                    places[key] = segment.offset
                reader = readers[key]
                if places[key] < segment.offset:
                    reader.skip(segment.offset - places[key])
                    places[key] = segment.offset
                left = segment.frames
                while left:
                    buffer = self.free.get()
                    if buffer is None or self.cancelled:
                        return
                    want = min(left, source.read_frames, self.block_frames)
                    frames = reader.read_into(memoryview(buffer)[: want * BYTES_PER_FRAME])
                    if not frames:
                        raise _ended(source, places[key])
                    ready.put((_DATA, self, position, buffer, frames))
                    places[key] += frames
                    position += frames
                    left -= frames
            ready.put((_DONE, self))
        except TrackError as error:
            ready.put((_FAILED, self, position, error))
        except BaseException as error:  # not a bad file: the calling thread re-raises it
            ready.put((_CRASHED, self, error))
        finally:
            for reader in readers.values():
                reader.close()


def read_stretches(
    layout: DiscLayout,
    stretches: Sequence[tuple[int, int]],
    begin: Callable[[int], Feed],
    done: Callable[[int], None],
    progress: Progress | None = None,
    threads: int | None = None,
) -> None:
    """Read each stretch ``(begin, end)`` of the stream in a worker thread.

    The stretches come in the order of their beginnings and are started in
    that order, ``threads`` at a time.  ``begin(n)`` is called as stretch n
    is started and returns what its blocks are fed to, in order and in the
    calling thread; ``done(n)`` is called once stretch n has been fed
    whole.  ``progress`` is told the frames read from the sources, each
    frame once, however many stretches read it.

    When a source fails, the stretches that began before the failure are
    read on (one of them may fail earlier still), none after it is
    started, and ReadFailure is raised with the earliest failure.
    """
    jobs = [_Job(n, layout, low, high) for n, (low, high) in enumerate(stretches)]
    # Frames shared by neighbouring stretches are reported by the first.
    for job, following in zip(jobs, jobs[1:]):
        job.counted = (job.counted[0], max(job.counted[0], min(job.end, following.begin)))
        following.counted = (max(following.begin, job.counted[1]), following.end)
    ready: queue.SimpleQueue[tuple[Any, ...]] = queue.SimpleQueue()
    waiting = deque(jobs)
    running: list[_Job] = []
    started: list[_Job] = []
    # Buffers of finished stretches, used again: fresh memory costs a page
    # fault for every 4 KiB.
    spares: list[bytearray] = []
    limit = threads or workers()
    stop: int | None = None
    failure: TrackError | None = None
    try:
        while True:
            while waiting and len(running) < limit and (stop is None or waiting[0].begin < stop):
                job = waiting.popleft()
                job.feed = begin(job.index)
                job.start(ready, spares)
                running.append(job)
                started.append(job)
            if not running:
                break
            kind, job, *rest = ready.get()
            if job.cancelled:
                continue
            if kind == _DATA:
                position, buffer, frames = rest
                job.feed(position, memoryview(buffer)[: frames * BYTES_PER_FRAME])
                job.free.put(buffer)
                if progress is not None:
                    low, high = job.counted
                    counted = min(high, position + frames) - max(low, position)
                    if counted > 0:
                        progress(counted)
            elif kind == _SILENT:
                for position, data in _silence(*rest):
                    job.feed(position, data)
            elif kind == _DONE:
                running.remove(job)
                job.give_back(spares)
                job.feed = _nothing  # what it fed (a checksum) goes with done()
                done(job.index)
            elif kind == _FAILED:
                running.remove(job)
                position, error = rest
                if stop is None or position < stop:
                    stop, failure = position, error
                for other in [other for other in running if other.begin >= stop]:
                    other.cancel()
                    running.remove(other)
            else:
                raise rest[0]
    finally:
        for job in started:
            job.cancel()
        for job in started:
            if job.thread is not None:
                # A thread ends after the block it is reading; the sources
                # stay open until then.
                job.thread.join(timeout=10)
    if failure is not None and stop is not None:
        raise ReadFailure(failure, stop)
