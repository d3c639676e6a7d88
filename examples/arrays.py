"""Frames as numpy arrays: python examples/arrays.py [ws://host:port]

Quaternion and landmark frames become arrays of shape (groups, 4), angle frames
of shape (21,). Needs numpy: pip install 'quorl-sdk[numpy]'.
"""

import sys

import numpy

import quorl_sdk
from quorl_sdk import FrameKind


def main() -> None:
    url = sys.argv[1] if len(sys.argv) > 1 else None
    client = quorl_sdk.connect(timeout=5.0) if url is None else quorl_sdk.connect_url(url, timeout=5.0)
    with client:
        for frame in client:
            array = frame.to_numpy()
            if frame.kind in (FrameKind.BODY_LANDMARKS, FrameKind.HAND_LANDMARKS):
                centre = array[:, :3].mean(axis=0)
                print(f"{frame.kind.name} {array.shape}: centre {numpy.round(centre, 3)}")
            else:
                print(f"{frame.kind.name} {array.shape}: norm {numpy.linalg.norm(array):.3f}")


if __name__ == "__main__":
    main()
