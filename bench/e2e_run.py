"""Starting one benchmark server in its own process, talking to it, and stopping it."""

import json
import os
import select
import socket
import subprocess
import sys
import time
from pathlib import Path

BENCH_DIR = Path(__file__).resolve().parent
SERVER_SCRIPTS = {
    "ours": BENCH_DIR / "e2e_server_ours.py",
    "peer": BENCH_DIR / "e2e_server_peer.py",
    "uvloop": BENCH_DIR / "e2e_server_uvloop.py",
}
# The servers compared with ours: the asyncio one and the uvloop + msgspec one.
PEERS = ("peer", "uvloop")


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


class ServerProcess:
    """One server process on 127.0.0.1, its client connection and its report pipe.

    `wrapper` runs the server under a tool (valgrind, strace); `stdout` is where its console
    lines go; `args` are more of the server's options (e2e_common.parse_arguments). Every wait
    is bounded by `timeout` seconds.
    """

    def __init__(self, kind, *, frames=0, idle=0.0, mark=0, stamp=False, stdout=None,
                 wrapper=(), extra_env=None, timeout=120.0, args=()):
        self.timeout = timeout
        port = free_port()
        read_end, write_end = os.pipe()
        command = [*wrapper, sys.executable, str(SERVER_SCRIPTS[kind]), "--port", str(port),
                   "--report-fd", str(write_end), "--frames", str(frames), "--idle", str(idle),
                   "--mark", str(mark)] + (["--stamp"] if stamp else []) + list(args)
        # A fixed hash seed keeps instruction counts repeatable from run to run.
        environment = dict(os.environ, PYTHONHASHSEED="0", **(extra_env or {}))
        self.process = subprocess.Popen(command, stdout=stdout if stdout is not None else
                                        subprocess.DEVNULL, pass_fds=(write_end,),
                                        cwd=BENCH_DIR, env=environment)
        os.close(write_end)
        self.reports = os.fdopen(read_end, "rb")
        self.pending = b""
        self.connection = self._connect(port)

    def _connect(self, port):
        deadline = time.monotonic() + self.timeout
        while True:
            try:
                connection = socket.create_connection(("127.0.0.1", port), timeout=self.timeout)
                connection.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
                return connection
            except OSError:
                if self.process.poll() is not None or time.monotonic() > deadline:
                    self.close()
                    raise RuntimeError(f"the server ({self.process.args}) never listened")
                time.sleep(0.02)

    def expect(self, field):
        """The next report line, which must carry `field`."""
        deadline = time.monotonic() + self.timeout
        while b"\n" not in self.pending:
            left = deadline - time.monotonic()
            ready, _, _ = select.select([self.reports], [], [], max(left, 0))
            if not ready:
                raise RuntimeError(f"no '{field}' report within {self.timeout} s")
            chunk = os.read(self.reports.fileno(), 65536)
            if not chunk:
                raise RuntimeError(f"the server ended before its '{field}' report")
            self.pending += chunk
        line, self.pending = self.pending.split(b"\n", 1)
        report = json.loads(line)
        if field not in report:
            raise RuntimeError(f"expected '{field}', got {report}")
        return report

    def close(self):
        self.connection_close()
        try:
            self.process.wait(timeout=self.timeout)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
        self.reports.close()

    def connection_close(self):
        connection = getattr(self, "connection", None)
        if connection is not None:
            connection.close()
            self.connection = None

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
