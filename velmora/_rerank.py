"""Search with the caller's full vectors: the compressed search proposes
candidates, and their exact cosine similarities (float64, from the values as
given) decide. In the exact mode, the error bound kept beside each vector's
codes proves which vectors cannot beat the k-th best exact score found so far,
so that only the others are read.

The flow is written once for anything that can search compressed codes: an
Index, or a sharded store that asks its shards."""

from __future__ import annotations

from collections.abc import Callable
from typing import Any, NamedTuple, Protocol

import numpy as np
import numpy.typing as npt

from ._index_core import exact_cosines

__all__ = ["FullVectors", "RerankError", "default_candidates", "reranked_search"]

# Candidates per result that the bound pass hands to the re-ranking by
# default: recall@10 of the re-ranked top 10 stays at or above 0.99 on real
# sentence embeddings at each width, and at 0.97 at 4 bits on a million
# embedding-like vectors (0.94 with 4 per result), with room for harder data.
# Candidates cost no compressed score, only the reading of their vectors.
_CANDIDATES_PER_RESULT = {2: 20, 3: 12, 4: 6}
# The first candidates an exact search reads by default, whose k-th best
# exact cosine sets the bar for the rest: nearly always above that of the
# estimates, so more would be read for little.
_EXACT_FIRST_PER_RESULT = {2: 10, 3: 6, 4: 4}
# Queries whose largest coordinate lies outside [2**-41, 2**40) are scaled by a
# power of two first (exactly, so neither their cosines nor their ranking
# change): a float32 norm summed from subnormal squares, or one that
# overflows, would leave the error bounds nothing to prove with.
_SAFE_EXPONENT = 40
# Full vectors fetched from the caller's source per call, at most, and
# queries re-ranked together (their candidates are fetched in one call).
_ROWS_PER_FETCH = 1 << 16
_QUERIES_PER_PART = 64


def default_candidates(k: int, bits: int, exact: bool = False) -> int:
    return k * (_EXACT_FIRST_PER_RESULT if exact else _CANDIDATES_PER_RESULT)[bits]


class RerankError(ValueError):
    """The full vectors that a search with `rerank` reads are unusable: an id
    beyond an array's rows, a wrong shape or dtype, a row that is zero or not
    finite, or a callable that raised. `ids` holds the ids concerned."""

    def __init__(self, message: str, ids: list[int]) -> None:
        super().__init__(message)
        self.ids = ids


class ExactPass(NamedTuple):
    """One pass of an exact search for m queries: the `first` candidates to read
    (flat, `first_counts` per query, the best table sums first), and the
    others that may reach `assumed`: if the k-th best exact cosine among the
    first reaches a query's assumption, any vector that can beat it is among
    its others whose upper bound reaches it; otherwise a second pass must list
    them."""

    first: npt.NDArray[np.uint64]
    first_sums: npt.NDArray[np.float32]
    first_upper: npt.NDArray[np.float64]
    first_counts: npt.NDArray[np.intp]
    others: npt.NDArray[np.uint64]
    others_upper: npt.NDArray[np.float64]
    other_counts: npt.NDArray[np.intp]
    assumed: npt.NDArray[np.float64]


class Searchable(Protocol):
    """What the flow needs of a compressed index."""

    @property
    def dim(self) -> int: ...
    @property
    def bits(self) -> int: ...
    def _compressed_ids(
        self, queries: npt.NDArray[Any], k: int, allowed: npt.NDArray[np.uint64] | None
    ) -> npt.NDArray[np.uint64]: ...
    def _rerank_candidates(
        self, queries: npt.NDArray[Any], c: int, allowed: npt.NDArray[np.uint64] | None
    ) -> npt.NDArray[np.uint64]: ...
    def _exact_pass(
        self, queries: npt.NDArray[Any], first: int, k: int, allowed: npt.NDArray[np.uint64] | None
    ) -> ExactPass: ...
    def _read_list(
        self, queries: npt.NDArray[Any], taus: npt.NDArray[np.float64], allowed: npt.NDArray[np.uint64] | None
    ) -> tuple[npt.NDArray[np.uint64], npt.NDArray[np.uint64]]: ...
    def _unknown_error_bounds(self) -> int: ...


def _named_ids(ids: Any, limit: int = 5) -> str:
    shown = ", ".join(str(int(i)) for i in ids[:limit])
    return f"{shown}, ... ({len(ids)} ids)" if len(ids) > limit else shown


