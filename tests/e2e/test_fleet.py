"""End to end: marrowlink update on several adapters at once, each adapter a
simulator on a pseudo-terminal of its own (rig.Adapters), the stand-in
download tool keeping a record per port (DFUWIZARD_RECORD with {port}).

Standard output is a pipe here, so the parent writes each port's lines
prefixed with the port instead of its live table."""

import json
import os
import re
import subprocess
import tempfile
import unittest

from rig import (CI_COMMAND_LINE, LINUX_BUILD, STANDARD_COMMAND_LINE, Adapters, Rig, RigTestCase, read_events,
                 read_store)
from test_tool import ToolRig

MARROWLINK = os.path.join(LINUX_BUILD, "marrowlink")
FLEET_TIMEOUT_S = 90
UPDATED_NAME = [0x614D, 0x7272, 0x776F, 0x696C, 0x6B6E, 0x0000]  # "Marrowlink", as the update writes it


class Fleet:
    """Adapters, one simulator each, and a folder holding the DFUWizard folder."""

    def __init__(self, *sim_args_each, tool_codes=None):
        self.adapters = Adapters(*sim_args_each)
        self.work = tempfile.mkdtemp(prefix="marrowlink-fleet-work-", dir=self.adapters.rigs[0].folder)
        self.tool_codes = tool_codes

    def __enter__(self):
        self.adapters.__enter__()
        self.adapters.rigs[0].make_tool_folder(self.work)
        # Each simulator's port under a name of its own: the rigs all call theirs com1.
        self.ports = []
        for number, rig in enumerate(self.adapters.rigs):
            port = os.path.join(self.work, "ttyFLEET%d" % number)
            os.symlink(rig.link, port)
            self.ports.append(port)
        return self

    def __exit__(self, *exc):
        self.adapters.__exit__(*exc)

    def leaf(self, rig):
        return "ttyFLEET%d" % self.adapters.rigs.index(rig)

    def run(self, *arguments, variables=None):
        env = self.adapters.environment()
        env["DFUWIZARD_RECORD"] = os.path.join(self.work, "tool-{port}.log")
        env.update(variables or {})
        if self.tool_codes:
            env["DFUWIZARD_EXIT_CODES"] = ",".join("%s=%d" % (self.leaf(self.adapters.rigs[i]), code)
                                                  for i, code in self.tool_codes.items())
        ports = []
        for port in self.ports:
            ports += ["--port", port]
        result = subprocess.run([MARROWLINK, "update", "--no-wait"] + ports + list(arguments), cwd=self.work,
                                env=env, stdin=subprocess.DEVNULL, capture_output=True, text=True,
                                timeout=FLEET_TIMEOUT_S)
        return result.returncode, result.stdout, result.stderr

    def tool_record(self, rig):
        path = os.path.join(self.work, "tool-%s.log" % self.leaf(rig))
        if not os.path.exists(path):
            return []
        with open(path) as handle:
            return [line.rstrip("\n") for line in handle]


