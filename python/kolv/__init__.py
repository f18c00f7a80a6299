"""Publish pictures to Kolv Camera from Python.

    import kolv
    with kolv.Camera(1280, 720, 30, fmt=kolv.PixelFormat.BGR) as cam:
        while True:
            cam.send(frame)              # a 720 x 1280 x 3 uint8 numpy array
            cam.sleep_until_next_frame()

Built on the companion library (libkolv_companion.so.0) through ctypes; KOLV_COMPANION_LIB
names another copy of it (a build tree's)."""

from ._convert import PixelFormat
from .camera import Camera
from .errors import (ContainerUnavailableError, Error, GroupBusyError, InvalidAppGroupError, InvalidArgumentError,
                     InvalidInfoPlistError, LibraryNotFoundError, NoFrameError, NoRuntimeDirectoryError,
                     OutOfMemoryError, SurfaceUnavailableError, WriteFailedError)

__all__ = ["Camera", "PixelFormat", "Error", "LibraryNotFoundError", "GroupBusyError", "InvalidArgumentError",
           "InvalidInfoPlistError", "InvalidAppGroupError", "NoRuntimeDirectoryError", "ContainerUnavailableError",
           "SurfaceUnavailableError", "WriteFailedError", "OutOfMemoryError", "NoFrameError"]
