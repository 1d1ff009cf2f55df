#!/usr/bin/env python3
"""Runs two mzfextract builds over the same recordings and compares everything they produce.

Each build converts every recording in a directory of its own; its trace, standard error, exit
status and MZF files are kept side by side, and the two trees are compared with `diff -r`. The
recordings: the real ones of the shared corpus (when present), the demo tape, 34 tapesynth tapes of
the corpus programs under noise, speed changes, other rates, levels and both polarities, and tapes
written here pulse by pulse: a loader with the program it loads, bad checksums, a missing start
pulse, bodies of 0 to 257 bytes.

usage: compare_builds.py OLD_MZFEXTRACT NEW_MZFEXTRACT TAPESYNTH [--corpus DIR] [--keep DIR]
"""
import argparse
import os
import random
import shutil
import struct
import subprocess
import sys
import tempfile

RATE = 44100
LONG_US, SHORT_US = (464, 494), (240, 264)


class Tape:
    """Samples of a tape in the machines' format, each pulse falling edge first."""

    def __init__(self, rate=RATE, noise=0.0, seed=1):
        self.rate, self.noise, self.samples, self.time_us = rate, noise, bytearray(), 0.0
        self.random = random.Random(seed)

    def level(self, sign, microseconds):
        self.time_us += microseconds
        while len(self.samples) * 1e6 / self.rate < self.time_us:
            value = 128 + sign * 100 + self.random.gauss(0, self.noise)
            self.samples.append(max(0, min(255, round(value))))

    def pulse(self, is_long, count=1):
        for _ in range(count):
            first, second = LONG_US if is_long else SHORT_US
            self.level(-1, first)
            self.level(1, second)

    def byte(self, value):
        self.pulse(True)
        for bit in range(7, -1, -1):
            self.pulse(bool(value >> bit & 1))

    def block(self, data, checksum=None):
        for value in data:
            self.byte(value)
        total = sum(bin(b).count("1") for b in data) & 0xFFFF if checksum is None else checksum
        self.byte(total >> 8)
        self.byte(total & 0xFF)

    def mark(self, count, gap):
        self.pulse(False, gap)
        self.pulse(True, count)
        self.pulse(False, count)
        self.pulse(True)

    def program(self, header, body, header_checksum=None, body_checksum=None):
        for count, data, checksum, gap in ((40, header, header_checksum, 2000),
                                           (20, body, body_checksum, 1000)):
            self.mark(count, gap)
            for _ in range(2):
                self.block(data, checksum)
                self.pulse(True)
                self.pulse(False, 256)

    def silence(self, seconds):
        self.level(0, seconds * 1e6)

    def write(self, path):
        data = bytes(self.samples)
        header = b"RIFF" + struct.pack("<I", 36 + len(data)) + b"WAVEfmt " + struct.pack(
            "<IHHIIHH", 16, 1, 1, self.rate, self.rate, 1, 8) + b"data" + struct.pack("<I", len(data))
        with open(path, "wb") as out:
            out.write(header + data)


def header(name, length, load=0x1200, exec_=0x1200):
    record = bytearray(128)
    record[0] = 1
    encoded = name.encode("latin-1")[:17]
    record[1:1 + len(encoded)] = encoded
    if len(encoded) < 17:
        record[1 + len(encoded)] = 0x0D
    record[18:24] = struct.pack("<HHH", length, load, exec_)
    return bytes(record)


def pattern(size, seed):
    rng = random.Random(seed)
    return bytes(rng.randrange(256) for _ in range(size))


def handmade(directory):
    """Tapes that tapesynth's command line cannot write."""
    tape = Tape(seed=2)
    tape.silence(0.1)
    loader_body = bytearray(pattern(90, 3))
    loader_body[77:90] = struct.pack("<HHH", 300, 0x3000, 0x3000) + bytes(range(1, 8))
    tape.program(header("LOADER", 90, 0xD400, 0xD400), bytes(loader_body))
    tape.mark(20, 1000)
    tape.block(pattern(300, 4))
    tape.pulse(True)
    tape.silence(0.1)
    tape.write(os.path.join(directory, "loader.wav"))

    tape = Tape(seed=5, noise=3)
    tape.silence(0.1)
    tape.program(header("BAD HEADER", 100), pattern(100, 6), header_checksum=0x1234)
    tape.program(header("BAD BODY", 200), pattern(200, 7), body_checksum=0)
    tape.silence(0.1)
    tape.write(os.path.join(directory, "checksums.wav"))

    tape = Tape(seed=8)
    tape.silence(0.05)
    body = pattern(64, 9)
    tape.mark(40, 2000)
    tape.block(header("SYNC", len(body)))
    tape.pulse(True)
    tape.mark(20, 1000)
    for index, value in enumerate(body):
        if index == 10:
            tape.pulse(False)  # a missing start pulse
        tape.byte(value)
    tape.pulse(True, 30)
    tape.write(os.path.join(directory, "sync.wav"))

    tape = Tape(seed=10, noise=2)
    tape.silence(0.05)
    for size in (0, 1, 2, 7, 255, 256, 257):
        tape.program(header("SIZE %d" % size, size), pattern(size, 11 + size))
    tape.silence(0.05)
    tape.write(os.path.join(directory, "short-bodies.wav"))


