"""Python-side benchmarks: what a program pays per callback() and per widget object.

Run after `make install`:  .venv/bin/python bench/python_bench.py
"""

import socket
import subprocess
import sys
import textwrap
import time
import timeit

import velto_protocol as vp

# A client in its own process: open() holds the interpreter lock while it waits, so the client
# cannot be a thread of this process. It drains every result frame and reports the byte count.
CLIENT = textwrap.dedent(
    """
    import socket, sys, time
    port = int(sys.argv[1])
    for _ in range(400):
        try:
            conn = socket.create_connection(("127.0.0.1", port))
            break
        except OSError:
            time.sleep(0.025)
    total = 0
    while chunk := conn.recv(1 << 16):
        total += len(chunk)
    print(total)
    """
)


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def bench_callback(count=200_000):
    port = free_port()
    server = vp.ComSocketServer(f"127.0.0.1:{port}")
    client = subprocess.Popen([sys.executable, "-c", CLIENT, str(port)], stdout=subprocess.PIPE,
                              text=True)
    server.open()
    confirm = vp.ConfirmResult(True)
    idle = vp.ServerStatus.Idle
    start = time.perf_counter()
    for _ in range(count):
        server.callback(3, idle, confirm)
    elapsed = time.perf_counter() - start
    server.close()
    received = int(client.communicate(timeout=30)[0])
    assert received == 24 * count, received
    return elapsed / count


def bench_objects(count=1_000_000):
    toggle = timeit.timeit("T(True)", globals={"T": vp.WidgetRegistry.ToggleButton}, number=count)
    confirm = timeit.timeit("C(True)", globals={"C": vp.ConfirmResult}, number=count)
    error = timeit.timeit("E('bad')", globals={"E": vp.ErrorResult}, number=count)
    return toggle / count, confirm / count, error / count


def bench_registration(count=200_000):
    server = vp.ComSocketServer("127.0.0.1:0")
    action = print
    elapsed = timeit.timeit(lambda: server.on(3, "ClickButton", action), number=count)
    return elapsed / count


if __name__ == "__main__":
    per_callback = bench_callback()
    toggle, confirm, error = bench_objects()
    per_registration = bench_registration()
    print(f"callback(3, Idle, ConfirmResult(True)) to a draining client: {per_callback * 1e9:8.0f} ns")
    print(f"WidgetRegistry.ToggleButton(True):                            {toggle * 1e9:8.0f} ns")
    print(f"ConfirmResult(True):                                          {confirm * 1e9:8.0f} ns")
    print(f"ErrorResult('bad'):                                           {error * 1e9:8.0f} ns")
    print(f"server.on(3, 'ClickButton', action):                          {per_registration * 1e9:8.0f} ns")
