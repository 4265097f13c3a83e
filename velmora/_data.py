"""Synthetic data sets for the demo and the benchmarks (needs numpy)."""

from __future__ import annotations

from typing import Any


def embedding_like(n: int, dim: int, seed: int = 0, clusters: int | None = None) -> Any:
    """Return an (n, dim) float32 array of clustered, anisotropic vectors.

    Real embeddings are neither isotropic nor uniform: they gather around
    topics, and a few directions carry most of the variance. The vectors here
    are cluster centres along a decaying spectrum plus per-point noise with
    the same spectrum, so nearest neighbours are meaningful but not trivial.
    """
    import numpy as np

    rng = np.random.default_rng(seed)
    clusters = clusters or max(8, int(round(n**0.5 / 4)))
    spectrum = (1.0 / np.sqrt(1.0 + np.arange(dim) / 8.0)).astype(np.float32)
    basis, _ = np.linalg.qr(rng.standard_normal((dim, dim)))
    basis = basis.astype(np.float32)
    centres = rng.standard_normal((clusters, dim)).astype(np.float32) * spectrum
    assignment = rng.integers(0, clusters, size=n)
    out = np.empty((n, dim), dtype=np.float32)
    step = 65536
    for start in range(0, n, step):
        stop = min(n, start + step)
        noise = rng.standard_normal((stop - start, dim)).astype(np.float32) * (0.6 * spectrum)
        out[start:stop] = (centres[assignment[start:stop]] + noise) @ basis
    return out


def exact_top_k(data: Any, queries: Any, k: int) -> Any:
    """Indices of the k most cosine-similar rows of data for each query."""
    import numpy as np

    unit = data / np.linalg.norm(data, axis=1, keepdims=True)
    q = queries / np.linalg.norm(queries, axis=1, keepdims=True)
    out = np.empty((len(q), k), dtype=np.int64)
    for i, row in enumerate(q):
        scores = unit @ row
        top = np.argpartition(-scores, k)[:k]
        out[i] = top[np.argsort(-scores[top])]
    return out


def recall_at_k(found: list[list[int]], truth: Any) -> float:
    """Mean share of the true k nearest found among the k returned."""
    hits = sum(len(set(f) & set(t.tolist())) for f, t in zip(found, truth))
    return hits / float(truth.size)
