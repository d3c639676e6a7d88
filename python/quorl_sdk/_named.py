"""The streams of a resampled recording side by side, named by a skeleton.

C3D and OpenSim files hold one row per time with every point or channel of
every stream in it; the body's come first, then those of hand side 0 and 1.
"""

from __future__ import annotations

from collections.abc import Sequence
from typing import TYPE_CHECKING

from quorl_sdk._extras import require
from quorl_sdk.export import StreamKey
from quorl_sdk.frames import FrameKind
from quorl_sdk.resample import OnClock
from quorl_sdk.skeleton import Skeleton

if TYPE_CHECKING:
    import numpy
    import numpy.typing

    Array = numpy.typing.NDArray[numpy.float64]

LANDMARKS = (FrameKind.BODY_LANDMARKS, FrameKind.HAND_LANDMARKS)
ANGLES = (FrameKind.BODY_ISB_ANGLES, FrameKind.HAND_ISB_ANGLES)
QUATERNIONS = (FrameKind.BODY_QUATERNIONS, FrameKind.HAND_QUATERNIONS)


def names(skeleton: Skeleton, key: StreamKey) -> tuple[str, ...]:
    """Returns the names of the groups (or angles) of stream ``key``, with its side's name."""
    kind, side = key
    if not kind.is_grouped:
        return skeleton.columns(kind, side)
    prefix = skeleton.side_name(side)
    own = skeleton.layout(kind).names
    return own if prefix is None else tuple(f"{prefix}_{name}" for name in own)


def stack(
    data: OnClock, skeleton: Skeleton, kinds: Sequence[FrameKind]
) -> tuple[tuple[str, ...], Array]:
    """Returns the names and values of the streams of ``kinds`` in ``data``, side by side:
    values of shape ``(times, groups, 4)``, or ``(times, angles)``."""
    np = require("numpy", "numpy", "naming the points of an export")
    keys = sorted(
        (key for key in data.tables if key[0] in kinds),
        key=lambda key: (kinds.index(key[0]), -1 if key[1] is None else key[1]),
    )
    labels = tuple(name for key in keys for name in names(skeleton, key))
    values = [data.tables[key].values for key in keys]
    if not values:
        shape = (len(data.times), 0, 4) if kinds[0].is_grouped else (len(data.times), 0)
        return labels, np.zeros(shape)
    return labels, np.concatenate(values, axis=1)


def unit(skeleton: Skeleton, kinds: Sequence[FrameKind]) -> str:
    """Returns the one unit of ``kinds`` in ``skeleton``.

    Raises:
        quorl_sdk.skeleton.SkeletonError: the kinds have different units,
            which one file of one unit cannot hold.
    """
    from quorl_sdk.skeleton import SkeletonError

    units = {skeleton.layout(kind).unit for kind in kinds}
    if len(units) != 1:
        found = ", ".join(
            f"{kind.name.lower()} in {skeleton.layout(kind).unit!r}" for kind in kinds
        )
        raise SkeletonError(f"skeleton {skeleton.name}: one file needs one unit, not {found}")
    return units.pop()


def components(skeleton: Skeleton, kinds: Sequence[FrameKind], letters: str) -> list[int]:
    """Returns where each of ``letters`` is in a group of ``kinds`` in ``skeleton``.

    Raises:
        quorl_sdk.skeleton.SkeletonError: the kinds lay their groups out
            differently, or lack one of the letters.
    """
    from quorl_sdk.skeleton import SkeletonError

    layouts = {skeleton.layout(kind).components for kind in kinds}
    found = layouts.pop()
    if layouts or not set(letters) <= set(found):
        raise SkeletonError(
            f"skeleton {skeleton.name}: the groups of {', '.join(k.name.lower() for k in kinds)} "
            f"must all have the components {letters!r}"
        )
    return [found.index(letter) for letter in letters]
