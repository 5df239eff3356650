"""Helpers of the socket server tests: a loopback client, frame and result encoders (with the
msgpack package and by hand), and server programs run in a subprocess whose console lines are
read as they come."""

import ast
import os
import socket
import struct
import subprocess
import sys
import textwrap
import threading
import time

import msgpack

# Every wait of these helpers is bounded by this many seconds unless a test says otherwise.
TIMEOUT = 5.0


def hexbytes(text):
    return bytes.fromhex(text.replace(" ", ""))


def f32(value):
    """`value` as the nearest 32-bit float, back as a Python float."""
    return struct.unpack(">f", struct.pack(">f", value))[0]


def free_port():
    """A port nobody listens on right now (another process could take it before the server
    binds it; on this machine that is rare enough)."""
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


# ---- frames the client sends, encoded by the msgpack package ---------------------------------


def pack(value, single_float=True):
    """One MessagePack document; bytes objects become bin values, floats float 32 by default."""
    return msgpack.packb(value, use_bin_type=True, use_single_float=single_float)


def frame(widget_id, kind, *fields, single_float=True):
    """A frame in the array form: [id, {kind: [fields...]}]."""
    return pack([widget_id, {kind: list(fields)}], single_float)


def joystick(widget_id, x, y, intensity, single_float=True):
    return frame(widget_id, "Joystick", [x, y], intensity, single_float=single_float)


# ---- result frames the server sends, encoded by hand ------------------------------------------


def hand_uint8(value):
    return bytes([value]) if value < 0x80 else bytes([0xCC, value])


def hand_str(text):
    data = text.encode()
    n = len(data)
    if n < 32:
        header = bytes([0xA0 | n])
    elif n < 0x100:
        header = bytes([0xD9, n])
    elif n < 0x10000:
        header = b"\xda" + struct.pack(">H", n)
    else:
        header = b"\xdb" + struct.pack(">I", n)
    return header + data


def hand_result(widget_id, status_name, confirm=None, error=None):
    """The bytes of a result frame: 93, id, status name, {"ConfirmResult": [bool]} or
    {"ErrorResult": [text]}."""
    if error is None:
        payload = b"\x81" + hand_str("ConfirmResult") + b"\x91" + (b"\xc3" if confirm else b"\xc2")
    else:
        payload = b"\x81" + hand_str("ErrorResult") + b"\x91" + hand_str(error)
    return b"\x93" + hand_uint8(widget_id) + hand_str(status_name) + payload


# ---- what an action received, as text ------------------------------------------------------------


def describe(key, widget):
    """A received widget the way docs/protocol.md writes it: "ToggleButton_3 value=true",
    "Joystick_7 delta=(0.5, -1.0) intensity=0.75"; `key` is the action key it arrived under."""
    fields = {
        "ToggleButton": lambda: f" value={str(widget.value).lower()}",
        "PressButton": lambda: f" pressed={str(widget.pressed).lower()}",
        "DirectionalButton": lambda: f" direction={widget.direction}",
        "Joystick": lambda: f" delta=({widget.delta.x}, {widget.delta.y}) "
                            f"intensity={widget.intensity}",
    }.get(key.split("_")[0], lambda: "")
    return key + fields()


# ---- the client --------------------------------------------------------------------------------


class Client:
    """One TCP connection to the server, with bounded reads."""

    def __init__(self, sock):
        self.sock = sock

    @classmethod
    def connect(cls, port, timeout=TIMEOUT):
        """Connects to 127.0.0.1:port, retrying while nothing listens there yet."""
        deadline = time.monotonic() + timeout
        while True:
            sock = socket.socket()
            sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 1 << 20)
            try:
                sock.settimeout(max(deadline - time.monotonic(), 1.0))
                sock.connect(("127.0.0.1", port))
                return cls(sock)
            except OSError:
                sock.close()
                if time.monotonic() > deadline:
                    raise
                time.sleep(0.01)

    def send(self, data):
        self.sock.settimeout(TIMEOUT)
        self.sock.sendall(data)

    def _receive(self, size, deadline, data):
        """One receive of at most `size` bytes before `deadline`; b"" at the end of the stream.
        `data` is what the caller has so far, for the failure message."""
        while (left := deadline - time.monotonic()) > 0:
            self.sock.settimeout(left)
            try:
                return self.sock.recv(size)
            except socket.timeout:
                continue
            except ConnectionResetError:
                return b""
        raise AssertionError(f"timed out after receiving {data!r}")

    def read_exact(self, count, timeout=TIMEOUT):
        """Exactly `count` bytes; fails when the stream ends or the time is up before."""
        data = b""
        deadline = time.monotonic() + timeout
        while len(data) < count:
            chunk = self._receive(count - len(data), deadline, data)
            if not chunk:
                raise AssertionError(f"end of stream after {len(data)} of {count} bytes: {data!r}")
            data += chunk
        return data

    def read_available(self):
        """Whatever has arrived by now, without waiting."""
        data = b""
        self.sock.setblocking(False)
        try:
            while True:
                try:
                    chunk = self.sock.recv(65536)
                except (BlockingIOError, InterruptedError):
                    break
                if not chunk:
                    break
                data += chunk
        finally:
            self.sock.setblocking(True)
        return data

    def wait_eof(self, timeout=TIMEOUT):
        """Waits for the end of the stream; returns the bytes that came before it."""
        data = b""
        deadline = time.monotonic() + timeout
        while chunk := self._receive(65536, deadline, data):
            data += chunk
        return data

    def is_open(self):
        """True when the server has not ended the stream (bytes that have arrived are kept
        unread)."""
        self.sock.setblocking(False)
        try:
            return self.sock.recv(1, socket.MSG_PEEK) != b""
        except (BlockingIOError, InterruptedError):
            return True
        except ConnectionResetError:
            return False
        finally:
            self.sock.setblocking(True)

    def close(self):
        self.sock.close()


