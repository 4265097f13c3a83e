"""A vector store split into shards that live in other processes.

`ShardedStore` spreads its vectors over `shards` Dask actors, each holding
one `velmora.Index` in a worker process, and answers queries by
asking every shard and merging what they return.  Every process encodes and
scores identically, so a sharded query returns the same (id, score) pairs,
bit for bit, as one local store holding the same vectors.

Needs Dask distributed: ``pip install 'velmora[distributed]'``.  See
docs/distributed.md for the guarantees and figures.
"""
from __future__ import annotations

import contextlib
import functools
import json
import math
import operator
import os
import sys
import threading
import time
import uuid
import weakref
from array import array
from collections import deque
from collections.abc import Callable, Iterator, Sequence
from contextlib import contextmanager
from typing import Any, SupportsFloat, SupportsIndex, TypeAlias, overload

import numpy as np
import numpy.typing as npt

from . import CompressedVectorStore, __version__
from ._index import Index as _Index
from ._index import _float_array, _ids_array

try:
    from distributed import Actor, Client, LocalCluster
except ImportError as exc:  # pragma: no cover - depends on the environment
    raise ImportError(
        "velmora.distributed needs Dask distributed; install it with "
        "pip install 'velmora[distributed]'"
    ) from exc

__all__ = ["ShardedStore", "ShardUnavailableError", "shard_of"]

# What the local store accepts: an id is an int or anything with __index__
# (a numpy integer, say); a vector is a sequence of numbers (floats, or
# anything with __float__ or __index__) or a numpy array.
Vector: TypeAlias = Sequence[SupportsFloat | SupportsIndex] | npt.NDArray[Any]

_MASK64 = (1 << 64) - 1
# How often a wait for a shard looks up whether the shard's worker is still
# known to the scheduler, so that a dead worker is reported before the timeout.
_LIVENESS_POLL_SECONDS = 0.25
# Exactly representable values, so the engine check needs no maths library
# and every machine builds the same probe vectors.
_PROBE_LEVELS = (-1.5, -0.75, -0.25, 0.0, 0.5, 1.0, 1.25, 2.0)


class ShardUnavailableError(RuntimeError):
    """A shard did not answer: its worker process died, its connection broke,
    or it did not reply within the store's timeout."""

    def __init__(self, shard: int, address: str, reason: str) -> None:
        super().__init__(f"shard {shard} (worker {address}) is unavailable: {reason}")
        self.shard = shard
        self.address = address
        self.reason = reason

    def __reduce__(self) -> tuple[type, tuple[int, str, str]]:
        return type(self), (self.shard, self.address, self.reason)


def _splitmix64(value: int) -> int:
    z = (value + 0x9E3779B97F4A7C15) & _MASK64
    z = ((z ^ (z >> 30)) * 0xBF58476D1CE4E5B9) & _MASK64
    z = ((z ^ (z >> 27)) * 0x94D049BB133111EB) & _MASK64
    return z ^ (z >> 31)


def shard_of(id: SupportsIndex, shards: int) -> int:
    """The shard that holds `id` among `shards` shards.

    A fixed integer mix of the id (splitmix64) modulo the shard count: the same
    in every process and Python version, unlike ``hash()``."""
    return _splitmix64(operator.index(id)) % shards


def _probe_vectors(dim: int) -> list[list[float]]:
    return [[_PROBE_LEVELS[(i * step + offset) % len(_PROBE_LEVELS)] for i in range(dim)]
            for step, offset in ((1, 0), (3, 5), (5, 2))]


def _probe_scores(dim: int, bits: int, probes: list[list[float]]) -> list[tuple[int, float]]:
    """Scores that depend on the rotation, the codebook and the scoring code:
    equal in two processes only when both encode and score identically."""
    store = CompressedVectorStore(dim, bits)
    store.insert_batch(list(enumerate(probes[1:])))
    return store.query_all(probes[0])


def _close_all(made: list[Any]) -> None:
    # Newest first: the client before the cluster it talks to.  One that
    # fails to close does not keep the others open.
    failure = None
    while made:
        try:
            made.pop().close()
        except Exception as exc:
            failure = failure or exc
    if failure is not None:
        raise failure


class _TransactionAborted(RuntimeError):
    pass


# The records of a batch or of the ids it updated: ids, norms, packed codes.
_Records = tuple[np.ndarray, np.ndarray, np.ndarray]


