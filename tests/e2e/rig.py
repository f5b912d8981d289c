"""End-to-end rig: the real updater against the adapter simulator.

Each run gets a fresh folder holding the "DFUWizard" subfolder with the
stand-in download tool, starts `marrowlink-sim` on a pseudo-terminal, runs the
updater with COM1 mapped to that pseudo-terminal and the null-modem fixture
preloaded (the pseudo-terminal then accepts even parity and modem-line calls,
and the simulator sees every line change), answers the key wait, and collects
what a person would check: the console transcript, the exit status, whether the
program waited for a key, the tool's recorded command lines, the simulator's
events and the chip's persistent store afterwards.

Environment: MARROWLINK_E2E_BUILD picks the build under test, linux (the
default) or windows (run under Wine, see wine.py). MARROWLINK_BUILD_DIR
(default build/linux) holds the Linux binaries, the simulator and the fixture;
MARROWLINK_WINDOWS_BUILD_DIR (default build/windows) the Windows ones;
MARROWLINK_PROGRAM_DIR (default the Linux build) the Linux marrowlink-update
and marrowlink-sim, for running those of an unpacked package;
MARROWLINK_WINE_PREFIXES (default <Linux build>/wine-prefixes) the Wine
prefixes. MARROWLINK_KEEP=1 keeps each run's folder for inspection. A
RigTestCase that fails keeps its runs' logs (the simulator's log and events,
the fixture's line log, the transcript with arrival times, Wine's errors) in
build/e2e-failures/<test id>/run-N and names that folder in the failure.

Adapters runs several simulators at once, each on a pseudo-terminal of its
own, for one program that looks at every port (--port auto).
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
import unittest
from dataclasses import dataclass, field

import wine

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
LINUX_BUILD = os.environ.get("MARROWLINK_BUILD_DIR", os.path.join(ROOT, "build", "linux"))
WINDOWS_BUILD = os.environ.get("MARROWLINK_WINDOWS_BUILD_DIR", os.path.join(ROOT, "build", "windows"))
PROGRAM_DIR = os.environ.get("MARROWLINK_PROGRAM_DIR", LINUX_BUILD)


def sanitizer_runtime(build_dir):
    """The ASan runtime when build_dir is a sanitizer build (MARROWLINK_SANITIZE),
    else None: its programs need it loaded before the fixture, which is built
    without sanitizers (tests/nullmodem/nullmodem.cpp)."""
    cache = os.path.join(build_dir, "CMakeCache.txt")
    if not os.path.exists(cache):
        return None
    with open(cache) as handle:
        text = handle.read()
    if "MARROWLINK_SANITIZE:BOOL=ON" not in text:
        return None
    compiler = re.search(r"^CMAKE_CXX_COMPILER:\w+=(.+)$", text, re.M)
    return subprocess.run([compiler.group(1) if compiler else "g++", "-print-file-name=libasan.so"],
                          capture_output=True, text=True, check=True).stdout.strip()


SANITIZER_RUNTIME = sanitizer_runtime(LINUX_BUILD)
BUILD = os.environ.get("MARROWLINK_E2E_BUILD", "linux")
WINE_PREFIXES = os.environ.get("MARROWLINK_WINE_PREFIXES", os.path.join(LINUX_BUILD, "wine-prefixes"))
WINDOWS_UPDATER = "marrowlink-update.exe"
FAILURES_FOLDER = os.environ.get("MARROWLINK_E2E_FAILURES", os.path.join(ROOT, "build", "e2e-failures"))
# What a failing test's runs keep: everything but the copied programs.
KEPT_NAMES = ("sim.log", "events.jsonl", "lines.log", "transcript.txt", "tool.log", "wine.err",
              "sim.out", "store.txt", "data.log")

STANDARD_VERSION = "Veltrane_Tools Marrowlink Firmware 1.2.9"
CI_VERSION = "Veltrane_Tools Marrowlink CI Firmware 1.2.9"
STANDARD_COMMAND_LINE = "DFUWizard /upload /download Marrowlink_1_2_10.dfu /serial COM1 /auto /exit"
CI_COMMAND_LINE = "DFUWizard /upload /download Skerrymod_1_2_10.dfu /serial COM1 /auto /exit"

KEY_PROMPTS = ("Update Aborted, press any key to exit\n", "Press any key to exit the update program\n")
# How long the program must sit in its key wait before the rig presses a key:
# long enough to tell "waits" from "ended without waiting".
KEY_WAIT_CHECK_S = 0.5
SIM_READY_TIMEOUT_S = 10.0


@dataclass
class Run:
    transcript: str
    exit_status: int
    elapsed_s: float
    waited_for_key: bool
    tool_calls: list = field(default_factory=list)
    events: list = field(default_factory=list)
    store: dict = field(default_factory=dict)
    folder: str = ""
    line_log: list = field(default_factory=list)  # the null-modem fixture's entries: (ms, what, value)
    line_times: list = field(default_factory=list)  # (CLOCK_MONOTONIC s, line) as each line arrived
    errors: str = ""  # standard error, when the rig keeps it apart (separate_stderr)

    def line_time_s(self, line):
        """When the first line equal to line arrived (the fixture's clock, in s), or None."""
        return next((t for t, text in self.line_times if text == line), None)

    def lines(self):
        return self.transcript.splitlines(keepends=True)

    def events_named(self, name):
        return [event for event in self.events if event.get("ev") == name]


def read_store(path):
    """The chip's persistent store file: `0xKEY = 0xWORD 0xWORD ...` lines."""
    store = {}
    if not os.path.exists(path):
        return store
    with open(path) as handle:
        for line in handle:
            match = re.match(r"\s*(0x[0-9a-fA-F]+)\s*=\s*(.*?)\s*(#.*)?$", line)
            if match:
                store[int(match.group(1), 16)] = [int(word, 16) for word in match.group(2).split()]
    return store


def read_line_log(path):
    """The null-modem fixture's log (tests/nullmodem/nullmodem.cpp):
    "<ms> RTS 1", "<ms> FLUSH 3", "<ms> LINE 115200 8 E 1" as (ms, "RTS", "1")..."""
    entries = []
    if os.path.exists(path):
        with open(path) as handle:
            for line in handle:
                parts = line.split(None, 2)
                if len(parts) == 3:
                    entries.append((int(parts[0]), parts[1], parts[2].strip()))
    return entries


def read_events(path):
    events = []
    if os.path.exists(path):
        with open(path) as handle:
            for line in handle:
                line = line.strip()
                if line:
                    events.append(json.loads(line))
    return events


class Rig:
    """One scenario: the simulator's options, the tool's behaviour, the build."""

    # The program under test: its Windows file name, the console prompts at
    # which it waits for a key, and whether its standard error is kept apart
    # from its standard output (else both make the transcript).
    windows_program = WINDOWS_UPDATER
    key_prompts = KEY_PROMPTS
    separate_stderr = False

    def __init__(self, sim_args=(), tool_exit_code=0, tool_run_ms=300, tool_folder=True,
                 tool_present=True, store_text=None, build=None):
        self.sim_args = list(sim_args)
        self.tool_exit_code = tool_exit_code
        self.tool_run_ms = tool_run_ms
        self.tool_folder = tool_folder
        self.tool_present = tool_present
        self.store_text = store_text
        self.build = build or BUILD
        if self.build not in ("linux", "windows"):
            raise ValueError("unknown build %r (MARROWLINK_E2E_BUILD: linux or windows)" % self.build)
        self.folder = tempfile.mkdtemp(prefix="marrowlink-e2e-")
        self.work = os.path.join(self.folder, "work")
        self.link = os.path.join(self.folder, "com1")
        self.store = os.path.join(self.folder, "store.txt")
        self.events = os.path.join(self.folder, "events.jsonl")
        self.lines_log = os.path.join(self.folder, "lines.log")
        self.data_log = os.path.join(self.folder, "data.log")  # the program's port reads and writes
        # Log names shared with other rigs, "{pty}" standing for the port's
        # number (see Adapters): lines_log and data_log are then known once
        # the simulator has its pseudo-terminal.
        self.lines_pattern = None
        self.data_pattern = None
        self.tool_record = os.path.join(self.folder, "tool.log")
        self.sim = None
        # The simulator in a session of its own, out of reach of a terminal's
        # Ctrl-C meant for the program under test (the demo).
        self.sim_own_session = False
        if RigTestCase.current_rigs is not None:
            RigTestCase.current_rigs.append(self)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop_sim()
        # A RigTestCase removes its rigs' folders once it knows the verdict.
        if RigTestCase.current_rigs is None or self not in RigTestCase.current_rigs:
            self.discard()

    def discard(self):
        if os.environ.get("MARROWLINK_KEEP") != "1":
            shutil.rmtree(self.folder, ignore_errors=True)

    def keep_logs(self, target):
        os.makedirs(target, exist_ok=True)
        for name in KEPT_NAMES:
            source = os.path.join(self.folder, name)
            if os.path.exists(source):
                shutil.copy2(source, os.path.join(target, name))
        if self.lines_pattern is not None:
            for source, name in ((self.lines_log, "lines.log"), (self.data_log, "data.log")):
                if os.path.exists(source):
                    shutil.copy2(source, os.path.join(target, name))

    # -- set-up ------------------------------------------------------------

    def _prepare_folder(self):
        os.makedirs(self.work)
        if self.build == "windows":
            # In the folder that holds the tool folder, as a user has it:
            # CreateProcessA searches the program's own folder before the
            # current one, and the build folder has a DFUWizard.exe of its own.
            shutil.copy2(os.path.join(WINDOWS_BUILD, self.windows_program),
                         os.path.join(self.work, self.windows_program))
        if self.tool_folder:
            self.make_tool_folder(self.work)

    def make_tool_folder(self, where):
        """The "DFUWizard" folder in where: the stand-in images and, unless
        tool_present is false, the stand-in tool."""
        tool_folder = os.path.join(where, "DFUWizard")
        os.makedirs(tool_folder)
        for image in ("Marrowlink_1_2_10.dfu", "Skerrymod_1_2_10.dfu"):
            with open(os.path.join(tool_folder, image), "wb") as handle:
                handle.write(b"stand-in image\n")
        if self.tool_present:
            name = "DFUWizard.exe" if self.build == "windows" else "DFUWizard"
            build = WINDOWS_BUILD if self.build == "windows" else LINUX_BUILD
            shutil.copy2(os.path.join(build, name), os.path.join(tool_folder, name))

    def start_sim(self):
        if self.store_text is not None:
            with open(self.store, "w") as handle:
                handle.write(self.store_text)
        ready = os.path.join(self.folder, "sim.ready")
        command = [os.path.join(PROGRAM_DIR, "marrowlink-sim"), "--link", self.link,
                   "--lines", self.lines_pattern or self.lines_log, "--events", self.events,
                   "--log", os.path.join(self.folder, "sim.log"), "--ready-file", ready,
                   "--store", self.store] + self.sim_args
        # The child has its own copy of the descriptor once started.
        with open(os.path.join(self.folder, "sim.out"), "w") as output:
            self.sim = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=output,
                                        stderr=subprocess.STDOUT, start_new_session=self.sim_own_session)
        deadline = time.monotonic() + SIM_READY_TIMEOUT_S
        while not os.path.exists(ready):
            if self.sim.poll() is not None or time.monotonic() > deadline:
                raise RuntimeError("simulator did not start: " + self.sim_output())
            time.sleep(0.02)
        if self.lines_pattern is not None:
            with open(ready) as handle:
                pty_path = re.search(r"^pty=(.+)$", handle.read(), re.M).group(1)
            number = os.path.basename(pty_path)
            self.lines_log = self.lines_pattern.replace("{pty}", number)
            self.data_log = self.data_pattern.replace("{pty}", number)

    def stop_sim(self):
        if self.sim is not None and self.sim.poll() is None:
            self.sim.send_signal(signal.SIGTERM)
            try:
                self.sim.wait(timeout=5)
            except subprocess.TimeoutExpired:
                self.sim.kill()
                self.sim.wait()

    def sim_output(self):
        path = os.path.join(self.folder, "sim.out")
        if not os.path.exists(path):
            return ""
        with open(path) as handle:
            return handle.read()

    def environment(self):
        env = dict(os.environ)
        env.update(self.run_variables())
        return env

    def updater_command(self):
        """The Linux build's command line; a subclass may wrap it (valgrind)."""
        return [os.path.join(PROGRAM_DIR, "marrowlink-update")] + self.program_arguments()

    def program_arguments(self):
        """The arguments the program under test gets (the updater: none)."""
        return []

    def port_targets(self):
        """Where each of Wine's mapped ports leads in this run: the simulator."""
        return {port: self.link for port in wine.MAPPED_PORTS}

    def run_variables(self):
        """What the updater, the fixture and the stand-in tool read in this run."""
        preload = os.path.join(LINUX_BUILD, "tests", "nullmodem", "libnullmodem.so")
        if self.build == "linux" and SANITIZER_RUNTIME:
            preload = SANITIZER_RUNTIME + ":" + preload
        return {
            "COM1_DEVICE": self.link,
            "NULLMODEM_LOG": self.lines_log,
            "NULLMODEM_DATA_LOG": self.data_log,
            "LD_PRELOAD": preload,
            "DFUWIZARD_RECORD": self.tool_record,
            "DFUWIZARD_EXIT_CODE": str(self.tool_exit_code),
            "DFUWIZARD_RUN_MS": str(self.tool_run_ms),
        }

    # -- the run -----------------------------------------------------------

    def before_program(self):
        """Called once the simulator is ready, just before the program starts."""

    def run(self, timeout_s=60):
        self._prepare_folder()
        self.start_sim()
        self.before_program()
        if self.build == "windows":
            wine_session = wine.session(WINE_PREFIXES, WINDOWS_BUILD)
            for port, target in self.port_targets().items():
                wine_session.map_port(port, target)
            errors_path = os.path.join(self.folder, "wine.err")
            started = time.monotonic()
            wine_process = wine_session.start(os.path.join(self.work, self.windows_program), self.work,
                                              self.run_variables(), errors_path, self.program_arguments())
            process = wine_process.popen
            press_key = lambda: wine_session.press_key(self.windows_program)
            watch = wine.ToolPortWatch(process.pid, self.link, self.tool_record).poll
        else:
            command = self.updater_command()
            errors_path = os.path.join(self.folder, "program.err")
            started = time.monotonic()
            with open(errors_path, "wb") as errors:
                process = subprocess.Popen(command, cwd=self.work, env=self.environment(),
                                           stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                           stderr=errors if self.separate_stderr else subprocess.STDOUT)
            wine_process = None
            press_key = lambda: self._press_key_on_stdin(process)
            watch = None
        try:
            transcript, waited, line_times = self._answer_key_wait(process, timeout_s, press_key, watch)
        finally:
            if wine_process is not None:
                wine_process.close()
        elapsed = time.monotonic() - started
        self.stop_sim()
        with open(errors_path, "rb") as errors:
            error_text = errors.read().decode("latin-1").replace("\r\n", "\n")
        with open(os.path.join(self.folder, "transcript.txt"), "w") as handle:
            handle.write("# started %.3f (CLOCK_MONOTONIC s), exit status %s\n" % (started, process.returncode))
            handle.writelines("%.3f %s" % (t, line) for t, line in line_times)
        return Run(transcript=transcript, exit_status=process.returncode, elapsed_s=elapsed,
                   waited_for_key=waited, tool_calls=self._tool_calls(),
                   events=read_events(self.events), store=read_store(self.store),
                   folder=self.folder, line_log=read_line_log(self.lines_log), line_times=line_times,
                   errors=error_text if self.separate_stderr else "")

    def _press_key_on_stdin(self, process):
        process.stdin.write(b"k")
        process.stdin.flush()

    def _answer_key_wait(self, process, timeout_s, press_key, watch=None):
        """Collects the output; at a key prompt checks the program waits, then
        presses a key. watch, if any, sees the transcript so far on every turn."""
        chunks = []
        line_times = []
        # The Windows C runtime writes each "\n" to a pipe as "\r\n" (text mode).
        line_end = b"\r\n" if self.build == "windows" else b"\n"

        def pump():
            for line in iter(process.stdout.readline, b""):
                if line.endswith(line_end):
                    line = line[:-len(line_end)] + b"\n"
                # time.monotonic() is CLOCK_MONOTONIC, the fixture's clock.
                line_times.append((time.monotonic(), line.decode("latin-1")))
                chunks.append(line.decode("latin-1"))
        reader = threading.Thread(target=pump, daemon=True)
        reader.start()
        deadline = time.monotonic() + timeout_s
        waited = False
        while process.poll() is None and time.monotonic() < deadline:
            if watch is not None:
                watch("".join(chunks))
            if "".join(chunks).endswith(self.key_prompts):
                time.sleep(KEY_WAIT_CHECK_S)
                waited = process.poll() is None
                if waited:
                    press_key()
                break
            time.sleep(0.01)
        try:
            process.wait(timeout=max(1.0, deadline - time.monotonic()))
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()
            raise AssertionError("updater did not end within %.0f s; output so far:\n%s"
                                 % (timeout_s, "".join(chunks)))
        reader.join(timeout=5)
        if process.stdin is not None:
            process.stdin.close()
        if not reader.is_alive():
            process.stdout.close()
        return "".join(chunks), waited, line_times

    def _tool_calls(self):
        if not os.path.exists(self.tool_record):
            return []
        with open(self.tool_record) as handle:
            return [line.rstrip("\n") for line in handle]


