"""The serving thread against what a program around it does: processes started by actions,
os.fork() with a server serving, and a new client after the old one left half a frame."""

import socket
import subprocess
import sys
import textwrap
import threading
import time

TIMEOUT = 10.0
CLICK_3 = bytes.fromhex("9203810090")  # [3, {0: []}]: ClickButton, id 3
CLICK_5 = bytes.fromhex("9205810090")


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def connect(port):
    """A client on 127.0.0.1:port, retried while nothing listens there yet."""
    deadline = time.monotonic() + TIMEOUT
    while True:
        try:
            client = socket.create_connection(("127.0.0.1", port), timeout=TIMEOUT)
            return client
        except OSError:
            if time.monotonic() > deadline:
                raise
            time.sleep(0.01)


def wait_eof(client):
    """True when the server ends the stream within the time allowed."""
    deadline = time.monotonic() + TIMEOUT
    while time.monotonic() < deadline:
        client.settimeout(max(deadline - time.monotonic(), 0.01))
        try:
            if not client.recv(4096):
                return True
        except socket.timeout:
            return False
    return False


class Program:
    """A server program in its own interpreter; fd 1 and fd 2 read line by line as they come."""

    def __init__(self, source, port):
        self.process = subprocess.Popen(
            [sys.executable, "-u", "-c", textwrap.dedent(source), str(port)],
            stdin=subprocess.DEVNULL,
            stdout=subprocess.PIPE,
            stderr=subprocess.PIPE,
        )
        self.changed = threading.Condition()
        self.out, self.err = [], []
        self.readers = [
            threading.Thread(target=self._read, args=(pipe, lines), daemon=True)
            for pipe, lines in ((self.process.stdout, self.out), (self.process.stderr, self.err))
        ]
        for reader in self.readers:
            reader.start()

    def _read(self, pipe, lines):
        for raw in pipe:
            with self.changed:
                lines.append(raw.decode(errors="replace").rstrip("\n"))
                self.changed.notify_all()

    def wait_line(self, predicate, what):
        """The first line on fd 1 that satisfies `predicate`."""
        with self.changed:
            found = self.changed.wait_for(
                lambda: next((line for line in self.out if predicate(line)), None), TIMEOUT
            )
        assert found, f"no {what}; fd 1: {self.out}, fd 2: {self.err}"
        return found

    def finish(self):
        """Waits for the program's end; its exit code."""
        try:
            code = self.process.wait(TIMEOUT)
        finally:
            self.process.kill()
            for reader in self.readers:
                reader.join(TIMEOUT)
        return code


PRELUDE = """
import os, resource, subprocess, sys, threading, time
import velto_protocol
port = int(sys.argv[1])
server = velto_protocol.ComSocketServer(f"127.0.0.1:{port}")
acted = threading.Event()
def say(text):
    os.write(1, (text + "\\n").encode())
"""


def test_a_process_started_by_an_action_has_no_signal_blocked():
    port = free_port()
    program = Program(
        PRELUDE
        + """
def action(widget):
    status = subprocess.run(["cat", "/proc/self/status"], capture_output=True, text=True)
    blocked = [line for line in status.stdout.splitlines() if line.startswith("SigBlk:")]
    say("child " + blocked[0].replace("\\t", " "))
    sleeper = subprocess.Popen(["sleep", "30"])
    sleeper.terminate()
    try:
        say(f"sleeper ended {sleeper.wait(timeout=5)}")
    except subprocess.TimeoutExpired:
        sleeper.kill()
        say(f"sleeper ignored SIGTERM {sleeper.wait()}")
    acted.set()
server.on(3, "ClickButton", action)
server.open()
server.serve()
acted.wait(10)
server.close()
""",
        port,
    )
    client = connect(port)
    client.sendall(CLICK_3)
    child = program.wait_line(lambda line: line.startswith("child SigBlk:"), "SigBlk line")
    assert int(child.split()[-1], 16) == 0, child
    sleeper = program.wait_line(lambda line: line.startswith("sleeper "), "sleeper line")
    assert sleeper == "sleeper ended -15"
    assert wait_eof(client)
    assert program.finish() == 0, program.err
    client.close()


def test_a_forked_child_closing_its_copy_neither_stops_nor_spins_the_parent():
    port = free_port()
    program = Program(
        PRELUDE
        + """
def cpu_seconds():
    usage = resource.getrusage(resource.RUSAGE_SELF)
    return usage.ru_utime + usage.ru_stime
server.on(3, "ClickButton", lambda widget: acted.set())
server.open()
server.serve()
child = os.fork()
if child == 0:
    # This process has no serving thread: close() has nothing to stop, destruction nothing
    # to disconnect.
    try:
        server.close()
        code = 1
    except RuntimeError as error:
        code = 0 if str(error) == "sending on a closed channel" else 2
    del server
    os._exit(code)
_, status = os.waitpid(child, 0)
before = cpu_seconds()
time.sleep(1.0)
say(f"forked {os.waitstatus_to_exitcode(status)} cpu {cpu_seconds() - before:.3f}")
acted.wait(10)
server.close()
""",
        port,
    )
    client = connect(port)
    forked = program.wait_line(lambda line: line.startswith("forked "), "line after the fork")
    _, child_code, _, cpu = forked.split()
    assert child_code == "0", "1: close() in the child succeeded, 2: it failed otherwise"
    assert float(cpu) < 0.3, forked
    # The parent's thread still serves, and still stops on the parent's close().
    client.sendall(CLICK_3)
    program.wait_line(lambda line: line == "Found frame ! 3", "dispatch after the fork")
    assert wait_eof(client)
    assert program.finish() == 0, program.err
    assert "Link broken" not in program.out
    assert not any("faulted" in line or "Traceback" in line for line in program.err), program.err
    client.close()


def test_a_new_client_is_not_handed_the_old_clients_half_frame():
    port = free_port()
    program = Program(
        PRELUDE
        + """
server.on(5, "ClickButton", lambda widget: acted.set())
server.open()
server.serve()
server.open()
server.serve()
acted.wait(10)
server.close()
""",
        port,
    )
    first = connect(port)
    first.sendall(CLICK_5[:2])
    program.wait_line(lambda line: line == "Received size : 2", "the half frame's receive")
    second = connect(port)
    second.sendall(CLICK_5)
    program.wait_line(lambda line: line == "Found frame ! 5", "the new client's frame")
    # The old connection goes with the thread that read it; the new one with close().
    assert wait_eof(first)
    assert wait_eof(second)
    assert program.finish() == 0, program.err
    assert not any("faulted" in line for line in program.err), program.err
    first.close()
    second.close()
