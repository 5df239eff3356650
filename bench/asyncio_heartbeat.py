"""How well an asyncio program's loop keeps running while it waits for the phone.

    .venv/bin/python bench/asyncio_heartbeat.py [--runs 5]

A 10 ms heartbeat task runs beside each wait; the figure is the longest gap between two beats
(anything far above 10 ms is the loop held up). Measured for open_async() until a client
connects after 1 s, for wait_disconnected_async() over 1 s in which the client sends a click
each 100 ms to an async action, and, for reference in the same run, for the blocking open()
handed to run_in_executor, which holds the interpreter lock while it waits.
"""

import argparse
import asyncio
import statistics
import sys
import subprocess
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests" / "python"))

import velto_protocol as vp  # noqa: E402
from velto_client import frame, free_port  # noqa: E402

BEAT = 0.01
CLICK = frame(1, "ClickButton")


class Heart:
    def __init__(self):
        self.beats = []

    async def run(self):
        while True:
            self.beats.append(time.monotonic())
            await asyncio.sleep(BEAT)

    def longest_gap_ms(self, start, end):
        """Over the beats from the last one before `start` to the first one after `end`."""
        first = max((i for i, b in enumerate(self.beats) if b <= start), default=0)
        last = min((i for i, b in enumerate(self.beats) if b >= end), default=len(self.beats) - 1)
        beats = self.beats[first : last + 1]
        return max((b - a for a, b in zip(beats, beats[1:])), default=float("nan")) * 1000


# A process of its own: a blocking open() holds the interpreter lock, which a thread of this
# process would need to connect.
PHONE = """
import socket, sys, time
port, clicks, click = int(sys.argv[1]), int(sys.argv[2]), bytes.fromhex(sys.argv[3])
time.sleep(1.0)
deadline = time.monotonic() + 10
while True:
    try:
        client = socket.create_connection(("127.0.0.1", port))
        break
    except OSError:
        if time.monotonic() > deadline:
            raise
        time.sleep(0.01)
for _ in range(clicks):
    time.sleep(0.1)
    client.sendall(click)
time.sleep(0.2)
client.close()
"""


async def one_run(blocking_open):
    port = free_port()
    server = vp.ComSocketServer(f"127.0.0.1:{port}")
    answered = []

    async def click(widget):
        await asyncio.sleep(0.005)
        answered.append(widget)

    server.on(1, "ClickButton", click)
    heart = Heart()
    beating = asyncio.ensure_future(heart.run())
    await asyncio.sleep(0.05)
    caller = subprocess.Popen([sys.executable, "-c", PHONE, str(port), "10", CLICK.hex()])
    started = time.monotonic()
    if blocking_open:
        await asyncio.get_running_loop().run_in_executor(None, server.open)
    else:
        await server.open_async()
    opened = time.monotonic()
    server.serve()
    left = await server.wait_disconnected_async(10)
    ended = time.monotonic()
    beating.cancel()
    caller.wait(10)
    if left != "stopped":
        server.close()
    return heart.longest_gap_ms(started, opened), heart.longest_gap_ms(opened, ended), left


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--runs", type=int, default=5)
    runs = parser.parse_args().runs
    rows = {"open_async()": [], "wait_disconnected_async()": [], "open() in run_in_executor": []}
    for _ in range(runs):  # alternated: each run measures both ways
        open_gap, wait_gap, _ = asyncio.run(one_run(blocking_open=False))
        rows["open_async()"].append(open_gap)
        rows["wait_disconnected_async()"].append(wait_gap)
        blocked_gap, _, _ = asyncio.run(one_run(blocking_open=True))
        rows["open() in run_in_executor"].append(blocked_gap)
    print(f"longest gap of a {BEAT * 1000:.0f} ms heartbeat, {runs} runs (ms): median, worst; each run")
    for name, gaps in rows.items():
        each = " ".join(f"{gap:.0f}" for gap in gaps)
        print(f"  {name:28} {statistics.median(gaps):8.1f} {max(gaps):8.1f}   {each}")


if __name__ == "__main__":
    main()
