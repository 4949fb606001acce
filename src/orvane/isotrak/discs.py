"""What a user names as a disc, opened and laid out, and checked.

A disc can be given as its track files in order, as a CUE sheet (a path,
or a sheet already parsed), as a folder (its one CUE sheet, else its audio
files in natural name order), or as one image file (by the sheet embedded
in a FLAC file, else as a single track).  Every file is opened once, and
every header is checked before any audio is read.  ``check_disc`` is the
one road from what was named to the verdict: the command line, the API
and library mode all take it.
"""

from __future__ import annotations

import os
import re
from collections.abc import Callable, Iterable, Iterator, Mapping, Sequence
from contextlib import contextmanager
from dataclasses import replace
from pathlib import Path

from orvane.isotrak.audio import (
    AUDIO_SUFFIXES,
    LOSSY_SUFFIXES,
    AudioFile,
    TrackSource,
    is_lossy_file_type,
    open_audio,
    refuse_lossy,
)
from orvane.isotrak.audio.formats import source_tags
from orvane.isotrak.audio.input import is_file, is_folder, reason
from orvane.isotrak.checksums import Progress, check_layout, reach, rereadable, v2_checksums
from orvane.isotrak.names import is_audio_name
from orvane.isotrak.cuesheet import (
    LEGACY_ENCODINGS,
    CueFile,
    CueSheet,
    embedded_cue,
    is_cue_sheet,
    natural_key,
    read_cue,
)
from orvane.isotrak.cd import MAX_COUNT, SAMPLE_RATE as CD_SAMPLE_RATE
from orvane.isotrak.errors import AmbiguousDisc, IncompleteDisc, TrackError, Warn, gathering, warn
from orvane.isotrak.layout import DiscLayout, files_in_stream, sheet_layout, track_layout
from orvane.isotrak.references import Reference, check_references, verify
from orvane.isotrak.results import DiscResult, TrackResult

__all__ = [
    "CD_SAMPLE_RATE",
    "DiscInput",
    "check_disc",
    "disc_checksums",
    "disc_files",
    "disc_paths",
    "natural_key",
    "open_disc",
    "second_v2_pass",
]

Path_ = str | os.PathLike[str]
DiscInput = Path_ | CueSheet | Iterable[Path_ | TrackSource]


def disc_files(folder: Path) -> Path | list[Path]:
    """A folder's disc: its one CUE sheet, else its audio files in natural order."""
    try:
        entries = sorted(
            (entry for entry in folder.iterdir() if is_file(entry)),
            key=lambda entry: natural_key(entry.name),
        )
    except OSError as error:
        raise TrackError(f"{folder}: cannot be read: {reason(error)}") from None
    sheets = [entry for entry in entries if is_cue_sheet(entry)]
    if len(sheets) == 1:
        return sheets[0]
    if sheets:
        names = ", ".join(sheet.name for sheet in sheets)
        raise AmbiguousDisc(f"{folder}: holds {len(sheets)} CUE sheets: {names}; give one")
    audio = [entry for entry in entries if is_audio_name(entry.name)]
    if audio:
        _refuse_twins(folder, audio)
        return audio
    lossy = [entry for entry in entries if entry.suffix.lower() in LOSSY_SUFFIXES]
    if lossy:
        raise refuse_lossy(str(folder), "holds only lossy audio files")
    raise TrackError(f"{folder}: holds no CUE sheet and no audio files")


def _refuse_twins(folder: Path, audio: Sequence[Path]) -> None:
    """Refuse a folder holding one track in two formats (01.wav and 01.flac)."""
    seen: dict[str, Path] = {}
    for entry in audio:
        twin = seen.setdefault(entry.stem.casefold(), entry)
        if twin is not entry:
            raise AmbiguousDisc(
                f"{folder}: holds {twin.name} and {entry.name}, one track twice; "
                "give the files of one rip"
            )


def _refuse_repeats(paths: Sequence[Path_]) -> None:
    """Refuse a file given twice as tracks of one disc."""
    seen: dict[tuple[int, int] | str, Path_] = {}
    for path in paths:
        try:
            status = os.stat(path)
            key: tuple[int, int] | str = (status.st_dev, status.st_ino)
        except OSError:
            key = os.path.abspath(path)  # opening it says what is wrong
        if key in seen:
            raise AmbiguousDisc(
                f"{os.fspath(path)}: given twice (also as {os.fspath(seen[key])}); "
                "each track once"
            )
        seen[key] = path


