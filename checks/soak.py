"""Soak and lifecycle checks of the installed module, each in a server program run in a
subprocess and driven by real loopback clients from this process:

  frames    N frames of every widget kind, sent as fast as the client can, each answered by
            callback() from its action: none lost, duplicated or reordered, every answer
            received; the program's RSS, descriptors and threads sampled as it goes.
  lifecycle C cycles of construct / open / serve / dispatch and answer / close / destroy in one
            program (in overlapping batches, so the 500 ms pause of each thread is paid once
            per batch): descriptors and threads back to their start, RSS flat.
  exit      R runs of a program that ends while its client still sends: exit 0, no hang.

Usage: soak.py [--frames N] [--cycles C] [--batch B] [--exit-runs R]. Prints the figures and
exits non-zero when a bound is broken. Every wait is bounded.
"""

import argparse
import os
import socket
import struct
import subprocess
import sys
import threading
import time

import msgpack

KINDS = ["ClickButton", "ToggleButton", "ConfirmButton", "PressButton", "DirectionalButton",
         "Joystick"]


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def connect(port, timeout=10.0):
    deadline = time.monotonic() + timeout
    while True:
        sock = socket.socket()
        try:
            sock.connect(("127.0.0.1", port))
            return sock
        except OSError:
            sock.close()
            if time.monotonic() > deadline:
                raise
            time.sleep(0.005)


def proc_figures(pid):
    """(RSS in KiB, open descriptors, threads) of a process."""
    with open(f"/proc/{pid}/status") as status:
        rss = next(int(line.split()[1]) for line in status if line.startswith("VmRSS:"))
    return rss, len(os.listdir(f"/proc/{pid}/fd")), len(os.listdir(f"/proc/{pid}/task"))


def spawn(source, *args):
    return subprocess.Popen([sys.executable, "-u", "-c", source, *map(str, args)],
                            stdout=subprocess.PIPE, stdin=subprocess.PIPE, text=True)


def read_line(process, timeout=30.0):
    """One line of the program's fd 1, bounded in time."""
    result = []
    reader = threading.Thread(target=lambda: result.append(process.stdout.readline()),
                              daemon=True)
    reader.start()
    reader.join(timeout)
    if not result or not result[0]:
        raise SystemExit(f"no line from the program within {timeout} s")
    return result[0].rstrip("\n")


# ---- frames ---------------------------------------------------------------------------------

# Every action answers with the program's own count of dispatched frames and what it received,
# so the client sees any loss, duplicate or reordering as a mismatch at its index. The console
# lines of the serving thread go to /dev/null (fd 1 is redirected to it once the port is out).
FRAMES_PROGRAM = r"""
import os, sys
import velto_protocol as vp
port = int(sys.argv[1])
server = vp.ComSocketServer(f"127.0.0.1:{port}")
count = 0
def answer(text):
    global count
    server.callback(count % 256, vp.ServerStatus.Idle, vp.ErrorResult(f"{count} {text}"))
    count += 1
for widget_id in range(256):
    server.on(widget_id, "ClickButton", lambda w, i=widget_id: answer(f"c{i}"))
    server.on(widget_id, "ConfirmButton", lambda w, i=widget_id: answer(f"f{i}"))
    server.on(widget_id, "ToggleButton", lambda w, i=widget_id: answer(f"t{i} {w.value}"))
    server.on(widget_id, "PressButton", lambda w, i=widget_id: answer(f"p{i} {w.pressed}"))
    server.on(widget_id, "DirectionalButton", lambda w, i=widget_id: answer(f"d{i} {w.direction}"))
    server.on(widget_id, "Joystick",
              lambda w, i=widget_id: answer(f"j{i} {w.delta.x:g} {w.delta.y:g} {w.intensity:g}"))
print("ready", flush=True)
server.open()
null = os.open(os.devnull, os.O_WRONLY)
os.dup2(null, 1)
server.serve()
sys.stdin.readline()  # the driver ends the program by closing its input
server.close()
"""


def frame_and_answer(n):
    """The frame numbered n (its kind, id and values follow from n) and the answer text."""
    kind = KINDS[n % 6]
    widget_id = (n * 7) % 256
    if kind == "ClickButton":
        fields, text = [], f"c{widget_id}"
    elif kind == "ConfirmButton":
        fields, text = [], f"f{widget_id}"
    elif kind == "ToggleButton":
        fields, text = [n % 4 == 1], f"t{widget_id} {n % 4 == 1}"
    elif kind == "PressButton":
        fields, text = [n % 4 == 3], f"p{widget_id} {n % 4 == 3}"
    elif kind == "DirectionalButton":
        fields, text = [n % 256], f"d{widget_id} {n % 256}"
    else:
        x, y, intensity = float(n % 100), -float(n % 7), float(n)  # exact in 32 bits below 2^24
        fields, text = [[x, y], intensity], f"j{widget_id} {x:g} {y:g} {intensity:g}"
    data = msgpack.packb([widget_id, {kind: fields}], use_single_float=True)
    return data, f"{n} {text}"


