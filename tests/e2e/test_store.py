"""End to end: marrowlink store get|set|backup|restore against the simulator.

Each command runs against a freshly started simulator on the same store file,
as a user power-cycles the adapter between commands (after a command the
adapter listens to its chip until it is powered off and on). --port names the
simulator's pseudo-terminal.
"""

import os
import shutil
import signal
import subprocess
import time
import unittest

import rig
from rig import BUILD, WINDOWS_BUILD, RigTestCase
from test_tool import ToolRig

BUILD_ID = 4835
# The simulator's store as a fresh chip has it (sim/ps_store.h).
DEFAULT_NAME = "Marrowlink Adapter"
TOOL_TIMEOUT_S = 60


def packed_name(text):
    data = text.encode() + b"\0"
    if len(data) % 2:
        data += b"\0"
    return [data[i] | data[i + 1] << 8 for i in range(0, len(data), 2)]


class ToolRun:
    def __init__(self, status, out, err, store, store_text, events):
        self.status = status
        self.out = out
        self.err = err
        self.store = store
        self.store_text = store_text
        self.events = events

    def events_named(self, name):
        return [e for e in self.events if e.get("ev") == name]


class StoreRig(ToolRig):
    """marrowlink commands one after another on one store file, each against
    a freshly started simulator; files named relative to the working folder
    land there. The Windows build runs under Wine with COM5 mapped to the
    simulator's pseudo-terminal."""

    def __init__(self, sim_args=(), store_text=None, build=None):
        super().__init__([], port="COM5" if (build or BUILD) == "windows" else None,
                         sim_args=["--build-id", str(BUILD_ID)] + list(sim_args), store_text=store_text,
                         build=build)
        os.makedirs(self.work)

    def path(self, name):
        return os.path.join(self.work, name)

    def tool(self, *args, sim_args=(), kill_at_event=None):
        """Runs marrowlink ARGS --port PORT. kill_at_event stops it with SIGKILL
        as soon as the simulator logs that event, as a power cut would."""
        saved = self.sim_args
        self.sim_args = self.sim_args + list(sim_args)
        self.arguments = list(args)
        # A fresh simulator: its own ready file, events and line log.
        for name in (self.events, self.lines_log, os.path.join(self.folder, "sim.ready")):
            if os.path.exists(name):
                os.remove(name)
        self.start_sim()
        self.store_text = None  # seeded once; later commands find the store as the last one left it
        try:
            if self.build == "windows":
                status, out, err = self._run_windows()
            else:
                status, out, err = self._run_linux(kill_at_event)
        finally:
            self.stop_sim()
            self.sim_args = saved
        return ToolRun(status, out.decode("latin-1"), err.decode("latin-1"), rig.read_store(self.store),
                       read_text(self.store), rig.read_events(self.events))

    def _run_linux(self, kill_at_event):
        process = subprocess.Popen(self.updater_command(), cwd=self.work, env=self.environment(),
                                   stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        if kill_at_event is not None:
            deadline = time.monotonic() + TOOL_TIMEOUT_S
            while process.poll() is None and time.monotonic() < deadline:
                if os.path.exists(self.events) and '"ev":"%s"' % kill_at_event in read_text(self.events):
                    process.send_signal(signal.SIGKILL)
                    break
                time.sleep(0.02)
        try:
            out, err = process.communicate(timeout=TOOL_TIMEOUT_S)
        except subprocess.TimeoutExpired:
            process.kill()
            process.communicate()
            raise
        return process.returncode, out, err

    def _run_windows(self):
        import wine
        session = wine.session(rig.WINE_PREFIXES, WINDOWS_BUILD)
        for port in wine.MAPPED_PORTS:
            session.map_port(port, self.link)
        err_path = os.path.join(self.folder, "wine.err")
        process = session.start(os.path.join(WINDOWS_BUILD, self.windows_program), self.work,
                                self.run_variables(), err_path, self.program_arguments())
        try:
            out, _ = process.popen.communicate(timeout=TOOL_TIMEOUT_S)
        finally:
            process.close()
        with open(err_path, "rb") as err:
            return process.popen.returncode, out.replace(b"\r\n", b"\n"), err.read().replace(b"\r\n", b"\n")


def read_text(path):
    with open(path) as handle:
        return handle.read()


def file_keys(path):
    """Key lines of a backup: {key: words or "absent"}."""
    keys = {}
    with open(path) as handle:
        for line in handle:
            text = line.split("#", 1)[0].strip()
            if not text:
                continue
            key, rest = text.split(None, 1) if " " in text else (text, "")
            key = int(key.split(":")[0], 16)
            keys[key] = "absent" if rest == "absent" else [int(w, 16) for w in rest.lstrip("= ").split()]
    return keys


class BackupRestoreTest(RigTestCase):

    def test_a_backup_restores_the_store_byte_for_byte(self):
        with StoreRig() as r:
            first = r.tool("store", "backup", r.path("backup.txt"))
            self.assertEqual(first.status, 0, first.err)
            original = first.store_text
            keys = file_keys(r.path("backup.txt"))
            self.assertEqual(set(keys), set(first.store))
            for key, words in first.store.items():
                self.assertEqual(keys[key], words, "key 0x%04x" % key)
            self.assertIn('# PSKEY_DEVICE_NAME "%s"' % DEFAULT_NAME, read_text(r.path("backup.txt")))
            self.assertEqual(first.events_named("ps_write"), [], "a backup writes nothing")

            # Renamed (another length) and moved off its host interface.
            kitchen = ["0x%04x" % w for w in packed_name("Kitchen")]
            renamed = r.tool("store", "set", "PSKEY_DEVICE_NAME", *kitchen)
            self.assertEqual(renamed.status, 0, renamed.err)
            self.assertEqual(renamed.store[0x0108], packed_name("Kitchen"))
            moved = r.tool("store", "set", "PSKEY_HOST_INTERFACE", "4", "--force")
            self.assertEqual(moved.status, 0, moved.err)

            # The file's host interface differs from the chip's now: as for set, not without --force,
            # and nothing is written before the whole file has been checked.
            unforced = r.tool("store", "restore", r.path("backup.txt"))
            self.assertEqual(unforced.status, 2, unforced.err)
            self.assertIn("error: writing PSKEY_HOST_INTERFACE: this key changes how the host reaches the chip",
                          unforced.err)
            self.assertEqual(unforced.events_named("ps_write"), [])
            restored = r.tool("store", "restore", r.path("backup.txt"), "--force")
            self.assertEqual(restored.status, 0, restored.err)
            self.assertEqual(restored.store_text, original)
            self.assertIn("Restored all 12 keys", restored.out)
            self.assertNotIn("warning:", restored.err, "the backup came from this very chip")
            # A backup of another build: restored all the same, with a warning.
            with open(r.path("backup.txt")) as handle:
                other = handle.read().replace("build id %d" % BUILD_ID, "build id 4100")
            with open(r.path("other.txt"), "w") as handle:
                handle.write(other)
            warned = r.tool("store", "restore", r.path("other.txt"), "--force")
            self.assertEqual(warned.status, 0, warned.err)
            self.assertIn("warning: %s was taken from firmware" % r.path("other.txt"), warned.err)
            self.assertIn("build id 4100; this chip has", warned.err)
            self.assertEqual(len(restored.events_named("ps_write")), 12)
            self.assertEqual(restored.events_named("reset_request")[-1]["reason"], "cold_reset")

    def test_a_long_name_and_an_absent_key_round_trip(self):
        name = "Workshop bench adapter, second floor (B)"  # 21 words
        store = "0x0108 = %s\n0x01f9 = 0x0001\n" % " ".join("0x%04x" % w for w in packed_name(name))
        with StoreRig(store_text=store) as r:
            backup = r.tool("store", "backup", r.path("b.txt"), "0x0777:3")
            self.assertEqual(backup.status, 0, backup.err)
            keys = file_keys(r.path("b.txt"))
            self.assertEqual(keys[0x0108], packed_name(name))
            self.assertEqual(keys[0x0202], "absent")
            self.assertIn("0x0777:3 absent\n", read_text(r.path("b.txt")))
            r.tool("store", "set", "0x0108", *["0x%04x" % w for w in packed_name("X")])
            restored = r.tool("store", "restore", r.path("b.txt"))
            self.assertEqual(restored.status, 0, restored.out + restored.err)
            self.assertEqual(restored.store[0x0108], packed_name(name))
            self.assertNotIn(0x0202, restored.store)
            self.assertIn("0x0202 PSKEY_PIO_PROTECT_MASK: absent, as in the backup", restored.out)

    def test_a_backup_seeds_the_simulator(self):
        with StoreRig() as source, StoreRig() as seeded:
            source.tool("store", "set", "0x0108", *["0x%04x" % w for w in packed_name("Seeded")])
            self.assertEqual(source.tool("store", "backup", source.path("seed.txt")).status, 0)
            shutil.copy(source.path("seed.txt"), seeded.store)
            run = seeded.tool("store", "get", "PSKEY_DEVICE_NAME", "0x0202")
            self.assertEqual(run.status, 0, run.err)
            self.assertIn('# PSKEY_DEVICE_NAME "Seeded"', run.out)


class InterruptedAndRefusedTest(RigTestCase):

    def test_an_interrupted_or_failed_backup_leaves_no_file(self):
        with StoreRig() as r:
            # Killed while it reads the keys (each answer held back 300 ms).
            killed = r.tool("store", "backup", r.path("cut.txt"), sim_args=["--chip-answer-delay", "300"],
                            kill_at_event="ps_read")
            self.assertEqual(killed.status, -signal.SIGKILL)
            self.assertGreater(len(killed.events_named("ps_read")), 0, "it was killed before any read")
            self.assertFalse(os.path.exists(r.path("cut.txt")))
            # An existing file is never replaced unless asked, and the adapter is not even woken.
            with open(r.path("old.txt"), "w") as handle:
                handle.write("0x01f9 = 0x0001\n")
            kept = r.tool("store", "backup", r.path("old.txt"))
            self.assertEqual(kept.status, 2, kept.out + kept.err)
            self.assertIn("will not replace", kept.err)
            self.assertIn("--overwrite", kept.err)
            self.assertEqual(kept.events_named("modem"), [])
            # The chip stops answering half way: no file, exit 6; the older file stays as it was.
            silent = r.tool("store", "backup", r.path("old.txt"), "--overwrite",
                            sim_args=["--chip-fault", "silent-after:6"])
            self.assertEqual(silent.status, 6, silent.out + silent.err)
            self.assertEqual(read_text(r.path("old.txt")), "0x01f9 = 0x0001\n")
            self.assertEqual(sorted(os.listdir(r.work)), ["old.txt"], "no temporary file left behind")

    def test_a_refused_key_is_named_and_the_others_are_kept(self):
        with StoreRig(sim_args=["--chip-error-key", "0x0229"]) as r:
            got = r.tool("store", "get", "0x0229", "PSKEY_HOST_INTERFACE")
            self.assertEqual(got.status, 8)
            self.assertIn("0x0229 PSKEY_DEEP_SLEEP_STATE: refused by the chip (status 0x0008)\n", got.out)
            self.assertIn("0x01f9 = 0x0001", got.out)
            self.assertIn("error: reading the keys: 1 of 2 keys failed, PSKEY_DEEP_SLEEP_STATE first", got.err)

            backup = r.tool("store", "backup", r.path("b.txt"))
            self.assertEqual(backup.status, 8)
            text = read_text(r.path("b.txt"))
            self.assertIn("# 0x0229 PSKEY_DEEP_SLEEP_STATE is not in this backup: refused by the chip", text)
            self.assertEqual(len(file_keys(r.path("b.txt"))), 11)

            with open(r.path("r.txt"), "w") as handle:
                handle.write("0x0229 = 0x0000\n0x01f9 = 0x0004\n")
            restored = r.tool("store", "restore", r.path("r.txt"), "--force")
            self.assertEqual(restored.status, 8)
            self.assertIn("0x0229 PSKEY_DEEP_SLEEP_STATE: not written: refused by the chip (status 0x0008)", restored.out)
            self.assertEqual(restored.store[0x01F9], [4], "the other keys are still written")
            self.assertEqual(restored.store[0x0229], [1])

    def test_a_chip_that_echoes_requests_cannot_make_a_write_look_verified(self):
        with StoreRig(sim_args=["--chip-fault", "echo"]) as r:
            # 0: what a read-back whose value words were left zero would get from an echo.
            run = r.tool("store", "set", "PSKEY_VM_DISABLE", "0")
            self.assertEqual(run.status, 8, run.out + run.err)
            self.assertIn("0x025d PSKEY_VM_DISABLE: not verified: the chip took the write but gives back another value", run.out)

    def test_keys_that_change_how_the_host_reaches_the_chip_need_force(self):
        with StoreRig() as r:
            for key in ("PSKEY_UART_CONFIG_USR", "0x01f9", "PSKEY_INITIAL_BOOTMODE"):
                refused = r.tool("store", "set", key, "0")
                self.assertEqual(refused.status, 2, key)
                self.assertIn("this key changes how the host reaches the chip", refused.err)
                self.assertIn("hint: check the value, then add --force to write it", refused.err)
                self.assertEqual(refused.events, [e for e in refused.events if e.get("ev") != "modem"],
                                 "the adapter was not even woken")
            forced = r.tool("store", "set", "PSKEY_UART_CONFIG_USR", "0x0888", "--force")
            self.assertEqual(forced.status, 0, forced.err)
            self.assertEqual(forced.store[0x01C2], [0x0888])
            plain = r.tool("store", "set", "PSKEY_VM_DISABLE", "0")
            self.assertEqual(plain.status, 0, plain.err)
            self.assertIn("Cold reset sent", plain.out)


class BadFileTest(RigTestCase):

    CASES = [
        ("0x01f9 = 0x0001\n0x024b 0x0030\n", 2, "expected '=' and value words, or \"absent\""),
        ("0x0777 absent\n", 1, "unknown key 0x0777 without a word count"),
        ("0x0777 = " + " ".join(["1"] * 57) + "\n", 1, "key 0x0777 has 57 value words, more than the 56 a key holds"),
        ("# x\n0x01f9 = 1\n\n0x01F9 = 4\n", 4, "key 0x01f9 is already given on line 2"),
    ]

    def test_every_bad_file_gives_its_line_and_reason_and_writes_nothing(self):
        with StoreRig() as r:
            r.tool("store", "get", "0x01f9")  # the store file exists from here on
            before = read_text(r.store)
            for text, line, reason in self.CASES:
                with self.subTest(reason=reason):
                    with open(r.path("bad.txt"), "w") as handle:
                        handle.write(text)
                    run = r.tool("store", "restore", r.path("bad.txt"))
                    self.assertEqual(run.status, 2)
                    self.assertIn("%s:%d: %s" % (r.path("bad.txt"), line, reason), run.out)
                    self.assertIn("error: checking %s: line %d: " % (r.path("bad.txt"), line), run.err)
                    self.assertIn("nothing was written to the chip", run.err)
                    self.assertEqual(run.store_text, before)
                    self.assertEqual([e for e in run.events if e.get("ev") in ("modem", "bccmd")], [])


class UpdateBackupTest(RigTestCase):
    """marrowlink update --backup FILE: the store as it was, kept on the
    update's own link before its first write, or the update stops unchanged."""

    def update(self, backup, sim_args=()):
        r = ToolRig(["update", "--backup", backup, "--no-wait"], sim_args=["--build-id", str(BUILD_ID)] + list(sim_args))
        return r, r.run()

    def test_the_backup_holds_the_store_as_it_was_before_the_update(self):
        r, run = self.update("before.txt")
        with r:
            self.assertEqual(run.exit_status, 0, run.transcript + run.errors)
            path = os.path.join(r.work, "before.txt")  # named from the folder the update was started in
            keys = file_keys(path)
            self.assertEqual(keys[0x024B], [0x0020], "the amplitude before the update wrote 48")
            self.assertEqual(keys[0x0108], packed_name(DEFAULT_NAME))
            self.assertEqual(len(keys), 12)
            self.assertEqual(run.store[0x024B], [48])
            self.assertEqual(run.store[0x0108], packed_name("Marrowlink"))
            self.assertIn("Backup written to %s.\n" % path, run.transcript)
            # On the pre-update profile's link, before its first write: two links in all, as without it.
            kinds = [e["ev"] for e in run.events if e.get("ev") in ("ps_read", "ps_write", "link_established")]
            self.assertEqual(kinds.count("link_established"), 2)
            self.assertLess(max(i for i, k in enumerate(kinds) if k == "ps_read"), kinds.index("ps_write"))
            self.assertEqual(kinds.index("link_established"), 0)

    def test_a_backup_that_cannot_be_taken_or_written_stops_the_update_unchanged(self):
        contacted_hint = "hint: nothing was changed on the chip and the firmware was not touched"
        not_contacted_hint = "the adapter was not contacted"
        for what, backup, existing, sim_args, status, hint in (
                ("unwritable folder", "no-such-folder/b.txt", False, (), 2, not_contacted_hint),
                ("an existing file", "b.txt", True, (), 2, not_contacted_hint),
                ("refused key", "b.txt", False, ("--chip-error-key", "0x0229"), 6, contacted_hint),
                # The chip starts too late for the first link: without the backup the recovery
                # would write six keys to a chip nobody backed up.
                ("chip silent at the first link", "b.txt", False, ("--chip-fault", "late-link:6000"), 6,
                 "power it off and on before the next try")):
            with self.subTest(what):
                r = ToolRig(["update", "--backup", backup, "--no-wait"],
                            sim_args=["--build-id", str(BUILD_ID)] + list(sim_args))
                with r:
                    if existing:
                        os.makedirs(r.work)
                        with open(os.path.join(r.work, backup), "w") as handle:
                            handle.write("the only copy of the first store\n")
                        r._prepare_folder = lambda: r.make_tool_folder(r.work)
                    run = r.run()
                    self.assertEqual(run.exit_status, status, run.transcript + run.errors)
                    self.assertIn(hint, run.errors)
                    self.assertEqual(run.events_named("ps_write"), [])
                    self.assertEqual(run.tool_calls, [], "the download tool was not started")
                    self.assertEqual(run.store[0x024B], [0x0020])
                    if existing:
                        with open(os.path.join(r.work, backup)) as handle:
                            self.assertEqual(handle.read(), "the only copy of the first store\n")
                        self.assertEqual(run.events_named("modem"), [], "the adapter was not woken")
                    else:
                        self.assertFalse(os.path.exists(os.path.join(r.work, backup)))


class RoundTripTest(RigTestCase):
    """One backup and restore round trip, the file named relative to the
    working folder: the Windows build under Wine runs this one (ctest
    e2e_windows.test_store.RoundTripTest); the Linux build runs it too."""

    def test_backup_rename_restore(self):
        with StoreRig(build=BUILD) as r:
            with open(r.path("backup.txt"), "w") as handle:
                handle.write("an older file the backup replaces whole\n")
            os.chmod(r.path("backup.txt"), 0o640)
            backup = r.tool("store", "backup", "backup.txt", "--overwrite")
            self.assertEqual(backup.status, 0, backup.out + backup.err)
            self.assertIn("Backup written to backup.txt: 12 keys.\n", backup.out)
            if BUILD == "linux":
                self.assertEqual(os.stat(r.path("backup.txt")).st_mode & 0o777, 0o640, "the old file's mode is kept")
            original = backup.store_text
            kitchen = ["0x%04x" % w for w in packed_name("Kitchen")]
            renamed = r.tool("store", "set", "PSKEY_DEVICE_NAME", *kitchen)
            self.assertEqual(renamed.store[0x0108], packed_name("Kitchen"), renamed.out + renamed.err)
            restored = r.tool("store", "restore", "backup.txt")
            self.assertEqual(restored.status, 0, restored.out + restored.err)
            self.assertEqual(restored.store_text, original)
            self.assertEqual(os.listdir(r.work), ["backup.txt"])


if __name__ == "__main__":
    unittest.main()
