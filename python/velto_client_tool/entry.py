"""The velto-client command's entry: says how to get msgpack when the optional extra is missing."""

import sys
from typing import Optional


def main(argv: Optional[list[str]] = None) -> int:
    try:
        import msgpack  # noqa: F401  (only the check: the tool's one dependency is an extra)
    except ImportError:
        print("velto-client: needs the msgpack package: pip install 'velto_protocol[client]' "
              "(or pip install msgpack)", file=sys.stderr)
        return 2
    from velto_client_tool.cli import main as run

    return run(argv)
