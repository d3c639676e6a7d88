"""connect_raw and connect_url_raw: binding, conversions, connection failures and discovery."""

from __future__ import annotations

import socket
from contextlib import closing

import numpy
import pytest

import _quorl_sdk
from _quorl_sdk import RawClient, connect_raw, connect_url_raw
from support import (
    MSG_BODY_ISB_ANGLES,
    ScriptedServer,
    accept,
    hello,
    http_response,
    parse_frame,
    sample_frame,
    sending,
    websockets_server,
)

FRAME = sample_frame(MSG_BODY_ISB_ANGLES, start=0.5)
OUT_OF_RANGE = "out of range integral type conversion attempted"
NO_SERVER = "no Quorl server found on ports 5432-5435; is Quorl running?"

CONNECT_RAW_DOC = (
    "Connects to a Quorl WebSocket server on `127.0.0.1`.\n\n"
    "With `port = None` the default range (5432-5435) is auto-discovered."
)
CONNECT_URL_RAW_DOC = "Connects to a Quorl WebSocket server at an explicit `ws://host:port` URL."
SETTINGS = "reconnect=False, base_delay_ms=250, max_delay_ms=10000, max_retries=10"


def free_port():
    """Returns a port on 127.0.0.1 with no listener (bound, then released)."""
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def fake_numpy_type(name, with_bool=True):
    """Returns an instance of a class named `name` that claims to live in module numpy."""
    namespace = {"__module__": "numpy"}
    if with_bool:
        namespace["__bool__"] = lambda self: 1
    return type(name, (), namespace)()


def test_functions_are_registered_with_their_signatures():
    """Both functions are bound to the module with their text signatures and docstrings."""
    for function, first, doc in ((connect_raw, "port=None", CONNECT_RAW_DOC),
                                 (connect_url_raw, "url", CONNECT_URL_RAW_DOC)):
        assert function.__text_signature__ == f"({first}, {SETTINGS})"
        assert function.__doc__ == doc
        assert function.__self__ is _quorl_sdk and function.__module__ == "_quorl_sdk"


