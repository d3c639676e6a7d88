"""The blocking client of quorl_sdk against real servers on 127.0.0.1."""

from __future__ import annotations

import gc
import sys
import threading
import time

import pytest
from sdk_util import (
    angles,
    engine_threads,
    open_fds,
    settled_engine_threads,
    silent,
    sockets_to,
    streaming,
    wait_until,
)
from support import (
    MSG_BODY_LANDMARKS,
    MSG_HAND_ISB_ANGLES,
    MSG_HAND_QUATERNIONS,
    ScriptedServer,
    accept,
    encode,
    hello,
    pause,
    port_is_free,
    sample_frame,
    scaled,
    send_binary,
    sending,
    websockets_server,
)

import _quorl_sdk
import quorl_sdk
from quorl_sdk import Frame, FrameKind, Mode


def free_port() -> int:
    """A port on 127.0.0.1 that nothing listens on right now."""
    with ScriptedServer() as server:
        port = server.port
    assert port_is_free(port)
    return port


def test_lossless_mode_delivers_every_frame_in_order_then_ends():
    """Every frame arrives once and in order, then iteration stops; no frame is dropped."""
    frames = [angles(n) for n in range(300)]
    with websockets_server(sending(hello(), *frames)) as server:
        with quorl_sdk.connect_url(server.url, timeout=scaled(5)) as client:
            received = [frame.values[0] for frame in client]
            assert client.mode is Mode.LOSSLESS
            assert (client.received, client.dropped) == (300, 0)
    assert received == [float(n) for n in range(300)]


def test_frames_are_named_tuples_with_kind_side_and_the_native_values():
    """A streamed frame equals what the native decoder makes of the same bytes."""
    data = sample_frame(MSG_HAND_QUATERNIONS, side=1, start=0.5)
    with websockets_server(sending(hello(), data)) as server:
        with quorl_sdk.connect_url(server.url, timeout=scaled(5)) as client:
            frame = client.recv()
    assert isinstance(frame, Frame) and type(frame.kind) is FrameKind
    assert frame == (FrameKind.HAND_QUATERNIONS, 1, _quorl_sdk.decode_frame(data)[2])


def test_lossless_queue_stays_bounded_while_the_consumer_lags():
    """With max_queue 4 the reader pauses instead of buffering, and still loses nothing."""
    frames = [angles(n) for n in range(200)]
    with websockets_server(sending(hello(), *frames)) as server:
        with quorl_sdk.connect_url(server.url, max_queue=4, timeout=scaled(5)) as client:
            assert wait_until(lambda: client.received >= 5)
            time.sleep(0.2)
            assert client.received <= 5  # 4 waiting, 1 held by the paused reader
            assert client._stream.queued == 4
            received = [frame.values[0] for frame in client]
    assert received == [float(n) for n in range(200)]


def test_latest_mode_keeps_only_the_newest_frame_of_each_kind_and_side():
    """A consumer that falls behind gets the newest frame per (kind, side), in the order the
    streams first came; the rest count as dropped."""
    frames = []
    for n in range(100):
        frames.append(angles(n))
        frames.append(encode(MSG_HAND_ISB_ANGLES, n % 2, [float(n)] * 21))
    frames.append(sample_frame(MSG_BODY_LANDMARKS))
    with websockets_server(sending(hello(), *frames, then_close=False)) as server:
        with quorl_sdk.connect_url(server.url, mode="latest", timeout=0.2) as client:
            assert wait_until(lambda: client.received == len(frames))
            newest = []
            with pytest.raises(TimeoutError):
                while True:
                    newest.append(client.recv())
            assert (client.received, client.dropped) == (201, 201 - 4)
    assert [(f.kind, f.side, f.values[0]) for f in newest] == [
        (FrameKind.BODY_ISB_ANGLES, None, 99.0),
        (FrameKind.HAND_ISB_ANGLES, 0, 98.0),
        (FrameKind.HAND_ISB_ANGLES, 1, 99.0),
        (FrameKind.BODY_LANDMARKS, None, 0.0),
    ]


