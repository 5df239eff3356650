"""asyncio programs: open_async() and wait_disconnected_async() awaited on the program's loop
beside other tasks, and async def actions run on the loop that serve() was called from, with real
clients over loopback TCP. Console lines and fault reports are read from file descriptors 1 and 2."""

import asyncio
import functools
import socket
import time

import pytest

import velto_protocol as vp
from velto_client import Client, frame, free_port, hand_result, open_with_client

CLICK = frame(1, "ClickButton")
ANSWER = hand_result(1, "Idle", confirm=True)
BOUND = 20  # seconds: every scenario as a whole, and every wait inside one


def run(scenario):
    return asyncio.run(asyncio.wait_for(scenario, BOUND))


async def connect(server, port):
    """open_async() while a client connects from a worker thread; returns the client."""
    client = asyncio.get_running_loop().run_in_executor(None, Client.connect, port)
    assert await asyncio.wait_for(server.open_async(), BOUND) is None
    return await client


def end_serving(server):
    """close() until it is refused: the serving thread has ended, its last lines are out."""
    deadline = time.monotonic() + BOUND
    while time.monotonic() < deadline:
        try:
            server.close()
        except RuntimeError:
            return
        time.sleep(0.01)
    raise AssertionError("the serving thread did not end")


def answering(server):
    """Actions of every kind that make an awaitable; each answers through callback()."""

    async def action(widget):
        await asyncio.sleep(0.01)
        server.callback(1, vp.ServerStatus.Idle, vp.ConfirmResult(True))

    class Robot:
        async def method(self, widget):
            await action(widget)

    class Awaitable:
        def __await__(self):
            return action(None).__await__()

    return {
        "async def": action,
        "bound async method": Robot().method,
        "partial of async def": functools.partial(action),
        "lambda making a coroutine": lambda widget: action(widget),
        "object with __await__": lambda widget: Awaitable(),
    }


@pytest.mark.parametrize("kind", list(answering(None)))
def test_an_awaitable_action_runs_on_the_loop_and_frames_stay_in_order(kind, capfd):
    async def scenario():
        port = free_port()
        server = vp.ComSocketServer(f"127.0.0.1:{port}")
        server.on(1, "ClickButton", answering(server)[kind])
        client = await connect(server, port)
        server.serve()
        client.send(CLICK + CLICK)  # one chunk: the second waits for the first to finish
        await asyncio.get_running_loop().run_in_executor(None, client.read_exact, 2 * len(ANSWER))
        server.close()
        assert await server.wait_disconnected_async(BOUND) == "stopped"
        client.close()

    run(scenario())
    out = capfd.readouterr().out
    dispatch = ["Found frame ! 1", "running action", "after function", "done"]
    assert [line for line in out.splitlines() if line in dispatch] == dispatch * 2, out


def test_open_async_lets_the_loop_run_and_a_cancelled_one_leaves_the_server_as_it_was():
    async def scenario():
        port = free_port()
        server = vp.ComSocketServer(f"127.0.0.1:{port}")
        first = await connect(server, port)
        beats = 0

        async def heartbeat():
            nonlocal beats
            while True:
                beats += 1
                await asyncio.sleep(0.01)

        beating = asyncio.ensure_future(heartbeat())
        waiting = asyncio.ensure_future(server.open_async())
        await asyncio.sleep(0.3)
        waiting.cancel()
        with pytest.raises(asyncio.CancelledError):
            await waiting
        beating.cancel()
        assert beats > 5  # the loop ran while open_async() waited
        with pytest.raises(ConnectionRefusedError):
            socket.create_connection(("127.0.0.1", port), timeout=5).close()
        # Still the first client's server: callback() reaches it.
        server.callback(1, vp.ServerStatus.Idle, vp.ConfirmResult(True))
        assert first.read_exact(len(ANSWER)) == ANSWER
        second = await connect(server, port)  # and a later open_async() works
        server.callback(1, vp.ServerStatus.Idle, vp.ConfirmResult(True))
        assert second.read_exact(len(ANSWER)) == ANSWER
        server.close()
        first.close()
        second.close()

    run(scenario())


@pytest.mark.parametrize("address", ["127.0.0.1", "127.0.0.1:99999", "taken"])
def test_open_async_fails_as_open_does(address, panic_exception):
    taken = socket.create_server(("127.0.0.1", 0))
    if address == "taken":
        address = f"127.0.0.1:{taken.getsockname()[1]}"
    with pytest.raises(panic_exception) as blocking:
        vp.ComSocketServer(address).open()
    with pytest.raises(panic_exception) as awaited:
        run(vp.ComSocketServer(address).open_async())
    taken.close()
    assert awaited.value.args == blocking.value.args
    assert blocking.value.args[0].startswith("Unable to intanstiate TCP Listener. ")


ENDINGS = {
    "the client leaves": ("disconnected", lambda server, client: client.close()),
    "close()": ("stopped", lambda server, client: server.close()),
    "an undecodable frame": ("failed", lambda server, client: client.send(b"\xc1")),
    "nothing (timeout)": (None, lambda server, client: None),
}


