"""A whole disc checked by the tool, against the cost of reading it.

A generated 70-minute disc of 14 tracks, written once as WAV and as FLAC
files into a cache folder outside the repository (ORVANE_BENCH_CACHE, by
default ~/.cache/orvane-bench), is checked through the API (check_disc,
--search 5), with the files in the page cache.  Beside it, in the same
run, the floors:

- FLAC: decoding the same files to 16-bit PCM with soundfile alone, in
  one thread, in large blocks into a reused buffer (the quickest of two
  block sizes);
- WAV: reading the same files' bytes in 1 MiB reads into a reused buffer;
- WavPack (the same audio, encoded once with PyAV from the WAV files):
  PyAV's own decoding of the same files, in one thread, each frame left as
  FFmpeg gives it.

Then the command line in child processes: its peak RSS for --search 5 on
both formats and for a wide search (the first four tracks, --search
4194304, JSON to /dev/null), and the wall time of --version.
"""

from __future__ import annotations

import os
import resource
import statistics
import subprocess
import sys
import time
from collections.abc import Callable
from pathlib import Path

import numpy as np

RATE = 44100
# Track lengths in seconds (70 minutes in all) and the odd frames past them.
SECONDS = [271, 305, 256, 318, 289, 330, 247, 301, 284, 296, 312, 263, 327, 401]
GENERATION = "1"  # bump when the audio below changes
CHUNK_SECONDS = 20
WIDE_SEARCH = 4194304


def cache_folder() -> Path:
    base = os.environ.get("ORVANE_BENCH_CACHE") or os.path.expanduser("~/.cache/orvane-bench")
    return Path(base) / f"disc-{GENERATION}"


def _track_frames(number: int) -> int:
    return SECONDS[number - 1] * RATE + (number * 37) % 588


def _audio(number: int, frames: int):
    """Music-like audio: four panned tones under slow swells, and a little noise.

    Yields int16 (frames, 2) chunks; the same numbers on every run."""
    import soundfile  # noqa: F401  (a clear error before minutes of work)

    rng = np.random.default_rng(1000 + number)
    voices = [
        (110.0 * 2 ** (rng.integers(0, 36) / 12), rng.uniform(0.1, 0.5), rng.uniform(0, 6.3),
         rng.uniform(0, 6.3), rng.uniform(0.2, 0.8))
        for _ in range(4)
    ]
    noise = np.random.default_rng(2000 + number)
    step = CHUNK_SECONDS * RATE
    for start in range(0, frames, step):
        t = np.arange(start, min(start + step, frames), dtype=np.float64) / RATE
        out = np.zeros((t.size, 2))
        for pitch, swell, swell_phase, phase, pan in voices:
            tone = np.sin(2 * np.pi * pitch * t + phase) * 0.18
            tone *= 0.5 + 0.5 * np.sin(2 * np.pi * swell * t + swell_phase)
            out[:, 0] += tone * pan
            out[:, 1] += tone * (1 - pan)
        out += noise.normal(0, 0.01, out.shape)
        yield np.clip(np.round(out * 32767), -32768, 32767).astype(np.int16)


def disc_files() -> tuple[list[Path], list[Path]]:
    """The disc's WAV and FLAC files, generated on first use."""
    import soundfile

    folder = cache_folder()
    numbers = range(1, len(SECONDS) + 1)
    wavs = [folder / f"{n:02d}.wav" for n in numbers]
    flacs = [folder / f"{n:02d}.flac" for n in numbers]
    done = folder / "complete"
    if not done.exists():
        folder.mkdir(parents=True, exist_ok=True)
        print(f"generating the benchmark disc in {folder} (once; a minute or two)", flush=True)
        for n, wav, flac in zip(numbers, wavs, flacs):
            with soundfile.SoundFile(wav, "w", RATE, 2, "PCM_16") as w, \
                    soundfile.SoundFile(flac, "w", RATE, 2, "PCM_16") as f:
                for chunk in _audio(n, _track_frames(n)):
                    w.write(chunk)
                    f.write(chunk)
        done.write_text("complete\n")
    return wavs, flacs


