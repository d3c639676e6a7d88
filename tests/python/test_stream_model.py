"""Model-based test of the stream: random server scripts against a reference model.

A seeded generator writes, per seed, the scripts of one to three connections:
valid frames of every type (values with any bit pattern, NaN payloads and
infinities included, some sent in fragments), frames the decoder refuses,
hellos of several versions and malformed ones, text, ping and pong, and an
ending (a close frame, a FIN, a reset or a protocol violation). The pure
Python model below knows nothing of the SDK: from the rules of the stream it
predicts what every ``next`` must give, and the native client must match it
step for step, with reconnection off and on. QUORL_MODEL_SEEDS sets how many
seeds run (default 40).
"""

from __future__ import annotations

import os
import random
import struct
import threading
from dataclasses import dataclass, field

import pytest

from _quorl_sdk import connect_url_raw
from support import (
    ScriptedServer,
    accept,
    close_tcp,
    http_response,
    reset_tcp,
    scaled,
    send_binary,
    send_close,
    send_ping,
    send_pong,
    send_text,
)

SEEDS = int(os.environ.get("QUORL_MODEL_SEEDS") or 40)

# The frame rules: payload bytes (after the type byte) and whether a side byte leads.
PAYLOAD = {2: 416, 3: 608, 4: 513, 5: 673, 6: 168, 7: 169}
HAND = {4, 5, 7}
DECODE = "failed to decode a stream frame: "
END = "end"


# The reference model.


def protocol_error(frame: bytes) -> str | None:
    """Returns the text of the error in a non-hello binary frame, or None when it is valid."""
    if not frame:
        return "received an empty WebSocket frame"
    kind = frame[0]
    if kind not in PAYLOAD:
        return f"unknown message type byte 0x{kind:02x}"
    if len(frame) - 1 != PAYLOAD[kind]:
        return f"message type 0x{kind:02x}: expected {PAYLOAD[kind]} payload bytes, got {len(frame) - 1}"
    if kind in HAND and frame[1] > 1:
        return f"invalid hand-side byte {frame[1]} (expected 0 or 1)"
    return None


def frame_outcome(frame: bytes) -> tuple:
    """Returns what a valid data frame yields: kind, side and the values' bit patterns."""
    kind = frame[0]
    base = 2 if kind in HAND else 1
    bits = [frame[at:at + 8] for at in range(base, len(frame), 8)]
    return ("frame", kind, frame[1] if kind in HAND else None, bits)


@dataclass
class Item:
    """One thing the server sends: a binary message, something skipped, or an ending."""

    kind: str  # "binary", "text", "ping", "pong", or an ending: "close", "fin", "reset", "violation"
    data: bytes = b""
    fragments: int = 1


@dataclass
class Step:
    """What one next() must give, and which connections' endings it reads."""

    outcome: object
    crosses: list[int] = field(default_factory=list)


def binary_outcome(data: bytes) -> object | None:
    """Returns what a binary message yields (None: nothing) by the stream's rules."""
    if data[:1] == b"\x01":
        if len(data) != 3:
            return (ValueError, f"{DECODE}message type 0x01: expected 2 payload bytes, "
                                f"got {len(data) - 1}")
        version = data[1] | data[2] << 8
        if version == 4:
            return None
        return (ConnectionError,
                f"incompatible Quorl protocol: server speaks v{version}, this SDK speaks v4")
    error = protocol_error(data)
    return (ValueError, DECODE + error) if error else frame_outcome(data)


def predict(connections: list[list[Item]], reconnect: bool) -> list[Step]:
    """Returns the outcomes of next() until the stream has ended, then one more end."""
    steps: list[Step] = []
    crosses: list[int] = []
    for index, items in enumerate(connections):
        for item in items:
            if item.kind in ("text", "ping", "pong"):
                continue
            if item.kind == "binary":
                outcome = binary_outcome(item.data)
                if outcome is None:
                    continue
                steps.append(Step(outcome, crosses))
                crosses = []
                if outcome[0] is ConnectionError:  # another version: the end, for good
                    return steps + [Step(END), Step(END)]
                continue
            crosses = [*crosses, index]
            if reconnect and index + 1 < len(connections):
                break  # the loss is repaired behind the caller's back
            if item.kind == "violation":
                steps.append(Step((ConnectionError, "stream connection error: "), crosses))
                crosses = []
            return steps + [Step(END, crosses), Step(END)]
    raise AssertionError("every connection ends")


# The generator.


def random_values(rng: random.Random, count: int) -> list[bytes]:
    """Returns ``count`` binary64 bit patterns, special ones among them."""
    special = [struct.pack("<d", v) for v in (0.0, -0.0, float("inf"), float("-inf"), 1.5)]
    special.append(struct.pack("<Q", 0x7FF8_0000_0000_0123))  # a NaN with a payload
    return [rng.choice(special) if rng.random() < 0.2 else rng.getrandbits(64).to_bytes(8, "little")
            for _ in range(count)]


