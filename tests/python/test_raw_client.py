"""RawClient: the type object, the frame stream as Python sees it, close, port and borrows."""

from __future__ import annotations

import gc
import os
import subprocess
import sys
import textwrap
import threading
import time
import weakref
from contextlib import closing

import pytest

from _quorl_sdk import RawClient, connect_url_raw, decode_frame
from sdk_util import streaming
from support import (
    MSG_BODY_LANDMARKS,
    MSG_HAND_ISB_ANGLES,
    MSG_HAND_LANDMARKS,
    OP_CLOSE,
    ScriptedServer,
    accept,
    all_sample_frames,
    close_tcp,
    hello,
    parse_frame,
    pause,
    reset_tcp,
    sample_frame,
    scaled,
    send_binary,
    send_close,
    send_ping,
    send_pong,
    send_text,
    sending,
    skip_exit_under_asan,
    wait_frame,
    websockets_server,
)

END = "end"
DECODE_PREFIX = "failed to decode a stream frame: "
INCOMPATIBLE_V5 = "incompatible Quorl protocol: server speaks v5, this SDK speaks v4"

DOC = (
    "A blocking handle to a Quorl connection.\n\n"
    "Created by [`connect_raw`]. Iterating it drives the async client to the next\n"
    "frame; `StopIteration` is raised when the stream ends for good."
)
CLOSE_DOC = "Drops the underlying connection. Further iteration raises `RuntimeError`."

F1 = sample_frame(MSG_BODY_LANDMARKS, start=1.5)
F2 = sample_frame(MSG_HAND_LANDMARKS, 1, start=-3.25)
F3 = sample_frame(MSG_HAND_ISB_ANGLES, 0, start=100.0)


def step(client):
    """Returns the next frame, END at StopIteration, or (exception type, message)."""
    try:
        return next(client)
    except StopIteration:
        return END
    except (ValueError, ConnectionError) as error:
        return type(error), str(error)


def steps(client, count):
    """Returns `count` outcomes of step(client)."""
    return [step(client) for _ in range(count)]


def decoder_message(frame):
    """Returns the message the native decoder gives for a bad frame."""
    with pytest.raises(ValueError) as raised:
        decode_frame(frame)
    return str(raised.value)


def wait_until(condition, timeout=5.0):
    """Polls `condition` until it holds; fails the test when it never does."""
    deadline = time.monotonic() + scaled(timeout)
    while not condition():
        assert time.monotonic() < deadline, "condition never held"
        time.sleep(0.005)


class TestType:
    """The type object: name, docstrings, and what it refuses."""

    def test_names_and_docstrings(self):
        """The type names its module, keeps its plain name and carries the exact docstrings."""
        assert (RawClient.__module__, RawClient.__name__, RawClient.__qualname__) == (
            "_quorl_sdk", "RawClient", "RawClient")
        assert RawClient.__doc__ == DOC
        assert RawClient.close.__text_signature__ == "($self)"
        assert RawClient.close.__doc__ == CLOSE_DOC
        assert RawClient.port.__doc__ == "The TCP port this client is connected to."

    @pytest.mark.parametrize("construct", [
        lambda: RawClient(),
        lambda: RawClient("ws://127.0.0.1:5432"),
        lambda: RawClient.__new__(RawClient),
    ], ids=["call", "call_with_argument", "dunder_new"])
    def test_has_no_constructor(self, construct):
        """Instances come only from the connect functions."""
        with pytest.raises(TypeError) as raised:
            construct()
        assert str(raised.value) == "No constructor defined for RawClient"

    def test_object_new_cannot_make_an_uninitialised_instance(self):
        """object.__new__ refuses the type, so no instance exists without a connection."""
        with pytest.raises(TypeError):
            object.__new__(RawClient)

    def test_cannot_be_subclassed(self):
        """A class statement with RawClient as a base fails."""
        with pytest.raises(TypeError):
            type("Sub", (RawClient,), {})

    def test_unbound_slots_check_their_object(self):
        """Calling the descriptors on another object fails with TypeError, not a crash."""
        for call in (lambda: RawClient.close(5), lambda: RawClient.__next__(5),
                     lambda: RawClient.__iter__("x"), lambda: RawClient.port.__get__(5)):
            with pytest.raises(TypeError):
                call()


