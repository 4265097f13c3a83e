"""A replica of one shard: a `velmora.Index` in a Dask worker.

A replica never encodes a vector: writes arrive as records (ids, norms,
packed codes, error bounds) that the client encoded, and are imported as they
are. A write reaching more than one replica comes in two steps (a two-phase
commit): `prepare_*` checks the replica's part, without touching its index,
and keeps it; `commit` applies it and remembers how to undo it (which ids it
added, the previous records of the ids it updated, or the order and records
before a removal), so that `abort` can restore the replica exactly. A write
reaching one replica alone does both at once (`apply_*`), and can be undone
the same way. Every write step carries the number the client gave it; a
replica refuses a step older than one it has seen.

`_ShardActor` is what Dask places on a worker: it holds the replica and
serves its calls on a port of its own (see `_channel`)."""

from __future__ import annotations

import functools
import secrets
import threading
import time
from collections import deque
from collections.abc import Callable
from typing import Any

import numpy as np
import numpy.typing as npt

from .. import CompressedVectorStore, __version__
from .._index import Index as _Index
from ._channel import _TOKEN_BYTES, _error_reply, _pack, _Server, _unpack
from ._routing import _shards_of, shard_of
from ._wire import (
    _Records,
    _TransactionAborted,
    _unwire_ids,
    _unwire_matrix,
    _unwire_records,
    _wire_array,
    _wire_results,
)

__all__ = ["_Shard", "_ShardActor", "_TransactionAborted", "_probe_scores", "_probe_vectors"]

# Exactly representable values, so the engine check needs no maths library
# and every machine builds the same probe vectors.
_PROBE_LEVELS = (-1.5, -0.75, -0.25, 0.0, 0.5, 1.0, 1.25, 2.0)


def _probe_vectors(dim: int) -> list[list[float]]:
    return [
        [_PROBE_LEVELS[(i * step + offset) % len(_PROBE_LEVELS)] for i in range(dim)]
        for step, offset in ((1, 0), (3, 5), (5, 2))
    ]


def _probe_scores(dim: int, bits: int, probes: list[list[float]]) -> list[tuple[int, float]]:
    """Scores that depend on the rotation, the codebook and the scoring code:
    equal in two processes only when both encode and score identically."""
    store = CompressedVectorStore(dim, bits)
    store.insert_batch(list(enumerate(probes[1:])))
    return store.query_all(probes[0])


def _one_at_a_time(method: Callable[..., Any]) -> Callable[..., Any]:
    # Calls arrive on several threads (a connection each, and Dask's actor
    # thread): each of a replica's steps runs whole.
    @functools.wraps(method)
    def locked(self: _Shard, *args: Any) -> Any:
        with self._lock:
            return method(self, *args)

    return locked


# A staged write: records to upsert, or ids to remove.
_Staged = tuple[str, Any]
# How to undo the last commit, or None.
_Undo = Callable[[], None] | None


