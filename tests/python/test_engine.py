"""The native engine seen from Python: exit and fork safety, fair latest mode, bounded
errors, asyncio waiters, frame times and sequence numbers, pull(), kinds= and wait=."""

from __future__ import annotations

import asyncio
import contextlib
import gc
import math
import os
import struct
import subprocess
import sys
import textwrap
import threading
import time

import pytest
from sdk_util import (
    angles,
    engine_threads,
    settled_engine_threads,
    silent,
    streaming,
    wait_until,
)
from support import (
    MSG_HAND_ISB_ANGLES,
    MSG_HAND_LANDMARKS,
    OP_BINARY,
    ScriptedServer,
    accept,
    all_sample_frames,
    close_tcp,
    encode,
    hello,
    pause,
    scaled,
    send_binary,
    send_close,
    send_raw,
    skip_exit_under_asan,
    sending,
    websockets_server,
    ws_frame,
)

import quorl_sdk
from quorl_sdk import FrameKind
from quorl_sdk.errors import FrameError, FrameTimeout, QuorlError, ServerNotFound

NINE_STREAMS = {
    (FrameKind(data[0]), data[1] if FrameKind(data[0]).is_hand else None)
    for data in all_sample_frames()
}

# Each program gets the URL of a streaming server as argv[1] and must exit 0.
EXIT_PROGRAMS = {
    "unclosed client after break": """
        import sys, quorl_sdk
        for frame in quorl_sdk.connect_url(sys.argv[1]):
            break
    """,
    "daemon consumer thread": """
        import sys, threading, time, quorl_sdk
        client = quorl_sdk.connect_url(sys.argv[1])
        threading.Thread(target=lambda: [None for _ in client], daemon=True).start()
        time.sleep(0.05)
    """,
}


@skip_exit_under_asan
@pytest.mark.parametrize("program", EXIT_PROGRAMS.values(), ids=EXIT_PROGRAMS.keys())
def test_interpreter_exit_never_aborts_or_hangs(program):
    """Ten runs of each program, with the server streaming fast, all end with exit code 0."""
    with websockets_server(streaming(*all_sample_frames(), interval=0.0002)) as server:
        runs = [
            subprocess.Popen(
                [sys.executable, "-c", textwrap.dedent(program), server.url],
                stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
            )
            for _ in range(10)
        ]
        outcomes = []
        for run in runs:
            try:
                _, stderr = run.communicate(timeout=scaled(30))
            except subprocess.TimeoutExpired:
                run.kill()
                _, stderr = run.communicate()
            outcomes.append((run.returncode, stderr))
    assert [code for code, _ in outcomes] == [0] * 10, outcomes


def test_a_client_inherited_through_fork_acts_closed_in_the_child():
    """The child sees a closed client and leaves the parent's connection alone."""
    with websockets_server(streaming(angles(1), interval=0.002)) as server:
        with quorl_sdk.connect_url(server.url, timeout=scaled(5)) as client:
            client.recv()
            pid = os.fork()
            if pid == 0:  # the child: report through the exit code only
                code = 0
                try:
                    client.recv(timeout=0)
                    code = 1
                except RuntimeError as error:
                    code = 0 if str(error) == "client is closed" and client.closed else 2
                client.close()
                del client
                os._exit(code)
            _, status = os.waitpid(pid, 0)
            assert os.waitstatus_to_exitcode(status) == 0
            assert not client.closed
            before = client.received
            assert wait_until(lambda: client.recv() is not None and client.received > before + 5)


def test_a_slow_consumer_in_latest_mode_is_served_every_stream_in_turn():
    """With all nine streams flooding, nine takes of a slow consumer see all nine."""
    with websockets_server(streaming(*all_sample_frames(), interval=0.0001)) as server:
        with quorl_sdk.connect_url(server.url, mode="latest", timeout=scaled(5)) as client:
            assert wait_until(lambda: len(client.latest()) == 9)
            seen = []
            for _ in range(9):
                frame = client.recv()
                seen.append((frame.kind, frame.side))
                time.sleep(0.01)
            assert client.dropped > 0
    assert set(seen) == NINE_STREAMS