# A client made in a helper process: it retries connecting until the listener exists and hands
# the connected socket over, so a test can call the blocking open() in its own process (which
# holds the interpreter lock until a client has connected).
_CONNECTOR = textwrap.dedent(
    """
    import socket, sys, time
    port, channel_fd, timeout = int(sys.argv[1]), int(sys.argv[2]), float(sys.argv[3])
    channel = socket.socket(fileno=channel_fd)
    deadline = time.monotonic() + timeout
    while True:
        sock = socket.socket()
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 1 << 20)
        try:
            sock.connect(("127.0.0.1", port))
            break
        except OSError:
            sock.close()
            if time.monotonic() > deadline:
                sys.exit(1)
            time.sleep(0.005)
    socket.send_fds(channel, [b"c"], [sock.fileno()])
    """
)


def open_with_client(server, port, timeout=10.0):
    """Calls `server.open()` in this process while a helper process connects; returns the
    client end of the accepted connection."""
    parent, child = socket.socketpair()
    helper = subprocess.Popen(
        [sys.executable, "-S", "-c", _CONNECTOR, str(port), str(child.fileno()), str(timeout)],
        pass_fds=[child.fileno()],
    )
    child.close()
    try:
        server.open()
        parent.settimeout(timeout)
        _, fds, _, _ = socket.recv_fds(parent, 16, 1)
        helper.wait(timeout)
    finally:
        if helper.poll() is None:
            helper.kill()
            helper.wait()
        parent.close()
    assert fds, "the helper process could not connect"
    return Client(socket.socket(fileno=fds[0]))


# ---- server programs in a subprocess -----------------------------------------------------------


class RemoteError(Exception):
    """An exception raised by a command in the server program: its type name and str()."""

    def __init__(self, type_name, message):
        super().__init__(f"{type_name}: {message}")
        self.type_name = type_name
        self.message = message


# Every driver line starts with this marker; everything else on fd 1 is the program's console.
MARK = "@@"

_DRIVER_HEAD = """
import ast, os, sys
def say(text):
    os.write(1, (text + "\\n").encode())
"""

# Reads commands (one Python source text per line, as a literal) from standard input and answers
# each with "@@ok <repr of the value>" or "@@raised (<type name>, <str>)". Ends at end of input.
_DRIVER_LOOP = """
say("@@ready")
while True:
    line = sys.stdin.readline()
    if not line:
        break
    source = ast.literal_eval(line)
    try:
        try:
            code = compile(source, "<command>", "eval")
        except SyntaxError:
            exec(compile(source, "<command>", "exec"), globals())
            value = None
        else:
            value = eval(code, globals())
    except SystemExit:
        raise
    except BaseException as error:
        try:
            text = str(error)
        except BaseException:
            text = "<str failed>"
        say("@@raised " + repr((type(error).__name__, text)))
    else:
        say("@@ok " + repr(value))
"""


