"""What callers pass, checked and turned into what the shards receive.

Every argument is first converted and checked by the local store's (or, for
the array methods, the local index's) own code, so that bad input raises
exactly what `CompressedVectorStore` (or `velmora.Index`) raises for the same
call, in the same order, and reaches no shard. The vectors of a write are then
encoded once, here, on a scratch `velmora.Index`, whose records (bit for bit
what a local index would store) are what the shards import."""
from __future__ import annotations

import ctypes
import operator
from array import array
from collections.abc import Callable, Iterator, Sequence
from typing import Any, SupportsFloat, SupportsIndex, TypeAlias

import numpy as np
import numpy.typing as npt

from .. import CompressedVectorStore
from .._index import Index as _Index
from ._wire import _Records

# What the local store accepts: an id is an int or anything with __index__
# (a numpy integer, say); a vector is a sequence of numbers (floats, or
# anything with __float__ or __index__) or a numpy array.
Vector: TypeAlias = Sequence[SupportsFloat | SupportsIndex] | npt.NDArray[Any]

_EMPTY_STORE_MESSAGE = "Store is empty \u2014 cannot query an empty store"


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


def _converted_by_empty_store(call: Callable[[], object]) -> None:
    """Runs a query on an empty store, which converts its arguments and then
    stops as empty: raises what the conversion raises, and nothing else."""
    try:
        call()
    except ValueError as error:
        if not _is_empty_store_error(error):
            raise


# CPython's test of a sequence, which the store applies to a batch before
# reading any pair, and which Python code cannot otherwise spell exactly.
_is_sequence = ctypes.PYFUNCTYPE(ctypes.c_int, ctypes.py_object)(("PySequence_Check", ctypes.pythonapi))

# A pair that no store accepts: dim is at least 32.
_STOP = (0, ())


class _PairsThenStop(Sequence[Any]):
    """The caller's pairs, as the store would read them, followed by `_STOP`.

    CompressedVectorStore.insert_batch converts every pair, then checks every
    length, and encodes only when all of them are right. Given this sequence it
    runs its own conversion and length checks of the caller's pairs (raising
    exactly what it raises for them) and then stops at the last pair, having
    encoded nothing."""

    def __init__(self, pairs: Sequence[Any]) -> None:
        self._pairs = pairs

    def __len__(self) -> int:
        return len(self._pairs) + 1

    def __getitem__(self, position: Any) -> Any:
        # Never called: the store reads a sequence with __iter__.
        raise IndexError(position)

    def __iter__(self) -> Iterator[Any]:
        yield from self._pairs
        yield _STOP


def _encode_pairs(dim: int, bits: int, pairs: Any) -> _Index:
    """The (id, vector) pairs of `CompressedVectorStore.insert_batch`,
    checked as it checks them and encoded once."""
    if isinstance(pairs, str) or not _is_sequence(pairs):
        CompressedVectorStore(dim, bits).insert_batch(pairs)  # refuses the argument itself
    try:
        CompressedVectorStore(dim, bits).insert_batch(_PairsThenStop(pairs))
    except ValueError as error:
        if error.args != (_dimension_mismatch(dim, 0),):
            raise
        # Stopped at _STOP, or at a caller's empty vector, which the second
        # reading below refuses with the same message.
    ids: array[int] = array("Q")
    values: array[float] = array("f")
    for id, vector in pairs:
        ids.append(operator.index(id))
        values.extend(_checked_vector(vector, dim))
    return _encoded_as_the_store_would(dim, bits, np.frombuffer(ids, dtype=np.uint64),
                                       np.frombuffer(values, dtype=np.float32).reshape(-1, dim))


def _encode_pair(dim: int, bits: int, id: Any, vector: Any) -> _Index:
    """The id and vector of `CompressedVectorStore.insert`, checked as it
    checks them and encoded once."""
    empty = CompressedVectorStore(dim, bits)
    empty.remove(id)  # converts the id as insert does; there is nothing to remove
    _converted_by_empty_store(lambda: empty.query_all(vector))  # and the vector
    key = operator.index(id)
    row = np.frombuffer(_checked_vector(vector, dim), dtype=np.float32).reshape(1, dim)
    return _encoded_as_the_store_would(dim, bits, np.array([key], dtype=np.uint64), row)


def _encode_rows(dim: int, bits: int, ids: npt.ArrayLike, vectors: npt.ArrayLike) -> _Index:
    """The arguments of `Index.add`, checked by Index.add itself, which is
    also their one encoding."""
    encoded = _Index(dim, bits)
    encoded.add(ids, vectors)
    return encoded


def _encoded_as_the_store_would(dim: int, bits: int, ids: npt.NDArray[np.uint64],
                                rows: npt.NDArray[np.float32]) -> _Index:
    encoded = _Index(dim, bits)
    try:
        encoded.add(ids, rows)
    except ValueError:
        # The rows have the right shape, so the index refused a zero, tiny or
        # non-finite vector, which the store refuses with a message of its own.
        raise ValueError(_degenerate_vector_message(dim, bits)) from None
    return encoded


def _degenerate_vector_message(dim: int, bits: int) -> str:
    # One message for every such vector, naming no row or id: the store says
    # it for a zero vector, before encoding anything.
    try:
        CompressedVectorStore(dim, bits).insert(0, [0.0] * dim)
    except ValueError as refusal:
        return str(refusal)
    raise AssertionError("CompressedVectorStore accepted a zero vector")


def _exported(encoded: _Index) -> _Records:
    """Every record of `encoded` with its id: one per id, in first-occurrence
    order, holding the id's last vector, as a local index would store it."""
    ids = encoded.ids
    return (ids, *encoded.export_records(ids))
