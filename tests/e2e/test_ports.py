"""End to end: `marrowlink ports` on a fake sysfs, /dev and /proc tree as root
and as another user, a port held by another process and a port this user may
not open as the real binary sees them, --probe against the simulator, the
time 64 ports take, and --port auto beside a silent adapter and with two
answering ones; `marrowlink.exe ports` under Wine.

The fake trees come from fake-port-tree (tests/ports); the program runs in the
tree's folder with relative roots, so that its lines are the same every run.
No test here looks at the machine's own port list or opens a real /dev/ttyS*:
the one real device is a pseudo-terminal, linked into the fake /dev. The
Windows build lists the ports Wine maps, so its test runs in a /dev without
the machine's serial devices (wine.py --private-dev) and checks that first."""

import concurrent.futures
import json
import os
import pty
import shutil
import subprocess
import tempfile
import time
import unittest

import private_dev
import wine
from rig import (BUILD, LINUX_BUILD, SANITIZER_RUNTIME, WINDOWS_BUILD, WINE_PREFIXES, Adapters, Rig, RigTestCase,
                 read_events, read_store)
from test_tool import ToolRig

MARROWLINK = os.path.join(LINUX_BUILD, "marrowlink")
FAKE_PORT_TREE = os.path.join(LINUX_BUILD, "fake-port-tree")
PORT_HOLDER = os.path.join(LINUX_BUILD, "port-holder")
FAKE_ROOTS = ["--sys-root", "sys", "--dev-root", "dev", "--proc-root", "proc", "--lock-root", "lock"]
# The other user a test runs the program as: root passes every permission check.
OTHER_USER = "nobody"
OTHER_GROUP = "nogroup"
# The budget for listing 64 ports without probing; the program's own
# start is included, so the best of a few runs counts.
MANY_PORTS_BUDGET_S = 0.100
MANY_PORTS_RUNS = 3

STANDARD_LISTING = """\
PORT          DEVICE                                      STATE
dev/ttyACM0   Arduino Uno (2341:0043, 7543331)            free
              dev/serial/by-id/usb-Arduino_(www.arduino.cc)_Arduino_Uno_7543331-if00
dev/ttyS0     serial port (serial8250)                    free
dev/ttyUSB0   FTDI FT232R USB UART (0403:6001, A10K2F3Q)  free
              dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A10K2F3Q-if00-port0
dev/ttyUSB1   Prolific USB-Serial Controller (067b:2303)  busy: minicom (pid 4121)
              dev/serial/by-id/usb-Prolific_Technology_Inc._USB-Serial_Controller-if00-port0
dev/ttyUSB10  QinHeng USB Serial (1a86:7523)              free
"""


def run_marrowlink(args, cwd=None, env=None, user=None, timeout_s=60):
    """(exit status, stdout, stderr); as another user (in OTHER_GROUP only) through setpriv when given."""
    command = [MARROWLINK] + list(args)
    if user is not None:
        command = ["setpriv", "--reuid=" + user, "--regid=" + OTHER_GROUP, "--clear-groups", "--"] + command
    result = subprocess.run(command, cwd=cwd, env=env, stdin=subprocess.DEVNULL, capture_output=True, text=True,
                            timeout=timeout_s)
    return result.returncode, result.stdout, result.stderr


def require_other_user(test):
    if os.geteuid() != 0 or shutil.which("setpriv") is None:
        test.skipTest("running the program as %s needs root and setpriv" % OTHER_USER)


class FakeTree:
    """A fake port tree in a folder of its own, searchable by every user."""

    def __init__(self, *options):
        self.root = tempfile.mkdtemp(prefix="marrowlink-ports-")
        os.chmod(self.root, 0o755)
        subprocess.run([FAKE_PORT_TREE, self.root] + list(options), check=True)

    def ports(self, *args, **kwargs):
        return run_marrowlink(["ports"] + FAKE_ROOTS + list(args), cwd=self.root, **kwargs)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        shutil.rmtree(self.root, ignore_errors=True)


