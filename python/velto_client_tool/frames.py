"""Frames on the wire: widget commands encoded, answers decoded, with the msgpack package."""

from __future__ import annotations

import json
from dataclasses import dataclass
from typing import Any

import msgpack

from velto_client_tool.commands import WidgetCommand

STATUSES = ("NotInit", "Idle", "Busy", "Error")


class AnswerError(ValueError):
    """Bytes from the server that are not a result frame."""


def encode(command: WidgetCommand, map_form: bool = False) -> bytes:
    """The frame for one interaction: [id, {kind: [fields]}], or keyed by name with map_form."""
    if map_form:
        frame: Any = {"id": command.widget_id, "data": {command.kind: dict(command.fields)}}
    else:
        frame = [command.widget_id, {command.kind: list(command.fields.values())}]
    # Widget floats are 32-bit on the server: sending them as float 32 keeps what is shown here.
    packed: bytes = msgpack.packb(frame, use_single_float=True)
    return packed


@dataclass(frozen=True)
class Answer:
    widget_id: int
    status: str
    confirmed: bool | None = None
    error: str | None = None

    def __str__(self) -> str:
        if self.error is not None:
            payload = f"ErrorResult({json.dumps(self.error, ensure_ascii=False)})"
        else:
            payload = f"ConfirmResult({'true' if self.confirmed else 'false'})"
        return f"{self.widget_id} {self.status} {payload}"


def decode(value: Any) -> Answer:
    """The answer held by one unpacked value: [id, status name, {payload kind: [field]}]."""
    if not (isinstance(value, list) and len(value) == 3):
        raise AnswerError(f"not a result frame: {value!r}")
    widget_id, status, payload = value
    if not (isinstance(widget_id, int) and not isinstance(widget_id, bool) and 0 <= widget_id <= 255):
        raise AnswerError(f"bad widget id in answer: {widget_id!r}")
    if status not in STATUSES:
        raise AnswerError(f"bad status in answer: {status!r}")
    if not (isinstance(payload, dict) and len(payload) == 1):
        raise AnswerError(f"bad result payload in answer: {payload!r}")
    ((kind, fields),) = payload.items()
    if not (isinstance(fields, list) and len(fields) == 1):
        raise AnswerError(f"bad result payload in answer: {payload!r}")
    (field,) = fields
    if kind == "ConfirmResult" and isinstance(field, bool):
        return Answer(widget_id, status, confirmed=field)
    if kind == "ErrorResult" and isinstance(field, str):
        return Answer(widget_id, status, error=field)
    raise AnswerError(f"bad result payload in answer: {payload!r}")


class AnswerReader:
    """Turns the received byte stream into answers; answers carry no length, so it keeps tails."""

    def __init__(self) -> None:
        self._unpacker = msgpack.Unpacker(raw=False, strict_map_key=False)

    def feed(self, chunk: bytes) -> list[Answer]:
        self._unpacker.feed(chunk)
        answers = []
        try:
            for value in self._unpacker:
                answers.append(decode(value))
        except (ValueError, msgpack.UnpackException) as failure:
            if isinstance(failure, AnswerError):
                raise
            raise AnswerError(f"undecodable bytes from the server ({failure})") from None
        return answers
