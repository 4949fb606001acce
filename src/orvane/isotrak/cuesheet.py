"""CUE sheets: sheet text, or a FLAC file's embedded sheet, as a plain model;
and the one word on what is a sheet (``is_cue_sheet``) and on the legacy
encodings its text and names may be in.

The model keeps what the sheet says and nothing more: its FILE entries in
order, and its tracks with their index points and gaps.  Positions are
counted from the start of their own FILE, in CD frames of 1/75 s, except in
a sheet taken from a FLAC CUESHEET metadata block, whose index positions
are PCM frames.  Nothing here opens audio or looks for FILE names on disk:
the disc layout is built from this model elsewhere.

A sheet that cannot be read as its writer meant it is refused with a
CueError naming the sheet and the line.  Commands the model has no use for
(REM, CATALOG, FLAGS, ISRC, SONGWRITER, ...) are ignored.
"""

from __future__ import annotations

import codecs
import os
import re
from dataclasses import dataclass, field, replace
from typing import Any

from orvane.isotrak.audio.input import reason
from orvane.isotrak.cd import MAX_DISC_MINUTES, MAX_DISC_SECTORS
from orvane.isotrak.cd import SECTORS_PER_SECOND as CD_FRAMES_PER_SECOND
from orvane.isotrak.errors import CueError, TrackError, warn
from orvane.isotrak.names import is_cue_sheet, natural_key

__all__ = [
    "CD_FRAMES_PER_SECOND",
    "CueError",
    "CueFile",
    "CueIndex",
    "CueSheet",
    "CueTrack",
    "FALLBACK_ENCODING",
    "LEGACY_ENCODINGS",
    "SHEET_ENCODINGS",
    "decode_sheet",
    "embedded_cue",
    "format_time",
    "is_cue_sheet",
    "natural_key",
    "parse_cue",
    "read_cue",
]

# A sheet is a few kilobytes; anything this large is some other file given
# by mistake, and is refused before it is read whole.
MAX_SHEET_BYTES = 1 << 20

# The legacy encoding of most sheets (written on Western Windows): taken when
# the detector has no answer, and preferred among answers it cannot tell apart.
FALLBACK_ENCODING = "cp1252"

# What a sheet that is not UTF-8 may be in, and so what its text is detected
# among: the single-byte code pages that the programs writing sheets use.
# Multi-byte ones are left out: on short text the detector takes Western
# bytes for Korean or Chinese.
SHEET_ENCODINGS = (
    "cp1250",
    "cp1251",
    "cp1252",
    "cp1253",
    "cp1254",
    "cp1255",
    "cp1256",
    "cp1257",
    "cp1258",
    "cp874",
    "koi8_r",
    "koi8_u",
)

# Every legacy encoding a sheet's FILE name may really be in, when the name
# as decoded names no file: those of sheets, then the code pages of older
# file systems and the multi-byte ones.  The file system tells which it was.
LEGACY_ENCODINGS = SHEET_ENCODINGS + (
    "cp437",
    "cp850",
    "cp866",
    "iso8859_15",
    "shift_jis",
    "gbk",
    "big5",
    "euc_kr",
)

# The track modes of CUE sheets.  A mode outside this list is refused rather
# than guessed at: taking an audio track for data would drop it silently.
TRACK_MODES = frozenset(
    {
        "AUDIO",
        "CDG",
        "MODE1/2048",
        "MODE1/2352",
        "MODE2/2048",
        "MODE2/2324",
        "MODE2/2336",
        "MODE2/2352",
        "CDI/2336",
        "CDI/2352",
    }
)

# Track numbers of the lead-out in a FLAC CUESHEET block: CD-DA, and others.
_LEAD_OUT_NUMBERS = (170, 255)

# Byte-order marks, longest first: a UTF-32-LE mark starts like a UTF-16-LE one.
# The codec recorded is one that encodes text without a mark.
_BYTE_ORDER_MARKS = (
    (codecs.BOM_UTF32_LE, "utf-32-le"),
    (codecs.BOM_UTF32_BE, "utf-32-be"),
    (codecs.BOM_UTF8, "utf-8"),
    (codecs.BOM_UTF16_LE, "utf-16-le"),
    (codecs.BOM_UTF16_BE, "utf-16-be"),
)

_NUMBER = re.compile(r"[0-9]{1,9}")
_TIME = re.compile(r"([0-9]{1,9}):([0-9]{1,9}):([0-9]{1,9})")
_LINE_BREAK = re.compile(r"\r\n|\r|\n")