def soak_frames(total, timeout):
    port = free_port()
    program = spawn(FRAMES_PROGRAM, port)
    assert read_line(program) == "ready"
    sock = connect(port)
    samples = []
    answers = []
    failure = []

    def receive():
        unpacker = msgpack.Unpacker(raw=False)
        sock.settimeout(timeout)
        try:
            while len(answers) < total:
                chunk = sock.recv(1 << 16)
                if not chunk:
                    failure.append("the server ended the stream")
                    return
                unpacker.feed(chunk)
                for answer in unpacker:
                    answers.append(answer[2]["ErrorResult"][0])
                    if len(answers) in sample_points:
                        samples.append((len(answers), proc_figures(program.pid)))
        except OSError as error:
            failure.append(f"receive: {error!r}")

    sample_points = {1000} | set(range(10_000, total + 1, 10_000)) | {total}
    start = time.monotonic()
    receiver = threading.Thread(target=receive, daemon=True)
    receiver.start()
    batch = bytearray()
    for n in range(total):
        batch += frame_and_answer(n)[0]
        if len(batch) > 8192:
            sock.sendall(batch)
            batch.clear()
    sock.sendall(batch)
    sent_at = time.monotonic() - start
    receiver.join(timeout)
    elapsed = time.monotonic() - start
    program.stdin.close()
    code = program.wait(30)
    sock.close()

    mismatches = [(i, got) for i, got in enumerate(answers) if got != frame_and_answer(i)[1]]
    print(f"frames: sent {total} in {sent_at:.1f} s, {len(answers)} answers in {elapsed:.1f} s "
          f"({len(answers) / elapsed:.0f}/s); {len(mismatches)} mismatched; program exit {code}")
    for count, (rss, fds, threads) in samples:
        print(f"  after {count:6d} answers: RSS {rss} KiB, {fds} descriptors, {threads} threads")
    problems = list(failure)
    if len(answers) != total or mismatches:
        problems.append(f"{total - len(answers)} answers missing, first mismatch "
                        f"{mismatches[:1]}")
    if code != 0:
        problems.append(f"program exit {code}")
    if len(samples) >= 2:
        (_, (rss0, fds0, threads0)), (_, (rss1, fds1, threads1)) = samples[0], samples[-1]
        print(f"  growth from {samples[0][0]} to {samples[-1][0]} answers: RSS {rss1 - rss0} KiB, "
              f"descriptors {fds1 - fds0}, threads {threads1 - threads0}")
        if rss1 - rss0 >= 1024 or fds1 != fds0 or threads1 != threads0:
            problems.append("growth beyond bounds")
    return problems


# ---- lifecycle --------------------------------------------------------------------------------

LIFECYCLE_PROGRAM = r"""
import gc, os, socket, sys, threading, time
import velto_protocol as vp
cycles, batch = int(sys.argv[1]), int(sys.argv[2])
null = os.open(os.devnull, os.O_WRONLY)
def say(text):
    os.write(real_out, (text + "\n").encode())
real_out = os.dup(1)
os.dup2(null, 1)  # the serving threads' console lines
def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]
def figures():
    with open("/proc/self/status") as status:
        rss = next(int(l.split()[1]) for l in status if l.startswith("VmRSS:"))
    return rss, len(os.listdir("/proc/self/fd")), len(os.listdir("/proc/self/task"))
done = 0
while done < cycles:
    servers = []
    for _ in range(min(batch, cycles - done)):
        port = free_port()
        server = vp.ComSocketServer(f"127.0.0.1:{port}")
        arrived = threading.Event()
        def action(widget, server=server, arrived=arrived):
            server.callback(1, vp.ServerStatus.Idle, vp.ConfirmResult(True))
            arrived.set()
        server.on(1, "ClickButton", action)
        say(f"port {port}")
        server.open()
        server.serve()
        servers.append((server, arrived))
    for server, arrived in servers:
        if not arrived.wait(20):
            say("no dispatch")
            sys.exit(1)
    for server, _ in servers:
        server.close()
    done += len(servers)
    del servers, server, arrived, action
    # A stop wakes its thread at once; the references a thread held are released when the
    # module next takes the interpreter lock, which the construction below does.
    settle = time.monotonic() + 5
    while len(os.listdir("/proc/self/task")) > 1 and time.monotonic() < settle:
        time.sleep(0.01)
    vp.ComSocketServer("127.0.0.1:1")
    gc.collect()
    say(f"figures {done} " + " ".join(map(str, figures())))
say("end")
sys.stdin.readline()
"""