@pytest.mark.parametrize("ending", list(ENDINGS))
def test_wait_disconnected_async_answers_every_waiter_and_a_cancelled_wait_changes_nothing(ending):
    expected, end = ENDINGS[ending]

    async def scenario():
        port = free_port()
        server = vp.ComSocketServer(f"127.0.0.1:{port}")
        client = await connect(server, port)
        with pytest.raises(RuntimeError, match="^Bad Server state$"):
            await server.wait_disconnected_async()
        server.serve()
        cancelled = asyncio.ensure_future(server.wait_disconnected_async())
        await asyncio.sleep(0.05)
        cancelled.cancel()
        timeout = 0.5 if expected is None else BOUND
        waits = [asyncio.ensure_future(server.wait_disconnected_async(timeout)) for _ in range(2)]
        await asyncio.sleep(0.05)
        end(server, client)
        assert await asyncio.gather(*waits) == [expected, expected]
        assert server.wait_disconnected(0) == expected
        end_serving(server)
        client.close()

    run(scenario())


def suspended(server, seen):
    async def action(widget):
        seen.append("started")
        try:
            await asyncio.sleep(BOUND)
        except asyncio.CancelledError:
            seen.append("cancelled")
            raise

    return action


def raising(server, seen):
    async def action(widget):
        await asyncio.sleep(0)
        raise ValueError("no motor")

    return action


# What ends serving while an async action runs: (make the action, what then happens, what a
# waiter hears, a line on fd 1 or fd 2, what the action saw).
FAILURES = {
    "close() while it is suspended": (suspended, "close", "stopped", "Terminating.", ["started", "cancelled"]),
    "it raises": (raising, None, "failed", "Action failed ValueError: no motor", []),
}


@pytest.mark.parametrize("case", list(FAILURES))
def test_what_ends_an_async_action_ends_serving_as_for_a_plain_one(case, capfd):
    make, then, expected, line, expected_seen = FAILURES[case]
    seen = []

    async def scenario():
        port = free_port()
        server = vp.ComSocketServer(f"127.0.0.1:{port}")
        server.on(1, "ClickButton", make(server, seen))
        client = await connect(server, port)
        server.serve()
        client.send(CLICK)
        if then == "close":
            while not seen:
                await asyncio.sleep(0.01)
            server.close()
        assert await server.wait_disconnected_async(BOUND) == expected
        await asyncio.sleep(0.05)  # the cancellation reaches the coroutine
        client.close()

    run(scenario())
    out, err = capfd.readouterr()
    assert line in (out + err).splitlines()
    assert "after function" not in out and seen == expected_seen


def test_a_blocking_wait_on_the_loop_that_runs_the_actions_is_refused():
    async def scenario():
        port = free_port()
        server = vp.ComSocketServer(f"127.0.0.1:{port}")
        client = await connect(server, port)
        server.serve()
        with pytest.raises(RuntimeError, match="await wait_disconnected_async"):
            server.wait_disconnected()
        assert server.wait_disconnected(0.01) is None  # a bounded wait is not refused
        end_serving(server)
        client.close()

    run(scenario())


def test_without_a_loop_async_actions_are_refused_and_awaitables_closed(capfd):
    port = free_port()
    server = vp.ComSocketServer(f"127.0.0.1:{port}")

    async def action(widget):
        pass

    server.on(1, "ClickButton", action)
    client = open_with_client(server, port)
    with pytest.raises(RuntimeError, match="ClickButton_1 is an async def function.*plain function"):
        server.serve()
    server.on(1, "ClickButton", lambda widget: action(widget))
    server.serve()
    client.send(CLICK)
    assert server.wait_disconnected(BOUND) == "failed"
    client.close()
    err = capfd.readouterr().err
    assert "ClickButton_1 returned an awaitable, but serve() was not called where" in err
    assert "never awaited" not in err


def test_a_loop_that_stops_while_an_action_waits_on_it_ends_serving(capfd):
    loop = asyncio.new_event_loop()
    port = free_port()
    server = vp.ComSocketServer(f"127.0.0.1:{port}")
    seen = []
    server.on(1, "ClickButton", suspended(server, seen))
    client = loop.run_until_complete(connect(server, port))
    loop.run_until_complete(asyncio.sleep(0))  # serve() below runs on a running loop
    loop.call_soon(server.serve)
    loop.run_until_complete(asyncio.sleep(0.05))
    client.send(CLICK)
    deadline = time.monotonic() + BOUND
    while not seen and time.monotonic() < deadline:  # past the cycle's pause, the action starts
        loop.run_until_complete(asyncio.sleep(0.05))
    assert seen == ["started"]
    assert server.wait_disconnected(BOUND) == "failed"  # the loop does not run meanwhile
    loop.close()
    client.close()
    assert "stopped before the action finished" in capfd.readouterr().err
