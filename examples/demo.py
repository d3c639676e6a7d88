"""Streams live frames from a local simulated tracking server and prints, per
frame type, how many arrived and at what rate.

    python examples/demo.py [--seconds S] [--rate HZ]

The simulator listens on the first free port of 5432-5435, so connect_raw()
finds it the way it finds a real server: by trying those ports in order.
"""

import argparse
import time
from collections import Counter

import _quorl_sdk
from quorl_sdk.simulator import PortUnavailableError, Simulator

FRAME_TYPES = {
    2: "body quaternions",
    3: "body landmarks",
    4: "hand quaternions",
    5: "hand landmarks",
    6: "body ISB angles",
    7: "hand ISB angles",
}


def stream(
    seconds: float,
) -> tuple[int, Counter[int], dict[int, set[int | None]], dict[int, list[float]], float]:
    """Iterates connect_raw() for `seconds`; returns the client's port, the frame
    count per type, the sides seen per type, the first values per type and the
    time taken."""
    counts: Counter[int] = Counter()
    sides: dict[int, set[int | None]] = {}
    samples: dict[int, list[float]] = {}
    client = _quorl_sdk.connect_raw()
    start = time.monotonic()
    try:
        for kind, side, values in client:
            counts[kind] += 1
            sides.setdefault(kind, set()).add(side)
            samples.setdefault(kind, values[:3])
            if time.monotonic() - start >= seconds:
                break
        return client.port, counts, sides, samples, time.monotonic() - start
    finally:
        client.close()


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seconds", type=float, default=3.0, help="how long to read")
    parser.add_argument("--rate", type=float, default=60.0, help="simulator ticks per second")
    args = parser.parse_args()

    try:
        simulator = Simulator(rate=args.rate)
        with simulator.running():
            print(f"simulator serving on {simulator.url}, {args.rate:g} ticks per second")
            port, counts, sides, samples, elapsed = stream(args.seconds)
    except PortUnavailableError as error:
        raise SystemExit(f"demo: {error}") from None

    print(f"connect_raw() found the server on port {port}; read {sum(counts.values())} frames "
          f"in {elapsed:.2f} s")
    for kind, name in FRAME_TYPES.items():
        side_text = "no side" if sides.get(kind) == {None} else \
            "sides " + ", ".join(str(s) for s in sorted(sides.get(kind, ()), key=str))
        first = ", ".join(f"{v:+.3f}" for v in samples.get(kind, []))
        print(f"type {kind}  {name:<17} {counts[kind]:6d} frames  {counts[kind] / elapsed:7.1f}/s"
              f"  {side_text:<12} first values {first}")


if __name__ == "__main__":
    main()
