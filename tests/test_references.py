"""Reference checksums: the three forms read and refused, the matching of
results against them, the disc's verdict, and the shift sign end to end
against references made by the plain model from shifted audio."""

from __future__ import annotations

import json

import pytest
from isotrak_model import disc_sums, write_wav
from conftest import noise, split

from orvane.isotrak import disc_checksums, references
from orvane.isotrak.references import (
    Candidate,
    MalformedReference,
    MismatchedReference,
    Reference,
    UnreadableReference,
    check_references,
    parse_reference,
    read_reference,
    verify,
)
from orvane.isotrak.report import (
    disc_verification_json,
    outcome_cell,
    track_verification_json,
    verdict_line,
)
from orvane.isotrak.results import DiscResult, TrackResult

RATE = 750  # lead-in skip of 50 frames keeps the tracks short

# -- reading -------------------------------------------------------------------


def tool_output(v2_offset: int) -> str:
    track = {"file": "t.wav", "frames": 9, "v1_by_shift": {"-1": 5, "0": 10, "1": 7}}
    return json.dumps(
        {
            "sample_rate": 44100,
            "search": 1,
            "v2_offset": v2_offset,
            "tracks": [{"track": 1, "v1": 10, "v2": 20, **track}, {"track": 2, "v1": 11, "v2": 21}],
        }
    )


@pytest.mark.parametrize(
    ("text", "tracks"),
    [
        (
            "# rip of 2024\n\n01 0000000a 00000014   # trailing\n  2 FFFFFFFF\r\n",
            {1: (Candidate(10, 20),), 2: (Candidate(0xFFFFFFFF),)},
        ),
        (tool_output(0), {1: (Candidate(10, 20),), 2: (Candidate(11, 21),)}),
        # A version 2 checksum taken at another shift is not the rip as read.
        (tool_output(3), {1: (Candidate(10),), 2: (Candidate(11),)}),
        (
            '\ufeff {"tracks": [{"track": 2, "checksums": [{"v1": 1, "v2": 2, "count": 12},'
            ' {"v1": 3, "v2": null}, {"v1": 4}]}, {"track": 1, "checksums": []}]}',
            {2: (Candidate(1, 2, 12), Candidate(3), Candidate(4)), 1: ()},
        ),
    ],
)
def test_reference_forms_are_read(tmp_path, text, tracks):
    path = tmp_path / "ref"
    path.write_text(text, encoding="utf-8")
    assert read_reference(path, "r") == Reference("r", tracks)


CHECKSUMS = '{"tracks": [{"track": 1, "checksums": [{"v1": 1}, %s]}]}'
NOT_CHECKSUM = "not a 32-bit unsigned integer"
NOT_INT = "not a positive integer"
COUNT = "r: tracks[0].checksums[1].count: "


@pytest.mark.parametrize(
    ("text", "message"),
    [
        ("1 0000000A 00000014 0000001E", "r:1: not a line of TRACK V1 [V2]"),
        ("\n# one\n1", "r:3: not a line of TRACK V1 [V2]"),
        ("0 0000000A", "r:1: track '0' is not a positive integer"),
        ("+1 0000000A", "r:1: track '+1' is not a positive integer"),
        ("1 0000000", "r:1: '0000000' is not a checksum of 8 hexadecimal digits"),
        ("1 0x0000000A", "r:1: '0x0000000A' is not a checksum of 8 hexadecimal digits"),
        ("1 0000000A\n\n1 0000000B", "r:3: track 1 is listed twice (also on line 1)"),
        ("# nothing\n", "r: lists no tracks"),
        ('{"tracks": [', "r:1:13: not valid JSON: Expecting value"),
        ('{"tracks": [{"track": 1, "v1": NaN}]}', "r: not valid JSON: NaN is not JSON"),
        ("[" * 100000, "r: not valid JSON: nested too deeply"),
        ("[" + "9" * 5000 + "]", "r: not valid JSON: a number of 5000 digits"),
        ("[1]", "r: not a JSON object"),
        ("{}", "r: tracks: missing"),
        ('{"tracks": {}}', "r: tracks: not a list"),
        ('{"tracks": []}', "r: lists no tracks"),
        ('{"v2_offset": "3", "tracks": []}', "r: v2_offset: not an integer"),
        ('{"tracks": [1]}', "r: tracks[0]: not a JSON object"),
        ('{"tracks": [{"v1": 1}]}', "r: tracks[0].track: missing"),
        ('{"tracks": [{"track": true, "v1": 1}]}', "r: tracks[0].track: not a positive integer"),
        ('{"tracks": [{"track": 1}]}', 'r: tracks[0]: needs either "checksums" or "v1"'),
        ('{"tracks": [{"track": 1, "v1": 1, "v1": 2}]}', 'r: tracks[0]: key "v1" appears twice'),
        (
            '{"tracks": [{"track": 1, "v1": 1}, {"track": 1, "v1": 2}]}',
            "r: tracks[1].track: track 1 is listed twice (also at tracks[0])",
        ),
        ('{"tracks": [{"track": 1, "v1": 1, "v2": -1}]}', "r: tracks[0].v2: " + NOT_CHECKSUM),
        ('{"tracks": [{"track": 1, "checksums": {}}]}', "r: tracks[0].checksums: not a list"),
        (CHECKSUMS % "[]", "r: tracks[0].checksums[1]: not a JSON object"),
        (CHECKSUMS % '{"v2": 1}', "r: tracks[0].checksums[1].v1: missing"),
        *(
            (CHECKSUMS % f'{{"v1": {bad}}}', "r: tracks[0].checksums[1].v1: " + NOT_CHECKSUM)
            for bad in ("4294967296", "-1", '"0000000A"', "10.0", "true")
        ),
        *(
            (CHECKSUMS % f'{{"v1": 1, "count": {bad}}}', COUNT + NOT_INT)
            for bad in ("0", "true", "null")
        ),
    ],
)
def test_malformed_references_are_refused(text, message):
    with pytest.raises(MalformedReference) as refused:
        parse_reference(text, "r")
    assert str(refused.value) == message


