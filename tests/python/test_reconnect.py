"""Taking the phone back: wait_disconnected() in a server program run as its own process, with
real clients that come, send frames and leave, one after another; its timeout, Ctrl-C, the
outcome of every way serving ends, and the descriptors and threads of many reconnects."""

import ast
import math
import os
import signal
import socket
import struct
import subprocess
import sys
import textwrap
import time

import pytest

import velto_protocol as vp
from velto_client import Client, RemoteError, ServerProcess, frame, free_port, hand_result

SETUP = """
import threading, time
import velto_protocol as vp
server = vp.ComSocketServer("127.0.0.1:PORT")
def click(widget):
    say("clicked")
    server.callback(1, vp.ServerStatus.Idle, vp.ConfirmResult(True))
def slow(widget):
    say("slow start")
    time.sleep(1.0)
    say("slow end")
def wait_here(widget):
    say(f"waited {server.wait_disconnected(0.1)!r}")
    try:
        server.wait_disconnected()
    except RuntimeError as refused:
        say(f"refused {refused}")
server.on(1, "ClickButton", click)
server.on(2, "ClickButton", slow)
server.on(3, "ClickButton", wait_here)
"""

CLICK = frame(1, "ClickButton")
ANSWER = hand_result(1, "Idle", confirm=True)


class Program:
    """The server program and the port it serves phones on."""

    def __init__(self):
        self.port = free_port()
        self.process = ServerProcess.driver(SETUP, self.port)

    def next_phone(self, serve=True):
        """open() in the program while a new client connects; serve() when asked."""
        self.process.start("server.open()")
        client = Client.connect(self.port, timeout=10)
        assert self.process.result(timeout=10) == "None"
        if serve:
            assert self.call("server.serve()") == "None"
        return client

    def call(self, source, timeout=10):
        return self.process.call(source, timeout)

    def wait(self, timeout=10):
        return self.call(f"server.wait_disconnected({timeout})", timeout + 5)


@pytest.fixture
def program():
    made = Program()
    with made.process:
        yield made


def test_each_phone_after_the_last_has_left_is_served(program):
    for phone in range(1, 4):
        client = program.next_phone()
        client.send(CLICK)
        assert client.read_exact(len(ANSWER)) == ANSWER
        program.process.wait_line("clicked", count=phone)
        client.close()
        assert program.wait() == "'disconnected'"
        assert program.call("server.close()") == "None"
    assert program.process.stderr() == ""


def test_before_serve_the_wait_is_a_state_error(program):
    for stage in ("new", "opened"):
        if stage == "opened":
            client = program.next_phone(serve=False)
        with pytest.raises(RemoteError) as raised:
            program.call("server.wait_disconnected()")
        assert (raised.value.type_name, raised.value.message) == ("RuntimeError",
                                                                  "Bad Server state")
    client.close()


def test_timeout_returns_none_and_the_wait_stays_level(program):
    client = program.next_phone()
    assert program.call("server.wait_disconnected(0)") == "None"
    started = time.monotonic()
    assert program.call("server.wait_disconnected(timeout=0.3)") == "None"
    assert time.monotonic() - started >= 0.3
    client.close()
    assert program.wait() == "'disconnected'"
    # Already gone: every later wait answers at once, also after close().
    assert program.call("server.wait_disconnected(0)") == "'disconnected'"
    assert program.call("server.close()") == "None"
    assert program.call("server.wait_disconnected(0)") == "'disconnected'"


def test_the_wait_lets_actions_answer_and_ctrl_c_ends_it(program):
    client = program.next_phone()
    program.process.start("server.wait_disconnected()")
    # Served while the program waits: the wait holds neither the interpreter lock nor the server.
    client.send(CLICK)
    assert client.read_exact(len(ANSWER)) == ANSWER
    time.sleep(0.2)
    interrupted = time.monotonic()
    os.kill(program.process.process.pid, signal.SIGINT)
    with pytest.raises(RemoteError) as raised:
        program.process.result(timeout=5)
    assert raised.value.type_name == "KeyboardInterrupt"
    assert time.monotonic() - interrupted < 1.0
    # The client is still served; close() stops its thread as ever.
    assert program.call("server.close()") == "None"
    assert client.wait_eof() == b""


def test_a_phone_that_leaves_during_an_action_is_seen_after_it(program):
    client = program.next_phone()
    client.send(frame(2, "ClickButton"))
    program.process.wait_line("slow start")
    client.close()
    assert program.wait() == "'disconnected'"
    console = program.process.console()
    assert console.index("slow end") < console.index("Received size : 0")
    assert program.call("server.close()") == "None"
    following = program.next_phone()
    following.send(CLICK)
    assert following.read_exact(len(ANSWER)) == ANSWER
    following.close()
    assert program.wait() == "'disconnected'"


def test_an_action_cannot_wait_for_its_own_client(program):
    client = program.next_phone()
    client.send(frame(3, "ClickButton"))
    program.process.wait_line("refused Resource deadlock avoided (os error 35)")
    assert "waited None" in program.process.console()
    client.send(CLICK)  # the thread goes on serving
    assert client.read_exact(len(ANSWER)) == ANSWER
    assert program.call("server.close()") == "None"


