"""kolv.Camera: publishes numpy pictures to Kolv Camera through the companion library."""

import ctypes
import math
import os
import weakref

from . import _library
from . import errors
from ._convert import PixelFormat, check_frame, surface_view, to_bgra
from ._pacing import Cadence, Pacer

# The camera's own stream; a picture of another size is centred, cropped or surrounded by grey.
CAMERA_WIDTH = 1280
CAMERA_HEIGHT = 720
MAX_DIMENSION = 16384


def _text(value):
    return value.decode(errors="replace") if value else ""


class Camera:
    """A producer for Kolv Camera, used from one thread at a time (the library's own thread keeps
    the last picture live meanwhile).

        with kolv.Camera(1280, 720, 30) as cam:
            while True:
                cam.send(frame)              # height x width x 3 uint8, RGB
                cam.sleep_until_next_frame()

    The pictures are width x height: the camera shows 1280x720, and centres a picture of another
    size, cropped where larger and surrounded by grey where smaller. hold_time (seconds) is how
    long the last picture stays on the camera without a new one; then it shows grey, so a
    producer that hangs does not leave a frozen picture. 0 holds it until the next picture or
    close(). app_group and info_plist choose the app group as the companion library does
    (default: the camera's)."""

    def __init__(self, width=CAMERA_WIDTH, height=CAMERA_HEIGHT, fps=30, fmt=PixelFormat.RGB, *, app_group=None,
                 info_plist=None, hold_time=1.0):
        for name, value in (("width", width), ("height", height)):
            if isinstance(value, bool) or not isinstance(value, int) or not 1 <= value <= MAX_DIMENSION:
                raise ValueError("%s %r: a whole number of pixels from 1 to %d" % (name, value, MAX_DIMENSION))
        if isinstance(fps, bool) or not isinstance(fps, (int, float)) or not (math.isfinite(fps) and fps > 0):
            raise ValueError("fps %r: a number of pictures a second above 0" % (fps,))
        try:
            fmt = PixelFormat(fmt.value if isinstance(fmt, PixelFormat) else fmt)
        except ValueError:
            raise ValueError("fmt %r: one of %s" % (fmt, ", ".join(f.value for f in PixelFormat))) from None
        self._lib = _library.load()
        self._handle = None
        self.width, self.height, self.fps, self.fmt = width, height, fps, fmt
        self.frames_sent = 0
        self.frames_dropped = 0

        status = ctypes.c_int()
        handle = self._lib.kolv_companion_open(
            app_group.encode() if app_group is not None else None,
            os.fsencode(info_plist) if info_plist is not None else None, width, height, ctypes.byref(status))
        if not handle:
            where = " in app group '%s'" % app_group if app_group is not None else ""
            raise errors.from_status(status.value, "cannot publish to Kolv Camera%s: %s" %
                                     (where, _text(self._lib.kolv_companion_status_string(status.value))))
        self._handle = handle
        # Closes the publisher even when the Camera is dropped without close() or a with block.
        self._finalizer = weakref.finalize(self, self._lib.kolv_companion_close, handle)
        self._check_or_close(self._lib.kolv_companion_set_hold_time(handle, float(hold_time)),
                             "cannot set the hold time")
        # A library that gives cues paces the producer itself, at the producer's frame rate.
        # The callbacks hold the library and the handle, not the Camera, so that dropping the
        # Camera frees it at once; sleep_until_next_frame() calls them only while it is open.
        lib, cue = self._lib, None
        if _library.gives_cues(lib):
            self._check_or_close(lib.kolv_companion_set_frame_rate(handle, float(fps)), "cannot set the frame rate")

            def cue(draw_seconds, timeout_seconds):
                return lib.kolv_companion_wait_for_cue(handle, draw_seconds, timeout_seconds)

        self._cadence = Cadence(Pacer(fps), cue=cue,
                                on_error=lambda status: _raise(lib, handle, status, "cannot wait for the camera's cue"))

    def __enter__(self):
        return self

    def __exit__(self, *exc_info):
        self.close()

    def close(self):
        """Releases the surfaces; the camera shows grey from its next frame on. Safe to repeat."""
        if self._handle is not None:
            self._handle = None
            self._finalizer()

    @property
    def closed(self):
        return self._handle is None

    @property
    def backend(self):
        return "kolv"

    @property
    def app_group(self):
        """The app group this camera publishes to."""
        return _text(self._lib.kolv_companion_app_group(self._open_handle()))

    @property
    def device(self):
        """The app group, under the name other virtual-camera modules use for where they publish."""
        return self.app_group

    @property
    def watched(self):
        """True while the camera streams the pictures (it read them within the last 200 ms). False
        before the first picture. A producer may stop drawing while it is False: the camera keeps
        the last picture for hold_time."""
        return bool(self._lib.kolv_companion_watched(self._open_handle()))

    def send(self, frame):
        """Publishes `frame`: a height x width x channels uint8 numpy array in this camera's fmt,
        contiguous or not. Returns True, or False when no surface was free yet (the picture is
        dropped and counted in frames_dropped; at the camera's pace that happens only when
        pictures come faster than it reads them). TypeError or ValueError for an array that does
        not fit, kolv.Error for a failure of the library."""
        handle = self._open_handle()
        check_frame(frame, self.width, self.height, self.fmt)
        target = _library.Frame()
        status = self._lib.kolv_companion_begin_frame(handle, ctypes.byref(target))
        if status == errors.BUSY:
            self.frames_dropped += 1
            return False
        self._check(status, "no surface to draw into")
        to_bgra(surface_view(target.pixels, target.width, target.height, target.bytes_per_row), frame, self.fmt)
        self._check(self._lib.kolv_companion_publish(handle), "cannot publish the picture")
        self.frames_sent += 1
        self._cadence.picture_done()
        return True

    def sleep_until_next_frame(self):
        """Waits until it is time to draw and send the next picture: at fps by deadlines that do
        not drift, or, with a companion library that gives cues, just early enough for the picture
        to be ready before the camera's next read (at fps: below 30 it skips reads)."""
        self._open_handle()
        self._cadence.wait()

    def _open_handle(self):
        if self._handle is None:
            raise errors.Error("this kolv.Camera is closed")
        return self._handle

    def _check_or_close(self, status, what):
        try:
            self._check(status, what)
        except BaseException:
            self.close()
            raise

    def _check(self, status, what):
        if status < 0:
            _raise(self._lib, self._handle, status, what)


def _raise(lib, handle, status, what):
    """Raises the kolv.Error of a negative result of the library, with its reason."""
    detail = _text(lib.kolv_companion_last_error(handle)) or _text(lib.kolv_companion_status_string(status))
    raise errors.from_status(status, "%s: %s" % (what, detail))
