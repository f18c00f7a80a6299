"""Pacing of a producer's loop at a fixed rate, by deadlines that do not drift."""

import collections
import time

from .errors import TIMED_OUT


class Pacer:
    """Returns from wait() once per period, each time at the deadline one period after the last.
    Used from the producer's thread; the clock and the sleep are injected for tests."""

    def __init__(self, fps, clock=time.monotonic, sleep=time.sleep):
        self.period = 1.0 / fps
        self._clock = clock
        self._sleep = sleep
        self._deadline = None

    def wait(self):
        """Sleeps until the next deadline. A loop that runs late by less than a period catches up
        on the next call; one that fell behind by more does not burst to make up for the frames it
        missed: its deadlines start again from now."""
        now = self._clock()
        if self._deadline is None:
            self._deadline = now + self.period
        elif now - self._deadline > self.period:
            self._deadline = now
        if self._deadline > now:
            self._sleep(self._deadline - now)
        self._deadline += self.period


class Cadence:
    """When a producer draws its next picture: on the library's cue where it gives one, else at
    the pace of a Pacer. Used from the producer's thread.

    cue(draw_seconds, timeout_seconds) is kolv_companion_wait_for_cue: it sleeps until a picture
    started now and drawn in draw_seconds is ready just before the camera's next read (at the
    producer's frame rate, skipping reads below the camera's 30), or paces by the frame rate
    while the camera does not read. Its timeout is short, so that Python handles a signal
    (Ctrl-C) between calls while it waits; a timed-out cue is taken by the next call. A negative
    result is an error: on_error(status) raises it."""

    # The longest a single wait for a cue blocks Python.
    CUE_SLICE = 0.25

    def __init__(self, pacer, cue=None, on_error=None, clock=time.monotonic, samples=30):
        self._pacer = pacer
        self._cue = cue
        self._on_error = on_error
        self._clock = clock
        self._draw_times = collections.deque(maxlen=samples)
        self._woke = None

    @property
    def draw_seconds(self):
        """The longest of the recent drawing times (from wait() returning to picture_done())."""
        return max(self._draw_times, default=0.0)

    def picture_done(self):
        """Marks a picture handed over: its drawing time since the last wait() counts."""
        if self._woke is not None:
            self._draw_times.append(self._clock() - self._woke)
            self._woke = None

    def wait(self):
        if self._cue is None:
            self._pacer.wait()
        else:
            status = TIMED_OUT
            while status == TIMED_OUT:
                status = self._cue(self.draw_seconds, self.CUE_SLICE)
            if status < 0:
                self._on_error(status)
        self._woke = self._clock()