class FleetUpdateTest(RigTestCase):

    def test_three_adapters_are_updated_at_once_each_with_its_own_files(self):
        with Fleet([], ["--version", "ci"], []) as fleet:
            status, out, err = fleet.run("--backup", "before-{port}.txt", "--trace", "trace-{port}.jsonl")
            self.assertEqual(status, 0, out + err)
            leaves = [fleet.leaf(rig) for rig in fleet.adapters.rigs]
            for rig, leaf in zip(fleet.adapters.rigs, leaves):
                with self.subTest(port=leaf):
                    # Its own download tool, on its own port, from a copy of the folder.
                    ci = rig is fleet.adapters.rigs[1]
                    command_line = CI_COMMAND_LINE if ci else STANDARD_COMMAND_LINE
                    port = fleet.ports[fleet.adapters.rigs.index(rig)]
                    self.assertEqual(fleet.tool_record(rig), [command_line.replace("/serial COM1", "/serial " + port)])
                    self.assertEqual(read_store(rig.store)[0x024B], [40 if ci else 48])
                    self.assertTrue(os.path.exists(os.path.join(fleet.work, "before-%s.txt" % leaf)))
                    self.assertTrue(os.path.exists(os.path.join(fleet.work, "trace-%s.jsonl" % leaf)))
            # Each line belongs to one port, whole; then the summary.
            lines = out.splitlines()
            progress = [line for line in lines if not line.startswith(("PORT ", "All "))
                        and not re.match(r"\S+\s+\d", line)]
            for line in progress:
                self.assertRegex(line, r"^(%s): \S" % "|".join(map(re.escape, leaves)))
            for leaf in leaves:
                self.assertIn("%s: Update Wizard started succefully" % leaf, lines)
            self.assertIn("All 3 adapters updated.", lines)
            summary = [line for line in lines if re.match(r"^(%s)\s+1\.2\.9" % "|".join(leaves), line)]
            self.assertEqual(len(summary), 3, out)
            self.assertTrue(all(re.search(r"\bupdated\s+4835\s+0\s+\d+ s\s+before-\S+\.txt, trace-\S+\.jsonl$", s)
                                for s in summary), summary)
            self.assertEqual(os.listdir(fleet.work).count("DFUWizard"), 1, "the copies are gone")

    def test_a_silent_adapter_and_a_failed_download_are_each_told_with_their_status(self):
        with Fleet([], ["--fault", "silent"], [], tool_codes={2: 3}) as fleet:
            status, out, err = fleet.run("--json")
            self.assertEqual(status, 9, out + err)
            document = json.loads(out)
            self.assertEqual((document["outcome"], document["exit_status"]), ("failed", 9))
            adapters = document["adapters"]
            self.assertEqual([a["exit_status"] for a in adapters], [0, 4, 7])
            self.assertEqual([a["outcome"] for a in adapters], ["updated", "no reply", "download failed"])
            self.assertEqual(adapters[0]["build_id"], 4835)
            self.assertIn("no Plug-and-Play reply", adapters[1]["reason"])
            self.assertEqual(adapters[2]["download_exit_code"], 3)
            self.assertEqual(adapters[0]["files"], {"trace": None, "backup": None})
            silent = fleet.adapters.rigs[1]
            self.assertEqual(fleet.tool_record(silent), [], "no download for the silent one")
            # The chip behind a failed download was set back, the others updated.
            self.assertEqual(read_store(fleet.adapters.rigs[0].store)[0x0108], UPDATED_NAME)
            self.assertNotEqual(read_store(fleet.adapters.rigs[2].store)[0x0108], UPDATED_NAME)

    def test_what_cannot_be_done_is_refused_before_any_port_is_touched(self):
        with Fleet([], []) as fleet:
            for arguments, text in ((["--backup", "before.txt"], "must hold {port}"),
                                    (["--trace", "t.jsonl"], "must hold {port}"),
                                    (["--port", fleet.adapters.rigs[0].link], "leads to the same device as")):
                with self.subTest(arguments=arguments):
                    status, out, err = fleet.run(*arguments)
                    self.assertEqual(status, 2, out + err)
                    self.assertIn(text, err)
            for rig in fleet.adapters.rigs:
                self.assertEqual([e for e in read_events(rig.events) if e.get("ev") == "wake"], [])


class ComPortFleetRig(ToolRig):
    """marrowlink update --port COM5 --port COM6: COM5 leads to this rig's
    simulator, COM6 to a second one's; the stand-in keeps its records per port."""

    def __init__(self, arguments, second_sim_args=(), **options):
        super().__init__(arguments, **options)
        self.second = Rig(sim_args=second_sim_args, build=self.build)
        for rig in (self, self.second):
            rig.lines_pattern = os.path.join(self.folder, "lines-{pty}.log")
            rig.data_pattern = os.path.join(self.folder, "data-{pty}.log")

    def program_arguments(self):
        return self.arguments + ["--port", "COM5", "--port", "COM6"]

    def port_targets(self):
        return {"COM1": self.link, "COM5": self.link, "COM6": self.second.link}

    def before_program(self):
        self.second.start_sim()

    def __exit__(self, *exc):
        self.second.__exit__(*exc)
        return super().__exit__(*exc)

    def run_variables(self):
        variables = super().run_variables()
        del variables["COM1_DEVICE"]  # the fixture then looks after every pseudo-terminal
        variables.update({
            "COM6_DEVICE": self.second.link,
            "NULLMODEM_LOG": self.lines_pattern,
            "NULLMODEM_DATA_LOG": self.data_pattern,
            "DFUWIZARD_RECORD": os.path.join(self.folder, "tool-{port}.log"),
            "DFUWIZARD_LINE_RECORD": os.path.join(self.folder, "line-{port}.log"),
        })
        return variables


class ComPortFleetTest(RigTestCase):
    """Two adapters at once by their COM names, for the Windows build under Wine."""

    def test_two_adapters_on_com5_and_com6_are_updated_at_once(self):
        with ComPortFleetRig(["update", "--no-wait"], second_sim_args=["--version", "ci"]) as rig:
            run = rig.run(timeout_s=FLEET_TIMEOUT_S)
            lines = run.transcript.splitlines()
            self.assertEqual(run.exit_status, 0, run.transcript + run.errors)
            self.assertIn("All 2 adapters updated.", lines)
            for port, command_line, other, store, image_key in (
                    ("COM5", STANDARD_COMMAND_LINE, "COM6", rig.store, [48]),
                    ("COM6", CI_COMMAND_LINE, "COM5", rig.second.store, [40])):
                with self.subTest(port=port):
                    self.assertIn("%s: Update Wizard started succefully" % port, lines)
                    for kind, record in (("tool", [command_line.replace("COM1", port)]),
                                         ("line", [port + " 115200 8E1"])):
                        with open(os.path.join(rig.folder, "%s-%s.log" % (kind, port))) as handle:
                            self.assertEqual(handle.read().splitlines(), record)
                    self.assertEqual(read_store(store)[0x024B], image_key)


if __name__ == "__main__":
    unittest.main()
