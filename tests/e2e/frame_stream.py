#!/usr/bin/env python3
"""Sorts a stream of frames from the camera as they arrive (the top 48 rows of each 1280x720
BGRA frame), and checks the camera's frame times that the consumer logged.

    frame_stream.py FIFO --log LOG [--frames N] [--picture P|I] [--max-gap-ms MS]
                    [--status-every SECONDS] [--name NAME]

FIFO is what a pipewiresrc consumer writes the frames into (videocrop bottom=672 ! filesink:
the whole frame would cost the consumer more than a loaded machine gives it, and it would hold
the camera's buffers); LOG is that consumer's
gst-launch-1.0 -v output with a line per buffer from identity (tests/e2e/lib.sh
consumer_command): pipewiresrc turns the camera's frame time (the monotonic clock, stamped on
every frame) into the buffer's pts and its seq into the buffer's offset. Nothing is kept but
counts, so it can run for hours.

Each frame is G (grey: every byte 0x40), P (kolv-publish --pattern), I (kolv-publish --image
of make_png.py), T (torn) or ? (other). Grey before the first picture is the camera waiting for
the companion and is not counted; grey after it is grey among the companion's pictures. Prints
one line (and one every --status-every seconds while it runs):

    NAME: frames= pictures= grey_among= grey_before= torn= other= backwards= longest_grey_run=
          buffers= max_gap_ms= gaps_over= missing_seq= rate=

and exits 1 when a frame is grey among pictures, torn, other or not the --picture kind, pattern
numbers go backwards, a pts gap is over --max-gap-ms, fewer than --frames frames came (when
given), or the log's buffer count differs from the frames read.
"""
import argparse
import fcntl
import os
import re
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "tools"))
sys.path.insert(0, HERE)
import pattern_frames  # noqa: E402  (tools/pattern_frames.py: the pattern's stamps and bars)

WIDTH, ROW_BYTES = pattern_frames.WIDTH, pattern_frames.ROW_BYTES
# The consumer crops each frame to its top rows (videocrop) before writing it, so that it keeps
# up on a loaded machine: a camera frame is grey whole or not at all, and these rows hold the
# pattern's stamp, 32 rows of its bars, and a row of the image's top quadrants.
BAND_ROWS = 48
BAND_BYTES = BAND_ROWS * ROW_BYTES
GREY_BAND = b"\x40" * BAND_BYTES
IMAGE_ROW = 40
TOLERANCE = 2
BUFFER = re.compile(r"chain .*?pts: (\d+):(\d+):(\d+)\.(\d{9}).*?\boffset: (\d+),")
F_SETPIPE_SZ = 1031


def classify(band):
    """(kind, pattern frame number or None) of the top BAND_ROWS rows of a frame: the pattern's
    stamp and the colour bars below it, the top quadrants of the image, grey."""
    if band == GREY_BAND:
        return "G", None
    stamp = pattern_frames.read_stamp(band, 0)
    if stamp is not None:
        expected = pattern_frames.bar_row(stamp[0])
        rows = range(pattern_frames.STAMP_ROWS, BAND_ROWS)
        if any(band[row * ROW_BYTES:(row + 1) * ROW_BYTES] != expected for row in rows):
            return "T", None
        return "P", stamp[0]
    if is_image_band(band):
        return "I", None
    return "?", None


def is_image_band(band) -> bool:
    """make_png.py's red and green quadrants, sampled on the row IMAGE_ROW."""
    for left, colour in ((0, (0, 0, 255)), (640, (0, 255, 0))):
        for x in range(left + 80, left + 640, 160):
            offset = (IMAGE_ROW * WIDTH + x) * 4
            if any(abs(a - e) > TOLERANCE for a, e in zip(band[offset:offset + 3], colour)):
                return False
    return True


class Frames:
    """Counts of the frames read so far."""

    def __init__(self):
        self.count = self.pictures = self.grey_among = self.grey_before = 0
        self.torn = self.other = self.backwards = self.wrong_kind = 0
        self.run = self.longest_grey_run = 0
        self.last_number = None
        self.first_grey_among = None  # index of the first grey frame after a picture

    def add(self, kind: str, number, picture: str):
        index = self.count
        self.count += 1
        if kind == "G":
            if self.pictures:
                self.grey_among += 1
                self.run += 1
                self.longest_grey_run = max(self.longest_grey_run, self.run)
                if self.first_grey_among is None:
                    self.first_grey_among = index
            else:
                self.grey_before += 1
            return
        self.run = 0
        if kind in "PI":
            self.pictures += 1
            if kind != picture:
                self.wrong_kind += 1
            if number is not None:
                if self.last_number is not None and number < self.last_number:
                    self.backwards += 1
                self.last_number = number
        elif kind == "T":
            self.torn += 1
        else:
            self.other += 1


