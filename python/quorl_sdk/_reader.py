"""The reader thread and the hand-over between it and the consumer.

The native client waits for the next frame without ever checking signals, and
a waiting step cannot be interrupted or closed from another thread. So one
reader thread per connection connects, owns the native client and does every
blocking step; the consumer (the main thread, or an event loop) only waits on
the :class:`Channel` below, in short slices, so Ctrl-C and timeouts work.

Ownership: the reader thread holds the native client; the channel holds it too
only so that ``close`` can try to drop the connection at once. The user-facing
client holds the channel but the thread never holds the user-facing client, so
garbage collection of an unclosed client can run its finalizer, which closes
the channel; the reader then leaves at its next chance and drops the native
client, which closes the socket.

What "next chance" means: while the reader waits on a full queue it is woken
at once; while it is inside a native step it returns only with the next item
of the connection (a frame, its end, a failure). Once it returns it sees the
close, closes the native client and ends. On a streaming server that is one
frame interval; on a silent one the socket stays open until the server sends
something or the connection ends.
"""

from __future__ import annotations

import enum
import math
import threading
import time
from collections import OrderedDict, deque
from collections.abc import Callable
from typing import Any, Union

import _quorl_sdk

from quorl_sdk.frames import Frame, frame_from_tuple

__all__ = ["Channel", "Mode", "start_reader"]

#: Longest time a consumer waits without a chance to see a signal (Ctrl-C).
WAIT_SLICE = 0.05

CLOSED_MESSAGE = "client is closed"

Item = Union[Frame, BaseException]
Waker = Callable[[], None]


class Mode(str, enum.Enum):
    """How frames are handed to a consumer that reads slower than the server sends."""

    #: Every frame, in order. The reader stops reading while ``max_queue``
    #: frames wait, so memory stays bounded and the server's own buffers fill.
    LOSSLESS = "lossless"
    #: Only the newest frame of each ``(kind, side)`` waits; older ones are
    #: replaced (and counted in ``dropped``). Never blocks the reader.
    LATEST = "latest"


class _Marker(enum.Enum):
    """Results of a look into the channel that are not items."""

    NOTHING = enum.auto()  # nothing waiting yet
    END = enum.auto()  # nothing waiting, and nothing more will come


NOTHING = _Marker.NOTHING
END = _Marker.END


def check_options(mode: object, max_queue: object, **timeouts: object) -> Mode:
    """Checks the options of the Python layer and returns the mode as a :class:`Mode`.

    Raises:
        ValueError: an unknown mode, a ``max_queue`` below 1, or a negative
            or NaN timeout.
        TypeError: ``max_queue`` is not an int, or a timeout is not a number
            or None.
    """
    try:
        checked = Mode(mode)
    except ValueError:
        raise ValueError(f"mode must be 'lossless' or 'latest', got {mode!r}") from None
    if isinstance(max_queue, bool) or not isinstance(max_queue, int):
        raise TypeError(f"max_queue must be an int, got {type(max_queue).__name__}")
    if max_queue < 1:
        raise ValueError(f"max_queue must be at least 1, got {max_queue}")
    for name, value in timeouts.items():
        check_timeout(name, value)
    return checked


def check_timeout(name: str, value: object) -> None:
    """Accepts None or a number of seconds that is at least 0.

    Raises:
        TypeError: ``value`` is neither a number nor None.
        ValueError: ``value`` is negative or NaN.
    """
    if value is None:
        return
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        raise TypeError(f"{name} must be a number of seconds or None, got {type(value).__name__}")
    if math.isnan(value) or value < 0:
        raise ValueError(f"{name} must be at least 0 seconds, got {value!r}")


