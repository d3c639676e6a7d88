"""Reads frames inside an asyncio program: python examples/stream_async.py [ws://host:port]"""

import asyncio
import sys

import quorl_sdk


async def main(url: str | None) -> None:
    connecting = (
        quorl_sdk.connect_async(timeout=5.0)
        if url is None
        else quorl_sdk.connect_url_async(url, timeout=5.0)
    )
    async with connecting as client:
        async for frame in client:
            print(frame.kind.name, frame.side, len(frame.values))
        print(f"{client.received} frames")


if __name__ == "__main__":
    asyncio.run(main(sys.argv[1] if len(sys.argv) > 1 else None))
