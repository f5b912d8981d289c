"""End to end: marrowlink --trace against the simulator. The trace says what
the simulator logged, the bytes on the wire are the same with and without it,
and a field failure traced on one simulator is reproduced by another one
configured from the trace alone (marrowlink-sim --from-trace)."""

import json
import os
import shutil
import subprocess
import tempfile
import unittest

from rig import BUILD, LINUX_BUILD, RigTestCase
from test_tool import ToolRig

# The names the trace gives BCCMD numbers, back to the numbers the simulator logs.
VARIDS = {"BUILD_ID": 0x2819, "COLD_RESET": 0x4001, "PS_DEFRAG_RESET": 0x400F, "PS": 0x7003}
STATUSES = {"OK": 0, "NO_SUCH_VARID": 1, "TOO_BIG": 2, "NO_VALUE": 3, "BAD_REQUEST": 4, "ERROR": 8}


def read_trace(path):
    with open(path) as handle:
        lines = [json.loads(line) for line in handle]
    return lines[0], lines[1:]


def units(events):
    """Every decoded unit with its direction ("out" to the adapter, "in" from it)."""
    for event in events:
        for unit in event.get("decoded", []):
            unit = dict(unit)
            unit.setdefault("dir", "in" if event["event"] == "read" else "out")
            yield unit


def words(hex_text):
    data = bytes.fromhex(hex_text)
    return [data[i] | data[i + 1] << 8 for i in range(0, len(data) - 1, 2)]


def number(value, names):
    return names[value] if isinstance(value, str) and value in names else int(str(value), 0)


class TracedRun:
    """One marrowlink run against a simulator, with --trace into a file kept here."""

    def __init__(self, arguments, sim_args=(), trace=True, **options):
        self.folder = tempfile.mkdtemp(prefix="marrowlink-trace-")
        self.trace = os.path.join(self.folder, "run.jsonl")
        with ToolRig(arguments + (["--trace", self.trace] if trace else []), sim_args=sim_args, **options) as rig:
            self.run = rig.run()
            self.link = rig.link
            self.store = dict(self.run.store)

    def close(self):
        shutil.rmtree(self.folder, ignore_errors=True)

    def transcript(self):
        """What people saw, with the run's own port path left out."""
        return (self.run.transcript + "|" + self.run.errors).replace(self.link, "PORT")


class TraceTest(RigTestCase):

    def traced(self, arguments, sim_args=(), **options):
        run = TracedRun(arguments, sim_args, **options)
        self.addCleanup(run.close)
        return run

    def test_a_traced_update_says_what_the_simulator_logged(self):
        traced = self.traced(["update", "--no-wait"])
        self.assertEqual(traced.run.exit_status, 0, traced.transcript())
        header, events = read_trace(traced.trace)
        self.assertEqual(header["event"], "header")
        self.assertEqual(header["command"], "update --no-wait --port " + traced.link)
        self.assertEqual(header["port"], traced.link)
        self.assertEqual(header["platform"], "linux")
        self.assertTrue(header["program"].startswith("marrowlink "))
        decoded = list(units(events))
        sim = traced.run

        pnp = [u for u in decoded if u["kind"] == "pnp_reply"]
        self.assertEqual([u["pnp_id"] for u in pnp], [e["id"] for e in sim.events_named("pnp_sent")])
        answers = [u["text"] for u in decoded if u["kind"] == "handshake_answer"]
        self.assertEqual(answers, [e["answer"] for e in sim.events_named("handshake")])
        commands = [u["code"] for u in decoded if u["kind"] == "command"]
        self.assertEqual([int(c, 16) for c in commands], [int(e["code"], 16) for e in sim.events_named("command")])
        versions = [u["version"] for u in decoded if u["kind"] == "reply_frame" and "version" in u]
        self.assertEqual(versions, [e["text"] for e in sim.events_named("version_sent")])

        # Every BCCMD message each way, as the chip logged it: requests it
        # received, responses it sent.
        for direction, chip_dir in (("out", "rx"), ("in", "tx")):
            traced_messages = [(u["bccmd"]["seqno"], number(u["bccmd"]["varid"], VARIDS),
                                number(u["bccmd"]["status"], STATUSES), words(u["payload"])[5:])
                               for u in decoded if u["dir"] == direction and "bccmd" in u
                               and not u.get("retransmission")]
            logged = [(e["seqno"], int(e["varid"], 16), e["status"], e["payload"])
                      for e in sim.events_named("bccmd") if e["dir"] == chip_dir]
            self.assertEqual(traced_messages, logged, direction)
            self.assertGreaterEqual(len(logged), 11)
        bad = [u for u in decoded if u["kind"] == "bcsp" and u["check"] != "ok"]
        self.assertEqual(bad, [], "the simulator sent no damaged frame")

        # And the people's view of it.
        shown = subprocess.run([os.path.join(LINUX_BUILD, "marrowlink"), "trace", "show", traced.trace],
                               capture_output=True, text=True, timeout=30)
        self.assertEqual(shown.returncode, 0, shown.stderr)
        for line in ("<-  pnp      Plug-and-Play reply \"QXZ4702\" (revision 0124)",
                     "BCCMD set PS seqno", ": device name \"Marrowlink\"", "BCCMD set COLD_RESET"):
            self.assertIn(line, shown.stdout)

    def test_the_wire_is_the_same_with_and_without_a_trace(self):
        runs = [self.traced(["update", "--no-wait"], trace=trace) for trace in (False, True)]
        wire = []
        for traced in runs:
            self.assertEqual(traced.run.exit_status, 0, traced.transcript())
            sim = traced.run
            # The command port's bytes as the adapter received them; after the
            # hand-over the link's own repeats depend on timing, its BCCMD does not.
            command_port = []
            for event in sim.events:
                if event.get("ev") == "handover":
                    break
                if event.get("src") == "adapter" and event.get("ev") == "rx":
                    command_port.append(event["bytes"])
            wire.append({
                "adapter": "".join(command_port),
                # Every setting the program made, as the fixture saw it: the
                # simulator samples the line and can miss a short-lived one.
                "settings": [value for _, kind, value in sim.line_log if kind == "LINE"],
                "bccmd": [(e["type"], e["seqno"], e["varid"], e["payload"])
                          for e in sim.events_named("bccmd") if e["dir"] == "rx"],
                "store": traced.store,
            })
        self.assertFalse(os.path.exists(runs[0].trace))
        self.assertEqual(wire[0], wire[1])


