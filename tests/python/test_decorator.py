"""The facade VeltoPiServer.use_socket, the action registry of ComSocketServer (on,
_get_action), the decorator on(server) with its faults, and the warnings of both about
registrations that no frame reaches."""

import functools
import sys
import warnings

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



# ---- warnings about registrations that no frame reaches ----------------------------------

KINDS = ["ClickButton", "ToggleButton", "ConfirmButton", "PressButton", "DirectionalButton",
         "Joystick"]
EVERY_KIND = ("the widget kinds are ClickButton, ToggleButton, ConfirmButton, PressButton, "
              "DirectionalButton and Joystick")


def no_kind(word, key, hint):
    return (f"'{word}' is not a widget kind, so no frame ever reaches the action registered "
            f"as {key}; {hint}")


def not_callable(key, type_name):
    return (f"the action registered as {key} is not callable ('{type_name}' object): the first "
            f"frame for it would end serving")


def serving(key):
    return (f"the server is serving: its running thread does not see the action registered as "
            f"{key} until the next serve()")


def warned(register):
    """The texts of the warnings `register()` gives, every one shown (none left out as seen
    before); each a RuntimeWarning at the program's line that registered."""
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        register()
    assert all(w.category is RuntimeWarning and w.filename == __file__ for w in caught)
    return [str(w.message) for w in caught]


# (widget, action, key, the warnings in order); everything is stored all the same
REGISTRATIONS = [
    ("Toggle", print, "Toggle_3", [no_kind("Toggle", "Toggle_3", "did you mean 'ToggleButton'?")]),
    (" joystik left", print, "joystik_3",
     [no_kind("joystik", "joystik_3", "did you mean 'Joystick'?")]),
    ("Lamp", print, "Lamp_3", [no_kind("Lamp", "Lamp_3", EVERY_KIND)]),
    ("", print, "_3", [no_kind("", "_3", EVERY_KIND)]),
    ("ClickButton", 42, "ClickButton_3", [not_callable("ClickButton_3", "int")]),
    ("click", None, "click_3", [no_kind("click", "click_3", "did you mean 'ClickButton'?"),
                                not_callable("click_3", "NoneType")]),
] + [(f"{kind} lamp", print, f"{kind}_3", []) for kind in KINDS]


@pytest.mark.parametrize("widget, action, key, expected", REGISTRATIONS,
                         ids=[repr(r[0]) for r in REGISTRATIONS])
def test_on_warns_of_what_no_frame_reaches_and_stores_it(s, widget, action, key, expected):
    assert warned(lambda: s.on(3, widget, action)) == expected
    assert s._get_action(key) is action


def test_the_decorator_warns_at_the_decorating_line(s):
    def decorate():
        @vp.on(s)
        def toggle_3(widget):
            pass

    assert warned(decorate) == [no_kind("toggle", "toggle_3", "did you mean 'ToggleButton'?")]
    assert s._get_action("toggle_3").__name__ == "toggle_3"


def register_by_on(server, action):
    server.on(3, "Toggle", action)


def register_by_decorator(server, action):
    vp.on(server)(named("Toggle_3"))


@pytest.mark.parametrize("register", [register_by_on, register_by_decorator])
def test_a_warning_made_an_error_is_raised_and_nothing_is_stored(s, register):
    def earlier(widget):
        pass

    warned(lambda: s.on(3, "Toggle", earlier))
    with warnings.catch_warnings():
        warnings.simplefilter("error", RuntimeWarning)
        # the warning's own exception, not a fault, from the decorator too
        with pytest.raises(RuntimeWarning) as raised:
            register(s, print)
    assert str(raised.value) == no_kind("Toggle", "Toggle_3", "did you mean 'ToggleButton'?")
    assert s._get_action("Toggle_3") is earlier


def test_on_while_a_thread_serves_warns_that_the_thread_keeps_its_registry():
    port = free_port()
    server = vp.ComSocketServer(f"127.0.0.1:{port}")
    client = open_with_client(server, port)
    def register_around_serving():
        server.on(1, "ClickButton", print)  # connected, not serving
        server.serve()
        server.on(2, "ClickButton", print)
        server.close()
        server.on(3, "ClickButton", print)  # the thread is told to stop

    try:
        assert warned(register_around_serving) == [serving("ClickButton_2")]
    finally:
        client.close()
    assert server._get_action("ClickButton_2") is print
