"""How the client talks to a shard's replicas once Dask has started them.

Each replica listens on a TCP port of its own, on its worker's host, and the
client keeps one connection to it: a call is one length-prefixed msgpack
frame each way, sent and awaited from the calling thread. A Dask actor call
crosses the client's event loop thread, the worker's event loop and its actor
thread, each hop a thread switch and a scheduling delay; on a loaded machine
that costs milliseconds, where this channel costs about a tenth of one.

Only msgpack travels (numbers, strings, bytes and lists of them), never
pickles, and a connection must first present the replica's random token,
which the client learned through Dask. Clusters whose workers speak anything
but plain TCP (TLS, say) keep their transport: there the calls go as Dask
actor calls, through the same dispatcher on the replica.

A call's outcome is its value, the exception the replica raised (the
store's own, such as ValueError, raised again here), or a failure: the
connection broke (the worker died) or no answer came within the deadline."""

from __future__ import annotations

import builtins
import hmac
import select
import socket
import struct
import threading
import time
from collections.abc import Callable, Sequence
from typing import Any

import msgpack  # type: ignore[import-untyped]

from ._wire import _TransactionAborted

_LENGTH = struct.Struct("<Q")
_TOKEN_BYTES = 16
# Replies up to this size are read into one buffer with their length prefix.
_FIRST_READ = 1 << 16
# How often a wait for a Dask actor call looks up whether its worker is gone.
_LIVENESS_POLL_SECONDS = 0.25


def _pack(value: Any) -> bytes:
    packed: bytes = msgpack.packb(value, use_bin_type=True)
    return packed


def _unpack(data: bytes | bytearray | memoryview) -> Any:
    return msgpack.unpackb(data, raw=False, use_list=True)


def _error_reply(exc: BaseException) -> list[Any]:
    return [1, type(exc).__name__, str(exc)]


def _raised(name: str, message: str) -> Exception:
    """The exception a replica raised, rebuilt here: Python's own exception
    types and the transaction refusal as themselves, anything else as a
    RuntimeError naming its type."""
    if name == _TransactionAborted.__name__:
        return _TransactionAborted(message)
    kind = getattr(builtins, name, None)
    if isinstance(kind, type) and issubclass(kind, Exception):
        return kind(message)
    return RuntimeError(f"{name}: {message}")


# -- the replica's side ---------------------------------------------------------


def _receive_exactly(connection: socket.socket, size: int) -> bytearray | None:
    buffer = bytearray(size)
    view = memoryview(buffer)
    got = 0
    while got < size:
        n = connection.recv_into(view[got:])
        if n == 0:
            return None
        got += n
    return buffer


class _Frames:
    """The frames arriving on a blocking connection, read into one buffer
    that is kept between frames (grown for a large frame, then given back)."""

    def __init__(self, connection: socket.socket) -> None:
        self._connection = connection
        self._buffer = bytearray(_FIRST_READ)
        self._got = 0  # bytes in the buffer
        self._used = 0  # of which the previous frame's

    def next(self) -> memoryview | None:
        """The next frame's body, valid until the next call; None at the end."""
        leftover = self._got - self._used
        if leftover:
            self._buffer[:leftover] = self._buffer[self._used : self._got]
        if len(self._buffer) > _FIRST_READ and leftover <= _FIRST_READ:
            self._buffer = self._buffer[: max(leftover, _FIRST_READ)]
        self._got, self._used = leftover, 0
        if not self._fill(_LENGTH.size):
            return None
        end = _LENGTH.size + _LENGTH.unpack_from(self._buffer)[0]
        if end > len(self._buffer):
            self._buffer.extend(bytes(end - len(self._buffer)))
        if not self._fill(end):
            return None
        self._used = end
        return memoryview(self._buffer)[_LENGTH.size : end]

    def _fill(self, size: int) -> bool:
        view = memoryview(self._buffer)
        while self._got < size:
            n = self._connection.recv_into(view[self._got :])
            if n == 0:
                return False
            self._got += n
        return True


def _send_frame(connection: socket.socket, body: bytes) -> None:
    parts = [memoryview(_LENGTH.pack(len(body))), memoryview(body)]
    while parts:
        _consume(parts, connection.sendmsg(parts))


def _consume(parts: list[memoryview], sent: int) -> None:
    """Drops the first `sent` bytes of `parts`."""
    while sent and parts:
        if sent < len(parts[0]):
            parts[0] = parts[0][sent:]
            return
        sent -= len(parts.pop(0))


