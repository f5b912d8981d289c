"""The fault matrix as unit tests: one test class per group of faults.py, one
test per scenario. By default only the scenarios marked quick (what ctest
runs, label "faults"); MARROWLINK_FAULTS_ALL=1 runs every scenario, as
scripts/fault-matrix does through matrix.py.

    python3 -m unittest -v test_faults.SilenceTest           (Linux build)
    python3 ../e2e/wine.py -v test_faults.SilenceTest        (Windows build under Wine)
"""

import os
import unittest

import faults
import rig
import tool_faults

RUN_ALL = os.environ.get("MARROWLINK_FAULTS_ALL") == "1"


def _scenario_test(scenario):
    def test(self):
        if not faults.runs_on(scenario, rig.BUILD):
            self.skipTest(scenario.windows_only or "Linux build only")
        outcome = faults.run_scenario(scenario)
        self.assertEqual(outcome.problems, [], "%s (%.1f s):\n%s" % (
            scenario.fault, outcome.run.elapsed_s, "\n".join(outcome.problems)))
    test.__doc__ = scenario.fault
    return test


def _test_classes():
    classes = {}
    for group, _ in faults.GROUPS:
        methods = {"test_" + scenario.name: _scenario_test(scenario)
                   for scenario in faults.all_scenarios()
                   if scenario.group == group and (RUN_ALL or scenario.quick)}
        classes[group + "Test"] = type(group + "Test", (unittest.TestCase,), methods)
    return classes


def _tool_scenario_test(scenario):
    def test(self):
        if rig.BUILD != "linux":
            self.skipTest("the field tool's interrupts are sent as POSIX signals: Linux build only")
        _, problems = tool_faults.run_scenario(scenario)
        self.assertEqual(problems, [], "%s:\n%s" % (scenario.fault, "\n".join(problems)))
    test.__doc__ = scenario.fault
    return test


def _tool_test_classes():
    classes = {}
    for scenario in tool_faults.scenarios():
        if RUN_ALL or scenario.quick:
            name = scenario.group + "Test"
            classes.setdefault(name, type(name, (unittest.TestCase,), {}))
            setattr(classes[name], "test_" + scenario.name, _tool_scenario_test(scenario))
    return classes


globals().update(_test_classes())
globals().update(_tool_test_classes())

if __name__ == "__main__":
    unittest.main()
