"""Widget value classes: the kind classes under WidgetRegistry, their constructors and
attributes, Coord, and class patterns in match statements."""

import math
import sys
import textwrap

import pytest

import velto_protocol as vp

W = vp.WidgetRegistry

KINDS = ["ClickButton", "ToggleButton", "ConfirmButton", "PressButton", "DirectionalButton",
         "Joystick"]


def test_kind_classes_are_class_attributes_in_order_and_inherited():
    kind_attributes = [name for name in vars(W) if name in KINDS]
    assert kind_attributes == KINDS
    for name in KINDS:
        kind = getattr(W, name)
        assert kind.__name__ == "WidgetRegistry_" + name
        assert kind.__bases__ == (W,)
        assert getattr(kind, name) is kind  # inherited from WidgetRegistry
        assert kind.Joystick is W.Joystick


def test_kind_classes_add_no_storage():
    for name in KINDS:
        assert getattr(W, name).__basicsize__ == W.__basicsize__


@pytest.mark.parametrize(
    "kind, match_args",
    [("ClickButton", None), ("ToggleButton", ("value",)), ("ConfirmButton", None),
     ("PressButton", ("pressed",)), ("DirectionalButton", ("direction",)),
     ("Joystick", ("delta", "intensity"))],
)
def test_match_args(kind, match_args):
    assert getattr(W, kind).__match_args__ == match_args


@pytest.mark.parametrize(
    "make, attribute, expected",
    [
        (lambda: W.ToggleButton(True), "value", True),
        (lambda: W.ToggleButton(value=False), "value", False),
        (lambda: W.PressButton(True), "pressed", True),
        (lambda: W.PressButton(pressed=False), "pressed", False),
        (lambda: W.DirectionalButton(255), "direction", 255),
        (lambda: W.DirectionalButton(0), "direction", 0),
        (lambda: W.DirectionalButton(True), "direction", 1),
        (lambda: W.DirectionalButton(direction=7), "direction", 7),
    ],
)
def test_constructed_attributes(make, attribute, expected):
    value = getattr(make(), attribute)
    assert value == expected
    assert type(value) is type(expected)


def test_objects_are_instances_of_widget_registry_and_compare_by_identity():
    a, b = W.ClickButton(), W.ClickButton()
    assert isinstance(a, W)
    assert type(a).__name__ == "WidgetRegistry_ClickButton"
    assert a != b and a == a
    assert len({a, b, a}) == 2  # hashable, by identity
    assert repr(a).startswith("<builtins.WidgetRegistry_ClickButton object at ")


def test_index_objects_are_accepted_for_direction():
    class Index:
        def __index__(self):
            return 9

    assert W.DirectionalButton(Index()).direction == 9


# ---- Coord and joystick (need a received joystick: Coord has no constructor) ----------------


def test_received_joystick_and_its_delta(received_joystick, coord_class):
    j = received_joystick
    assert type(j) is W.Joystick
    assert (j.delta.x, j.delta.y, j.intensity) == (0.5, -1.0, 0.75)
    assert type(j.delta) is coord_class
    assert j.delta is not j.delta  # a new Coord on every access
    built = W.Joystick(j.delta, 0.5)  # the constructor copies the vector
    assert (built.delta.x, built.delta.y) == (0.5, -1.0)


@pytest.mark.parametrize(
    "intensity, expected",
    [
        (0.1, 0.10000000149011612),
        (1, 1.0),
        (True, 1.0),
        (1e39, math.inf),
        (-1e39, -math.inf),
        (3.4028235e38, 3.4028234663852886e38),  # above the largest float, rounds down to it
        (3.4028235677973362e38, 3.4028234663852886e38),  # just below the halfway point
        (3.4028235677973366e38, math.inf),  # exactly halfway: ties to even, an infinity
        (2.5, 2.5),
        (math.nan, math.nan),
    ],
)
def test_intensity_is_rounded_to_32_bits(received_joystick, intensity, expected):
    built = W.Joystick(received_joystick.delta, intensity)
    assert built.intensity == expected or math.isnan(expected) and math.isnan(built.intensity)
    assert type(built.intensity) is float


def test_intensity_from_float_conversion(received_joystick):
    class Real:
        def __float__(self):
            return 0.25

    assert W.Joystick(delta=received_joystick.delta, intensity=Real()).intensity == 0.25
    with pytest.raises(TypeError) as raised:
        W.Joystick(received_joystick.delta, "0.5")
    assert str(raised.value).startswith("argument 'intensity': ")


# ---- match statement -----------------------------------------------------------------------

MATCH_SOURCE = textwrap.dedent(
    """
    def describe(widget):
        match widget:
            case WidgetRegistry.ClickButton():
                return ("click",)
            case WidgetRegistry.ToggleButton(value):
                return ("toggle", value)
            case WidgetRegistry.ConfirmButton():
                return ("confirm",)
            case WidgetRegistry.PressButton(pressed=pressed):
                return ("press", pressed)
            case WidgetRegistry.DirectionalButton(direction):
                return ("direction", direction)
            case WidgetRegistry.Joystick(delta, intensity):
                return ("joystick", delta.x, delta.y, intensity)
        return None

    def positional_on_fieldless(widget):
        match widget:
            case WidgetRegistry.ClickButton(anything):
                return anything
    """
)


@pytest.fixture(scope="module")
def matcher():
    if sys.version_info < (3, 10):
        pytest.skip("the match statement came with Python 3.10")
    namespace = {"WidgetRegistry": W}
    exec(compile(MATCH_SOURCE, "<match>", "exec"), namespace)
    return namespace


@pytest.mark.parametrize(
    "widget, expected",
    [
        (lambda: W.ClickButton(), ("click",)),
        (lambda: W.ToggleButton(True), ("toggle", True)),
        (lambda: W.ConfirmButton(), ("confirm",)),
        (lambda: W.PressButton(False), ("press", False)),
        (lambda: W.DirectionalButton(200), ("direction", 200)),
    ],
)
def test_match_statement_on_widget_objects(matcher, widget, expected):
    assert matcher["describe"](widget()) == expected


def test_match_statement_on_a_received_joystick(matcher, received_joystick):
    assert matcher["describe"](received_joystick) == ("joystick", 0.5, -1.0, 0.75)


def test_positional_pattern_on_a_fieldless_kind_raises(matcher):
    with pytest.raises(TypeError, match="__match_args__"):
        matcher["positional_on_fieldless"](W.ClickButton())
