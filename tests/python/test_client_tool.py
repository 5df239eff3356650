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
    (["toggle", "3", "on"], '3 Busy ErrorResult("ToggleButton_3 value=true")'),
    (["toggle", "3", "off"], '3 Busy ErrorResult("ToggleButton_3 value=false")'),
    (["confirm", "5"], "5 Idle ConfirmResult(true)"),
    (["press", "6", "down"], '6 Busy ErrorResult("PressButton_6 pressed=true")'),
    (["press", "6", "up"], '6 Busy ErrorResult("PressButton_6 pressed=false")'),
    (["direction", "4", "255"], '4 Busy ErrorResult("DirectionalButton_4 direction=255")'),
    (["joystick", "7", "0.5", "-1.0", "0.75"],
     '7 Busy ErrorResult("Joystick_7 delta=(0.5, -1.0) intensity=0.75")'),
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
        "> click 1",
        "1 Idle ConfirmResult(true)",
        "> toggle 3 on",
        '3 Busy ErrorResult("ToggleButton_3 value=true")',
        "> joystick 7 -0.25 1 1",
        '7 Busy ErrorResult("Joystick_7 delta=(-0.25, 1.0) intensity=1.0")',
    ]


def _many_bad_lines(count):
    return "".join(f"click {256 + n}\n" for n in range(count)).encode()


# What velto-client says on standard error, line by line, with S standing for the script's path.
@pytest.mark.parametrize(
    "content, said",
    [
        (b"click 1\ntoggle 3 maybe\nclick 1\n",
         ["S:2: expected one of on, true, 1, off, false, 0, not 'maybe'",
          "S: 1 bad line, nothing sent"]),
        (b"wave 1\nclick 1\n\nclick 300  # too far\ntoggle 'on\n",
         ["S:1: unknown command 'wave' (try 'help')",
          "S:4: widget id must be a number 0 to 255, not 300",
          "S:5: No closing quotation",
          "S: 3 bad lines, nothing sent"]),
        (_many_bad_lines(12),
         [f"S:{n + 1}: widget id must be a number 0 to 255, not {256 + n}" for n in range(10)]
         + ["... and 2 more", "S: 12 bad lines, nothing sent"]),
        (b"click 1\n\xff\n", ["cannot read S: not UTF-8 text (byte 0xff at offset 8)"]),
    ],
    ids=["one-bad-line", "three-bad-lines", "many-bad-lines", "not-text"],
)
def test_a_script_is_checked_whole_and_a_bad_one_sends_nothing(tmp_path, content, said):
    script = tmp_path / "session.txt"
    script.write_bytes(content)
    with socket.create_server(("127.0.0.1", 0)) as listener:
        done = run_client("127.0.0.1:%d" % listener.getsockname()[1], "--script", script)
        listener.setblocking(False)
        with pytest.raises(BlockingIOError):  # it did not even connect
            listener.accept()
    assert (done.returncode, done.stdout) == (2, "")
    assert done.stderr.splitlines() == ["velto-client: " + line.replace("S", str(script), 1)
                                        for line in said]


