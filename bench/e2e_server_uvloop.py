"""The second yardstick: the fastest server a performance-minded Python programmer would write.

uvloop's event loop with a bare Protocol (no stream reader in between), msgspec's decoder for a
chunk that holds exactly one frame (the usual case of a live stream) and msgpack's streaming
Unpacker for anything else (msgspec decodes one whole message only), msgspec Structs for the
widget objects, and the same shape check and handler table as the asyncio peer.
"""

import asyncio

import msgpack
import msgspec
import uvloop

from e2e_server_peer import fields_of, serve_frames, widget_of


class Coord(msgspec.Struct):
    x: float
    y: float


class ClickButton(msgspec.Struct):
    pass


class ConfirmButton(msgspec.Struct):
    pass


class ToggleButton(msgspec.Struct):
    value: bool


class PressButton(msgspec.Struct):
    pressed: bool


class DirectionalButton(msgspec.Struct):
    direction: int


class Joystick(msgspec.Struct):
    delta: Coord
    intensity: float


def direction(value):
    if not 0 <= value <= 255:
        raise ValueError("direction out of range")
    return DirectionalButton(value)


def joystick(delta, intensity):
    x, y = fields_of(delta, ("x", "y"))
    return Joystick(Coord(float(x), float(y)), float(intensity))


# Kind name -> (constructor, field names in order), as in the asyncio peer.
WIDGETS = {
    "ClickButton": (ClickButton, ()),
    "ToggleButton": (lambda value: ToggleButton(bool(value)), ("value",)),
    "ConfirmButton": (ConfirmButton, ()),
    "PressButton": (lambda pressed: PressButton(bool(pressed)), ("pressed",)),
    "DirectionalButton": (direction, ("direction",)),
    "Joystick": (joystick, ("delta", "intensity")),
}


class FrameProtocol(asyncio.Protocol):
    def __init__(self, handlers, connected, client_gone):
        self.handlers = handlers
        self.connected, self.client_gone = connected, client_gone
        self.decode = msgspec.msgpack.Decoder().decode
        self.unpacker = msgpack.Unpacker()
        self.fed = 0  # bytes given to the unpacker; all taken when its tell() reaches it

    def connection_made(self, transport):
        self.connected.set()

    def dispatch(self, message):
        key, widget = widget_of(message, WIDGETS)
        handler = self.handlers.get(key)
        if handler is not None:
            handler(widget)

    def data_received(self, data):
        if self.unpacker.tell() == self.fed:
            try:
                message = self.decode(data)
            except msgspec.DecodeError:
                pass  # several frames, or part of one: the streaming unpacker cuts them
            else:
                self.dispatch(message)
                return
        self.unpacker.feed(data)
        self.fed += len(data)
        for message in self.unpacker:
            self.dispatch(message)

    def connection_lost(self, exc):
        self.client_gone.set()


async def start_protocol_server(port, handlers, connected, client_gone):
    loop = asyncio.get_running_loop()
    return await loop.create_server(lambda: FrameProtocol(handlers, connected, client_gone),
                                    "127.0.0.1", port)


if __name__ == "__main__":
    uvloop.run(serve_frames(start_protocol_server))
