#!/usr/bin/env python3
"""Publishes the known picture to Kolv Camera the way a companion application does.

    publish_surface.py [--fps F] [--group G] [--format CODE]

Creates a sealed memfd surface holding known_picture.picture() ('BGRA', the default),
known_picture.nv12_picture() ('NV12') or, for any other four-letter code, 1280x720 bytes of
0x80 in one plane, registers it in
$XDG_RUNTIME_DIR/kolv-surfaces, writes its ID to "kolvcamera_surface_id" in the app group's
container, then a growing timestamp to "kolvcamera_frame_meta" F times a second (each file
replaced in one rename). Prints "published <id>" once the surface is handed over and a line per
second with the count of timestamps. SIGTERM or SIGINT: removes the surface's link and exits 0.
"""
import argparse
import fcntl
import mmap
import os
import secrets
import signal
import struct
import sys
import time

import known_picture

PIXEL_OFFSET = 4096


def runtime_dir() -> str:
    runtime = os.environ.get("XDG_RUNTIME_DIR", "")
    return runtime if runtime.startswith("/") else f"/run/user/{os.geteuid()}"


class StopSignals:
    """Set once SIGTERM or SIGINT arrives: `while not signals.stop: ...`."""

    def __init__(self) -> None:
        self.stop = False
        signal.signal(signal.SIGTERM, self._request)
        signal.signal(signal.SIGINT, self._request)

    def _request(self, _signum, _frame) -> None:
        self.stop = True


def replace_file(folder: str, name: str, contents: bytes) -> None:
    temporary = os.path.join(folder, f".{name}.{os.getpid()}.tmp")
    with open(temporary, "wb") as f:
        f.write(contents)
    os.rename(temporary, os.path.join(folder, name))


class Surface:
    """A published surface; its link is removed by close()."""

    def __init__(self, code: str) -> None:
        if code == "BGRA":
            pixels, bytes_per_row = known_picture.picture(), known_picture.WIDTH * 4
        elif code == "NV12":
            pixels, bytes_per_row = known_picture.nv12_picture(), known_picture.WIDTH
        else:
            pixels, bytes_per_row = b"\x80" * (known_picture.WIDTH * known_picture.HEIGHT), known_picture.WIDTH
        pixel_format = int.from_bytes(code.encode("ascii"), "big")
        size = PIXEL_OFFSET + len(pixels)
        self.fd = os.memfd_create("kolv-surface", os.MFD_CLOEXEC | os.MFD_ALLOW_SEALING)
        os.ftruncate(self.fd, size)
        fcntl.fcntl(self.fd, fcntl.F_ADD_SEALS, fcntl.F_SEAL_SHRINK | fcntl.F_SEAL_GROW | fcntl.F_SEAL_SEAL)
        self.memory = mmap.mmap(self.fd, size)
        self.memory[PIXEL_OFFSET:size] = pixels
        registry = os.path.join(runtime_dir(), "kolv-surfaces")
        os.makedirs(registry, mode=0o700, exist_ok=True)
        while True:
            self.id = secrets.randbits(32)
            if self.id == 0:
                continue
            self.memory[0:64] = struct.pack("<8sIIIIIIQ24x", b"KOLVSURF", 1, self.id, known_picture.WIDTH,
                                            known_picture.HEIGHT, pixel_format, bytes_per_row, PIXEL_OFFSET)
            self.link = os.path.join(registry, str(self.id))
            try:
                os.symlink(f"/proc/{os.getpid()}/fd/{self.fd}", self.link)
                return
            except FileExistsError:
                pass

    def close(self) -> None:
        os.unlink(self.link)
        self.memory.close()
        os.close(self.fd)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--fps", type=float, default=10.0, help="timestamps a second (default 10)")
    parser.add_argument("--group", default="group.kolv.vcamera", help="app group identifier")
    parser.add_argument("--format", default="BGRA", help="pixel format code, four letters (default BGRA)")
    args = parser.parse_args()
    if len(args.format) != 4 or not args.format.isascii():
        parser.error("--format takes four ASCII letters, such as NV12")

    signals = StopSignals()

    container = os.path.join(runtime_dir(), "app-groups", args.group)
    os.makedirs(container, mode=0o700, exist_ok=True)
    surface = Surface(args.format)
    replace_file(container, "kolvcamera_surface_id", struct.pack("<I", surface.id))
    print(f"published {surface.id}", flush=True)

    # Sleeps one interval after each timestamp rather than keeping a grid, so that a late wake-up
    # never sends two timestamps within one camera tick.
    interval = 1.0 / args.fps
    published = 0
    last_report = time.monotonic()
    while not signals.stop:
        replace_file(container, "kolvcamera_frame_meta", struct.pack("<d", time.monotonic()))
        published += 1
        now = time.monotonic()
        if now - last_report >= 1.0:
            print(f"{published} timestamps", flush=True)
            last_report = now
        time.sleep(interval)
    surface.close()
    print(f"stopped after {published} timestamps", flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
