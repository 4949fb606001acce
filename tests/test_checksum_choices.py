"""Tracks and objects for which the stepwise rules alone would read values
never stored or missing parts: short first tracks, sample rates below 75,
objects without a completed initialisation and initialisations re-entered
from their own arguments or FrameList lookup.  Each case runs in a child
process, so a faulty build fails the test instead of ending the run."""

from __future__ import annotations

import json
import os
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

from checksum_model import expected

TESTS = Path(__file__).resolve().parent


def run_child(body: str):
    """Runs body in a fresh interpreter; returns what it printed as JSON."""
    code = "import json\nfrom checksum_model import feed, framelist\n"
    code += "from orvane._isotrak import Checksum\n" + textwrap.dedent(body)
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([str(TESTS), os.environ.get("PYTHONPATH", "")]))
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=env,
                          timeout=120)
    assert done.returncode == 0, done.stderr
    return json.loads(done.stdout)


def results_in_child(total, sample_rate, is_first, is_last, frame_range, v2_offset, cuts):
    track = [((n * 7919) % 65536 - 32768, (n * 104729) % 65536 - 32768)
             for n in range(1, total + frame_range)]
    got = run_child(f"""
        track = {track!r}
        checksum = Checksum({total}, {sample_rate}, {is_first}, {is_last}, {frame_range},
                            {v2_offset})
        feed(checksum, [tuple(frame) for frame in track], {cuts!r})
        print(json.dumps([checksum.checksums_v1(), checksum.checksum_v2()]))
    """)
    return track, got


@pytest.mark.parametrize(
    "total, sample_rate, is_first, is_last, frame_range",
    [
        (100, 44100, 1, 0, 6),    # the window starts past every frame fed
        (2938, 44100, 1, 0, 6),   # start = total + 2
        (4000, 44100, 1, 1, 9),   # start > end + 1 inside the track
        (5878, 44100, 1, 1, 4),   # start = end + 2
        (5879, 44100, 1, 1, 4),   # start = end + 1
        (3, 1000, 1, 0, 1),
    ],
)
def test_empty_windows_give_zero(total, sample_rate, is_first, is_last, frame_range):
    track, (v1, v2) = results_in_child(total, sample_rate, is_first, is_last, frame_range,
                                       frame_range - 1, [1, 1, total // 2])
    assert v1 == [0] * frame_range and v2 == 0
    assert (v1, v2) == expected(track, total, sample_rate, is_first, is_last, frame_range,
                                frame_range - 1)


@pytest.mark.parametrize("sample_rate", [1, 74])
@pytest.mark.parametrize("is_last", [0, 1])
def test_sample_rate_below_75_counts_from_frame_1(sample_rate, is_last):
    track, got = results_in_child(50, sample_rate, 1, is_last, 5, 3, [10, 30])
    assert got == list(expected(track, 50, sample_rate, True, is_last, 5, 3))
    # The same sums as a track that is not the first.
    assert got == list(expected(track, 50, 44100, False, False, 5, 3))


def test_objects_without_completed_initialisation_refuse_every_method():
    outcomes = run_child("""
        class Derived(Checksum):
            def __init__(self):
                pass

        def refuse_all(checksum):
            outcomes = []
            for call in (lambda: checksum.update(framelist([(1, 1)])),
                         checksum.checksums_v1, checksum.checksum_v2):
                try:
                    call()
                    outcomes.append("accepted")
                except ValueError as error:
                    outcomes.append(str(error))
            return outcomes

        objects = [Checksum.__new__(Checksum), Derived()]
        for arguments in [(0,), ("ten",), (10, 44100, 0, 0, 2, 2)]:
            checksum = Checksum(10, pcm_frame_range=2)
            checksum.update(framelist([(3, 4)] * 5))
            try:
                checksum.__init__(*arguments)
            except (ValueError, TypeError):
                pass
            objects.append(checksum)
        print(json.dumps([refuse_all(checksum) for checksum in objects]))
    """)
    assert outcomes == [["Checksum is not initialized"] * 3] * 5


def test_reentered_init_ends_with_the_outer_call():
    # The outer call's argument conversion or FrameList lookup constructs
    # the same object again, fails to, or uses it: the outer arguments win,
    # and a refused outer call leaves nothing usable.
    outcomes = run_child("""
        import contextlib, sys
        from checksum_model import Reentrant, ReenteringPcm

        def calls(checksum):
            return (lambda: checksum.update(framelist([(7, 7)] * 4)),
                    checksum.checksums_v1, checksum.checksum_v2)

        def attempt(call):
            try:
                call()
                return "accepted"
            except ValueError as error:
                return str(error)

        again = lambda checksum: checksum.__init__(10, pcm_frame_range=200)
        refused = lambda checksum: checksum.__init__(0)
        use = lambda checksum: [attempt(call) for call in calls(checksum)]
        outcomes = []
        for inner in (again, lambda checksum: attempt(lambda: refused(checksum)), use):
            for by_lookup in (False, True):
                checksum = Checksum(3, pcm_frame_range=2)
                frame_range = 3 if by_lookup else Reentrant(3, checksum, inner)
                if by_lookup:
                    sys.modules["orvane.pcm"] = ReenteringPcm(checksum, inner)
                checksum.__init__(7, pcm_frame_range=frame_range, isotrakv2_offset=1)
                feed(checksum, [(n, -n) for n in range(1, 10)], [4])
                outcomes.append([checksum.checksums_v1(), checksum.checksum_v2()])
        for inner, v2_offset in ((again, -1), (refused, 1)):
            checksum = Checksum(3, pcm_frame_range=2)
            frame_range = Reentrant(3, checksum, inner)
            outcomes.append(attempt(lambda: checksum.__init__(7, pcm_frame_range=frame_range,
                                                              isotrakv2_offset=v2_offset)))
            outcomes.append([attempt(call) for call in calls(checksum)])
        print(json.dumps(outcomes))
    """)
    fresh = list(expected([(n, -n) for n in range(1, 10)], 7, 44100, False, False, 3, 1))
    unusable = ["Checksum is not initialized"] * 3
    assert outcomes == [fresh] * 6 + ["isotrakv2_offset must be >= 0", unusable,
                                      "total PCM frames must be > 0", unusable]


def test_only_a_framelist_type_is_bound():
    # "update" reads FrameList fields from whatever the bound type admits,
    # so a replaced orvane.pcm.FrameList must be FrameList or derive from it.
    outcomes = run_child("""
        from orvane import pcm

        class Block(pcm.FrameList):
            pass

        original = pcm.FrameList
        outcomes = []
        for replacement in (bytes, 5, Block):
            pcm.FrameList = replacement
            try:
                checksum = Checksum(1)
                outcomes.append("bound")
            except TypeError as error:
                outcomes.append(str(error))
        pcm.FrameList = original
        checksum.update(framelist([(1, 2)], Block))
        try:
            checksum.update(framelist([(1, 2)]))
        except TypeError:
            outcomes.append("base refused")
        print(json.dumps(outcomes + checksum.checksums_v1()))
    """)
    refused = "orvane.pcm.FrameList is not the FrameList type"
    assert outcomes == [refused, refused, "bound", "base refused", 0x20001]
