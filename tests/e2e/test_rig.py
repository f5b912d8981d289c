"""The rig's own bookkeeping: a failing test keeps its runs' logs; the
private /dev the Windows port listing runs in has no serial device."""

import os
import shutil
import stat
import subprocess
import sys
import tempfile
import unittest

import private_dev
import rig


class KeptLogsTest(unittest.TestCase):

    def setUp(self):
        self.failures = tempfile.mkdtemp(prefix="marrowlink-kept-")
        self.addCleanup(shutil.rmtree, self.failures, ignore_errors=True)
        self.addCleanup(setattr, rig, "FAILURES_FOLDER", rig.FAILURES_FOLDER)
        rig.FAILURES_FOLDER = self.failures

    def run_case(self, passes):
        folders = []

        class Case(rig.RigTestCase):
            def test_it(self):
                with rig.Rig() as made:
                    folders.append(made.folder)
                    with open(os.path.join(made.folder, "sim.log"), "w") as handle:
                        handle.write("tx frame\n")
                self.assertTrue(passes, "the scenario failed")

        case = Case("test_it")
        return case, case.run(unittest.TestResult()), folders[0]

    def test_failing_test_keeps_logs_and_names_them(self):
        case, result, folder = self.run_case(passes=False)
        kept = os.path.join(self.failures, case.id(), "run-1", "sim.log")
        with open(kept) as handle:
            self.assertEqual(handle.read(), "tx frame\n")
        self.assertEqual(len(result.failures), 1)
        self.assertIn(os.path.join(self.failures, case.id()), result.failures[0][1])
        self.assertFalse(os.path.exists(folder), "the run's own folder was left behind")

    def test_passing_test_keeps_nothing(self):
        _, result, folder = self.run_case(passes=True)
        self.assertTrue(result.wasSuccessful())
        self.assertEqual(os.listdir(self.failures), [])
        self.assertFalse(os.path.exists(folder))


# What a child process reports from inside its private /dev.
PRIVATE_DEV_CHILD = """
import os, pty, private_dev
private_dev.enter()
master, slave = pty.openpty()
os.write(slave, b"x")
print("serial devices", len(private_dev.serial_devices()))
print("pty echoes", os.read(master, 1).decode())
print("null opens", os.open("/dev/null", os.O_RDWR) > 0)
"""


class PrivateDevTest(unittest.TestCase):

    CASES = [
        # (/dev entry, st_mode, (major, minor), left out)
        ("ttyS0", stat.S_IFCHR, (4, 64), True),
        ("ttyS31", stat.S_IFCHR, (4, 95), True),
        ("ttyUSB0", stat.S_IFCHR, (188, 0), True),
        ("ttyACM2", stat.S_IFCHR, (166, 2), True),
        ("ttyAMA0", stat.S_IFCHR, (204, 64), True),
        ("gps0", stat.S_IFCHR, (188, 3), True),  # a udev name for a USB serial port
        ("ttyS0", stat.S_IFLNK, (0, 0), True),  # a link of that name
        ("serial", stat.S_IFDIR, (0, 0), True),  # the by-id and by-path links
        ("rfcomm0", stat.S_IFCHR, (216, 0), True),
        ("tty", stat.S_IFCHR, (5, 0), False),
        ("tty1", stat.S_IFCHR, (4, 1), False),  # a virtual console
        ("tty63", stat.S_IFCHR, (4, 63), False),
        ("ptmx", stat.S_IFCHR, (5, 2), False),
        ("null", stat.S_IFCHR, (1, 3), False),
        ("pts", stat.S_IFDIR, (0, 0), False),
        ("loop0", stat.S_IFBLK, (7, 0), False),
        ("sda1", stat.S_IFBLK, (8, 1), False),
    ]

    def test_serial_ports_are_known_by_name_or_device_number(self):
        for name, mode, (major, minor), left_out in self.CASES:
            with self.subTest(name=name, mode=oct(mode)):
                self.assertEqual(private_dev.is_serial(name, mode, os.makedev(major, minor)), left_out)

    def test_a_child_in_its_private_dev_has_ptys_and_no_serial_device(self):
        reason = private_dev.unavailable()
        if reason is not None:
            self.skipTest(reason)
        before = sorted(os.listdir("/dev"))
        child = subprocess.run([sys.executable, "-c", PRIVATE_DEV_CHILD], cwd=os.path.dirname(__file__),
                               capture_output=True, text=True, timeout=30)
        self.assertEqual((child.returncode, child.stdout),
                         (0, "serial devices 0\npty echoes x\nnull opens True\n"), child.stderr)
        self.assertEqual(sorted(os.listdir("/dev")), before, "the machine's /dev changed")


if __name__ == "__main__":
    unittest.main()
