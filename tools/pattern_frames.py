#!/usr/bin/env python3
"""Reads raw 1280x720 BGRA frames recorded from Kolv Camera while kolv-publish --pattern runs.

    pattern_frames.py [FILE] [--frames N] [--min-pattern N] [--max-pattern N] [--min-grey N]
                      [--max-grey-between N] [--max-grey-among N] [--min-repeats N] [--grey-after-pattern F]
                      [--trailing-grey N] [--save-last-pattern RAW] [--buffer-log LOG]

Sorts every frame into pattern (both stamps valid and equal, and the colour bars above and
below the digits are those of the stamped frame number), torn (stamps or bars of different
frames), grey (every byte 0x40) or other. Prints one summary line and exits 1 when a frame is
torn or other, pattern frame numbers go backwards, the file ends inside a frame, or a limit
given on the command line is not met. Without FILE, only the rate from --buffer-log. A number
seen twice in a row (the companion keeps its last picture live, so the camera sends it again
on every tick until the next one) is counted as a repeat, not an error. Grey frames between
the first and the last pattern frame are counted apart (grey_between): a live companion
leaves none; grey_among counts every grey frame after the first pattern frame (grey before it
is the camera waiting for the companion). FILE may be a FIFO.

The stamps are 128 cells, 10 pixels wide, in rows 0-15 and again in rows 704-719, white for 1
and black for 0: cells 0-7 sync 10110010, 8-39 the frame number, 40-103 the time of
publishing (CLOCK_MONOTONIC, ns), both least significant bit first, 104-119 a check word,
120-127 sync 01001101.
"""
import argparse
import re
import statistics
import sys

WIDTH, HEIGHT = 1280, 720
ROW_BYTES = WIDTH * 4
FRAME_BYTES = ROW_BYTES * HEIGHT
GREY = b"\x40" * FRAME_BYTES
STAMP_ROWS = 16
LEADING_SYNC = (1, 0, 1, 1, 0, 0, 1, 0)
TRAILING_SYNC = (0, 1, 0, 0, 1, 1, 0, 1)
# Bars (B, G, R), 160 pixels each, scrolled 8 pixels a frame; the digits' panel covers the
# middle rows 195-524 between columns 316 and 963.
BARS = ((255, 255, 255), (0, 255, 255), (255, 255, 0), (0, 255, 0),
        (255, 0, 255), (0, 0, 255), (255, 0, 0), (40, 40, 40))
