"""The Win32 platform layer under Wine, where no end-to-end run can reach it:
the process calls given the handle a failed OpenProcess leaves
(tests/wine/process_handle_check.cpp), and the port listing's bounded open
given opens that block (tests/wine/port_open_within_check.cpp).

    python3 wine.py -v test_win32_platform     (what ctest runs)
"""

import os
import unittest

import rig
import wine

CHECK_TIMEOUT_S = 30


class Win32ProcessCallsTest(unittest.TestCase):

    def run_check(self, program):
        session = wine.session(rig.WINE_PREFIXES, rig.WINDOWS_BUILD)
        result = wine.run_wine_command([wine.WINE_LOADER, os.path.join(rig.WINDOWS_BUILD, program)],
                                       session.environment(), CHECK_TIMEOUT_S, check=False)
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)

    def test_invalid_handle_is_refused_not_taken_for_the_program_itself(self):
        self.run_check("process_handle_check.exe")

    def test_blocking_open_is_given_up_at_its_deadline_and_its_late_handle_closed(self):
        self.run_check("port_open_within_check.exe")


if __name__ == "__main__":
    unittest.main()
