"""A server with no actions: every frame it reads is only traced on its console."""

import sys
import time

import velto_protocol as vp

server = vp.ComSocketServer(sys.argv[1])
server.open()
server.serve()
time.sleep(60)  # the test kills the process long before
