"""The timeline of one whole update as an SVG picture, drawn from the
simulator's events and the console lines (standard library only).

Three panels, top to bottom: the whole run (its steps, the fixed pauses, the
waits, the bytes on the line each way, the chip's restarts); the pre-update
BCSP session stretched out (link establishment with its waits, the
persistent-store write, the defragmenting reset); one persistent-store write
round trip stretched out further (request, answer, and the gaps between).
"""

from xml.sax.saxutils import escape

from analyse import QUIET_PERIOD_MIN_US, chip_events, event_us, wire_bursts

WIDTH = 1100
LEFT = 160          # room for the row labels
RIGHT = 24
ROW_HEIGHT = 18
ROW_GAP = 5
PANEL_GAP = 50

COLOURS = {
    "phase": "#eeeeee",
    "phase_edge": "#999999",
    "pause": "#c9d7ef",
    "pause_edge": "#5b7bb7",
    "sync": "#f2c6c6",       # waiting for the chip's own SYNC
    "quiet": "#f7e3b5",      # the engine's quiet period with nothing received
    "host": "#d9822b",       # bytes from the updater, waited for
    "device": "#2b8a3e",     # bytes from the adapter or chip, waited for
    "host_idle": "#efc9a3",  # bytes nobody waits for (in a pause, or nobody listening)
    "device_idle": "#a9d6b3",
    "gap": "#e3e3f3",
    "text": "#222222",
    "grid": "#e4e4e4",
    "mark": "#b02a2a",
}

ROWS = ["step", "fixed pauses", "waiting for the chip's SYNC", "engine quiet period", "updater → adapter",
        "adapter → updater", "chip"]
ROW_STEP, ROW_PAUSE, ROW_SYNC, ROW_QUIET, ROW_HOST, ROW_DEVICE, ROW_CHIP = range(len(ROWS))


class Svg:
    def __init__(self):
        self.parts = []

    def rect(self, x, y, w, h, fill, edge=None):
        stroke = ' stroke="%s" stroke-width="0.8"' % edge if edge else ""
        self.parts.append('<rect x="%.2f" y="%.2f" width="%.2f" height="%.2f" fill="%s"%s/>'
                          % (x, y, w, h, fill, stroke))

    def line(self, x0, y0, x1, y1, colour, width=1.0, dash=False):
        dashes = ' stroke-dasharray="4 3"' if dash else ""
        self.parts.append('<line x1="%.2f" y1="%.2f" x2="%.2f" y2="%.2f" stroke="%s" stroke-width="%.1f"%s/>'
                          % (x0, y0, x1, y1, colour, width, dashes))

    def text(self, x, y, text, size=11, weight="normal", colour=None, anchor="start"):
        self.parts.append('<text x="%.2f" y="%.2f" font-size="%d" font-weight="%s" fill="%s" text-anchor="%s">%s</text>'
                          % (x, y, size, weight, colour or COLOURS["text"], anchor, escape(text)))

    def document(self, height):
        head = ('<svg xmlns="http://www.w3.org/2000/svg" width="%d" height="%d" viewBox="0 0 %d %d" '
                'font-family="DejaVu Sans, Verdana, sans-serif">\n<rect width="100%%" height="100%%" fill="white"/>\n'
                % (WIDTH, height, WIDTH, height))
        return head + "\n".join(self.parts) + "\n</svg>\n"


