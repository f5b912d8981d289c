"""End to end: whole updates, the chip's persistent store afterwards, and the recovery path."""

import unittest

from rig import BUILD, CI_COMMAND_LINE, CI_VERSION, STANDARD_COMMAND_LINE, STANDARD_VERSION, Rig, RigTestCase

BUILD_ID = 4711
CLOSING = ("Update done\nPlease power off and on Marrowlink Device\n"
           "Press any key to exit the update program\n")
UART_CONFIG = [0x01D8, 0x00A8, 0x00FA, 0x0014, 0x0004, 0x0000, 0x0004, 0x001E, 0x0064, 0x000A]


def packed_name(text):
    """Two characters a word, first in the low byte, with the terminating zero."""
    data = text.encode() + b"\0"
    if len(data) % 2:
        data += b"\0"
    return [data[i] | data[i + 1] << 8 for i in range(0, len(data), 2)]


def expected_keys(ci, download_failed):
    """The keys a whole run writes, with their values."""
    keys = {0x024B: [40 if ci else 48], 0x03CC: [1], 0x01F9: [4], 0x025D: [0], 0x01C2: [0x0888]}
    if ci:
        keys[0x0202] = [3]
    if download_failed:
        keys[0x0191] = UART_CONFIG
    else:
        keys.update({0x03CD: [0], 0x04B1: [0x01C2], 0x04F8: [0x0880],
                     0x0108: packed_name("Marrowlink/CL1" if ci else "Marrowlink"), 0x0229: [0]})
    return keys


def head(version):
    return "Contacting Marrowlink\nSuccess\nCurrent Firmware Version is %s\n" % version


class WholeUpdateTest(RigTestCase):

    def run_update(self, ci, tool_exit_code, extra_sim_args=()):
        version = CI_VERSION if ci else STANDARD_VERSION
        args = ["--version", version, "--build-id", str(BUILD_ID)] + list(extra_sim_args)
        with Rig(sim_args=args, tool_exit_code=tool_exit_code) as rig:
            return rig.run()

    def check(self, ci, tool_exit_code):
        run = self.run_update(ci, tool_exit_code)
        outcome = ("Update successful !\n" if tool_exit_code == 0
                   else "Update Wizard terminated with error:%d\n" % tool_exit_code)
        self.assertEqual(run.transcript,
                         head(CI_VERSION if ci else STANDARD_VERSION)
                         + "Update Wizard started succefully\n" + outcome
                         + "Build ID = %d\n" % BUILD_ID + "Cold Reset sent\n" + CLOSING)
        self.assertEqual(run.exit_status, 1)
        self.assertTrue(run.waited_for_key)
        self.assertEqual(run.tool_calls, [CI_COMMAND_LINE if ci else STANDARD_COMMAND_LINE])
        for key, value in expected_keys(ci, tool_exit_code != 0).items():
            self.assertEqual(run.store.get(key), value, "key 0x%04x" % key)
        written = {event["key"] for event in run.events_named("ps_write")}
        self.assertEqual(written, {"0x%04x" % key for key in expected_keys(ci, tool_exit_code != 0)})
        return run

    def test_standard_firmware_download_succeeds(self):
        self.check(ci=False, tool_exit_code=0)

    def test_standard_firmware_download_fails(self):
        run = self.check(ci=False, tool_exit_code=2)
        self.assertNotIn(0x0108, {int(e["key"], 16) for e in run.events_named("ps_write")})

    def test_ci_firmware_download_succeeds(self):
        self.check(ci=True, tool_exit_code=0)

    def test_ci_firmware_download_fails(self):
        self.check(ci=True, tool_exit_code=3)

    @unittest.skipUnless(BUILD == "windows", "a POSIX exit status is 8 bits: -5 arrives as 251")
    def test_ci_firmware_download_fails_with_negative_code(self):
        self.check(ci=True, tool_exit_code=-5)

    def test_tool_that_cannot_be_started(self):
        args = ["--version", STANDARD_VERSION, "--build-id", str(BUILD_ID)]
        with Rig(sim_args=args, tool_present=False) as rig:
            run = rig.run()
        self.assertEqual(run.transcript,
                         head(STANDARD_VERSION) + "Failed to start update Wizard\n"
                         + "Build ID = %d\n" % BUILD_ID + "Cold Reset sent\n" + CLOSING)
        self.assertEqual(run.exit_status, 1)
        self.assertEqual(run.store.get(0x0191), UART_CONFIG)

    def test_key_answered_with_error_status_is_reported_and_the_run_goes_on(self):
        run = self.run_update(False, 0, ["--chip-error-key", "0x01f9"])
        self.assertIn("Build ID = %d\nWriting PSKEY_HOST_INTERFACE failed\nCold Reset sent\n" % BUILD_ID,
                      run.transcript)
        self.assertEqual(run.exit_status, 1)
        self.assertNotIn("0x01f9", {event["key"] for event in run.events_named("ps_write")})
        self.assertEqual(run.store.get(0x0229), [0])

    def test_chip_that_refuses_the_build_id(self):
        run = self.run_update(False, 0, ["--chip-error-varid", "0x2819"])
        self.assertIn("Update successful !\nRead BuildID failed\nCold Reset sent\n", run.transcript)
        self.assertEqual(run.exit_status, 1)
        self.assertEqual(run.store.get(0x0108), packed_name("Marrowlink"))


class RecoveryTest(RigTestCase):

    def test_chip_that_will_not_link_fails_recovery(self):
        args = ["--version", STANDARD_VERSION, "--chip-fault", "no-link"]
        with Rig(sim_args=args) as rig:
            run = rig.run()
        self.assertEqual(run.transcript,
                         head(STANDARD_VERSION)
                         + "failed to start BCSP communication\n"
                         + "Pre-Update Configuration failed !\nTrying to recover..\n"
                         + "failed to start BCSP communication\nFAILED\n")
        self.assertEqual(run.exit_status, 0)
        self.assertFalse(run.waited_for_key)
        self.assertEqual(run.tool_calls, [])
        self.assertEqual(run.events_named("ps_write"), [])

    def test_pre_update_failure_then_recovery_links(self):
        args = ["--version", STANDARD_VERSION, "--build-id", str(BUILD_ID), "--chip-error-key", "0x024b"]
        with Rig(sim_args=args) as rig:
            run = rig.run()
        self.assertEqual(run.transcript,
                         head(STANDARD_VERSION)
                         + "Writing Crystal Target Amplitude failed\n"
                         + "Pre-Update Configuration failed !\nTrying to recover..\n"
                         + "Build ID = %d\n" % BUILD_ID + "Cold Reset sent\nSUCCESS\n")
        self.assertEqual(run.exit_status, 0)
        self.assertFalse(run.waited_for_key)
        self.assertEqual(run.tool_calls, [])
        self.assertEqual(run.store.get(0x0191), UART_CONFIG)


if __name__ == "__main__":
    unittest.main()
