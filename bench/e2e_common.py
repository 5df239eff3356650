"""What both benchmark servers share: arguments, report pipe, counting action, process figures."""

import argparse
import json
import os
import time


def parse_arguments():
    parser = argparse.ArgumentParser()
    parser.add_argument("--port", type=int, required=True)
    parser.add_argument("--report-fd", type=int, required=True, help="pipe to the driver")
    parser.add_argument("--frames", type=int, default=0, help="frames to wait for (0: none)")
    parser.add_argument("--idle", type=float, default=0.0, help="idle seconds measured first")
    parser.add_argument("--mark", type=int, default=0, help="also report RSS at this count")
    parser.add_argument("--stamp", action="store_true", help="report when each action starts")
    parser.add_argument("--stamps", action="store_true",
                        help="keep when each action starts, reported with 'done'")
    parser.add_argument("--busy", action="store_true",
                        help="keep a Python thread of the program busy the whole time")
    parser.add_argument("--read-interval", type=float, help="ours: read_interval")
    parser.add_argument("--quiet", action="store_true", help="ours: console_lines off")
    return parser.parse_args()


class Reporter:
    """JSON lines to the driver on a pipe of their own: fd 1 belongs to the server's console."""

    def __init__(self, fd):
        self.fd = fd

    def send(self, **fields):
        os.write(self.fd, (json.dumps(fields) + "\n").encode())


def rss_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def wakeups():
    """Context switches of every thread of this process so far: how often it woke up."""
    total = 0
    for task in os.listdir("/proc/self/task"):
        try:
            with open(f"/proc/self/task/{task}/status") as status:
                total += sum(int(line.split()[1]) for line in status if "ctxt_switches" in line)
        except FileNotFoundError:  # a thread that ended meanwhile
            pass
    return total


def make_action(arguments, reporter, finished, stamps=None):
    """The action every frame reaches: count, optionally stamp, and call `finished` at the last one.

    Every server registers exactly this, so the difference between them is the serving path only.
    With `stamps` (a list), the start of each action is appended to it instead of reported.
    """
    count = 0
    target = arguments.frames
    mark = arguments.mark or -1
    stamp = arguments.stamp
    clock = time.clock_gettime_ns
    monotonic = time.CLOCK_MONOTONIC

    def action(widget):
        nonlocal count
        if stamp:
            reporter.send(started=clock(monotonic))
        count += 1
        if count == mark:
            reporter.send(mark=count, rss=rss_bytes())
        if count == target:
            finished()

    if stamps is None:
        return action
    keep = stamps.append

    # A closure of its own, so that the runs without stamps keep the action they always had.
    def stamping_action(widget):
        keep(clock(monotonic))
        action(widget)

    return stamping_action


def busy_python(until):
    """Python code that keeps its thread busy until `until()` is true, as a program's own work."""
    total = 0
    while not until():
        for value in range(200):
            total += value * value
    return total


def start_window():
    """Starts a measured window; the returned function gives its CPU, wall time and wake-ups."""
    # Reading /proc costs CPU itself: it stays outside the measured window at both ends.
    switches = wakeups()
    cpu, wall = time.process_time(), time.monotonic()

    def figures():
        spent = {"cpu": time.process_time() - cpu, "wall": time.monotonic() - wall}
        return dict(spent, wakeups=wakeups() - switches)

    return figures
