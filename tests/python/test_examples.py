"""The example programs run as they are: against velto-client, stopped with Ctrl-C, type-checked."""

import ast
import getpass
import importlib.util
import os
import re
import shlex
import shutil
import socket
import subprocess
import sys
import textwrap
import threading

import pytest

from tool_processes import EXAMPLES, RUN_TIMEOUT, ServerProgram, WriteRecorder, run_client
from velto_client import free_port

WAIT = ("--connect-wait", "20")


def test_lamp_switches_and_stops_on_ctrl_c():
    with ServerProgram(EXAMPLES / "lamp.py") as lamp:
        done = run_client(lamp.address, "toggle", "3", "on", *WAIT)
        status, out, err = lamp.interrupt()
    assert (done.returncode, done.stdout) == (0, "3 Idle ConfirmResult(true)\n")
    assert status == 0, err
    assert "lamp on\n" in out and "lamp: stopping\n" in out


def test_robot_refuses_out_of_range_input_and_stops_on_ctrl_c(tmp_path):
    script = tmp_path / "drive.txt"
    script.write_text("joystick 7 0.5 -1 0.75\njoystick 7 2 0 1\njoystick 7 0 0 1.5\nclick 7\n")
    with ServerProgram(EXAMPLES / "joystick_robot.py") as robot:
        done = run_client(robot.address, "--script", script, "--timeout", "2", *WAIT)
        status, out, err = robot.interrupt()
    assert done.returncode == 0, done.stderr
    assert done.stdout.splitlines() == [
        "> joystick 7 0.5 -1 0.75",
        "7 Busy ConfirmResult(true)",
        "> joystick 7 2 0 1",
        '7 Error ErrorResult("stick outside the unit square: (2, 0)")',
        "> joystick 7 0 0 1.5",
        '7 Error ErrorResult("intensity must lie in 0..1, not 1.5")',
        "> click 7",
        "no answer within 2 s",  # a click on 7 has no action: only the console says so
    ]
    assert "No key ClickButton_7 found\n" in out
    assert status == 0 and "Traceback" not in err
    assert "robot: stopping\n" in out


def test_reconnect_takes_phone_after_phone_and_stops_on_ctrl_c():
    with ServerProgram(EXAMPLES / "reconnect.py") as lamp:
        done = run_client(lamp.address, "toggle", "3", "on", "--reconnect", "2", *WAIT)
        status, out, err = lamp.interrupt()
    assert done.returncode == 0, done.stderr
    assert done.stdout.splitlines() == [
        "3 Idle ConfirmResult(true)", "reconnected (1 of 2)",
        "3 Idle ConfirmResult(true)", "reconnected (2 of 2)",
        "3 Idle ConfirmResult(true)",
    ]
    said = [line for line in out.splitlines() if line.startswith("lamp")]
    waiting = f"lamp: waiting for a phone on {lamp.address}"
    expected = [waiting] + [line for phone in (1, 2, 3) for line in (
        f"lamp: phone {phone} connected", "lamp on", f"lamp: phone {phone} disconnected", waiting)]
    # Ctrl-C may come before the lamp has seen the third phone leave: it stops in either wait.
    assert said in (expected + ["lamp: stopping"], expected[:-2] + ["lamp: stopping"]), out
    assert status == 0 and err == ""


def _docstring_session(example):
    """What an example's docstring says to run: its own command line, then each velto-client run
    (its arguments, and the lines typed at its prompt)."""
    lines = ast.get_docstring(ast.parse((EXAMPLES / example).read_text())).splitlines()
    commands = [line.strip() for line in lines if line.startswith("    ")]
    assert shlex.split(commands[0], comments=True)[:2] == ["python", f"examples/{example}"]
    runs = []
    for command in commands[1:]:
        if command.startswith("velto> "):
            runs[-1][1].append(command[len("velto> "):])
        else:
            words = shlex.split(command, comments=True)
            assert words[0] == "velto-client", command
            runs.append((words[1:], []))
    return runs


