"""End to end: the Linux build's update with the project's Windows stand-in
DFUWizard.exe in the DFUWizard folder, started through Wine against the
simulator; and two adapters updated at once, each tool on a COM port of the
prefix of its own.

The runs share one Wine prefix, made by the first (about 10 s and 700 MB) in
MARROWLINK_WINE_STATE (default <Linux build>/wine-download-state), never in
the user's own ~/.local/state. Skipped (exit 77 under ctest) without wine, the
Windows build's DFUWizard.exe or the Linux build's Wine launcher.
"""

import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

from rig import CI_COMMAND_LINE, LINUX_BUILD, STANDARD_COMMAND_LINE, WINDOWS_BUILD, Rig, RigTestCase, read_store
from test_fleet import Fleet
from test_tool import ToolRig
from test_update import UART_CONFIG

STATE = os.environ.get("MARROWLINK_WINE_STATE", os.path.join(LINUX_BUILD, "wine-download-state"))
PREFIX = os.path.join(STATE, "marrowlink", "wine")
WINE_LOG = os.path.join(STATE, "marrowlink", "wine.log")
LAUNCHER = os.path.join(LINUX_BUILD, "marrowlink-wine-launcher.exe")
SKIP_EXIT_CODE = 77
UPDATE_LINES = ("Contacting Marrowlink\nSuccess\n"
                "Current Firmware Version is Veltrane_Tools Marrowlink Firmware 1.2.9\n"
                "Update Wizard started succefully\n%s"
                "Build ID = 4835\nCold Reset sent\nUpdate done\nPlease power off and on Marrowlink Device\n")
# The simulator's events that show what reached the adapter and its chip: the
# adapter's commands and the chip's store writes. (Its "line" events and the
# link's repeats follow the machine's load: when the simulator looks decides
# whether it sees two settings made in the same millisecond.)
COMPARED_EVENTS = ("command", "handshake", "handover", "ps_write")
# What each stand-in writes to its port under Wine, "{port}" its COMn.
FLEET_MARK = "DFUWizard on {port}"
PREFIX_NOTICE = ("Preparing Wine for the Windows download tool: making the Wine prefix %s (once; about 700 MB) ... "
                 "done in " % PREFIX)


def missing_prerequisites():
    if shutil.which("wine") is None:
        return "wine is not installed"
    if not os.path.exists(os.path.join(WINDOWS_BUILD, "DFUWizard.exe")):
        return "the Windows build's DFUWizard.exe is missing (cmake --build --preset windows --target DFUWizard)"
    if not os.path.exists(LAUNCHER):
        return "this Linux build has no Wine launcher (no x86_64-w64-mingw32-g++)"
    return None


class WineToolFolder:
    """A rig whose DFUWizard folder holds the Windows stand-in DFUWizard.exe
    (and, with native, the Linux one beside it), run with marrowlink's Wine
    prefix in STATE and the stand-in's line settings recorded."""

    def __init__(self, native=False, path=None):
        self.tool_present = False  # the rig's folder gets the images; the tools come below
        self.native = native
        self.path = path  # the PATH the program gets; None: this one's
        self.line_record = os.path.join(self.folder, "line.log")

    def make_tool_folder(self, where):
        super().make_tool_folder(where)
        shutil.copy2(os.path.join(WINDOWS_BUILD, "DFUWizard.exe"), os.path.join(where, "DFUWizard"))
        if self.native:
            shutil.copy2(os.path.join(LINUX_BUILD, "DFUWizard"), os.path.join(where, "DFUWizard"))

    def run_variables(self):
        variables = super().run_variables()
        variables.update({"XDG_STATE_HOME": STATE, "DFUWIZARD_LINE_RECORD": self.line_record})
        if self.path is not None:
            variables["PATH"] = self.path
        return variables

    def line_settings(self):
        if not os.path.exists(self.line_record):
            return []
        with open(self.line_record) as handle:
            return handle.read().splitlines()


class WineToolRig(WineToolFolder, ToolRig):
    def __init__(self, arguments, native=False, path=None, **options):
        ToolRig.__init__(self, arguments, **options)
        WineToolFolder.__init__(self, native, path)


class WineUpdaterRig(WineToolFolder, Rig):
    def __init__(self, **options):
        Rig.__init__(self, **options)
        WineToolFolder.__init__(self)


def compared_events(run):
    return [(event.get("src"), event["ev"], event.get("code"), event.get("key"), event.get("values"))
            for event in run.events if event["ev"] in COMPARED_EVENTS]


def line_calls(run):
    """Every line setting, modem line and purge made on the port, by the
    program or by anything of Wine's (the fixture is in all of them)."""
    return [(what, value) for _, what, value in run.line_log]


def wine_log_text():
    if not os.path.exists(WINE_LOG):
        return ""
    with open(WINE_LOG, errors="replace") as handle:
        return handle.read()


