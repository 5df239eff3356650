"""The serving thread and the interpreter: a program that ends while its serving thread wants the
interpreter lock back (inside an action, or to let go of the interpreter) or waits for bytes
exits normally, and the references of a thread's registry snapshot are released once the thread
ends."""

import gc
import os
import subprocess
import sys
import textwrap
import threading
import time
import weakref

import pytest

import velto_protocol as vp
from velto_client import Client, free_port, open_with_client

CLICK_1 = bytes.fromhex("9201 81 ab 436c69636b427574746f6e 90".replace(" ", ""))


# The program's last statement comes after its action has begun; what the action does then is
# what the interpreter finds the serving thread doing while it finalizes.
PROGRAM = """
import os, sys, threading, time
import velto_protocol as vp

server = vp.ComSocketServer("127.0.0.1:{port}")
begun = threading.Event()

def ClickButton_1(widget):
    begun.set()
    ACTION

server.on(1, "ClickButton", ClickButton_1)
server.open()
server.serve()
if not begun.wait(10):
    sys.exit(3)
ENDING
os.write(1, b"main done\\n")
"""

# (what the action does, the program's last statement, whether frames keep coming while it ends)
ENDINGS = {
    # Bytecode that the interpreter interrupts to take the lock for its finalization: the
    # thread then wants the lock back while the interpreter finalizes, which ends it.
    "running bytecode": (
        "deadline = time.monotonic() + 10\n"
        "    while time.monotonic() < deadline:\n"
        "        sum(range(1000))",
        "",
        True,
    ),
    "answering in a loop": (
        "deadline = time.monotonic() + 10\n"
        "    while time.monotonic() < deadline:\n"
        "        server.callback(1, vp.ServerStatus.Busy, vp.ErrorResult('x' * 100))",
        "",
        True,
    ),
    # The thread lets go of the interpreter (it takes the lock a last time) while the program
    # finalizes.
    "stopped as it ends": ("pass", "server.close()", True),
    "destroyed as it ends": ("pass", "del server", True),
    # The thread waits for bytes that never come while the program ends: the end is not held up.
    "waiting for bytes": ("pass", "time.sleep(1.5)", False),
}
WAITING_EXIT_SECONDS = 1.5 + 5


def program_environment():
    """The environment of the program, for a run under AddressSanitizer without its exit leak
    check: gcc 12's runtime reports a false stack-buffer-underflow while the interpreter unwinds
    the serving thread at exit, and that report and the leak check at the main thread's exit
    take the runtime's two locks in opposite orders, so the program could hang in the runtime
    itself (seen in about one run in three)."""
    environment = dict(os.environ)
    if "ASAN_OPTIONS" in environment:
        environment["ASAN_OPTIONS"] += ":detect_leaks=0"
    return environment


@pytest.mark.parametrize("ending", list(ENDINGS))
def test_a_program_ending_while_its_thread_works_or_waits_exits_normally(ending):
    action, last, keep_sending = ENDINGS[ending]
    port = free_port()
    source = textwrap.dedent(PROGRAM).replace("ACTION", action).replace("ENDING", last)
    process = subprocess.Popen(
        [sys.executable, "-c", source.format(port=port)],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
        env=program_environment(),
    )
    try:
        with Client.connect(port, timeout=10).sock as client:
            client.sendall(CLICK_1)  # begins the action
            began = time.monotonic()
            # Frames keep coming while the program ends; reading keeps answers from piling up.
            client.setblocking(False)
            deadline = time.monotonic() + 15
            while keep_sending and process.poll() is None and time.monotonic() < deadline:
                try:
                    client.send(CLICK_1)
                    client.recv(65536)
                except (BlockingIOError, InterruptedError):
                    pass
                except OSError:
                    break
                time.sleep(0.002)
            if not keep_sending:
                process.wait(timeout=15)  # connected all along: the thread waits for bytes
                assert time.monotonic() - began < WAITING_EXIT_SECONDS
        out, err = process.communicate(timeout=15)
    finally:
        if process.poll() is None:
            process.kill()
            process.communicate()
    assert process.returncode == 0, err
    assert "main done" in out
    assert "Fatal Python error" not in err
    assert "faulted" not in err


@pytest.mark.parametrize("dispatched", [True, False], ids=["after-a-dispatch", "never-dispatched"])
def test_the_snapshot_is_released_when_the_thread_ends(dispatched):
    port = free_port()
    server = vp.ComSocketServer(f"127.0.0.1:{port}")
    called, gone = threading.Event(), threading.Event()

    def action(widget):
        called.set()

    _watch = weakref.ref(action, lambda _: gone.set())
    server.on(1, "ClickButton", action)
    client = open_with_client(server, port)
    try:
        server.serve()
        if dispatched:
            client.send(CLICK_1)
            assert called.wait(10)
        # Only the thread's snapshot refers to the action from here on.
        with pytest.warns(RuntimeWarning, match="the server is serving"):
            server.on(1, "ClickButton", print)
        del action
        gc.collect()
        assert not gone.is_set()
        server.close()
        assert client.wait_eof(timeout=10) == b""  # the thread has ended the connection
        # The thread releases its snapshot as it ends, whether or not it ever took the lock
        # for an action: this thread does not enter the module meanwhile.
        assert gone.wait(10)
    finally:
        client.close()