class PortHolder:
    """port-holder on a port: holds it as the updater does until stopped."""

    def __init__(self, path):
        self.process = subprocess.Popen([PORT_HOLDER, path], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                        text=True)
        line = self.process.stdout.readline()
        if not line.startswith("held "):
            self.process.kill()
            self.process.wait()
            raise AssertionError("port-holder could not hold " + path)
        self.pid = int(line.split()[1])

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.process.stdin.close()
        self.process.wait(timeout=10)
        self.process.stdout.close()


class PseudoTerminal:
    """A pseudo-terminal pair; the slave stands for a real port in a fake /dev."""

    def __init__(self):
        self.master, slave = pty.openpty()
        self.slave_path = os.ttyname(slave)
        os.close(slave)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        os.close(self.master)


def row_of(out, name):
    """The table row of the port name."""
    rows = [line for line in out.splitlines() if line.startswith(name + " ")]
    if len(rows) != 1:
        raise AssertionError("no single row for %s in:\n%s" % (name, out))
    return rows[0]


class PortsListingTest(unittest.TestCase):

    def test_fake_machine_lists_ports_with_hardware_what_they_are_and_their_state(self):
        with FakeTree("--standard", "--hold", "ttyUSB1=4121:/usr/bin/minicom") as tree:
            result = tree.ports()
        self.assertEqual(result, (0, STANDARD_LISTING, ""))

    def test_another_user_is_told_which_group_may_open_each_port(self):
        require_other_user(self)
        with FakeTree("--standard") as tree:
            status, out, err = tree.ports(user=OTHER_USER)
        self.assertEqual((status, err), (0, ""))
        rows = [line for line in out.splitlines() if line.startswith("dev/tty")]
        self.assertEqual(len(rows), 5, out)
        for row in rows:
            self.assertTrue(row.endswith("  permission denied (group dialout)"), row)

    def test_json_gives_scripts_the_same_ports_and_states(self):
        with FakeTree("--standard", "--hold", "ttyUSB1=4121:/usr/bin/minicom") as tree:
            status, out, err = tree.ports("--json")
        self.assertEqual((status, err), (0, ""))
        report = json.loads(out)
        self.assertEqual(report["outcome"], "ok")
        self.assertEqual(report["exit_status"], 0)
        ports = {port["port"]: port for port in report["ports"]}
        self.assertEqual(list(ports), ["dev/ttyACM0", "dev/ttyS0", "dev/ttyUSB0", "dev/ttyUSB1", "dev/ttyUSB10"])
        self.assertEqual(ports["dev/ttyUSB1"]["state"], "busy")
        self.assertEqual(ports["dev/ttyUSB1"]["holder"], {"pid": 4121, "name": "minicom"})
        self.assertEqual(ports["dev/ttyUSB1"]["reason"], "the port is in use by minicom (pid 4121)")
        self.assertEqual(ports["dev/ttyUSB0"]["state"], "free")
        self.assertEqual(ports["dev/ttyUSB0"]["by_id"], "dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A10K2F3Q-if00-port0")
        self.assertEqual((ports["dev/ttyACM0"]["driver"], ports["dev/ttyACM0"]["usb_id"]), ("cdc_acm", "2341:0043"))

    def test_sixty_four_ports_are_listed_within_a_tenth_of_a_second(self):
        with FakeTree("--many", "64") as tree:
            timings = []
            for _ in range(MANY_PORTS_RUNS):
                started = time.monotonic()
                status, out, err = tree.ports()
                timings.append(time.monotonic() - started)
        self.assertEqual((status, err), (0, ""))
        self.assertEqual(len([line for line in out.splitlines() if line.startswith("dev/ttyUSB")]), 64)
        print("64 ports listed in %.1f ms (best of %d)" % (min(timings) * 1000, MANY_PORTS_RUNS))
        # The sanitizer build is several times slower by design: its figure is only shown.
        if SANITIZER_RUNTIME is None:
            self.assertLess(min(timings), MANY_PORTS_BUDGET_S)