class Adapters:
    """Several simulated adapters, each on a pseudo-terminal of its own, for
    one program that looks at every port (--port auto): one Rig per entry of
    sim_args_each, their simulators started on entry and stopped on exit.
    The program's environment (environment()) has the fixture look after
    every pseudo-terminal and keep a line log and a data log per port,
    NULLMODEM_LOG naming "lines-{pty}.log"; each simulator is given the same
    name and follows the log of its own port."""

    def __init__(self, *sim_args_each):
        self.rigs = [Rig(sim_args=args) for args in sim_args_each]
        self.lines_pattern = os.path.join(self.rigs[0].folder, "lines-{pty}.log")
        self.data_pattern = os.path.join(self.rigs[0].folder, "data-{pty}.log")
        for rig in self.rigs:
            rig.lines_pattern = self.lines_pattern
            rig.data_pattern = self.data_pattern

    def __enter__(self):
        try:
            for rig in self.rigs:
                rig.start_sim()
        except BaseException:
            self.__exit__()
            raise
        return self

    def __exit__(self, *exc):
        for rig in self.rigs:
            rig.__exit__(*exc)

    def environment(self):
        env = self.rigs[0].environment()
        # Neither names a device: the fixture then looks after every pseudo-terminal.
        env.pop("COM1_DEVICE", None)
        env.pop("NULLMODEM_DEVICE", None)
        env["NULLMODEM_LOG"] = self.lines_pattern
        env["NULLMODEM_DATA_LOG"] = self.data_pattern
        return env


class RigTestCase(unittest.TestCase):
    """A test whose rigs' logs are kept when it fails, in
    FAILURES_FOLDER/<test id>/run-N, and named in its failure: a fault that
    shows once in twenty loaded runs must not be lost with its folder."""

    current_rigs = None  # the rigs made by the test now running

    def run(self, result=None):
        if result is None:
            result = self.defaultTestResult()
        failed_before = len(result.failures) + len(result.errors)
        RigTestCase.current_rigs = []
        try:
            super().run(result)
        finally:
            rigs, RigTestCase.current_rigs = RigTestCase.current_rigs, None
        if len(result.failures) + len(result.errors) > failed_before and rigs:
            target = os.path.join(FAILURES_FOLDER, self.id())
            shutil.rmtree(target, ignore_errors=True)
            for number, rig in enumerate(rigs, 1):
                rig.keep_logs(os.path.join(target, "run-%d" % number))
            note = "\nlogs of this test's runs kept in %s\n" % target
            for results in (result.failures, result.errors):
                for index in range(len(results)):
                    test, text = results[index]
                    if test is self and note not in text:
                        results[index] = (test, text + note)
        for rig in rigs:
            rig.discard()
        return result