def test_latest_mode_keeps_one_error_with_the_count_it_replaced():
    """A thousand malformed frames wait as one error that counts the 999 it replaced."""
    frames = [b"\x09"] * 1000 + [angles(5)]
    with websockets_server(sending(hello(), *frames, then_close=False)) as server:
        with quorl_sdk.connect_url(server.url, mode="latest", timeout=0.5) as client:
            assert wait_until(lambda: client.received == 1)
            time.sleep(0.1)
            with pytest.raises(FrameError) as caught:
                client.recv()
            assert caught.value.replaced == 999
            assert str(caught.value) == "failed to decode a stream frame: unknown message type byte 0x09"
            assert client.recv().values[0] == 5.0
            with pytest.raises(FrameTimeout):
                client.recv(timeout=0.05)


def test_two_asyncio_tasks_waiting_on_one_client_are_both_served():
    """Both coroutines waiting in recv() get a frame when two arrive."""
    script = [accept(with_binary=[hello()]), pause(0.3), send_binary(angles(1)),
              send_binary(angles(2)), pause(scaled(5))]

    async def main(url: str) -> list[float]:
        async with quorl_sdk.connect_url_async(url) as client:
            first = asyncio.ensure_future(client.recv())
            second = asyncio.ensure_future(client.recv())
            frames = await asyncio.wait_for(asyncio.gather(first, second), scaled(5))
            return sorted(frame.values[0] for frame in frames)

    with ScriptedServer(script) as server:
        assert asyncio.run(main(server.url)) == [1.0, 2.0]


@pytest.mark.parametrize(
    "state", ["reading a silent server", "waiting to reconnect", "reading a reconnected server"]
)
def test_close_returns_at_once_in_every_state(state):
    """close() ends a silent wait, a pause between reconnection attempts or a wait on a
    connection that a reconnection swapped in, within 0.5 s, and the server sees it end."""
    threads = settled_engine_threads()
    with websockets_server(silent()) as server:
        delay_ms = 20 if state == "reading a reconnected server" else 60_000
        client = quorl_sdk.connect_url(server.url, reconnect=True, base_delay_ms=delay_ms)
        if state != "reading a silent server":
            server.stop()
            time.sleep(0.2)
        if state == "reading a reconnected server":
            server.start()
            assert wait_until(lambda: client.reconnections == 1)
        started = time.monotonic()
        client.close()
        assert time.monotonic() - started < 0.5
        assert wait_until(lambda: not server.open_connections)
    assert wait_until(lambda: engine_threads() == threads)


def test_frames_carry_their_arrival_time_not_the_time_they_were_read():
    """Frames that came while the program was busy keep the time they arrived."""
    with websockets_server(sending(hello(), *[angles(n) for n in range(5)], then_close=False)) as server:
        with quorl_sdk.connect_url(server.url, timeout=scaled(5)) as client:
            assert wait_until(lambda: client.received == 5)
            arrived_by = time.monotonic()
            time.sleep(0.3)  # busy
            frames = [client.recv() for _ in range(5)]
    assert all(frame.time <= arrived_by for frame in frames)
    assert [frame.seq for frame in frames] == [0, 1, 2, 3, 4]
    assert [frame.time for frame in frames] == sorted(frame.time for frame in frames)


def special_values(count: int, start: float) -> list[float]:
    """Values that only a bit-exact path keeps: NaN payloads, infinities, -0.0, subnormals."""
    specials = [
        struct.unpack("<d", struct.pack("<Q", 0x7FF8_0000_DEAD_BEEF))[0], math.inf, -math.inf,
        -0.0, 5e-324,
    ]
    return [specials[i] if i < len(specials) else start + i for i in range(count)]


def special_frames(count: int) -> tuple[dict[tuple[FrameKind, int | None], list[list[float]]],
                                         list[bytes]]:
    """Frames of three streams holding special_values(), and the values sent per stream."""
    sent: dict[tuple[FrameKind, int | None], list[list[float]]] = {}
    frames = []
    for n in range(count):
        kind, side = (MSG_HAND_LANDMARKS, n % 2) if n % 3 else (MSG_HAND_ISB_ANGLES, 0)
        values = special_values(FrameKind(kind).value_count, float(n))
        sent.setdefault((FrameKind(kind), side), []).append(values)
        frames.append(encode(kind, side, values))
    return sent, frames


