"""A sheet or track files, with their lengths, in; the disc stream and each track's stretch of it out.

The disc stream is the audio of the disc's files in order, as one run of
2-channel 16-bit frames, with the silence that the sheet inserts (PREGAP,
POSTGAP) and without the data tracks.  Every part of it is a ``Stretch``
(positions from one frame up to another): the pieces that fill it from
the sources, each track, what a checksum reads.  The rules, for a CUE
sheet:

- an audio track spans from its INDEX 01 up to the next track's INDEX 01,
  so a gap (the next track's INDEX 00) belongs to it, in whichever file the
  gap lies; the last audio track spans to the end of its audio, that is to
  the end of the last audio file or up to a data track after it;
- PREGAP silence goes just before the track's INDEX 01 (inside the span of
  the track before it), POSTGAP silence just after the track's last frame
  (the last track's included); the PREGAP of a track after a data track
  lies in the data track's span, and leaves the stream with it;
- everything before the first audio track's INDEX 01 (hidden audio, its
  PREGAP silence) is hidden: in the stream, so that the first track's
  negative shifts read it, but in no track;
- a data track spans from its INDEX 01 to the next track's INDEX 01, and
  that span is left out of the stream, as is every file whose tracks are
  all data tracks.

Positions in the sheet are CD frames of 1/75 s from the start of their
file; with an embedded FLAC sheet they are PCM frames already.
"""

from __future__ import annotations

from collections.abc import Callable, Sequence
from dataclasses import dataclass, field

from orvane.isotrak.audio import TrackSource
from orvane.isotrak.cuesheet import CueSheet
from orvane.isotrak.cd import SECTORS_PER_SECOND as CD_FRAMES_PER_SECOND
from orvane.isotrak.errors import TrackError

__all__ = [
    "CD_FRAMES_PER_SECOND",
    "DiscLayout",
    "DiscTrack",
    "Piece",
    "Stretch",
    "files_in_stream",
    "sheet_layout",
    "track_layout",
]


@dataclass(frozen=True)
class Stretch:
    """A stretch of the disc stream: the frames from position ``begin`` up
    to ``end``.  Positions before 0 and from the stream's length on are
    the silence beyond its two ends."""

    begin: int
    end: int

    @property
    def frames(self) -> int:
        return self.end - self.begin

    def widened(self, before: int, after: int) -> Stretch:
        return Stretch(self.begin - before, self.end + after)

    def meet(self, other: Stretch) -> Stretch | None:
        """The frames the two stretches share, or None."""
        begin, end = max(self.begin, other.begin), min(self.end, other.end)
        return Stretch(begin, end) if begin < end else None


@dataclass(frozen=True)
class Piece:
    """The frames of a source (None: digital silence) that fill a stretch
    of the stream, from the source's frame ``offset`` on.

    The pieces of one source come in the order of their offsets and never
    overlap, so each source is read once, front to back.
    """

    source: TrackSource | None
    offset: int
    stretch: Stretch

    @property
    def frames(self) -> int:
        return self.stretch.frames

    def within(self, stretch: Stretch) -> Piece | None:
        """The part of the piece inside ``stretch``, or None."""
        met = self.stretch.meet(stretch)
        if met is None:
            return None
        return Piece(self.source, self.offset + met.begin - self.stretch.begin, met)


@dataclass(frozen=True)
class DiscTrack:
    """An audio track of the disc: its number, the file its audio starts
    in, its stretch of the stream, and its title and performer, if told."""

    number: int
    name: str
    stretch: Stretch
    title: str | None = None
    performer: str | None = None

    @property
    def start(self) -> int:
        return self.stretch.begin

    @property
    def frames(self) -> int:
        return self.stretch.frames


