"""The rig's own bookkeeping: a failing test keeps its runs' logs."""

import os
import shutil
import tempfile
import unittest

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


if __name__ == "__main__":
    unittest.main()
