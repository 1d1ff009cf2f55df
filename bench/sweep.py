#!/usr/bin/env python3
"""Climbs each impairment of a tape, one at a time, on tapesynth recordings and prints where
mzfextract and mzfscan break: the hardest level at which every seed still gives back exactly
the programs recorded.

    python3 bench/sweep.py --build build-sweep [--quick] [--axis NAME]... [--jobs N]
    python3 bench/sweep.py --mzfscan OLD/mzfscan --mzfextract OLD/mzfextract --tapesynth T

Recordings are 44100 Hz, 8-bit unsigned mono, amplitude 64 (half of full scale), so that
mzfextract reads the very samples mzfscan reads. Each holds three programs of the shared corpus
and is made with seeds 1, 2 and 3; every recording but those of the noise axis carries a little
noise (sigma of 1/32 of the pulse amplitude), so that the seeds differ.

A level passes for a program when, for every seed, the files it saves are exactly the programs
recorded, in their order: mzfextract's files written in the directory it runs in, mzfscan's
verified files (not *.DAMAGED.MZF). An axis is climbed over a coarse ladder from its neutral
level until both programs have failed, then bisected between each one's last pass and first
failure. Over all runs, mzfscan's verified files that differ from the program of their name are
counted: a checksum that let a wrong file through.

Two axes damage both copies of every body: dropouts-apart cuts each copy at another place (every
byte survives once, so the copies can be joined); two-captures records the tape twice (the second
at 48000 Hz), each capture with both its copies cut at one place, its own, and gives mzfscan both
with --same-tape (mzfextract reads the first). The reference column gives what an ideal receiver
reaches where that is known: on the noise axis, one that knows the timing and decides each copy
alone fails half the time at about 1.14, and one that adds both copies' evidence at about 1.55.
"""

import argparse
import concurrent.futures
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import time

RATE = 44100
AMPLITUDE = 64
BASE_NOISE = AMPLITUDE / 32
SEEDS = (1, 2, 3)
HERE = os.path.dirname(os.path.abspath(__file__))
PROJECT = os.path.dirname(HERE)


def split_mzf(data):
    """The records of an MZF file: a 128-byte header, then the body length it gives."""
    records, at = [], 0
    while len(data) - at >= 128:
        length = struct.unpack_from("<H", data, at + 0x12)[0]
        records.append(data[at : at + 128 + length])
        at += 128 + length
    return records


def pick_programs():
    """Three small-to-medium corpus programs (the three smallest from 1 to 16 KiB), or the demo
    program when the corpus is not there."""
    corpus = os.path.join(PROJECT, "..", "shared", "corpus")
    if os.path.isdir(corpus):
        files = sorted(
            (os.path.getsize(os.path.join(corpus, n)), n)
            for n in os.listdir(corpus)
            if n.lower().endswith(".mzf")
        )
        chosen = [os.path.join(corpus, n) for size, n in files if 1024 <= size <= 16384][:3]
        if chosen:
            return chosen, None
    return [os.path.join(PROJECT, "samples", "hello.mzf")], (
        "note: ../shared/corpus is not there; samples/hello.mzf is recorded instead"
    )


# Damage is put at places that differ from seed to seed.
def places(seed, count):
    return [(i + 0.2 + 0.25 * seed) / (count + 1) for i in range(count)]


def noise_args(level, seed):
    return ["-n", f"{level * AMPLITUDE:g}"]


def dip_args(gain, seed):
    args = []
    for copy, count in (("header1", 1), ("header2", 1), ("body1", 3), ("body2", 2)):
        args += [f"--dip={copy}:{f:.4f}:20:{gain:g}" for f in places(seed, count)]
    return args


def mute_args(ms, seed):
    return [f"--mute=body1:{f:.4f}:{ms:g}" for f in places(seed, 3)] if ms > 0 else []


def apart_args(ms, seed):
    # Each body copy cut by a dropout, at places apart: every byte survives in one copy.
    return [f"--dropout=body1:{0.2 + 0.05 * seed:.2f}:{ms:g}",
            f"--dropout=body2:{0.6 + 0.05 * seed:.2f}:{ms:g}"] if ms > 0 else []


