"""The velto-client prompt: readline editing and history, help, one command a line."""

from __future__ import annotations

import os
import sys
from typing import TYPE_CHECKING

from velto_client_tool.commands import CommandError, help_text, split_line

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
                line = input(PROMPT if interactive else "")
            except EOFError:
                if interactive:
                    print()
                return
            except KeyboardInterrupt:
                print()
                continue
            try:
                words = split_line(line)
                if not words:
                    continue
                if words[0] in ("quit", "exit"):
                    return
                if words[0] in ("help", "?"):
                    print(help_text(), flush=True)
                    continue
                session.run_words(words)
            except CommandError as failure:
                print(f"error: {failure}", flush=True)
    finally:
        if interactive:
            _save_history()
