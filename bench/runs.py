"""Running the programs under measurement: whole updates against the simulator,
the BCSP bench program, and the same under callgrind.

Every time here is CLOCK_MONOTONIC in microseconds (Python's time.monotonic_ns
reads the same clock as the simulator's events and bcsp_bench's records).
"""

import json
import os
import re
import shutil
import signal
import subprocess
import tempfile
import threading
import time
from dataclasses import dataclass, field

SIM_READY_TIMEOUT_S = 10.0
# Longest a whole update may take before the bench gives up on it.
UPDATE_TIMEOUT_S = 60.0
# How long the bench leaves the program in its final key wait before pressing
# a key, to sample its processor time while it waits.
KEY_WAIT_SAMPLE_S = 2.0
# The stand-in tool's run: well inside the first one-second exit-code poll.
TOOL_RUN_MS = 300

KEY_PROMPT = "Press any key to exit the update program"
TOOL_STARTED = "Update Wizard started succefully"
TOOL_REPORT_PREFIXES = ("Update successful !", "Update Wizard terminated with error:", "GetExitCode failed !!")

CLOCK_TICKS = os.sysconf("SC_CLK_TCK")


def now_us():
    return time.monotonic_ns() // 1000


@dataclass
class Build:
    """The binaries of one benchmark build (scripts/bench builds them in build/bench)."""
    folder: str

    def path(self, *parts):
        return os.path.join(self.folder, *parts)

    @property
    def updater(self):
        return self.path("marrowlink-update")

    @property
    def field_tool(self):
        return self.path("marrowlink")

    @property
    def sim(self):
        return self.path("marrowlink-sim")

    @property
    def tool(self):
        return self.path("DFUWizard")

    @property
    def tool_span(self):
        return self.path("tool_span")

    @property
    def bcsp_bench(self):
        return self.path("bcsp_bench")

    @property
    def fake_port_tree(self):
        return self.path("fake-port-tree")

    @property
    def fixture(self):
        return self.path("product", "tests", "nullmodem", "libnullmodem.so")


def process_cpu_ns(pid):
    """Processor time of a running process so far: (schedstat ns, utime+stime ns from /proc/<pid>/stat).

    schedstat counts nanoseconds on the processor; utime and stime are clock
    ticks (10 ms), kept as a cross-check. None when the process has gone.
    """
    try:
        with open("/proc/%d/schedstat" % pid) as handle:
            on_cpu_ns = int(handle.read().split()[0])
        with open("/proc/%d/stat" % pid) as handle:
            fields = handle.read().rsplit(")", 1)[1].split()
        ticks = int(fields[11]) + int(fields[12])  # utime, stime (fields 14 and 15)
        return on_cpu_ns, ticks * 1_000_000_000 // CLOCK_TICKS
    except (OSError, IndexError, ValueError):
        return None


def read_events(path):
    events = []
    if os.path.exists(path):
        with open(path) as handle:
            for line in handle:
                line = line.strip()
                if line:
                    events.append(json.loads(line))
    return events


class Simulator:
    """marrowlink-sim on a pseudo-terminal in folder, pacing both directions."""

    def __init__(self, build, folder, extra_args=(), lines=None):
        self.folder = folder
        self.link = os.path.join(folder, "com1")
        # lines: a log name with "{pty}", shared by several simulators (see Fleet).
        self.lines = lines or os.path.join(folder, "lines.log")
        self.events = os.path.join(folder, "events.jsonl")
        ready = os.path.join(folder, "sim.ready")
        command = [build.sim, "--link", self.link, "--lines", self.lines, "--events", self.events,
                   "--ready-file", ready, "--store", os.path.join(folder, "store.txt"),
                   "--pace-both"] + list(extra_args)
        self.process = subprocess.Popen(command, stdin=subprocess.DEVNULL,
                                        stdout=open(os.path.join(folder, "sim.out"), "w"),
                                        stderr=subprocess.STDOUT)
        deadline = time.monotonic() + SIM_READY_TIMEOUT_S
        while not os.path.exists(ready):
            if self.process.poll() is not None or time.monotonic() > deadline:
                self.stop()
                raise RuntimeError("marrowlink-sim did not start (see %s/sim.out)" % folder)
            time.sleep(0.01)

    def stop(self):
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
            try:
                self.process.wait(timeout=5)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        return read_events(self.events)

    def port_environment(self, build):
        return {"COM1_DEVICE": self.link, "NULLMODEM_LOG": self.lines, "LD_PRELOAD": build.fixture}


