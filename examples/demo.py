"""Starts the simulator and streams from it with the live status for a few seconds.

    python examples/demo.py [--duration S] [--rate HZ]

The simulator serves on a port the system picks, so a real server on 5432 to
5435 is left alone; ``quorl-sdk stream`` then connects to it through the
native client and shows the rate of each kind and side of frame, the age of
the last frame, decode errors and reconnections. Ctrl-C ends it early.
"""

import argparse

from quorl_sdk import cli
from quorl_sdk.simulator import Simulator


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--duration", type=float, default=5.0, help="seconds (default: 5)")
    parser.add_argument("--rate", type=float, default=60.0, help="simulator ticks per second")
    args = parser.parse_args()
    with Simulator(port=0, rate=args.rate).running() as simulator:
        print(f"simulator serving on {simulator.url}; streaming for {args.duration:g} s\n")
        code = cli.main(["stream", "--url", simulator.url, "--duration", str(args.duration)])
    print(
        "\nMore: quorl-sdk simulate | stream [--json] | record FILE | replay FILE"
        " | snapshot OUT.png | view   (quorl-sdk COMMAND --help)"
    )
    return code


if __name__ == "__main__":
    raise SystemExit(main())
