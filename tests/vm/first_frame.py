#!/usr/bin/env python3
"""How long a V4L2 reader waits for frames: first_frame.py DEVICE FRAME_BYTES [RUNS]
Opens DEVICE RUNS times (3), each time reading three frames with read(), and prints the
milliseconds from the open to the first and to the third frame. The first may be the last
frame written before the open; the third was written after it. Exits 1 when a read fails."""
import os
import sys
import time


def main() -> int:
    device, size = sys.argv[1], int(sys.argv[2])
    runs = int(sys.argv[3]) if len(sys.argv) > 3 else 3
    for _ in range(runs):
        start = time.monotonic()
        fd = os.open(device, os.O_RDONLY)
        times = []
        try:
            for _ in range(3):
                if len(os.read(fd, size)) != size:
                    print("a short read")
                    return 1
                times.append((time.monotonic() - start) * 1000)
        finally:
            os.close(fd)
        print(f"open to first frame {times[0]:.0f} ms, to third {times[2]:.0f} ms")
        time.sleep(1)  # the camera stops streaming once the reader is gone
    return 0


if __name__ == "__main__":
    sys.exit(main())