class Channel:
    """The state that the reader thread and the consumer share, under one lock."""

    def __init__(self, mode: Mode, max_queue: int) -> None:
        self.lock = threading.Lock()
        self.ready = threading.Condition(self.lock)  # the consumer waits here
        self.space = threading.Condition(self.lock)  # the reader waits here when full
        self.mode = mode
        self.max_queue = max_queue
        self.queue: deque[Item] = deque()
        # Latest mode: one entry per (kind, side), errors under keys of their
        # own; in arrival order of the entry's newest item.
        self.latest: OrderedDict[object, Item] = OrderedDict()
        self.received = 0
        self.dropped = 0
        self.raw: _quorl_sdk.RawClient | None = None
        self.port: int | None = None
        self.connect_error: BaseException | None = None
        self.connected = False  # the connect call has finished, either way
        self.ended = False  # the reader puts nothing more
        self.stopped = False  # the reader has dropped the native client
        self.closing = False  # the owner closed the client
        self.waker: Waker | None = None
        # Notifying costs time per frame; only waiters get notified.
        self.consumers_waiting = 0
        self.reader_waits = False

    # --- the reader's side ---

    def attach(self, raw: _quorl_sdk.RawClient) -> bool:
        """Takes the connected native client; False when the owner has closed meanwhile."""
        port = raw.port
        with self.lock:
            self.connected = True
            if self.closing:
                return False
            self.raw = raw
            self.port = port
            self.wake_locked()
            return True

    def fail_connect(self, error: BaseException) -> None:
        """Records why the connect call failed, for the consumer to raise."""
        with self.lock:
            self.connected = True
            self.ended = True
            self.connect_error = error
            self.wake_locked()

    def put(self, item: Item) -> bool:
        """Hands ``item`` over, waiting for room in lossless mode; False once closed."""
        with self.lock:
            if isinstance(item, Frame):
                self.received += 1
            if self.mode is Mode.LOSSLESS:
                while len(self.queue) >= self.max_queue and not self.closing:
                    self.reader_waits = True
                    self.space.wait()
                    self.reader_waits = False
                if self.closing:
                    return False
                self.queue.append(item)
            else:
                if self.closing:
                    return False
                key: object = (item.kind, item.side) if isinstance(item, Frame) else object()
                if self.latest.pop(key, None) is not None:
                    self.dropped += 1
                self.latest[key] = item
            self.wake_locked()
            return True

    def detach(self) -> None:
        """Marks the end of the items; the reader is about to drop the native client."""
        with self.lock:
            self.raw = None
            self.ended = True
            self.wake_locked()

    def mark_stopped(self) -> None:
        """Marks that the native client is gone (its socket closed)."""
        with self.lock:
            self.raw = None
            self.ended = True
            self.stopped = True
            self.wake_locked()

    def wake_locked(self) -> None:
        """Wakes every waiting consumer, the event loop's through its waker."""
        if self.consumers_waiting:
            self.ready.notify_all()
        waker, self.waker = self.waker, None
        if waker is not None:
            waker()

    # --- the consumer's side ---

    def pop_locked(self) -> Item | _Marker:
        """Takes the next item, or tells that none waits or none will come.

        Raises:
            RuntimeError: the client is closed.
        """
        if self.closing:
            raise RuntimeError(CLOSED_MESSAGE)
        if self.queue:
            item = self.queue.popleft()
            if self.reader_waits:
                self.space.notify()
            return item
        if self.latest:
            return self.latest.popitem(last=False)[1]
        return END if self.ended else NOTHING

    def wait_ready_locked(self, seconds: float) -> None:
        """Waits on ``ready`` for at most ``seconds``, counted as a waiting consumer."""
        self.consumers_waiting += 1
        try:
            self.ready.wait(seconds)
        finally:
            self.consumers_waiting -= 1

    def take(self, timeout: float | None) -> Item | _Marker:
        """Waits up to ``timeout`` seconds (None: no limit) for an item or the end.

        Raises:
            TimeoutError: nothing came in time.
            RuntimeError: the client is closed.
        """
        deadline = None if timeout is None else time.monotonic() + timeout
        with self.lock:
            while True:
                item = self.pop_locked()
                if item is not NOTHING:
                    return item
                self.wait_ready_locked(_slice(deadline, "no frame within the timeout"))

    def poll(self, waker: Waker | None = None) -> Item | _Marker:
        """Takes the next item without waiting; with nothing there, installs ``waker``.

        The waker is called once, from the reader thread, when something
        changes: an item, the end, the connection, or a close.

        Raises:
            RuntimeError: the client is closed.
        """
        with self.lock:
            item = self.pop_locked()
            if item is NOTHING:
                self.waker = waker
            return item

    def wait_connected(self) -> int:
        """Waits, interruptibly, until the connect call has finished; returns the port.

        Raises:
            BaseException: the connect call's own exception, unchanged.
        """
        with self.lock:
            while not self.connected:
                self.wait_ready_locked(WAIT_SLICE)
        return self.connect_result()

    def check(self, condition: Callable[[Channel], bool], waker: Waker) -> bool:
        """Tells whether ``condition`` holds under the lock; if not, installs ``waker``."""
        with self.lock:
            holds = condition(self)
            if not holds:
                self.waker = waker
            return holds

    def connect_result(self) -> int:
        """Returns the port once connected, or raises the connect call's exception."""
        if self.connect_error is not None:
            error, self.connect_error = self.connect_error, None
            raise error
        assert self.port is not None
        return self.port

    def wait_stopped(self, timeout: float | None) -> bool:
        """Waits up to ``timeout`` seconds for the reader to drop the native client."""
        deadline = None if timeout is None else time.monotonic() + timeout
        with self.lock:
            while not self.stopped:
                try:
                    self.wait_ready_locked(_slice(deadline, ""))
                except TimeoutError:
                    return False
            return True

    def close(self) -> None:
        """Closes the client for the consumer and tells the reader to stop.

        Pending frames are discarded. The native client is closed here when no
        step is running, else by the reader as soon as its step returns.
        Never blocks and never raises; safe to call more than once and from a
        finalizer.
        """
        with self.lock:
            if self.closing:
                return
            self.closing = True
            self.queue.clear()
            self.latest.clear()
            raw = self.raw
            self.ready.notify_all()
            self.space.notify_all()
            self.wake_locked()
        if raw is not None:
            _close_native(raw)


