"""Entry for `python -m velto_client_tool`, the same as the velto-client command."""

import sys

from velto_client_tool.entry import main

sys.exit(main())
