"""Checksums in threads: tracks side by side give the serial results, one
Checksum fed from two threads at once gives the result of a serial
feeding, and a FrameList being checksummed refuses +=, *= and __init__
with BufferError, unchanged, while the checksum sees it whole."""

from __future__ import annotations

import operator
import random
import threading

from orvane import pcm
from orvane._isotrak import Checksum

# Blocks of these sizes are summed both with and without the interpreter
# lock (the cut-over lies between them).
CUTS = [1000, 20000, 3, 5000]

# total_pcm_frames, pcm_frame_range, isotrakv2_offset, is_first, is_last
TRACKS = [
    (60000, 7, 3, 1, 0),
    (45000, 3000, 2999, 0, 1),
    (30000, 1, 0, 1, 1),
    (70000, 5881, 2940, 0, 0),
]


def stream(seed: int, frames: int) -> bytes:
    return random.Random(seed).randbytes(4 * frames)


def checksum_of(track, data: bytes):
    """Fed in blocks cut by CUTS, FrameLists and raw bytes in turn."""
    total, frame_range, offset, first, last = track
    checksum = Checksum(total, 44100, first, last, frame_range, offset)
    position, turn = 0, 0
    while position < len(data):
        block = data[position : position + 4 * CUTS[turn % len(CUTS)]]
        if turn % 2:
            checksum.update_bytes(block)
        else:
            checksum.update(pcm.FrameList(block, 2, 16, 0, 1))
        position, turn = position + len(block), turn + 1
    return checksum.checksums_v1_bytes(), checksum.checksums_v1(), checksum.checksum_v2()


def run_together(*targets) -> None:
    barrier = threading.Barrier(len(targets))
    failures = []

    def run(target):
        barrier.wait()
        try:
            target()
        except BaseException as error:  # reported in the main thread
            failures.append(error)

    threads = [threading.Thread(target=run, args=(target,)) for target in targets]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    if failures:
        raise failures[0]


def test_tracks_in_threads_give_the_serial_results():
    inputs = [(track, stream(n, track[0] + track[1] - 1)) for n, track in enumerate(TRACKS)]
    serial = [checksum_of(track, data) for track, data in inputs]
    for _ in range(3):
        results = [None] * len(inputs)

        def work(n):
            results[n] = checksum_of(*inputs[n])

        run_together(*(lambda n=n: work(n) for n in range(len(inputs))))
        assert results == serial


def test_one_checksum_fed_from_two_threads_gives_a_serial_result():
    # Every block holds the same frames, so any order of whole blocks gives
    # the same stream.  Each feeder offers one block more than its share:
    # exactly two are refused, whichever they are.
    block_frames, blocks, frame_range = 1 << 20, 6, 3
    block = stream(7, block_frames)
    total = 2 * blocks * block_frames - frame_range + 1
    serial = Checksum(total, pcm_frame_range=frame_range, isotrakv2_offset=1)
    serial.update_bytes(block * (2 * blocks))
    expected = serial.checksums_v1(), serial.checksum_v2()

    checksum = Checksum(total, pcm_frame_range=frame_range, isotrakv2_offset=1)
    refused, seen, done = [], [], threading.Event()

    def feeder(update, item):
        for _ in range(blocks + 1):
            try:
                update(item)
            except ValueError as error:
                refused.append(str(error))

    def reader():
        while not done.is_set():
            done.wait(0.001)
            try:
                seen.append(checksum.checksum_v2())
            except ValueError as error:
                seen.append(str(error))

    reading = threading.Thread(target=reader)
    reading.start()
    try:
        run_together(
            lambda: feeder(checksum.update, pcm.FrameList(block, 2, 16, 0, 1)),
            lambda: feeder(checksum.update_bytes, bytearray(block)),
        )
    finally:
        done.set()
        reading.join()
    assert refused == ["too many samples for checksum"] * 2
    assert (checksum.checksums_v1(), checksum.checksum_v2()) == expected
    assert set(seen) <= {expected[1], "insufficient samples for checksums"}


def test_a_framelist_being_checksummed_refuses_to_change():
    # The changes go round A -> AA -> empty -> A -> AA -> empty -> A -> A,
    # by *=, += and __init__; each is retried until it is let through.  A
    # Checksum of 2N fed frames, the state padded with silence, must give
    # the checksum of one of the three states.
    frames = 1 << 19
    data = stream(3, frames)
    doubled = data * 2
    states = {
        "A": pcm.FrameList(data, 2, 16, 0, 1),
        "AA": pcm.FrameList(doubled, 2, 16, 0, 1),
        "empty": pcm.empty_framelist(2, 16),
    }
    changes = [
        (lambda x: operator.imul(x, 2), "AA"),
        (lambda x: operator.imul(x, 0), "empty"),
        (lambda x: operator.iadd(x, states["A"]), "A"),
        (lambda x: x.__init__(doubled, 2, 16, 0, 1), "AA"),
        (lambda x: operator.imul(x, -1), "empty"),
        (lambda x: x.__init__(data, 2, 16, 0, 1), "A"),
        (lambda x: operator.imul(x, 1), "A"),
    ]
    silence = bytes(4 * frames)

    def checksum_of_state(framelist):
        checksum = Checksum(2 * frames - 1, pcm_frame_range=2)
        checksum.update(framelist)
        while True:
            try:
                checksum.update_bytes(silence)
            except ValueError as error:
                assert str(error) == "too many samples for checksum"
                return checksum.checksums_v1(), checksum.checksum_v2()

    possible = [checksum_of_state(state) for state in states.values()]
    framelist = states["A"] + pcm.empty_framelist(2, 16)
    outcomes, done = [], threading.Event()

    def changer():
        state = "A"
        while not done.is_set():
            for change, after in changes:
                while True:
                    try:
                        change(framelist)
                    except BufferError:
                        assert framelist == states[state]
                        continue
                    state = after
                    assert framelist == states[state]
                    break

    def checksummer():
        try:
            for _ in range(30):
                outcomes.append(checksum_of_state(framelist))
        finally:
            done.set()

    run_together(changer, checksummer)
    assert len(outcomes) == 30 and all(outcome in possible for outcome in outcomes)
