"""The single pass: a disc's audio stream in, the checksums of every track out.

Each track gets one ``Checksum`` fed in a single pass; the version 1
checksums of every read shift from ``-search`` to ``+search`` come out of
that one pass, together with the version 2 checksum of one chosen shift.  A
checksum at shift s weights track frame i + s by the position i, so it
needs frames beyond the track on one side: they come from the stream
around the track, and silence stands in beyond the stream's two ends.

The stream is read once, from ``lead`` frames of silence before its first
frame to ``tail`` frames of silence after its last, and every block goes to
the checksum of each track whose stretch of the stream it overlaps.  Memory
stays bounded by a block and the checksums' own queues, whatever the
length of a track or a disc.
"""

from __future__ import annotations

from collections.abc import Callable, Iterable, Iterator, Mapping, Sequence
from dataclasses import dataclass

from orvane._isotrak import Checksum
from orvane.isotrak.errors import IncompleteDisc, TrackError, Warn, issue_warning
from orvane.isotrak.layout import DiscLayout, Piece, TrackSpan
from orvane.isotrak.results import DiscResult, TrackResult
from orvane.isotrak.sources import BLOCK_FRAMES, BYTES_PER_FRAME, TrackSource, checked_blocks
from orvane.pcm import FrameList

__all__ = [
    "MAX_COUNT",
    "MAX_SHIFT",
    "check_layout",
    "counted_window",
    "lead_in_skip",
    "reach",
    "v2_checksums",
]

# The checksum takes signed 32-bit counts, and a track's length plus the
# frames read past it must stay within them.
MAX_COUNT = 2**31 - 1

# The bound on a shift: 4194304 frames, over a minute and a half at
# 44100 Hz, far past any drive's read offset; it keeps the checksum's two
# queues of shifts within 64 MiB.
MAX_SHIFT = 2**22

Progress = Callable[[int], object]


