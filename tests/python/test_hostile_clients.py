"""Hostile clients against a server program in a subprocess (a crash shows as a signal): huge
declared lengths, deep nesting, long maps, random bytes, extension values, trickled and
never-finished frames, a silent client, a reset during callback() and Ctrl-C during a blocked
write. Each case ends with the program alive, the expected message on fd 2 (or none), its memory
bounded, and a fresh server in the same program serving a good frame."""

import random
import signal
import socket
import struct
import time

import pytest

from velto_client import RemoteError, assert_healthy, frame, hexbytes

CLICK_1 = frame(1, "ClickButton")
ACTION = "server.on(1, 'ClickButton', lambda widget: say('click 1'))"
# the frame map [id 1, data ClickButton] with room for one more entry, skipped by its key "x"
MAP_HEAD = hexbytes("83 a2 6964 01 a4 64617461 81 00 90 a1 78")
TOO_DEEP = ("MessagePack nesting too deep: at most 1023 nested arrays, maps and extension values "
            "are accepted")
TOO_LONG = "frame exceeds 65536 bytes without completing"


def nested(depth):
    """A frame whose skipped value makes the deepest path `depth` containers, frame included."""
    return MAP_HEAD + b"\x91" * (depth - 1) + b"\xc0"


def long_map(entries, kind_payload=False):
    """A map of `entries` entries to skip: the frame map itself, or the click's payload map."""
    skipped = b"\x05\xc0" * (entries - (0 if kind_payload else 2))
    if kind_payload:
        return hexbytes("92 01 81 00 df") + struct.pack(">I", entries) + skipped
    return b"\xdf" + struct.pack(">I", entries) + hexbytes("a2 6964 01 a4 64617461 81 00 90") + skipped


# name: (bytes sent, the text expected on fd 2 or None, what fd 1 shows last or None)
CASES = {
    "str header declaring 4 GiB": (hexbytes("92 01 81 db ffffffff") + b"C" * 1000, None, None),
    "bin header declaring 4 GiB": (hexbytes("92 01 81 ab 436c69636b427574746f6e c6 ffffffff")
                                   + bytes(1000), None, None),
    "frame array of 2^32-1 elements": (hexbytes("dd ffffffff 01 81 00 90"),
                                       "array had incorrect length, expected 2", None),
    "skipped array of 2^32-1 elements": (MAP_HEAD + hexbytes("dd ffffffff") + bytes(1000),
                                         None, None),
    "nesting 1023 deep": (nested(1023), None, "click 1"),
    "nesting 1024 deep": (nested(1024), TOO_DEEP, None),
    "nesting 100 000 deep": (nested(100_000), TOO_DEEP, None),
    "map of 100 000 entries to skip": (long_map(100_000), TOO_LONG, None),
    "payload map of 30 000 entries to skip": (long_map(30_000, kind_payload=True), None, "click 1"),
    # these happen to start with 0x33, a positive fixint
    "1 MiB of seeded random bytes": (random.Random(8).randbytes(1 << 20),
                                     "invalid type: integer `51`, expected struct Frame", None),
    "extension value as the id": (hexbytes("92 d4 01 0a 81 00 90"), "type mismatch", None),
    "extension value skipped": (MAP_HEAD + hexbytes("c7 03 05 010203"), None, "click 1"),
}


def send_what_fits(client, data, seconds=3.0):
    """Sends `data` as far as the server takes it within `seconds` (a server whose thread ended
    reads no more)."""
    client.sock.settimeout(seconds)
    try:
        client.sock.sendall(data)
    except (socket.timeout, ConnectionError):
        pass


def wait_cycles(process, start, count=2, timeout=5):
    """Waits until the serving thread has been through `count` more receives."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        seen = [line for line in process.console(start) if line.startswith("Received size")]
        if len(seen) >= count:
            return
        time.sleep(0.05)


@pytest.mark.parametrize("case", list(CASES))
def test_hostile_bytes(driven, case):
    data, expected_error, expected_line = CASES[case]
    process, client = driven(ACTION)
    before = process.rss_kib()
    start = process.mark()
    send_what_fits(client, data)
    if expected_line is not None:
        process.wait_line(expected_line, start, timeout=10)
    if expected_error is not None:
        process.wait_stderr(expected_error, timeout=10)
        process.wait_thread_count(process.idle_threads)
    else:
        wait_cycles(process, start, count=2)
        assert process.stderr() == ""
    if expected_line is None:
        assert "click 1" not in process.console(start)
    assert_healthy(process, before)


def test_a_frame_trickled_one_byte_at_a_time(driven):
    process, client = driven(ACTION)
    before = process.rss_kib()
    start = process.mark()
    for byte in CLICK_1:  # 16 bytes over about 1.3 s: the frame spans several cycles
        client.send(bytes([byte]))
        time.sleep(0.08)
    process.wait_line("click 1", start, timeout=5)
    received = [line for line in process.console(start) if line.startswith("Received size")]
    assert len(received) >= 2
    assert process.console(start).count("click 1") == 1
    assert process.stderr() == ""
    assert_healthy(process, before)


def test_a_client_that_connects_and_closes_without_sending(driven):
    process, client = driven(ACTION, serve=False)
    before = process.rss_kib()
    client.close()
    start = process.mark()
    assert process.call("server.serve()") == "None"
    process.wait_line("Received size : 0", start, count=2, timeout=5)
    assert process.stderr() == ""
    assert process.call("server.close()") == "None"
    assert_healthy(process, before)


def test_a_reset_while_callback_is_called_in_a_loop(driven):
    process, client = driven(ACTION)
    before = process.rss_kib()
    process.start("for _ in range(2_000_000): server.callback(1, S.Idle, vp.ConfirmResult(True))")
    time.sleep(0.3)
    client.sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
    client.close()
    with pytest.raises(RemoteError) as raised:
        process.result(timeout=20)
    # the reset, or the broken pipe of a write after it
    assert raised.value.type_name == "RuntimeError"
    assert raised.value.message.endswith(("(os error 104)", "(os error 32)"))
    assert_healthy(process, before)


def test_ctrl_c_while_callback_fills_the_buffers_of_a_client_that_never_reads(driven):
    process, client = driven(ACTION)
    before = process.rss_kib()
    process.start("server.callback(3, S.Error, vp.ErrorResult('x' * (32 << 20)))")
    time.sleep(1.0)
    process.process.send_signal(signal.SIGINT)
    with pytest.raises(RemoteError) as raised:
        process.result(timeout=3)
    assert raised.value.type_name == "KeyboardInterrupt"
    # the 32 MiB text and its encoding were built in the program, and are released again
    assert_healthy(process, before, bound_kib=80 * 1024)
    assert process.finish() == 0
