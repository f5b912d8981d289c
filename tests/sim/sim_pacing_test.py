"""marrowlink-sim --pace-both on a real pseudo-terminal: both directions take
the line's real time, and the chip answers no earlier than over a real cable.

A client process with the null-modem fixture preloaded (the pty takes even
parity only through it) opens the port at 115200 8E1 against --chip-only and
sends the chip a BCSP SYNC; the chip's SYNC_RESP must not reach it before the
SYNC has crossed the line and the SYNC_RESP has crossed back: 2 x 12
characters of 11 bits at 115200 baud, 2.29 ms. Without --pace-both the pty
hands the SYNC over at once. The simulator's "wire" events must describe the
same bursts, back to back, each as long as its characters take.

    python3 sim_pacing_test.py --sim build/.../marrowlink-sim --fixture build/.../libnullmodem.so

Standard library only.
"""

import argparse
import json
import math
import os
import select
import shutil
import signal
import subprocess
import sys
import tempfile
import termios
import time
import unittest

READY_TIMEOUT_S = 10.0
ANSWER_TIMEOUT_S = 2.0
BAUD = 115200
BITS_8E1 = 11
# SYNC, as the host sends it (C0, header, payload, CRC, C0), and the chip's answer.
HOST_SYNC = bytes.fromhex("c04041007edadcededa97ac0")
SYNC_RESP_PAYLOAD = bytes.fromhex("acafefee")
ROUNDS = 5

ARGS = None


def line_us(chars, bits=BITS_8E1, baud=BAUD):
    return math.ceil(chars * bits * 1_000_000 / baud)


# ---------------------------------------------------------------------------
# The client: runs with the fixture preloaded; prints one line per round, the
# microseconds from its SYNC's write to the last byte of the chip's SYNC_RESP.

def client(link):
    fd = os.open(link, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
    attrs = termios.tcgetattr(fd)
    attrs[0] = attrs[1] = attrs[3] = 0
    attrs[2] = termios.CS8 | termios.CREAD | termios.CLOCAL | termios.PARENB
    attrs[4] = attrs[5] = termios.B115200
    termios.tcsetattr(fd, termios.TCSANOW, attrs)
    for _ in range(ROUNDS):
        time.sleep(0.05)
        termios.tcflush(fd, termios.TCIFLUSH)  # the chip's own SYNCs, sent before we listened
        written = time.monotonic_ns()
        os.write(fd, HOST_SYNC)
        stream = b""
        deadline = time.monotonic() + ANSWER_TIMEOUT_S
        while SYNC_RESP_PAYLOAD not in stream or not stream.endswith(b"\xc0"):
            left = deadline - time.monotonic()
            if left <= 0 or not select.select([fd], [], [], left)[0]:
                print("no SYNC_RESP: %r" % stream)
                return 1
            stream += os.read(fd, 64)
        print((time.monotonic_ns() - written) // 1000)
    os.close(fd)
    return 0


# ---------------------------------------------------------------------------
# The test

class PaceBothTest(unittest.TestCase):

    def start_sim(self, *extra):
        self.folder = tempfile.mkdtemp(prefix="marrowlink-pacing-test-")
        self.link = os.path.join(self.folder, "com1")
        self.events = os.path.join(self.folder, "events.jsonl")
        ready = os.path.join(self.folder, "ready")
        self.sim = subprocess.Popen(
            [ARGS.sim, "--chip-only", "--link", self.link, "--lines", os.path.join(self.folder, "lines.log"),
             "--events", self.events, "--ready-file", ready, "--store", os.path.join(self.folder, "store.txt")]
            + list(extra), stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        deadline = time.monotonic() + READY_TIMEOUT_S
        while not os.path.exists(ready):
            if self.sim.poll() is not None or time.monotonic() > deadline:
                self.fail("simulator did not start")
            time.sleep(0.02)

    def tearDown(self):
        if self.sim.poll() is None:
            self.sim.kill()
            self.sim.wait()
        shutil.rmtree(self.folder, ignore_errors=True)

    def round_trips_us(self):
        env = dict(os.environ, LD_PRELOAD=ARGS.fixture, NULLMODEM_LOG=os.path.join(self.folder, "lines.log"))
        result = subprocess.run([sys.executable, os.path.abspath(__file__), "--client", self.link], env=env,
                                stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=60)
        output = result.stdout.decode(errors="replace")
        self.assertEqual(result.returncode, 0, "client failed:\n" + output)
        self.sim.send_signal(signal.SIGTERM)
        self.assertEqual(self.sim.wait(timeout=5), 0)
        with open(self.events) as handle:
            self.wire = [e for e in map(json.loads, filter(str.strip, handle)) if e["ev"] == "wire"]
        return [int(line) for line in output.split()]

    def test_the_answer_comes_no_earlier_than_over_a_real_cable(self):
        self.start_sim("--pace-both")
        floor_us = 2 * line_us(len(HOST_SYNC))
        for took_us in self.round_trips_us():
            self.assertGreaterEqual(took_us, floor_us)

    def test_wire_events_are_back_to_back_bursts_at_the_line_rate(self):
        self.start_sim("--pace-both")
        self.round_trips_us()
        sent = [e for e in self.wire if e["dir"] == "to_device"]
        # The chip's SYNCs from before the client set 8E1 reach it garbled.
        answers = [e for e in self.wire if e["dir"] == "to_host" and e["start_us"] >= sent[0]["start_us"]]
        self.assertEqual(sum(e["chars"] for e in sent), ROUNDS * len(HOST_SYNC))
        for direction in (sent, answers):
            for burst in direction:
                self.assertEqual((burst["baud"], burst["frame_bits"]), (BAUD, BITS_8E1))
                self.assertEqual(burst["end_us"] - burst["start_us"], line_us(burst["chars"]), burst)
                self.assertEqual(burst["bytes"], burst["chars"])
            for earlier, later in zip(direction, direction[1:]):
                self.assertGreaterEqual(later["start_us"], earlier["end_us"], "a line carries one burst at a time")
        # Each SYNC_RESP starts after the SYNC that asked for it has fully arrived.
        for burst in sent:
            answer = next(a for a in answers if a["start_us"] >= burst["start_us"])
            self.assertGreaterEqual(answer["start_us"], burst["end_us"])

    def test_without_pace_both_the_host_bytes_are_not_on_the_line(self):
        self.start_sim()
        self.assertEqual(len(self.round_trips_us()), ROUNDS)
        self.assertEqual(self.wire, [])


class PaceBothCommandLineTest(unittest.TestCase):

    def test_pace_both_and_no_pacing_exclude_each_other(self):
        with tempfile.TemporaryDirectory() as folder:
            link = os.path.join(folder, "com1")
            result = subprocess.run([ARGS.sim, "--link", link, "--pace-both", "--no-pacing"],
                                    stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                    timeout=10)
            self.assertEqual(result.returncode, 2)
            self.assertIn(b"--pace-both and --no-pacing exclude each other", result.stdout)
            self.assertFalse(os.path.lexists(link))


def main():
    global ARGS
    parser = argparse.ArgumentParser()
    parser.add_argument("--sim")
    parser.add_argument("--fixture")
    parser.add_argument("--client")
    ARGS, rest = parser.parse_known_args()
    if ARGS.client:
        return client(ARGS.client)
    if not ARGS.sim or not ARGS.fixture:
        parser.error("--sim and --fixture are required")
    result = unittest.main(argv=[sys.argv[0]] + rest, exit=False, verbosity=2).result
    return 0 if result.wasSuccessful() else 1


if __name__ == "__main__":
    sys.exit(main())