def test_latest_mode_under_a_slow_consumer_always_gets_fresh_frames():
    """Reading a fast stream slowly, each frame received is newer than the last and close to the head."""
    with websockets_server(streaming(*[angles(n) for n in range(10_000)], interval=0.001)) as server:
        with quorl_sdk.connect_url(server.url, mode=Mode.LATEST, timeout=scaled(5)) as client:
            seen = []
            for _ in range(5):
                seen.append(client.recv().values[0])
                time.sleep(0.05)
            assert client.dropped > 0
            assert client.received - client.dropped - len(seen) <= 1  # at most one waits
    assert seen == sorted(seen) and len(set(seen)) == len(seen)


@pytest.mark.parametrize("mode", ["lossless", "latest"])
def test_a_malformed_frame_raises_in_place_and_reading_goes_on(mode):
    """A frame the decoder rejects raises ValueError between its neighbours; the stream continues."""
    after = encode(MSG_HAND_ISB_ANGLES, 0, [2.0] * 21)  # another key than the first frame's
    with websockets_server(sending(hello(), angles(1), b"\x09", after)) as server:
        with quorl_sdk.connect_url(server.url, mode=mode, timeout=scaled(5)) as client:
            assert wait_until(lambda: client.received == 2)
            assert client.recv().values[0] == 1.0
            with pytest.raises(ValueError) as caught:
                client.recv()
            assert str(caught.value) == (
                "failed to decode a stream frame: unknown message type byte 0x09"
            )
            assert [frame.values[0] for frame in client] == [2.0]


def test_an_incompatible_server_raises_connection_error_then_ends():
    """A hello of another version raises the native ConnectionError, after which the stream ends."""
    with websockets_server(sending(b"\x01\x05\x00", angles(1), then_close=False)) as server:
        with quorl_sdk.connect_url(server.url, timeout=scaled(5)) as client:
            with pytest.raises(ConnectionError) as caught:
                next(client)
            assert str(caught.value) == (
                "incompatible Quorl protocol: server speaks v5, this SDK speaks v4"
            )
            with pytest.raises(StopIteration):
                next(client)
            with pytest.raises(EOFError):
                client.recv()


@pytest.mark.parametrize("how", ["option", "argument", "zero"])
def test_waiting_on_a_silent_server_times_out(how):
    """The client's timeout, recv's timeout and recv(timeout=0) each end a wait with TimeoutError."""
    with websockets_server(silent()) as server:
        option = 0.3 if how == "option" else None
        with quorl_sdk.connect_url(server.url, timeout=option) as client:
            started = time.monotonic()
            with pytest.raises(TimeoutError):
                if how == "option":
                    next(client)
                else:
                    client.recv(timeout=0.3 if how == "argument" else 0)
            waited = time.monotonic() - started
    expected = 0.0 if how == "zero" else 0.3
    assert expected <= waited < expected + scaled(1.0)


def test_context_manager_closes_the_connection_and_later_use_raises():
    """Leaving the with block closes the socket; the closed client refuses further reads."""
    script = [accept(with_binary=[hello()]), send_binary(angles(1)), pause(0.3), send_binary(angles(2))]
    with ScriptedServer(script) as server:
        with quorl_sdk.connect_url(server.url, timeout=scaled(5)) as client:
            assert client.recv().values[0] == 1.0
            assert client.port == server.port
        assert client.closed
        assert server.connection(0).wait_end(scaled(5))
        for use in (lambda: next(client), client.recv):
            with pytest.raises(RuntimeError, match="^client is closed$"):
                use()
        client.close()  # a second close is harmless


def test_close_from_another_thread_wakes_a_waiting_consumer():
    """A consumer blocked without a timeout gets RuntimeError as soon as another thread closes."""
    outcome = []
    with websockets_server(silent()) as server:
        client = quorl_sdk.connect_url(server.url, close_timeout=0)

        def consume():
            try:
                client.recv(timeout=None)
            except RuntimeError as error:
                outcome.append((str(error), time.monotonic()))

        consumer = threading.Thread(target=consume)
        consumer.start()
        time.sleep(0.2)
        closed_at = time.monotonic()
        client.close()
        consumer.join(scaled(5))
    assert outcome and outcome[0][0] == "client is closed"
    assert outcome[0][1] - closed_at < scaled(0.5)


