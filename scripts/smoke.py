"""Checks an installed quorl-sdk: it imports lean and streams from the simulator.

    python scripts/smoke.py

Run by scripts/pythons in each supported CPython and by cibuildwheel after each
wheel it builds; needs the extra `simulator`. Exits 0 when every kind of frame
arrived, intact and in time; prints one line either way.
"""

import subprocess
import sys

FRAMES = 60  # ten ticks of the simulator: every kind, both hands
TIMEOUT = 10.0  # seconds for any one frame


def imports_lean() -> None:
    """`import quorl_sdk` alone loads neither asyncio nor websockets."""
    code = "import sys, quorl_sdk; print(sorted({'asyncio', 'websockets'} & set(sys.modules)))"
    loaded = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                            check=True, timeout=60).stdout.strip()
    assert loaded == "[]", f"import quorl_sdk loaded {loaded}"


def streams() -> set[tuple[str, int | None]]:
    """Returns the (kind, side) pairs of the first FRAMES frames from a simulator."""
    import quorl_sdk
    from quorl_sdk.simulator import Simulator

    seen = set()
    with Simulator(port=0, rate=200).running() as simulator:
        with quorl_sdk.connect_url(simulator.url, timeout=TIMEOUT) as client:
            for count, frame in enumerate(client, start=1):
                kind, side, values = frame
                assert len(values) % 4 == 0 or len(values) == 21, (kind, len(values))
                seen.add((kind.name, side))
                if count == FRAMES:
                    break
    return seen


def main() -> int:
    import quorl_sdk

    imports_lean()
    seen = streams()
    expected = {(kind.name, side) for kind in quorl_sdk.FrameKind
                for side in ((0, 1) if kind.name.startswith("HAND") else (None,))}
    missing = expected - seen
    if missing:
        print(f"quorl-sdk {quorl_sdk.__version__}: no frames of {sorted(missing, key=str)}")
        return 1
    print(f"quorl-sdk {quorl_sdk.__version__} on Python {sys.version.split()[0]}: "
          f"{FRAMES} frames of all {len(expected)} kinds and sides")
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