class ServerProcess:
    """A Python program run with -u, its fd 1 and fd 2 read line by line as they come.

    `prefix` is a command that runs it (`ip netns exec NAME`, say); `command` runs another command
    line instead (a program file, as a user starts it), and `stdout` gives fd 1 a descriptor of
    the caller's own rather than a pipe read here."""

    def __init__(self, source=None, args=(), prefix=(), command=None, stdout=None, env=None):
        self.process = subprocess.Popen(
            [*prefix, *(command or [sys.executable, "-u", "-c", source, *map(str, args)])],
            stdin=subprocess.PIPE,
            stdout=subprocess.PIPE if stdout is None else stdout,
            stderr=subprocess.PIPE,
            env=env,
        )
        self.changed = threading.Condition()
        self.out = []
        self.err = []
        pipes = [(self.process.stderr, self.err)]
        if stdout is None:
            pipes.insert(0, (self.process.stdout, self.out))
        self._readers = [threading.Thread(target=self._read, args=pipe_lines, daemon=True)
                         for pipe_lines in pipes]
        for reader in self._readers:
            reader.start()
        self._replies = 0

    def _read(self, pipe, lines):
        for raw in iter(pipe.readline, b""):
            with self.changed:
                lines.append(raw.decode(errors="replace").rstrip("\n"))
                self.changed.notify_all()
        with self.changed:
            self.changed.notify_all()

    @classmethod
    def driver(cls, setup, port, prefix=()):
        """A program that runs `setup` (PORT replaced by the port), then executes the commands
        given to `call` / `start`."""
        setup = textwrap.dedent(setup).replace("PORT", str(port))
        process = cls(_DRIVER_HEAD + setup + _DRIVER_LOOP, prefix=prefix)
        process.wait_line(MARK + "ready", timeout=10)
        return process

    # -- output -------------------------------------------------------------------------------

    def mark(self):
        """The position after the lines read so far on fd 1."""
        with self.changed:
            return len(self.out)

    def console(self, start=0):
        """The console lines (driver lines left out) from position `start` on."""
        with self.changed:
            return [line for line in self.out[start:] if not line.startswith(MARK)]

    def stderr(self):
        with self.changed:
            return "\n".join(self.err)

    def text(self, lines):
        """Lines as the text they were read from (each line ended)."""
        with self.changed:
            return "".join(line + "\n" for line in lines)

    def _wait(self, found, timeout, what):
        deadline = time.monotonic() + timeout
        with self.changed:
            while True:
                result = found()
                if result is not None:
                    return result
                left = deadline - time.monotonic()
                if left <= 0 or (self.process.poll() is not None
                                 and not any(r.is_alive() for r in self._readers)):
                    raise AssertionError(
                        f"timed out waiting for {what}\n--- fd 1:\n" + "\n".join(self.out)
                        + "\n--- fd 2:\n" + "\n".join(self.err))
                self.changed.wait(min(left, 0.5))

    def wait_line(self, text, start=0, timeout=TIMEOUT, count=1):
        """Waits until fd 1 holds the line `text` `count` times from `start` on; returns the
        position after the last of them."""

        def found():
            seen = 0
            for index in range(start, len(self.out)):
                if self.out[index] == text:
                    seen += 1
                    if seen == count:
                        return index + 1
            return None

        return self._wait(found, timeout, f"{count} x {text!r} on fd 1")

    def wait_stderr(self, text, timeout=TIMEOUT):
        """Waits until fd 2 contains `text` (within one line)."""
        return self._wait(lambda: True if any(text in line for line in self.err) else None,
                          timeout, f"{text!r} on fd 2")

    # -- commands -----------------------------------------------------------------------------

    def start(self, source):
        """Sends one command without waiting for its answer."""
        self.process.stdin.write((repr(textwrap.dedent(source)) + "\n").encode())
        self.process.stdin.flush()

    def result(self, timeout=TIMEOUT):
        """The answer to the oldest command not yet answered: the repr of its value, or
        RemoteError raised."""
        wanted = self._replies + 1

        def found():
            replies = [line for line in self.out if line.startswith(MARK + "ok ")
                       or line.startswith(MARK + "raised ")]
            return replies[wanted - 1] if len(replies) >= wanted else None

        reply = self._wait(found, timeout, f"answer {wanted}")
        self._replies = wanted
        if reply.startswith(MARK + "raised "):
            raise RemoteError(*ast.literal_eval(reply[len(MARK + "raised "):]))
        return reply[len(MARK + "ok "):]

    def call(self, source, timeout=TIMEOUT):
        self.start(source)
        return self.result(timeout)

    # -- the process --------------------------------------------------------------------------

    def thread_count(self):
        try:
            return len(os.listdir(f"/proc/{self.process.pid}/task"))
        except FileNotFoundError:
            return 0

    def rss_kib(self):
        """The program's resident memory in KiB."""
        with open(f"/proc/{self.process.pid}/status") as status:
            for line in status:
                if line.startswith("VmRSS:"):
                    return int(line.split()[1])
        raise AssertionError("no VmRSS")

    def wait_thread_count(self, count, timeout=TIMEOUT):
        """Waits until the program runs `count` threads (a serving thread that ends leaves)."""
        deadline = time.monotonic() + timeout
        while self.thread_count() != count:
            if time.monotonic() > deadline:
                raise AssertionError(f"{self.thread_count()} threads, not {count}\n"
                                     + self.stderr())
            time.sleep(0.01)

    def finish(self, timeout=TIMEOUT):
        """Ends the input and waits for the program to exit; returns its exit code."""
        try:
            self.process.stdin.close()
        except BrokenPipeError:
            pass
        try:
            code = self.process.wait(timeout)
        except subprocess.TimeoutExpired:
            self.kill()
            raise AssertionError(f"the program did not exit within {timeout} s\n"
                                 + "\n".join(self.out) + "\n" + self.stderr())
        for reader in self._readers:
            reader.join(timeout)
        return code

    def kill(self):
        if self.process.poll() is None:
            self.process.kill()
        self.process.wait()
        for reader in self._readers:
            reader.join(TIMEOUT)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.kill()
        for pipe in (self.process.stdin, self.process.stdout, self.process.stderr):
            try:
                if pipe is not None:
                    pipe.close()
            except OSError:
                pass
        return False


