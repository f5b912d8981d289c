"""From a run's records to the figures: the floor of a whole update, where the
time above it goes, round trips against their wire time, processor time.

The floor of a whole update is what any implementation of this behaviour needs
with this device: the fixed pauses, plus the time on the line of every byte
the updater has to wait for. Bytes that cross the line while a fixed pause is
running (the Plug-and-Play reply arrives during the last modem-line pause), or
while nobody listens (the chip's link messages during the hand-over pause, the
download and the pauses after a reset), cost no time and are left out, so the
floor stays a true lower bound.
"""

import statistics
from dataclasses import dataclass, field

# The behaviour's fixed pauses, in the order a run meets them (milliseconds).
PAUSE_MODEM_LINES_MS = 1300      # the modem-line wake-up sequence
PAUSE_AFTER_SWITCH_MS = 200      # after the switch to 115200 baud
PAUSE_HANDOVER_MS = 500          # after the last adapter command
PAUSE_AFTER_DEFRAG_MS = 1000     # after the store defragmenting reset
PAUSE_FIRST_TOOL_POLL_MS = 1000  # the first one-second exit-code poll
PAUSE_AFTER_COLD_RESET_MS = 200  # after the cold reset
FIXED_PAUSES_MS = (PAUSE_MODEM_LINES_MS + PAUSE_AFTER_SWITCH_MS + PAUSE_HANDOVER_MS + PAUSE_AFTER_DEFRAG_MS
                   + PAUSE_FIRST_TOOL_POLL_MS + PAUSE_AFTER_COLD_RESET_MS)
TOOL_POLL_INTERVAL_MS = 1000


def median(values):
    return statistics.median(values) if values else float("nan")


def event_us(event):
    """An event's time in microseconds (the models log whole milliseconds)."""
    if "t_ms" in event:
        return event["t_ms"] * 1000
    return event["t"] * 1000


def wire_bursts(events, direction=None):
    return [e for e in events if e.get("ev") == "wire" and (direction is None or e["dir"] == direction)]


def burst_us(burst):
    return burst["end_us"] - burst["start_us"]


def busy_us(bursts):
    """Time the line is busy in either direction: overlapping bursts (both ends
    sending at once, as during link establishment) count once."""
    total = 0
    reached = 0
    for burst in sorted(bursts, key=lambda b: b["start_us"]):
        start = max(burst["start_us"], reached)
        if burst["end_us"] > start:
            total += burst["end_us"] - start
        reached = max(reached, burst["end_us"])
    return total


def first_after(bursts, t_us):
    for burst in bursts:
        if burst["start_us"] >= t_us:
            return burst
    return None


def adapter_events(events, name):
    return [e for e in events if e.get("src") == "adapter" and e["ev"] == name]


def chip_events(events, name):
    return [e for e in events if "src" not in e and e["ev"] == name]


@dataclass
class Window:
    name: str
    start_us: int
    end_us: int

    def holds(self, t_us):
        return self.start_us <= t_us < self.end_us


@dataclass
class Session:
    """One BCSP port session of a whole update."""
    open_us: int          # the open's purge
    established_us: int   # the chip took the host's CONF_RESP
    reset_ack_end_us: int  # the chip's acknowledgement of the closing reset has arrived
    reset: str
    sync_start_us: int    # the chip's own first SYNC after the open starts on the line


@dataclass
class UpdateFigures:
    wall_ms: float                 # process start to the closing prompt
    wall_without_tool_ms: float
    tool_span_ms: float
    floor_ms: float
    wire_ms: float
    wire_bytes: int
    cpu_ms: float                  # the updater itself until the closing prompt (schedstat)
    cpu_with_tool_ms: float        # wait4: the updater and the reaped tool, whole process life
    key_wait_cpu_percent: float
    tool_poll_cpu_percent: float
    tool_poll_ms: float
    pauses: list = field(default_factory=list)
    sessions: list = field(default_factory=list)
    counted: list = field(default_factory=list)  # the wire bursts in the floor
    excess: dict = field(default_factory=dict)   # EXCESS_* category: milliseconds

    @property
    def ratio(self):
        return self.wall_without_tool_ms / self.floor_ms

    @property
    def excess_ms(self):
        return self.wall_without_tool_ms - self.floor_ms

    @property
    def cpu_percent(self):
        return 100.0 * self.cpu_ms / self.wall_ms


