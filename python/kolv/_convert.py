"""Pixel formats a Camera takes, and their conversion with numpy into a 'BGRA' surface."""

import ctypes
import enum

import numpy as np


class PixelFormat(enum.Enum):
    """The channel order of the arrays given to Camera.send(), last axis first to last."""

    RGB = "RGB"
    BGR = "BGR"
    RGBA = "RGBA"
    BGRA = "BGRA"

    @property
    def channels(self):
        return len(self.value)


def check_frame(frame, width, height, fmt):
    """Raises TypeError or ValueError, in one line naming the array's shape and dtype, unless
    `frame` is a height x width x channels uint8 array of `fmt`."""
    if not isinstance(frame, np.ndarray):
        raise TypeError("send() takes a numpy array of %dx%dx%d uint8 %s pixels, not %s" %
                        (height, width, fmt.channels, fmt.value, type(frame).__name__))
    expected = (height, width, fmt.channels)
    if frame.dtype != np.uint8:
        raise TypeError("frame of shape %s and dtype %s: send() takes dtype uint8 (%s values 0 to 255)" %
                        (tuple(frame.shape), frame.dtype, fmt.value))
    if frame.shape != expected:
        raise ValueError("frame of shape %s and dtype %s does not fit this camera: it takes %s "
                         "(height, width, channels) for %dx%d %s" %
                         (tuple(frame.shape), frame.dtype, expected, width, height, fmt.value))


def to_bgra(destination, frame, fmt):
    """Writes `frame` (an array check_frame accepted, contiguous or not) into `destination`, a
    height x width x 4 view of 'BGRA' pixels (bytes blue, green, red, alpha) with each pixel's 4
    bytes together; alpha 255 for formats without one.

    numpy copies a height x width x channels array channel by channel of each pixel, a loop of 3
    or 4, which is several times slower than copying whole planes (a loop over each row), so the
    copies go plane by plane, or pixel by pixel as 32-bit words where both sides allow."""
    words = destination.view(np.uint32)[..., 0]
    if fmt is PixelFormat.BGRA and frame.strides[-1] == 1:
        words[...] = frame.view(np.uint32)[..., 0]
        return
    blue, green, red, alpha = _ORDER[fmt]
    if alpha is None:
        words[...] = _OPAQUE
    else:
        destination[..., 3] = frame[..., alpha]
    destination[..., 0] = frame[..., blue]
    destination[..., 1] = frame[..., green]
    destination[..., 2] = frame[..., red]


# The index of blue, green, red and alpha in each format's pixels (None: no alpha).
_ORDER = {
    PixelFormat.RGB: (2, 1, 0, None),
    PixelFormat.BGR: (0, 1, 2, None),
    PixelFormat.RGBA: (2, 1, 0, 3),
    PixelFormat.BGRA: (0, 1, 2, 3),
}
# Alpha 255 and black, as one little-endian 'BGRA' word.
_OPAQUE = np.uint32(0xFF000000)


def surface_view(address, width, height, bytes_per_row):
    """A height x width x 4 uint8 array over the pixels at `address`, rows bytes_per_row apart.
    Valid only while the surface is lent (between begin_frame and publish)."""
    size = (height - 1) * bytes_per_row + width * 4
    memory = (ctypes.c_uint8 * size).from_address(address)
    flat = np.frombuffer(memory, dtype=np.uint8)
    return np.lib.stride_tricks.as_strided(flat, shape=(height, width, 4), strides=(bytes_per_row, 4, 1),
                                           writeable=True)
