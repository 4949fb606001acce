"""Discs as rips come: CUE sheets over images or track files, gaps, hidden
audio, data tracks, raw images and embedded sheets.

Every case writes generated audio and a sheet, and is checked against the
plain model run over the disc stream cut by hand at the boundaries the
rules give (each track from its INDEX 01 to the next one's, silence where
the sheet inserts it, data tracks left out).
"""

from __future__ import annotations

import io
import json
from collections.abc import Callable
from dataclasses import dataclass, field
from pathlib import Path

import pytest
from isotrak_model import Frame, frame_value, sl16_bytes, track_sums, write_wav
from conftest import noise

from orvane.isotrak import check_disc, main, parse_cue
from orvane.isotrak.library import find_discs

RATE = 750  # ten PCM frames a CD frame; lead-in skip 50 frames
CD = RATE // 75


def cd_time(cd_frames: int) -> str:
    return f"{cd_frames // 75 // 60:02d}:{cd_frames // 75 % 60:02d}:{cd_frames % 75:02d}"


@dataclass
class Case:
    """A rip written to a folder, and the disc stream the model sees."""

    folder: Path
    rate: int = RATE
    stream: list[Frame] = field(default_factory=list)
    spans: list[tuple[int, int, int]] = field(default_factory=list)  # (number, start, frames)
    hidden: int = 0
    skipped: list[int] = field(default_factory=list)
    sheet: str = ""
    warning: str = ""

    def write_sheet(self, text: str, name: str = "disc.cue", encoding: str = "utf-8") -> Path:
        self.sheet = name
        path = self.folder / name
        path.write_bytes(text.encode(encoding))
        return path

    def expected(self, search: int, v2_offset: int) -> list[tuple[int, int, int, dict[int, int], int]]:
        values = [frame_value(left, right) for left, right in self.stream]
        rows = []
        for k, (number, start, frames) in enumerate(self.spans):
            v1, v2 = track_sums(
                values, start, frames, self.rate, k == 0, k == len(self.spans) - 1,
                range(-search, search + 1), v2_offset,
            )
            rows.append((number, start, frames, v1, v2))
        return rows


# Three tracks of one image: INDEX 01 at these CD frames, 80 CD frames in all.
STARTS, LENGTH = (0, 30, 55), 80


def image(case: Case) -> None:
    audio = noise(1, LENGTH * CD + 7)
    write_wav(case.folder / "image.wav", audio, RATE)
    case.stream = audio
    bounds = [s * CD for s in STARTS] + [len(audio)]
    case.spans = [(n + 1, bounds[n], bounds[n + 1] - bounds[n]) for n in range(3)]
    tracks = "".join(
        f"  TRACK {n + 1:02d} AUDIO\n    TITLE \"Song {n + 1}\"\n    INDEX 01 {cd_time(s)}\n"
        for n, s in enumerate(STARTS)
    )
    case.write_sheet(f'REM GENRE Test\nPERFORMER "Someone"\nFILE "image.wav" WAVE\n{tracks}')


def split_files(case: Case, gaps_at_end: bool) -> None:
    """The image's audio as three track files, each track 2 and 3 with a gap of 4 CD frames."""
    audio = noise(1, LENGTH * CD + 7)
    case.stream = audio
    bounds = [s * CD for s in STARTS] + [len(audio)]
    case.spans = [(n + 1, bounds[n], bounds[n + 1] - bounds[n]) for n in range(3)]
    gap = 4 * CD
    # Files cut at the gaps' starts (gap at the start of the next file) or
    # at the INDEX 01 points (gap at the end of the previous one).
    cuts = [0, *(b if gaps_at_end else b - gap for b in bounds[1:3]), len(audio)]
    for n in range(3):
        write_wav(case.folder / f"{n + 1:02d}.wav", audio[cuts[n] : cuts[n + 1]], RATE)
    lines = ['FILE "01.wav" WAVE', "  TRACK 01 AUDIO", "    INDEX 01 00:00:00"]
    for n in (1, 2):
        length = (cuts[n] - cuts[n - 1]) // CD
        if gaps_at_end:
            lines += [f"  TRACK {n + 1:02d} AUDIO", f"    INDEX 00 {cd_time(length - 4)}"]
            lines += [f'FILE "{n + 1:02d}.wav" WAVE', "    INDEX 01 00:00:00"]
        else:
            lines += [f'FILE "{n + 1:02d}.wav" WAVE', f"  TRACK {n + 1:02d} AUDIO"]
            lines += ["    INDEX 00 00:00:00", f"    INDEX 01 {cd_time(4)}"]
    case.write_sheet("\r\n".join(lines) + "\r\n")


