"""Processes for the client tool and example tests: servers and velto-client runs, all bounded."""

import os
import select
import shutil
import signal
import socket
import subprocess
import sys
import time
from pathlib import Path

from velto_client import free_port

EXAMPLES = Path(__file__).resolve().parents[2] / "examples"
RUN_TIMEOUT = 30


def velto_client_command():
    """The installed console script, beside the interpreter running the tests."""
    beside = Path(sys.executable).with_name("velto-client")
    return [str(beside)] if beside.exists() else [shutil.which("velto-client")]


def run_client(*args, timeout=RUN_TIMEOUT, env=None, stdin_text=None):
    return subprocess.run(
        velto_client_command() + [str(a) for a in args],
        input=stdin_text, capture_output=True, text=True, timeout=timeout, env=env,
    )


def _buffered_env(unbuffered=False):
    env = dict(os.environ)
    env.pop("PYTHONUNBUFFERED", None)
    if unbuffered:
        env["PYTHONUNBUFFERED"] = "1"
    return env


class WriteRecorder:
    """A standard output for a child process that keeps each of its write(2) calls apart (a
    SOCK_SEQPACKET socket pair): it shows how lines were written, not only what they say."""

    def __init__(self):
        self._reader, self.child_end = socket.socketpair(socket.AF_UNIX, socket.SOCK_SEQPACKET)
        self.writes = []

    def started(self):
        """The child has its copy: closing ours lets the reader see the end when the child's goes."""
        self.child_end.close()

    def text(self):
        return b"".join(self.writes).decode(errors="replace")

    def wait_for(self, text, timeout=RUN_TIMEOUT):
        """Reads writes until `text` has been written; False when it was not within the timeout."""
        deadline = time.monotonic() + timeout
        while text not in self.text():
            left = deadline - time.monotonic()
            if left <= 0 or not self._read(left):
                return False
        return True

    def finish(self, timeout=RUN_TIMEOUT):
        """Reads every write left, until the child's end is closed; the whole text written."""
        deadline = time.monotonic() + timeout
        while (left := deadline - time.monotonic()) > 0 and self._read(left):
            pass
        self._reader.close()
        return self.text()

    def _read(self, timeout):
        if not select.select([self._reader], [], [], timeout)[0]:
            return False
        written = self._reader.recv(1 << 20)
        if written:
            self.writes.append(written)
        return bool(written)

    def __enter__(self):
        return self

    def __exit__(self, *exc_info):
        self.child_end.close()
        self._reader.close()


class ServerProgram:
    """A Python program that runs a velto_protocol server on a fresh port, in its own process.

    Not unbuffered unless asked: a flushed print() then writes its line at once, rather than the
    text and the newline apart, so the serving thread's console lines cannot land between the two.
    With a WriteRecorder as `stdout`, what the program writes goes there instead of the pipe."""

    def __init__(self, script, *args, stdout=None, unbuffered=False):
        self.port = free_port()
        self.address = f"127.0.0.1:{self.port}"
        self.process = subprocess.Popen(
            [sys.executable, str(script), self.address, *args],
            stdout=subprocess.PIPE if stdout is None else stdout.child_end,
            stderr=subprocess.PIPE, text=True, env=_buffered_env(unbuffered),
        )
        if stdout is not None:
            stdout.started()

    def interrupt(self, timeout=RUN_TIMEOUT):
        """Ctrl-C, as a user would press it; returns (exit status, stdout, stderr)."""
        time.sleep(0.2)  # past the start of the program's wait loop
        self.process.send_signal(signal.SIGINT)
        out, err = self.process.communicate(timeout=timeout)
        return self.process.returncode, out, err

    def kill(self):
        """Ends the server; returns its standard output (console lines included)."""
        if self.process.poll() is None:
            self.process.kill()
        out, _ = self.process.communicate(timeout=RUN_TIMEOUT)
        return out

    def __enter__(self):
        return self

    def __exit__(self, *exc_info):
        self.kill()


def client_env(home):
    """The environment for a client run whose history goes to `home`, not the user's."""
    env = dict(os.environ)
    env["HOME"] = str(home)
    env.pop("INPUTRC", None)
    return env
