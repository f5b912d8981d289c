#!/usr/bin/env python3
"""The benchmark: whole updates, BCSP round trips, processor time and
instruction counts, against the simulator pacing both directions at the line
rate; and several adapters at once (marrowlink update on four, ports --probe
over eight) against one alone. scripts/bench builds what it needs and runs this.

    bench.py --build build/bench [--runs 5] [--writes 50] [--backups 3] [--callgrind-writes 200]
             [--svg docs/timeline.svg] [--json results.json] [--fleet-only]

Prints the results as Markdown tables (the README's Performance section and
docs/performance.md show them). Medians over --runs runs.
"""

import argparse
import json
import os
import platform
import shutil
import sys
import tempfile

import analyse
import runs
import timeline

TARGET_UPDATE_RATIO = 1.05
TARGET_PROBE_RATIO = 1.05
TARGET_ROUND_TRIP_RATIO = 1.15
TARGET_CPU_PERCENT = 2.0
TARGET_BACKUP_RATIO = 1.15
TARGET_FLEET_UPDATE_RATIO = 1.10
TARGET_FLEET_PARENT_CPU_PERCENT = 1.0
TARGET_FLEET_PROBE_RATIO = 1.20
FLEET_UPDATE_ADAPTERS = 4
FLEET_PROBE_PORTS = 8


def machine():
    model = "unknown"
    with open("/proc/cpuinfo") as handle:
        for line in handle:
            if line.startswith("model name"):
                model = line.split(":", 1)[1].strip()
                break
    load = open("/proc/loadavg").read().split()[:3]
    return {"nproc": os.cpu_count(), "cpu": model, "kernel": platform.release(), "load": " ".join(load)}


def verdict(ok):
    return "met" if ok else "**missed**"


def work_root():
    # tmpfs when there is one: the simulated chip saves its store file on every
    # write, and a disk's rename would count as the chip's reaction time.
    base = "/dev/shm" if os.path.isdir("/dev/shm") and os.access("/dev/shm", os.W_OK) else None
    return tempfile.mkdtemp(prefix="marrowlink-bench-", dir=base)


def fleet_run(run, what, count, expected):
    """run, checked: it ended with 0 and its output holds expected (once per adapter)."""
    if run.exit_status != 0 or run.output.count(expected) != count:
        raise SystemExit("%s on %d did not complete (exit status %d):\n%s" % (what, count, run.exit_status, run.output))
    return run


def measure_fleet(build, root, count_runs):
    """marrowlink update on one adapter and on FLEET_UPDATE_ADAPTERS at once,
    and ports --probe over one port and over FLEET_PROBE_PORTS, taken in
    turn so that the machine's load falls on both alike."""
    m = analyse.median
    ones, manys = [], []
    for index in range(count_runs):
        for count, runs_of in ((1, ones), (FLEET_UPDATE_ADAPTERS, manys)):
            # Each port's lines, prefixed with its name when there are several.
            runs_of.append(fleet_run(runs.run_fleet_update(build, root, count), "update", count, "Update done"))
        print("  update on 1 / on %d at once: %.1f / %.1f ms (the parent's own processor time %.1f ms)"
              % (FLEET_UPDATE_ADAPTERS, ones[-1].wall_us / 1000, manys[-1].wall_us / 1000, manys[-1].own_cpu_ns / 1e6),
              file=sys.stderr)
    update = analyse.fleet_figures(ones, manys, FLEET_UPDATE_ADAPTERS)
    ones, manys, alone = [], [], []
    for index in range(count_runs):
        alone.append(fleet_run(runs.run_ports_probe(build, root, 1, alone=True), "ports --probe-one", 1,
                               '"marrowlink":true'))
        for count, runs_of in ((1, ones), (FLEET_PROBE_PORTS, manys)):
            runs_of.append(fleet_run(runs.run_ports_probe(build, root, count), "ports --probe", count,
                                     "Marrowlink QXZ4702"))
        print("  ports --probe over 1 / over %d: %.1f / %.1f ms (one probe alone %.1f ms)"
              % (FLEET_PROBE_PORTS, ones[-1].wall_us / 1000, manys[-1].wall_us / 1000, alone[-1].wall_us / 1000),
              file=sys.stderr)
    probe = analyse.fleet_figures(ones, manys, FLEET_PROBE_PORTS)
    figures = {}
    for name, f in (("fleet_update", update), ("fleet_probe", probe)):
        figures[name] = {"count": f.count, "one_ms": f.one_ms, "many_ms": f.many_ms, "ratio": f.ratio,
                         "parent_cpu_ms": f.parent_cpu_ms, "parent_cpu_percent": f.parent_cpu_percent,
                         "children_cpu_ms": f.children_cpu_ms, "ones_ms": f.ones_ms, "manys_ms": f.manys_ms}
    figures["fleet_probe"]["alone_ms"] = m([run.wall_us / 1000 for run in alone])
    return figures


