"""Frames as streams of the lab streaming layer (LSL), through ``pylsl``.

:class:`LslBridge` publishes each (kind, side) of frame as one LSL stream,
made when its first frame comes: ``channel_count`` is the kind's value count,
every channel double64, the rate irregular (the server sets it). Its name is
``quorl BODY_LANDMARKS`` or ``quorl HAND_LANDMARKS side 0``, its type
``Mocap``, and its metadata (``desc``) holds::

    <source>quorl-sdk</source>
    <kind>HAND_LANDMARKS</kind>   <side>0</side>   (body kinds: <side>none</side>)
    <layout><groups>21</groups><components>x y z v</components></layout>
    <channels><channel><label>g00_x</label><group>0</group><component>x</component>
    </channel>...</channels>

(angle kinds: ``<layout><groups>0</groups>``, channels ``a00`` to ``a20``
with a label only). Each sample is the frame's values, bit for bit, stamped
with the frame's arrival time on LSL's clock, so that a recorder stores the
frames next to every other device of the lab.

LSL's clock (``pylsl.local_clock()``) is the monotonic clock on Linux, the
clock of ``time.monotonic()`` that arrival times are read on: the mapping is
then the identity. :func:`clock_offset` measures rather than assumes it.

``pylsl`` is an optional extra (``pip install 'quorl-sdk[lsl]'``), which
ships liblsl; it is imported when a bridge is made. liblsl reads its
configuration from the file named by the environment variable ``LSLAPICFG``.
"""

from __future__ import annotations

import time
from typing import Any

from quorl_sdk._extras import require
from quorl_sdk.frames import Frame, FrameKind

__all__ = ["LslBridge", "clock_offset", "stream_name"]

#: The LSL stream type of every stream.
STREAM_TYPE = "Mocap"
# Two clocks whose readings differ by less than this are taken as one.
_SAME_CLOCK = 50e-6
# Readings taken to measure the offset between the clocks.
_CLOCK_READINGS = 9

StreamKey = tuple[FrameKind, "int | None"]


def _pylsl() -> Any:
    return require("pylsl", "lsl", "publishing to LSL")


def clock_offset() -> float:
    """Returns LSL's clock minus ``time.monotonic()`` in seconds; 0.0 when they are one clock.

    Takes the reading of LSL's clock bracketed most tightly by two monotonic
    readings, so that a preemption in between does not count.

    Raises:
        MissingExtraError: pylsl is not installed.
    """
    pylsl = _pylsl()
    readings = []
    for _ in range(_CLOCK_READINGS):
        before = time.monotonic()
        lsl = pylsl.local_clock()
        after = time.monotonic()
        readings.append((after - before, lsl - (before + after) / 2))
    width, offset = min(readings)
    return 0.0 if abs(offset) <= width + _SAME_CLOCK else offset


def stream_name(key: StreamKey) -> str:
    """Returns the LSL name of the stream of ``key``: ``quorl HAND_LANDMARKS side 0``."""
    kind, side = key
    return f"quorl {kind.name}" if side is None else f"quorl {kind.name} side {side}"



class LslBridge:
    """Publishes frames as LSL streams, one per (kind, side), each made at its first frame.

    Args:
        source: where the frames come from (the server's URL); part of each
            stream's ``source_id``, so that a recorder finds the same stream
            again after the bridge restarts.

    Raises:
        MissingExtraError: pylsl is not installed.
    """

    def __init__(self, source: str) -> None:
        self._pylsl = _pylsl()
        self.source = source
        #: LSL's clock minus the monotonic clock, added to every arrival time.
        self.offset = clock_offset()
        self._outlets: dict[StreamKey, Any] = {}

    @property
    def streams(self) -> list[str]:
        """The names of the streams published so far."""
        return [stream_name(key) for key in self._outlets]

    def push(self, frame: Frame, time: float) -> bool:
        """Publishes ``frame``, which arrived at ``time`` (monotonic seconds).

        Returns True when the frame opened a new stream.
        """
        key = (frame.kind, frame.side)
        outlet = self._outlets.get(key)
        made = outlet is None
        if outlet is None:
            outlet = self._outlets[key] = self._pylsl.StreamOutlet(self._info(key))
        outlet.push_sample(frame.values, time + self.offset)
        return made

    def _info(self, key: StreamKey) -> Any:
        kind, side = key
        pylsl = self._pylsl
        info = pylsl.StreamInfo(
            stream_name(key),
            STREAM_TYPE,
            kind.value_count,
            pylsl.IRREGULAR_RATE,
            pylsl.cf_double64,
            f"quorl-sdk {self.source} {kind.name} {'none' if side is None else side}",
        )
        desc = info.desc()
        desc.append_child_value("source", "quorl-sdk")
        desc.append_child_value("kind", kind.name)
        desc.append_child_value("side", "none" if side is None else str(side))
        layout = desc.append_child("layout")
        groups = kind.value_count // 4 if kind.is_grouped else 0
        layout.append_child_value("groups", str(groups))
        channels = desc.append_child("channels")
        for index, label in enumerate(kind.columns):
            channel = channels.append_child("channel")
            channel.append_child_value("label", label)
            if kind.is_grouped:
                channel.append_child_value("group", str(index // 4))
                channel.append_child_value("component", kind.components[index % 4])
        if kind.is_grouped:
            layout.append_child_value("components", " ".join(kind.components))
        return info

    def close(self) -> None:
        """Withdraws every stream; safe to call more than once."""
        outlets, self._outlets = self._outlets, {}
        outlets.clear()
