"""The demo: one whole update against the adapter simulator.

Sets up a folder with the "DFUWizard" subfolder and the stand-in download tool,
starts the simulator (adapter and Bluetooth chip on a pseudo-terminal), shows
the chip's persistent store, runs marrowlink-update on it as a person would
(press a key when it asks), and shows which keys the update changed, to what.

With --adapters N: N simulated adapters at once (the second one with the CI
firmware), each behind a port of its own, updated together by
`marrowlink update` with a backup per port; each chip's store is shown in short
before and after.
"""

import os
import signal
import subprocess
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "e2e"))
from rig import LINUX_BUILD, PROGRAM_DIR, Adapters, Rig, read_store  # noqa: E402

KEY_NAMES = {
    0x024B: "PSKEY_CRYSTAL_TARGET_AMPLITUDE", 0x03CC: "PSKEY_ONCHIP_HCI_CLIENT",
    0x01F9: "PSKEY_HOST_INTERFACE", 0x025D: "PSKEY_VM_DISABLE", 0x01C2: "PSKEY_UART_CONFIG_USR",
    0x0202: "PSKEY_PIO_PROTECT_MASK", 0x0191: "PSKEY_UART_CONFIG", 0x03CD: "PSKEY_INITIAL_BOOTMODE",
    0x04B1: "PSKBOOTMODE_KEY_LIST_0+1", 0x04F8: "PSKBOOTMODE_KEY_TABLE_1", 0x0108: "device name",
    0x0229: "PSKEY_DEEP_SLEEP_STATE",
}


def words(values):
    return " ".join("0x%04x" % value for value in values) if values else "(not set)"


def name_text(values):
    data = b"".join(bytes((value & 0xFF, value >> 8)) for value in values)
    return data.split(b"\0")[0].decode("latin-1")


def describe(key, values):
    text = "  0x%04x %-32s %s" % (key, KEY_NAMES.get(key, ""), words(values))
    if key == 0x0108 and values:
        text += '  ("%s")' % name_text(values)
    return text


def main():
    if len(sys.argv) > 1 and sys.argv[1] == "--adapters":
        count = sys.argv[2] if len(sys.argv) > 2 else ""
        return fleet_main(int(count) if count.isdigit() else 0)
    variant = sys.argv[1] if len(sys.argv) > 1 else "standard"
    with Rig(sim_args=["--version", variant]) as rig:
        rig.start_sim()
        before = read_store(rig.store)
        print("The simulated chip's persistent store before the update (%s):" % rig.store)
        for key in sorted(before):
            print(describe(key, before[key]))
        updater = os.path.join(PROGRAM_DIR, "marrowlink-update")
        print("\n--- %s (firmware variant: %s) ---" % (updater, variant), flush=True)
        rig._prepare_folder()
        status = subprocess.call([updater], cwd=rig.work, env=rig.environment())
        rig.stop_sim()
        print("--- exit status %d ---\n" % status)
        after = read_store(rig.store)
        changed = sorted(key for key in set(before) | set(after) if before.get(key) != after.get(key))
        print("Keys the update changed:" if changed else "The update changed no key.")
        for key in changed:
            print("  0x%04x %-32s %s -> %s" % (key, KEY_NAMES.get(key, ""), words(before.get(key)),
                                               words(after.get(key))))
            if key == 0x0108:
                print('  %39s "%s" -> "%s"' % ("", name_text(before.get(key, [])), name_text(after[key])))
        print("\nThe simulator's log of every exchange: %s" % os.path.join(rig.folder, "sim.log"))
    return 0


# The keys the short view shows, with the names it gives them.
SHORT_KEYS = ((0x0108, "name"), (0x024B, "crystal"), (0x01F9, "host"))
FLEET_ADAPTERS_MAX = 8
# How long the stand-in download tool runs in the demo of several adapters:
# long enough to watch the table in that phase, or to try a Ctrl-C there.
FLEET_DEMO_TOOL_RUN_MS = 3000


