"""A lamp switch: toggle button 3 turns the lamp on and off, and the phone is told its state.

    python examples/lamp.py 127.0.0.1:5000        # then, from another shell:
    velto-client 127.0.0.1:5000 toggle 3 on

Stop it with Ctrl-C.
"""

import sys
import time

import velto_protocol as vp

address = sys.argv[1] if len(sys.argv) > 1 else "127.0.0.1:5000"
server = vp.VeltoPiServer.use_socket(address)


@vp.on(server)
def ToggleButton_3(widget: vp.WidgetRegistry.ToggleButton) -> None:
    print("lamp", "on" if widget.value else "off", flush=True)
    server.callback(3, vp.ServerStatus.Idle, vp.ConfirmResult(widget.value))


print(f"lamp: waiting for the phone on {address}", flush=True)
server.open()
server.serve()
try:
    while True:
        time.sleep(1)
except KeyboardInterrupt:
    # Said before close(): the serving thread prints "Terminating." soon after.
    print("lamp: stopping", flush=True)
    server.close()
