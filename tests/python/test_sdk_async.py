"""The asyncio client of quorl_sdk against real servers on 127.0.0.1."""

from __future__ import annotations

import asyncio
import gc
import threading
import time

import pytest
from sdk_util import (
    angles,
    engine_threads,
    settled_engine_threads,
    silent,
    sockets_to,
    streaming,
    wait_until,
)
from support import MSG_HAND_ISB_ANGLES, encode, hello, scaled, sending, websockets_server

import _quorl_sdk
import quorl_sdk
from quorl_sdk import AsyncClient, FrameKind, Mode


def run(coroutine):
    """Runs ``coroutine`` on a fresh event loop, bounded in time."""
    return asyncio.run(asyncio.wait_for(coroutine, scaled(20)))


@pytest.mark.parametrize("mode", ["lossless", "latest"])
def test_async_for_receives_every_frame_in_order(mode):
    """async for yields each frame of a server that the consumer keeps up with, then ends."""
    frames = [angles(n) for n in range(200)]

    async def main():
        async with quorl_sdk.connect_url_async(server.url, mode=mode) as client:
            assert isinstance(client, AsyncClient) and client.mode is Mode(mode)
            values = [frame.values[0] async for frame in client]
        assert client.closed
        return values

    with websockets_server(sending(hello(), *frames)) as server:
        values = run(main())
    if mode == "lossless":
        assert values == [float(n) for n in range(200)]
    else:  # a consumer on the same machine may still fall behind now and then
        assert values == sorted(set(values)) and values[-1] == 199.0


def test_waiting_does_not_block_the_event_loop():
    """While recv waits on a silent server, other tasks keep running; the wait times out."""

    async def ticker(ticks):
        while True:
            ticks.append(time.monotonic())
            await asyncio.sleep(0.01)

    async def main():
        ticks = []
        task = asyncio.create_task(ticker(ticks))
        client = await quorl_sdk.connect_url_async(server.url, timeout=0.3)
        started = time.monotonic()
        with pytest.raises(TimeoutError):
            await client.recv()
        waited = time.monotonic() - started
        await client.close()
        task.cancel()
        return waited, [t for t in ticks if t >= started]

    with websockets_server(silent()) as server:
        waited, ticks = run(main())
    assert 0.3 <= waited < 0.3 + scaled(1.0)
    assert len(ticks) >= 10


def test_a_wait_outliving_its_loop_leaves_the_client_to_the_next_loop():
    """A recv left waiting when its loop closes breaks nothing: a recv on a new loop gets the
    frames that arrive."""
    loop = asyncio.new_event_loop()
    with websockets_server(streaming(angles(1), interval=0.05)) as server:
        client = loop.run_until_complete(quorl_sdk.connect_url_async(server.url))
        waiting = loop.create_task(client.recv(timeout=None))
        loop.run_until_complete(asyncio.sleep(0))
        while waiting.done():  # a frame was waiting already: wait again
            waiting = loop.create_task(client.recv(timeout=None))
            loop.run_until_complete(asyncio.sleep(0))
        loop.close()
        assert run(client.recv(timeout=scaled(2))).values[0] == 1.0
        waiting.get_coro().close()  # what collecting the abandoned task does
        run(client.close())


def test_close_ends_every_waiter_on_its_loop_at_once():
    """close() releases the coroutines waiting in recv() and pull() on the closing loop."""

    async def main(url):
        client = await quorl_sdk.connect_url_async(url)
        waiters = [asyncio.create_task(client.recv(timeout=None)),
                   asyncio.create_task(client.pull(timeout=None))]
        await asyncio.sleep(0.05)
        await client.close()
        return await asyncio.wait_for(asyncio.gather(*waiters, return_exceptions=True), 0.5)

    pytest.importorskip("numpy")
    with websockets_server(silent()) as server:
        outcomes = run(main(server.url))
    assert [(type(outcome), str(outcome)) for outcome in outcomes] == \
        [(RuntimeError, "client is closed")] * 2