def pulled_copies(client, buffers):
    """What one pull_into() wrote, as batches of copies: the next call writes over them."""
    client.pull_into(buffers)
    return {key: quorl_sdk.Batch(key[0], key[1], batch.time.copy(), batch.seq.copy(),
                                 batch.values.copy())
            for key in buffers.streams if len(batch := buffers[key])}


@pytest.mark.parametrize("how", ["pull", "pull_into"])
def test_pulls_return_every_frame_bit_for_bit_per_stream(how):
    """pull() batches and the rows pull_into() writes hold the values sent, exactly, with
    seq and time per frame; pull_into() writes no more rows than its buffers hold."""
    numpy = pytest.importorskip("numpy")
    sent, frames = special_frames(200)
    buffers = quorl_sdk.Buffers(10)
    with websockets_server(sending(hello(), *frames, then_close=False)) as server:
        with quorl_sdk.connect_url(server.url, timeout=scaled(5)) as client:
            assert wait_until(lambda: client.received == 200)
            got: dict[tuple[FrameKind, int | None], list[object]] = {}
            seqs = []
            while len(seqs) < 200:
                pulled = client.pull() if how == "pull" else pulled_copies(client, buffers)
                for key, batch in pulled.items():
                    assert how == "pull" or len(batch) <= 10
                    got.setdefault(key, []).append(batch)
                    seqs.extend(batch.seq.tolist())
    assert sorted(seqs) == list(range(200))
    assert got.keys() == sent.keys()
    for key, batches in got.items():
        values = numpy.concatenate([batch.values for batch in batches])
        expected = numpy.array(sent[key], dtype=numpy.float64)
        assert values.shape[1:] == ((21, 4) if key[0] is FrameKind.HAND_LANDMARKS else (21,))
        assert values.reshape(len(values), -1).tobytes() == expected.tobytes()
        times = numpy.concatenate([batch.time for batch in batches])
        assert (numpy.diff(times) >= 0).all()


def test_pull_returns_the_frames_before_an_error_and_raises_it_next():
    """An error behind waiting frames waits for the next call."""
    pytest.importorskip("numpy")
    with websockets_server(sending(hello(), angles(1), angles(2), b"\x09", angles(3), then_close=False)) as server:
        with quorl_sdk.connect_url(server.url, timeout=scaled(5)) as client:
            assert wait_until(lambda: client.received == 3)
            batch = client.pull()[(FrameKind.BODY_ISB_ANGLES, None)]
            assert batch.values[:, 0].tolist() == [1.0, 2.0]
            with pytest.raises(FrameError):
                client.pull()
            assert client.pull()[(FrameKind.BODY_ISB_ANGLES, None)].seq.tolist() == [2]


def test_kinds_keeps_other_kinds_out_and_seq_counts_what_passes():
    """Only the kinds asked for arrive; their sequence numbers run from 0 without gaps. Other
    type bytes, unknown ones and frames that would not decode among them, raise nothing."""
    refused = (b"\x09", bytes([MSG_HAND_ISB_ANGLES, 0, 1]))
    frames = (*all_sample_frames(), *refused, *all_sample_frames())
    with websockets_server(sending(hello(), *frames)) as server:
        with quorl_sdk.connect_url(server.url, kinds=[FrameKind.HAND_LANDMARKS]) as client:
            frames = list(client)
    assert [(frame.kind, frame.side, frame.seq) for frame in frames] == [
        (FrameKind.HAND_LANDMARKS, side, seq) for seq, side in enumerate([0, 1, 0, 1])
    ]


@pytest.mark.parametrize("connect", ["blocking", "asyncio"])
@pytest.mark.parametrize("kinds", [lambda: (k for k in [FrameKind.HAND_LANDMARKS]),
                                   lambda: map(FrameKind, [MSG_HAND_LANDMARKS])],
                         ids=["generator", "map"])