def _slice(deadline: float | None, message: str) -> float:
    """Returns how long the next wait may last: at most one slice, at most until ``deadline``.

    Raises:
        TimeoutError: the deadline has passed.
    """
    if deadline is None:
        return WAIT_SLICE
    remaining = deadline - time.monotonic()
    if remaining <= 0:
        raise TimeoutError(message)
    return min(remaining, WAIT_SLICE)


def _close_native(raw: _quorl_sdk.RawClient) -> None:
    """Closes the native client unless a step is running in it (it then refuses)."""
    try:
        raw.close()
    except RuntimeError:
        pass  # the reader is inside a step; it closes the client when the step returns


ConnectCall = Callable[..., "_quorl_sdk.RawClient"]


def start_reader(channel: Channel, connect: ConnectCall, arguments: dict[str, Any]) -> threading.Thread:
    """Starts the reader thread: it connects with ``connect(**arguments)``, then reads."""
    thread = threading.Thread(
        target=_run, args=(channel, connect, arguments), name="quorl-sdk-reader", daemon=True
    )
    thread.start()
    return thread


def _run(channel: Channel, connect: ConnectCall, arguments: dict[str, Any]) -> None:
    """The reader thread's body; the native client lives only inside ``_serve``."""
    try:
        _serve(channel, connect, arguments)
    finally:
        channel.mark_stopped()


def _serve(channel: Channel, connect: ConnectCall, arguments: dict[str, Any]) -> None:
    """Connects, then hands over every item until the end, a fatal error or a close."""
    try:
        raw = connect(**arguments)
    except BaseException as error:
        channel.fail_connect(error.with_traceback(None))
        return
    try:
        if channel.attach(raw):
            _pump(channel, raw)
    finally:
        channel.detach()
        _close_native(raw)


def _pump(channel: Channel, raw: _quorl_sdk.RawClient) -> None:
    """Reads the native client until its end, a fatal error or a close."""
    while not channel.closing:
        try:
            item: Item = frame_from_tuple(next(raw))
        except StopIteration:
            return
        except (ValueError, ConnectionError) as error:
            # The native client goes on after these (a bad frame, a lost
            # connection that reconnection may mend): hand over and read on.
            # The traceback would keep this frame, and so the client, alive.
            item = error.with_traceback(None)
        except BaseException as error:
            if not channel.closing:  # else: the owner closed the client under us
                channel.put(error.with_traceback(None))
            return
        if not channel.put(item):
            return
