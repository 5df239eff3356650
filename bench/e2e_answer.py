"""Answer-path timing, in one process: server.callback() against sendall() of the same bytes.

Run by e2e_bench.py; prints one JSON object with nanoseconds per call (medians of the rounds).
"""

import json
import socket
import statistics
import subprocess
import sys
import textwrap
import time

import msgpack
import msgspec
import velto_protocol as vp

# Connects to both ports (the module's server first: open() holds the interpreter lock until a
# client comes) and drains both connections until they close.
DRAINER = textwrap.dedent(
    """
    import selectors, socket, sys, time

    def connect(port):
        for _ in range(800):
            try:
                return socket.create_connection(("127.0.0.1", port))
            except OSError:
                time.sleep(0.025)
        raise SystemExit("no server on port %d" % port)

    conns = [connect(int(port)) for port in sys.argv[1:]]
    selector = selectors.DefaultSelector()
    for conn in conns:
        selector.register(conn, selectors.EVENT_READ)
    open_count, total = len(conns), 0
    while open_count:
        for key, _ in selector.select(timeout=120):
            chunk = key.fileobj.recv(1 << 16)
            if not chunk:
                selector.unregister(key.fileobj)
                open_count -= 1
            total += len(chunk)
    print(total)
    """
)


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def main(calls, rounds):
    module_port = free_port()
    listener = socket.create_server(("127.0.0.1", 0))
    plain_port = listener.getsockname()[1]
    drainer = subprocess.Popen([sys.executable, "-c", DRAINER, str(module_port), str(plain_port)],
                               stdout=subprocess.PIPE, text=True)
    server = vp.ComSocketServer(f"127.0.0.1:{module_port}")
    server.open()
    plain, _ = listener.accept()
    listener.close()

    callback, idle, confirm = server.callback, vp.ServerStatus.Idle, vp.ConfirmResult(True)
    value = [3, "Idle", {"ConfirmResult": [True]}]
    encoded = msgpack.packb(value)
    sendall, packb = plain.sendall, msgpack.packb
    encode = msgspec.msgpack.Encoder().encode

    def with_callback():
        for _ in range(calls):
            callback(3, idle, confirm)

    def with_sendall():
        for _ in range(calls):
            sendall(encoded)

    def with_packb():
        for _ in range(calls):
            sendall(packb(value))

    def with_msgspec():
        for _ in range(calls):
            sendall(encode(value))

    methods = {"callback": with_callback, "sendall": with_sendall, "packb_sendall": with_packb,
               "msgspec_sendall": with_msgspec}
    timings = {name: [] for name in methods}
    for round_index in range(rounds):
        names = list(methods)
        # Rotate the order so that no method always runs first or last in a round.
        names = names[round_index % len(names):] + names[:round_index % len(names)]
        for name in names:
            start = time.perf_counter()
            methods[name]()
            timings[name].append((time.perf_counter() - start) / calls * 1e9)
    server.close()
    plain.close()
    received = int(drainer.communicate(timeout=120)[0])
    expected = len(encoded) * calls * rounds * len(methods)
    if received != expected:
        raise SystemExit(f"the drainer got {received} bytes, {expected} were sent")
    print(json.dumps({name: statistics.median(values) for name, values in timings.items()}))


if __name__ == "__main__":
    main(int(sys.argv[1]), int(sys.argv[2]))