class FullVectors:
    """The caller's full vectors: a 2-D array-like whose row i is the vector of
    id i, or a callable from a uint64 id array to an (n, dim) array."""

    def __init__(self, source: Any, dim: int) -> None:
        self._dim = dim
        self._rows: int | None = None
        self._fetch: Callable[[npt.NDArray[np.uint64]], Any]
        # A numpy array (a memory map included) of native floats is read in
        # place by the engine, row by row, with no gathered copy.
        self.direct: npt.NDArray[np.floating[Any]] | None = None
        if callable(source) and not hasattr(source, "shape"):
            self._fetch = source
            return
        rows = source if hasattr(source, "shape") and hasattr(source, "__getitem__") else np.asarray(source)
        shape = tuple(rows.shape)
        if len(shape) != 2 or shape[1] != dim:
            raise ValueError(
                f"rerank must be a 2-D array with {dim} columns (row i the vector of id i) or a "
                f"callable; got shape {shape}"
            )
        self._rows = int(shape[0])
        self._fetch = lambda ids: rows[ids.astype(np.intp)]
        if isinstance(rows, np.ndarray) and rows.dtype in (np.float32, np.float64) and rows.dtype.isnative:
            self.direct = rows

    def check_ids(self, ids: npt.NDArray[np.uint64]) -> None:
        """Refuses ids beyond an array's rows."""
        if self._rows is not None and len(ids) and int(ids.max()) >= self._rows:
            beyond = np.unique(ids[ids >= self._rows])
            raise RerankError(
                f"rerank array has {self._rows} rows, so it holds no vector for id {_named_ids(beyond)}",
                beyond.tolist(),
            )

    def fetch(self, ids: npt.NDArray[np.uint64]) -> npt.NDArray[np.floating[Any]]:
        """The full vectors of `ids` (ascending, unique), float32 or float64,
        C-contiguous; whether each is zero or not finite is checked as its
        cosines are computed."""
        self.check_ids(ids)
        try:
            fetched = self._fetch(ids)
        except Exception as exc:
            raise RerankError(
                f"rerank failed to fetch ids {_named_ids(ids)}: {type(exc).__name__}: {exc}", ids.tolist()
            ) from exc
        rows = np.asarray(fetched)
        if rows.dtype not in (np.float32, np.float64):
            raise RerankError(
                f"rerank gave dtype {rows.dtype} for ids {_named_ids(ids)}; float32 or float64 vectors are needed",
                ids.tolist(),
            )
        if rows.shape != (len(ids), self._dim):
            raise RerankError(
                f"rerank gave shape {rows.shape} for {len(ids)} ids ({_named_ids(ids)}); "
                f"({len(ids)}, {self._dim}) is needed",
                ids.tolist(),
            )
        return np.ascontiguousarray(rows)


def _row_contains(
    ids: npt.NDArray[np.uint64], owners: npt.NDArray[np.intp], candidates: npt.NDArray[np.uint64]
) -> npt.NDArray[np.bool_]:
    """Whether each candidate is already among the ids of its query's row."""
    if len(candidates) == 0:
        return np.zeros(0, dtype=bool)
    return np.asarray((ids[owners] == candidates[:, np.newaxis]).any(axis=1))


def _merge_rows(
    ids: npt.NDArray[np.uint64],
    scores: npt.NDArray[np.float64],
    more: npt.NDArray[np.uint64],
    more_scores: npt.NDArray[np.float64],
    owners: npt.NDArray[np.intp],
) -> tuple[npt.NDArray[np.uint64], npt.NDArray[np.float64]]:
    """Rows of ids and scores widened by the extra (id, score) pairs of each
    row; short rows are padded with -inf scores, which never rank."""
    m, c = ids.shape
    if m == 1:  # every extra pair is the one row's
        return np.concatenate((ids[0], more))[np.newaxis], np.concatenate((scores[0], more_scores))[np.newaxis]
    extra = np.bincount(owners, minlength=m)
    width = c + int(extra.max())
    wide_ids = np.zeros((m, width), dtype=np.uint64)
    wide_scores = np.full((m, width), -np.inf)
    wide_ids[:, :c], wide_scores[:, :c] = ids, scores
    order = np.argsort(owners, kind="stable")
    starts = np.concatenate(([0], np.cumsum(extra)[:-1]))
    sorted_owners = owners[order]
    columns = c + np.arange(len(owners)) - starts[sorted_owners]
    wide_ids[sorted_owners, columns] = more[order]
    wide_scores[sorted_owners, columns] = more_scores[order]
    return wide_ids, wide_scores