class _Shard:
    """One replica's index and its part of the two-phase commit of writes."""

    # What a client may call, by name.
    CALLS = frozenset(
        {
            "identity",
            "ping",
            "stats",
            "apply_upsert",
            "apply_remove",
            "prepare_upsert",
            "prepare_remove",
            "commit",
            "abort",
            "query",
            "query_all",
            "search",
            "rerank_candidates",
            "exact_pass",
            "read_list",
            "unknown_error_bounds",
            "export",
            "load",
        }
    )

    def __init__(self, dim: int, bits: int) -> None:
        self._dim = dim
        self._bits = bits
        self._index = _Index(dim, bits)
        self._staged: dict[str, _Staged] = {}
        self._last_commit: tuple[str | None, _Undo] = (None, None)
        # A prepare or commit may arrive after the client gave up on it and
        # aborted; remembering recent aborts makes such late calls refuse.
        self._aborted: deque[str] = deque(maxlen=256)
        self._last_step = 0
        self._lock = threading.Lock()

    def handle(self, method: str, args: list[Any]) -> Any:
        if method not in self.CALLS:
            raise ValueError(f"a shard has no call {method!r}")
        return getattr(self, method)(*args)

    @_one_at_a_time
    def identity(self, probes: list[list[float]]) -> tuple[str, list[tuple[int, float]]]:
        return __version__, _probe_scores(self._dim, self._bits, probes)

    @_one_at_a_time
    def ping(self) -> int:
        return len(self._index)

    @_one_at_a_time
    def stats(self) -> tuple[int, int]:
        return len(self._index), self._index.memory_bytes()

    # -- writes ----------------------------------------------------------------

    @_one_at_a_time
    def prepare_upsert(self, step: int, txn: str, ids: bytes, norms: bytes, codes: bytes, bounds: bytes) -> None:
        self._in_order(step)
        self._stage_upsert(txn, ids, norms, codes, bounds)

    @_one_at_a_time
    def prepare_remove(self, step: int, txn: str, ids: bytes) -> None:
        self._in_order(step)
        self._stage_remove(txn, ids)

    @_one_at_a_time
    def commit(self, step: int, txn: str) -> tuple[int, int]:
        """Applies a prepared write; returns how many ids it removed and how
        many vectors the replica holds."""
        self._in_order(step)
        return self._commit(txn)

    @_one_at_a_time
    def apply_upsert(
        self, step: int, txn: str, ids: bytes, norms: bytes, codes: bytes, bounds: bytes
    ) -> tuple[int, int]:
        """Prepares and commits at once: for a write that reaches this replica alone."""
        self._in_order(step)
        self._stage_upsert(txn, ids, norms, codes, bounds)
        return self._commit(txn)

    @_one_at_a_time
    def apply_remove(self, step: int, txn: str, ids: bytes) -> tuple[int, int]:
        self._in_order(step)
        self._stage_remove(txn, ids)
        return self._commit(txn)

    def _stage_upsert(self, txn: str, ids: bytes, norms: bytes, codes: bytes, bounds: bytes) -> None:
        self._refuse_aborted(txn)
        # Importing the part on a scratch index checks every record (norm,
        # spare bits) so that the commit cannot fail on the data. The scratch
        # holds one record per id, in first-occurrence order, holding its last
        # record: importing those equals importing the part.
        scratch = _Index(self._dim, self._bits)
        scratch.import_records(*self._records(ids, norms, codes, bounds))
        unique = scratch.ids
        self._staged[txn] = ("upsert", (unique, *scratch.export_records(unique)))

    def _stage_remove(self, txn: str, ids: bytes) -> None:
        self._refuse_aborted(txn)
        self._staged[txn] = ("remove", _unwire_ids(ids))

    def _commit(self, txn: str) -> tuple[int, int]:
        if txn in self._aborted or txn not in self._staged:
            raise _TransactionAborted(txn)
        kind, staged = self._staged.pop(txn)
        removed = 0
        if kind == "upsert":
            ids = staged[0]
            present = np.array([int(i) in self._index for i in ids], dtype=bool)
            previous = (ids[present], *self._index.export_records(ids[present]))
            added = ids[~present].tolist()
            self._index.import_records(*staged)  # all or nothing
            undo: _Undo = functools.partial(self._undo_upsert, added, previous)
        else:
            stored = np.array([int(i) in self._index for i in staged], dtype=bool)
            gone = np.unique(staged[stored])
            # Undoing a removal needs the previous order: a copy of the ids.
            order = self._index.ids if len(gone) else None
            records = (gone, *self._index.export_records(gone))
            removed = self._index.remove(staged)
            undo = None if order is None else functools.partial(self._undo_remove, order, records)
        self._last_commit = (txn, undo)
        return removed, len(self._index)

    @_one_at_a_time
    def abort(self, txn: str) -> int:
        """Drops a prepared write, or undoes it if it was the last committed;
        later steps of `txn` are refused."""
        self._aborted.append(txn)
        self._staged.pop(txn, None)
        committed, undo = self._last_commit
        if committed == txn:
            if undo is not None:
                undo()
            self._last_commit = (None, None)
        return len(self._index)

    def _in_order(self, step: int) -> None:
        # The client numbers the write steps it sends each replica. A step
        # that arrives after a later one (sent on a connection the client gave
        # up on, say) is refused, so that a write the client reported as
        # failed never lands on top of one it acknowledged since.
        if step <= self._last_step:
            raise _TransactionAborted(f"step {step} arrived after step {self._last_step}")
        self._last_step = step

    def _refuse_aborted(self, txn: str) -> None:
        if txn in self._aborted:
            raise _TransactionAborted(txn)

    def _undo_upsert(self, added: list[int], previous: _Records) -> None:
        # Added ids sit at the end in the order they came; removing them last
        # first moves no other entry. Updated ids get their previous records
        # back in place. Every position and code is then as before.
        self._index.remove(list(reversed(added)))
        if len(previous[0]):
            self._index.import_records(*previous)

    def _undo_remove(self, order: npt.NDArray[np.uint64], removed: _Records) -> None:
        # Each removal moved the last entry into the freed position: the index
        # is rebuilt in its previous order from its records and the removed ones.
        current = self._index.ids
        ids = np.concatenate([current, removed[0]])
        columns = [np.concatenate([kept, gone]) for kept, gone in zip(self._index.export_records(current), removed[1:])]
        sorter = np.argsort(ids, kind="stable")
        at = sorter[np.searchsorted(ids, order, sorter=sorter)]
        rebuilt = _Index(self._dim, self._bits)
        rebuilt.import_records(order, *(column[at] for column in columns))
        self._index = rebuilt

    # -- reads -------------------------------------------------------------------

    @_one_at_a_time
    def query(self, vector: bytes, top_k: int) -> tuple[bytes, bytes, float]:
        started = time.perf_counter()
        ids, scores = self._index.search(_unwire_matrix(vector, self._dim)[0], top_k)
        return (*_wire_results(ids, scores), time.perf_counter() - started)

    @_one_at_a_time
    def query_all(self, vector: bytes) -> tuple[bytes, bytes, float]:
        started = time.perf_counter()
        ids, scores = self._index.search(_unwire_matrix(vector, self._dim)[0], len(self._index))
        return (*_wire_results(ids, scores), time.perf_counter() - started)

    @_one_at_a_time
    def search(self, queries: bytes, k: int, allowed: bytes | None) -> tuple[bytes, bytes, int, float]:
        started = time.perf_counter()
        ids, scores = self._index.search(
            _unwire_matrix(queries, self._dim), k, allowed=None if allowed is None else _unwire_ids(allowed)
        )
        return (*_wire_results(ids, scores), ids.shape[1], time.perf_counter() - started)

    @_one_at_a_time
    def rerank_candidates(self, queries: bytes, c: int, allowed: bytes | None) -> tuple[bytes, bytes, int, float]:
        started = time.perf_counter()
        ids, keys = self._index._rerank_candidate_keys(
            _unwire_matrix(queries, self._dim), c, None if allowed is None else _unwire_ids(allowed)
        )
        return (*_wire_results(ids, keys), ids.shape[1], time.perf_counter() - started)

    @_one_at_a_time
    def exact_pass(self, queries: bytes, first: int, k: int, allowed: bytes | None) -> tuple[bytes, ...]:
        passed = self._index._exact_pass(
            _unwire_matrix(queries, self._dim), first, k, None if allowed is None else _unwire_ids(allowed)
        )
        return tuple(np.ascontiguousarray(part).tobytes() for part in passed)

    @_one_at_a_time
    def read_list(self, queries: bytes, taus: bytes, allowed: bytes | None) -> tuple[bytes, bytes]:
        ids, counts = self._index._read_list(
            _unwire_matrix(queries, self._dim),
            np.frombuffer(taus, dtype="<f8").astype(np.float64),
            None if allowed is None else _unwire_ids(allowed),
        )
        return _wire_array(ids, "<u8"), _wire_array(counts, "<u8")

    @_one_at_a_time
    def unknown_error_bounds(self) -> int:
        return self._index._unknown_error_bounds()

    # -- whole copies ------------------------------------------------------------

    @_one_at_a_time
    def export(self) -> tuple[bytes, int]:
        """The index file's contents and how many vectors it holds."""
        return self._index.to_bytes(), len(self._index)

    @_one_at_a_time
    def load(self, data: bytes, shard: int, shards: int) -> int:
        index = _Index.from_bytes(data)
        if (index.dim, index.bits) != (self._dim, self._bits):
            raise ValueError(
                f"shard {shard} holds dim {index.dim} and {index.bits} bits, not dim {self._dim} and {self._bits} bits"
            )
        misplaced = np.flatnonzero(_shards_of(index.ids, shards) != shard)
        if misplaced.size:
            raise ValueError(
                f"shard {shard} holds id {int(index.ids[misplaced[0]])}, which belongs to "
                f"shard {shard_of(int(index.ids[misplaced[0]]), shards)}"
            )
        self._index = index
        self._last_commit = (None, None)
        return len(index)

    def _records(self, ids: bytes, norms: bytes, codes: bytes, bounds: bytes) -> _Records:
        return _unwire_records(ids, norms, codes, bounds, self._index.record_bytes)


class _ShardActor:
    """What Dask keeps on a worker for one replica: the replica and, when the
    worker's host is given, a server for its calls on a port of its own.
    Released by Dask (or closed), it stops serving."""

    def __init__(self, dim: int, bits: int, host: str | None) -> None:
        self._shard = _Shard(dim, bits)
        self._token = secrets.token_bytes(_TOKEN_BYTES)
        # The server's threads hold the replica, not this object, so that
        # Dask releasing it ends them.
        self._server = None if host is None else _Server(host, self._token, self._shard.handle)

    def endpoint(self) -> tuple[str, int, bytes] | None:
        return None if self._server is None else (self._server.host, self._server.port, self._token)

    def call(self, request: bytes) -> bytes:
        """One call, for clients that reach the replica through Dask: the
        request and reply frames of the server's protocol."""
        try:
            method, args = _unpack(request)
            return _pack([0, self._shard.handle(method, args)])
        except Exception as exc:
            return _pack(_error_reply(exc))

    def close(self) -> None:
        if self._server is not None:
            self._server.close()
            self._server = None

    def __del__(self) -> None:
        self.close()