def test_unreadable_references_are_refused(tmp_path, monkeypatch):
    (tmp_path / "latin1").write_bytes(b"1 0000000A\n# caf\xe9\n")
    (tmp_path / "big").write_text("1 0000000A\n" * 10)
    (tmp_path / "folder").mkdir()
    cases = [
        ("missing", UnreadableReference, "missing: cannot be read: No such file or directory"),
        ("folder", UnreadableReference, "folder: cannot be read: Is a directory"),
        ("latin1", UnreadableReference, "latin1:2: not UTF-8 text"),
        ("big", MalformedReference, "big: more than 100 bytes, too large for a reference"),
    ]
    monkeypatch.setattr(references, "MAX_REFERENCE_BYTES", 100)
    for name, kind, message in cases:
        with pytest.raises(kind) as refused:
            read_reference(tmp_path / name, name)
        assert str(refused.value) == message


@pytest.mark.parametrize(
    ("numbers", "message"),
    [
        ([1, 2, 3], "r: has 2 tracks, the disc 3"),
        ([1], "r: has 2 tracks, the disc 1"),
        ([1, 3], "r: track 2 is not on the disc"),
    ],
)
def test_references_for_another_disc_are_refused(numbers, message):
    with pytest.raises(MismatchedReference) as refused:
        check_references([parse_reference("1 0000000A\n2 0000000B", "r")], numbers)
    assert str(refused.value) == message


# -- matching --------------------------------------------------------------------
#
# Synthetic results: track n's version 1 checksum at shift s is v1(n, s), its
# version 2 checksum at shift o is v2(n, o); every value is distinct.


def v1(number: int, shift: int) -> int:
    return 1000 * number + 500 + shift


def v2(number: int, shift: int) -> int:
    return 1000 * number + 800 + shift


def disc(numbers=(1,), search=3, v2_offset=0, silent=()) -> DiscResult:
    tracks = tuple(
        TrackResult(
            number=n,
            name=f"t{n}.wav",
            frames=1000,
            checksums_v1={s: 0 if n in silent else v1(n, s) for s in range(-search, search + 1)},
            checksum_v2=v2(n, v2_offset),
            v2_offset=v2_offset,
        )
        for n in numbers
    )
    return DiscResult(tracks, RATE, search, v2_offset)


class FakeSecondPass:
    def __init__(self) -> None:
        self.calls: list[dict[int, int]] = []

    def __call__(self, shifts):
        self.calls.append(dict(shifts))
        return {n: v2(n, s) for n, s in shifts.items()}


def one_track(*candidates: Candidate) -> Reference:
    return Reference("r", {1: candidates})


