"""What the values of each kind of frame mean: names, links, units, axes and sides.

The protocol fixes only how many values a frame holds. Which joint a group
is, the unit of a landmark or an angle, the axes and which hand each side
value is are the server's choice. A :class:`Skeleton` writes those choices
down once; the viewer, ``snapshot``, the simulator, the exports and the LSL
bridge all read them from it.

:data:`DEFAULT` is the layout of the simulator that ships with quorl-sdk,
and an assumption about any other server. :func:`load` reads a skeleton from
a TOML file: a table per kind (``[body_landmarks]``, ``[hand_isb_angles]``,
…) with the keys of :class:`KindLayout`, and ``name``, ``description``,
``axes`` and ``sides`` at the top. What a file leaves out is taken from
:data:`DEFAULT`, so a file states only where a server differs::

    sides = ["right_hand", "left_hand"]

    [body_landmarks]
    unit = "mm"

Errors::

    ValueError
    └── SkeletonError    a skeleton, or a skeleton file, does not fit the frames
"""

from __future__ import annotations

import os
import re
import sys
from collections.abc import Iterable, Mapping
from dataclasses import dataclass, field, fields, replace
from types import MappingProxyType
from typing import Any

from quorl_sdk.frames import FrameKind

__all__ = ["DEFAULT", "KindLayout", "Skeleton", "SkeletonError", "load"]

Link = tuple[int, int]


class SkeletonError(ValueError):
    """A skeleton does not fit the frames; from a file, the message names the file."""


_SNAKE_CASE = re.compile(r"[a-z][a-z0-9]*(_[a-z0-9]+)*")


def _check(condition: bool, message: str) -> None:
    if not condition:
        raise SkeletonError(message)


def _check_names(names: Iterable[str], what: str) -> None:
    seen: set[str] = set()
    for name in names:
        _check(
            isinstance(name, str) and _SNAKE_CASE.fullmatch(name) is not None,
            f"{what}: {name!r} is not a snake_case name",
        )
        _check(name not in seen, f"{what}: {name!r} appears twice")
        seen.add(name)


@dataclass(frozen=True)
class KindLayout:
    """The meaning of the values of one kind of frame.

    Attributes:
        kind: the kind of frame described.
        names: one per group (quaternion and landmark kinds) or per value
            (angle kinds), in wire order; snake_case.
        components: the letters of a group's four components in wire order
            (``"wxyz"``, ``"xyzv"``); ``""`` for angles.
        unit: the unit of the values, e.g. ``"m"`` for landmark positions,
            ``"deg"`` for angles, ``""`` for quaternions.
        links: pairs of indices into :attr:`names` joined when drawn; ``()``
            where none.
        unitless: the components that :attr:`unit` does not apply to, such
            as a landmark's visibility ``"v"``.
        types: the type of each component's channel (LSL's ``type`` of a
            channel, e.g. ``"PositionX"``); angle kinds: one for every angle.
    """

    kind: FrameKind
    names: tuple[str, ...]
    components: str
    unit: str
    links: tuple[Link, ...] = ()
    unitless: str = ""
    types: tuple[str, ...] = ()

    def __post_init__(self) -> None:
        kind = self.kind
        what = kind.name.lower()
        if kind.is_grouped:
            _check(
                len(self.components) == 4 and len(set(self.components)) == 4,
                f"{what}: components {self.components!r} must be four different letters",
            )
        else:
            _check(self.components == "", f"{what}: angles have no components")
        _check_names(self.components, f"{what} components")
        expected = self.count(kind)
        _check(
            len(self.names) == expected,
            f"{what}: {len(self.names)} names given, the frames hold {expected}",
        )
        _check_names(self.names, what)
        for a, b in self.links:
            _check(
                0 <= a < expected and 0 <= b < expected and a != b,
                f"{what}: link ({a}, {b}) does not join two of the {expected} names",
            )
        _check(
            set(self.unitless) <= set(self.components),
            f"{what}: unitless {self.unitless!r} names components not in {self.components!r}",
        )
        wanted = max(len(self.components), 1)
        _check(
            len(self.types) in (0, wanted),
            f"{what}: {len(self.types)} types given, one per component needs {wanted}",
        )

    @staticmethod
    def count(kind: FrameKind) -> int:
        """Returns how many names a layout of ``kind`` has: its groups, or its angles."""
        width = len(kind.components)
        return kind.value_count // width if width else kind.value_count

    def columns(self) -> tuple[str, ...]:
        """Returns the names of the values in wire order: ``nose_x``, ``trunk_flexion``."""
        if not self.components:
            return self.names
        return tuple(f"{name}_{c}" for name in self.names for c in self.components)

    def column_units(self) -> tuple[str, ...]:
        """Returns the unit of each value in wire order, ``""`` where it has none."""
        if not self.components:
            return (self.unit,) * len(self.names)
        per_group = tuple("" if c in self.unitless else self.unit for c in self.components)
        return per_group * len(self.names)

    def column_types(self) -> tuple[str, ...]:
        """Returns the channel type of each value in wire order (``""`` when none is set)."""
        return (self.types or ("",) * max(len(self.components), 1)) * len(self.names)