class TracedProbeTest(RigTestCase):
    """On either build (the Windows one under Wine): a traced probe that this
    build's marrowlink shows and draws, and that a simulator replays."""

    def test_a_traced_probe_is_shown_drawn_and_replayed(self):
        original = TracedRun(["probe", "--chip"], ["--build-id", "4321", "--version", "ci"])
        self.addCleanup(original.close)
        self.assertEqual(original.run.exit_status, 0, original.transcript())
        header, _ = read_trace(original.trace)
        self.assertEqual(header["platform"], BUILD)
        tool = [os.path.join(LINUX_BUILD, "marrowlink"), "trace"]
        shown = subprocess.run(tool + ["show", original.trace], capture_output=True, text=True, timeout=30)
        self.assertEqual(shown.returncode, 0, shown.stderr)
        self.assertIn("BCCMD response BUILD_ID seqno 0 OK, build id 4321", shown.stdout)
        self.assertIn("(ci)", shown.stdout)
        picture = os.path.join(original.folder, "run.svg")
        drawn = subprocess.run(tool + ["svg", original.trace, picture], capture_output=True, text=True, timeout=30)
        self.assertEqual(drawn.returncode, 0, drawn.stderr)
        with open(picture) as handle:
            self.assertTrue(handle.read().startswith("<svg "))
        replayed = TracedRun(["probe", "--chip"], ["--from-trace", original.trace], trace=False)
        self.addCleanup(replayed.close)
        self.assertEqual(replayed.transcript(), original.transcript())
        self.assertEqual(replayed.run.exit_status, 0)


class FieldFailureReplayTest(RigTestCase):
    """A failure traced against a simulator with a fault, then the same command
    against a simulator configured from that trace alone."""

    def replay(self, arguments, sim_args, status):
        # Under Wine the port is COM1, as the download tool opens it by that name.
        port = "COM1" if BUILD == "windows" else None
        original = TracedRun(arguments, sim_args, port=port)
        self.addCleanup(original.close)
        self.assertEqual(original.run.exit_status, status, original.transcript())
        replayed = TracedRun(arguments, ["--from-trace", original.trace], trace=False, port=port)
        self.addCleanup(replayed.close)
        self.assertEqual(replayed.transcript(), original.transcript())
        self.assertEqual(replayed.run.exit_status, original.run.exit_status)
        return original, replayed

    def test_a_wrong_identifier(self):
        original, _ = self.replay(["update", "--no-wait"], ["--fault", "wrong-id"], 4)
        self.assertIn("QXZ4709", original.transcript())

    def test_a_key_the_chip_refuses(self):
        original, replayed = self.replay(["update", "--no-wait"], ["--chip-error-key", "0x024b"], 6)
        self.assertIn("status ERROR", original.run.errors)
        refused = [e for e in replayed.run.events_named("fault") if e.get("name") == "error_status"]
        self.assertEqual([e["key"] for e in refused], ["0x024b"])

    def test_a_chip_that_goes_silent_after_the_download(self):
        original, replayed = self.replay(["update", "--no-wait"], ["--chip-fault", "no-restart"], 8)
        self.assertEqual(len(original.run.tool_calls), 1, "the download ran")
        self.assertEqual(len(replayed.run.tool_calls), 1, "the download ran")


if __name__ == "__main__":
    unittest.main()
