"""The single pass: a disc's audio stream in, the checksums of every track out.

Each track gets one ``Checksum`` fed in a single pass; the version 1
checksums of every read shift from ``-search`` to ``+search`` come out of
that one pass, together with the version 2 checksum of one chosen shift.  A
checksum at shift s weights track frame i + s by the position i, so it
needs frames beyond the track on one side: they come from the stream
around the track, and silence stands in beyond the stream's two ends.

Each track's checksum reads its stretch of the stream, from ``lead``
frames before the track to ``tail`` frames after it, in order (reading.py).
When the disc's files are regular files that must be decoded, the
stretches are read in worker threads, a few at once, each feeding its own
checksum.  Otherwise, or when only one thread reads, the stream is read
once, in order, from ``lead`` frames of silence before its first frame to
``tail`` frames of silence after its last, and every block goes to the
checksum of each track whose stretch it overlaps.  Either way the results
are the same, and memory stays bounded by a few blocks and the checksums'
own arrays, whatever the length of a track or a disc.
"""

from __future__ import annotations

from collections.abc import Callable, Mapping, Sequence
from dataclasses import dataclass
from typing import Any, TypeVar

from orvane._isotrak import Checksum
from orvane.isotrak.cd import BYTES_PER_FRAME, MAX_COUNT, MAX_SHIFT, counted_window, edge_skip
lead_in_skip = edge_skip
from orvane.isotrak.errors import IncompleteDisc, TrackError, Warn, issue_warning
from orvane.isotrak.layout import DiscLayout, TrackSpan
from orvane.isotrak.reading import ReadFailure, read_in_order, read_stretches, threadable, workers
from orvane.isotrak.results import DiscResult, ShiftChecksums, TrackResult

__all__ = [
    "MAX_COUNT",
    "MAX_SHIFT",
    "check_layout",
    "counted_window",
    "lead_in_skip",
    "reach",
    "v2_checksums",
]

Progress = Callable[[int], object]

