"""Pacing of a producer's loop at a fixed rate, by deadlines that do not drift."""

import collections
import time


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

    def sleep_until_before_deadline(self, seconds):
        """Sleeps until `seconds` before the next deadline, if that is still to come."""
        if self._deadline is not None:
            now = self._clock()
            if self._deadline - seconds > now:
                self._sleep(self._deadline - seconds - now)

    def mark(self, now):
        """The next deadline is one period after `now` (a picture's cue taken from elsewhere)."""
        self._deadline = now + self.period


class Cadence:
    """When a producer draws its next picture: on the camera's cue where the library gives one
    and the camera reads, else at the pace of a Pacer. Used from the producer's thread.

    cue(draw_seconds, timeout_seconds) returns 0 when it is time to draw, so that a picture
    taking draw_seconds is ready just before the camera's next read; anything else (a timeout,
    the camera not reading) falls back to the pacer, which keeps the camera's rhythm from the
    last cue. The pacer still sets the rate: the cue taken is the one for the camera's read
    nearest the pacer's deadline (half a camera period before it, the read before is past), so
    a producer at 15 a second draws on every second read, and one at 30 or more on each."""

    def __init__(self, pacer, cue=None, watched=lambda: False, clock=time.monotonic, samples=30,
                 camera_period=1 / 30):
        self._camera_period = camera_period
        self._pacer = pacer
        self._cue = cue
        self._watched = watched
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
        if self._cue is not None and self._watched():
            self._pacer.sleep_until_before_deadline(self._camera_period / 2)
            if self._cue(self.draw_seconds, 2 * self._camera_period) == 0:
                self._woke = self._clock()
                self._pacer.mark(self._woke)
                return
        self._pacer.wait()
        self._woke = self._clock()
