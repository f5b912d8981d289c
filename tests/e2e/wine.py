"""Wine side of the end-to-end rig: the Windows build of the updater, run under
Wine against the same simulator and the same scenarios as the Linux build.

    MARROWLINK_E2E_BUILD=windows python3 -m unittest -v test_contact
    python3 wine.py -v test_update.WholeUpdateTest   (what ctest runs; exits 77,
                                                      "skipped", without Wine or
                                                      the Windows build)
    python3 wine.py --private-dev -v test_ports.WinePortsTest
                                                     (the session in a /dev
                                                      without the machine's
                                                      serial devices: root only)

How it works:
- Prefix pool: each test process takes the first free prefix slot (flock on
  slot-N.lock under the pool folder) and keeps it to its end, so ctest -j can
  run classes side by side, each with its own prefix, wineserver and COM1.
- A slot's prefix is made once (wineboot -i, about 7 s, 700 MB) and reused
  while its marker file names the same Wine version and port links.
- Headless: DISPLAY is removed, WINEDEBUG=-all, WINEDLLOVERRIDES="mscoree,mshtml="
  so Wine never asks to install Mono or Gecko.
- The session starts its own wineserver, persistent for WINESERVER_LINGER_S
  after its last client, and stops it (wineserver -k) when the process ends.
- COM1: registry value HKLM\\Software\\Wine\\Ports COM1 = <prefix>/marrowlink-com1,
  a fixed path per prefix; each run points that symlink at the run's pty link,
  so the registry never changes between runs and no restart is needed. COM5
  likewise (<prefix>/marrowlink-com5), for marrowlink --port COM5, and COM6
  for a second adapter (marrowlink update --port COM5 --port COM6).
- A warm-up Wine program without the fixture starts Wine's own services first,
  so they never carry LD_PRELOAD or a run's NULLMODEM_LOG.
- The updater is copied next to its "DFUWizard" folder, as a user has it
  (CreateProcessA looks in the program's own folder before the current one, and
  the build folder has a DFUWizard.exe of its own), and started there with
  wine64 and libnullmodem.so in LD_PRELOAD: the fixture works on Wine's own
  tcsetattr/tcgetattr/tcflush/ioctl calls on the port's descriptor.
- Standard input is a pseudo-terminal, so Wine gives the updater a console
  (GetConsoleMode succeeds, _kbhit() is used); standard output stays a pipe.
- The key press: presskey.exe (tests/wine) attaches to the updater's console
  and writes a key-down and a key-up event with WriteConsoleInputA.
- COM1 free while the tool runs: ToolPortWatch checks the updater's /proc
  descriptors, since under Wine the stand-in tool's own check cannot fail.
- Priority: WINE_SESSION_NICENESS, when allowed (see there).
- Port listings (marrowlink.exe ports) open every COM port Wine maps, and Wine
  maps the machine's own serial devices beside the rig's: with --private-dev
  the process first moves into a private /dev without them (private_dev.py),
  so its wineserver and programs can neither map nor open one. Each server
  start first removes the prefix's COM links other than the rig's, which the
  mount manager may leave behind.
- Timing: the silent-adapter bound holds from process start (Linux 3.3 s,
  Wine 3.5 s, bound 4.8 s): a warm wineserver starts a program in about 0.1 s.

Wine quirks found (Wine 8.0, Debian 12, wine64 without wine32):
- A program started from a pipe or /dev/null has no console at all (CONIN$ fails).
- PeekNamedPipe on a Unix pipe fails with ERROR_NOT_SUPPORTED (50), so a piped stdin reads as "key waiting".
- Bytes written to the console's terminal stay in its line buffer until Enter: _kbhit() never sees them.
- _kbhit() skips the last queued input event: a lone key-down is never seen; down+up is.
- Debian's wineserver wrapper passes -p0: every program restarts the server and services (2-3 s); we start wineserver64 -pN.
- A wineserver that never had a client ignores -pN and stays up: the session always ends with wineserver -k.
- The wineserver daemon keeps the stdout/stderr it was started with: Wine commands write to files, never pipes.
- Mount manager rewrites dosdevices/com1 from the registry at server start; a dangling target is fine.
- Share mode 0 is not enforced on serial ports: a second CreateFile on COM1 succeeds while the first is open.
- A used port handle keeps a Unix descriptor in the program's process until CloseHandle (what ToolPortWatch sees).
- Without the fixture SetCommState at 8E1 reports success on a pty while the kernel drops PARENB.
- Without the fixture EscapeCommFunction fails with ERROR_NOT_SUPPORTED (50) on a pty (TIOCMGET is refused).
- EscapeCommFunction and SetCommState set RTS and DTR together: the fixture logs both lines for each call.
- PurgeComm(15) flushes output and input apart, twice: the fixture logs FLUSH 2, 1, 2, 1 where Linux logs FLUSH 3.
- The C runtime writes text mode to the stdout pipe: each "\\n" arrives as "\\r\\n".
- The mount manager maps /dev/ttyS0.., /dev/ttyUSB0.. and /dev/ttyACM0.. to the COM
  numbers the Ports key leaves free (dosdevices/com2 -> /dev/ttyS0 beside the rig's
  COM1). It only checks that the path exists (access F_OK, a plain file will do),
  never opens it, and stops each family at the first number missing.
- An empty Ports value (COMn = "") leaves COMn without a link but moves the found
  devices on to the next free numbers, and SERIALCOMM still names the empty ones:
  it keeps no real device out of the listing.
- At server start the mount manager removes dosdevices/com1, com2, ... only up to
  the first one missing: a link beyond a gap (com3 -> /dev/ttyS0 from an older
  start) stays, dangling or not.
- A COMn without a dosdevices link fails to open with "no such port"; Wine 8 does
  not fall back to /dev/ttyS(n-1).
- A COMn whose link leads nowhere still opens (the mount manager's \\Device\\Serial
  object), and every serial call on it fails with ERROR_INVALID_FUNCTION (1).
- SetupAPI knows no COM port (neither the interface nor the Ports class): the
  listing comes from HARDWARE\\DEVICEMAP\\SERIALCOMM, rebuilt at each server
  start, "\\Device\\Serial<n-1>" = "COMn" for each mapped port.
"""

