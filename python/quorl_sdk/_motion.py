"""Synthetic motion for the simulator: a figure that sways, swings its arms,
steps in place and opens and closes both hands, as the six kinds of frame.

Conventions of this synthetic source (the protocol itself fixes none):
quaternions are (w, x, y, z) and of unit length; landmarks are (x, y, z,
visibility) in metres with y up and visibility between 0.8 and 1; angles are
in degrees; side 0 is the left hand and side 1 the right hand.
"""

from __future__ import annotations

import math
from collections.abc import Sequence

from quorl_sdk import wire

Vec3 = tuple[float, float, float]

TAU = 2.0 * math.pi

# The figure at rest, facing +z: 19 body landmarks.
_BODY_REST: tuple[Vec3, ...] = (
    (0.00, 1.60, 0.08),  # nose
    (0.00, 1.45, 0.00),  # neck
    (-0.18, 1.42, 0.00),  # right shoulder
    (-0.22, 1.15, 0.00),  # right elbow
    (-0.24, 0.90, 0.02),  # right wrist
    (0.18, 1.42, 0.00),  # left shoulder
    (0.22, 1.15, 0.00),  # left elbow
    (0.24, 0.90, 0.02),  # left wrist
    (0.00, 0.95, 0.00),  # mid hip
    (-0.10, 0.93, 0.00),  # right hip
    (-0.11, 0.50, 0.02),  # right knee
    (-0.11, 0.08, 0.00),  # right ankle
    (0.10, 0.93, 0.00),  # left hip
    (0.11, 0.50, 0.02),  # left knee
    (0.11, 0.08, 0.00),  # left ankle
    (-0.03, 1.65, 0.07),  # right eye
    (0.03, 1.65, 0.07),  # left eye
    (-0.07, 1.62, 0.00),  # right ear
    (0.07, 1.62, 0.00),  # left ear
)

# Limbs as (pivot, points swung about it, phase): arms and legs swing in
# opposition, like walking.
_LIMBS: tuple[tuple[int, tuple[int, ...], float], ...] = (
    (2, (3, 4), 0.0),
    (5, (6, 7), math.pi),
    (9, (10, 11), math.pi),
    (12, (13, 14), 0.0),
)

# Fingers of a left hand in its rest plane (x across the palm, y along the
# fingers): base knuckle offset from the wrist and three segment lengths.
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


class Motion:
    """Computes the nine frames of one tick (six types, both hands) at a time ``t``."""

    def frames(self, t: float) -> list[bytes]:
        """Returns the frames at ``t`` seconds, in type order, hand frames side 0 then 1."""
        body = self.body_landmarks(t)
        hands = [self.hand_landmarks(t, side, body) for side in (0, 1)]
        return [
            wire.encode(wire.MSG_BODY_QUATERNIONS, None, self.quaternions(t, 13, 0.0)),
            wire.encode(wire.MSG_BODY_LANDMARKS, None, body),
            *(
                wire.encode(wire.MSG_HAND_QUATERNIONS, side, self.quaternions(t, 16, 1.0 + side))
                for side in (0, 1)
            ),
            *(wire.encode(wire.MSG_HAND_LANDMARKS, side, hands[side]) for side in (0, 1)),
            wire.encode(wire.MSG_BODY_ISB_ANGLES, None, self.angles(t, 0.0, 40.0)),
            *(
                wire.encode(wire.MSG_HAND_ISB_ANGLES, side, self.hand_angles(t, side))
                for side in (0, 1)
            ),
        ]

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
        points = list(_BODY_REST)
        swing = 0.5 * math.sin(TAU * 0.8 * t)
        for pivot, moved, phase in _LIMBS:
            angle = swing if phase == 0.0 else -swing
            for index in moved:
                points[index] = _swing(points[index], _BODY_REST[pivot], angle)
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
        wrist_index = 7 if side == 0 else 4
        wrist = body[4 * wrist_index : 4 * wrist_index + 3]
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
