"""A laid-out disc in, the checksums of every track out, in one pass over its stream.

Each track gets one ``Checksum``; the version 1 checksums of every read
shift from ``-search`` to ``+search`` come out of that one pass, together
with the version 2 checksum of one chosen shift.  A checksum at shift s
weights track frame i + s by the position i, so each track's checksum
reads its stretch of the stream: from ``lead`` frames before the track to
``tail`` frames after it, with silence beyond the stream's two ends.

The work is cut into units, each a stretch of the stream read in order in
one pass and the checksums it feeds, run by a ThreadPoolExecutor:

- when every source is a regular file and more than one thread may read,
  each track is a unit of its own, with readers of its own at their own
  places in the files, and a few units run at once (decoding and the
  checksums both release the interpreter lock); the frames that
  neighbouring tracks share are read by both;
- otherwise (a pipe, a track source that only yields blocks, one thread)
  the whole stream is one unit, read once, front to back, and every block
  goes to each track whose stretch it meets; files to decode, more than
  a block of them, are decoded a few blocks ahead of the checksums by one
  thread, anything else is read in the calling thread.

Either way the checksums are the same, and memory stays bounded by a few
blocks and the checksums' own arrays, whatever the length of a disc.

A file failing part-way fails the tracks with frames of their own that it
could not give: each holds the reason as its ``error``, and every other
track is read and checked, the rest of that file left unread (a track
whose shifts only reach there is checked with silence standing in, which
a warning says).  A stream
(a pipe, a source that only yields blocks) failing ends the disc: it
raises IncompleteDisc, which holds the tracks whose stretch ended before
the first frame the stream could not give.
"""

from __future__ import annotations

import contextvars
import os
import queue
import threading
from collections.abc import Callable, Generator, Iterator, Mapping, Sequence
from concurrent.futures import Future, ThreadPoolExecutor
from dataclasses import dataclass, field
from functools import cached_property
from typing import Generic, TypeVar

from orvane._isotrak import Checksum
from orvane.isotrak.audio import READ_BYTES, AudioFile, Reader, TrackSource, open_reader
from orvane.isotrak.cd import BYTES_PER_FRAME, MAX_COUNT, MAX_SHIFT, counted_window, reach
from orvane.isotrak.errors import IncompleteDisc, TrackError, warn
from orvane.isotrak.layout import DiscLayout, DiscTrack, Piece, Stretch
from orvane.isotrak.results import DiscResult, ShiftChecksums, TrackResult

__all__ = [
    "MAX_SHIFT",
    "MAX_WORKERS",
    "Progress",
    "check_layout",
    "reach",
    "rereadable",
    "v2_checksums",
    "workers",
]

Progress = Callable[[int], object]

# The most units read at once, whatever the cores: past a few, the
# checksums wait on memory rather than on the cores.
MAX_WORKERS = 4

# What the checksums of the units read at once may hold: a wide search
# reads fewer units at a time.
_CHECKSUM_MEMORY = 256 << 20

_SILENCE = memoryview(bytes(READ_BYTES))

# How many blocks a reading thread may have ready before the checksums take them.
_AHEAD = 2

# A unit's stream: (position, frames) blocks, read as they are taken, and
# the stretches a failed file could not give.
_Blocks = Generator["tuple[int, memoryview] | _Gap", None, None]

Done = TypeVar("Done")


def workers() -> int:
    """How many units are read at once by default: one per core this
    process may use, up to MAX_WORKERS."""
    try:
        cores = len(os.sched_getaffinity(0))
    except (AttributeError, OSError):
        cores = os.cpu_count() or 1
    return max(1, min(cores, MAX_WORKERS))


def rereadable(layout: DiscLayout) -> bool:
    """Whether every source of the disc is a file that can be read again,
    from any place and by several readers at once."""
    return all(_rereadable(s) for s in layout.sources)


def _rereadable(source: TrackSource) -> bool:
    return isinstance(source, AudioFile) and source.rereadable


@dataclass(frozen=True)
class _Sum:
    """One track's checksum: the track, the stretch it reads, and its shape."""

    index: int
    track: DiscTrack
    lead: int
    tail: int
    v2_shift: int
    last: bool

    @cached_property
    def stretch(self) -> Stretch:
        return self.track.stretch.widened(self.lead, self.tail)

    def start(self, sample_rate: int) -> Checksum:
        return Checksum(
            self.track.frames,
            sample_rate=sample_rate,
            is_first=self.index == 0,
            is_last=self.last,
            pcm_frame_range=self.lead + self.tail + 1,
            isotrakv2_offset=self.lead + self.v2_shift,
        )


