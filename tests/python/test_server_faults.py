"""What ends a serving thread (a raising action, a PanicException, a frame that does not decode,
an unfinished frame beyond its bound), what its fault report shows, and what the client and the
program see afterwards; a client that has gone; Ctrl-C during open() (a program that ends while
a thread waits: test_interpreter_finalization.py)."""

import os
import signal
import subprocess
import textwrap
import time

import pytest

from velto_client import (
    Client,
    RemoteError,
    ServerProcess,
    assert_healthy,
    frame,
    free_port,
    hand_result,
    hexbytes,
    wait_listening,
)

CLOSED_CHANNEL = ("RuntimeError", "sending on a closed channel")
BROKEN_PIPE = ("RuntimeError", f"{os.strerror(32)} (os error 32)")
CONFIRM = hand_result(1, "Idle", confirm=True)

RAISING_ACTIONS = """
class Outer:
    class Oops(Exception):
        pass

class Mute(Exception):
    def __str__(self):
        raise RuntimeError("no text")

try:
    vp.on(server)(lambda widget: None)
except BaseException as fault:
    PanicException = type(fault)

def ClickButton_1(widget):
    print("raising")
    RAISE

def ClickButton_2(widget):
    print("second frame")

server.on(1, "ClickButton", ClickButton_1)
server.on(2, "ClickButton", ClickButton_2)
"""


def remote_error(process, source):
    with pytest.raises(RemoteError) as raised:
        process.call(source)
    return raised.value.type_name, raised.value.message


def assert_thread_ended_connection_shut_down(process, client):
    """After a thread fault: the client sees the end of the connection at once, as after a
    stop; the thread is gone; close() is refused, and the connection the object keeps takes no
    answer any more."""
    assert client.wait_eof() == b""
    process.wait_thread_count(process.idle_threads)
    assert remote_error(process, "server.close()") == CLOSED_CHANNEL
    callback = "server.callback(1, S.Idle, vp.ConfirmResult(True))"
    assert remote_error(process, callback) == BROKEN_PIPE
    assert remote_error(process, "server.close()") == CLOSED_CHANNEL


def report_lines(stderr, message):
    """The lines of the fault report whose message is `message`, from that line on: the line
    before it names the thread and the place."""
    lines = stderr.splitlines()
    at = lines.index(message)
    assert lines[at - 1].startswith("velto_protocol: thread 'velto-serving' faulted at "), stderr
    return lines[at:]


# (statement, the line on fd 2 for an exception, or None and the message in the trace of a fault)
RAISING = [
    ('raise ValueError("boom")', "Action failed ValueError: boom", None),
    ('raise KeyError("k")', "Action failed KeyError: 'k'", None),
    ('raise Outer.Oops("deep")', "Action failed Outer.Oops: deep", None),
    ("raise Mute()", "Action failed Mute: <exception str() failed>", None),
    ("vp.on(server)(lambda widget: None)", None, 'the function name "<lambda>" has no "_"'),
    ('raise PanicException("raised by the action")', None, "raised by the action"),
]


@pytest.mark.parametrize("statement, failed, fault", RAISING, ids=[r[0] for r in RAISING])
def test_a_raising_action_ends_the_thread(driven, statement, failed, fault):
    process, client = driven(RAISING_ACTIONS.replace("RAISE", statement))
    start = process.mark()
    client.send(frame(1, "ClickButton") + frame(2, "ClickButton"))
    process.wait_stderr(failed or "Python stack trace below:")
    assert_thread_ended_connection_shut_down(process, client)
    # no "after function", no "done", and the frame behind it is never read
    assert process.console(start) == [
        "Received size : 32", "Found frame ! 1", "running action", "raising"]
    assert process.finish() == 0
    stderr = process.stderr()
    if failed:
        assert stderr.count("Action failed ") == 1
        # the message alone on its line, the action's traceback after it
        report = report_lines(stderr, failed)
        assert report[1] == "Traceback (most recent call last):"
        assert report[2].endswith(", in ClickButton_1")
    else:
        assert "Action failed" not in stderr
        trace = stderr[stderr.index("Python stack trace below:"):]
        assert "in ClickButton_1" in trace
        assert fault in trace


def test_a_frame_that_does_not_decode_ends_the_thread(driven):
    process, client = driven(
        """
        def ToggleButton_3(widget):
            print("action got", widget.value)

        server.on(3, "ToggleButton", ToggleButton_3)
        """
    )
    start = process.mark()
    # a valid frame, then nil, which is no frame
    client.send(hexbytes("92 03 81 ac 546f67676c65427574746f6e 91 c3 c0"))
    process.wait_stderr("invalid type: unit value, expected struct Frame")
    assert_thread_ended_connection_shut_down(process, client)
    assert process.console(start) == [
        "Received size : 19", "Found frame ! 3", "running action", "action got True",
        "after function", "done"]
    assert process.finish() == 0
    assert report_lines(process.stderr(), "invalid type: unit value, expected struct Frame") == [
        "invalid type: unit value, expected struct Frame",
        "the bytes that did not decode (1):",
        "  c0"]