def _undecodable(program, client):
    client.send(b"\xc1")
    return "server.close()", ("RuntimeError", "sending on a closed channel")


def _reset(program, client):
    client.sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
    client.close()
    program.process.wait_stderr("Failed to read frame : ")
    return "server.close()", ("RuntimeError", "sending on a closed channel")


def _closed_elsewhere(program, client):
    program.call("threading.Timer(0.3, server.close).start()")
    return None, None


def _served_twice(program, client):
    # The second serve() retires the first thread: the wait follows the connection.
    assert program.call("server.serve()") == "None"
    client.send(CLICK)
    assert client.read_exact(len(ANSWER)) == ANSWER
    client.close()
    return "server.close()", None


@pytest.mark.parametrize("cause, outcome", [
    (_undecodable, "failed"),
    (_reset, "disconnected"),
    (_closed_elsewhere, "stopped"),
    (_served_twice, "disconnected"),
], ids=["undecodable-frame", "reset", "close-from-another-thread", "serve-twice"])
def test_the_wait_says_how_serving_ended(program, cause, outcome):
    client = program.next_phone()
    then, refused = cause(program, client)
    assert program.wait() == repr(outcome)
    if then is not None:
        if refused is None:
            assert program.call(then) == "None"
        else:
            with pytest.raises(RemoteError) as raised:
                program.call(then)
            assert (raised.value.type_name, raised.value.message) == refused
    client.close()


def test_after_a_fault_the_phone_sees_the_end_and_the_next_phone_is_served(program):
    client = program.next_phone()
    client.send(b"\xc0")  # no frame
    # at once, not only when the program gets round to close(): the phone can reconnect
    assert client.wait_eof() == b""
    assert program.wait() == "'failed'"
    client.close()
    client = program.next_phone()
    client.send(CLICK)
    assert client.read_exact(len(ANSWER)) == ANSWER
    client.close()
    assert program.wait() == "'disconnected'"
    assert program.call("server.close()") == "None"


@pytest.mark.parametrize("timeout, error, text", [
    (-1, ValueError, "timeout must be a non-negative number or None"),
    (math.nan, ValueError, "timeout must be a non-negative number or None"),
    ("1", TypeError, "argument 'timeout': must be real number, not str"),
    ([1], TypeError, "argument 'timeout': must be real number, not list"),
])
def test_bad_timeouts_are_refused(timeout, error, text):
    server = vp.ComSocketServer("127.0.0.1:0")
    with pytest.raises(error) as raised:
        server.wait_disconnected(timeout)
    assert type(raised.value) is error and str(raised.value) == text


# The whole loop runs in the program, as a program that takes phone after phone would; it says
# its descriptors and threads once the first phone is over (the steady state: the server keeps
# its last stop channel) and after every later one, then once everything has settled.
MANY_PHONES = textwrap.dedent("""
    import os, sys, threading, time
    import velto_protocol as vp
    server = vp.ComSocketServer(sys.argv[1])
    server.on(1, "ClickButton",
              lambda widget: server.callback(1, vp.ServerStatus.Idle, vp.ConfirmResult(True)))
    def counts():
        return (len(os.listdir("/proc/self/fd")), len(os.listdir("/proc/self/task")),
                threading.active_count())
    def settled(target):
        for _ in range(500):
            if counts() == target:
                break
            time.sleep(0.01)
        return counts()
    baseline = peak = None
    for phone in range(int(sys.argv[2]) + 1):
        server.open()
        server.serve()
        assert server.wait_disconnected(10) == "disconnected"
        server.close()
        if phone == 0:
            # The thread ends once it gets the interpreter lock, which open() would hold.
            for _ in range(500):
                if counts()[1] == 1:
                    break
                time.sleep(0.01)
            baseline = counts()
        else:
            peak = counts() if peak is None else tuple(map(max, peak, counts()))
    print("counts", repr((baseline, peak, settled(baseline))), flush=True)
""")


def test_a_hundred_phones_leave_descriptors_and_threads_where_they_were():
    phones = 100
    port = free_port()
    program = subprocess.Popen([sys.executable, "-c", MANY_PHONES, f"127.0.0.1:{port}", str(phones)],
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        for phone in range(phones + 1):
            client = Client.connect(port, timeout=10)
            if phone % 10 == 0:
                client.send(CLICK)
                assert client.read_exact(len(ANSWER)) == ANSWER
            # Gone, then waits for the program's close(): a phone that connected before would
            # meet the listener of the open() that has just accepted this one.
            client.sock.shutdown(socket.SHUT_WR)
            assert client.wait_eof() == b""
            client.close()
        out, err = program.communicate(timeout=30)
    finally:
        if program.poll() is None:
            program.kill()
            program.communicate()
    assert program.returncode == 0, err
    line = [line for line in out.splitlines() if line.startswith("counts ")][-1]
    baseline, peak, final = ast.literal_eval(line[len("counts "):])
    assert final == baseline, line
    # While phones come and go: one connection, its channel and its ending thread at most.
    assert peak[0] <= baseline[0] + 4 and peak[1] <= baseline[1] + 1, line
