"""End to end: the field tool marrowlink against the simulator, on the port
named by --port (the pseudo-terminal's path, or COM5 mapped to it)."""

import json
import os
import re
import subprocess
import unittest

from rig import LINUX_BUILD, STANDARD_COMMAND_LINE, STANDARD_VERSION, Rig, RigTestCase

TOOL_KEY_PROMPTS = ("Press any key to exit\n",)
HANDED_OVER = ("The adapter now listens to its Bluetooth chip: power it off and on before the next probe "
               "or update.\n")


class ToolRig(Rig):
    """The rig with marrowlink instead of the updater: its command and options
    come first, then --port (the pseudo-terminal's link unless port is given)."""

    windows_program = "marrowlink.exe"
    key_prompts = TOOL_KEY_PROMPTS
    separate_stderr = True

    def __init__(self, arguments, port=None, hold_port=False, **options):
        super().__init__(**options)
        self.arguments = list(arguments)
        self.port = port
        self.hold_port = hold_port  # another process holds the port, as a second updater would
        self.holder = None

    def program_arguments(self):
        return self.arguments + ["--port", self.port or self.link]

    def before_program(self):
        if self.hold_port:
            self.holder = subprocess.Popen([os.path.join(LINUX_BUILD, "port-holder"), self.link],
                                           stdin=subprocess.PIPE, stdout=subprocess.PIPE)
            self.holder_pid = int(self.holder.stdout.readline().split()[1])

    def __exit__(self, *exc):
        if self.holder is not None:
            self.holder.stdin.close()
            self.holder.stdout.close()
            self.holder.wait(timeout=10)
        return super().__exit__(*exc)

    def updater_command(self):
        return [os.path.join(LINUX_BUILD, "marrowlink")] + self.program_arguments()

    def run_variables(self):
        variables = super().run_variables()
        variables["COM5_DEVICE"] = self.link  # Linux resolves COM5 as the updater resolves COM1
        return variables


def run_tool(arguments, sim_args=(), port=None, **options):
    with ToolRig(arguments, port=port, sim_args=sim_args, **options) as rig:
        run = rig.run()
        run.port = port or rig.link
        run.holder_pid = rig.holder_pid if rig.holder is not None else None
    return run


class ProbeTest(RigTestCase):

    def test_probe_with_chip_names_identifier_version_variant_and_build_id(self):
        run = run_tool(["probe", "--chip"], sim_args=["--build-id", "4321"])
        self.assertEqual(run.exit_status, 0, run.errors)
        self.assertEqual(run.transcript,
                         "Waking the adapter on %s ... QXZ4702\n" % run.port +
                         "Setup handshake ... LUMA PORT READY\n"
                         "Reading the firmware version ... %s (standard)\n" % STANDARD_VERSION +
                         "BCSP link with the chip ... established\n"
                         "Reading the build id ... 4321\n" + HANDED_OVER)
        self.assertEqual(run.errors, "")
        # As the updater leaves it: identified, handed over, nothing written to the chip.
        self.assertEqual([event["code"] for event in run.events_named("command")], ["0xf7", "0xf8"])
        requests = [(event["type"], event["varid"]) for event in run.events_named("bccmd") if event["dir"] == "rx"]
        self.assertEqual(requests, [(0, "0x2819")], "one get request for the build id, nothing else")

    def test_probe_json_is_one_object_with_the_facts(self):
        run = run_tool(["probe", "--chip", "--json"], sim_args=["--version", "ci"])
        self.assertEqual(run.exit_status, 0, run.errors)
        result = json.loads(run.transcript)
        self.assertEqual(result["outcome"], "ok")
        self.assertEqual(result["port"], run.port)
        self.assertEqual(result["pnp_id"], "QXZ4702")
        self.assertEqual(result["version"], "Veltrane_Tools Marrowlink CI Firmware 1.2.9")
        self.assertEqual(result["variant"], "CI")
        self.assertEqual(result["build_id"], 4835)
        self.assertEqual(result["exit_status"], 0)


