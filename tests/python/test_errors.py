"""The error model as every callable applies it: argument binding texts, conversion errors and
their re-wording, the borrow guard, and PanicException."""

import pytest

import velto_protocol as vp

from velto_client import free_port, open_with_client, while_callback_writes

W = vp.WidgetRegistry


def action(widget):
    return widget


def server():
    return vp.ComSocketServer("127.0.0.1:1")


# ---- argument binding ----------------------------------------------------------------------

BINDING_ERRORS = [
    # too many positional arguments ("arguments" stays plural; "was" for one)
    (lambda: server().on(1, "ClickButton", action, 4),
     "ComSocketServer.on() takes 3 positional arguments but 4 were given"),
    (lambda: W.ClickButton(1),
     "WidgetRegistry_ClickButton.__new__() takes 0 positional arguments but 1 was given"),
    (lambda: vp.on(server(), 2), "on() takes 1 positional arguments but 2 were given"),
    (lambda: vp.ConfirmResult(True, False),
     "ConfirmResult.__new__() takes 1 positional arguments but 2 were given"),
    # a keyword for a parameter filled by position
    (lambda: server().on(1, "ClickButton", action, id=2),
     "ComSocketServer.on() got multiple values for argument 'id'"),
    (lambda: vp.ErrorResult("a", error="b"),
     "ErrorResult.__new__() got multiple values for argument 'error'"),
    # a keyword that names no parameter
    (lambda: vp.on(server=server(), x=1), "on() got an unexpected keyword argument 'x'"),
    (lambda: vp.ComSocketServer(address="a:1", port=1),
     "ComSocketServer.__new__() got an unexpected keyword argument 'port'"),
    (lambda: W.ConfirmButton(value=True),
     "WidgetRegistry_ConfirmButton.__new__() got an unexpected keyword argument 'value'"),
    # missing parameters: one, two (" and "), three (", " and ", and ")
    (lambda: vp.VeltoPiServer.use_socket(),
     "VeltoPiServer.use_socket() missing 1 required positional argument: 'address'"),
    (lambda: server().on(1, "ClickButton"),
     "ComSocketServer.on() missing 1 required positional argument: 'action'"),
    (lambda: server()._get_action(),
     "ComSocketServer._get_action() missing 1 required positional argument: 'key'"),
    (lambda: W.Joystick(),
     "WidgetRegistry_Joystick.__new__() missing 2 required positional arguments: "
     "'delta' and 'intensity'"),
    (lambda: server().on(widget="ClickButton"),
     "ComSocketServer.on() missing 2 required positional arguments: 'id' and 'action'"),
    (lambda: server().on(),
     "ComSocketServer.on() missing 3 required positional arguments: "
     "'id', 'widget', and 'action'"),
    (lambda: vp.on(), "on() missing 1 required positional argument: 'server'"),
]


@pytest.mark.parametrize("call, message", BINDING_ERRORS)
def test_binding_errors(call, message):
    with pytest.raises(TypeError) as raised:
        call()
    assert type(raised.value) is TypeError
    assert str(raised.value) == message


def test_keywords_bind_like_positions():
    s = server()
    s.on(action=action, widget="ClickButton", id=3)
    assert s._get_action(key="ClickButton_3") is action
    assert vp.VeltoPiServer.use_socket(address="h:1").address == "h:1"
    assert vp.ConfirmResult(status=True).status is True
    assert W.ToggleButton(value=False).value is False


# ---- conversions ---------------------------------------------------------------------------

