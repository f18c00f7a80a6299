#!/usr/bin/env python3
"""Rows and summary of a bench/pipewire_bench.sh run.

    pipewire_bench_report.py --row-header
    pipewire_bench_report.py --row LINE
    pipewire_bench_report.py --summary WINDOWS.tsv [--idle IDLE.tsv] [--strace STRACE.tsv]

Each line of the .tsv files is tab-separated key=value pairs. A window (kind=window) has its
configuration (camera, companion, peer, floor), round and position, wall times t0 and t1, the
consumer's buffer count at t0 and t1, samples of the producer, the companion, the pipewire
daemon and the consumer at t0 and t1, the 1-minute load average and /proc/stat's stolen and total
CPU ticks ("STEAL,TOTAL") at t0 and t1, the camera's own sent/dropped count and stream number
from its log, and the consumer's GST_SCHEDULING debug log. A sample is "NS,TIDS,SWITCHES,STAT":
nanoseconds on CPU summed over the live threads (schedstat), their ids joined by ':', their
voluntary + involuntary context switches, and the process's CPU seconds from /proc/PID/stat
(ended threads included, to 1/CLK_TCK).
The log's lines "<identity0:sink> calling chainfunction ... buffer" give each buffer's arrival (the
debug timestamp) and its offset (the producer's seq, from the buffer's header meta).
"""
import argparse
import re
import statistics
import sys

CHAIN = re.compile(r"^(\d+):(\d+):(\d+)\.(\d{9}) .*<identity0:sink> calling chainfunction .*?"
                   r"offset (\d+|none),")
NAMES = {"camera": "camera, grey frames", "companion": "camera, kolv-publish 30/s", "peer": "GStreamer peer",
         "floor": "floor: one memset a frame"}
# Producer CPU against the peer's, per round: the targets.
RATIO_TARGETS = {"camera": 0.8, "companion": 1.1}
# Ratios per round that put the targets in context, when the run has a floor: what one memset a
# frame costs against the peer, and what the camera's grey frames cost against it.
FLOOR_RATIOS = {"floor": ("floor", "peer"), "camera_floor": ("camera", "floor")}


def fields(line):
    return dict(part.split("=", 1) for part in line.rstrip("\n").split("\t") if "=" in part)


def read_tsv(path):
    with open(path) as f:
        return [fields(line) for line in f if line.strip()]


class Sample:
    def __init__(self, text):
        self.valid = bool(text)
        ns, tids, switches, stat = (text.split(",") + ["", "", "", ""])[:4] if text else ("", "", "", "")
        self.ns = int(ns) if ns.isdigit() else None
        self.tids = tids
        self.switches = int(switches) if switches.isdigit() else None
        self.stat = float(stat) if stat not in ("", "nan") else None


def usage(before, after, seconds):
    """CPU seconds per second and wake-ups per second over a window, and whether the threads
    stayed the same (then both are exact; otherwise CPU comes from /proc/PID/stat, to 10 ms,
    and wake-ups miss ended threads)."""
    a, b = Sample(before), Sample(after)
    if not (a.valid and b.valid):
        return None
    same = a.tids == b.tids and a.ns is not None and b.ns is not None
    if same:
        cpu = (b.ns - a.ns) / 1e9
    elif a.stat is not None and b.stat is not None:
        cpu = b.stat - a.stat
    else:
        return None
    wakeups = (b.switches - a.switches) / seconds if a.switches is not None and b.switches is not None else None
    return {"cpu": cpu / seconds, "wakeups": wakeups, "exact": same}


def steal(before, after):
    """Share of the VM's CPU time that the host took away over the window, in percent."""
    try:
        (s0, t0), (s1, t1) = (map(int, text.split(",")) for text in (before, after))
    except ValueError:
        return None
    return 100.0 * (s1 - s0) / (t1 - t0) if t1 > t0 else None


