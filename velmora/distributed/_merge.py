"""Reads over the shards merged into what one local index would answer:
rankings best first (NaN last, equal scores in shard order), and
`_ShardedSearch`, the shards as the re-ranking sees one index, whose exact
passes and second-pass lists are merged here too. Answers are taken in shard
order."""

from __future__ import annotations

from collections.abc import Callable, Iterable, Sequence
from typing import Any

import numpy as np
import numpy.typing as npt

from .._rerank import ExactPass
from ._replicas import _Replicas
from ._routing import _shards_of
from ._wire import _unwire_exact_pass, _unwire_ids, _wire_array


class _ShardedSearch:
    """One search's view of the shards as velmora._rerank sees an index
    (`Searchable`): each read asks one live replica of every shard holding
    vectors (`holding`, asked afresh for each read) and merges the answers."""

    def __init__(
        self,
        dim: int,
        bits: int,
        replicas: _Replicas,
        holding: Callable[[], list[int]],
        note_read_seconds: Callable[[Iterable[Any]], None],
    ) -> None:
        self.dim = dim
        self.bits = bits
        self._replicas = replicas
        self._holding = holding
        self._note_read_seconds = note_read_seconds

    def _allowed_parts(self, allowed: npt.NDArray[np.uint64] | None, holding: list[int]) -> dict[int, bytes | None]:
        if allowed is None:
            return {i: None for i in holding}
        routed = _shards_of(allowed, len(self._replicas.of))
        return {i: _wire_array(allowed[routed == i], "<u8") for i in holding}

    def compressed_search(
        self, rows: npt.NDArray[Any], k: int, allowed: npt.NDArray[np.uint64] | None
    ) -> tuple[npt.NDArray[np.uint64], npt.NDArray[np.float32]]:
        holding = self._holding()
        payload = _wire_array(rows, "<f4")
        parts = self._allowed_parts(allowed, holding)
        answers = self._replicas.read("search", {i: [payload, k, parts[i]] for i in holding})
        self._note_read_seconds(answers.values())
        return _merged_search([answers[i] for i in holding], rows.shape[0], k)

    def _compressed_ids(
        self, queries: npt.NDArray[Any], k: int, allowed: npt.NDArray[np.uint64] | None
    ) -> npt.NDArray[np.uint64]:
        return self.compressed_search(queries, k, allowed)[0]

    def _rerank_candidates(
        self, queries: npt.NDArray[Any], c: int, allowed: npt.NDArray[np.uint64] | None
    ) -> npt.NDArray[np.uint64]:
        holding = self._holding()
        payload = _wire_array(queries, "<f4")
        parts = self._allowed_parts(allowed, holding)
        answers = self._replicas.read("rerank_candidates", {i: [payload, c, parts[i]] for i in holding})
        self._note_read_seconds(answers.values())
        return _merged_candidates([answers[i] for i in holding], queries.shape[0], c)

    def _exact_pass(
        self, queries: npt.NDArray[Any], first: int, k: int, allowed: npt.NDArray[np.uint64] | None
    ) -> ExactPass:
        holding = self._holding()
        payload = _wire_array(np.asarray(queries, dtype=np.float32), "<f4")
        parts = self._allowed_parts(allowed, holding)
        answers = self._replicas.read("exact_pass", {i: [payload, first, k, parts[i]] for i in holding})
        passes = [_unwire_exact_pass(tuple(answers[i])) for i in holding]
        return _merged_exact_pass(passes, queries.shape[0], first)

    def _read_list(
        self, queries: npt.NDArray[Any], taus: npt.NDArray[np.float64], allowed: npt.NDArray[np.uint64] | None
    ) -> tuple[npt.NDArray[np.uint64], npt.NDArray[np.uint64]]:
        holding = self._holding()
        payload = _wire_array(queries, "<f4")
        parts = self._allowed_parts(allowed, holding)
        answers = self._replicas.read("read_list", {i: [payload, _wire_array(taus, "<f8"), parts[i]] for i in holding})
        return _merged_lists([answers[i] for i in holding], queries.shape[0])

    def _unknown_error_bounds(self) -> int:
        holding = self._holding()
        answers = self._replicas.read("unknown_error_bounds", {i: () for i in holding})
        return sum(answers[i] for i in holding)


def _ranked(candidates: list[tuple[int, float]]) -> list[tuple[int, float]]:
    # Score descending with NaN last; a stable sort keeps equal scores in the
    # order the shards returned them.
    return sorted(candidates, key=lambda pair: (pair[1] != pair[1], -pair[1]))


