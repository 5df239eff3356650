"""velto-client end to end: the installed console script against a real server process."""

import os
import pty
import select
import socket
import subprocess
import sys
import threading
import time
from pathlib import Path

import pytest

from tool_processes import RUN_TIMEOUT, ServerProgram, client_env, run_client, velto_client_command

ANSWERING_SERVER = Path(__file__).with_name("answering_server.py")
WAIT = ("--connect-wait", "20")

COMMANDS = [
    (["click", "1"], "1 Idle ConfirmResult(true)"),
    (["toggle", "3", "on"], '3 Busy ErrorResult("toggle value=True")'),
    (["toggle", "3", "off"], '3 Busy ErrorResult("toggle value=False")'),
    (["confirm", "5"], "5 Idle ConfirmResult(true)"),
    (["press", "6", "down"], '6 Busy ErrorResult("press pressed=True")'),
    (["press", "6", "up"], '6 Busy ErrorResult("press pressed=False")'),
    (["direction", "4", "255"], '4 Busy ErrorResult("direction 255")'),
    (["joystick", "7", "0.5", "-1.0", "0.75"], '7 Busy ErrorResult("joystick (0.5, -1.0) 0.75")'),
]


@pytest.mark.parametrize("form", [[], ["--map"]], ids=["array", "map"])
@pytest.mark.parametrize("words, answer", COMMANDS, ids=[" ".join(c[0]) for c in COMMANDS])
def test_command_reaches_the_action_and_its_answer_is_printed(words, answer, form):
    with ServerProgram(ANSWERING_SERVER) as server:
        done = run_client(server.address, *words, *form, *WAIT)
        console = server.kill()
    assert (done.returncode, done.stdout, done.stderr) == (0, answer + "\n", "")
    assert "running action\n" in console and "after function\n" in console


def test_silence_is_reported_but_is_no_error():
    with ServerProgram(ANSWERING_SERVER) as server:
        started = time.monotonic()
        done = run_client(server.address, "click", "9", "--timeout", "1.5", *WAIT)
        elapsed = time.monotonic() - started
        console = server.kill()
    assert (done.returncode, done.stdout) == (0, "no answer within 1.5 s\n")
    assert elapsed >= 1.5
    assert "No key ClickButton_9 found\n" in console


def test_script_runs_every_line_in_order(tmp_path):
    script = tmp_path / "session.txt"
    script.write_text("# a session\nclick 1\n\n  toggle 3 on   # lamp\njoystick 7 -0.25 1 1\n")
    with ServerProgram(ANSWERING_SERVER) as server:
        done = run_client("--script", script, server.address, *WAIT)
    assert done.returncode == 0, done.stderr
    assert done.stdout.splitlines() == [
        "1 Idle ConfirmResult(true)",
        '3 Busy ErrorResult("toggle value=True")',
        '7 Busy ErrorResult("joystick (-0.25, 1.0) 1.0")',
    ]


def test_script_stops_at_a_bad_line_naming_it(tmp_path):
    script = tmp_path / "session.txt"
    script.write_text("click 1\ntoggle 3 maybe\nclick 1\n")
    with ServerProgram(ANSWERING_SERVER) as server:
        done = run_client(server.address, "--script", script, *WAIT)
    assert done.returncode == 2
    assert done.stdout == "1 Idle ConfirmResult(true)\n"
    assert f"{script}:2:" in done.stderr and "maybe" in done.stderr


@pytest.mark.parametrize(
    "args, message",
    [
        (["127.0.0.1", "click", "1"], "HOST:PORT"),
        (["127.0.0.1:1", "wave", "1"], "unknown command 'wave'"),
        (["127.0.0.1:1", "click", "256"], "0 to 255"),
        (["127.0.0.1:1", "direction", "4", "-1"], "0 to 255"),
        (["127.0.0.1:1", "joystick", "7", "0.5", "x", "1"], "expected a number"),
        (["127.0.0.1:1", "toggle", "3"], "usage: toggle ID on|off"),
        (["127.0.0.1:1", "click", "1", "--timeout", "0"], "--timeout must be positive"),
        (["127.0.0.1:1", "--script", "/nonexistent/session.txt"], "cannot read"),
        (["127.0.0.1:1", "click", "1", "--reconnect", "-1"], "--reconnect must not be negative"),
        (["127.0.0.1:1", "--reconnect", "2"], "--reconnect needs a command or --script"),
    ],
)
def test_usage_errors_exit_2_before_connecting(args, message):
    done = run_client(*args)
    assert done.returncode == 2
    assert message in done.stderr


