#!/usr/bin/env python3
"""Checks raw frames read from the loopback device: check_frames.py FILE KIND FORMAT
KIND: grey (every frame the camera's grey), pattern (every frame kolv-publish's pattern, its
stamps' frame numbers rising). FORMAT: yuyv (1280x720 YUYV) or bgra (1280x720, bytes B G R A).
Prints one line; exits 1 when a frame is not of the kind."""
import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools"))
import pattern_frames  # noqa: E402

WIDTH, HEIGHT = 1280, 720


def main() -> int:
    path, kind, fmt = sys.argv[1:4]
    size = WIDTH * HEIGHT * (2 if fmt == "yuyv" else 4)
    data = open(path, "rb").read()
    if len(data) % size or not data:
        print(f"{len(data)} bytes is not a whole number of {size}-byte frames")
        return 1
    frames = [data[i:i + size] for i in range(0, len(data), size)]
    grey = b"\x47\x80" * (WIDTH * HEIGHT) if fmt == "yuyv" else b"\x40\x40\x40\xff" * (WIDTH * HEIGHT)
    bad, numbers = [], []
    for index, frame in enumerate(frames):
        if kind == "grey":
            if frame != grey:
                bad.append(index)
        elif fmt == "bgra":
            stamp = pattern_frames.read_stamp(frame, 0)
            if stamp is None:
                bad.append(index)
            else:
                numbers.append(stamp[0])
        elif frame == grey or len(set(frame[::4099])) < 8:
            bad.append(index)
    if kind == "pattern" and fmt == "bgra" and any(b < a for a, b in zip(numbers, numbers[1:])):
        print(f"frame numbers go backwards: {numbers}")
        return 1
    extra = f", pattern numbers {numbers[0]}..{numbers[-1]}" if numbers else ""
    print(f"{len(frames)} frames, {len(frames) - len(bad)} {kind}{extra}; not {kind}: {bad[:10]}")
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main())
