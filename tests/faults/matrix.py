"""Runs the fault matrix (faults.py) and prints or writes its table.

    python3 matrix.py [--quick] [--jobs N] [--builds linux,windows] [--only NAME ...] [--write FILE]

Every scenario runs end to end against its own simulator; --jobs runs that
many side by side (the runs mostly wait on time-outs, so more than the core
count is fine; each Windows run takes its own Wine prefix slot). The exit
status is 1 when any scenario failed a check. --write puts the table in FILE
(scripts/fault-matrix writes docs/fault-matrix.md).
"""

import argparse
import concurrent.futures
import datetime
import os
import platform
import sys
import time

import faults
import rig
import tool_faults

DEFAULT_JOBS = 4
NOTES = """Notes:

- Keys written: the keys the chip stored in the run (its `ps_write` events); "written though reported failed"
  marks a key whose write the chip carried out while the updater printed its failure line (its answer came
  too late): the safe direction, never the reverse.
- Late answers (the last two rows) found a product fault: the updater took a late answer to an earlier key
  for the answer to a later one, so with the answer to 0x03cc 5.03 s late and 0x04f8 refused by the chip,
  it printed `Writing Device Name failed` and reported the refused 0x04f8 as written. BCCMD now drops a
  late answer to a request it gave up on (by that request's seqno); the row is its end-to-end regression.
- Exit codes 259 and -5 are Windows-only rows: a POSIX exit status is 8 bits. The killed tool is a
  Linux-only row: the stand-in tool kills itself with SIGKILL (the updater reports 128 + 9).
- The chip's first boot after the download (`--chip-fault slow-boot:MS`): the link right after the tool
  waits POST_DOWNLOAD_LINK_TIMEOUT_MS (20 s), so a chip that answers 12 s after that open is configured in
  full (with the former 5 s bound the run printed `failed to start BCSP communication`, wrote no key and
  still ended `Update done`); a chip that never comes back is given up after the 20 s."""
# Scenarios longest first, so that the slow ones do not end the run alone.
LONG_FIRST = lambda scenario: -scenario.bound_s  # noqa: E731


def run_one(name, build):
    """In a worker process: one scenario, reduced to what the table needs."""
    scenario = next(s for s in faults.all_scenarios() if s.name == name)
    started = time.monotonic()
    try:
        outcome = faults.run_scenario(scenario, build)
    except Exception as error:  # a rig failure is a failed row, not a lost one
        return {"name": name, "build": build, "passed": False, "elapsed_s": time.monotonic() - started,
                "exit_status": None, "problems": ["rig: %s" % error], "notes": [], "counts": {},
                "written": 0}
    return {"name": name, "build": build, "passed": outcome.passed, "elapsed_s": outcome.run.elapsed_s,
            "exit_status": outcome.run.exit_status, "problems": outcome.problems, "notes": outcome.notes,
            "counts": faults.chip_counts(outcome.run),
            "written": len({e["key"] for e in outcome.run.events_named("ps_write")}),
            "transcript": outcome.run.transcript}


def run_tool_one(name):
    """In a worker process: one field-tool scenario (Linux build)."""
    scenario = next(s for s in tool_faults.scenarios() if s.name == name)
    started = time.monotonic()
    try:
        run, problems = tool_faults.run_scenario(scenario)
    except Exception as error:
        return {"name": name, "build": "linux", "passed": False, "elapsed_s": time.monotonic() - started,
                "exit_status": None, "problems": ["rig: %s" % error]}
    # A fleet's row has a run per adapter, all of one marrowlink.
    runs = run if isinstance(run, list) else [run]
    return {"name": name, "build": "linux", "passed": not problems, "elapsed_s": runs[0].elapsed_s,
            "exit_status": runs[0].exit_status, "problems": problems,
            "written": sorted({e["key"] for each in runs for e in each.events_named("ps_write")})}