class Panel:
    """One time axis: t0..t1 (microseconds) over the drawing width, with rows."""

    def __init__(self, svg, title, t0_us, t1_us, top, rows, origin_us, unit_us, unit_name):
        self.svg, self.t0, self.t1, self.top, self.rows = svg, t0_us, t1_us, top, rows
        self.origin, self.unit, self.unit_name, self.title = origin_us, unit_us, unit_name, title

    def x(self, t_us):
        clipped = min(max(t_us, self.t0), self.t1)
        return LEFT + (WIDTH - LEFT - RIGHT) * (clipped - self.t0) / (self.t1 - self.t0)

    def row_y(self, row):
        return self.top + 20 + row * (ROW_HEIGHT + ROW_GAP)

    @property
    def bottom(self):
        return self.row_y(len(self.rows)) + 22

    def frame(self):
        self.svg.text(10, self.top + 8, "%s (%s from the start)" % (self.title, self.unit_name), size=13,
                      weight="bold")
        for index, label in enumerate(self.rows):
            y = self.row_y(index)
            self.svg.text(LEFT - 8, y + 13, label, size=11, anchor="end")
            self.svg.line(LEFT, y + ROW_HEIGHT + ROW_GAP / 2, WIDTH - RIGHT, y + ROW_HEIGHT + ROW_GAP / 2,
                          COLOURS["grid"])
        y = self.row_y(len(self.rows))
        self.svg.line(LEFT, y, WIDTH - RIGHT, y, "#888888")
        span = (self.t1 - self.t0) / self.unit
        step = next(s for s in (0.2, 0.5, 1, 2, 5, 10, 20, 50, 100, 200, 500, 1000) if span / s <= 12)
        tick = step * int((self.t0 - self.origin) / self.unit / step)
        while tick <= (self.t1 - self.origin) / self.unit:
            t_us = self.origin + tick * self.unit
            if t_us >= self.t0:
                x = self.x(t_us)
                self.svg.line(x, y, x, y + 4, "#888888")
                self.svg.text(x, y + 15, "%g" % round(tick, 3), size=10, anchor="middle")
            tick += step

    def span(self, row, start_us, end_us, fill, label=None, edge=None, min_width=0.8):
        if end_us < self.t0 or start_us > self.t1:
            return
        x0, x1 = self.x(start_us), self.x(end_us)
        y = self.row_y(row)
        self.svg.rect(x0, y, max(x1 - x0, min_width), ROW_HEIGHT, fill, edge)
        if label and x1 - x0 > 6.2 * len(label):
            self.svg.text(x0 + 3, y + 13, label, size=10)

    def mark(self, row, t_us, label=None):
        if not self.t0 <= t_us <= self.t1:
            return
        x = self.x(t_us)
        y = self.row_y(row)
        self.svg.line(x, y, x, y + ROW_HEIGHT, COLOURS["mark"], width=1.5)
        if label:
            self.svg.text(x + 3, y + 13, label, size=9, colour=COLOURS["mark"])

    def zoom_lines(self, other):
        """Dashed lines from this panel's axis to the panel that shows a part of it."""
        y = self.row_y(len(self.rows)) + 18
        self.svg.line(self.x(other.t0), y, LEFT, other.top - 4, "#aaaaaa", dash=True)
        self.svg.line(self.x(other.t1), y, WIDTH - RIGHT, other.top - 4, "#aaaaaa", dash=True)


def _steps(run, figures):
    """(start, end, label) of the run's steps, from the console lines and the sessions."""
    contact = run.line("Success")
    version = run.line("Current Firmware Version is")
    started = run.line("Update Wizard started succefully")
    report = run.line(("Update successful !", "Update Wizard terminated with error:"))
    prompt = run.line("Press any key to exit the update program")
    pre, post = figures.sessions[0], figures.sessions[1]
    return [
        (run.start_us, contact.t_us, "find the adapter"),
        (contact.t_us, version.t_us, ""),
        (version.t_us, pre.open_us, "hand-over"),
        (pre.open_us, pre.reset_ack_end_us, "prepare"),
        (pre.reset_ack_end_us, started.t_us, "defrag pause"),
        (started.t_us, report.t_us, "download tool"),
        (report.t_us, post.open_us, ""),
        (post.open_us, post.reset_ack_end_us, "restore"),
        (post.reset_ack_end_us, prompt.t_us, "reset"),
    ]


def _quiet_periods(host_bursts, figures):
    """Stretches of a whole quiet period between two frames the updater sent
    in a session, outside the waits for the chip's SYNC."""
    periods = []
    for a, b in zip(host_bursts, host_bursts[1:]):
        if b["start_us"] - a["end_us"] < QUIET_PERIOD_MIN_US:
            continue
        for s in figures.sessions:
            if s.open_us <= a["end_us"] and b["start_us"] <= s.reset_ack_end_us:
                start = max(a["end_us"], s.sync_start_us)
                if b["start_us"] - start >= QUIET_PERIOD_MIN_US:
                    periods.append((start, b["start_us"]))
    return periods


def _draw(panel, run, figures, host_bursts, device_bursts, label_marks):
    counted = {id(b) for b in figures.counted}
    for start, end, label in _steps(run, figures):
        panel.span(ROW_STEP, start, end, COLOURS["phase"], label, COLOURS["phase_edge"])
    for pause in figures.pauses:
        panel.span(ROW_PAUSE, pause.start_us, pause.end_us, COLOURS["pause"], pause.name, COLOURS["pause_edge"])
    for session in figures.sessions:
        panel.span(ROW_SYNC, session.open_us, session.sync_start_us, COLOURS["sync"])
    for start, end in _quiet_periods(host_bursts, figures):
        panel.span(ROW_QUIET, start, end, COLOURS["quiet"], "25 polls")
    for burst in host_bursts:
        panel.span(ROW_HOST, burst["start_us"], burst["end_us"],
                   COLOURS["host"] if id(burst) in counted else COLOURS["host_idle"])
    for burst in device_bursts:
        panel.span(ROW_DEVICE, burst["start_us"], burst["end_us"],
                   COLOURS["device"] if id(burst) in counted else COLOURS["device_idle"])
    for event in chip_events(run.events, "restart"):
        panel.mark(ROW_CHIP, event_us(event), "restart" if label_marks else None)
    for event in chip_events(run.events, "link_established"):
        panel.mark(ROW_CHIP, event_us(event), "linked" if label_marks else None)


