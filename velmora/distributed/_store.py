"""The client: `ShardedStore`, which routes each id to its shard, sends
writes as encoded records in two phases, asks every shard for its best
matches and merges their answers."""
from __future__ import annotations

import math
import operator
import os
import threading
import time
import uuid
import weakref
from collections.abc import Callable, Iterator, Sequence
from contextlib import contextmanager
from typing import Any, SupportsIndex, overload

import numpy as np
import numpy.typing as npt

from .. import CompressedVectorStore, __version__
from .._index import Index as _Index
from .._index import _float_array, _ids_array
from .._rerank import FullVectors, reranked_search
from ._arguments import (Vector, _checked_vector, _encode_pair, _encode_pairs, _encode_rows, _exported,
                         _is_empty_store_error)
from ._manifest import _MANIFEST, _load_manifest, _read_shard_file, _write_store
from ._routing import _shards_of, shard_of
from ._shard import _probe_scores, _probe_vectors, _Shard
from ._wire import _unpack_ranked, _unwire_ids, _unwire_results, _wire_array, _wire_records

try:
    from distributed import Actor, Client, LocalCluster
except ImportError as exc:  # pragma: no cover - depends on the environment
    raise ImportError(
        "velmora.distributed needs Dask distributed; install it with "
        "pip install 'velmora[distributed]'"
    ) from exc

# How often a wait for a shard looks up whether the shard's worker is still
# known to the scheduler, so that a dead worker is reported before the timeout.
_LIVENESS_POLL_SECONDS = 0.25


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


def _as_positive_seconds(timeout: Any) -> float:
    if isinstance(timeout, bool) or not isinstance(timeout, (int, float)):
        raise TypeError(f"timeout must be a number of seconds, got {type(timeout).__name__}")
    if not (timeout > 0 and math.isfinite(timeout)):
        raise ValueError(f"timeout must be a positive finite number of seconds, got {timeout!r}")
    return float(timeout)


