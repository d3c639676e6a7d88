"""The skeleton: the default agrees with the simulator's figure, files override it or are
refused with the file and the fault named, and the simulator lays its frames out by it."""

from __future__ import annotations

import dataclasses
from pathlib import Path

import pytest

from quorl_sdk._motion import Motion
from quorl_sdk.cli import main
from quorl_sdk.frames import FrameKind, decode_frame
from quorl_sdk.skeleton import DEFAULT, KindLayout, Skeleton, SkeletonError, load


def point(values: list[float], layout: KindLayout, name: str) -> list[float]:
    """The x, y, z of landmark ``name`` in ``values``."""
    index = 4 * layout.names.index(name)
    return values[index : index + 3]


def default_frames(t: float) -> dict[tuple[FrameKind, int | None], list[float]]:
    return {(f.kind, f.side): f.values for f in map(decode_frame, Motion().frames(t))}


@pytest.mark.parametrize("side", [0, 1])
def test_default_names_fit_the_simulated_figure(side: int) -> None:
    """Each hand hangs from the body's wrist of its side, on that side (x to the figure's
    left), and the head is above the hips above the ankles."""
    body_layout = DEFAULT.layout(FrameKind.BODY_LANDMARKS)
    frames = default_frames(0.7)
    body = frames[FrameKind.BODY_LANDMARKS, None]
    hand = frames[FrameKind.HAND_LANDMARKS, side]
    sided = str(DEFAULT.side_name(side)).removesuffix("_hand")
    wrist = point(body, body_layout, f"{sided}_wrist")
    assert point(hand, DEFAULT.layout(FrameKind.HAND_LANDMARKS), "wrist") == wrist
    other = "right" if sided == "left" else "left"
    outward = point(body, body_layout, f"{sided}_shoulder")[0] - point(
        body, body_layout, f"{other}_shoulder"
    )[0]
    assert outward > 0 if sided == "left" else outward < 0
    heights = [point(body, body_layout, name)[1] for name in ("nose", "mid_hip", f"{sided}_ankle")]
    assert heights == sorted(heights, reverse=True)


def test_default_columns_are_unique_and_carry_units() -> None:
    """Every value of every stream has its own column name; positions are in metres,
    visibilities and quaternions have no unit, angles are in degrees."""
    columns = [
        column
        for kind in FrameKind
        for side in ((0, 1) if kind.is_hand else (None,))
        for column in DEFAULT.columns(kind, side)
    ]
    assert len(columns) == len(set(columns)) == sum(
        kind.value_count * (2 if kind.is_hand else 1) for kind in FrameKind
    )
    assert DEFAULT.columns(FrameKind.HAND_LANDMARKS, 1)[:4] == tuple(
        f"right_hand_wrist_{c}" for c in "xyzv"
    )
    units = {kind: set(DEFAULT.layout(kind).column_units()) for kind in FrameKind}
    assert units[FrameKind.BODY_LANDMARKS] == {"m", ""}
    assert units[FrameKind.HAND_QUATERNIONS] == {""}
    assert units[FrameKind.BODY_ISB_ANGLES] == {"deg"}


def test_a_file_changes_only_what_it_names(tmp_path: Path) -> None:
    """Keys left out come from the default; links are given by name; the name defaults to
    the file's stem."""
    path = tmp_path / "lab.toml"
    path.write_text(
        'sides = ["right_hand", "left_hand"]\n'
        "[body_landmarks]\n"
        'unit = "mm"\n'
        'links = [["nose", "neck"], ["left_hip", "left_knee"]]\n'
    )
    skeleton = load(path)
    body = skeleton.layout(FrameKind.BODY_LANDMARKS)
    assert (skeleton.name, skeleton.sides, body.unit) == ("lab", ("right_hand", "left_hand"), "mm")
    assert body.links == ((0, 1), (12, 13))
    assert body.names == DEFAULT.layout(FrameKind.BODY_LANDMARKS).names
    assert skeleton.layout(FrameKind.HAND_LANDMARKS) == DEFAULT.layout(FrameKind.HAND_LANDMARKS)


