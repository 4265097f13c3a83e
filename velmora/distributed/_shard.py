"""The actor behind one shard: a `velmora.Index` in a Dask worker.

A shard never encodes a vector: writes arrive as records (ids, norms, packed
codes) that the client encoded, and are imported as they are. Batches arrive
in two steps (a two-phase commit): `prepare` checks the shard's part on a
scratch index, without touching the shard's own, and keeps it; `commit`
imports it and remembers which ids it added and the previous records of the
ids it updated, so that `abort` can restore the shard exactly."""
from __future__ import annotations

import functools
import threading
from collections import deque
from collections.abc import Callable
from typing import Any

import numpy as np

from .. import CompressedVectorStore, __version__
from .._index import Index as _Index
from ._routing import _shards_of, shard_of
from ._wire import _Records, _unwire_ids, _unwire_matrix, _unwire_records, _wire_array, _wire_results

# Exactly representable values, so the engine check needs no maths library
# and every machine builds the same probe vectors.
_PROBE_LEVELS = (-1.5, -0.75, -0.25, 0.0, 0.5, 1.0, 1.25, 2.0)


def _probe_vectors(dim: int) -> list[list[float]]:
    return [[_PROBE_LEVELS[(i * step + offset) % len(_PROBE_LEVELS)] for i in range(dim)]
            for step, offset in ((1, 0), (3, 5), (5, 2))]


def _probe_scores(dim: int, bits: int, probes: list[list[float]]) -> list[tuple[int, float]]:
    """Scores that depend on the rotation, the codebook and the scoring code:
    equal in two processes only when both encode and score identically."""
    store = CompressedVectorStore(dim, bits)
    store.insert_batch(list(enumerate(probes[1:])))
    return store.query_all(probes[0])


class _TransactionAborted(RuntimeError):
    pass


def _one_at_a_time(method: Callable[..., Any]) -> Callable[..., Any]:
    # Dask runs a worker's actor calls on one thread today; the lock keeps a
    # shard's steps whole should that ever change.
    @functools.wraps(method)
    def locked(self: _Shard, *args: Any) -> Any:
        with self._lock:
            return method(self, *args)
    return locked


class _Shard:
    """One shard's index and its part of the two-phase commit of batches."""

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
    def insert(self, ids: bytes, norms: bytes, codes: bytes, bounds: bytes) -> int:
        self._index.import_records(*self._records(ids, norms, codes, bounds))
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
    def read_list(self, queries: bytes, taus: bytes, allowed: bytes | None) -> tuple[bytes, bytes]:
        ids, counts = self._index._read_list(
            _unwire_matrix(queries, self._dim), np.frombuffer(taus, dtype="<f8").astype(np.float64),
            None if allowed is None else _unwire_ids(allowed))
        return _wire_array(ids, "<u8"), _wire_array(counts, "<u8")

    @_one_at_a_time
    def unknown_error_bounds(self) -> int:
        return self._index._unknown_error_bounds()

    @_one_at_a_time
    def prepare(self, txn: str, ids: bytes, norms: bytes, codes: bytes, bounds: bytes) -> None:
        if txn in self._aborted:
            raise _TransactionAborted(txn)
        # Importing the part on a scratch index checks every record (norm,
        # spare bits) so that the commit cannot fail on the data. The scratch
        # holds one record per id, in first-occurrence order, holding its last
        # record: importing those equals importing the part.
        scratch = _Index(self._dim, self._bits)
        scratch.import_records(*self._records(ids, norms, codes, bounds))
        unique = scratch.ids
        self._staged[txn] = (unique, *scratch.export_records(unique))

    @_one_at_a_time
    def commit(self, txn: str) -> int:
        if txn in self._aborted or txn not in self._staged:
            raise _TransactionAborted(txn)
        records = self._staged.pop(txn)
        ids = records[0]
        present = np.array([int(i) in self._index for i in ids], dtype=bool)
        previous = (ids[present], *self._index.export_records(ids[present]))
        added = ids[~present].tolist()
        self._index.import_records(*records)  # all or nothing
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
    def export(self) -> tuple[bytes, int]:
        """The index file's contents and how many vectors it holds."""
        return self._index.to_bytes(), len(self._index)

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

    def _records(self, ids: bytes, norms: bytes, codes: bytes, bounds: bytes) -> _Records:
        return _unwire_records(ids, norms, codes, bounds, self._index.record_bytes)

    def _restore(self, added: list[int], previous: _Records | None) -> None:
        # Added ids sit at the end in the order they came; removing them last
        # first moves no other entry. Updated ids get their previous records
        # back in place. Every position and code is then as before.
        self._index.remove(list(reversed(added)))
        if previous is not None and len(previous[0]):
            self._index.import_records(*previous)
        self._last_commit = (None, [], None)
