"""Demo: a velto_protocol server and the velto-client tool talking to each other.

The server registers one action per widget with the decorator, waits for the client, serves
its frames on the background thread and answers each with a result frame.
"""

import io
import os
import socket
import subprocess
import sys

import velto_protocol as vp

# Every line leaves in one write as soon as it ends, even where output is unbuffered (python -u
# or PYTHONUNBUFFERED write a print() in pieces): the module writes its console lines to the same
# standard output, and one could land inside a line written in pieces.
if isinstance(sys.stdout, io.TextIOWrapper):
    sys.stdout.reconfigure(line_buffering=True, write_through=False)


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


address = f"127.0.0.1:{free_port()}"
server = vp.VeltoPiServer.use_socket(address)
lamp = {"on": False}


@vp.on(server)
def ClickButton_1(widget):
    print("server: click!", flush=True)
    server.callback(1, vp.ServerStatus.Idle, vp.ConfirmResult(True))


@vp.on(server)
def ToggleButton_3(widget):
    lamp["on"] = widget.value
    print(f"server: lamp {'on' if lamp['on'] else 'off'}", flush=True)
    server.callback(3, vp.ServerStatus.Idle, vp.ConfirmResult(lamp["on"]))


@vp.on(server)
def DirectionalButton_4(widget):
    if widget.direction > 3:
        server.callback(4, vp.ServerStatus.Error, vp.ErrorResult("no such direction"))
    else:
        print(f"server: move towards {'NESW'[widget.direction]}", flush=True)
        server.callback(4, vp.ServerStatus.Busy, vp.ConfirmResult(True))


@vp.on(server)
def Joystick_7(widget):
    print(f"server: stick at ({widget.delta.x}, {widget.delta.y}), "
          f"intensity {widget.intensity}", flush=True)
    server.callback(7, vp.ServerStatus.Idle, vp.ConfirmResult(True))


# The client plays a script of widget interactions; it waits for the server to listen.
session = os.path.join(os.path.dirname(os.path.abspath(__file__)), "demo_session.txt")
client = subprocess.Popen(
    [sys.executable, "-m", "velto_client_tool", address, "--script", session, "--connect-wait", "30"]
)
print(f"server: waiting for the client on {address}", flush=True)
server.open()
server.serve()
status = client.wait(timeout=60)
server.close()
print("server: client finished" + (" cleanly" if status == 0 else f" with status {status}"),
      flush=True)
sys.exit(status)