class _Opened:
    """The sources opened so far, closed together when anything fails."""

    def __init__(self) -> None:
        self.sources: list[TrackSource] = []

    def add(self, source: TrackSource) -> TrackSource:
        self.sources.append(source)
        return source

    def close(self) -> None:
        close_sources(self.sources)


def close_sources(sources: Iterable[TrackSource]) -> None:
    for source in sources:
        close = getattr(source, "close", None)
        if close is not None:
            close()


def _check_rates(
    sources: Sequence[TrackSource], sample_rate: int | None
) -> int:
    """Refuse sources that cannot go into a checksum; return the disc's rate."""
    if not sources:
        raise TrackError("a disc needs at least one track")
    first = sources[0]
    for source in sources:
        if source.frames <= 0:
            raise TrackError(f"{source.name}: has no audio frames")
        if not 0 < source.sample_rate <= MAX_COUNT:
            raise TrackError(f"{source.name}: sample rate {source.sample_rate} Hz is out of range")
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
    rate = first.sample_rate
    if rate != CD_SAMPLE_RATE:
        message = (
            f"{first.name}: {rate} Hz audio is not CD audio ({CD_SAMPLE_RATE} Hz); "
            f"its checksums cannot match a CD's"
        )
        warn(message)
    return rate


class _Folder:
    """A sheet's folder, listed as needed, for finding the files the sheet names."""

    def __init__(self, folder: Path) -> None:
        self.folder = folder
        self._names: dict[Path, list[str]] = {}

    def names(self, folder: Path) -> list[str]:
        if folder not in self._names:
            try:
                self._names[folder] = sorted(os.listdir(folder))
            except OSError:
                self._names[folder] = []
        return self._names[folder]

    def _entry(self, folder: Path, part: str, encoding: str) -> Path | None:
        """The entry of ``folder`` spelt ``part``, or differing only in case
        or in how its characters were encoded."""
        if part in ("", ".", ".."):
            return folder / part
        if os.path.exists(folder / part):
            return folder / part
        wanted = {spelling.casefold() for spelling in _spellings(part, encoding)}
        for name in self.names(folder):
            if name.casefold() in wanted:
                return folder / name
        return None

    def _walk(self, parts: Sequence[str], encoding: str) -> Path | None:
        """What these parts of a relative path name, each part found as ``_entry`` finds it."""
        place: Path | None = self.folder
        for part in parts:
            if place is None:
                return None
            place = self._entry(place, part, encoding)
        return place

    def _file(self, parts: Sequence[str], encoding: str) -> Path | None:
        found = self._walk(parts, encoding)
        return found if found is not None and is_file(found) else None

    def resolve(self, sheet: CueSheet, file: CueFile) -> Path:
        """The file a sheet's FILE entry names.

        Tried in turn: the name as written, relative to the sheet's folder,
        its folders parted by either separator, each part also found when it
        differs only in case or in how its characters were encoded; then its
        last part alone in the sheet's folder, for a path of another system;
        and last a file of the same stem with another audio suffix (the rip
        was re-encoded), which is said.
        """
        written = file.name
        direct = self.folder / written
        if is_file(direct):
            return direct
        parts = re.split(r"[\\/]", written)
        found = self._file(parts, sheet.encoding)
        if found is None and len(parts) > 1:
            found = self._file(parts[-1:], sheet.encoding)
        if found is not None:
            return found
        base = parts[-1]
        folder = self.folder
        if len(parts) > 1:
            # The re-encoded file beside where the sheet puts it, else in the sheet's folder.
            beside = self._walk(parts[:-1], sheet.encoding)
            folder = beside if beside is not None and is_folder(beside) else self.folder
        stem = Path(base).stem.casefold()
        for name in self.names(folder):
            candidate = Path(name)
            if candidate.stem.casefold() == stem and candidate.suffix.lower() in AUDIO_SUFFIXES:
                if is_file(folder / name):
                    shown = _relative(folder / name, self.folder)
                    message = f"{sheet.name}: line {file.line}: {written} is missing; using {shown}"
                    warn(message)
                    return folder / name
        raise TrackError(f"{sheet.name}: line {file.line}: {written} is missing")


def _relative(path: Path, folder: Path) -> str:
    """A path as a sheet in ``folder`` would name it."""
    return os.path.relpath(path, folder)


