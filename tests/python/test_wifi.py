"""A phone on Wi-Fi, through a real network: each case runs a server program and a phone program
in a network namespace of its own, on loopback addresses, and makes the phone vanish by taking
the namespace's link down (no FIN, no reset: the phone's packets simply stop)."""

import time
from concurrent.futures import ThreadPoolExecutor

import pytest

import velto_protocol as vp
from network_namespace import (ANSWERING_WITH_HEARTBEAT, CAN_MAKE_NAMESPACES, LONG, STEP,
                               Namespace, NamespaceUnavailable)
from velto_client import frame, hand_result

needs_namespaces = pytest.mark.skipif(
    not CAN_MAKE_NAMESPACES,
    reason="network namespaces need root and the ip command (iproute2); CI runs as root",
)

ANSWER = "server.on(1, 'ClickButton', lambda w: server.callback(1, S.Idle, C(True)))\n"
CLICK = frame(1, "ClickButton")
ANSWER_SIZE = len(hand_result(1, "Idle", confirm=True))


# ---- the cases -------------------------------------------------------------------------------


def vanished_phone_noticed(ns, timeout, set_while_serving=False):
    """`timeout` None: the default. Set while serving, it applies to the connection at once."""
    setting = "" if timeout is None else f"server.liveness_timeout = {timeout}\n"
    server, _ = ns.serving(("server.liveness_timeout = None\n" if set_while_serving else setting)
                           + ANSWER)
    if set_while_serving:
        server.call(setting)
    ns.link(False)
    assert server.call("server.wait_disconnected(timeout=40)", timeout=LONG) == "'disconnected'"
    server.wait_stderr("Failed to read frame : Connection timed out (os error 110)")
    # As after any fault of the serving thread.
    with pytest.raises(Exception, match="sending on a closed channel"):
        server.call("server.close()")


def vanished_phone_kept_without_timeout(ns):
    """None: as the kernel's defaults have it, a vanished phone is not given up on for long."""
    server, _ = ns.serving("server.liveness_timeout = None\n")
    ns.link(False)
    assert server.call("server.wait_disconnected(timeout=5)", timeout=STEP) == "None"


def callback_loop_to_vanished_phone(ns):
    """The program keeps answering a phone that has gone: callback() ends with the kernel's
    error instead of blocking without end, and another thread of the program runs again."""
    server, _ = ns.serving("server.liveness_timeout = 2\n" + ANSWERING_WITH_HEARTBEAT)
    ns.link(False)
    text, _, _ = eval(server.call("answer_until_it_fails()", timeout=LONG))
    assert text == "Connection timed out (os error 110)"
    # The heartbeat went on after the callback gave up.
    assert server.call("heart_goes_on()") == "True"
    server.wait_stderr("Failed to read frame : Connection timed out (os error 110)")


def silent_phone_kept(ns):
    """A phone that says nothing for four timeouts is still served."""
    server, phone = ns.serving("server.liveness_timeout = 1\n" + ANSWER)
    assert server.call("server.wait_disconnected(timeout=4)", timeout=STEP) == "None"
    phone.call(f"phone.sendall({CLICK!r})")
    assert phone.call(f"answered(phone, {ANSWER_SIZE})") == str(ANSWER_SIZE)


def phone_that_does_not_read_kept(ns):
    """A phone that is there but reads nothing: its window stays closed for four timeouts while
    callback() blocks, as a write to a full connection does; then it reads, and gets it all."""
    size = 8 << 20
    server, phone = ns.serving("server.liveness_timeout = 1\n", rcvbuf=4096)
    server.start(f"server.callback(1, S.Busy, E('x' * {size}))")
    time.sleep(4)
    assert phone.call(f"answered(phone, {size})", timeout=LONG) == str(size)
    assert server.result(timeout=STEP) == "None"


def reconnect_loop_serves_returning_phone(ns):
    """The README's reconnect loop: the phone vanishes, is noticed, comes back and is served."""
    server = ns.server("server.liveness_timeout = 2\n" + ANSWER + """
def serve_rounds(rounds):
    for _ in range(rounds):
        server.open()
        say("event: connected")
        server.serve()
        say("event: " + str(server.wait_disconnected(timeout=30)))
""")
    server.start("serve_rounds(2)")
    ns.phone()
    seen = server.wait_line("event: connected", timeout=STEP)
    ns.link(False)
    seen = server.wait_line("event: disconnected", start=seen, timeout=LONG)
    ns.link(True)
    back = ns.phone()
    server.wait_line("event: connected", start=seen, timeout=STEP)
    back.call(f"phone.sendall({CLICK!r})")
    assert back.call(f"answered(phone, {ANSWER_SIZE})") == str(ANSWER_SIZE)
    back.call("phone.close()")
    assert server.result(timeout=STEP) == "None"


def only_allowed_phones(ns, allowed, refused, admitted):
    """Phones from `refused` sources are closed before a byte is read, with a debug record each;
    the phone from `admitted` is the one open() returns with."""
    server = ns.server(f"server.allowed_clients = {allowed!r}\n" + ANSWER)
    server.start("server.open()")
    for source, host in refused:
        stranger = ns.phone(source=source, host=host)
        assert stranger.call("phone.recv(10)", timeout=STEP) == "b''"
        server.wait_line(f"log: refused client {source}: not in allowed_clients", timeout=STEP)
    source, host = admitted
    phone = ns.phone(source=source, host=host)
    assert server.result(timeout=STEP) == "None"
    assert server.call("server.serve()") == "None"
    phone.call(f"phone.sendall({CLICK!r})")
    assert phone.call(f"answered(phone, {ANSWER_SIZE})") == str(ANSWER_SIZE)