CONVERSION_ERRORS = [
    (lambda: W.ToggleButton(1), "argument 'value': 'int' object cannot be converted to 'PyBool'"),
    (lambda: W.PressButton(None),
     "argument 'pressed': 'NoneType' object cannot be converted to 'PyBool'"),
    (lambda: vp.ConfirmResult(0), "argument 'status': 'int' object cannot be converted to 'PyBool'"),
    (lambda: vp.ErrorResult(3), "argument 'error': 'int' object cannot be converted to 'PyString'"),
    (lambda: vp.ComSocketServer(b"h:1"),
     "argument 'address': 'bytes' object cannot be converted to 'PyString'"),
    (lambda: vp.VeltoPiServer.use_socket(5),
     "argument 'address': 'int' object cannot be converted to 'PyString'"),
    (lambda: server().on(1, 2, action),
     "argument 'widget': 'int' object cannot be converted to 'PyString'"),
    (lambda: server()._get_action(None),
     "argument 'key': 'NoneType' object cannot be converted to 'PyString'"),
    (lambda: vp.on(1), "argument 'server': 'int' object cannot be converted to 'ComSocketServer'"),
    (lambda: vp.on(vp.ServerStatus.Idle),
     "argument 'server': 'ServerStatus' object cannot be converted to 'ComSocketServer'"),
    (lambda: W.Joystick((0.0, 0.0), 0.5),
     "argument 'delta': 'tuple' object cannot be converted to 'Coord'"),
    # the interpreter's own TypeError of the integer conversion, re-worded
    (lambda: W.DirectionalButton(1.5),
     "argument 'direction': 'float' object cannot be interpreted as an integer"),
    (lambda: server().on("1", "ClickButton", action),
     "argument 'id': 'str' object cannot be interpreted as an integer"),
]


@pytest.mark.parametrize("call, message", CONVERSION_ERRORS)
def test_conversion_errors_name_the_argument(call, message):
    with pytest.raises(TypeError) as raised:
        call()
    assert type(raised.value) is TypeError
    assert str(raised.value) == message


def test_qualified_type_name_in_conversion_errors():
    class Outer:
        class Inner:
            pass

    with pytest.raises(TypeError) as raised:
        vp.ErrorResult(Outer.Inner())
    assert str(raised.value) == (
        "argument 'error': 'test_qualified_type_name_in_conversion_errors.<locals>.Outer.Inner' "
        "object cannot be converted to 'PyString'"
    )


class TypeErrorSubclass(TypeError):
    pass


CAUSE = KeyError("why")


def caused(error, cause):
    error.__cause__ = cause
    return error


# What an __index__ that raises becomes: a TypeError itself is re-worded with the argument's name
# and keeps its cause; anything else passes unchanged.
@pytest.mark.parametrize(
    "error, message, cause",
    [
        (caused(TypeError("no index today"), CAUSE), "argument 'direction': no index today", CAUSE),
        (TypeError("plain"), "argument 'direction': plain", None),
        (TypeErrorSubclass("sub"), None, None),
        (ValueError("value"), None, None),
        (RuntimeError("runtime"), None, None),
    ],
)
def test_failing_index_conversions(error, message, cause):
    class Index:
        def __index__(self):
            raise error

    with pytest.raises(type(error)) as raised:
        W.DirectionalButton(Index())
    if message is None:
        assert raised.value is error
    else:
        assert type(raised.value) is TypeError and str(raised.value) == message
        assert raised.value.__cause__ is cause


@pytest.mark.parametrize(
    "call",
    [
        lambda: W.DirectionalButton(256),
        lambda: W.DirectionalButton(-1),
        lambda: server().on(300, "ClickButton", action),
        lambda: server().on(-5, "ClickButton", action),
    ],
)
def test_u8_out_of_range(call):
    with pytest.raises(OverflowError) as raised:
        call()
    assert type(raised.value) is OverflowError
    assert str(raised.value) == "out of range integral type conversion attempted"


def test_beyond_c_long_is_the_interpreters_overflow():
    with pytest.raises(OverflowError) as raised:
        W.DirectionalButton(2**100)
    assert "out of range integral" not in str(raised.value)
    assert not str(raised.value).startswith("argument")


@pytest.mark.parametrize(
    "call",
    [
        lambda: vp.ErrorResult("bad \ud800"),
        lambda: vp.ComSocketServer("\udfff:1"),
        lambda: server().on(1, "Click\ud800", action),
        lambda: server()._get_action("\ud800"),
    ],
)
def test_lone_surrogates_fail_with_unicode_encode_error(call):
    with pytest.raises(UnicodeEncodeError):
        call()