@dataclass(frozen=True)
class CueFile:
    """A FILE entry: the name as written and its type, upper-cased."""

    name: str
    file_type: str
    line: int


@dataclass(frozen=True)
class CueIndex:
    """An index point; ``file`` is the FILE in effect at its line."""

    number: int
    file: int
    position: int
    line: int


@dataclass(frozen=True)
class CueTrack:
    """A TRACK entry; ``file`` is the FILE in effect at its line.

    ``mode`` is upper-cased.  A CDG track is audio, but its file holds
    2448-byte sectors of audio and subcode, not plain audio.
    """

    number: int
    mode: str
    file: int
    indexes: tuple[CueIndex, ...]
    pregap: int
    postgap: int
    line: int
    title: str | None = None
    performer: str | None = None

    @property
    def is_audio(self) -> bool:
        return self.mode in ("AUDIO", "CDG")

    def index(self, number: int) -> CueIndex | None:
        for point in self.indexes:
            if point.number == number:
                return point
        return None


@dataclass(frozen=True)
class CueSheet:
    """A whole sheet.

    Index positions and gaps count CD frames from the start of their FILE;
    when ``pcm_positions`` is true (a FLAC CUESHEET block), index positions
    count PCM frames instead.  ``encoding`` is the codec the sheet was
    decoded with ("utf-8" for text given as a string), one that encodes
    without a byte-order mark.
    """

    name: str
    files: tuple[CueFile, ...]
    tracks: tuple[CueTrack, ...]
    encoding: str
    pcm_positions: bool = False
    title: str | None = None
    performer: str | None = None


def format_time(frames: int) -> str:
    """CD frames as the sheet writes them: mm:ss:ff."""
    seconds, fraction = divmod(frames, CD_FRAMES_PER_SECOND)
    minutes, seconds = divmod(seconds, 60)
    return f"{minutes:02d}:{seconds:02d}:{fraction:02d}"


# -- text ----------------------------------------------------------------------


@dataclass
class _Draft:
    """A track while its lines are read."""

    number: int
    mode: str
    file: int
    line: int
    indexes: list[CueIndex] = field(default_factory=list)
    pregap: int | None = None
    postgap: int | None = None
    title: str | None = None
    performer: str | None = None

    def freeze(self) -> CueTrack:
        return CueTrack(
            self.number,
            self.mode,
            self.file,
            tuple(self.indexes),
            self.pregap or 0,
            self.postgap or 0,
            self.line,
            self.title,
            self.performer,
        )


class _LineError(Exception):
    """What is wrong with one line; the parser adds the sheet and line."""


def _quoted_or_rest(rest: str, command: str) -> str:
    """The argument of TITLE and the like: one quoted string, or the rest.

    Quotes inside a quoted title are kept: "The "Best" Of" is common enough.
    """
    if not rest.startswith('"'):
        return rest
    if len(rest) < 2 or not rest.endswith('"'):
        raise _LineError(f"{command} has a quote that is not closed")
    return rest[1:-1]


def _file_arguments(rest: str) -> tuple[str, str]:
    if rest.startswith('"'):
        end = rest.find('"', 1)
        if end < 0:
            raise _LineError("FILE has a quote that is not closed")
        name, after = rest[1:end], rest[end + 1 :].split()
        if not after:
            raise _LineError(f'FILE "{name}" has no type')
        if len(after) > 1:
            raise _LineError(f'FILE "{name}" has more than a type after its name')
        file_type = after[0]
    else:
        # An unquoted name runs up to the type, spaces and all.
        parts = rest.rsplit(None, 1)
        if len(parts) < 2:
            raise _LineError("FILE needs a name and a type")
        name, file_type = parts[0], parts[1]
    if not name:
        raise _LineError("FILE has an empty name")
    return name, file_type.upper()


def _number(text: str, what: str) -> int:
    if not _NUMBER.fullmatch(text):
        raise _LineError(f"{what} number {text} is not a number")
    return int(text)


