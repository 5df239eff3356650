"""The command words of velto-client: parsing one line into a widget interaction."""

from __future__ import annotations

import shlex
from dataclasses import dataclass
from typing import Callable, Iterable, Union

Field = Union[bool, int, float, list[float]]


class CommandError(ValueError):
    """A command line that names no command or gives it wrong arguments."""


@dataclass(frozen=True)
class WidgetCommand:
    """One widget interaction: the kind, the widget id and the fields in their wire order."""

    kind: str
    widget_id: int
    fields: dict[str, Field]


def _widget_id(word: str) -> int:
    try:
        value = int(word, 10)
    except ValueError:
        raise CommandError(f"widget id must be a number 0 to 255, not {word!r}") from None
    if not 0 <= value <= 255:
        raise CommandError(f"widget id must be a number 0 to 255, not {value}")
    return value


def _switch(word: str, true_words: tuple[str, ...], false_words: tuple[str, ...]) -> bool:
    lowered = word.lower()
    if lowered in true_words:
        return True
    if lowered in false_words:
        return False
    raise CommandError(f"expected one of {', '.join(true_words + false_words)}, not {word!r}")


def _number(word: str) -> float:
    try:
        return float(word)
    except ValueError:
        raise CommandError(f"expected a number, not {word!r}") from None


def _direction(word: str) -> int:
    try:
        value = int(word, 10)
    except ValueError:
        raise CommandError(f"direction must be a number 0 to 255, not {word!r}") from None
    if not 0 <= value <= 255:
        raise CommandError(f"direction must be a number 0 to 255, not {value}")
    return value


@dataclass(frozen=True)
class _Grammar:
    kind: str
    arguments: str
    summary: str
    build: Callable[[list[str]], dict[str, Field]]


_ON, _OFF = ("on", "true", "1"), ("off", "false", "0")
_DOWN, _UP = ("down", "true", "1"), ("up", "false", "0")

GRAMMAR: dict[str, _Grammar] = {
    "click": _Grammar("ClickButton", "ID", "press a click button", lambda words: {}),
    "toggle": _Grammar(
        "ToggleButton", "ID on|off", "switch a toggle button",
        lambda words: {"value": _switch(words[0], _ON, _OFF)},
    ),
    "confirm": _Grammar("ConfirmButton", "ID", "press a confirm button", lambda words: {}),
    "press": _Grammar(
        "PressButton", "ID down|up", "hold a press button down or let it go",
        lambda words: {"pressed": _switch(words[0], _DOWN, _UP)},
    ),
    "direction": _Grammar(
        "DirectionalButton", "ID DIRECTION", "press a directional button (0 to 255)",
        lambda words: {"direction": _direction(words[0])},
    ),
    "joystick": _Grammar(
        "Joystick", "ID X Y INTENSITY", "move a joystick",
        lambda words: {"delta": [_number(words[0]), _number(words[1])],
                       "intensity": _number(words[2])},
    ),
}

_ARGUMENT_COUNTS = {name: len(grammar.arguments.split()) - 1 for name, grammar in GRAMMAR.items()}


def parse_words(words: list[str]) -> WidgetCommand:
    """The widget interaction that a command's words ask for, such as ['toggle', '3', 'on']."""
    if not words:
        raise CommandError("empty command")
    name, *arguments = words
    grammar = GRAMMAR.get(name.lower())
    if grammar is None:
        raise CommandError(f"unknown command {name!r} (try 'help')")
    wanted = _ARGUMENT_COUNTS[name.lower()]
    if len(arguments) != wanted + 1:
        raise CommandError(f"usage: {name.lower()} {grammar.arguments}")
    return WidgetCommand(grammar.kind, _widget_id(arguments[0]), grammar.build(arguments[1:]))


def split_line(line: str) -> list[str]:
    """The words of one script or prompt line; '#' starts a comment."""
    try:
        return shlex.split(line, comments=True)
    except ValueError as failure:
        raise CommandError(str(failure)) from None


@dataclass(frozen=True)
class CommandLine:
    """A command as it is shown above its answers (its words, without the comment) and the
    interaction it asks for."""

    text: str
    command: WidgetCommand


def command_line(words: list[str]) -> CommandLine:
    return CommandLine(" ".join(words), parse_words(words))


class ScriptError(CommandError):
    """A script with bad lines: every one of them, each named by file and line number."""

    def __init__(self, source: str, problems: list[str]) -> None:
        super().__init__("\n".join(problems))
        self.source = source
        self.problems = problems


def parse_script(lines: Iterable[str], source: str) -> list[CommandLine]:
    """The commands of a whole script, checked before any is sent: half a session played
    against a real device, stopped by a typo further down, is worse than none."""
    commands: list[CommandLine] = []
    problems: list[str] = []
    for number, line in enumerate(lines, start=1):
        try:
            words = split_line(line)
            if words:
                commands.append(command_line(words))
        except CommandError as failure:
            problems.append(f"{source}:{number}: {failure}")
    if problems:
        raise ScriptError(source, problems)
    return commands


def help_text() -> str:
    lines = ["commands (ID is the widget id, 0 to 255):"]
    for name, grammar in GRAMMAR.items():
        lines.append(f"  {name + ' ' + grammar.arguments:<27}{grammar.summary}")
    lines.append(f"  {'help':<27}this list (at the prompt)")
    lines.append(f"  {'quit':<27}leave the prompt (so does Ctrl-D)")
    return "\n".join(lines)