@dataclass(frozen=True)
class Skeleton:
    """Names, links, units and axes of every kind of frame, and the names of the sides.

    Attributes:
        name: what the skeleton is called.
        description: where it comes from and what it assumes.
        axes: the axis convention in words: where x, y and z point, handedness.
        sides: the names of side 0 and side 1 of hand frames.
        layouts: one :class:`KindLayout` per :class:`FrameKind`.

    Raises:
        SkeletonError: a kind is missing, a name is not snake_case, or two
            values of the skeleton would get the same column name.
    """

    name: str
    description: str
    axes: str
    sides: tuple[str, str]
    layouts: Mapping[FrameKind, KindLayout] = field(hash=False)

    def __post_init__(self) -> None:
        _check(len(self.sides) == 2, f"sides: {len(self.sides)} names given, hands have 2")
        _check_names(self.sides, "sides")
        layouts = dict(self.layouts)
        for kind in FrameKind:
            _check(kind in layouts, f"{kind.name.lower()}: no layout")
            _check(layouts[kind].kind is kind, f"{kind.name.lower()}: layout of another kind")
        object.__setattr__(self, "layouts", MappingProxyType(layouts))
        seen: dict[str, str] = {}
        for kind in FrameKind:
            for side in (0, 1) if kind.is_hand else (None,):
                where = kind.name.lower() if side is None else f"{kind.name.lower()} {side}"
                for column in self.columns(kind, side):
                    _check(
                        column not in seen,
                        f"{where}: column {column!r} is also one of {seen.get(column)}",
                    )
                    seen[column] = where

    def layout(self, kind: FrameKind) -> KindLayout:
        """Returns the layout of ``kind``."""
        return self.layouts[kind]

    def columns(self, kind: FrameKind, side: int | None = None) -> tuple[str, ...]:
        """Returns the names of the values of ``kind`` in wire order; with a ``side``,
        each begins with the side's name (``left_hand_wrist_x``).

        Raises:
            ValueError: ``side`` is neither None, 0 nor 1.
        """
        columns = self.layouts[kind].columns()
        prefix = self.side_name(side)
        return columns if prefix is None else tuple(f"{prefix}_{c}" for c in columns)

    def side_name(self, side: int | None) -> str | None:
        """Returns the name of hand side ``side`` (0 or 1); None for None (body frames).

        Raises:
            ValueError: ``side`` is neither None, 0 nor 1.
        """
        if side is None:
            return None
        if side not in (0, 1):
            raise ValueError(f"side {side!r} is neither 0 nor 1")
        return self.sides[side]


def _fingers(*joints: str) -> tuple[str, ...]:
    """Returns the names of ``joints`` of the thumb then of each finger; the thumb's
    own joints come first in ``joints``, the fingers' after a ``|``."""
    bar = joints.index("|")
    thumb, finger = joints[:bar], joints[bar + 1 :]
    names = [f"thumb_{joint}" for joint in thumb]
    digits = ("index", "middle", "ring", "pinky")
    names += [f"{digit}_{joint}" for digit in digits for joint in finger]
    return tuple(names)


def _pairs(names: tuple[str, ...], pairs: Iterable[tuple[str, str]]) -> tuple[Link, ...]:
    return tuple((names.index(a), names.index(b)) for a, b in pairs)


