"""Codes and scores are bit-identical for every thread count and kernel level."""

import os
import subprocess
import sys

from helpers import SIMD_LEVELS

SCRIPT = r"""
import hashlib, random
from velmora import CompressedVectorStore
digest = hashlib.sha256()
for dim, bits in ((37, 2), (64, 3), (130, 4)):
    rng = random.Random(dim)
    vectors = [[rng.gauss(0, 1) for _ in range(dim)] for _ in range(333)]
    batch = CompressedVectorStore(dim, bits)
    batch.insert_batch([(i * 3, v) for i, v in enumerate(vectors)])
    for i in range(0, 333, 5):
        batch.remove(i * 3)
    single = CompressedVectorStore(dim, bits)
    for i, v in enumerate(vectors[:40]):
        single.insert(i, v)
    for store in (batch, single):
        for q in vectors[:4] + [[rng.gauss(0, 1) for _ in range(dim)]]:
            for k in (1, 10, 1000):
                digest.update(repr([(i, s.hex()) for i, s in store.query(q, k)]).encode())
            digest.update(repr([(i, s.hex()) for i, s in store.query_all(q)]).encode())
print(digest.hexdigest())
"""


def run(**env):
    full_env = {k: v for k, v in os.environ.items() if k not in ("RAYON_NUM_THREADS", "VELMORA_SIMD")}
    full_env.update(env)
    # -P: the source tree (the working directory) must not shadow the
    # installed package.
    out = subprocess.run([sys.executable, "-P", "-c", SCRIPT], env=full_env, capture_output=True, text=True, check=True)
    return out.stdout.strip()


def test_thread_counts_and_kernel_levels_agree_bit_for_bit():
    expected = run(RAYON_NUM_THREADS="1", VELMORA_SIMD="reference")
    assert len(expected) == 64
    for threads in ("1", "2", "3"):
        for level in SIMD_LEVELS:
            assert run(RAYON_NUM_THREADS=threads, VELMORA_SIMD=level) == expected, (threads, level)
    assert run(RAYON_RS_NUM_CPUS="2") == expected