def _spellings(name: str, encoding: str) -> list[str]:
    """The name as decoded, as its own bytes on disk, and as each legacy decoding."""
    spellings = [name]
    try:
        raw = name.encode(encoding)
    except (UnicodeError, LookupError):
        return spellings
    spellings.append(os.fsdecode(raw))
    for legacy in LEGACY_ENCODINGS:
        try:
            spellings.append(raw.decode(legacy))
        except UnicodeError:
            continue
    return spellings


def _display(folder_shown: str, path: Path, folder: Path | None = None) -> str:
    """How a file in (or, by a sheet, named from) ``folder`` is shown: relative
    to that folder as the user named it, ``folder_shown``."""
    named = _relative(path, folder) if folder is not None else path.name
    return os.path.join(folder_shown, named) if folder_shown else named


def _sheet_paths(sheet: CueSheet, folder: Path) -> list[Path | None]:
    """The file each FILE entry of a sheet resolves to; None for those the
    stream leaves out, which need not exist."""
    place = _Folder(folder)
    return [
        place.resolve(sheet, file) if wanted else None
        for file, wanted in zip(sheet.files, files_in_stream(sheet))
    ]


def _sheet_disc(
    sheet: CueSheet,
    folder: Path,
    shown: str,
    sample_rate: int | None,
    opened: _Opened,
    given: Sequence[TrackSource] | None = None,
) -> DiscLayout:
    """Open the files of a sheet (``given``: already open) and lay the disc out."""
    for track in sheet.tracks:
        if track.mode == "CDG":
            # Its sectors carry subcode after the audio: read as audio, they would lie.
            raise TrackError(
                f"{sheet.name}: line {track.line}: track {track.number} is CD+G "
                "(audio sectors with subcode), which cannot be checked"
            )
    if not any(track.is_audio for track in sheet.tracks):
        raise TrackError(f"{sheet.name}: holds no audio tracks")
    for file in sheet.files:
        if is_lossy_file_type(file.file_type):
            # Refused as the sheet names it, before any file is looked for.
            raise refuse_lossy(f"{sheet.name}: line {file.line}: {file.name}", f"FILE type {file.file_type}")
    sources: list[TrackSource | None] = []
    if given is not None:
        sources = [given[n] if wanted else None for n, wanted in enumerate(files_in_stream(sheet))]
    else:
        for file, path in zip(sheet.files, _sheet_paths(sheet, folder)):
            sources.append(
                None
                if path is None
                else opened.add(
                    open_audio(path, _display(shown, path, folder), file_type=file.file_type)
                )
            )
    rate = _check_rates([s for s in sources if s is not None], sample_rate)
    return sheet_layout(sheet, sources, rate)


def _sheet_beside(path: Path) -> Path | None:
    """A CUE sheet in the same folder that names this file, if any."""
    try:
        entries = [entry for entry in path.parent.iterdir() if is_cue_sheet(entry)]
    except OSError:
        return None
    for entry in sorted(entries):
        if entry.stem.casefold() == path.stem.casefold():
            return entry
        try:
            text = entry.read_bytes()[:65536]
        except OSError:
            continue
        if os.fsencode(path.name).lower() in text.lower():
            return entry
    return None


def disc_paths(disc: Path_ | Iterable[Path_]) -> list[Path]:
    """The files a disc is read from, found as ``check_disc`` finds them,
    without opening any audio.

    A CUE sheet gives itself and then the files its FILE entries resolve
    to (those whose audio is in the disc stream); a folder gives what its
    sheet or its audio files give; an image or track files give
    themselves.  Raises TrackError as ``check_disc`` would for a folder or
    sheet that cannot be read, a malformed sheet, or a missing file.
    """
    if not isinstance(disc, (str, os.PathLike)):
        return [Path(path) for path in disc]
    path = Path(disc)
    if is_folder(path):
        found = disc_files(path)
        return disc_paths(found) if isinstance(found, Path) else found
    if is_cue_sheet(path):
        sheet = read_cue(path)
        with gathering():  # never released: finding the files says nothing
            resolved = _sheet_paths(sheet, path.parent)
        return [path, *(file for file in resolved if file is not None)]
    return [path]


