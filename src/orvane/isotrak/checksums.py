"""The single pass: a disc's audio stream in, the checksums of every track out.

A rip is checked track by track.  Each track gets one ``Checksum`` fed in a
single pass; the version 1 checksums of every read shift from ``-search``
to ``+search`` come out of that one pass, together with the version 2
checksum of one chosen shift.  A checksum at shift s weights track frame
i + s by the position i, so it needs frames beyond the track on one side:
they come from the neighbouring tracks, and silence stands in beyond the
disc's two edges.

The disc is read once, as one stream of blocks running from ``lead``
frames of silence before the first track to ``tail`` frames of silence
after the last, and every block goes to the checksum of each track whose
stretch of the stream it overlaps.  Memory stays bounded by a block and
the checksums' own queues, whatever the length of a track or a disc.
"""

from __future__ import annotations

import os
from collections.abc import Callable, Iterable, Iterator, Sequence
from dataclasses import dataclass

from orvane._isotrak import Checksum
from orvane.isotrak.errors import TrackError
from orvane.isotrak.results import TrackResult
from orvane.isotrak.sources import (
    BLOCK_FRAMES,
    BYTES_PER_FRAME,
    TrackSource,
    checked_blocks,
    open_track,
)
from orvane.pcm import FrameList

__all__ = ["MAX_CLI_SHIFT", "disc_checksums"]

# The checksum takes signed 32-bit counts, and a track's length plus the
# frames read past it must stay within them.
_MAX_COUNT = 2**31 - 1

# The command line's bound on a shift: 4194304 frames, over a minute and a
# half at 44100 Hz, far past any drive's read offset; it keeps the
# checksum's two queues of shifts within 64 MiB.
MAX_CLI_SHIFT = 2**22

@dataclass(frozen=True)
class _Span:
    """The stretch of the disc stream that one track's checksum reads.

    Positions count frames from the first frame of the first track.
    """

    index: int
    source: TrackSource
    begin: int
    end: int


def _as_source(track: TrackSource | str | os.PathLike[str]) -> TrackSource:
    if isinstance(track, (str, os.PathLike)):
        return open_track(track)
    return track


def _check_sources(sources: Sequence[TrackSource], sample_rate: int | None) -> int:
    """Refuse tracks that cannot go into a checksum; return the disc's rate."""
    if not sources:
        raise ValueError("a disc needs at least one track")
    first = sources[0]
    for source in sources:
        if source.frames <= 0:
            raise TrackError(f"{source.name}: has no audio frames")
        if source.sample_rate <= 0:
            raise TrackError(f"{source.name}: sample rate {source.sample_rate} Hz is not positive")
        if sample_rate is None:
            if source.sample_rate != first.sample_rate:
                raise TrackError(
                    f"{source.name}: sample rate {source.sample_rate} Hz differs from the "
                    f"{first.sample_rate} Hz of {first.name}"
                )
        elif source.sample_rate != sample_rate:
            raise TrackError(
                f"{source.name}: sample rate {source.sample_rate} Hz, expected {sample_rate} Hz"
            )
    return first.sample_rate if sample_rate is None else sample_rate


def _silence(frames: int) -> Iterator[bytes]:
    while frames > 0:
        count = min(frames, BLOCK_FRAMES)
        yield bytes(count * BYTES_PER_FRAME)
        frames -= count


