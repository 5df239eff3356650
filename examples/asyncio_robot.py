"""A robot run by an asyncio program: telemetry in the background, async actions, phone after phone.

    python examples/asyncio_robot.py 127.0.0.1:5000    # then, from another shell:
    velto-client 127.0.0.1:5000 toggle 3 on --reconnect 2
    velto-client 127.0.0.1:5000 direction 5 2

Everything runs on the program's event loop: the battery telemetry task, the waits for a phone
(open_async) and for its leaving (wait_disconnected_async), and the async def actions, which the
serving thread hands to the loop. Stop it with Ctrl-C.
"""

from __future__ import annotations

import asyncio
import io
import sys

import velto_protocol as vp
from velto_protocol import ServerStatus, WidgetRegistry

# Every line leaves in one write as soon as it ends, even where output is unbuffered (python -u
# or PYTHONUNBUFFERED write a print() in pieces): the module writes its console lines to the same
# standard output, and one could land inside a line written in pieces.
if isinstance(sys.stdout, io.TextIOWrapper):
    sys.stdout.reconfigure(line_buffering=True, write_through=False)

DIRECTIONS = ("up", "right", "down", "left")


class Robot:
    """The robot's state: motors on or off, the way it faces, and its battery."""

    def __init__(self) -> None:
        self.motors = False
        self.facing = "up"
        self.battery = 100

    async def switch_motors(self, on: bool) -> None:
        await asyncio.sleep(0.05)  # the motors ramp up (or down) meanwhile; the loop goes on
        self.motors = on

    async def turn(self, direction: int) -> str | None:
        """Turns to `direction` (0 up, 1 right, 2 down, 3 left); the reason it cannot, or None."""
        if direction >= len(DIRECTIONS):
            return f"no direction {direction}"
        await asyncio.sleep(0.05)
        self.facing = DIRECTIONS[direction]
        return None

    async def report_battery(self, every: float = 1.0) -> None:
        """Telemetry: runs beside everything else for as long as the program runs."""
        while True:
            await asyncio.sleep(every)
            if self.motors:
                self.battery = max(0, self.battery - 1)
            print(f"robot: battery {self.battery}%", flush=True)


def stop_serving(server: vp.ComSocketServer) -> None:
    try:
        server.close()
    except RuntimeError:
        pass  # "sending on a closed channel": serving has ended already (a reset phone, an
        # undecodable frame, an action that raised)


async def main(address: str) -> None:
    robot = Robot()
    server = vp.VeltoPiServer.use_socket(address)

    # Called on the serving thread; the coroutine it makes runs on this program's loop.
    @vp.on(server)
    async def ToggleButton_3(widget: WidgetRegistry.ToggleButton) -> None:
        await robot.switch_motors(widget.value)
        print("robot: motors", "on" if robot.motors else "off", flush=True)
        server.callback(3, ServerStatus.Idle, vp.ConfirmResult(robot.motors))

    @vp.on(server)
    async def DirectionalButton_5(widget: WidgetRegistry.DirectionalButton) -> None:
        refusal = await robot.turn(widget.direction)
        if refusal is not None:
            server.callback(5, ServerStatus.Error, vp.ErrorResult(refusal))
            return
        print(f"robot: facing {robot.facing}", flush=True)
        server.callback(5, ServerStatus.Idle, vp.ConfirmResult(True))

    telemetry = asyncio.ensure_future(robot.report_battery())
    phones = 0
    try:
        while True:
            print(f"robot: waiting for a phone on {address}", flush=True)
            await server.open_async()
            phones += 1
            print(f"robot: phone {phones} connected", flush=True)
            server.serve()  # here, on the loop: the async actions run on this loop
            left = await server.wait_disconnected_async()  # "disconnected", "failed", "stopped"
            print(f"robot: phone {phones} {left}", flush=True)
            stop_serving(server)
    finally:
        telemetry.cancel()
        stop_serving(server)


if __name__ == "__main__":
    try:
        asyncio.run(main(sys.argv[1] if len(sys.argv) > 1 else "127.0.0.1:5000"))
    except KeyboardInterrupt:
        print("robot: stopping", flush=True)