@pytest.mark.parametrize(
    ("rip", "refs", "second_pass", "expected"),
    [
        # expected: ((v1 shifts, v1 confidence, v2 comparisons as (shift, confidence),
        # conflicts), the calls of v2_at, the table cell)
        (disc(), [one_track(Candidate(v1(1, 2)))], True,
         (((2,), 1, None, ()), [], "ok v1 +2 (1)")),
        # Counts summed over the references, the candidates that agree only.
        (disc(), [one_track(Candidate(v1(1, -3), None, 12), Candidate(5, None, 5)),
                  one_track(Candidate(v1(1, -3)))], True,
         (((-3,), 13, None, ()), [], "ok v1 -3 (13)")),
        # A candidate that agrees at every shift counts once.
        (disc(silent=(1,)), [one_track(Candidate(0, None, 4))], True,
         ((tuple(range(-3, 4)), 4, None, ()), [], "ok v1 7 shifts -3..+3 (4)")),
        # Version 2 confirmed at the shift version 1 found.
        (disc(), [one_track(Candidate(v1(1, 2), v2(1, 2), 3))], True,
         (((2,), 3, ((2, 3), (0, 0)), ()), [{1: 2}], "ok v1 +2 (3) v2 +2 (3)")),
        # ... or contradicted there by the rips that agree on version 1.
        (disc(), [one_track(Candidate(v1(1, 2), v2(1, 2) + 1, 3))], True,
         (((2,), 0, ((2, 0), (0, 0)), (2,)), [{1: 2}], "NO MATCH: v2 differs at +2")),
        # Confidence and conflicts are counted per candidate: one that
        # differs on version 2 neither adds to a true pair's confidence ...
        (disc(), [one_track(Candidate(v1(1, 2), v2(1, 2), 12), Candidate(v1(1, 2), 7, 5))], True,
         (((2,), 12, ((2, 12), (0, 0)), ()), [{1: 2}], "ok v1 +2 (12) v2 +2 (12)")),
        # ... nor stops one of version 1 only from matching.
        (disc(), [one_track(Candidate(v1(1, 2), None, 2), Candidate(v1(1, 2), 7, 5))], True,
         (((2,), 2, ((2, 0), (0, 0)), ()), [{1: 2}], "ok v1 +2 (2)")),
        # A conflict at one shift leaves the match at another.
        (disc(v2_offset=2), [one_track(Candidate(v1(1, -1), v2(1, -1), 5),
                                       Candidate(v1(1, 2), v2(1, 2) + 1))], True,
         (((-1, 2), 5, ((2, 0),), (2,)), [], "ok v1 -1,+2 (5); v2 differs at +2")),
        # Without a second pass, version 2 at v2_offset says nothing of shift 2.
        (disc(), [one_track(Candidate(v1(1, 2), v2(1, 2), 3))], False,
         (((2,), 3, ((0, 0),), ()), [], "ok v1 +2 (3)")),
        # Version 1 matched at v2_offset: no second pass is needed.
        (disc(v2_offset=-1), [one_track(Candidate(v1(1, -1), v2(1, -1), 2))], True,
         (((-1,), 2, ((-1, 2),), ()), [], "ok v1 -1 (2) v2 -1 (2)")),
        # Version 2 alone, at a v2_offset beyond the searched shifts.
        (disc(search=0, v2_offset=5), [one_track(Candidate(7, v2(1, 5), 2))], True,
         (((), 0, ((5, 2),), ()), [], "ok v2 +5 (2)")),
        (disc(), [one_track(Candidate(7, 8, 2))], True,
         (((), 0, ((0, 0),), ()), [], "NO MATCH")),
        (disc(), [one_track()], True, (((), 0, None, ()), [], "NO MATCH")),
    ],
)  # fmt: skip
def test_track_outcomes(rip, refs, second_pass, expected):
    fake = FakeSecondPass()
    result = verify(rip, refs, fake if second_pass else None)
    (track,) = result.tracks
    comparisons = None
    if track.v2 is not None:
        comparisons = tuple((c.shift, c.confidence) for c in track.v2.comparisons)
        assert all(c.checksum == v2(1, c.shift) for c in track.v2.comparisons)
    outcome = (track.v1.shifts, track.v1.confidence, comparisons, track.conflicts)
    assert (outcome, fake.calls, outcome_cell(track)) == expected
    assert track.matched == outcome_cell(track).startswith("ok")


def matching(numbers_and_shifts: dict[int, list[int]]) -> Reference:
    tracks = numbers_and_shifts.items()
    return Reference("r", {n: tuple(Candidate(v1(n, s), v2(n, s)) for s in ss) for n, ss in tracks})


ALL = list(range(-3, 4))


OFFSET = "; read offset differs from the references by "
APART = "; the matched tracks agree on no single shift: "
ALSO = " (every matched track also matches at "
LATER = " ({} read {} frames later than {})"


