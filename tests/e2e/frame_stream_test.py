#!/usr/bin/env python3
"""frame_stream.py on hand-made frames and consumer logs: what it sorts each band into, what it
counts as grey among pictures, and the gaps it finds in the camera's frame times."""
import os
import subprocess
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import frame_stream  # noqa: E402
from frame_stream import BAND_BYTES, BAND_ROWS, ROW_BYTES, WIDTH  # noqa: E402

pattern_frames = frame_stream.pattern_frames


def pattern_band(number: int, ns: int = 123456789, bars_of: int = None) -> bytes:
    """The top rows of kolv-publish's pattern frame NUMBER (with the bars of BARS_OF, if given)."""
    cells = [1, 0, 1, 1, 0, 0, 1, 0]
    cells += [(number >> i) & 1 for i in range(32)] + [(ns >> i) & 1 for i in range(64)]
    check = pattern_frames.check_word(number, ns)
    cells += [(check >> i) & 1 for i in range(16)] + [0, 1, 0, 0, 1, 1, 0, 1]
    stamp_row = b"".join((b"\xff\xff\xff\xff" if bit else b"\x00\x00\x00\xff") * 10 for bit in cells)
    bars = pattern_frames.bar_row(number if bars_of is None else bars_of)
    return stamp_row * pattern_frames.STAMP_ROWS + bars * (BAND_ROWS - pattern_frames.STAMP_ROWS)


