#!/usr/bin/env python3
"""Checks raw 1280x720 BGRA frames of the camera while it is handed the 'NV12' known picture.

    check_converted.py FILE --frames N [--min-converted C]

Sorts every frame into grey (every byte 0x40), converted (the picture, each pixel on a grid of
every 7th column and 5th row within 2 of known_picture.nv12_expected(), and every byte the same
as in the first converted frame) or other. Prints the counts and the order (G, C, ?), and exits
1 unless FILE holds exactly N whole frames, none of them other, at least C of them converted.
FILE may be a FIFO.
"""
import argparse
import sys

import known_picture

TOLERANCE = 2


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("file")
    parser.add_argument("--frames", type=int, required=True, help="whole frames the file must hold")
    parser.add_argument("--min-converted", type=int, default=1, help="at least this many converted frames")
    args = parser.parse_args()

    width = known_picture.WIDTH
    samples = [((y * width + x) * 4, known_picture.nv12_expected(x, y))
               for y in range(0, known_picture.HEIGHT, 5) for x in range(0, width, 7)]

    def first_wrong_sample(frame: bytes):
        for offset, expected in samples:
            if any(abs(frame[offset + i] - expected[i]) > TOLERANCE for i in range(4)):
                return offset, expected
        return None

    reference = None

    def classify(frame: bytes):
        nonlocal reference
        if reference is not None:
            if frame == reference:
                return "C", None
            byte = next(i for i in range(len(frame)) if frame[i] != reference[i])
            return "?", lambda: f"differs from the first converted frame at byte {byte}"
        wrong = first_wrong_sample(frame)
        if wrong is None:
            reference = frame
            return "C", None
        offset, expected = wrong
        pixel = offset // 4
        return "?", lambda: (f"pixel ({pixel % width}, {pixel // width}) is {tuple(frame[offset:offset + 4])}, "
                             f"expected {expected} within {TOLERANCE}")

    kinds, problems, trailing = known_picture.classify_frames(args.file, classify)

    ok = known_picture.summarize(kinds, {"G": "grey", "C": "converted"}, problems, trailing, args.frames)
    if kinds.count("C") < args.min_converted:
        print(f"    expected at least {args.min_converted} converted frames")
        ok = False
    return 0 if ok else 1

if __name__ == "__main__":
    sys.exit(main())
