"""Python code that a method of ComSocketServer runs itself (argument conversions, the debug
record's log handlers, the release of a replaced action) runs before or after the method's
exclusive access, never inside it: it may use the same server, and when it lets the interpreter
lock go, an action on the serving thread may answer through callback() meanwhile."""

import threading

import pytest

import velto_protocol as vp
from velto_client import frame, free_port, hand_result, open_with_client

S = vp.ServerStatus


def test_an_action_answers_while_on_waits_in_a_log_handler(debug_records):
    """A log handler inside on() lets the interpreter lock go (it waits for an answer); the
    serving thread's action answers through callback() on the same server meanwhile."""
    port = free_port()
    server = vp.ComSocketServer(f"127.0.0.1:{port}")
    answered = threading.Event()
    outcome = []

    def ClickButton_3(widget):
        try:
            server.callback(3, S.Idle, vp.ConfirmResult(True))
            outcome.append(None)
        except BaseException as error:  # noqa: B036 - recorded for the assertion below
            outcome.append(error)
        finally:
            answered.set()

    server.on(3, "ClickButton", ClickButton_3)
    client = open_with_client(server, port)
    try:
        server.serve()
        waited = []

        def emit(record):
            if record.getMessage() == "register action: PressButton":
                client.send(frame(3, "ClickButton"))
                waited.append(answered.wait(20))  # lets the interpreter lock go

        debug_records.hook = emit
        with pytest.warns(RuntimeWarning, match="the server is serving"):
            server.on(9, "PressButton", print)
        assert waited == [True], "the action did not answer"
        assert outcome == [None]
        assert client.read_exact(len(hand_result(3, "Idle", confirm=True))) == hand_result(
            3, "Idle", confirm=True)
        assert server._get_action("PressButton_9") is print
    finally:
        server.close()
        client.close()


class Reentry:
    """Calls three methods of the server once, recording what each returned or raised."""

    def __init__(self, server):
        self.server = server
        self.seen = None

    def __call__(self):
        if self.seen is not None:
            return
        self.seen = []
        for call in (lambda: self.server._get_action("ClickButton_1"),
                     lambda: self.server.address,
                     lambda: self.server.on(7, "ToggleButton", print)):
            try:
                self.seen.append(call())
            except BaseException as error:  # noqa: B036 - recorded for the assertion
                self.seen.append(f"{type(error).__name__}: {error}")


def first_action(widget):
    return widget


class Index:
    def __init__(self, reenter, value):
        self.reenter = reenter
        self.value = value

    def __index__(self):
        self.reenter()
        return self.value


class DeletedAction:
    def __init__(self, reenter):
        self.reenter = reenter

    def __call__(self, widget):
        return widget

    def __del__(self):
        self.reenter()


def from_log_handler(server, reenter, records):
    records.hook = (lambda record: reenter()
                    if record.getMessage() == "register action: ClickButton" else None)
    server.on(1, "ClickButton", first_action)


def from_id_of_on(server, reenter, records):
    server.on(Index(reenter, 1), "ClickButton", first_action)


def from_replaced_action(server, reenter, records):
    server.on(1, "ClickButton", DeletedAction(reenter))  # the only reference is the registry's
    server.on(1, "ClickButton", first_action)


@pytest.mark.parametrize("trigger", [from_log_handler, from_id_of_on, from_replaced_action])
def test_code_run_by_a_method_may_use_the_same_server(trigger, debug_records):
    server = vp.ComSocketServer("127.0.0.1:1")
    reenter = Reentry(server)
    trigger(server, reenter, debug_records)
    assert reenter.seen is not None, "the code did not run"
    got_action, address, registered = reenter.seen
    assert got_action in (None, first_action)
    assert address == "127.0.0.1:1"
    assert registered is None
    assert server._get_action("ClickButton_1") is first_action
    assert server._get_action("ToggleButton_7") is print


def test_callback_converts_its_arguments_before_it_writes():
    """An id whose conversion registers an action: the frame still goes out whole."""
    port = free_port()
    server = vp.ComSocketServer(f"127.0.0.1:{port}")
    client = open_with_client(server, port)
    try:
        reenter = Reentry(server)
        server.callback(Index(reenter, 4), S.Busy, vp.ErrorResult("late"))
        assert reenter.seen == [None, f"127.0.0.1:{port}", None]
        expected = hand_result(4, "Busy", error="late")
        assert client.read_exact(len(expected)) == expected
    finally:
        server.close()
        client.close()
