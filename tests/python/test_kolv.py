"""Tests of the kolv Python module: pixel conversion against a reference taken from the formats' names, pacing on an
injected clock, and kolv.Camera on the companion library in a private runtime folder (the
pictures it leaves in the shared surfaces, the error mapping, closing).

Run through ctest (tests/python/run_unittest.sh sets PYTHONPATH and KOLV_COMPANION_LIB)."""

import math
import mmap
import os
import re
import shutil
import struct
import subprocess
import sys
import tempfile
import unittest

import numpy as np

import kolv
from kolv import _convert, _library
from kolv._pacing import Cadence, Pacer

def reference_bgra(frame, fmt):
    """The 'BGRA' bytes of `frame`, taking each channel where the format's name puts it (alpha 255
    when it has none)."""
    name = fmt.value
    planes = [frame[..., name.index(c)] if c in name else np.full(frame.shape[:2], 255, np.uint8) for c in "BGRA"]
    return np.stack(planes, axis=-1).tobytes()


def random_frame(rng, height, width, channels):
    return rng.integers(0, 256, size=(height, width, channels), dtype=np.uint8)


class ConversionTest(unittest.TestCase):
    """to_bgra() into a surface view with padded rows, from arrays of every format laid out in any way."""

    def test_every_format_and_layout_matches_the_reference_and_leaves_row_padding_alone(self):
        rng = np.random.default_rng(7)
        for fmt in kolv.PixelFormat:
            big = random_frame(rng, 12, 18, fmt.channels + 1)
            layouts = {
                "contiguous": np.ascontiguousarray(big[:6, :9, :fmt.channels]),
                "every other row and column": big[::2, ::2, :fmt.channels],
                "mirrored left to right": big[:6, ::-1, :fmt.channels][:, :9],
                "Fortran order": np.asfortranarray(big[:6, :9, :fmt.channels]),
                "channels as a slice of a wider array": big[3:9, 4:13, 1:fmt.channels + 1],
                "transposed": np.ascontiguousarray(big[:9, :6, :fmt.channels]).transpose(1, 0, 2),
                "channels reversed": np.ascontiguousarray(big[:6, :9, :fmt.channels])[..., ::-1],
            }
            for name, frame in layouts.items():
                with self.subTest(fmt=fmt.value, layout=name):
                    self.assertEqual((frame.shape, frame.flags.c_contiguous), ((6, 9, fmt.channels), name == "contiguous"))
                    # Rows 9 * 4 + 12 bytes apart, the padding filled with 0xEE.
                    memory = np.full(6 * 48, 0xEE, dtype=np.uint8)
                    _convert.to_bgra(_convert.surface_view(memory.ctypes.data, 9, 6, 48), frame, fmt)
                    rows = memory.reshape(6, 48)
                    self.assertEqual(rows[:, :36].tobytes(), reference_bgra(frame, fmt))
                    self.assertTrue((rows[:, 36:] == 0xEE).all(), "bytes between rows were written")


class FrameCheckTest(unittest.TestCase):
    """Arrays a 4x3 RGB (or BGRA) camera refuses, with one line that names their shape and dtype."""

    def test_refused_arrays(self):
        rgb, bgra = kolv.PixelFormat.RGB, kolv.PixelFormat.BGRA
        # (array, format, exception, what the message names)
        cases = [(np.zeros((3, 4, 3), dtype=dtype), rgb, TypeError, ["(3, 4, 3)", np.dtype(dtype).name])
                 for dtype in (np.float32, np.uint16, np.int8, np.float64)]
        cases += [(np.zeros(shape, dtype=np.uint8), rgb, ValueError, [str(shape), "uint8", "(3, 4, 3)"])
                  for shape in ((4, 3, 3), (3, 4, 4), (3, 4), (36,), (1, 3, 4, 3))]
        cases += [(np.zeros((3, 4, 3), dtype=np.uint8), bgra, ValueError, ["(3, 4, 4)"]),
                  ([[[0, 0, 0]]], rgb, TypeError, ["list"])]
        for frame, fmt, error, named in cases:
            with self.subTest(shape=np.shape(frame), dtype=getattr(frame, "dtype", None), fmt=fmt.value):
                with self.assertRaises(error) as caught:
                    _convert.check_frame(frame, 4, 3, fmt)
                message = str(caught.exception)
                self.assertNotIn("\n", message)
                for text in named:
                    self.assertIn(text, message)


