#!/usr/bin/env python3
"""Checks the arithmetic of pipewire_bench_report.py on hand-made windows: the figures a wrong
pairing, a thread that came or went, or a misread log line would silently falsify."""
import contextlib
import io
import os
import sys
import tempfile
import unittest

sys.dont_write_bytecode = True  # no __pycache__ in the source tree
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import pipewire_bench_report as report  # noqa: E402

FILES = tempfile.TemporaryDirectory()

LINE = ("0:00:{s:02d}.{ns:09d} 27075 0x55582b81b800 DEBUG         GST_SCHEDULING gstpad.c:4459:"
        "gst_pad_chain_data_unchecked:<identity0:sink> calling chainfunction &gst_base_transform_chain "
        "with buffer buffer: 0x7f77f0008120, pts 0:00:00.000000000, dts 0:00:00.000000000, "
        "dur 99:99:99.999999999, size 3686400, offset {offset}, offset_end none, flags 0x4000\n")


def window(config, rnd, cpu_ns, offsets, seconds=10.0, tids="1:2", tids_after="1:2", stat=(1.0, 2.0)):
    """A window's fields as pipewire_bench.sh writes them, with a consumer log of OFFSETS."""
    log = tempfile.NamedTemporaryFile("w", suffix=".log", dir=FILES.name, delete=False)
    for i, offset in enumerate(offsets):
        log.write(LINE.format(s=i // 30, ns=(i % 30) * 33_333_333, offset=offset))
    log.close()
    return {
        "config": config, "round": str(rnd), "position": "0", "t0": "100.0", "t1": str(100.0 + seconds),
        "n0": "0", "n1": str(len(offsets)), "load0": "0.1",
        "producer0": f"1000,{tids},50,{stat[0]}", "producer1": f"{1000 + cpu_ns},{tids_after},350,{stat[1]}",
        "pipewire0": "0,9,0,0", "pipewire1": "0,9,0,0", "consumer0": "0,8,0,0", "consumer1": "0,8,0,0",
        "log": log.name,
    }


class WindowTest(unittest.TestCase):
    def test_seq_gaps_count_missing_and_backward_steps(self):
        row = report.window(window("camera", 1, 0, [1, 2, 3, 5, 6, 9, 8, 8]))
        self.assertEqual((row["gaps"], row["missing"], row["backwards"]), (2, 3, 2))
        self.assertEqual(row["frames"], 8)

    def test_peer_without_seq_has_no_gap_figure(self):
        row = report.window(window("peer", 1, 0, ["none"] * 5))
        self.assertIsNone(row["gaps"])

    def test_cpu_from_schedstat_while_the_threads_stay(self):
        row = report.window(window("camera", 1, 400_000_000, [1, 2]))
        self.assertAlmostEqual(row["producer"]["cpu"], 0.04)
        self.assertTrue(row["producer"]["exact"])
        self.assertAlmostEqual(row["producer"]["wakeups"], 30.0)

    def test_cpu_from_proc_stat_when_a_thread_came_or_went(self):
        row = report.window(window("camera", 1, 400_000_000, [1, 2], tids_after="1:2:3", stat=(1.0, 1.5)))
        self.assertAlmostEqual(row["producer"]["cpu"], 0.05)
        self.assertFalse(row["producer"]["exact"])

    def test_frame_rate_allows_one_frame_of_rounding_only(self):
        self.assertTrue(report.on_rate({"frames": 300, "seconds": 10.0}))
        self.assertFalse(report.on_rate({"frames": 294, "seconds": 10.0}))
        self.assertTrue(report.on_rate({"frames": 29, "seconds": 1.0}))
        self.assertFalse(report.on_rate({"frames": 27, "seconds": 1.0}))


class RatioTest(unittest.TestCase):
    def test_each_round_is_divided_by_its_own_peer_window(self):
        rows = [report.window(w) for w in (
            window("camera", 1, 300_000_000, [1]), window("peer", 1, 200_000_000, ["none"]),
            window("camera", 2, 300_000_000, [1]), window("peer", 2, 600_000_000, ["none"]),
            window("companion", 2, 600_000_000, [1]))]
        rounds = report.by_rounds(rows)
        self.assertAlmostEqual(report.round_ratio(rounds[1], "camera"), 1.5)
        self.assertAlmostEqual(report.round_ratio(rounds[2], "camera"), 0.5)
        self.assertAlmostEqual(report.round_ratio(rounds[2], "companion"), 1.0)
        self.assertIsNone(report.round_ratio(rounds[1], "companion"))

    def test_camera_against_the_floor_of_its_own_round(self):
        rows = [report.window(w) for w in (
            window("camera", 1, 300_000_000, [1]), window("floor", 1, 250_000_000, [1]),
            window("camera", 2, 300_000_000, [1]), window("floor", 2, 400_000_000, [1]))]
        rounds = report.by_rounds(rows)
        self.assertAlmostEqual(report.round_ratio(rounds[1], "camera", "floor"), 1.2)
        self.assertAlmostEqual(report.round_ratio(rounds[2], "camera", "floor"), 0.75)


class SummaryTest(unittest.TestCase):
    def test_a_run_with_the_floor_gives_its_ratios_and_no_target_for_it(self):
        rows = [report.window(w) for w in (
            window("camera", 1, 300_000_000, [1, 2]), window("peer", 1, 400_000_000, ["none"] * 2),
            window("floor", 1, 250_000_000, [1, 2]))]
        out = io.StringIO()
        with contextlib.redirect_stdout(out):
            report.summary(rows)
        text = out.getvalue()
        self.assertIn("| 1 | camera, peer, floor | 0.75 | n/a | 0.62 | 1.20 |", text)
        self.assertIn("floor: one memset a frame: CPU 0.62x the peer's; the camera's grey frames 1.20x", text)
        self.assertNotIn("floor: one memset a frame: CPU 0.62x the peer's (median", text)


class StraceTest(unittest.TestCase):
    def test_calls_with_and_without_an_errors_column(self):
        with tempfile.NamedTemporaryFile("w", suffix=".txt", dir=FILES.name, delete=False) as f:
            f.write("% time     seconds  usecs/call     calls    errors syscall\n"
                    "------ ----------- ----------- --------- --------- ----------------\n"
                    " 71.64    0.064877         108       597           epoll_wait\n"
                    "  1.21    0.001099           7       150        12 openat\n"
                    "------ ----------- ----------- --------- --------- ----------------\n"
                    "100.00    0.090560          34      2647        12 total\n")
        self.assertEqual(report.strace_calls(f.name), {"epoll_wait": 597, "openat": 150, "total": 2647})
        self.assertEqual(report.strace_calls(f.name + ".missing"), {})


if __name__ == "__main__":
    unittest.main()
