"""The TCP connection to the server: connect, send one frame, collect the answers it brings."""

from __future__ import annotations

import select
import socket
import time
from typing import Iterator

from velto_client_tool.frames import Answer, AnswerReader

# The answers an action gives to one frame come together; once one is in, the wait ends after
# this long without another (an action answering again after a second's work is reported later,
# before the next frame, as a late answer).
SETTLE_SECONDS = 0.2
_CONNECT_RETRY_SECONDS = 0.05
# What arrived() reads at the most, in receives: a server that never stops sending does not keep
# the next command from being sent.
_ARRIVED_RECEIVES = 256


class ConnectionFailure(OSError):
    """The server cannot be reached, or the connection broke."""


def split_address(address: str) -> tuple[str, int]:
    host, colon, port = address.rpartition(":")
    if not colon or not host or not port.isdigit():
        raise ValueError(f"address must be HOST:PORT, not {address!r}")
    if not 1 <= int(port) <= 65535:
        raise ValueError(f"port must be 1 to 65535, not {int(port)} (in {address!r})")
    return host.strip("[]"), int(port)


class Connection:
    """One client connection. close() and connect() again give a fresh one on the same address,
    which is all a reconnecting session needs."""

    def __init__(self, address: str, timeout: float) -> None:
        self.address = address
        self.timeout = timeout
        self._socket: socket.socket | None = None
        self._reader = AnswerReader()

    def connect(self, wait: float = 0.0) -> None:
        """Connects, retrying a refused connection for `wait` seconds (a server not listening yet)."""
        host, port = split_address(self.address)
        deadline = time.monotonic() + wait
        while True:
            try:
                self._socket = socket.create_connection((host, port), timeout=self.timeout)
                break
            except ConnectionRefusedError as failure:
                if time.monotonic() >= deadline:
                    raise ConnectionFailure(
                        f"cannot connect to {self.address}: {_reason(failure)}") from None
                time.sleep(_CONNECT_RETRY_SECONDS)
            except OSError as failure:
                raise ConnectionFailure(
                    f"cannot connect to {self.address}: {_reason(failure)}") from None
        self._reader = AnswerReader()

    def close(self) -> None:
        if self._socket is not None:
            self._socket.close()
            self._socket = None

    def __enter__(self) -> Connection:
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.close()

    def send(self, frame: bytes) -> None:
        try:
            self._connected().sendall(frame)
        except OSError as failure:
            raise ConnectionFailure(f"connection to {self.address} broken: {_reason(failure)}") from None

    def answers(self) -> Iterator[Answer]:
        """The answers to the frame just sent, as they arrive: the wait is for up to the timeout
        for the first, then until SETTLE_SECONDS pass without another, never past the timeout.
        None is a valid outcome (a server may be silent); a closed or broken connection and
        undecodable bytes are not."""
        sock = self._connected()
        limit = time.monotonic() + self.timeout
        deadline = limit
        while True:
            left = deadline - time.monotonic()
            if left <= 0:
                return
            readable, _, _ = select.select([sock], [], [], left)
            if not readable:
                return
            answers = self._receive(sock)
            yield from answers
            if answers:
                deadline = min(limit, time.monotonic() + SETTLE_SECONDS)

    def arrived(self) -> Iterator[Answer]:
        """The answers already received, without waiting: those that came after the wait for
        their frame had ended, or that the server sent of its own accord."""
        sock = self._connected()
        for _ in range(_ARRIVED_RECEIVES):
            readable, _, _ = select.select([sock], [], [], 0)
            if not readable:
                return
            yield from self._receive(sock)

    def _receive(self, sock: socket.socket) -> list[Answer]:
        try:
            chunk = sock.recv(4096)
        except OSError as failure:
            raise ConnectionFailure(f"connection to {self.address} broken: {_reason(failure)}") from None
        if not chunk:
            raise ConnectionFailure(f"the server at {self.address} closed the connection")
        return self._reader.feed(chunk)

    def _connected(self) -> socket.socket:
        if self._socket is None:
            raise ConnectionFailure(f"not connected to {self.address}")
        return self._socket


def _reason(failure: OSError) -> str:
    return failure.strerror or str(failure) or type(failure).__name__
