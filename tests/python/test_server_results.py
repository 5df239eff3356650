"""callback(): the exact bytes of each result frame as the client reads them, and its failures
before anything is written."""

import msgpack
import pytest

import velto_protocol as vp
from velto_client import free_port, hand_result, hexbytes, open_with_client

S = vp.ServerStatus

# (id, status, data, expected bytes); the typical answers are spelled out byte for byte.
RESULTS = [
    (3, S.Idle, lambda: vp.ConfirmResult(True),
     hexbytes("93 03 a4 49646c65 81 ad 436f6e6669726d526573756c74 91 c3")),
    (200, S.Error, lambda: vp.ErrorResult("bad"),
     hexbytes("93 cc c8 a5 4572726f72 81 ab 4572726f72526573756c74 91 a3 626164")),
    (9, S.Busy, lambda: vp.ConfirmResult(False),
     hexbytes("93 09 a4 42757379 81 ad 436f6e6669726d526573756c74 91 c2")),
    (0, S.NotInit, lambda: vp.ErrorResult(""),
     hexbytes("93 00 a7 4e6f74496e6974 81 ab 4572726f72526573756c74 91 a0")),
    # the headers of a large id and of a text beyond 64 KiB (every size: the C++ tests)
    (255, S.Busy, lambda: vp.ErrorResult("\u00e9" * 40000), hexbytes("93 cc ff a4 42757379 81 ab"
     "4572726f72526573756c74 91 db 00013880") + "\u00e9".encode() * 40000),
]


def result_id(value):
    return f"{value[0]}-{value[1]}-{len(value[3])}B"


@pytest.fixture(scope="module")
def connected():
    """A server that has accepted a client and does not serve: only callback() writes."""
    port = free_port()
    server = vp.ComSocketServer(f"127.0.0.1:{port}")
    client = open_with_client(server, port)
    yield server, client
    server.close()
    client.close()


@pytest.mark.parametrize("widget_id, status, data, expected", RESULTS,
                         ids=[result_id(r) for r in RESULTS])
def test_result_frame_bytes(connected, widget_id, status, data, expected):
    server, client = connected
    client.read_available()  # nothing left over from an earlier case
    payload = data()
    assert server.callback(widget_id, status, payload) is None
    got = client.read_exact(len(expected))
    assert got == expected
    assert client.read_available() == b""
    # and an independent decoder reads the same document back
    kind = "ConfirmResult" if isinstance(payload, vp.ConfirmResult) else "ErrorResult"
    field = payload.status if kind == "ConfirmResult" else payload.error
    assert msgpack.unpackb(got, raw=False) == [widget_id, str(status).split(".")[1], {kind: [field]}]


def test_consecutive_callbacks_write_consecutive_documents(connected):
    server, client = connected
    client.read_available()
    result = vp.ConfirmResult(True)
    server.callback(4, S.Idle, result)
    server.callback(5, S.Busy, result)  # a result object can be used again
    server.callback(id=6, status=S.Error, data=vp.ErrorResult("x"))
    expected = (hand_result(4, "Idle", confirm=True) + hand_result(5, "Busy", confirm=True)
                + hand_result(6, "Error", error="x"))
    assert client.read_exact(len(expected)) == expected


BAD_DATA = [(1, "int"), (None, "NoneType"), (S.Idle, "ServerStatus"), ("bad", "str"),
            (vp.WidgetRegistry.ClickButton(), "WidgetRegistry_ClickButton")]


def binding_failure(type_name):
    cause = "TypeError: '{}' object cannot be converted to '{}'"
    return (
        "Python data failed to be bound: TypeError: failed to extract enum ResultBinding "
        "('Confirm | Error')\n"
        "- variant Confirm (Confirm): TypeError: failed to extract field "
        "ResultBinding::Confirm.0, caused by " + cause.format(type_name, "ConfirmResult") + "\n"
        "- variant Error (Error): TypeError: failed to extract field "
        "ResultBinding::Error.0, caused by " + cause.format(type_name, "ErrorResult")
    )


@pytest.mark.parametrize("data, type_name", BAD_DATA, ids=[b[1] for b in BAD_DATA])
def test_bad_data_faults_and_writes_nothing(connected, panic_exception, data, type_name):
    server, client = connected
    client.read_available()
    with pytest.raises(panic_exception) as raised:
        server.callback(2, S.Idle, data)
    assert raised.value.args == (binding_failure(type_name),)
    assert client.read_available() == b""
    # the object is unchanged: the next answer goes out
    server.callback(2, S.Idle, vp.ConfirmResult(True))
    assert client.read_exact(24) == hand_result(2, "Idle", confirm=True)


def test_bad_data_is_reported_before_a_missing_connection(panic_exception):
    server = vp.ComSocketServer("127.0.0.1:1")
    with pytest.raises(panic_exception) as raised:
        server.callback(2, S.Idle, 1)
    assert raised.value.args == (binding_failure("int"),)
    with pytest.raises(RuntimeError) as raised:
        server.callback(2, S.Idle, vp.ConfirmResult(True))
    assert type(raised.value) is RuntimeError
    assert str(raised.value) == "Bad Server state"


@pytest.mark.parametrize(
    "call, error, message",
    [
        (lambda s: s.callback(256, S.Idle, vp.ConfirmResult(True)), OverflowError,
         "out of range integral type conversion attempted"),
        (lambda s: s.callback(1, 1, vp.ConfirmResult(True)), TypeError,
         "argument 'status': 'int' object cannot be converted to 'ServerStatus'"),
        (lambda s: s.callback(1, S.Idle), TypeError,
         "ComSocketServer.callback() missing 1 required positional argument: 'data'"),
    ],
    ids=["id out of range", "status not a ServerStatus", "data missing"],
)
def test_callback_arguments_are_refused_before_the_body(connected, call, error, message):
    server, client = connected
    with pytest.raises(error) as raised:
        call(server)
    assert str(raised.value) == message
    assert client.read_available() == b""