class Times:
    """The pts and offsets of the buffers in the consumer's log, read as it grows."""

    def __init__(self, path: str):
        self._path = path
        self._offset = 0
        self._partial = ""
        self.buffers = self.missing_seq = self.gaps_over = 0
        self.max_gap_ns = 0
        self.first = self.last = None  # (pts ns, seq)
        self.unparsed = 0

    def read(self, max_gap_ns: int):
        try:
            with open(self._path, errors="replace") as f:
                f.seek(self._offset)
                text = f.read()
                self._offset = f.tell()
        except FileNotFoundError:
            return
        lines = (self._partial + text).split("\n")
        self._partial = lines.pop()
        for line in lines:
            if "last-message = chain" not in line:
                continue
            match = BUFFER.search(line)
            if not match:
                self.unparsed += 1
                continue
            h, m, s, ns, seq = (int(g) for g in match.groups())
            pts = ((h * 60 + m) * 60 + s) * 1_000_000_000 + ns
            self.buffers += 1
            if self.last is not None:
                gap = pts - self.last[0]
                self.max_gap_ns = max(self.max_gap_ns, gap)
                # To the millisecond: three frame periods of 1/30 s are 100 ms, not over it,
                # whichever way the nanoseconds of the stamps round.
                if round(gap / 1e6) * 1_000_000 > max_gap_ns:
                    self.gaps_over += 1
                if seq - self.last[1] > 1:
                    self.missing_seq += seq - self.last[1] - 1
            else:
                self.first = (pts, seq)
            self.last = (pts, seq)

    def rate(self) -> str:
        if self.buffers < 2 or self.last[0] <= self.first[0]:
            return "-"
        return f"{(self.buffers - 1) * 1e9 / (self.last[0] - self.first[0]):.2f}"


def summary(name: str, frames: Frames, times: Times) -> str:
    return (f"{name}: frames={frames.count} pictures={frames.pictures} grey_among={frames.grey_among} "
            f"grey_before={frames.grey_before} torn={frames.torn} other={frames.other} "
            f"backwards={frames.backwards} longest_grey_run={frames.longest_grey_run} "
            f"buffers={times.buffers} max_gap_ms={times.max_gap_ns / 1e6:.1f} gaps_over={times.gaps_over} "
            f"missing_seq={times.missing_seq} rate={times.rate()}")


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("fifo")
    parser.add_argument("--log", required=True, help="the consumer's gst-launch-1.0 -v output")
    parser.add_argument("--frames", type=int, help="at least this many frames must come")
    parser.add_argument("--picture", choices="PI", default="P", help="the companion's picture: P pattern, I image")
    parser.add_argument("--max-gap-ms", type=float, default=100)
    parser.add_argument("--status-every", type=float, default=0, help="a status line every SECONDS")
    parser.add_argument("--name", default="frames")
    args = parser.parse_args()
    max_gap_ns = int(args.max_gap_ms * 1e6)

    frames, times = Frames(), Times(args.log)
    trailing = 0
    next_status = time.monotonic() + args.status_every
    with open(args.fifo, "rb", buffering=0) as f:
        # A larger pipe: the consumer writes each frame in a few writes, not 56.
        try:
            fcntl.fcntl(f.fileno(), F_SETPIPE_SZ, 1 << 20)
        except OSError:
            pass
        buffer = bytearray(BAND_BYTES)
        view = memoryview(buffer)
        while True:
            filled = 0
            while filled < BAND_BYTES:
                got = f.readinto(view[filled:])
                if not got:
                    break
                filled += got
            if filled < BAND_BYTES:
                trailing = filled
                break
            frames.add(*classify(buffer), args.picture)
            if args.status_every and time.monotonic() >= next_status:
                next_status += args.status_every
                times.read(max_gap_ns)
                print(summary(args.name, frames, times), flush=True)
    # The consumer logs each buffer before writing it; its last lines may still be on their way.
    deadline = time.monotonic() + 5
    times.read(max_gap_ns)
    while times.buffers + times.unparsed < frames.count and time.monotonic() < deadline:
        time.sleep(0.1)
        times.read(max_gap_ns)
    print(summary(args.name, frames, times), flush=True)

    problems = []
    if frames.grey_among:
        problems.append(f"{frames.grey_among} grey frames among the companion's pictures "
                        f"(the first at frame {frames.first_grey_among}, {frames.longest_grey_run} in a row at most)")
    if frames.torn or frames.other or frames.backwards:
        problems.append("torn, unknown or out-of-order frames")
    if frames.wrong_kind:
        problems.append(f"{frames.wrong_kind} pictures are not the companion's kind ({args.picture})")
    if not frames.pictures:
        problems.append("no picture from the companion")
    if times.gaps_over:
        problems.append(f"{times.gaps_over} gaps over {args.max_gap_ms:g} ms in the camera's frame times "
                        f"(longest {times.max_gap_ns / 1e6:.1f} ms)")
    if args.frames is not None and frames.count < args.frames:
        problems.append(f"expected {args.frames} frames")
    if trailing:
        problems.append(f"{trailing} bytes after the last whole frame")
    if times.unparsed or times.buffers != frames.count:
        problems.append(f"the log shows {times.buffers} buffers with times ({times.unparsed} without) "
                        f"for {frames.count} frames")
    for problem in problems:
        print("    " + problem)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
