"""Synthetic motion for the simulator: a figure that sways, swings its arms,
steps in place and opens and closes both hands, as the six kinds of frame.

The motion is computed in the layout of :data:`quorl_sdk.skeleton.DEFAULT`
(quaternions of unit length, positions in metres with y up, visibilities
between 0.8 and 1, angles in degrees, side 0 the left hand), then laid out as
the :class:`~quorl_sdk.skeleton.Skeleton` given asks: its order of names,
components and sides, and its units where the simulator knows them.
"""

from __future__ import annotations

import math
from collections.abc import Sequence

from quorl_sdk import wire
from quorl_sdk.frames import FrameKind
from quorl_sdk.skeleton import DEFAULT, KindLayout, Skeleton, SkeletonError

Vec3 = tuple[float, float, float]

TAU = 2.0 * math.pi

# The figure at rest, facing +z, by the name of each body landmark.
_BODY_REST: dict[str, Vec3] = {
    "nose": (0.00, 1.60, 0.08),
    "neck": (0.00, 1.45, 0.00),
    "right_shoulder": (-0.18, 1.42, 0.00),
    "right_elbow": (-0.22, 1.15, 0.00),
    "right_wrist": (-0.24, 0.90, 0.02),
    "left_shoulder": (0.18, 1.42, 0.00),
    "left_elbow": (0.22, 1.15, 0.00),
    "left_wrist": (0.24, 0.90, 0.02),
    "mid_hip": (0.00, 0.95, 0.00),
    "right_hip": (-0.10, 0.93, 0.00),
    "right_knee": (-0.11, 0.50, 0.02),
    "right_ankle": (-0.11, 0.08, 0.00),
    "left_hip": (0.10, 0.93, 0.00),
    "left_knee": (0.11, 0.50, 0.02),
    "left_ankle": (0.11, 0.08, 0.00),
    "right_eye": (-0.03, 1.65, 0.07),
    "left_eye": (0.03, 1.65, 0.07),
    "right_ear": (-0.07, 1.62, 0.00),
    "left_ear": (0.07, 1.62, 0.00),
}
_BODY_NAMES = DEFAULT.layout(FrameKind.BODY_LANDMARKS).names
_REST = tuple(_BODY_REST[name] for name in _BODY_NAMES)

# Limbs as (pivot, points swung about it, phase): arms and legs swing in
# opposition, like walking.
_LIMBS: tuple[tuple[int, tuple[int, ...], float], ...] = tuple(
    (_BODY_NAMES.index(pivot), tuple(_BODY_NAMES.index(name) for name in moved), phase)
    for pivot, moved, phase in (
        ("right_shoulder", ("right_elbow", "right_wrist"), 0.0),
        ("left_shoulder", ("left_elbow", "left_wrist"), math.pi),
        ("right_hip", ("right_knee", "right_ankle"), math.pi),
        ("left_hip", ("left_knee", "left_ankle"), 0.0),
    )
)
_BODY_SEGMENTS = KindLayout.count(FrameKind.BODY_QUATERNIONS)
_HAND_SEGMENTS = KindLayout.count(FrameKind.HAND_QUATERNIONS)
# The body landmark each hand of the default's sides hangs from.
_WRISTS = (_BODY_NAMES.index("left_wrist"), _BODY_NAMES.index("right_wrist"))

# Fingers of a left hand in its rest plane (x across the palm, y along the
# fingers), in the default's order of hand landmarks: base knuckle offset from
# the wrist and three segment lengths.
_FINGERS: tuple[tuple[Vec3, tuple[float, float, float]], ...] = (
    ((0.030, 0.025, 0.0), (0.040, 0.032, 0.028)),  # thumb
    ((0.022, 0.090, 0.0), (0.040, 0.025, 0.020)),  # index
    ((0.000, 0.095, 0.0), (0.045, 0.028, 0.022)),  # middle
    ((-0.020, 0.090, 0.0), (0.042, 0.026, 0.021)),  # ring
    ((-0.038, 0.080, 0.0), (0.032, 0.020, 0.018)),  # pinky
)