def valid_frame(rng: random.Random) -> bytes:
    """Returns a valid data frame of a random type."""
    kind = rng.choice(sorted(PAYLOAD))
    head = bytes([kind, rng.randrange(2)]) if kind in HAND else bytes([kind])
    return head + b"".join(random_values(rng, (PAYLOAD[kind] + 1 - len(head)) // 8))


def refused_frame(rng: random.Random) -> bytes:
    """Returns a binary message the decoder refuses, of one of its four kinds."""
    choice = rng.randrange(4)
    if choice == 0:
        return b""
    if choice == 1:
        return bytes([rng.choice([0, *range(8, 256)])]) + rng.randbytes(rng.randrange(8))
    frame = valid_frame(rng)
    if choice == 2 or frame[0] not in HAND:
        cut = rng.choice([-1, 1]) * rng.randrange(1, 9)
        return frame[:cut] if cut < 0 else frame + rng.randbytes(cut)
    return frame[:1] + bytes([rng.randrange(2, 256)]) + frame[2:]


def random_item(rng: random.Random) -> Item:
    """Returns one random item that is not an ending."""
    roll = rng.random()
    if roll < 0.35:
        return Item("binary", valid_frame(rng), fragments=rng.choice([1, 1, 1, 2, 5]))
    if roll < 0.5:
        return Item("binary", refused_frame(rng))
    if roll < 0.62:
        return Item("binary", b"\x01\x04\x00")
    if roll < 0.67:
        return Item("binary", b"\x01" + rng.getrandbits(16).to_bytes(2, "little"))
    if roll < 0.72:
        return Item("binary", rng.choice([b"\x01", b"\x01\x04", b"\x01\x04\x00\x00"]))
    return Item(rng.choice(["text", "ping", "pong"]), rng.randbytes(rng.randrange(6)))


def random_connections(rng: random.Random) -> list[list[Item]]:
    """Returns the items of one to three connections, each closed by an ending."""
    connections = []
    for _ in range(rng.randint(1, 3)):
        items = [random_item(rng) for _ in range(rng.randrange(10))]
        items.append(Item(rng.choice(["close", "fin", "reset", "violation"])))
        connections.append(items)
    return connections


# The server side.


def script_of(items: list[Item], gate: threading.Event) -> list:
    """Returns the ScriptedServer steps that send ``items``."""
    steps = [accept()]
    for item in items:
        if item.kind == "binary":
            steps.append(send_binary(item.data, fragments=item.fragments))
        elif item.kind == "text":
            steps.append(send_text(item.data.hex(), fragments=1 + len(item.data) % 2))
        elif item.kind == "ping":
            steps.append(send_ping(item.data))
        elif item.kind == "pong":
            steps.append(send_pong(item.data))
        elif item.kind == "close":
            steps.append(send_close(1000))
        elif item.kind == "violation":
            steps.append(send_binary(b"\x01\x04\x00", masked=True))
        else:
            # The TCP end waits until the client has taken everything before it:
            # a reset (or a FIN turned into one) throws away unread bytes.
            steps.append(lambda conn: gate.wait(scaled(10)))
            steps.append(reset_tcp() if item.kind == "reset" else close_tcp())
    return steps


def step(client) -> object:
    """Returns the next outcome in the model's terms."""
    try:
        kind, side, values = next(client)
    except StopIteration:
        return END
    except (ValueError, ConnectionError) as error:
        return type(error), str(error)
    return ("frame", kind, side, [struct.pack("<d", v) for v in values])


def matches(actual: object, expected: object) -> bool:
    """Compares outcomes; a stream error's text is the layer's, so only its start counts."""
    if isinstance(expected, tuple) and expected[1] == "stream connection error: ":
        return (isinstance(actual, tuple) and actual[0] is ConnectionError
                and actual[1].startswith(expected[1]))
    return actual == expected


@pytest.mark.timeout(120)
@pytest.mark.parametrize("seed", range(SEEDS))
def test_native_stream_follows_the_model(seed):
    """The native client yields exactly what the reference model predicts, step by step."""
    rng = random.Random(seed)
    connections = random_connections(rng)
    reconnect = rng.random() < 0.5
    gates = [threading.Event() for _ in connections]
    expected = predict(connections, reconnect)

    def script(index: int) -> list:
        if index < len(connections):
            return script_of(connections[index], gates[index])
        return [http_response(404)]

    with ScriptedServer(script) as server:
        try:
            client = connect_url_raw(server.url, reconnect=reconnect, base_delay_ms=0,
                                     max_delay_ms=0, max_retries=2)
            for number, want in enumerate(expected):
                for index in want.crosses:
                    gates[index].set()
                got = step(client)
                assert matches(got, want.outcome), (
                    f"seed {seed}, step {number}: got {got!r}, the model says {want.outcome!r}")
        finally:
            for gate in gates:
                gate.set()
