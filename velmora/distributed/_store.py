"""The client: `ShardedStore`, which routes each id to its shard, writes
encoded records to every live replica of it, asks one replica of each shard
for its best matches and merges their answers. The cluster it runs on is
`_cluster`'s, its replicas are started and rebuilt by `_placement` and used
by `_replicas`' rules, and their answers are merged by `_merge`."""

from __future__ import annotations

import operator
import os
import threading
import weakref
from collections.abc import Callable, Iterator, Sequence
from contextlib import contextmanager
from typing import Any, SupportsIndex, overload

import numpy as np
import numpy.typing as npt
from distributed import Client, LocalCluster

from .. import CompressedVectorStore
from .._arrays import _count, _float_array, _ids_array
from .._index import Index as _Index
from .._rerank import FullVectors, reranked_search
from ._arguments import (
    Vector,
    _checked_vector,
    _encode_pair,
    _encode_pairs,
    _encode_rows,
    _exported,
    _is_empty_store_error,
    _is_single_id,
    _positive_int,
    _positive_seconds,
)
from ._cluster import _check_cluster_arguments, _close_all, _open_client
from ._manifest import _MANIFEST, _load_manifest, _read_shard_file, _write_store
from ._merge import _ranked, _ShardedSearch
from ._placement import _Placement, _release_all
from ._replicas import ShardHealth, ShardUnavailableError, _Replicas
from ._routing import _shards_of, shard_of
from ._wire import _unpack_ranked, _wire_array, _wire_records

__all__ = ["ShardHealth", "ShardUnavailableError", "ShardedStore"]


