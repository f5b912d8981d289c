"""marrowlink-sim end to end on a real pseudo-terminal, with the null-modem fixture.

The test starts the simulator, then runs this same file as a client process
with the fixture preloaded (only the client gets it: the simulator must see the
bare pty). The client does what the updater does on COM1 -- the timed modem-line
wake-up at 1200 8N1, the Plug-and-Play reply, the setup handshake at 115200,
the identify command and its version frame, the hand-over command -- then
reopens the port at 115200 8E1 and expects the chip's BCSP link-establishment
messages intact. Afterwards the simulator's event log must show the same story.

    python3 sim_pty_test.py --sim build/.../marrowlink-sim --fixture build/.../libnullmodem.so

Standard library only.
"""

import argparse
import fcntl
import json
import os
import select
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import termios
import time
import unittest

READY_TIMEOUT_S = 10.0
READ_TIMEOUT_S = 1.5  # the updater's per-byte read time-out on the command port
BCSP_SYNC = bytes([0xDA, 0xDC, 0xED, 0xED])
STANDARD_VERSION = b"Veltrane_Tools Marrowlink Firmware 1.2.9"
CMSPAR = 0o10000000000

ARGS = None


# ---------------------------------------------------------------------------
# The client: runs with the fixture preloaded.

def set_line(fd, speed, parity):
    attrs = termios.tcgetattr(fd)
    attrs[0] = 0                                  # iflag: raw
    attrs[1] = 0                                  # oflag
    attrs[2] = termios.CS8 | termios.CREAD | termios.CLOCAL | parity
    attrs[3] = 0                                  # lflag
    attrs[4] = attrs[5] = speed
    attrs[6][termios.VMIN] = 0
    attrs[6][termios.VTIME] = 0
    termios.tcsetattr(fd, termios.TCSANOW, attrs)
    back = termios.tcgetattr(fd)
    assert back[2] & termios.PARENB == parity & termios.PARENB, "parity did not round-trip"
    assert back[4] == speed, "speed did not round-trip"


def modem(fd, request, bit):
    fcntl.ioctl(fd, request, struct.pack("i", bit))


def read_exactly(fd, count, timeout_s=READ_TIMEOUT_S):
    data = b""
    deadline = time.monotonic() + timeout_s
    while len(data) < count:
        left = deadline - time.monotonic()
        if left <= 0 or not select.select([fd], [], [], left)[0]:
            break
        data += os.read(fd, count - len(data))
    return data


def read_until(fd, end, limit=64):
    data = b""
    while not data.endswith(end) and len(data) < limit:
        byte = read_exactly(fd, 1)
        if not byte:
            break
        data += byte
    return data


def client(link):
    fd = os.open(link, os.O_RDWR | os.O_NOCTTY)
    set_line(fd, termios.B1200, 0)
    termios.tcflush(fd, termios.TCIOFLUSH)
    # The wake-up: RTS low throughout; DTR low 500, high 200, low 200, high 200; then RTS up.
    modem(fd, termios.TIOCMBIC, termios.TIOCM_RTS)
    modem(fd, termios.TIOCMBIC, termios.TIOCM_DTR)
    time.sleep(0.5)
    modem(fd, termios.TIOCMBIC, termios.TIOCM_RTS)
    modem(fd, termios.TIOCMBIS, termios.TIOCM_DTR)
    time.sleep(0.2)
    modem(fd, termios.TIOCMBIC, termios.TIOCM_DTR)
    time.sleep(0.2)
    modem(fd, termios.TIOCMBIS, termios.TIOCM_DTR)
    time.sleep(0.2)
    modem(fd, termios.TIOCMBIS, termios.TIOCM_RTS)
    time.sleep(0.2)
    lines = struct.unpack("i", fcntl.ioctl(fd, termios.TIOCMGET, struct.pack("i", 0)))[0]
    assert lines & (termios.TIOCM_RTS | termios.TIOCM_DTR) == termios.TIOCM_RTS | termios.TIOCM_DTR

    reply = read_until(fd, b")")
    assert reply == b"(\x01$QXZ4702)", "Plug-and-Play reply %r" % reply

    set_line(fd, termios.B115200, 0)
    time.sleep(0.2)
    os.write(fd, b"LUMA PORT SETUP")
    answer = read_exactly(fd, 15)
    assert answer == b"LUMA PORT READY", "handshake answer %r" % answer

    os.write(fd, bytes([0x01, 0xF7, 0x00, 0x00]))
    header = read_exactly(fd, 4)
    assert len(header) == 4, "no reply frame header: %r" % header
    code, length = struct.unpack(">HH", header)
    data = read_exactly(fd, length)
    assert code == 0x05DD, "reply code %#06x" % code
    assert data == STANDARD_VERSION + b"\0", "version data %r" % data

    os.write(fd, bytes([0x01, 0xF8, 0x00, 0x00]))
    time.sleep(0.5)
    termios.tcflush(fd, termios.TCIOFLUSH)
    os.close(fd)

    # The BCSP port: 8E1, which only the fixture lets a pty take.
    fd = os.open(link, os.O_RDWR | os.O_NOCTTY)
    set_line(fd, termios.B115200, termios.PARENB)
    termios.tcflush(fd, termios.TCIOFLUSH)
    stream = b""
    deadline = time.monotonic() + 2.0
    while BCSP_SYNC not in stream and time.monotonic() < deadline:
        stream += read_exactly(fd, 1, deadline - time.monotonic())
    assert BCSP_SYNC in stream, "no intact SYNC from the chip at 8E1: %r" % stream[:64]
    assert stream.startswith(b"\xc0"), "chip frames start with 0xC0: %r" % stream[:16]
    os.close(fd)
    return 0


