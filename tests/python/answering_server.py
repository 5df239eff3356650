"""A server for the client tool tests: every widget but 9 is answered with what it received."""

import sys
import time

import velto_protocol as vp

server = vp.ComSocketServer(sys.argv[1])
W = vp.WidgetRegistry


def describe(widget):
    if isinstance(widget, W.ToggleButton):
        return f"toggle value={widget.value}"
    if isinstance(widget, W.PressButton):
        return f"press pressed={widget.pressed}"
    if isinstance(widget, W.DirectionalButton):
        return f"direction {widget.direction}"
    if isinstance(widget, W.Joystick):
        return f"joystick ({widget.delta.x}, {widget.delta.y}) {widget.intensity}"
    return type(widget).__name__


def answer(widget_id):
    def action(widget):
        if isinstance(widget, (W.ClickButton, W.ConfirmButton)):
            server.callback(widget_id, vp.ServerStatus.Idle, vp.ConfirmResult(True))
        else:
            server.callback(widget_id, vp.ServerStatus.Busy, vp.ErrorResult(describe(widget)))

    return action


for widget_id, kind in [(1, "ClickButton"), (3, "ToggleButton"), (5, "ConfirmButton"),
                        (6, "PressButton"), (4, "DirectionalButton"), (7, "Joystick")]:
    server.on(widget_id, kind, answer(widget_id))

server.open()
server.serve()
time.sleep(60)  # the test kills the process long before