def test_reconnect_plays_the_script_again_on_each_new_connection(tmp_path):
    script = tmp_path / "session.txt"
    script.write_text("click 1\ntoggle 3 on\n")
    listener = socket.create_server(("127.0.0.1", 0))
    listener.settimeout(20)
    address = "127.0.0.1:%d" % listener.getsockname()[1]
    client = subprocess.Popen(velto_client_command() + [address, "--script", str(script),
                                                        "--timeout", "0.3", "--reconnect", "2"],
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    received = []
    try:
        for _ in range(3):
            connection, _ = listener.accept()
            with connection:
                connection.settimeout(20)
                data = b""
                while chunk := connection.recv(1024):  # until the tool drops the connection
                    data += chunk
                received.append(data)
        out, err = client.communicate(timeout=RUN_TIMEOUT)
    finally:
        listener.close()
        if client.poll() is None:
            client.kill()
            client.communicate()
    assert client.returncode == 0, err
    frames = bytes.fromhex("9201 81 ab 436c69636b427574746f6e 90"
                           "9203 81 ac 546f67676c65427574746f6e 91 c3")
    assert received == [frames] * 3
    assert out.splitlines() == ["no answer within 0.3 s"] * 2 + ["reconnected (1 of 2)"] + [
        "no answer within 0.3 s"] * 2 + ["reconnected (2 of 2)"] + ["no answer within 0.3 s"] * 2


def test_refused_connection_exits_3():
    with socket.socket() as probe:  # a port that nothing listens on
        probe.bind(("127.0.0.1", 0))
        port = probe.getsockname()[1]
        done = run_client(f"127.0.0.1:{port}", "click", "1")
    assert done.returncode == 3
    assert f"cannot connect to 127.0.0.1:{port}" in done.stderr


class FakeServer:
    """Accepts one client, reads its frame, then answers with `reply` bytes (None: hangs up)."""

    def __init__(self, reply):
        self.listener = socket.create_server(("127.0.0.1", 0))
        self.listener.settimeout(20)
        self.address = "127.0.0.1:%d" % self.listener.getsockname()[1]
        self.received = b""
        self.thread = threading.Thread(target=self._serve, args=(reply,), daemon=True)
        self.thread.start()

    def _serve(self, reply):
        connection, _ = self.listener.accept()
        with connection:
            connection.settimeout(20)
            self.received = connection.recv(1024)
            if reply is not None:
                connection.sendall(reply)
                time.sleep(1)

    def __enter__(self):
        return self

    def __exit__(self, *exc_info):
        self.thread.join(30)
        self.listener.close()


@pytest.mark.parametrize(
    "reply, status, message",
    [
        (None, 3, "closed the connection"),
        (b"\xc1", 4, "undecodable"),
        (b"\x92\x01\x02", 4, "not a result frame"),
        (b"\x93\x01\xa4Nope\x81\xadConfirmResult\x91\xc3", 4, "bad status"),
        (b"\x93\x01\xa4Idle\x81\xadConfirmResult\x91\x01", 4, "bad result payload"),
    ],
    ids=["hang-up", "reserved-byte", "short-array", "unknown-status", "non-bool-confirm"],
)
def test_broken_connection_and_bad_answers_exit_non_zero(reply, status, message):
    with FakeServer(reply) as fake:
        done = run_client(fake.address, "toggle", "3", "on", "--timeout", "5")
    assert fake.received == bytes.fromhex("9203 81 ac") + b"ToggleButton" + bytes.fromhex("91c3")
    assert done.returncode == status
    assert message in done.stderr


def test_piped_commands_go_on_after_a_bad_line(tmp_path):
    with ServerProgram(ANSWERING_SERVER) as server:
        done = run_client(server.address, *WAIT, env=client_env(tmp_path),
                          stdin_text="press 6 sideways\npress 6 down\nquit\nclick 1\n")
    assert done.returncode == 0, done.stderr
    assert done.stdout.splitlines() == [
        "error: expected one of down, true, 1, up, false, 0, not 'sideways'",
        '6 Busy ErrorResult("press pressed=True")',
    ]


class Terminal:
    """velto-client on a pseudo-terminal, read with a deadline for every expected text."""

    def __init__(self, args, env):
        self.pid, self.fd = pty.fork()
        if self.pid == 0:  # the child: become velto-client
            command = velto_client_command() + args
            os.execve(command[0], command, env)
        self.seen = ""

    def expect(self, text, timeout=20):
        deadline = time.monotonic() + timeout
        while text not in self.seen:
            left = deadline - time.monotonic()
            assert left > 0, f"{text!r} not seen; the terminal shows {self.seen!r}"
            if select.select([self.fd], [], [], left)[0]:
                try:
                    self.seen += os.read(self.fd, 4096).decode(errors="replace")
                except OSError:  # the child has gone and the terminal is closed
                    break
        assert text in self.seen, f"{text!r} not seen; the terminal shows {self.seen!r}"
        shown, self.seen = self.seen, self.seen[self.seen.index(text) + len(text):]
        return shown

    def type(self, keys):
        os.write(self.fd, keys.encode())

    def exit_status(self, timeout=20):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            pid, status = os.waitpid(self.pid, os.WNOHANG)
            if pid:
                os.close(self.fd)
                return os.waitstatus_to_exitcode(status)
            time.sleep(0.05)
        os.kill(self.pid, 9)
        os.waitpid(self.pid, 0)
        pytest.fail("velto-client did not leave its prompt")


def test_prompt_with_help_and_history(tmp_path):
    with ServerProgram(ANSWERING_SERVER) as server:
        terminal = Terminal([server.address, *WAIT], client_env(tmp_path))
        terminal.expect("velto> ")
        terminal.type("help\n")
        assert "joystick ID X Y INTENSITY" in terminal.expect("velto> ")
        terminal.type("direction 4 2\n")
        terminal.expect('4 Busy ErrorResult("direction 2")')
        terminal.expect("velto> ")
        terminal.type("\x1b[A\n")  # arrow up recalls the last line: the same frame again
        terminal.expect('4 Busy ErrorResult("direction 2")')
        terminal.expect("velto> ")
        terminal.type("quit\n")
        status = terminal.exit_status()
    assert status == 0
    history = (tmp_path / ".velto_client_history").read_text().splitlines()
    assert history[-1] == "quit" and "direction 4 2" in history


def test_missing_msgpack_says_how_to_get_it():
    """Without the [client] extra the command explains itself instead of a traceback."""
    program = ("import sys; sys.modules['msgpack'] = None\n"
               "from velto_client_tool.entry import main\n"
               "sys.exit(main(['127.0.0.1:1', 'click', '1']))")
    done = subprocess.run([sys.executable, "-c", program], capture_output=True, text=True,
                          timeout=RUN_TIMEOUT)
    assert done.returncode == 2
    assert "pip install 'velto_protocol[client]'" in done.stderr
    assert "Traceback" not in done.stderr