def test_kinds_given_as_a_one_shot_iterable_is_read_once(connect, kinds):
    async def read_async(url):
        async with quorl_sdk.connect_url_async(url, kinds=kinds(), timeout=scaled(5)) as client:
            return [frame async for frame in client]

    with websockets_server(sending(hello(), *all_sample_frames())) as server:
        frames = asyncio.run(read_async(server.url)) if connect == "asyncio" else \
            list(quorl_sdk.connect_url(server.url, kinds=kinds(), timeout=scaled(5)))
    assert [(frame.kind, frame.side) for frame in frames] == [
        (FrameKind.HAND_LANDMARKS, 0), (FrameKind.HAND_LANDMARKS, 1)]


def numbered(n: int) -> bytes:
    """Frame ``n`` of a mixed stream, every value of it ``n``: a torn frame shows."""
    kind, side = (MSG_HAND_LANDMARKS, n % 2) if n % 3 else (MSG_HAND_ISB_ANGLES, 0)
    return encode(kind, side, [float(n)] * FrameKind(kind).value_count)


def rows(batches) -> list[tuple[int, float, float]]:
    """(seq, first value, last value) of each frame of some batches."""
    taken = []
    for batch in batches:
        values = batch.values.reshape(len(batch), batch.kind.value_count)
        taken.extend(zip(batch.seq.tolist(), values[:, 0].tolist(), values[:, -1].tolist()))
    return taken


def until_the_end(take) -> list[tuple[int, float, float]]:
    """What ``take()`` returns, call after call, until the stream ends."""
    taken = []
    with contextlib.suppress(EOFError):
        while True:
            taken.extend(take())
    return taken


def whole(frame) -> tuple[int, float, float]:
    return frame.seq, frame.values[0], frame.values[-1]


READERS = [
    lambda client: until_the_end(lambda: [whole(client.recv())]),
    lambda client: [whole(frame) for frame in client],
    lambda client: until_the_end(lambda: rows(client.pull().values())),
    lambda client: until_the_end(lambda: rows(client.pull().values())),
    lambda client: until_the_end(lambda b=quorl_sdk.Buffers(16): client.pull_into(b) and rows(
        b[key] for key in b.streams)),
]


@pytest.mark.parametrize("mode", ["lossless", "latest"])
def test_concurrent_readers_get_whole_frames_each_taken_once(mode):
    """Threads iterating, recv()ing, pull()ing and pull_into()ing one client at once, while
    another reads latest() and collections run Python code that hands the interpreter lock
    around in the middle of each call, get whole frames, each frame by one reader. Lossless
    mode loses none; latest mode loses only the frames it counts as dropped."""
    pytest.importorskip("numpy")
    count = 50_000
    taken: list[tuple[int, float, float]] = []
    newest: list[object] = []
    done = threading.Event()

    def look_at_latest(client):
        while not done.is_set():
            newest.extend(client.latest().values())

    threshold = gc.get_threshold()
    gc.set_threshold(50)
    gc.callbacks.append(yield_the_lock)
    try:
        # Sent in one write, faster than the readers take it: pulls take many frames.
        stream = b"".join(ws_frame(OP_BINARY, numbered(n)) for n in range(count))
        script = [accept(with_binary=[hello()]), send_raw(stream), send_close(1000), close_tcp()]
        with ScriptedServer(script) as server:
            with quorl_sdk.connect_url(server.url, mode=mode, timeout=scaled(10)) as client:
                readers = [threading.Thread(target=lambda r=r: taken.extend(r(client)))
                           for r in READERS]
                watcher = threading.Thread(target=look_at_latest, args=(client,))
                for thread in (*readers, watcher):
                    thread.start()
                for thread in readers:
                    thread.join(scaled(60))
                done.set()
                watcher.join()
                dropped = client.dropped
    finally:
        gc.callbacks.remove(yield_the_lock)
        gc.set_threshold(*threshold)
    assert all(seq == first == last for seq, first, last in taken)
    assert all(frame.seq == frame.values[0] == frame.values[-1] for frame in newest)
    seqs = sorted(seq for seq, _, _ in taken)
    assert len(seqs) == len(set(seqs)) and len(seqs) + dropped == count
    assert mode == "latest" or dropped == 0


def yield_the_lock(phase, info):
    time.sleep(0.0001)  # lets another thread run in the middle of the call that collects


