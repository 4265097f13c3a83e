"""What travels between the client and its shards.

Ids, vectors, records and results travel as little-endian bytes: a list of
small Python objects costs far more to serialise than the data it holds."""

from __future__ import annotations

from typing import Any, TypeAlias

import numpy as np
import numpy.typing as npt

# Records as Index.export_records gives them, with their ids: ids, norms,
# packed codes (one row of record_bytes per id) and error bounds.
_Records: TypeAlias = tuple[
    npt.NDArray[np.uint64], npt.NDArray[np.float32], npt.NDArray[np.uint8], npt.NDArray[np.uint16]
]


class _TransactionAborted(RuntimeError):
    """A replica refuses a step of a batch that was aborted, or that it never prepared."""


def _wire_array(values: npt.ArrayLike, dtype: str) -> bytes:
    return np.ascontiguousarray(values, dtype=dtype).tobytes()


def _unwire_ids(data: bytes) -> npt.NDArray[np.uint64]:
    return np.frombuffer(data, dtype="<u8").astype(np.uint64)


def _unwire_matrix(data: bytes, dim: int) -> npt.NDArray[np.float32]:
    return np.frombuffer(data, dtype="<f4").astype(np.float32).reshape(-1, dim)


def _wire_records(
    ids: npt.ArrayLike, norms: npt.ArrayLike, codes: npt.ArrayLike, bounds: npt.ArrayLike
) -> tuple[bytes, bytes, bytes, bytes]:
    return _wire_array(ids, "<u8"), _wire_array(norms, "<f4"), _wire_array(codes, "u1"), _wire_array(bounds, "<u2")


def _unwire_records(ids: bytes, norms: bytes, codes: bytes, bounds: bytes, record_bytes: int) -> _Records:
    return (
        _unwire_ids(ids),
        np.frombuffer(norms, dtype="<f4").astype(np.float32),
        np.frombuffer(codes, dtype=np.uint8).reshape(-1, record_bytes),
        np.frombuffer(bounds, dtype="<u2").astype(np.uint16),
    )


def _wire_results(ids: npt.NDArray[Any], scores: npt.NDArray[Any]) -> tuple[bytes, bytes]:
    return _wire_array(ids, "<u8"), _wire_array(scores, "<f4")


def _unwire_results(ids: bytes, scores: bytes) -> tuple[npt.NDArray[np.uint64], npt.NDArray[np.float32]]:
    return _unwire_ids(ids), np.frombuffer(scores, dtype="<f4").astype(np.float32)


def _unpack_ranked(ids: bytes, scores: bytes) -> list[tuple[int, float]]:
    """A shard's ranking as (id, score) pairs of Python ints and floats."""
    id_array, score_array = _unwire_results(ids, scores)
    return list(zip(id_array.tolist(), score_array.tolist()))


def _unwire_exact_pass(parts: tuple[bytes, ...]) -> Any:
    """A shard's exact pass (velmora._rerank.ExactPass)."""
    from .._rerank import ExactPass

    first, sums, first_upper, first_counts, others, others_upper, other_counts, assumed = parts
    return ExactPass(
        np.frombuffer(first, dtype=np.uint64),
        np.frombuffer(sums, dtype=np.float32),
        np.frombuffer(first_upper, dtype=np.float64),
        np.frombuffer(first_counts, dtype=np.intp),
        np.frombuffer(others, dtype=np.uint64),
        np.frombuffer(others_upper, dtype=np.float64),
        np.frombuffer(other_counts, dtype=np.intp),
        np.frombuffer(assumed, dtype=np.float64),
    )
