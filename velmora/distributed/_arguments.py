"""What callers pass, checked and turned into what the shards receive.

Every argument is first converted and checked by the local store's (or, for
the array methods, the local index's) own code, so that bad input raises
exactly what `CompressedVectorStore` (or `velmora.Index`) raises for the same
call, in the same order, and reaches no shard. The conversion and checks of a
write also encode its vectors, once, here, into a scratch `velmora.Index`,
whose records (bit for bit what a local index would store) are what the
shards import."""

from __future__ import annotations

import math
from array import array
from collections.abc import Sequence
from typing import Any, SupportsFloat, SupportsIndex, TypeAlias

import numpy as np
import numpy.typing as npt

from .._index import Index as _Index
from .._index_core import IndexCore
from ._wire import _Records

# What the local store accepts: an id is an int or anything with __index__
# (a numpy integer, say); a vector is a sequence of numbers (floats, or
# anything with __float__ or __index__) or a numpy array.
Vector: TypeAlias = Sequence[SupportsFloat | SupportsIndex] | npt.NDArray[Any]

_EMPTY_STORE_MESSAGE = "Store is empty \u2014 cannot query an empty store"


def _positive_int(value: Any, name: str) -> int:
    if isinstance(value, bool) or not isinstance(value, int):
        raise TypeError(f"{name} must be an int, got {type(value).__name__}")
    if value < 1:
        raise ValueError(f"{name} must be at least 1, got {value}")
    return value


def _positive_seconds(timeout: Any) -> float:
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


def _is_empty_store_error(error: ValueError) -> bool:
    return error.args == (_EMPTY_STORE_MESSAGE,)


def _dimension_mismatch(expected: int, got: int) -> str:
    return f"Dimension mismatch: expected {expected}, got {got}"


def _f32_array(vector: Any) -> array[float]:
    # Narrowing to f32 here is the narrowing that the store itself applies.
    # Lists and tuples have a faster path; anything else is iterated, since
    # array() would read bytes and bytearray as raw memory.
    if type(vector) is list or type(vector) is tuple:
        return array("f", vector)
    return array("f", iter(vector))


def _checked_vector(vector: Any, dim: int) -> array[float]:
    """The vector as f32 values, read again after the store's conversion
    accepted it. For a query, the length check here is the store's, since the
    empty store stops before its own; for a write, only a sequence that yields
    other items the second time round can fail it."""
    payload = _f32_array(vector)
    if len(payload) != dim:
        raise ValueError(_dimension_mismatch(dim, len(payload)))
    return payload


def _encode_pairs(dim: int, bits: int, pairs: Any) -> _Index:
    """The (id, vector) pairs of `CompressedVectorStore.insert_batch`,
    converted and checked by the store's own code and encoded once."""
    return _Index._wrap(IndexCore.from_pairs(dim, bits, pairs))


def _encode_pair(dim: int, bits: int, id: Any, vector: Any) -> _Index:
    """The id and vector of `CompressedVectorStore.insert`, converted and
    checked by the store's own code and encoded once."""
    return _Index._wrap(IndexCore.from_pair(dim, bits, id, vector))


def _encode_rows(dim: int, bits: int, ids: npt.ArrayLike, vectors: npt.ArrayLike) -> _Index:
    """The arguments of `Index.add`, checked by Index.add itself, which is
    also their one encoding."""
    encoded = _Index(dim, bits)
    encoded.add(ids, vectors)
    return encoded


def _exported(encoded: _Index) -> _Records:
    """Every record of `encoded` with its id: one per id, in first-occurrence
    order, holding the id's last vector, as a local index would store it."""
    ids = encoded.ids
    return (ids, *encoded.export_records(ids))
