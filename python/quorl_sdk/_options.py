"""The options of the four connect functions, defined once, and the start of an engine.

Every connect function takes its target (a port or a URL) and ``**options``
of :class:`Options`; :data:`DEFAULTS` holds their defaults and :func:`start`
checks them and starts the native engine, which connects on its own thread.
"""

from __future__ import annotations

import enum
from collections.abc import Iterable

from quorl_sdk import _engine
from quorl_sdk.frames import FrameKind

TYPE_CHECKING = False  # typing stays unimported at run time

if TYPE_CHECKING:
    from typing import Literal, TypedDict

    ModeName = Literal["lossless", "latest"]

    class Options(TypedDict, total=False):
        """The options every connect function takes; see :func:`quorl_sdk.connect`."""

        reconnect: bool
        base_delay_ms: int
        max_delay_ms: int
        max_retries: int
        mode: Mode | ModeName
        max_queue: int
        timeout: float | None
        close_timeout: float | None
        kinds: Iterable[FrameKind] | None
        wait: float | None


__all__ = ["DEFAULTS", "Mode", "Options", "check_timeout", "start"]


class Mode(str, enum.Enum):
    """How frames are handed to a consumer that reads slower than the server sends."""

    #: Every frame, in order. The engine stops reading while ``max_queue``
    #: items wait, so memory stays bounded and TCP pushes back on the server.
    LOSSLESS = "lossless"
    #: Only the newest frame of each ``(kind, side)`` waits, and the newest
    #: error; older ones are replaced (and counted in ``dropped``).
    LATEST = "latest"


#: The ports a connect function without a port tries in turn, and the simulator serves on.
DEFAULT_PORTS = range(_engine.DISCOVERY_PORTS[0], _engine.DISCOVERY_PORTS[1] + 1)

DEFAULTS: dict[str, object] = {
    "reconnect": False,
    "base_delay_ms": 250,
    "max_delay_ms": 10000,
    "max_retries": 10,
    "mode": Mode.LOSSLESS,
    "max_queue": 1024,
    "timeout": None,
    "close_timeout": 0.25,
    "kinds": None,
    "wait": None,
}


def check_timeout(name: str, value: object) -> float | None:
    """Reads None or a real number of seconds that is at least 0, as every native call does.

    Returns ``value`` as a float (infinity for an int too large for one), or None.

    Raises:
        TypeError: ``value`` is neither a number nor None.
        ValueError: ``value`` is negative or NaN.
    """
    return _engine.seconds(name, value)


def _check_mode(mode: object) -> Mode:
    try:
        return Mode(mode)
    except ValueError:
        raise ValueError(f"mode must be 'lossless' or 'latest', got {mode!r}") from None


def _check_max_queue(max_queue: object) -> int:
    # Any integer will do, numpy's included: whatever has __index__.
    index = getattr(type(max_queue), "__index__", None)
    if isinstance(max_queue, bool) or index is None:
        raise TypeError(f"max_queue must be an int, got {type(max_queue).__name__}")
    max_queue = int(index(max_queue))
    if not 1 <= max_queue <= _engine.MAX_QUEUE:
        raise ValueError(f"max_queue must be from 1 to {_engine.MAX_QUEUE}, got {max_queue}")
    return max_queue


def _check_kinds(kinds: object) -> frozenset[FrameKind] | None:
    """Returns ``kinds`` read once (it may be a generator), as a set; None stays None."""
    if kinds is None:
        return None
    if isinstance(kinds, (str, bytes)) or not isinstance(kinds, Iterable):
        raise TypeError(f"kinds must be an iterable of FrameKind, got {type(kinds).__name__}")
    members = frozenset(kinds)
    for kind in members:
        if not isinstance(kind, FrameKind):
            raise TypeError(f"kinds must hold FrameKind members, got {kind!r}")
    if not members:
        raise ValueError("kinds must name at least one FrameKind; None receives every kind")
    return members


def _kind_mask(kinds: frozenset[FrameKind] | None) -> int | None:
    """Returns the bit mask of type bytes of checked ``kinds``; None lets every type byte through."""
    return None if kinds is None else sum(1 << kind for kind in kinds)


def resolve(options: dict[str, object]) -> dict[str, object]:
    """Returns ``options`` with the defaults filled in, this layer's options checked.

    Raises:
        TypeError: an unknown option, or an option of the wrong type.
        ValueError: an option out of range.
    """
    unknown = options.keys() - DEFAULTS.keys()
    if unknown:
        raise TypeError(f"unexpected option {sorted(unknown)[0]!r}")
    resolved = {**DEFAULTS, **options}
    resolved["mode"] = _check_mode(resolved["mode"])
    resolved["max_queue"] = _check_max_queue(resolved["max_queue"])
    for name in ("timeout", "close_timeout", "wait"):
        resolved[name] = check_timeout(name, resolved[name])
    resolved["kinds"] = _check_kinds(resolved["kinds"])
    return resolved


def start(by_url: bool, target: object, resolved: dict[str, object]) -> _engine.Stream:
    """Starts an engine that connects to the URL or port ``target`` (port None: discovery).

    Raises:
        TypeError, OverflowError, UnicodeEncodeError: a connection argument
            has the wrong type or range, exactly as ``_quorl_sdk``'s connect
            functions raise them.
    """
    begin = _engine.start_url if by_url else _engine.start_port
    return begin(
        target, resolved["reconnect"], resolved["base_delay_ms"], resolved["max_delay_ms"],
        resolved["max_retries"], resolved["mode"] is Mode.LATEST, resolved["max_queue"],
        _kind_mask(resolved["kinds"]),  # type: ignore[arg-type]
        resolved["wait"], resolved["timeout"],
    )