def measure(args):
    build = runs.Build(os.path.abspath(args.build))
    root = work_root()
    result = {"machine": machine(), "runs": args.runs, "writes": args.writes}
    if args.fleet_only:
        result.update(measure_fleet(build, root, args.runs))
        shutil.rmtree(root, ignore_errors=True)
        return result

    updates = []
    figures = []
    for index in range(args.runs):
        run = runs.run_update(build, root)
        if run.exit_status != 1 or run.line(runs.KEY_PROMPT) is None:
            raise SystemExit("update %d did not complete:\n%s" % (index, "\n".join(l.text for l in run.lines)))
        updates.append(run)
        figures.append(analyse.update_figures(run))
        print("  update %d: %.1f ms (floor %.1f ms)" % (index + 1, figures[-1].wall_ms, figures[-1].floor_ms),
              file=sys.stderr)
    m = analyse.median
    result["update"] = {
        "wall_ms": m([f.wall_ms for f in figures]),
        "wall_without_tool_ms": m([f.wall_without_tool_ms for f in figures]),
        "tool_span_ms": m([f.tool_span_ms for f in figures]),
        "floor_ms": m([f.floor_ms for f in figures]),
        "fixed_pauses_ms": analyse.FIXED_PAUSES_MS,
        "wire_ms": m([f.wire_ms for f in figures]),
        "wire_bytes": m([f.wire_bytes for f in figures]),
        "ratio": m([f.ratio for f in figures]),
        "excess_ms": m([f.excess_ms for f in figures]),
        "excess": {key: m([f.excess[key] for f in figures]) for key in figures[0].excess},
        "cpu_ms": m([f.cpu_ms for f in figures]),
        "cpu_percent": m([f.cpu_percent for f in figures]),
        "cpu_with_tool_ms": m([f.cpu_with_tool_ms for f in figures]),
        "key_wait_cpu_percent": m([f.key_wait_cpu_percent for f in figures]),
        "tool_poll_cpu_percent": m([f.tool_poll_cpu_percent for f in figures]),
        "walls_ms": [f.wall_ms for f in figures],
    }
    if args.svg:
        # The run closest to the median draws the picture.
        middle = min(range(len(figures)), key=lambda i: abs(figures[i].wall_ms - result["update"]["wall_ms"]))
        with open(args.svg, "w") as handle:
            handle.write(timeline.timeline_svg(updates[middle], figures[middle],
                                               "marrowlink-update against marrowlink-sim --pace-both: one whole update"))

    probes = []
    for index in range(args.runs):
        probe = runs.run_probe(build, root)
        if probe.exit_status != 0:
            raise SystemExit("probe %d failed:\n%s" % (index, probe.output))
        probes.append(analyse.probe_figures(probe))
        print("  probe %d: %.1f ms (floor %.1f ms)" % (index + 1, probes[-1].wall_ms, probes[-1].floor_ms),
              file=sys.stderr)
    result["probe"] = {
        "wall_ms": m([f.wall_ms for f in probes]),
        "floor_ms": m([f.floor_ms for f in probes]),
        "fixed_pauses_ms": analyse.PROBE_FIXED_PAUSES_MS,
        "wire_ms": m([f.wire_ms for f in probes]),
        "wire_bytes": m([f.wire_bytes for f in probes]),
        "ratio": m([f.ratio for f in probes]),
        "walls_ms": [f.wall_ms for f in probes],
    }

    # Three sessions a run: the first on a chip that has just started, the
    # others on a chip still linked from the session before.
    bcsp_runs = [runs.run_bcsp_bench(build, root, args.writes, cycles=3, backups=args.backups)
                 for _ in range(args.runs)]
    bcsp = analyse.bcsp_figures(bcsp_runs)
    trips = sorted(bcsp.round_trip_ms)
    result["bcsp"] = {
        "round_trip_ms": m(bcsp.round_trip_ms),
        "round_trip_p90_ms": trips[int(0.9 * len(trips))],
        "round_trip_wire_ms": m(bcsp.round_trip_wire_ms),
        "round_trip_ratio": bcsp.ratio,
        "bytes_per_round_trip": m(bcsp.bytes_per_round_trip),
        "chip_reaction_ms": m(bcsp.chip_reaction_ms),
        "open_fresh_ms": m(bcsp.open_fresh_ms),
        "open_fresh_wire_ms": m(bcsp.open_fresh_wire_ms),
        "open_fresh_sync_wait_ms": m(bcsp.open_fresh_sync_wait_ms),
        "open_again_ms": m(bcsp.open_again_ms),
        "open_again_wire_ms": m(bcsp.open_again_wire_ms),
        "first_write_fresh_ms": m(bcsp.first_write_fresh_ms),
        "first_write_again_ms": m(bcsp.first_write_again_ms),
        "round_trip_cpu_us": m(bcsp.round_trip_cpu_us),
    }
    if bcsp.backup_ms:
        result["store"] = {
            "backup_ms": m(bcsp.backup_ms),
            "backup_wire_ms": m(bcsp.backup_wire_ms),
            "backup_ratio": bcsp.backup_ratio,
            "backup_reads": m(bcsp.backup_reads),
            "backups": len(bcsp.backup_ms),
        }

    result.update(measure_fleet(build, root, args.runs))

    if args.callgrind_writes:
        total, by_file = runs.run_callgrind(build, root, args.callgrind_writes)
        result["callgrind"] = {"writes": args.callgrind_writes, "per_write": total / args.callgrind_writes,
                               "by_file": {k: v / args.callgrind_writes for k, v in
                                           sorted(by_file.items(), key=lambda kv: -kv[1])}}
    shutil.rmtree(root, ignore_errors=True)
    return result


