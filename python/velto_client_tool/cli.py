"""The velto-client command line: one command, a script of commands, or an interactive prompt."""

from __future__ import annotations

import argparse
import sys
from typing import TextIO

from velto_client_tool import frames
from velto_client_tool.commands import (
    CommandError, CommandLine, ScriptError, command_line, help_text, parse_script,
)
from velto_client_tool.connection import SETTLE_SECONDS, Connection, ConnectionFailure, split_address
from velto_client_tool.frames import AnswerError
from velto_client_tool.interactive import HISTORY_FILE, prompt_loop

EXIT_OK = 0
EXIT_USAGE = 2
EXIT_CONNECTION = 3
EXIT_BAD_ANSWER = 4

# Long enough for a program that takes its phone back to listen again after the last run (it
# sees the phone leave at its next read, every 500 ms), short enough that a wrong address fails
# soon.
CONNECT_WAIT_SECONDS = 5.0
# A server that takes its phone back listens again only once it has seen the last one leave
# (its serving thread reads every 500 ms): each new connection is tried at least this long.
RECONNECT_WAIT_SECONDS = 10.0
# A script with more bad lines than this is likely not a script at all: the rest are counted.
_PROBLEMS_SHOWN = 10


class Session:
    """Sends commands over one connection and prints the answers each one brings, under the
    command when `echo` is set (a script, piped input), where nothing else shows it."""

    def __init__(self, connection: Connection, map_form: bool, out: TextIO, echo: bool) -> None:
        self.connection = connection
        self.map_form = map_form
        self.out = out
        self.echo = echo

    def show(self, text: str) -> None:
        """The line of a command, above what it brings."""
        if self.echo:
            self.say(f"> {text}")

    def play(self, line: CommandLine) -> None:
        # Whatever came after the last wait ended cannot answer this frame: said first, so that
        # it stays under the command it followed.
        for answer in self.connection.arrived():
            self.say(f"late answer: {answer}")
        self.show(line.text)
        self.connection.send(frames.encode(line.command, self.map_form))
        answered = False
        for answer in self.connection.answers():
            self.say(str(answer))
            answered = True
        if not answered:
            self.say(f"no answer within {self.connection.timeout:g} s")

    def say(self, text: str) -> None:
        # One write a line, at once: a server started from the same terminal (make demo) writes
        # its console lines there too, and print() writes in pieces where output is unbuffered.
        self.out.write(text + "\n")
        self.out.flush()


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="velto-client",
        description="Send widget frames to a velto_protocol server and print its answers.",
        epilog=help_text() + f"""

After each frame, velto-client waits up to --timeout seconds for the first
answer; once one has come, it stops {SETTLE_SECONDS:g} s after the last (never past
--timeout). An answer that comes later is printed before the next command, as
a late answer. In a script and with piped input, each command is printed as
'> COMMAND' above its answers.

Without a command or --script, velto-client prompts for commands (it reads
them from standard input when that is not a terminal); the prompt keeps its
history in {HISTORY_FILE}.""",
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.add_argument("address", help="the server's HOST:PORT, for example 127.0.0.1:5000")
    # A default makes the command optional to argparse too: without one, a missing address is
    # reported as "required: address, command".
    parser.add_argument("command", nargs="*", default=[],
                        help="one command and its arguments, for example: toggle 3 on "
                             "(none: the prompt)")
    parser.add_argument("--script", metavar="FILE",
                        help="run the commands in FILE, one a line ('#' starts a comment); the "
                             "whole file is checked before anything is sent")
    parser.add_argument("--map", action="store_true",
                        help="send frames as maps keyed by field name instead of arrays")
    parser.add_argument("--timeout", type=float, default=3.0, metavar="SECONDS",
                        help="how long to wait for the first answer to each frame (default 3; "
                             "the server reads only every 500 ms)")
    parser.add_argument("--connect-wait", type=float, default=CONNECT_WAIT_SECONDS,
                        metavar="SECONDS",
                        help="keep trying to connect this long while the server is not "
                             "listening (yet, or again after its last phone) (default "
                             f"{CONNECT_WAIT_SECONDS:g}; 0: a refused connection fails at once)")
    parser.add_argument("--reconnect", type=int, default=0, metavar="N",
                        help="after the commands, drop the connection and connect again, N "
                             "times, playing the commands again on each new connection (each is "
                             f"tried for --connect-wait seconds, at least "
                             f"{RECONNECT_WAIT_SECONDS:g})")
    return parser