def test_no_reader_outlives_a_closed_client_while_the_server_streams():
    """close() on a streaming connection ends the reader thread and the socket before it returns."""
    before = settled_engine_threads()
    with websockets_server(streaming(angles(1), interval=0.001)) as server:
        client = quorl_sdk.connect_url(server.url, timeout=scaled(5), close_timeout=scaled(2))
        client.recv()
        assert engine_threads() == before + 1
        client.close()
        assert sockets_to(server.port) == 0
        assert wait_until(lambda: engine_threads() == before, 1.0)


def test_close_on_a_silent_server_returns_at_once_and_ends_the_connection():
    """close() ends a wait on a server that sends nothing: it returns at once, the socket goes."""
    threads = settled_engine_threads()
    with ScriptedServer([accept(), pause(scaled(10))]) as server:
        client = quorl_sdk.connect_url(server.url)
        with pytest.raises(TimeoutError):
            client.recv(timeout=0.1)
        started = time.monotonic()
        client.close()
        assert time.monotonic() - started < 0.5
        assert sockets_to(server.port) == 0
        assert server.connection(0).wait_end(scaled(2))
        assert wait_until(lambda: engine_threads() == threads)


@pytest.mark.parametrize("ending", ["close", "garbage collection"])
def test_no_thread_or_socket_leaks(ending):
    """After close() or the collection of an unclosed client, its thread and socket are gone."""
    with websockets_server(streaming(angles(1), interval=0.002)) as server:
        threads, fds = settled_engine_threads(), open_fds()
        for _ in range(3):
            client = quorl_sdk.connect_url(server.url, timeout=scaled(5))
            client.recv()
            if ending == "close":
                client.close()
            del client
            gc.collect()
        assert wait_until(lambda: engine_threads() == threads)
        assert wait_until(lambda: sockets_to(server.port) == 0)
        assert wait_until(lambda: open_fds() <= fds)


def test_an_unread_lossless_client_is_collected_while_its_reader_waits_for_room():
    """A reader paused on a full queue does not keep its client alive; collection stops it."""
    with websockets_server(streaming(angles(1), interval=0.001)) as server:
        threads = settled_engine_threads()
        client = quorl_sdk.connect_url(server.url, max_queue=2)
        assert wait_until(lambda: client.received >= 3)
        del client
        gc.collect()
        assert wait_until(lambda: engine_threads() == threads)
        assert wait_until(lambda: sockets_to(server.port) == 0)


@pytest.mark.parametrize("arguments", [
    {"port": 70000},
    {"port": -1},
    {"port": "5432"},
    {"max_retries": 2**32},
    {"max_retries": 1.5},
    {"reconnect": 1},
    {"base_delay_ms": -1},
    {"base_delay_ms": None},
    {"max_delay_ms": "10"},
])
def test_connect_raises_exactly_what_connect_raw_raises(arguments):
    """Bad native arguments give the same exception type and message as _quorl_sdk.connect_raw."""
    with pytest.raises(Exception) as native:
        _quorl_sdk.connect_raw(**arguments)
    with pytest.raises(Exception) as ours:
        quorl_sdk.connect(**arguments)
    assert type(ours.value) is type(native.value)
    assert str(ours.value) == str(native.value)


@pytest.mark.parametrize("url", [
    b"ws://127.0.0.1:5432",
    "http://127.0.0.1:5432",
    "ws://127.0.0.1",
    "ws://127.0.0.1:\udc80",
])
def test_connect_url_raises_exactly_what_connect_url_raw_raises(url):
    """Bad URLs give the same exception type and message as _quorl_sdk.connect_url_raw."""
    with pytest.raises(Exception) as native:
        _quorl_sdk.connect_url_raw(url)
    with pytest.raises(Exception) as ours:
        quorl_sdk.connect_url(url)
    assert type(ours.value) is type(native.value)
    assert str(ours.value) == str(native.value)


