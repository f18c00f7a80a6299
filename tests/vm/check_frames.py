#!/usr/bin/env python3
"""Checks raw frames read from the loopback device:

    check_frames.py FILE KIND FORMAT [--min-numbers N]

KIND: grey (every frame the camera's grey) or pattern (kolv-publish --pattern's frames: both
stamps valid and equal, and the colour bars those of the stamped frame number; frame numbers
never going backwards and at least N different ones, 2 by default, so that a frozen picture
fails). A reader's first frames may be grey: kolv-publish draws on the camera's cue, which
comes only once the reader has started the stream; they are counted and printed. After the
first pattern frame every frame must be one, and at least --min-pattern (10) of them. FORMAT: yuyv, nv12 or i420 (1280x720, the pattern read from its Y, U and V values as libyuv
writes them: BT.601, limited range) or bgra (1280x720, bytes B G R A, read exactly).
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


GREY_Y = yuv(0x40, 0x40, 0x40)[0]
GREY_YUYV = bytes((GREY_Y, 0x80)) * (WIDTH * HEIGHT)
GREY_420 = bytes((GREY_Y,)) * (WIDTH * HEIGHT) + b"\x80" * (WIDTH * HEIGHT // 2)
GREY_BGRA = b"\x40\x40\x40\xff" * (WIDTH * HEIGHT)
BAR_YUV = [yuv(*colour) for colour in pattern_frames.BARS]
BAR_ROW_SET = set(pattern_frames.BAR_ROWS)
FRAME_BYTES = {"yuyv": WIDTH * HEIGHT * 2, "nv12": WIDTH * HEIGHT * 3 // 2, "i420": WIDTH * HEIGHT * 3 // 2,
               "bgra": WIDTH * HEIGHT * 4}


class YUVFrame:
    """Rows of Y, U and V of a YUYV, NV12 or I420 frame (U and V at half the width)."""

    def __init__(self, frame: bytes, fmt: str):
        self.frame, self.fmt = frame, fmt

    def y(self, row: int) -> bytes:
        if self.fmt == "yuyv":
            return self.frame[row * WIDTH * 2:(row + 1) * WIDTH * 2:2]
        return self.frame[row * WIDTH:(row + 1) * WIDTH]

    def uv(self, row: int):
        luma = WIDTH * HEIGHT
        if self.fmt == "yuyv":
            line = self.frame[row * WIDTH * 2:(row + 1) * WIDTH * 2]
            return line[1::4], line[3::4]
        if self.fmt == "nv12":
            pairs = self.frame[luma + row // 2 * WIDTH:luma + (row // 2 + 1) * WIDTH]
            return pairs[0::2], pairs[1::2]
        half = WIDTH // 2
        u = luma + row // 2 * half
        v = luma + luma // 4 + row // 2 * half
        return self.frame[u:u + half], self.frame[v:v + half]


def yuv_stamp(frame: YUVFrame, first_row: int):
    """(frame number, publish time) from the stamp band at first_row, read from Y, or None."""
    luma = frame.y(first_row + STAMP_ROWS // 2)
    bits = [1 if luma[cell * 10 + 5] >= 128 else 0 for cell in range(128)]
    if tuple(bits[0:8]) != pattern_frames.LEADING_SYNC or tuple(bits[120:128]) != pattern_frames.TRAILING_SYNC:
        return None

    def value(first, count):
        return sum(bit << i for i, bit in enumerate(bits[first:first + count]))

    number, ns, check = value(8, 32), value(40, 64), value(104, 16)
    return (number, ns) if check == pattern_frames.check_word(number, ns) else None


def yuv_bars_match(frame: YUVFrame, number: int) -> bool:
    """Whether every bar row carries frame `number`'s bars. Each bar's Y, U and V are read at its
    middle in the first bar row and must be within TOLERANCE of the colour's; every bar row
    must then be that row exactly (for 4:2:0, chroma only where both rows it covers are bar
    rows). A bar's edges fall on multiples of 8 pixels, so no chroma sample straddles two bars."""
    shift = (number * 8) % WIDTH
    bar_width = WIDTH // len(BAR_YUV)
    first = pattern_frames.BAR_ROWS[0]
    luma, (u_row, v_row) = frame.y(first), frame.uv(first)
    for index, (ey, eu, ev) in enumerate(BAR_YUV):
        x = (index * bar_width - shift + bar_width // 2) % WIDTH
        y, u, v = luma[x], u_row[x // 2], v_row[x // 2]
        if luma[x + 1] != y or max(abs(y - ey), abs(u - eu), abs(v - ev)) > TOLERANCE:
            return False
    for row in pattern_frames.BAR_ROWS:
        if frame.y(row) != luma:
            return False
        if (frame.fmt == "yuyv" or row ^ 1 in BAR_ROW_SET) and frame.uv(row) != (u_row, v_row):
            return False
    return True


def classify(frame: bytes, fmt: str):
    """('P', number), ('T', None) torn, ('G', None) grey or ('?', None)."""
    if fmt == "bgra":
        kind, stamp = pattern_frames.classify(bgra_as_published(frame))
        return kind, stamp[0] if stamp else None
    if frame == (GREY_YUYV if fmt == "yuyv" else GREY_420):
        return "G", None
    yuv_frame = YUVFrame(frame, fmt)
    top, bottom = yuv_stamp(yuv_frame, 0), yuv_stamp(yuv_frame, HEIGHT - STAMP_ROWS)
    if top is None and bottom is None:
        return "?", None
    if top != bottom or not yuv_bars_match(yuv_frame, top[0]):
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
    parser.add_argument("format", choices=tuple(FRAME_BYTES))
    parser.add_argument("--min-numbers", type=int, default=2)
    parser.add_argument("--min-pattern", type=int, default=10)
    # For readers that can still hold a frame in the emulated guest when the camera writes the
    # next-but-one into the same buffer (v4l2loopback keeps no writer out of a buffer being
    # read): ffmpeg copying BGRA, twice YUYV's size, and GStreamer's v4l2src, which passes the
    # mapped buffer on. Such frames are counted and printed, not failed; every whole frame must
    # still be the pattern, in order.
    parser.add_argument("--torn-allowed", action="store_true")
    args = parser.parse_args()
    size = FRAME_BYTES[args.format]
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