def assert_healthy(process, rss_before, bound_kib=16 * 1024):
    """The program of a driven ServerProcess (see conftest.driven) lives, its memory grew by less
    than the bound since `rss_before`, and a fresh server in it takes a client and dispatches a
    good frame."""
    assert process.process.poll() is None, process.stderr()
    # AddressSanitizer's allocator keeps freed memory in quarantine: RSS says nothing there
    if "libasan" not in os.environ.get("LD_PRELOAD", ""):
        grown = process.rss_kib() - rss_before
        assert grown < bound_kib, f"RSS grew by {grown} KiB"
    port = free_port()
    process.call(f"fresh = vp.ComSocketServer('127.0.0.1:{port}'); "
                 "fresh.on(1, 'ClickButton', lambda widget: say('fresh click'))")
    process.start("fresh.open()")
    client = Client.connect(port, timeout=10)
    try:
        assert process.result(timeout=10) == "None"
        start = process.mark()
        assert process.call("fresh.serve()") == "None"
        client.send(frame(1, "ClickButton"))
        process.wait_line("fresh click", start, timeout=5)
        assert process.call("fresh.close()") == "None"
    finally:
        client.close()


def wait_listening(port, timeout=TIMEOUT):
    """Waits until some socket listens on 127.0.0.1:port (seen in /proc/net/tcp)."""
    deadline = time.monotonic() + timeout
    while True:
        with open("/proc/net/tcp") as table:
            for row in list(table)[1:]:
                address, port_hex = row.split()[1].split(":")
                if (int(port_hex, 16) == port and row.split()[3] == "0A"
                        and address in ("0100007F", "00000000")):
                    return
        assert time.monotonic() < deadline, f"nothing listened on port {port}"
        time.sleep(0.01)


# ---- Python code run while a method holds the server's exclusive access ------------------------

# Sends SIGUSR1 to a process every 20 ms, a bounded number of times.
_KICKER = textwrap.dedent(
    """
    import os, signal, sys, time
    pid = int(sys.argv[1])
    for _ in range(500):
        try:
            os.kill(pid, signal.SIGUSR1)
        except ProcessLookupError:
            break
        time.sleep(0.02)
    """
)


def while_callback_writes(server, client, inside, size=32 << 20):
    """Runs `inside()` in a signal handler while `server.callback(...)` waits to write a result
    of `size` bytes to `client`, which reads nothing. That wait is where Python code (the signal
    handlers after an interrupted send) runs while a method holds the server's exclusive access.
    The handler tells this by the shared access that `server.address` is refused; it then runs
    `inside()` once and closes the client, so that the write fails and the callback ends.

    Returns (the refusal of `server.address`, or None when the handler never saw the access
    held; the RuntimeError with which the callback ended, or None). Anything else `inside()`
    raises comes out of the callback."""
    import signal

    import velto_protocol as vp

    seen = {"refusal": None, "done": False}

    def handler(signum, frame):
        if seen["done"]:
            return
        try:
            server.address
        except RuntimeError as refusal:
            seen["refusal"] = refusal
        else:
            return  # not inside the callback yet (or any more)
        seen["done"] = True
        try:
            inside()
        finally:
            client.close()

    previous = signal.signal(signal.SIGUSR1, handler)
    kicker = subprocess.Popen([sys.executable, "-S", "-c", _KICKER, str(os.getpid())])
    try:
        try:
            server.callback(1, vp.ServerStatus.Idle, vp.ErrorResult("x" * size))
        except RuntimeError as error:
            return seen["refusal"], error
        return seen["refusal"], None
    finally:
        kicker.kill()
        kicker.wait()
        signal.signal(signal.SIGUSR1, previous)