import atexit
import fcntl
import os
import pty
import re
import shutil
import stat
import subprocess
import sys
import tempfile
import threading
import time

import private_dev

WINE_FOLDER = "/usr/lib/wine"
# A prefix per concurrently running test process; ctest -j2 needs two.
PREFIX_SLOTS = 4
SLOT_WAIT_S = 600.0
# Keeps the server (and Wine's services) up between the runs of one process;
# also how long a server outlives a test process that was killed.
WINESERVER_LINGER_S = 30
WINEBOOT_TIMEOUT_S = 180.0
WINE_COMMAND_TIMEOUT_S = 60.0
KEY_PRESS_TIMEOUT_S = 30.0
# Wine's serial calls take several round trips between the program and the
# wineserver for each byte, and each waits for a free core: with both cores
# busy the updater's one-byte BCSP writes came 100-350 ms apart (its data.log
# at load 8), and a 30-byte frame outlived the link's bounds. A test process
# that may raise its priority (root, as in CI) runs its Wine session, and the
# simulator beside it, at this niceness; others keep theirs.
WINE_SESSION_NICENESS = -5
# The ports each prefix maps, by name, to a fixed link of their own (COM6:
# the second adapter of a fleet).
MAPPED_PORTS = ("COM1", "COM5", "COM6")
MARKER_NAME = "marrowlink-prefix"
PORTS_KEY = "HKLM\\Software\\Wine\\Ports"
SKIP_EXIT_CODE = 77
PRIVATE_DEV_OPTION = "--private-dev"
TOOL_STARTED = "Update Wizard started succefully\n"


def _wine_program(name):
    """Debian keeps the real loader and server in /usr/lib/wine; the wrappers
    in /usr/bin choose a 32-bit loader first and force -p0 on the server."""
    path = os.path.join(WINE_FOLDER, name)
    if os.access(path, os.X_OK):
        return path
    return shutil.which(name)


WINE_LOADER = _wine_program("wine64")
WINESERVER = _wine_program("wineserver64") or _wine_program("wineserver")


def missing_prerequisites(windows_build):
    """Why the Windows end-to-end tests cannot run here, or None."""
    if WINE_LOADER is None or WINESERVER is None:
        return "wine64 is not installed (scripts/setup test installs it)"
    for name in ("marrowlink-update.exe", "marrowlink.exe", "DFUWizard.exe", "presskey.exe"):
        if not os.path.exists(os.path.join(windows_build, name)):
            return "%s is missing in %s (cmake --preset windows && cmake --build --preset windows)" % (
                name, windows_build)
    return None


