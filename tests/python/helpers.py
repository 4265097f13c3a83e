"""Shared by the binding tests."""

import os
import platform
import random
import struct

import pytest

DIM = 32

# The kernel levels VELMORA_SIMD can force on this architecture, lowest first
# (another architecture's names are ignored: they would run the best level).
SIMD_LEVELS = ("scalar", "neon") if platform.machine() == "aarch64" else ("scalar", "avx2", "avx512")

# Set by scripts/test-aarch64.sh, which runs the suite on an aarch64 CPython
# under qemu-user: what cannot run there skips, saying why.
EMULATOR = os.environ.get("VELMORA_TEST_EMULATOR", "")


def skip_under_emulation(reason):
    return pytest.mark.skipif(bool(EMULATOR), reason=f"under {EMULATOR} emulation: {reason}")


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
