"""The TCP connection to the server: connect, send one frame, collect the answers it brings."""

from __future__ import annotations

import select
import socket
import time
from typing import Iterator

from velto_client_tool.frames import Answer, AnswerReader

# Several answers to one frame arrive together; once the first is in, wait this much for more.
_SETTLE_SECONDS = 0.2
_CONNECT_RETRY_SECONDS = 0.05


class ConnectionFailure(OSError):
    """The server cannot be reached, or the connection broke."""


def split_address(address: str) -> tuple[str, int]:
    host, colon, port = address.rpartition(":")
    if not colon or not host or not port.isdigit() or int(port) > 65535:
        raise ValueError(f"address must be HOST:PORT, not {address!r}")
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
        """Answers as they arrive within the timeout; none is a valid outcome (a server may be
        silent), a closed or broken connection and undecodable bytes are not."""
        sock = self._connected()
        seen_one = False
        deadline = time.monotonic() + self.timeout
        while True:
            left = deadline - time.monotonic()
            if left <= 0:
                return
            readable, _, _ = select.select([sock], [], [], left)
            if not readable:
                return
            try:
                chunk = sock.recv(4096)
            except OSError as failure:
                raise ConnectionFailure(f"connection to {self.address} broken: {_reason(failure)}") from None
            if not chunk:
                raise ConnectionFailure(f"the server at {self.address} closed the connection")
            for answer in self._reader.feed(chunk):
                seen_one = True
                yield answer
            if seen_one:
                deadline = min(deadline, time.monotonic() + _SETTLE_SECONDS)

    def _connected(self) -> socket.socket:
        if self._socket is None:
            raise ConnectionFailure(f"not connected to {self.address}")
        return self._socket


def _reason(failure: OSError) -> str:
    return failure.strerror or str(failure) or type(failure).__name__