# What each velto-client run of a docstring prints, run by run.
DOCSTRING_ANSWERS = {
    "lamp.py": [["3 Idle ConfirmResult(true)"]],
    "joystick_robot.py": [["> joystick 7 0.5 -1 0.75", "7 Busy ConfirmResult(true)",
                           "> joystick 7 2 0 1",
                           '7 Error ErrorResult("stick outside the unit square: (2, 0)")',
                           "> quit"]],
    "reconnect.py": [["3 Idle ConfirmResult(true)", "reconnected (1 of 2)",
                      "3 Idle ConfirmResult(true)", "reconnected (2 of 2)",
                      "3 Idle ConfirmResult(true)"]],
    "asyncio_robot.py": [["3 Idle ConfirmResult(true)", "reconnected (1 of 2)",
                          "3 Idle ConfirmResult(true)", "reconnected (2 of 2)",
                          "3 Idle ConfirmResult(true)"],
                         ["5 Idle ConfirmResult(true)"]],
}


@pytest.mark.parametrize("example", sorted(DOCSTRING_ANSWERS))
def test_the_session_in_an_example_docstring_runs_as_written(example):
    """The commands one after the other, as a reader types them once the program says it waits;
    unbuffered, as under systemd with PYTHONUNBUFFERED, every line still leaves in one write."""
    runs = _docstring_session(example)
    with WriteRecorder() as stdout, ServerProgram(EXAMPLES / example, stdout=stdout,
                                                  unbuffered=True) as program:
        assert f" on {program.address}\n" in stdout.read(until=f" on {program.address}\n")
        done = [run_client(*[program.address if a == "127.0.0.1:5000" else a for a in args],
                           stdin_text="".join(f"{line}\n" for line in typed) if typed else None)
                for args, typed in runs]
        status, _, err = program.interrupt()
        written = stdout.read()
    assert [run.stdout.splitlines() for run in done] == DOCSTRING_ANSWERS[example], [
        run.stderr for run in done]
    assert status == 0 and "Traceback" not in err, err
    assert "stopping\n" in written and stdout.pieces() == [], written


def test_make_demo_plays_its_session():
    """examples/demo.py with the client on the same standard output, each writing whole lines."""
    with WriteRecorder() as stdout:
        demo = subprocess.run([sys.executable, str(EXAMPLES / "demo.py")], stdout=stdout.child_end,
                              stderr=subprocess.PIPE, text=True, timeout=RUN_TIMEOUT * 2,
                              env=dict(os.environ, PYTHONUNBUFFERED="1"))
        stdout.started()
        written = stdout.read()
    assert (demo.returncode, demo.stderr) == (0, "")
    assert "> direction 4 9\n" + "Received size : 23\n" in written
    assert "3 Idle ConfirmResult(false)\nserver: client finished cleanly\n" in written
    assert written.count("\n> ") == 6, written
    assert stdout.pieces() == []


def test_the_readme_lists_every_example():
    section = (EXAMPLES.parent / "README.md").read_text().split("\n## Examples\n", 1)[1]
    listed = set(re.findall(r"^- `examples/([a-z_]+\.py)`", section.split("\n## ", 1)[0], re.M))
    assert listed == {path.name for path in EXAMPLES.glob("*.py")}


def _readme_block(title, language="python"):
    """The first block in `language` of the README section `title`, as a reader would copy it."""
    text = (EXAMPLES.parent / "README.md").read_text()
    section = text.split(f"\n## {title}\n", 1)[1].split("\n## ", 1)[0]
    return section.split(f"```{language}\n", 1)[1].split("```", 1)[0]


def _service_program(tmp_path):
    program = tmp_path / "lamp_service.py"
    program.write_text(_readme_block("Running it for real"))
    return program


