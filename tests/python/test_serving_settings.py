"""The serving thread's settings on ComSocketServer: read_interval, console_lines and latest_only,
their values and refusals in this interpreter, and what a serving thread does with them in a
server program run in a subprocess (its fd 1 read line by line)."""

import math
import socket

import pytest

import velto_protocol

from velto_client import frame, joystick

# ---- values: defaults, what reads back, what is refused --------------------------------------

DEFAULTS = {"read_interval": 0.5, "console_lines": True, "latest_only": frozenset()}

# (attribute, value set, value read back)
ACCEPTED = [
    ("read_interval", 0, 0.0),
    ("read_interval", 0.01, 0.01),
    ("read_interval", 3600, 3600.0),
    ("console_lines", False, False),
    ("latest_only", ["Joystick", "Joystick"], frozenset({"Joystick"})),
    ("latest_only", (kind for kind in ("PressButton", "Joystick")),
     frozenset({"PressButton", "Joystick"})),
    ("latest_only", frozenset(), frozenset()),
]

# (attribute, value, exception, exact text or None when only the type is fixed)
REFUSED = [
    ("read_interval", True, TypeError, "read_interval must be a number of seconds, not bool"),
    ("read_interval", "0.5", TypeError, "read_interval must be a number of seconds, not str"),
    ("read_interval", None, TypeError, "read_interval must be a number of seconds, not NoneType"),
    ("read_interval", -1, ValueError, "read_interval must be finite and from 0 to 3600, not -1"),
    ("read_interval", 3600.5, ValueError,
     "read_interval must be finite and from 0 to 3600, not 3600.5"),
    ("read_interval", math.nan, ValueError,
     "read_interval must be finite and from 0 to 3600, not nan"),
    ("read_interval", math.inf, ValueError,
     "read_interval must be finite and from 0 to 3600, not inf"),
    ("read_interval", 10**400, ValueError, None),
    ("console_lines", 1, TypeError, "console_lines must be True or False, not int"),
    ("latest_only", "Joystick", TypeError,
     "latest_only must be an iterable of widget kind names, not str"),
    ("latest_only", 7, TypeError, "latest_only must be an iterable of widget kind names, not int"),
    ("latest_only", ["Joystick", 7], TypeError,
     "latest_only must hold widget kind names (str), not int"),
    ("latest_only", {"Joystik"}, ValueError,
     "latest_only: unknown widget kind 'Joystik' (one of ClickButton, ToggleButton, "
     "ConfirmButton, PressButton, DirectionalButton, Joystick)"),
]


@pytest.fixture
def server():
    return velto_protocol.ComSocketServer("127.0.0.1:0")


@pytest.mark.parametrize("attribute", list(DEFAULTS))
def test_default_and_deletion(server, attribute):
    assert getattr(server, attribute) == DEFAULTS[attribute]
    with pytest.raises(TypeError, match=f"cannot delete {attribute}"):
        delattr(server, attribute)


@pytest.mark.parametrize("attribute, value, read_back", ACCEPTED)
def test_accepted_values_read_back(server, attribute, value, read_back):
    setattr(server, attribute, value)
    assert getattr(server, attribute) == read_back
    assert type(getattr(server, attribute)) is type(read_back)


@pytest.mark.parametrize("attribute, value, exception, text", REFUSED)
def test_refused_values_keep_the_setting(server, attribute, value, exception, text):
    with pytest.raises(exception) as raised:
        setattr(server, attribute, value)
    if text is not None:
        assert str(raised.value) == text
    assert type(raised.value) is exception
    assert getattr(server, attribute) == DEFAULTS[attribute]


# ---- what a serving thread does with them ------------------------------------------------------

ACTIONS = """
def show(widget):
    if isinstance(widget, W.Joystick):
        print("joystick", widget.delta.x)
    else:
        print("toggle", widget.value)

for widget_id, kind in [(7, "Joystick"), (8, "Joystick"), (3, "ToggleButton")]:
    server.on(widget_id, kind, show)
"""