class TestStreamWithWebsocketsServer:
    """The stream against an independent, conforming server implementation."""

    def test_every_frame_type_arrives_then_the_close_ends_the_stream(self):
        """Each sample frame comes back as the tuple its bytes hold; the close frame ends it."""
        frames = all_sample_frames()
        with websockets_server(sending(hello(), *frames)) as server:
            client = connect_url_raw(server.url)
            assert list(client) == [parse_frame(frame) for frame in frames]
            assert steps(client, 2) == [END, END]

    @pytest.mark.parametrize("messages", [
        [hello(), F1, F2],
        [F1, hello(), F2],
        [hello(), F1, hello(), hello(), F2],
        [F1, F2],
    ], ids=["hello_first", "data_before_hello", "repeated_hellos", "no_hello"])
    def test_hellos_of_version_4_are_swallowed_wherever_they_appear(self, messages):
        """Only data frames reach Python, whether a hello came first, later, twice or never."""
        with websockets_server(sending(*messages)) as server:
            assert list(connect_url_raw(server.url)) == [parse_frame(F1), parse_frame(F2)]

    def test_text_ping_and_pong_between_frames_are_skipped(self):
        """Text, ping and pong yield nothing, and the ping is answered while reading."""
        pong_seen = []

        async def handler(ws):
            await ws.send(hello())
            await ws.send("a text message")
            await ws.send(F1)
            waiter = await ws.ping(b"are you there")
            await ws.pong(b"unsolicited")
            await ws.send(F2)
            await waiter
            pong_seen.append(True)
            await ws.send(F3)

        with websockets_server(handler) as server:
            client = connect_url_raw(server.url)
            assert list(client) == [parse_frame(F1), parse_frame(F2), parse_frame(F3)]
            assert pong_seen == [True]
            assert server.errors == []

    def test_another_protocol_version_ends_the_stream_for_good(self):
        """A hello of version 5 raises ConnectionError once, then the stream is over."""
        with websockets_server(sending(F1, hello(5), F2, then_close=False)) as server:
            with closing(connect_url_raw(server.url, reconnect=True, base_delay_ms=0)) as client:
                assert steps(client, 4) == [parse_frame(F1), (ConnectionError, INCOMPATIBLE_V5),
                                            END, END]
                assert len(server.requests) == 1

    @pytest.mark.parametrize("bad, message", [
        (b"\x01", "message type 0x01: expected 2 payload bytes, got 0"),
        (b"\x01\x04\x00\x00", "message type 0x01: expected 2 payload bytes, got 3"),
        (b"", "received an empty WebSocket frame"),
        (b"\x09" + bytes(20), "unknown message type byte 0x09"),
        (b"\x00", "unknown message type byte 0x00"),
        (F2[:-1], None),
        (bytes([MSG_HAND_LANDMARKS, 2]) + F2[2:], None),
    ], ids=["hello_short", "hello_long", "empty", "unknown_type", "type_zero", "truncated",
            "bad_side"])
    def test_a_rejected_frame_is_a_value_error_and_the_stream_goes_on(self, bad, message):
        """A frame the decoder refuses raises ValueError with its text; the next frame follows."""
        expected = DECODE_PREFIX + (message or decoder_message(bad))
        with websockets_server(sending(hello(), F1, bad, F2)) as server:
            client = connect_url_raw(server.url)
            assert steps(client, 4) == [parse_frame(F1), (ValueError, expected),
                                        parse_frame(F2), END]