def recordings(directory, tapesynth, corpus, demo):
    handmade(directory)
    shutil.copy(demo, os.path.join(directory, "demo-source.mzf"))
    subprocess.run([tapesynth, os.path.join(directory, "demo.wav"), demo], check=True)
    programs = []
    if corpus and os.path.isdir(corpus):
        for name in sorted(os.listdir(os.path.join(corpus, "recordings"))):
            shutil.copy(os.path.join(corpus, "recordings", name), os.path.join(directory, name))
        programs = [os.path.join(corpus, name) for name in sorted(os.listdir(corpus))
                    if name.endswith((".mzf", ".mzt"))]
    if not programs:
        programs = [demo]
    conditions = [
        ["--rate", "44100"],
        ["--rate", "48000", "--noise", "6"],
        ["--rate", "22050", "--noise", "4", "--speed", "1.06"],
        ["--rate", "96000", "--speed", "0.94", "--amplitude", "40"],
        ["--rate", "44100", "--noise", "25", "--seed", "3"],
        ["--rate", "44100", "--noise", "40", "--seed", "4"],
        ["--rate", "48000", "--polarity", "rising"],
        ["--rate", "32000", "--offset", "-30", "--noise", "5"],
        ["--rate", "44100", "--long-gap", "300", "--short-gap", "200"],
    ]
    # A grid over rate, noise, speed, polarity and level, the same for every run.
    grid = random.Random(11)
    for rate in (22050, 32000, 44100, 48000, 96000):
        for _ in range(5):
            conditions.append([
                "--rate", str(rate), "--noise", str(grid.choice([0, 3, 8, 15, 30])),
                "--seed", str(grid.randrange(1, 99)), "--speed", "%.3f" % grid.uniform(0.9, 1.1),
                "--polarity", grid.choice(["falling", "rising"]),
                "--amplitude", str(grid.choice([30, 60, 100, 120]))])
    for number, options in enumerate(conditions):
        chosen = programs[number % len(programs):][:3] or programs[:1]
        path = os.path.join(directory, "synth-%02d.wav" % number)
        subprocess.run([tapesynth, "--long-gap", "3000", "--short-gap", "1500"] + options +
                       [path] + chosen, check=True)
    return sorted(name for name in os.listdir(directory) if name.endswith(".wav"))


def convert(program, recordings_dir, names, out_dir):
    for name in names:
        work = os.path.join(out_dir, name)
        os.makedirs(work)
        with open(os.path.join(work, "trace"), "wb") as trace, \
                open(os.path.join(work, "errors"), "wb") as errors:
            status = subprocess.run([program, os.path.join(recordings_dir, name)], cwd=work,
                                    stdout=trace, stderr=errors).returncode
        with open(os.path.join(work, "status"), "w") as out:
            out.write("%d\n" % status)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("old")
    parser.add_argument("new")
    parser.add_argument("tapesynth")
    here = os.path.dirname(os.path.abspath(__file__))
    parser.add_argument("--corpus", default=os.path.join(here, "..", "..", "shared", "corpus"))
    parser.add_argument("--demo", default=os.path.join(here, "..", "samples", "hello.mzf"))
    parser.add_argument("--keep", help="keep the recordings and results in this directory")
    args = parser.parse_args()
    work = args.keep or tempfile.mkdtemp(prefix="compare-builds-")
    try:
        os.makedirs(os.path.join(work, "recordings"), exist_ok=True)
        names = recordings(os.path.join(work, "recordings"), os.path.abspath(args.tapesynth),
                           args.corpus, os.path.abspath(args.demo))
        for side, program in (("old", args.old), ("new", args.new)):
            shutil.rmtree(os.path.join(work, side), ignore_errors=True)
            convert(os.path.abspath(program), os.path.join(work, "recordings"), names,
                    os.path.join(work, side))
        files = sum(len(os.listdir(os.path.join(work, "new", n))) - 3 for n in names)
        print("%d recordings, %d MZF files from the new build" % (len(names), files))
        result = subprocess.run(["diff", "-r", "old", "new"], cwd=work)
        print("diff -r old new: %s" % ("identical" if result.returncode == 0 else "DIFFERENT"))
        return result.returncode
    finally:
        if not args.keep:
            shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