def wavpack_files(wavs: list[Path]) -> list[Path]:
    """The disc as WavPack files, encoded from its WAV files with PyAV on first use."""
    import wave

    import av

    folder = cache_folder().with_name(f"wavpack-{GENERATION}")
    files = [folder / wav.with_suffix(".wv").name for wav in wavs]
    done = folder / "complete"
    if not done.exists():
        folder.mkdir(parents=True, exist_ok=True)
        print(f"encoding the benchmark disc to WavPack in {folder} (once)", flush=True)
        for wav, path in zip(wavs, files):
            with wave.open(str(wav), "rb") as source, av.open(str(path), "w", format="wv") as output:
                stream = output.add_stream("wavpack", rate=RATE, layout="stereo")
                stream.format = "s16p"
                resampler = av.AudioResampler(format="s16p", layout="stereo", rate=RATE)
                position = 0
                while data := source.readframes(CHUNK_SECONDS * RATE):
                    frame = av.AudioFrame(format="s16", layout="stereo", samples=len(data) // 4)
                    frame.planes[0].update(data)
                    frame.rate, frame.pts = RATE, position
                    position += frame.samples
                    for converted in resampler.resample(frame):
                        output.mux(stream.encode(converted))
                output.mux(stream.encode(None))
        done.write_text("complete\n")
    return files


def pyav_floor(files: list[Path]) -> Callable[[], None]:
    import av

    def decode() -> None:
        for path in files:
            with av.open(str(path)) as container:
                stream = container.streams.audio[0]
                stream.codec_context.thread_count = 1
                for _ in container.decode(stream):
                    pass

    return decode


def decode_floor(flacs: list[Path], block: int) -> Callable[[], None]:
    import soundfile

    def decode() -> None:
        buffer = bytearray(block * 4)
        for path in flacs:
            with soundfile.SoundFile(path) as file:
                while file.buffer_read_into(buffer, "int16"):
                    pass

    return decode


def read_floor(wavs: list[Path]) -> Callable[[], None]:
    def read() -> None:
        buffer = bytearray(1 << 20)
        for path in wavs:
            with open(path, "rb", buffering=0) as file:
                while file.readinto(buffer):
                    pass

    return read


def checked(files: list[Path], threads: int | None = None) -> Callable[[], object]:
    from orvane.isotrak import check_disc

    def run() -> object:
        return check_disc(files, search=5, threads=threads)

    return run


def alternated(functions: dict[str, Callable[[], object]], repetitions: int) -> dict[str, float]:
    """Median seconds of each, after a warm-up, rotating which goes first."""
    names = list(functions)
    for name in names:
        functions[name]()
    times: dict[str, list[float]] = {name: [] for name in names}
    for repetition in range(repetitions):
        for step in range(len(names)):
            name = names[(repetition + step) % len(names)]
            start = time.perf_counter()
            functions[name]()
            times[name].append(time.perf_counter() - start)
    return {name: statistics.median(values) for name, values in times.items()}


def peak_rss(arguments: list[str]) -> tuple[float, int]:
    """Wall seconds and peak RSS (bytes) of the command line run alone."""
    wrapper = (
        "import resource, subprocess, sys, time\n"
        "start = time.perf_counter()\n"
        "subprocess.run(sys.argv[1:], stdout=subprocess.DEVNULL, check=True)\n"
        "print(time.perf_counter() - start, resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss)\n"
    )
    command = [sys.executable, "-c", wrapper, sys.executable, "-m", "orvane.isotrak", *arguments]
    seconds, kib = subprocess.run(command, capture_output=True, text=True, check=True).stdout.split()
    return float(seconds), int(kib) * 1024


def startup(repetitions: int = 11) -> float:
    script = Path(sys.executable).with_name("orvane-isotrak")
    command = [str(script)] if script.exists() else [sys.executable, "-m", "orvane.isotrak"]
    times = []
    for _ in range(repetitions):
        start = time.perf_counter()
        subprocess.run([*command, "--version"], stdout=subprocess.DEVNULL, check=True)
        times.append(time.perf_counter() - start)
    return statistics.median(times)


def verdict(value: float, limit: float) -> str:
    return "met" if value <= limit else "MISSED"


def run(repetitions: int) -> int:
    """Print the disc table; return the number of goals missed."""
    wavs, flacs = disc_files()
    usable = len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else os.cpu_count()
    print(f"\nthe disc: {len(flacs)} tracks, {sum(SECONDS) / 60:.0f} minutes; "
          f"{usable} cores usable; median of {repetitions} alternated runs\n")
    print(f"{'disc case':<44} {'ours':>9} {'floor':>9} {'ratio':>6}  goal")
    lines: list[tuple[str, float, float, float]] = []
    missed = 0

    wav = alternated({"ours": checked(wavs), "floor": read_floor(wavs)}, max(repetitions, 7))
    flac = alternated(
        {
            "ours": checked(flacs),
            "ours, 1 thread": checked(flacs, threads=1),
            "65536-frame blocks": decode_floor(flacs, 65536),
            "262144-frame blocks": decode_floor(flacs, 262144),
        },
        repetitions,
    )
    floor = min(flac["65536-frame blocks"], flac["262144-frame blocks"])
    wvs = wavpack_files(wavs)
    wavpack = alternated(
        {"ours": checked(wvs), "ours, 1 thread": checked(wvs, threads=1), "PyAV": pyav_floor(wvs)},
        repetitions,
    )
    rows = [
        ("WAV, check_disc vs reading the bytes", wav["ours"], wav["floor"], 1.3),
        ("FLAC, check_disc vs decoding (all threads)", flac["ours"], floor, 0.55),
        ("FLAC, check_disc vs decoding (1 thread)", flac["ours, 1 thread"], floor, 1.0),
        ("WavPack, check_disc vs PyAV (all threads)", wavpack["ours"], wavpack["PyAV"], 0.6),
        ("WavPack, check_disc vs PyAV (1 thread)", wavpack["ours, 1 thread"], wavpack["PyAV"], 1.1),
    ]
    for label, ours, base, limit in rows:
        ratio = ours / base
        missed += ratio > limit
        print(f"{label:<44} {ours:>8.3f}s {base:>8.3f}s {ratio:>6.2f}  <= {limit:g}x "
              f"{verdict(ratio, limit)}")
        lines.append((label, ours, base, ratio))
    print(f"  (decoding floor: 65536-frame blocks {flac['65536-frame blocks']:.3f} s, "
          f"262144-frame blocks {flac['262144-frame blocks']:.3f} s)")

    mib = 1 << 20
    print(f"\n{'command line':<44} {'wall':>9} {'peak RSS':>12}  goal")
    for label, arguments in [
        ("--search 5, WAV", ["--search", "5", *map(str, wavs)]),
        ("--search 5, FLAC", ["--search", "5", *map(str, flacs)]),
    ]:
        seconds, rss = peak_rss(arguments)
        missed += rss >= 64 * mib
        print(f"{label:<44} {seconds:>8.2f}s {rss / mib:>8.1f} MiB  < 64 MiB {verdict(rss, 64 * mib - 1)}")
    wide = wavs[:4]
    seconds, rss = peak_rss(["--search", str(WIDE_SEARCH), "--json", *map(str, wide)])
    shifts = 2 * WIDE_SEARCH + 1
    # Two stretches read at once, each checksum 12 bytes a shift, the
    # results 4 bytes a shift a track, and the interpreter and a few blocks.
    budget = 2 * 12 * shifts + 4 * shifts * len(wide) + 64 * mib
    missed += rss > budget
    print(f"{f'--search {WIDE_SEARCH} --json, 4 WAV tracks':<44} {seconds:>8.2f}s "
          f"{rss / mib:>8.1f} MiB  <= {budget / mib:.0f} MiB {verdict(rss, budget)}")
    version = startup()
    missed += version >= 0.150
    print(f"{'--version':<44} {version * 1000:>7.0f}ms {'':>12}  < 150 ms {verdict(version, 0.1499)}")
    return missed


if __name__ == "__main__":
    sys.exit(1 if run(int(sys.argv[1]) if len(sys.argv) > 1 else 3) else 0)
