"""A network of its own for the tests and measurements of a phone on Wi-Fi: a network namespace
with only its loopback link, server and phone programs run inside it, and the link taken down
to make every phone in it vanish (no FIN, no reset: its packets simply stop)."""

import os
import shutil
import subprocess
import uuid

from velto_client import ServerProcess

PORT = 7000
ADDRESS = f"[::]:{PORT}"  # dual-stack: IPv4 phones arrive as IPv4-mapped IPv6 peers
# Every wait here is bounded; these are far beyond what each step takes.
STEP = 10
LONG = 45

CAN_MAKE_NAMESPACES = os.geteuid() == 0 and shutil.which("ip") is not None


class NamespaceUnavailable(RuntimeError):
    """This machine lets no namespace be made (not root, no iproute2, a locked-down container)."""


# Every program: the module, a connect helper for phones, and the server's debug records on fd 1.
SETUP = """
import logging, socket, time, threading
import velto_protocol as vp
S, C, E = vp.ServerStatus, vp.ConfirmResult, vp.ErrorResult

class Say(logging.Handler):
    def emit(self, record):
        say("log: " + record.getMessage())

logger = logging.getLogger("velto_protocol.server.com_socket")
logger.addHandler(Say())
logger.setLevel(logging.DEBUG)

def connect(host, source, rcvbuf):
    family = socket.AF_INET6 if ":" in host else socket.AF_INET
    sock = socket.socket(family)
    if rcvbuf:
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, rcvbuf)
    sock.bind((source, 0))
    sock.settimeout(10)
    sock.connect((host, PORT))
    return sock

def answered(sock, count):
    got = b""
    while len(got) < count:
        chunk = sock.recv(count - len(got))
        if not chunk:
            break
        got += chunk
    return len(got)
"""

# A server program's part that answers its phone in a loop while another thread beats every
# 10 ms: answer_until_it_fails() returns the text of the RuntimeError that ends the loop, the
# seconds until then, and the longest gap between two beats meanwhile.
ANSWERING_WITH_HEARTBEAT = """
beats = []
def heartbeat():
    for _ in range(20000):
        beats.append(time.monotonic())
        time.sleep(0.01)
threading.Thread(target=heartbeat, daemon=True).start()

def heart_goes_on():
    beaten = len(beats)
    time.sleep(0.2)
    return len(beats) > beaten

def answer_until_it_fails():
    started = time.monotonic()
    for _ in range(1000000):
        try:
            server.callback(1, S.Busy, E("reading " * 10000))
        except RuntimeError as error:
            ended = time.monotonic()
            during = [b for b in beats if started <= b <= ended + 0.1]
            gaps = [later - earlier for earlier, later in zip(during, during[1:])]
            return str(error), ended - started, max(gaps, default=ended - started)
        time.sleep(0.01)
"""


class Namespace:
    """A network namespace with only its loopback link, removed again (with every program run
    in it) on exit."""

    def __init__(self):
        self.name = f"velto-{uuid.uuid4().hex[:12]}"
        self.programs = []

    def __enter__(self):
        if not CAN_MAKE_NAMESPACES:
            raise NamespaceUnavailable("network namespaces need root and the ip command")
        made = subprocess.run(["ip", "netns", "add", self.name], capture_output=True, text=True,
                              timeout=STEP)
        if made.returncode != 0:
            raise NamespaceUnavailable(f"cannot make a network namespace: {made.stderr.strip()}")
        self.link(True)
        return self

    def __exit__(self, *exc_info):
        for program in self.programs:
            program.__exit__(None, None, None)
        subprocess.run(["ip", "netns", "del", self.name], check=True, timeout=STEP)

    def link(self, up):
        """Brings the loopback link up, or takes it down: every phone in here vanishes."""
        subprocess.run(["ip", "netns", "exec", self.name, "ip", "link", "set", "lo",
                        "up" if up else "down"], check=True, timeout=STEP)

    def program(self, setup=""):
        """A command-driven Python program (see ServerProcess.driver) run inside."""
        program = ServerProcess.driver(SETUP + setup, PORT,
                                       prefix=("ip", "netns", "exec", self.name))
        self.programs.append(program)
        return program

    def server(self, setup=""):
        return self.program(f"server = vp.ComSocketServer({ADDRESS!r})\n" + setup)

    def phone(self, source="127.0.0.1", host="127.0.0.1", rcvbuf=0):
        """A phone connected to the server (whose open() must be waiting)."""
        phone = self.program()
        phone.call(f"phone = connect({host!r}, {source!r}, {rcvbuf})", timeout=STEP)
        return phone

    def serving(self, setup="", **phone_options):
        """A server program with `setup`, opened with a phone, and serving: (server, phone)."""
        server = self.server(setup)
        server.start("server.open()")
        phone = self.phone(**phone_options)
        assert server.result(timeout=STEP) == "None"
        assert server.call("server.serve()") == "None"
        return server, phone