_BAR_ROW = b"".join(bytes((b, g, r, 255)) * (WIDTH // len(BARS)) for b, g, r in BARS) * 2
BAR_ROWS = list(range(STAMP_ROWS, 195)) + list(range(525, HEIGHT - STAMP_ROWS))


def check_word(frame_number: int, ns: int) -> int:
    fold = frame_number ^ ns ^ (ns >> 32)
    fold ^= fold >> 16
    return (fold ^ 0xA5C3) & 0xFFFF


def read_stamp(frame: bytes, first_row: int):
    """(frame number, publish time in ns) from the band at first_row, or None."""
    base = (first_row + STAMP_ROWS // 2) * ROW_BYTES + 1  # green byte of the middle row
    bits = [1 if frame[base + (cell * 10 + 5) * 4] >= 128 else 0 for cell in range(128)]
    if tuple(bits[0:8]) != LEADING_SYNC or tuple(bits[120:128]) != TRAILING_SYNC:
        return None

    def value(first, count):
        return sum(bit << i for i, bit in enumerate(bits[first:first + count]))

    number, ns, check = value(8, 32), value(40, 64), value(104, 16)
    return (number, ns) if check == check_word(number, ns) else None


def bar_row(frame_number: int) -> bytes:
    shift = (frame_number * 8) % WIDTH
    return _BAR_ROW[shift * 4:(shift + WIDTH) * 4]


def classify(frame: bytes):
    """('P', stamp), ('T', None), ('G', None) or ('?', None)."""
    if frame == GREY:
        return "G", None
    top, bottom = read_stamp(frame, 0), read_stamp(frame, HEIGHT - STAMP_ROWS)
    if top is None and bottom is None:
        return "?", None
    if top != bottom:
        return "T", None
    expected = bar_row(top[0])
    if any(frame[row * ROW_BYTES:(row + 1) * ROW_BYTES] != expected for row in BAR_ROWS):
        return "T", None
    return "P", top


BUFFER = re.compile(r"chain .*?pts: (\d+):(\d+):(\d+)\.(\d{9}).*?\boffset: (\d+),")


def buffer_rate(log_path: str):
    """Frames a second from the pts a pipewiresrc consumer logged through identity, and the
    frames missing from its seq (offset) numbers."""
    buffers = []
    with open(log_path, errors="replace") as f:
        for line in f:
            match = BUFFER.search(line) if "last-message = chain" in line else None
            if match:
                h, m, s, ns, offset = (int(g) for g in match.groups())
                buffers.append((((h * 60 + m) * 60 + s) * 1_000_000_000 + ns, offset))
    if len(buffers) < 2 or buffers[-1][0] <= buffers[0][0]:
        return None
    rate = (len(buffers) - 1) * 1e9 / (buffers[-1][0] - buffers[0][0])
    missing = sum(b[1] - a[1] - 1 for a, b in zip(buffers, buffers[1:]) if b[1] - a[1] > 1)
    spacing = statistics.median(b[0] - a[0] for a, b in zip(buffers, buffers[1:])) / 1e6
    return rate, len(buffers), missing, spacing


def check_frames(args) -> list:
    """Reads the frames, prints the summary line; the problems found."""
    problems = []
    kinds, numbers, last_pattern = [], [], None
    trailing_bytes = 0
    with open(args.file, "rb") as f:
        while True:
            frame = f.read(FRAME_BYTES)
            if len(frame) < FRAME_BYTES:
                trailing_bytes = len(frame)
                break
            kind, stamp = classify(frame)
            kinds.append(kind)
            if kind == "P":
                numbers.append(stamp[0])
                last_pattern = frame

    pattern, grey = kinds.count("P"), kinds.count("G")
    torn, other = kinds.count("T"), kinds.count("?")
    steps = [b - a for a, b in zip(numbers, numbers[1:])]
    repeats, backwards = steps.count(0), sum(1 for s in steps if s < 0)
    order = "".join(kinds)
    followed = sum(1 for i, k in enumerate(kinds[:-1]) if k == "P" and kinds[i + 1] == "G")
    trailing_grey = len(order) - len(order.rstrip("G"))
    grey_between = order.strip("G").count("G")
    grey_among = order[order.find("P"):].count("G") if pattern else 0
    span = f" numbers {numbers[0]}..{numbers[-1]}" if numbers else ""
    print(f"  frames={len(kinds)} pattern={pattern} grey={grey} grey_between={grey_between} grey_among={grey_among} torn={torn} "
          f"other={other} repeats={repeats} backwards={backwards}{span} "
          f"order={order[:90]}{'...' if len(order) > 90 else ''}")

    if trailing_bytes:
        problems.append(f"{trailing_bytes} bytes after the last whole frame")
    if args.frames is not None and len(kinds) != args.frames:
        problems.append(f"expected {args.frames} frames")
    if torn or other or backwards:
        problems.append("torn, unknown or out-of-order frames")
    if pattern < args.min_pattern or (args.max_pattern is not None and pattern > args.max_pattern):
        problems.append(f"expected {args.min_pattern}..{args.max_pattern or 'any'} pattern frames")
    if grey < args.min_grey:
        problems.append(f"expected at least {args.min_grey} grey frames")
    if args.max_grey_between is not None and grey_between > args.max_grey_between:
        problems.append(f"{grey_between} grey frames between pattern frames, expected at most {args.max_grey_between}")
    if args.max_grey_among is not None and grey_among > args.max_grey_among:
        problems.append(f"{grey_among} grey frames after the first pattern frame, expected at most {args.max_grey_among}")
    if repeats < args.min_repeats:
        problems.append(f"{repeats} repeated pattern frames, expected at least {args.min_repeats}")
    if pattern and followed < args.grey_after_pattern * pattern:
        problems.append(f"only {followed} of {pattern} pattern frames are followed by a grey one")
    if args.trailing_grey and (trailing_grey < args.trailing_grey or not pattern):
        problems.append(f"ends with {trailing_grey} grey frames after the pattern, expected {args.trailing_grey}")
    if args.save_last_pattern:
        if last_pattern is None:
            problems.append("no pattern frame to save")
        else:
            with open(args.save_last_pattern, "wb") as out:
                out.write(last_pattern)
    return problems


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("file", nargs="?")
    parser.add_argument("--frames", type=int, help="whole frames the file must hold")
    parser.add_argument("--min-pattern", type=int, default=0)
    parser.add_argument("--max-pattern", type=int)
    parser.add_argument("--min-grey", type=int, default=0)
    parser.add_argument("--max-grey-between", type=int,
                        help="at most this many grey frames between the first and the last pattern frame")
    parser.add_argument("--max-grey-among", type=int,
                        help="at most this many grey frames after the first pattern frame")
    parser.add_argument("--min-repeats", type=int, default=0,
                        help="at least this many pattern frames repeat the one before")
    parser.add_argument("--grey-after-pattern", type=float, default=0,
                        help="at least this share of pattern frames is followed by a grey frame")
    parser.add_argument("--trailing-grey", type=int, default=0,
                        help="the recording ends with at least this many grey frames, after pattern frames")
    parser.add_argument("--save-last-pattern", metavar="RAW", help="write the last pattern frame here")
    parser.add_argument("--buffer-log", metavar="LOG", help="also report the frame rate from this consumer log")
    args = parser.parse_args()

    problems = []
    if args.file:
        problems += check_frames(args)
    if args.buffer_log:
        rate = buffer_rate(args.buffer_log)
        if rate is None:
            problems.append(f"no buffer timing in {args.buffer_log}")
        else:
            print(f"  rate={rate[0]:.2f} frames/s over {rate[1]} buffers (median spacing {rate[3]:.2f} ms), "
                  f"{rate[2]} missing")
    for problem in problems:
        print("    " + problem)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
