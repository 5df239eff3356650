"""End-to-end measurements: throughput CPU, idle latency, a paced stream, answer path, idle cost,
memory, import."""

import json
import os
import re
import statistics
import subprocess
import sys
import time

from e2e_frames import WIDGET_IDS, encode_frames, frame_value
from e2e_run import BENCH_DIR, PEERS, ServerProcess

import msgpack


# The servers of the throughput runs: label -> (server, its options). "ours_quiet" is ours with
# console_lines off.
SERVERS = {
    "ours": ("ours", ()),
    "ours_quiet": ("ours", ("--quiet",)),
    "peer": ("peer", ()),
    "uvloop": ("uvloop", ()),
}


def cpu_per_frame(ready, done, frames):
    """The run's CPU less the idle window's rate over the run's wall time, per frame."""
    idle_rate = ready["cpu"] / ready["wall"] if ready["wall"] > 0 else 0.0
    return max(done["cpu"] - idle_rate * done["wall"], 0.0) / frames


def throughput_cpu_per_frame(label, payload, frames, stdout, idle):
    """CPU seconds of the server process per dispatched frame, from bytes to the last action.

    The server measures its own process CPU clock (all threads); the rate it spent over an idle
    window just before is subtracted, so only the work of serving the frames remains.
    """
    kind, args = SERVERS[label]
    with ServerProcess(kind, frames=frames, idle=idle, stdout=stdout, args=args) as server:
        ready = server.expect("ready")["idle"]
        server.connection.sendall(payload)
        done = server.expect("done")["run"]
    return cpu_per_frame(ready, done, frames)


def rotated(labels, repetition):
    """The labels in a different order each repetition, so none always runs first or last."""
    shift = repetition % len(labels)
    return labels[shift:] + labels[:shift]


def throughput(frames, repetitions, idle, console_file):
    """Medians over rotating repetitions, stdout to /dev/null and to a regular file."""
    payload = encode_frames(frames)
    results = {}
    for target in ("devnull", "file"):
        labels = list(SERVERS) if target == "devnull" else ["ours", *PEERS]
        samples = {label: [] for label in labels}
        for repetition in range(repetitions):
            for label in rotated(labels, repetition):
                with open(os.devnull if target == "devnull" else console_file, "wb") as stdout:
                    samples[label].append(
                        throughput_cpu_per_frame(label, payload, frames, stdout, idle))
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
    for kind in ("ours", *PEERS):
        values = idle_latency(kind, samples, spacing)
        results[kind] = {"p50": percentile(values, 0.5), "p99": percentile(values, 0.99)}
    return results


# The stream runs: label -> (server, its options). Ours at the default read interval, at 10 ms
# and at 0, console lines on (to /dev/null), against both peers.
STREAMS = {
    "ours, read_interval 0.5": ("ours", ()),
    "ours, read_interval 0.01": ("ours", ("--read-interval", "0.01")),
    "ours, read_interval 0": ("ours", ("--read-interval", "0")),
    "asyncio peer": ("peer", ()),
    "uvloop peer": ("uvloop", ()),
}


def joystick_stream(count):
    """A drag: `count` frames of joystick 7 in its array form, the stick moving a little each."""
    widget_id = WIDGET_IDS["Joystick"]
    return [msgpack.packb([widget_id, {"Joystick": [[(i % 200) / 100 - 1, 0.5], 0.75]}],
                          use_single_float=True) for i in range(count)]


def serving_thread_schedstat(kind, pid):
    """The /proc schedstat file of the thread that serves: ours its serving thread, a peer its
    event loop, the main thread."""
    if kind != "ours":
        return f"/proc/{pid}/task/{pid}/schedstat"
    for task in os.listdir(f"/proc/{pid}/task"):
        with open(f"/proc/{pid}/task/{task}/comm") as comm:
            if comm.read().strip() == "velto-serving":
                return f"/proc/{pid}/task/{task}/schedstat"
    raise RuntimeError("no serving thread")


def runnable_wait(path):
    """Seconds the thread has spent runnable but waiting for a CPU, so far."""
    with open(path) as schedstat:
        return int(schedstat.read().split()[1]) / 1e9


def stream_run(label, rate, seconds, idle, busy):
    """Seconds from each frame's send to the start of its action, and the CPU per frame.

    The client sends one frame every 1/rate seconds on a fixed schedule (a late send does not
    shift the ones after it); the server keeps the start of each action and reports them at the
    end, so that no report is written while the stream runs. With `busy` a Python thread of the
    server's program (ours: its main thread) runs Python code the whole time. Also the time the
    serving thread spent runnable but waiting for a CPU (other processes had them) over the
    stream, which is what a late frame on a shared machine waits for.
    """
    kind, args = STREAMS[label]
    frames = joystick_stream(int(rate * seconds))
    sent = []
    options = (*args, "--stamps") + (("--busy",) if busy else ())
    with ServerProcess(kind, frames=len(frames), idle=idle, args=options) as server:
        ready = server.expect("ready")["idle"]
        schedstat = serving_thread_schedstat(kind, server.process.pid)
        waited = runnable_wait(schedstat)
        start = time.monotonic()
        for index, frame in enumerate(frames):
            left = start + index / rate - time.monotonic()
            if left > 0:
                time.sleep(left)
            if index == len(frames) - 1:  # the last frame ends the server, and its threads
                waited = runnable_wait(schedstat) - waited
            sent.append(time.clock_gettime_ns(time.CLOCK_MONOTONIC))
            server.connection.sendall(frame)
        report = server.expect("done")
    started = report["stamps"]
    if len(started) != len(sent):
        raise RuntimeError(f"{label}: {len(started)} actions for {len(sent)} frames")
    latencies = [(action - send) / 1e9 for action, send in zip(started, sent)]
    return {"p50": percentile(latencies, 0.5), "p99": percentile(latencies, 0.99),
            "max": max(latencies), "cpu": cpu_per_frame(ready, report["run"], len(frames)),
            "late": sum(latency > 0.001 for latency in latencies), "waited": waited}


def stream(rate, seconds, idle):
    """Every stream run, quiet program first, then with its Python thread busy."""
    return {busy: {label: stream_run(label, rate, seconds, idle, busy) for label in STREAMS}
            for busy in (False, True)}


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


def idle_cost(kind, seconds, args=()):
    """CPU and wake-ups of a connected, serving, idle server over `seconds`."""
    with ServerProcess(kind, idle=seconds, args=args) as server:
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