CASES = {
    "vanished phone noticed, 2 s": lambda ns: vanished_phone_noticed(ns, 2),
    "vanished phone noticed, default 15 s": lambda ns: vanished_phone_noticed(ns, None),
    "vanished phone noticed, set while serving": lambda ns: vanished_phone_noticed(ns, 2, True),
    "vanished phone kept without a timeout": vanished_phone_kept_without_timeout,
    "callback() loop to a vanished phone": callback_loop_to_vanished_phone,
    "silent phone kept": silent_phone_kept,
    "phone that does not read kept": phone_that_does_not_read_kept,
    "reconnect loop serves the phone that comes back": reconnect_loop_serves_returning_phone,
    "IPv4: a stranger refused, the allowed phone served": lambda ns: only_allowed_phones(
        ns, ["127.0.0.2", "10.0.0.0/8"], [("127.0.0.3", "127.0.0.1")], ("127.0.0.2", "127.0.0.1")),
    "IPv6 refused, IPv4-mapped allowed by its IPv4 network": lambda ns: only_allowed_phones(
        ns, ["fd00::/8", "127.0.0.0/30"], [("::1", "::1"), ("127.0.0.9", "127.0.0.1")],
        ("127.0.0.2", "127.0.0.1")),
    "IPv6 allowed": lambda ns: only_allowed_phones(ns, ("::1",), [], ("::1", "::1")),
}

# The long cases run side by side, each in its own namespace, while the others run.
BACKGROUND = ["vanished phone noticed, default 15 s", "phone that does not read kept",
              "silent phone kept", "vanished phone kept without a timeout"]


def run_case(name):
    namespace = Namespace()
    try:
        namespace.__enter__()
    except NamespaceUnavailable as refused:
        pytest.skip(str(refused))
    try:
        CASES[name](namespace)
    finally:
        namespace.__exit__(None, None, None)


@pytest.fixture(scope="module")
def background():
    if not CAN_MAKE_NAMESPACES:
        yield {}
        return
    with ThreadPoolExecutor(len(BACKGROUND)) as pool:
        yield {name: pool.submit(run_case, name) for name in BACKGROUND}


@needs_namespaces
@pytest.mark.parametrize("name", [*BACKGROUND, *[n for n in CASES if n not in BACKGROUND]][::-1])
def test_phone_on_a_real_network(name, background):
    if name in background:
        background[name].result(timeout=90)
    else:
        run_case(name)


# ---- the settings' values (no network needed) ------------------------------------------------

LIVENESS_NUMBER = "liveness_timeout must be finite and greater than 0, not "
CLIENTS_ITERABLE = "allowed_clients must be None or an iterable of addresses and networks, not "


@pytest.mark.parametrize("attribute, value, error, text", [
    ("liveness_timeout", True, TypeError, "liveness_timeout must be a number of seconds, not bool"),
    ("liveness_timeout", "5", TypeError, "liveness_timeout must be a number of seconds, not str"),
    ("liveness_timeout", 0, ValueError, LIVENESS_NUMBER + "0"),
    ("liveness_timeout", -1, ValueError, LIVENESS_NUMBER + "-1"),
    ("liveness_timeout", float("nan"), ValueError, LIVENESS_NUMBER + "nan"),
    ("liveness_timeout", float("inf"), ValueError, LIVENESS_NUMBER + "inf"),
    ("liveness_timeout", 10**400, ValueError, "liveness_timeout must be at most 2147483, not 1"),
    ("allowed_clients", "127.0.0.1", TypeError, CLIENTS_ITERABLE + "str"),
    ("allowed_clients", 5, TypeError, CLIENTS_ITERABLE + "int"),
    ("allowed_clients", [b"127.0.0.1"], TypeError,
     "allowed_clients entries must be str, not bytes"),
    ("allowed_clients", [], ValueError,
     "allowed_clients is empty, so no client could ever connect; None lets any client in"),
    ("allowed_clients", ["phone"], ValueError,
     "allowed_clients: 'phone' is not an IPv4 or IPv6 address or network"),
    ("allowed_clients", ["192.168.1.5/24"], ValueError,
     "allowed_clients: '192.168.1.5/24' has host bits set: the network is '192.168.1.0/24'"),
    ("allowed_clients", ["10.0.0.0/33"], ValueError,
     "allowed_clients: '10.0.0.0/33' has no prefix length from 0 to 32 after its '/'"),
])
def test_bad_setting_refused_and_kept(attribute, value, error, text):
    server = vp.ComSocketServer("127.0.0.1:0")
    before = getattr(server, attribute)
    with pytest.raises(error) as raised:
        setattr(server, attribute, value)
    assert str(raised.value).startswith(text)
    assert getattr(server, attribute) == before
    with pytest.raises(TypeError, match=f"cannot delete {attribute}"):
        delattr(server, attribute)


@pytest.mark.parametrize("attribute, value, read", [
    ("liveness_timeout", None, None),
    ("liveness_timeout", 2, 2.0),
    ("liveness_timeout", 0.25, 0.25),
    ("allowed_clients", None, None),
    ("allowed_clients",
     iter(["192.168.1.20", "192.168.1.0/24", "FD00::/8", "::ffff:10.0.0.0/104"]),
     ("192.168.1.20", "192.168.1.0/24", "fd00::/8", "10.0.0.0/8")),
])
def test_setting_read_back_normalized(attribute, value, read):
    server = vp.ComSocketServer("127.0.0.1:0")
    assert (server.liveness_timeout, server.allowed_clients) == (15.0, None)
    setattr(server, attribute, value)
    assert getattr(server, attribute) == read