CLICK_1 = bytes.fromhex("92 01 81 00 90")
CONFIRM_1 = bytes.fromhex("93 01 a4 49646c65 81 ad 436f6e6669726d526573756c74 91 c3")


def lifecycle_client(port, problems):
    try:
        with connect(port) as sock:
            sock.settimeout(20)
            sock.sendall(CLICK_1)
            data = b""
            while chunk := sock.recv(4096):  # the answer, then the end of the stream at stop
                data += chunk
            if data != CONFIRM_1:
                problems.append(f"port {port}: answer {data!r}")
    except OSError as error:
        problems.append(f"port {port}: {error!r}")


def soak_lifecycle(cycles, batch):
    start = time.monotonic()
    program = spawn(LIFECYCLE_PROGRAM, cycles, batch)
    problems, clients, figures = [], [], []
    while True:
        line = read_line(program, timeout=60)
        if line.startswith("port "):
            client = threading.Thread(target=lifecycle_client, args=(int(line[5:]), problems))
            client.start()
            clients.append(client)
        elif line.startswith("figures "):
            figures.append(tuple(map(int, line.split()[1:])))
        elif line == "end":
            break
        else:
            problems.append(line)
            break
    program.stdin.close()
    code = program.wait(30)
    for client in clients:
        client.join(30)
    elapsed = time.monotonic() - start
    print(f"lifecycle: {figures[-1][0] if figures else 0} cycles in batches of {batch} in "
          f"{elapsed:.1f} s; program exit {code}")
    if figures:
        first, last = figures[0], figures[-1]
        print(f"  at rest after batch 1: RSS {first[1]} KiB, {first[2]} descriptors, "
              f"{first[3]} threads; after the last: RSS {last[1]} KiB, {last[2]} descriptors, "
              f"{last[3]} threads (RSS {last[1] - first[1]:+d} KiB)")
        if last[2:] != first[2:] or last[3] != 1 or last[1] - first[1] >= 1024:
            problems.append("descriptors, threads or RSS not back")
    if code != 0:
        problems.append(f"program exit {code}")
    return problems


# ---- interpreter exit while a client sends ---------------------------------------------------

EXIT_PROGRAM = r"""
import sys
import velto_protocol as vp
server = vp.ComSocketServer("127.0.0.1:" + sys.argv[1])
server.on(1, "ClickButton", lambda widget: None)
print("ready", flush=True)
server.open()
server.serve()
print("serving", flush=True)
import time
time.sleep(float(sys.argv[2]))
"""


def soak_exit(runs):
    problems, times = [], []
    for run in range(runs):
        port = free_port()
        program = spawn(EXIT_PROGRAM, port, 0.2 + 0.05 * (run % 10))
        assert read_line(program) == "ready"
        # The serving thread's console lines must be read: a full pipe on fd 1 would block it
        # in a write, and with it whatever waits for it.
        drain = threading.Thread(target=lambda: program.stdout.read(), daemon=True)
        drain.start()
        sock = connect(port)
        stop = threading.Event()

        def keep_sending():
            sock.settimeout(1)
            while not stop.is_set():
                try:
                    sock.sendall(CLICK_1 * 50)
                except OSError:
                    return
                time.sleep(0.001)

        sender = threading.Thread(target=keep_sending, daemon=True)
        sender.start()
        start = time.monotonic()
        try:
            code = program.wait(15)
        except subprocess.TimeoutExpired:
            program.kill()
            program.wait()
            code = "hang"
        times.append(time.monotonic() - start)
        stop.set()
        sender.join(5)
        sock.close()
        drain.join(5)
        program.stdin.close()
        if code != 0:
            problems.append(f"run {run}: exit {code}")
    print(f"exit while a client sends: {runs} runs, {runs - len(problems)} exited 0, longest "
          f"{max(times):.2f} s from serving to exit")
    return problems


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--frames", type=int, default=100_000)
    parser.add_argument("--cycles", type=int, default=1000)
    parser.add_argument("--batch", type=int, default=50)
    parser.add_argument("--exit-runs", type=int, default=20)
    args = parser.parse_args()
    problems = []
    if args.frames:
        problems += soak_frames(args.frames, timeout=max(120, args.frames / 500))
    if args.cycles:
        problems += soak_lifecycle(args.cycles, args.batch)
    if args.exit_runs:
        problems += soak_exit(args.exit_runs)
    for problem in problems:
        print("PROBLEM:", problem)
    sys.exit(1 if problems else 0)


if __name__ == "__main__":
    main()