@dataclass(frozen=True)
class DiscLayout:
    """The disc stream as pieces in order, its audio tracks, and the
    disc's title and performer, if told."""

    sample_rate: int
    pieces: tuple[Piece, ...]
    tracks: tuple[DiscTrack, ...]
    hidden_frames: int = 0
    skipped_tracks: tuple[int, ...] = ()
    sources: tuple[TrackSource, ...] = field(default=(), compare=False)
    title: str | None = None
    performer: str | None = None

    @property
    def frames(self) -> int:
        """The length of the disc stream, silence included."""
        return self.pieces[-1].stretch.end if self.pieces else 0

    def pieces_of(self, stretch: Stretch) -> list[Piece]:
        """What fills ``stretch``, in order: the pieces of the stream it
        meets, cut to it, with silence beyond the stream's two ends."""
        found = []
        before = stretch.meet(Stretch(stretch.begin, 0))
        if before is not None:
            found.append(Piece(None, 0, before))
        found.extend(cut for piece in self.pieces if (cut := piece.within(stretch)) is not None)
        after = stretch.meet(Stretch(self.frames, stretch.end))
        if after is not None:
            found.append(Piece(None, 0, after))
        return found


def track_layout(
    sources: Sequence[TrackSource],
    sample_rate: int,
    *,
    hidden: TrackSource | None = None,
    titles: Sequence[tuple[str | None, str | None]] = (),
) -> DiscLayout:
    """The layout of a disc given as one source per track, in order.

    ``hidden`` is a file of the audio before track 1 (ripped as a track
    0): in the stream, in no track.  ``titles`` holds each track's title
    and performer, from its tags.
    """
    stream = _Stream()
    if hidden is not None:
        stream.add(hidden, 0, hidden.frames)
    tracks = []
    for number, source in enumerate(sources, 1):
        begin = stream.position
        stream.add(source, 0, source.frames)
        title, performer = titles[number - 1] if titles else (None, None)
        tracks.append(DiscTrack(number, source.name, Stretch(begin, stream.position), title, performer))
    return DiscLayout(
        sample_rate=sample_rate,
        pieces=tuple(stream.pieces),
        tracks=tuple(tracks),
        hidden_frames=hidden.frames if hidden is not None else 0,
        sources=(hidden, *sources) if hidden is not None else tuple(sources),
    )


# A position in the sheet's files: (file number, position within that
# file), in sheet units or, once the files are open, in frames.
_FilePosition = tuple[int, int]


@dataclass
class _Stream:
    """Lays pieces end to end, merging neighbours that continue each other."""

    pieces: list[Piece] = field(default_factory=list)
    position: int = 0

    def add(self, source: TrackSource | None, offset: int, frames: int) -> None:
        if frames <= 0:
            return
        end = self.position + frames
        if self.pieces:
            last = self.pieces[-1]
            if last.source is source and (source is None or last.offset + last.frames == offset):
                self.pieces[-1] = Piece(source, last.offset, Stretch(last.stretch.begin, end))
                self.position = end
                return
        self.pieces.append(Piece(source, offset, Stretch(self.position, end)))
        self.position = end


def _audio_ranges(sheet: CueSheet, begins: Sequence[_FilePosition], end: _FilePosition) -> list[tuple[_FilePosition, _FilePosition]]:
    """The stretches of the files that hold audio: hidden audio, then each audio track."""
    ranges = [((0, 0), begins[0])]
    for n, track in enumerate(sheet.tracks):
        if track.is_audio:
            ranges.append((begins[n], begins[n + 1] if n + 1 < len(begins) else end))
    return ranges


def _begins(sheet: CueSheet, to_frames: Callable[[int], int]) -> list[_FilePosition]:
    places = []
    for track in sheet.tracks:
        index = track.index(1)
        if index is None:  # the parser refuses such sheets; this guards hand-made ones
            raise TrackError(f"{_at(sheet, track.line)}track {track.number} has no INDEX 01")
        places.append((index.file, to_frames(index.position)))
    return places


def _at(sheet: CueSheet, line: int) -> str:
    """Where in the sheet a fault lies: its line, or for a FLAC CUESHEET
    block (which has no lines, its entries carry line 0) the block alone."""
    return f"{sheet.name}: line {line}: " if line else f"{sheet.name}: "


