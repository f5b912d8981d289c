"""The Win32 platform layer under Wine, where no end-to-end run can reach it:
the process calls given the handle a failed OpenProcess leaves
(tests/wine/process_handle_check.cpp).

    python3 wine.py -v test_win32_platform     (what ctest runs)
"""

import os
import unittest

import rig
import wine

CHECK_TIMEOUT_S = 30


class Win32ProcessCallsTest(unittest.TestCase):

    def test_invalid_handle_is_refused_not_taken_for_the_program_itself(self):
        session = wine.session(rig.WINE_PREFIXES, rig.WINDOWS_BUILD)
        result = wine.run_wine_command([wine.WINE_LOADER, os.path.join(rig.WINDOWS_BUILD, "process_handle_check.exe")],
                                       session.environment(), CHECK_TIMEOUT_S, check=False)
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)


if __name__ == "__main__":
    unittest.main()
