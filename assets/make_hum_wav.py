#!/usr/bin/env python3
"""Writes hum.wav: a short, seamlessly looping saber hum for demos and tests.

0.8 s of 16-bit mono PCM at 22050 Hz (about 35 KB): a 90 Hz tone with a few
harmonics and a slow swell. Every component completes whole cycles in the
clip, so it loops without a click, as a hum file on a board does. The output
is the same on every run, so the committed file can be checked against it.

Usage: make_hum_wav.py [OUTPUT]   (default: hum.wav next to this script)
"""
import math
import os
import struct
import sys
import wave

RATE = 22050
SECONDS = 0.8
BASE_HZ = 90.0  # 72 whole cycles in 0.8 s
# (multiple of the base frequency, relative level)
HARMONICS = [(1, 1.0), (2, 0.45), (3, 0.25), (5, 0.12), (7, 0.06)]
SWELL_HZ = 2.5  # two whole swells in 0.8 s
PEAK = 0.6 * 32767


def samples():
    count = int(RATE * SECONDS)
    norm = sum(level for _, level in HARMONICS)
    for n in range(count):
        t = n / RATE
        tone = sum(level * math.sin(2 * math.pi * BASE_HZ * k * t) for k, level in HARMONICS) / norm
        swell = 0.85 + 0.15 * math.sin(2 * math.pi * SWELL_HZ * t)
        yield int(round(PEAK * tone * swell))


def main():
    out = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(os.path.abspath(__file__)), "hum.wav")
    frames = b"".join(struct.pack("<h", s) for s in samples())
    with wave.open(out, "wb") as w:
        w.setnchannels(1)
        w.setsampwidth(2)
        w.setframerate(RATE)
        w.writeframes(frames)
    print(f"{out}: {len(frames) + 44} bytes")


if __name__ == "__main__":
    main()