class StatusTest(unittest.TestCase):
    """kolv.errors against the C header's result codes."""

    def test_every_error_of_the_header_has_its_own_exception(self):
        header = os.path.join(os.path.dirname(__file__), "..", "..", "src", "companion", "include", "kolv_companion.h")
        with open(header) as file:
            codes = dict(re.findall(r"KOLV_COMPANION_([A-Z_]+) = (-?\d+)", file.read()))
        from kolv import errors
        for name, value in codes.items():
            with self.subTest(name):
                self.assertEqual(getattr(errors, name), int(value))
                if int(value) < 0:
                    error = errors.from_status(int(value), "text")
                    self.assertIsNot(type(error), kolv.Error, "no subclass for %s" % name)
                    self.assertEqual((error.status, str(error)), (int(value), "text"))


class FakeTime:
    """A clock that moves only when slept on or advanced."""

    def __init__(self):
        self.now = 1000.0
        self.sleeps = []

    def clock(self):
        return self.now

    def sleep(self, seconds):
        if not seconds > 0:
            raise AssertionError("slept %r s" % seconds)
        self.sleeps.append(seconds)
        self.now += seconds


class PacingTest(unittest.TestCase):
    """Pacer and Cadence on a fake clock."""

    def setUp(self):
        self.time = FakeTime()
        self.pacer = Pacer(30, clock=self.time.clock, sleep=self.time.sleep)

    def loop(self, draw_times, wait):
        """Runs a producer that takes draw_times[i] to draw picture i; the times wait() returns."""
        returns = []
        for draw in draw_times:
            self.time.now += draw
            wait()
            returns.append(self.time.now)
        return returns

    def test_a_steady_loop_keeps_to_the_deadlines_without_drift(self):
        start = self.time.now + 0.002
        returns = self.loop([0.002] + [0.004, 0.011, 0.029, 0.001] * 75, self.pacer.wait)
        for i, at in enumerate(returns):
            self.assertAlmostEqual(at, start + (i + 1) / 30, delta=1e-9, msg="picture %d" % i)

    def test_a_late_picture_is_caught_up_on_the_next(self):
        returns = self.loop([0.0, 0.01, 0.05, 0.01, 0.01], self.pacer.wait)
        start = returns[0] - 1 / 30
        # The third picture took 50 ms: wait() returns at once, and the fourth is on time again.
        self.assertAlmostEqual(returns[2], start + 2 / 30 + 0.05, delta=1e-9)
        self.assertAlmostEqual(returns[3], start + 4 / 30, delta=1e-9)
        self.assertAlmostEqual(returns[4], start + 5 / 30, delta=1e-9)

    def test_after_a_stall_it_does_not_burst_to_make_up_missed_frames(self):
        returns = self.loop([0.0, 0.01, 0.5, 0.001, 0.001, 0.001], self.pacer.wait)
        stall_end = returns[1] + 0.5
        self.assertAlmostEqual(returns[2], stall_end, delta=1e-9)
        for i in range(3, 6):
            self.assertAlmostEqual(returns[i] - returns[i - 1], 1 / 30, delta=1e-9)

    def test_on_cue_the_library_paces_and_timeouts_are_waited_out(self):
        from kolv.errors import NOT_WATCHED, TIMED_OUT
        results = [TIMED_OUT, TIMED_OUT, 0, NOT_WATCHED, 0]
        calls = []

        def cue(draw_seconds, timeout):
            calls.append((round(draw_seconds, 6), timeout))
            self.time.now += 0.01
            return results.pop(0)

        cadence = Cadence(self.pacer, cue=cue, on_error=self.fail, clock=self.time.clock)
        for draw in (0.005, 0.012, 0.003):
            cadence.wait()
            self.time.now += draw
            cadence.picture_done()
        # Each call asks with the longest drawing time so far; a timed-out cue is asked again.
        self.assertEqual([d for d, _ in calls], [0.0, 0.0, 0.0, 0.005, 0.012])
        self.assertTrue(all(t == Cadence.CUE_SLICE for _, t in calls))
        self.assertEqual(results, [])
        self.assertEqual(self.time.sleeps, [], "the pacer slept as well as the library")

    def test_a_refused_cue_raises(self):
        def on_error(status):
            raise kolv.InvalidArgumentError("status %d" % status)

        cadence = Cadence(self.pacer, cue=lambda draw, timeout: -2, on_error=on_error, clock=self.time.clock)
        with self.assertRaisesRegex(kolv.InvalidArgumentError, "status -2"):
            cadence.wait()


