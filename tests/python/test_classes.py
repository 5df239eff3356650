"""Properties every class of the module shares: names, module, text signatures, docstrings,
finality, constructors, and instances without dict or weak references."""

import inspect
import weakref

import pytest

import velto_protocol as vp

W = vp.WidgetRegistry

# class name -> (class, text signature or None, may be subclassed)
CLASSES = {
    "VeltoPiServer": (vp.VeltoPiServer, None, False),
    "ComSocketServer": (vp.ComSocketServer, "(address)", False),
    "Protocol": (vp.Protocol, None, False),
    "ServerStatus": (vp.ServerStatus, None, False),
    "ConfirmResult": (vp.ConfirmResult, "(status)", False),
    "ErrorResult": (vp.ErrorResult, "(error)", False),
    "WidgetRegistry": (W, None, True),
    "WidgetRegistry_ClickButton": (W.ClickButton, "()", False),
    "WidgetRegistry_ToggleButton": (W.ToggleButton, "(value)", False),
    "WidgetRegistry_ConfirmButton": (W.ConfirmButton, "()", False),
    "WidgetRegistry_PressButton": (W.PressButton, "(pressed)", False),
    "WidgetRegistry_DirectionalButton": (W.DirectionalButton, "(direction)", False),
    "WidgetRegistry_Joystick": (W.Joystick, "(delta, intensity)", False),
}


@pytest.fixture(params=sorted(CLASSES) + ["Coord"])
def described_class(request, coord_class):
    if request.param == "Coord":
        return "Coord", coord_class, None, False
    return (request.param, *CLASSES[request.param])


def test_name_has_no_module_prefix(described_class):
    name, cls, _, _ = described_class
    assert cls.__name__ == name
    assert cls.__qualname__ == name
    assert cls.__module__ == "builtins"


def test_text_signature_is_the_whole_docstring(described_class):
    _, cls, signature, _ = described_class
    assert cls.__text_signature__ == signature
    if signature is None:
        assert cls.__doc__ is None
    else:
        assert str(inspect.signature(cls)) == signature
        assert not cls.__doc__  # nothing beyond the signature line


def test_only_widget_registry_can_be_subclassed(described_class):
    _, cls, _, open_for_subclasses = described_class
    if open_for_subclasses:

        class Derived(cls):
            pass

        assert issubclass(Derived, cls)
    else:
        with pytest.raises(TypeError):
            type("Derived", (cls,), {})


@pytest.mark.parametrize(
    "make",
    [
        lambda cls: vp.VeltoPiServer(),
        lambda cls: vp.Protocol(),
        lambda cls: vp.ServerStatus(),
        lambda cls: vp.ServerStatus(1),
        lambda cls: W(),
        lambda cls: type("Derived", (W,), {})(),
        lambda cls: cls(),
        lambda cls: cls(1.0, 2.0),
    ],
    ids=["VeltoPiServer", "Protocol", "ServerStatus", "ServerStatus(1)", "WidgetRegistry",
         "WidgetRegistry subclass", "Coord", "Coord(x, y)"],
)
def test_classes_without_constructor(make, coord_class):
    with pytest.raises(TypeError) as raised:
        make(coord_class)
    assert str(raised.value) == "No constructor defined"
    assert type(raised.value) is TypeError


INSTANCES = {
    "ComSocketServer": lambda: vp.ComSocketServer("127.0.0.1:1"),
    "ServerStatus": lambda: vp.ServerStatus.Idle,
    "Protocol": lambda: vp.Protocol.Usb,
    "ConfirmResult": lambda: vp.ConfirmResult(True),
    "ErrorResult": lambda: vp.ErrorResult("bad"),
    "ClickButton": lambda: W.ClickButton(),
    "ToggleButton": lambda: W.ToggleButton(True),
    "ConfirmButton": lambda: W.ConfirmButton(),
    "PressButton": lambda: W.PressButton(False),
    "DirectionalButton": lambda: W.DirectionalButton(3),
}


@pytest.mark.parametrize("make", INSTANCES.values(), ids=INSTANCES.keys())
def test_instances_have_no_dict_and_no_weak_references(make):
    instance = make()
    assert not hasattr(instance, "__dict__")
    with pytest.raises(AttributeError):
        instance.anything = 1
    with pytest.raises(TypeError):
        weakref.ref(instance)


def test_received_objects_have_no_dict_no_weak_references_and_read_only_attributes(
        received_joystick):
    for instance in (received_joystick, received_joystick.delta):
        assert not hasattr(instance, "__dict__")
        with pytest.raises(TypeError):
            weakref.ref(instance)
    for instance, attribute in [(received_joystick, "delta"), (received_joystick, "intensity"),
                                (received_joystick.delta, "x"), (received_joystick.delta, "y")]:
        with pytest.raises(AttributeError):
            setattr(instance, attribute, 0.0)


@pytest.mark.parametrize(
    "make, attribute, value",
    [
        (INSTANCES["ComSocketServer"], "address", "elsewhere:1"),
        (INSTANCES["ConfirmResult"], "status", False),
        (INSTANCES["ErrorResult"], "error", "other"),
        (INSTANCES["ToggleButton"], "value", False),
        (INSTANCES["PressButton"], "pressed", True),
        (INSTANCES["DirectionalButton"], "direction", 4),
    ],
)
def test_attributes_are_read_only(make, attribute, value):
    instance = make()
    before = getattr(instance, attribute)
    with pytest.raises(AttributeError):
        setattr(instance, attribute, value)
    assert getattr(instance, attribute) == before


@pytest.mark.parametrize(
    "callable_, signature",
    [
        (vp.on, "(server)"),
        (vp.VeltoPiServer.use_socket, "(address)"),
        (vp.ComSocketServer.on, "(self, /, id, widget, action)"),
        (vp.ComSocketServer._get_action, "(self, /, key)"),
        (vp.ComSocketServer("x:1").on, "(id, widget, action)"),
        (vp.ComSocketServer("x:1")._get_action, "(key)"),
    ],
)
def test_callables_publish_their_signature_and_no_other_docstring(callable_, signature):
    assert str(inspect.signature(callable_)) == signature
    assert not callable_.__doc__
