"""The life of a ComSocketServer in one process: open() and its failures, one client per open(),
a second open(), serve() and close() in each state, and what callback() needs."""

import errno
import os
import threading
import time

import pytest

import velto_protocol as vp
from velto_client import (
    Client,
    ServerProcess,
    frame,
    free_port,
    hand_result,
    wait_listening,
    open_with_client,
)

S = vp.ServerStatus
CONFIRM = hand_result(1, "Idle", confirm=True)


def new_server(port):
    return vp.ComSocketServer(f"127.0.0.1:{port}")


def assert_runtime_error(call, message):
    with pytest.raises(RuntimeError) as raised:
        call()
    assert type(raised.value) is RuntimeError
    assert str(raised.value) == message


def close_until_the_thread_is_gone(server, timeout=5.0):
    """close() succeeds while the stop value is still queued and fails once the serving thread
    has ended; returns how many calls succeeded before it failed."""
    deadline = time.monotonic() + timeout
    succeeded = 0
    while time.monotonic() < deadline:
        try:
            assert server.close() is None
        except RuntimeError as error:
            assert str(error) == "sending on a closed channel"
            return succeeded
        succeeded += 1
        time.sleep(0.005)
    pytest.fail("close() kept succeeding: the serving thread did not end")


def test_without_a_connection():
    server = new_server(1)
    assert server.close() is None
    assert server.close() is None
    assert_runtime_error(server.serve, "Bad Server state")
    assert_runtime_error(lambda: server.callback(1, S.Idle, vp.ConfirmResult(True)),
                         "Bad Server state")


def test_one_client_per_open_and_close_without_serve():
    port = free_port()
    server = new_server(port)
    client = open_with_client(server, port)
    # the listening socket is gone with the accept
    with pytest.raises(ConnectionRefusedError):
        Client.connect(port, timeout=0)
    assert server.callback(1, S.Idle, vp.ConfirmResult(True)) is None
    assert client.read_exact(len(CONFIRM)) == CONFIRM
    assert server.close() is None
    assert client.wait_eof() == b""
    assert_runtime_error(lambda: server.callback(1, S.Idle, vp.ConfirmResult(True)),
                         "Bad Server state")
    assert_runtime_error(server.serve, "Bad Server state")
    assert server.close() is None
    client.close()


def test_close_while_serving_then_open_and_serve_again():
    port = free_port()
    server = new_server(port)
    client = open_with_client(server, port)
    server.serve()
    started = time.monotonic()
    assert server.close() is None
    assert time.monotonic() - started < 0.25  # it does not wait for the thread
    assert client.wait_eof(timeout=2) == b""
    assert_runtime_error(lambda: server.callback(1, S.Idle, vp.ConfirmResult(True)),
                         "Bad Server state")
    close_until_the_thread_is_gone(server)
    # and it stays that way
    assert_runtime_error(server.close, "sending on a closed channel")
    client.close()
    # a new open() and serve(): a fresh thread and a new stop channel
    second = open_with_client(server, port)
    arrived = threading.Event()
    server.on(2, "PressButton", lambda widget: widget.pressed and arrived.set())
    server.serve()
    try:
        second.send(frame(2, "PressButton", True))
        assert arrived.wait(10)
    finally:
        assert server.close() is None
    assert second.wait_eof(timeout=2) == b""
    second.close()


@pytest.mark.parametrize("serving", [False, True], ids=["connected", "serving"])
def test_second_open_takes_a_new_client(serving):
    port = free_port()
    server = new_server(port)
    directions = []
    arrived = threading.Event()

    def DirectionalButton_1(widget):
        directions.append(widget.direction)
        arrived.set()

    server.on(1, "DirectionalButton", DirectionalButton_1)
    first = open_with_client(server, port)
    if serving:
        server.serve()
    second = open_with_client(server, port)
    try:
        # answers go to the new client only
        server.callback(1, S.Idle, vp.ConfirmResult(True))
        assert second.read_exact(len(CONFIRM)) == CONFIRM
        if serving:
            # the serving thread keeps its own handle on the first connection
            first.send(frame(1, "DirectionalButton", 7))
            assert arrived.wait(10)
            assert directions == [7]
            assert first.read_available() == b"" and first.is_open()
        else:
            # the object's handle on the first connection was its last one
            assert first.wait_eof() == b""
    finally:
        assert server.close() is None
    # the stop reaches the old thread, which ends the first connection; the object's handle on
    # the second connection is closed
    assert second.wait_eof(timeout=2) == b""
    if serving:
        assert first.wait_eof(timeout=2) == b""
    first.close()
    second.close()


@pytest.mark.parametrize("address", ["no colon here", "127.0.0.1:65536", "in use"])
def test_open_failures_fault(panic_exception, address):
    import socket

    with socket.socket() as taken:
        taken.bind(("127.0.0.1", 0))
        taken.listen()
        if address == "in use":
            address = f"127.0.0.1:{taken.getsockname()[1]}"
            # the rendering is free, but it carries the system's error number and text
            parts = [str(errno.EADDRINUSE), os.strerror(errno.EADDRINUSE)]
        else:
            parts = ["invalid socket address" if " " in address else "invalid port value"]
        server = vp.ComSocketServer(address)
        with pytest.raises(panic_exception) as raised:
            server.open()
    message = raised.value.args[0]
    assert message.startswith("Unable to intanstiate TCP Listener. ")
    assert all(part in message for part in parts), message
    assert_runtime_error(server.serve, "Bad Server state")


# ---- in a program of its own --------------------------------------------------------------------


OPEN_WITH_A_TICKING_THREAD = """
import os, sys, threading, time
import velto_protocol as vp

ticks = []
running = True

def tick():
    while running:
        ticks.append(time.monotonic())
        time.sleep(0.002)

ticker = threading.Thread(target=tick)
ticker.start()
server = vp.ComSocketServer("127.0.0.1:" + sys.argv[1])
while len(ticks) < 5:
    time.sleep(0.002)
os.write(1, b"opening\\n")
server.open()
running = False
ticker.join()
longest = max(later - earlier for earlier, later in zip(ticks, ticks[1:]))
os.write(1, ("longest pause %.3f\\n" % longest).encode())
"""


def test_open_keeps_the_interpreter_lock_while_it_waits():
    port = free_port()
    with ServerProcess(OPEN_WITH_A_TICKING_THREAD, args=(port,)) as process:
        process.wait_line("opening", timeout=10)
        wait_listening(port)
        time.sleep(0.5)  # the time the other thread must stand still
        client = Client.connect(port)
        assert process.finish() == 0
        client.close()
        pauses = [line for line in process.console() if line.startswith("longest pause ")]
        assert len(pauses) == 1
        assert float(pauses[0].split()[-1]) >= 0.4
