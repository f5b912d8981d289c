"""The Win32 platform layer under Wine, where no end-to-end run can reach it:
the process calls given the handle a failed OpenProcess leaves
(tests/wine/process_handle_check.cpp), children started by argument vector
(tests/wine/process_argv_check.cpp), the port listing's bounded open
given opens that block (tests/wine/port_open_within_check.cpp), and interrupt
holds (tests/wine/interrupt_check.cpp).

    python3 wine.py -v test_win32_platform     (what ctest runs)
"""

import os
import pty
import subprocess
import tempfile
import unittest

import rig
import wine

CHECK_TIMEOUT_S = 30


class Win32ProcessCallsTest(unittest.TestCase):

    def run_check(self, program, *arguments, status=0):
        session = wine.session(rig.WINE_PREFIXES, rig.WINDOWS_BUILD)
        result = wine.run_wine_command([wine.WINE_LOADER, os.path.join(rig.WINDOWS_BUILD, program), *arguments],
                                       session.environment(), CHECK_TIMEOUT_S, check=False)
        self.assertEqual(result.returncode, status, result.stdout + result.stderr)
        return result

    def test_invalid_handle_is_refused_not_taken_for_the_program_itself(self):
        self.run_check("process_handle_check.exe")

    def test_child_by_argument_vector_gets_its_arguments_files_pipe_and_no_other_handle(self):
        self.run_check("process_argv_check.exe")

    def test_blocking_open_is_given_up_at_its_deadline_and_its_late_handle_closed(self):
        self.run_check("port_open_within_check.exe")

    def test_relayed_interrupt_is_noted_in_a_hold_and_ends_the_process_outside_one(self):
        result = self.run_check("interrupt_check.exe", "relay")
        self.assertIn("interrupted: finishing\r\n", result.stderr)
        self.run_check("interrupt_check.exe", "outside", status=130)

    def test_console_ctrl_c_is_noted_in_a_hold_and_ends_the_process_after_it(self):
        # A pseudo-terminal on standard input gives the program a console.
        session = wine.session(rig.WINE_PREFIXES, rig.WINDOWS_BUILD)
        master, terminal = pty.openpty()
        try:
            with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
                result = subprocess.run([wine.WINE_LOADER, os.path.join(rig.WINDOWS_BUILD, "interrupt_check.exe"),
                                         "console"], env=session.environment(), stdin=terminal, stdout=out,
                                        stderr=err, timeout=CHECK_TIMEOUT_S)
                out.seek(0)
                err.seek(0)
                printed = out.read().decode("utf-8", "replace")
                errors = err.read().decode("utf-8", "replace")
        finally:
            os.close(master)
            os.close(terminal)
        if result.returncode == 77:
            self.skipTest(printed)
        # Ended by the second Ctrl-C: nothing printed, no status of its own (1).
        self.assertEqual(printed, "")
        self.assertNotEqual(result.returncode, 1)
        self.assertEqual(errors, "interrupted: finishing\r\n")


if __name__ == "__main__":
    unittest.main()