class RealPortStateTest(unittest.TestCase):
    """A pseudo-terminal linked in as dev/ttyUSB0, looked at through the real
    /proc: the states the listing gives a real device."""

    def test_port_held_by_another_process_names_it(self):
        with PseudoTerminal() as line, FakeTree("--standard", "--link", "ttyUSB0=" + line.slave_path) as tree:
            with PortHolder(line.slave_path) as holder:
                status, out, err = run_marrowlink(["ports", "--sys-root", "sys", "--dev-root", "dev"], cwd=tree.root)
        self.assertEqual((status, err), (0, ""))
        self.assertTrue(row_of(out, "dev/ttyUSB0").endswith("  busy: port-holder (pid %d)" % holder.pid), out)

    def test_port_of_a_group_the_user_is_not_in_is_denied_with_the_group(self):
        require_other_user(self)
        with PseudoTerminal() as line, FakeTree("--standard", "--link", "ttyUSB0=" + line.slave_path) as tree:
            shutil.chown(line.slave_path, group="dialout")
            os.chmod(line.slave_path, 0o660)
            status, out, err = run_marrowlink(["ports", "--sys-root", "sys", "--dev-root", "dev"], cwd=tree.root,
                                              user=OTHER_USER)
        self.assertEqual((status, err), (0, ""))
        self.assertTrue(row_of(out, "dev/ttyUSB0").endswith("  permission denied (group dialout)"), out)


class PortsProbeTest(unittest.TestCase):
    """--probe with the simulator behind dev/ttyUSB0; the other nodes are plain files."""

    def probe(self, sim_args=()):
        with Rig(sim_args=sim_args) as rig:
            rig.start_sim()
            with FakeTree("--standard", "--rfcomm", "--link", "ttyUSB0=" + rig.link,
                          "--hold", "ttyUSB1=4121:/usr/bin/minicom") as tree:
                return tree.ports("--probe", env=rig.environment())

    def test_probe_finds_the_marrowlink_and_says_what_every_other_port_is(self):
        status, out, err = self.probe()
        self.assertEqual((status, err), (0, ""))
        # The probes run at once: their count first, then the table.
        self.assertEqual(out.splitlines()[0], "Probing 4 ports at once ...")
        self.assertEqual(out.splitlines()[1].split(), ["PORT", "DEVICE", "STATE", "ADAPTER"])
        self.assertTrue(row_of(out, "dev/ttyUSB0").endswith(" free                     ... Marrowlink QXZ4702"), out)
        self.assertTrue(row_of(out, "dev/ttyUSB1").endswith(" busy: minicom (pid 4121) ... not probed"), out)
        for name in ("dev/ttyACM0", "dev/ttyS0", "dev/ttyUSB10"):
            self.assertTrue(row_of(out, name).endswith(" ... cannot open: not a serial port"), out)
        self.assertRegex(row_of(out, "dev/rfcomm0"), "^dev/rfcomm0 +Bluetooth link +free +... "
                                                     "not probed: a Bluetooth link port, not a wired adapter$")

    def test_probe_shows_an_identifier_that_is_not_a_marrowlinks_as_far_as_it_was_read(self):
        status, out, err = self.probe(["--pnp-id", "QXZ9999"])
        self.assertEqual((status, err), (0, ""))
        self.assertTrue(row_of(out, "dev/ttyUSB0").endswith(" ... QXZ9... answered, not a Marrowlink"), out)


