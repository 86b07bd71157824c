#!/usr/bin/env python3
"""Writes alert.wav, the sound played when an alert's own sound file cannot be played.

A 0.3 s two-tone chime (A5 then E6, each a soft bell with a fast attack and an exponential decay),
16-bit PCM mono at 22050 Hz. Run once; the result is committed.
"""
import math
import struct
import sys
import wave

RATE = 22050
LENGTH = 0.3
TONES = [(880.0, 0.0, 0.12), (1318.5, 0.1, 0.2)]  # frequency, start, decay time constant in seconds


def sample(t):
    value = 0.0
    for freq, start, decay in TONES:
        if t < start:
            continue
        local = t - start
        attack = min(1.0, local / 0.005)
        envelope = attack * math.exp(-local / decay)
        # A little of the octave gives the tone a bell-like colour.
        value += envelope * (math.sin(2 * math.pi * freq * local) + 0.25 * math.sin(4 * math.pi * freq * local))
    fade_out = min(1.0, (LENGTH - t) / 0.02)
    return 0.35 * value * fade_out


def main(path):
    frames = bytearray()
    for i in range(int(RATE * LENGTH)):
        v = max(-1.0, min(1.0, sample(i / RATE)))
        frames += struct.pack("<h", int(round(v * 32767)))
    with wave.open(path, "wb") as out:
        out.setnchannels(1)
        out.setsampwidth(2)
        out.setframerate(RATE)
        out.writeframes(bytes(frames))


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else "alert.wav")
