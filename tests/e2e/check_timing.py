#!/usr/bin/env python3
"""Checks the buffer timing a pipewiresrc consumer logged (gst-launch-1.0 -v ... ! identity silent=false).

    check_timing.py LOG [--frames N] [--max-gap-fraction F] [--max-pts-gap-ms MS]

pipewiresrc turns the camera's pts into the buffer's pts and its seq into the buffer's offset.
Prints the count, the median and extremes of the pts spacing and the seq gaps, and exits 1
unless there are N buffers (when given), every pts and offset is present and increasing, the
median spacing is 1/30 s within 3 ms, and at most F of the frames (default 1/3) went missing in
seq gaps, and (when given) no two frames are more than MS apart in pts. The median catches a camera that skips ticks systematically; the gap bound is loose
because a loaded machine or a sanitizer build makes the camera drop a few frames for want of a
free buffer (bench/pipewire_bench.sh measures gaps).
"""
import argparse
import re
import statistics
import sys

BUFFER = re.compile(r"chain .*?pts: (\d+):(\d+):(\d+)\.(\d{9}).*?\boffset: (\d+),")
FRAME_NS = 1e9 / 30


def read_buffers(path: str):
    buffers = []
    with open(path, errors="replace") as f:
        for line in f:
            if "last-message = chain" not in line:
                continue
            match = BUFFER.search(line)
            if not match:
                buffers.append(None)
                continue
            h, m, s, ns, offset = (int(g) for g in match.groups())
            buffers.append((((h * 60 + m) * 60 + s) * 1_000_000_000 + ns, offset))
    return buffers


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("log")
    parser.add_argument("--frames", type=int, help="buffers the log must show")
    parser.add_argument("--max-gap-fraction", type=float, default=1 / 3)
    parser.add_argument("--max-pts-gap-ms", type=float, help="the longest pts spacing allowed")
    args = parser.parse_args()

    buffers = read_buffers(args.log)
    ok = True
    if args.frames is not None and len(buffers) != args.frames:
        print(f"    {len(buffers)} buffers, expected {args.frames}")
        ok = False
    if None in buffers:
        print(f"    buffer {buffers.index(None)} has no pts or offset")
        return 1
    if len(buffers) < 3:
        print(f"    too few buffers to judge ({len(buffers)})")
        return 1

    spacing = [b[0] - a[0] for a, b in zip(buffers, buffers[1:])]
    steps = [b[1] - a[1] for a, b in zip(buffers, buffers[1:])]
    median_ms = statistics.median(spacing) / 1e6
    missing = sum(step - 1 for step in steps if step > 1)
    print(f"  buffers={len(buffers)} pts spacing median={median_ms:.2f} ms min={min(spacing) / 1e6:.2f} ms "
          f"max={max(spacing) / 1e6:.2f} ms; seq {buffers[0][1]}..{buffers[-1][1]}, {missing} missing")
    if buffers[-1][0] > buffers[0][0]:
        print(f"  rate={(len(buffers) - 1) * 1e9 / (buffers[-1][0] - buffers[0][0]):.2f} frames/s by pts")
    if min(spacing) <= 0:
        print("    pts do not increase")
        ok = False
    if min(steps) <= 0:
        print("    seq does not increase")
        ok = False
    if abs(median_ms - FRAME_NS / 1e6) > 3:
        print(f"    median spacing is not {FRAME_NS / 1e6:.2f} ms within 3 ms")
        ok = False
    if args.max_pts_gap_ms is not None and max(spacing) / 1e6 > args.max_pts_gap_ms:
        print(f"    a gap of {max(spacing) / 1e6:.2f} ms between frames, over {args.max_pts_gap_ms:g} ms")
        ok = False
    if missing > args.max_gap_fraction * (len(buffers) + missing):
        print(f"    more than {args.max_gap_fraction:.0%} of the frames missing")
        ok = False
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
