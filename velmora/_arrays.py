"""The checks and conversions of array arguments shared by `velmora.Index` and
the sharded store: one set of rules and messages for ids, float arrays and
result counts, wherever a caller passes them."""

from __future__ import annotations

import operator
from typing import Any

import numpy as np
import numpy.typing as npt

_MAX_ID = (1 << 64) - 1


def _ids_array(ids: Any, name: str = "ids") -> npt.NDArray[np.uint64]:
    """A contiguous uint64 copy or view of a 1-D integer array-like."""
    array = np.asarray(ids)
    if array.dtype.kind == "f" and not isinstance(ids, np.ndarray):
        # numpy infers float64 for Python ints that do not share one integer
        # type (say 7 and 2**64 - 1, or an int beside a numpy uint64), which
        # would lose digits: look at the items themselves instead.
        array = np.asarray(ids, dtype=object)
    if array.ndim != 1:
        shape = "a scalar" if array.ndim == 0 else f"shape {array.shape}"
        raise ValueError(f"{name} must be a 1-D array-like of integers, got {shape}")
    kind = array.dtype.kind
    if kind == "u":
        return np.ascontiguousarray(array, dtype=np.uint64)
    if kind == "i":
        if array.size and array.min() < 0:
            at = int(np.argmin(array))
            raise ValueError(f"{name} must be in [0, 2**64): got {int(array[at])} at position {at}")
        return array.astype(np.uint64)
    if kind == "O":
        values = []
        for at, item in enumerate(array):
            try:
                value = operator.index(item)
            except TypeError:
                raise TypeError(f"{name} must be integers, got {type(item).__name__} at position {at}") from None
            if not 0 <= value <= _MAX_ID:
                raise ValueError(f"{name} must be in [0, 2**64): got {value} at position {at}")
            values.append(value)
        return np.array(values, dtype=np.uint64)
    if array.size == 0:
        return np.empty(0, dtype=np.uint64)  # [] comes out as float64
    raise TypeError(f"{name} must be integers, got dtype {array.dtype}")


def _float_array(values: Any, name: str) -> npt.NDArray[np.floating[Any]]:
    """A float32 or float64 array in native byte order (any strides)."""
    array = np.asarray(values)
    dtype = array.dtype
    if dtype.kind != "f" or dtype.itemsize not in (2, 4, 8):
        raise TypeError(f"{name} must be float32 or float64, got dtype {dtype}")
    if dtype.itemsize == 2:
        return array.astype(np.float32)  # exact
    if not dtype.isnative:
        return array.astype(dtype.newbyteorder("="))
    return array


def _count(value: Any, name: str) -> int:
    """A non-negative integer, capped at 2**64 - 1 (no store holds more)."""
    try:
        number = operator.index(value)
    except TypeError:
        raise TypeError(f"{name} must be an integer, got {type(value).__name__}") from None
    if number < 0:
        raise ValueError(f"{name} must be non-negative, got {number}")
    return min(number, _MAX_ID)


def _positive(value: Any, name: str) -> int:
    """An integer of at least 1."""
    try:
        number = operator.index(value)
    except TypeError:
        raise TypeError(f"{name} must be an integer, got {type(value).__name__}") from None
    if number < 1:
        raise ValueError(f"{name} must be at least 1, got {number}")
    return number