class OpenReasonTest(unittest.TestCase):
    """Each reason a port cannot be opened, as `marrowlink probe` gives it."""

    def probe_port(self, port, user=None):
        return run_marrowlink(["probe", "--port", port], user=user)

    def assert_failed_opening(self, result, port, reason, hint):
        status, out, err = result
        self.assertEqual(status, 3, out + err)
        self.assertEqual(out, "Waking the adapter on %s ... failed\n" % port)
        self.assertEqual(err, "error: opening %s: %s\nhint: %s\n" % (port, reason, hint))

    def test_missing_port_points_at_the_port_list(self):
        port = "/dev/marrowlink-no-such-port"
        self.assert_failed_opening(self.probe_port(port), port, "there is no such port",
                                   "is the adapter plugged in? marrowlink ports lists the serial ports of this machine")

    def test_something_that_is_not_a_serial_port_is_named_so(self):
        self.assert_failed_opening(self.probe_port("/dev/null"), "/dev/null", "this is not a serial port",
                                   "name the adapter's serial port; marrowlink ports lists the serial ports of "
                                   "this machine")

    def test_busy_port_names_the_process_that_holds_it(self):
        # Found before the port is opened: nothing is said of waking the adapter.
        with PseudoTerminal() as line, PortHolder(line.slave_path) as holder:
            status, out, err = self.probe_port(line.slave_path)
        self.assertEqual((status, out), (3, ""), err)
        self.assertEqual(err, "error: opening %s: the port is in use by port-holder (pid %d)\n"
                              "hint: close that program, or choose another port (marrowlink ports lists them)\n"
                         % (line.slave_path, holder.pid))

    def test_a_live_uucp_lock_names_its_program_and_a_stale_one_is_passed(self):
        # 4122 has no process: its lock is stale.
        with FakeTree("--standard", "--lock", "ttyUSB0=4121:/usr/bin/cu", "--lock", "ttyUSB1=4122:") as tree:
            locked = run_marrowlink(["probe", "--port", "dev/ttyUSB0"] + FAKE_ROOTS, cwd=tree.root)
            stale = run_marrowlink(["probe", "--port", "dev/ttyUSB1"] + FAKE_ROOTS, cwd=tree.root)
            listing = tree.ports()
        node = os.path.join(os.path.realpath(tree.root), "dev", "ttyUSB")
        self.assertEqual(locked, (3, "", "error: opening %s0: the port is in use by cu (pid 4121)\nhint: close that "
                                         "program, or choose another port (marrowlink ports lists them)\n" % node))
        # The stale lock is no holder: the plain file is opened, and is no serial port.
        self.assertEqual(stale[0], 3)
        self.assertIn("this is not a serial port", stale[2])
        self.assertTrue(row_of(listing[1], "dev/ttyUSB0").endswith("  busy: cu (pid 4121)"), listing)
        self.assertTrue(row_of(listing[1], "dev/ttyUSB1").endswith("  free"), listing)

    def test_update_opens_a_port_named_from_the_current_folder(self):
        # update works inside the DFUWizard folder: the name as typed would lead nowhere from there.
        with tempfile.TemporaryDirectory() as folder:
            os.mkdir(os.path.join(folder, "DFUWizard"))
            os.symlink("/dev/null", os.path.join(folder, "port"))
            status, out, err = run_marrowlink(["update", "--no-wait", "--port", "port"], cwd=folder)
            port = os.path.join(os.path.realpath(folder), "port")
        self.assertEqual(status, 3, out + err)
        self.assertIn("Marrowlink not found on %s.\n" % port, out)
        self.assertEqual(err, "error: opening %s: this is not a serial port\nhint: name the adapter's serial port; "
                              "marrowlink ports lists the serial ports of this machine\n" % port)

    def test_denied_port_names_its_group_and_how_to_join_it(self):
        require_other_user(self)
        with PseudoTerminal() as line:
            shutil.chown(line.slave_path, group="dialout")
            os.chmod(line.slave_path, 0o660)
            result = self.probe_port(line.slave_path, user=OTHER_USER)
        self.assert_failed_opening(result, line.slave_path,
                                   "permission denied (the port belongs to the group dialout)",
                                   'add yourself to that group with: sudo usermod -aG dialout "$USER", '
                                   "then log out and in again")