_BODY_LANDMARKS = (
    "nose", "neck",
    "right_shoulder", "right_elbow", "right_wrist",
    "left_shoulder", "left_elbow", "left_wrist",
    "mid_hip",
    "right_hip", "right_knee", "right_ankle",
    "left_hip", "left_knee", "left_ankle",
    "right_eye", "left_eye", "right_ear", "left_ear",
)  # fmt: skip
_BODY_LINKS = _pairs(_BODY_LANDMARKS, (
    ("nose", "neck"),
    ("neck", "right_shoulder"), ("right_shoulder", "right_elbow"), ("right_elbow", "right_wrist"),
    ("neck", "left_shoulder"), ("left_shoulder", "left_elbow"), ("left_elbow", "left_wrist"),
    ("neck", "mid_hip"),
    ("mid_hip", "right_hip"), ("right_hip", "right_knee"), ("right_knee", "right_ankle"),
    ("mid_hip", "left_hip"), ("left_hip", "left_knee"), ("left_knee", "left_ankle"),
    ("nose", "right_eye"), ("right_eye", "right_ear"),
    ("nose", "left_eye"), ("left_eye", "left_ear"),
))  # fmt: skip
_HAND_LANDMARKS = ("wrist", *_fingers("cmc", "mcp", "ip", "tip", "|", "mcp", "pip", "dip", "tip"))
# Each digit's three segments, the wrist to the thumb and to the index finger, and across
# the palm: the knuckles of neighbouring fingers and the wrist to the little finger.
_HAND_LINKS = tuple(
    (joint, joint + 1) for base in range(1, 21, 4) for joint in range(base, base + 3)
) + ((0, 1), (0, 5), (5, 9), (9, 13), (13, 17), (0, 17))
_BODY_SEGMENTS = (
    "pelvis", "torso", "head",
    "right_upper_arm", "right_forearm", "left_upper_arm", "left_forearm",
    "right_thigh", "right_shank", "right_foot", "left_thigh", "left_shank", "left_foot",
)  # fmt: skip
_HAND_SEGMENTS = (
    "palm",
    *_fingers("metacarpal", "proximal", "distal", "|", "proximal", "intermediate", "distal"),
)
_BODY_ANGLES = (
    "trunk_flexion", "trunk_lateral_bending", "trunk_axial_rotation",
    *(
        f"{side}_{angle}"
        for side in ("right", "left")
        for angle in (
            "shoulder_flexion", "shoulder_abduction", "shoulder_rotation",
            "elbow_flexion", "forearm_pronation",
        )
    ),
    *(
        f"{side}_{angle}"
        for side in ("right", "left")
        for angle in ("hip_flexion", "hip_adduction", "hip_rotation", "knee_flexion")
    ),
)  # fmt: skip
_HAND_ANGLES = (
    *(f"{joint}_flexion" for joint in _fingers("cmc", "mcp", "ip", "|", "mcp", "pip", "dip")),
    "wrist_flexion", "wrist_deviation",
    "thumb_cmc_abduction", "index_mcp_abduction", "ring_mcp_abduction", "pinky_mcp_abduction",
)  # fmt: skip

_QUATERNION_TYPES = tuple(f"Orientation{c}" for c in "WXYZ")
_POSITION_TYPES = ("PositionX", "PositionY", "PositionZ", "Visibility")


def _quaternions(kind: FrameKind, names: tuple[str, ...]) -> KindLayout:
    return KindLayout(kind, names, kind.components, "", types=_QUATERNION_TYPES)


def _landmarks(kind: FrameKind, names: tuple[str, ...], links: tuple[Link, ...]) -> KindLayout:
    return KindLayout(
        kind, names, kind.components, "m", links, unitless="v", types=_POSITION_TYPES
    )


def _angles(kind: FrameKind, names: tuple[str, ...]) -> KindLayout:
    return KindLayout(kind, names, "", "deg", types=("Angle",))


#: The layout of the simulator that ships with quorl-sdk; an assumption about any other server.
DEFAULT = Skeleton(
    name="default",
    description=(
        "The layout of the frames of the simulator that ships with quorl-sdk. The protocol "
        "fixes none of it: for any other server this is an assumption, to check against the "
        "server's documentation and replace with a skeleton file where it differs. "
        "Quaternions are (w, x, y, z), of unit length, each a segment's orientation in the "
        "axes of the skeleton. Landmarks are (x, y, z, visibility): a position in metres and a "
        "visibility from 0 (hidden) to 1 (seen). Angles are in degrees, named after the "
        "joint and the motion; their sign conventions are the server's."
    ),
    axes=(
        "Right-handed, in metres, the same for the body and the hands: y points up, z "
        "forward (the way the figure faces), x to the figure's left (to the right of a "
        "viewer facing it)."
    ),
    sides=("left_hand", "right_hand"),
    layouts={
        layout.kind: layout
        for layout in (
            _quaternions(FrameKind.BODY_QUATERNIONS, _BODY_SEGMENTS),
            _landmarks(FrameKind.BODY_LANDMARKS, _BODY_LANDMARKS, _BODY_LINKS),
            _quaternions(FrameKind.HAND_QUATERNIONS, _HAND_SEGMENTS),
            _landmarks(FrameKind.HAND_LANDMARKS, _HAND_LANDMARKS, _HAND_LINKS),
            _angles(FrameKind.BODY_ISB_ANGLES, _BODY_ANGLES),
            _angles(FrameKind.HAND_ISB_ANGLES, _HAND_ANGLES),
        )
    },
)