class _Server:
    """Serves one replica's calls: a thread per connection answers its
    requests in turn (the handler serialises the replica's steps)."""

    def __init__(self, host: str, token: bytes, handle: Callable[[str, list[Any]], Any]) -> None:
        family = socket.AF_INET6 if ":" in host else socket.AF_INET
        self._listener = socket.create_server((host, 0), family=family, backlog=64)
        self.host = host
        self.port: int = self._listener.getsockname()[1]
        self._token = token
        self._handle = handle
        self._lock = threading.Lock()
        self._connections: set[socket.socket] = set()
        self._closed = False
        threading.Thread(target=self._accept, name="velmora-shard-listener", daemon=True).start()

    def _accept(self) -> None:
        while True:
            try:
                connection, _ = self._listener.accept()
            except OSError:
                return  # closed
            with self._lock:
                if self._closed:
                    connection.close()
                    return
                self._connections.add(connection)
            threading.Thread(
                target=self._serve, args=(connection,), name="velmora-shard-connection", daemon=True
            ).start()

    def _serve(self, connection: socket.socket) -> None:
        try:
            connection.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            head = _receive_exactly(connection, _LENGTH.size)
            if head is None or _LENGTH.unpack(head)[0] != _TOKEN_BYTES:
                return
            token = _receive_exactly(connection, _TOKEN_BYTES)
            if token is None or not hmac.compare_digest(bytes(token), self._token):
                return
            frames = _Frames(connection)
            while (request := frames.next()) is not None:
                try:
                    method, args = _unpack(request)
                    reply = _pack([0, self._handle(method, args)])
                except Exception as exc:
                    reply = _pack(_error_reply(exc))
                del request  # a view of the buffer that the next frame reuses
                _send_frame(connection, reply)
        except OSError:
            return  # the client went away, or the server is closing
        finally:
            with self._lock:
                self._connections.discard(connection)
            connection.close()

    def close(self) -> None:
        with self._lock:
            self._closed = True
            connections, self._connections = list(self._connections), set()
        # shutdown wakes the threads blocked in accept and recv; close alone does not.
        for sock in [self._listener, *connections]:
            try:
                sock.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass
        self._listener.close()


# -- the client's side ----------------------------------------------------------


class _Call:
    """One call to one replica and, once waited for, its outcome: `value`,
    `error` (raised by the replica) or `failure` (why no answer came;
    `dead` when the replica's process or connection is gone)."""

    __slots__ = ("replica", "method", "args", "value", "error", "failure", "dead", "done", "_reply")

    def __init__(self, replica: Any, method: str, args: Sequence[Any]) -> None:
        self.replica = replica
        self.method = method
        self.args = args
        self.value: Any = None
        self.error: Exception | None = None
        self.failure: str | None = None
        self.dead = False
        self.done = False
        self._reply: Any = None

    @property
    def ok(self) -> bool:
        return self.done and self.error is None and self.failure is None

    def _fail(self, reason: str, dead: bool) -> None:
        self.failure, self.dead, self.done = reason, dead, True

    def _answer(self, reply: Any) -> None:
        if reply[0] == 0:
            self.value = reply[1]
        else:
            self.error = _raised(reply[1], reply[2])
        self.done = True