def read_buffers(path):
    buffers = []
    with open(path, errors="replace") as f:
        for line in f:
            if "<identity0:sink> calling chainfunction" not in line:
                continue
            match = CHAIN.match(line)
            if not match:
                buffers.append((None, None))
                continue
            h, m, s, ns = (int(g) for g in match.groups()[:4])
            offset = None if match.group(5) == "none" else int(match.group(5))
            buffers.append((((h * 60 + m) * 60 + s) * 1_000_000_000 + ns, offset))
    return buffers


def percentile(values, fraction):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(round(fraction * (len(ordered) - 1))))]


def window(w):
    seconds = float(w["t1"]) - float(w["t0"])
    buffers = read_buffers(w["log"])[int(w["n0"]):int(w["n1"])]
    arrivals = [b[0] for b in buffers if b[0] is not None]
    seqs = [b[1] for b in buffers]
    spacing = [(b - a) / 1e6 for a, b in zip(arrivals, arrivals[1:])]
    row = {
        "config": w["config"], "round": int(w["round"]), "position": int(w["position"]),
        "seconds": seconds, "frames": len(buffers), "fps": len(buffers) / seconds, "load": float(w["load0"]),
        "arrival_p99": percentile(spacing, 0.99) if spacing else None,
        "producer": usage(w["producer0"], w["producer1"], seconds),
        "companion": usage(w.get("companion0", ""), w.get("companion1", ""), seconds),
        "pipewire": usage(w["pipewire0"], w["pipewire1"], seconds),
        "consumer": usage(w["consumer0"], w["consumer1"], seconds),
        "gaps": None, "missing": None, "backwards": None,
        "dropped": w.get("dropped") or None, "stream": w.get("stream") or None,
        "steal": steal(w.get("steal0", ""), w.get("steal1", "")),
    }
    # The peer's pipewiresink passes no seq on (offset none); the camera's must be continuous.
    if len(seqs) > 1 and None not in seqs:
        steps = [b - a for a, b in zip(seqs, seqs[1:])]
        row["gaps"] = sum(1 for step in steps if step > 1)
        row["missing"] = sum(step - 1 for step in steps if step > 1)
        row["backwards"] = sum(1 for step in steps if step <= 0)
    return row


def ms(u, key="cpu"):
    """CPU in ms per streamed second; '*' marks a figure from /proc/PID/stat (threads changed)."""
    if u is None:
        return "-"
    if key == "wakeups":
        return "n/a" if u["wakeups"] is None else f"{u['wakeups']:.0f}" + ("" if u["exact"] else "*")
    return f"{u['cpu'] * 1000:.2f}" + ("" if u["exact"] else "*")


def gaps(r):
    if r["gaps"] is None:
        return "n/a (no seq)"
    text = f"{r['gaps']} ({r['missing']})"
    return text + (f", {r['backwards']} backwards" if r["backwards"] else "")


ROW_HEADER = ("| round | pos | configuration | load | steal % | frames/s | seq gaps (missing) | arrival p99 ms "
              "| producer CPU ms/s | producer wake-ups/s | companion CPU ms/s | companion wake-ups/s "
              "| pipewire CPU ms/s | consumer CPU ms/s | camera's log: stream no., sent/dropped, sent in place |\n" + "|---" * 15 + "|")


def print_row(r):
    p99 = "n/a" if r["arrival_p99"] is None else f"{r['arrival_p99']:.1f}"
    stolen = "n/a" if r["steal"] is None else f"{r['steal']:.1f}"
    print(f"| {r['round']} | {r['position'] + 1} | {NAMES[r['config']]} | {r['load']:.2f} | {stolen} | {r['fps']:.2f} "
          f"| {gaps(r)} | {p99} | {ms(r['producer'])} | {ms(r['producer'], 'wakeups')} | {ms(r['companion'])} "
          f"| {ms(r['companion'], 'wakeups')} | {ms(r['pipewire'])} | {ms(r['consumer'])} "
          f"| {'-' if r['stream'] is None else '#' + r['stream'] + ', ' + (r['dropped'] or 'n/a')} |", flush=True)


def on_rate(r):
    """30 frames a second within 0.5 frames a second, or 1.5 frames in a short window."""
    return abs(r["frames"] - 30 * r["seconds"]) <= max(1.5, 0.5 * r["seconds"])


