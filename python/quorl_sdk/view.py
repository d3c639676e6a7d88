"""Pictures of the latest body and hand landmarks: ``quorl-sdk view`` and ``quorl-sdk snapshot``.

``view`` opens a window that follows the stream live; ``snapshot OUT.png``
renders one picture without a screen, from a live server or from a
recording. Both need matplotlib: ``pip install 'quorl-sdk[view]'``.

The body is a front view: a landmark's first value is drawn to the right,
its second upwards, its third (depth) is left out, and its fourth
(visibility) sets how opaque the point is. The body fills the left panel, its
hands drawn small at the wrists. The hands, labelled by the name of their
side and the side number the server gives them ("left hand (side 0)"), are
drawn enlarged on the right around their first landmark (the wrist), each
twice: from the front (first value right, second up) and from the side
(third value right, second up), so that fingers that bend towards the viewer
do not collapse into lines. The picture is stamped with the time of its
newest landmark frame. The protocol does not say which landmark is which:
the lines that join landmarks, and the names of the sides, come from a
:mod:`quorl_sdk.skeleton` (by default the simulator's layout; ``--skeleton
FILE`` on the command line). ``--no-lines`` draws the points alone.
"""

from __future__ import annotations

import math
import os
from collections.abc import Callable, Sequence
from typing import TYPE_CHECKING, Any

from quorl_sdk._extras import require
from quorl_sdk.frames import Frame, FrameKind
from quorl_sdk.skeleton import DEFAULT, Skeleton

if TYPE_CHECKING:
    from matplotlib.artist import Artist
    from matplotlib.axes import Axes
    from matplotlib.collections import LineCollection
    from matplotlib.figure import Figure

__all__ = ["Pose", "PosePlot", "matplotlib_module", "render_png"]

#: Size of the picture in inches, and its resolution.
FIGURE_SIZE = (9.0, 6.0)
DPI = 100

Point = tuple[float, float, float]


# The panels of the hands: (title, the two values drawn right and up).
_HAND_VIEWS: tuple[tuple[str, tuple[int, int]], ...] = (
    ("front", (0, 1)),
    ("from the side", (2, 1)),
)
_FRONT = (0, 1)


def _points(values: Sequence[float], axes: tuple[int, int] = _FRONT) -> list[Point]:
    """Returns (right, up, visibility) of each landmark in ``values``, drawn on ``axes``."""
    right, up = axes
    return [(values[i + right], values[i + up], values[i + 3]) for i in range(0, len(values), 4)]


class Pose:
    """The latest body landmarks and hand landmarks of each side, and the time of the newest."""

    def __init__(self) -> None:
        self.body: list[float] | None = None
        self.hands: dict[int, list[float]] = {}
        #: The time of the newest landmark frame kept, in the caller's clock; None before one.
        self.time: float | None = None

    def update(self, frame: Frame, time: float) -> bool:
        """Keeps ``frame``, come at ``time``, when it holds landmarks; tells whether it did."""
        if frame.kind is FrameKind.BODY_LANDMARKS:
            self.body = frame.values
        elif frame.kind is FrameKind.HAND_LANDMARKS and frame.side is not None:
            self.hands[frame.side] = frame.values
        else:
            return False
        self.time = time
        return True

    @property
    def empty(self) -> bool:
        """True until a landmark frame has come."""
        return self.body is None and not self.hands

    @property
    def complete(self) -> bool:
        """True once the body and both hands have come."""
        return self.body is not None and set(self.hands) >= {0, 1}


def _title(skeleton: Skeleton, side: int) -> str:
    return f"{str(skeleton.side_name(side)).replace('_', ' ')} (side {side})"


def _seconds(time: float) -> str:
    return f"{time:.3f} s"


class PosePlot:
    """Draws a :class:`Pose` on a matplotlib figure: the body left, the two hands right.

    The hands are drawn around their wrist (landmark 0), which stays at the
    origin of their panels, from the front and from the side. A panel's
    limits change only when a point would leave them or the drawing has
    become small in them, so that a live window redraws just the moving lines
    and points (see :attr:`artists`).

    Args:
        figure: the figure to draw on.
        lines: join the landmarks with lines (see the module's docstring).
        clock: turns the pose's time into the stamp's text.
        skeleton: the links between landmarks and the names of the sides.
    """

    def __init__(
        self,
        figure: Figure,
        *,
        lines: bool = True,
        clock: Callable[[float], str] = _seconds,
        skeleton: Skeleton = DEFAULT,
    ) -> None:
        grid = figure.add_gridspec(2, 3, width_ratios=(3, 1.5, 1.5))
        self.figure = figure
        self.lines = lines
        self.clock = clock
        body_links = skeleton.layout(FrameKind.BODY_LANDMARKS).links
        self._hand_links = skeleton.layout(FrameKind.HAND_LANDMARKS).links
        self._body = _Panel(figure.add_subplot(grid[:, 0]), "body", body_links, lines)
        self._hands = {
            (side, axes): _Panel(
                figure.add_subplot(grid[side, 1 + column]),
                f"{_title(skeleton, side)}, {view}",
                self._hand_links, lines, axes,
            )
            for side in (0, 1)
            for column, (view, axes) in enumerate(_HAND_VIEWS)
        }  # fmt: skip
        self.stamp = figure.text(0.01, 0.005, "", fontsize=8, ha="left", va="bottom")

    @property
    def artists(self) -> list[Artist]:
        """The lines, points and stamp that change from one pose to the next."""
        panels = [self._body, *self._hands.values()]
        return [artist for panel in panels for artist in panel.artists] + [self.stamp]

    def draw(self, pose: Pose) -> bool:
        """Shows ``pose``; a part that has not come yet is marked as missing.

        Returns True when more than :attr:`artists` changed (limits, the
        missing marks), so that the whole figure needs drawing again.
        """
        changed = self._body.show(pose.body)
        self._body.show_beside(
            [pose.hands[side] for side in sorted(pose.hands)], self._hand_links
        )
        for (side, _), panel in self._hands.items():
            changed = panel.show(pose.hands.get(side), around_first=True) or changed
        self.stamp.set_text("" if pose.time is None else f"frame time {self.clock(pose.time)}")
        return changed


