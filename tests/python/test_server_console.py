"""The serving thread as its console lines on fd 1 show it, in a server program run in a
subprocess: the road of a frame, frames queued together or split, a client that stops sending,
the server object destroyed while serving, and serve() called again while a thread serves (a stop
with a silent client: test_server_lifecycle and the C++ stop latency tests)."""

import socket

import pytest

from velto_client import frame, hand_result, hexbytes

TOGGLE = hexbytes("92 03 81 ac 546f67676c65427574746f6e 91 c3")  # widget 3, true (18 bytes)
TOGGLE_MAP = hexbytes(
    "82 a2 6964 03 a4 64617461 81 ac 546f67676c65427574746f6e 81 a5 76616c7565 c3")  # 32 bytes
TOGGLE_OFF = frame(3, "ToggleButton", False)  # 18 bytes
CLICK_4 = frame(4, "ClickButton")  # 16 bytes, no action for it

TOGGLE_ACTION = """
def ToggleButton_3(widget):
    print("action got", widget.value)  # through sys.stdout, unbuffered

server.on(3, "ToggleButton", ToggleButton_3)
"""


def dispatched(value):
    return ["Found frame ! 3", "running action", f"action got {value}", "after function", "done"]


NOT_FOUND = ["No key ClickButton_4 found", "done"]

# (chunks, each sent once the server has received the one before; console lines expected)
ROADS = {
    "one frame": ([TOGGLE], ["Received size : 18"] + dispatched(True)),
    "frame without action": ([CLICK_4], ["Received size : 16"] + NOT_FOUND),
    "three frames in one send, one without action": (
        [TOGGLE_OFF + CLICK_4 + TOGGLE_MAP],
        ["Received size : 66"] + dispatched(False) + NOT_FOUND + dispatched(True)),
    "frame split over two sends": (
        [TOGGLE[:7], TOGGLE[7:]],
        ["Received size : 7", "Received size : 11"] + dispatched(True)),
}


@pytest.mark.parametrize("road", list(ROADS))
def test_console_lines_of_received_frames(driven, road):
    chunks, expected = ROADS[road]
    # a chunk is sent once the lines of the one before are all out: sent earlier, it could be
    # taken by the same cycle's receives, before the dispatch of the first chunk's frames
    ends = [i for i, line in enumerate(expected) if line.startswith("Received size : ")][1:]
    ends.append(len(expected))
    assert len(ends) == len(chunks)
    process, client = driven(TOGGLE_ACTION)
    start = process.mark()
    for chunk, end in zip(chunks, ends):
        client.send(chunk)
        last = expected[end - 1]
        process.wait_line(last, start, count=expected[:end].count(last))
    assert process.console(start) == expected
    assert process.stderr() == ""


WRITING_ACTIONS = {
    "os.write on fd 1": 'os.write(1, f"action got {widget.value}\\n".encode())',
    "print through sys.stdout": 'print("action got", widget.value)',
}


@pytest.mark.parametrize("how", list(WRITING_ACTIONS))
def test_lines_of_many_queued_frames_keep_their_order_around_what_actions_write(driven, how):
    setup = f"""
import os

def ToggleButton_3(widget):
    {WRITING_ACTIONS[how]}

server.on(3, "ToggleButton", ToggleButton_3)
"""
    # runs of frames without an action between frames with one, all taken by one receive
    values = [True, False, True, True, False, True, False, False]
    chunk, expected = b"", []
    for index, value in enumerate(values):
        chunk += CLICK_4 * (index % 3) + frame(3, "ToggleButton", value)
        expected += NOT_FOUND * (index % 3) + dispatched(value)
    chunk += CLICK_4 * 4
    expected += NOT_FOUND * 4
    assert len(chunk) <= 1024
    process, client = driven(setup)
    start = process.mark()
    client.send(chunk)
    process.wait_line("done", start, count=expected.count("done"))
    assert process.console(start) == [f"Received size : {len(chunk)}"] + expected
    assert process.stderr() == ""


def test_a_client_that_stops_sending(driven):
    process, client = driven(TOGGLE_ACTION)
    start = process.mark()
    client.sock.shutdown(socket.SHUT_WR)
    # every cycle finds the end of the stream again; nothing fails
    process.wait_line("Received size : 0", start, count=2, timeout=3)
    assert set(process.console(start)) == {"Received size : 0"}
    # the other direction still works
    assert process.call("server.callback(1, S.Idle, vp.ConfirmResult(True))") == "None"
    expected = hand_result(1, "Idle", confirm=True)
    assert client.read_exact(len(expected)) == expected
    start = process.mark()
    assert process.call("server.close()") == "None"
    process.wait_line("Terminating.", start)
    assert client.wait_eof(timeout=2) == b""
    assert process.stderr() == ""


def test_destroying_the_server_while_serving_ends_the_thread(driven):
    process, client = driven(TOGGLE_ACTION)
    client.send(TOGGLE)
    process.wait_line("done")
    start = process.mark()
    assert process.call("del server; import gc; gc.collect()") == "None"
    process.wait_line("Terminating.", start)
    assert client.wait_eof(timeout=2) == b""
    process.wait_thread_count(process.idle_threads)
    assert process.finish() == 0
    assert process.console(start) == ["Link broken", "Terminating."]
    assert process.stderr() == ""


SWAP_ACTIONS = """
def old(widget):
    print("old", widget.direction)

def new(widget):
    print("new", widget.direction)
    server.callback(widget.direction, S.Idle, vp.ConfirmResult(True))

server.on(1, "DirectionalButton", old)
"""


def direction(value):
    return frame(1, "DirectionalButton", value)


def test_serve_again_while_serving_hands_the_connection_over(driven):
    process, client = driven(SWAP_ACTIONS)
    client.send(direction(1))
    process.wait_line("old 1")
    # the first thread holds part of a frame when it is replaced
    start = process.mark()
    client.send(direction(2)[:4])
    process.wait_line("Received size : 4", start)
    assert process.call("server.on(1, 'DirectionalButton', new); server.serve()") == "None"
    client.send(direction(2)[4:] + direction(3))
    answers = hand_result(2, "Idle", confirm=True) + hand_result(3, "Idle", confirm=True)
    assert client.read_exact(len(answers)) == answers
    process.wait_line("new 3")
    client.send(direction(4))
    assert client.read_exact(24) == hand_result(4, "Idle", confirm=True)
    start = process.mark()
    assert process.call("server.close()") == "None"
    process.wait_line("Terminating.", start)
    assert client.wait_eof(timeout=2) == b""
    process.wait_thread_count(process.idle_threads)
    assert process.finish() == 0
    console = process.console()
    actions = [line for line in console if line.startswith(("old", "new"))]
    assert actions == ["old 1", "new 2", "new 3", "new 4"]
    assert "Link broken" not in console
    # what the registration made while serving is told, and nothing else
    assert process.stderr() == (
        "<command>:1: RuntimeWarning: the server is serving: its running thread does not see "
        "the action registered as DirectionalButton_1 until the next serve()")
