"""The fault matrix's field-tool section: marrowlink interrupted while it
writes to the chip, end to end against marrowlink-sim.

Each scenario runs one marrowlink command in a session of its own and sends
SIGINT to its whole process group, as a terminal's Ctrl-C does, when the
simulator logs the scenario's event (or, for the download tool, when the
stand-in tool has recorded its start): never after a fixed sleep. A row
passes when the exit status is the expected one, standard error carries the
hold's notice and a last line that says what was done, and the chip's store
agrees: every key is either as it was or written whole (with its read-back
for the store commands), and a profile that was started ran to its reset.

Linux only: the Windows build gets its console events from Windows itself.
"""

import os
import re
import signal
import subprocess
import sys
import time
from dataclasses import dataclass, field

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "e2e"))

import rig  # noqa: E402
from test_fleet import MARROWLINK, Fleet  # noqa: E402
from test_tool import ToolRig  # noqa: E402

BUILD_ID = 4711
TOOL_RUN_MS = 4000           # the stand-in download tool's run: room for two interrupts
SECOND_INTERRUPT_S = 0.5     # the second of two, well inside the 3 s insist window
ANSWER_DELAY_MS = 300        # each BCCMD answer held back: the interrupt lands inside a key
RUN_BOUND_S = 60.0

PREPARE_NOTICE = "interrupted: finishing the chip's preparation for the download"
KEY_NOTICE = "interrupted: finishing the key being written and checking it"
DOWNLOAD_NOTICE = "interrupted: the download tool is writing the adapter's firmware"
# The values the restore file gives, each unlike the simulator's fresh store.
RESTORED = {0x024B: [0x0031], 0x025D: [0x0000], 0x03CC: [0x0001]}
POST_SUCCESS_KEYS = {0x03CC, 0x01F9, 0x025D, 0x01C2, 0x03CD, 0x04B1, 0x04F8, 0x0108, 0x0229}
POST_FAILED_KEYS = {0x03CC, 0x01F9, 0x025D, 0x01C2, 0x0191}


@dataclass
class ToolScenario:
    name: str
    fault: str
    command: list            # marrowlink's arguments before --port
    trigger: tuple           # ("event", name) on the simulator's log, or ("tool", None): the stand-in started
    interrupts: int
    exit_status: int
    notice: str
    last_line: str           # a regular expression a line of standard error must match: what was done
    check: object            # run (a list, one per adapter, when several) -> problems about the store and events
    sim_args: list = field(default_factory=list)
    restore_file: bool = False
    group: str = "ToolInterrupts"
    quick: bool = True
    bound_s: float = RUN_BOUND_S
    adapters: int = 1        # more: updated at once by one marrowlink (FleetInterruptRig)


@dataclass
class ToolRunResult:
    exit_status: int
    out: str
    err: str
    events: list
    store: dict
    tool_calls: list
    work: str
    elapsed_s: float

    def events_named(self, name):
        return [e for e in self.events if e.get("ev") == name]

    def keys(self, name):
        return [int(e["key"], 16) for e in self.events_named(name)]


def _check_restore(run):
    problems = []
    written = run.keys("ps_write")
    if written != [0x024B]:
        problems.append("keys written %s, expected the first key only" % [hex(k) for k in written])
    if run.store.get(0x024B) != RESTORED[0x024B]:
        problems.append("the first key holds %s" % run.store.get(0x024B))
    reads_after = [k for k in run.keys("ps_read") if k == 0x024B]
    if not reads_after:
        problems.append("the first key was not read back")
    for key in (0x025D, 0x03CC):
        if run.store.get(key) == RESTORED[key]:
            problems.append("key 0x%04x was written after the interrupt" % key)
    if run.events_named("reset_request"):
        problems.append("a reset was sent after the interrupt")
    return problems


def _check_prepared(run):
    problems = []
    if run.keys("ps_write") != [0x024B]:
        problems.append("keys written %s, expected the crystal key only" % [hex(k) for k in run.keys("ps_write")])
    resets = [e.get("reason") for e in run.events_named("reset_request")]
    if resets != ["ps_defrag_reset"]:
        problems.append("resets %s: the preparation must end with its defragmenting reset" % resets)
    if run.tool_calls:
        problems.append("the download tool was started")
    return problems


def _check_restored_after(expected_keys, tool_ok):
    def check(run):
        problems = []
        written = set(run.keys("ps_write")) - {0x024B}
        if written != expected_keys:
            problems.append("after the download: keys %s, expected %s"
                            % (sorted(hex(k) for k in written), sorted(hex(k) for k in expected_keys)))
        if [e.get("reason") for e in run.events_named("reset_request")][-1:] != ["cold_reset"]:
            problems.append("no cold reset after the configuration")
        if ("Update successful !\n" in run.out) != tool_ok:
            problems.append("the download tool's end: %s" % ("succeeded" if not tool_ok else "did not succeed"))
        return problems
    return check


