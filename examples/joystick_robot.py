"""A robot driven by joystick 7: it refuses sticks outside the unit square with an ErrorResult.

    python examples/joystick_robot.py 127.0.0.1:5000   # then, from another shell:
    velto-client 127.0.0.1:5000                        # a prompt: type the lines below
    velto> joystick 7 0.5 -1 0.75
    velto> joystick 7 2 0 1                            # answered with an error
    velto> quit

The robot takes one phone: both commands go over one connection, one velto-client run.
Ctrl-C stops the robot and the server cleanly.
"""

from __future__ import annotations

import io
import math
import sys
import time

import velto_protocol as vp
from velto_protocol import ServerStatus, WidgetRegistry

# Every line leaves in one write as soon as it ends, even where output is unbuffered (python -u
# or PYTHONUNBUFFERED write a print() in pieces): the module writes its console lines to the same
# standard output, and one could land inside a line written in pieces.
if isinstance(sys.stdout, io.TextIOWrapper):
    sys.stdout.reconfigure(line_buffering=True, write_through=False)


class Robot:
    """The robot's state: where the stick last asked it to go, and how hard."""

    def __init__(self) -> None:
        self.heading = (0.0, 0.0)
        self.speed = 0.0

    def steer(self, x: float, y: float, intensity: float) -> str | None:
        """Takes the stick's input; the reason it refuses it, or None when it moves."""
        if not all(math.isfinite(v) for v in (x, y, intensity)):
            return "joystick values must be finite"
        if abs(x) > 1.0 or abs(y) > 1.0:
            return f"stick outside the unit square: ({x:g}, {y:g})"
        if not 0.0 <= intensity <= 1.0:
            return f"intensity must lie in 0..1, not {intensity:g}"
        self.heading = (x, y)
        self.speed = intensity
        return None


def main(address: str) -> int:
    robot = Robot()
    server = vp.VeltoPiServer.use_socket(address)

    @vp.on(server)
    def Joystick_7(widget: WidgetRegistry) -> None:
        if isinstance(widget, WidgetRegistry.Joystick):
            refusal = robot.steer(widget.delta.x, widget.delta.y, widget.intensity)
        else:
            refusal = "joystick 7 expects a joystick"
        if refusal is not None:
            print(f"robot: refused: {refusal}", flush=True)
            server.callback(7, ServerStatus.Error, vp.ErrorResult(refusal))
            return
        print(f"robot: heading {robot.heading}, speed {robot.speed:g}", flush=True)
        server.callback(7, ServerStatus.Busy, vp.ConfirmResult(True))

    print(f"robot: waiting for the phone on {address}", flush=True)
    server.open()
    server.serve()
    try:
        while True:
            time.sleep(0.2)
    except KeyboardInterrupt:
        # Said before close(): the serving thread prints "Terminating." soon after.
        print("robot: stopping", flush=True)
        server.close()
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1] if len(sys.argv) > 1 else "127.0.0.1:5000"))