def _quaternion(axis: Vec3, angle: float) -> tuple[float, float, float, float]:
    """Returns the unit quaternion (w, x, y, z) of a rotation by ``angle`` about ``axis``."""
    norm = math.sqrt(sum(c * c for c in axis))
    half = 0.5 * angle
    scale = math.sin(half) / norm
    return (math.cos(half), axis[0] * scale, axis[1] * scale, axis[2] * scale)


def _axis(index: int) -> Vec3:
    """Returns a fixed, well spread rotation axis for joint ``index``."""
    return (math.sin(index * 1.7 + 0.3), math.cos(index * 0.9), math.sin(index * 2.3 + 1.1) + 0.5)


def _swing(point: Vec3, pivot: Vec3, angle: float) -> Vec3:
    """Rotates ``point`` about the x axis through ``pivot`` (a swing forward and back)."""
    dy, dz = point[1] - pivot[1], point[2] - pivot[2]
    cos, sin = math.cos(angle), math.sin(angle)
    return (point[0], pivot[1] + dy * cos - dz * sin, pivot[2] + dy * sin + dz * cos)


# Factors from the default's unit of a kind to the units the simulator can also produce.
_UNITS: dict[str, dict[str, float]] = {
    "m": {"m": 1.0, "cm": 100.0, "mm": 1000.0},
    "deg": {"deg": 1.0, "rad": math.pi / 180.0},
    "": {"": 1.0},
}


class _Arrangement:
    """Lays out the values of one kind, computed in the default's layout, as ``layout``."""

    def __init__(self, layout: KindLayout) -> None:
        default = DEFAULT.layout(layout.kind)
        what = layout.kind.name.lower()
        self.order = [_position(default.names, name, what) for name in layout.names]
        self.width = len(default.components) or 1
        components = layout.components or " "
        self.components = [_position(default.components or " ", c, what) for c in components]
        factor = _UNITS[default.unit].get(layout.unit)
        if factor is None:
            raise SkeletonError(f"{what}: the simulator cannot produce unit {layout.unit!r}")
        self.factors = [1.0 if c in default.unitless else factor for c in components]
        self.identity = (
            self.order == sorted(self.order)
            and self.components == sorted(self.components)
            and set(self.factors) == {1.0}
        )

    def __call__(self, values: list[float]) -> list[float]:
        if self.identity:
            return values
        width = self.width
        return [
            values[group * width + component] * factor
            for group in self.order
            for component, factor in zip(self.components, self.factors)
        ]


def _position(names: Sequence[str], name: str, what: str) -> int:
    if name not in names:
        raise SkeletonError(f"{what}: the simulator has no {name!r}")
    return names.index(name)