@pytest.mark.parametrize(
    "args, message",
    [
        (["127.0.0.1", "click", "1"], "HOST:PORT"),
        (["127.0.0.1:70000", "click", "1"], "port must be 1 to 65535, not 70000 (in '127.0.0.1:70000')"),
        (["127.0.0.1:0"], "port must be 1 to 65535, not 0"),
        ([], "the following arguments are required: address\n"),  # the command is optional
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


def test_help_says_when_it_stops_waiting_and_where_the_history_goes(tmp_path):
    done = run_client("--help", env=client_env(tmp_path))
    text = " ".join(done.stdout.split())  # as read, whatever the wrapping
    for said in ["address [command ...]", "(default 5; 0: a refused connection fails at once)",
                 "waits up to --timeout seconds for the first answer; once one has come, it "
                 "stops 0.2 s after the last (never past --timeout)",
                 f"history in {tmp_path}/.velto_client_history"]:
        assert said in text


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
    played = ["> click 1", "no answer within 0.3 s", "> toggle 3 on", "no answer within 0.3 s"]
    assert out.splitlines() == (played + ["reconnected (1 of 2)"] + played
                                + ["reconnected (2 of 2)"] + played)


def confirmation(widget_id):
    """The bytes of the answer [widget_id, "Idle", {"ConfirmResult": [true]}]."""
    return bytes([0x93, widget_id]) + b"\xa4Idle\x81\xadConfirmResult\x91\xc3"


class FakeServer:
    """A server played by hand. It accepts one client and, for each frame it reads, sends the
    replies planned for it, each after its delay ([(seconds, bytes)]); a plan of None hangs up.
    It listens only `listen_after` seconds after it is made (None: never), refusing until then."""

    def __init__(self, *plans, listen_after=0.0):
        self.listener = socket.socket()
        self.listener.bind(("127.0.0.1", 0))
        self.listener.settimeout(20)
        self.address = "127.0.0.1:%d" % self.listener.getsockname()[1]
        self.received = []
        self.replied = [threading.Event() for _ in plans]  # each plan's replies are sent
        self.thread = threading.Thread(target=self._serve, args=(plans, listen_after), daemon=True)
        self.thread.start()

    def _serve(self, plans, listen_after):
        if listen_after is None:
            return
        time.sleep(listen_after)
        self.listener.listen()
        try:
            connection, _ = self.listener.accept()
            with connection:
                connection.settimeout(20)
                for plan, replied in zip(plans, self.replied):
                    self.received.append(connection.recv(1024))
                    if plan is None:
                        return
                    for delay, reply in plan:
                        time.sleep(delay)
                        connection.sendall(reply)
                    replied.set()
                while connection.recv(1024):  # until the client has gone
                    pass
        except OSError:
            pass  # the client left while replies were still planned, or never came

    def __enter__(self):
        return self

    def __exit__(self, *exc_info):
        self.thread.join(30)
        self.listener.close()


@pytest.mark.parametrize(
    "wait, listen_after, status, seconds",
    [
        ([], 1.0, 0, (1.0, 5.0)),  # by default a server that starts listening soon is reached
        (["--connect-wait", "0"], None, 3, (0.0, 3.0)),  # refused at once
        (["--connect-wait", "1.5"], None, 3, (1.5, 5.0)),
    ],
    ids=["default", "none", "short"],
)
def test_connect_wait(wait, listen_after, status, seconds):
    with FakeServer([(0, confirmation(1))], listen_after=listen_after) as fake:
        started = time.monotonic()
        done = run_client(fake.address, "click", "1", *wait)
        elapsed = time.monotonic() - started
    assert done.returncode == status, done.stderr
    assert seconds[0] <= elapsed < seconds[1]
    assert (done.stdout + done.stderr).splitlines() == (
        ["1 Idle ConfirmResult(true)"] if status == 0
        else [f"velto-client: cannot connect to {fake.address}: Connection refused"])


@pytest.mark.parametrize(
    "plan, shown",
    [
        ([(0.5, confirmation(1))], [1]),  # the wait is for the first answer
        # 0.28 s in all, never 0.2 s without an answer
        ([(0, confirmation(1))] + [(0.07, confirmation(n)) for n in (2, 3, 4, 5)], [1, 2, 3, 4, 5]),
        ([(0, confirmation(1)), (0.7, confirmation(2))], [1]),  # quiet for 0.2 s: done
    ],
    ids=["first-answer-late", "answers-in-a-row", "answer-after-a-pause"],
)
def test_answers_are_awaited_until_a_quiet_moment(plan, shown):
    with FakeServer(plan) as fake:
        done = run_client(fake.address, "click", "1", "--timeout", "2")
    assert (done.returncode, done.stderr) == (0, "")
    assert done.stdout.splitlines() == [f"{n} Idle ConfirmResult(true)" for n in shown]


def test_an_answer_after_the_wait_comes_before_the_next_command(tmp_path):
    with FakeServer([(0.8, confirmation(1))], [(0, confirmation(2))]) as fake:
        client = subprocess.Popen(velto_client_command() + [fake.address, "--timeout", "0.3"],
                                  stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                  stderr=subprocess.PIPE, text=True, env=client_env(tmp_path))
        try:
            client.stdin.write("click 1\n")
            client.stdin.flush()
            assert fake.replied[0].wait(20)
            time.sleep(0.2)  # the answer on its way
            out, err = client.communicate("click 2\n", timeout=RUN_TIMEOUT)
        finally:
            if client.poll() is None:
                client.kill()
                client.communicate()
    assert (client.returncode, err) == (0, "")
    assert out.splitlines() == ["> click 1", "no answer within 0.3 s",
                                "late answer: 1 Idle ConfirmResult(true)",
                                "> click 2", "2 Idle ConfirmResult(true)"]


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
    with FakeServer(None if reply is None else [(0, reply)]) as fake:
        done = run_client(fake.address, "toggle", "3", "on", "--timeout", "5")
    assert fake.received == [bytes.fromhex("9203 81 ac") + b"ToggleButton" + bytes.fromhex("91c3")]
    assert done.returncode == status
    assert message in done.stderr


def test_piped_commands_go_on_after_a_bad_line(tmp_path):
    with ServerProgram(ANSWERING_SERVER) as server:
        done = run_client(server.address, *WAIT, env=client_env(tmp_path),
                          stdin_text="press 6 sideways\npress 6 down\nquit\nclick 1\n")
    assert done.returncode == 0, done.stderr
    assert done.stdout.splitlines() == [
        "> press 6 sideways",
        "error: expected one of down, true, 1, up, false, 0, not 'sideways'",
        "> press 6 down",
        '6 Busy ErrorResult("PressButton_6 pressed=true")',
        "> quit",
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
        terminal.expect('4 Busy ErrorResult("DirectionalButton_4 direction=2")')
        terminal.expect("velto> ")
        terminal.type("\x1b[A\n")  # arrow up recalls the last line: the same frame again
        terminal.expect('4 Busy ErrorResult("DirectionalButton_4 direction=2")')
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
