#!/usr/bin/env python3
"""Checks that raw 1280x720 BGRA frames recorded from the camera show a known picture.

    check_colours.py FILE --frames N --min-matching M --point X,Y=B,G,R [--point ...] [--tolerance T]
                     [--then-grey G]

A frame matches when the pixel at every point has the given blue, green and red values within
T (default 10; '*' takes any value). Every other frame must be grey (every byte 0x40). Prints
the counts and exits 1 unless FILE holds exactly N whole frames, at least M of them match and
none is neither matching nor grey. With --then-grey G the frames must be matching ones first,
then grey ones only, at least G of them (a picture source that stops during the recording).
FILE may be a FIFO.
"""
import argparse
import sys

WIDTH, HEIGHT = 1280, 720
FRAME_BYTES = WIDTH * HEIGHT * 4
GREY = b"\x40" * FRAME_BYTES


def point(text: str):
    where, colour = text.split("=")
    x, y = (int(v) for v in where.split(","))
    channels = [None if v == "*" else int(v) for v in colour.split(",")]
    if not (0 <= x < WIDTH and 0 <= y < HEIGHT) or len(channels) != 3:
        raise argparse.ArgumentTypeError(f"bad point {text}")
    return x, y, channels


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("file")
    parser.add_argument("--frames", type=int, required=True)
    parser.add_argument("--min-matching", type=int, required=True)
    parser.add_argument("--point", type=point, action="append", required=True)
    parser.add_argument("--tolerance", type=int, default=10)
    parser.add_argument("--then-grey", type=int, default=None)
    args = parser.parse_args()

    matching = grey = 0
    order = []
    others = []
    frames = 0
    trailing = 0
    with open(args.file, "rb") as f:
        while True:
            frame = f.read(FRAME_BYTES)
            if len(frame) < FRAME_BYTES:
                trailing = len(frame)
                break
            frames += 1
            if frame == GREY:
                grey += 1
                order.append("G")
                continue
            misses = []
            for x, y, expected in args.point:
                offset = (y * WIDTH + x) * 4
                actual = frame[offset:offset + 3]
                if any(e is not None and abs(a - e) > args.tolerance for a, e in zip(actual, expected)):
                    misses.append(f"({x},{y}) is {tuple(actual)}, expected {tuple(expected)}")
            order.append("?" if misses else "M")
            if misses:
                if len(others) < 3:
                    others.append(f"frame {frames - 1}: " + "; ".join(misses))
                else:
                    others.append(None)
            else:
                matching += 1

    print(f"  frames={frames} matching={matching} grey={grey} other={len(others)}")
    for line in (o for o in others if o):
        print("    " + line)
    ok = not others and not trailing and frames == args.frames and matching >= args.min_matching
    if args.then_grey is not None:
        text = "".join(order)
        pictures = len(text) - len(text.lstrip("M"))
        rest = text[pictures:]
        if rest != "G" * len(rest) or len(rest) < args.then_grey:
            ok = False
            print(f"    expected pictures, then at least {args.then_grey} grey frames only; order {text}")
        else:
            print(f"    {pictures} pictures, then {len(rest)} grey frames")
    if trailing:
        print(f"    {trailing} bytes after the last whole frame")
    if frames != args.frames or matching < args.min_matching:
        print(f"    expected {args.frames} frames, at least {args.min_matching} matching")
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
