"""Reference client: plays the phone app's part against a velto_protocol server.

It connects over TCP, sends one MessagePack frame per widget interaction and reads the
result frames the server writes back. Run it against a server:

    python examples/reference_client.py 127.0.0.1:5000
"""

import socket
import sys
import time

import msgpack

WIDGET_KINDS = (
    "ClickButton",
    "ToggleButton",
    "ConfirmButton",
    "PressButton",
    "DirectionalButton",
    "Joystick",
)


def encode_frame(widget_id, kind, *fields):
    """One frame in the array form: [id, {kind: [fields...]}]."""
    if kind not in WIDGET_KINDS:
        raise ValueError(f"unknown widget kind {kind!r}")
    return msgpack.packb([widget_id, {kind: list(fields)}], use_single_float=True)


def joystick(widget_id, x, y, intensity):
    return encode_frame(widget_id, "Joystick", [x, y], intensity)


class ReferenceClient:
    def __init__(self, address, connect_timeout=10.0):
        host, _, port = address.rpartition(":")
        deadline = time.monotonic() + connect_timeout
        while True:
            try:
                self.sock = socket.create_connection((host, int(port)), timeout=connect_timeout)
                break
            except (ConnectionRefusedError, OSError):
                if time.monotonic() > deadline:
                    raise
                time.sleep(0.05)
        self.unpacker = msgpack.Unpacker(raw=False)

    def send(self, frame_bytes):
        self.sock.sendall(frame_bytes)

    def read_result(self, timeout=10.0):
        """The next result frame as (id, status, payload), or None when the server hung up."""
        self.sock.settimeout(timeout)
        while True:
            for result in self.unpacker:
                return tuple(result)
            chunk = self.sock.recv(4096)
            if not chunk:
                return None
            self.unpacker.feed(chunk)

    def close(self):
        self.sock.close()


def scripted_session(address):
    client = ReferenceClient(address)
    interactions = [
        ("click button 1", encode_frame(1, "ClickButton")),
        ("toggle button 3 on", encode_frame(3, "ToggleButton", True)),
        ("directional button 4, direction 2", encode_frame(4, "DirectionalButton", 2)),
        ("joystick 7 at (0.5, -1.0), intensity 0.75", joystick(7, 0.5, -1.0, 0.75)),
        ("toggle button 3 off", encode_frame(3, "ToggleButton", False)),
    ]
    for label, frame in interactions:
        client.send(frame)
        result = client.read_result()
        print(f"client: sent {label:<45} got {result}", flush=True)
        if result is None:
            print("client: the server closed the connection", flush=True)
            return 1
    client.close()
    return 0


if __name__ == "__main__":
    if len(sys.argv) != 2:
        print(__doc__, file=sys.stderr)
        sys.exit(2)
    sys.exit(scripted_session(sys.argv[1]))