class Motion:
    """Computes the nine frames of one tick (six types, both hands) at a time ``t``.

    Args:
        skeleton: the layout of the frames: the order of names, components
            and sides, and the units of lengths and angles.

    Raises:
        SkeletonError: the skeleton holds a name, side or unit that the
            simulator does not know.
    """

    def __init__(self, skeleton: Skeleton = DEFAULT) -> None:
        self._arrangements = {kind: _Arrangement(skeleton.layout(kind)) for kind in FrameKind}
        # The default's side that each side of the skeleton carries.
        self._sides = [_position(DEFAULT.sides, side, "sides") for side in skeleton.sides]

    def frames(self, t: float) -> list[bytes]:
        """Returns the frames at ``t`` seconds, in type order, hand frames side 0 then 1."""
        body = self.body_landmarks(t)
        # By kind, the values of the body or of each of the default's sides.
        values = {
            FrameKind.BODY_QUATERNIONS: [self.quaternions(t, _BODY_SEGMENTS, 0.0)],
            FrameKind.BODY_LANDMARKS: [body],
            FrameKind.HAND_QUATERNIONS: [
                self.quaternions(t, _HAND_SEGMENTS, 1.0 + side) for side in (0, 1)
            ],
            FrameKind.HAND_LANDMARKS: [self.hand_landmarks(t, side, body) for side in (0, 1)],
            FrameKind.BODY_ISB_ANGLES: [self.angles(t, 0.0, 40.0)],
            FrameKind.HAND_ISB_ANGLES: [self.hand_angles(t, side) for side in (0, 1)],
        }
        frames: list[bytes] = []
        for kind, per_side in values.items():
            arrange = self._arrangements[kind]
            if kind.is_hand:
                frames += (
                    wire.encode(kind, side, arrange(per_side[carried]))
                    for side, carried in enumerate(self._sides)
                )
            else:
                frames.append(wire.encode(kind, None, arrange(per_side[0])))
        return frames

    @staticmethod
    def quaternions(t: float, count: int, seed: float) -> list[float]:
        """Returns ``count`` unit quaternions, each turning to and fro about its own axis.

        The first (the root) also turns slowly all the way round.
        """
        values: list[float] = []
        for joint in range(count):
            angle = 0.6 * math.sin(TAU * (0.2 + 0.05 * joint) * t + joint + seed)
            if joint == 0:
                angle += 0.3 * t
            values.extend(_quaternion(_axis(joint + int(seed * 31)), angle))
        return values

    @staticmethod
    def body_landmarks(t: float) -> list[float]:
        """Returns the 19 body landmarks of the figure at ``t``."""
        points = list(_REST)
        swing = 0.5 * math.sin(TAU * 0.8 * t)
        for pivot, moved, phase in _LIMBS:
            angle = swing if phase == 0.0 else -swing
            for index in moved:
                points[index] = _swing(points[index], _REST[pivot], angle)
        sway = 0.3 * math.sin(TAU * 0.1 * t)
        bob = 0.02 * math.sin(TAU * 1.6 * t)
        values: list[float] = []
        for index, (x, y, z) in enumerate(points):
            visibility = 0.9 + 0.1 * math.sin(TAU * 0.3 * t + index)
            values.extend((x + sway, y + bob, z, visibility))
        return values

    @staticmethod
    def curl(t: float, side: int) -> float:
        """Returns how far the hand of ``side`` is closed at ``t``: 0 open, 1 a fist."""
        return 0.5 - 0.5 * math.cos(TAU * 0.4 * t + side * math.pi / 2)

    def hand_landmarks(self, t: float, side: int, body: Sequence[float]) -> list[float]:
        """Returns the 21 landmarks of one hand, placed at the wrist of the body."""
        wrist = body[4 * _WRISTS[side] : 4 * _WRISTS[side] + 3]
        mirror = 1.0 if side == 0 else -1.0
        curl = self.curl(t, side)
        local: list[Vec3] = [(0.0, 0.0, 0.0)]
        for base, lengths in _FINGERS:
            x, y, z = base
            local.append((x, y, z))
            bend = 0.0
            for length in lengths:
                bend += curl * 0.5 * math.pi
                y += length * math.cos(bend)
                z += length * math.sin(bend)
                local.append((x, y, z))
        values: list[float] = []
        for index, (x, y, z) in enumerate(local):
            visibility = 0.85 + 0.15 * math.sin(TAU * 0.5 * t + index * 0.3)
            # Hands hang from the wrists, fingers pointing down.
            values.extend((wrist[0] + mirror * x, wrist[1] - y, wrist[2] + z, visibility))
        return values

    @staticmethod
    def angles(t: float, seed: float, amplitude: float) -> list[float]:
        """Returns 21 joint angles in degrees, each oscillating at its own pace."""
        return [
            amplitude
            * (0.3 + 0.7 * (index % 5) / 4)
            * math.sin(TAU * (0.15 + 0.03 * index) * t + index + seed)
            for index in range(21)
        ]

    def hand_angles(self, t: float, side: int) -> list[float]:
        """Returns 21 hand angles in degrees: finger flexion following the curl, and wrist."""
        curl = self.curl(t, side)
        flexion = [curl * (60.0 + 10.0 * (index % 3)) for index in range(15)]
        return flexion + self.angles(t, 5.0 + side, 20.0)[:6]
