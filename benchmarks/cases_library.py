"""A library of many small discs checked by the command line, against its floors.

Generated once into the cache folder (ORVANE_BENCH_CACHE, by default
~/.cache/orvane-bench): DISCS discs of three WAV tracks of 0.5 to 1.25 s
(a quarter of them an image with a CUE sheet), and one disc holding the
same audio as a single file.  The discs' files are hard links to a few
distinct files, so that a large library costs little disk; the tool
neither knows nor cares.  In the same run, each in a fresh interpreter,
the files in the page cache:

- the first scan (--jobs 2, and --jobs 1) against the one big disc;
- a rescan of nothing changed against os.walk + os.stat of the same
  files, in a fresh interpreter too;
- the coordinator's own peak RSS (its VmHWM, not the workers') of a
  first scan and a rescan at --search 2940 --json.

Its parts, each its own table:

- wav, large: the above at 1,000 discs, and at 10,000 (the scans that
  grow with the library only);
- flac: 300 discs of three FLAC tracks of 2 to 5 s, first scan at
  --jobs 2 against --jobs 1;
- touched: a rescan after 1 % of the 1,000 discs' files are written again,
  against an unchanged rescan;
- dask: the 1,000 discs' first scan on a local Dask cluster of two worker
  processes against --jobs 2 (skipped without distributed);
- simulated: the unchanged rescan of trees of 1,000, 10,000 and 100,000
  tiny discs and their databases, made once (the 100,000 in about two
  minutes): its time a disc and the coordinator's peak RSS.

All of them take about three minutes once generated.  Run alone:

    python benchmarks/cases_library.py [--part NAME ...] [--repetitions N]
    python benchmarks/cases_library.py --part simulated --sizes 1000,10000,30000
    python benchmarks/cases_library.py DISCS [REPETITIONS]   # the wav table at DISCS
"""

from __future__ import annotations

import argparse
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
import wave
from collections.abc import Callable, Sequence
from pathlib import Path

import numpy as np

RATE = 44100
GENERATION = "1"  # bump when the library below changes
DISTINCT = 8  # distinct track files, linked into every disc
TRACK_SECONDS = (0.5, 0.75, 1.0, 1.25)
TINY_GENERATION = "1"  # bump when the tiny discs' tree changes
TINY_DISTINCT = 16  # under ext4's 65,000 links a file at 100,000 discs
SIMULATED_SIZES = (1000, 10000, 100000)
FLAC_GENERATION = "1"  # bump when the FLAC library changes
FLAC_DISCS = 300
FLAC_DISTINCT = 6
FLAC_SECONDS = (2.0, 2.5, 3.0, 3.5, 4.0, 5.0)


def _wav(path: Path, frames: np.ndarray) -> None:
    with wave.open(str(path), "wb") as file:
        file.setnchannels(2)
        file.setsampwidth(2)
        file.setframerate(RATE)
        file.writeframes(frames.astype("<i2").tobytes())


def _sheet(image: str, lengths: list[int]) -> str:
    text, start = f'FILE "{image}" WAVE\n', 0
    for number, frames in enumerate(lengths, 1):
        sector = start // 588
        text += f"  TRACK {number:02d} AUDIO\n    INDEX 01 {sector // 4500:02d}:{sector // 75 % 60:02d}:{sector % 75:02d}\n"
        start += frames
    return text


def _cache() -> Path:
    return Path(os.environ.get("ORVANE_BENCH_CACHE") or os.path.expanduser("~/.cache/orvane-bench"))


