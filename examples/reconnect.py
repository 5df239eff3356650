"""A lamp that takes its phone back: it serves one phone after another, for as long as it runs.

    python examples/reconnect.py 127.0.0.1:5000        # then, from another shell:
    velto-client 127.0.0.1:5000 toggle 3 on --reconnect 2

Each time the phone leaves (closes the app, drops the connection), the lamp says so and waits for
the next one. Stop it with Ctrl-C.
"""

import io
import sys

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


def stop_serving() -> None:
    try:
        server.close()
    except RuntimeError:
        pass  # "sending on a closed channel": the serving thread has ended already (a reset
        # phone, an undecodable frame, an action that raised)


phones = 0
try:
    while True:
        print(f"lamp: waiting for a phone on {address}", flush=True)
        server.open()
        phones += 1
        print(f"lamp: phone {phones} connected", flush=True)
        server.serve()
        left = server.wait_disconnected()  # "disconnected", "failed" or "stopped"
        print(f"lamp: phone {phones} {left}", flush=True)
        stop_serving()
except KeyboardInterrupt:
    print("lamp: stopping", flush=True)
    stop_serving()