class ReasonTest(RigTestCase):
    """Each reason once, from a real failure: the exit status, the step and
    the reason on standard error, and the same in the JSON object."""

    CASES = [
        # (what, sim options, command, exit status, text in the error line)
        ("no Plug-and-Play reply", ["--fault", "silent"], ["probe"], 4,
         "no Plug-and-Play reply within 2.8 s"),
        ("wrong identifier", ["--fault", "wrong-id"], ["probe"], 4,
         'wrong Plug-and-Play identifier: got "QXZ4709", expected QXZ4702 or QXZ5830'),
        ("handshake differs", ["--fault", "wrong-handshake"], ["probe"], 4,
         'the answer differs: expected "LUMA PORT READY", got "LUMA PORT READX"'),
        ("no version frame", ["--fault", "no-version"], ["probe"], 5,
         "no version frame within 10.0 s"),
        ("unknown firmware", ["--version", "Acme Serial Bridge 3.1"], ["probe"], 5,
         'unknown firmware "Acme Serial Bridge 3.1"'),
        ("no BCSP link", ["--chip-fault", "no-link"], ["probe", "--chip"], 6,
         "no BCSP link with the chip within 5.0 s"),
        ("BCCMD error status", ["--chip-error-varid", "0x2819"], ["probe", "--chip"], 6,
         "the chip answered BUILD_ID (varid 0x2819) with status ERROR (0x0008)"),
    ]

    def test_each_reason(self):
        for what, sim_args, command, status, reason in self.CASES:
            with self.subTest(what):
                run = run_tool(command, sim_args=sim_args)
                self.assertEqual(run.exit_status, status, run.transcript + run.errors)
                error_line = [line for line in run.errors.splitlines() if line.startswith("error: ")]
                self.assertEqual(len(error_line), 1, run.errors)
                self.assertIn(reason, error_line[0])
                self.assertRegex(run.errors, r"\nhint: \S")

    def test_a_missing_port_is_named_with_the_systems_reason(self):
        run = run_tool(["probe", "--json"], port="/dev/marrowlink-no-such-port")
        self.assertEqual(run.exit_status, 3)
        result = json.loads(run.transcript)
        self.assertEqual(result["outcome"], "failed")
        self.assertEqual(result["step"], "opening /dev/marrowlink-no-such-port")
        self.assertEqual(result["reason"], "there is no such port")
        self.assertIn("marrowlink ports", result["hint"])
        self.assertEqual(result["exit_status"], 3)

    def test_a_busy_port_is_named_busy(self):
        run = run_tool(["probe"], hold_port=True)
        self.assertEqual(run.exit_status, 3, run.errors)
        # The simulator holds the pseudo-terminal too, so either may be named as the holder.
        self.assertRegex(run.errors.splitlines()[0], r"^error: opening %s: the port is in use by "
                         r"(port-holder \(pid %d\)|marrowlink-sim \(pid \d+\))$" % (re.escape(run.port), run.holder_pid))
        self.assertEqual(run.events_named("command"), [])

    def test_unknown_firmware_in_an_update_ends_as_the_updater_does_with_status_five(self):
        run = run_tool(["update", "--no-wait"], sim_args=["--version", "Acme Serial Bridge 3.1"])
        self.assertEqual(run.exit_status, 5, run.errors)
        self.assertEqual(run.transcript, "Contacting Marrowlink\nSuccess\n"
                                         "Current Firmware Version is Acme Serial Bridge 3.1\nUnknown Device.\n")
        self.assertEqual([event["code"] for event in run.events_named("command")], ["0xf7", "0xf6"])
        self.assertEqual(run.tool_calls, [])