class UnlockedHolder(ToolRig):
    """The tool against the simulator while a plain program (sleep, its
    standard input the port) has the pseudo-terminal open without flock or
    TIOCEXCL, as a terminal program or a script may."""

    def before_program(self):
        port = os.open(self.link, os.O_RDWR | os.O_NOCTTY)
        try:
            self.holder = subprocess.Popen(["sleep", "60"], stdin=port)
        finally:
            os.close(port)
        self.holder_pid = self.holder.pid

    def __exit__(self, *exc):
        if self.holder is not None:
            self.holder.kill()
            self.holder.wait(timeout=10)
            self.holder = None
        return super().__exit__(*exc)


class PortHeldWithoutLockTest(RigTestCase):
    """A port that a program without any lock has open is refused before the
    adapter is woken: no modem line moves and no byte reaches the line."""

    def test_probe_and_update_refuse_it_naming_the_program(self):
        if BUILD != "linux":
            self.skipTest("Linux: Windows refuses the open of a held COM port itself")
        for command in (["probe"], ["update", "--no-wait"]):
            with self.subTest(command=command[0]), UnlockedHolder(command) as rig:
                run = rig.run()
                holder_pid = rig.holder_pid
                data = open(rig.data_log, "rb").read() if os.path.exists(rig.data_log) else b""
                self.assertEqual((run.exit_status, run.transcript), (3, ""), run.errors)
                self.assertEqual(run.errors, "error: opening %s: the port is in use by sleep (pid %d)\n"
                                             "hint: close that program, or choose another port (marrowlink ports "
                                             "lists them)\n" % (rig.link, holder_pid))
                self.assertEqual(run.line_log, [], "the program moved a modem line or changed the settings")
                self.assertEqual(data, b"", "the program wrote to the port")
                self.assertEqual([event["ev"] for event in run.events if event["ev"] in ("wake", "rx", "line")], [])
                self.assertEqual(run.tool_calls, [])


