"""The LSL bridge seen from LSL inlets on this machine: streams, metadata, values, timestamps.

Every liblsl of these tests (this process and the bridge's) reads
``../shared/lsl_api.cfg`` through ``LSLAPICFG`` (set by the conftest), which
keeps discovery on 127.0.0.1. liblsl falls back to its defaults, which send
discovery packets to the network, when it cannot read that file: the tests
then skip rather than load liblsl at all.
"""

from __future__ import annotations

import asyncio
import os
import struct
import subprocess
import sys
import threading
import time
from collections.abc import Iterator
from contextlib import contextmanager
from pathlib import Path
from typing import Any

import pytest
from websockets.asyncio.server import ServerConnection

from quorl_sdk.simulator import Simulator
from support import (
    EXOTIC_BITS,
    MSG_BODY_ISB_ANGLES,
    all_sample_frames,
    hello,
    scaled,
    websockets_server,
)
from support.lsl import require_loopback_lsl

QUORL_SDK = [sys.executable, "-m", "quorl_sdk"]
CONFIG = Path(os.environ["LSLAPICFG"])
SAMPLES = 50


@pytest.fixture(scope="module")
def pylsl() -> Any:
    """pylsl, once liblsl is sure to keep discovery on the loopback address."""
    require_loopback_lsl()
    return pytest.importorskip("pylsl")


def bits_of(values: list[float]) -> list[int]:
    return [struct.unpack("<Q", struct.pack("<d", value))[0] for value in values]


def angles(number: int) -> bytes:
    """Body angle frame ``number``: the exotic patterns, then ``number`` in the other slots."""
    patterns = list(EXOTIC_BITS) + bits_of([float(number)] * (21 - len(EXOTIC_BITS)))
    return bytes([MSG_BODY_ISB_ANGLES]) + struct.pack("<21Q", *patterns)


class Gated:
    """A server handler: the hello and one frame of each stream, then on ``go`` the samples.

    Records the monotonic time before each sample is sent.
    """

    def __init__(self) -> None:
        self.go = threading.Event()
        self.sent_at: list[float] = []

    async def __call__(self, connection: ServerConnection) -> None:
        await connection.send(hello())
        for frame in all_sample_frames():
            await connection.send(frame)
        while not self.go.is_set():
            await asyncio.sleep(0.01)
        for number in range(SAMPLES):
            self.sent_at.append(time.monotonic())
            await connection.send(angles(number))
            await asyncio.sleep(0.002)
        await connection.wait_closed()


@contextmanager
def bridge(url: str, *args: str) -> Iterator[subprocess.Popen[str]]:
    """Runs ``quorl-sdk lsl --url URL ARGS`` with the tests' liblsl configuration."""
    process = subprocess.Popen(
        [*QUORL_SDK, "lsl", "--url", url, "--interval", "0.2", *args],
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
        env={**os.environ, "LSLAPICFG": str(CONFIG)},
    )  # fmt: skip
    try:
        yield process
    finally:
        if process.poll() is None:
            process.terminate()
        process.communicate(timeout=scaled(20))


def resolve(pylsl: Any, name: str) -> Any:
    found = pylsl.resolve_byprop("name", name, 1, scaled(10))
    assert found, f"no LSL stream named {name!r}"
    return found[0]


def test_lsl_clock_is_the_monotonic_clock(pylsl: Any) -> None:
    """local_clock() reads time.monotonic()'s clock, so arrival times map onto it unchanged."""
    from quorl_sdk.lsl import clock_offset

    gaps = []
    for _ in range(20):
        before = time.monotonic()
        lsl = pylsl.local_clock()
        after = time.monotonic()
        gaps.append((after - before, lsl - before))
    width, offset = min(gaps)
    assert -1e-4 < offset <= width + 1e-4
    assert clock_offset() == 0.0


