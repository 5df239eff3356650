"""Shared fixtures for the tests of the installed velto_protocol module."""

import logging
import subprocess
import sys
import textwrap

import pytest

import velto_protocol

LOGGER_NAME = "velto_protocol.server.com_socket"


@pytest.fixture
def panic_exception():
    """The PanicException class, obtained the way a program sees it: from a raised fault."""
    s = velto_protocol.ComSocketServer("127.0.0.1:0")
    try:
        velto_protocol.on(s)(lambda widget: None)
    except BaseException as raised:  # noqa: B036 - the class is what we are after
        return type(raised)
    pytest.fail("decorating a lambda did not fault")


class RecordingHandler(logging.Handler):
    def __init__(self):
        super().__init__(level=logging.DEBUG)
        self.records = []
        self.hook = None  # called with each record as it is emitted, when a test sets it

    def emit(self, record):
        self.records.append(record)
        if self.hook is not None:
            self.hook(record)

    def messages(self):
        return [record.getMessage() for record in self.records]


@pytest.fixture
def debug_records():
    """Debug records of the module's logger, collected by a handler the test installs."""
    logger = logging.getLogger(LOGGER_NAME)
    handler = RecordingHandler()
    old_level = logger.level
    logger.addHandler(handler)
    logger.setLevel(logging.DEBUG)
    yield handler
    logger.removeHandler(handler)
    logger.setLevel(old_level)


def run_python(code, timeout=60):
    """Runs `code` in a fresh interpreter; returns the completed process (text output)."""
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        timeout=timeout,
    )


@pytest.fixture
def python_process():
    return run_python


@pytest.fixture(scope="session")
def coord_class():
    """The Coord class. It is no module attribute and has no constructor; the joystick
    constructor's conversion of `delta` brings it into being, and the collector knows it."""
    import gc

    W = velto_protocol.WidgetRegistry
    with pytest.raises(TypeError):
        W.Joystick(None, 0.0)
    found = [
        obj
        for obj in gc.get_objects()
        if isinstance(obj, type) and obj.__qualname__ == "Coord" and obj.__module__ == "builtins"
    ]
    assert len(found) == 1
    return found[0]


@pytest.fixture(scope="session")
def received_joystick():
    """A joystick object as an action receives it, from a real frame over a real connection
    (widget 7, delta (0.5, -1.0), intensity 0.75, all float 32). A Coord exists only as the
    delta of such an object, so the tests of Coord need one."""
    import threading

    from velto_client import free_port, hexbytes, open_with_client

    received = []
    arrived = threading.Event()
    port = free_port()
    server = velto_protocol.ComSocketServer(f"127.0.0.1:{port}")
    server.on(7, "Joystick", lambda widget: (received.append(widget), arrived.set()))
    client = open_with_client(server, port)
    try:
        server.serve()
        client.send(hexbytes("9207 81 a8 4a6f79737469636b 92 92 ca3f000000 cabf800000 ca3f400000"))
        assert arrived.wait(20), "no joystick frame was dispatched"
    finally:
        server.close()
        client.close()
    return received[0]


# ---- servers in a subprocess, driven by commands (see velto_client.ServerProcess) -------------

SERVER_SETUP = """
import velto_protocol as vp
W = vp.WidgetRegistry
S = vp.ServerStatus
server = vp.ComSocketServer("127.0.0.1:PORT")
"""


@pytest.fixture
def driven():
    """Makes server programs: `driven(setup, serve=True)` runs SERVER_SETUP and `setup` in a
    fresh interpreter, opens the server with a client from this process, serves if asked, and
    returns (process, client). `process.idle_threads` is its thread count before serve()."""
    from velto_client import Client, ServerProcess, free_port

    made = []

    def make(setup="", serve=True):
        port = free_port()
        process = ServerProcess.driver(SERVER_SETUP + textwrap.dedent(setup), port)
        made.append(process)
        process.start("server.open()")
        client = Client.connect(port, timeout=10)
        made.append(client)
        assert process.result(timeout=10) == "None"
        process.idle_threads = process.thread_count()
        if serve:
            assert process.call("server.serve()") == "None"
        return process, client

    yield make
    for thing in reversed(made):
        if hasattr(thing, "kill"):
            thing.__exit__(None, None, None)
        else:
            thing.close()
