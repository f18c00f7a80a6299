"""The exceptions of the kolv module: kolv.Error and one subclass for each failure of the C library."""

# Result codes of kolv_companion.h.
OK = 0
BUSY = 1
TIMED_OUT = 2  # kolv_companion_wait_for_cue: the timeout came first, the cue is left for the next call
NOT_WATCHED = 3  # kolv_companion_wait_for_cue: the camera does not read; paced by the frame rate alone
NO_FRAME = -1
INVALID_ARGUMENT = -2
INVALID_INFO_PLIST = -3
INVALID_APP_GROUP = -4
NO_RUNTIME_DIRECTORY = -5
CONTAINER_UNAVAILABLE = -6
GROUP_IN_USE = -7
SURFACE_UNAVAILABLE = -8
WRITE_FAILED = -9
OUT_OF_MEMORY = -10


class Error(Exception):
    """A failure of the companion library. `status` is its result code (kolv_companion.h), 0 when
    the failure is the module's own."""

    status = 0


class LibraryNotFoundError(Error, ImportError):
    """libkolv_companion.so.0 cannot be loaded."""


class NoFrameError(Error):
    status = NO_FRAME


class InvalidArgumentError(Error, ValueError):
    status = INVALID_ARGUMENT


class InvalidInfoPlistError(Error):
    status = INVALID_INFO_PLIST


class InvalidAppGroupError(Error, ValueError):
    status = INVALID_APP_GROUP


class NoRuntimeDirectoryError(Error):
    status = NO_RUNTIME_DIRECTORY


class ContainerUnavailableError(Error):
    status = CONTAINER_UNAVAILABLE


class GroupBusyError(Error):
    """Another companion is publishing to the app group (kolv-publish, or another kolv.Camera)."""

    status = GROUP_IN_USE


class SurfaceUnavailableError(Error):
    status = SURFACE_UNAVAILABLE


class WriteFailedError(Error):
    status = WRITE_FAILED


class OutOfMemoryError(Error, MemoryError):
    status = OUT_OF_MEMORY


_BY_STATUS = {cls.status: cls for cls in (NoFrameError, InvalidArgumentError, InvalidInfoPlistError,
                                          InvalidAppGroupError, NoRuntimeDirectoryError, ContainerUnavailableError,
                                          GroupBusyError, SurfaceUnavailableError, WriteFailedError,
                                          OutOfMemoryError)}


def from_status(status, message):
    """The exception for a negative result code of the library, carrying `message`."""
    cls = _BY_STATUS.get(status)
    if cls is None:
        error = Error(message)
        error.status = status
        return error
    return cls(message)
