"""The example programs run as they are: against velto-client, stopped with Ctrl-C, type-checked."""

import subprocess
import sys
import textwrap

from tool_processes import EXAMPLES, RUN_TIMEOUT, ServerProgram, run_client

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
        "7 Busy ConfirmResult(true)",
        '7 Error ErrorResult("stick outside the unit square: (2, 0)")',
        '7 Error ErrorResult("intensity must lie in 0..1, not 1.5")',
        "no answer within 2 s",  # a click on 7 has no action: only the console says so
    ]
    assert "No key ClickButton_7 found\n" in out
    assert status == 0 and "Traceback" not in err
    assert "robot: stopping\n" in out


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
        """))
    done = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--cache-dir", str(tmp_path / "cache"),
         program.name], cwd=tmp_path, capture_output=True, text=True, timeout=240)
    lines = done.stdout.splitlines()
    assert any('Revealed type is "def (widget: velto_protocol.WidgetRegistry.Joystick) '
               '-> float"' in line for line in lines), done.stdout
    error_lines = sorted({int(line.split(":")[1]) for line in lines if ": error:" in line})
    assert error_lines == [8, 9, 10, 11, 12, 13], done.stdout