def library(discs: int) -> tuple[Path, Path]:
    """The generated library of ``discs`` discs, and the folder of its one big disc."""
    top = _cache() / f"library-{GENERATION}-{discs}"
    root, big = top / "music", top / "big"
    if (top / "done").exists():
        return root, big
    rng = np.random.default_rng(25)
    sources = top / "sources"
    sources.mkdir(parents=True, exist_ok=True)
    # Track k lasts a whole number of sectors, so that a sheet can cut an image.
    lengths = [int(TRACK_SECONDS[k % 4] * 75) * 588 for k in range(DISTINCT)]
    tracks = []
    for k, frames in enumerate(lengths):
        audio = rng.integers(-20000, 20000, (frames, 2))
        _wav(sources / f"{k}.wav", audio)
        tracks.append(audio)
    images = []
    for k in range(DISTINCT):
        chosen = [k, (k + 1) % DISTINCT, (k + 2) % DISTINCT]
        _wav(sources / f"image{k}.wav", np.concatenate([tracks[i] for i in chosen]))
        images.append((f"image{k}.wav", [lengths[i] for i in chosen]))
    everything = []
    for n in range(discs):
        folder = root / f"artist {n // 100}" / f"album {n}"
        folder.mkdir(parents=True, exist_ok=True)
        if n % 4 == 3:
            name, cut = images[n % DISTINCT]
            os.link(sources / name, folder / "image.wav")
            (folder / "disc.cue").write_text(_sheet("image.wav", cut))
            everything.append(name)
        else:
            for t in range(3):
                source = f"{(n + t) % DISTINCT}.wav"
                os.link(sources / source, folder / f"{t + 1:02d} track.wav")
                everything.append(source)
    big.mkdir(exist_ok=True)
    if discs <= 1000:  # the libraries whose first scan is set against one disc
        # The same audio as one file, written a disc at a time.
        with wave.open(str(big / "01.wav"), "wb") as out:
            out.setnchannels(2)
            out.setsampwidth(2)
            out.setframerate(RATE)
            for name in everything:
                with wave.open(str(sources / name), "rb") as source:
                    out.writeframes(source.readframes(source.getnframes()))
    (top / "done").write_text("")
    return root, big


def tiny_library(discs: int) -> tuple[Path, Path, str]:
    """A tree of ``discs`` tiny discs, the database of its first scan, and
    what making them cost (told once, when they are made).

    Every disc is a folder of three WAV tracks of one CD sector each, hard
    links to TINY_DISTINCT files, so that only the folders and the links
    cost disk; many links to one file share its size and mtime, which the
    rescan does not mind.  The first scan runs once (at 100,000 discs it
    takes minutes) and its database is kept beside the tree; a rescan of
    nothing changed adds only a row of its run to it.
    """
    top = _cache() / f"tiny-{TINY_GENERATION}-{discs}"
    root, db = top / "music", top / "library.db"
    if (top / "done").exists():
        return root, db, (top / "done").read_text()
    if top.exists():  # an interrupted generation: start it again
        shutil.rmtree(top)
    start = time.perf_counter()
    rng = np.random.default_rng(26)
    sources = top / "sources"
    sources.mkdir(parents=True)
    for k in range(TINY_DISTINCT):
        _wav(sources / f"{k}.wav", rng.integers(-20000, 20000, (588, 2)))
    for n in range(discs):
        folder = root / f"artist {n // 100}" / f"album {n}"
        folder.mkdir(parents=True)
        for t in range(3):
            os.link(sources / f"{(n + t) % TINY_DISTINCT}.wav", folder / f"{t + 1:02d} track.wav")
    made = time.perf_counter() - start
    first, rss = scan(root, db, "--jobs", "2")
    told = f"tree made in {made:.1f} s, first scan {first:.1f} s at {rss / (1 << 20):.0f} MiB"
    (top / "done").write_text(told)
    return root, db, told


# Runs the command line in this interpreter and tells its time and its own
# peak RSS: VmHWM, of this program alone (ru_maxrss would start from that
# of the benchmark process it was forked from).
_WRAPPER = (
    "import sys, time\n"
    "start = time.perf_counter()\n"
    "from orvane.isotrak import main\n"
    "status = main(sys.argv[1:])\n"
    "peak = [line.split()[1] for line in open('/proc/self/status') if line.startswith('VmHWM')]\n"
    "print(time.perf_counter() - start, peak[0], file=sys.stderr)\n"
    "sys.exit(status)\n"
)

_WALK = (
    "import os, sys, time\n"
    "start = time.perf_counter()\n"
    "for folder, _, names in os.walk(sys.argv[1]):\n"
    "    for name in names:\n"
    "        os.stat(os.path.join(folder, name))\n"
    "print(time.perf_counter() - start, 0, file=sys.stderr)\n"
)


