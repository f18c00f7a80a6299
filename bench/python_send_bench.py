#!/usr/bin/python3
"""What kolv.Camera costs a Python producer: send() of one 1280x720 picture by format and array
layout, and how close sleep_until_next_frame() returns to its deadlines at 30 a second.

    PYTHONPATH=python KOLV_COMPANION_LIB=build/default/src/companion/libkolv_companion.so \\
        /usr/bin/python3 bench/python_send_bench.py [--frames 300]

Runs in a runtime folder of its own (no camera needed: the cost is the producer's). Prints the
median and 99th percentile of each, in milliseconds; for send() the thread's CPU time as well
as the wall time, which on a busy machine is mostly the wait for a core."""

import argparse
import os
import shutil
import tempfile
import time

import numpy as np

import kolv


def percentiles(samples):
    ordered = sorted(samples)
    return ordered[len(ordered) // 2] * 1e3, ordered[min(len(ordered) - 1, int(len(ordered) * 0.99))] * 1e3


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--frames", type=int, default=300)
    args = parser.parse_args()
    runtime = tempfile.mkdtemp(prefix="kolv-bench-")
    os.environ["XDG_RUNTIME_DIR"] = runtime
    try:
        rng = np.random.default_rng(1)
        print("send() of one 1280x720 picture over %d pictures, ms: CPU (median, p99), wall (median, p99)" %
              args.frames)
        for fmt in kolv.PixelFormat:
            base = rng.integers(0, 256, (720, 1280, fmt.channels), dtype=np.uint8)
            layouts = {"C-contiguous": base, "mirrored (a view)": base[:, ::-1],
                       "Fortran order": np.asfortranarray(base)}
            with kolv.Camera(1280, 720, 30, fmt=fmt, app_group="group.kolv.bench") as cam:
                for name, frame in layouts.items():
                    wall, cpu = [], []
                    for _ in range(args.frames):
                        start, start_cpu = time.perf_counter(), time.thread_time()
                        sent = cam.send(frame)
                        wall.append(time.perf_counter() - start)
                        cpu.append(time.thread_time() - start_cpu)
                        if not sent:
                            time.sleep(0.005)  # no surface rested yet: let one
                    print("  %-4s %-18s %6.2f %6.2f   %6.2f %6.2f" % ((fmt.value, name) + percentiles(cpu) +
                                                                 percentiles(wall)))

        print("sleep_until_next_frame() at 30/s, lateness after each deadline, ms (median, p99)")
        frame = np.zeros((720, 1280, 3), np.uint8)
        with kolv.Camera(1280, 720, 30, app_group="group.kolv.bench") as cam:
            late = []
            cam.send(frame)
            cam.sleep_until_next_frame()
            deadline = time.monotonic()
            for _ in range(args.frames):
                cam.send(frame)
                cam.sleep_until_next_frame()
                deadline += 1 / 30
                late.append(time.monotonic() - deadline)
            print("  %6.2f %6.2f (%d pictures, %d dropped)" % (percentiles(late) + (cam.frames_sent,
                                                                                 cam.frames_dropped)))
    finally:
        shutil.rmtree(runtime, True)


if __name__ == "__main__":
    main()
