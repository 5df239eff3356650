"""The velto-client prompt: readline editing and history, help, one command a line."""

from __future__ import annotations

import os
import sys
from typing import TYPE_CHECKING

from velto_client_tool.commands import CommandError, command_line, help_text, split_line

if TYPE_CHECKING:
    from velto_client_tool.cli import Session

PROMPT = "velto> "
HISTORY_FILE = os.path.join(os.path.expanduser("~"), ".velto_client_history")
HISTORY_LENGTH = 1000


def _load_history() -> None:
    try:
        import readline
    except ImportError:  # a Python built without readline still gets a plain prompt
        return
    readline.set_history_length(HISTORY_LENGTH)
    try:
        readline.read_history_file(HISTORY_FILE)
    except OSError:
        pass


def _save_history() -> None:
    try:
        import readline

        readline.write_history_file(HISTORY_FILE)
    except (ImportError, OSError):
        pass


_QUIT_WORDS = ("quit", "exit")
_HELP_WORDS = ("help", "?")


def _take(session: Session, typed: str) -> bool:
    """Handles one line, typed or piped; False when it asks to leave."""
    try:
        words = split_line(typed)
        if not words:
            return True
        if words[0] not in _QUIT_WORDS + _HELP_WORDS:
            session.play(command_line(words))  # shows the command itself, after any late answers
            return True
    except CommandError as failure:
        session.show(typed.strip())
        session.say(f"error: {failure}")
        return True
    session.show(" ".join(words))
    if words[0] in _QUIT_WORDS:
        return False
    session.say(help_text())
    return True


def prompt_loop(session: Session) -> None:
    """Reads commands until quit or end of input; a bad command is reported and the prompt goes on,
    a broken connection or an undecodable answer ends the loop."""
    interactive = sys.stdin.isatty()
    if interactive:
        _load_history()
        print(f"connected to {session.connection.address}; 'help' lists the commands", flush=True)
    try:
        while True:
            try:
                typed = input(PROMPT if interactive else "")
            except EOFError:
                if interactive:
                    print()
                return
            except KeyboardInterrupt:
                print()
                continue
            if not _take(session, typed):
                return
    finally:
        if interactive:
            _save_history()