# The keys of a skeleton file: at the top, and in the table of each kind.
_TOP_KEYS = ("name", "description", "axes", "sides")
_KIND_KEYS = tuple(f.name for f in fields(KindLayout) if f.name != "kind")


def load(path: str | os.PathLike[str]) -> Skeleton:
    """Reads a skeleton from the TOML file at ``path``; what it leaves out comes from
    :data:`DEFAULT`, and its ``name`` defaults to the file's stem.

    Links are pairs of names, ``[["nose", "neck"], ...]``; ``sides`` two names.

    Raises:
        SkeletonError: the file is not TOML, has a key that a skeleton has not,
            a value of the wrong type, or does not fit the frames (the wrong
            number of names, say); the message names the file and the fault.
        OSError: the file cannot be read.
    """
    if sys.version_info >= (3, 11):
        import tomllib
    else:
        import tomli as tomllib

    with open(path, "rb") as file:
        data = file.read()
    where = os.fspath(path)
    try:
        document = tomllib.loads(data.decode("utf-8"))
        stem = os.path.splitext(os.path.basename(where))[0]
        return _from_document(document, stem)
    except UnicodeDecodeError as error:
        raise SkeletonError(f"skeleton {where}: not UTF-8 text ({error.reason})") from None
    except tomllib.TOMLDecodeError as error:
        raise SkeletonError(f"skeleton {where}: not TOML: {error}") from None
    except SkeletonError as error:
        raise SkeletonError(f"skeleton {where}: {error}") from None


def _from_document(document: dict[str, Any], stem: str) -> Skeleton:
    tables = {kind.name.lower(): kind for kind in FrameKind}
    _check_keys(document, (*_TOP_KEYS, *tables), "")
    top: dict[str, Any] = {"name": stem}
    for key in ("name", "description", "axes"):
        if key in document:
            top[key] = _typed(document[key], str, key)
    if "sides" in document:
        sides = _typed(document["sides"], list, "sides")
        top["sides"] = tuple(_typed(side, str, "sides") for side in sides)
    layouts = dict(DEFAULT.layouts)
    for table, kind in tables.items():
        if table in document:
            layouts[kind] = _layout(layouts[kind], _typed(document[table], dict, table), table)
    return replace(DEFAULT, layouts=layouts, **top)


def _layout(base: KindLayout, table: dict[str, Any], where: str) -> KindLayout:
    _check_keys(table, _KIND_KEYS, f"{where}: ")
    changes: dict[str, Any] = {}
    for key in ("components", "unit", "unitless"):
        if key in table:
            changes[key] = _typed(table[key], str, f"{where}.{key}")
    for key in ("names", "types"):
        if key in table:
            items = _typed(table[key], list, f"{where}.{key}")
            changes[key] = tuple(_typed(item, str, f"{where}.{key}") for item in items)
    names = changes.get("names", base.names)
    if "links" in table:
        changes["links"] = tuple(
            _link(link, names, f"{where}.links") for link in _typed(table["links"], list, where)
        )
    return replace(base, **changes)


def _link(link: Any, names: tuple[str, ...], where: str) -> Link:
    pair = _typed(link, list, where)
    _check(len(pair) == 2, f"{where}: {pair!r} is not a pair of names")
    a, b = (_typed(name, str, where) for name in pair)
    for name in (a, b):
        _check(name in names, f"{where}: {name!r} is none of the names")
    return names.index(a), names.index(b)


def _check_keys(table: Mapping[str, Any], known: tuple[str, ...], where: str) -> None:
    for key in table:
        _check(key in known, f"{where}unknown key {key!r} (known: {', '.join(known)})")


_TYPE_NAMES: dict[type, str] = {str: "a string", list: "an array", dict: "a table"}


def _typed(value: Any, expected: type, where: str) -> Any:
    _check(isinstance(value, expected), f"{where}: {value!r} is not {_TYPE_NAMES[expected]}")
    return value
