"""Frames from a real loopback client reaching the registered actions: every widget kind as the
right object, from the common frame shapes (the codec's tests hold every record form), a joystick
burst, the registry snapshot taken at serve(), and callback() from inside an action."""

import math
import threading

import pytest

import velto_protocol as vp
from velto_client import (
    f32,
    frame,
    free_port,
    hand_result,
    hexbytes,
    joystick,
    open_with_client,
)

W = vp.WidgetRegistry

# Each case: (label, frame bytes, action key, kind, expected attributes). For a joystick the
# attributes are x, y (of delta) and intensity, as the 32-bit floats they arrive as.
CASES = [
    # ---- one frame of each common shape, byte for byte
    ("toggle, array form", hexbytes("92 03 81 ac 546f67676c65427574746f6e 91 c3"),
     "ToggleButton_3", "ToggleButton", {"value": True}),
    ("toggle, frame and payload as maps",
     hexbytes("82 a2 6964 03 a4 64617461 81 ac 546f67676c65427574746f6e 81 a5 76616c7565 c3"),
     "ToggleButton_3", "ToggleButton", {"value": True}),
    ("joystick, float 32", hexbytes(
        "92 07 81 a8 4a6f79737469636b 92 92 ca3f000000 cabf800000 ca3f400000"),
     "Joystick_7", "Joystick", {"x": 0.5, "y": -1.0, "intensity": 0.75}),
    ("click, variant by position", hexbytes("92 01 81 00 90"), "ClickButton_1", "ClickButton", {}),
    # ---- the other kinds, values that only a float 64 carries, the largest id
    ("confirm", frame(15, "ConfirmButton"), "ConfirmButton_15", "ConfirmButton", {}),
    ("press", frame(21, "PressButton", True), "PressButton_21", "PressButton",
     {"pressed": True}),
    ("direction", frame(27, "DirectionalButton", 7), "DirectionalButton_27", "DirectionalButton",
     {"direction": 7}),
    ("joystick, beyond float 32", joystick(36, 1e39, -1e39, math.nan, single_float=False),
     "Joystick_36", "Joystick", {"x": math.inf, "y": -math.inf, "intensity": math.nan}),
    ("frame id 255", frame(255, "ClickButton"), "ClickButton_255", "ClickButton", {}),
]
IDS = [case[0] for case in CASES]

# What the actions return: none of it may matter to the serving thread.
RETURNS = [None, 42, "text", object(), NotImplemented, [1, 2], ValueError("returned, not raised")]


def serving(port, register):
    """A server on `port` with the actions `register(server)` adds, opened and serving; the
    client end of its connection."""
    server = vp.ComSocketServer(f"127.0.0.1:{port}")
    register(server)
    client = open_with_client(server, port)
    server.serve()
    return server, client


@pytest.fixture(scope="module")
def batch():
    """All cases sent by one client in one send; every action records (key, widget) in the
    order of its calls. Half the actions are registered with on(), half with the decorator."""
    records = []
    all_arrived = threading.Event()

    def make_action(key, returned):
        def action(widget):
            records.append((key, widget))
            if len(records) == len(CASES):
                all_arrived.set()
            return returned

        return action

    def register(server):
        decorate = vp.on(server)
        for index, key in enumerate(sorted({case[2] for case in CASES})):
            action = make_action(key, RETURNS[index % len(RETURNS)])
            if index % 2:
                server.on(int(key.rsplit("_")[1]), key.rsplit("_")[0], action)
            else:
                action.__name__ = key
                decorate(action)

    port = free_port()
    server, client = serving(port, register)
    try:
        client.send(b"".join(case[1] for case in CASES))
        all_arrived.wait(10)
    finally:
        server.close()
        client.close()
    return records


def test_every_frame_of_one_send_is_dispatched_once_in_order(batch):
    """Whatever the actions returned (RETURNS), the thread went on to the next frame."""
    assert [key for key, _ in batch] == [case[2] for case in CASES]