# What the checksums of the stretches read at once may hold: a wide search
# reads fewer stretches at a time.
_CHECKSUM_MEMORY = 256 << 20


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
    threads: int | None = None,
) -> DiscResult:
    """Read a laid-out disc once and compute the checksums of its tracks.

    ``threads`` caps the threads that read files needing decoding (by
    default one per core, up to a few).  Raises IncompleteDisc (a TrackError) when a source fails part-way: it
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

    def finish(stretch: _Stretch, checksum: Checksum) -> TrackResult:
        words = checksum.checksums_v1_bytes()
        if len(words) != 4 * (2 * search + 1):
            # A version 2 offset beyond the search widens the range.
            words = words[4 * (lead - search) : 4 * (lead + search + 1)]
        return TrackResult(
            number=stretch.track.number,
            name=stretch.track.name,
            frames=stretch.track.frames,
            checksums_v1=ShiftChecksums(words, search),
            checksum_v2=checksum.checksum_v2(),
            v2_offset=v2_offset,
            start=stretch.track.start,
        )

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
        done = _read(
            layout, (-lead, layout.frames + tail), stretches, start, finish, progress, threads
        )
    except _Incomplete as incomplete:
        raise IncompleteDisc(str(incomplete.error), result(incomplete.done)) from None
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

    def finish(stretch: _Stretch, checksum: Checksum) -> tuple[int, int]:
        return stretch.track.number, checksum.checksum_v2()

    try:
        span = (min(0, stretches[0].begin), max(stretch.end for stretch in stretches))
        return dict(_read(layout, span, stretches, start, finish, None))
    except _Incomplete as incomplete:
        raise incomplete.error from None


Done = TypeVar("Done")


class _Incomplete(Exception):
    """A source failed: ``error`` says which, ``done`` holds what the
    stretches that ended before the failure gave."""

    def __init__(self, error: TrackError, done: Sequence[Any]) -> None:
        super().__init__(str(error))
        self.error = error
        self.done = done


def _read(
    layout: DiscLayout,
    span: tuple[int, int],
    stretches: Sequence[_Stretch],
    start: Callable[[_Stretch], Checksum],
    finish: Callable[[_Stretch, Checksum], Done],
    progress: Progress | None,
    limit: int | None = None,
) -> list[Done]:
    """Feed every stretch its frames; return what ``finish`` gives for each, in order.

    Read in order, the stream is read over ``span``, which holds the
    stretches; frames no stretch needs are read too, and a source failing
    there fails the pass as well.

    A stretch's checksum is made by ``start`` when its reading begins and
    given to ``finish`` as soon as it is fed whole, so only those being
    read are alive.  The stretches come in the order of their beginnings.
    When a source fails, raises _Incomplete with the results of the
    stretches that end at or before the first frame it did not give.
    """
    # Each stretch being read holds a checksum of 12 bytes per shift.
    widest = max(s.end - s.begin - s.track.frames + 1 for s in stretches)
    threads = min(limit or workers(), max(1, _CHECKSUM_MEMORY // (12 * widest)))
    finished: list[Done] = []
    feed = _Feeder(stretches, start, lambda s, c: finished.append(finish(s, c)))
    if threadable(layout) and threads == 1:
        # One thread decodes the stream in order, ahead of the checksums:
        # no stretch is read twice, and no file is sought.
        try:
            read_stretches(layout, [span], lambda index: feed, lambda index: None, progress, 1)
        except ReadFailure as failure:
            raise _Incomplete(failure.error, finished) from None
        return finished
    if threadable(layout):
        checksums: dict[int, Checksum] = {}
        done: dict[int, Done] = {}

        def begin(index: int) -> Callable[[int, memoryview], None]:
            checksum = checksums[index] = start(stretches[index])
            return lambda position, data: checksum.update_bytes(data)

        def end(index: int) -> None:
            done[index] = finish(stretches[index], checksums.pop(index))

        try:
            read_stretches(
                layout, [(s.begin, s.end) for s in stretches], begin, end, progress, threads
            )
        except ReadFailure as failure:
            raise _Incomplete(
                failure.error,
                [done[n] for n in sorted(done) if stretches[n].end <= failure.position],
            ) from None
        return [done[n] for n in range(len(stretches))]

    try:
        read_in_order(layout, *span, feed, progress)
    except TrackError as error:
        raise _Incomplete(error, finished) from None
    return finished


class _Feeder:
    """Gives each block of the stream, read in order, to the checksums
    whose stretch it meets.

    A track's checksum is made when the stream reaches its stretch and
    finished as soon as the stretch has passed, so only the few whose
    stretches overlap the current block are alive at once.
    """

    def __init__(
        self,
        stretches: Sequence[_Stretch],
        start: Callable[[_Stretch], Checksum],
        finish: Callable[[_Stretch, Checksum], None],
    ) -> None:
        self.waiting = iter(stretches)
        self.next_stretch = next(self.waiting, None)
        self.open: list[tuple[_Stretch, Checksum]] = []
        self.start = start
        self.finish = finish

    def __call__(self, position: int, data: memoryview) -> None:
        end = position + len(data) // BYTES_PER_FRAME
        while self.next_stretch is not None and self.next_stretch.begin < end:
            self.open.append((self.next_stretch, self.start(self.next_stretch)))
            self.next_stretch = next(self.waiting, None)
        for stretch, checksum in self.open:
            low = max(stretch.begin, position)
            high = min(stretch.end, end)
            if low < high:
                checksum.update_bytes(
                    data[(low - position) * BYTES_PER_FRAME : (high - position) * BYTES_PER_FRAME]
                )
        if any(stretch.end <= end for stretch, _ in self.open):
            still_open = []
            for stretch, checksum in self.open:
                if stretch.end <= end:
                    self.finish(stretch, checksum)
                else:
                    still_open.append((stretch, checksum))
            self.open = still_open
