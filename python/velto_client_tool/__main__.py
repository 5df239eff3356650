"""Entry for `python -m velto_client_tool`, the same as the velto-client command."""

import sys

from velto_client_tool.cli import main

sys.exit(main())