def check_widget(widget, kind, attributes):
    assert type(widget) is getattr(W, kind)
    if kind == "Joystick":
        got = {"x": widget.delta.x, "y": widget.delta.y, "intensity": widget.intensity}
    else:
        got = {name: getattr(widget, name) for name in attributes}
    for name, expected in attributes.items():
        assert type(got[name]) is type(expected), name
        if isinstance(expected, float) and math.isnan(expected):
            assert math.isnan(got[name]), name
        else:
            assert got[name] == expected, name


@pytest.mark.parametrize("index", range(len(CASES)), ids=IDS)
def test_the_action_gets_the_widget_object(batch, index):
    _, _, key, kind, attributes = CASES[index]
    assert len(batch) > index, "the frame was not dispatched"
    got_key, widget = batch[index]
    assert got_key == key
    check_widget(widget, kind, attributes)


# ---- a stream of frames ------------------------------------------------------------------------


def test_joystick_burst_is_dispatched_whole_and_in_order():
    count = 300
    values = [((i / 7.0) * (-1) ** i, -i / 3.0, i / 300.0) for i in range(count)]
    # alternately float 32 and float 64 on the wire; the action sees float 32 values either way
    frames = [joystick(9, x, y, z, single_float=i % 2 == 0) for i, (x, y, z) in enumerate(values)]
    received = []
    done = threading.Event()

    def Joystick_9(widget):
        received.append((widget.delta.x, widget.delta.y, widget.intensity))
        if len(received) == count:
            done.set()

    port = free_port()
    server, client = serving(port, lambda s: s.on(9, "Joystick", Joystick_9))
    try:
        stream = b"".join(frames)
        # cut into pieces that do not follow frame boundaries
        for start in range(0, len(stream), 1000):
            client.send(stream[start:start + 1000])
        assert done.wait(10), f"{len(received)} of {count} frames dispatched"
    finally:
        server.close()
        client.close()
    assert received == [(f32(x), f32(y), f32(z)) for x, y, z in values]


# ---- the registry snapshot ----------------------------------------------------------------------


def test_actions_registered_after_serve_do_not_reach_the_running_thread():
    calls = []
    reached = threading.Event()

    def before(widget):
        calls.append("before")
        reached.set()

    def replacement(widget):
        calls.append("replacement")

    def added(widget):
        calls.append("added")

    port = free_port()
    server, client = serving(port, lambda s: s.on(1, "ClickButton", before))
    try:
        # each registration says that the running thread will not see it
        with pytest.warns(RuntimeWarning, match="until the next serve"):
            server.on(1, "ClickButton", replacement)
        with pytest.warns(RuntimeWarning, match="until the next serve"):
            server.on(2, "ClickButton", added)
        assert server._get_action("ClickButton_1") is replacement
        assert server._get_action("ClickButton_2") is added
        # frame 2 first: when the action of frame 1 runs, frame 2 has been looked up already
        client.send(frame(2, "ClickButton") + frame(1, "ClickButton"))
        assert reached.wait(10)
    finally:
        server.close()
        client.close()
    assert calls == ["before"]


# ---- answering from inside an action -----------------------------------------------------------


def test_callback_from_inside_an_action_reaches_the_client():
    answered = []

    def ConfirmButton_9(widget):
        answered.append(server.callback(9, vp.ServerStatus.Busy, vp.ConfirmResult(False)))

    port = free_port()
    server, client = serving(port, lambda s: vp.on(s)(ConfirmButton_9))
    try:
        client.send(frame(9, "ConfirmButton"))
        expected = hexbytes("93 09 a4 42757379 81 ad 436f6e6669726d526573756c74 91 c2")
        assert client.read_exact(len(expected), timeout=10) == expected
        assert expected == hand_result(9, "Busy", confirm=False)
    finally:
        server.close()
    assert answered == [None]
    assert client.wait_eof() == b""
    client.close()