def capture_args(where):
    # Both body copies of a capture cut by a dropout at one place: that capture alone is damaged.
    def args(ms, seed):
        f = where + 0.05 * seed
        return [f"--dropout=body1:{f:.2f}:{ms:g}", f"--dropout=body2:{f:.2f}:{ms:g}"] if ms > 0 else []

    return args


def slip_args(copy):
    return lambda count, seed: [f"--slip={copy}:{f:.4f}" for f in places(seed, int(count))]


class Axis:
    """One impairment: `args(level, seed)` gives tapesynth's options for a level; the ladder
    runs from easy to hard, after the neutral level. `encode`, when set, turns the recording
    into another format and gives the file for mzfscan and an 8-bit WAV for mzfextract."""


    def __init__(self, name, unit, neutral, ladder, args, integer=False, encode=None, tool=None,
                 second_capture=None, reference=""):
        self.name, self.unit, self.neutral, self.ladder = name, unit, neutral, ladder
        self.args, self.integer, self.encode, self.tool = args, integer, encode, tool
        # A second capture of the same tape (its options for a level and seed), read with the
        # first by mzfscan --same-tape; mzfextract reads the first alone.
        self.second_capture = second_capture
        # What an ideal receiver reaches on this axis, shown beside the results.
        self.reference = reference
        # An encoder's ladder holds every setting worth trying: nothing lies between them.
        self.bisect = encode is None


def to_u8_wav(source, target):
    subprocess.run(
        ["sox", "-D", source, "-b", "8", "-e", "unsigned-integer", "-c", "1", target],
        check=True,
        stderr=subprocess.DEVNULL,
    )


def encode_ogg(quality):
    def encode(wav, work):
        ogg = os.path.join(work, "rec.ogg")
        subprocess.run(["sox", wav, "-C", f"{quality:g}", ogg], check=True)
        to_u8_wav(ogg, os.path.join(work, "rec8.wav"))
        return ogg, os.path.join(work, "rec8.wav")

    return encode


def encode_mp3(kbps):
    def encode(wav, work):
        mp3, decoded = os.path.join(work, "rec.mp3"), os.path.join(work, "decoded.wav")
        subprocess.run(["lame", "--quiet", "-b", f"{kbps:g}", wav, mp3], check=True)
        subprocess.run(["lame", "--quiet", "--decode", mp3, decoded], check=True)
        to_u8_wav(decoded, os.path.join(work, "rec8.wav"))
        return mp3, os.path.join(work, "rec8.wav")

    return encode


def sox_has_vorbis():
    if shutil.which("sox") is None:
        return False
    help_text = subprocess.run(["sox", "-h"], capture_output=True, text=True).stdout
    return " vorbis" in help_text