def test_pull_into_stops_at_a_stream_without_arrays_and_before_an_error():
    """A frame of a stream the buffers lack stays waiting (KeyError when it comes first); an
    error behind taken frames is raised by the next call."""
    pytest.importorskip("numpy")
    hand = encode(MSG_HAND_LANDMARKS, 1, [0.5] * 84)
    stream = sending(hello(), angles(1), angles(2), hand, b"\x09", angles(3), then_close=False)
    buffers = quorl_sdk.Buffers(8, kinds=[FrameKind.BODY_ISB_ANGLES])
    body = (FrameKind.BODY_ISB_ANGLES, None)
    with websockets_server(stream) as server:
        with quorl_sdk.connect_url(server.url, timeout=scaled(5)) as client:
            assert wait_until(lambda: client.received == 4)
            assert client.pull_into(buffers) == 2
            assert buffers.values[body][:2, 0].tolist() == [1.0, 2.0]
            with pytest.raises(KeyError) as caught:
                client.pull_into(buffers)
            assert caught.value.args == ((FrameKind.HAND_LANDMARKS, 1),)
            assert client.recv().kind is FrameKind.HAND_LANDMARKS
            with pytest.raises(FrameError):
                client.pull_into(buffers)
            assert client.pull_into(buffers) == 1 and buffers.seq[body][0] == 3


@pytest.mark.parametrize("columns, error", [
    (lambda np: (np.zeros(4), np.zeros(4, "int64"), np.zeros((4, 20))), ValueError),
    (lambda np: (np.zeros(4), np.zeros(4), np.zeros((4, 21))), TypeError),
    (lambda np: (np.zeros(8)[::2], np.zeros(4, "int64"), np.zeros((4, 21))), ValueError),
], ids=["shape", "dtype", "strided"])
def test_buffers_of_the_callers_arrays_refuse_a_layout_the_engine_cannot_write(columns, error):
    numpy = pytest.importorskip("numpy")
    with pytest.raises(error):
        quorl_sdk.Buffers.of({(FrameKind.BODY_ISB_ANGLES, None): columns(numpy)})


def test_latest_shows_the_newest_frame_of_each_stream_without_consuming():
    """latest() in lossless mode leaves every frame in the queue."""
    with websockets_server(sending(hello(), angles(1), angles(2), then_close=False)) as server:
        with quorl_sdk.connect_url(server.url, timeout=scaled(5)) as client:
            assert wait_until(lambda: client.received == 2)
            newest = client.latest()
            assert list(newest) == [(FrameKind.BODY_ISB_ANGLES, None)]
            assert newest[(FrameKind.BODY_ISB_ANGLES, None)].values[0] == 2.0
            assert [client.recv().values[0] for _ in range(2)] == [1.0, 2.0]


@pytest.mark.parametrize("wait", [scaled(10), 1e10, sys.maxsize, 10**400, math.inf])
def test_wait_lets_a_client_start_before_its_server(wait):
    """With wait= the first connection is tried again until the server is up; a wait
    longer than any clock can count means to keep trying."""
    with websockets_server(sending(hello(), angles(4))) as server:
        server.stop()
        threading.Timer(0.3, server.start).start()
        with quorl_sdk.connect_url(server.url, wait=wait, timeout=scaled(5)) as client:
            assert client.recv().values[0] == 4.0


def test_errors_are_told_apart_by_type_and_keep_the_builtin_bases():
    """A refused connection is a ServerNotFound, a QuorlError and a ConnectionError."""
    with ScriptedServer() as server:
        port = server.port
    with pytest.raises(ServerNotFound) as caught:
        quorl_sdk.connect(port)
    assert isinstance(caught.value, QuorlError) and isinstance(caught.value, ConnectionError)
    with pytest.raises(ServerNotFound):
        quorl_sdk.connect(port, wait=0.2)


def test_reconnections_are_counted():
    """A server that goes away and comes back shows as one reconnection."""
    with websockets_server(streaming(angles(7), interval=0.005)) as server:
        with quorl_sdk.connect_url(
            server.url, reconnect=True, base_delay_ms=50, timeout=scaled(5)
        ) as client:
            first = client.recv()
            server.stop()
            server.start()
            assert wait_until(lambda: client.recv().time > first.time and client.reconnections == 1)
            assert client.recv().seq > first.seq