def _one_at_a_time(method: Callable[..., Any]) -> Callable[..., Any]:
    # Dask runs a worker's actor calls on one thread today; the lock keeps a
    # shard's steps whole should that ever change.
    @functools.wraps(method)
    def locked(self: _Shard, *args: Any) -> Any:
        with self._lock:
            return method(self, *args)
    return locked


class _Shard:
    """The actor behind one shard: a `velmora.Index` in a worker.

    Batches arrive in two steps.  `prepare` encodes the shard's part on a
    scratch index, which proves that the part applies without touching the
    shard's index, and keeps the encoded records; `commit` imports them and
    remembers which ids it added and the previous records of the ids it
    updated, so that `abort` can restore the shard exactly."""

    def __init__(self, dim: int, bits: int) -> None:
        self._dim = dim
        self._bits = bits
        self._index = _Index(dim, bits)
        self._staged: dict[str, _Records] = {}
        self._last_commit: tuple[str | None, list[int], _Records | None] = (None, [], None)
        # A prepare or commit may arrive after the client gave up on it and
        # aborted; remembering recent aborts makes such late calls refuse.
        self._aborted: deque[str] = deque(maxlen=256)
        self._lock = threading.Lock()

    @_one_at_a_time
    def identity(self, probes: list[list[float]]) -> tuple[str, list[tuple[int, float]]]:
        return __version__, _probe_scores(self._dim, self._bits, probes)

    @_one_at_a_time
    def insert(self, id: int, vector: bytes) -> int:
        self._index.add([id], _unwire_matrix(vector, self._dim))
        return len(self._index)

    @_one_at_a_time
    def remove(self, id: int) -> tuple[bool, int]:
        return self._index.remove([id]) == 1, len(self._index)

    @_one_at_a_time
    def remove_many(self, ids: bytes) -> tuple[int, int]:
        return self._index.remove(_unwire_ids(ids)), len(self._index)

    @_one_at_a_time
    def stats(self) -> tuple[int, int]:
        return len(self._index), self._index.memory_bytes()

    @_one_at_a_time
    def query(self, vector: bytes, top_k: int) -> tuple[bytes, bytes]:
        return _wire_results(*self._index.search(_unwire_matrix(vector, self._dim)[0], top_k))

    @_one_at_a_time
    def query_all(self, vector: bytes) -> tuple[bytes, bytes]:
        return _wire_results(*self._index.search(_unwire_matrix(vector, self._dim)[0], len(self._index)))

    @_one_at_a_time
    def search(self, queries: bytes, k: int, allowed: bytes | None) -> tuple[bytes, bytes, int]:
        ids, scores = self._index.search(_unwire_matrix(queries, self._dim), k,
                                         allowed=None if allowed is None else _unwire_ids(allowed))
        return (*_wire_results(ids, scores), ids.shape[1])

    @_one_at_a_time
    def prepare(self, txn: str, ids: bytes, vectors: bytes) -> None:
        if txn in self._aborted:
            raise _TransactionAborted(txn)
        scratch = _Index(self._dim, self._bits)
        scratch.add(_unwire_ids(ids), _unwire_matrix(vectors, self._dim))
        # One record per id, in first-occurrence order, holding its last
        # vector: importing them equals inserting the pairs one by one.
        unique = scratch.ids
        self._staged[txn] = (unique, *scratch.export_records(unique))

    @_one_at_a_time
    def commit(self, txn: str) -> int:
        if txn in self._aborted or txn not in self._staged:
            raise _TransactionAborted(txn)
        ids, norms, codes = self._staged.pop(txn)
        present = np.array([int(i) in self._index for i in ids], dtype=bool)
        previous = (ids[present], *self._index.export_records(ids[present]))
        added = ids[~present].tolist()
        self._index.import_records(ids, norms, codes)  # all or nothing
        self._last_commit = (txn, added, previous)
        return len(self._index)

    @_one_at_a_time
    def abort(self, txn: str) -> int:
        self._aborted.append(txn)
        self._staged.pop(txn, None)
        committed, added, previous = self._last_commit
        if committed == txn:
            self._restore(added, previous)
        return len(self._index)

    @_one_at_a_time
    def export(self) -> bytes:
        return self._index.to_bytes()

    @_one_at_a_time
    def load(self, data: bytes, shard: int, shards: int) -> int:
        index = _Index.from_bytes(data)
        if (index.dim, index.bits) != (self._dim, self._bits):
            raise ValueError(f"shard {shard} holds dim {index.dim} and {index.bits} bits, "
                             f"not dim {self._dim} and {self._bits} bits")
        misplaced = np.flatnonzero(_shards_of(index.ids, shards) != shard)
        if misplaced.size:
            raise ValueError(f"shard {shard} holds id {int(index.ids[misplaced[0]])}, which belongs to "
                             f"shard {shard_of(int(index.ids[misplaced[0]]), shards)}")
        self._index = index
        self._last_commit = (None, [], None)
        return len(index)

    def _restore(self, added: list[int], previous: _Records | None) -> None:
        # Added ids sit at the end in the order they came; removing them last
        # first moves no other entry. Updated ids get their previous records
        # back in place. Every position and code is then as before.
        self._index.remove(list(reversed(added)))
        if previous is not None and len(previous[0]):
            self._index.import_records(*previous)
        self._last_commit = (None, [], None)