def read_surface(runtime, surface_id):
    """The header fields and the 'BGRA' picture of a registered surface, as the camera would map it."""
    with open(os.path.join(runtime, "kolv-surfaces", str(surface_id)), "rb") as file:
        memory = mmap.mmap(file.fileno(), 0, prot=mmap.PROT_READ)
    try:
        magic, _, sid, width, height, fourcc, bytes_per_row, offset = struct.unpack_from("<8sIIIIIIQ", memory)
        assert magic == b"KOLVSURF" and sid == surface_id, (magic, sid)
        rows = [memory[offset + y * bytes_per_row: offset + y * bytes_per_row + width * 4] for y in range(height)]
        return {"width": width, "height": height, "fourcc": fourcc}, b"".join(rows)
    finally:
        memory.close()


@unittest.skipUnless(os.environ.get(_library.LIBRARY_VARIABLE), "needs KOLV_COMPANION_LIB (run through ctest)")
class CameraTest(unittest.TestCase):
    """kolv.Camera on the companion library, in a runtime folder of its own."""

    GROUP = "group.kolv.pytest"

    def setUp(self):
        self.runtime = tempfile.mkdtemp(prefix="kolv-py-")
        os.chmod(self.runtime, 0o700)
        self.addCleanup(shutil.rmtree, self.runtime, True)
        saved = os.environ.get("XDG_RUNTIME_DIR")
        os.environ["XDG_RUNTIME_DIR"] = self.runtime
        self.addCleanup(lambda: os.environ.__setitem__("XDG_RUNTIME_DIR", saved) if saved is not None else
                        os.environ.pop("XDG_RUNTIME_DIR", None))
        self.container = os.path.join(self.runtime, "app-groups", self.GROUP)
        self.rng = np.random.default_rng(11)

    def camera(self, *args, **kwargs):
        kwargs.setdefault("app_group", self.GROUP)
        return kolv.Camera(*args, **kwargs)

    def named(self):
        """The surface ID and timestamp the two hand-off files hold."""
        with open(os.path.join(self.container, "kolvcamera_surface_id"), "rb") as file:
            surface_id, = struct.unpack("<I", file.read())
        with open(os.path.join(self.container, "kolvcamera_frame_meta"), "rb") as file:
            timestamp, = struct.unpack("<d", file.read())
        return surface_id, timestamp

    def registry(self):
        return sorted(os.listdir(os.path.join(self.runtime, "kolv-surfaces")))

    def test_each_picture_reaches_the_named_surface_as_bgra(self):
        for fmt, (width, height) in zip(kolv.PixelFormat, [(1280, 720), (640, 360), (33, 17), (1920, 1080)]):
            with self.subTest(fmt=fmt.value), self.camera(width, height, 30, fmt=fmt) as cam:
                self.assertEqual(cam.app_group, self.GROUP)
                last = 0.0
                for i in range(3):
                    frame = random_frame(self.rng, height, width + 3, fmt.channels)[:, 3:]  # not contiguous
                    self.assertTrue(cam.send(frame))
                    surface_id, timestamp = self.named()
                    header, picture = read_surface(self.runtime, surface_id)
                    self.assertEqual((header["width"], header["height"]), (width, height))
                    self.assertEqual(header["fourcc"], 0x42475241)  # 'BGRA'
                    self.assertTrue(picture == reference_bgra(frame, fmt), "picture %d differs from what was sent" % i)
                    self.assertGreater(timestamp, last)
                    last = timestamp
                self.assertEqual(cam.frames_sent, 3)

    def test_closing_releases_the_surfaces_and_the_group(self):
        with self.camera(64, 48, fmt="BGR") as cam:
            cam.send(np.zeros((48, 64, 3), dtype=np.uint8))
            self.assertNotEqual(self.registry(), [])
            with self.assertRaises(kolv.GroupBusyError) as caught:
                self.camera(64, 48)
            self.assertIn("another companion is publishing", str(caught.exception))
            self.assertIn(self.GROUP, str(caught.exception))
            self.assertEqual(caught.exception.status, -7)
        self.assertTrue(cam.closed)
        self.assertEqual(self.registry(), [])
        with self.assertRaises(kolv.Error):
            cam.send(np.zeros((48, 64, 3), dtype=np.uint8))
        cam.close()  # again: nothing happens
        with self.camera(64, 48) as again:  # the group is free again
            self.assertFalse(again.watched)

    def test_a_camera_dropped_without_close_releases_its_surfaces(self):
        cam = self.camera(8, 8)
        cam.send(np.zeros((8, 8, 3), dtype=np.uint8))
        del cam
        self.assertEqual(self.registry(), [])
        self.camera(8, 8).close()

    def test_library_statuses_map_to_exceptions(self):
        folder = os.path.join(self.runtime, "app-groups")
        with open(folder, "w"):
            pass  # a file where the folder of app groups belongs
        with self.assertRaises(kolv.ContainerUnavailableError) as caught:
            self.camera(8, 8)
        self.assertIn("cannot use the app group's container folder", str(caught.exception))
        os.remove(folder)

        with self.assertRaises(kolv.InvalidAppGroupError) as caught:
            kolv.Camera(8, 8, app_group="a/b")
        self.assertIsInstance(caught.exception, ValueError)
        self.assertIn("not a plain file name", str(caught.exception))

        with self.assertRaises(kolv.InvalidArgumentError) as caught:
            self.camera(8, 8, hold_time=-1)
        self.assertIn("hold time -1 s refused", str(caught.exception))
        self.camera(8, 8).close()  # the refused camera let go of the group

        with self.assertRaises(kolv.InvalidInfoPlistError):
            kolv.Camera(8, 8, info_plist=os.path.join(self.runtime, "missing.plist"))

    def test_arguments_the_camera_refuses(self):
        for kwargs in ({"width": 0}, {"height": 16385}, {"width": 2.5}, {"fps": 0}, {"fps": math.nan},
                       {"fps": "30"}, {"fmt": "YUYV"}):
            with self.subTest(**{k: repr(v) for k, v in kwargs.items()}):
                with self.assertRaises(ValueError):
                    self.camera(**kwargs)

    def test_a_picture_with_no_free_surface_is_dropped_and_counted(self):
        with self.camera(16, 16, 30) as cam:
            frames = [np.full((16, 16, 3), i % 256, dtype=np.uint8) for i in range(1000)]
            for attempt, frame in enumerate(frames):
                before = self.named()[0] if attempt else None
                if not cam.send(frame):
                    break
            else:
                self.fail("1000 pictures in a row found a free surface")
            # The library keeps at most 16 surfaces; none rests 100 ms between quick pictures.
            self.assertGreaterEqual(attempt, 16)
            self.assertEqual((cam.frames_sent, cam.frames_dropped), (attempt, 1))
            # (Reading the timestamp file counts as the camera's read: the library re-stamps it.)
            self.assertEqual(self.named()[0], before, "a dropped picture named another surface")

    def test_the_module_names_the_library_it_is_built_with(self):
        expected = os.environ.get("KOLV_EXPECTED_SONAME")
        if not expected:
            self.skipTest("KOLV_EXPECTED_SONAME is not set")
        self.assertEqual(_library.SONAME, expected)

    def test_a_missing_library_is_one_clear_line(self):
        env = dict(os.environ, KOLV_COMPANION_LIB="/nonexistent/libkolv_companion.so.0")
        code = "import kolv\ntry:\n    kolv.Camera()\nexcept kolv.LibraryNotFoundError as e:\n    print(e)\n"
        result = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True, timeout=60)
        lines = result.stdout.splitlines()
        self.assertEqual(len(lines), 1, result.stdout + result.stderr)
        self.assertIn("cannot load the Kolv Camera companion library /nonexistent/libkolv_companion.so.0", lines[0])


if __name__ == "__main__":
    unittest.main()
