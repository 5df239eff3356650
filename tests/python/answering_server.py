"""A server for the client tool tests: every widget but 9 is answered with what it received, written
as docs/protocol.md writes it."""

import sys
import time

import velto_protocol as vp
from velto_client import describe  # beside this file

server = vp.ComSocketServer(sys.argv[1])
W = vp.WidgetRegistry


def answer(widget_id, kind):
    def action(widget):
        if isinstance(widget, (W.ClickButton, W.ConfirmButton)):
            server.callback(widget_id, vp.ServerStatus.Idle, vp.ConfirmResult(True))
        else:
            text = describe(f"{kind}_{widget_id}", widget)
            server.callback(widget_id, vp.ServerStatus.Busy, vp.ErrorResult(text))

    return action


for widget_id, kind in [(1, "ClickButton"), (3, "ToggleButton"), (5, "ConfirmButton"),
                        (6, "PressButton"), (4, "DirectionalButton"), (7, "Joystick")]:
    server.on(widget_id, kind, answer(widget_id, kind))

server.open()
server.serve()
time.sleep(60)  # the test kills the process long before
