"""Reconnection as Python sees it: frames across restarts, backoff waits, attempt counts."""

from __future__ import annotations

import threading
import time
from contextlib import closing

import pytest

from _quorl_sdk import connect_raw, connect_url_raw
from support import (
    MSG_BODY_LANDMARKS,
    MSG_HAND_QUATERNIONS,
    ScriptedServer,
    accept,
    close_tcp,
    hello,
    http_response,
    parse_frame,
    sample_frame,
    scaled,
    send_raw,
    websockets_server,
)

END = "end"


def frame(index):
    """Returns a frame whose values tell which connection sent it."""
    kind = MSG_BODY_LANDMARKS if index % 2 == 0 else MSG_HAND_QUATERNIONS
    side = None if kind == MSG_BODY_LANDMARKS else index % 2
    return sample_frame(kind, side, start=index * 1000.0)


def step(client):
    """Returns the next frame, END at StopIteration, or (exception type, message)."""
    try:
        return next(client)
    except StopIteration:
        return END
    except (ValueError, ConnectionError) as error:
        return type(error), str(error)


class Timeline:
    """When each connection arrived and when the server dropped each one, in seconds."""

    def __init__(self):
        self.arrived = {}
        self.dropped = {}
        self.lock = threading.Lock()

    def arrive(self, conn):
        with self.lock:
            self.arrived[conn.index] = time.monotonic()

    def drop(self, conn):
        with self.lock:
            self.dropped[conn.index] = time.monotonic()

    def waits_ms(self, first, last):
        """Returns the gaps before connections first..last: from the previous drop or arrival."""
        gaps = []
        for index in range(first, last + 1):
            before = self.dropped.get(index - 1, self.arrived[index - 1])
            gaps.append((self.arrived[index] - before) * 1000)
        return gaps


def serving(timeline, index):
    """A connection that is accepted, sends its frame and is dropped with a FIN."""
    return [timeline.arrive, accept(with_binary=[hello(), frame(index)]), timeline.drop,
            close_tcp()]


def refusing(timeline):
    """A connection whose handshake is refused with a 404."""
    return [timeline.arrive, http_response(404)]


def assert_waits(measured, expected, slack_ms=150):
    """Each wait lasts at least its setting (less 5 ms of clock granularity), within a generous slack."""
    assert len(measured) == len(expected)
    for got, wanted in zip(measured, expected):
        assert wanted - 5 <= got <= wanted + scaled(slack_ms), (measured, expected)


def test_frames_continue_after_a_websockets_server_restarts_on_the_same_port():
    """The iterator goes on across a server restart, reading the new connection's frames."""
    sent = []

    async def handler(ws):
        index = len(sent)
        sent.append(index)
        await ws.send(hello())
        await ws.send(frame(index))
        await ws.wait_closed()

    with websockets_server(handler) as server:
        with closing(connect_url_raw(server.url, reconnect=True, base_delay_ms=20,
                                     max_delay_ms=100, max_retries=100)) as client:
            assert next(client) == parse_frame(frame(0))

            def restart():
                server.stop()
                time.sleep(0.3)
                server.start()

            restarter = threading.Thread(target=restart)
            restarter.start()
            assert next(client) == parse_frame(frame(1))
            restarter.join(scaled(10))
            assert client.port == server.port


@pytest.mark.fixed_ports
def test_discovered_port_is_the_reconnection_target():
    """A client that found its server by discovery reconnects to that port only."""
    timeline = Timeline()
    with ScriptedServer(lambda i: serving(timeline, i), port=5433) as server:
        with closing(connect_raw(reconnect=True, base_delay_ms=10, max_retries=3)) as client:
            assert client.port == 5433
            assert [step(client) for _ in range(3)] == [
                parse_frame(frame(0)), parse_frame(frame(1)), parse_frame(frame(2))]
            assert all(conn.request_line == "GET / HTTP/1.1" for conn in server.connections)


def test_backoff_waits_double_up_to_the_cap_then_the_stream_ends():
    """Waits of 40, 80, 160, 160 and 160 ms measured at the server, five attempts, then the end."""
    timeline = Timeline()
    script = lambda i: serving(timeline, i) if i == 0 else refusing(timeline)
    with ScriptedServer(script) as server:
        client = connect_url_raw(server.url, reconnect=True, base_delay_ms=40, max_delay_ms=160,
                                 max_retries=5)
        assert step(client) == parse_frame(frame(0))
        assert step(client) == END
        assert len(server.connections) == 6
        assert_waits(timeline.waits_ms(1, 5), [40, 80, 160, 160, 160])