def axes(quick):
    cutoffs = [12000, 8000, 6000, 4000, 3000, 2000, 1500, 1000, 700, 500, 300, 200, 100]
    percent = [0.5, 1, 2, 3, 5, 7, 10, 15, 20, 25, 30, 40, 50]
    all_axes = [
        Axis(
            "noise",
            "sigma / pulse amplitude",
            0,
            [0.05, 0.1, 0.15, 0.2, 0.3, 0.4, 0.5, 0.6, 0.8, 1.0, 1.5, 2.0, 3.0, 3.9],
            noise_args,
            reference="ideal: ~1.14 one copy, ~1.55 both",
        ),
        Axis(
            "hum",
            "50 Hz, x pulse amplitude",
            0,
            [0.1, 0.25, 0.5, 0.75, 1, 1.5, 2, 3, 4, 6, 8],
            lambda v, s: [f"--hum=50:{v:g}"],
        ),
        Axis(
            "lowpass1",
            "one-pole cutoff, Hz",
            None,
            cutoffs,
            lambda v, s: [f"--lowpass1={v:g}"] if v else [],
        ),
        Axis(
            "lowpass2",
            "2nd-order cutoff, Hz",
            None,
            cutoffs,
            lambda v, s: [f"--lowpass2={v:g}"] if v else [],
        ),
        Axis("flutter", "10 Hz, +- percent", 0, percent, lambda v, s: [f"--flutter={v:g}:10"]),
        Axis(
            "wow",
            "0.5 Hz, +- percent",
            0,
            percent[:-1] + [49.9],
            lambda v, s: [f"--drift={v:g}", "--drift-period=2"],
        ),
        Axis(
            "speed-up",
            "speed factor",
            1.0,
            [1.05, 1.1, 1.2, 1.3, 1.5, 1.75, 2.0, 2.25, 2.5],
            lambda v, s: [f"--speed={v:g}"],
        ),
        Axis(
            "speed-down",
            "speed factor",
            1.0,
            [0.95, 0.9, 0.8, 0.7, 0.6, 0.5, 0.4, 0.3],
            lambda v, s: [f"--speed={v:g}"],
        ),
        Axis(
            "dips",
            "gain, 20 ms in every copy",
            1.0,
            [0.7, 0.5, 0.4, 0.3, 0.2, 0.15, 0.1, 0.07, 0.05, 0.03, 0.02, 0.01, 0],
            dip_args,
        ),
        Axis(
            "mutes",
            "ms, 3 in body1",
            0,
            [0.1, 0.2, 0.3, 0.5, 0.75, 1, 2, 5, 10, 20, 50, 100, 200],
            mute_args,
        ),
        Axis(
            "dropouts-apart",
            "ms in each body copy, apart",
            0,
            [5, 10, 20, 50, 100, 200, 500, 1000],
            apart_args,
        ),
        Axis(
            "two-captures",
            "ms in both body copies, per capture",
            0,
            [5, 10, 20, 50, 100, 200, 500, 1000],
            capture_args(0.2),
            second_capture=capture_args(0.6),
        ),
        Axis("slips-body1", "slips in body1", 0, [1, 2, 4, 8], slip_args("body1"), integer=True),
        Axis(
            "slips-header1", "slips in header1", 0, [1, 2, 4, 8], slip_args("header1"), integer=True
        ),
        Axis(
            "ogg",
            "vorbis quality",
            None,
            [6, 5, 4, 3, 2, 1, 0, -1],
            lambda v, s: [],
            integer=True,
            encode=encode_ogg,
            tool="sox (vorbis)" if sox_has_vorbis() else None,
        ),
        Axis(
            "mp3",
            "kbit/s",
            None,
            [192, 160, 128, 112, 96, 80, 64, 56, 48, 40, 32, 24, 16, 8],
            lambda v, s: [],
            integer=True,
            encode=encode_mp3,
            tool="lame" if shutil.which("lame") and shutil.which("sox") else None,
        ),
    ]
    if quick:
        for axis in (a for a in all_axes if a.bisect):
            axis.ladder = axis.ladder[::2] + ([axis.ladder[-1]] if len(axis.ladder) % 2 == 0 else [])
    return all_axes


