"""Processes for the client tool and example tests: servers and velto-client runs, all bounded."""

import os
import shutil
import signal
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


def _buffered_env():
    env = dict(os.environ)
    env.pop("PYTHONUNBUFFERED", None)
    return env


class ServerProgram:
    """A Python program that runs a velto_protocol server on a fresh port, in its own process.

    Not unbuffered: a flushed print() then writes its line at once, rather than the text and the
    newline apart, so the serving thread's console lines cannot land between the two."""

    def __init__(self, script, *args):
        self.port = free_port()
        self.address = f"127.0.0.1:{self.port}"
        self.process = subprocess.Popen(
            [sys.executable, str(script), self.address, *args],
            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=_buffered_env(),
        )

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