def _check_nothing_written(run):
    problems = []
    if run.events_named("ps_write"):
        problems.append("keys were written: %s" % [hex(k) for k in run.keys("ps_write")])
    if run.tool_calls:
        problems.append("the download tool was started")
    if os.path.exists(os.path.join(run.work, "before.txt")):
        problems.append("a backup cut short was written")
    return problems


def scenarios():
    delay = ["--chip-answer-delay", str(ANSWER_DELAY_MS)]
    return FLEET_SCENARIOS + [
        ToolScenario("restore_interrupted_in_its_first_key", "store restore: Ctrl-C while the first of 3 keys "
                     "is written (each answer 0.3 s late)",
                     ["store", "restore", "restore.txt"], ("event", "ps_write"), 1, 130, KEY_NOTICE,
                     r"^error: restoring restore\.txt: interrupted: stopped after 1 of 3 keys \(1 written and "
                     r"verified\); the other 2 are as they were; no cold reset was sent",
                     _check_restore, sim_args=delay, restore_file=True),
        ToolScenario("update_interrupted_in_the_preparation", "update: Ctrl-C while the pre-update profile writes "
                     "its key (each answer 0.3 s late)",
                     ["update", "--no-wait"], ("event", "ps_write"), 1, 130, PREPARE_NOTICE,
                     r"^error: updating the adapter: interrupted after the chip was prepared for the download",
                     _check_prepared, sim_args=delay),
        ToolScenario("update_interrupted_in_the_backup", "update --backup: Ctrl-C while the backup reads the "
                     "store (each answer 0.3 s late)",
                     ["update", "--no-wait", "--backup", "before.txt"], ("event", "ps_read"), 1, 130,
                     PREPARE_NOTICE,
                     r"^error: updating the adapter: interrupted before anything was written to the chip",
                     _check_nothing_written, sim_args=delay),
        ToolScenario("update_interrupted_once_in_the_download", "update: one Ctrl-C while the download tool runs",
                     ["update", "--no-wait"], ("tool", None), 1, 0, DOWNLOAD_NOTICE,
                     r"^warning: an interrupt came .*; nothing was skipped$",
                     _check_restored_after(POST_SUCCESS_KEYS, tool_ok=True)),
        ToolScenario("update_interrupted_twice_in_the_download", "update: two Ctrl-C 0.5 s apart while the "
                     "download tool runs",
                     ["update", "--no-wait"], ("tool", None), 2, 130, DOWNLOAD_NOTICE,
                     r"^hint: the adapter may be without firmware",
                     _check_restored_after(POST_FAILED_KEYS, tool_ok=False)),
    ]


def _logged(events_paths, name):
    """Whether any of the simulators' event logs holds an event called name."""
    for path in events_paths:
        if os.path.exists(path):
            with open(path) as handle:
                if '"ev":"%s"' % name in handle.read():
                    return True
    return False


def _interrupt(scenario, command, cwd, env, triggered, errors_path):
    """Runs command in a session of its own and sends SIGINT to its process
    group, as a terminal's Ctrl-C, once triggered() (the second, if the
    scenario has two, SECOND_INTERRUPT_S later); kills it at the scenario's
    bound. Returns (exit status, out, err, elapsed s, interrupts sent)."""
    started = time.monotonic()
    with open(errors_path, "wb") as errors:
        process = subprocess.Popen(command, cwd=cwd, env=env, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                   stderr=errors, start_new_session=True)
    deadline = started + scenario.bound_s
    sent = 0
    while process.poll() is None and time.monotonic() < deadline and sent == 0:
        if triggered():
            for sent in range(1, scenario.interrupts + 1):
                if sent > 1:
                    time.sleep(SECOND_INTERRUPT_S)
                os.killpg(process.pid, signal.SIGINT)
        time.sleep(0.01)
    try:
        out, _ = process.communicate(timeout=max(1.0, deadline - time.monotonic()))
    except subprocess.TimeoutExpired:
        os.killpg(process.pid, signal.SIGKILL)
        out, _ = process.communicate()
    elapsed = time.monotonic() - started
    with open(errors_path, "rb") as errors:
        err = errors.read().decode("latin-1")
    return process.returncode, out.decode("latin-1"), err, elapsed, sent