def spread(values, fmt):
    values = [v for v in values if v is not None]
    if not values:
        return "n/a"
    return f"{fmt.format(statistics.median(values))} ({fmt.format(min(values))}-{fmt.format(max(values))})"


def by_rounds(rows):
    by_round = {}
    for r in rows:
        by_round.setdefault(r["round"], {})[r["config"]] = r
    return by_round


def round_ratio(windows, config, against="peer"):
    """The producer CPU of CONFIG's window over AGAINST's window of the same round, or None."""
    base, mine = windows.get(against), windows.get(config)
    if base and mine and base["producer"] and mine["producer"] and base["producer"]["cpu"] > 0:
        return mine["producer"]["cpu"] / base["producer"]["cpu"]
    return None


def summary(rows):
    by_round = by_rounds(rows)
    columns = {config: (config, "peer") for config in RATIO_TARGETS}
    if any(r["config"] == "floor" for r in rows):
        columns.update(FLOOR_RATIOS)
    ratios = {key: [] for key in columns}
    for rnd in sorted(by_round):
        for key, (config, against) in columns.items():
            ratio = round_ratio(by_round[rnd], config, against)
            if ratio is not None:
                ratios[key].append(ratio)

    print("Producer CPU against the peer's (and the floor's), per round:")
    print()
    print("| round | order | " + " | ".join(f"{c} / {a}" for c, a in columns.values()) + " |")
    print("|---|---|" + "---|" * len(columns))
    for rnd in sorted(by_round):
        order = ", ".join(r["config"] for r in sorted(by_round[rnd].values(), key=lambda r: r["position"]))
        cells = []
        for config, against in columns.values():
            ratio = round_ratio(by_round[rnd], config, against)
            cells.append("n/a" if ratio is None else f"{ratio:.2f}")
        print(f"| {rnd} | {order} | " + " | ".join(cells) + " |")
    print()
    rounds = len(by_round)
    print(f"Summary over {rounds} round{'s' if rounds != 1 else ''}: median (min-max); the ratio is taken per "
          "round against that round's peer window.")
    print()
    print("| configuration | producer CPU ms per streamed s | ratio to the peer | target | frames/s "
          "| seq gaps (missing), all windows | producer wake-ups/s | companion CPU ms/s |")
    print("|---|---|---|---|---|---|---|---|")
    verdicts = []
    for config in ("camera", "companion", "peer", "floor"):
        mine = [r for r in rows if r["config"] == config]
        if not mine:
            continue
        cpu = [r["producer"]["cpu"] * 1000 if r["producer"] else None for r in mine]
        wake = [r["producer"]["wakeups"] if r["producer"] else None for r in mine]
        companion = [r["companion"]["cpu"] * 1000 if r["companion"] else None for r in mine]
        fps = [r["fps"] for r in mine]
        if config == "peer":
            seq = "n/a (the peer sends no seq)"
            ratio, target = "1", "-"
        else:
            seq = f"{sum(r['gaps'] or 0 for r in mine)} ({sum(r['missing'] or 0 for r in mine)})"
            if any(r["gaps"] is None for r in mine):
                seq += ", some windows without seq"
            if any(r["backwards"] for r in mine):
                seq += f", {sum(r['backwards'] or 0 for r in mine)} backwards"
            ratio = spread(ratios[config], "{:.2f}")
            target = f"<= {RATIO_TARGETS[config]}" if config in RATIO_TARGETS else "-"
            if config == "floor":
                if ratios["floor"] and ratios["camera_floor"]:
                    verdicts.append(f"{NAMES['floor']}: CPU {statistics.median(ratios['floor']):.2f}x the peer's; "
                                    f"the camera's grey frames {statistics.median(ratios['camera_floor']):.2f}x the "
                                    f"floor's (medians over rounds)")
            elif ratios[config]:
                median = statistics.median(ratios[config])
                verdicts.append(f"{NAMES[config]}: CPU {median:.2f}x the peer's (median of {len(ratios[config])} "
                                f"rounds; target <= {RATIO_TARGETS[config]}x) -> "
                                f"{'met' if median <= RATIO_TARGETS[config] else 'NOT met'}")
            steady = all(on_rate(r) for r in mine) and all(r["gaps"] == 0 for r in mine)
            verdicts.append(f"{NAMES[config]}: {min(fps):.2f}-{max(fps):.2f} frames/s, "
                            f"{sum(r['missing'] or 0 for r in mine)} frames missing in seq over {len(mine)} windows "
                            f"(target: 30, none missing) -> {'met' if steady else 'NOT met'}")
        print(f"| {NAMES[config]} | {spread(cpu, '{:.2f}')} | {ratio} | {target} | {spread(fps, '{:.2f}')} | {seq} "
              f"| {spread(wake, '{:.0f}')} | {spread(companion, '{:.2f}') if config == 'companion' else '-'} |")
    print()
    for verdict in verdicts:
        print(verdict)
    if any(u and not u["exact"] for r in rows for u in (r["producer"], r["companion"])):
        print("(* a thread started or ended in that window: its CPU is from /proc/PID/stat, to 10 ms, "
              "and its wake-ups miss the ended threads)")


