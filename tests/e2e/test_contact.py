"""End to end: finding and identifying the adapter, and every way that ends a run early."""

import unittest

from rig import BUILD, CI_COMMAND_LINE, CI_VERSION, STANDARD_COMMAND_LINE, STANDARD_VERSION, Rig, RigTestCase

ABORT = "Update Aborted, press any key to exit\n"
# Late sleeps and a late look at the output on a loaded machine.
CONTACT_SLACK_S = 1.0


class ContactTest(RigTestCase):

    def test_missing_tool_folder_aborts_without_touching_com1(self):
        with Rig(tool_folder=False) as rig:
            run = rig.run()
        self.assertEqual(run.transcript, "Failed to locate the update wizard.\n" + ABORT)
        self.assertEqual(run.exit_status, 0)
        self.assertTrue(run.waited_for_key)
        self.assertEqual(run.events_named("line"), [], "COM1 was configured although the folder is missing")

    def test_silent_adapter_is_not_found_after_about_three_seconds(self):
        with Rig(sim_args=["--fault", "silent"]) as rig:
            run = rig.run()
        self.assertEqual(run.transcript,
                         "Contacting Marrowlink\nMarrowlink not found on COM1.\n" + ABORT)
        self.assertEqual(run.exit_status, 0)
        self.assertTrue(run.waited_for_key)
        # 1.3 s of modem lines and a 1.5 s read time-out, from the port's first
        # setting to the line: the updater's own time, without the start-up
        # (Wine's takes seconds on a loaded machine) and the key check.
        opened_s = run.line_log[0][0] / 1000.0
        not_found_s = run.line_time_s("Marrowlink not found on COM1.\n")
        self.assertGreater(not_found_s - opened_s, 2.7)
        self.assertLess(not_found_s - opened_s, 2.8 + CONTACT_SLACK_S)
        self.assertEqual(run.events_named("command"), [], "an adapter command was written")

    def test_wrong_identifier_is_not_found(self):
        with Rig(sim_args=["--pnp-id", "QXZ9999"]) as rig:
            run = rig.run()
        self.assertEqual(run.transcript,
                         "Contacting Marrowlink\nMarrowlink not found on COM1.\n" + ABORT)
        self.assertEqual(run.exit_status, 0)
        self.assertEqual(run.events_named("command"), [])

    def test_wrong_handshake_answer_is_not_found(self):
        with Rig(sim_args=["--fault", "wrong-handshake"]) as rig:
            run = rig.run()
        self.assertEqual(run.transcript,
                         "Contacting Marrowlink\nMarrowlink not found on COM1.\n" + ABORT)
        self.assertEqual(run.exit_status, 0)

    def test_unknown_version_sends_not_recognised_and_aborts(self):
        with Rig(sim_args=["--version", "Acme Serial Bridge 3.1"]) as rig:
            run = rig.run()
        self.assertEqual(run.transcript,
                         "Contacting Marrowlink\nSuccess\n"
                         "Current Firmware Version is Acme Serial Bridge 3.1\n"
                         "Unknown Device.\n" + ABORT)
        self.assertEqual(run.exit_status, 0)
        self.assertTrue(run.waited_for_key)
        self.assertEqual([event["code"] for event in run.events_named("command")], ["0xf7", "0xf6"])
        self.assertEqual(run.tool_calls, [])

    def test_version_frame_that_never_comes_counts_as_unknown(self):
        with Rig(sim_args=["--fault", "no-version"]) as rig:
            run = rig.run()
        self.assertEqual(run.transcript,
                         "Contacting Marrowlink\nSuccess\nUnknown Device.\n" + ABORT)
        self.assertEqual(run.exit_status, 0)
        self.assertEqual([event["code"] for event in run.events_named("command")], ["0xf7", "0xf6"])

    def test_other_frames_and_an_oversized_one_before_the_version(self):
        with Rig(sim_args=["--frames-before", "3", "--oversized-frame"]) as rig:
            run = rig.run()
        self.assertIn("Current Firmware Version is %s\n" % STANDARD_VERSION, run.transcript)
        self.assertEqual(run.tool_calls[:1], [STANDARD_COMMAND_LINE])
        self.assertEqual(run.exit_status, 1)


def dtr_lowered_after_wake_up(line_log):
    """The DTR changes (ms, value) the fixture logged from the wake-up's last
    step (RTS raised) to the command port's purge-and-close, plus a problem
    text when DTR was not high at that step; the adapter takes DTR low as
    "host gone"."""
    lines = {"DTR": None}
    lowered = []
    woken = False
    for ms, what, value in line_log:
        if not woken:
            if what == "DTR":
                lines["DTR"] = value
            elif what == "RTS" and value == "1":
                woken = True
                if lines["DTR"] != "1":
                    lowered.append((ms, "DTR %s at the wake-up's end" % lines["DTR"]))
        elif what == "FLUSH":
            return lowered
        elif what == "DTR" and value != "1":
            lowered.append((ms, "DTR " + value))
    lowered.append((None, "no wake-up and close in the line log"))
    return lowered


class ToolHandOverTest(RigTestCase):
    """The tool gets the image of the variant, and COM1 is free while it runs
    (the stand-in tool exits with 90 when it cannot open COM1)."""

    def check_hand_over(self, version, command_line):
        with Rig(sim_args=["--version", version]) as rig:
            run = rig.run()
        self.assertIn("Current Firmware Version is %s\n" % version, run.transcript)
        self.assertIn("Update Wizard started succefully\nUpdate successful !\n", run.transcript)
        self.assertEqual(run.tool_calls, [command_line])
        self.assertTrue(run.transcript.endswith("Update done\nPlease power off and on Marrowlink Device\n"
                                                "Press any key to exit the update program\n"))
        self.assertTrue(run.waited_for_key)
        self.assertEqual(run.exit_status, 1)
        self.assertEqual([event["code"] for event in run.events_named("command")], ["0xf7", "0xf8"])
        # The speed change to 115200 leaves DTR as the wake-up left it. Wine
        # re-drives both lines at every SetCommState, so only the Linux build
        # shows what the program asked for.
        if BUILD == "linux":
            self.assertEqual(dtr_lowered_after_wake_up(run.line_log), [],
                             "DTR did not stay high from the wake-up to the close")

    def test_standard_firmware(self):
        self.check_hand_over(STANDARD_VERSION, STANDARD_COMMAND_LINE)

    def test_ci_firmware(self):
        self.check_hand_over(CI_VERSION, CI_COMMAND_LINE)


if __name__ == "__main__":
    unittest.main()