def gaps_at_end(case: Case) -> None:
    split_files(case, gaps_at_end=True)


def gaps_at_start(case: Case) -> None:
    split_files(case, gaps_at_end=False)


def pregap_postgap(case: Case) -> None:
    audio = noise(2, 60 * CD)
    write_wav(case.folder / "image.wav", audio, RATE)
    pre, post = 3 * CD, 2 * CD
    # Track 2 at CD frame 20 with 3 CD frames of PREGAP before it and 2 of
    # POSTGAP after it (before track 3 at CD frame 40).
    a, b = 20 * CD, 40 * CD
    silence = [(0, 0)]
    case.stream = audio[:a] + silence * pre + audio[a:b] + silence * post + audio[b:]
    case.spans = [(1, 0, a + pre), (2, a + pre, b - a + post), (3, b + pre + post, len(audio) - b)]
    case.write_sheet(
        'FILE "image.wav" WAVE\n  TRACK 01 AUDIO\n    INDEX 01 00:00:00\n'
        f"  TRACK 02 AUDIO\n    PREGAP 00:00:03\n    INDEX 01 {cd_time(20)}\n    POSTGAP 00:00:02\n"
        f"  TRACK 03 AUDIO\n    INDEX 01 {cd_time(40)}\n"
    )


def hidden_audio(case: Case) -> None:
    audio = noise(3, 50 * CD + 3)
    write_wav(case.folder / "image.wav", audio, RATE)
    case.stream = audio
    case.hidden = 12 * CD
    case.spans = [(1, 12 * CD, 18 * CD), (2, 30 * CD, len(audio) - 30 * CD)]
    case.write_sheet(
        'FILE "image.wav" WAVE\n  TRACK 01 AUDIO\n    INDEX 00 00:00:00\n'
        f"    INDEX 01 {cd_time(12)}\n  TRACK 02 AUDIO\n    INDEX 01 {cd_time(30)}\n"
    )


def data_track(case: Case, first: bool) -> None:
    audio = noise(4, 50 * CD + 1)
    write_wav(case.folder / "audio.wav", audio, RATE)
    (case.folder / "data.bin").write_bytes(bytes(range(256)) * 9 + b"\x01")  # never read
    case.stream = audio
    numbers = (2, 3) if first else (1, 2)
    case.spans = [(numbers[0], 0, 20 * CD), (numbers[1], 20 * CD, len(audio) - 20 * CD)]
    case.skipped = [1 if first else 3]
    audio_part = (
        f'FILE "audio.wav" WAVE\n  TRACK {numbers[0]:02d} AUDIO\n    INDEX 01 00:00:00\n'
        f"  TRACK {numbers[1]:02d} AUDIO\n    INDEX 00 {cd_time(18)}\n    INDEX 01 {cd_time(20)}\n"
    )
    data_part = f'FILE "data.bin" BINARY\n  TRACK {case.skipped[0]:02d} MODE1/2352\n    INDEX 01 00:00:00\n'
    case.write_sheet(data_part + audio_part if first else audio_part + data_part)


def data_past_the_image(case: Case) -> None:
    """An enhanced disc ripped to an image of its audio: the data track's
    INDEX 01 lies past the image's end."""
    image(case)
    (case.folder / case.sheet).write_text(
        (case.folder / case.sheet).read_text() + "  TRACK 04 MODE1/2352\n    INDEX 01 70:00:00\n"
    )
    case.skipped = [4]


def data_first(case: Case) -> None:
    data_track(case, first=True)


def data_last(case: Case) -> None:
    data_track(case, first=False)


def raw_image(case: Case, byteorder: str) -> None:
    case.rate = 44100
    audio = noise(5, 21 * 588 + 100)
    data = sl16_bytes(audio)
    if byteorder == "big":
        data = b"".join(data[i + 1 : i + 2] + data[i : i + 1] for i in range(0, len(data), 2))
    (case.folder / "image.bin").write_bytes(data)
    case.stream = audio
    case.spans = [(1, 0, 7 * 588), (2, 7 * 588, 7 * 588), (3, 14 * 588, len(audio) - 14 * 588)]
    kind = "BINARY" if byteorder == "little" else "MOTOROLA"
    case.write_sheet(
        f'FILE "image.bin" {kind}\n'
        + "".join(f"  TRACK {n + 1:02d} AUDIO\n    INDEX 01 00:{7 * n // 75:02d}:{7 * n % 75:02d}\n" for n in range(3))
    )