@dataclass(frozen=True)
class _Unit:
    """What one pass reads: a stretch of the stream, the checksums it
    feeds, and the frames whose reading it reports (``counted``)."""

    stretch: Stretch
    sums: tuple[_Sum, ...]
    counted: Stretch


@dataclass(frozen=True)
class _Gap:
    """A stretch of the stream that a failed file could not give, and why."""

    stretch: Stretch
    error: TrackError


@dataclass
class _Outcome(Generic[Done]):
    """What a unit gave: each finished or failed checksum's result, and how
    it ended (``failure``: a stream that failed, which ends the disc)."""

    done: list[tuple[_Sum, Done]] = field(default_factory=list)
    failure: TrackError | None = None
    position: int = 0  # with a failure: the first frame not fed


def check_layout(
    layout: DiscLayout,
    *,
    search: int = 0,
    v2_offset: int = 0,
    progress: Progress | None = None,
    progress_total: Progress | None = None,
    threads: int | None = None,
) -> DiscResult:
    """Read a laid-out disc once and compute the checksums of its tracks.

    ``threads`` caps the units read at once (by default one per core, up
    to a few).  ``progress_total`` is told the frames to be read before
    the first is; ``progress`` each count of frames read.  A track whose
    file failed part-way has the reason as its ``error``; a stream failing
    part-way raises IncompleteDisc.
    """
    lead, tail = reach(search, v2_offset)
    frame_range = lead + tail + 1
    tracks = layout.tracks
    for track in tracks:
        if track.frames > MAX_COUNT - frame_range:
            raise TrackError(f"{track.name}: {track.frames} frames are too many for a checksum")
    for index, track in enumerate(tracks):
        first, last = counted_window(
            track.frames, layout.sample_rate, index == 0, index == len(tracks) - 1
        )
        if first > last:
            warn(
                f"track {track.number} ({track.name}): {track.frames} frames leave its counted "
                f"window empty, so its checksums are 0"
            )
    sums = [
        _Sum(index, track, lead, tail, v2_offset, index == len(tracks) - 1)
        for index, track in enumerate(tracks)
    ]

    def finish(item: _Sum, checksum: Checksum) -> TrackResult:
        words = checksum.checksums_v1_bytes()
        if len(words) != 4 * (2 * search + 1):
            # A version 2 offset beyond the search widens the range.
            words = words[4 * (lead - search) : 4 * (lead + search + 1)]
        return TrackResult(
            number=item.track.number,
            name=item.track.name,
            frames=item.track.frames,
            checksums_v1=ShiftChecksums(words, search),
            checksum_v2=checksum.checksum_v2(),
            v2_offset=v2_offset,
            start=item.track.start,
            title=item.track.title,
            performer=item.track.performer,
        )

    def fail(item: _Sum, error: TrackError) -> TrackResult:
        return TrackResult(
            number=item.track.number,
            name=item.track.name,
            frames=item.track.frames,
            checksums_v1={},
            checksum_v2=0,
            v2_offset=v2_offset,
            start=item.track.start,
            title=item.track.title,
            performer=item.track.performer,
            error=str(error),
        )

    def result(done: Sequence[TrackResult]) -> DiscResult:
        return DiscResult(
            tracks=tuple(done),
            sample_rate=layout.sample_rate,
            search=search,
            v2_offset=v2_offset,
            hidden_frames=layout.hidden_frames,
            skipped_tracks=layout.skipped_tracks,
            title=layout.title,
            performer=layout.performer,
        )

    whole = Stretch(-lead, layout.frames + tail)
    done, failure = _checksum(layout, sums, whole, finish, fail, progress, progress_total, threads)
    if failure is not None:
        raise IncompleteDisc(str(failure), result(done))
    return result(done)


def v2_checksums(
    layout: DiscLayout, shifts: Mapping[int, int], threads: int | None = None
) -> dict[int, int]:
    """The version 2 checksums of some tracks, each at its own read shift.

    ``shifts`` maps track numbers to shifts.  This is a second pass over
    the disc, reading it up to the last of those tracks.  A track whose
    file fails is left out; a stream failing raises IncompleteDisc,
    holding no tracks.
    """
    numbered = {track.number: index for index, track in enumerate(layout.tracks)}
    last = len(layout.tracks) - 1
    sums = []
    for number, shift in shifts.items():
        index = numbered[number]
        lead, tail = reach(0, shift)
        sums.append(_Sum(index, layout.tracks[index], lead, tail, shift, index == last))
    if not sums:
        return {}
    sums.sort(key=lambda item: item.stretch.begin)
    whole = Stretch(min(0, sums[0].stretch.begin), max(item.stretch.end for item in sums))

    def finish(item: _Sum, checksum: Checksum) -> int | None:
        return checksum.checksum_v2()

    def fail(item: _Sum, error: TrackError) -> int | None:
        return None

    done, failure = _checksum(layout, sums, whole, finish, fail, None, None, threads)
    if failure is not None:
        raise IncompleteDisc(str(failure), DiscResult((), layout.sample_rate, 0, 0))
    return {
        item.track.number: value for item, value in zip(sums, done) if value is not None
    }


