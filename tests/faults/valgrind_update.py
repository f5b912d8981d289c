"""One whole update (standard firmware, the tool succeeds) of the Linux build
under valgrind memcheck, against the adapter simulator, with the null-modem
fixture preloaded into valgrind's client. Fails on any memcheck error or
definite leak (valgrind exits with VALGRIND_ERROR_EXIT_CODE instead of the
updater's 1), and on any difference from the normal run's console lines.

    MARROWLINK_BUILD_DIR=build/linux python3 valgrind_update.py

scripts/valgrind-update builds and runs it; ctest runs it as
valgrind_update (label "valgrind").
"""

import os
import re
import shutil
import sys
import unittest

import faults
import rig

VALGRIND_ERROR_EXIT_CODE = 99
# A run of about 5 s natively; valgrind's start-up and slower code add a few.
VALGRIND_RUN_BOUND_S = 60.0


class ValgrindRig(faults.FaultRig):
    def __init__(self, log_path, **kwargs):
        super().__init__(**kwargs)
        self.log_path = log_path

    def updater_command(self):
        return ["valgrind", "--tool=memcheck", "--error-exitcode=%d" % VALGRIND_ERROR_EXIT_CODE,
                "--leak-check=full", "--errors-for-leak-kinds=definite", "--track-fds=no",
                "--log-file=" + self.log_path] + super().updater_command()


class ValgrindUpdateTest(unittest.TestCase):

    @unittest.skipUnless(shutil.which("valgrind"), "valgrind is not installed (scripts/setup test installs it)")
    @unittest.skipIf(rig.SANITIZER_RUNTIME, "a sanitizer build does not run under valgrind")
    def test_whole_update_has_no_memcheck_error(self):
        scenario = faults.Scenario("valgrind", "whole update under valgrind", [], faults.whole_run(), 1, True,
                                   VALGRIND_RUN_BOUND_S)
        log_folder = os.environ.get("VALGRIND_LOG_DIR") or os.path.join(rig.LINUX_BUILD, "valgrind")
        os.makedirs(log_folder, exist_ok=True)
        log_path = os.path.join(log_folder, "memcheck.log")
        with ValgrindRig(log_path, sim_args=scenario.simulator_options()) as valgrind_rig:
            run = valgrind_rig.run(timeout_s=VALGRIND_RUN_BOUND_S + 30)
        with open(log_path) as handle:
            log = handle.read()
        summary = re.search(r"ERROR SUMMARY: (\d+) errors", log)
        print("valgrind: %.1f s, %s (log %s)" % (run.elapsed_s, summary.group(0) if summary else "no summary",
                                                log_path))
        self.assertIsNotNone(summary, "valgrind wrote no error summary:\n" + log[-2000:])
        self.assertEqual(summary.group(1), "0", log)
        self.assertNotIn("definitely lost: ", re.sub(r"definitely lost: 0 bytes", "", log))
        problems, _ = faults.check(scenario, run)
        self.assertEqual(problems, [], "\n".join(problems))


if __name__ == "__main__":
    sys.exit(unittest.main())