def binary(case: Case) -> None:
    raw_image(case, "little")


def motorola(case: Case) -> None:
    raw_image(case, "big")


def reencoded(case: Case) -> None:
    """The sheet names image.wav; the rip was re-encoded to FLAC."""
    soundfile = pytest.importorskip("soundfile")
    image(case)
    wav = case.folder / "image.wav"
    data, rate = soundfile.read(str(wav), dtype="int16")
    soundfile.write(str(case.folder / "image.flac"), data, rate, subtype="PCM_16")
    wav.unlink()


def legacy_encoding(case: Case) -> None:
    audio = noise(6, 40 * CD)
    write_wav(case.folder / "Café Ñandú.wav", audio, RATE)
    case.stream = audio
    case.spans = [(1, 0, 20 * CD), (2, 20 * CD, 20 * CD)]
    case.write_sheet(
        'TITLE "Élan"\nFILE "Café Ñandú.wav" WAVE\n  TRACK 01 AUDIO\n    TITLE "Déjà vu"\n'
        f"    INDEX 01 00:00:00\n  TRACK 02 AUDIO\n    TITLE \"Señor\"\n    INDEX 01 {cd_time(20)}\n",
        encoding="cp1252",
    )


def indexes_across_tracks(case: Case) -> None:
    """Track 2's INDEX 02 after track 3's INDEX 00: only the INDEX 01s place tracks."""
    image(case)
    text = (case.folder / case.sheet).read_text()
    text = text.replace(f"INDEX 01 {cd_time(30)}\n", f"INDEX 01 {cd_time(30)}\n    INDEX 02 {cd_time(52)}\n")
    text = text.replace(f"INDEX 01 {cd_time(55)}", f"INDEX 00 {cd_time(50)}\n    INDEX 01 {cd_time(55)}")
    case.write_sheet(text)
    case.warning = "line 13: INDEX 00 of TRACK 03 at 00:00:50 is before the index at 00:00:52"


def postgap_last(case: Case) -> None:
    image(case)
    case.write_sheet((case.folder / case.sheet).read_text() + "    POSTGAP 00:00:04\n")
    case.stream = case.stream + [(0, 0)] * 4 * CD
    number, start, frames = case.spans[-1]
    case.spans[-1] = (number, start, frames + 4 * CD)


def pregap_first(case: Case) -> None:
    """The first track's PREGAP is hidden, as hidden audio would be."""
    image(case)
    text = (case.folder / case.sheet).read_text()
    case.write_sheet(text.replace('"Song 1"\n', '"Song 1"\n    PREGAP 00:00:02\n', 1))
    case.stream = [(0, 0)] * 2 * CD + case.stream
    case.hidden = 2 * CD
    case.spans = [(n, start + 2 * CD, frames) for n, start, frames in case.spans]


def pregap_after_data(case: Case) -> None:
    """A PREGAP after a data track lies in the data track's span."""
    data_track(case, first=True)
    text = (case.folder / case.sheet).read_text()
    case.write_sheet(text.replace("AUDIO\n", "AUDIO\n    PREGAP 00:00:02\n", 1))


def backslash_folder(case: Case) -> None:
    """FILE "Various - Album\\01 - Song.wav" names a file in a folder, its case aside."""
    (case.folder / "various - album").mkdir()
    image(case)
    (case.folder / "image.wav").rename(case.folder / "various - album" / "01 - Song.wav")
    text = (case.folder / case.sheet).read_text()
    case.write_sheet(text.replace('"image.wav"', '"Various - Album\\01 - Song.wav"'))


def utf16(case: Case, encoding: str) -> None:
    legacy_encoding(case)
    text = (case.folder / case.sheet).read_bytes().decode("cp1252")
    case.write_sheet(text, encoding=encoding)


