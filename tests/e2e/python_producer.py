#!/usr/bin/python3
"""A producer on the kolv module, as a Python user writes one: solid colours through kolv.Camera.

    python_producer.py --colours 0,0,255/0,255,0 --frames-each 45 [--size 1280x720] [--fmt RGB]
                       [--linger 5]

Sends each colour (given as blue,green,red) for --frames-each pictures at 30 a second, then
leaves the with block, prints "closed" and stays --linger seconds before exiting: the camera
must show grey from then on although the process still runs. Every second picture is a
non-contiguous view of a wider array. Prints "watched" and "unwatched" each time
kolv.Camera.watched turns true or false."""

import argparse
import signal
import sys
import time

import numpy as np

import kolv

ORDER = {"RGB": (2, 1, 0), "BGR": (0, 1, 2), "RGBA": (2, 1, 0, 3), "BGRA": (0, 1, 2, 3)}


def picture(bgr, width, height, fmt, wide):
    """A height x width array of one colour in fmt; a view into a wider array when `wide`."""
    channels = [bgr[i] if i < 3 else 255 for i in ORDER[fmt]]
    if not wide:
        return np.tile(np.array(channels, dtype=np.uint8), (height, width, 1))
    wider = np.zeros((height, width * 2, len(channels)), dtype=np.uint8)
    wider[:, ::2] = channels
    return wider[:, ::2]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--colours", required=True)
    parser.add_argument("--frames-each", type=int, required=True)
    parser.add_argument("--size", default="1280x720")
    parser.add_argument("--fmt", default="RGB")
    parser.add_argument("--linger", type=float, default=5)
    args = parser.parse_args()
    colours = [tuple(int(v) for v in c.split(",")) for c in args.colours.split("/")]
    width, height = (int(v) for v in args.size.split("x"))
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))

    watched = False
    with kolv.Camera(width, height, 30, fmt=args.fmt) as cam:
        print("open: app group %s, %dx%d %s" % (cam.app_group, width, height, cam.fmt.value), flush=True)
        for bgr in colours:
            frames = [picture(bgr, width, height, args.fmt, wide) for wide in (False, True)]
            for n in range(args.frames_each):
                cam.send(frames[n % 2])
                cam.sleep_until_next_frame()
                if cam.watched != watched:
                    watched = not watched
                    print("watched" if watched else "unwatched", flush=True)
        print("sent %d, dropped %d" % (cam.frames_sent, cam.frames_dropped), flush=True)
    print("closed", flush=True)
    time.sleep(args.linger)


if __name__ == "__main__":
    main()
