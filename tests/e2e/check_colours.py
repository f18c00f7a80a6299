#!/usr/bin/env python3
"""Checks that raw 1280x720 BGRA frames recorded from the camera show a known picture.

    check_colours.py FILE --frames N --min-matching M --point X,Y=B,G,R [--point ...] [--tolerance T]
    check_colours.py FILE --frames N --grey-only
    check_colours.py FILE --frames N --min-matching M --point ... --then-grey G
    check_colours.py FILE --frames N --min-matching M --point ... --held

A frame matches when the pixel at every point has the given blue, green and red values within
T (default 10; '*' takes any value). Every other frame must be grey (every byte 0x40). Prints
the counts and exits 1 unless FILE holds exactly N whole frames, at least M of them match and
none is neither matching nor grey. With --grey-only every frame must be grey. With --then-grey G the matching frames come first
(after any grey ones), then only grey frames, at least G of them; with --held no grey frame
comes after the first matching one. FILE may be a FIFO.
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
    parser.add_argument("--min-matching", type=int, default=0)
    parser.add_argument("--point", type=point, action="append", default=[])
    parser.add_argument("--grey-only", action="store_true")
    parser.add_argument("--then-grey", type=int, default=None)
    parser.add_argument("--held", action="store_true")
    parser.add_argument("--tolerance", type=int, default=10)
    args = parser.parse_args()
    if not args.point and not args.grey_only:
        parser.error("--point or --grey-only is required")

    matching = grey = 0
    order = []  # M for a matching frame, G for a grey one
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
            misses = ["not grey"] if args.grey_only else []
            for x, y, expected in args.point:
                offset = (y * WIDTH + x) * 4
                actual = frame[offset:offset + 3]
                if any(e is not None and abs(a - e) > args.tolerance for a, e in zip(actual, expected)):
                    misses.append(f"({x},{y}) is {tuple(actual)}, expected {tuple(expected)}")
            if misses:
                if len(others) < 3:
                    others.append(f"frame {frames - 1}: " + "; ".join(misses))
                else:
                    others.append(None)
            else:
                matching += 1
                order.append("M")

    print(f"  frames={frames} matching={matching} grey={grey} other={len(others)}")
    for line in (o for o in others if o):
        print("    " + line)
    ok = not others and not trailing and frames == args.frames and matching >= args.min_matching
    sequence = "".join(order).lstrip("G")
    if args.held and "G" in sequence:
        ok = False
        print(f"    expected pictures only after the first one; got {sequence}")
    if args.then_grey is not None:
        tail = len(sequence) - len(sequence.rstrip("G"))
        if "G" in sequence.rstrip("G") or tail < args.then_grey:
            ok = False
            print(f"    expected pictures, then at least {args.then_grey} grey frames and no picture after them;"
                  f" got {sequence}")
    if trailing:
        print(f"    {trailing} bytes after the last whole frame")
    if frames != args.frames or matching < args.min_matching:
        print(f"    expected {args.frames} frames, at least {args.min_matching} matching")
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