@contextmanager
def open_disc(
    disc: DiscInput,
    *,
    folder: Path_ | None = None,
    sample_rate: int | None = None,
    hidden_file: bool = True,
) -> Iterator[DiscLayout]:
    """Open a disc's files and lay the disc out; the files are closed when
    the context ends, or at once when anything is refused.

    ``folder`` is where the files of a parsed CueSheet are looked for (by
    default the current folder).  With ``hidden_file``, the first of
    several track files numbered 0 is the audio before track 1.
    """
    opened = _Opened()
    try:
        layout = _open(disc, folder, sample_rate, hidden_file, opened)
    except BaseException:
        opened.close()
        raise
    try:
        yield layout
    finally:
        close_sources(layout.sources)


def _open(
    disc: DiscInput,
    folder: Path_ | None,
    sample_rate: int | None,
    hidden_file: bool,
    opened: _Opened,
) -> DiscLayout:
    if isinstance(disc, CueSheet):
        base = Path(folder) if folder is not None else Path.cwd()
        return _sheet_disc(disc, base, "" if folder is None else os.fspath(folder), sample_rate, opened)
    items: list[Path_ | TrackSource] = [disc] if isinstance(disc, (str, os.PathLike)) else list(disc)
    if not items:
        raise TrackError("a disc needs at least one track")
    paths = [item for item in items if isinstance(item, (str, os.PathLike))]
    if len(items) == 1 and paths:
        return _open_path(paths[0], sample_rate, hidden_file, opened)
    for path in paths:
        shown = os.fspath(path)
        if is_cue_sheet(path) or is_folder(path):
            raise TrackError(f"{shown}: a CUE sheet or a folder must be the only thing given")
    _refuse_repeats(paths)
    sources = [
        opened.add(open_audio(item, os.fspath(item)))
        if isinstance(item, (str, os.PathLike))
        else item
        for item in items
    ]
    return _track_files(sources, sample_rate, hidden_file)


def _track_files(
    sources: Sequence[TrackSource], sample_rate: int | None, hidden_file: bool
) -> DiscLayout:
    """A disc of track files: the first numbered 0 (00.wav, track00.flac)
    is hidden audio when ``hidden_file`` says so; titles come from tags."""
    rate = _check_rates(sources, sample_rate)
    hidden = None
    if hidden_file and len(sources) > 1:
        first, second = _track_number(sources[0].name), _track_number(sources[1].name)
        # Rippers write a track 0 as 00; a lone 0 is left to files numbered from 0.
        if re.fullmatch("00+", first) and second.isdigit() and int(second) == 1:
            hidden, sources = sources[0], sources[1:]
    titles = [source_tags(source) if isinstance(source, AudioFile) else (None, None) for source in sources]
    return track_layout(sources, rate, hidden=hidden, titles=titles)


def _track_number(name: str) -> str:
    """The first number in a file's name, as written ("00" of "track00.flac"), or ""."""
    number = re.search(r"\d+", _stem(name))
    return "" if number is None else number.group()


def _stem(name: str) -> str:
    """``Path(name).stem``, without a Path where the last part of a POSIX
    path is plainly its name."""
    last = name.rpartition("/")[2]
    if os.sep != "/" or os.altsep is not None or last in ("", "."):
        return Path(name).stem
    dot = last.rfind(".")
    return last[:dot] if 0 < dot < len(last) - 1 else last


def _open_path(
    path_given: Path_, sample_rate: int | None, hidden_file: bool, opened: _Opened
) -> DiscLayout:
    shown = os.fspath(path_given)
    path = Path(path_given)
    if is_folder(path):
        found = disc_files(path)
        if isinstance(found, list) and len(found) > 1:
            sources = [opened.add(open_audio(p, _display(shown, p))) for p in found]
            return _track_files(sources, sample_rate, hidden_file)
        path = found[0] if isinstance(found, list) else found
        shown = _display(shown, path)
    if is_cue_sheet(path):
        sheet = read_cue(path, shown)
        return _sheet_disc(sheet, path.parent, os.path.dirname(shown), sample_rate, opened)
    source = opened.add(open_audio(path, shown))
    if getattr(source, "format", None) == "FLAC" and is_file(path):
        embedded = embedded_cue(path, shown)
        if embedded is not None:
            return _sheet_disc(
                embedded, path.parent, os.path.dirname(shown), sample_rate, opened, [source]
            )
    beside = _sheet_beside(path) if is_file(path) else None
    if beside is not None:
        warn(f"{shown}: a CUE sheet lies beside it ({beside.name}); give the .cue to check its tracks")
    return _track_files([source], sample_rate, hidden_file)


