"""The client benchmark's own parts: its server's streams, its hand-written
reader and its check of the values every client delivers. Figures are the
benchmark's business; nothing here is timed."""

from __future__ import annotations

import sys
import time
from collections.abc import Iterator
from contextlib import closing
from pathlib import Path
from typing import Any

import pytest

import _quorl_sdk

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "bench"))

from clients import check_values  # noqa: E402
from contenders import Drain, OnFrame, PurePython, SocketReader, decode  # noqa: E402
from load_common import load_server  # noqa: E402
from load_server import sample_frames  # noqa: E402


@pytest.fixture(scope="module")
def server() -> Iterator[str]:
    with load_server() as port:
        yield f"ws://127.0.0.1:{port}"


def test_socket_reader_yields_the_frames_sent_then_ends(server: str) -> None:
    """The hand-written reader decodes every frame like the native decoder, and stops at the close."""
    samples = sample_frames()
    with closing(SocketReader(f"{server}/frames/2500")) as reader:
        got = list(reader)
    assert got == [_quorl_sdk.decode_frame(samples[i % len(samples)]) for i in range(2500)]


def test_drain_counts_the_frames_sent(server: str) -> None:
    """The server's pace is measured over exactly the frames it sent."""
    assert Drain().count(f"{server}/frames/1234") == 1234


def test_paced_frames_carry_their_sending_time(server: str) -> None:
    """Each paced frame's first value is the monotonic time it left, before the reader got it."""
    start = time.monotonic()
    got = []
    PurePython().each(f"{server}/paced/50/1000", lambda receipt, frame: got.append((receipt, frame)))
    sent = [values[0] for _, _, values in (frame for _, frame in got)]
    assert len(got) == 50
    assert sent == sorted(sent)
    assert all(start < frame[2][0] <= receipt for receipt, frame in got)


def test_decode_skips_the_hello() -> None:
    """The hello is no data frame: the readers skip it."""
    assert decode(b"\x01\x04\x00", 0, 3) is None


@pytest.mark.parametrize("data", [b"\x05\x01" + bytes(8), b"\x09\x00", b"\x02" + bytes(417)])
def test_decode_refuses_frames_of_the_wrong_size_or_type(data: bytes) -> None:
    """A frame that does not fit its type is an error, not a short tuple."""
    with pytest.raises(ValueError):
        decode(data, 0, len(data))


class _Tampered(PurePython):
    """A client that loses, repeats or alters one frame."""

    def __init__(self, fault: str) -> None:
        self.fault = fault

    def each(self, url: str, on_frame: OnFrame) -> None:
        def tamper(receipt: float, frame: Any) -> None:
            if frame[2][0] != 7:
                on_frame(receipt, frame)
            elif self.fault == "repeated":
                on_frame(receipt, frame)
                on_frame(receipt, frame)
            elif self.fault == "altered":
                on_frame(receipt, (frame[0], frame[1], [*frame[2][:-1], -1.0]))
            elif self.fault == "other side":
                on_frame(receipt, (frame[0], 1 - frame[1], frame[2]))

        super().each(url, tamper)


@pytest.mark.parametrize("fault", ["lost", "repeated", "altered", "other side"])
def test_the_values_check_catches_a_wrong_frame(server: str, fault: str) -> None:
    """A client that is fast because it is wrong is reported, whatever the fault."""
    assert check_values(PurePython(), f"{server}/frames/100", 100) is None
    problem = check_values(_Tampered(fault), f"{server}/frames/100", 100)
    assert problem is not None and problem.startswith("wrong values")
