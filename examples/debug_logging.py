"""Debug records of velto_protocol through the standard logging module.

The module logs "register action: ..." and "decorated call" at DEBUG level under the logger
velto_protocol.server.com_socket, and installs no handler: the program decides where they go.

    python examples/debug_logging.py
"""

import logging

import velto_protocol as vp

logging.basicConfig(level=logging.WARNING, format="%(levelname)s %(name)s: %(message)s")
logging.getLogger("velto_protocol").setLevel(logging.DEBUG)

server = vp.ComSocketServer("127.0.0.1:5000")
server.on(1, "ClickButton", lambda widget: None)  # logs "register action: ClickButton"


@vp.on(server)  # registering logs "register action: PressButton"
def PressButton_2(widget: vp.WidgetRegistry.PressButton) -> str:
    return "down" if widget.pressed else "up"


# Calling the decorated function yourself logs "decorated call".
print("the handler says", PressButton_2(vp.WidgetRegistry.PressButton(True)))
