"""Frames as streams of the lab streaming layer (LSL), through ``pylsl``.

:class:`LslBridge` publishes each (kind, side) of frame as one LSL stream:
``channel_count`` is the kind's value count, every channel double64. Its
name is ``quorl BODY_LANDMARKS`` or ``quorl HAND_LANDMARKS side 0`` (another
prefix than ``quorl`` with ``name``), its type ``Mocap``, its ``source_id``
the same words after ``quorl-sdk``: it names what the stream carries, not
the server's port, so that a recorder finds the stream again when the bridge
restarts or the server moves to another port. Its metadata (``desc``) holds::

    <source>quorl-sdk</source>   <server>ws://127.0.0.1:5432</server>
    <kind>HAND_LANDMARKS</kind>   <side>0</side>   <side_name>left_hand</side_name>
    (body kinds: <side>none</side>, no side_name)
    <skeleton><name>default</name><description>...</description><axes>...</axes></skeleton>
    <layout><groups>21</groups><components>x y z v</components></layout>
    <channels><channel><label>left_hand_wrist_x</label><unit>m</unit>
    <type>PositionX</type><group>0</group><component>x</component></channel>...</channels>

Labels, units and types come from the :mod:`~quorl_sdk.skeleton` (angle kinds:
``<groups>0</groups>`` and channels without group or component). Each sample
is the frame's values, bit for bit, stamped with the frame's arrival time on
LSL's clock, so that a recorder stores the frames next to every other device
of the lab.

``nominal_srate`` is the rate given, or else the stream's own rate measured
over its first :data:`MEASURE_SECONDS` of frames: the bridge holds them until
then, and publishes them with their arrival times when it opens the stream.
The measured rate is fitted through the arrival times (see
:func:`measured_rate`), a whole number of Hz when it is within 2 % of one.

LSL's clock (``pylsl.local_clock()``) is the monotonic clock on Linux, the
clock of ``time.monotonic()`` that arrival times are read on: the mapping is
then the identity. :func:`clock_offset` measures rather than assumes it.

``pylsl`` is an optional extra (``pip install 'quorl-sdk[lsl]'``), which
ships liblsl; it is imported when a bridge is made. liblsl reads its
configuration from the file named by the environment variable ``LSLAPICFG``.
"""

from __future__ import annotations

import statistics
import time
from collections.abc import Sequence
from typing import Any

from quorl_sdk._extras import require
from quorl_sdk.frames import Frame, FrameKind
from quorl_sdk.skeleton import DEFAULT, Skeleton

__all__ = ["LslBridge", "clock_offset", "measured_rate", "stream_name"]

#: The LSL stream type of every stream.
STREAM_TYPE = "Mocap"
#: The prefix of the streams' names unless another is given.
DEFAULT_NAME = "quorl"
#: Seconds of a stream's first frames over which its rate is measured.
MEASURE_SECONDS = 1.0
# A measured rate this close (relative) to a whole number of Hz is taken as that number.
_WHOLE_HZ = 0.02
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


def stream_name(key: StreamKey, name: str = DEFAULT_NAME) -> str:
    """Returns the LSL name of the stream of ``key``: ``quorl HAND_LANDMARKS side 0``."""
    kind, side = key
    return f"{name} {kind.name}" if side is None else f"{name} {kind.name} side {side}"


def measured_rate(times: Sequence[float]) -> float:
    """Returns the rate in Hz of frames that arrived at ``times``, or 0.0 (LSL's irregular
    rate) for fewer than two frames; within 2 % of a whole number of Hz it is that number.

    The period is the slope of the line fitted through the arrival times, so
    that a frame held up and the next one that comes right after it count
    as what they are: late, not a change of pace.
    """
    if len(times) < 2 or times[-1] <= times[0]:
        return 0.0
    period = statistics.linear_regression(range(len(times)), times).slope
    if period <= 0:
        return 0.0
    rate = 1.0 / period
    whole = round(rate)
    return float(whole) if whole and abs(rate - whole) <= _WHOLE_HZ * rate else round(rate, 2)