def _time(text: str, what: str) -> int:
    match = _TIME.fullmatch(text)
    if match is None:
        raise _LineError(f"{what} time {text} is not mm:ss:ff")
    minutes, seconds, frames = (int(part) for part in match.groups())
    if seconds >= 60:
        raise _LineError(f"{what} time {text} has {seconds} seconds")
    if frames >= CD_FRAMES_PER_SECOND:
        raise _LineError(
            f"{what} time {text} has {frames} frames; a second has {CD_FRAMES_PER_SECOND}"
        )
    sectors = (minutes * 60 + seconds) * CD_FRAMES_PER_SECOND + frames
    if sectors > MAX_DISC_SECTORS:
        raise _LineError(f"{what} time {text} is longer than a CD holds ({MAX_DISC_MINUTES} minutes)")
    return sectors


def _arguments(rest: str, command: str, count: int, names: str) -> list[str]:
    arguments = rest.split()
    if len(arguments) < count:
        raise _LineError(f"{command} needs {names}")
    if len(arguments) > count:
        raise _LineError(f"{command} has more than {names}")
    return arguments


def parse_cue(text: str, name: str = "CUE sheet") -> CueSheet:
    """Read a sheet's text into the model, or refuse it with a CueError.

    ``name`` names the sheet in messages.  Commands are read in any case;
    lines may end in CR LF, LF or CR.
    """
    files: list[CueFile] = []
    drafts: list[_Draft] = []
    disc_title: str | None = None
    disc_performer: str | None = None
    gaps = 0  # the silence the sheet inserts, which must fit on one disc
    lines = _LINE_BREAK.split(text.removeprefix("\ufeff"))
    if lines and not lines[-1]:
        lines.pop()
    for number, line in enumerate(lines, 1):
        words = line.split(None, 1)
        if not words:
            continue
        command = words[0].upper()
        rest = words[1].strip() if len(words) > 1 else ""
        track = drafts[-1] if drafts else None
        try:
            if command == "FILE":
                files.append(CueFile(*_file_arguments(rest), number))
            elif command == "TRACK":
                raw_number, mode = _arguments(rest, "TRACK", 2, "a number and a mode")
                track_number = _number(raw_number, "TRACK")
                mode = mode.upper()
                if not files:
                    raise _LineError(f"TRACK {raw_number} comes before any FILE")
                if mode not in TRACK_MODES:
                    raise _LineError(f"TRACK {raw_number} has an unknown mode {mode}")
                drafts.append(_Draft(track_number, mode, len(files) - 1, number))
            elif command == "INDEX":
                raw_number, time = _arguments(rest, "INDEX", 2, "a number and a time")
                index_number = _number(raw_number, "INDEX")
                position = _time(time, f"INDEX {raw_number}")
                if track is None:
                    raise _LineError(f"INDEX {raw_number} comes before any TRACK")
                track.indexes.append(CueIndex(index_number, len(files) - 1, position, number))
            elif command in ("PREGAP", "POSTGAP"):
                (time,) = _arguments(rest, command, 1, "a time")
                gap = _time(time, command)
                if track is None:
                    raise _LineError(f"{command} comes before any TRACK")
                if (track.pregap if command == "PREGAP" else track.postgap) is not None:
                    raise _LineError(f"TRACK {track.number:02d} has a second {command}")
                gaps += gap
                if gaps > MAX_DISC_SECTORS:
                    raise _LineError(
                        f"{command} {time} brings the sheet's gaps to {format_time(gaps)}, "
                        f"more than a CD holds ({MAX_DISC_MINUTES} minutes)"
                    )
                if command == "PREGAP":
                    track.pregap = gap
                else:
                    track.postgap = gap
            elif command in ("TITLE", "PERFORMER"):
                value = _quoted_or_rest(rest, command)
                if command == "TITLE":
                    if track is None:
                        disc_title = value
                    else:
                        track.title = value
                elif track is None:
                    disc_performer = value
                else:
                    track.performer = value
        except _LineError as error:
            raise CueError(f"{name}: line {number}: {error}") from None
    sheet = CueSheet(
        name,
        tuple(files),
        tuple(draft.freeze() for draft in drafts),
        "utf-8",
        title=disc_title,
        performer=disc_performer,
    )
    _check(sheet, max(len(lines), 1))
    return sheet


