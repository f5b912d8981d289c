"""The benchmark's arithmetic on a made-up run whose answers are known: the
floor leaves out bytes that cross the line during a fixed pause or with the
port closed, overlapping bursts count once, and the time above the floor is
accounted for in full by its categories.

    python3 -m unittest test_analyse     (from bench/)
"""

import unittest

import analyse
from runs import BcspRun, ConsoleLine, ProbeRun, TimedRun, UpdateRun

T0 = 1_000_000_000  # microseconds


def ms(value):
    return T0 + int(value * 1000)


def adapter(t_ms, event, **fields):
    return dict({"t_ms": (T0 // 1000) + t_ms, "src": "adapter", "ev": event}, **fields)


def chip(t_ms, event, **fields):
    return dict({"t": (T0 // 1000) + t_ms, "ev": event}, **fields)


def wire(direction, start_ms, end_ms, chars):
    return {"t_ms": 0, "src": "sim", "ev": "wire", "dir": direction, "chars": chars, "bytes": chars,
            "start_us": ms(start_ms), "end_us": ms(end_ms), "baud": 115200, "frame_bits": 11}


def made_up_run():
    events = [
        adapter(10, "modem", rts=0, dtr=0),
        wire("to_host", 1130, 1222, 11),          # the Plug-and-Play reply, inside the modem-line pause
        adapter(1310, "line", baud=115200),
        wire("to_device", 1510, 1511, 15),        # the handshake
        wire("to_host", 1511.5, 1512.5, 15),
        wire("to_device", 1513, 1513.5, 4),       # identify, the version frame, 01 F8 00 00
        wire("to_host", 1514, 1518, 45),
        wire("to_device", 1519, 1519.5, 4),
        adapter(1520, "command", name="identified"),
        wire("to_host", 1620, 1621, 12),          # the chip's first SYNC, during the hand-over pause
        adapter(2020, "purge"), adapter(2020, "purge"),
        # Pre-update session: SYNC answered, then the chip's own SYNC 80 ms later.
        wire("to_device", 2021, 2022, 12),
        wire("to_host", 2022, 2023, 12),
        chip(2100, "tx", msg="SYNC"),
        wire("to_host", 2100, 2101, 12),
        wire("to_device", 2100.5, 2101.5, 12),    # overlaps the chip's SYNC: full duplex
        chip(2110, "link_established"),
        wire("to_device", 2115, 2117, 26),
        chip(2120, "reset_request", reason="ps_defrag_reset"),
        wire("to_host", 2120, 2121, 8),           # the acknowledgement of the reset request
        wire("to_host", 2400, 2401, 12),          # the restarted chip's SYNC: nobody listens
        adapter(3122, "purge"),
        wire("to_host", 3900, 3901, 12),          # during the download
        adapter(4128, "purge"),
        # Post-update session.
        wire("to_device", 4129, 4130, 12),
        chip(4150, "tx", msg="SYNC"),
        wire("to_host", 4150, 4151, 12),
        chip(4160, "link_established"),
        wire("to_device", 4161, 4163, 26),
        chip(4170, "reset_request", reason="cold_reset"),
        wire("to_host", 4170, 4171, 8),
        adapter(4372, "purge"),
    ]
    lines = [ConsoleLine(ms(1513), "Success", (0, 0)),
             ConsoleLine(ms(1519), "Current Firmware Version is x", (0, 0)),
             ConsoleLine(ms(3123), "Update Wizard started succefully", (1_000_000, 0)),
             ConsoleLine(ms(4124), "Update successful !", (1_010_000, 0)),
             ConsoleLine(ms(4373), "Press any key to exit the update program", (9_000_000, 0))]
    return UpdateRun(start_us=T0, lines=lines, events=events, exit_status=1, tool_spans=[(ms(3124), ms(3424), 0)],
                     key_wait=(ms(4373), (9_000_000, 0), ms(6373), (9_200_000, 0)), rusage_cpu_s=0.02)


class BusyTimeTest(unittest.TestCase):

    def test_overlapping_bursts_count_once_and_separate_ones_add_up(self):
        bursts = [{"start_us": 0, "end_us": 100}, {"start_us": 50, "end_us": 120}, {"start_us": 200, "end_us": 210}]
        self.assertEqual(analyse.busy_us(bursts), 130)
        self.assertEqual(analyse.busy_us([]), 0)


class UpdateFiguresTest(unittest.TestCase):

    def setUp(self):
        self.run = made_up_run()
        self.figures = analyse.update_figures(self.run)

    def test_the_floor_counts_only_bytes_the_updater_waits_for(self):
        counted = sorted((b["start_us"] - T0) / 1000 for b in self.figures.counted)
        self.assertEqual(counted, [1510, 1511.5, 1513, 1514, 1519, 2021, 2022, 2100, 2100.5, 2115, 2120,
                                   4129, 4150, 4161, 4170])
        # Command port 1 + 1 + 0.5 + 4 + 0.5, pre-update 1 + 1 + 1.5 (2100..2101.5) + 2 + 1,
        # post-update 1 + 1 + 2 + 1 ms on the line.
        self.assertAlmostEqual(self.figures.wire_ms, 18.5)
        self.assertAlmostEqual(self.figures.floor_ms, analyse.FIXED_PAUSES_MS + 18.5)

    def test_the_time_above_the_floor_is_accounted_for_in_full(self):
        self.assertAlmostEqual(self.figures.wall_ms, 4373)
        self.assertAlmostEqual(sum(self.figures.excess.values()), self.figures.excess_ms, places=3)
        # Until the chip's own SYNC: 2020..2100 less the 2 ms on the line, and 4128..4150 less 1 ms.
        self.assertAlmostEqual(self.figures.excess[analyse.EXCESS_SYNC_WAIT], 78 + 21)

    def test_processor_time_figures(self):
        self.assertAlmostEqual(self.figures.cpu_ms, 9.0)
        self.assertAlmostEqual(self.figures.key_wait_cpu_percent, 0.01)
        self.assertAlmostEqual(self.figures.tool_poll_cpu_percent, 100 * 0.01 / 1001, places=6)
        self.assertAlmostEqual(self.figures.tool_span_ms, 300)

    def test_a_tool_that_outlasts_the_first_poll_is_not_counted(self):
        self.run.lines[3] = ConsoleLine(ms(6124), "Update successful !", (1_010_000, 0))
        self.run.lines[4] = ConsoleLine(ms(6373), "Press any key to exit the update program", (9_000_000, 0))
        figures = analyse.update_figures(self.run)
        self.assertAlmostEqual(figures.wall_ms, 6373)
        self.assertAlmostEqual(figures.wall_without_tool_ms, 4373)


class ProbeFiguresTest(unittest.TestCase):
    """A probe is the command-port part of the update: its events up to the
    hand-over pause, ending when the port is closed."""

    def test_the_floor_is_the_three_pauses_and_the_command_port_bytes(self):
        events = [event for event in made_up_run().events
                  if (event["start_us"] if event["ev"] == "wire" else analyse.event_us(event)) < ms(2020)]
        run = ProbeRun(start_us=T0, end_us=ms(2030), exit_status=0, output="", events=events)
        figures = analyse.probe_figures(run)
        self.assertAlmostEqual(figures.wire_ms, 1 + 1 + 0.5 + 4 + 0.5)
        self.assertEqual(figures.wire_bytes, 15 + 15 + 4 + 45 + 4)
        self.assertAlmostEqual(figures.floor_ms, 1300 + 200 + 500 + 7)
        self.assertAlmostEqual(figures.ratio, 2030 / 2007)


class BackupFiguresTest(unittest.TestCase):

    def test_a_backup_is_set_against_the_bursts_inside_it(self):
        def call(op, start_ms, end_ms, reads=0):
            return {"op": op, "cycle": 1, "i": 0, "start_us": ms(start_ms), "end_us": ms(end_ms), "cpu_ns": 0,
                    "ok": 1, "reads": reads}
        calls = [call("open", 0, 2), call("backup", 10, 40, 21), call("backup", 50, 70, 21)]
        events = [wire("to_device", 1, 2, 8),
                  wire("to_device", 10, 12, 18), wire("to_host", 13, 16, 30),   # 5 ms in the first backup
                  wire("to_device", 20, 21, 18), wire("to_host", 20.5, 30, 30),  # overlapping: 10 ms
                  wire("to_device", 39, 45, 18),                                # cut at the call's end: 1 ms
                  wire("to_device", 50, 60, 18)]                                # 10 ms in the second
        runs_ = [BcspRun(calls=calls, events=events, cpu_s=0)]
        figures = analyse.bcsp_figures(runs_)
        self.assertEqual(figures.backup_ms, [30, 20])
        self.assertEqual(figures.backup_wire_ms, [16, 10])
        self.assertEqual(figures.backup_reads, [21, 21])
        self.assertAlmostEqual(figures.backup_ratio, (30 / 16 + 20 / 10) / 2)


class FleetFiguresTest(unittest.TestCase):

    def test_the_parent_is_judged_by_its_own_time_and_each_run_by_its_own_wall(self):
        def run(wall_ms, own_ms, all_ms):
            return TimedRun(wall_us=int(wall_ms * 1000), exit_status=0, own_cpu_ns=int(own_ms * 1e6),
                            own_cpu_tick_ns=0, all_cpu_s=all_ms / 1000, output="")
        ones = [run(4500, 15, 15), run(4600, 16, 16), run(9000, 15, 15)]
        manys = [run(4600, 23, 83), run(4700, 47, 100), run(4650, 23, 90)]
        figures = analyse.fleet_figures(ones, manys, 4)
        self.assertEqual((figures.one_ms, figures.many_ms), (4600, 4650))
        self.assertAlmostEqual(figures.ratio, 4650 / 4600)
        self.assertAlmostEqual(figures.parent_cpu_ms, 23)
        # The median of each run's share, not the median time over the median wall.
        self.assertAlmostEqual(figures.parent_cpu_percent, 100 * 23 / 4600)
        self.assertAlmostEqual(figures.children_cpu_ms, 60)


if __name__ == "__main__":
    unittest.main()
