"""The facade VeltoPiServer.use_socket, the action registry of ComSocketServer (on,
_get_action), and the decorator on(server) with its faults."""

import functools
import sys

import pytest

import velto_protocol as vp

from velto_client import free_port, open_with_client, while_callback_writes

GENERIC_NAME = "velto_action_decorator"


@pytest.fixture
def s():
    return vp.VeltoPiServer.use_socket("127.0.0.1:5000")


def test_use_socket_makes_distinct_servers():
    a = vp.VeltoPiServer.use_socket("127.0.0.1:5000")
    b = vp.VeltoPiServer.use_socket("127.0.0.1:5000")
    assert type(a) is vp.ComSocketServer and a is not b
    assert a.address == b.address == "127.0.0.1:5000"
    assert a.address is not a.address  # a new str on every access
    assert vp.ComSocketServer("not an address").address == "not an address"  # kept unparsed


# ---- registry ------------------------------------------------------------------------------


# (the key of every widget text: the C++ action key tests)
@pytest.mark.parametrize(
    "id_, widget, key",
    [
        (3, "  ClickButton\u2003wide", "ClickButton_3"),
        (True, "PressButton", "PressButton_1"),
    ],
)
def test_on_registers_under_the_action_key(s, id_, widget, key):
    def action(widget):
        return widget

    assert s.on(id_, widget, action) is None
    assert s._get_action(key) is action


def test_the_registry_holds_one_reference_per_key_until_replaced_or_destroyed():
    def f(widget):
        pass

    def g(widget):
        pass

    before = sys.getrefcount(f)
    s = vp.ComSocketServer("h:1")
    s.on(3, "ClickButton", f)
    s.on(4, "ClickButton", f)
    assert sys.getrefcount(f) == before + 2
    s.on(3, "ClickButton", g)
    assert s._get_action("ClickButton_3") is g
    assert sys.getrefcount(f) == before + 1
    del s
    assert sys.getrefcount(f) == before


def test_get_action_looks_up_exactly(s):
    assert s._get_action("ClickButton_3") is None  # empty registry
    s.on(3, "ClickButton", print)
    assert s._get_action("ClickButton_4") is None
    assert s._get_action(" ClickButton_3") is None
    assert s._get_action("ClickButton_3") is print


def test_a_cycle_through_the_registry_is_collected():
    import gc
    import weakref

    class Probe:
        pass

    server = vp.ComSocketServer("h:1")
    probe = Probe()
    probe.server = server

    def action(widget, probe=probe):
        return probe

    server.on(1, "ClickButton", action)
    alive = weakref.ref(probe)
    del server, probe, action
    gc.collect()
    assert alive() is None


# ---- decorator -----------------------------------------------------------------------------


def test_decorator_and_wrapper_objects(s):
    decorator = vp.on(s)
    assert decorator.__name__ == GENERIC_NAME
    assert decorator.__module__ is None
    assert decorator.__doc__ is None
    assert decorator.__self__ is s

    def ClickButton_3(x, *, y=0):
        """Docstring of the function."""
        return (x, y)

    wrapper = decorator(ClickButton_3)
    assert wrapper is not ClickButton_3
    assert wrapper.__name__ == GENERIC_NAME
    assert wrapper.__module__ is None
    assert wrapper.__doc__ is None
    assert wrapper(1, y=2) == (1, 2)
    assert wrapper(5) == (5, 0)
    assert s._get_action("ClickButton_3") is ClickButton_3  # the function, not the wrapper


def test_the_function_name_gives_the_key(s):
    # (every way of taking a name apart: the C++ action key tests)
    def Joystick_0_left(widget):
        return widget

    vp.on(s)(Joystick_0_left)
    assert s._get_action("Joystick_0") is Joystick_0_left


def test_decorator_ignores_further_arguments(s):
    def PressButton_9(widget):
        pass

    vp.on(s)(PressButton_9, 1, 2, extra=3)
    assert s._get_action("PressButton_9") is PressButton_9


def test_decorator_without_arguments_raises_index_error(s):
    with pytest.raises(IndexError) as raised:
        vp.on(s)()
    assert str(raised.value) == "tuple index out of range"


class NameIsNumber:
    __name__ = 5

    def __call__(self, widget):
        pass


class SurrogateName:
    __name__ = "Click\ud800_3"

    def __call__(self, widget):
        pass


def named(name):
    def function(widget):
        pass

    function.__name__ = name
    return function


FAULT_CASES = [
    (lambda: (lambda widget: None), 'the function name "<lambda>" has no "_"'),
    (lambda: named("Click_Button_3"), '"Button" where the widget id belongs'),
    (lambda: named("ClickButton_256"), '"256" where the widget id belongs'),
    (lambda: named("ClickButton_-1"), '"-1" where the widget id belongs'),
    (lambda: functools.partial(print), "could not read __name__ of the decorated object: "
                                       "AttributeError: "),
    (lambda: NameIsNumber(), "__name__ of the decorated object is not a str: TypeError: "
                             "'int' object cannot be converted to 'PyString'"),
    (lambda: SurrogateName(), "__name__ of the decorated object is not valid text: "
                              "UnicodeEncodeError: "),
]


@pytest.mark.parametrize("make, message_part", FAULT_CASES)
def test_decorator_faults(s, panic_exception, make, message_part):
    function = make()
    with pytest.raises(panic_exception) as raised:
        vp.on(s)(function)
    assert len(raised.value.args) == 1
    assert raised.value.args[0].startswith("on(): ")
    assert message_part in raised.value.args[0]
    assert not any(s._get_action(key) is function for key in ("ClickButton_3", "Click_3"))


def test_name_is_not_bound_after_a_fault(s, panic_exception):
    namespace = {"on": vp.on, "s": s}
    with pytest.raises(panic_exception):
        exec("@on(s)\ndef ClickButton_x(widget):\n    pass\n", namespace)
    assert "ClickButton_x" not in namespace


def test_failed_registration_is_a_fault_carrying_the_exception(panic_exception):
    """The server's own `on` refuses (a callback holds the server), so the decoration faults;
    the fault travels back through the signal handler that decorated, is recognised in the
    callback, and comes out of it as a PanicException with the same message."""
    port = free_port()
    s = vp.ComSocketServer(f"127.0.0.1:{port}")
    client = open_with_client(s, port)

    def DirectionalButton_2(widget):
        pass

    with pytest.raises(panic_exception) as raised:
        while_callback_writes(s, client, lambda: vp.on(s)(DirectionalButton_2))
    assert raised.value.args == (
        "on(): registering the decorated function with the server failed: "
        "RuntimeError: Already borrowed",
    )
    assert s._get_action("DirectionalButton_2") is None

