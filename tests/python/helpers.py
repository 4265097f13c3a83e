"""Shared by the binding tests."""

import random
import struct

DIM = 32


def f32(x):
    """x rounded to the nearest f32, as a Python float."""
    return struct.unpack("<f", struct.pack("<f", x))[0]


def random_vector(seed, dim=DIM):
    rng = random.Random(seed)
    return [rng.gauss(0.0, 1.0) for _ in range(dim)]


def observable_state(store, probe):
    """Everything Python can see of a store, compared before and after calls
    that must leave it unchanged. NaN scores are compared by their text."""
    ranked = store.query_all(probe) if len(store) else []
    return len(store), store.memory_bytes(), repr(store), [(i, repr(s)) for i, s in ranked]
