"""The wire trace's costs: a whole update with and without --trace (medians,
against marrowlink-sim --pace-both), and `marrowlink trace show` of a trace
of 10,000 events.

    scripts/trace-bench [--runs N]

Runs the Linux build (build/linux, or MARROWLINK_BUILD_DIR) through the
end-to-end rig; the runs with and without a trace alternate so that a change
in the machine's load falls on both alike.
"""

import argparse
import json
import os
import statistics
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "e2e"))

from rig import LINUX_BUILD  # noqa: E402
from test_tool import ToolRig  # noqa: E402

TRACE_OVERHEAD_LIMIT = 0.02
SHOW_EVENTS = 10000
SHOW_LIMIT_S = 1.0


def update_seconds(trace_path):
    arguments = ["update", "--no-wait"] + (["--trace", trace_path] if trace_path else [])
    with ToolRig(arguments, sim_args=["--pace-both"]) as rig:
        run = rig.run()
    if run.exit_status != 0:
        raise RuntimeError("the update failed: " + run.transcript + run.errors)
    return run.elapsed_s


def long_trace(source, path, events_wanted):
    """A trace of events_wanted events: the source trace's events again and again, later each time."""
    with open(source) as handle:
        lines = [json.loads(line) for line in handle]
    header, events = lines[0], lines[1:]
    with open(path, "w") as out:
        out.write(json.dumps(header) + "\n")
        written, offset = 0, 0
        while written < events_wanted:
            for event in events[: events_wanted - written]:
                event = dict(event)
                event["t_us"] += offset
                out.write(json.dumps(event) + "\n")
                written += 1
            offset += events[-1]["t_us"] + 1000
    return written


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--runs", type=int, default=7)
    args = parser.parse_args()
    folder = tempfile.mkdtemp(prefix="marrowlink-trace-bench-")
    trace = os.path.join(folder, "update.jsonl")
    plain, traced = [], []
    for run in range(args.runs):
        order = (False, True) if run % 2 == 0 else (True, False)
        for with_trace in order:
            (traced if with_trace else plain).append(update_seconds(trace if with_trace else None))
    plain_s, traced_s = statistics.median(plain), statistics.median(traced)
    overhead = traced_s / plain_s - 1

    big = os.path.join(folder, "big.jsonl")
    events = long_trace(trace, big, SHOW_EVENTS)
    show_times = []
    for _ in range(5):
        started = time.monotonic()
        shown = subprocess.run([os.path.join(LINUX_BUILD, "marrowlink"), "trace", "show", big],
                               stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, check=True)
        show_times.append(time.monotonic() - started)
    show_s = statistics.median(show_times)

    print("| measure | median | limit | |")
    print("|---|---|---|---|")
    print("| whole update without --trace (%d runs) | %.3f s | | |" % (len(plain), plain_s))
    print("| whole update with --trace (%d runs) | %.3f s | | |" % (len(traced), traced_s))
    print("| --trace overhead | %+.2f %% | %.0f %% | %s |" % (100 * overhead, 100 * TRACE_OVERHEAD_LIMIT,
                                                          "ok" if overhead <= TRACE_OVERHEAD_LIMIT else "OVER"))
    print("| trace show of %d events (%d bytes) | %.3f s | %.1f s | %s |" % (
        events, os.path.getsize(big), show_s, SHOW_LIMIT_S, "ok" if show_s < SHOW_LIMIT_S else "OVER"))
    print("runs without: %s" % " ".join("%.3f" % s for s in plain))
    print("runs with:    %s" % " ".join("%.3f" % s for s in traced))
    print("(trace of one update: %d lines, %d bytes; files in %s)" % (
        sum(1 for _ in open(trace)), os.path.getsize(trace), folder))
    return 0 if overhead <= TRACE_OVERHEAD_LIMIT and show_s < SHOW_LIMIT_S else 1


if __name__ == "__main__":
    sys.exit(main())
