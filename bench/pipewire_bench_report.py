#!/usr/bin/env python3
"""Summarises a bench/pipewire_bench.sh run: one row per window, then the medians per producer.

    pipewire_bench_report.py WINDOWS.tsv --idle T0 T1 CPU0 CPU1 NS0 NS1

WINDOWS.tsv: producer, round, wall time t0 and t1, buffers logged at t0 and t1, CPU seconds of
the producer, the pipewire daemon and the consumer at t0 and t1, and the consumer's
GST_SCHEDULING debug log. The log's lines "<identity0:sink> calling chainfunction ... buffer"
give each buffer's arrival (the debug timestamp), its pts and offset (the producer's pts and
seq, from the buffer's header meta); the buffers between the t0 and t1 counts are measured.
"""
import argparse
import re
import statistics
import sys

CHAIN = re.compile(r"^(\d+):(\d+):(\d+)\.(\d{9}) .*<identity0:sink> calling chainfunction .*?"
                   r"pts ([\d:.]+|99:99:99\.999999999), .*?offset (\d+|none),")


def clock_ns(text: str):
    if text.startswith("99:99:99"):
        return None
    h, m, s = text.split(":")
    whole, fraction = s.split(".")
    return ((int(h) * 60 + int(m)) * 60 + int(whole)) * 1_000_000_000 + int(fraction.ljust(9, "0"))


def read_buffers(path: str):
    buffers = []
    with open(path, errors="replace") as f:
        for line in f:
            if "<identity0:sink> calling chainfunction" not in line:
                continue
            match = CHAIN.match(line)
            if not match:
                buffers.append((None, None, None))
                continue
            h, m, s, ns = (int(g) for g in match.groups()[:4])
            arrival = ((h * 60 + m) * 60 + s) * 1_000_000_000 + ns
            offset = None if match.group(6) == "none" else int(match.group(6))
            buffers.append((arrival, clock_ns(match.group(5)), offset))
    return buffers


def percentile(values, fraction):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(round(fraction * (len(ordered) - 1))))]


def spacing_ms(values):
    diffs = [(b - a) / 1e6 for a, b in zip(values, values[1:])]
    return (statistics.median(diffs), percentile(diffs, 0.99)) if diffs else (None, None)


def window(fields):
    who, rnd, t0, t1, n0, n1, p0, p1, w0, w1, c0, c1, log = fields
    duration = float(t1) - float(t0)
    buffers = read_buffers(log)[int(n0):int(n1)]
    arrivals = [b[0] for b in buffers if b[0] is not None]
    pts = [b[1] for b in buffers]
    seqs = [b[2] for b in buffers]
    row = {
        "producer": who, "round": int(rnd), "seconds": duration, "frames": len(buffers),
        "fps": len(buffers) / duration,
        "producer_cpu": (float(p1) - float(p0)) / duration,
        "pipewire_cpu": (float(w1) - float(w0)) / duration,
        "consumer_cpu": (float(c1) - float(c0)) / duration,
        "arrival": spacing_ms(arrivals),
        "pts": spacing_ms(pts) if pts and None not in pts else (None, None),
        "missing": None, "gaps": None,
    }
    if seqs and None not in seqs:
        steps = [b - a for a, b in zip(seqs, seqs[1:])]
        row["missing"] = sum(step - 1 for step in steps if step > 1)
        row["gaps"] = sum(1 for step in steps if step > 1)
        row["seq_backwards"] = sum(1 for step in steps if step <= 0)
    return row


def ms(value):
    return "n/a" if value is None else f"{value:.2f}"


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("windows")
    parser.add_argument("--idle", nargs=6, type=float, metavar=("T0", "T1", "CPU0", "CPU1", "NS0", "NS1"))
    args = parser.parse_args()

    with open(args.windows) as f:
        rows = [window(line.rstrip("\n").split("\t")) for line in f if line.strip()]

    print("| producer | round | frames/s | seq gaps (frames missing) | pts spacing median / p99 (ms) "
          "| arrival spacing median / p99 (ms) | producer CPU s/s | pipewire CPU s/s | consumer CPU s/s |")
    print("|---|---|---|---|---|---|---|---|---|")
    for r in rows:
        gaps = "n/a (no seq)" if r["gaps"] is None else f"{r['gaps']} ({r['missing']})"
        print(f"| {r['producer']} | {r['round']} | {r['fps']:.2f} | {gaps} | {ms(r['pts'][0])} / {ms(r['pts'][1])} "
              f"| {ms(r['arrival'][0])} / {ms(r['arrival'][1])} | {r['producer_cpu']:.4f} | {r['pipewire_cpu']:.4f} "
              f"| {r['consumer_cpu']:.4f} |")

    def med(who, key, index=None):
        values = [r[key] if index is None else r[key][index] for r in rows if r["producer"] == who]
        values = [v for v in values if v is not None]
        return statistics.median(values) if values else None

    print()
    print("Medians over the rounds:")
    print()
    print("| producer | frames/s | frames missing (seq) | pts spacing median / p99 (ms) "
          "| arrival spacing median / p99 (ms) | producer CPU s/s | pipewire CPU s/s | consumer CPU s/s |")
    print("|---|---|---|---|---|---|---|---|")
    for who in ("camera", "peer"):
        missing = med(who, "missing")
        print(f"| {'kolv-camera' if who == 'camera' else 'GStreamer peer'} | {med(who, 'fps'):.2f} "
              f"| {'n/a' if missing is None else f'{missing:g}'} | {ms(med(who, 'pts', 0))} / {ms(med(who, 'pts', 1))} "
              f"| {ms(med(who, 'arrival', 0))} / {ms(med(who, 'arrival', 1))} | {med(who, 'producer_cpu'):.4f} "
              f"| {med(who, 'pipewire_cpu'):.4f} | {med(who, 'consumer_cpu'):.4f} |")

    print()
    camera_cpu, peer_cpu = med("camera", "producer_cpu"), med("peer", "producer_cpu")
    camera_rows = [r for r in rows if r["producer"] == "camera"]
    all_missing = sum(r["missing"] or 0 for r in camera_rows)
    print(f"kolv-camera: {min(r['fps'] for r in camera_rows):.2f}..{max(r['fps'] for r in camera_rows):.2f} "
          f"frames/s, {all_missing} frames missing in seq over all its windows "
          f"(target: 30 frames/s, none missing)")
    ratio = camera_cpu / peer_cpu if peer_cpu else float("inf")
    print(f"producer CPU, kolv-camera / peer: {camera_cpu:.4f} / {peer_cpu:.4f} s/s = {ratio:.2f} "
          f"(target: at most 0.5) -> {'met' if ratio <= 0.5 else 'NOT met'}")
    if args.idle:
        t0, t1, c0, c1, n0, n1 = args.idle
        duration = t1 - t0
        idle_stat = (c1 - c0) / duration
        idle_sched = (n1 - n0) / duration
        print(f"kolv-camera with no consumer, {duration:.1f} s: {c1 - c0:.2f} s CPU from /proc/PID/stat "
              f"({idle_stat:.3%} of a core, resolution 0.01 s), {n1 - n0:.6f} s from schedstat "
              f"({idle_sched:.4%} of a core) (target: under 0.1%) -> {'met' if idle_sched < 0.001 else 'NOT met'}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
