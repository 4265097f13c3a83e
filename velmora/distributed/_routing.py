"""Which shard holds an id: a fixed 64-bit integer mix of the id (splitmix64)
modulo the shard count, the same in every process, machine and Python
version (Python's ``hash()`` is not)."""

from __future__ import annotations

import operator
from typing import Any, SupportsIndex

import numpy as np
import numpy.typing as npt

_MASK64 = (1 << 64) - 1


def _splitmix64(value: int) -> int:
    z = (value + 0x9E3779B97F4A7C15) & _MASK64
    z = ((z ^ (z >> 30)) * 0xBF58476D1CE4E5B9) & _MASK64
    z = ((z ^ (z >> 27)) * 0x94D049BB133111EB) & _MASK64
    return z ^ (z >> 31)


def shard_of(id: SupportsIndex, shards: int) -> int:
    """The shard that holds `id` among `shards` shards.

    A fixed integer mix of the id (splitmix64) modulo the shard count: the same
    in every process and Python version, unlike ``hash()``."""
    return _splitmix64(operator.index(id)) % shards


def _shards_of(ids: npt.ArrayLike, shards: int) -> npt.NDArray[Any]:
    """shard_of for a uint64 array (numpy's uint64 arithmetic wraps like the mix's)."""
    z = np.asarray(ids, dtype=np.uint64) + np.uint64(0x9E3779B97F4A7C15)
    z = (z ^ (z >> np.uint64(30))) * np.uint64(0xBF58476D1CE4E5B9)
    z = (z ^ (z >> np.uint64(27))) * np.uint64(0x94D049BB133111EB)
    return (z ^ (z >> np.uint64(31))) % np.uint64(shards)