class WineDownloadTest(RigTestCase):

    @classmethod
    def setUpClass(cls):
        reason = missing_prerequisites()
        if reason is not None:
            raise unittest.SkipTest(reason)
        cls.prefix_made = cls.make_prefix()

    @classmethod
    def make_prefix(cls):
        """marrowlink update in a folder with DFUWizard.exe and no adapter:
        the prefix is made (when missing) before any port is opened."""
        folder = tempfile.mkdtemp(prefix="marrowlink-wine-prefix-")
        try:
            os.makedirs(os.path.join(folder, "DFUWizard"))
            shutil.copy2(os.path.join(WINDOWS_BUILD, "DFUWizard.exe"), os.path.join(folder, "DFUWizard"))
            env = dict(os.environ, XDG_STATE_HOME=STATE)
            started = time.monotonic()
            result = subprocess.run([os.path.join(LINUX_BUILD, "marrowlink"), "update", "--no-wait", "--port",
                                     os.path.join(folder, "no-port")], cwd=folder, env=env,
                                    stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=300)
            elapsed = time.monotonic() - started
        finally:
            shutil.rmtree(folder, ignore_errors=True)
        made = result.stderr.startswith(PREFIX_NOTICE)
        if made:
            sys.stderr.write("Wine prefix made in %.1f s: %s" % (elapsed, result.stderr.splitlines()[0]) + "\n")
        elif "Preparing Wine" in result.stderr:
            raise AssertionError("the Wine prefix could not be made:\n" + result.stderr + wine_log_text())
        return made

    def assert_com1_unmapped(self, link):
        com1 = os.path.join(PREFIX, "dosdevices", "com1")
        self.assertFalse(os.path.lexists(os.path.join(PREFIX, "marrowlink-com1")))
        self.assertNotEqual(os.path.realpath(com1), os.path.realpath(link))
        self.assertFalse(os.path.exists(com1), "COM1 of the prefix still leads somewhere")

    def test_exe_through_wine_gets_com1_reaches_the_simulator_and_changes_nothing_on_the_line(self):
        # A native DFUWizard beside the .exe wins: Wine is not used.
        log_before = wine_log_text()
        with WineToolRig(["update", "--no-wait"], native=True) as rig:
            native = rig.run()
            native_lines = rig.line_settings()
            link = rig.link
        self.assertEqual(native.exit_status, 0, native.errors)
        self.assertEqual(native.tool_calls, [STANDARD_COMMAND_LINE.replace("/serial COM1", "/serial " + link)])
        self.assertEqual(native_lines, [link + " 115200 8E1"])
        self.assertEqual(wine_log_text(), log_before)

        with WineToolRig(["update", "--no-wait"]) as rig:
            run = rig.run()
            lines = rig.line_settings()
            link = rig.link
        self.assertEqual(run.exit_status, 0, run.errors + wine_log_text())
        self.assertEqual(run.errors, "")
        self.assertEqual(run.transcript, UPDATE_LINES % "Update successful !\n")
        self.assertEqual(run.tool_calls, [STANDARD_COMMAND_LINE])
        # Under Wine the stand-in opened COM1 and found the simulator's port:
        # even parity is what the updater left there (a pseudo-terminal holds
        # it only through the null-modem fixture, on the simulator's port).
        self.assertEqual(lines, ["COM1 115200 8E1"])
        self.assertEqual(compared_events(run), compared_events(native))
        self.assertEqual(line_calls(run), line_calls(native))
        self.assert_com1_unmapped(link)

    def test_updater_reports_exit_code_256_as_the_failure_it_is(self):
        with WineUpdaterRig(tool_exit_code=256) as rig:
            run = rig.run()
            link = rig.link
        self.assertEqual(run.exit_status, 1)
        self.assertTrue(run.waited_for_key)
        self.assertEqual(run.transcript, UPDATE_LINES % "Update Wizard terminated with error:256\n"
                         + "Press any key to exit the update program\n")
        self.assertEqual(run.tool_calls, [STANDARD_COMMAND_LINE])
        self.assertEqual(run.store.get(0x0191), UART_CONFIG)  # the keys of a failed download
        self.assertNotIn(0x0108, {int(event["key"], 16) for event in run.events_named("ps_write")})
        self.assert_com1_unmapped(link)

    def test_without_wine_the_tool_cannot_start_and_the_hint_says_install_it(self):
        empty = tempfile.mkdtemp(prefix="marrowlink-no-wine-")
        try:
            with WineToolRig(["update", "--no-wait"], path=empty) as rig:
                run = rig.run()
        finally:
            shutil.rmtree(empty, ignore_errors=True)
        self.assertEqual(run.exit_status, 7, run.errors)
        self.assertIn("Failed to start update Wizard\nBuild ID = 4835\nCold Reset sent\n", run.transcript)
        self.assertEqual(run.tool_calls, [])
        self.assertEqual(run.store.get(0x0191), UART_CONFIG)
        self.assertIn("error: starting the download tool: DFUWizard/DFUWizard.exe is a Windows program, and there "
                      "is no wine on the PATH\nhint: install Wine (sudo apt install wine)", run.errors)

    def test_two_adapters_at_once_each_through_a_com_port_of_its_own(self):
        # Each tool's port leads to its own adapter: its mark is in that port's data log only.
        with Fleet([], ["--version", "ci"]) as fleet:
            tool_folder = os.path.join(fleet.work, "DFUWizard")
            os.remove(os.path.join(tool_folder, "DFUWizard"))
            shutil.copy2(os.path.join(WINDOWS_BUILD, "DFUWizard.exe"), tool_folder)
            status, out, err = fleet.run(variables={
                "XDG_STATE_HOME": STATE,
                "DFUWIZARD_LINE_RECORD": os.path.join(fleet.work, "line-{port}.log"),
                "DFUWIZARD_PORT_MARK": FLEET_MARK})
            self.assertEqual(status, 0, out + err + wine_log_text())
            self.assertIn("All 2 adapters updated.", out.splitlines())
            records = {}
            for name in os.listdir(fleet.work):
                found = re.fullmatch(r"(tool|line)-(COM\d+)\.log", name)
                if found:
                    with open(os.path.join(fleet.work, name)) as handle:
                        records[found.group(1), found.group(2)] = handle.read().splitlines()
            ports = sorted({port for _, port in records})
            self.assertEqual(ports, ["COM1", "COM2"], records)
            rigs = fleet.adapters.rigs
            for rig, command_line in zip(rigs, (STANDARD_COMMAND_LINE, CI_COMMAND_LINE)):
                with self.subTest(adapter=fleet.leaf(rig)):
                    # The port whose tool downloaded this adapter's image.
                    mine = [port for port in ports if records.get(("tool", port)) ==
                            [command_line.replace("/serial COM1", "/serial " + port)]]
                    self.assertEqual(len(mine), 1, records)
                    port = mine[0]
                    self.assertEqual(records["line", port], [port + " 115200 8E1"])
                    marks = {other: (FLEET_MARK.replace("{port}", other)).encode().hex() for other in ports}
                    with open(rig.data_log) as handle:
                        written = [line.split()[-1] for line in handle if " WRITE " in line]
                    self.assertEqual([p for p, mark in marks.items() if mark in written], [port])
                    self.assertEqual(read_store(rig.store)[0x024B], [40 if command_line is CI_COMMAND_LINE else 48])
            for com in (1, 2):
                self.assertFalse(os.path.lexists(os.path.join(PREFIX, "marrowlink-com%d" % com)))


