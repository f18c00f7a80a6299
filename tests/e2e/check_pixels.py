#!/usr/bin/env python3
"""Checks the pixels of raw 1280x720 BGRA frames recorded from the camera.

    check_pixels.py FILE --frames N [--grey-only] [--grey-from K] [--min-picture P] [--min-grey G]

Sorts every frame into grey (every byte 0x40), picture (exactly known_picture.picture()) or
other, prints the counts and the order (G, P, ?), and exits 1 unless FILE holds exactly N whole
frames and the counts satisfy the options. FILE may be a FIFO.
"""
import argparse
import sys

import known_picture


def first_difference(frame: bytes, expected: bytes) -> int:
    for start in range(0, len(frame), 4096):
        if frame[start:start + 4096] != expected[start:start + 4096]:
            return next(i for i in range(start, start + 4096) if frame[i] != expected[i])
    return -1


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("file")
    parser.add_argument("--frames", type=int, required=True, help="whole frames the file must hold")
    parser.add_argument("--grey-only", action="store_true", help="every frame must be grey")
    parser.add_argument("--grey-from", type=int, metavar="K", help="every frame from the K-th (0-based) on must be grey")
    parser.add_argument("--min-picture", type=int, default=0, help="at least this many picture frames")
    parser.add_argument("--min-grey", type=int, default=0, help="at least this many grey frames")
    args = parser.parse_args()

    picture = known_picture.picture()

    def classify(frame: bytes):
        if frame == picture:
            return "P", None

        def problem() -> str:
            to_grey, to_picture = first_difference(frame, known_picture.GREY), first_difference(frame, picture)
            offset, near, name = ((to_grey, known_picture.GREY, "grey") if to_grey > to_picture
                                  else (to_picture, picture, "the picture"))
            return f"byte {offset} is {frame[offset]:#04x}, {name} has {near[offset]:#04x}"
        return "?", problem

    kinds, problems, trailing = known_picture.classify_frames(args.file, classify)
    ok = known_picture.summarize(kinds, {"G": "grey", "P": "picture"}, problems, trailing, args.frames)
    grey, pictures = kinds.count("G"), kinds.count("P")
    grey_from = 0 if args.grey_only else args.grey_from
    if grey_from is not None and kinds[grey_from:].count("G") != len(kinds[grey_from:]):
        print(f"    expected grey frames only{f' from frame {grey_from} on' if grey_from else ''}")
        ok = False
    if pictures < args.min_picture or grey < args.min_grey:
        print(f"    expected at least {args.min_picture} picture and {args.min_grey} grey frames")
        ok = False
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
