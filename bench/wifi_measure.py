"""What a program sees when its phone vanishes, measured through a real network: how long
wait_disconnected() takes to answer "disconnected" after the link went down, and how long a
callback() loop to the vanished phone stalls another thread of the program, at a short setting
and at the default. Each run has a network namespace of its own (root and iproute2 needed);
runs of one setting go side by side.

    .venv/bin/python bench/wifi_measure.py [--runs 3] [--timeouts 5 15]
"""

import argparse
import statistics
import sys
import time
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests" / "python"))

from network_namespace import LONG, STEP, Namespace  # noqa: E402

HEARTBEAT = """
beats = []
def heartbeat():
    for _ in range(20000):
        beats.append(time.monotonic())
        time.sleep(0.01)
threading.Thread(target=heartbeat, daemon=True).start()

def answer_until_it_fails():
    started = time.monotonic()
    for _ in range(1000000):
        try:
            server.callback(1, S.Busy, E("reading " * 10000))
        except RuntimeError as error:
            ended = time.monotonic()
            during = [b for b in beats if started <= b <= ended + 0.1]
            gaps = [later - earlier for earlier, later in zip(during, during[1:])]
            return str(error), ended - started, max(gaps, default=ended - started)
        time.sleep(0.01)
"""


def opened(ns, timeout, setup=""):
    server = ns.server(f"server.liveness_timeout = {timeout}\n" + setup)
    server.start("server.open()")
    ns.phone()
    assert server.result(timeout=STEP) == "None"
    assert server.call("server.serve()") == "None"
    return server


def detection(timeout):
    """Seconds from the link going down to wait_disconnected() answering."""
    with Namespace() as ns:
        server = opened(ns, timeout)
        time.sleep(1)
        started = time.monotonic()
        ns.link(False)
        answer = server.call("server.wait_disconnected(timeout=60)", timeout=LONG + 30)
        assert answer == "'disconnected'", answer
        return time.monotonic() - started


def callback_stall(timeout):
    """(text of the RuntimeError, seconds until callback() raised it, longest heartbeat gap)."""
    with Namespace() as ns:
        server = opened(ns, timeout, HEARTBEAT)
        time.sleep(1)
        ns.link(False)
        return eval(server.call("answer_until_it_fails()", timeout=LONG + 30))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--timeouts", type=float, nargs="+", default=[5, 15])
    options = parser.parse_args()
    print("| liveness_timeout | wait_disconnected() after the link went down (s) "
          "| callback() raised after (s) | longest stall of another thread (s) | callback() text |")
    print("|---|---|---|---|---|")
    for timeout in options.timeouts:
        with ThreadPoolExecutor(options.runs * 2) as pool:
            detections = [pool.submit(detection, timeout) for _ in range(options.runs)]
            stalls = [pool.submit(callback_stall, timeout) for _ in range(options.runs)]
            found = sorted(f.result() for f in detections)
            stalled = [f.result() for f in stalls]
        texts = sorted({text for text, _, _ in stalled})
        raised = sorted(after for _, after, _ in stalled)
        gaps = sorted(gap for _, _, gap in stalled)

        def spread(values):
            return (f"median {statistics.median(values):.2f}, "
                    f"{min(values):.2f} to {max(values):.2f}")

        print(f"| {timeout:g} | {spread(found)} | {spread(raised)} | {spread(gaps)} "
              f"| {', '.join(texts)} |")


if __name__ == "__main__":
    main()