# Seven frames sent at once: joysticks 7 and 8 moving, toggle 3 between them.
WAITING = [joystick(7, 0.25, 0, 1), frame(3, "ToggleButton", True), joystick(7, 0.5, 0, 1),
           joystick(8, 0.75, 0, 1), joystick(7, 1.0, 0, 1), frame(3, "ToggleButton", False),
           joystick(8, -1.0, 0, 1)]
ALL_OF_THEM = ["joystick 0.25", "toggle True", "joystick 0.5", "joystick 0.75",
               "joystick 1.0", "toggle False", "joystick -1.0"]

# latest_only -> the actions that run, in order: a superseded frame is dropped, the newest of
# each widget keeps its place, other kinds and other widgets are untouched.
LATEST_ONLY = {
    "default, nothing dropped": (None, ALL_OF_THEM),
    "Joystick": ({"Joystick"},
                 ["toggle True", "joystick 1.0", "toggle False", "joystick -1.0"]),
    "ToggleButton": ({"ToggleButton"}, [line for line in ALL_OF_THEM if line != "toggle True"]),
}


def dispatched_lines(action_line, widget_id):
    return [f"Found frame ! {widget_id}", "running action", action_line, "after function", "done"]


@pytest.mark.parametrize("case", list(LATEST_ONLY))
def test_latest_only_drops_exactly_the_superseded_frames(driven, case):
    kinds, expected = LATEST_ONLY[case]
    setting = "" if kinds is None else f"server.latest_only = {sorted(kinds)!r}\n"
    process, client = driven(ACTIONS + setting)
    start = process.mark()
    chunk = b"".join(WAITING)
    client.send(chunk)
    process.wait_line("done", start, count=len(expected))
    console = process.console(start)
    # the bytes were received whatever became of their frames; nothing else shows a dropped one
    assert console[0] == f"Received size : {len(chunk)}"
    assert [line for line in console if line.startswith(("joystick", "toggle"))] == expected
    assert console.count("done") == len(expected)
    assert process.stderr() == ""


def test_interval_zero_takes_each_frame_as_it_comes_and_a_long_pause_ends_at_a_stop(driven):
    # 20 frames, each sent once the one before has run: at the default pace they would take
    # 10 s; with no pause they take well under the bound.
    process, client = driven(ACTIONS + "server.read_interval = 0\n")
    start = process.mark()
    for index in range(20):
        client.send(frame(3, "ToggleButton", index % 2 == 0))
        start = process.wait_line("done", start, timeout=4)
    # an hour's pause still ends at once when close() asks
    assert process.call("server.read_interval = 3600; server.serve()") == "None"
    start = process.wait_line("Terminating.", start)  # the thread the serve() retired
    assert process.call("server.close()") == "None"
    process.wait_line("Terminating.", start)
    assert process.stderr() == ""


def test_console_lines_off_writes_nothing_from_the_next_serve_on(driven):
    process, client = driven(ACTIONS)
    # set while a thread serves: that thread keeps its lines
    assert process.call("server.console_lines = False") == "None"
    start = process.mark()
    client.send(frame(3, "ToggleButton", True))
    start = process.wait_line("done", start)
    assert process.call("server.serve()") == "None"
    start = process.wait_line("Terminating.", start)  # the thread the serve() retired
    client.send(frame(3, "ToggleButton", False) + frame(9, "ClickButton") + joystick(7, 0.5, 0, 1))
    process.wait_line("joystick 0.5", start)
    assert process.call("server.close()") == "None"
    process.wait_thread_count(process.idle_threads)
    assert process.finish() == 0
    # only what the actions printed themselves
    assert process.console(start) == ["toggle False", "joystick 0.5"]
    assert process.stderr() == ""


def test_interval_zero_keeps_the_default_pace_once_the_client_has_closed_its_side(driven):
    process, client = driven(ACTIONS + "server.read_interval = 0\n")
    start = process.mark()
    client.sock.shutdown(socket.SHUT_WR)
    after_two = process.wait_line("Received size : 0", start, count=2, timeout=3)
    # the thread pauses between the ends it finds: a spinning one would have written thousands
    assert len(process.console(start)) <= after_two - start + 2
    assert set(process.console(start)) == {"Received size : 0"}
    assert process.call("server.close()") == "None"
    process.wait_line("Terminating.", start)
    assert process.stderr() == ""