# ---- borrow guard --------------------------------------------------------------------------


def test_exclusive_access_refuses_other_calls_while_held():
    """Python code runs while a method holds exclusive access only in the signal handlers of a
    callback's interrupted write (see test_server_reentrancy.py for why there)."""
    port = free_port()
    s = vp.ComSocketServer(f"127.0.0.1:{port}")
    client = open_with_client(s, port)
    refused = []

    def inside():
        for call in (lambda: s._get_action("ClickButton_1"),
                     lambda: s.on(1, "ClickButton", action)):
            try:
                call()
            except RuntimeError as error:
                refused.append(error)

    refusal, written = while_callback_writes(s, client, inside)
    # a reader is refused shared access, every method exclusive access
    assert type(refusal) is RuntimeError and str(refusal) == "Already mutably borrowed"
    assert [(type(error), str(error)) for error in refused] == [
        (RuntimeError, "Already borrowed")
    ] * 2
    assert written is not None and "(os error " in str(written)  # the client went away
    # released also after the failure: both kinds of access work again
    assert s.address == f"127.0.0.1:{port}"
    s.on(1, "ClickButton", action)
    assert s._get_action("ClickButton_1") is action


# ---- faults --------------------------------------------------------------------------------


def test_panic_exception_is_one_direct_base_exception_subclass(panic_exception):
    assert panic_exception.__bases__ == (BaseException,)
    assert panic_exception.__doc__
    # (that except Exception lets it through: test_fault_reports)
    with pytest.raises(BaseException) as raised:
        vp.on(server())(lambda widget: None)
    assert type(raised.value) is panic_exception  # one class, made once
    assert raised.value.args == (str(raised.value),)


def test_host_exceptions_pass_through_unchanged():
    error = ValueError("from the action")

    @vp.on(server())
    def ClickButton_1():
        raise error

    with pytest.raises(ValueError) as raised:
        ClickButton_1()
    assert raised.value is error
    assert raised.value.__traceback__ is not None


# ---- one row per exception kind ------------------------------------------------------------

class IndexRaisesKeyError:
    def __index__(self):
        raise KeyError("from __index__")


# What each kind of error becomes at the boundary: the module's own kinds with their texts, the
# server's state and system errors as RuntimeError, a host exception unchanged. (ImportError, the
# refusal of a second interpreter, needs one: test_module.py runs it in a child process.)
ERROR_KINDS = [
    ("TypeError", lambda: server().on("3", "ClickButton", action), TypeError,
     "argument 'id': 'str' object cannot be interpreted as an integer"),
    ("OverflowError", lambda: server().on(256, "ClickButton", action), OverflowError,
     "out of range integral type conversion attempted"),
    ("ValueError", lambda: server().wait_disconnected(-1), ValueError,
     "timeout must be a non-negative number or None"),
    ("RuntimeError", lambda: server().serve(), RuntimeError, "Bad Server state"),
    ("Host", lambda: server().on(IndexRaisesKeyError(), "ClickButton", action), KeyError,
     "'from __index__'"),
]


@pytest.mark.parametrize("kind, call, exception, message", ERROR_KINDS,
                         ids=[row[0] for row in ERROR_KINDS])
def test_each_error_kind_becomes_its_exception(kind, call, exception, message):
    with pytest.raises(exception) as raised:
        call()
    assert type(raised.value) is exception
    assert str(raised.value) == message
    assert raised.value.__cause__ is None


# The module's own kinds are raised as made, not chained to an exception being handled where the
# call was made; the server's state errors are set the way the interpreter sets its own.
@pytest.mark.parametrize("call, chained", [
    (lambda: server().on(256, "ClickButton", action), False),
    (lambda: server().serve(), True),
])
def test_errors_raised_while_handling_another(call, chained):
    handled = LookupError("being handled")
    with pytest.raises(Exception) as raised:
        try:
            raise handled
        except LookupError:
            call()
    assert (raised.value.__context__ is handled) is chained
