#!/usr/bin/env python3
"""Writes the PNG that the --image end-to-end test publishes, with nothing but the standard library.

    make_png.py OUT

320x180 pixels, RGBA, in four quadrants: red, green and blue, opaque, and white at half
opacity (bottom right), which shows as grey 128 over black. Scaled to fit 1280x720, each
quadrant fills 640x360 pixels.
"""
import struct
import sys
import zlib

WIDTH, HEIGHT = 320, 180
QUADRANTS = (((255, 0, 0, 255), (0, 255, 0, 255)), ((0, 0, 255, 255), (255, 255, 255, 128)))


def chunk(kind: bytes, data: bytes) -> bytes:
    return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))


def main() -> int:
    rows = []
    for y in range(HEIGHT):
        top, bottom = QUADRANTS[0], QUADRANTS[1]
        left, right = (top if y < HEIGHT // 2 else bottom)
        rows.append(b"\x00" + bytes(left) * (WIDTH // 2) + bytes(right) * (WIDTH // 2))
    header = struct.pack(">IIBBBBB", WIDTH, HEIGHT, 8, 6, 0, 0, 0)  # 8 bits, RGBA
    png = b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + chunk(b"IDAT", zlib.compress(b"".join(rows))) + \
        chunk(b"IEND", b"")
    with open(sys.argv[1], "wb") as out:
        out.write(png)
    return 0


if __name__ == "__main__":
    sys.exit(main())
