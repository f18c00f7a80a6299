"""Loads the companion library (libkolv_companion.so.0) with ctypes and declares its C interface."""

import ctypes
import os

# The shared library's soname; its major version is the project's.
SONAME = "libkolv_companion.so.0"
# A path to load instead, for a build tree or a library outside the loader's path.
LIBRARY_VARIABLE = "KOLV_COMPANION_LIB"


class Frame(ctypes.Structure):
    """kolv_companion_frame: where to draw the next picture ('BGRA')."""

    _fields_ = [
        ("pixels", ctypes.c_void_p),
        ("width", ctypes.c_uint32),
        ("height", ctypes.c_uint32),
        ("bytes_per_row", ctypes.c_uint32),
        ("surface_id", ctypes.c_uint32),
    ]


def _declare(lib):
    handle = ctypes.c_void_p
    signatures = {
        "kolv_companion_open": (handle, [ctypes.c_char_p, ctypes.c_char_p, ctypes.c_uint32, ctypes.c_uint32,
                                         ctypes.POINTER(ctypes.c_int)]),
        "kolv_companion_close": (None, [handle]),
        "kolv_companion_begin_frame": (ctypes.c_int, [handle, ctypes.POINTER(Frame)]),
        "kolv_companion_publish": (ctypes.c_int, [handle]),
        "kolv_companion_set_hold_time": (ctypes.c_int, [handle, ctypes.c_double]),
        "kolv_companion_watched": (ctypes.c_int, [handle]),
        "kolv_companion_last_timestamp": (ctypes.c_double, [handle]),
        "kolv_companion_app_group": (ctypes.c_char_p, [handle]),
        "kolv_companion_container": (ctypes.c_char_p, [handle]),
        "kolv_companion_status_string": (ctypes.c_char_p, [ctypes.c_int]),
        "kolv_companion_last_error": (ctypes.c_char_p, [handle]),
    }
    for name, (restype, argtypes) in signatures.items():
        function = getattr(lib, name)
        function.restype = restype
        function.argtypes = argtypes
    # Newer libraries tell a producer when to draw so that its picture is ready just before the
    # camera's next read; older ones lack it and the module paces by the clock alone.
    if gives_cues(lib):
        lib.kolv_companion_wait_for_cue.restype = ctypes.c_int
        lib.kolv_companion_wait_for_cue.argtypes = [handle, ctypes.c_double, ctypes.c_double]
        lib.kolv_companion_set_frame_rate.restype = ctypes.c_int
        lib.kolv_companion_set_frame_rate.argtypes = [handle, ctypes.c_double]
    return lib


def gives_cues(lib):
    """True for a library that tells a producer when to draw (kolv_companion_wait_for_cue, at the
    rate kolv_companion_set_frame_rate sets)."""
    return hasattr(lib, "kolv_companion_wait_for_cue") and hasattr(lib, "kolv_companion_set_frame_rate")


_loaded = None


def load():
    """The companion library, loaded once; raises kolv.LibraryNotFoundError if it cannot be."""
    global _loaded
    if _loaded is None:
        from .errors import LibraryNotFoundError

        path = os.environ.get(LIBRARY_VARIABLE) or SONAME
        try:
            _loaded = _declare(ctypes.CDLL(path))
        except OSError as error:
            hint = ("check " + LIBRARY_VARIABLE if path != SONAME else
                    "install the kolv-camera package, or set " + LIBRARY_VARIABLE + " to the library's path")
            raise LibraryNotFoundError("cannot load the Kolv Camera companion library %s (%s); %s" %
                                       (path, error, hint)) from None
        except AttributeError as error:
            raise LibraryNotFoundError("%s is not the Kolv Camera companion library: %s" % (path, error)) from None
    return _loaded