def _child(script: str, *arguments: str) -> tuple[float, float, int]:
    """Wall time of a fresh interpreter, the time it tells of its own, and its peak RSS."""
    start = time.perf_counter()
    done = subprocess.run(
        [sys.executable, "-c", script, *arguments],
        stdout=subprocess.DEVNULL,
        stderr=subprocess.PIPE,
        text=True,
        check=False,
    )
    wall = time.perf_counter() - start
    if done.returncode:  # a scan that failed or found changes times something else
        raise SystemExit(f"{' '.join(arguments)}: status {done.returncode}\n{done.stderr[-2000:]}")
    told, kib = done.stderr.split()[-2:]
    return wall, float(told), int(kib) * 1024


def scan(root: Path, db: Path, *options: str) -> tuple[float, int]:
    wall, _, rss = _child(_WRAPPER, "--library", str(root), "--db", str(db), *options)
    return wall, rss


def run(discs: int = 1000, repetitions: int = 3) -> int:
    """Print the library table; return the number of goals missed.

    Past 1,000 discs only the scans that grow with the library are timed:
    a first scan at --jobs 2 and the rescan, and the coordinator's RSS of
    both at --search 0 (a wide first scan of 10,000 discs takes minutes).
    """
    if discs > 1000:
        return _large(discs)
    root, big = library(discs)
    subprocess.run(["cat", *map(str, big.iterdir())], stdout=subprocess.DEVNULL, check=True)
    print(f"\nthe library: {discs} discs of 3 WAV tracks (a quarter image + sheet), "
          f"{len(os.sched_getaffinity(0))} cores usable; median of {repetitions} runs\n")
    print(f"{'library case':<48} {'ours':>9} {'floor':>9} {'ratio':>6}  goal")
    missed = 0
    times: dict[str, list[float]] = {}
    with tempfile.TemporaryDirectory(prefix="orvane-bench-library-") as scratch:
        work = Path(scratch)
        for round_ in range(repetitions):
            for label, target, options in [
                ("first, --jobs 2", root, ["--jobs", "2"]),
                ("first, --jobs 1", root, ["--jobs", "1"]),
                ("big, --jobs 2", big, ["--jobs", "2"]),
            ]:
                db = work / f"{label.replace(' ', '_')}-{round_}.db"
                times.setdefault(label, []).append(scan(target, db, *options)[0])
            db = work / f"first,_--jobs_2-{round_}.db"
            times.setdefault("rescan", []).append(scan(root, db, "--jobs", "2")[0])
            times.setdefault("walk", []).append(_child(_WALK, str(root))[0])
        median = {label: statistics.median(values) for label, values in times.items()}
        rows = [
            ("first scan --jobs 2 vs one big disc", median["first, --jobs 2"], median["big, --jobs 2"], 1.5),
            ("first scan --jobs 2 vs --jobs 1", median["first, --jobs 2"], median["first, --jobs 1"], 1.0),
            ("unchanged rescan vs os.walk + stat", median["rescan"], median["walk"], 2.0),
        ]
        for label, ours, floor, limit in rows:
            ratio = ours / floor
            missed += ratio > limit
            print(f"{label:<48} {ours:>8.3f}s {floor:>8.3f}s {ratio:>6.2f}  <= {limit:g}x "
                  f"{'met' if ratio <= limit else 'MISSED'}")
        print(f"  ({median['first, --jobs 2'] / discs * 1000:.2f} ms a disc first, "
              f"{median['rescan'] / discs * 1000:.3f} ms a disc rescanned)")
        mib = 1 << 20
        print(f"\n{'coordinator, --search 2940 --json':<48} {'wall':>9} {'peak RSS':>12}  goal")
        db = work / "wide.db"
        for label in ("first scan", "rescan"):
            wall, rss = scan(root, db, "--jobs", "2", "--search", "2940", "--json")
            missed += rss >= 150 * mib
            print(f"{label:<48} {wall:>8.2f}s {rss / mib:>8.1f} MiB  < 150 MiB "
                  f"{'met' if rss < 150 * mib else 'MISSED'}")
    return missed


