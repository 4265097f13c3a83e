"""query(v, k) skips vectors it can prove out of the top k; its answers must
still be the first k of query_all(v), ids and score bits included, for every
thread count and kernel level."""

import os
import subprocess
import sys

import pytest
from helpers import SIMD_LEVELS

SCRIPT = r"""
import hashlib
import numpy as np
from velmora import CompressedVectorStore
from velmora._data import embedding_like

digest = hashlib.sha256()
checked = mismatched = 0
rng = np.random.default_rng(0)
for dim, bits, n in ((32, 3, 4000), (33, 2, 5000), (100, 3, 5000), (128, 4, 16000), (768, 4, 900)):
    # Clustered data where the clusters' basis is cheap to make; a Gaussian
    # cloud at the widest dimension.
    x = embedding_like(n, dim, seed=dim) if dim <= 128 else rng.standard_normal((n, dim), dtype=np.float32)
    # Copies of one vector straddle the k-th place: exactly equal scores, and
    # nearly equal ones from the same direction at other lengths.
    x[n // 2:n // 2 + 30] = x[7]
    x[100:130] = x[7] * np.float32(3.0)
    store = CompressedVectorStore(dim, bits)
    store.insert_batch(list(zip(range(n), x)))
    for i in range(0, n, 97):
        store.remove(i)  # the last entry moves into each hole
    queries = [x[7], x[n - 1], -x[3], x[11] * np.float32(1e-18), x[13] * np.float32(1e18),
               np.eye(dim, dtype=np.float32)[5]]
    for q in queries:
        full = [(i, s.hex()) for i, s in store.query_all(q)]
        for k in (1, 10, 29, 31, len(store) // 8):
            got = [(i, s.hex()) for i, s in store.query(q, k)]
            checked += 1
            mismatched += got != full[:k]
            digest.update(repr(got).encode())
print(digest.hexdigest(), checked, mismatched)
"""


def run(**env):
    full_env = {k: v for k, v in os.environ.items() if k not in ("RAYON_NUM_THREADS", "VELMORA_SIMD")}
    full_env.update(env)
    out = subprocess.run([sys.executable, "-P", "-c", SCRIPT], env=full_env, capture_output=True, text=True, check=True)
    digest, checked, mismatched = out.stdout.split()
    assert int(checked) == 150
    return digest, int(mismatched)


def test_top_k_is_the_head_of_the_full_ranking_for_every_level_and_thread_count():
    expected, mismatched = run(RAYON_NUM_THREADS="1", VELMORA_SIMD="reference")
    assert mismatched == 0
    for threads in ("1", "2", "3"):
        for level in SIMD_LEVELS:
            assert run(RAYON_NUM_THREADS=threads, VELMORA_SIMD=level) == (expected, 0), (threads, level)


def test_one_dominant_coordinate_and_duplicates_at_the_cut():
    np = pytest.importorskip("numpy")
    from velmora import CompressedVectorStore

    rng = np.random.default_rng(3)
    dim = 64
    x = rng.standard_normal((3000, dim), dtype=np.float32)
    x[:, 0] *= 1000.0  # one coordinate carries nearly all of every vector
    x[1000:1012] = x[5]
    store = CompressedVectorStore(dim, 4)
    store.insert_batch(list(zip(range(len(x)), x)))
    for q in (x[5], x[6], np.eye(dim, dtype=np.float32)[0]):
        full = [(i, s.hex()) for i, s in store.query_all(q)]
        for k in (1, 5, 12, 13, 375):
            assert [(i, s.hex()) for i, s in store.query(q, k)] == full[:k], k
