"""Processes for the client tool and example tests: server program files (on the server programs
of velto_client) and velto-client runs, all bounded."""

import os
import select
import shutil
import signal
import socket
import subprocess
import sys
import time
from pathlib import Path

from velto_client import ServerProcess, free_port

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
        """The child has its copy: without ours, the reader sees the end when the child's goes."""
        self.child_end.close()

    def read(self, until=None, timeout=RUN_TIMEOUT):
        """Reads writes until `until` has been written, or else until the child's end is closed;
        the text written so far."""
        deadline = time.monotonic() + timeout
        while until is None or until not in b"".join(self.writes).decode(errors="replace"):
            left = deadline - time.monotonic()
            if left <= 0 or not select.select([self._reader], [], [], left)[0]:
                break
            if not (written := self._reader.recv(1 << 20)):
                break
            self.writes.append(written)
        return b"".join(self.writes).decode(errors="replace")

    def pieces(self):
        """The writes that did not end a line: where another writer's line could have landed."""
        return [written for written in self.writes if not written.endswith(b"\n")]

    def __enter__(self):
        return self

    def __exit__(self, *exc_info):
        self.child_end.close()
        self._reader.close()


class ServerProgram(ServerProcess):
    """A Python program file that runs a velto_protocol server on a fresh port, in its own
    process, given its address as its first argument.

    Not unbuffered unless asked: a flushed print() then writes its line at once, rather than the
    text and the newline apart, so the serving thread's console lines cannot land between the two.
    With a WriteRecorder as `stdout`, what the program writes goes there instead of the pipe."""

    def __init__(self, script, *args, stdout=None, unbuffered=False):
        self.port = free_port()
        self.address = f"127.0.0.1:{self.port}"
        super().__init__(command=[sys.executable, str(script), self.address, *map(str, args)],
                         stdout=None if stdout is None else stdout.child_end,
                         env=_buffered_env(unbuffered))
        if stdout is not None:
            stdout.started()

    def _ended(self, timeout):
        """Waits for the exit; returns (exit status, stdout, stderr) as texts."""
        code = self.process.wait(timeout)
        for reader in self._readers:
            reader.join(timeout)
        return code, self.text(self.out), self.text(self.err)

    def interrupt(self, timeout=RUN_TIMEOUT):
        """Ctrl-C, as a user would press it; returns (exit status, stdout, stderr)."""
        time.sleep(0.2)  # past the start of the program's wait loop
        self.process.send_signal(signal.SIGINT)
        return self._ended(timeout)

    def kill(self):
        """Ends the server; returns its standard output (console lines included)."""
        if self.process.poll() is None:
            self.process.kill()
        return self._ended(RUN_TIMEOUT)[1]


def client_env(home):
    """The environment for a client run whose history goes to `home`, not the user's."""
    env = dict(os.environ)
    env["HOME"] = str(home)
    env.pop("INPUTRC", None)
    return env
