"""What a program sees when its phone vanishes, measured through a real network: how long
wait_disconnected() takes to answer "disconnected" after the link went down, and how long a
callback() loop to the vanished phone stalls another thread of the program, at a short setting
and at the default. Each run has a network namespace of its own (root and iproute2 needed);
runs of one setting go side by side.

    .venv/bin/python bench/wifi_measure.py [--runs 3] [--timeouts 5 15] [--answer-cost]

--answer-cost measures instead what the liveness timeout costs a phone that is there: the CPU
time of one callback() to a reading client, with the default timeout and with None (the write
path of before), alternated in one run (loopback, no namespace needed).
"""

import argparse
import statistics
import sys
import time
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests" / "python"))

from network_namespace import ANSWERING_WITH_HEARTBEAT, LONG, Namespace  # noqa: E402

def detection(timeout):
    """Seconds from the link going down to wait_disconnected() answering."""
    with Namespace() as ns:
        server, _ = ns.serving(f"server.liveness_timeout = {timeout}\n")
        time.sleep(1)
        started = time.monotonic()
        ns.link(False)
        answer = server.call("server.wait_disconnected(timeout=60)", timeout=LONG + 30)
        assert answer == "'disconnected'", answer
        return time.monotonic() - started


def callback_stall(timeout):
    """(text of the RuntimeError, seconds until callback() raised it, longest heartbeat gap)."""
    with Namespace() as ns:
        server, _ = ns.serving(f"server.liveness_timeout = {timeout}\n" + ANSWERING_WITH_HEARTBEAT)
        time.sleep(1)
        ns.link(False)
        return eval(server.call("answer_until_it_fails()", timeout=LONG + 30))


ANSWER_COST = """
import socket, subprocess, sys, time
import velto_protocol as vp

READER = (
    "import socket, sys, time\\n"
    "for _ in range(1000):\\n"
    "    try:\\n"
    "        s = socket.create_connection(('127.0.0.1', int(sys.argv[1])))\\n"
    "        break\\n"
    "    except OSError:\\n"
    "        time.sleep(0.01)\\n"
    "while s.recv(1 << 16): pass\\n"
)
probe = socket.socket(); probe.bind(("127.0.0.1", 0)); port = probe.getsockname()[1]; probe.close()
server = vp.ComSocketServer(f"127.0.0.1:{port}")
reader = subprocess.Popen([sys.executable, "-c", READER, str(port)])
server.open()
status, answer = vp.ServerStatus.Idle, vp.ConfirmResult(True)
results = {15: [], None: []}
for _ in range(int(sys.argv[2])):
    for setting in (15, None):
        server.liveness_timeout = setting
        started = time.process_time()
        for _ in range(20000):
            server.callback(1, status, answer)
        results[setting].append((time.process_time() - started) / 20000 * 1e6)
server.close()
reader.wait(10)
print(repr(results))
"""


def answer_cost(rounds):
    import statistics
    import subprocess

    out = subprocess.run([sys.executable, "-c", ANSWER_COST, "", str(rounds)], capture_output=True,
                         text=True, timeout=600, check=True).stdout
    results = eval(out.strip().splitlines()[-1])
    for setting, values in results.items():
        print(f"liveness_timeout={setting}: CPU per callback() median "
              f"{statistics.median(values):.2f} us ({min(values):.2f} to {max(values):.2f}, "
              f"{len(values)} rounds of 20000)")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--timeouts", type=float, nargs="+", default=[5, 15])
    parser.add_argument("--answer-cost", action="store_true")
    options = parser.parse_args()
    if options.answer_cost:
        answer_cost(options.runs * 3)
        return
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
