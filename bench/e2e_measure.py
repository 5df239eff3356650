"""End-to-end measurements: throughput CPU, idle latency, answer path, idle cost, memory, import."""

import json
import os
import re
import statistics
import subprocess
import sys
import time

from e2e_frames import encode_frames, frame_value
from e2e_run import BENCH_DIR, ServerProcess

import msgpack


def throughput_cpu_per_frame(kind, payload, frames, stdout, idle):
    """CPU seconds of the server process per dispatched frame, from bytes to the last action.

    The server measures its own process CPU clock (all threads); the rate it spent over an idle
    window just before is subtracted, so only the work of serving the frames remains.
    """
    with ServerProcess(kind, frames=frames, idle=idle, stdout=stdout) as server:
        ready = server.expect("ready")["idle"]
        server.connection.sendall(payload)
        done = server.expect("done")["run"]
    idle_rate = ready["cpu"] / ready["wall"] if ready["wall"] > 0 else 0.0
    return max(done["cpu"] - idle_rate * done["wall"], 0.0) / frames


def throughput(frames, repetitions, idle, console_file):
    """Medians over alternating repetitions, stdout to /dev/null and to a regular file."""
    payload = encode_frames(frames)
    results = {}
    for target in ("devnull", "file"):
        samples = {"ours": [], "peer": []}
        for repetition in range(repetitions):
            order = ("ours", "peer") if repetition % 2 == 0 else ("peer", "ours")
            for kind in order:
                with open(os.devnull if target == "devnull" else console_file, "wb") as stdout:
                    samples[kind].append(
                        throughput_cpu_per_frame(kind, payload, frames, stdout, idle))
        results[target] = {kind: statistics.median(values) for kind, values in samples.items()}
        results[target]["samples"] = samples
    return results


def idle_latency(kind, samples, spacing):
    """Seconds from the send of one frame to the start of its action, the server idle before.

    Frames are spaced so that the serving loop is back to waiting for data (its cycle pause
    over) when the next one is sent. Both sides read the same monotonic clock.
    """
    latencies = []
    with ServerProcess(kind, frames=samples, stamp=True) as server:
        server.expect("ready")
        for index in range(samples):
            time.sleep(spacing)
            frame = msgpack.packb(frame_value(index), use_single_float=True)
            sent = time.clock_gettime_ns(time.CLOCK_MONOTONIC)
            server.connection.sendall(frame)
            latencies.append((server.expect("started")["started"] - sent) / 1e9)
        server.expect("done")
    return latencies


def percentile(values, fraction):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(round(fraction * (len(ordered) - 1))))]


def latency(samples, spacing):
    results = {}
    for kind in ("ours", "peer"):
        values = idle_latency(kind, samples, spacing)
        results[kind] = {"p50": percentile(values, 0.5), "p99": percentile(values, 0.99)}
    return results


def answer_path(calls, rounds):
    output = subprocess.run([sys.executable, str(BENCH_DIR / "e2e_answer.py"), str(calls),
                             str(rounds)], capture_output=True, text=True, timeout=600, check=True)
    return json.loads(output.stdout)


def import_time(runs):
    """Median cumulative import time of the module in seconds, from -X importtime."""
    values = []
    for _ in range(runs):
        output = subprocess.run([sys.executable, "-X", "importtime", "-c", "import velto_protocol"],
                                capture_output=True, text=True, timeout=60, check=True)
        for line in output.stderr.splitlines():
            match = re.match(r"import time:\s+\d+ \|\s+(\d+) \| velto_protocol$", line)
            if match:
                values.append(int(match.group(1)) / 1e6)
    return statistics.median(values)


def idle_cost(kind, seconds):
    """CPU and wake-ups of a connected, serving, idle server over `seconds`."""
    with ServerProcess(kind, idle=seconds) as server:
        idle = server.expect("ready")["idle"]
        server.expect("done")
    return idle


def memory_growth(kind, frames, mark, block=10_000):
    """RSS at `mark` dispatched frames and at `frames`, and how long the run took."""
    payload = encode_frames(block) * (frames // block)
    start = time.monotonic()
    with ServerProcess(kind, frames=frames, mark=mark, timeout=1800) as server:
        server.expect("ready")
        server.connection.sendall(payload)
        at_mark = server.expect("mark")["rss"]
        at_end = server.expect("done")["rss"]
    return {"rss_mark": at_mark, "rss_end": at_end, "seconds": time.monotonic() - start}
