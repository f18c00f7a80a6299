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


# The 'NV12' picture: Y, U and V all vary across and down, so that a sample taken from the
# wrong plane, row or column shows. Each 2 x 2 block's U and V are those of its top-left pixel.
def nv12_sample(x: int, y: int) -> tuple:
    return 16 + (x * 23 + y * 41) % 220, 16 + (x * 53 + y * 17) % 225, 240 - (x * 29 + y * 61) % 225


def nv12_picture() -> bytes:
    """Rows of WIDTH bytes: HEIGHT rows of Y, then HEIGHT / 2 rows of U, V pairs."""
    luma = b"".join(bytes(nv12_sample(x, y)[0] for x in range(WIDTH)) for y in range(HEIGHT))
    chroma = bytearray()
    for y in range(0, HEIGHT, 2):
        for x in range(0, WIDTH, 2):
            _, u, v = nv12_sample(x, y)
            chroma += bytes((u, v))
    return luma + bytes(chroma)


def nv12_expected(x: int, y: int) -> tuple:
    """The B, G, R, A the camera sends for pixel (x, y) of nv12_picture(): BT.601 limited range."""
    luma = nv12_sample(x, y)[0]
    _, u, v = nv12_sample(x // 2 * 2, y // 2 * 2)
    scaled = 1.164 * (luma - 16)

    def clamp(value: float) -> int:
        return max(0, min(255, round(value)))

    return (clamp(scaled + 2.018 * (u - 128)), clamp(scaled - 0.391 * (u - 128) - 0.813 * (v - 128)),
            clamp(scaled + 1.596 * (v - 128)), 255)


def read_frames(path: str):
    """Yields each whole frame of a raw capture, then the count of bytes after the last one."""
    with open(path, "rb") as f:
        while True:
            frame = f.read(FRAME_BYTES)
            if len(frame) < FRAME_BYTES:
                yield len(frame)
                return
            yield frame


def classify_frames(path: str, classify) -> tuple:
    """Sorts each whole frame of a raw capture: "G" for grey, else classify(frame), which gives
    a kind letter and, for "?", the problem. Returns the letters, the first three problems and
    the count of bytes after the last whole frame."""
    kinds, problems = [], []
    for frame in read_frames(path):
        if isinstance(frame, int):
            return kinds, problems, frame
        kind, problem = ("G", None) if frame == GREY else classify(frame)
        kinds.append(kind)
        if kind == "?" and len(problems) < 3:
            problems.append(f"frame {len(kinds) - 1}: {problem()}")
    return kinds, problems, 0


def summarize(kinds: list, names: dict, problems: list, trailing: int, expected_frames: int) -> bool:
    """Prints one line of counts (each kind letter under its name, "?" as other) and the first
    problems; false when bytes trail the last frame, the count is not expected_frames, or a
    frame is of no known kind."""
    counts = " ".join(f"{name}={kinds.count(letter)}" for letter, name in names.items())
    print(f"  frames={len(kinds)} {counts} other={kinds.count('?')} order={''.join(kinds)}")
    for problem in problems:
        print("    " + problem)
    ok = True
    if trailing:
        print(f"    {trailing} bytes after the last whole frame")
        ok = False
    if len(kinds) != expected_frames:
        print(f"    expected {expected_frames} frames")
        ok = False
    return ok and "?" not in kinds