def _check(sheet: CueSheet, last_line: int) -> None:
    """Refuse numbering and positions that no disc can have.

    Shared by text and CUESHEET blocks, whose entries carry line 0.
    """

    def refuse(line: int, what: str) -> CueError:
        where = f"line {line}: " if line else ""
        return CueError(f"{sheet.name}: {where}{what}")

    def place(position: int) -> str:
        return f"PCM frame {position}" if sheet.pcm_positions else format_time(position)

    if not sheet.tracks:
        raise refuse(last_line, "the sheet has no TRACK")
    previous_track = 0
    previous_start: CueIndex | None = None
    previous_index: CueIndex | None = None
    for track in sheet.tracks:
        label = f"TRACK {track.number:02d}"
        if not 1 <= track.number <= 99:
            raise refuse(track.line, f"{label} is outside 1 to 99")
        if track.number <= previous_track:
            raise refuse(
                track.line,
                f"{label} follows TRACK {previous_track:02d}; track numbers must increase",
            )
        previous_track = track.number
        previous_number = -1
        own: CueIndex | None = None
        for point in track.indexes:
            index_label = f"INDEX {point.number:02d}"
            if not 0 <= point.number <= 99:
                raise refuse(point.line, f"{index_label} is outside 0 to 99")
            if point.number <= previous_number:
                raise refuse(
                    point.line,
                    f"{index_label} follows INDEX {previous_number:02d} in {label}; "
                    "index numbers must increase",
                )
            previous_number = point.number
            # Only the INDEX 01s place tracks: they must increase across the
            # sheet, the other points within their own track.  A point out
            # of order across tracks (an INDEX 02 written after the next
            # track's INDEX 00) places nothing, and is only said.
            for earlier in (own, previous_start if point.number == 1 else None):
                if earlier is not None and _before(point, earlier):
                    raise refuse(
                        point.line,
                        f"{index_label} of {label} at {place(point.position)} is before "
                        f"the index at {place(earlier.position)} in the same FILE",
                    )
            if previous_index is not None and _before(point, previous_index):
                warn(
                    f"{sheet.name}: line {point.line}: {index_label} of {label} at "
                    f"{place(point.position)} is before the index at "
                    f"{place(previous_index.position)} of an earlier track"
                )
            own = point
            previous_index = point
            if point.number == 1:
                previous_start = point
        if track.index(1) is None:
            raise refuse(track.line, f"{label} has no INDEX 01")


def _before(point: CueIndex, earlier: CueIndex) -> bool:
    return point.file == earlier.file and point.position < earlier.position


# -- bytes and files -----------------------------------------------------------


def decode_sheet(data: bytes, name: str) -> tuple[str, str]:
    """A sheet's bytes as text, and the codec used.

    A byte-order mark decides; else UTF-16 told by its NULs; else strict
    UTF-8; else the single-byte code
    page that charset-normalizer finds, cp1252 when it finds none or reads
    the sheet no better than cp1252.  A sheet with a mark that does not
    match its bytes is refused with a CueError.
    """
    for mark, encoding in _BYTE_ORDER_MARKS:
        if data.startswith(mark):
            try:
                return data[len(mark) :].decode(encoding), encoding
            except UnicodeDecodeError as error:
                line = data[: len(mark) + error.start].count(b"\n") + 1
                where = f"line {line}: " if encoding == "utf-8" else ""
                raise CueError(
                    f"{name}: {where}not {encoding.upper()} text, "
                    "although it starts with that byte-order mark"
                ) from None
    unmarked = _unmarked_utf16(data)
    if unmarked is not None:
        try:
            return data.decode(unmarked), unmarked
        except UnicodeDecodeError:
            pass
    try:
        return data.decode("utf-8"), "utf-8"
    except UnicodeDecodeError:
        pass
    encoding = _detect_encoding(data)
    # The fallback has five unassigned bytes; a sheet holding them still
    # reads, and a name spoilt by a replacement character is reported
    # missing where the names are looked up.
    return data.decode(encoding, errors="replace"), encoding


def _unmarked_utf16(data: bytes) -> str | None:
    """The UTF-16 codec of a sheet written without a byte-order mark, or None.

    A sheet's commands are ASCII, so in UTF-16 every other byte of them is
    NUL: the high byte, first in big-endian order, second in little-endian.
    Text in a single-byte code page or in UTF-8 holds no NULs at all; a
    title in another script may put a NUL in the other place now and then.
    """
    if len(data) < 4 or len(data) % 2 or b"\0" not in data:
        return None
    even, odd = data[0::2].count(0), data[1::2].count(0)
    half = len(data) // 4
    if odd > half and even * 8 <= odd:
        return "utf-16-le"
    if even > half and odd * 8 <= even:
        return "utf-16-be"
    return None