def test_one_client_awaited_from_two_loops_in_two_threads_wakes_each_waiter():
    """Each thread's loop is woken through itself as frames arrive, never by its timeout."""
    waits: list[float] = []

    async def read(client):
        for _ in range(15):
            started = time.monotonic()
            await client.recv(timeout=scaled(2))
            waits.append(time.monotonic() - started)

    async def opened(url):
        return await quorl_sdk.connect_url_async(url)

    with websockets_server(streaming(angles(3), interval=0.02)) as server:
        client = run(opened(server.url))
        threads = [threading.Thread(target=asyncio.run, args=(read(client),)) for _ in range(2)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join(scaled(20))
        run(client.close())
    assert len(waits) == 30 and max(waits) < scaled(0.5), waits


def test_a_cancelled_recv_loses_no_frame():
    """Cancelling a waiting recv is safe; the frame that arrives later goes to the next recv."""

    async def main():
        async with quorl_sdk.connect_url_async(server.url) as client:
            waiter = asyncio.create_task(client.recv())
            await asyncio.sleep(0.05)
            waiter.cancel()
            with pytest.raises(asyncio.CancelledError):
                await waiter
            return await client.recv(timeout=scaled(5))

    async def handler(connection):
        await connection.send(hello())
        await asyncio.sleep(0.3)
        await connection.send(angles(5))
        await connection.wait_closed()

    with websockets_server(handler) as server:
        frame = run(main())
    assert frame.values[0] == 5.0


def test_async_errors_arrive_in_place_and_the_end_stops_iteration():
    """A malformed frame raises ValueError in order; recv raises EOFError at the end."""

    async def main():
        async with quorl_sdk.connect_url_async(server.url, timeout=scaled(5)) as client:
            first = await client.recv()
            with pytest.raises(ValueError, match="^failed to decode a stream frame: "):
                await client.recv()
            rest = [frame async for frame in client]
            with pytest.raises(EOFError):
                await client.recv()
            return first, rest

    last = encode(MSG_HAND_ISB_ANGLES, 1, [3.0] * 21)
    with websockets_server(sending(hello(), angles(1), b"", last)) as server:
        first, rest = run(main())
    assert first.values[0] == 1.0
    assert [(f.kind, f.side) for f in rest] == [(FrameKind.HAND_ISB_ANGLES, 1)]


def test_async_latest_mode_drops_under_a_slow_consumer():
    """In latest mode a slow coroutine reads fresh frames and the dropped counter grows."""

    async def main():
        async with quorl_sdk.connect_url_async(server.url, mode="latest") as client:
            seen = []
            for _ in range(4):
                seen.append((await client.recv(timeout=scaled(5))).values[0])
                await asyncio.sleep(0.05)
            return seen, client.dropped

    frames = [angles(n) for n in range(10_000)]
    with websockets_server(streaming(*frames, interval=0.001)) as server:
        seen, dropped = run(main())
    assert dropped > 0 and seen == sorted(set(seen))


def test_async_connect_errors_are_the_native_ones():
    """Awaiting a failing connect raises the native exception; bad options fail before awaiting."""

    async def main():
        with pytest.raises(ValueError) as caught:
            await quorl_sdk.connect_url_async("http://127.0.0.1:1")
        return caught.value

    error = run(main())
    with pytest.raises(ValueError) as native:
        _quorl_sdk.connect_url_raw("http://127.0.0.1:1")
    assert str(error) == str(native.value)
    with pytest.raises(ValueError, match="^mode must be"):
        quorl_sdk.connect_async(mode="slow")


@pytest.mark.parametrize("start", ["asyncio.run", "create_task", "await", "async with"])
def test_connect_async_is_a_coroutine_and_an_awaitable(start):
    """connect_async(...) runs as the main coroutine or a task, and is awaited and entered."""

    async def first_value(connecting):
        if start == "create_task":
            connecting = await asyncio.create_task(connecting)
        async with await connecting if start == "await" else connecting as client:
            return (await client.recv(timeout=scaled(5))).values[0]

    with websockets_server(streaming(*(angles(n) for n in range(1000)))) as server:
        connecting = quorl_sdk.connect_url_async(server.url)
        if start == "asyncio.run":
            connecting = asyncio.run(connecting)
        assert run(first_value(connecting)) == 0.0


def test_async_close_ends_the_reader_and_socket_while_the_server_streams():
    """Leaving async with ends the reader thread and the socket; collection does too."""
    threads = settled_engine_threads()

    async def main(close):
        client = await quorl_sdk.connect_url_async(server.url, close_timeout=scaled(2))
        await client.recv()
        if close:
            await client.close()
            assert sockets_to(server.port) == 0
        del client
        gc.collect()

    with websockets_server(streaming(angles(1), interval=0.001)) as server:
        for close in (True, False):
            run(main(close))
            assert wait_until(lambda: engine_threads() == threads)
            assert wait_until(lambda: sockets_to(server.port) == 0)
