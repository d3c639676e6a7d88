"""A slow consumer that always sees the newest frames: python examples/latest.py [ws://host:port]

In latest-frame mode only the newest frame of each (kind, side) waits for the
program, so a consumer slower than the stream never falls behind it; the
frames it skipped are counted in ``dropped``.
"""

import sys
import time

import quorl_sdk


def main() -> None:
    url = sys.argv[1] if len(sys.argv) > 1 else None
    if url is None:
        client = quorl_sdk.connect(mode="latest", timeout=5.0)
    else:
        client = quorl_sdk.connect_url(url, mode="latest", timeout=5.0)
    with client:
        for frame in client:
            print(f"{frame.kind.name}: {frame.values[0]:.3f} (dropped so far: {client.dropped})")
            time.sleep(0.1)  # ten frames a second, whatever the server's rate
        print(f"received {client.received}, dropped {client.dropped}")


if __name__ == "__main__":
    main()