def test_a_refused_connection_raises_the_native_connection_error():
    """No server on the port: the same ConnectionError as connect_raw, message and all."""
    port = free_port()
    with pytest.raises(ConnectionError) as native:
        _quorl_sdk.connect_raw(port)
    with pytest.raises(ConnectionError) as ours:
        quorl_sdk.connect(port)
    assert str(ours.value) == str(native.value)
    assert str(ours.value).startswith(f"failed to connect to Quorl at ws://127.0.0.1:{port}: ")


@pytest.mark.parametrize("options, error, message", [
    ({"mode": "fastest"}, ValueError, "mode must be 'lossless' or 'latest', got 'fastest'"),
    ({"max_queue": 0}, ValueError, "max_queue must be from 1 to 10000000, got 0"),
    ({"max_queue": sys.maxsize}, ValueError, f"max_queue must be from 1 to 10000000, got {sys.maxsize}"),
    ({"kinds": iter([])}, ValueError, "kinds must name at least one FrameKind; None receives every kind"),
    ({"max_queue": 2.0}, TypeError, "max_queue must be an int, got float"),
    ({"timeout": -1}, ValueError, "timeout must be at least 0 seconds, got -1"),
    ({"timeout": "1"}, TypeError, "timeout must be a number of seconds or None, got str"),
    ({"close_timeout": float("nan")}, ValueError, "close_timeout must be at least 0 seconds, got nan"),
])
def test_options_of_the_python_layer_are_checked_before_connecting(options, error, message):
    """Invalid options of this layer fail at once, before any connection attempt."""
    port = free_port()
    with pytest.raises(error) as caught:
        quorl_sdk.connect(port, **options)
    assert str(caught.value) == message


def test_recv_checks_its_timeout():
    """recv refuses a timeout that is no number, as connect does."""
    with websockets_server(silent()) as server:
        with quorl_sdk.connect_url(server.url) as client:
            with pytest.raises(TypeError, match="^timeout must be a number of seconds or None"):
                client.recv(timeout="1")
            with pytest.raises(ValueError, match="^timeout must be at least 0 seconds"):
                client.recv(timeout=-0.5)


def test_reconnection_continues_the_stream_after_the_server_returns():
    """With reconnect on, frames keep coming after the server goes away and comes back."""
    with websockets_server(streaming(angles(7), interval=0.005)) as server:
        with quorl_sdk.connect_url(
            server.url, reconnect=True, base_delay_ms=50, max_delay_ms=500, timeout=scaled(10)
        ) as client:
            client.recv()
            server.stop()
            server.start()
            deadline = time.monotonic() + scaled(10)
            while len(server.requests) < 2 and time.monotonic() < deadline:
                client.recv()
            assert len(server.requests) == 2
            assert client.recv().values[0] == 7.0


@pytest.mark.fixed_ports
def test_connect_without_a_port_finds_the_server_in_the_default_range():
    """connect() tries 5432 to 5435 and reports the port that answered."""
    with websockets_server(sending(hello(), angles(3)), port=5434):
        with quorl_sdk.connect(timeout=scaled(5)) as client:
            assert client.port == 5434
            assert client.recv().values[0] == 3.0


def test_a_faulty_simulator_through_both_modes(quorl_server_factory):
    """Restarts, chatter and malformed frames: frames keep coming, each bad frame raises once in place."""
    sim = quorl_server_factory(restart_after=0.5, restart_gap=0.2, malformed=0.05, chatter=True)
    for mode in ("lossless", "latest"):
        with quorl_sdk.connect_url(
            sim.url, reconnect=True, base_delay_ms=50, max_delay_ms=200, mode=mode,
            timeout=scaled(5),
        ) as client:
            frames = errors = 0
            restarts = sim.restarts
            deadline = time.monotonic() + scaled(10)
            while (sim.restarts <= restarts or errors == 0) and time.monotonic() < deadline:
                try:
                    frame = client.recv()
                except ValueError as error:
                    assert str(error).startswith("failed to decode a stream frame: ")
                    errors += 1
                    continue
                assert len(frame.values) == frame.kind.value_count
                frames += 1
            assert sim.restarts > restarts and errors > 0 and frames > 0
            assert client.received >= frames
