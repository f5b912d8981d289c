"""One time-ordered view of a kept run (build/e2e-failures/<test id>/run-N):
the simulator's log, the fixture's line log, the program's own reads and
writes on its port (data.log) and its console lines, all on CLOCK_MONOTONIC
milliseconds.

    python3 tests/e2e/timeline.py build/e2e-failures/<test id>/run-1
"""

import os
import re
import sys


def entries(folder):
    def lines_of(name):
        path = os.path.join(folder, name)
        return open(path, errors="replace").read().splitlines() if os.path.exists(path) else []

    for line in lines_of("sim.log"):
        match = re.match(r"\[\s*(\d+) ms\] (.*)", line)
        if match:
            yield int(match.group(1)), "sim   ", match.group(2)
    for name, source in (("lines.log", "port  "), ("data.log", "host  ")):
        for line in lines_of(name):
            parts = line.split(None, 1)
            if len(parts) == 2 and parts[0].isdigit():
                yield int(parts[0]), source, parts[1]
    for line in lines_of("transcript.txt"):
        match = re.match(r"(\d+\.\d+) (.*)", line)
        if match:
            yield int(float(match.group(1)) * 1000), "update", match.group(2)


def main(argv):
    if len(argv) != 2:
        print(__doc__.strip(), file=sys.stderr)
        return 2
    for ms, source, text in sorted(entries(argv[1]), key=lambda entry: entry[0]):
        print("%10d %s %s" % (ms, source, text))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