def test_the_readme_service_serves_phone_after_phone_and_logs_it(tmp_path):
    with ServerProgram(_service_program(tmp_path)) as service:
        done = run_client(service.address, "toggle", "3", "on", "--reconnect", "1", *WAIT)
        _, out, err = service.interrupt()
    assert done.stdout.count("3 Idle ConfirmResult(true)\n") == 2, done.stderr
    log = err.splitlines()
    assert log.count("INFO lamp: phone connected") == 2 and log.count("INFO lamp: lamp on") == 2
    assert "INFO lamp: phone disconnected" in log  # the second may still be served at Ctrl-C
    assert out.count("running action\n") == 2  # console lines on standard output


def test_the_readme_service_fails_when_it_cannot_listen_so_systemd_restarts_it(tmp_path):
    with socket.create_server(("127.0.0.1", 0)) as holder:  # another program has the port
        address = "127.0.0.1:%d" % holder.getsockname()[1]
        done = subprocess.run([sys.executable, str(_service_program(tmp_path)), address],
                              capture_output=True, text=True, timeout=RUN_TIMEOUT)
    assert done.returncode == 1
    assert "PanicException: Unable to intanstiate TCP Listener." in done.stderr


@pytest.mark.skipif(shutil.which("systemd-analyze") is None, reason="needs systemd-analyze")
def test_the_readme_unit_file_is_one_systemd_accepts(tmp_path):
    """The unit as shown, with this machine's user and paths in place of the Pi's."""
    unit = _readme_block("Running it for real", "ini")
    assert "Restart=on-failure" in unit.splitlines()
    for shown, here in [("User=pi", f"User={getpass.getuser()}"),
                        ("/home/pi/lamp/.venv/bin/python", sys.executable),
                        ("/home/pi/lamp/lamp_service.py", str(_service_program(tmp_path))),
                        ("WorkingDirectory=/home/pi/lamp", f"WorkingDirectory={tmp_path}")]:
        assert shown in unit
        unit = unit.replace(shown, here)
    path = tmp_path / "lamp.service"
    path.write_text(unit)
    done = subprocess.run(["systemd-analyze", "verify", str(path)], capture_output=True,
                          text=True, timeout=RUN_TIMEOUT)
    assert done.returncode == 0 and str(path) not in done.stdout + done.stderr, done.stderr


def test_the_readme_reconnect_loop_runs_as_shown(tmp_path):
    program = tmp_path / "reconnect_loop.py"
    port = free_port()
    program.write_text(_readme_block("Reconnecting").replace("0.0.0.0:5000", f"127.0.0.1:{port}"))
    loop = subprocess.Popen([sys.executable, "-u", str(program)], stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True)
    watchdog = threading.Timer(RUN_TIMEOUT, loop.kill)  # bounds the reading below
    watchdog.start()
    seen = []
    try:
        done = run_client(f"127.0.0.1:{port}", "toggle", "3", "off", "--reconnect", "2", *WAIT)
        while seen.count("phone disconnected\n") < 3 and (line := loop.stdout.readline()):
            seen.append(line)
    finally:
        watchdog.cancel()
        loop.kill()
        _, err = loop.communicate(timeout=RUN_TIMEOUT)
    assert done.stdout.count("3 Idle ConfirmResult(false)\n") == 3, done.stderr
    assert seen.count("phone disconnected\n") == 3 and err == "", "".join(seen)


def test_debug_records_reach_the_logging_module():
    done = subprocess.run([sys.executable, str(EXAMPLES / "debug_logging.py")],
                          capture_output=True, text=True, timeout=RUN_TIMEOUT)
    assert done.returncode == 0, done.stderr
    assert done.stdout == "the handler says down\n"
    assert done.stderr.splitlines() == [
        "DEBUG velto_protocol.server.com_socket: register action: ClickButton",
        "DEBUG velto_protocol.server.com_socket: register action: PressButton",
        "DEBUG velto_protocol.server.com_socket: decorated call",
    ]