def check_disc(
    disc: DiscInput,
    *,
    search: int = 0,
    v2_offset: int = 0,
    references: Sequence[Reference] = (),
    sample_rate: int | None = None,
    folder: Path_ | None = None,
    progress: Progress | None = None,
    progress_total: Progress | None = None,
    warn: Warn | None = None,
    threads: int | None = None,
    hidden_file: bool = True,
    opened: Callable[[DiscLayout], object] | None = None,
) -> DiscResult:
    """Compute the Isotrak checksums of every audio track of a disc, and
    verify them against references.

    disc: the disc's track files in order (paths, or TrackSource objects
        that yield 2-channel 16-bit PCM blocks), or one path: a CUE sheet,
        a folder (its one CUE sheet, else its audio files in natural name
        order) or an image file (checked by the sheet a FLAC file embeds,
        else as one track); or a CueSheet parsed from text, whose files are
        looked for in ``folder``.
    search: compute the version 1 checksums of every read shift from
        -search to +search frames.  Shifts that reach past a track read
        the stream around it, and silence beyond the stream's ends.
    v2_offset: the read shift, in frames, of the version 2 checksum.
    references: earlier rips of the disc (``read_reference``); the result's
        ``verification`` says what they say of it.  When a track matches
        by version 1 at a shift other than ``v2_offset``, its version 2
        checksum at that shift is computed in a second pass, if the files
        can be read again.
    sample_rate: the rate every file must have; by default the first
        file's rate, which every other file must share.
    progress: called with each number of frames read from the files;
        ``progress_total`` once, before, with the frames to be read.
    warn: called with each warning (one line of text), once the disc is
        open; by default they go through the warnings module as
        IsotrakWarning.  The result's ``warnings`` holds them all.
    threads: at most this many threads read the disc; by default one per
        core, up to a few.
    hidden_file: of several track files, take the first numbered 0
        (``00.wav``, ``00 - Hidden.flac``, ``track00.flac``) for the audio
        before track 1, hidden in no track and counted in hidden_frames;
        False checks it as track 1.
    opened: called with the disc laid out, once it is open: its sources
        tell afterwards what was read of them.

    Every header is checked before any audio is read; what cannot be
    checked raises TrackError, which names it (MismatchedReference for
    references of other tracks).  A file that fails while its audio is
    read fails the tracks that need what it could not give, each with its
    ``error``, and the others are checked; a stream (a pipe, a source of
    blocks) that fails raises IncompleteDisc, which holds the tracks done.
    """
    reach(search, v2_offset)
    opening = open_disc(disc, folder=folder, sample_rate=sample_rate, hidden_file=hidden_file)
    with gathering(warn) as gathered, opening as layout:
        if opened is not None:
            opened(layout)
        if references:
            check_references(references, [track.number for track in layout.tracks])
        # Told once nothing more can be refused before the audio is read.
        gathered.release()
        try:
            result = check_layout(
                layout,
                search=search,
                v2_offset=v2_offset,
                progress=progress,
                progress_total=progress_total,
                threads=threads,
            )
        except IncompleteDisc as error:
            error.results = replace(error.results, warnings=tuple(gathered.given))
            raise
        if references:

            def second_pass(shifts: Mapping[int, int]) -> Mapping[int, int]:
                return v2_checksums(layout, shifts, threads)

            try:
                verification = verify(result, references, second_pass if rereadable(layout) else None)
            except IncompleteDisc as error:
                error.results = replace(result, warnings=tuple(gathered.given))
                raise
            result = replace(result, verification=verification)
        return replace(result, warnings=tuple(gathered.given))


def second_v2_pass(
    disc: DiscInput, shifts: Mapping[int, int], *, folder: Path_ | None = None
) -> dict[int, int]:
    """The version 2 checksums of some tracks of a disc, each at its own
    shift, read from the disc opened again (``verify``'s ``v2_at`` for
    checksums kept from an earlier check)."""
    with gathering(), open_disc(disc, folder=folder) as layout:
        return v2_checksums(layout, shifts)


def disc_checksums(
    tracks: DiscInput,
    *,
    search: int = 0,
    v2_offset: int = 0,
    sample_rate: int | None = None,
    progress: Progress | None = None,
) -> list[TrackResult]:
    """The checksums of every track of a disc: ``check_disc(...).tracks`` as a list."""
    return list(
        check_disc(
            tracks, search=search, v2_offset=v2_offset, sample_rate=sample_rate, progress=progress
        ).tracks
    )
