"""Ctrl-C while callback() is blocked writing to a client that never reads: one frame far larger
than the socket buffers, and many small frames in a loop. The signal often lands after part of a
frame went out, when the send returns a short count rather than failing with EINTR."""

import signal
import time

import pytest

from velto_client import Client, ServerProcess, free_port

WRITER = """
import os, signal, sys
import velto_protocol as vp
port, shape, handler = sys.argv[1:4]
if handler == "handled":
    signal.signal(signal.SIGINT, lambda *_: os.write(1, b"handler ran\\n"))
server = vp.ComSocketServer("127.0.0.1:" + port)
server.open()
os.write(1, b"writing\\n")
try:
    if shape == "one large frame":
        server.callback(3, vp.ServerStatus.Error, vp.ErrorResult("x" * (32 << 20)))
    else:
        for _ in range(10_000_000):
            server.callback(3, vp.ServerStatus.Error, vp.ErrorResult("x" * 300))
    os.write(1, b"written\\n")
except KeyboardInterrupt:
    os.write(1, b"KeyboardInterrupt\\n")
except Exception as error:
    os.write(1, (type(error).__name__ + "\\n").encode())
"""

SHAPES = ["one large frame", "small frames in a loop"]


def start_writer(shape, handler):
    port = free_port()
    process = ServerProcess(WRITER, args=(port, shape, handler))
    client = Client.connect(port, timeout=10)
    process.wait_line("writing", timeout=10)
    return process, client


def wait_blocked(process):
    """Gives the program a second to fill the buffers and block in a write."""
    time.sleep(1.0)
    assert "written" not in process.console()


# (one large frame under the default handler: test_hostile_clients.py, which also checks that
# the program gives its memory back and serves again)
@pytest.mark.parametrize("shape", ["small frames in a loop"])
def test_ctrl_c_ends_a_blocked_callback_promptly(shape):
    process, client = start_writer(shape, "default")
    with process:
        try:
            wait_blocked(process)
            process.process.send_signal(signal.SIGINT)
            process.wait_line("KeyboardInterrupt", timeout=3)
            assert process.finish() == 0
        finally:
            client.close()


@pytest.mark.parametrize("shape", SHAPES)
def test_a_python_signal_handler_runs_while_callback_is_blocked(shape):
    process, client = start_writer(shape, "handled")
    with process:
        try:
            wait_blocked(process)
            process.process.send_signal(signal.SIGINT)
            process.wait_line("handler ran", timeout=3)
            # the handler raised nothing: the write goes on until the client goes away
            assert "written" not in process.console()
            assert process.process.poll() is None
        finally:
            client.close()
        assert process.finish(timeout=10) == 0
        # the write failed on the gone client, reported as an error, not an interrupt
        assert process.console()[-1] not in ("KeyboardInterrupt", "written")
