"""Runs the benchmark cases and prints the table of ours against numpy.

    python benchmarks/run.py [--repetitions N] [--only TEXT] [--block-only]
    python benchmarks/run.py --only disc      # only the whole-disc case
    python benchmarks/run.py --only library   # only the library case

For every case: check that our result and each numpy recipe's result are
identical (a recipe that differs is dropped, and a case with none left is an
error), pick the quickest recipe as the peer, then time ours, the peer and a
plain copy of the same number of bytes alternately and report the medians.
Ratios below 1 mean we are faster.  Throughput is the copy size (the result,
or for the checksum the samples read) divided by our time.
"""

from __future__ import annotations

import argparse
import gc
import os
import platform
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

from case import BLOCK_FRAMES, FRAMES_5_MINUTES, Case, Skip  # noqa: E402
from timing import fastest, measure  # noqa: E402

import cases_checksum  # noqa: E402
import cases_codecs  # noqa: E402
import cases_containers  # noqa: E402
import cases_disc  # noqa: E402
import cases_interop  # noqa: E402
import cases_library  # noqa: E402
import cases_threads  # noqa: E402

# Each module skips the cases whose operations the installed package lacks.
CASE_MODULES = [cases_codecs, cases_containers, cases_interop, cases_checksum, cases_threads]

HEADER = (
    f"{'operation':<28} {'size':>13} {'ours':>10} {'peer':>10} {'ours/peer':>9} "
    f"{'GB/s':>6} {'ours/copy':>9}  goal"
)


def cpu_model() -> str:
    try:
        with open("/proc/cpuinfo", encoding="utf-8") as cpuinfo:
            for line in cpuinfo:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or platform.machine()


def seconds(value: float) -> str:
    if value >= 1e-3:
        return f"{value * 1e3:.2f} ms"
    return f"{value * 1e6:.2f} us"


def run_case(
    case: Case, repetitions: int, verbose: bool, earlier: dict
) -> tuple[str, list[str], bool]:
    ours_result = case.ours()
    peers = {}
    for name, recipe in case.peers.items():
        if case.same(ours_result, recipe()):
            peers[name] = recipe
        elif verbose:
            print(f"  note: recipe {name!r} of {case.operation} differs from ours; dropped")
    del ours_result
    if not peers:
        raise SystemExit(f"{case.operation}: no numpy recipe gives our result")
    peer_name, recipe_times = fastest(peers)
    timings = measure(case.ours, peers[peer_name], case.copy, repetitions)
    ratio_peer = timings.ours / timings.peer
    ratio_copy = timings.ours / timings.copy
    verdicts = []
    all_met = True
    earlier[(case.operation, case.frames)] = timings.ours
    for goal in case.goals:
        if goal.against == "peer":
            ratio = ratio_peer
        elif goal.against == "copy":
            ratio = ratio_copy
        elif (goal.against, case.frames) in earlier:
            ratio = timings.ours / earlier[(goal.against, case.frames)]
        else:
            verdicts.append(f"{goal.describe()} not measured")
            continue
        met = goal.met(ratio)
        all_met &= met
        verdicts.append(f"{goal.describe()} {'met' if met else 'MISSED'} ({ratio:.2f})")
    line = (
        f"{case.operation:<28} {case.frames:>10,} fr {seconds(timings.ours):>10} "
        f"{seconds(timings.peer):>10} {ratio_peer:>9.2f} "
        f"{case.basis_bytes / timings.ours / 1e9:>6.2f} {ratio_copy:>9.2f}  "
        + "; ".join(verdicts)
    )
    others = ", ".join(
        f"{name} {seconds(time)}" for name, time in recipe_times.items() if name != peer_name
    )
    note = f"peer of {case.operation} ({case.frames:,} fr): {peer_name}"
    return line, [note + (f" (slower: {others})" if others else "")], all_met


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repetitions", type=int, default=7, help="timed rounds (at least 5)")
    parser.add_argument("--only", default="", help="run only operations containing this text")
    parser.add_argument("--block-only", action="store_true", help="only the 4096-frame cases")
    parser.add_argument("--verbose", action="store_true")
    arguments = parser.parse_args()
    repetitions = max(5, arguments.repetitions)
    frame_counts = [BLOCK_FRAMES] if arguments.block_only else [FRAMES_5_MINUTES, BLOCK_FRAMES]

    import numpy

    print(
        f"{cpu_model()}, {os.cpu_count()} cores; Python {platform.python_version()}, "
        f"numpy {numpy.__version__}, {platform.system()} {platform.release()}"
    )
    print(f"median of {repetitions} alternated repetitions after a warm-up\n")
    print(HEADER)
    notes, skips, missed, earlier = [], [], 0, {}
    for module in CASE_MODULES:
        for case in module.cases(frame_counts):
            if isinstance(case, Skip):
                skip = f"skipped {case.operation}: {case.reason}"
                if skip not in skips:
                    skips.append(skip)
                continue
            if arguments.only and arguments.only not in case.operation:
                continue
            line, case_notes, met = run_case(case, repetitions, arguments.verbose, earlier)
            missed += not met
            print(line, flush=True)
            notes.extend(case_notes)
            del case
            gc.collect()
    print()
    for note in notes + skips:
        print(note)
    # The disc case: the tool on a whole generated disc against reading it.
    if not arguments.block_only and (not arguments.only or arguments.only in "disc"):
        missed += cases_disc.run(max(3, repetitions // 2))
    # The library case: many small discs against one big disc and a walk,
    # FLAC discs, a touched rescan, a Dask cluster and a simulated big tree.
    if not arguments.block_only and (not arguments.only or arguments.only in "library"):
        missed += cases_library.run_parts(repetitions=3)
    print(f"\ngoals missed: {missed}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