def _side_by_side(shares: list[Sequence[Any]], m: int) -> tuple[npt.NDArray[np.uint64], npt.NDArray[np.float32]]:
    """The shards' answers (ids, float32 values, results per query, time) for
    m queries as one row per query, shard after shard."""
    if not shares:
        return np.empty((m, 0), np.uint64), np.empty((m, 0), np.float32)
    ids = np.concatenate([np.frombuffer(a, "<u8").reshape(m, kept) for a, _, kept, _ in shares], axis=1)
    values = np.concatenate([np.frombuffer(b, "<f4").reshape(m, kept) for _, b, kept, _ in shares], axis=1)
    return ids, values


def _merged_search(
    shares: list[Sequence[Any]], m: int, k: int
) -> tuple[npt.NDArray[np.uint64], npt.NDArray[np.float32]]:
    """The k best of each of m queries among the shards' searches (ids,
    scores, results per query, time)."""
    ids, scores = _side_by_side(shares, m)
    # Best first, NaN last (numpy sorts NaN to the end), shard order among equals.
    order = np.argsort(-scores, axis=1, kind="stable")[:, : min(k, scores.shape[1])]
    rows_of = np.arange(m)[:, None]
    return (
        ids[rows_of, order].astype(np.uint64, copy=False),
        scores[rows_of, order].astype(np.float32, copy=False),
    )


def _merged_candidates(shares: list[Sequence[Any]], m: int, c: int) -> npt.NDArray[np.uint64]:
    """The c candidates of each of m queries that one index holding every
    shard's records would choose: the largest keys, NaN last, equal keys by
    smaller id (a record's bound sum does not depend on where it is stored)."""
    ids, keys = _side_by_side(shares, m)
    order = np.lexsort((ids, -keys), axis=1)[:, : min(c, keys.shape[1])]
    return np.take_along_axis(ids, order, axis=1).astype(np.uint64, copy=False)


def _merged_exact_pass(passes: list[ExactPass], m: int, first: int) -> ExactPass:
    """The shards' passes for m queries as one: the `first` best table sums
    over all shards, and as others everything else any shard proposed. A
    shard's assumption only lowers its floor, so the largest one holds for
    all."""
    firsts, others = [], []
    first_counts, other_counts = np.zeros(m, np.intp), np.zeros(m, np.intp)
    assumed = np.full(m, -np.inf)
    per_shard = [
        (
            np.split(np.arange(len(p.first)), np.cumsum(p.first_counts)[:-1]),
            np.split(np.arange(len(p.others)), np.cumsum(p.other_counts)[:-1]),
        )
        for p in passes
    ]
    for q in range(m):
        ids = np.concatenate([p.first[f[q]] for p, (f, _) in zip(passes, per_shard)] + [np.empty(0, np.uint64)])
        sums = np.concatenate([p.first_sums[f[q]] for p, (f, _) in zip(passes, per_shard)] + [np.empty(0, np.float32)])
        upper = np.concatenate([p.first_upper[f[q]] for p, (f, _) in zip(passes, per_shard)] + [np.empty(0)])
        order = np.lexsort((ids, -sums))
        chosen, rest = order[:first], order[first:]
        firsts.append((ids[chosen], sums[chosen], upper[chosen]))
        others.append(
            (
                np.concatenate([ids[rest]] + [p.others[o[q]] for p, (_, o) in zip(passes, per_shard)]),
                np.concatenate([upper[rest]] + [p.others_upper[o[q]] for p, (_, o) in zip(passes, per_shard)]),
            )
        )
        first_counts[q], other_counts[q] = len(chosen), len(others[-1][0])
        assumed[q] = max([p.assumed[q] for p in passes], default=-np.inf)
    return ExactPass(
        np.concatenate([f[0] for f in firsts] + [np.empty(0, np.uint64)]).astype(np.uint64),
        np.concatenate([f[1] for f in firsts] + [np.empty(0, np.float32)]),
        np.concatenate([f[2] for f in firsts] + [np.empty(0)]),
        first_counts,
        np.concatenate([o[0] for o in others] + [np.empty(0, np.uint64)]).astype(np.uint64),
        np.concatenate([o[1] for o in others] + [np.empty(0)]),
        other_counts,
        assumed,
    )


def _merged_lists(shares: list[Sequence[Any]], m: int) -> tuple[npt.NDArray[np.uint64], npt.NDArray[np.uint64]]:
    """The shards' lists of a second pass (ids, and how many per query) for m
    queries, each query's ids from every shard together."""
    lists: list[list[npt.NDArray[np.uint64]]] = [[] for _ in range(m)]
    for id_bytes, count_bytes in shares:
        ids, counts = _unwire_ids(id_bytes), _unwire_ids(count_bytes)
        for q, part in enumerate(np.split(ids, np.cumsum(counts.astype(np.intp))[:-1])):
            lists[q].append(part)
    merged = [np.concatenate(parts) if parts else np.empty(0, np.uint64) for parts in lists]
    return (
        np.concatenate(merged) if merged else np.empty(0, np.uint64),
        np.array([len(part) for part in merged], dtype=np.uint64),
    )