def _sessions(events, host_bursts, device_bursts):
    """The BCSP sessions, each from its open to the acknowledgement of its reset."""
    purges = [event_us(e) for e in adapter_events(events, "purge")]
    resets = chip_events(events, "reset_request")
    established = [event_us(e) for e in chip_events(events, "link_established")]
    chip_syncs = [event_us(e) for e in chip_events(events, "tx") if e.get("msg") == "SYNC"]
    sessions = []
    for index, reset in enumerate(resets):
        link_us = established[index]
        # The open's purge is the last purge before the link came up.
        open_us = max(t for t in purges if t <= link_us)
        ack = first_after(device_bursts, event_us(reset))
        # The chip's first SYNC of its own after the open: until it starts,
        # link establishment cannot complete whatever the host does.
        sync_us = next(t for t in chip_syncs if t >= open_us)
        sync_burst = first_after(device_bursts, sync_us)
        sessions.append(Session(open_us, link_us, ack["end_us"], reset["reason"], sync_burst["start_us"]))
    return sessions


def update_figures(run):
    events = run.events
    host_bursts = wire_bursts(events, "to_device")
    device_bursts = wire_bursts(events, "to_host")
    sessions = _sessions(events, host_bursts, device_bursts)

    modem = adapter_events(events, "modem")
    fast_line = next(e for e in adapter_events(events, "line") if e["baud"] == 115200)
    handover = next(e for e in adapter_events(events, "command") if e["name"] == "identified")
    started = run.line("Update Wizard started succefully")
    report = run.line(("Update successful !", "Update Wizard terminated with error:", "GetExitCode failed !!"))
    prompt = run.line("Press any key to exit the update program")

    purges = [event_us(e) for e in adapter_events(events, "purge")]

    def pause(name, start_us, length_ms, ended_by=()):
        """A pause from start_us, at most length_ms; the models' events carry
        whole milliseconds, so the host's next step (ended_by) may show its end sooner."""
        end_us = start_us + length_ms * 1000
        following = [t for t in ended_by if t > start_us]
        return Window(name, start_us, min([end_us] + following[:1]))

    first_handshake = first_after(host_bursts, event_us(fast_line))
    pauses = [
        pause("modem lines", event_us(modem[0]), PAUSE_MODEM_LINES_MS, [event_us(fast_line)]),
        pause("after 115200", event_us(fast_line), PAUSE_AFTER_SWITCH_MS, [first_handshake["start_us"]]),
        pause("hand-over", event_us(handover), PAUSE_HANDOVER_MS, purges),
    ]
    for session in sessions:
        length = PAUSE_AFTER_DEFRAG_MS if session.reset == "ps_defrag_reset" else PAUSE_AFTER_COLD_RESET_MS
        pauses.append(pause("after " + session.reset.replace("_", " "), session.reset_ack_end_us, length, purges))
    pauses.insert(4, pause("first tool poll", started.t_us, PAUSE_FIRST_TOOL_POLL_MS))

    # The updater listens on the command port until the hand-over, and on the
    # BCSP port from each open to the acknowledgement of its reset.
    listening = [Window("command port", event_us(modem[0]), event_us(handover) + 1000)]
    listening += [Window("bcsp", s.open_us, s.reset_ack_end_us + 1) for s in sessions]
    counted = [b for b in host_bursts + device_bursts
               if any(w.holds(b["start_us"]) for w in listening) and not any(p.holds(b["start_us"]) for p in pauses)]
    wire_us = busy_us(counted)

    wall_ms = (prompt.t_us - run.start_us) / 1000
    tool_poll_ms = (report.t_us - started.t_us) / 1000
    # A tool that outlasts the first poll adds whole polls; they are its time, not the updater's.
    extra_polls = max(0, round((tool_poll_ms - TOOL_POLL_INTERVAL_MS) / TOOL_POLL_INTERVAL_MS))
    wall_without_tool_ms = wall_ms - extra_polls * TOOL_POLL_INTERVAL_MS
    tool_span_ms = sum(end - start for start, end, _ in run.tool_spans) / 1000

    t0, cpu0, t1, cpu1 = run.key_wait
    key_wait_percent = 100.0 * (cpu1[0] - cpu0[0]) / 1000 / (t1 - t0)
    tool_poll_percent = 100.0 * (report.cpu[0] - started.cpu[0]) / 1000 / (report.t_us - started.t_us)
    floor_ms = FIXED_PAUSES_MS + wire_us / 1000
    figures = UpdateFigures(
        wall_ms=wall_ms, wall_without_tool_ms=wall_without_tool_ms, tool_span_ms=tool_span_ms,
        floor_ms=floor_ms, wire_ms=wire_us / 1000,
        wire_bytes=sum(b["chars"] for b in counted),
        cpu_ms=prompt.cpu[0] / 1e6, cpu_with_tool_ms=run.rusage_cpu_s * 1000,
        key_wait_cpu_percent=key_wait_percent, tool_poll_cpu_percent=tool_poll_percent,
        tool_poll_ms=tool_poll_ms, pauses=pauses, sessions=sessions, counted=counted)
    figures.excess = excess_breakdown(run, figures)
    return figures