def base_environment():
    """The environment every Wine command of a session gets."""
    env = {key: value for key, value in os.environ.items()
           if key not in ("DISPLAY", "WAYLAND_DISPLAY", "LD_PRELOAD")}
    env.update({
        "WINEDEBUG": "-all",
        "WINEDLLOVERRIDES": "mscoree,mshtml=",
        "WINEARCH": "win64",
        "WINELOADER": WINE_LOADER,
        "WINESERVER": WINESERVER,
    })
    return env


class WineProcess:
    """The updater under Wine: stdout a pipe, stdin a pseudo-terminal that
    gives it a console. The terminal side is drained and closed at the end."""

    def __init__(self, popen, terminal):
        self.popen = popen
        self._terminal = terminal
        self._drain = threading.Thread(target=self._drain_terminal, daemon=True)
        self._drain.start()

    def _drain_terminal(self):
        # Wine's console writes cursor sequences to its terminal; nobody reads them.
        while True:
            try:
                if not os.read(self._terminal, 4096):
                    return
            except OSError:
                return

    def close(self):
        if self._terminal is not None:
            os.close(self._terminal)
            self._terminal = None
        self._drain.join(timeout=5)


class ToolPortWatch:
    """Wine lets any number of handles open COM1 (share mode 0 is not
    enforced), so the stand-in tool's "COM1 not free" check cannot fail under
    Wine. This watch makes it in the tool's place: while the tool runs (the
    transcript ends with TOOL_STARTED), the updater's process must hold no
    descriptor of COM1's pseudo-terminal (Wine keeps one per used handle until
    CloseHandle). If it does, the line the tool would have written goes into
    its record, and the scenario's check of the tool's record fails.

    The transcript alone does not prove the tool still runs: under load the
    rig reads the updater's output late, and the updater may by then have
    seen the tool end and reopened COM1 for its next step. So the updater's
    descriptors count only when the tool's own process (found by its record
    path in its environment) is alive both before and after they are read."""

    def __init__(self, pid, device_path, record_path):
        self.pid = pid
        self.device = os.stat(device_path).st_rdev
        self.record_path = record_path
        self.reported = False

    def poll(self, transcript):
        if self.reported or not transcript.endswith(TOOL_STARTED):
            return
        if not self._tool_processes():
            return
        held = self._descriptors_of_device()
        if held and self._tool_processes():
            with open(self.record_path, "a") as record:
                record.write("DFUWizard: COM1 not free: the updater still has it open"
                             " (seen in /proc by the Wine rig)\n")
            self.reported = True

    def _tool_processes(self):
        """Live (not zombie) processes of this run's stand-in tool."""
        marker = b"DFUWIZARD_RECORD=" + os.fsencode(self.record_path)
        found = []
        for name in os.listdir("/proc"):
            if not name.isdigit():
                continue
            try:
                with open("/proc/%s/cmdline" % name, "rb") as handle:
                    if b"DFUWizard" not in handle.read():
                        continue
                with open("/proc/%s/environ" % name, "rb") as handle:
                    if marker not in handle.read().split(b"\0"):
                        continue
                with open("/proc/%s/stat" % name, "rb") as handle:
                    if handle.read().rsplit(b")", 1)[1].split()[0] == b"Z":
                        continue
            except OSError:
                continue  # ended meanwhile, or not ours to read
            found.append(int(name))
        return found

    def _descriptors_of_device(self):
        folder = "/proc/%d/fd" % self.pid
        count = 0
        try:
            descriptors = os.listdir(folder)
        except OSError:
            return 0  # the process has ended
        for descriptor in descriptors:
            try:
                status = os.stat(os.path.join(folder, descriptor))
            except OSError:
                continue
            if stat.S_ISCHR(status.st_mode) and status.st_rdev == self.device:
                count += 1
        return count