def short_store(store):
    parts = []
    for key, label in SHORT_KEYS:
        values = store.get(key)
        if values is None:
            parts.append("%s (not set)" % label)
        elif key == 0x0108:
            parts.append('%s "%s"' % (label, name_text(values)))
        else:
            parts.append("%s %s" % (label, words(values)))
    return ", ".join(parts)


def fleet_main(count):
    if not 2 <= count <= FLEET_ADAPTERS_MAX:
        print("scripts/demo --adapters N: N from 2 to %d" % FLEET_ADAPTERS_MAX, file=sys.stderr)
        return 2
    # Every adapter with the standard firmware but the second, which has the CI firmware.
    variants = ["ci" if number == 1 else "standard" for number in range(count)]
    adapters = Adapters(*(["--version", variant] for variant in variants))
    for rig in adapters.rigs:
        rig.sim_own_session = True  # a Ctrl-C is for marrowlink, which passes it on to its children
    with adapters:
        work = os.path.join(adapters.rigs[0].folder, "work")
        os.makedirs(work)
        adapters.rigs[0].make_tool_folder(work)
        # Each simulator's port under a name of its own in the work folder (the
        # simulators all call theirs com1): the names the lines and files carry.
        leaves = []
        for number, rig in enumerate(adapters.rigs):
            leaves.append("ttyUSB%d" % number)
            os.symlink(rig.link, os.path.join(work, leaves[-1]))
        before = [read_store(rig.store) for rig in adapters.rigs]
        print("%d simulated adapters, each behind a port of its own; the ports are links in" % count)
        print("  %s" % work)
        print("Each adapter's firmware and its chip's store (%d keys) before the update:" % len(before[0]))
        for leaf, variant, store in zip(leaves, variants, before):
            print("  %-8s %-9s %s" % (leaf, variant, short_store(store)))
        command = [os.path.join(LINUX_BUILD, "marrowlink"), "update"]
        for leaf in leaves:
            command += ["--port", leaf]
        command += ["--backup", "before-{port}.txt", "--no-wait"]
        env = adapters.environment()
        # The stand-in download tool keeps a record of its command line per port.
        env["DFUWIZARD_RECORD"] = os.path.join(work, "tool-{port}.log")
        env["DFUWIZARD_RUN_MS"] = str(FLEET_DEMO_TOOL_RUN_MS)
        shown = " ".join("'%s'" % word if "{" in word else word for word in ["marrowlink"] + command[1:])
        print("\n--- %s ---" % shown, flush=True)
        # As a shell runs its foreground job: a Ctrl-C reaches marrowlink, not this script.
        previous = signal.signal(signal.SIGINT, signal.SIG_IGN)
        try:
            status = subprocess.call(command, cwd=work, env=env,
                                     preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL))
        finally:
            signal.signal(signal.SIGINT, previous)
        print("--- exit status %d ---\n" % status)
        for rig in adapters.rigs:
            rig.stop_sim()
        print("Each chip's store after the update:")
        for leaf, rig, store in zip(leaves, adapters.rigs, before):
            after = read_store(rig.store)
            changed = sum(1 for key in set(store) | set(after) if store.get(key) != after.get(key))
            print("  %-8s %2d keys changed: %s" % (leaf, changed, short_store(after)))
        backups = sorted(name for name in os.listdir(work) if name.startswith("before-"))
        print("\nThe stores as they were, backed up in the work folder:")
        print("  %s" % (", ".join(backups) or "none"))
        print("The simulators' logs of every exchange:")
        for leaf, rig in zip(leaves, adapters.rigs):
            print("  %-8s %s" % (leaf, os.path.join(rig.folder, "sim.log")))
    return status


if __name__ == "__main__":
    os.environ.setdefault("MARROWLINK_KEEP", "1")
    sys.exit(main())