@pytest.mark.parametrize(
    ("text", "fault"),
    [
        ('[hand_landmarks]\nnames = ["a", "b"]\n', "2 names given, the frames hold 21"),
        ("colour = 1\n", "unknown key 'colour'"),
        ("[body_landmarks]\nshape = 3\n", "body_landmarks: unknown key 'shape'"),
        ('[body_landmarks]\nlinks = [["nose", "tail"]]\n', "'tail' is none of the names"),
        ('sides = ["Left", "right"]\n', "'Left' is not a snake_case name"),
        ('sides = ["left_hand"]\n', "1 names given, hands have 2"),
        ("[body_landmarks]\nunit = 3\n", "body_landmarks.unit: 3 is not a string"),
        ('[body_landmarks]\ncomponents = "xyz"\n', "must be four different letters"),
        ('[body_landmarks]\nnames = [' + ", ".join(
            f'"{n}"' for n in ("left_wrist", *DEFAULT.layout(FrameKind.BODY_LANDMARKS).names[1:])
        ) + "]\n", "'left_wrist' appears twice"),
        ("name = \n", "not TOML"),
    ],
)
def test_a_file_that_does_not_fit_is_refused(tmp_path: Path, text: str, fault: str) -> None:
    """The error names the file and the fault."""
    path = tmp_path / "bad.toml"
    path.write_text(text)
    with pytest.raises(SkeletonError) as raised:
        load(path)
    assert str(raised.value).startswith(f"skeleton {path}: ") and fault in str(raised.value)


def test_two_values_with_one_column_name_are_refused() -> None:
    """Side names that make a hand's column a body's column would mix up two values."""
    with pytest.raises(SkeletonError, match="column 'left_wrist_x' is also one of body_landmarks"):
        dataclasses.replace(DEFAULT, sides=("left", "right"))


@pytest.mark.parametrize("command", ["view", "snapshot", "simulate", "lsl", "export"])
def test_commands_refuse_a_bad_skeleton_as_usage(
    tmp_path: Path, capsys: pytest.CaptureFixture[str], command: str
) -> None:
    """One line of error, before anything connects or serves: exit status 2 for a file that
    does not fit, 1 for one that cannot be read, as for any file a command reads."""
    bad = tmp_path / "bad.toml"
    bad.write_text('[hand_isb_angles]\nnames = ["wrist"]\n')
    operands = {"snapshot": ["out.png"], "export": ["in.qrec", "out.c3d"]}.get(command, [])
    args = [command, *operands, "--skeleton", str(bad)]
    assert main(args) == 2
    assert main([*args[:-1], str(tmp_path / "missing.toml")]) == 1
    lines = capsys.readouterr().err.splitlines()
    assert lines == [
        f"quorl-sdk {command}: error: skeleton {bad}: hand_isb_angles: 1 names given, "
        "the frames hold 21",
        f"quorl-sdk {command}: error: cannot read {tmp_path / 'missing.toml'}: "
        "No such file or directory",
    ]


def test_the_simulator_lays_out_its_frames_by_the_skeleton() -> None:
    """Names, components and sides in another order, and millimetres: the same motion."""
    body = DEFAULT.layout(FrameKind.BODY_LANDMARKS)
    quaternions = DEFAULT.layout(FrameKind.BODY_QUATERNIONS)
    skeleton = Skeleton(
        name="moved",
        description="",
        axes="",
        sides=("right_hand", "left_hand"),
        layouts={
            **DEFAULT.layouts,
            FrameKind.BODY_LANDMARKS: dataclasses.replace(
                body, names=body.names[::-1], unit="mm", links=()
            ),
            FrameKind.BODY_QUATERNIONS: dataclasses.replace(quaternions, components="xyzw"),
        },
    )
    expected = default_frames(1.3)
    frames = {(f.kind, f.side): f.values for f in map(decode_frame, Motion(skeleton).frames(1.3))}
    assert frames[FrameKind.HAND_LANDMARKS, 0] == expected[FrameKind.HAND_LANDMARKS, 1]
    moved = frames[FrameKind.BODY_LANDMARKS, None]
    nose = expected[FrameKind.BODY_LANDMARKS, None][:4]
    assert moved[-4:] == pytest.approx([*(value * 1000 for value in nose[:3]), nose[3]])
    w, x, y, z = expected[FrameKind.BODY_QUATERNIONS, None][:4]
    assert frames[FrameKind.BODY_QUATERNIONS, None][:4] == [x, y, z, w]


@pytest.mark.parametrize(
    ("kind", "change", "fault"),
    [
        (FrameKind.BODY_LANDMARKS, {"unit": "furlong"}, "cannot produce unit 'furlong'"),
        (FrameKind.HAND_ISB_ANGLES, {"names": ("wiggle", *DEFAULT.layout(
            FrameKind.HAND_ISB_ANGLES).names[1:])}, "has no 'wiggle'"),
    ],
)
def test_the_simulator_refuses_what_it_cannot_produce(
    kind: FrameKind, change: dict[str, object], fault: str
) -> None:
    """A unit or a name that the simulator does not know is an error, not a guess."""
    layout = dataclasses.replace(DEFAULT.layout(kind), **change)
    skeleton = dataclasses.replace(DEFAULT, layouts={**DEFAULT.layouts, kind: layout})
    with pytest.raises(SkeletonError, match=fault):
        Motion(skeleton)
