"""Test servers and helpers shared by the Python suites.

``tests/python/conftest.py`` puts ``tests/python`` on ``sys.path``, so a test
module imports everything from here::

    from support import ScriptedServer, accept, send_binary, websockets_server, hello

What is here:

- frames (:mod:`support.frames`): ``hello``, ``encode`` and the type constants
  of :mod:`quorl_sdk.wire`; ``sample_frame``, ``all_sample_frames`` and
  ``parse_frame`` for predictable frames and for reading what a server sent.
- ``ScriptedServer`` (:mod:`support.scripted`): the one test server, a raw TCP
  server that plays a script of exact bytes (hand-made handshake, 404,
  silence, masked or fragmented frames, resets), records everything the client
  sent, and with the ``serve`` step runs an asyncio handler as a conforming
  server would. The benchmarks' load server (``bench/load_server.py``) is this
  server with ``route``.
- ``websockets_server`` (:mod:`support.websockets_server`): that server with a
  handler, as a conforming peer, with stop/start on the same port.
- timing and ports (:mod:`support.timing`): ``scaled`` (QUORL_TEST_TIMEOUT_FACTOR),
  ``port_is_free``, ``taken_ports``, ``require_fixed_ports``; the conftest adds
  the ``fixed_ports`` marker and fixture on top.
"""

from support.frames import (
    DATA_KINDS,
    EXOTIC_BITS,
    HAND_KINDS,
    MSG_BODY_ISB_ANGLES,
    MSG_BODY_LANDMARKS,
    MSG_BODY_QUATERNIONS,
    MSG_HAND_ISB_ANGLES,
    MSG_HAND_LANDMARKS,
    MSG_HAND_QUATERNIONS,
    MSG_HELLO,
    PROTOCOL_VERSION,
    all_sample_frames,
    encode,
    frame_size,
    hello,
    is_hand,
    parse_frame,
    sample_frame,
    sample_values,
    value_count,
)
from support.scripted import (
    OP_BINARY,
    OP_CLOSE,
    OP_CONTINUATION,
    OP_PING,
    OP_PONG,
    OP_TEXT,
    ClientFrame,
    ScriptedConnection,
    ScriptedServer,
    Session,
    Step,
    accept,
    accept_value,
    close_tcp,
    http_response,
    parse_frames,
    pause,
    reset_tcp,
    route,
    send_binary,
    send_close,
    send_ping,
    send_pong,
    send_raw,
    send_text,
    serve,
    wait_end,
    wait_frame,
    ws_frame,
)
from support.timing import (
    EZC3D_UNDER_ASAN,
    FIXED_PORTS,
    TIMEOUT_FACTOR,
    UNDER_ASAN,
    port_is_free,
    require_fixed_ports,
    scaled,
    skip_exit_under_asan,
    skip_ezc3d_under_asan,
    taken_ports,
)
from support.websockets_server import (
    RecordedRequest,
    WebsocketsServer,
    sending,
    websockets_server,
)

__all__ = [
    "ClientFrame",
    "DATA_KINDS",
    "EZC3D_UNDER_ASAN",
    "FIXED_PORTS",
    "HAND_KINDS",
    "MSG_BODY_ISB_ANGLES",
    "MSG_BODY_LANDMARKS",
    "MSG_BODY_QUATERNIONS",
    "MSG_HAND_ISB_ANGLES",
    "MSG_HAND_LANDMARKS",
    "MSG_HAND_QUATERNIONS",
    "MSG_HELLO",
    "OP_BINARY",
    "OP_CLOSE",
    "OP_CONTINUATION",
    "OP_PING",
    "OP_PONG",
    "OP_TEXT",
    "PROTOCOL_VERSION",
    "RecordedRequest",
    "ScriptedConnection",
    "ScriptedServer",
    "Session",
    "Step",
    "TIMEOUT_FACTOR",
    "UNDER_ASAN",
    "WebsocketsServer",
    "accept",
    "accept_value",
    "all_sample_frames",
    "close_tcp",
    "encode",
    "frame_size",
    "hello",
    "http_response",
    "is_hand",
    "parse_frame",
    "parse_frames",
    "pause",
    "port_is_free",
    "require_fixed_ports",
    "reset_tcp",
    "route",
    "sample_frame",
    "sample_values",
    "scaled",
    "skip_exit_under_asan",
    "skip_ezc3d_under_asan",
    "send_binary",
    "send_close",
    "send_ping",
    "send_pong",
    "send_raw",
    "send_text",
    "sending",
    "serve",
    "taken_ports",
    "value_count",
    "wait_end",
    "wait_frame",
    "websockets_server",
    "ws_frame",
]