def _best(
    ids: npt.NDArray[np.uint64], scores: npt.NDArray[np.float64], k: int
) -> tuple[npt.NDArray[np.uint64], npt.NDArray[np.float32]]:
    """The k best of each row: greater score first, equal scores by smaller id.
    Only the entries that reach their row's k-th best score are ordered."""
    m, width = scores.shape
    if m == 1:
        row_ids, row_scores = ids[0], scores[0]
        if width > 4 * k:
            reaching = np.flatnonzero(row_scores >= -np.partition(-row_scores, k - 1)[k - 1])
            row_ids, row_scores = row_ids[reaching], row_scores[reaching]
        order = np.lexsort((row_ids, -row_scores))[:k]
        return row_ids[order][np.newaxis], row_scores[order].astype(np.float32)[np.newaxis]
    if width > 4 * k:
        kth = -np.partition(-scores, k - 1, axis=1)[:, k - 1]
        rows, columns = np.nonzero(scores >= kth[:, np.newaxis])
        order = np.lexsort((ids[rows, columns], -scores[rows, columns], rows))
        rows, columns = rows[order], columns[order]
        # Each row has at least k entries reaching its k-th best score.
        starts = np.searchsorted(rows, np.arange(m))
        picked = columns[(starts[:, np.newaxis] + np.arange(k)).reshape(-1)].reshape(m, k)
    else:
        picked = np.lexsort((ids, -scores), axis=1)[:, :k]
    return (
        np.take_along_axis(ids, picked, axis=1),
        np.take_along_axis(scores, picked, axis=1).astype(np.float32),
    )


def reranked_search(
    index: Searchable,
    queries: npt.NDArray[Any],
    k: int,
    allowed: npt.NDArray[np.uint64] | None,
    source: FullVectors,
    candidates: int | None,
    exact: bool,
) -> tuple[npt.NDArray[np.uint64], npt.NDArray[np.float32]]:
    """The k best of each query (rows of `queries`, float32 or float64 as
    given) by exact cosine: among the best `candidates` by estimate, or, with
    `exact`, among every stored, allowed vector."""
    if candidates is None:
        wanted = default_candidates(k, index.bits, exact)
    else:
        wanted = candidates
        if wanted < k:
            raise ValueError(f"candidates must be at least k ({k}), got {wanted}")
    if exact:
        unknown = index._unknown_error_bounds()
        if unknown:
            raise ValueError(
                f"exact=True needs an error bound for every stored vector, and {unknown} have none (their "
                "records came from a version-1 file or from import_records without error_bounds): add those "
                "vectors again with Index.add, or import records exported with their error_bounds"
            )
    m = queries.shape[0]
    # A row's largest magnitude is NaN or infinite when the row is not finite, 0 when it is zero.
    largest = np.abs(queries).max(axis=1) if queries.shape[1] else np.zeros(m)
    good = np.isfinite(largest) & (largest > 0)
    if not good.all():
        raise ValueError(
            f"query {int(np.argmin(good))} is zero or not finite: its cosine similarity with anything is undefined"
        )
    if m == 0 or k == 0:
        # The compressed search's shapes: (m, 0), or (0, its number of results).
        ids = index._compressed_ids(queries, k, allowed)
        return ids, np.empty(ids.shape, dtype=np.float32)
    queries = _scaled_into_range(queries, largest)
    cosine = _Cosines()
    parts = [
        _reranked_part(index, cosine, queries[q0 : q0 + _QUERIES_PER_PART], k, allowed, source, wanted, exact)
        for q0 in range(0, m, _QUERIES_PER_PART)
    ]
    if len(parts) == 1:
        return parts[0]
    return np.concatenate([p[0] for p in parts]), np.concatenate([p[1] for p in parts])


def _scaled_into_range(queries: npt.NDArray[Any], largest: npt.NDArray[Any]) -> npt.NDArray[Any]:
    """The queries (nonzero, finite rows, `largest` the largest magnitude of
    each), each row whose largest magnitude lies outside [2**-41, 2**40)
    multiplied by the power of two that brings it into [0.5, 1)."""
    if ((largest >= 2.0 ** -(_SAFE_EXPONENT + 1)) & (largest < 2.0**_SAFE_EXPONENT)).all():
        return queries
    _, exponents = np.frexp(largest)
    outside = np.abs(exponents) > _SAFE_EXPONENT
    scaled = queries.copy()
    scaled[outside] = np.ldexp(queries[outside], -exponents[outside, np.newaxis])
    return scaled