def _large(discs: int) -> int:
    root, _ = library(discs)
    print(f"\nthe library: {discs} discs, as above; one run each\n")
    print(f"{'library case':<48} {'wall':>9} {'peak RSS':>12}  goal")
    missed = 0
    mib = 1 << 20
    with tempfile.TemporaryDirectory(prefix="orvane-bench-library-") as scratch:
        db = Path(scratch) / "library.db"
        for label in ("first scan --jobs 2", "unchanged rescan"):
            wall, rss = scan(root, db, "--jobs", "2")
            missed += rss >= 150 * mib
            print(f"{label:<48} {wall:>8.2f}s {rss / mib:>8.1f} MiB  < 150 MiB "
                  f"{'met' if rss < 150 * mib else 'MISSED'}")
        walk = _child(_WALK, str(root))[0]
        rescan = scan(root, db, "--jobs", "2")[0]
        ratio = rescan / walk
        missed += ratio > 2
        print(f"{'unchanged rescan vs os.walk + stat':<48} {rescan:>8.3f}s {walk:>8.3f}s {ratio:>6.2f}  "
              f"<= 2x {'met' if ratio <= 2 else 'MISSED'}")
    return missed


def _row(
    label: str, ours: float, floor: float, limit: float, *, at_least: bool = False, unit: str = "s"
) -> int:
    """Print a row of ours against its floor; return 1 if its goal is missed.

    A goal ``at_least`` is a speed-up: the floor's time over ours."""
    ratio = floor / ours if at_least else ours / floor
    met = ratio >= limit if at_least else ratio <= limit
    goal = f"{'>=' if at_least else '<='} {limit:g}x"
    print(f"{label:<48} {f'{ours:.3f}{unit}':>9} {f'{floor:.3f}{unit}':>9} {ratio:>6.2f}  "
          f"{goal} {'met' if met else 'MISSED'}")
    return not met


def _header(title: str) -> None:
    print(f"\n{title:<48} {'ours':>9} {'floor':>9} {'ratio':>6}  goal")


def flac_library(discs: int = FLAC_DISCS) -> Path:
    """A library of ``discs`` discs of three FLAC tracks of 2 to 5 s, hard
    links to FLAC_DISTINCT files: enough audio a disc that decoding it, not
    the tool's cost a disc, decides the first scan."""
    top = _cache() / f"flac-{FLAC_GENERATION}-{discs}"
    root = top / "music"
    if (top / "done").exists():
        return root
    import soundfile

    rng = np.random.default_rng(27)
    sources = top / "sources"
    sources.mkdir(parents=True, exist_ok=True)
    for k in range(FLAC_DISTINCT):
        frames = int(FLAC_SECONDS[k % len(FLAC_SECONDS)] * 75) * 588
        audio = rng.integers(-20000, 20000, (frames, 2)).astype(np.int16)
        soundfile.write(sources / f"{k}.flac", audio, RATE, format="FLAC", subtype="PCM_16")
    for n in range(discs):
        folder = root / f"artist {n // 100}" / f"album {n}"
        folder.mkdir(parents=True, exist_ok=True)
        for t in range(3):
            link = folder / f"{t + 1:02d} track.flac"
            if not link.exists():
                os.link(sources / f"{(n + t) % FLAC_DISTINCT}.flac", link)
    (top / "done").write_text("")
    return root


def flac(repetitions: int = 3) -> int:
    """The first scan of the FLAC library at --jobs 2 against --jobs 1."""
    root = flac_library()
    sources = map(str, (root.parent / "sources").iterdir())
    subprocess.run(["cat", *sources], stdout=subprocess.DEVNULL, check=True)
    print(f"\nFLAC: {FLAC_DISCS} discs of 3 FLAC tracks of {min(FLAC_SECONDS):g} to "
          f"{max(FLAC_SECONDS):g} s; median of {repetitions} runs")
    _header("FLAC library case")
    times: dict[str, list[float]] = {"2": [], "1": []}
    with tempfile.TemporaryDirectory(prefix="orvane-bench-library-") as scratch:
        for round_ in range(repetitions):
            for jobs, values in times.items():
                values.append(scan(root, Path(scratch) / f"jobs{jobs}-{round_}.db", "--jobs", jobs)[0])
    two, one = statistics.median(times["2"]), statistics.median(times["1"])
    missed = _row("first scan --jobs 2, speed-up on --jobs 1", two, one, 1.6, at_least=True)
    print(f"  ({two / FLAC_DISCS * 1000:.1f} ms a disc at --jobs 2, "
          f"{one / FLAC_DISCS * 1000:.1f} at --jobs 1)")
    return missed