def _checksum(
    layout: DiscLayout,
    sums: Sequence[_Sum],
    whole: Stretch,
    finish: Callable[[_Sum, Checksum], Done],
    fail: Callable[[_Sum, TrackError], Done],
    progress: Progress | None,
    progress_total: Progress | None,
    threads: int | None,
) -> tuple[list[Done], TrackError | None]:
    """Feed every checksum its stretch; what ``finish`` gives of each, or
    ``fail`` of one that a file could not feed, in order, and the failure
    of a stream, if one failed.

    Read as one unit, the stream is read over ``whole``, which holds every
    stretch; frames no checksum needs are read too, and a source failing
    there fails the pass as well.  On a failure, the results are those of
    the checksums whose stretch ends at or before the first frame the
    source could not give.
    """
    # Each checksum being fed holds 12 bytes a shift.
    widest = max(item.lead + item.tail + 1 for item in sums)
    limit = min(threads or workers(), max(1, _CHECKSUM_MEMORY // (12 * widest)))
    if limit > 1 and len(sums) > 1 and rereadable(layout):
        units = _track_units(sums)
    else:
        units = [_Unit(whole, tuple(sums), whole)]
    if progress_total is not None:
        progress_total(sum(_source_frames(layout, unit.counted) for unit in units))
    counter = _Counter(progress)
    cancelled = threading.Event()

    def run(unit: _Unit, ahead: ThreadPoolExecutor | None) -> _Outcome[Done]:
        return _read_unit(layout, unit, finish, fail, counter, cancelled, ahead)

    outcomes: list[_Outcome[Done]] = []
    try:
        if len(units) == 1 and not _worth_reading_ahead(layout, units[0]):
            # Read in the calling thread: PCM is read at the speed of a copy,
            # and a read that waits on a pipe is ended there by Ctrl-C.
            outcomes.append(run(units[0], None))
        elif len(units) == 1:
            # The calling thread checksums while one thread decodes ahead.
            with ThreadPoolExecutor(1, thread_name_prefix="orvane-read") as ahead:
                outcomes.append(run(units[0], ahead))
        else:
            with ThreadPoolExecutor(limit, thread_name_prefix="orvane-read") as pool:
                futures: list[Future[_Outcome[Done]]] = [
                    # Warnings given in a worker reach the disc being checked.
                    pool.submit(contextvars.copy_context().run, run, unit, None)
                    for unit in units
                ]
                try:
                    for future in futures:
                        if future.cancelled():
                            continue
                        outcome = future.result()
                        outcomes.append(outcome)
                        if outcome.failure is not None:
                            for later in futures:
                                later.cancel()  # those not yet started
                finally:
                    for future in futures:
                        future.cancel()
    except BaseException:
        cancelled.set()  # the units running end after the block in hand
        raise
    failures = [outcome for outcome in outcomes if outcome.failure is not None]
    stop = min((outcome.position for outcome in failures), default=None)
    done = [
        (item, value)
        for outcome in outcomes
        for item, value in outcome.done
        if stop is None or item.stretch.end <= stop
    ]
    done.sort(key=lambda pair: pair[0].stretch.begin)
    failure = next((o.failure for o in failures if o.position == stop), None)
    return [value for _, value in done], failure


def _worth_reading_ahead(layout: DiscLayout, unit: _Unit) -> bool:
    """Whether a thread decoding ahead of the checksums would gain: for
    rereadable files to decode, of more than a block of them (the
    checksums of less cost less than starting a thread)."""
    files = [s for s in layout.sources if isinstance(s, AudioFile) and s.decodes]
    if not files or not rereadable(layout):
        return False
    return _source_frames(layout, unit.stretch) > max(f.read_frames for f in files)


def _block_frames(pieces: Sequence[Piece]) -> int:
    """The frames of the blocks a stretch's pieces are read in: as many as
    their files read best, and no more than the longest piece needs."""
    files = [p.source for p in pieces if isinstance(p.source, AudioFile)]
    block = max((f.read_frames for f in files), default=READ_BYTES // BYTES_PER_FRAME)
    return min(block, max((p.frames for p in pieces if p.source is not None), default=block))


def _track_units(sums: Sequence[_Sum]) -> list[_Unit]:
    """A unit a track; the frames that neighbours share are reported by the first."""
    units = []
    reported = None
    for n, item in enumerate(sums):
        stretch = item.stretch
        begin = stretch.begin if reported is None else max(stretch.begin, reported)
        end = stretch.end if n + 1 == len(sums) else min(stretch.end, sums[n + 1].stretch.begin)
        reported = max(begin, end)
        units.append(_Unit(stretch, (item,), Stretch(begin, reported)))
    return units


def _source_frames(layout: DiscLayout, stretch: Stretch) -> int:
    return sum(piece.frames for piece in layout.pieces_of(stretch) if piece.source is not None)


class _Counter:
    """Reports frames read to ``progress``, from any thread, one report at a time."""

    def __init__(self, progress: Progress | None) -> None:
        self.progress = progress
        self.lock = threading.Lock()

    def __call__(self, frames: int) -> None:
        if self.progress is not None and frames > 0:
            with self.lock:
                self.progress(frames)


def _read_unit(
    layout: DiscLayout,
    unit: _Unit,
    finish: Callable[[_Sum, Checksum], Done],
    fail: Callable[[_Sum, TrackError], Done],
    counter: _Counter,
    cancelled: threading.Event,
    ahead: ThreadPoolExecutor | None,
) -> _Outcome[Done]:
    """Read a unit's stretch in order and feed its checksums."""
    outcome: _Outcome[Done] = _Outcome(position=unit.stretch.begin)
    feeder = _Feeder(
        unit.sums,
        layout.sample_rate,
        lambda s, c: outcome.done.append((s, finish(s, c))),
        lambda s, e: outcome.done.append((s, fail(s, e))),
    )
    # Blocks read ahead go round buffers enough for those queued, the one
    # being read and the one being checksummed.
    blocks = _blocks(layout, unit, counter, cancelled, 1 if ahead is None else _AHEAD + 2)
    stream = blocks if ahead is None else _read_ahead(blocks, ahead)
    try:
        for block in stream:
            if isinstance(block, _Gap):
                feeder.gap(block)
                outcome.position = block.stretch.end
                continue
            position, data = block
            feeder(position, data)
            outcome.position = position + len(data) // BYTES_PER_FRAME
    except TrackError as error:
        outcome.failure = error
    finally:
        stream.close()
        blocks.close()
    return outcome


def _read_ahead(blocks: _Blocks, executor: ThreadPoolExecutor) -> _Blocks:
    """The blocks, read by ``executor`` up to _AHEAD blocks ahead of their use."""
    ready: queue.Queue[tuple[int, memoryview] | _Gap | _End] = queue.Queue(_AHEAD)
    stop = threading.Event()

    def read() -> None:
        try:
            for block in blocks:
                ready.put(block)
                if stop.is_set():
                    return
            ready.put(_End())
        except BaseException as error:  # given to the checksums' thread
            ready.put(_End(error))

    future = executor.submit(contextvars.copy_context().run, read)
    try:
        while not isinstance(item := ready.get(), _End):
            yield item
        if item.error is not None:
            raise item.error
    finally:
        stop.set()
        while not future.done():  # a read waiting for room ends at once
            try:
                ready.get(timeout=0.05)
            except queue.Empty:
                pass
        future.result()


@dataclass(frozen=True)
class _End:
    """The end of the blocks read ahead, or the error they ended with."""

    error: BaseException | None = None


def _blocks(
    layout: DiscLayout, unit: _Unit, counter: _Counter, cancelled: threading.Event, depth: int
) -> _Blocks:
    """The unit's stretch of the stream as (position, frames) blocks.

    Each block is valid until ``depth`` more have been taken: the blocks
    go round ``depth`` buffers.  A file that fails, or ends early, gives a
    _Gap for the rest of its piece and for each of its pieces after, and
    is read no more; a stream that fails raises TrackError, naming it.
    """
    pieces = layout.pieces_of(unit.stretch)
    # Silence that no checksum reads (a long gap before the first track)
    # is passed over, never made.
    reached = Stretch(
        min(item.stretch.begin for item in unit.sums), max(item.stretch.end for item in unit.sums)
    )
    block = _block_frames(pieces)
    buffers = [memoryview(bytearray(block * BYTES_PER_FRAME)) for _ in range(depth)]
    turn = 0
    # One reader a source, and the source frame it stands at.
    readers: dict[int, tuple[Reader, int]] = {}
    failed: dict[int, TrackError] = {}
    try:
        for piece in pieces:
            source = piece.source
            if source is None:
                silence = piece.stretch.meet(reached)
                if silence is not None:
                    yield from _silence(silence)
                continue
            key = id(source)
            if key in failed:
                yield _Gap(piece.stretch, failed[key])
                continue
            position = piece.stretch.begin
            try:
                if key in readers:
                    reader, at = readers[key]
                    if at < piece.offset:
                        reader.skip(piece.offset - at)
                else:
                    reader = open_reader(source, piece.offset)
                readers[key] = (reader, piece.offset)
                at, left = piece.offset, piece.frames
                size = _read_frames(source)
                while left:
                    if cancelled.is_set():
                        return
                    buffer = buffers[turn]
                    turn = (turn + 1) % depth
                    want = min(left, size, len(buffer) // BYTES_PER_FRAME)
                    got = reader.read_into(buffer[: want * BYTES_PER_FRAME])
                    if not got:
                        raise TrackError(f"{source.name}: ends after {at} of its {source.frames} frames")
                    met = Stretch(position, position + got).meet(unit.counted)
                    yield position, buffer[: got * BYTES_PER_FRAME]
                    if met is not None:
                        counter(met.frames)
                    at += got
                    position += got
                    left -= got
                    readers[key] = (reader, at)
            except TrackError as error:
                if not _rereadable(source):
                    raise
                failed[key] = error
                yield _Gap(Stretch(position, piece.stretch.end), error)
    finally:
        for reader, _ in readers.values():
            reader.close()


def _read_frames(source: TrackSource) -> int:
    return source.read_frames if isinstance(source, AudioFile) else READ_BYTES // BYTES_PER_FRAME


def _silence(stretch: Stretch) -> Iterator[tuple[int, memoryview]]:
    step = len(_SILENCE) // BYTES_PER_FRAME
    for at in range(stretch.begin, stretch.end, step):
        yield at, _SILENCE[: min(step, stretch.end - at) * BYTES_PER_FRAME]


class _Feeder:
    """Gives each block of a unit's stream, read in order, to the checksums
    whose stretch it meets.

    A track's checksum is made when the stream reaches its stretch and
    finished as soon as the stretch has passed, so only the few whose
    stretches overlap the current block are alive at once.
    """

    def __init__(
        self,
        sums: Sequence[_Sum],
        sample_rate: int,
        finish: Callable[[_Sum, Checksum], None],
        fail: Callable[[_Sum, TrackError], None],
    ) -> None:
        self.waiting = iter(sums)
        self.next_sum = next(self.waiting, None)
        self.open: list[tuple[_Sum, Stretch, Checksum]] = []
        self.sample_rate = sample_rate
        self.finish = finish
        self.fail = fail
        self.borrowing: set[int] = set()  # the tracks told of silence standing in

    def _open_to(self, end: int) -> None:
        while self.next_sum is not None and self.next_sum.stretch.begin < end:
            item = self.next_sum
            self.open.append((item, item.stretch, item.start(self.sample_rate)))
            self.next_sum = next(self.waiting, None)

    def gap(self, gap: _Gap) -> None:
        """A stretch that a file could not give.  A track with frames of its
        own in it fails; a track whose shifts only reach into it is checked
        with silence standing in there, which is said."""
        for position, data in _silence(gap.stretch):
            self._open_to(position + len(data) // BYTES_PER_FRAME)
            still_open = []
            for item, stretch, checksum in self.open:
                if item.track.stretch.meet(gap.stretch) is not None:
                    self.fail(item, gap.error)
                    continue
                still_open.append((item, stretch, checksum))
                reached = stretch.meet(gap.stretch)
                if reached is not None and item.index not in self.borrowing:
                    self.borrowing.add(item.index)
                    track = item.track
                    warn(
                        f"track {track.number} ({track.name}): its shifts reach {reached.frames} "
                        f"frames that could not be read ({gap.error}); silence stands in for them"
                    )
            self.open = still_open
            self(position, data)

    def __call__(self, position: int, data: memoryview) -> None:
        end = position + len(data) // BYTES_PER_FRAME
        self._open_to(end)
        for _, stretch, checksum in self.open:
            low = max(stretch.begin, position)
            high = min(stretch.end, end)
            if low < high:
                checksum.update_bytes(
                    data[(low - position) * BYTES_PER_FRAME : (high - position) * BYTES_PER_FRAME]
                )
        if any(stretch.end <= end for _, stretch, _ in self.open):
            still_open = []
            for item, stretch, checksum in self.open:
                if stretch.end <= end:
                    self.finish(item, checksum)
                else:
                    still_open.append((item, stretch, checksum))
            self.open = still_open