CASES: dict[str, Callable[[Case], None]] = {
    "image": image,
    "gaps at the end of the previous file": gaps_at_end,
    "gaps at the start of the next file": gaps_at_start,
    "pregap and postgap": pregap_postgap,
    "hidden audio": hidden_audio,
    "data track first": data_first,
    "data track last": data_last,
    "data track past the image": data_past_the_image,
    "BINARY image": binary,
    "MOTOROLA image": motorola,
    "re-encoded file": reencoded,
    "legacy encoding": legacy_encoding,
    "index points across tracks": indexes_across_tracks,
    "POSTGAP on the last track": postgap_last,
    "PREGAP on the first track": pregap_first,
    "PREGAP after a data track": pregap_after_data,
    "backslash folders": backslash_folder,
    "UTF-16-LE without a mark": lambda case: utf16(case, "utf-16-le"),
    "UTF-16-BE without a mark": lambda case: utf16(case, "utf-16-be"),
}


@pytest.mark.parametrize("name", CASES)
@pytest.mark.parametrize(("search", "v2_offset"), [(0, 0), (12, -7)])
def test_sheet_matches_the_hand_cut_stream(tmp_path, capsys, name, search, v2_offset):
    case = Case(tmp_path)
    CASES[name](case)
    argv = [str(tmp_path / case.sheet), "--json", "--search", str(search), "--v2-offset", str(v2_offset)]
    assert main(argv) == 0
    out, err = capsys.readouterr()
    document = json.loads(out)
    got = [
        (t["track"], t["start"], t["frames"], {int(s): v for s, v in t["v1_by_shift"].items()}, t["v2"])
        for t in document["tracks"]
    ]
    assert got == case.expected(search, v2_offset)
    assert document["hidden_frames"] == case.hidden
    assert document["hidden_frames"] + sum(t["frames"] for t in document["tracks"]) == len(case.stream)
    assert document["skipped_tracks"] == case.skipped
    assert all(Path(t["file"]).is_file() for t in document["tracks"])
    assert ("is missing; using image.flac" in err) == (name == "re-encoded file")
    assert case.warning in err


def test_sheet_text_folder_and_files_agree(tmp_path):
    """A parsed sheet, the folder holding it and the sheet's path give one result."""
    case = Case(tmp_path)
    image(case)
    text = (tmp_path / case.sheet).read_text()
    by_path = check_disc(tmp_path / case.sheet, search=3)
    assert check_disc(tmp_path, search=3) == by_path
    assert check_disc(parse_cue(text), folder=tmp_path, search=3).tracks == by_path.tracks


def test_embedded_sheet_of_a_flac_image(tmp_path, capsys):
    soundfile = pytest.importorskip("soundfile")
    mutagen_flac = pytest.importorskip("mutagen.flac")
    case = Case(tmp_path)
    image(case)
    data, rate = soundfile.read(str(tmp_path / "image.wav"), dtype="int16")
    flac = tmp_path / "rip.flac"
    soundfile.write(str(flac), data, rate, subtype="PCM_16")
    tags = mutagen_flac.FLAC(str(flac))
    tags["CUESHEET"] = (tmp_path / case.sheet).read_text()
    tags.save()
    assert main([str(flac), "--json", "--search", "4"]) == 0
    document = json.loads(capsys.readouterr().out)
    got = [(t["track"], t["start"], t["frames"]) for t in document["tracks"]]
    assert got == [row[:3] for row in case.expected(4, 0)]
    assert [t["v1_by_shift"]["-4"] for t in document["tracks"]] == [
        row[3][-4] for row in case.expected(4, 0)
    ]


def test_folder_of_track_files_in_natural_order(tmp_path):
    # "²" is a digit to str.isdigit that int() refuses: it sorts as a letter.
    names = ["track1.wav", "track2.wav", "track10.wav", "²1.wav"]
    tracks = [noise(10 + n, 120 + n) for n in range(len(names))]
    for name, track in reversed(list(zip(names, tracks))):
        write_wav(tmp_path / name, track, RATE)
    results = check_disc(tmp_path).tracks
    assert [Path(r.name).name for r in results] == names
    assert [r.frames for r in results] == [120, 121, 122, 123]
    library = find_discs(tmp_path)
    assert [Path(p).name for p in library[0].tracks] == names


def test_lone_image_beside_its_sheet_warns(tmp_path, capsys):
    case = Case(tmp_path)
    image(case)
    assert main([str(tmp_path / "image.wav")]) == 0
    out, err = capsys.readouterr()
    assert "give the .cue to check its tracks" in err and "warning" not in out
    assert len(out.splitlines()) == 2  # one track