class TestArgumentErrors:
    """Every refusal has its exact exception and text, raised before any connection."""

    @pytest.mark.parametrize("call, error, message", [
        (lambda: connect_raw(1, False, 250, 10000, 10, 1), TypeError,
         "connect_raw() takes from 0 to 5 positional arguments but 6 were given"),
        (lambda: connect_url_raw("ws://h:1", False, 250, 10000, 10, 1), TypeError,
         "connect_url_raw() takes from 1 to 5 positional arguments but 6 were given"),
        (lambda: connect_raw(prot=5432), TypeError,
         "connect_raw() got an unexpected keyword argument 'prot'"),
        (lambda: connect_raw(5432, port=5432), TypeError,
         "connect_raw() got multiple values for argument 'port'"),
        (lambda: connect_url_raw("ws://h:1", url="ws://h:1"), TypeError,
         "connect_url_raw() got multiple values for argument 'url'"),
        (lambda: connect_url_raw(), TypeError,
         "connect_url_raw() missing 1 required positional argument: 'url'"),
        (lambda: connect_url_raw(reconnect=True), TypeError,
         "connect_url_raw() missing 1 required positional argument: 'url'"),
        (lambda: connect_raw(port=70000), OverflowError, OUT_OF_RANGE),
        (lambda: connect_raw(port=-1), OverflowError, OUT_OF_RANGE),
        (lambda: connect_raw(max_retries=2**32), OverflowError, OUT_OF_RANGE),
        (lambda: connect_raw(max_retries=-1), OverflowError, OUT_OF_RANGE),
        (lambda: connect_raw(port="5432"), TypeError,
         "argument 'port': 'str' object cannot be interpreted as an integer"),
        (lambda: connect_raw(port=5432.0), TypeError,
         "argument 'port': 'float' object cannot be interpreted as an integer"),
        (lambda: connect_raw(max_retries=1.5), TypeError,
         "argument 'max_retries': 'float' object cannot be interpreted as an integer"),
        (lambda: connect_raw(max_retries=None), TypeError,
         "argument 'max_retries': 'NoneType' object cannot be interpreted as an integer"),
        (lambda: connect_raw(reconnect=1), TypeError,
         "argument 'reconnect': 'int' object cannot be converted to 'PyBool'"),
        (lambda: connect_raw(reconnect=None), TypeError,
         "argument 'reconnect': 'NoneType' object cannot be converted to 'PyBool'"),
        (lambda: connect_url_raw("ws://h:1", reconnect="yes"), TypeError,
         "argument 'reconnect': 'str' object cannot be converted to 'PyBool'"),
        (lambda: connect_raw(reconnect=fake_numpy_type("bool_", with_bool=False)), TypeError,
         "argument 'reconnect': object of type 'bool_' does not define a '__bool__' conversion"),
        (lambda: connect_raw(reconnect=fake_numpy_type("bool_")), TypeError,
         "argument 'reconnect': 'int' object cannot be converted to 'PyBool'"),
        (lambda: connect_raw(reconnect=fake_numpy_type("int_")), TypeError,
         "argument 'reconnect': 'int_' object cannot be converted to 'PyBool'"),
        (lambda: connect_raw(reconnect=numpy.int64(1)), TypeError,
         "argument 'reconnect': 'int64' object cannot be converted to 'PyBool'"),
        (lambda: connect_raw(base_delay_ms=None), TypeError,
         "argument 'base_delay_ms': 'NoneType' object cannot be interpreted as an integer"),
        (lambda: connect_raw(max_delay_ms=2.0), TypeError,
         "argument 'max_delay_ms': 'float' object cannot be interpreted as an integer"),
        (lambda: connect_raw(base_delay_ms=-1), OverflowError,
         "can't convert negative int to unsigned"),
        (lambda: connect_raw(max_delay_ms=2**64), OverflowError,
         "int too big to convert"),
        (lambda: connect_url_raw(b"ws://127.0.0.1:5432"), TypeError,
         "argument 'url': 'bytes' object cannot be converted to 'PyString'"),
        (lambda: connect_url_raw(None), TypeError,
         "argument 'url': 'NoneType' object cannot be converted to 'PyString'"),
        (lambda: connect_url_raw("ws://h:1", max_retries=2**32), OverflowError, OUT_OF_RANGE),
    ])
    def test_refusals(self, call, error, message):
        """Binding checks, then conversions in parameter order; only TypeErrors name the argument."""
        with pytest.raises(error) as raised:
            call()
        assert type(raised.value) is error
        assert str(raised.value) == message

    def test_conversions_run_in_parameter_order(self):
        """With several bad arguments the first in parameter order is reported."""
        with pytest.raises(TypeError, match="argument 'reconnect'"):
            connect_raw(max_retries="x", reconnect=2, base_delay_ms=None)
        with pytest.raises(TypeError, match="argument 'url'"):
            connect_url_raw(1, reconnect=2)

    def test_rewrapped_type_error_keeps_the_original_as_cause(self):
        """The renamed TypeError carries the conversion's own TypeError as its cause."""
        with pytest.raises(TypeError) as raised:
            connect_raw(port="5432")
        assert type(raised.value.__cause__) is TypeError
        assert str(raised.value.__cause__) == "'str' object cannot be interpreted as an integer"

    def test_unencodable_url_is_a_unicode_error(self):
        """A str with a lone surrogate fails with UnicodeEncodeError, not renamed."""
        with pytest.raises(UnicodeEncodeError):
            connect_url_raw("ws://127.0.0.1:\udc805432")

    @pytest.mark.parametrize("url, reason", [
        ("http://127.0.0.1:{port}", "unsupported scheme `http` (expected `ws`)"),
        ("wss://127.0.0.1:{port}", "unsupported scheme `wss` (expected `ws`)"),
        ("ws://127.0.0.1", "missing port (use ws://host:port)"),
        ("127.0.0.1:{port}", None),
        ("", None),
    ])
    def test_invalid_urls_are_value_errors_without_a_connection(self, url, reason):
        """An unusable URL raises ValueError quoting the text, and no socket reaches the server."""
        with ScriptedServer([accept(with_binary=[hello()])]) as server:
            text = url.format(port=server.port)
            with pytest.raises(ValueError) as raised:
                connect_url_raw(text, reconnect=True)
            message = str(raised.value)
            assert message.startswith(f"invalid Quorl URL `{text}`: ")
            if reason is not None:
                assert message == f"invalid Quorl URL `{text}`: {reason}"
            assert server.connections == []


