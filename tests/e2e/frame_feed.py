#!/usr/bin/env python3
"""Sorts a live feed of raw 1280x720 BGRA frames from the camera, one command a line.

    frame_feed.py FILE

Reads FILE (a FIFO a consumer writes into) all the time, so the consumer is never held up, and
answers commands on standard input with one line of tab-separated key=value fields, like
tests/e2e/browsers/drive.mjs:

    record MS    frames= rate= G= grey_among= P= T= I= other= repeats= backwards= numbers= order=
                 (the frames that arrive in the next MS milliseconds: G grey, every byte 0x40;
                 P kolv-publish's pattern; T torn; I the quadrants of make_png.py; ? other)
    after T      before= after= latency_ms= grey_after=
                 (on the last recording: how long after T, wall-clock ms, frames turned grey
                 for good)
    quit

Frame times are taken when a frame has been read whole. Ends at the end of FILE too (further
commands get error=...).
"""
import os
import queue
import sys
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools"))
import pattern_frames  # noqa: E402  (tools/pattern_frames.py: the pattern's stamps and bars)

WIDTH, HEIGHT = pattern_frames.WIDTH, pattern_frames.HEIGHT
FRAME_BYTES = pattern_frames.FRAME_BYTES
# make_png.py's quadrants scaled to 1280x720 (B, G, R): red, green, blue, white at half
# opacity over black.
QUADRANTS = ((0, 0, (0, 0, 255)), (640, 0, (0, 255, 0)), (0, 360, (255, 0, 0)), (640, 360, (128, 128, 128)))
TOLERANCE = 2


def is_image(frame: bytes) -> bool:
    for left, top, colour in QUADRANTS:
        for y in range(top + 40, top + 360, 80):
            for x in range(left + 80, left + 640, 160):
                offset = (y * WIDTH + x) * 4
                if any(abs(a - e) > TOLERANCE for a, e in zip(frame[offset:offset + 3], colour)):
                    return False
    return True


def classify(frame: bytes):
    """(kind, frame number or -1)."""
    kind, stamp = pattern_frames.classify(frame)
    if kind == "P":
        return "P", stamp[0]
    if kind == "?" and is_image(frame):
        return "I", -1
    return kind, -1


class Feed:
    """Reads frames on its own thread; the command loop takes recordings from it."""

    def __init__(self, path: str):
        self._path = path
        self._frames = queue.Queue()
        self.ended = threading.Event()
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        with open(self._path, "rb") as f:
            while True:
                frame = f.read(FRAME_BYTES)
                if len(frame) < FRAME_BYTES:
                    break
                at = time.time() * 1000
                self._frames.put((at, *classify(frame)))
        self.ended.set()

    def record(self, milliseconds: float) -> list:
        # Frames that arrived before the recording starts are not part of it.
        while not self._frames.empty():
            self._frames.get_nowait()
        end = time.monotonic() + milliseconds / 1000
        frames = []
        while (left := end - time.monotonic()) > 0:
            try:
                frames.append(self._frames.get(timeout=left))
            except queue.Empty:
                break
        return frames


def grey_among(kinds: str) -> int:
    first = min((i for i in (kinds.find("P"), kinds.find("I")) if i >= 0), default=len(kinds))
    return kinds[first:].count("G")


def summarise(frames: list, milliseconds: float) -> dict:
    kinds = "".join(f[1] for f in frames)
    numbers = [f[2] for f in frames if f[1] == "P"]
    steps = [b - a for a, b in zip(numbers, numbers[1:])]
    span = (frames[-1][0] - frames[0][0]) / 1000 if len(frames) > 1 else 0
    return {
        "frames": len(frames),
        "seconds": f"{milliseconds / 1000:.2f}",
        "rate": f"{(len(frames) - 1) / span:.2f}" if span else 0,
        "distinct_rate": f"{len(set(numbers)) / (milliseconds / 1000):.2f}",
        "G": kinds.count("G"),
        # Grey after the first picture (pattern or image): grey among the companion's pictures.
        "grey_among": grey_among(kinds),
        "P": kinds.count("P"),
        "T": kinds.count("T"),
        "I": kinds.count("I"),
        "other": kinds.count("?"),
        "repeats": steps.count(0),
        "backwards": sum(1 for s in steps if s < 0),
        "numbers": f"{numbers[0]}..{numbers[-1]}" if numbers else "none",
        "order": kinds if len(kinds) <= 120 else kinds[:120] + "...",
    }


def after_time(frames: list, t: float) -> dict:
    before = "".join(f[1] for f in frames if f[0] < t)
    after = [f for f in frames if f[0] >= t]
    first_grey = len(after)
    while first_grey > 0 and after[first_grey - 1][1] == "G":
        first_grey -= 1
    return {
        "before": before if len(before) <= 60 else "..." + before[-60:],
        "after": "".join(f[1] for f in after)[:60],
        "latency_ms": f"{after[first_grey][0] - t:.0f}" if first_grey < len(after) else "never",
        "grey_after": len(after) - first_grey,
    }


def reply(fields: dict):
    print("\t".join(f"{key}={str(value).replace(chr(9), ' ')}" for key, value in fields.items()), flush=True)


def main() -> int:
    if len(sys.argv) != 2:
        print("usage: frame_feed.py FILE", file=sys.stderr)
        return 2
    feed = Feed(sys.argv[1])
    last = []
    for line in sys.stdin:
        command, _, argument = line.strip().partition(" ")
        try:
            if command == "record":
                if feed.ended.is_set():
                    reply({"error": "the feed has ended"})
                    continue
                last = feed.record(float(argument))
                reply(summarise(last, float(argument)))
            elif command == "after":
                reply(after_time(last, float(argument)))
            elif command == "quit":
                break
            else:
                reply({"error": f'unknown command "{command}"'})
        except ValueError as error:
            reply({"error": str(error)})
    return 0


if __name__ == "__main__":
    sys.exit(main())