@pytest.mark.parametrize(
    ("sheet", "message"),
    [
        ('TRACK 01 AUDIO\n  INDEX 01 00:00:00\n', "line 1"),
        ('FILE "image.wav" WAVE\n  TRACK 01 AUDIO\n    INDEX 01 00:61:00\n', "line 3"),
        ('FILE "image.wav" WAVE\n  TRACK 01 AUDIO\n    TITLE "x"\n  TRACK 02 AUDIO\n    INDEX 01 00:01:00\n', "line 2"),
        ('FILE "image.wav" WAVE\n  TRACK 01 AUDIO\n    INDEX 01 00:00:00\n  TRACK 02 AUDIO\n    INDEX 01 00:00:00\n', "track 1 holds no frames"),
        ('FILE "image.wav" WAVE\n  TRACK 01 AUDIO\n    INDEX 01 59:00:00\n', "past the end of"),
        ('FILE "gone.wav" WAVE\n  TRACK 01 AUDIO\n    INDEX 01 00:00:00\n', "line 1: gone.wav is missing"),
        ('FILE "song.mp3" MP3\n  TRACK 01 AUDIO\n    INDEX 01 00:00:00\n', "lossy audio cannot be verified"),
        ('FILE "image.wav" BINARY\n  TRACK 01 MODE1/2352\n    INDEX 01 00:00:00\n', "bad.cue: holds no audio tracks"),
    ],
)
def test_bad_sheets_are_refused_with_their_line(tmp_path, capsys, sheet, message):
    write_wav(tmp_path / "image.wav", noise(7, 40 * CD), RATE)
    (tmp_path / "song.mp3").write_bytes(b"ID3\x04\x00\x00\x00\x00\x00\x00" + bytes(500))
    (tmp_path / "bad.cue").write_text(sheet)
    assert main([str(tmp_path / "bad.cue")]) == 1
    out, err = capsys.readouterr()
    assert out == "" and err.startswith("orvane-isotrak: error: ") and message in err
    assert len(err.splitlines()) == 1


def test_warnings_for_a_short_track_and_non_cd_audio(tmp_path, capsys):
    write_wav(tmp_path / "short.wav", noise(8, 40), RATE)  # under the 50-frame skip
    assert main([str(tmp_path / "short.wav")]) == 0
    out, err = capsys.readouterr()
    assert "750 Hz audio is not CD audio" in err and "counted window empty" in err
    assert out.splitlines()[1].split()[-2:] == ["00000000", "00000000"]


@pytest.mark.parametrize(
    ("files", "named", "message"),
    [
        (["CD1.cue", "CD2.cue", "Disc Image.wav"], ".", "holds 2 CUE sheets: CD1.cue, CD2.cue; give one"),
        (["01.wav", "01.flac", "02.wav"], ".", "holds 01.flac and 01.wav, one track twice"),
        (["01.wav", "02.wav"], "01.wav 02.wav 01.wav", "01.wav: given twice (also as "),
    ],
)
def test_a_disc_named_twice_over_is_refused(tmp_path, capsys, files, named, message):
    for name in files:
        write_wav(tmp_path / name, noise(9, 100), RATE)
    assert main([str(tmp_path / name) for name in named.split()]) == 2
    out, err = capsys.readouterr()
    assert out == "" and message in err and len(err.splitlines()) == 1


@pytest.mark.parametrize("hidden_file", [True, False])
def test_a_track_file_numbered_00_is_hidden_audio(tmp_path, capsys, hidden_file):
    audio = [noise(20 + n, length) for n, length in enumerate([120, 300, 310])]
    for name, track in zip(["00 - Hidden.wav", "01.wav", "02.wav"], audio):
        write_wav(tmp_path / name, track, RATE)
    case = Case(tmp_path, stream=[frame for track in audio for frame in track])
    case.hidden = 120 if hidden_file else 0
    lengths = [300, 310] if hidden_file else [120, 300, 310]
    starts = [case.hidden, case.hidden + lengths[0], case.hidden + lengths[0] + (lengths[1] if len(lengths) > 2 else 0)]
    case.spans = [(n + 1, starts[n], length) for n, length in enumerate(lengths)]
    options = [] if hidden_file else ["--no-hidden-file"]
    assert main([str(tmp_path), "--json", "--search", "5", *options]) == 0
    document = json.loads(capsys.readouterr().out)
    got = [(t["track"], t["start"], t["frames"], {int(s): v for s, v in t["v1_by_shift"].items()}, t["v2"])
           for t in document["tracks"]]
    assert got == case.expected(5, 0) and document["hidden_frames"] == case.hidden
    assert main([str(tmp_path), *options]) == 0
    table = capsys.readouterr().out
    assert ("hidden audio before track 1: 120 frames" in table) == hidden_file