def _is_single_id(value: Any) -> bool:
    """Anything but an array-like of ids (a sequence, not a str) is taken as
    one id, and checked as the store checks one."""
    if isinstance(value, np.ndarray):
        return value.ndim == 0
    return isinstance(value, (str, bytes)) or not hasattr(value, "__iter__")


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
    shard.  The vectors of a write are encoded here, once; shards import the
    records.  Calls on one `ShardedStore` run one at a time."""

    def __init__(self, dim: int, bits: int, shards: int = 2, client: Client | None = None,
                 address: str | None = None, timeout: float = 30.0) -> None:
        # The local store validates dim and bits with its own messages and
        # then, empty, checks the ids and queries of later calls.
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
            records = _exported(_encode_pair(self._dim, self._bits, id, vector))
            shard = shard_of(int(records[0][0]), self.shards)
            self._counts_known = False  # until the shard says how many it holds
            self._counts[shard], = self._gather(
                [(shard, self._send(shard, "insert", *_wire_records(*records)))])
            self._counts_known = True

    def insert_batch(self, pairs: Sequence[tuple[SupportsIndex, Vector]]) -> None:
        """Insert many (id, vector) pairs: all of them, or none if any is bad.

        Every pair is checked and encoded here first.  Each shard then checks
        its part of the records without changing its store; only when every
        shard has done so do they apply their parts.  A shard lost while
        applying makes the other shards undo their part exactly: the ids the
        batch added are taken out and the ids it updated get their previous
        records back (see docs/distributed.md)."""
        with self._call():
            self._apply_batch(_encode_pairs(self._dim, self._bits, pairs))

    def _apply_batch(self, encoded: _Index) -> None:
        """Sends each shard its part of the encoded records, prepares and
        commits them everywhere, or nowhere."""
        records = _exported(encoded)
        routed = _shards_of(records[0], self.shards)
        involved = sorted(set(routed.tolist()))
        if not involved:
            return
        parts = {i: _wire_records(*(column[routed == i] for column in records)) for i in involved}
        txn = uuid.uuid4().hex
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
        checks and messages, every row encoded here, once."""
        with self._call():
            self._apply_batch(_encode_rows(self._dim, self._bits, ids, vectors))

    def search(self, queries: npt.ArrayLike, k: SupportsIndex = 10, *, allowed: npt.ArrayLike | None = None,
               rerank: Any = None, candidates: int | None = None,
               exact: bool = False) -> tuple[npt.NDArray[np.uint64], npt.NDArray[np.float32]]:
        """The k best stored vectors of each query, as `velmora.Index.search`
        returns them: (ids, scores) of shape (m, c) for (m, dim) queries, (c,)
        for one query, c = min(k, candidates). Scores are bit for bit those of
        one local index; equal scores are ordered by shard, then storage
        order, so ties at the cut-off may differ from a local index.

        `rerank`, `candidates` and `exact` are those of `velmora.Index.search`:
        the shards propose candidates (and, for exact=True, list the vectors
        their error bounds cannot rule out), and the full vectors are read and
        scored here, in the calling process. Exact answers equal a local
        index's."""
        with self._call():
            # Every check, with Index's own messages, on an empty local index.
            _Index(self._dim, self._bits).search(queries, k, allowed=allowed, rerank=rerank,
                                                 candidates=candidates, exact=exact)
            matrix = _float_array(queries, "queries")
            single = matrix.ndim == 1
            rows = matrix.reshape(1, -1) if single else matrix
            k = min(operator.index(k), (1 << 64) - 1)
            allowed_ids = None if allowed is None else _ids_array(allowed, "allowed")
            if rerank is None:
                ids, scores = self._compressed_search(rows, k, allowed_ids)
            else:
                ids, scores = reranked_search(self, rows, k, allowed_ids, FullVectors(rerank, self._dim),
                                              None if candidates is None else operator.index(candidates),
                                              bool(exact))
            return (ids[0], scores[0]) if single else (ids, scores)

    def _allowed_parts(self, allowed: npt.NDArray[np.uint64] | None, holding: list[int]) -> dict[int, bytes | None]:
        if allowed is None:
            return {i: None for i in holding}
        routed = _shards_of(allowed, self.shards)
        return {i: _wire_array(allowed[routed == i], "<u8") for i in holding}

    def _holding(self) -> list[int]:
        if not self._counts_known:
            self._refresh_counts()
        return [i for i, n in enumerate(self._counts) if n]

    def _compressed_search(self, rows: npt.NDArray[Any], k: int, allowed: npt.NDArray[np.uint64] | None
                           ) -> tuple[npt.NDArray[np.uint64], npt.NDArray[np.float32]]:
        holding = self._holding()
        payload = _wire_array(np.asarray(rows, dtype=np.float32), "<f4")
        parts = self._allowed_parts(allowed, holding)
        answers = self._gather([(i, self._send(i, "search", payload, k, parts[i])) for i in holding])
        m = rows.shape[0]
        shares = [(*_unwire_results(a, b), kept) for a, b, kept in answers]
        ids = np.concatenate([a.reshape(m, kept) for a, _, kept in shares] + [np.empty((m, 0), np.uint64)], axis=1)
        scores = np.concatenate([b.reshape(m, kept) for _, b, kept in shares] + [np.empty((m, 0), np.float32)],
                                axis=1)
        # Best first, NaN last (numpy sorts NaN to the end), shard order among equals.
        order = np.argsort(-scores, axis=1, kind="stable")[:, :min(k, scores.shape[1])]
        return np.take_along_axis(ids, order, 1), np.take_along_axis(scores, order, 1)

    # The re-ranking's view of the shards (velmora._rerank.Searchable).
    def _compressed_ids(self, queries: npt.NDArray[Any], k: int,
                        allowed: npt.NDArray[np.uint64] | None) -> npt.NDArray[np.uint64]:
        return self._compressed_search(queries, k, allowed)[0]

    def _read_list(self, queries: npt.NDArray[Any], taus: npt.NDArray[np.float64],
                   allowed: npt.NDArray[np.uint64] | None) -> tuple[npt.NDArray[np.uint64], npt.NDArray[np.uint64]]:
        holding = self._holding()
        payload = _wire_array(np.asarray(queries, dtype=np.float32), "<f4")
        parts = self._allowed_parts(allowed, holding)
        answers = self._gather([(i, self._send(i, "read_list", payload, _wire_array(taus, "<f8"), parts[i]))
                                for i in holding])
        m = queries.shape[0]
        lists: list[list[npt.NDArray[np.uint64]]] = [[] for _ in range(m)]
        for id_bytes, count_bytes in answers:
            ids, counts = _unwire_ids(id_bytes), _unwire_ids(count_bytes)
            for q, part in enumerate(np.split(ids, np.cumsum(counts.astype(np.intp))[:-1])):
                lists[q].append(part)
        merged = [np.concatenate(parts) if parts else np.empty(0, np.uint64) for parts in lists]
        return (np.concatenate(merged) if merged else np.empty(0, np.uint64),
                np.array([len(part) for part in merged], dtype=np.uint64))

    def _unknown_error_bounds(self) -> int:
        return sum(self._ask_all("unknown_error_bounds"))

    # -- files --------------------------------------------------------------

    def save(self, directory: str | os.PathLike[str]) -> None:
        """Write every shard to its own index file in `directory` (created if
        need be), then a manifest naming them. Each file, and the manifest
        last, is replaced atomically, so a save that fails half-way leaves the
        previous save loadable; files of the previous save are removed after
        the new manifest is in place."""
        with self._call():
            os.makedirs(directory, exist_ok=True)
            _write_store(directory, self._dim, self._bits, self._ask_all("export"))

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
                    data = _read_shard_file(directory, name)
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
        """Compressed memory of all shards in bytes, as `velmora.Index.memory_bytes` counts it
        (the local store keeps no 2-byte error bound per vector)."""
        with self._call():
            return sum(memory for _, memory in self._refresh_counts())

    def query(self, vector: Vector, top_k: SupportsIndex) -> list[tuple[int, float]]:
        """The top_k best (id, score) pairs over all shards, best first."""
        with self._call():
            payload = self._checked_query(lambda: self._empty.query(vector, top_k), vector)
            k = operator.index(top_k)
            if k == 0:
                return []
            candidates = self._fan_out("query", _wire_array(payload, "<f4"), k)
            return _ranked(candidates)[:k]

    def query_all(self, vector: Vector) -> list[tuple[int, float]]:
        """Every stored (id, score) pair, best first."""
        with self._call():
            payload = self._checked_query(lambda: self._empty.query_all(vector), vector)
            return _ranked(self._fan_out("query_all", _wire_array(payload, "<f4")))

    # -- helpers ------------------------------------------------------------

    def _checked_query(self, check_on_empty_store: Callable[[], object], vector: Any) -> npt.NDArray[np.float32]:
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
        return np.frombuffer(_checked_vector(vector, self._dim), dtype=np.float32)

    def _fan_out(self, method: str, *args: Any) -> list[tuple[int, float]]:
        holding = [i for i, n in enumerate(self._counts) if n]
        candidates: list[tuple[int, float]] = []
        for ids, scores in self._ask_all(method, *args, shards=holding):
            candidates.extend(_unpack_ranked(ids, scores))
        return candidates


def _ranked(candidates: list[tuple[int, float]]) -> list[tuple[int, float]]:
    # Score descending with NaN last; a stable sort keeps equal scores in the
    # order the shards returned them.
    return sorted(candidates, key=lambda pair: (pair[1] != pair[1], -pair[1]))