def image_band() -> bytes:
    row = (bytes((0, 0, 255, 255)) * (WIDTH // 2)) + (bytes((0, 255, 0, 255)) * (WIDTH // 2))
    return row * BAND_ROWS


GREY = b"\x40" * BAND_BYTES


def buffer_line(pts_ns: int, seq: int) -> str:
    s, ns = divmod(pts_ns, 1_000_000_000)
    return (f"/GstPipeline:pipeline0/GstIdentity:identity0: last-message = chain   ******* (identity0:sink) "
            f"(921600 bytes, dts: none, pts: 0:00:{s:02d}.{ns:09d}, duration: none, offset: {seq}, "
            f"offset_end: -1, flags: 00000000 ) 0x0\n")


class ClassifyTest(unittest.TestCase):
    def test_each_kind(self):
        self.assertEqual(frame_stream.classify(GREY), ("G", None))
        self.assertEqual(frame_stream.classify(pattern_band(77)), ("P", 77))
        self.assertEqual(frame_stream.classify(pattern_band(77, bars_of=76)), ("T", None))
        self.assertEqual(frame_stream.classify(image_band()), ("I", None))
        self.assertEqual(frame_stream.classify(b"\x41" + GREY[1:]), ("?", None))

    def test_a_broken_check_word_is_not_a_pattern(self):
        band = bytearray(pattern_band(5))
        cell = 110  # a bit of the check word, in the middle row of the stamp
        offset = 8 * ROW_BYTES + (cell * 10 + 5) * 4 + 1
        band[offset] ^= 0xFF
        self.assertNotEqual(frame_stream.classify(bytes(band))[0], "P")


class FramesTest(unittest.TestCase):
    def count(self, kinds: str, picture: str = "P") -> frame_stream.Frames:
        frames = frame_stream.Frames()
        number = 0
        for kind in kinds:
            number += kind == "P"
            frames.add(kind, number if kind == "P" else None, picture)
        return frames

    def test_grey_before_the_first_picture_is_not_counted_grey_after_it_is(self):
        frames = self.count("GGGPPGPPGGGPG")
        self.assertEqual((frames.grey_before, frames.grey_among, frames.longest_grey_run), (3, 5, 3))
        self.assertEqual(frames.first_grey_among, 5)

    def test_no_picture_means_no_grey_among_pictures(self):
        frames = self.count("GGGG")
        self.assertEqual((frames.pictures, frames.grey_among, frames.grey_before), (0, 0, 4))

    def test_torn_other_wrong_kind_and_backwards(self):
        frames = frame_stream.Frames()
        for kind, number in (("P", 4), ("P", 3), ("T", None), ("?", None), ("I", None)):
            frames.add(kind, number, "P")
        self.assertEqual((frames.backwards, frames.torn, frames.other, frames.wrong_kind), (1, 1, 1, 1))


class TimesTest(unittest.TestCase):
    def test_gaps_and_missing_seq_read_as_the_log_grows(self):
        with tempfile.TemporaryDirectory() as folder:
            log = os.path.join(folder, "consumer.log")
            times = frame_stream.Times(log)
            times.read(100_000_000)  # no log yet
            with open(log, "w") as f:
                f.write("Setting pipeline to PLAYING ...\n")
                f.write(buffer_line(1_000_000_000, 10) + buffer_line(1_033_333_333, 11))
                f.write(buffer_line(1_166_666_666, 15)[:40])  # half a line so far
            times.read(100_000_000)
            self.assertEqual((times.buffers, times.gaps_over), (2, 0))
            with open(log, "a") as f:
                f.write(buffer_line(1_166_666_666, 15)[40:] + buffer_line(1_266_666_666, 18))
            times.read(100_000_000)
            self.assertEqual((times.buffers, times.gaps_over, times.missing_seq), (4, 1, 5))
            self.assertAlmostEqual(times.max_gap_ns / 1e6, 133.333333, places=3)

    def test_three_frame_periods_are_not_over_100_ms_four_are(self):
        with tempfile.TemporaryDirectory() as folder:
            log = os.path.join(folder, "consumer.log")
            with open(log, "w") as f:
                f.write(buffer_line(0, 0) + buffer_line(100_000_001, 3) + buffer_line(200_000_000, 6))
                f.write(buffer_line(300_600_000, 9))
            times = frame_stream.Times(log)
            times.read(100_000_000)
            self.assertEqual((times.buffers, times.gaps_over), (4, 1))


class MainTest(unittest.TestCase):
    def run_stream(self, bands, pts_ms, *options):
        with tempfile.TemporaryDirectory() as folder:
            frames, log = os.path.join(folder, "frames"), os.path.join(folder, "consumer.log")
            with open(frames, "wb") as f:
                f.write(b"".join(bands))
            with open(log, "w") as f:
                f.writelines(buffer_line(int(ms * 1e6), i) for i, ms in enumerate(pts_ms))
            return subprocess.run([sys.executable, os.path.join(HERE, "frame_stream.py"), frames, "--log", log,
                                   "--name", "test", *options], capture_output=True, text=True)

    def test_clean_stream_passes(self):
        bands = [GREY, GREY] + [pattern_band(n) for n in range(1, 9)]
        result = self.run_stream(bands, [i * 33.3 for i in range(10)], "--frames", "10")
        self.assertEqual(result.returncode, 0, result.stdout)
        self.assertIn("test: frames=10 pictures=8 grey_among=0 grey_before=2", result.stdout)

    def test_one_grey_frame_among_pictures_fails(self):
        bands = [pattern_band(1), GREY, pattern_band(2)]
        result = self.run_stream(bands, [0, 33.3, 66.6])
        self.assertEqual(result.returncode, 1)
        self.assertIn("1 grey frames among the companion's pictures", result.stdout)

    def test_a_gap_over_100_ms_fails(self):
        bands = [pattern_band(n) for n in range(1, 4)]
        result = self.run_stream(bands, [0, 33.3, 140])
        self.assertEqual(result.returncode, 1)
        self.assertIn("1 gaps over 100 ms", result.stdout)

    def test_fewer_frames_than_asked_or_a_log_that_disagrees_fails(self):
        bands = [pattern_band(n) for n in range(1, 4)]
        self.assertEqual(self.run_stream(bands, [0, 33.3, 66.6], "--frames", "4").returncode, 1)
        self.assertIn("the log shows 2 buffers", self.run_stream(bands, [0, 33.3]).stdout)


if __name__ == "__main__":
    unittest.main()