class Session:
    """One prefix slot, its wineserver and its COM1, for one test process."""

    def __init__(self, pool_folder, windows_build):
        self.pool_folder = pool_folder
        self.windows_build = windows_build
        self.slot = None
        self.prefix = None
        self._lock = None

    # -- opening and closing -------------------------------------------------

    def open(self):
        os.makedirs(self.pool_folder, exist_ok=True)
        self._take_slot()
        self.prefix = os.path.join(self.pool_folder, "prefix-%d" % self.slot)
        self.port_links = {port: os.path.join(self.prefix, "marrowlink-%s" % port.lower())
                           for port in MAPPED_PORTS}
        started = time.monotonic()
        if not self._prefix_is_valid():
            self._make_prefix()
        else:
            self._start_server()
        self._check_com1_mapping()
        self.setup_s = time.monotonic() - started

    def close(self):
        # Also after a failed open: a server that never had a client stays up.
        if self.prefix is not None and os.path.isdir(self.prefix):
            self._wine_command([WINESERVER, "-k"], check=False)
        if self._lock is not None:
            os.close(self._lock)
            self._lock = None

    def _take_slot(self):
        deadline = time.monotonic() + SLOT_WAIT_S
        while True:
            for slot in range(PREFIX_SLOTS):
                lock = os.open(os.path.join(self.pool_folder, "slot-%d.lock" % slot),
                               os.O_RDWR | os.O_CREAT, 0o644)
                try:
                    fcntl.flock(lock, fcntl.LOCK_EX | fcntl.LOCK_NB)
                except BlockingIOError:
                    os.close(lock)
                    continue
                self.slot, self._lock = slot, lock
                return
            if time.monotonic() > deadline:
                raise RuntimeError("no free Wine prefix slot in %s after %.0f s"
                                   % (self.pool_folder, SLOT_WAIT_S))
            time.sleep(0.5)

    # -- the prefix ------------------------------------------------------------

    def _marker_text(self):
        version = run_wine_command([WINE_LOADER, "--version"], base_environment()).stdout.strip()
        return version + "\n" + "".join("%s=%s\n" % item for item in sorted(self.port_links.items()))

    def _prefix_is_valid(self):
        marker = os.path.join(self.prefix, MARKER_NAME)
        if not os.path.exists(os.path.join(self.prefix, "system.reg")) or not os.path.exists(marker):
            return False
        with open(marker) as handle:
            return handle.read() == self._marker_text()

    def _make_prefix(self):
        """A fresh prefix whose COM1 is the slot's fixed link. The mount manager
        reads the Ports key only when the server starts, hence the restart."""
        self._stop_stale_server()
        shutil.rmtree(self.prefix, ignore_errors=True)
        os.makedirs(self.prefix)
        self._start_server(warm_up=False)
        self._wine_command([WINE_LOADER, "wineboot", "-i"], timeout=WINEBOOT_TIMEOUT_S)
        for port, link in self.port_links.items():
            self._wine_command([WINE_LOADER, "reg", "add", PORTS_KEY, "/v", port, "/t", "REG_SZ",
                                "/d", link, "/f"])
        self._start_server()
        with open(os.path.join(self.prefix, MARKER_NAME), "w") as handle:
            handle.write(self._marker_text())

    def _stop_stale_server(self):
        # Also a server left by a killed test process of this slot: it would
        # keep the old registry and refuse to make way for a new one.
        self._wine_command([WINESERVER, "-k"], check=False)

    def _start_server(self, warm_up=True):
        self._stop_stale_server()
        self._remove_other_port_links()
        self._wine_command([WINESERVER, "-p%d" % WINESERVER_LINGER_S])
        if not warm_up:
            return
        # A first program without the fixture brings up Wine's services, and
        # checks the registry value the mount manager has just read.
        result = self._wine_command([WINE_LOADER, "reg", "query", PORTS_KEY], check=False)
        self.ports_value = result.stdout

    def _remove_other_port_links(self):
        """The mount manager makes the links of the ports it finds again at
        start, but not always removes those it no longer finds."""
        dosdevices = os.path.join(self.prefix, "dosdevices")
        if not os.path.isdir(dosdevices):
            return
        for name in os.listdir(dosdevices):
            if re.fullmatch(r"com\d+", name) and name.upper() not in MAPPED_PORTS:
                os.unlink(os.path.join(dosdevices, name))

    def port_links_found(self):
        """The prefix's COM links as the mount manager left them: {"com1": target}."""
        dosdevices = os.path.join(self.prefix, "dosdevices")
        return {name: os.readlink(os.path.join(dosdevices, name))
                for name in sorted(os.listdir(dosdevices)) if re.fullmatch(r"com\d+", name)}

    def _check_com1_mapping(self):
        for port, link in self.port_links.items():
            if link not in self.ports_value:
                raise RuntimeError("%s is not mapped in prefix %s: %s" % (port, self.prefix, self.ports_value))
            device = os.path.join(self.prefix, "dosdevices", port.lower())
            if os.readlink(device) != link:
                raise RuntimeError("%s points at %s, not %s" % (device, os.readlink(device), link))

    def environment(self):
        env = base_environment()
        env["WINEPREFIX"] = self.prefix
        return env

    def _wine_command(self, command, timeout=WINE_COMMAND_TIMEOUT_S, check=True):
        return run_wine_command(command, self.environment(), timeout, check)

    # -- one run ------------------------------------------------------------------

    def map_port(self, port, target):
        """Points the slot's link for port (one of MAPPED_PORTS) at target (the
        run's pseudo-terminal link)."""
        link = self.port_links[port]
        temporary = link + ".new"
        if os.path.lexists(temporary):
            os.unlink(temporary)
        os.symlink(target, temporary)
        os.replace(temporary, link)

    def start(self, program, cwd, extra_env, stderr_path, arguments=()):
        """Starts program (a .exe path) with arguments under Wine with a
        console on a fresh pseudo-terminal and standard output on a pipe."""
        env = self.environment()
        env.update(extra_env)
        terminal, console = pty.openpty()
        try:
            with open(stderr_path, "wb") as errors:
                popen = subprocess.Popen([WINE_LOADER, program] + list(arguments), cwd=cwd, env=env, stdin=console,
                                         stdout=subprocess.PIPE, stderr=errors)
        except BaseException:
            os.close(terminal)
            raise
        finally:
            os.close(console)
        return WineProcess(popen, terminal)

    def press_key(self, program_name):
        """One key press in the console of the running program_name."""
        result = run_wine_command([WINE_LOADER, os.path.join(self.windows_build, "presskey.exe"), program_name],
                                  self.environment(), KEY_PRESS_TIMEOUT_S, check=False)
        if result.returncode != 0:
            raise AssertionError("presskey.exe %s failed with %d: %s"
                                 % (program_name, result.returncode, result.stderr.strip()))