# ---------------------------------------------------------------------------
# The test: the simulator and the client as separate processes.

def read_events(path):
    with open(path) as handle:
        return [json.loads(line) for line in handle if line.strip()]


class SimulatorOnPtyTest(unittest.TestCase):

    def setUp(self):
        self.folder = tempfile.mkdtemp(prefix="marrowlink-sim-test-")
        self.link = os.path.join(self.folder, "com1")
        self.lines = os.path.join(self.folder, "lines.log")
        self.events = os.path.join(self.folder, "events.jsonl")
        ready = os.path.join(self.folder, "ready")
        self.sim = subprocess.Popen(
            [ARGS.sim, "--link", self.link, "--lines", self.lines, "--events", self.events,
             "--log", os.path.join(self.folder, "sim.log"), "--ready-file", ready,
             "--store", os.path.join(self.folder, "store.txt")],
            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        deadline = time.monotonic() + READY_TIMEOUT_S
        while not os.path.exists(ready):
            if self.sim.poll() is not None or time.monotonic() > deadline:
                self.fail("simulator did not start: %r" % self.sim.communicate()[0])
            time.sleep(0.02)
        with open(ready) as handle:
            self.ready_text = handle.read()

    def tearDown(self):
        if self.sim.poll() is None:
            self.sim.kill()
            self.sim.wait()
        if self.sim.stdout:
            self.sim.stdout.close()
        shutil.rmtree(self.folder, ignore_errors=True)

    def stop_sim(self):
        self.sim.send_signal(signal.SIGTERM)
        self.assertEqual(self.sim.wait(timeout=5), 0, "the simulator should exit 0 on SIGTERM")
        self.assertFalse(os.path.lexists(self.link), "the simulator should remove its link")

    def test_command_port_and_hand_over_to_the_chip(self):
        self.assertIn("pty=" + os.path.realpath(self.link), self.ready_text)
        env = dict(os.environ, LD_PRELOAD=ARGS.fixture, NULLMODEM_LOG=self.lines, COM1_DEVICE=self.link)
        client_run = subprocess.run([sys.executable, os.path.abspath(__file__), "--client", self.link],
                                    env=env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=60)
        output = client_run.stdout.decode(errors="replace")
        self.assertEqual(client_run.returncode, 0, "client failed:\n" + output)
        self.stop_sim()

        events = read_events(self.events)
        names = [e["ev"] for e in events]
        wake = [e for e in events if e["ev"] == "wake"]
        self.assertEqual(len(wake), 1)
        self.assertEqual(wake[0]["ok"], 1, wake[0])
        for step, nominal in zip(wake[0]["steps_ms"], (500, 200, 200, 200)):
            self.assertGreaterEqual(step, nominal - 5)
        lines = [(e["baud"], e["parity"]) for e in events if e["ev"] == "line"]
        self.assertEqual(lines, [(1200, "none"), (115200, "none"), (115200, "even")])
        self.assertEqual([e["code"] for e in events if e["ev"] == "command"], ["0xf7", "0xf8"])
        for name in ("pnp_sent", "handshake", "version_sent", "handover", "chip_power_on", "purge", "stop"):
            self.assertIn(name, names)
        # The chip's SYNCs reach a host still at 8N1 damaged, and are purged with the port.
        self.assertTrue(any(e["ev"] == "tx" and e.get("garbled") for e in events))
        with open(self.lines) as handle:
            entries = [line.split()[1:] for line in handle]
        self.assertIn(["LINE", "115200", "8", "E", "1"], entries)
        self.assertIn(["FLUSH", "3"], entries)

    def test_line_log_entries_with_numbers_out_of_range_are_refused(self):
        # Each would have been taken with undefined behaviour (sscanf's %llu and %d).
        entries = ["1 DTR 99999999999", "18446744073709551616 RTS 1", "-5 DTR 1", "3 DTR 1x"]
        with open(self.lines, "a") as handle:
            handle.write("\n".join(entries + ["2 DTR 1"]) + "\n")
        deadline = time.monotonic() + READY_TIMEOUT_S
        bad = []
        while len(bad) < len(entries) and time.monotonic() < deadline:
            time.sleep(0.05)
            bad = [e for e in read_events(self.events) if e["ev"] == "lines_bad"]
        self.stop_sim()
        self.assertEqual([e["text_length"] for e in bad], [len(entry) for entry in entries])

    def test_bare_pty_without_fixture_refuses_parity_and_modem_lines(self):
        fd = os.open(self.link, os.O_RDWR | os.O_NOCTTY)
        try:
            attrs = termios.tcgetattr(fd)
            attrs[2] |= termios.PARENB
            with self.assertRaises(termios.error):
                termios.tcsetattr(fd, termios.TCSANOW, attrs)
            with self.assertRaises(OSError):
                modem(fd, termios.TIOCMBIS, termios.TIOCM_RTS)
        finally:
            os.close(fd)
        self.stop_sim()
        self.assertNotIn("wake", [e["ev"] for e in read_events(self.events)])


class SimulatorCommandLineTest(unittest.TestCase):

    def run_sim(self, *args):
        return subprocess.run([ARGS.sim] + list(args), stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                              stderr=subprocess.STDOUT, timeout=10)

    def test_wrong_options_are_refused_with_status_2(self):
        with tempfile.TemporaryDirectory() as folder:
            link = os.path.join(folder, "com1")
            for args in (["--fault", "bogus"], ["--fault", "pnp-cut"], ["--frames-before", "-1"],
                         ["--build-id", "70000"], ["--noise-drop", "1.5"], ["--pnp-rev", "12"],
                         ["--pnp-rev", "-1ff"], ["--pnp-rev", " f0f"], ["--pnp-rev", "+f0f"],
                         ["--chip-fault", "reset-after:0"], ["--no-such-option"]):
                result = self.run_sim("--link", link, *args)
                self.assertEqual(result.returncode, 2, args)
                self.assertIn(b"usage:", result.stdout)
                self.assertFalse(os.path.lexists(link))
            self.assertEqual(self.run_sim("--fault", "silent").returncode, 2, "--link is required")

    def test_help_and_a_bare_version_print_and_serve_nothing(self):
        with tempfile.TemporaryDirectory() as folder:
            link = os.path.join(folder, "com1")
            for args, expected in ((["--help"], b"Usage: marrowlink-sim --link PATH"),
                                   (["--link", link, "--version"], b"marrowlink-sim %s\n" % ARGS.version.encode()),
                                   (["--version"], b"marrowlink-sim %s\n" % ARGS.version.encode())):
                result = self.run_sim(*args)
                self.assertEqual(result.returncode, 0, args)
                self.assertTrue(result.stdout.startswith(expected), (args, result.stdout[:200]))
                self.assertFalse(os.path.lexists(link))

    def test_an_existing_file_is_not_replaced_by_the_link(self):
        with tempfile.TemporaryDirectory() as folder:
            path = os.path.join(folder, "com1")
            with open(path, "w") as handle:
                handle.write("keep me")
            result = self.run_sim("--link", path, "--store", os.path.join(folder, "store.txt"))
            self.assertEqual(result.returncode, 1)
            with open(path) as handle:
                self.assertEqual(handle.read(), "keep me")


def main():
    global ARGS
    parser = argparse.ArgumentParser()
    parser.add_argument("--sim")
    parser.add_argument("--fixture")
    parser.add_argument("--client")
    parser.add_argument("--version", help="the version marrowlink-sim --version must print")
    ARGS, rest = parser.parse_known_args()
    if ARGS.client:
        try:
            return client(ARGS.client)
        except AssertionError as error:
            print("client: %s" % error)
            return 1
    if not ARGS.sim or not ARGS.fixture:
        parser.error("--sim and --fixture are required")
    result = unittest.main(argv=[sys.argv[0]] + rest, exit=False, verbosity=2).result
    return 0 if result.wasSuccessful() else 1


if __name__ == "__main__":
    sys.exit(main())