class TestStreamWithScriptedServer:
    """The stream where the exact bytes or the TCP ending matter."""

    def test_hello_in_the_handshake_segment_is_read_as_the_first_frame(self):
        """Frames sent in the same write as the 101 response are not lost."""
        with ScriptedServer([accept(with_binary=[hello(), F1, F2]), close_tcp()]) as server:
            assert list(connect_url_raw(server.url)) == [parse_frame(F1), parse_frame(F2)]

    def test_fragmented_messages_are_reassembled(self):
        """A binary message in several fragments arrives as one frame."""
        script = [accept(with_binary=[hello()]), send_binary(F2, fragments=5),
                  send_text("x", fragments=2), send_binary(F1), close_tcp()]
        with ScriptedServer(script) as server:
            assert list(connect_url_raw(server.url)) == [parse_frame(F2), parse_frame(F1)]

    def test_control_frames_between_frames_and_the_pong_reply(self):
        """Ping and pong are skipped; the ping's payload comes back in a pong."""
        script = [accept(with_binary=[hello()]), send_ping(b"p1"), send_binary(F1),
                  send_pong(b"q"), send_binary(F2), send_close(1000), wait_frame(OP_CLOSE),
                  close_tcp()]
        with ScriptedServer(script) as server:
            assert list(connect_url_raw(server.url)) == [parse_frame(F1), parse_frame(F2)]
            conn = server.connection(0)
            assert conn.wait_frame(0xA).payload == b"p1"

    @pytest.mark.parametrize("ending", [
        [send_close(1000), wait_frame(OP_CLOSE), close_tcp()],
        [send_close(None), wait_frame(OP_CLOSE), close_tcp()],
        [send_close(1001, "going away"), wait_frame(OP_CLOSE), close_tcp()],
        [close_tcp()],
        [reset_tcp()],
        [pause(0.2), reset_tcp()],
    ], ids=["close_1000", "close_empty", "close_1001", "fin", "reset", "reset_later"])
    def test_close_or_loss_ends_the_stream_without_an_error(self, ending):
        """A close frame, a FIN or a reset, with reconnect off, is the end and stays the end."""
        frames = [] if ending[0].__name__ == "reset_tcp" else [F1]
        script = [accept(with_binary=[hello(), *frames]), *ending]
        with ScriptedServer(script) as server:
            client = connect_url_raw(server.url)
            assert steps(client, len(frames) + 2) == [*map(parse_frame, frames), END, END]

    def test_a_masked_server_frame_is_a_stream_error_then_the_end(self):
        """A protocol violation raises ConnectionError with the layer's text, then ends."""
        script = [accept(with_binary=[hello(), F1]), send_binary(F2, masked=True),
                  wait_frame(OP_CLOSE), close_tcp()]
        with ScriptedServer(script) as server:
            client = connect_url_raw(server.url)
            first, error, *rest = steps(client, 4)
            assert first == parse_frame(F1)
            assert error[0] is ConnectionError
            assert error[1].startswith("stream connection error: ")
            assert len(error[1]) > len("stream connection error: ")
            assert rest == [END, END]

    @pytest.mark.parametrize("version", [0, 3, 5, 0xFFFF])
    def test_incompatible_version_text(self, version):
        """The message names the server's version and ours, in decimal."""
        script = [accept(with_binary=[hello(version)]), send_binary(F1)]
        with ScriptedServer(script) as server:
            client = connect_url_raw(server.url)
            expected = (f"incompatible Quorl protocol: server speaks v{version}, "
                        "this SDK speaks v4")
            assert steps(client, 2) == [(ConnectionError, expected), END]