class ShardedStore:
    """A vector store whose vectors live in `shards` shards, each kept by
    `replicas` Dask actors on distinct workers, each holding one
    `velmora.Index`. It has the methods of `CompressedVectorStore` and the
    array methods of `velmora.Index` (add, search, remove of many ids), and
    saves to and loads from a directory.

    With neither `client` nor `address`, starts a local cluster of one worker
    process per shard (at least one per replica; closed again by `close`);
    with `address`, connects to the scheduler there; with `client`, uses that
    client and leaves it open. Every call to a replica waits at most `timeout`
    seconds. A read moves on to another replica of a shard whose replica
    failed or did not answer; a write is applied on every live replica of its
    shards or on none; a replica left behind is reported by `health()` as
    lost and rebuilt by `repair()`. A shard with no replica left to answer
    raises `ShardUnavailableError`.

    Arguments are checked in this process with the local store's (or, for the
    array methods, the local index's) own conversions, so bad input raises
    exactly what `CompressedVectorStore` (or `Index`) raises and reaches no
    shard.  The vectors of a write are encoded here, once; shards import the
    records.  Calls on one `ShardedStore` run one at a time."""

    # Whether replicas on plain TCP workers are called on their own ports
    # (False: through Dask's actor calls, as on other transports).
    _direct_calls = True

    def __init__(
        self,
        dim: int,
        bits: int,
        shards: int = 2,
        *,
        replicas: int = 1,
        client: Client | None = None,
        address: str | None = None,
        timeout: float = 30.0,
    ) -> None:
        # The local store validates dim and bits with its own messages and
        # then, empty, checks the ids and queries of later calls.
        self._empty = CompressedVectorStore(dim, bits)
        self._dim = operator.index(dim)
        self._bits = operator.index(bits)
        # Index's own checks of search arguments, on an index that stays empty.
        self._empty_index = _Index(self._dim, self._bits)
        shards = _positive_int(shards, "shards")
        self._replica_count = _positive_int(replicas, "replicas")
        self._timeout = _positive_seconds(timeout)
        _check_cluster_arguments(client, address)

        self._lock = threading.Lock()
        self._running_in: int | None = None
        self._closed = False
        self._cluster: LocalCluster | None = None
        self._client: Client | None = client
        # What this store made, closed by close() or, failing that, when the
        # store is collected or the interpreter exits.
        self._made: list[Client | LocalCluster] = []
        self._close_made = weakref.finalize(self, _close_all, self._made)
        self._replicas = _Replicas(self._timeout)
        self._counts = [0] * shards
        self._counts_known = True
        # (sending and waiting, the slowest shard's own search) of the last
        # search or query, in seconds: where its time went, for the benchmark.
        self._last_read_seconds = (0.0, 0.0)
        try:
            workers = max(shards, self._replica_count)
            self._client, self._cluster = _open_client(client, address, workers, self._timeout, self._made)
            self._placement = _Placement(self._client, self._dim, self._bits, self._timeout, self._direct_calls)
            self._placement.start_shards(self._replicas, shards, self._replica_count)
        except BaseException:
            self._release()
            raise

    # -- set-up and tear-down ---------------------------------------------

    def _release(self) -> None:
        try:
            _release_all(self._client, self._replicas)
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
    def replicas(self) -> int:
        """How many replicas each shard is meant to have."""
        return self._replica_count

    @property
    def timeout(self) -> float:
        return self._timeout

    @property
    def client(self) -> Client:
        return self._client

    @property
    def addresses(self) -> tuple[str, ...]:
        """The worker of each shard's first live replica (or, for a shard with
        none left, of its first replica), by shard number; `health()` lists
        them all."""
        return tuple((self._replicas.live(i) or self._replicas.of[i])[0].address for i in range(len(self._replicas.of)))

    def shard_of(self, id: SupportsIndex) -> int:
        """The shard that holds, or would hold, `id`."""
        self._empty.remove(id)
        return shard_of(operator.index(id), self.shards)

    def __repr__(self) -> str:
        shape = f"dim={self._dim}, bits={self._bits}, shards={self.shards}, replicas={self._replica_count}"
        if self._closed:
            return f"ShardedStore({shape}, closed)"
        return f"ShardedStore({shape}, n={sum(self._counts)})"

    # -- replicas -------------------------------------------------------------

    def health(self) -> list[ShardHealth]:
        """Each shard's live and lost replicas, by worker address, after
        asking every live replica whether it answers: one whose worker is
        gone, or that does not answer within the timeout while a sibling
        does, is dropped (lost) here."""
        with self._call():
            return self._replicas.check()

    def repair(self) -> list[ShardHealth]:
        """Rebuilds every lost replica on a live worker that holds no replica
        of its shard (the least loaded first) as a copy, bit for bit, of a
        live replica, and returns `health()`. A lost replica that cannot be
        rebuilt, because its shard has no live replica left or no worker can
        take it, raises ShardUnavailableError once the others are rebuilt."""
        with self._call():
            return self._placement.repair(self._replicas)

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

    def _read_all(self, method: str, *args: Any, shards: Sequence[int] | None = None) -> list[Any]:
        """Each shard's answer (one live replica's), in shard order."""
        targets = range(self.shards) if shards is None else shards
        answers = self._replicas.read(method, {i: args for i in targets})
        return [answers[i] for i in targets]

    def _write(self, kind: str, parts: dict[int, Sequence[Any]]) -> dict[int, tuple[int, int]]:
        if not parts:
            return {}
        self._counts_known = False  # until every shard says how many it holds
        done = self._replicas.write(kind, parts)
        for shard, (_, count) in done.items():
            self._counts[shard] = count
        self._counts_known = True
        return done

    def _refresh_counts(self) -> list[tuple[int, int]]:
        stats = self._read_all("stats")
        self._counts = [n for n, _ in stats]
        self._counts_known = True
        return stats

    def _holding(self) -> list[int]:
        if not self._counts_known:
            self._refresh_counts()
        return [i for i, n in enumerate(self._counts) if n]

    # -- the store's methods ----------------------------------------------

    def insert(self, id: SupportsIndex, vector: Vector) -> None:
        """Insert or update one vector, on the shard its id maps to."""
        with self._call():
            records = _exported(_encode_pair(self._dim, self._bits, id, vector))
            shard = shard_of(int(records[0][0]), self.shards)
            self._write("upsert", {shard: _wire_records(*records)})

    def insert_batch(self, pairs: Sequence[tuple[SupportsIndex, Vector]]) -> None:
        """Insert many (id, vector) pairs: all of them, or none if any is bad.

        Every pair is checked and encoded here first.  Each replica then checks
        its part of the records without changing its store; only when every
        shard has a replica that did so do they apply their parts.  A shard
        left with no replica that applied its part makes the others undo
        theirs exactly: the ids the batch added are taken out and the ids it
        updated get their previous records back (see docs/distributed.md)."""
        with self._call():
            self._apply_batch(_encode_pairs(self._dim, self._bits, pairs))

    def _apply_batch(self, encoded: _Index) -> None:
        """Sends each shard its part of the encoded records, prepares and
        commits them everywhere, or nowhere."""
        records = _exported(encoded)
        routed = _shards_of(records[0], self.shards)
        self._write(
            "upsert", {int(i): _wire_records(*(column[routed == i] for column in records)) for i in np.unique(routed)}
        )

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
            ((removed, _),) = self._write("remove", {shard: [_wire_array([key], "<u8")]}).values()
            return removed == 1

    def _remove_many(self, ids: Any) -> int:
        with self._call():
            id_array = _ids_array(ids)
            routed = _shards_of(id_array, self.shards)
            done = self._write(
                "remove", {int(i): [_wire_array(id_array[routed == i], "<u8")] for i in np.unique(routed)}
            )
            return sum(removed for removed, _ in done.values())

    # -- array methods, as velmora.Index has them ----------------------------

    def add(self, ids: npt.ArrayLike, vectors: npt.ArrayLike) -> None:
        """Store row i of `vectors` (shape (n, dim), float32 or float64) under
        ids[i], as `velmora.Index.add` does: all or nothing, with the same
        checks and messages, every row encoded here, once."""
        with self._call():
            self._apply_batch(_encode_rows(self._dim, self._bits, ids, vectors))

    def search(
        self,
        queries: npt.ArrayLike,
        k: SupportsIndex = 10,
        *,
        allowed: npt.ArrayLike | None = None,
        rerank: Any = None,
        candidates: int | None = None,
        exact: bool = False,
    ) -> tuple[npt.NDArray[np.uint64], npt.NDArray[np.float32]]:
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
            self._empty_index.search(queries, k, allowed=allowed, rerank=rerank, candidates=candidates, exact=exact)
            matrix = _float_array(queries, "queries")
            single = matrix.ndim == 1
            rows = matrix.reshape(1, -1) if single else matrix
            k = _count(k, "k")
            allowed_ids = None if allowed is None else _ids_array(allowed, "allowed")
            shard_search = _ShardedSearch(self._dim, self._bits, self._replicas, self._holding, self._note_read_seconds)
            if rerank is None:
                ids, scores = shard_search.compressed_search(rows, k, allowed_ids)
            else:
                ids, scores = reranked_search(
                    shard_search,
                    rows,
                    k,
                    allowed_ids,
                    FullVectors(rerank, self._dim),
                    None if candidates is None else operator.index(candidates),
                    bool(exact),
                )
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
            _write_store(directory, self._dim, self._bits, [(data, count) for data, count in self._read_all("export")])

    @classmethod
    def load(
        cls,
        directory: str | os.PathLike[str],
        *,
        replicas: int = 1,
        client: Client | None = None,
        address: str | None = None,
        timeout: float = 30.0,
    ) -> ShardedStore:
        """A new sharded store (on a local cluster, or on `client` or
        `address` as for the constructor, with `replicas` replicas of each
        shard) holding what `save` wrote to `directory`. A missing, damaged or
        inconsistent file raises ValueError (OSError for one that cannot be
        read) and no store is left running."""
        manifest = _load_manifest(os.path.join(directory, _MANIFEST))
        store = cls(
            manifest["dim"],
            manifest["bits"],
            shards=manifest["shards"],
            replicas=replicas,
            client=client,
            address=address,
            timeout=timeout,
        )
        try:
            with store._call():
                for i, name in enumerate(manifest["files"]):
                    data = _read_shard_file(directory, name)
                    store._counts[i] = store._replicas.everywhere("load", {i: [data, i, store.shards]})[i]
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
            return _ranked(self._fan_out("query", payload, k))[:k]

    def query_all(self, vector: Vector) -> list[tuple[int, float]]:
        """Every stored (id, score) pair, best first."""
        with self._call():
            payload = self._checked_query(lambda: self._empty.query_all(vector), vector)
            return _ranked(self._fan_out("query_all", payload))

    # -- helpers ------------------------------------------------------------

    def _checked_query(self, check_on_empty_store: Callable[[], object], vector: Any) -> bytes:
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
        return _checked_vector(vector, self._dim).tobytes()

    def _fan_out(self, method: str, *args: Any) -> list[tuple[int, float]]:
        holding = self._holding()
        answers = self._replicas.read(method, {i: args for i in holding})
        self._note_read_seconds(answers.values())
        candidates: list[tuple[int, float]] = []
        for i in holding:
            ids, scores, _ = answers[i]
            candidates.extend(_unpack_ranked(ids, scores))
        return candidates

    def _note_read_seconds(self, answers: Any) -> None:
        self._last_read_seconds = (
            self._replicas.last_exchange_seconds,
            max((answer[-1] for answer in answers), default=0.0),
        )