def test_the_report_of_a_failed_action_shows_where_it_failed(driven, tmp_path):
    """File, line and code of every frame, the chained exception too, as Python shows an
    exception nobody caught."""
    actions = tmp_path / "lamp_actions.py"
    actions.write_text(textwrap.dedent('''\
        def switch(state):
            return {"on": True}[state]

        def ToggleButton_3(widget):
            try:
                switch("dim")
            except KeyError as missing:
                raise ValueError("no such lamp state") from missing
        '''))
    process, client = driven(f"""
        import sys
        sys.path.insert(0, {str(tmp_path)!r})
        from lamp_actions import ToggleButton_3
        server.on(3, "ToggleButton", ToggleButton_3)
        """)
    client.send(frame(3, "ToggleButton", True))
    assert_thread_ended_connection_shut_down(process, client)
    assert process.finish() == 0
    report = report_lines(process.stderr(), "Action failed ValueError: no such lamp state")
    # blank lines, and the lines with which Python may mark the failing expression, left out
    shown = [line for line in report[1:] if not set(line) <= set(" ~^")]
    assert shown == [
        "Traceback (most recent call last):",
        f'  File "{actions}", line 6, in ToggleButton_3',
        '    switch("dim")',
        f'  File "{actions}", line 2, in switch',
        '    return {"on": True}[state]',
        "KeyError: 'dim'",
        "The above exception was the direct cause of the following exception:",
        "Traceback (most recent call last):",
        f'  File "{actions}", line 8, in ToggleButton_3',
        '    raise ValueError("no such lamp state") from missing',
        "ValueError: no such lamp state",
    ], "\n".join(report)


def test_an_unfinished_frame_beyond_64_KiB_ends_the_thread(driven):
    process, client = driven("server.on(1, 'ClickButton', print)")
    before = process.rss_kib()
    # a click button whose bin payload announces 1 MiB; 80 KiB of it are sent
    head = b"\x92\x01\x81\xabClickButton\xc6" + (1 << 20).to_bytes(4, "big")
    client.send(head + bytes(80 * 1024))
    process.wait_stderr("frame exceeds 65536 bytes without completing", timeout=10)
    assert_thread_ended_connection_shut_down(process, client)
    assert not any(line.startswith(("Found frame", "No key")) for line in process.console())
    assert_healthy(process, before)  # the unfinished bytes were not kept
    assert process.finish() == 0
    assert "Failed to read frame" not in process.stderr()
    report = report_lines(process.stderr(), "frame exceeds 65536 bytes without completing")
    # as many bytes as had come when the bound was passed: at least its 64 KiB
    shown = report[1].removeprefix("the bytes that did not decode (the first 64 of ")
    assert shown.endswith("):") and int(shown[:-2]) > 65536, report[1]
    assert report[2:] == [
        "  92 01 81 ab 43 6c 69 63 6b 42 75 74 74 6f 6e c6",
        "  00 10 00 00 00 00 00 00 00 00 00 00 00 00 00 00",
        "  00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00",
        "  00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00"]


def test_callback_to_a_client_that_has_gone(driven):
    process, client = driven(
        """
        import signal
        signal.signal(signal.SIGPIPE, signal.SIG_DFL)  # a broken pipe signal would kill us
        """,
        serve=False,
    )
    client.close()
    expected = ("RuntimeError", f"{os.strerror(32)} (os error 32)")
    # the first write after the peer closed can still be taken by the system
    for _ in range(100):
        try:
            assert process.call("server.callback(1, S.Idle, vp.ConfirmResult(True))") == "None"
        except RemoteError as error:
            assert (error.type_name, error.message) == expected
            break
        time.sleep(0.02)
    else:
        pytest.fail("callback() kept succeeding after the client had gone")
    assert remote_error(process, "server.callback(1, S.Idle, vp.ConfirmResult(True))") == expected
    assert process.call("6 * 7") == "42"
    assert process.finish() == 0


SIGINT_DURING_OPEN = """
import os, signal, sys
import velto_protocol as vp
if sys.argv[2] == "handled":
    signal.signal(signal.SIGINT, lambda *_: os.write(1, b"handler ran\\n"))
server = vp.ComSocketServer("127.0.0.1:" + sys.argv[1])
os.write(1, b"opening\\n")
server.open()
os.write(1, b"opened\\n")
"""


@pytest.mark.parametrize("handler", ["default", "handled"])
def test_sigint_during_open(handler):
    port = free_port()
    with ServerProcess(SIGINT_DURING_OPEN, args=(port, handler)) as process:
        process.wait_line("opening", timeout=10)
        wait_listening(port)
        if handler == "default":
            # open() may not have reached its wait yet when the first signal comes
            for _ in range(8):
                process.process.send_signal(signal.SIGINT)
                try:
                    process.process.wait(0.5)
                    break
                except subprocess.TimeoutExpired:
                    continue
            assert process.finish() == -signal.SIGINT
            assert process.stderr().rstrip().endswith("KeyboardInterrupt")
            assert "opened" not in process.console()
        else:
            process.process.send_signal(signal.SIGINT)
            process.wait_line("handler ran")
            # the handler raised nothing: the wait goes on and takes the client
            client = Client.connect(port)
            process.wait_line("opened")
            assert process.finish() == 0
            client.close()