def idle_lines(path):
    for w in read_tsv(path):
        seconds = float(w["t1"]) - float(w["t0"])
        u = usage(w["producer0"], w["producer1"], seconds)
        if u is None:
            print(f"kolv-camera, {w['label']}: no sample")
            continue
        print(f"kolv-camera, {w['label']}, {seconds:.1f} s: {u['cpu'] * seconds * 1000:.3f} ms CPU "
              f"({u['cpu']:.4%} of a core), {u['wakeups'] * seconds:.0f} wake-ups "
              f"(target: no ticks, so no CPU) -> {'met' if u['cpu'] * seconds < 0.001 else 'NOT met'}")


def strace_calls(path):
    """Calls per system call (and "total") from an `strace -c` summary; {} when there is none."""
    calls = {}
    try:
        with open(path) as f:
            for line in f:
                parts = line.split()
                # % time, seconds, usecs/call, calls, [errors,] syscall
                if len(parts) >= 5 and re.match(r"^\d+\.\d+$", parts[0]) and parts[3].isdigit():
                    calls[parts[-1]] = int(parts[3])
    except OSError:
        pass
    return calls


def strace_table(path):
    """strace -c -f summaries over a short window per producer: calls per 1/30 s (one frame's time;
    the camera makes its calls on every tick, even those whose frame strace's slowness drops)."""
    entries = read_tsv(path)
    if not entries:
        return
    print()
    print("System calls per frame time (1/30 s), strace -c -f on the producer over a separate window "
          "(strace slows what it traces, so this is no CPU window):")
    print()
    print("| producer | window s | frames received | calls | calls per 1/30 s | most frequent (per 1/30 s) |")
    print("|---|---|---|---|---|---|")
    for e in entries:
        calls = strace_calls(e["summary"])
        seconds = float(e["t1"]) - float(e["t0"])
        total = calls.pop("total", sum(calls.values()))
        if not calls or seconds <= 0:
            print(f"| {NAMES[e['config']]} | {seconds:.1f} | {e['frames']} | - | - | no strace summary |")
            continue
        ticks = seconds * 30
        top = sorted(calls.items(), key=lambda item: -item[1])[:6]
        print(f"| {NAMES[e['config']]} | {seconds:.1f} | {e['frames']} | {total} | {total / ticks:.1f} | "
              + ", ".join(f"{call} {count / ticks:.1f}" for call, count in top) + " |")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--row-header", action="store_true")
    parser.add_argument("--row")
    parser.add_argument("--summary")
    parser.add_argument("--idle")
    parser.add_argument("--strace")
    args = parser.parse_args()
    if args.row_header:
        print(ROW_HEADER)
    if args.row:
        print_row(window(fields(args.row)))
    if args.summary:
        rows = [window(w) for w in read_tsv(args.summary) if w.get("kind") == "window"]
        if not rows:
            print("no windows measured")
            return 1
        summary(rows)
        if args.idle:
            print()
            idle_lines(args.idle)
        if args.strace:
            strace_table(args.strace)
    return 0


if __name__ == "__main__":
    sys.exit(main())
