#!/usr/bin/env python3
"""Checks that frames from the camera show whole colours in a given order, then grey.

    check_sequence.py FILE --frames N --rows R --colours B,G,R/B,G,R/... --each MIN,MAX --grey-after M

FILE (a FIFO will do) holds N bands of R rows of 1280 BGRA pixels, a band through the middle of
each frame (the consumer crops each frame, so that it keeps up on a loaded machine); FILE.log
is the consumer's gst-launch-1.0 -v output with a line per buffer (tests/e2e/lib.sh
consumer_command), whose offset is the camera's frame number.

Every band must be grey (every byte 0x40) or one colour of the list (alpha 255) across it. The
frames must run: grey (any number, none is fine), then each colour in turn with no grey or other
frame between, then grey to the end for at least M of the camera's frames. Each colour but the
first and the last must last MIN to MAX of the camera's frames (counted by frame number, so a
frame the consumer missed does not shorten it). Prints the runs; exits 1 on any mismatch."""

import argparse
import re
import sys

WIDTH = 1280
BUFFER = re.compile(r"chain .*?\boffset: (\d+),")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("file")
    parser.add_argument("--frames", type=int, required=True)
    parser.add_argument("--rows", type=int, required=True)
    parser.add_argument("--colours", required=True)
    parser.add_argument("--each", required=True)
    parser.add_argument("--grey-after", type=int, required=True)
    args = parser.parse_args()
    colours = [tuple(int(v) for v in c.split(",")) for c in args.colours.split("/")]
    band_bytes = WIDTH * args.rows * 4
    grey = b"\x40" * band_bytes
    solid = {bytes(c + (255,)) * (WIDTH * args.rows): i for i, c in enumerate(colours)}
    least, most = (int(v) for v in args.each.split(","))

    labels = []  # per frame: 'grey', a colour's index, or 'other'
    others = []
    trailing = 0
    with open(args.file, "rb") as f:
        while True:
            band = f.read(band_bytes)
            if len(band) < band_bytes:
                trailing = len(band)
                break
            label = "grey" if band == grey else solid.get(band, "other")
            if label == "other" and len(others) < 3:
                others.append("frame %d is neither grey nor one colour: first pixels %s" %
                              (len(labels), tuple(band[:8])))
            labels.append(label)
    with open(args.file + ".log", errors="replace") as log:
        numbers = [int(m.group(1)) for m in map(BUFFER.search, log) if m]

    problems = list(others)
    if trailing or len(labels) != args.frames:
        problems.append("expected %d whole frames, got %d and %d bytes" % (args.frames, len(labels), trailing))
    if len(numbers) != len(labels):
        problems.append("the consumer logged %d buffers for %d frames" % (len(numbers), len(labels)))
        numbers = list(range(len(labels)))
    # Runs of equal labels: [label, frames received, first frame number, last frame number].
    runs = []
    for label, number in zip(labels, numbers):
        if runs and runs[-1][0] == label:
            runs[-1][1] += 1
            runs[-1][3] = number
        else:
            runs.append([label, 1, number, number])
    names = {"grey": "grey", "other": "other"}
    missing = (numbers[-1] - numbers[0] + 1 - len(numbers)) if numbers else 0
    print("  frames=%d missed_by_consumer=%d runs (frames received, camera frame numbers): %s" % (
        len(labels), missing, " ".join("%s x%d [%d-%d]" % (names.get(l, "colour%s" % l), n, a, b)
                                       for l, n, a, b in runs)))
    order = [run[0] for run in runs]
    if order and order[0] == "grey":
        order = order[1:]
    if order != list(range(len(colours))) + ["grey"]:
        problems.append("expected the colours in order with nothing between, then grey")
    else:
        # Colour runs but the first and the last, in the camera's frames up to the next run.
        tail = runs[-len(colours) - 1:]
        for run, following in zip(tail[1:-2], tail[2:-1]):
            ticks = following[2] - run[2]
            if not least <= ticks <= most:
                problems.append("colour%d lasted %d frames, expected %d to %d" % (run[0], ticks, least, most))
        grey_ticks = runs[-1][3] - runs[-1][2] + 1
        if grey_ticks < args.grey_after:
            problems.append("only %d grey frames at the end, expected at least %d" % (grey_ticks, args.grey_after))
    for problem in problems:
        print("    " + problem)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