def fleet_report(result):
    """The rows of several adapters at once."""
    out = []
    if "fleet_update" in result:
        f = result["fleet_update"]
        out.append("| marrowlink update on %d adapters at once, process start to end (against the same on one) "
                   "| %.0f ms | %.0f ms | %.3f | ≤ %.2f: %s |"
                   % (f["count"], f["many_ms"], f["one_ms"], f["ratio"], TARGET_FLEET_UPDATE_RATIO,
                      verdict(f["ratio"] <= TARGET_FLEET_UPDATE_RATIO)))
        out.append("| the parent's own processor time in it (its %d children and their tools: %.0f ms) | %.1f ms | "
                   "| %.2f %% of the wall time | < %.0f %%: %s |"
                   % (f["count"], f["children_cpu_ms"], f["parent_cpu_ms"], f["parent_cpu_percent"],
                      TARGET_FLEET_PARENT_CPU_PERCENT,
                      verdict(f["parent_cpu_percent"] < TARGET_FLEET_PARENT_CPU_PERCENT)))
    if "fleet_probe" in result:
        p = result["fleet_probe"]
        out.append("| marrowlink ports --probe over %d simulated adapters (against the same over one; one probe in "
                   "the program itself, as each child runs it: %.0f ms) | %.0f ms | %.0f ms | %.3f | ≤ %.2f: %s |"
                   % (p["count"], p["alone_ms"], p["many_ms"], p["one_ms"], p["ratio"],
                      TARGET_FLEET_PROBE_RATIO, verdict(p["ratio"] <= TARGET_FLEET_PROBE_RATIO)))
    return out