class _Cosines:
    """Exact cosines of queries and fetched rows (the engine's order, in
    double)."""

    def __call__(
        self,
        queries: npt.NDArray[Any],
        ids: npt.NDArray[np.uint64],
        source: FullVectors,
        owners: npt.NDArray[np.intp] | None = None,
    ) -> npt.NDArray[np.float64]:
        """The exact cosine of each id and its query: ids of shape (m, c), row
        q for query q; or flat ids with their queries' rows in `owners`."""
        flat_ids = ids.reshape(-1)
        flat_owners = np.repeat(np.arange(ids.shape[0]), ids.shape[1]) if owners is None else owners
        if source.direct is not None:
            source.check_ids(flat_ids)
            scores = np.frombuffer(
                exact_cosines(queries, source.direct, flat_owners.astype(np.uint64), flat_ids), dtype=np.float64
            )
            self._check(scores, flat_ids)
            return scores.reshape(ids.shape)
        scores = np.empty(len(flat_ids), dtype=np.float64)
        unique, inverse = np.unique(flat_ids, return_inverse=True)
        inverse = inverse.reshape(-1)
        for first in range(0, len(unique), _ROWS_PER_FETCH):
            chunk = unique[first : first + _ROWS_PER_FETCH]
            rows = source.fetch(chunk)
            picked = np.flatnonzero((inverse >= first) & (inverse < first + len(chunk)))
            scores[picked] = np.frombuffer(
                exact_cosines(
                    queries, rows, flat_owners[picked].astype(np.uint64), (inverse[picked] - first).astype(np.uint64)
                ),
                dtype=np.float64,
            )
            self._check(scores[picked], flat_ids[picked])
        return scores.reshape(ids.shape)

    @staticmethod
    def _check(scores: npt.NDArray[np.float64], ids: npt.NDArray[np.uint64]) -> None:
        # Queries were checked: a zero or non-finite row gives a NaN or infinite cosine.
        bad = ~np.isfinite(scores)
        if bad.any():
            wrong = np.unique(ids[bad])
            raise RerankError(f"rerank gave a zero or non-finite vector for id {_named_ids(wrong)}", wrong.tolist())


def _reranked_part(
    index: Searchable,
    cosine: _Cosines,
    queries: npt.NDArray[Any],
    k: int,
    allowed: npt.NDArray[np.uint64] | None,
    source: FullVectors,
    wanted: int,
    exact: bool,
) -> tuple[npt.NDArray[np.uint64], npt.NDArray[np.float32]]:
    m = queries.shape[0]
    if not exact:
        ids = index._rerank_candidates(queries, wanted, allowed)
        kept = min(k, ids.shape[1])
        if kept == 0:
            return np.empty((m, 0), dtype=np.uint64), np.empty((m, 0), dtype=np.float32)
        return _best(ids, cosine(queries, ids, source), kept)
    passed = index._exact_pass(queries, wanted, k, allowed)
    kept = min(k, int(passed.first_counts.max(initial=0)))
    if kept == 0:
        return np.empty((m, 0), dtype=np.uint64), np.empty((m, 0), dtype=np.float32)
    first_owners = np.repeat(np.arange(m), passed.first_counts)
    ids, scores = _merge_rows(
        np.empty((m, 0), dtype=np.uint64),
        np.empty((m, 0)),
        passed.first,
        cosine(queries, passed.first, source, first_owners),
        first_owners,
    )
    # Rows are padded with -inf scores: the k-th best of a row shorter than k
    # (every candidate of the query is in it) is -inf.
    taus = -np.partition(-scores, k - 1, axis=1)[:, k - 1] if scores.shape[1] >= k else np.full(m, -np.inf)
    # Where the pass's assumption held, its others whose bound reaches the
    # k-th best exact score are all that can still beat it; elsewhere a
    # second pass lists them.
    held = taus >= passed.assumed
    owners = np.repeat(np.arange(m), passed.other_counts)
    needed = (passed.others_upper >= taus[owners]) & held[owners]
    more, owners = passed.others[needed], owners[needed]
    again = np.flatnonzero(~held)
    if len(again):
        listed, counts = index._read_list(queries[again], taus[again], allowed)
        listed_owners = again[np.repeat(np.arange(len(again)), counts.astype(np.intp))]
        fresh = ~_row_contains(ids, listed_owners, listed)
        more = np.concatenate([more, listed[fresh]])
        owners = np.concatenate([owners, listed_owners[fresh]])
    if len(more):
        ids, scores = _merge_rows(ids, scores, more, cosine(queries, more, source, owners), owners)
    return _best(ids, scores, kept)
