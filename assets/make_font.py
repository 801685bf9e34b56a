#!/usr/bin/env python3
"""Writes font/: a tiny sound font of five short sounds for demos and tests.

on.wav, off.wav, hum.wav, swing.wav and clash.wav, 16-bit mono PCM at
16000 Hz, a quarter to half a second each (about 40 KB in all): a rising and
a falling sweep for power on and off, a short looping hum, a whoosh of
swelling noise and a bright decaying burst. The names begin as a board's
sound arrays expect (on, off, hum, sw, cl). Noise comes from a fixed
linear congruential generator, so the output is the same on every run and
the committed files can be checked against it.

Usage: make_font.py [FOLDER]   (default: font/ next to this script)
"""
import math
import os
import struct
import sys
import wave

RATE = 16000
PEAK = 0.6 * 32767


def noise():
    """Uniform values in [-1, 1) from a 32-bit LCG, seeded the same every time."""
    state = 12345
    while True:
        state = (1103515245 * state + 12345) & 0x7FFFFFFF
        yield state / 0x40000000 - 1.0


def sweep(seconds, f_from, f_to):
    count = int(RATE * seconds)
    phase = 0.0
    for n in range(count):
        f = f_from + (f_to - f_from) * n / count
        phase += 2 * math.pi * f / RATE
        fade = min(1.0, n / 160, (count - n) / 160)
        yield (0.7 * math.sin(phase) + 0.3 * math.sin(2 * phase)) * fade


def hum(seconds=0.5, base=100.0):
    # 50 whole cycles of the base in half a second: it loops without a click.
    for n in range(int(RATE * seconds)):
        t = n / RATE
        yield (math.sin(2 * math.pi * base * t) + 0.4 * math.sin(2 * math.pi * 2 * base * t)
               + 0.2 * math.sin(2 * math.pi * 3 * base * t)) / 1.6


def whoosh(seconds=0.35):
    count = int(RATE * seconds)
    rand = noise()
    low = 0.0
    for n in range(count):
        low += 0.08 * (next(rand) - low)  # a one-pole low-pass: a soft rush
        envelope = math.sin(math.pi * n / count) ** 2
        yield 3.0 * low * envelope + 0.3 * math.sin(2 * math.pi * 140 * n / RATE) * envelope


def clash(seconds=0.25):
    count = int(RATE * seconds)
    rand = noise()
    for n in range(count):
        t = n / RATE
        ring = math.sin(2 * math.pi * 1800 * t) + 0.5 * math.sin(2 * math.pi * 2650 * t)
        yield (0.6 * next(rand) + 0.4 * ring) * math.exp(-t * 18)


SOUNDS = {
    "on.wav": lambda: sweep(0.4, 120, 900),
    "off.wav": lambda: sweep(0.4, 900, 120),
    "hum.wav": hum,
    "swing.wav": whoosh,
    "clash.wav": clash,
}


def write(path, values):
    frames = b"".join(struct.pack("<h", max(-32767, min(32767, int(round(PEAK * v))))) for v in values)
    with wave.open(path, "wb") as w:
        w.setnchannels(1)
        w.setsampwidth(2)
        w.setframerate(RATE)
        w.writeframes(frames)
    return len(frames) + 44


def main():
    folder = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(os.path.abspath(__file__)), "font")
    os.makedirs(folder, exist_ok=True)
    for name, make in SOUNDS.items():
        print(f"{os.path.join(folder, name)}: {write(os.path.join(folder, name), make())} bytes")


if __name__ == "__main__":
    main()