@dataclass
class ProbeFigures:
    wall_ms: float   # process start to its end
    floor_ms: float  # the wake-up's and the hand-over's fixed pauses plus the bytes waited for
    wire_ms: float
    wire_bytes: int

    @property
    def ratio(self):
        return self.wall_ms / self.floor_ms


# The fixed pauses of a probe: the wake-up's modem lines, the settling after
# the switch to 115200 baud, and the pause after the hand-over command.
PROBE_FIXED_PAUSES_MS = PAUSE_MODEM_LINES_MS + PAUSE_AFTER_SWITCH_MS + PAUSE_HANDOVER_MS


def probe_figures(run):
    """The floor of a probe as of a whole update's command-port part: its
    fixed pauses, and the bytes on the line outside them while it listens."""
    events = run.events
    modem = adapter_events(events, "modem")
    fast_line = next(e for e in adapter_events(events, "line") if e["baud"] == 115200)
    handover = next(e for e in adapter_events(events, "command") if e["name"] == "identified")
    host_bursts = wire_bursts(events, "to_device")
    first_handshake = first_after(host_bursts, event_us(fast_line))
    pauses = [
        Window("modem lines", event_us(modem[0]), min(event_us(modem[0]) + PAUSE_MODEM_LINES_MS * 1000,
                                                      event_us(fast_line))),
        Window("after 115200", event_us(fast_line), min(event_us(fast_line) + PAUSE_AFTER_SWITCH_MS * 1000,
                                                        first_handshake["start_us"])),
        Window("hand-over", event_us(handover), event_us(handover) + PAUSE_HANDOVER_MS * 1000),
    ]
    listening = Window("command port", event_us(modem[0]), event_us(handover) + 1000)
    counted = [b for b in wire_bursts(events) if listening.holds(b["start_us"])
               and not any(p.holds(b["start_us"]) for p in pauses)]
    wire_us = busy_us(counted)
    return ProbeFigures(wall_ms=(run.end_us - run.start_us) / 1000,
                        floor_ms=PROBE_FIXED_PAUSES_MS + wire_us / 1000, wire_ms=wire_us / 1000,
                        wire_bytes=sum(b["chars"] for b in counted))