@pytest.mark.parametrize(
    ("shifts", "offset", "line"),
    [
        ([[3], [3], [3]], 3, "all 3 tracks matched" + OFFSET + "+3 frames" + LATER.format("the references", 3, "this rip")),
        ([[-1], [-1]], -1, "all 2 tracks matched" + OFFSET + "-1 frames (this rip read 1 frame later than the references)"),
        ([[0], [0]], 0, "all 2 tracks matched" + OFFSET + "0 frames"),
        ([[3], [], [3]], 3, "1 of 3 tracks did not match" + OFFSET + "+3 frames" + LATER.format("the references", 3, "this rip")),
        # A track that matches everywhere (silence) does not stand in the way.
        ([[2], ALL], 2, "all 2 tracks matched" + OFFSET + "+2 frames" + LATER.format("the references", 2, "this rip")),
        (
            [ALL, ALL],
            0,
            "all 2 tracks matched" + OFFSET + "0 frames" + ALSO + "6 shifts -3..+3)",
        ),
        ([[1, 2]], 1, "the track matched" + OFFSET + "+1 frames (the references read 1 frame later than this rip)" + ALSO + "+2)"),
        (
            [[3], [-2], []],
            None,
            "1 of 3 tracks did not match" + APART + "track 1 at +3, track 2 at -2",
        ),
        (
            [[-2, 2], [-2, 2]],
            None,
            "all 2 tracks matched" + APART + "track 1 at -2,+2, track 2 at -2,+2",
        ),
        ([[]], None, "the track did not match"),
        ([[], []], None, "2 of 2 tracks did not match"),
    ],
)
def test_disc_offset_and_verdict(shifts, offset, line):
    numbers = range(1, len(shifts) + 1)
    result = verify(disc(numbers), [matching(dict(zip(numbers, shifts)))], FakeSecondPass())
    assert (result.offset, verdict_line(result)) == (offset, line)
    assert result.matched_tracks == sum(bool(s) for s in shifts)


def test_second_pass_takes_the_shift_most_tracks_share():
    fake = FakeSecondPass()
    # Track 1 agrees with one rip at -1 (count 5) and another at +2 (count 1).
    reference = Reference(
        "r",
        {
            1: (Candidate(v1(1, -1), v2(1, -1), 5), Candidate(v1(1, 2), v2(1, 2))),
            2: (Candidate(v1(2, 2), v2(2, 2)),),
            3: (Candidate(v1(3, 2), None),),
        },
    )
    result = verify(disc((1, 2, 3)), [reference], fake)
    assert fake.calls == [{1: 2, 2: 2}] and result.offset == 2
    assert track_verification_json(result.tracks[0]) == {
        "matched": True,
        "shifts": [-1, 2],
        "v1": {
            "matched": True,
            "shifts": [-1, 2],
            "confidence": 6,
            "confidence_by_shift": {"-1": 5, "2": 1},
        },
        "v2": {
            "matched": True,
            "shift": 2,
            "checksum": v2(1, 2),
            "confidence": 1,
            "comparisons": [
                {"matched": True, "shift": 2, "checksum": v2(1, 2), "confidence": 1},
                {"matched": False, "shift": 0, "checksum": v2(1, 0), "confidence": 0},
            ],
        },
        "conflicts": [],
    }
    assert disc_verification_json(result) == {
        "tracks": 3,
        "matched_tracks": 3,
        "offset": 2,
        "offsets": [2],
        "unmatched": [],
        "references": ["r"],
    }


# -- end to end --------------------------------------------------------------------


@pytest.mark.parametrize("shift", [-5, -2, 0, 1, 5, 6, -9])
def test_rip_matches_reference_at_its_read_shift(tmp_path, shift):
    search, lengths = 5, [300, 260, 310]
    stream = noise(shift, sum(lengths))
    paths = [
        write_wav(tmp_path / f"{n}.wav", track, RATE)
        for n, track in enumerate(split(stream, lengths), 1)
    ]
    # The reference: the model's sums of the disc read `shift` frames later,
    # silence filling the edges.
    silence = [(0, 0)] * abs(shift)
    moved = stream[shift:] + silence if shift >= 0 else silence + stream[:shift]
    sums = disc_sums(split(moved, lengths), RATE, 0, 0)
    lines = [f"{n} {sums_v1[0]:08x} {sum_v2:08X}" for n, (sums_v1, sum_v2) in enumerate(sums, 1)]
    (tmp_path / "ref.txt").write_text("\n".join(lines))
    calls = []

    def second_pass(shifts):
        calls.append(dict(shifts))
        by_shift = {s: disc_checksums(paths, v2_offset=s) for s in set(shifts.values())}
        return {n: by_shift[s][n - 1].checksum_v2 for n, s in shifts.items()}

    results = disc_checksums(paths, search=search)
    result = verify(results, [read_reference(tmp_path / "ref.txt")], second_pass)
    within = abs(shift) <= search
    assert [t.v1.shifts for t in result.tracks] == [(shift,) if within else ()] * 3
    v2_shift = shift if within else 0
    assert [(t.v2.shift, t.v2.matched) for t in result.tracks] == [(v2_shift, within)] * 3
    assert result.offset == (shift if within else None)
    assert calls == ([{1: shift, 2: shift, 3: shift}] if within and shift else [])