class TestConnecting:
    """Successful connections and their failures."""

    @pytest.mark.parametrize("settings", [
        {},
        {"reconnect": True},
        {"reconnect": numpy.bool_(True)},
        {"reconnect": numpy.bool_(False)},
        {"reconnect": False, "base_delay_ms": 0, "max_delay_ms": 0, "max_retries": 0},
        {"base_delay_ms": 2**64 - 1, "max_delay_ms": 2**64 - 1, "max_retries": 2**32 - 1},
        {"base_delay_ms": numpy.uint64(2**64 - 1), "max_delay_ms": numpy.int8(3),
         "max_retries": numpy.int32(4)},
        {"base_delay_ms": 5000, "max_delay_ms": 1000, "max_retries": True},
    ], ids=["defaults", "reconnect", "numpy_true", "numpy_false", "zeros", "largest",
            "numpy_ints", "base_above_cap"])
    def test_any_accepted_settings_connect(self, settings):
        """Every accepted combination of settings connects and streams by URL and by port."""
        with websockets_server(sending(hello(), FRAME, then_close=False)) as server:
            for connect, target in ((connect_url_raw, server.url), (connect_raw, server.port)):
                with closing(connect(target, **settings)) as client:
                    assert type(client) is RawClient and client.port == server.port
                    assert next(client) == parse_frame(FRAME)

    def test_positional_arguments(self):
        """All five arguments can be given by position."""
        with websockets_server(sending(hello(), FRAME, then_close=False)) as server:
            with closing(connect_raw(server.port, False, 1, 2, 3)) as client:
                assert next(client) == parse_frame(FRAME)
            with closing(connect_url_raw(server.url, True, 1, 2, 3)) as client:
                assert next(client) == parse_frame(FRAME)

    def test_url_text_goes_to_the_server_unchanged(self):
        """Path, query and host name go out as given; port is the URL's port."""
        class Url(str):
            pass

        with websockets_server(sending(hello(), FRAME, then_close=False)) as server:
            with closing(connect_url_raw(Url(f"ws://localhost:{server.port}/live?x=1"))) as client:
                assert client.port == server.port
                assert next(client) == parse_frame(FRAME)
            assert server.requests[0].path == "/live?x=1"
            assert server.requests[0].header("Host") == f"localhost:{server.port}"

    @pytest.mark.parametrize("reconnect", [False, True])
    def test_nothing_listening_fails_at_once_whatever_reconnect_says(self, reconnect):
        """The first connection is never retried: ConnectionError naming the URL, at once."""
        port = free_port()
        prefix = f"failed to connect to Quorl at ws://127.0.0.1:{port}: "
        with pytest.raises(ConnectionError) as raised:
            connect_raw(port, reconnect=reconnect, base_delay_ms=60_000)
        assert str(raised.value).startswith(prefix) and len(str(raised.value)) > len(prefix)
        with pytest.raises(ConnectionError) as raised:
            connect_url_raw(f"ws://127.0.0.1:{port}", reconnect=reconnect, base_delay_ms=60_000)
        assert str(raised.value).startswith(prefix)

    def test_handshake_refused_is_a_connection_error(self):
        """An HTTP 404 instead of the upgrade fails the connection once."""
        with ScriptedServer([http_response(404)]) as server:
            with pytest.raises(ConnectionError) as raised:
                connect_url_raw(server.url, reconnect=True)
            assert str(raised.value).startswith(f"failed to connect to Quorl at {server.url}: ")
            assert len(server.connections) == 1

    def test_port_zero_names_its_url(self):
        """Port 0 is accepted as a value and fails to connect, naming ws://127.0.0.1:0."""
        with pytest.raises(ConnectionError) as raised:
            connect_raw(0)
        assert str(raised.value).startswith("failed to connect to Quorl at ws://127.0.0.1:0: ")


@pytest.mark.fixed_ports
class TestDiscovery:
    """connect_raw() without a port tries 5432 to 5435 in order."""

    @pytest.mark.parametrize("call", [lambda: connect_raw(), lambda: connect_raw(None),
                                      lambda: connect_raw(port=None, reconnect=True)])
    def test_no_server_on_any_port(self, call):
        """With nothing listening the error names the range, not a single port's failure."""
        with pytest.raises(ConnectionError) as raised:
            call()
        assert str(raised.value) == NO_SERVER

    def test_the_port_that_answered(self):
        """With a server on 5434 only, the client is connected to 5434 and 5435 is never tried."""
        with ScriptedServer([accept(with_binary=[hello()])], port=5435) as last, \
                websockets_server(sending(hello(), FRAME, then_close=False), port=5434) as server:
            with closing(connect_raw()) as client:
                assert client.port == 5434
                assert next(client) == parse_frame(FRAME)
            assert len(server.requests) == 1
            assert last.connections == []

    def test_a_refusing_port_is_skipped(self):
        """A 404 on 5432 counts as that port's failure and 5433 is used."""
        with ScriptedServer([http_response(404)], port=5432) as refusing, \
                websockets_server(sending(hello(), FRAME, then_close=False), port=5433):
            with closing(connect_raw()) as client:
                assert client.port == 5433
                assert next(client) == parse_frame(FRAME)
            assert len(refusing.connections) == 1