def tool_table(scenarios, results):
    """The field tool's section: marrowlink interrupted while it writes to the chip."""
    by_name = {r["name"]: r for r in results}
    out = ["", "## The field tool: interrupts while the chip is written", "",
           "Each row runs one `marrowlink` command (Linux build) in a session of its own and sends SIGINT to its "
           "process group, as a terminal's Ctrl-C does, when the simulator logs the row's event or the stand-in "
           "download tool has started (tests/faults/tool_faults.py). A row passes when the exit status is the "
           "expected one, standard error carries the hold's notice and the line saying what was done, and the "
           "chip's store agrees: each key as it was or written whole, a started profile run to its reset.", "",
           "| # | Fault | Exit | Line on standard error | Linux time | Keys written | Result |",
           "|---|---|---|---|---|---|---|"]
    for number, scenario in enumerate(scenarios, 1):
        result = by_name.get(scenario.name)
        # The pattern as people read it: its escapes and anchors left out, ".*" as "...".
        line = (scenario.last_line.replace("\\", "").replace(".*", "...").lstrip("^").rstrip("$")
                .replace("|", "\\|"))
        if result is None:
            out.append("| %d | %s | %d | `%s` | not run | - | - |" % (number, scenario.fault, scenario.exit_status, line))
            continue
        out.append("| %d | %s | %d | `%s` | %.1f s | %s | %s |" % (
            number, scenario.fault, scenario.exit_status, line, result["elapsed_s"],
            ", ".join(result.get("written", [])) or "none", "pass" if result["passed"] else "**FAIL**"))
    return "\n".join(out) + "\n"


def condensed_outcome(scenario):
    """The lines that tell this run apart: the transcript without the contact
    lines and the closing lines, with how the run ends."""
    text = scenario.transcript
    version_head = faults.head(faults.CI_VERSION if scenario.ci else faults.STANDARD_VERSION)
    if text.startswith(version_head):
        text = text[len(version_head):]
    ending = ""
    if text.endswith(faults.CLOSING):
        text = text[:-len(faults.CLOSING)]
        ending = "closing lines, key wait"
    elif text.endswith(faults.ABORT):
        text = text[:-len(faults.ABORT)]
        ending = "abort prompt, key wait"
    elif not scenario.waits_for_key:
        ending = "ends without key wait"
    lines = [line.rstrip("\n").replace("|", "\\|") for line in text.splitlines(keepends=True)]
    if text.startswith("Contacting Marrowlink\n"):
        lines = lines[1:]
    shown = " ⏎ ".join("`%s`" % line for line in lines)
    if scenario.lossy:
        shown += " (or a legal variant with failure lines: at 5 % single steps may fail within the limits)"
    return shown + (" → " + ending if ending else "")