class Sweep:
    def __init__(self, options, programs):
        self.options = options
        self.files = programs
        self.records = [r for path in programs for r in split_mzf(open(path, "rb").read())]
        self.by_name = {r[1:18]: r for r in self.records}
        self.wrong_verified = 0
        self.wrong_cases = []  # where they were saved: axis, level and seed
        self.runs = 0
        self.cache = {}

    def record(self, axis, level, seed, work):
        """Makes the recording of a level and seed; returns the files for mzfscan and
        mzfextract."""
        wav = os.path.join(work, "rec.wav")
        args = [self.options.tapesynth, "-r", str(RATE), "-a", str(AMPLITUDE), "-s", str(seed)]
        if axis.name != "noise":
            args += ["-n", f"{BASE_NOISE:g}"]
        if level is not None:
            args += axis.args(level, seed)
        subprocess.run(args + [wav] + self.files, check=True)
        if axis.encode is not None and level is not None:
            return axis.encode(level)(wav, work)
        if axis.second_capture is not None:
            # The second capture: another deck, another rate and another noise seed.
            second = os.path.join(work, "rec2.wav")
            args2 = [self.options.tapesynth, "-r", "48000", "-a", str(AMPLITUDE), "-s",
                     str(seed + 100), "-n", f"{BASE_NOISE:g}"]
            if level is not None:
                args2 += axis.second_capture(level, seed)
            subprocess.run(args2 + [second] + self.files, check=True)
            return [wav, second], wav
        return wav, wav

    def judge_mzfextract(self, recording, work):
        out = os.path.join(work, "extract")
        os.mkdir(out)
        subprocess.run(
            [self.options.mzfextract, os.path.abspath(recording)],
            cwd=out,
            stdout=subprocess.DEVNULL,
            stderr=subprocess.DEVNULL,
        )
        return self.saved(out, lambda name: name.endswith(".MZF")) == self.records

    def judge_mzfscan(self, recording, work):
        out = os.path.join(work, "scan")
        recordings = recording if isinstance(recording, list) else [recording]
        same_tape = ["--same-tape"] if len(recordings) > 1 else []
        subprocess.run(
            [self.options.mzfscan, "--json", "-o", out] + same_tape + recordings,
            stdout=subprocess.DEVNULL,
            stderr=subprocess.DEVNULL,
        )
        verified = self.saved(
            out, lambda name: name.endswith(".MZF") and not name.endswith(".DAMAGED.MZF")
        )
        wrong = sum(1 for data in verified if self.by_name.get(data[1:18]) != data)
        return verified == self.records, wrong

    @staticmethod
    def saved(directory, wanted):
        """The files saved in a directory, in the order of their numbers (NAME#NNN.MZF)."""
        if not os.path.isdir(directory):
            return []
        names = [n for n in os.listdir(directory) if wanted(n)]
        names.sort(key=lambda n: n.rsplit("#", 1)[-1])
        return [open(os.path.join(directory, n), "rb").read() for n in names]

    def run_one(self, axis, level, seed, programs):
        with tempfile.TemporaryDirectory(prefix="sweep-") as work:
            for_scan, for_extract = self.record(axis, level, seed, work)
            result = {}
            if "mzfextract" in programs:
                result["mzfextract"] = self.judge_mzfextract(for_extract, work)
            if "mzfscan" in programs:
                result["mzfscan"], wrong = self.judge_mzfscan(for_scan, work)
                result["wrong"] = wrong
            return result

    def passes(self, axis, level, programs, pool):
        """Whether every seed passes at a level, for each of the programs asked; results are
        kept, so that a level is recorded once."""
        todo = [p for p in programs if (axis.name, level, p) not in self.cache]
        if todo:
            jobs = [pool.submit(self.run_one, axis, level, seed, todo) for seed in SEEDS]
            results = [job.result() for job in jobs]
            for seed, result in zip(SEEDS, results):
                self.runs += 1
                self.wrong_verified += result.get("wrong", 0)
                if result.get("wrong", 0):
                    self.wrong_cases.append(f"{axis.name} {level} seed {seed}")
            for p in todo:
                self.cache[(axis.name, level, p)] = all(r[p] for r in results)
        return {p: self.cache[(axis.name, level, p)] for p in programs}

    def climb(self, axis, pool, steps):
        """The breaking point of each program on an axis: (last level passed, first failed)."""
        programs = ("mzfextract", "mzfscan")
        neutral = self.passes(axis, axis.neutral, programs, pool)
        last = {p: axis.neutral if neutral[p] else "fails" for p in programs}
        first_fail = {p: None for p in programs}
        climbing = [p for p in programs if neutral[p]]
        for level in axis.ladder:
            if not climbing:
                break
            result = self.passes(axis, level, climbing, pool)
            for p in list(climbing):
                if result[p]:
                    last[p] = level
                else:
                    first_fail[p] = level
                    climbing.remove(p)
        for p in programs:
            good, bad = last[p], first_fail[p]
            if bad is None or good == "fails" or not axis.bisect:
                continue
            low = axis.neutral if good is None else good
            for _ in range(steps):
                if low is None:  # a filter or an encoding against none: nothing in between
                    break
                middle = (low + bad) / 2
                if axis.integer:
                    middle = round(middle)
                    if middle in (low, bad):
                        break
                if self.passes(axis, middle, [p], pool)[p]:
                    low = good = middle
                else:
                    bad = middle
            last[p], first_fail[p] = good, bad
        return last, first_fail