@dataclass
class ConsoleLine:
    t_us: int
    text: str
    cpu: tuple  # process_cpu_ns() when the line arrived


@dataclass
class UpdateRun:
    start_us: int
    lines: list
    events: list
    exit_status: int
    tool_spans: list                  # (start_us, end_us, status) from tool_span
    key_wait: tuple                   # (t0_us, cpu0, t1_us, cpu1) around the final key wait
    rusage_cpu_s: float               # the updater with its reaped children (the tool), from wait4
    folder: str = ""
    notes: list = field(default_factory=list)

    def line(self, text_or_prefixes):
        prefixes = (text_or_prefixes,) if isinstance(text_or_prefixes, str) else text_or_prefixes
        for line in self.lines:
            if line.text.startswith(prefixes):
                return line
        return None


def _images_folder(work):
    """The DFUWizard folder in work with the two stand-in images."""
    tool_folder = os.path.join(work, "DFUWizard")
    os.makedirs(tool_folder)
    for image in ("Marrowlink_1_2_10.dfu", "Skerrymod_1_2_10.dfu"):
        with open(os.path.join(tool_folder, image), "wb") as handle:
            handle.write(b"stand-in image\n")
    return tool_folder


def _prepare_tool_folder(build, work):
    tool_folder = _images_folder(work)
    # The updater starts "DFUWizard" from this folder: the span recorder,
    # which runs the real stand-in next to it.
    shutil.copy2(build.tool_span, os.path.join(tool_folder, "DFUWizard"))
    shutil.copy2(build.tool, os.path.join(tool_folder, "DFUWizard.real"))
    return tool_folder