# Where the time above the floor goes: each stretch of a run in which no fixed
# pause runs and no counted byte is on the line, by what it waited for.
EXCESS_SYNC_WAIT = "waiting for the chip's own SYNC (it repeats it every 250 ms)"
EXCESS_QUIET = "the engine's quiet periods (25 polls at 1 ms) with nothing received"
EXCESS_HOST_REACTION = "the updater answering a frame it received"
EXCESS_CHIP_REACTION = "the simulated chip answering (its store write)"
EXCESS_OTHER = "process start, port set-up, starting the tool, console"
# A stretch this long inside a BCSP session is a whole quiet period of the engine.
QUIET_PERIOD_MIN_US = 20_000


def excess_breakdown(run, figures):
    """Milliseconds per EXCESS_* category; they add up to the time above the floor."""
    items = [(p.start_us, p.end_us, "pause") for p in figures.pauses]
    items += [(b["start_us"], b["end_us"], b["dir"]) for b in figures.counted]
    items.sort()
    prompt = run.line("Press any key to exit the update program")
    sync_windows = [Window("sync", s.open_us, s.sync_start_us) for s in figures.sessions]
    sessions = [Window("bcsp", s.open_us, s.reset_ack_end_us) for s in figures.sessions]
    totals = dict.fromkeys((EXCESS_SYNC_WAIT, EXCESS_QUIET, EXCESS_HOST_REACTION, EXCESS_CHIP_REACTION,
                            EXCESS_OTHER), 0.0)
    reached, before = run.start_us, "start"
    for start, end, kind in items + [(prompt.t_us, prompt.t_us, "end")]:
        gap = start - reached
        if gap > 0:
            in_session = any(w.holds(reached) for w in sessions)
            sync_overlap = sum(max(0, min(start, w.end_us) - max(reached, w.start_us)) for w in sync_windows)
            totals[EXCESS_SYNC_WAIT] += sync_overlap / 1000
            rest = gap - sync_overlap
            if in_session and rest >= QUIET_PERIOD_MIN_US:
                category = EXCESS_QUIET
            elif in_session and before == "to_host" and kind == "to_device":
                category = EXCESS_HOST_REACTION
            elif in_session and before == "to_device" and kind == "to_host":
                category = EXCESS_CHIP_REACTION
            else:
                category = EXCESS_OTHER
            totals[category] += rest / 1000
        if end > reached:
            reached, before = end, kind
    # The stretches cover the run without the pauses and the counted bytes;
    # the floor counts the pauses at their nominal length, so what a sleep
    # overshoots shows up here too (under "other" for the fixed pauses).
    return totals


@dataclass
class BcspFigures:
    round_trip_ms: list      # each ps_write after the first of its session
    round_trip_wire_ms: list
    bytes_per_round_trip: list
    chip_reaction_ms: list   # the simulated chip: request's last byte to answer's first
    round_trip_cpu_us: list = field(default_factory=list)  # bcsp_bench's processor time per round trip
    # Link establishment and the first ps_write after it, on a chip that has
    # just started (it sends its own SYNC only every 250 ms) and again on a
    # chip still linked from the session before (it answers at once).
    open_fresh_ms: list = field(default_factory=list)
    open_fresh_wire_ms: list = field(default_factory=list)
    open_fresh_sync_wait_ms: list = field(default_factory=list)
    open_again_ms: list = field(default_factory=list)
    open_again_wire_ms: list = field(default_factory=list)
    first_write_fresh_ms: list = field(default_factory=list)
    first_write_again_ms: list = field(default_factory=list)
    # Store backups of every key the update writes, on a linked chip: their
    # time, the line's busy time for their requests and answers, the reads.
    backup_ms: list = field(default_factory=list)
    backup_wire_ms: list = field(default_factory=list)
    backup_reads: list = field(default_factory=list)

    @property
    def ratio(self):
        return median(self.round_trip_ms) / median(self.round_trip_wire_ms)

    @property
    def backup_ratio(self):
        return median([t / w for t, w in zip(self.backup_ms, self.backup_wire_ms)])