class UpdateTest(RigTestCase):

    def test_update_on_the_named_port_passes_its_name_to_the_download_tool(self):
        run = run_tool(["update", "--no-wait"])
        self.assertEqual(run.exit_status, 0, run.transcript + run.errors)
        self.assertEqual(run.tool_calls, [STANDARD_COMMAND_LINE.replace("/serial COM1", "/serial " + run.port)])
        self.assertIn("Update Wizard started succefully\nUpdate successful !\n", run.transcript)
        self.assertTrue(run.transcript.endswith("Update done\nPlease power off and on Marrowlink Device\n"))
        self.assertFalse(run.waited_for_key)
        self.assertEqual(run.errors, "")

    def test_update_json_names_the_new_firmware_build(self):
        run = run_tool(["update", "--no-wait", "--json"], sim_args=["--build-id", "5001"])
        self.assertEqual(run.exit_status, 0, run.errors)
        result = json.loads(run.transcript)
        self.assertEqual((result["outcome"], result["build_id"], result["configuration"]),
                         ("ok", 5001, "complete"))
        self.assertIn("Build ID = 5001\n", run.errors)

    def test_a_failed_download_ends_with_status_seven_after_the_key_press(self):
        run = run_tool(["update"], tool_exit_code=3)
        self.assertEqual(run.exit_status, 7, run.errors)
        self.assertTrue(run.waited_for_key)
        self.assertIn("Update Wizard terminated with error:3\n", run.transcript)
        self.assertIn("error: running the download tool: DFUWizard ended with exit code 3", run.errors)

    def test_update_json_is_one_document_and_names_what_after_the_download_failed(self):
        # The download tool's own line goes beside the updater's, not into the document; the deep
        # sleep key refused is not success (exit 8), however complete the rest is.
        class SayingRig(ToolRig):
            def run_variables(self):
                variables = super().run_variables()
                variables["DFUWIZARD_SAY"] = "DFUWizard: writing the image"
                return variables
        with SayingRig(["update", "--no-wait", "--json"], sim_args=["--chip-error-key", "0x0229"]) as r:
            run = r.run()
        result = json.loads(run.transcript)
        self.assertEqual((run.exit_status, result["exit_status"]), (8, 8), run.errors)
        self.assertEqual((result["configuration"], result["deep_sleep_state"], result["cold_reset"]),
                         ("incomplete", "not written", "sent"))
        self.assertIn("PSKEY_DEEP_SLEEP_STATE was not written", result["reason"])
        self.assertIn("DFUWizard: writing the image\n", run.errors)

    def test_update_json_keeps_the_lines_on_standard_error(self):
        run = run_tool(["update", "--no-wait", "--json"], sim_args=["--chip-error-key", "0x024b",
                                                                    "--build-id", "4242"])
        self.assertEqual(run.exit_status, 6, run.errors)
        result = json.loads(run.transcript)
        # The recovery's link read the build id: the facts say which firmware the chip kept.
        self.assertEqual((result["variant"], result["build_id"]), ("standard", 4242))
        self.assertEqual(result["step"], "preparing the chip for the download")
        self.assertIn("the chip answered PS (varid 0x7003) with status ERROR (0x0008)", result["reason"])
        self.assertIn("Pre-Update Configuration failed !\nTrying to recover..\n", run.errors)
        self.assertEqual(run.tool_calls, [])


class ComPortTest(RigTestCase):
    """--port COM5: on Windows through \\\\.\\COM5 (Wine maps it to the
    pseudo-terminal), on Linux through COM5_DEVICE as the updater does."""

    def test_probe_on_com5(self):
        run = run_tool(["probe"], port="COM5")
        self.assertEqual(run.exit_status, 0, run.transcript + run.errors)
        self.assertTrue(run.transcript.startswith("Waking the adapter on COM5 ... QXZ4702\n"), run.transcript)
        self.assertIn("Reading the firmware version ... %s (standard)\n" % STANDARD_VERSION, run.transcript)

    def test_update_on_com5(self):
        run = run_tool(["update", "--no-wait"], port="COM5")
        self.assertEqual(run.exit_status, 0, run.transcript + run.errors)
        self.assertEqual(run.tool_calls, [STANDARD_COMMAND_LINE.replace("COM1", "COM5")])
        self.assertIn("Update successful !\n", run.transcript)


if __name__ == "__main__":
    unittest.main()