def test_titles_of_sheets_and_tags_in_the_table_and_json(tmp_path, capsys):
    case = Case(tmp_path)
    image(case)
    sheet = (tmp_path / case.sheet).read_text().replace('"Song 2"', '"東京の夜"\n    PERFORMER "Guest"')
    case.write_sheet('TITLE "Album"\n' + sheet)
    assert main([str(tmp_path / case.sheet), "--json"]) == 0
    document = json.loads(capsys.readouterr().out)
    assert (document["title"], document["performer"]) == ("Album", "Someone")
    assert [(t["title"], t["performer"]) for t in document["tracks"]] == [
        ("Song 1", None), ("東京の夜", "Guest"), ("Song 3", None)
    ]
    assert main([str(tmp_path / case.sheet)]) == 0
    lines = capsys.readouterr().out.splitlines()
    assert lines[0].split()[-1] == "title" and lines[2].endswith("Guest - 東京の夜")
    assert "disc: Album by Someone" in lines
    # Each title starts in the same column on a terminal, wide characters or not.
    first = lines[1].index("Song 1")
    assert lines[0].index("title") == first and lines[3].index("Song 3") == first

    soundfile = pytest.importorskip("soundfile")
    mutagen_flac = pytest.importorskip("mutagen.flac")
    folder = tmp_path / "tagged"
    folder.mkdir()
    for n, title in enumerate(["Intro", "Outro"], 1):
        path = folder / f"{n:02d}.flac"
        soundfile.write(str(path), [[0.0, 0.0]] * 200, RATE, subtype="PCM_16")
        tags = mutagen_flac.FLAC(str(path))
        tags["TITLE"], tags["ARTIST"] = title, "Band"
        tags.save()
    assert main([str(folder), "--json"]) == 0
    tracks = json.loads(capsys.readouterr().out)["tracks"]
    assert [(t["title"], t["performer"]) for t in tracks] == [("Intro", "Band"), ("Outro", "Band")]


def _chunk(chunk_id: bytes, body: bytes) -> bytes:
    return chunk_id + len(body).to_bytes(4, "little") + body + bytes(len(body) % 2)


@pytest.mark.parametrize(
    ("name", "before", "after", "title"),
    [
        ("01.wav", b"", b"", None),
        ("01.wav", b"", b"id3 ", "Song"),
        ("01.wav", b"ID3 ", b"", "Song"),
        ("01.wav", b"LIST", b"id3 ", "Song"),
        ("01.WAV", b"", b"ID3 ", "Song"),
        ("01.wave", b"", b"id3 ", "Song"),
    ],
)
def test_titles_of_wav_files_from_their_id3_chunk(tmp_path, name, before, after, title):
    """A WAV file's tags are found in its ID3 chunk, before its audio or after it."""
    id3 = pytest.importorskip("mutagen.id3")
    tags = id3.ID3()
    tags.add(id3.TIT2(text=["Song"]))
    written = io.BytesIO()
    tags.save(written)
    tag = written.getvalue()
    chunks = {b"": b"", b"LIST": _chunk(b"LIST", b"INFO"), b"id3 ": _chunk(b"id3 ", tag), b"ID3 ": _chunk(b"ID3 ", tag)}
    fmt = _chunk(b"fmt ", (1).to_bytes(2, "little") + (2).to_bytes(2, "little") + RATE.to_bytes(4, "little")
                 + (4 * RATE).to_bytes(4, "little") + (4).to_bytes(2, "little") + (16).to_bytes(2, "little"))
    body = b"WAVE" + fmt + chunks[before] + _chunk(b"data", sl16_bytes(noise(3, 300))) + chunks[after]
    (tmp_path / name).write_bytes(b"RIFF" + len(body).to_bytes(4, "little") + body)
    assert [track.title for track in check_disc([tmp_path / name]).tracks] == [title]
