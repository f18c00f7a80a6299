#!/usr/bin/env python3
"""Checks raw frames read from the loopback device:

    check_frames.py FILE KIND FORMAT [--min-numbers N]

KIND: grey (every frame the camera's grey) or pattern (kolv-publish --pattern's frames: both
stamps valid and equal, and the colour bars those of the stamped frame number; frame numbers
never going backwards and at least N different ones, 2 by default, so that a frozen picture
fails). A reader's first frames may be grey: kolv-publish draws on the camera's cue, which
comes only once the reader has started the stream; they are counted and printed. After the
first pattern frame every frame must be one, and at least --min-pattern (10) of them. FORMAT: yuyv (1280x720 YUYV, the pattern read from its Y, U and V values as
libyuv writes them: BT.601, limited range) or bgra (1280x720, bytes B G R A, read exactly).
Prints one line; exits 1 when a frame is not of the kind or the numbers do not rise."""
import argparse
import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools"))
import pattern_frames  # noqa: E402

WIDTH, HEIGHT = pattern_frames.WIDTH, pattern_frames.HEIGHT
STAMP_ROWS = pattern_frames.STAMP_ROWS
# Y, U and V differ from the exact BT.601 values by libyuv's rounding only.
TOLERANCE = 3


def yuv(b: int, g: int, r: int):
    """BT.601 limited range, as libyuv's ARGBToYUY2 computes it."""
    y = (66 * r + 129 * g + 25 * b + 128) // 256 + 16
    u = (112 * b - 74 * g - 38 * r + 128) // 256 + 128
    v = (112 * r - 94 * g - 18 * b + 128) // 256 + 128
    return y, u, v


GREY_YUYV = bytes((yuv(0x40, 0x40, 0x40)[0], 0x80)) * (WIDTH * HEIGHT)
GREY_BGRA = b"\x40\x40\x40\xff" * (WIDTH * HEIGHT)
BAR_YUV = [yuv(*colour) for colour in pattern_frames.BARS]


def yuyv_stamp(frame: bytes, first_row: int):
    """(frame number, publish time) from the stamp band at first_row, read from Y, or None."""
    base = (first_row + STAMP_ROWS // 2) * WIDTH * 2
    bits = [1 if frame[base + (cell * 10 + 5) * 2] >= 128 else 0 for cell in range(128)]
    if tuple(bits[0:8]) != pattern_frames.LEADING_SYNC or tuple(bits[120:128]) != pattern_frames.TRAILING_SYNC:
        return None

    def value(first, count):
        return sum(bit << i for i, bit in enumerate(bits[first:first + count]))

    number, ns, check = value(8, 32), value(40, 64), value(104, 16)
    return (number, ns) if check == pattern_frames.check_word(number, ns) else None


def yuyv_bars_match(frame: bytes, number: int) -> bool:
    """Whether every bar row carries frame `number`'s bars. Each bar's Y, U and V are read at its
    middle in the first bar row and must be within TOLERANCE of the colour's; every bar row
    must then be that row exactly. A bar's edges fall on multiples of 8 pixels, so no pixel
    pair straddles two bars."""
    shift = (number * 8) % WIDTH
    bar_width = WIDTH // len(BAR_YUV)
    first = pattern_frames.BAR_ROWS[0] * WIDTH * 2
    pairs = []
    for index, (ey, eu, ev) in enumerate(BAR_YUV):
        at = first + ((index * bar_width - shift + bar_width // 2) % WIDTH) * 2
        y0, u, y1, v = frame[at:at + 4]
        if y0 != y1 or max(abs(y0 - ey), abs(u - eu), abs(v - ev)) > TOLERANCE:
            return False
        pairs.append(bytes((y0, u, y1, v)))
    row = b"".join(pairs[((x + shift) % WIDTH) // bar_width] for x in range(0, WIDTH, 2))
    return all(frame[r * WIDTH * 2:(r + 1) * WIDTH * 2] == row for r in pattern_frames.BAR_ROWS)


def classify(frame: bytes, fmt: str):
    """('P', number), ('T', None) torn, ('G', None) grey or ('?', None)."""
    if fmt == "bgra":
        kind, stamp = pattern_frames.classify(bgra_as_published(frame))
        return kind, stamp[0] if stamp else None
    if frame == GREY_YUYV:
        return "G", None
    top, bottom = yuyv_stamp(frame, 0), yuyv_stamp(frame, HEIGHT - STAMP_ROWS)
    if top is None and bottom is None:
        return "?", None
    if top != bottom or not yuyv_bars_match(frame, top[0]):
        return "T", None
    return "P", top[0]


def bgra_as_published(frame: bytes) -> bytes:
    """The camera's grey has 0x40 in every byte; a reader that asks ffmpeg for 'bgra' may get
    0xff for the fourth, which V4L2's BGR32 leaves undefined."""
    return pattern_frames.GREY if frame == GREY_BGRA else frame


def main() -> int:
    parser = argparse.ArgumentParser()
    parser.add_argument("file")
    parser.add_argument("kind", choices=("grey", "pattern"))
    parser.add_argument("format", choices=("yuyv", "bgra"))
    parser.add_argument("--min-numbers", type=int, default=2)
    parser.add_argument("--min-pattern", type=int, default=10)
    # BGRA frames are twice YUYV's size: in the emulated guest ffmpeg can still be copying one
    # when the camera writes the next-but-one into the same buffer (v4l2loopback keeps no writer
    # out of a buffer being read). Such frames are counted and printed, not failed; every whole
    # frame must still be the pattern, in order.
    parser.add_argument("--torn-allowed", action="store_true")
    args = parser.parse_args()
    size = WIDTH * HEIGHT * (2 if args.format == "yuyv" else 4)
    data = open(args.file, "rb").read()
    if len(data) % size or not data:
        print(f"{len(data)} bytes is not a whole number of {size}-byte frames")
        return 1
    frames = [data[i:i + size] for i in range(0, len(data), size)]
    kinds, numbers = [], []
    for frame in frames:
        kind, number = classify(frame, args.format)
        kinds.append(kind)
        if number is not None:
            numbers.append(number)
    wanted = "G" if args.kind == "grey" else "P"
    leading = 0
    if args.kind == "pattern":
        while leading < len(kinds) and kinds[leading] == "G":
            leading += 1
    bad = [i for i, kind in enumerate(kinds)
           if kind != wanted and i >= leading and not (args.torn_allowed and kind == "T")]
    summary = "".join(kinds)
    problems = []
    if bad:
        problems.append(f"not {args.kind}: frames {bad[:10]}")
    if args.kind == "pattern":
        if len(kinds) - leading < args.min_pattern:
            problems.append(f"{len(kinds) - leading} pattern frames, fewer than {args.min_pattern}")
        if any(b < a for a, b in zip(numbers, numbers[1:])):
            problems.append("frame numbers go backwards")
        if len(set(numbers)) < args.min_numbers:
            problems.append(f"{len(set(numbers))} different frame numbers, fewer than {args.min_numbers}: "
                            "the picture is frozen")
    extra = f", numbers {numbers[0]}..{numbers[-1]} ({len(set(numbers))} different)" if numbers else ""
    if leading:
        extra += f", {leading} grey before the first picture"
    if args.torn_allowed and "T" in kinds:
        extra += f", {kinds.count('T')} torn while being read"
    print(f"{len(frames)} frames {summary}{extra}" + (f"; {'; '.join(problems)}" if problems else ""))
    if problems and numbers:
        print(f"  frame numbers: {' '.join(map(str, numbers))}")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
