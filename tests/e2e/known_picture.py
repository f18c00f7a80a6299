"""The picture the end-to-end tests publish through a surface, and what a camera frame is.

A 1280x720 BGRA gradient that no grey frame can be mistaken for: blue counts columns, green
counts rows, red carries the high bits of both, alpha is opaque.
"""

WIDTH, HEIGHT = 1280, 720
FRAME_BYTES = WIDTH * HEIGHT * 4
GREY = b"\x40" * FRAME_BYTES


def picture() -> bytes:
    pixels = bytearray(FRAME_BYTES)
    pixels[0::4] = bytes(x & 0xFF for x in range(WIDTH)) * HEIGHT
    pixels[1::4] = b"".join(bytes((y & 0xFF,)) * WIDTH for y in range(HEIGHT))
    pixels[2::4] = b"".join(bytes(0x80 | (x >> 8) | ((y >> 8) << 4) for x in range(WIDTH)) for y in range(HEIGHT))
    pixels[3::4] = b"\xff" * (WIDTH * HEIGHT)
    return bytes(pixels)
