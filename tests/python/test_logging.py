"""Debug records go to Python's logging under velto_protocol.server.com_socket, only when the
program enables them; the module installs no handler of its own."""

import logging

import pytest

import velto_protocol as vp

from conftest import LOGGER_NAME


def test_register_and_decorated_call_records(debug_records):
    s = vp.ComSocketServer("h:1")
    s.on(3, "ClickButton", print)

    @vp.on(s)
    def ToggleButton_4(widget):
        return widget

    ToggleButton_4(1)
    assert debug_records.messages() == [
        "register action: ClickButton",
        "register action: ToggleButton",
        "decorated call",
    ]
    for record in debug_records.records:
        assert record.name == LOGGER_NAME
        assert record.levelno == logging.DEBUG


def test_message_text_is_taken_literally(debug_records):
    with pytest.warns(RuntimeWarning, match="'100%' is not a widget kind"):
        vp.ComSocketServer("h:1").on(1, "100% %s", print)
    assert debug_records.messages() == ["register action: 100% %s"]


def test_record_is_not_built_when_debug_is_disabled(monkeypatch):
    logger = logging.getLogger(LOGGER_NAME)
    asked = []
    monkeypatch.setattr(logger, "isEnabledFor", lambda level: asked.append(level) or False,
                        raising=False)
    monkeypatch.setattr(logger, "debug", lambda *args: pytest.fail("record built"),
                        raising=False)
    vp.ComSocketServer("h:1").on(1, "ClickButton", print)
    assert asked == [logging.DEBUG]


def test_the_module_installs_no_handler():
    assert logging.getLogger(LOGGER_NAME).handlers == []


def test_nothing_is_printed_without_logging_configuration(python_process):
    result = python_process(
        """
        import velto_protocol as vp
        s = vp.ComSocketServer("h:1")
        s.on(1, "ClickButton", print)

        @vp.on(s)
        def ClickButton_2():
            return 1
        ClickButton_2()
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout == "" and result.stderr == ""


def test_records_reach_a_configured_root_handler(python_process):
    result = python_process(
        """
        import logging, sys
        logging.basicConfig(level=logging.DEBUG, stream=sys.stdout,
                            format="%(name)s %(levelname)s %(message)s")
        import velto_protocol as vp
        vp.ComSocketServer("h:1").on(1, "Joystick", print)
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout == "velto_protocol.server.com_socket DEBUG register action: Joystick\n"