def _touch(folder: Path) -> None:
    """Write every file of a disc again, the same bytes as a new file: its
    size stays and its mtime moves.  A new file, not the old one rewritten,
    since the old one is a hard link that other discs share."""
    for path in folder.iterdir():
        data = path.read_bytes()
        fresh = folder / ".touched"
        fresh.write_bytes(data)
        os.replace(fresh, path)


def touched(repetitions: int = 3, discs: int = 1000) -> int:
    """A rescan with 1 % of the discs' files written again, against an
    unchanged rescan of the same library in the same run.

    The discs touched are read again, so the goal allows their own audio
    time beside the rescan's 10 %: estimated as the one big disc's first
    scan (the same audio as the whole library, in one file, timed in this
    run) times the fraction touched.  Each repetition touches other discs,
    since those of the last one are stored as they are now.  The library
    is a copy of hard links, made in the cache folder (links cannot leave
    its file system) and removed after, so the cached files stay shared.
    """
    source, big = library(discs)
    every = 100  # a disc in a hundred touched
    assert repetitions <= every
    times: dict[str, list[float]] = {"unchanged": [], "touched": [], "big": []}
    with tempfile.TemporaryDirectory(prefix="touched-", dir=source.parent.parent) as scratch:
        work = Path(scratch)
        root = work / "music"
        for folder, _, names in os.walk(source):
            copy = root / Path(folder).relative_to(source)
            copy.mkdir(parents=True, exist_ok=True)
            for name in names:
                os.link(os.path.join(folder, name), copy / name)
        db = work / "library.db"
        scan(root, db, "--jobs", "2")
        for round_ in range(repetitions):
            times["unchanged"].append(scan(root, db, "--jobs", "2")[0])
            for n in range(round_, discs, every):
                _touch(root / f"artist {n // 100}" / f"album {n}")
            times["touched"].append(scan(root, db, "--jobs", "2")[0])
            times["big"].append(scan(big, work / f"big-{round_}.db", "--jobs", "2")[0])
    median = {label: statistics.median(values) for label, values in times.items()}
    audio = median["big"] / every
    print(f"\nrescan with 1 % of the {discs} discs' files written again (same bytes, new mtime); "
          f"median of {repetitions} runs")
    _header("touched library case")
    missed = _row("rescan 1 % touched vs unchanged x 1.1 + audio", median["touched"],
                  median["unchanged"] * 1.1 + audio, 1.0)
    print(f"  (unchanged rescan {median['unchanged']:.3f} s; the touched discs' audio {audio:.3f} s, "
          f"1 % of the one big disc's {median['big']:.3f} s)")
    return missed


def dask(repetitions: int = 3, discs: int = 1000) -> int:
    """The first scan of the 1,000-disc library on a local Dask cluster of
    two worker processes against --jobs 2, each on a fresh database.

    The cluster is started here, outside the timed command, and both are
    timed while it stands (idle, for --jobs 2), alternately.
    """
    try:
        import logging

        from distributed import LocalCluster
    except ImportError:
        print("\nDask: skipped, the distributed package is not installed (pip install 'orvane[dask]')")
        return 0
    root, _ = library(discs)
    print(f"\nDask: the {discs}-disc library's first scan, a LocalCluster of 2 worker processes of "
          f"1 thread; median of {repetitions} runs")
    times: dict[str, list[float]] = {"dask": [], "jobs": []}
    start = time.perf_counter()
    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None,
                      silence_logs=logging.ERROR) as cluster:
        address = cluster.scheduler_address
        started = time.perf_counter() - start
        with tempfile.TemporaryDirectory(prefix="orvane-bench-library-") as scratch:
            work = Path(scratch)
            for round_ in range(repetitions):
                times["dask"].append(scan(root, work / f"dask-{round_}.db", "--scheduler", address)[0])
                times["jobs"].append(scan(root, work / f"jobs-{round_}.db", "--jobs", "2")[0])
            # Where the coordinator's time goes before the first disc: the
            # import of distributed, and a client's connection and close.
            joined = [_child(_CONNECT, address)[1] for _ in range(repetitions)]
    median = {label: statistics.median(values) for label, values in times.items()}
    _header("Dask library case")
    missed = _row("first scan --scheduler vs --jobs 2", median["dask"], median["jobs"], 1.3)
    print(f"  (of which importing distributed and a client joining and leaving: "
          f"{statistics.median(joined):.3f} s; the scans on Dask, in order: "
          f"{', '.join(f'{value:.3f}' for value in times['dask'])} s; "
          f"the cluster up in {started:.1f} s)")
    return missed