# mypy is part of the main test run's tools, not of every interpreter's; the program below
# uses a match statement.
@pytest.mark.skipif(importlib.util.find_spec("mypy") is None or sys.version_info < (3, 10),
                    reason="needs mypy and Python 3.10 or later")
def test_stubs_catch_mistakes_in_a_program_outside_the_project(tmp_path):
    """mypy, run where only the installed distribution is visible, sees the module's types:
    the decorated function keeps its own, and each misuse below is an error on its line."""
    program = tmp_path / "program.py"
    program.write_text(textwrap.dedent("""\
        import velto_protocol as vp
        from velto_protocol import ServerStatus, WidgetRegistry
        server = vp.VeltoPiServer.use_socket("127.0.0.1:5000")
        @vp.on(server)
        def Joystick_7(widget: WidgetRegistry.Joystick) -> float:
            return widget.delta.x + widget.intensity
        reveal_type(Joystick_7)
        server.callback(7, 1, vp.ConfirmResult(True))  # E: status
        server.callback(7, ServerStatus.Idle, "ok")  # E: data
        WidgetRegistry.ToggleButton(1)  # E: bool wanted
        WidgetRegistry.Joystick(None, 0.5)  # E: Coord wanted
        ServerStatus.Idle.value  # E: no such attribute
        vp.ComSocketServer(5000)  # E: address is a str
        def take(widget: WidgetRegistry) -> bool:
            match widget:
                case WidgetRegistry.PressButton(pressed):
                    return pressed
            return isinstance(widget, WidgetRegistry.ClickButton)
        def toggle(widget: WidgetRegistry.ToggleButton) -> None: ...
        server.on(3, "Toggle", toggle)  # E: no such widget kind
        server.on(3, "ToggleButton", toggle)
        """))
    done = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--cache-dir", str(tmp_path / "cache"),
         program.name], cwd=tmp_path, capture_output=True, text=True, timeout=240)
    lines = done.stdout.splitlines()
    assert any('Revealed type is "def (widget: velto_protocol.WidgetRegistry.Joystick) '
               '-> float"' in line for line in lines), done.stdout
    error_lines = sorted({int(line.split(":")[1]) for line in lines if ": error:" in line})
    assert error_lines == [8, 9, 10, 11, 12, 13, 20], done.stdout


def test_asyncio_robot_answers_from_its_loop_takes_phone_after_phone_and_stops_on_ctrl_c(tmp_path):
    script = tmp_path / "drive.txt"
    script.write_text("toggle 3 on\ndirection 5 1\ndirection 5 9\n")
    with ServerProgram(EXAMPLES / "asyncio_robot.py") as robot:
        first = run_client(robot.address, "--script", script, "--timeout", "5", *WAIT)
        again = run_client(robot.address, "toggle", "3", "off", "--reconnect", "1", *WAIT)
        status, out, err = robot.interrupt()
    assert first.returncode == 0 and again.returncode == 0, first.stderr + again.stderr
    assert first.stdout.splitlines() == [
        "> toggle 3 on", "3 Idle ConfirmResult(true)",
        "> direction 5 1", "5 Idle ConfirmResult(true)",
        "> direction 5 9", '5 Error ErrorResult("no direction 9")',
    ]
    assert again.stdout.splitlines() == [
        "3 Idle ConfirmResult(false)", "reconnected (1 of 1)", "3 Idle ConfirmResult(false)",
    ]
    said = [line for line in out.splitlines() if line.startswith("robot") and "battery" not in line]
    waiting = f"robot: waiting for a phone on {robot.address}"
    assert said[:5] == [
        waiting, "robot: phone 1 connected", "robot: motors on", "robot: facing right",
        "robot: phone 1 disconnected",
    ], out
    # Ctrl-C may come before the robot has seen the third phone leave.
    assert "robot: phone 3 connected" in said and said[-1] == "robot: stopping", out
    assert status == 0 and err == "", err
