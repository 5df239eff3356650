"""Benchmark server built on the installed velto_protocol module (run by e2e_bench.py)."""

import threading
import time

import velto_protocol

from e2e_common import (Reporter, busy_python, make_action, parse_arguments, rss_bytes,
                        start_window)
from e2e_frames import WIDGET_IDS


def main():
    arguments = parse_arguments()
    reporter = Reporter(arguments.report_fd)
    finished = threading.Event()
    stamps = [] if arguments.stamps else None
    action = make_action(arguments, reporter, finished.set, stamps)
    server = velto_protocol.ComSocketServer(f"127.0.0.1:{arguments.port}")
    if arguments.read_interval is not None:
        server.read_interval = arguments.read_interval
    if arguments.quiet:
        server.console_lines = False
    for kind, widget_id in WIDGET_IDS.items():
        server.on(widget_id, kind, action)
    server.open()
    server.serve()
    idle = start_window()
    time.sleep(arguments.idle)
    reporter.send(ready=True, idle=idle())
    run = start_window()
    if arguments.frames and arguments.busy:
        # The program's main thread runs Python code the whole time: the serving thread takes
        # the interpreter lock from it for each action.
        deadline = time.monotonic() + 900
        busy_python(lambda: finished.is_set() or time.monotonic() > deadline)
    if arguments.frames:
        # Event.wait releases the interpreter lock: the main thread costs nothing meanwhile.
        if not finished.wait(timeout=900):
            raise SystemExit("the frames did not all reach their action")
    reporter.send(done=True, run=run(), rss=rss_bytes(), stamps=stamps)
    server.close()


if __name__ == "__main__":
    main()
