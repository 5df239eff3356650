"""The yardstick: the server a Python programmer would write with asyncio and msgpack.

A stream reader, a streaming Unpacker, a shape check, a small object per frame, a dict of handlers.
"""

import asyncio

import msgpack

import threading

from e2e_common import (Reporter, busy_python, make_action, parse_arguments, rss_bytes,
                        start_window)
from e2e_frames import WIDGET_IDS


class Coord:
    __slots__ = ("x", "y")

    def __init__(self, x, y):
        self.x, self.y = float(x), float(y)


class ClickButton:
    __slots__ = ()


class ConfirmButton:
    __slots__ = ()


class ToggleButton:
    __slots__ = ("value",)

    def __init__(self, value):
        self.value = bool(value)


class PressButton:
    __slots__ = ("pressed",)

    def __init__(self, pressed):
        self.pressed = bool(pressed)


class DirectionalButton:
    __slots__ = ("direction",)

    def __init__(self, direction):
        if not 0 <= direction <= 255:
            raise ValueError("direction out of range")
        self.direction = direction


class Joystick:
    __slots__ = ("delta", "intensity")

    def __init__(self, delta, intensity):
        self.delta = Coord(*fields_of(delta, ("x", "y")))
        self.intensity = float(intensity)


# Kind name -> (class, field names in order).
WIDGETS = {
    "ClickButton": (ClickButton, ()),
    "ToggleButton": (ToggleButton, ("value",)),
    "ConfirmButton": (ConfirmButton, ()),
    "PressButton": (PressButton, ("pressed",)),
    "DirectionalButton": (DirectionalButton, ("direction",)),
    "Joystick": (Joystick, ("delta", "intensity")),
}


def fields_of(record, names):
    """A record arrives as a list in field order or as a dict keyed by field name."""
    if isinstance(record, dict):
        return [record[name] for name in names]
    if isinstance(record, list) and len(record) == len(names):
        return record
    raise ValueError(f"bad record {record!r}")


def widget_of(message, widgets=WIDGETS):
    if isinstance(message, dict):
        widget_id, data = message["id"], message["data"]
    elif isinstance(message, list) and len(message) == 2:
        widget_id, data = message
    else:
        raise ValueError(f"bad frame {message!r}")
    if not isinstance(data, dict) or len(data) != 1:
        raise ValueError(f"bad widget {data!r}")
    ((kind, payload),) = data.items()
    cls, names = widgets[kind]
    return f"{kind}_{widget_id}", cls(*fields_of(payload, names))


def start_busy_thread(arguments, finished):
    """With --busy, a thread of the program's own runs Python code until the last frame."""
    if not arguments.busy:
        return
    threading.Thread(target=busy_python, args=(finished.is_set,), daemon=True).start()


async def serve_frames(start_server):
    """What both peers do around their server: the report pipe, the counting action in the handler
    table, the idle window, the wait for the last frame and for the client to go.

    `start_server(port, handlers, connected, client_gone)` listens and returns the server; it
    sets `connected` when the client comes and `client_gone` when it leaves.
    """
    arguments = parse_arguments()
    reporter = Reporter(arguments.report_fd)
    finished = asyncio.Event()
    last = threading.Event()
    stamps = [] if arguments.stamps else None

    def last_frame():
        finished.set()
        last.set()

    action = make_action(arguments, reporter, last_frame, stamps)
    handlers = {f"{kind}_{widget_id}": action for kind, widget_id in WIDGET_IDS.items()}
    connected, client_gone = asyncio.Event(), asyncio.Event()
    server = await start_server(arguments.port, handlers, connected, client_gone)
    await connected.wait()
    idle = start_window()
    await asyncio.sleep(arguments.idle)
    reporter.send(ready=True, idle=idle())
    run = start_window()
    start_busy_thread(arguments, last)
    if arguments.frames:
        await asyncio.wait_for(finished.wait(), timeout=900)
    reporter.send(done=True, run=run(), rss=rss_bytes(), stamps=stamps)
    # The driver closes its side after the report; the reading side then ends by itself.
    await asyncio.wait_for(client_gone.wait(), timeout=120)
    server.close()


async def start_stream_server(port, handlers, connected, client_gone):
    async def serve_client(reader, writer):
        connected.set()
        unpacker = msgpack.Unpacker()
        while chunk := await reader.read(65536):
            unpacker.feed(chunk)
            for message in unpacker:
                key, widget = widget_of(message)
                handler = handlers.get(key)
                if handler is not None:
                    handler(widget)
        writer.close()
        client_gone.set()

    return await asyncio.start_server(serve_client, "127.0.0.1", port)


if __name__ == "__main__":
    asyncio.run(serve_frames(start_stream_server))