def _as_positive_seconds(timeout: Any) -> float:
    if isinstance(timeout, bool) or not isinstance(timeout, (int, float)):
        raise TypeError(f"timeout must be a number of seconds, got {type(timeout).__name__}")
    if not (timeout > 0 and math.isfinite(timeout)):
        raise ValueError(f"timeout must be a positive finite number of seconds, got {timeout!r}")
    return float(timeout)


def _f32_array(vector: Any) -> array:
    # Narrowing to f32 here is the narrowing that the store itself applies;
    # the shard then receives values that convert to themselves.  Lists and
    # tuples have a faster path; anything else is iterated, since array()
    # would read bytes and bytearray as raw memory.
    if type(vector) is list or type(vector) is tuple:
        return array("f", vector)
    return array("f", iter(vector))


# Vectors and ids travel as little-endian bytes: a list of small Python
# objects costs far more to serialise than the data it holds.
def _wire(values: array) -> bytes:
    if sys.byteorder != "little":
        values = array(values.typecode, values)
        values.byteswap()
    return values.tobytes()


def _unwire(typecode: str, data: bytes) -> array:
    values = array(typecode)
    values.frombytes(data)
    if sys.byteorder != "little":
        values.byteswap()
    return values


def _unpack_ranked(ids: bytes, scores: bytes) -> list[tuple[int, float]]:
    return list(zip(_unwire("Q", ids), _unwire("f", scores)))


def _wire_array(values: np.ndarray, dtype: str) -> bytes:
    return np.ascontiguousarray(values, dtype=dtype).tobytes()


def _is_single_id(value: Any) -> bool:
    """Anything but an array-like of ids (a sequence, not a str) is taken as
    one id, and checked as the store checks one."""
    if isinstance(value, np.ndarray):
        return value.ndim == 0
    return isinstance(value, (str, bytes)) or not hasattr(value, "__iter__")


_MANIFEST = "manifest.json"


def _write_atomically(path: str, data: bytes) -> None:
    """Writes a temporary file beside `path`, flushes it to disk, renames it
    over `path` and flushes the directory; removes the temporary file if
    anything fails."""
    directory = os.path.dirname(path) or "."
    temp = os.path.join(directory, f".{os.path.basename(path)}.tmp-{os.getpid()}-{uuid.uuid4().hex[:8]}")
    try:
        with open(temp, "xb") as f:
            f.write(data)
            f.flush()
            os.fsync(f.fileno())
        os.replace(temp, path)
    except BaseException:
        with contextlib.suppress(OSError):
            os.remove(temp)
        raise
    fd = os.open(directory, os.O_RDONLY | os.O_DIRECTORY)
    try:
        os.fsync(fd)
    finally:
        os.close(fd)


def _count_in_file(data: bytes) -> int:
    return int.from_bytes(data[32:40], "little")


def _read_manifest_files(path: str) -> list[str]:
    """The files a previous save wrote, or none if there is no readable manifest."""
    try:
        return list(_load_manifest(path)["files"])
    except (OSError, ValueError):
        return []


def _load_manifest(path: str) -> dict[str, Any]:
    with open(path, "rb") as f:
        raw = f.read()
    try:
        manifest = json.loads(raw)
    except ValueError as exc:
        raise ValueError(f"{path}: not a sharded store manifest ({exc})") from None
    if not isinstance(manifest, dict) or manifest.get("format") != "velmora sharded store":
        raise ValueError(f"{path}: not a sharded store manifest")
    if manifest.get("version") != 1:
        raise ValueError(f"{path}: manifest version {manifest.get('version')!r} is not supported (1 is)")
    shards, files = manifest.get("shards"), manifest.get("files")
    if (not isinstance(shards, int) or isinstance(shards, bool) or shards < 1 or not isinstance(files, list)
            or len(files) != shards or manifest.get("routing") != "splitmix64"
            or not all(isinstance(n, str) and n and os.path.basename(n) == n and not n.startswith(".")
                       for n in files)):
        raise ValueError(f"{path}: inconsistent manifest (shards, files or routing)")
    for key in ("dim", "bits"):
        if not isinstance(manifest.get(key), int) or isinstance(manifest.get(key), bool):
            raise ValueError(f"{path}: manifest has no integer {key}")
    return manifest