def report(result):
    mach = result["machine"]
    head = ["Machine: %d processors, %s, Linux %s (load average at start %s). Medians of %d runs.\n"
            % (mach["nproc"], mach["cpu"], mach["kernel"], mach["load"], result["runs"])]
    if "update" not in result:
        return "\n".join(head + ["| measure | result | one alone | ratio | target |", "|---|---|---|---|---|"]
                         + fleet_report(result))
    u, b = result["update"], result["bcsp"]
    sync_ms = u["excess"][analyse.EXCESS_SYNC_WAIT]
    out = head
    out.append("| measure | result | floor or wire time | ratio | target |")
    out.append("|---|---|---|---|---|")
    out.append("| whole update, tool excluded (stand-in tool ran %.0f ms, inside the first poll) | %.0f ms | %.0f ms "
               "(pauses %d ms + %.1f ms on the line, %d bytes) | %.3f | ≤ %.2f: %s |"
               % (u["tool_span_ms"], u["wall_without_tool_ms"], u["floor_ms"], u["fixed_pauses_ms"], u["wire_ms"],
                  u["wire_bytes"], u["ratio"], TARGET_UPDATE_RATIO, verdict(u["ratio"] <= TARGET_UPDATE_RATIO)))
    out.append("| the same against the floor plus the waits for the chip's own SYNC | %.0f ms | %.0f ms | %.3f | |"
               % (u["wall_without_tool_ms"], u["floor_ms"] + sync_ms, u["wall_without_tool_ms"] / (u["floor_ms"] + sync_ms)))
    if "probe" in result:
        p = result["probe"]
        out.append("| marrowlink probe, process start to end | %.0f ms | %.0f ms (pauses %d ms + %.1f ms on the "
                   "line, %d bytes) | %.3f | ≤ %.2f: %s |"
                   % (p["wall_ms"], p["floor_ms"], p["fixed_pauses_ms"], p["wire_ms"], p["wire_bytes"], p["ratio"],
                      TARGET_PROBE_RATIO, verdict(p["ratio"] <= TARGET_PROBE_RATIO)))
    out.append("| ps_write round trip at 115200 8E1 (p90 %.2f ms; the chip's own reaction %.2f ms) | %.2f ms | "
               "%.2f ms (%d bytes) | %.3f | ≤ %.2f: %s |"
               % (b["round_trip_p90_ms"], b["chip_reaction_ms"], b["round_trip_ms"], b["round_trip_wire_ms"],
                  b["bytes_per_round_trip"], b["round_trip_ratio"], TARGET_ROUND_TRIP_RATIO,
                  verdict(b["round_trip_ratio"] <= TARGET_ROUND_TRIP_RATIO)))
    out.append("| link establishment, chip still linked (it answers at once) | %.2f ms | %.2f ms | %.2f | |"
               % (b["open_again_ms"], b["open_again_wire_ms"], b["open_again_ms"] / b["open_again_wire_ms"]))
    out.append("| link establishment, chip just started (of which waiting for its SYNC %.0f ms) | %.1f ms | %.2f ms | | |"
               % (b["open_fresh_sync_wait_ms"], b["open_fresh_ms"], b["open_fresh_wire_ms"]))
    out.append("| first ps_write after the link is up: chip just started / still linked | %.1f / %.1f ms | | | |"
               % (b["first_write_fresh_ms"], b["first_write_again_ms"]))
    out.append("| processor time of the whole update (updater only; with the tool %.1f ms) | %.1f ms | | %.2f %% "
               "of the wall time | < %.0f %%: %s |" % (u["cpu_with_tool_ms"], u["cpu_ms"], u["cpu_percent"],
                                                     TARGET_CPU_PERCENT, verdict(u["cpu_percent"] < TARGET_CPU_PERCENT)))
    out.append("| processor time while waiting for the key | | | %.3f %% | ≈ 0 |" % u["key_wait_cpu_percent"])
    out.append("| processor time while polling the tool | | | %.4f %% | ≈ 0 |" % u["tool_poll_cpu_percent"])
    out.append("| processor time per ps_write round trip (bcsp_bench) | %.0f µs | | %.1f %% of the round trip | |"
               % (b["round_trip_cpu_us"], 0.1 * b["round_trip_cpu_us"] / b["round_trip_ms"]))
    if "store" in result:
        st = result["store"]
        out.append("| store backup of every key the update writes, link up (%d reads; median of %d) | %.1f ms | "
                   "%.1f ms | %.3f | ≤ %.2f: %s |"
                   % (st["backup_reads"], st["backups"], st["backup_ms"], st["backup_wire_ms"], st["backup_ratio"],
                      TARGET_BACKUP_RATIO, verdict(st["backup_ratio"] <= TARGET_BACKUP_RATIO)))
    out += fleet_report(result)
    if "callgrind" in result:
        c = result["callgrind"]
        out.append("| instructions per ps_write (callgrind, %d writes) | %.0f | | | |" % (c["writes"], c["per_write"]))
        parts = ", ".join("%s %.0f" % (name, count) for name, count in list(c["by_file"].items())[:8])
        out.append("\nInstructions per ps_write by file: %s." % parts)
    out.append("\nTime above the floor of a whole update (%.0f ms), by what it waited for:\n" % u["excess_ms"])
    out.append("| | ms |")
    out.append("|---|---|")
    for key, value in u["excess"].items():
        out.append("| %s | %.1f |" % (key, value))
    return "\n".join(out)


