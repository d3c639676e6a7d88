"""Prints every frame of a Quorl server: python examples/stream.py [ws://host:port]

Without a URL it looks for the server on 127.0.0.1, ports 5432 to 5435.
Stops at the end of the stream, after 5 seconds without a frame, or on Ctrl-C.
"""

import sys

import quorl_sdk


def open_client(url: str | None) -> quorl_sdk.Client:
    """Connects to ``url``, or to the default ports when it is None."""
    if url is None:
        return quorl_sdk.connect(timeout=5.0)
    return quorl_sdk.connect_url(url, timeout=5.0)


def main() -> None:
    with open_client(sys.argv[1] if len(sys.argv) > 1 else None) as client:
        try:
            for frame in client:
                side = "" if frame.side is None else f" side {frame.side}"
                print(f"{frame.kind.name}{side}: {frame.values[:4]} ...")
        except TimeoutError:
            print("no frame for 5 seconds")
        print(f"{client.received} frames")


if __name__ == "__main__":
    main()