def _unwire_ids(data: bytes) -> np.ndarray:
    return np.frombuffer(data, dtype="<u8").astype(np.uint64)


def _unwire_matrix(data: bytes, dim: int) -> np.ndarray:
    return np.frombuffer(data, dtype="<f4").astype(np.float32).reshape(-1, dim)


def _wire_results(ids: np.ndarray, scores: np.ndarray) -> tuple[bytes, bytes]:
    return ids.astype("<u8").tobytes(), scores.astype("<f4").tobytes()


def _shards_of(ids: np.ndarray, shards: int) -> np.ndarray:
    """shard_of for a uint64 array (numpy's uint64 arithmetic wraps like the mix's)."""
    z = np.asarray(ids, dtype=np.uint64) + np.uint64(0x9E3779B97F4A7C15)
    z = (z ^ (z >> np.uint64(30))) * np.uint64(0xBF58476D1CE4E5B9)
    z = (z ^ (z >> np.uint64(27))) * np.uint64(0x94D049BB133111EB)
    return (z ^ (z >> np.uint64(31))) % np.uint64(shards)


class ShardedStore:
    """A vector store whose vectors live in `shards` Dask actors, each holding
    one `velmora.Index`. It has the methods of `CompressedVectorStore` and the
    array methods of `velmora.Index` (add, search, remove of many ids), and
    saves to and loads from a directory.

    With neither `client` nor `address`, starts a local cluster of one worker
    process per shard (closed again by `close`); with `address`, connects to
    the scheduler there; with `client`, uses that client and leaves it open.
    Every call to a shard waits at most `timeout` seconds and then raises
    `ShardUnavailableError`, as it does at once for a shard whose worker died.

    Arguments are checked in this process with the local store's (or, for the
    array methods, the local index's) own conversions, so bad input raises
    exactly what `CompressedVectorStore` (or `Index`) raises and reaches no
    shard.  Calls on one `ShardedStore` run one at a
    time."""

    def __init__(self, dim: int, bits: int, shards: int = 2, client: Client | None = None,
                 address: str | None = None, timeout: float = 30.0) -> None:
        # The local store validates dim and bits with its own messages and
        # then serves as the empty store that checks every later argument.
        self._empty = CompressedVectorStore(dim, bits)
        self._dim = operator.index(dim)
        self._bits = operator.index(bits)
        if isinstance(shards, bool) or not isinstance(shards, int):
            raise TypeError(f"shards must be an int, got {type(shards).__name__}")
        if shards < 1:
            raise ValueError(f"shards must be at least 1, got {shards}")
        self._timeout = _as_positive_seconds(timeout)
        if client is not None and address is not None:
            raise ValueError("give either client or address, not both")
        if client is not None and not isinstance(client, Client):
            raise TypeError(f"client must be a distributed.Client, got {type(client).__name__}")
        if address is not None and not isinstance(address, str):
            raise TypeError(f"address must be a str, got {type(address).__name__}")

        self._lock = threading.Lock()
        self._running_in: int | None = None
        self._closed = False
        self._cluster: LocalCluster | None = None
        self._client: Client | None = client
        # What this store made, closed by close() or, failing that, when the
        # store is collected or the interpreter exits.
        self._made: list[Client | LocalCluster] = []
        self._close_made = weakref.finalize(self, _close_all, self._made)
        self._actor_futures: list[Any] = []
        self._actors: list[Actor] = []
        self._addresses: list[str] = []
        self._counts = [0] * shards
        self._counts_known = True
        try:
            if address is not None:
                self._client = Client(address, timeout=self._timeout, set_as_default=False,
                                      direct_to_workers=True)
                self._made.append(self._client)
            elif client is None:
                self._cluster = self._start_local_cluster(shards)
                self._made.append(self._cluster)
                self._client = Client(self._cluster, set_as_default=False,
                                      direct_to_workers=True, timeout=self._timeout)
                self._made.append(self._client)
            self._start_shards(shards)
        except BaseException:
            self._release()
            raise

    # -- set-up and tear-down ---------------------------------------------

    @staticmethod
    def _start_local_cluster(shards: int) -> LocalCluster:
        env = {}
        if "RAYON_NUM_THREADS" not in os.environ:
            # Split the cores between the workers instead of giving each
            # worker's encoding and scoring pool every core.
            env["RAYON_NUM_THREADS"] = str(max(1, (os.cpu_count() or 1) // shards))
        return LocalCluster(n_workers=shards, threads_per_worker=1, processes=True,
                            dashboard_address=":0", env=env)

    def _start_shards(self, shards: int) -> None:
        self._client.wait_for_workers(1, timeout=self._timeout)
        workers = sorted(self._client.run(os.getpid))
        self._addresses = [workers[i % len(workers)] for i in range(shards)]
        tag = uuid.uuid4().hex[:12]
        for i, worker in enumerate(self._addresses):
            # Pinned to its worker: a shard that dies must be reported, not
            # silently rebuilt empty somewhere else.
            self._actor_futures.append(self._client.submit(
                _Shard, self._dim, self._bits, actor=True, workers=[worker],
                allow_other_workers=False, pure=False, key=f"velmora-shard-{i}-{tag}"))
        deadline = time.monotonic() + self._timeout
        for i, future in enumerate(self._actor_futures):
            try:
                future.result(timeout=max(0.0, deadline - time.monotonic()))
            except (OSError, TimeoutError) as exc:
                raise ShardUnavailableError(i, self._addresses[i], f"could not start: {exc}") from exc
            # Bound to this store's client, whichever client is the default.
            with self._client.as_current():
                self._actors.append(Actor(_Shard, self._addresses[i], future.key))

        probes = _probe_vectors(self._dim)
        expected = _probe_scores(self._dim, self._bits, probes)
        for i, (version, scores) in enumerate(self._gather(
                [(i, self._actors[i].identity(probes)) for i in range(shards)])):
            if scores != expected:
                raise RuntimeError(
                    f"shard {i} (worker {self._addresses[i]}) runs velmora {version}, which "
                    f"scores differently from velmora {__version__} in this process")

    def _release(self) -> None:
        futures, self._actor_futures, self._actors = self._actor_futures, [], []
        try:
            if futures and self._client is not None and self._client.status == "running":
                # Cancelling drops the actors now, whoever still holds a proxy.
                self._client.cancel(futures, force=True)
        finally:
            self._close_made()

    def close(self) -> None:
        """Release the shards, and the client and cluster if this store made
        them.  A given client stays open.  Calling it again does nothing."""
        self._refuse_reentry()
        with self._lock:
            if not self._closed:
                self._closed = True
                self._release()

    def __enter__(self) -> ShardedStore:
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.close()

    # -- properties ---------------------------------------------------------

    @property
    def dim(self) -> int:
        return self._dim

    @property
    def bits(self) -> int:
        return self._bits

    @property
    def shards(self) -> int:
        return len(self._counts)

    @property
    def timeout(self) -> float:
        return self._timeout

    @property
    def client(self) -> Client:
        return self._client

    @property
    def addresses(self) -> tuple[str, ...]:
        """The worker address of each shard, by shard number."""
        return tuple(self._addresses)

    def shard_of(self, id: SupportsIndex) -> int:
        """The shard that holds, or would hold, `id`."""
        self._empty.remove(id)
        return shard_of(operator.index(id), self.shards)

    def __repr__(self) -> str:
        if self._closed:
            return f"ShardedStore(dim={self._dim}, bits={self._bits}, shards={self.shards}, closed)"
        return (f"ShardedStore(dim={self._dim}, bits={self._bits}, shards={self.shards}, "
                f"n={sum(self._counts)})")

    # -- talking to shards --------------------------------------------------

    def _refuse_reentry(self) -> None:
        # Argument conversion may run user code that calls back in; waiting
        # for the lock would then wait for ever.
        if self._running_in == threading.get_ident():
            raise RuntimeError("ShardedStore is already running a call in this thread")

    @contextmanager
    def _call(self) -> Iterator[None]:
        self._refuse_reentry()
        with self._lock:
            if self._closed:
                raise RuntimeError("ShardedStore is closed")
            self._running_in = threading.get_ident()
            try:
                yield
            finally:
                self._running_in = None

    def _gather(self, calls: list[tuple[int, Any]], deadline: float | None = None) -> list[Any]:
        """Waits for calls already sent to shards, in order, all within one
        timeout; raises ShardUnavailableError for the first shard that fails."""
        if deadline is None:
            deadline = time.monotonic() + self._timeout
        results = []
        for shard, pending in calls:
            while True:
                remaining = deadline - time.monotonic()
                if remaining <= 0:
                    raise ShardUnavailableError(
                        shard, self._addresses[shard], f"no answer within {self._timeout:g} s")
                try:
                    results.append(pending.result(timeout=min(remaining, _LIVENESS_POLL_SECONDS)))
                    break
                except TimeoutError:
                    self._check_alive(shard)
                except OSError as exc:
                    raise ShardUnavailableError(
                        shard, self._addresses[shard], f"its worker cannot be reached ({exc})") from exc
        return results

    def _check_alive(self, shard: int) -> None:
        status = self._actor_futures[shard].status
        if status != "finished":
            raise ShardUnavailableError(
                shard, self._addresses[shard], f"its worker was lost (actor {status})")

    def _send(self, shard: int, method: str, *args: Any) -> Any:
        self._check_alive(shard)
        return getattr(self._actors[shard], method)(*args)

    def _ask_all(self, method: str, *args: Any, shards: Sequence[int] | None = None) -> list[Any]:
        targets = range(self.shards) if shards is None else shards
        return self._gather([(i, self._send(i, method, *args)) for i in targets])

    def _refresh_counts(self) -> list[tuple[int, int]]:
        stats = self._ask_all("stats")
        self._counts = [n for n, _ in stats]
        self._counts_known = True
        return stats

    # -- the store's methods ----------------------------------------------

    def insert(self, id: SupportsIndex, vector: Vector) -> None:
        """Insert or update one vector, on the shard its id maps to."""
        with self._call():
            self._fresh_store().insert(id, vector)
            key = operator.index(id)
            payload = self._checked_vector(vector)
            shard = shard_of(key, self.shards)
            self._counts_known = False  # until the shard says how many it holds
            self._counts[shard], = self._gather(
                [(shard, self._send(shard, "insert", key, _wire(payload)))])
            self._counts_known = True

    def insert_batch(self, pairs: Sequence[tuple[SupportsIndex, Vector]]) -> None:
        """Insert many (id, vector) pairs: all of them, or none if any is bad.

        Every pair is checked here first.  Each shard then encodes its part
        without changing its store; only when every shard has done so do
        they apply their parts.  A shard lost while applying makes the other
        shards undo their part exactly: the ids the batch added are taken out
        and the ids it updated get their previous records back (see
        docs/distributed.md)."""
        with self._call():
            self._fresh_store().insert_batch(pairs)
            parts: dict[int, tuple[array, array]] = {}
            for id, vector in pairs:
                key = operator.index(id)
                ids, vectors = parts.setdefault(shard_of(key, self.shards), (array("Q"), array("f")))
                ids.append(key)
                vectors.extend(self._checked_vector(vector))
            self._apply_batch({i: (_wire(a), _wire(b)) for i, (a, b) in parts.items()})

    def _apply_batch(self, parts: dict[int, tuple[bytes, bytes]]) -> None:
        """Prepares and commits each shard's (ids, vectors) part, or none."""
        if not parts:
            return
        txn = uuid.uuid4().hex
        involved = sorted(parts)
        self._counts_known = False
        try:
            self._gather([(i, self._send(i, "prepare", txn, *parts[i])) for i in involved])
            counts = self._gather([(i, self._send(i, "commit", txn)) for i in involved])
        except BaseException as exc:
            self._abort(txn, involved, exc.shard if isinstance(exc, ShardUnavailableError) else None)
            raise
        for i, n in zip(involved, counts):
            self._counts[i] = n
        self._counts_known = True

    def _abort(self, txn: str, shards: list[int], unreachable: int | None) -> None:
        """Undoes a batch on every shard it reached, within one timeout.

        Best effort: a shard that cannot be reached is already reported by the
        error that led here.  The abort is still sent to the shard that failed,
        without waiting for it, so that a late prepare or commit is refused."""
        deadline = time.monotonic() + self._timeout
        for i in shards:
            try:
                call = self._send(i, "abort", txn)
                if i != unreachable:
                    self._counts[i], = self._gather([(i, call)], deadline)
            except Exception:
                continue

    @overload
    def remove(self, id: SupportsIndex) -> bool: ...
    @overload
    def remove(self, id: Sequence[SupportsIndex] | npt.NDArray[np.integer[Any]]) -> int: ...
    def remove(self, id: Any) -> bool | int:
        """Remove a vector by id and return True if it existed; or, given a
        1-D array-like of ids, remove them in order and return how many were
        stored (as `velmora.Index.remove`)."""
        if not _is_single_id(id):
            return self._remove_many(id)
        with self._call():
            self._empty.remove(id)
            key = operator.index(id)
            shard = shard_of(key, self.shards)
            self._counts_known = False
            (removed, self._counts[shard]), = self._gather([(shard, self._send(shard, "remove", key))])
            self._counts_known = True
            return removed

    def _remove_many(self, ids: Any) -> int:
        with self._call():
            id_array = _ids_array(ids)
            routed = _shards_of(id_array, self.shards)
            involved = sorted(set(routed.tolist()))
            self._counts_known = False
            results = self._gather([(i, self._send(i, "remove_many", _wire_array(id_array[routed == i], "<u8")))
                                    for i in involved])
            for i, (_, n) in zip(involved, results):
                self._counts[i] = n
            self._counts_known = True
            return sum(removed for removed, _ in results)

    # -- array methods, as velmora.Index has them ----------------------------

    def add(self, ids: npt.ArrayLike, vectors: npt.ArrayLike) -> None:
        """Store row i of `vectors` (shape (n, dim), float32 or float64) under
        ids[i], as `velmora.Index.add` does: all or nothing, with the same
        checks and messages, every row encoded here first."""
        with self._call():
            scratch = _Index(self._dim, self._bits)
            scratch.add(ids, vectors)  # every check, with Index's messages
            id_array = _ids_array(ids)
            rows = np.asarray(_float_array(vectors, "vectors"), dtype=np.float32)
            routed = _shards_of(id_array, self.shards)
            parts = {int(i): (id_array[routed == i], rows[routed == i]) for i in np.unique(routed)}
            self._apply_batch({i: (_wire_array(a, "<u8"), _wire_array(b, "<f4")) for i, (a, b) in parts.items()})

    def search(self, queries: npt.ArrayLike, k: SupportsIndex = 10, *,
               allowed: npt.ArrayLike | None = None) -> tuple[npt.NDArray[np.uint64], npt.NDArray[np.float32]]:
        """The k best stored vectors of each query, as `velmora.Index.search`
        returns them: (ids, scores) of shape (m, c) for (m, dim) queries, (c,)
        for one query, c = min(k, candidates). Scores are bit for bit those of
        one local index; equal scores are ordered by shard, then storage
        order, so ties at the cut-off may differ from a local index."""
        with self._call():
            _Index(self._dim, self._bits).search(queries, k, allowed=allowed)  # every check
            matrix = np.asarray(_float_array(queries, "queries"), dtype=np.float32)
            single = matrix.ndim == 1
            rows = matrix.reshape(1, -1) if single else matrix
            k = min(operator.index(k), (1 << 64) - 1)
            if not self._counts_known:
                self._refresh_counts()
            holding = [i for i, n in enumerate(self._counts) if n]
            payload = _wire_array(rows, "<f4")
            if allowed is None:
                parts = {i: None for i in holding}
            else:
                allowed_ids = _ids_array(allowed, "allowed")
                routed = _shards_of(allowed_ids, self.shards)
                parts = {i: _wire_array(allowed_ids[routed == i], "<u8") for i in holding}
            answers = self._gather([(i, self._send(i, "search", payload, k, parts[i])) for i in holding])
            m = rows.shape[0]
            ids = np.concatenate([np.frombuffer(a, dtype="<u8").reshape(m, kept) for a, _, kept in answers]
                                 + [np.empty((m, 0), np.uint64)], axis=1).astype(np.uint64)
            scores = np.concatenate([np.frombuffer(b, dtype="<f4").reshape(m, kept) for _, b, kept in answers]
                                    + [np.empty((m, 0), np.float32)], axis=1).astype(np.float32)
            # Best first, NaN last (numpy sorts NaN to the end), shard order among equals.
            order = np.argsort(-scores, axis=1, kind="stable")[:, :min(k, scores.shape[1])]
            ids, scores = np.take_along_axis(ids, order, 1), np.take_along_axis(scores, order, 1)
            return (ids[0], scores[0]) if single else (ids, scores)

    # -- files --------------------------------------------------------------

    def save(self, directory: str | os.PathLike[str]) -> None:
        """Write every shard to its own index file in `directory` (created if
        need be), then a manifest naming them. Each file, and the manifest
        last, is replaced atomically, so a save that fails half-way leaves the
        previous save loadable; files of the previous save are removed after
        the new manifest is in place."""
        with self._call():
            os.makedirs(directory, exist_ok=True)
            contents = self._ask_all("export")
            tag = uuid.uuid4().hex[:12]
            files = [f"shard-{i:04d}-{tag}.vidx" for i in range(self.shards)]
            for name, data in zip(files, contents):
                _write_atomically(os.path.join(directory, name), data)
            manifest_path = os.path.join(directory, _MANIFEST)
            previous = _read_manifest_files(manifest_path)
            manifest = {"format": "velmora sharded store", "version": 1, "dim": self._dim, "bits": self._bits,
                        "shards": self.shards, "routing": "splitmix64", "velmora": __version__,
                        "files": files, "counts": [_count_in_file(data) for data in contents]}
            _write_atomically(manifest_path, (json.dumps(manifest, indent=2) + "\n").encode())
            for name in previous:
                if name not in files:
                    with contextlib.suppress(OSError):
                        os.remove(os.path.join(directory, name))

    @classmethod
    def load(cls, directory: str | os.PathLike[str], client: Client | None = None, address: str | None = None,
             timeout: float = 30.0) -> ShardedStore:
        """A new sharded store (on a local cluster, or on `client` or
        `address` as for the constructor) holding what `save` wrote to
        `directory`. A missing, damaged or inconsistent file raises ValueError
        (OSError for one that cannot be read) and no store is left running."""
        manifest = _load_manifest(os.path.join(directory, _MANIFEST))
        store = cls(manifest["dim"], manifest["bits"], shards=manifest["shards"], client=client, address=address,
                    timeout=timeout)
        try:
            with store._call():
                for i, name in enumerate(manifest["files"]):
                    with open(os.path.join(directory, name), "rb") as f:
                        data = f.read()
                    store._counts[i], = store._gather([(i, store._send(i, "load", data, i, store.shards))])
        except BaseException:
            store.close()
            raise
        return store

    def __len__(self) -> int:
        with self._call():
            self._refresh_counts()
            return sum(self._counts)

    def memory_bytes(self) -> int:
        """Compressed memory of all shards in bytes, as the local store counts it."""
        with self._call():
            return sum(memory for _, memory in self._refresh_counts())

    def query(self, vector: Vector, top_k: SupportsIndex) -> list[tuple[int, float]]:
        """The top_k best (id, score) pairs over all shards, best first."""
        with self._call():
            payload = self._checked_query(lambda: self._empty.query(vector, top_k), vector)
            k = operator.index(top_k)
            if k == 0:
                return []
            candidates = self._fan_out("query", _wire(payload), k)
            return _ranked(candidates)[:k]

    def query_all(self, vector: Vector) -> list[tuple[int, float]]:
        """Every stored (id, score) pair, best first."""
        with self._call():
            payload = self._checked_query(lambda: self._empty.query_all(vector), vector)
            return _ranked(self._fan_out("query_all", _wire(payload)))

    # -- helpers ------------------------------------------------------------

    def _fresh_store(self) -> CompressedVectorStore:
        return CompressedVectorStore(self._dim, self._bits)

    def _checked_vector(self, vector: Any) -> array:
        payload = _f32_array(vector)
        if len(payload) != self._dim:
            # For a query, this is the length check, since the empty local
            # store stops before its own.  For an insert, only a sequence that
            # yields other items the second time round gets here.
            raise ValueError(f"Dimension mismatch: expected {self._dim}, got {len(payload)}")
        return payload

    def _checked_query(self, check_on_empty_store: Any, vector: Any) -> array:
        # On the empty local store a query converts its arguments and then
        # fails as empty: any other error is the caller's, raised as is.
        try:
            check_on_empty_store()
        except ValueError as empty:
            if not _is_empty_store_error(empty):
                raise
            if not self._counts_known:
                self._refresh_counts()
            if sum(self._counts) == 0:
                raise
        return self._checked_vector(vector)

    def _fan_out(self, method: str, *args: Any) -> list[tuple[int, float]]:
        holding = [i for i, n in enumerate(self._counts) if n]
        candidates: list[tuple[int, float]] = []
        for ids, scores in self._ask_all(method, *args, shards=holding):
            candidates.extend(_unpack_ranked(ids, scores))
        return candidates


_EMPTY_STORE_MESSAGE = "Store is empty \u2014 cannot query an empty store"


def _is_empty_store_error(error: ValueError) -> bool:
    return error.args == (_EMPTY_STORE_MESSAGE,)


def _ranked(candidates: list[tuple[int, float]]) -> list[tuple[int, float]]:
    # Score descending with NaN last; a stable sort keeps equal scores in the
    # order the shards returned them.
    return sorted(candidates, key=lambda pair: (pair[1] != pair[1], -pair[1]))