COMPARED = [
    ("whole update, tool excluded (ms)", "update", "wall_without_tool_ms", "%.0f"),
    ("whole update / floor", "update", "ratio", "%.3f"),
    ("marrowlink probe (ms)", "probe", "wall_ms", "%.0f"),
    ("marrowlink probe / floor", "probe", "ratio", "%.3f"),
    ("time above the floor (ms)", "update", "excess_ms", "%.0f"),
    ("ps_write round trip (ms)", "bcsp", "round_trip_ms", "%.2f"),
    ("ps_write round trip, p90 (ms)", "bcsp", "round_trip_p90_ms", "%.2f"),
    ("ps_write round trip / wire time", "bcsp", "round_trip_ratio", "%.3f"),
    ("link establishment, chip still linked (ms)", "bcsp", "open_again_ms", "%.2f"),
    ("processor time of the whole update (ms)", "update", "cpu_ms", "%.1f"),
    ("processor time, % of the wall time", "update", "cpu_percent", "%.2f"),
    ("processor time while waiting for the key (%)", "update", "key_wait_cpu_percent", "%.3f"),
    ("processor time while polling the tool (%)", "update", "tool_poll_cpu_percent", "%.4f"),
    ("processor time per ps_write round trip (µs)", "bcsp", "round_trip_cpu_us", "%.0f"),
    ("store backup, link up (ms)", "store", "backup_ms", "%.1f"),
    ("store backup / wire time", "store", "backup_ratio", "%.3f"),
    ("instructions per ps_write", "callgrind", "per_write", "%.0f"),
    ("update on 4 adapters at once (ms)", "fleet_update", "many_ms", "%.0f"),
    ("update on 4 at once / on one", "fleet_update", "ratio", "%.3f"),
    ("its parent's processor time, % of the wall time", "fleet_update", "parent_cpu_percent", "%.2f"),
    ("ports --probe over 8 (ms)", "fleet_probe", "many_ms", "%.0f"),
    ("ports --probe over 8 / over one", "fleet_probe", "ratio", "%.3f"),
]


def comparison(before, after):
    out = ["| measure | before | after |", "|---|---|---|"]
    for label, part, key, form in COMPARED:
        if key in before.get(part, {}) and key in after.get(part, {}):
            out.append("| %s | %s | %s |" % (label, form % before[part][key], form % after[part][key]))
    if "update" not in before or "update" not in after:
        return "\n".join(out)
    for key in after["update"]["excess"]:
        out.append("| above the floor: %s (ms) | %.1f | %.1f |"
                   % (key, before["update"]["excess"].get(key, float("nan")), after["update"]["excess"][key]))
    return "\n".join(out)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--build", help="the benchmark build folder (build/bench)")
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--writes", type=int, default=50, help="ps_writes per BCSP session in bcsp_bench")
    parser.add_argument("--backups", type=int, default=3, help="store backups per BCSP session in bcsp_bench")
    parser.add_argument("--callgrind-writes", type=int, default=200, help="0: no callgrind run")
    parser.add_argument("--svg", help="write the timeline of the median run here")
    parser.add_argument("--json", help="write the raw figures here")
    parser.add_argument("--from-json", help="only print the report of earlier figures")
    parser.add_argument("--compare", help="also print these earlier figures (JSON) against the new ones")
    parser.add_argument("--fleet-only", action="store_true",
                        help="only the measures of several adapters at once (about a minute)")
    args = parser.parse_args()
    if args.from_json:
        with open(args.from_json) as handle:
            result = json.load(handle)
    elif not args.build:
        parser.error("--build or --from-json is required")
    else:
        result = measure(args)
    if args.json:
        with open(args.json, "w") as handle:
            json.dump(result, handle, indent=1)
    print(report(result))
    if args.compare:
        with open(args.compare) as handle:
            print("\n" + comparison(json.load(handle), result))


if __name__ == "__main__":
    main()