def number(value):
    return f"{value:.0f}" if value == round(value) or abs(value) >= 100 else f"{value:.3g}"


def shown(axis, last, fail):
    """A breaking point as the table shows it: the last level passed, '>= L' when the ladder's
    end L passed, '< F' when only the neutral level passed, 'fails clean' when not even that."""
    if last == "fails":
        return "fails clean"
    if fail is None:
        return f">= {number(axis.ladder[-1])}"
    if last is None or last == axis.neutral:
        prefix = "" if axis.neutral is None else f"{number(axis.neutral)} "
        return f"{prefix}(< {number(fail)})"
    return number(last)


def main():
    build = os.path.join(PROJECT, "build")
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--build", default=build, help="build directory holding all three")
    parser.add_argument("--mzfscan", help="mzfscan to measure (BUILD/mzfscan)")
    parser.add_argument("--mzfextract", help="mzfextract to measure (BUILD/mzfextract)")
    parser.add_argument("--tapesynth", help="tapesynth that records (BUILD/tapesynth)")
    parser.add_argument("--quick", action="store_true", help="half the ladder, one bisection")
    parser.add_argument("--axis", action="append", help="climb only this axis (repeatable)")
    parser.add_argument("--jobs", type=int, default=2, help="recordings at once (2)")
    options = parser.parse_args()
    for tool in ("mzfscan", "mzfextract", "tapesynth"):
        path = getattr(options, tool) or os.path.join(options.build, tool)
        if not os.access(path, os.X_OK):
            sys.exit(f"sweep: no {tool} at {path}")
        setattr(options, tool, os.path.abspath(path))
    chosen = axes(options.quick)
    if options.axis:
        unknown = set(options.axis) - {a.name for a in chosen}
        if unknown:
            sys.exit(f"sweep: unknown axis {', '.join(sorted(unknown))}; "
                     f"axes: {', '.join(a.name for a in chosen)}")
        chosen = [a for a in chosen if a.name in options.axis]

    programs, note = pick_programs()
    if note:
        print(note)
    print("programs: " + ", ".join(os.path.basename(p) for p in programs))
    print(f"recordings: {RATE} Hz, 8-bit unsigned mono, amplitude {AMPLITUDE}, seeds "
          f"{', '.join(map(str, SEEDS))}, noise sigma {BASE_NOISE:g} off the noise axis")
    print(f"mzfextract: {options.mzfextract}\nmzfscan:    {options.mzfscan}")
    sweep = Sweep(options, programs)
    steps = 1 if options.quick else 3
    started = time.monotonic()
    rows = []
    with concurrent.futures.ThreadPoolExecutor(max_workers=max(1, options.jobs)) as pool:
        for axis in chosen:
            if axis.encode is not None and axis.tool is None:
                rows.append((axis.name, axis.unit, "skipped: no encoder", "skipped: no encoder", ""))
                continue
            axis_started = time.monotonic()
            last, fail = sweep.climb(axis, pool, steps)
            row = (axis.name, axis.unit, shown(axis, last["mzfextract"], fail["mzfextract"]),
                   shown(axis, last["mzfscan"], fail["mzfscan"]), axis.reference)
            rows.append(row)
            print(f"  {row[0]}: mzfextract {row[2]}, mzfscan {row[3]} "
                  f"({time.monotonic() - axis_started:.0f} s)", file=sys.stderr, flush=True)
    header = ("axis", "unit", "mzfextract", "mzfscan", "reference")
    widths = [max(len(r[i]) for r in rows + [header]) for i in range(5)]
    line = lambda r: " | ".join(c.ljust(w) for c, w in zip(r, widths)).rstrip()
    print(line(header))
    print("-+-".join("-" * w for w in widths))
    for row in rows:
        print(line(row))
    print(f"{sweep.runs} recordings in {time.monotonic() - started:.0f} s")
    print(f"wrong files saved as verified: {sweep.wrong_verified}")
    for case in sweep.wrong_cases:
        print(f"  wrong file at: {case}")


if __name__ == "__main__":
    main()