def run_update(build, root, keep=False):
    """One whole update (standard firmware, successful download) against the simulator."""
    folder = tempfile.mkdtemp(prefix="update-", dir=root)
    work = os.path.join(folder, "work")
    os.makedirs(work)
    tool_folder = _prepare_tool_folder(build, work)
    spans_path = os.path.join(folder, "tool-span.txt")
    sim = Simulator(build, folder)
    env = dict(os.environ)
    env.update(sim.port_environment(build))
    env.update({"DFUWIZARD_RECORD": os.path.join(folder, "tool.log"), "DFUWIZARD_EXIT_CODE": "0",
                "DFUWIZARD_RUN_MS": str(TOOL_RUN_MS),
                "BENCH_TOOL_REAL": os.path.join(tool_folder, "DFUWizard.real"), "BENCH_TOOL_SPAN": spans_path})
    lines = []
    key_wait = None
    try:
        start = now_us()
        process = subprocess.Popen([build.updater], cwd=work, env=env, stdin=subprocess.PIPE,
                                   stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        watchdog = threading.Timer(UPDATE_TIMEOUT_S, process.kill)
        watchdog.start()
        try:
            for raw in iter(process.stdout.readline, b""):
                t = now_us()
                cpu = process_cpu_ns(process.pid)
                text = raw.decode("latin-1").rstrip("\n")
                lines.append(ConsoleLine(t, text, cpu))
                if text == KEY_PROMPT:
                    # The update is over; the program now only waits for a key.
                    time.sleep(KEY_WAIT_SAMPLE_S)
                    key_wait = (t, cpu, now_us(), process_cpu_ns(process.pid))
                    process.stdin.write(b"k")
                    process.stdin.flush()
            _, status, usage = os.wait4(process.pid, 0)
            process.returncode = os.waitstatus_to_exitcode(status)
        finally:
            watchdog.cancel()
    finally:
        events = sim.stop()
    spans = []
    if os.path.exists(spans_path):
        with open(spans_path) as handle:
            spans = [tuple(int(word) for word in line.split()) for line in handle if line.strip()]
    run = UpdateRun(start_us=start, lines=lines, events=events, exit_status=process.returncode,
                    tool_spans=spans, key_wait=key_wait, rusage_cpu_s=usage.ru_utime + usage.ru_stime,
                    folder=folder)
    if not keep:
        shutil.rmtree(folder, ignore_errors=True)
    return run


@dataclass
class ProbeRun:
    start_us: int
    end_us: int       # the process has ended
    exit_status: int
    output: str
    events: list


def run_probe(build, root, keep=False):
    """marrowlink probe on the simulator's pseudo-terminal, named by --port."""
    folder = tempfile.mkdtemp(prefix="probe-", dir=root)
    sim = Simulator(build, folder)
    env = dict(os.environ)
    env.update(sim.port_environment(build))
    try:
        start = now_us()
        process = subprocess.run([build.field_tool, "probe", "--port", sim.link], env=env,
                                 stdin=subprocess.DEVNULL, capture_output=True, timeout=UPDATE_TIMEOUT_S)
        end = now_us()
    finally:
        events = sim.stop()
    if not keep:
        shutil.rmtree(folder, ignore_errors=True)
    return ProbeRun(start_us=start, end_us=end, exit_status=process.returncode,
                    output=(process.stdout + process.stderr).decode("latin-1"), events=events)


@dataclass
class BcspRun:
    calls: list      # bcsp_bench's records
    events: list
    cpu_s: float     # bcsp_bench's own processor time


def run_bcsp_bench(build, root, writes, cycles=1, words=1, backups=0, keep=False):
    """bcsp_bench against marrowlink-sim --chip-only, both directions paced."""
    folder = tempfile.mkdtemp(prefix="bcsp-", dir=root)
    sim = Simulator(build, folder, ["--chip-only"])
    env = dict(os.environ)
    env.update(sim.port_environment(build))
    try:
        process = subprocess.Popen([build.bcsp_bench, "--writes", str(writes), "--cycles", str(cycles),
                                    "--words", str(words), "--backups", str(backups)],
                                   env=env, stdout=subprocess.PIPE)
        watchdog = threading.Timer(UPDATE_TIMEOUT_S, process.kill)
        watchdog.start()
        try:
            output = process.stdout.read()
            _, status, usage = os.wait4(process.pid, 0)
            process.returncode = os.waitstatus_to_exitcode(status)
        finally:
            watchdog.cancel()
    finally:
        events = sim.stop()
    cpu = usage.ru_utime + usage.ru_stime
    calls = [json.loads(line) for line in output.decode().splitlines() if line.startswith("{")]
    if process.returncode != 0 or any(not call["ok"] for call in calls):
        raise RuntimeError("bcsp_bench failed (exit %s); folder %s" % (process.returncode, folder))
    if not keep:
        shutil.rmtree(folder, ignore_errors=True)
    return BcspRun(calls=calls, events=events, cpu_s=cpu)


def run_callgrind(build, root, writes):
    """bcsp_bench under callgrind, counting only inside ps_write. Returns (total Ir, Ir by file)."""
    folder = tempfile.mkdtemp(prefix="callgrind-", dir=root)
    sim = Simulator(build, folder, ["--chip-only"])
    env = dict(os.environ)
    env.update(sim.port_environment(build))
    out_file = os.path.join(folder, "callgrind.out")
    try:
        subprocess.run(["valgrind", "--tool=callgrind", "--toggle-collect=*ps_write*",
                        "--callgrind-out-file=" + out_file, build.bcsp_bench, "--writes", str(writes)],
                       env=env, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                       timeout=600)
    finally:
        sim.stop()
    annotated = subprocess.run(["callgrind_annotate", "--inclusive=no", "--threshold=100", out_file],
                               check=True, capture_output=True, text=True).stdout
    total = None
    by_file = {}
    for line in annotated.splitlines():
        match = re.match(r"\s*([\d,]+)\s+(?:\([\d. %]+\)\s+)?PROGRAM TOTALS", line)
        if match:
            total = int(match.group(1).replace(",", ""))
            continue
        match = re.match(r"\s*([\d,]+)\s+(?:\([\d. %]+\)\s+)?(\S.*?):(\S.*?)\s+\[(.*)\]\s*$", line)
        if match:
            count = int(match.group(1).replace(",", ""))
            source = match.group(2)
            obj = os.path.basename(match.group(4))
            key = os.path.basename(source) if source != "???" else obj
            by_file[key] = by_file.get(key, 0) + count
    shutil.rmtree(folder, ignore_errors=True)
    return total, by_file


class Fleet:
    """count simulators, each on a pseudo-terminal of its own, pacing both
    directions; the fixture keeps a line log per port ("{pty}" in its name),
    and each simulator follows its own."""

    def __init__(self, build, folder, count):
        self.lines = os.path.join(folder, "lines-{pty}.log")
        self.sims = []
        try:
            for number in range(count):
                sim_folder = os.path.join(folder, "sim-%d" % number)
                os.makedirs(sim_folder)
                self.sims.append(Simulator(build, sim_folder, lines=self.lines))
        except BaseException:
            self.stop()
            raise

    def stop(self):
        return [sim.stop() for sim in self.sims]

    def environment(self, build):
        env = dict(os.environ)
        env.pop("COM1_DEVICE", None)
        # No device named: the fixture looks after every pseudo-terminal.
        env.pop("NULLMODEM_DEVICE", None)
        env.update({"NULLMODEM_LOG": self.lines, "LD_PRELOAD": build.fixture})
        return env


@dataclass
class TimedRun:
    wall_us: int          # process start to its exit
    exit_status: int
    own_cpu_ns: int       # the process itself (schedstat), read once it has exited, before it is reaped
    own_cpu_tick_ns: int  # the same from utime + stime (clock ticks), a cross-check
    all_cpu_s: float      # with every child it reaped (wait4)
    output: str


def run_timed(command, cwd, env, timeout_s=UPDATE_TIMEOUT_S):
    """Runs command with its output in files; its own processor time is read
    from /proc while it is a zombie (waited for with WNOWAIT), so that what
    its children used is not counted."""
    out_path = os.path.join(cwd, ".bench-output.txt")
    with open(out_path, "wb") as output:
        start = now_us()
        process = subprocess.Popen(command, cwd=cwd, env=env, stdin=subprocess.DEVNULL, stdout=output,
                                   stderr=subprocess.STDOUT)
    watchdog = threading.Timer(timeout_s, process.kill)
    watchdog.start()
    try:
        os.waitid(os.P_PID, process.pid, os.WEXITED | os.WNOWAIT)
        end = now_us()
        cpu = process_cpu_ns(process.pid) or (0, 0)
        _, status, usage = os.wait4(process.pid, 0)
        process.returncode = os.waitstatus_to_exitcode(status)
    finally:
        watchdog.cancel()
    with open(out_path, "rb") as handle:
        text = handle.read().decode("latin-1")
    os.unlink(out_path)
    return TimedRun(wall_us=end - start, exit_status=process.returncode, own_cpu_ns=cpu[0], own_cpu_tick_ns=cpu[1],
                    all_cpu_s=usage.ru_utime + usage.ru_stime, output=text)


def run_fleet_update(build, root, count, keep=False):
    """marrowlink update --no-wait on count simulated adapters at once (one
    --port: the single-port update, as marrowlink update does it alone)."""
    folder = tempfile.mkdtemp(prefix="fleet-update-", dir=root)
    work = os.path.join(folder, "work")
    os.makedirs(work)
    shutil.copy2(build.tool, os.path.join(_images_folder(work), "DFUWizard"))
    fleet = Fleet(build, folder, count)
    try:
        command = [build.field_tool, "update", "--no-wait"]
        for number, sim in enumerate(fleet.sims):
            # Each port under a short name of its own: the simulators all call theirs com1.
            port = os.path.join(work, "ttyBENCH%d" % number)
            os.symlink(sim.link, port)
            command += ["--port", port]
        env = fleet.environment(build)
        env.update({"DFUWIZARD_RECORD": os.path.join(folder, "tool-{port}.log"), "DFUWIZARD_EXIT_CODE": "0",
                    "DFUWIZARD_RUN_MS": str(TOOL_RUN_MS)})
        run = run_timed(command, work, env)
    finally:
        fleet.stop()
    if not keep:
        shutil.rmtree(folder, ignore_errors=True)
    return run


# The fake tree's port names (fake-port-tree --many N: ttyUSB0 .. ttyUSB<N-1>)
# and the roots the program is given, relative to the tree's folder.
FAKE_ROOTS = ["--sys-root", "sys", "--dev-root", "dev", "--proc-root", "proc", "--lock-root", "lock"]


def run_ports_probe(build, root, count, alone=False, keep=False):
    """marrowlink ports --probe on a fake port tree of count ports, each a
    link to a simulator of its own. alone: the first port's probe in the
    program itself, as each probing child runs it (ports --probe-one)."""
    folder = tempfile.mkdtemp(prefix="ports-probe-", dir=root)
    tree = os.path.join(folder, "tree")
    fleet = Fleet(build, folder, count)
    try:
        links = []
        for number, sim in enumerate(fleet.sims):
            links += ["--link", "ttyUSB%d=%s" % (number, sim.link)]
        subprocess.run([build.fake_port_tree, tree, "--many", str(count)] + links, check=True)
        what = ["--probe-one", "dev/ttyUSB0", "--json"] if alone else ["--probe"]
        run = run_timed([build.field_tool, "ports"] + what + FAKE_ROOTS, tree, fleet.environment(build))
    finally:
        fleet.stop()
    if not keep:
        shutil.rmtree(folder, ignore_errors=True)
    return run