class _Panel:
    """One panel: the points of a landmark frame and the lines between them."""

    def __init__(
        self,
        axes: Axes,
        title: str,
        pairs: tuple[tuple[int, int], ...],
        lines: bool,
        drawn: tuple[int, int] = _FRONT,
    ) -> None:
        from matplotlib.collections import LineCollection

        self.axes = axes
        self.drawn = drawn
        self.pairs = pairs if lines else ()
        axes.set_title(title)
        axes.set_aspect("equal", adjustable="box")
        axes.tick_params(labelsize=7)
        self.segments: LineCollection = LineCollection([], colors="tab:blue", linewidths=2.0)
        axes.add_collection(self.segments)
        self.dots = axes.scatter([], [], s=18, color="tab:red", zorder=3)
        # Other landmark frames drawn small in the same panel (the hands at the body's wrists).
        self.beside: LineCollection = LineCollection([], colors="tab:green", linewidths=0.8)
        axes.add_collection(self.beside)
        self.missing = axes.text(
            0.5, 0.5, "no frame yet", transform=axes.transAxes, ha="center", va="center"
        )
        self.artists: list[Artist] = [self.segments, self.dots, self.beside]
        self._limits: tuple[float, float, float] | None = None  # centre x, centre y, half

    def show(self, values: list[float] | None, *, around_first: bool = False) -> bool:
        """Draws the landmarks of ``values`` (None: the missing mark), moved so that the
        first is at the origin when ``around_first``; tells whether more than the
        artists changed.
        """
        changed = self.missing.get_visible() != (values is None)
        self.missing.set_visible(values is None)
        if values is None:
            return changed
        points = _points(values, self.drawn)
        if around_first:
            x0, y0 = points[0][0], points[0][1]
            points = [(x - x0, y - y0, visibility) for x, y, visibility in points]
        self.segments.set_segments(self._segments(points, self.pairs))
        self.dots.set_offsets([point[:2] for point in points])
        self.dots.set_alpha([_opacity(point[2]) for point in points])
        return self._fit([point[:2] for point in points]) or changed

    def show_beside(
        self, frames: list[list[float]], pairs: tuple[tuple[int, int], ...]
    ) -> None:
        """Draws the lines (or, without lines, nothing) of other landmark frames, thin."""
        segments = []
        for values in frames:
            segments += self._segments(_points(values), pairs if self.pairs else ())
        self.beside.set_segments(segments)

    @staticmethod
    def _segments(
        points: list[Point], pairs: tuple[tuple[int, int], ...]
    ) -> list[list[tuple[float, float]]]:
        count = len(points)
        return [[points[a][:2], points[b][:2]] for a, b in pairs if a < count and b < count]

    def _fit(self, xy: list[tuple[float, float]]) -> bool:
        """Sets square limits around the points unless the current ones still suit them;
        tells whether they changed. Values that are not finite are left out.
        """
        finite = [(x, y) for x, y in xy if math.isfinite(x) and math.isfinite(y)]
        if not finite:
            return False
        xs, ys = [x for x, _ in finite], [y for _, y in finite]
        span = max(max(xs) - min(xs), max(ys) - min(ys), 1e-3)
        if self._limits is not None:
            cx, cy, half = self._limits
            inside = cx - half <= min(xs) and max(xs) <= cx + half
            inside = inside and cy - half <= min(ys) and max(ys) <= cy + half
            if inside and span > 0.8 * half:
                return False
        cx, cy, half = (max(xs) + min(xs)) / 2, (max(ys) + min(ys)) / 2, span * 0.6
        self._limits = (cx, cy, half)
        self.axes.set_xlim(cx - half, cx + half)
        self.axes.set_ylim(cy - half, cy + half)
        return True


def _opacity(visibility: float) -> float:
    """Returns an opacity from 0.2 to 1 for ``visibility`` (taken as 0 to 1)."""
    if not math.isfinite(visibility):
        return 1.0
    return 0.2 + 0.8 * min(max(visibility, 0.0), 1.0)


def matplotlib_module() -> Any:
    """Imports matplotlib, with a hint at the extra when it is missing.

    Raises:
        MissingExtraError: matplotlib is not installed.
    """
    return require("matplotlib", "view", "this command")


def render_png(
    pose: Pose,
    path: str | os.PathLike[str],
    *,
    lines: bool = True,
    clock: Callable[[float], str] = _seconds,
    skeleton: Skeleton = DEFAULT,
    format: str = "png",
) -> None:
    """Renders ``pose`` into a picture file at ``path``, without a screen, with the links and
    side names of ``skeleton``: a PNG, or ``format``, any that matplotlib writes ("svg",
    "jpg", "pdf", ...).

    Raises:
        ImportError: matplotlib is not installed.
        OSError: the file cannot be written.
    """
    matplotlib_module()
    from matplotlib.backends.backend_agg import FigureCanvasAgg
    from matplotlib.figure import Figure

    figure = Figure(figsize=FIGURE_SIZE, dpi=DPI, layout="constrained")
    FigureCanvasAgg(figure)
    PosePlot(figure, lines=lines, clock=clock, skeleton=skeleton).draw(pose)
    figure.savefig(path, format=format)
