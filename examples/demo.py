"""Starts the simulator and streams from it with the live status for a few seconds.

    python examples/demo.py [--seconds S] [--rate HZ]

The simulator serves on the first free port of 5432-5435, where clients look
for a tracking server (so `quorl-sdk stream` in another terminal finds it
meanwhile), or on a port the system picks when all four are taken. Then
`quorl-sdk stream --port PORT` connects to it through the native client and
shows, a few times a second, the rate of each kind and side of frame, the age
of the last frame, and the counts of decode errors and reconnections. Ctrl-C
ends it early.
"""

import argparse
from contextlib import ExitStack

from quorl_sdk import cli
from quorl_sdk.simulator import PortUnavailableError, Simulator


def start_simulator(stack: ExitStack, rate: float) -> Simulator:
    """Starts a simulator on the first free default port, else on any free port."""
    try:
        return stack.enter_context(Simulator(rate=rate).running())
    except PortUnavailableError:
        return stack.enter_context(Simulator(port=0, rate=rate).running())


def main() -> int:
    parser = argparse.ArgumentParser(description=(__doc__ or "").splitlines()[0])
    parser.add_argument("--seconds", type=float, default=5.0, help="how long (default: 5)")
    parser.add_argument("--rate", type=float, default=60.0, help="simulator ticks per second")
    args = parser.parse_args()
    with ExitStack() as stack:
        simulator = start_simulator(stack, args.rate)
        print(f"simulator serving on {simulator.url} at {args.rate:g} ticks per second; "
              f"streaming for {args.seconds:g} s\n")
        code = cli.main(["stream", "--port", str(simulator.port), "--duration", str(args.seconds)])
    print(
        "\nMore: quorl-sdk simulate | stream [--json] | record FILE | replay FILE"
        " | snapshot OUT.png | view   (quorl-sdk COMMAND --help)"
    )
    return code


if __name__ == "__main__":
    raise SystemExit(main())