def lead_in_skip(sample_rate: int) -> int:
    """The frames left out at each end of a disc: five CD sectors."""
    return 5 * (sample_rate // 75)


def counted_window(frames: int, sample_rate: int, is_first: bool, is_last: bool) -> tuple[int, int]:
    """The first and last counted frame of a track, numbered from 1."""
    skip = lead_in_skip(sample_rate)
    start = max(skip, 1) if is_first else 1
    end = max(frames - skip, 0) if is_last else frames
    return start, end


def reach(search: int, v2_offset: int) -> tuple[int, int]:
    """How far before and after a track its checksums read: (lead, tail)."""
    if search < 0:
        raise ValueError("search must be >= 0")
    lead, tail = max(search, -v2_offset), max(search, v2_offset)
    if lead + tail + 1 > MAX_COUNT:
        raise ValueError("search and v2_offset reach too far for a checksum")
    return lead, tail


@dataclass(frozen=True)
class _Stretch:
    """The stretch of the disc stream that one track's checksum reads."""

    index: int
    track: TrackSpan
    begin: int
    end: int


def check_layout(
    layout: DiscLayout,
    *,
    search: int = 0,
    v2_offset: int = 0,
    progress: Progress | None = None,
    warn: Warn | None = None,
    warnings: Sequence[str] = (),
) -> DiscResult:
    """Read a laid-out disc once and compute the checksums of its tracks.

    Raises IncompleteDisc (a TrackError) when a source fails part-way: it
    names the source and holds the tracks finished before the failure.
    ``warnings`` are those given while the disc was laid out; the result
    holds them and those given here.
    """
    warn = warn or issue_warning
    given = list(warnings)

    def note(message: str) -> None:
        given.append(message)
        warn(message)

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
            note(
                f"track {track.number} ({track.name}): {track.frames} frames leave its counted "
                f"window empty, so its checksums are 0"
            )

    stretches = [
        _Stretch(index, track, track.start - lead, track.start + track.frames + tail)
        for index, track in enumerate(tracks)
    ]

    def start(stretch: _Stretch) -> Checksum:
        return Checksum(
            stretch.track.frames,
            sample_rate=layout.sample_rate,
            is_first=stretch.index == 0,
            is_last=stretch.index == len(tracks) - 1,
            pcm_frame_range=frame_range,
            isotrakv2_offset=lead + v2_offset,
        )

    done: list[TrackResult] = []

    def finish(stretch: _Stretch, checksum: Checksum) -> None:
        v1 = checksum.checksums_v1()
        done.append(TrackResult(
            number=stretch.track.number,
            name=stretch.track.name,
            frames=stretch.track.frames,
            checksums_v1={shift: v1[lead + shift] for shift in range(-search, search + 1)},
            checksum_v2=checksum.checksum_v2(),
            v2_offset=v2_offset,
            start=stretch.track.start,
        ))

    def result(done: Sequence[TrackResult]) -> DiscResult:
        return DiscResult(
            tracks=tuple(done),
            sample_rate=layout.sample_rate,
            search=search,
            v2_offset=v2_offset,
            hidden_frames=layout.hidden_frames,
            skipped_tracks=layout.skipped_tracks,
            warnings=tuple(given),
        )

    try:
        _feed(_disc_stream(layout, lead, tail, progress), -lead, stretches, start, finish)
    except TrackError as error:
        raise IncompleteDisc(str(error), result(done)) from None
    return result(done)


def v2_checksums(layout: DiscLayout, shifts: Mapping[int, int]) -> dict[int, int]:
    """The version 2 checksums of some tracks, each at its own read shift.

    ``shifts`` maps track numbers to shifts.  This is a second pass over
    the disc, reading it up to the last of those tracks; only their
    checksums are kept alive.
    """
    numbered = {track.number: (index, track) for index, track in enumerate(layout.tracks)}
    stretches = []
    for number, shift in shifts.items():
        index, track = numbered[number]
        lead, tail = reach(0, shift)
        stretches.append(
            _Stretch(index, track, track.start - lead, track.start + track.frames + tail)
        )
    stretches.sort(key=lambda stretch: stretch.begin)
    if not stretches:
        return {}
    last = len(layout.tracks) - 1

    def start(stretch: _Stretch) -> Checksum:
        shift = shifts[stretch.track.number]
        lead, tail = reach(0, shift)
        return Checksum(
            stretch.track.frames,
            sample_rate=layout.sample_rate,
            is_first=stretch.index == 0,
            is_last=stretch.index == last,
            pcm_frame_range=lead + tail + 1,
            isotrakv2_offset=lead + shift,
        )

    found: dict[int, int] = {}

    def finish(stretch: _Stretch, checksum: Checksum) -> None:
        found[stretch.track.number] = checksum.checksum_v2()

    lead = max(0, -stretches[0].begin)
    stop = max(stretch.end for stretch in stretches)
    _feed(_disc_stream(layout, lead, 0, None, stop), -lead, stretches, start, finish)
    return found


def _silence(frames: int) -> Iterator[bytes]:
    while frames > 0:
        count = min(frames, BLOCK_FRAMES)
        yield bytes(count * BYTES_PER_FRAME)
        frames -= count


class _Reader:
    """Reads one source front to back, a piece at a time.

    Frames between two pieces of the source (a data track's) are read and
    dropped; once a piece ends at the source's last frame the source is
    read to its end, so that one holding more or fewer frames than it
    announced is refused.
    """

    def __init__(self, source: TrackSource) -> None:
        self.source = source
        self.blocks = checked_blocks(source)
        self.position = 0
        self.pending = b""

    def _next(self) -> bytes:
        if self.pending:
            data, self.pending = self.pending, b""
            return data
        return next(self.blocks, b"")

    def take(self, offset: int, frames: int) -> Iterator[bytes]:
        end = offset + frames
        while self.position < end:
            data = self._next()
            if not data:
                raise TrackError(
                    f"{self.source.name}: ends after {self.position} of its "
                    f"{self.source.frames} frames"
                )
            count = len(data) // BYTES_PER_FRAME
            low = max(offset - self.position, 0)
            high = min(end - self.position, count)
            if high < count:
                self.pending = data[high * BYTES_PER_FRAME :]
            if low == 0 and high == count:
                yield data
            elif low < high:
                yield data[low * BYTES_PER_FRAME : high * BYTES_PER_FRAME]
            self.position += high
        if end >= self.source.frames:
            for _ in self.blocks:  # the checks at the source's end
                pass


def _disc_stream(
    layout: DiscLayout,
    lead: int,
    tail: int,
    progress: Progress | None,
    stop: int | None = None,
) -> Iterator[bytes]:
    """The stream from ``lead`` frames before its start to ``tail`` after its
    end, or up to stream position ``stop``."""
    readers: dict[int, _Reader] = {}

    def piece_blocks(piece: Piece) -> Iterable[bytes]:
        if piece.source is None:
            return _silence(piece.frames)
        reader = readers.get(id(piece.source))
        if reader is None:
            reader = readers[id(piece.source)] = _Reader(piece.source)
        return reader.take(piece.offset, piece.frames)

    yield from _silence(lead)
    position = 0
    for piece in layout.pieces:
        if stop is not None and position >= stop:
            return
        for data in piece_blocks(piece):
            if progress is not None and piece.source is not None:
                progress(len(data) // BYTES_PER_FRAME)
            yield data
        position += piece.frames
    yield from _silence(tail if stop is None else max(0, stop - position))


def _feed(
    stream: Iterable[bytes],
    position: int,
    stretches: Sequence[_Stretch],
    start: Callable[[_Stretch], Checksum],
    finish: Callable[[_Stretch, Checksum], None],
) -> None:
    """Give every block of the stream to the checksums whose stretch it meets.

    ``position`` is the stream position of the first block's first frame.
    A track's checksum is made when the stream reaches its stretch and
    finished as soon as the stretch has passed, so only the few whose
    stretches overlap the current block are alive at once.  The stretches
    come in the order of their beginnings.
    """
    waiting = iter(stretches)
    next_stretch = next(waiting, None)
    open_stretches: list[tuple[_Stretch, Checksum]] = []
    for data in stream:
        end = position + len(data) // BYTES_PER_FRAME
        while next_stretch is not None and next_stretch.begin < end:
            open_stretches.append((next_stretch, start(next_stretch)))
            next_stretch = next(waiting, None)
        for stretch, checksum in open_stretches:
            low = max(stretch.begin, position)
            high = min(stretch.end, end)
            if low < high:
                piece = data[
                    (low - position) * BYTES_PER_FRAME : (high - position) * BYTES_PER_FRAME
                ]
                checksum.update(FrameList(piece, 2, 16, 0, 1))
        if any(stretch.end <= end for stretch, _ in open_stretches):
            still_open = []
            for stretch, checksum in open_stretches:
                if stretch.end <= end:
                    finish(stretch, checksum)
                else:
                    still_open.append((stretch, checksum))
            open_stretches = still_open
        position = end