def run_wine_command(command, env, timeout=WINE_COMMAND_TIMEOUT_S, check=True):
    """Runs a Wine command to its end. Its output goes to files, not pipes: a
    wineserver it starts runs on in the background and would hold a pipe open
    for ever."""
    with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
        result = subprocess.run(command, env=env, stdin=subprocess.DEVNULL, stdout=out, stderr=err,
                                timeout=timeout)
        out.seek(0)
        err.seek(0)
        result.stdout = out.read().decode("utf-8", "replace")
        result.stderr = err.read().decode("utf-8", "replace")
    if check and result.returncode != 0:
        raise RuntimeError("%s failed with %d:\n%s%s" % (" ".join(command), result.returncode,
                                                         result.stdout, result.stderr))
    return result


_session = None
_session_failure = None


def session(pool_folder, windows_build):
    """The process's Wine session, opened on first use and closed at exit. A
    session that could not be opened is not tried again by the next test."""
    global _session, _session_failure
    if _session_failure is not None:
        raise RuntimeError("the Wine session could not be opened: %s" % _session_failure)
    if _session is None:
        opened = Session(pool_folder, windows_build)
        try:
            opened.open()
        except BaseException as failure:
            opened.close()
            _session_failure = failure
            raise
        atexit.register(opened.close)
        _session = opened
    return _session


def private_dev_entered():
    """Moves this process into a /dev without the machine's serial devices
    before any Wine session starts; why it could not, or None."""
    reason = private_dev.unavailable()
    if reason is not None:
        return reason
    try:
        private_dev.enter()
    except OSError as failure:
        return "no private /dev without serial devices: %s" % failure
    return None


def main(argv):
    """ctest's entry: the named test classes for the Windows build, or exit 77
    (ctest: skipped) with the reason when Wine or the Windows build is missing,
    or, with --private-dev, when the private /dev cannot be made."""
    os.environ["MARROWLINK_E2E_BUILD"] = "windows"
    import rig
    reason = missing_prerequisites(rig.WINDOWS_BUILD)
    if reason is None and PRIVATE_DEV_OPTION in argv:
        argv = [argument for argument in argv if argument != PRIVATE_DEV_OPTION]
        reason = private_dev_entered()
    if reason is not None:
        print("Windows end-to-end tests skipped: " + reason)
        return SKIP_EXIT_CODE
    try:
        os.setpriority(os.PRIO_PROCESS, 0, WINE_SESSION_NICENESS)
    except OSError:
        pass  # not allowed: the tests still run, at the priority they were given
    import unittest
    program = unittest.main(module=None, argv=[argv[0]] + argv[1:], exit=False)
    return 0 if program.result.wasSuccessful() else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv))