class _DirectChannel:
    """A connection to one replica's server, opened when first needed and
    dropped on any failure (a reply that never came must not be read as the
    answer to a later call). Requests and replies move without blocking, so
    that one replica that stops reading holds up no other."""

    def __init__(self, host: str, port: int, token: bytes) -> None:
        self._endpoint = (host, port)
        self._token = token
        self._socket: socket.socket | None = None
        self._outgoing: list[memoryview] = []
        # The reply being read: a buffer and how much of it has arrived.
        self._buffer = bytearray()
        self._got = 0

    def close(self) -> None:
        if self._socket is not None:
            self._socket.close()
            self._socket = None
        self._outgoing = []

    def fileno(self) -> int:
        assert self._socket is not None
        return self._socket.fileno()

    @property
    def sending(self) -> bool:
        return bool(self._outgoing)

    def send(self, call: _Call, deadline: float) -> None:
        """Starts sending the call: what the socket takes now goes at once,
        the rest as `flush` is called."""
        try:
            if self._socket is None:
                # A frozen process still completes the handshake (the kernel
                # does): only an unreachable host waits here.
                self._socket = socket.create_connection(self._endpoint, timeout=_remaining(deadline))
                self._socket.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
                self._socket.sendall(_LENGTH.pack(_TOKEN_BYTES) + self._token)
                self._socket.setblocking(False)
        except TimeoutError:
            self.close()
            call._fail("no answer within the timeout", dead=False)
            return
        except OSError as exc:
            self.close()
            call._fail(f"its worker cannot be reached ({exc})", dead=True)
            return
        body = _pack([call.method, call.args])
        self._outgoing = [memoryview(_LENGTH.pack(len(body))), memoryview(body)]
        if len(self._buffer) != _FIRST_READ:
            self._buffer = bytearray(_FIRST_READ)  # kept between calls, unless grown
        self._got = 0
        self.flush(call)

    def flush(self, call: _Call) -> None:
        assert self._socket is not None
        try:
            while self._outgoing:
                # Header and body in one system call: each send on loopback
                # may wake the replica, which then waits for the rest.
                _consume(self._outgoing, self._socket.sendmsg(self._outgoing))
        except BlockingIOError:
            return
        except OSError as exc:
            self.close()
            call._fail(f"its connection broke ({exc})", dead=True)

    def receive(self, call: _Call) -> None:
        """Reads what has arrived of the reply; sets the call's outcome once
        the whole reply is there."""
        assert self._socket is not None
        try:
            n = self._socket.recv_into(memoryview(self._buffer)[self._got :])
        except BlockingIOError:
            return
        except OSError as exc:
            self.close()
            call._fail(f"its connection broke ({exc})", dead=True)
            return
        if n == 0:
            self.close()
            call._fail("its worker closed the connection", dead=True)
            return
        self._got += n
        if self._got < _LENGTH.size:
            return
        end = _LENGTH.size + _LENGTH.unpack_from(self._buffer)[0]
        if end > len(self._buffer):
            larger = bytearray(end)
            larger[: self._got] = memoryview(self._buffer)[: self._got]
            self._buffer = larger
        if self._got == end:
            call._answer(_unpack(memoryview(self._buffer)[_LENGTH.size : end]))


class _ActorChannel:
    """Calls through Dask's actor machinery, for workers that do not speak
    plain TCP."""

    def __init__(self, actor: Any, actor_future: Any) -> None:
        self._actor = actor
        self._actor_future = actor_future
        self._pending: Any = None

    def close(self) -> None:
        self._pending = None

    def send(self, call: _Call, deadline: float) -> None:
        if self._actor_future.status != "finished":
            call._fail(f"its worker was lost (actor {self._actor_future.status})", dead=True)
            return
        self._pending = self._actor.call(_pack([call.method, call.args]))

    def wait(self, call: _Call, deadline: float) -> None:
        while not call.done:
            remaining = deadline - time.monotonic()
            if remaining <= 0 and not self._pending.done():
                call._fail("no answer within the timeout", dead=False)
                return
            try:
                reply = self._pending.result(timeout=max(0.0, min(remaining, _LIVENESS_POLL_SECONDS)))
                call._answer(_unpack(reply))
            except TimeoutError:
                if self._actor_future.status != "finished":
                    call._fail(f"its worker was lost (actor {self._actor_future.status})", dead=True)
            except OSError as exc:
                call._fail(f"its worker cannot be reached ({exc})", dead=True)


def _remaining(deadline: float) -> float:
    # A socket timeout of 0 would mean non-blocking, not "already late".
    return max(deadline - time.monotonic(), 1e-3)


def _exchange(calls: list[_Call], deadline: float) -> None:
    """Sends every call at once, then waits for all of them until `deadline`;
    each call ends with its outcome."""
    for call in calls:
        call.replica.channel.send(call, deadline)
    waiting: dict[int, _Call] = {}
    for call in calls:
        if call.done:
            continue
        channel = call.replica.channel
        if isinstance(channel, _ActorChannel):
            channel.wait(call, deadline)
        else:
            waiting[channel.fileno()] = call
    if not waiting:
        return
    poller = select.poll()
    for fd, call in waiting.items():
        poller.register(fd, select.POLLIN | (select.POLLOUT if call.replica.channel.sending else 0))
    while waiting:
        remaining = deadline - time.monotonic()
        if remaining <= 0:
            break
        for fd, event in poller.poll(max(1, int(remaining * 1000 + 0.999))):
            call = waiting[fd]
            channel = call.replica.channel
            if event & select.POLLOUT and channel.sending:
                channel.flush(call)
                if not call.done and not channel.sending:
                    poller.modify(fd, select.POLLIN)
            if not call.done and event & ~select.POLLOUT:
                channel.receive(call)
            if call.done:
                poller.unregister(fd)
                del waiting[fd]
    for call in waiting.values():
        call.replica.channel.close()
        call._fail("no answer within the timeout", dead=False)