def test_bridge_publishes_streams_with_layout_exact_values_and_arrival_times(pylsl: Any) -> None:
    """Nine streams; double64 channels named by the skeleton; samples in order, bit for bit,
    and stamped between the moment the server sent them and the moment the inlet had them."""
    server_handler = Gated()
    with websockets_server(server_handler) as server, bridge(server.url) as process:
        hand = pylsl.StreamInlet(resolve(pylsl, "quorl HAND_LANDMARKS side 1")).info(scaled(5))
        assert (hand.channel_count(), hand.channel_format()) == (84, pylsl.cf_double64)
        assert hand.type() == "Mocap" and hand.nominal_srate() == pylsl.IRREGULAR_RATE
        desc = hand.desc()
        assert (desc.child_value("kind"), desc.child_value("side")) == ("HAND_LANDMARKS", "1")
        assert desc.child("layout").child_value("components") == "x y z v"
        channel = desc.child("channels").child("channel").next_sibling()
        assert [channel.child_value(field) for field in ("label", "unit", "type", "group")] == [
            "right_hand_wrist_y", "m", "PositionY", "0"
        ]
        inlet = pylsl.StreamInlet(resolve(pylsl, "quorl BODY_ISB_ANGLES"))
        inlet.open_stream(scaled(5))
        server_handler.go.set()
        samples = []
        for _ in range(SAMPLES):
            values, stamp = inlet.pull_sample(timeout=scaled(5))
            assert values is not None, f"{len(samples)} samples came"
            samples.append((values, stamp, time.monotonic()))
        assert process.poll() is None, process.communicate()
    for number, (values, stamp, pulled) in enumerate(samples):
        assert bits_of(values) == list(struct.unpack("<21Q", angles(number)[1:]))
        assert server_handler.sent_at[number] <= stamp <= pulled
    assert process.returncode == 0  # SIGTERM is a requested stop


def test_bridge_reconnects_and_shows_the_status(pylsl: Any) -> None:
    """A server that restarts is followed; the status counts the reconnection; Ctrl-C is exit 0."""
    with Simulator(port=0, rate=30, restart_after=1.0, restart_gap=0.3).running() as sim:
        result = subprocess.run(
            [*QUORL_SDK, "lsl", "--url", sim.url, "--duration", "2.5", "--interval", "0.5"],
            capture_output=True, text=True, timeout=scaled(60),
            env={**os.environ, "LSLAPICFG": str(CONFIG)},
        )  # fmt: skip
    assert result.returncode == 0, result.stderr
    last = result.stdout.split("\n\n")[-2]
    assert last.startswith(f"quorl-sdk lsl: {sim.url}, duration over, ")
    assert "reconnections 0" not in last and f"reconnected to {sim.url}" in result.stdout
    assert "Traceback" not in result.stderr


def test_bridge_measures_the_rate_and_takes_its_name_and_skeleton(
    pylsl: Any, tmp_path: Path
) -> None:
    """``--name`` prefixes the streams, ``--skeleton`` names the channels, and the nominal
    rate is the server's, measured from its first frames."""
    skeleton = tmp_path / "swapped.toml"
    skeleton.write_text('sides = ["right_hand", "left_hand"]\n')
    with Simulator(port=0, rate=40).running() as sim, bridge(
        sim.url, "--name", "lab2", "--skeleton", str(skeleton)
    ) as process:
        info = pylsl.StreamInlet(resolve(pylsl, "lab2 HAND_LANDMARKS side 0")).info(scaled(5))
        assert process.poll() is None, process.communicate()
    assert info.nominal_srate() == pytest.approx(40.0, rel=0.05)  # whole Hz unless loaded
    assert info.source_id() == "quorl-sdk lab2 HAND_LANDMARKS side 0"
    assert info.desc().child_value("side_name") == "right_hand"
    labels = info.desc().child("channels").child("channel")
    assert labels.child_value("label") == "right_hand_wrist_x"


def test_source_id_and_given_rate_do_not_depend_on_the_server_port(pylsl: Any) -> None:
    """Bridges to servers on two ports publish the same source id, at the rate given."""
    from quorl_sdk.frames import make_frame
    from quorl_sdk.lsl import LslBridge

    found = []
    for port in (5999, 6001):
        bridge = LslBridge(f"ws://127.0.0.1:{port}", name="moved", rate=50.0)
        try:
            assert bridge.push(make_frame(MSG_BODY_ISB_ANGLES, None, [0.0] * 21), 0.0) == [
                "moved BODY_ISB_ANGLES"
            ]
            info = pylsl.StreamInlet(resolve(pylsl, "moved BODY_ISB_ANGLES")).info(scaled(5))
            found.append((info.source_id(), info.nominal_srate()))
        finally:
            bridge.close()
    assert found == [("quorl-sdk moved BODY_ISB_ANGLES", 50.0)] * 2


@pytest.mark.parametrize(
    ("times", "rate"),
    [
        ([], 0.0),
        ([3.0], 0.0),
        ([k / 37.3 for k in range(20)], 37.0),
        ([k / 12.34 for k in range(20)], 12.34),
        ([k / 40 + (0.02 if k % 3 == 1 else 0.0) for k in range(40)], 40.0),  # late frames
    ],
)
def test_measured_rate(times: list[float], rate: float) -> None:
    """The server's pace, whole when it is nearly so, however late single frames come; one
    frame has no rate."""
    from quorl_sdk.lsl import measured_rate

    assert measured_rate(times) == rate