class InterruptRig(ToolRig):
    """marrowlink in a session of its own, interrupted as its scenario says."""

    def __init__(self, scenario):
        super().__init__(scenario.command, tool_run_ms=TOOL_RUN_MS,
                         sim_args=["--build-id", str(BUILD_ID)] + scenario.sim_args)
        self.scenario = scenario

    def _triggered(self):
        kind, name = self.scenario.trigger
        if kind == "tool":
            return os.path.exists(self.tool_record)
        return _logged([self.events], name)

    def run_interrupted(self):
        """([the run], interrupts sent)."""
        self._prepare_folder()
        if self.scenario.restore_file:
            with open(os.path.join(self.work, "restore.txt"), "w") as handle:
                for key, words in RESTORED.items():
                    handle.write("0x%04x = %s\n" % (key, " ".join("0x%04x" % w for w in words)))
        self.start_sim()
        status, out, err, elapsed, sent = _interrupt(self.scenario, self.updater_command(), self.work,
                                                     self.environment(), self._triggered,
                                                     os.path.join(self.folder, "program.err"))
        self.stop_sim()
        return [ToolRunResult(status, out, err, rig.read_events(self.events), rig.read_store(self.store),
                              self._tool_calls(), self.work, elapsed)], sent


class FleetInterruptRig(Fleet):
    """The scenario's adapters updated at once, each a simulator of its own;
    SIGINT to the parent's process group when any simulator logs the
    scenario's event. The parent passes it on to each child (they run in
    process groups of their own)."""

    def __init__(self, scenario):
        super().__init__(*[["--build-id", str(BUILD_ID)] + scenario.sim_args] * scenario.adapters)
        self.scenario = scenario

    def run_interrupted(self):
        """(a run per adapter, each with the parent's exit status and output, interrupts sent)."""
        env = self.adapters.environment()
        env["DFUWIZARD_RECORD"] = os.path.join(self.work, "tool-{port}.log")
        command = [MARROWLINK] + self.scenario.command
        for port in self.ports:
            command += ["--port", port]
        events = [adapter.events for adapter in self.adapters.rigs]
        status, out, err, elapsed, sent = _interrupt(
            self.scenario, command, self.work, env, lambda: _logged(events, self.scenario.trigger[1]),
            os.path.join(self.work, "program.err"))
        for adapter in self.adapters.rigs:
            adapter.stop_sim()
        tool_calls = [name for name in os.listdir(self.work) if name.startswith("tool-")]
        return [ToolRunResult(status, out, err, rig.read_events(adapter.events), rig.read_store(adapter.store),
                              tool_calls, self.work, elapsed) for adapter in self.adapters.rigs], sent


def _check_fleet_prepared_or_untouched(runs):
    """Each adapter's chip: untouched (interrupted before its preparation) or
    prepared whole (its key and its defragmenting reset); no download."""
    problems = []
    for number, run in enumerate(runs):
        written = run.keys("ps_write")
        resets = [e.get("reason") for e in run.events_named("reset_request")]
        if written not in ([], [0x024B]) or (written and resets != ["ps_defrag_reset"]) or (not written and resets):
            problems.append("adapter %d: keys %s, resets %s: neither untouched nor prepared whole"
                            % (number, [hex(k) for k in written], resets))
    if runs and runs[0].tool_calls:
        problems.append("a download tool was started: %s" % runs[0].tool_calls)
    return problems


FLEET_SCENARIOS = [
    ToolScenario("fleet_interrupted_in_the_preparation", "update of two adapters at once: Ctrl-C while a "
                 "pre-update profile writes its key (each answer 0.3 s late)",
                 ["update", "--no-wait"], ("event", "ps_write"), 1, 130,
                 "interrupted: each adapter finishes the step it is in",
                 r"^error: updating the adapters: interrupted: 0 of 2 adapters updated",
                 _check_fleet_prepared_or_untouched, sim_args=["--chip-answer-delay", str(ANSWER_DELAY_MS)],
                 adapters=2),
]


def run_scenario(scenario):
    """(the run, or for several adapters a list of runs, one each; problems)."""
    fleet = scenario.adapters > 1
    with (FleetInterruptRig if fleet else InterruptRig)(scenario) as interrupt_rig:
        runs, sent = interrupt_rig.run_interrupted()
    run = runs[0]
    problems = []
    if sent != scenario.interrupts:
        problems.append("the trigger never came: %d of %d interrupts sent" % (sent, scenario.interrupts))
    if run.exit_status != scenario.exit_status:
        problems.append("exit status %s, expected %d" % (run.exit_status, scenario.exit_status))
    if scenario.notice not in run.err:
        problems.append("no notice %r on standard error" % scenario.notice)
    if not re.search(scenario.last_line, run.err, re.M):
        problems.append("no line of standard error matches %r" % scenario.last_line)
    if run.elapsed_s > scenario.bound_s:
        problems.append("took %.1f s" % run.elapsed_s)
    if fleet:
        summary = [line for line in run.out.splitlines() if re.match(r"^ttyFLEET\d\s{2,}.*\binterrupted in ", line)]
        if len(summary) != scenario.adapters:
            problems.append("the summary does not say where each adapter stood:\n" + run.out)
    problems += scenario.check(runs if fleet else run)
    if problems:
        problems.append("standard error:\n" + run.err)
    return (runs if fleet else run), problems