class TestObject:
    """close, port, iteration and borrows on a live object."""

    def test_port_and_iteration_protocol(self):
        """port is the URL's port; iter(c) is c; port cannot be assigned nor attributes added."""
        with ScriptedServer([accept(with_binary=[hello()])]) as server:
            client = connect_url_raw(server.url)
            assert type(client) is RawClient
            assert client.port == server.port and type(client.port) is int
            assert iter(client) is client
            with pytest.raises(AttributeError):
                client.port = 1
            with pytest.raises(AttributeError):
                client.anything = 1
            with pytest.raises(TypeError):
                weakref.ref(client)

    def test_close_then_everything_but_iter_and_close_refuses(self):
        """After close: next and port raise "client is closed", close returns None, iter works."""
        with ScriptedServer([accept(with_binary=[hello(), F1])]) as server:
            client = connect_url_raw(server.url)
            assert next(client) == parse_frame(F1)
            assert client.close() is None
            for action in (lambda: next(client), lambda: client.port):
                with pytest.raises(RuntimeError) as raised:
                    action()
                assert str(raised.value) == "client is closed"
            assert client.close() is None
            assert iter(client) is client
            conn = server.connection(0)
            assert conn.wait_end() and not conn.client_sent_close

    @pytest.mark.parametrize("drop", ["close", "last_reference"])
    def test_the_server_sees_tcp_end_without_a_close_frame(self, drop):
        """close() or dropping the last reference closes the socket without a close frame."""
        with ScriptedServer([accept(with_binary=[hello(), F1])]) as server:
            client = connect_url_raw(server.url)
            assert next(client) == parse_frame(F1)
            conn = server.connection(0)
            assert not conn.ended
            if drop == "close":
                client.close()
            else:
                del client
            assert conn.wait_end()
            assert conn.frames == []

    def test_borrow_errors_while_another_thread_waits_in_next(self):
        """While one thread waits in next, the others get the borrow errors, then it completes."""
        release = threading.Event()
        script = [accept(with_binary=[hello()]), lambda conn: release.wait(scaled(10)),
                  send_binary(F1)]
        with ScriptedServer(script) as server:
            client = connect_url_raw(server.url)
            result = []
            waiter = threading.Thread(target=lambda: result.append(next(client)))
            waiter.start()
            try:
                wait_until(lambda: borrow_error(lambda: client.port) is not None)
                assert borrow_error(lambda: client.port) == "Already mutably borrowed"
                assert borrow_error(lambda: iter(client)) == "Already mutably borrowed"
                assert borrow_error(lambda: next(client)) == "Already borrowed"
                assert borrow_error(client.close) == "Already borrowed"
            finally:
                release.set()
                waiter.join(scaled(10))
            assert result == [parse_frame(F1)]
            assert client.port == server.port
            client.close()

    def test_clients_in_several_threads_wait_at_once(self):
        """Two clients block in next on two threads at the same time; neither blocks the other."""
        release = threading.Event()
        script = [accept(with_binary=[hello()]), lambda conn: release.wait(scaled(10)),
                  send_binary(F1), close_tcp()]
        with ScriptedServer(script) as server:
            clients = [connect_url_raw(server.url) for _ in range(2)]
            results = [None, None]

            def drain(index):
                results[index] = list(clients[index])

            threads = [threading.Thread(target=drain, args=(i,)) for i in range(2)]
            for thread in threads:
                thread.start()
            wait_until(lambda: all(borrow_error(lambda c=c: c.port) for c in clients))
            release.set()
            for thread in threads:
                thread.join(scaled(10))
            assert results == [[parse_frame(F1)]] * 2

    def test_no_thread_outlives_the_object(self):
        """Connecting by host name and dropping the client leaves the process's thread count as it was."""
        with websockets_server(sending(hello(), F1, then_close=False)) as server:
            before = os_thread_count()
            client = connect_url_raw(f"ws://localhost:{server.port}")
            assert next(client) == parse_frame(F1)
            del client
            gc.collect()
            # The server's threads of the connection end as it closes.
            wait_until(lambda: os_thread_count() == before)


# A daemon thread steps a client on a streaming server while the main thread
# ends the program. The finalising interpreter ends the thread when it takes
# back the interpreter lock, by a forced unwind that must pass through the
# native frames.
DAEMON_AT_EXIT = """
    import sys, threading
    from _quorl_sdk import connect_url_raw
    client = connect_url_raw(sys.argv[1])
    started = threading.Event()
    def drain():
        for _ in client:
            started.set()
    threading.Thread(target=drain, daemon=True).start()
    started.wait(10)
"""


@skip_exit_under_asan
def test_interpreter_exit_with_a_daemon_thread_in_next():
    """A program whose daemon thread is inside next() at exit exits with 0, every time."""
    env = dict(os.environ)
    if "ASAN_OPTIONS" in env:
        # The ended thread's client is never freed, as nothing is at interpreter exit.
        env["ASAN_OPTIONS"] += ":detect_leaks=0"
    with websockets_server(streaming(F1)) as server:
        for run in range(20):
            result = subprocess.run(
                [sys.executable, "-c", textwrap.dedent(DAEMON_AT_EXIT), server.url],
                capture_output=True, text=True, timeout=scaled(30), env=env)
            assert (run, result.returncode, result.stderr) == (run, 0, "")


def borrow_error(action):
    """Returns the message of the RuntimeError that `action` raises, or None."""
    try:
        action()
    except RuntimeError as error:
        return str(error)
    return None


def os_thread_count():
    """Returns how many threads the process has, native ones included."""
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("Threads:"):
                return int(line.split()[1])
    raise AssertionError("no thread count in /proc/self/status")