class PortAutoTest(RigTestCase):
    """probe and update --port auto among the standard fake ports, with a
    simulator behind dev/ttyUSB0 and, for two adapters, another behind
    dev/ttyUSB10. The null-modem fixture keeps a line log per port, so each
    simulator follows its own port's modem lines."""

    def run_auto(self, command, *sims):
        """marrowlink COMMAND --port auto with one simulator per sims entry
        (its options) behind dev/ttyUSB0, dev/ttyUSB10 in that order, run from
        a folder that holds the DFUWizard folder: (result, the Adapters).
        Each rig's store_before is its chip's store as the program found it."""
        with Adapters(*sims) as adapters:
            for rig in adapters.rigs:
                rig.store_before = read_store(rig.store)
            links = []
            for name, rig in zip(("ttyUSB0", "ttyUSB10"), adapters.rigs):
                links += ["--link", name + "=" + rig.link]
            with FakeTree("--standard", "--hold", "ttyUSB1=4121:/usr/bin/minicom", *links) as tree:
                adapters.rigs[0].make_tool_folder(tree.root)
                result = run_marrowlink(command + ["--port", "auto"] + FAKE_ROOTS, cwd=tree.root,
                                        env=adapters.environment())
        return result, adapters

    def events_of(self, rig, name):
        return [event for event in read_events(rig.events) if event.get("ev") == name]

    def test_the_answering_port_is_used_beside_a_silent_one(self):
        (status, out, err), adapters = self.run_auto(["probe"], ["--fault", "silent"], [])
        self.assertEqual((status, err), (0, ""))
        self.assertEqual(out.splitlines()[:6], [
            "Probing dev/ttyACM0 ... cannot open: not a serial port",
            "Probing dev/ttyS0 ... cannot open: not a serial port",
            "Probing dev/ttyUSB0 ... no answer",
            "Probing dev/ttyUSB10 ... Marrowlink QXZ4702",
            "Found a Marrowlink (QXZ4702) on dev/ttyUSB10",
            "Waking the adapter on dev/ttyUSB10 ... QXZ4702",
        ])
        silent, answering = adapters.rigs
        self.assertEqual(len(self.events_of(silent, "wake")), 1, "the silent adapter was woken once")
        self.assertEqual(self.events_of(silent, "command"), [])
        self.assertEqual(len(self.events_of(answering, "version_sent")), 1, "the probe identified the answering one")

    def test_no_answer_anywhere_lists_what_each_port_said(self):
        (status, out, err), _ = self.run_auto(["probe"], ["--fault", "silent"])
        self.assertEqual(status, 4, out + err)
        self.assertEqual(err, "error: finding the adapter (--port auto): no Marrowlink answered: "
                              "dev/ttyACM0: cannot open: not a serial port; dev/ttyS0: cannot open: not a serial port; "
                              "dev/ttyUSB0: no answer; dev/ttyUSB1: busy: minicom (pid 4121); "
                              "dev/ttyUSB10: cannot open: not a serial port\n"
                              "hint: is the adapter plugged in and powered? marrowlink ports --probe shows what each "
                              "port answers\n")

    def test_two_answering_adapters_are_named_and_neither_is_used(self):
        commands = (["probe", "--chip"], ["update"])
        # Side by side: each run waits out its adapters' wake-up pauses, not the processor.
        with concurrent.futures.ThreadPoolExecutor(len(commands)) as pool:
            runs = list(pool.map(lambda command: self.run_auto(command, [], ["--pnp-id", "QXZ5830"]), commands))
        for command, ((status, out, err), adapters) in zip(commands, runs):
            with self.subTest(command=command[0]):
                self.assertEqual(status, 2, out + err)
                self.assertEqual(out.splitlines()[-2:], ["Probing dev/ttyUSB0 ... Marrowlink QXZ4702",
                                                         "Probing dev/ttyUSB10 ... Marrowlink QXZ5830"])
                self.assertEqual(err, "error: finding the adapter (--port auto): a Marrowlink answered on "
                                      "dev/ttyUSB0 (QXZ4702), dev/ttyUSB10 (QXZ5830)\n"
                                      "hint: choose one with --port\n")
                self.assertFalse(os.path.exists(adapters.rigs[0].tool_record), "the download tool was started")
                for rig in adapters.rigs:
                    # Woken and answered, then left: no command, so no hand-over to the chip and nothing written.
                    self.assertEqual(len(self.events_of(rig, "pnp_sent")), 1, rig.link)
                    for name in ("command", "handover", "bccmd"):
                        self.assertEqual(self.events_of(rig, name), [], (rig.link, name))
                    self.assertEqual(read_store(rig.store), rig.store_before, rig.store)


class WineListingRig(ToolRig):
    """marrowlink.exe with its arguments alone; COM5 leads to the simulator,
    COM1 and COM6 to a path where nothing is. Wine still opens such a port
    (its mount manager's device object), and every serial call on it fails: a
    port that opens but is no serial port, found without the 2.8 s a silent
    one costs."""

    def program_arguments(self):
        return self.arguments

    def port_targets(self):
        return {"COM1": os.path.join(self.folder, "no-device"), "COM5": self.link,
                "COM6": os.path.join(self.folder, "no-device")}