def _read_script(path: str) -> list[CommandLine]:
    try:
        with open(path, encoding="utf-8") as script_file:
            lines = script_file.readlines()
    except OSError as failure:
        raise CommandError(f"cannot read {path}: {failure.strerror}") from None
    except UnicodeDecodeError as failure:
        bad = failure.object[failure.start]
        raise CommandError(f"cannot read {path}: not UTF-8 text (byte {bad:#04x} at offset "
                           f"{failure.start})") from None
    return parse_script(lines, path)


def _report(failure: CommandError) -> None:
    if isinstance(failure, ScriptError):
        problems = failure.problems
        for problem in problems[:_PROBLEMS_SHOWN]:
            print(f"velto-client: {problem}", file=sys.stderr)
        if len(problems) > _PROBLEMS_SHOWN:
            print(f"velto-client: ... and {len(problems) - _PROBLEMS_SHOWN} more", file=sys.stderr)
        print(f"velto-client: {failure.source}: {len(problems)} bad "
              f"line{'s' if len(problems) > 1 else ''}, nothing sent", file=sys.stderr)
    else:
        print(f"velto-client: {failure}", file=sys.stderr)


def _play(session: Session, lines: list[CommandLine] | None) -> None:
    """Everything asked for, over the session's connection as it stands; --reconnect closes and
    connects it again and calls this once more for each new connection."""
    if lines is None:
        prompt_loop(session)
        return
    for line in lines:
        session.play(line)


def main(argv: list[str] | None = None) -> int:
    parser = _parser()
    # Intermixed, so options may follow the address or the command (negative numbers stay words).
    options = parser.parse_intermixed_args(argv)
    try:
        split_address(options.address)
    except ValueError as failure:
        parser.error(str(failure))
    if options.timeout <= 0:
        parser.error("--timeout must be positive")
    if options.connect_wait < 0:
        parser.error("--connect-wait must not be negative")
    if options.script and options.command:
        parser.error("give either a command or --script, not both")
    if options.reconnect < 0:
        parser.error("--reconnect must not be negative")
    if options.reconnect and not (options.command or options.script):
        parser.error("--reconnect needs a command or --script to play on each connection")
    try:
        # Everything to send is checked before connecting: a mistyped command should not reach
        # the server, nor half a script.
        lines: list[CommandLine] | None = None
        if options.command:
            lines = [command_line(options.command)]
        elif options.script:
            lines = _read_script(options.script)
        echo = bool(options.script) or (lines is None and not sys.stdin.isatty())
        connection = Connection(options.address, options.timeout)
        session = Session(connection, options.map, sys.stdout, echo)
        connection.connect(options.connect_wait)
        with connection:
            _play(session, lines)
            for count in range(1, options.reconnect + 1):
                connection.close()
                connection.connect(max(options.connect_wait, RECONNECT_WAIT_SECONDS))
                session.say(f"reconnected ({count} of {options.reconnect})")
                _play(session, lines)
    except CommandError as failure:
        _report(failure)
        return EXIT_USAGE
    except ConnectionFailure as failure:
        print(f"velto-client: {failure}", file=sys.stderr)
        return EXIT_CONNECTION
    except AnswerError as failure:
        print(f"velto-client: {failure}", file=sys.stderr)
        return EXIT_BAD_ANSWER
    return EXIT_OK