_CONNECT = (
    "import sys, time\n"
    "start = time.perf_counter()\n"
    "from distributed import Client\n"
    "client = Client(sys.argv[1], set_as_default=False, timeout=20)\n"
    "client.close(timeout=2)\n"
    "print(time.perf_counter() - start, 0, file=sys.stderr)\n"
)


def simulated(repetitions: int = 3, sizes: tuple[int, ...] = SIMULATED_SIZES) -> int:
    """The unchanged rescan of trees of tiny discs of growing size: its
    cost a disc should stay (linear growth) and the coordinator's peak RSS
    flat.  Tree and database are made once (see tiny_library); the RSS
    shown is the largest of the runs."""
    made = {discs: tiny_library(discs) for discs in sizes}
    print(f"\nsimulated library: discs of 3 one-sector WAV tracks, its database made once; "
          f"unchanged rescan --jobs 2, median of {repetitions} runs")
    for discs, (_, _, told) in made.items():
        print(f"  {discs:,} discs: {told}")
    print(f"\n{'simulated rescan':<48} {'wall':>9} {'a disc':>9} {'peak RSS':>12}  goal")
    mib = 1 << 20
    missed = 0
    per_disc: dict[int, float] = {}
    # A round rescans every size, so that the load of the moment falls on all.
    rounds = [{discs: scan(root, db, "--jobs", "2") for discs, (root, db, _) in made.items()}
              for _ in range(repetitions)]
    for discs in made:
        runs = [round_[discs] for round_ in rounds]
        wall = statistics.median(wall for wall, _ in runs)
        rss = max(rss for _, rss in runs)
        per_disc[discs] = wall / discs
        missed += rss >= 150 * mib
        print(f"{f'{discs:,} discs':<48} {wall:>8.2f}s {wall / discs * 1000:>7.3f}ms "
              f"{rss / mib:>8.1f} MiB  < 150 MiB {'met' if rss < 150 * mib else 'MISSED'}")
    if len(sizes) > 1:
        large, small = sorted(sizes)[-1], sorted(sizes)[-2]
        missed += _row(f"rescan a disc, {large:,} vs {small:,} discs", per_disc[large] * 1000,
                       per_disc[small] * 1000, 1.3, unit="ms")
    return missed


# The parts of the library case, by name, in the order make bench runs them.
PARTS: dict[str, Callable[[int], int]] = {
    "wav": lambda repetitions: run(1000, repetitions),
    "large": lambda repetitions: run(10000, repetitions),
    "flac": flac,
    "touched": touched,
    "dask": dask,
    "simulated": simulated,
}


def run_parts(parts: Sequence[str] = tuple(PARTS), repetitions: int = 3) -> int:
    """Run the named parts; return the number of goals missed."""
    return sum(PARTS[part](repetitions) for part in parts)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("discs", type=int, nargs="?", help="only the WAV table, at this many discs")
    parser.add_argument("times", type=int, nargs="?", help="repetitions of that table")
    parser.add_argument("--repetitions", type=int, default=3, help="timed runs of each (default 3)")
    parser.add_argument("--part", action="append", choices=PARTS, help="run this part (repeatable)")
    parser.add_argument("--sizes", default="", help="the simulated trees, in discs: 1000,10000,30000")
    arguments = parser.parse_args()
    if arguments.discs is not None:
        return run(arguments.discs, arguments.times or arguments.repetitions)
    if arguments.sizes:
        sizes = tuple(int(size) for size in arguments.sizes.split(","))
        PARTS["simulated"] = lambda repetitions: simulated(repetitions, sizes)
    return run_parts(arguments.part or tuple(PARTS), arguments.repetitions)


if __name__ == "__main__":
    sys.exit(1 if main() else 0)