# Bursts closer than this are one frame (the simulator reads a request from
# the pty in pieces, and the updater is sometimes a little late with a byte).
FRAME_GAP_US = 500


def _merged(bursts):
    """Bursts of one frame as one: from the first start to the last end, with
    the time actually on the line kept as line_us."""
    merged = []
    for burst in bursts:
        if merged and burst["start_us"] <= merged[-1]["end_us"] + FRAME_GAP_US:
            last = merged[-1]
            merged[-1] = dict(last, end_us=burst["end_us"], chars=last["chars"] + burst["chars"],
                              line_us=last["line_us"] + burst["end_us"] - burst["start_us"])
        else:
            merged.append(dict(burst, line_us=burst["end_us"] - burst["start_us"]))
    return merged


def _typical_round_trip(host_bursts, device_bursts, figures):
    """(request, answer, next request) of the post-update session's ps_write
    round trip in which the updater took the median time to send its next
    request after the answer."""
    post = figures.sessions[1]
    requests = [b for b in _merged(host_bursts) if post.established_us < b["start_us"] < post.reset_ack_end_us
                and b["chars"] >= 20]
    trips = []
    for request, following in zip(requests, requests[1:]):
        answer = next((b for b in _merged(device_bursts) if b["start_us"] >= request["end_us"]), None)
        if answer is not None and answer["end_us"] <= following["start_us"]:
            trips.append((following["start_us"] - answer["end_us"], request, answer, following))
    if not trips:
        return None
    trips.sort(key=lambda trip: trip[0])
    return trips[len(trips) // 2][1:]


def timeline_svg(run, figures, title):
    """The SVG text of one run's timeline."""
    svg = Svg()
    svg.text(10, 22, title, size=15, weight="bold")
    host_bursts = sorted(wire_bursts(run.events, "to_device"), key=lambda b: b["start_us"])
    device_bursts = sorted(wire_bursts(run.events, "to_host"), key=lambda b: b["start_us"])
    prompt = run.line("Press any key to exit the update program")

    whole = Panel(svg, "Whole update", run.start_us, prompt.t_us + 30_000, 46, ROWS, run.start_us, 1_000_000, "s")
    whole.frame()
    _draw(whole, run, figures, host_bursts, device_bursts, label_marks=False)

    pre = figures.sessions[0]
    zoom = Panel(svg, "Pre-update BCSP session", pre.open_us - 4_000, pre.reset_ack_end_us + 12_000,
                 whole.bottom + PANEL_GAP, ROWS, run.start_us, 1000, "ms")
    zoom.frame()
    _draw(zoom, run, figures, host_bursts, device_bursts, label_marks=True)
    whole.zoom_lines(zoom)

    bottom = zoom.bottom
    trip = _typical_round_trip(host_bursts, device_bursts, figures)
    if trip is not None:
        request, answer, following = trip
        rows = ["updater → adapter", "adapter → updater", "nothing on the line"]
        detail = Panel(svg, "One ps_write round trip (post-update session)", request["start_us"] - 400,
                       following["end_us"] + 400, zoom.bottom + PANEL_GAP, rows, run.start_us, 1000, "ms")
        detail.frame()
        for burst in (request, following):
            detail.span(0, burst["start_us"], burst["end_us"], COLOURS["host"],
                        "request, %d bytes" % burst["chars"])
        detail.span(1, answer["start_us"], answer["end_us"], COLOURS["device"], "answer, %d bytes" % answer["chars"])
        detail.span(2, request["end_us"], answer["start_us"], COLOURS["gap"])
        detail.span(2, answer["end_us"], following["start_us"], COLOURS["gap"])
        svg.text(LEFT, detail.bottom + 2,
                 "request %.2f ms and answer %.2f ms on the line; the chip took %.2f ms to answer, the updater %.2f ms "
                 "to send the next request"
                 % (request["line_us"] / 1000, answer["line_us"] / 1000,
                    (answer["start_us"] - request["end_us"]) / 1000, (following["start_us"] - answer["end_us"]) / 1000),
                 size=10)
        bottom = detail.bottom + 12

    legend = [("fixed pause", COLOURS["pause"]), ("waiting for the chip's SYNC", COLOURS["sync"]),
              ("engine quiet period", COLOURS["quiet"]), ("updater's bytes", COLOURS["host"]),
              ("adapter's or chip's bytes", COLOURS["device"]),
              ("bytes nobody waits for (in a pause, port closed)", COLOURS["device_idle"])]
    x = 10
    y = bottom + 16
    for label, colour in legend:
        width = 22 + 6.3 * len(label)
        if x + width > WIDTH:
            x, y = 10, y + 18
        svg.rect(x, y - 10, 12, 12, colour)
        svg.text(x + 16, y, label, size=11)
        x += width + 14
    return svg.document(y + 12)
