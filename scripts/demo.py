"""The demo: one whole update against the adapter simulator.

Sets up a folder with the "DFUWizard" subfolder and the stand-in download tool,
starts the simulator (adapter and Bluetooth chip on a pseudo-terminal), shows
the chip's persistent store, runs marrowlink-update on it as a person would
(press a key when it asks), and shows which keys the update changed, to what.
"""

import os
import subprocess
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "e2e"))
from rig import PROGRAM_DIR, Rig, read_store  # noqa: E402

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


if __name__ == "__main__":
    os.environ.setdefault("MARROWLINK_KEEP", "1")
    sys.exit(main())