def files_in_stream(sheet: CueSheet) -> list[bool]:
    """For each FILE of the sheet, whether any of its audio is in the disc stream.

    A file that only data tracks index, or that no audio track or hidden
    audio reaches, is left out whole and need not be opened.
    """
    if not sheet.tracks:
        raise TrackError(f"{sheet.name}: holds no tracks")
    count = len(sheet.files)
    audio_indexed = [False] * count
    indexed = [False] * count
    for track in sheet.tracks:
        for index in track.indexes:
            indexed[index.file] = True
            audio_indexed[index.file] |= track.is_audio
    reached = [False] * count
    for (first, first_position), (last, last_position) in _audio_ranges(
        sheet, _begins(sheet, lambda position: position), (count, 0)
    ):
        if (first, first_position) >= (last, last_position):
            continue
        for file in range(first, min(last, count - 1) + 1):
            if file < last or last_position > 0:
                reached[file] = True
    return [reached[n] and (audio_indexed[n] or not indexed[n]) for n in range(count)]


def sheet_layout(
    sheet: CueSheet, sources: Sequence[TrackSource | None], sample_rate: int
) -> DiscLayout:
    """Lay out the disc that a CUE sheet describes.

    ``sources`` holds one opened source per FILE of the sheet, or None for
    each file that ``files_in_stream`` leaves out; all have ``sample_rate``.
    Raises TrackError, naming the sheet and the line, for an INDEX 01 past
    the end of its file or a track that holds no frames.
    """
    audio = [n for n, track in enumerate(sheet.tracks) if track.is_audio]
    if not audio:
        raise TrackError(f"{sheet.name}: holds no audio tracks")
    lengths = [source.frames if source is not None else 0 for source in sources]

    def to_frames(position: int) -> int:
        if sheet.pcm_positions:
            return position
        return position * sample_rate // CD_FRAMES_PER_SECOND

    begins = _begins(sheet, to_frames)
    for n, (track, (file, offset)) in enumerate(zip(sheet.tracks, begins)):
        if sources[file] is not None and offset > lengths[file]:
            if not track.is_audio:
                # A data track placed past the audio (an enhanced disc ripped
                # to an image of its audio): the audio ends at the file's end.
                begins[n] = (file, lengths[file])
                continue
            raise TrackError(
                f"{_at(sheet, track.line)}track {track.number} starts past the end of "
                f"{sheet.files[file].name}, which holds {lengths[file]} frames"
            )
    end_of_sheet = (len(sources) - 1, lengths[-1])
    stream = _Stream()

    def lay(begin: _FilePosition, end: _FilePosition) -> None:
        file, offset = begin
        while (file, offset) < end:
            stop = end[1] if file == end[0] else lengths[file]
            source = sources[file]
            if source is not None:
                stream.add(source, offset, stop - offset)
            file, offset = file + 1, 0

    ranges = iter(_audio_ranges(sheet, begins, end_of_sheet))
    lay(*next(ranges))
    starts: dict[int, int] = {}
    for n in audio:
        track = sheet.tracks[n]
        if n == 0 or sheet.tracks[n - 1].is_audio:
            # After a data track the PREGAP lies in the data track's span,
            # and leaves the stream with it.
            stream.add(None, 0, to_gap(track.pregap, sample_rate))
        starts[n] = stream.position
        lay(*next(ranges))
        stream.add(None, 0, to_gap(track.postgap, sample_rate))

    spans = []
    for k, n in enumerate(audio):
        track = sheet.tracks[n]
        end = starts[audio[k + 1]] if k + 1 < len(audio) else stream.position
        if end <= starts[n]:
            raise TrackError(f"{_at(sheet, track.line)}track {track.number} holds no frames")
        file = begins[n][0]
        source = sources[file]
        name = source.name if source is not None else sheet.files[file].name
        spans.append(
            DiscTrack(track.number, name, Stretch(starts[n], end), track.title, track.performer)
        )
    return DiscLayout(
        sample_rate=sample_rate,
        pieces=tuple(stream.pieces),
        tracks=tuple(spans),
        hidden_frames=starts[audio[0]],
        skipped_tracks=tuple(track.number for track in sheet.tracks if not track.is_audio),
        sources=tuple(source for source in sources if source is not None),
        title=sheet.title,
        performer=sheet.performer,
    )


def to_gap(cd_frames: int, sample_rate: int) -> int:
    """The frames of a PREGAP or POSTGAP of so many CD frames."""
    return cd_frames * sample_rate // CD_FRAMES_PER_SECOND