def _detect_encoding(data: bytes) -> str:
    import charset_normalizer  # only for sheets that are not UTF-8

    matches = list(charset_normalizer.from_bytes(data, cp_isolation=list(SHEET_ENCODINGS)))
    if not matches:
        return FALLBACK_ENCODING
    best = matches[0]
    # On sheet-sized text the detector cannot tell the Latin code pages
    # apart (its language scores rank cp1250 over cp1252 for French, and the
    # reverse for Polish); where the fallback reads the sheet as cleanly as
    # the best match, the fallback wins.
    for match in matches:
        if match.chaos != best.chaos:
            break
        if FALLBACK_ENCODING in match.could_be_from_charset:
            return FALLBACK_ENCODING
    return codecs.lookup(best.encoding).name


def read_cue(path: str | os.PathLike[str], name: str | None = None) -> CueSheet:
    """Read a sheet file once, decode it and parse it.

    ``name`` names the sheet in messages (the path by default).  A file
    that cannot be read raises TrackError, a malformed sheet CueError.
    """
    shown = str(path) if name is None else name
    try:
        with open(path, "rb") as file:
            data = file.read(MAX_SHEET_BYTES + 1)
    except OSError as error:
        raise TrackError(f"{shown}: cannot be read: {reason(error)}") from None
    if len(data) > MAX_SHEET_BYTES:
        raise CueError(f"{shown}: larger than {MAX_SHEET_BYTES >> 20} MiB, not a CUE sheet")
    text, encoding = decode_sheet(data, shown)
    return replace(parse_cue(text, shown), encoding=encoding)


# -- FLAC ------------------------------------------------------------------------


def embedded_cue(path: str | os.PathLike[str], name: str | None = None) -> CueSheet | None:
    """The sheet embedded in a FLAC file, or None when it has none.

    A CUESHEET metadata block is taken first (its positions are PCM frames
    from the start of the FLAC); else a CUESHEET tag holding a sheet's text,
    whose single FILE entry is taken to be the FLAC itself.  Either way the
    sheet's one file is the FLAC, named by its file name, of type "FLAC".
    A file that is not a FLAC gives None; a damaged one raises TrackError.
    """
    from mutagen.flac import FLAC, FLACNoHeaderError

    shown = str(path) if name is None else name
    try:
        flac = FLAC(os.fspath(path))
    except FLACNoHeaderError:
        # Also raised for a FLAC that lost its stream info block.
        if not _starts_as_flac(path):
            return None
        raise TrackError(f"{shown}: damaged FLAC file: no stream info block") from None
    except Exception as error:  # mutagen wraps most troubles in MutagenError, not all
        cause = error.__context__ if isinstance(error.__context__, OSError) else error
        if isinstance(cause, OSError):
            raise TrackError(f"{shown}: cannot be read: {reason(cause)}") from None
        raise TrackError(f"{shown}: damaged FLAC file: {error}") from None
    own_name = os.path.basename(os.fspath(path))
    if flac.cuesheet is not None:
        return _from_block(flac.cuesheet, own_name, f"{shown}: CUESHEET block")
    texts = flac.tags.get("CUESHEET") if flac.tags is not None else None
    if not texts or not texts[0].strip():
        return None
    sheet = parse_cue(texts[0], f"{shown}: CUESHEET tag")
    if len(sheet.files) > 1:
        raise CueError(
            f"{sheet.name}: line {sheet.files[1].line}: a second FILE; "
            "an embedded sheet describes its own FLAC file only"
        )
    return replace(sheet, files=(CueFile(own_name, "FLAC", sheet.files[0].line),))


def _starts_as_flac(path: str | os.PathLike[str]) -> bool:
    try:
        with open(path, "rb") as file:
            return file.read(4) == b"fLaC"
    except OSError:
        return False


def _from_block(block: Any, own_name: str, name: str) -> CueSheet:
    tracks = []
    for entry in block.tracks:
        number = int(entry.track_number)
        if number in _LEAD_OUT_NUMBERS:
            continue
        start = int(entry.start_offset)
        indexes = tuple(
            CueIndex(int(point.index_number), 0, start + int(point.index_offset), 0)
            for point in entry.indexes
        )
        mode = "AUDIO" if entry.type == 0 else "DATA"
        tracks.append(CueTrack(number, mode, 0, indexes, 0, 0, 0))
    sheet = CueSheet(
        name, (CueFile(own_name, "FLAC", 0),), tuple(tracks), "utf-8", pcm_positions=True
    )
    _check(sheet, 0)
    return sheet