class WineToolShownTest(unittest.TestCase):
    """What ports and update --help say about the tool, from a folder that
    holds DFUWizard/DFUWizard.exe: through Wine with its version, or, for a
    build without the launcher, why it cannot start."""

    def setUp(self):
        reason = missing_prerequisites()
        if reason is not None:
            self.skipTest(reason)
        self.folder = tempfile.mkdtemp(prefix="marrowlink-wine-shown-")
        os.makedirs(os.path.join(self.folder, "DFUWizard"))
        os.makedirs(os.path.join(self.folder, "sys", "class", "tty"))
        shutil.copy2(os.path.join(WINDOWS_BUILD, "DFUWizard.exe"), os.path.join(self.folder, "DFUWizard"))

    def tearDown(self):
        shutil.rmtree(self.folder, ignore_errors=True)

    def marrowlink(self, program, *arguments):
        result = subprocess.run([program] + list(arguments), cwd=self.folder, stdin=subprocess.DEVNULL,
                                capture_output=True, text=True, timeout=60,
                                env=dict(os.environ, XDG_STATE_HOME=STATE))
        self.assertEqual((result.returncode, result.stderr), (0, ""))
        return result.stdout

    def test_ports_and_help_name_the_tool_wine_and_why_a_build_without_launcher_cannot_start_it(self):
        version = subprocess.run(["wine", "--version"], capture_output=True, text=True,
                                 env=dict(os.environ, WINEDEBUG="-all")).stdout.strip()
        program = os.path.join(LINUX_BUILD, "marrowlink")
        ports = self.marrowlink(program, "ports", "--sys-root", "sys", "--dev-root", "dev")
        self.assertIn("Download tool: DFUWizard/DFUWizard.exe through Wine (%s), a 64-bit program, in the prefix %s"
                      % (version, PREFIX), ports)
        self.assertIn("Download tool: DFUWizard/DFUWizard.exe through Wine (%s)" % version,
                      self.marrowlink(program, "update", "--help"))
        # The program alone, without marrowlink-wine-launcher.exe beside it.
        alone = os.path.join(self.folder, "marrowlink")
        shutil.copy2(program, alone)
        self.assertIn("through Wine (%s), which cannot start now: marrowlink-wine-launcher.exe" % version,
                      self.marrowlink(alone, "ports", "--sys-root", "sys", "--dev-root", "dev"))


def main():
    reason = missing_prerequisites()
    if reason is not None:
        print("Wine download tests skipped: " + reason)
        return SKIP_EXIT_CODE
    program = unittest.main(module="__main__", exit=False)
    return 0 if program.result.wasSuccessful() else 1


if __name__ == "__main__":
    sys.exit(main())
