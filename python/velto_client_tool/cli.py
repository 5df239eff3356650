"""The velto-client command line: one command, a script of commands, or an interactive prompt."""

from __future__ import annotations

import argparse
import sys
from typing import Iterable, TextIO

from velto_client_tool import frames
from velto_client_tool.commands import CommandError, help_text, parse_words, split_line
from velto_client_tool.connection import Connection, ConnectionFailure, split_address
from velto_client_tool.frames import AnswerError

EXIT_OK = 0
EXIT_USAGE = 2
EXIT_CONNECTION = 3
EXIT_BAD_ANSWER = 4

# A server that takes its phone back listens again only once it has seen the last one leave
# (its serving thread reads every 500 ms): each new connection is tried at least this long.
RECONNECT_WAIT_SECONDS = 10.0


class Session:
    """Sends command lines over one connection and prints the answers each one brings."""

    def __init__(self, connection: Connection, map_form: bool, out: TextIO) -> None:
        self.connection = connection
        self.map_form = map_form
        self.out = out

    def run_words(self, words: list[str]) -> None:
        command = parse_words(words)
        self.connection.send(frames.encode(command, self.map_form))
        answered = False
        for answer in self.connection.answers():
            print(answer, file=self.out, flush=True)
            answered = True
        if not answered:
            print(f"no answer within {self.connection.timeout:g} s", file=self.out, flush=True)

    def run_lines(self, lines: Iterable[str], source: str) -> None:
        """Every command of a script; the first bad line stops it, naming where it is."""
        for number, line in enumerate(lines, start=1):
            try:
                words = split_line(line)
                if words:
                    self.run_words(words)
            except CommandError as failure:
                raise CommandError(f"{source}:{number}: {failure}") from None


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="velto-client",
        description="Send widget frames to a velto_protocol server and print its answers.",
        epilog=help_text() + "\n\nWithout a command or --script, velto-client prompts for commands.",
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.add_argument("address", help="the server's HOST:PORT, for example 127.0.0.1:5000")
    parser.add_argument("command", nargs="*",
                        help="one command and its arguments, for example: toggle 3 on")
    parser.add_argument("--script", metavar="FILE", help="run the commands in FILE, one a line")
    parser.add_argument("--map", action="store_true",
                        help="send frames as maps keyed by field name instead of arrays")
    parser.add_argument("--timeout", type=float, default=3.0, metavar="SECONDS",
                        help="how long to wait for answers to each frame (default 3; the server "
                             "reads only every 500 ms)")
    parser.add_argument("--connect-wait", type=float, default=0.0, metavar="SECONDS",
                        help="keep trying to connect this long while the server is not listening "
                             "yet (default 0: a refused connection fails at once)")
    parser.add_argument("--reconnect", type=int, default=0, metavar="N",
                        help="after the commands, drop the connection and connect again, N "
                             "times, playing the commands again on each new connection (each is "
                             f"tried for --connect-wait seconds, at least "
                             f"{RECONNECT_WAIT_SECONDS:g})")
    return parser


def _play(session: Session, options: argparse.Namespace, script: list[str]) -> None:
    """Everything asked for, over the session's connection as it stands; --reconnect closes and
    connects it again and calls this once more for each new connection."""
    if options.command:
        session.run_words(options.command)
    elif options.script:
        session.run_lines(script, options.script)
    else:
        from velto_client_tool.interactive import prompt_loop

        prompt_loop(session)


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
    script: list[str] = []
    if options.script:
        try:
            with open(options.script, encoding="utf-8") as script_file:
                script = script_file.readlines()
        except OSError as failure:
            print(f"velto-client: cannot read {options.script}: {failure.strerror}", file=sys.stderr)
            return EXIT_USAGE
    try:
        if options.command:
            parse_words(options.command)  # a mistyped command should not reach the server
        connection = Connection(options.address, options.timeout)
        session = Session(connection, options.map, sys.stdout)
        connection.connect(options.connect_wait)
        with connection:
            _play(session, options, script)
            for count in range(1, options.reconnect + 1):
                connection.close()
                connection.connect(max(options.connect_wait, RECONNECT_WAIT_SECONDS))
                print(f"reconnected ({count} of {options.reconnect})", flush=True)
                _play(session, options, script)
    except CommandError as failure:
        print(f"velto-client: {failure}", file=sys.stderr)
        return EXIT_USAGE
    except ConnectionFailure as failure:
        print(f"velto-client: {failure}", file=sys.stderr)
        return EXIT_CONNECTION
    except AnswerError as failure:
        print(f"velto-client: {failure}", file=sys.stderr)
        return EXIT_BAD_ANSWER
    return EXIT_OK
