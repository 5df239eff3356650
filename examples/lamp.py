"""A lamp switch: toggle button 3 turns the lamp on and off, and the phone is told its state.

    python examples/lamp.py 127.0.0.1:5000        # then, from another shell:
    velto-client 127.0.0.1:5000 toggle 3 on

Stop it with Ctrl-C.
"""

import io
import sys
import time

import velto_protocol as vp

# Every line leaves in one write as soon as it ends, even where output is unbuffered (python -u
# or PYTHONUNBUFFERED write a print() in pieces): the module writes its console lines to the same
# standard output, and one could land inside a line written in pieces.
if isinstance(sys.stdout, io.TextIOWrapper):
    sys.stdout.reconfigure(line_buffering=True, write_through=False)

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