class WinePortsTest(RigTestCase):
    """marrowlink.exe ports under Wine: what the Windows listing finds there
    (Wine has no SetupAPI entries for its ports, only SERIALCOMM), a plain
    listing that opens no port (each open pulses DTR and RTS), each port's
    state from a real open with --probe, against the simulator, and a
    Bluetooth link port that SERIALCOMM names, which is not opened."""

    SERIALCOMM_KEY = "HKLM\\HARDWARE\\DEVICEMAP\\SERIALCOMM"
    BLUETOOTH_KERNEL_NAME = "\\Device\\BthModem0"
    WINE_LISTING = (
        "PORT  DEVICE           STATE\n"
        "COM1  \\Device\\Serial0  not opened\n"
        "COM5  \\Device\\Serial4  not opened\n"
        "COM6  \\Device\\Serial5  not opened\n"
    )

    @classmethod
    def setUpClass(cls):
        if BUILD != "windows":
            raise unittest.SkipTest("the Windows build's port listing")
        if not private_dev.entered():
            raise unittest.SkipTest("lists the ports Wine maps: run it in a /dev without the machine's serial "
                                    "devices (wine.py --private-dev)")
        cls.session = wine.session(WINE_PREFIXES, WINDOWS_BUILD)

    def assert_only_the_rigs_ports_are_mapped(self):
        """No real serial device in this /dev, and Wine's COM links are the rig's own."""
        self.assertEqual(private_dev.serial_devices(), [])
        self.assertEqual(self.session.port_links_found(),
                         {port.lower(): link for port, link in self.session.port_links.items()})

    def run_ports(self, arguments):
        self.assert_only_the_rigs_ports_are_mapped()
        # No DFUWizard folder: the listing alone, without the download tool's line.
        with WineListingRig(arguments, tool_folder=False) as rig:
            run = rig.run()
        self.assert_only_the_rigs_ports_are_mapped()
        self.assertEqual((run.exit_status, run.errors), (0, ""), run.transcript + run.errors)
        return run

    def test_ports_lists_com1_com5_and_com6_as_serialcomm_names_them_without_opening_them(self):
        # Wine's open of a port over a pseudo-terminal moves no line the fixture
        # would log: the state, which only an open could give, tells.
        self.assertEqual(self.run_ports(["ports"]).transcript, self.WINE_LISTING)
        states = {port["port"]: port["state"] for port in json.loads(self.run_ports(["ports", "--json"]).transcript)["ports"]}
        self.assertEqual(states, {"COM1": "not_opened", "COM5": "not_opened", "COM6": "not_opened"})

    def serialcomm(self, verb, *options):
        """reg VERB on SERIALCOMM's value for the Bluetooth modem."""
        wine.run_wine_command([wine.WINE_LOADER, "reg", verb, self.SERIALCOMM_KEY, "/v", self.BLUETOOTH_KERNEL_NAME]
                              + list(options) + ["/f"], self.session.environment())

    def test_a_bluetooth_link_port_is_neither_opened_nor_probed(self):
        # As Windows names a paired device's port; nothing maps COM7, so an
        # open would have found no device.
        self.serialcomm("add", "/t", "REG_SZ", "/d", "COM7")
        try:
            run = self.run_ports(["ports", "--probe"])
        finally:
            self.serialcomm("delete")
        self.assertRegex(row_of(run.transcript, "COM7"),
                         r"^COM7  \\Device\\BthModem0  not checked: Bluetooth link \.\.\. "
                         "not probed: a Bluetooth link port, not a wired adapter$")

    def test_probe_finds_the_marrowlink_on_com5_only(self):
        run = self.run_ports(["ports", "--probe"])
        self.assertEqual(run.transcript.splitlines()[0], "Probing 3 ports at once ...")
        self.assertEqual(run.transcript.splitlines()[1].split(), ["PORT", "DEVICE", "STATE", "ADAPTER"])
        self.assertTrue(row_of(run.transcript, "COM1").endswith(
            " free  ... the port refused the adapter's line settings"), run.transcript)
        self.assertTrue(row_of(run.transcript, "COM6").endswith(
            " free  ... the port refused the adapter's line settings"), run.transcript)
        self.assertTrue(row_of(run.transcript, "COM5").endswith(" free  ... Marrowlink QXZ4702"), run.transcript)
        self.assertEqual(len(run.transcript.splitlines()), 5, run.transcript)


if __name__ == "__main__":
    unittest.main()