def _in_call(bursts, call):
    """The bursts that started during the call, cut at its end: what a call
    needs on the line ends when it returns (the engine may still be sending
    its last link message then)."""
    return [dict(b, end_us=min(b["end_us"], call["end_us"])) for b in bursts
            if call["start_us"] <= b["start_us"] < call["end_us"]]


def bcsp_figures(runs):
    figures = BcspFigures([], [], [], [])
    for run in runs:
        host_bursts = wire_bursts(run.events, "to_device")
        device_bursts = wire_bursts(run.events, "to_host")
        chip_syncs = [event_us(e) for e in chip_events(run.events, "tx") if e.get("msg") == "SYNC"]
        previous = None
        for call in run.calls:
            duration_ms = (call["end_us"] - call["start_us"]) / 1000
            moved = _in_call(host_bursts, call) + _in_call(device_bursts, call)
            wire_ms = busy_us(moved) / 1000
            fresh = call["cycle"] == 0
            if call["op"] == "open" and fresh:
                figures.open_fresh_ms.append(duration_ms)
                figures.open_fresh_wire_ms.append(wire_ms)
                # Until the chip's own SYNC starts, nothing the host does can complete the link.
                sync_us = next(t for t in chip_syncs if t >= call["start_us"] - 1000)
                sync_burst = first_after(device_bursts, sync_us)
                busy = busy_us([b for b in moved if b["end_us"] <= sync_burst["start_us"]])
                figures.open_fresh_sync_wait_ms.append(max(0, sync_burst["start_us"] - call["start_us"] - busy) / 1000)
            elif call["op"] == "open":
                figures.open_again_ms.append(duration_ms)
                figures.open_again_wire_ms.append(wire_ms)
            elif call["op"] == "backup":
                figures.backup_ms.append(duration_ms)
                figures.backup_wire_ms.append(wire_ms)
                figures.backup_reads.append(call["reads"])
            elif call["op"] == "ps_write" and previous is not None and previous["op"] == "open":
                (figures.first_write_fresh_ms if fresh else figures.first_write_again_ms).append(duration_ms)
            elif call["op"] == "ps_write":
                figures.round_trip_ms.append(duration_ms)
                figures.round_trip_wire_ms.append(wire_ms)
                figures.bytes_per_round_trip.append(sum(b["chars"] for b in moved))
                figures.round_trip_cpu_us.append(call["cpu_ns"] / 1000)
                requests = _in_call(host_bursts, call)
                answers = _in_call(device_bursts, call)
                if requests and answers:
                    figures.chip_reaction_ms.append((answers[0]["start_us"] - requests[-1]["end_us"]) / 1000)
            previous = call
    return figures


@dataclass
class FleetFigures:
    """Several adapters at once against one alone, each from the runs' walls
    (process start to exit) and the parent's own processor time."""
    count: int
    one_ms: float           # median wall of the command on one adapter
    many_ms: float          # median wall of the command on count adapters at once
    parent_cpu_ms: float    # median processor time of the parent itself, its children left out
    parent_cpu_percent: float  # median of each run's parent processor time over its wall
    children_cpu_ms: float  # median processor time of all the processes the parent reaped
    ones_ms: list = field(default_factory=list)
    manys_ms: list = field(default_factory=list)

    @property
    def ratio(self):
        return self.many_ms / self.one_ms


def fleet_figures(ones, manys, count):
    """ones, manys: runs.TimedRun of the command on one adapter and on count."""
    return FleetFigures(
        count=count,
        one_ms=median([run.wall_us / 1000 for run in ones]),
        many_ms=median([run.wall_us / 1000 for run in manys]),
        parent_cpu_ms=median([run.own_cpu_ns / 1e6 for run in manys]),
        parent_cpu_percent=median([100.0 * run.own_cpu_ns / 1000 / run.wall_us for run in manys]),
        children_cpu_ms=median([run.all_cpu_s * 1000 - run.own_cpu_ns / 1e6 for run in manys]),
        ones_ms=[run.wall_us / 1000 for run in ones],
        manys_ms=[run.wall_us / 1000 for run in manys])