def test_base_above_cap_waits_base_first_then_the_cap():
    """With base 120 ms and cap 40 ms the waits are 120, 40 and 40 ms."""
    timeline = Timeline()
    script = lambda i: serving(timeline, i) if i == 0 else refusing(timeline)
    with ScriptedServer(script) as server:
        client = connect_url_raw(server.url, reconnect=True, base_delay_ms=120, max_delay_ms=40,
                                 max_retries=3)
        assert [step(client) for _ in range(2)] == [parse_frame(frame(0)), END]
        assert_waits(timeline.waits_ms(1, 3), [120, 40, 40])


def test_zero_base_delay_attempts_without_waiting():
    """base_delay_ms=0 makes every attempt follow the last without a pause."""
    timeline = Timeline()
    script = lambda i: serving(timeline, i) if i == 0 else refusing(timeline)
    with ScriptedServer(script) as server:
        client = connect_url_raw(server.url, reconnect=True, base_delay_ms=0, max_delay_ms=10_000,
                                 max_retries=4)
        assert [step(client) for _ in range(2)] == [parse_frame(frame(0)), END]
        assert_waits(timeline.waits_ms(1, 4), [0, 0, 0, 0], slack_ms=100)
        assert len(server.connections) == 5


@pytest.mark.parametrize("settings", [
    {"reconnect": False, "base_delay_ms": 0},
    {"reconnect": True, "max_retries": 0, "base_delay_ms": 60_000},
])
def test_no_attempt_when_reconnection_is_off(settings):
    """reconnect=False or max_retries=0: the loss is the end at once, with no new connection."""
    timeline = Timeline()
    with ScriptedServer(lambda i: serving(timeline, i)) as server:
        client = connect_url_raw(server.url, **settings)
        assert step(client) == parse_frame(frame(0))
        started = time.monotonic()
        assert [step(client), step(client)] == [END, END]
        assert time.monotonic() - started < scaled(1)
        time.sleep(0.2)
        assert len(server.connections) == 1


def test_a_later_loss_starts_a_fresh_cycle():
    """Each loss gets the full count of attempts, starting again at the base wait."""
    timeline = Timeline()
    accepted = {0, 2, 4}
    script = lambda i: serving(timeline, i) if i in accepted else refusing(timeline)
    with ScriptedServer(script) as server:
        client = connect_url_raw(server.url, reconnect=True, base_delay_ms=40, max_delay_ms=1000,
                                 max_retries=2)
        assert [step(client) for _ in range(4)] == [
            parse_frame(frame(0)), parse_frame(frame(2)), parse_frame(frame(4)), END]
        assert len(server.connections) == 7
        assert_waits(timeline.waits_ms(1, 6), [40, 80, 40, 80, 40, 80])


def test_failures_inside_a_cycle_never_reach_python():
    """A 404, garbage, a subprotocol and a wrong accept value each cost one attempt, unseen."""
    timeline = Timeline()
    scripts = {
        1: lambda: refusing(timeline),
        2: lambda: [timeline.arrive, send_raw(b"garbage\r\n\r\n"), close_tcp()],
        3: lambda: [timeline.arrive, accept(headers=[("Sec-WebSocket-Protocol", "x")])],
        4: lambda: [timeline.arrive, accept(accept_key="wrong")],
    }
    script = lambda i: scripts[i]() if i in scripts else serving(timeline, i)
    with ScriptedServer(script) as server:
        client = connect_url_raw(server.url, reconnect=True, base_delay_ms=5, max_delay_ms=5,
                                 max_retries=5)
        assert [step(client) for _ in range(2)] == [parse_frame(frame(0)), parse_frame(frame(5))]
        assert len(server.connections) == 6


def test_a_server_that_returns_with_version_5_ends_the_stream():
    """The new connection's hello is checked: ConnectionError, then the end for good."""
    timeline = Timeline()

    def script(index):
        if index == 0:
            return serving(timeline, 0)
        return [timeline.arrive, accept(with_binary=[hello(5), frame(index)])]

    with ScriptedServer(script) as server:
        client = connect_url_raw(server.url, reconnect=True, base_delay_ms=10, max_retries=3)
        assert [step(client) for _ in range(4)] == [
            parse_frame(frame(0)),
            (ConnectionError, "incompatible Quorl protocol: server speaks v5, this SDK speaks v4"),
            END, END]
        assert len(server.connections) == 2


def test_a_silent_server_costs_one_attempt_of_five_seconds():
    """An attempt whose handshake is never answered is abandoned after 5 s; the next one wins."""
    timeline = Timeline()
    script = lambda i: [timeline.arrive] if i == 1 else serving(timeline, i)
    with ScriptedServer(script) as server:
        client = connect_url_raw(server.url, reconnect=True, base_delay_ms=10, max_delay_ms=10,
                                 max_retries=2)
        assert [step(client) for _ in range(2)] == [parse_frame(frame(0)), parse_frame(frame(2))]
        assert server.connection(1).wait_end(0)
        waits = timeline.waits_ms(1, 2)
        assert_waits(waits[:1], [10])
        assert 5000 + 10 - 5 <= waits[1] <= 5000 + 10 + scaled(1000)