def table(scenarios, results, builds, quick):
    by_key = {(r["name"], r["build"]): r for r in results}
    out = []
    stamp = datetime.datetime.now().strftime("%Y-%m-%d %H:%M")
    out.append("# Fault matrix\n")
    out.append("Generated by `scripts/fault-matrix` on %s (%s, %d cores)%s. Every row is one whole run of the "
               "updater against `marrowlink-sim` on a pseudo-terminal (tests/faults/faults.py). A row passes when "
               "the console shows exactly the expected lines, the exit status and the key wait are as expected, "
               "the run ends within its bound, and the chip's persistent store agrees with the console: every "
               "key without a failure line was written with its value (the chip's `ps_write` event and the store "
               "file), no key outside the run's profile was written, and no failed counted key is followed by "
               "`SUCCESS`.\n"
               % (stamp, platform.node() or "this machine", os.cpu_count() or 0, " (quick subset)" if quick else ""))
    out.append("Outcome: the lines after `Current Firmware Version is ...` (or after `Contacting Marrowlink`), "
               "without the closing lines `Update done` / `Please power off and on Marrowlink Device` / "
               "`Press any key to exit the update program` or the abort prompt `Update Aborted, press any key "
               "to exit`; ⏎ separates lines. Bound: the sum of the updater's own waits along the path the fault "
               "leads to, each wait that the fault can make run out counted at its full limit "
               "(BCSP_LINK_TIMEOUT_MS 5 s, POST_DOWNLOAD_LINK_TIMEOUT_MS 20 s after the tool, BCSP_SEND_TIMEOUT_MS 2 s, BCSP_RECEIVE_TIMEOUT_MS 5 s, "
               "IDENTIFY_VERSION_WAIT_MS 10 s, a 1.5 s command-port read, the fixed pauses), "
               "x %.2f + %.0f s for start-up and load. Times are wall time from the updater's start to its exit, "
               "including the rig's %.1f s look at a key wait.\n"
               % (faults.SLACK_FACTOR, faults.SLACK_S, faults.KEY_CHECK_S))
    header = "| # | Fault | Outcome | Exit | " + " | ".join("%s time" % b.capitalize() for b in builds) + \
             " | Bound | Keys written | Result |"
    out.append(header)
    out.append("|" + "---|" * (header.count("|") - 1))
    worst_ratio = 0.0
    worst_time = (0.0, "")
    failed = 0
    for number, scenario in enumerate(scenarios, 1):
        cells = []
        verdicts = []
        written = ""
        notes = []
        for build in builds:
            result = by_key.get((scenario.name, build))
            if result is None:
                cells.append("n/a" if not faults.runs_on(scenario, build) else "not run")
                continue
            cells.append("%.1f s" % result["elapsed_s"])
            worst_ratio = max(worst_ratio, result["elapsed_s"] / scenario.bound_s)
            worst_time = max(worst_time, (result["elapsed_s"], scenario.fault))
            written = written or str(result["written"])
            notes += [note for note in result["notes"] if note not in notes]
            verdicts.append("pass" if result["passed"] else "**FAIL**")
            failed += 0 if result["passed"] else 1
        if notes:
            written += " (" + "; ".join(notes) + ")"
        exit_text = str(scenario.exit_status)
        if scenario.windows_only:
            exit_text += " (%s)" % scenario.windows_only
        out.append("| %d | %s | %s | %s | %s | %.1f s | %s | %s |" % (
            number, scenario.fault, condensed_outcome(scenario), exit_text, " | ".join(cells), scenario.bound_s,
            written or "-", ", ".join(verdicts) or "-"))
    out.append("")
    out.append("%d faults, %d runs, %d failed. Longest run %.1f s (%s); closest to its bound: %.0f %%." % (
        len(scenarios), len(results), failed, worst_time[0], worst_time[1], 100 * worst_ratio))
    out.append("")
    out.append(NOTES)
    out.append("")
    out.append("The ctest entries (label `faults`, tests/faults/test_faults.py) run the rows marked quick in "
               "faults.py, one class per group; `scripts/fault-matrix` runs every row. Exact expected console "
               "lines for each row are in faults.py.")
    return "\n".join(out) + "\n"


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true", help="only the ctest subset")
    parser.add_argument("--jobs", type=int, default=DEFAULT_JOBS)
    parser.add_argument("--builds", default=rig.BUILD, help="comma-separated: linux, windows")
    parser.add_argument("--only", nargs="*", default=None, help="scenario names")
    parser.add_argument("--write", help="write the markdown table to this file")
    args = parser.parse_args(argv)

    builds = args.builds.split(",")
    scenarios = [s for s in faults.all_scenarios()
                 if (not args.quick or s.quick) and (args.only is None or s.name in args.only)]
    jobs = [(s.name, b) for s in sorted(scenarios, key=LONG_FIRST) for b in builds if faults.runs_on(s, b)]
    tool_scenarios = [s for s in tool_faults.scenarios() if (not args.quick or s.quick)
                      and (args.only is None or s.name in args.only)] if "linux" in builds else []
    results = []
    started = time.monotonic()
    with concurrent.futures.ProcessPoolExecutor(max_workers=args.jobs) as pool:
        futures = [pool.submit(run_one, name, build) for name, build in jobs]
        futures += [pool.submit(run_tool_one, s.name) for s in tool_scenarios]
        for future in concurrent.futures.as_completed(futures):
            result = future.result()
            results.append(result)
            print("%-4s %-8s %-45s %6.1f s  exit %s%s" % (
                "ok" if result["passed"] else "FAIL", result["build"], result["name"], result["elapsed_s"],
                result["exit_status"], "".join("\n      " + p.replace("\n", "\n      ") for p in result["problems"])),
                flush=True)
    tool_names = {s.name for s in tool_scenarios}
    text = table(scenarios, [r for r in results if r["name"] not in tool_names], builds, args.quick)
    if tool_scenarios:
        text += tool_table(tool_scenarios, [r for r in results if r["name"] in tool_names])
    if args.write:
        with open(args.write, "w") as handle:
            handle.write(text)
    failed = sum(1 for r in results if not r["passed"])
    print("%d passed, %d failed (%d scenarios, %.0f s)" % (len(results) - failed, failed,
                                                          len(scenarios) + len(tool_scenarios),
                                                          time.monotonic() - started))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
