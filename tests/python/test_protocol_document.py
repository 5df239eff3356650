"""Every byte dump in docs/protocol.md, checked against the real server: frames are sent to it
and what the action receives (or what the console says) is compared with the dump's heading;
answers are built with callback() and compared byte for byte."""

import re
import subprocess
import sys
import threading
import time
from pathlib import Path

import pytest

import velto_protocol as vp
from tool_processes import RUN_TIMEOUT, ServerProgram
from velto_client import Client, describe, free_port, open_with_client

DOCUMENT = Path(__file__).resolve().parents[2] / "docs" / "protocol.md"
HERE = Path(__file__).parent
W = vp.WidgetRegistry


def dumps(kind):
    """(heading, bytes) of every dump of one kind: frame, answer, unhandled or rejected."""
    found = []
    text = DOCUMENT.read_text(encoding="utf-8")
    for heading, body in re.findall(r"^```hex ([^\n]*)\n(.*?)^```$", text, re.M | re.S):
        what, _, expected = heading.partition(" ")
        data = b""
        for line in body.splitlines():
            hex_part = re.split(r" {2,}", line, maxsplit=1)[0]
            assert re.fullmatch(r"[0-9a-f]{2}( [0-9a-f]{2})*", hex_part), line
            data += bytes.fromhex(hex_part)
        if what == kind:
            found.append(pytest.param(expected, data, id=expected[:60]))
    assert found, f"no {kind} dump in the document"
    return found


@pytest.fixture(scope="module")
def served():
    """One server with an action for every key the document uses, and its client."""
    received = []
    arrived = threading.Semaphore(0)
    port = free_port()
    server = vp.ComSocketServer(f"127.0.0.1:{port}")
    keys = {
        re.match(r"\w+", expected).group(0)
        for p in dumps("frame")
        for expected in p.values[0].split(" + ")
    }
    for key in keys:
        kind, widget_id = key.split("_")

        def action(widget, key=key):
            received.append(describe(key, widget))
            arrived.release()

        server.on(int(widget_id), kind, action)
    client = open_with_client(server, port)
    server.serve()
    yield client, received, arrived
    server.close()
    client.close()


@pytest.mark.parametrize("expected, data", dumps("frame"))
def test_frame_reaches_its_action_as_documented(served, expected, data):
    """A heading may list several frames, joined by " + ", sent in one write."""
    client, received, arrived = served
    received.clear()
    client.send(data)
    for _ in expected.split(" + "):
        assert arrived.acquire(timeout=20), f"too few actions ran for {data.hex(' ')}: {received}"
    assert " + ".join(received) == expected


ANSWER = re.compile(r'(\d+) (\w+) (?:ConfirmResult\((true|false)\)|ErrorResult\("(.*)"\))')


@pytest.mark.parametrize("expected, data", dumps("answer"))
def test_answer_is_what_callback_writes(expected, data):
    widget_id, status, confirmed, error = ANSWER.fullmatch(expected).groups()
    result = vp.ConfirmResult(confirmed == "true") if confirmed else vp.ErrorResult(error)
    port = free_port()
    server = vp.ComSocketServer(f"127.0.0.1:{port}")
    client = open_with_client(server, port)
    try:
        server.callback(int(widget_id), getattr(vp.ServerStatus, status), result)
        assert client.read_exact(len(data)) == data
        assert client.read_available() == b""
    finally:
        server.close()
        client.close()


@pytest.mark.parametrize(
    "what, expected, data",
    [("unhandled", *p.values) for p in dumps("unhandled")]
    + [("rejected", *p.values) for p in dumps("rejected")],
)
def test_frames_without_action_are_traced_and_bad_frames_end_reading(what, expected, data):
    with ServerProgram(HERE / "silent_server.py") as server:
        client = Client.connect(server.port, timeout=20)
        try:
            client.send(data)
            server.wait_line(f"Received size : {len(data)}", timeout=20)
            # A later frame, in a receive of its own, is read only if reading goes on.
            time.sleep(0.2)
            client.send(bytes.fromhex("92 01 81 00 90"))
            time.sleep(1.5)
        finally:
            client.close()
        out = server.kill()
        err = server.stderr()
    if what == "unhandled":
        assert f"{expected}\ndone\n" in out
        assert "No key ClickButton_1 found\n" in out
    else:
        assert expected in err
        assert "ClickButton_1" not in out


def test_minimal_client_runs_as_printed(tmp_path):
    text = DOCUMENT.read_text(encoding="utf-8")
    (program,) = re.findall(r"^```python\n(.*?)^```$", text, re.M | re.S)
    assert len(program.strip().splitlines()) <= 20
    (tmp_path / "client.py").write_text(program)
    with ServerProgram(HERE / "answering_server.py") as server:
        deadline = time.monotonic() + 20
        while True:
            done = subprocess.run([sys.executable, "client.py", server.address], cwd=tmp_path,
                                  capture_output=True, text=True, timeout=RUN_TIMEOUT)
            if "Connection refused" not in done.stderr or time.monotonic() > deadline:
                break
            time.sleep(0.1)
    assert (done.returncode, done.stdout) == (0, "3 Busy ErrorResult('ToggleButton_3 value=true')\n")
