"""Module start-up: surface, __all__, caching on re-import, the one-interpreter rule, exports."""

import importlib
import shutil
import subprocess
import sys

import pytest

import velto_protocol

EXPECTED_ALL = [
    "VeltoPiServer",
    "ComSocketServer",
    "Protocol",
    "ServerStatus",
    "ConfirmResult",
    "ErrorResult",
    "WidgetRegistry",
    "on",
]


def test_all_lists_the_eight_names_in_order():
    assert velto_protocol.__all__ == EXPECTED_ALL
    for name in EXPECTED_ALL:
        assert hasattr(velto_protocol, name)


def test_module_docstring_has_three_lines():
    assert len(velto_protocol.__doc__.splitlines()) == 3


@pytest.mark.parametrize(
    "name",
    [
        "Coord",
        "PanicException",
        "WidgetRegistry_ClickButton",
        "WidgetRegistry_ToggleButton",
        "WidgetRegistry_ConfirmButton",
        "WidgetRegistry_PressButton",
        "WidgetRegistry_DirectionalButton",
        "WidgetRegistry_Joystick",
    ],
)
def test_inner_classes_are_not_module_attributes(name):
    assert not hasattr(velto_protocol, name)


def test_on_belongs_to_the_module_and_classes_to_builtins():
    assert velto_protocol.on.__module__ == "velto_protocol"
    assert velto_protocol.on.__self__ is velto_protocol
    assert velto_protocol.ComSocketServer.__module__ == "builtins"


def test_reload_returns_the_identical_module_unchanged():
    before = velto_protocol.ComSocketServer
    assert importlib.reload(velto_protocol) is velto_protocol
    assert velto_protocol.__all__ == EXPECTED_ALL
    assert velto_protocol.ComSocketServer is before


def test_import_after_removal_from_sys_modules_returns_the_same_module():
    saved = sys.modules.pop("velto_protocol")
    try:
        again = importlib.import_module("velto_protocol")
        assert again is saved
        assert again.__all__ == EXPECTED_ALL
    finally:
        sys.modules["velto_protocol"] = saved


def test_only_the_entry_is_exported():
    nm = shutil.which("nm")
    if nm is None:
        pytest.skip("nm is not installed")
    listing = subprocess.run(
        [nm, "-D", "--defined-only", velto_protocol.__file__],
        capture_output=True,
        text=True,
        check=True,
    ).stdout
    symbols = [line.split()[-1] for line in listing.splitlines() if line.strip()]
    assert symbols == ["PyInit_velto_protocol"]


SUBINTERPRETER_IMPORT = """
import os
try:
    import velto_protocol
except ImportError as error:
    os.write(1, ("ImportError: " + str(error) + "\\n").encode())
else:
    os.write(1, b"imported\\n")
"""


def test_a_second_interpreter_cannot_import(python_process):
    result = python_process(
        f"""
        import velto_protocol
        code = {SUBINTERPRETER_IMPORT!r}
        try:
            import _testcapi
            run = _testcapi.run_in_subinterp
        except (ImportError, AttributeError):
            try:
                import _xxsubinterpreters as interpreters
            except ImportError:
                print("no sub-interpreter hooks")
                raise SystemExit(0)
            def run(code):
                interpreter = interpreters.create()
                try:
                    interpreters.run_string(interpreter, code)
                finally:
                    interpreters.destroy(interpreter)
        for attempt in range(2):
            run(code)
        """
    )
    assert result.returncode == 0, result.stderr
    if result.stdout == "no sub-interpreter hooks\n":
        pytest.skip("this Python offers no sub-interpreter hooks")
    lines = result.stdout.splitlines()
    assert len(lines) == 2
    for line in lines:
        assert line.startswith("ImportError: ")
        assert "does not support sub-interpreters" in line