class LslBridge:
    """Publishes frames as LSL streams, one per (kind, side), each opened after its first frames.

    Args:
        source: where the frames come from (the server's URL), kept in the
            streams' metadata.
        skeleton: the channels' labels, units and types.
        name: the prefix of the streams' names and source ids, to tell the
            streams of two bridges apart.
        rate: the streams' ``nominal_srate`` in Hz; None measures each
            stream's rate over its first :data:`MEASURE_SECONDS`.

    Raises:
        MissingExtraError: pylsl is not installed.
    """

    def __init__(
        self,
        source: str,
        *,
        skeleton: Skeleton = DEFAULT,
        name: str = DEFAULT_NAME,
        rate: float | None = None,
    ) -> None:
        self._pylsl = _pylsl()
        self.source = source
        self.skeleton = skeleton
        self.name = name
        self.rate = rate
        #: LSL's clock minus the monotonic clock, added to every arrival time.
        self.offset = clock_offset()
        self._outlets: dict[StreamKey, Any] = {}
        # Frames of streams whose rate is being measured, with their arrival times.
        self._held: dict[StreamKey, list[tuple[Frame, float]]] = {}

    @property
    def streams(self) -> list[str]:
        """The names of the streams published so far."""
        return [stream_name(key, self.name) for key in self._outlets]

    def push(self, frame: Frame, time: float) -> list[str]:
        """Publishes ``frame``, which arrived at ``time`` (monotonic seconds), or holds it
        while its stream's rate is measured; returns the names of the streams it opened.
        """
        key = (frame.kind, frame.side)
        outlet = self._outlets.get(key)
        if outlet is not None:
            outlet.push_sample(frame.values, time + self.offset)
            return []
        held = self._held.setdefault(key, [])
        held.append((frame, time))
        return self.poll(time) if self.rate is None else self._open([key])

    def poll(self, now: float) -> list[str]:
        """Opens the streams whose rate has been measured by ``now`` (monotonic seconds);
        returns their names. Call it now and then when frames may stop coming."""
        due = [key for key, held in self._held.items() if now - held[0][1] >= MEASURE_SECONDS]
        return self._open(due)

    def _open(self, keys: list[StreamKey]) -> list[str]:
        for key in keys:
            held = self._held.pop(key)
            rate = self.rate if self.rate is not None else measured_rate([t for _, t in held])
            outlet = self._outlets[key] = self._pylsl.StreamOutlet(self._info(key, rate))
            for frame, time in held:
                outlet.push_sample(frame.values, time + self.offset)
        return [stream_name(key, self.name) for key in keys]

    def _info(self, key: StreamKey, rate: float) -> Any:
        kind, side = key
        pylsl = self._pylsl
        skeleton = self.skeleton
        info = pylsl.StreamInfo(
            stream_name(key, self.name),
            STREAM_TYPE,
            kind.value_count,
            rate,
            pylsl.cf_double64,
            f"quorl-sdk {stream_name(key, self.name)}",
        )
        desc = info.desc()
        desc.append_child_value("source", "quorl-sdk")
        desc.append_child_value("server", self.source)
        desc.append_child_value("kind", kind.name)
        desc.append_child_value("side", "none" if side is None else str(side))
        if side is not None:
            desc.append_child_value("side_name", str(skeleton.side_name(side)))
        about = desc.append_child("skeleton")
        for field in ("name", "description", "axes"):
            about.append_child_value(field, getattr(skeleton, field))
        layout = skeleton.layout(kind)
        groups = desc.append_child("layout")
        groups.append_child_value("groups", str(len(layout.names) if layout.components else 0))
        if layout.components:
            groups.append_child_value("components", " ".join(layout.components))
        channels = desc.append_child("channels")
        columns = zip(skeleton.columns(kind, side), layout.column_units(), layout.column_types())
        for index, (label, unit, kind_of_channel) in enumerate(columns):
            channel = channels.append_child("channel")
            channel.append_child_value("label", label)
            channel.append_child_value("unit", unit)
            channel.append_child_value("type", kind_of_channel)
            if layout.components:
                width = len(layout.components)
                channel.append_child_value("group", str(index // width))
                channel.append_child_value("component", layout.components[index % width])
        return info

    def close(self) -> None:
        """Withdraws every stream and drops frames still held; safe to call more than once."""
        outlets, self._outlets = self._outlets, {}
        outlets.clear()
        self._held.clear()