def disc_checksums(
    tracks: Iterable[TrackSource | str | os.PathLike[str]],
    *,
    search: int = 0,
    v2_offset: int = 0,
    sample_rate: int | None = None,
    progress: Callable[[int], object] | None = None,
) -> list[TrackResult]:
    """Compute the Isotrak checksums of every track of a disc.

    tracks: the disc's tracks in order: paths of audio files (WAV, or any
        format that soundfile reads when it is installed), or TrackSource
        objects that yield 2-channel 16-bit PCM blocks.  The first track is
        checked as a disc's first, the last as its last; a single track is
        both.
    search: compute the version 1 checksums of every read shift from
        -search to +search frames (0: only the track as read).  Shifts that
        reach past a track take frames from the tracks around it, and
        silence beyond the disc's edges.
    v2_offset: the read shift, in frames, of the version 2 checksum.
    sample_rate: the rate every track must have; by default the first
        track's rate, which every other track must share.
    progress: called with each number of frames read from the tracks.

    Every file is checked before any audio is read; a track that cannot be
    checked raises TrackError, which names it.  Returns one TrackResult per
    track, in order.
    """
    if search < 0:
        raise ValueError("search must be >= 0")
    sources = [_as_source(track) for track in tracks]
    rate = _check_sources(sources, sample_rate)
    # The disc stream starts `lead` frames before the first track, so that
    # every track has the frames for its earliest shift; `tail` frames read
    # past a track's end give its latest shift.
    lead = max(search, -v2_offset)
    tail = max(search, v2_offset)
    frame_range = lead + tail + 1
    if frame_range > _MAX_COUNT:
        raise ValueError("search and v2_offset reach too far for a checksum")
    for source in sources:
        if source.frames > _MAX_COUNT - frame_range:
            raise TrackError(f"{source.name}: {source.frames} frames are too many for a checksum")

    spans = []
    position = 0
    for index, source in enumerate(sources):
        spans.append(_Span(index, source, position - lead, position + source.frames + tail))
        position += source.frames

    def start(span: _Span) -> Checksum:
        return Checksum(
            span.source.frames,
            sample_rate=rate,
            is_first=span.index == 0,
            is_last=span.index == len(spans) - 1,
            pcm_frame_range=frame_range,
            isotrakv2_offset=lead + v2_offset,
        )

    def finish(span: _Span, checksum: Checksum) -> TrackResult:
        v1 = checksum.checksums_v1()
        return TrackResult(
            number=span.index + 1,
            name=span.source.name,
            frames=span.source.frames,
            checksums_v1={shift: v1[lead + shift] for shift in range(-search, search + 1)},
            checksum_v2=checksum.checksum_v2(),
            v2_offset=v2_offset,
        )

    return _feed(_disc_stream(sources, lead, tail, progress), -lead, spans, start, finish)


def _disc_stream(
    sources: Sequence[TrackSource], lead: int, tail: int, progress: Callable[[int], object] | None
) -> Iterator[bytes]:
    yield from _silence(lead)
    for source in sources:
        for data in checked_blocks(source):
            if progress is not None:
                progress(len(data) // BYTES_PER_FRAME)
            yield data
    yield from _silence(tail)


def _feed(
    stream: Iterable[bytes],
    position: int,
    spans: Sequence[_Span],
    start: Callable[[_Span], Checksum],
    finish: Callable[[_Span, Checksum], TrackResult],
) -> list[TrackResult]:
    """Give every block of the stream to the checksums whose stretch it meets.

    ``position`` is the stream position of the first block's first frame.
    A track's checksum is made when the stream reaches its stretch and
    finished as soon as the stretch has passed, so only the few whose
    stretches overlap the current block are alive at once.  The stretches
    begin and end in disc order, so the open ones form one run.
    """
    results = []
    waiting = iter(spans)
    next_span = next(waiting, None)
    open_spans: list[tuple[_Span, Checksum]] = []
    for data in stream:
        end = position + len(data) // BYTES_PER_FRAME
        while next_span is not None and next_span.begin < end:
            open_spans.append((next_span, start(next_span)))
            next_span = next(waiting, None)
        for span, checksum in open_spans:
            low = max(span.begin, position)
            high = min(span.end, end)
            if low < high:
                piece = data[
                    (low - position) * BYTES_PER_FRAME : (high - position) * BYTES_PER_FRAME
                ]
                checksum.update(FrameList(piece, 2, 16, 0, 1))
        while open_spans and open_spans[0][0].end <= end:
            results.append(finish(*open_spans.pop(0)))
        position = end
    return results
