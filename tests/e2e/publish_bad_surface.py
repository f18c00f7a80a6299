#!/usr/bin/env python3
"""Publishes a surface whose header lies, the way a faulty companion would.

    publish_bad_surface.py --lie id|height [--rotate] [--group G]

--lie id: the header names another surface than its registry entry. --lie height: the header
claims 720 rows of 5120 bytes, the file holds 8. Writes the surface ID file and a current
timestamp (seconds since the epoch) ten times a second, prints "published <id>", and on SIGTERM
removes its link and exits 0. --rotate: names a new lying surface (a new ID) every 0.1 s, as a
companion drawing into surfaces in turn does.
"""
import argparse
import fcntl
import os
import secrets
import struct
import sys
import time

from publish_surface import StopSignals, replace_file

BGRA = 0x42475241
PIXEL_OFFSET = 4096


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--lie", choices=["id", "height"], required=True)
    parser.add_argument("--group", default="group.kolv.vcamera")
    parser.add_argument("--rotate", action="store_true", help="a new lying surface every 0.1 s")
    args = parser.parse_args()
    signals = StopSignals()

    runtime = os.environ["XDG_RUNTIME_DIR"]
    registry = os.path.join(runtime, "kolv-surfaces")
    container = os.path.join(runtime, "app-groups", args.group)
    os.makedirs(registry, mode=0o700, exist_ok=True)
    os.makedirs(container, mode=0o700, exist_ok=True)

    def publish():
        surface_id = secrets.randbits(31) + 1
        header_id = surface_id + 1 if args.lie == "id" else surface_id
        size = PIXEL_OFFSET + 8 * 5120  # 8 rows of a 1280-pixel picture
        fd = os.memfd_create("kolv-surface", os.MFD_CLOEXEC | os.MFD_ALLOW_SEALING)
        os.ftruncate(fd, size)
        os.pwrite(fd, struct.pack("<8sIIIIIIQ24x", b"KOLVSURF", 1, header_id, 1280,
                                  720 if args.lie == "height" else 8, BGRA, 5120, PIXEL_OFFSET), 0)
        fcntl.fcntl(fd, fcntl.F_ADD_SEALS, fcntl.F_SEAL_SHRINK | fcntl.F_SEAL_GROW | fcntl.F_SEAL_SEAL)
        link = os.path.join(registry, str(surface_id))
        os.symlink(f"/proc/{os.getpid()}/fd/{fd}", link)
        replace_file(container, "kolvcamera_surface_id", struct.pack("<I", surface_id))
        print(f"published {surface_id}", flush=True)
        return fd, link

    def withdraw(surface):
        os.unlink(surface[1])
        os.close(surface[0])

    surface = publish()
    while not signals.stop:
        replace_file(container, "kolvcamera_frame_meta", struct.pack("<d", time.time()))
        time.sleep(0.1)
        if args.rotate:
            withdraw(surface)
            surface = publish()
    withdraw(surface)
    return 0


if __name__ == "__main__":
    sys.exit(main())
