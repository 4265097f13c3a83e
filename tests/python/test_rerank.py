"""Index.search with the caller's full vectors: re-ranking by exact cosine,
and the exact mode, whose answer must be brute force's on any data."""

import os
import subprocess
import sys

import numpy as np
import pytest
from helpers import SIMD_LEVELS

from velmora import Index, RerankError

DIM = 40


def cosines(rows, query):
    """The exact search's cosine, computed as the engine computes it: eight-lane
    float64 dot products (lanes of full blocks of eight, folded (0+4), (1+5),
    (2+6), (3+7) onto zero, then the tail), norms alike."""
    rows = np.asarray(rows, dtype=np.float64)
    query = np.asarray(query, dtype=np.float64)

    def dot8(a, b):
        full = a.shape[-1] // 8 * 8
        lanes = np.zeros(a.shape[:-1] + (8,))
        for start in range(0, full, 8):
            lanes = lanes + a[..., start : start + 8] * b[..., start : start + 8]
        total = 0.0 + (lanes[..., 0] + lanes[..., 4])
        for lane in (1, 2, 3):
            total = total + (lanes[..., lane] + lanes[..., lane + 4])
        for i in range(full, a.shape[-1]):
            total = total + a[..., i] * b[..., i]
        return total

    return dot8(rows, query) / (np.sqrt(dot8(rows, rows)) * np.sqrt(dot8(query, query)))


def brute_force(vectors, ids, query, k):
    """The ids a float64 cosine search over every vector returns (equal scores
    by smaller id), with their scores."""
    scores = cosines(vectors, query)
    order = np.lexsort((ids, -scores))[:k]
    return ids[order], scores[order]


def datasets():
    """(name, ids, vectors) of data that is hard for bounds: duplicates,
    near-duplicates, exact ties, tiny and huge norms, a common direction."""
    rng = np.random.default_rng(11)
    base = rng.standard_normal((300, DIM))
    yield "gaussian", np.arange(300), base
    dup = np.vstack([base[:100], base[:100], base[:100] + 1e-6 * rng.standard_normal((100, DIM))])
    yield "duplicates and near-duplicates", rng.permutation(10**6)[:300], dup
    scaled = base[:60] * np.exp2(rng.integers(-50, 50, (60, 1)))  # exact rescalings: equal cosines
    yield "tiny and huge norms, ties", np.arange(1000, 1300), np.vstack([base[:60], scaled, base[60:240]])
    common = base * 0.05 + rng.standard_normal(DIM) * 3
    yield "a common direction", np.arange(300) * 7 + 5, common
    tiny = base * 1e-11
    yield "norms below 1e-10", np.arange(300), np.vstack([tiny[:150], base[150:]])


DATASETS = list(datasets())


@pytest.mark.parametrize("bits", [2, 3, 4])
@pytest.mark.parametrize("name, ids, vectors", DATASETS, ids=[d[0] for d in DATASETS])
def test_exact_search_returns_brute_force_on_hard_data(name, ids, vectors, bits):
    index = Index(DIM, bits)
    index.add(ids, vectors)
    table = dict(zip(ids.tolist(), vectors))
    fetched = []

    def full(wanted):
        fetched.append(len(wanted))
        return np.array([table[i] for i in wanted.tolist()])

    rng = np.random.default_rng(bits)
    queries = np.vstack(
        [
            vectors[rng.integers(0, len(vectors), 6)] + 0.05 * rng.standard_normal((6, DIM)),
            rng.standard_normal((3, DIM)),
            vectors[:1],
        ]
    )
    for k in (1, 10):
        got_ids, got_scores = index.search(queries, k, rerank=full, exact=True)
        for q, query in enumerate(queries):
            want_ids, want_scores = brute_force(vectors, ids, query, k)
            assert got_ids[q].tolist() == want_ids.tolist(), (name, bits, k, q)
            assert got_scores[q].tobytes() == want_scores.astype(np.float32).tobytes()
    assert sum(fetched) < len(queries) * 2 * len(ids)  # not everything read twice over


def test_exact_search_follows_filters_removals_and_updates():
    rng = np.random.default_rng(5)
    vectors = rng.standard_normal((400, DIM))
    index = Index(DIM, 3)
    index.add(np.arange(400), vectors)
    index.remove(np.arange(0, 400, 3))
    vectors[1::5] = rng.standard_normal((80, DIM))  # updates change the bounds as well as the codes
    index.add(np.arange(1, 400, 5), vectors[1::5])
    stored = np.array(sorted(index.ids.tolist()))
    allowed = rng.choice(400, 120, replace=False)
    candidates = np.intersect1d(stored, allowed)
    queries = vectors[[2, 4, 7]] + 0.1 * rng.standard_normal((3, DIM))
    got, _ = index.search(queries, 8, allowed=allowed, rerank=vectors, exact=True)
    for q, query in enumerate(queries):
        assert got[q].tolist() == brute_force(vectors[candidates], candidates, query, 8)[0].tolist()
    got, scores = index.search(queries, 8, allowed=[], rerank=vectors, exact=True)
    assert got.shape == scores.shape == (3, 0)
    assert Index(DIM, 3).search(queries, 8, rerank=vectors, exact=True)[0].shape == (3, 0)
    few = candidates[:5]
    got, _ = index.search(queries[0], 8, allowed=few, rerank=vectors, exact=True)
    assert got.tolist() == brute_force(vectors[few], few, queries[0], 8)[0].tolist()


def test_exact_search_of_a_large_store_near_its_largest_residuals():
    """Past some thousands of records the residual the pass allows for comes
    from a sample of the bounds; the records whose bounds lie above it must
    still be found (the queries lie next to the records of largest bound),
    with filters and removals."""
    rng = np.random.default_rng(21)
    n, dim = 24_000, 32
    vectors = rng.standard_normal((n, dim)).astype(np.float32)
    index = Index(dim, 2)
    index.add(np.arange(n), vectors)
    index.remove(np.arange(0, n, 7))
    stored = np.array(sorted(index.ids.tolist()))
    worst = stored[np.argsort(index.export_records(stored)[2])[-4:]]
    queries = vectors[worst] + 0.05 * rng.standard_normal((4, dim)).astype(np.float32)
    for allowed in (None, np.union1d(worst, rng.choice(n, 3000, replace=False))):
        candidates = stored if allowed is None else np.intersect1d(stored, allowed)
        got, scores = index.search(queries, 6, allowed=allowed, rerank=vectors, exact=True)
        for q, query in enumerate(queries):
            want_ids, want_scores = brute_force(vectors[candidates], candidates, query, 6)
            assert got[q].tolist() == want_ids.tolist()
            assert scores[q].tobytes() == want_scores.astype(np.float32).tobytes()


def test_reranking_scores_the_candidates_exactly():
    rng = np.random.default_rng(8)
    vectors = rng.standard_normal((500, DIM)).astype(np.float32)
    index = Index(DIM, 2)
    index.add(np.arange(500), vectors)
    queries = vectors[:4] + 0.2 * rng.standard_normal((4, DIM)).astype(np.float32)
    # The candidates come from the integer bound sums alone: as many as asked,
    # distinct, and nearly the compressed search's own best.
    chosen = index._rerank_candidates(queries, 30, None)
    compressed, _ = index.search(queries, 30)
    assert chosen.shape == (4, 30) and all(len(set(row)) == 30 for row in chosen.tolist())
    assert np.mean([len(set(a) & set(b)) for a, b in zip(chosen.tolist(), compressed.tolist())]) >= 24
    ids, scores = index.search(queries, 5, rerank=vectors, candidates=30)
    for q in range(4):
        pool = chosen[q].astype(np.int64)
        want_ids, want_scores = brute_force(vectors[pool], pool, queries[q], 5)
        assert ids[q].tolist() == want_ids.tolist()
        assert scores[q].tobytes() == want_scores.astype(np.float32).tobytes()
    one_ids, one_scores = index.search(queries[0], 5, rerank=vectors, candidates=30)
    assert one_ids.shape == (5,) and one_ids.tolist() == ids[0].tolist()
    # The default hands 20 candidates per result to the re-ranking at 2 bits.
    assert (
        index.search(queries, 3, rerank=vectors)[0].tolist()
        == index.search(queries, 3, rerank=vectors, candidates=60)[0].tolist()
    )
    memmap_path = os.path.join(os.environ.get("TMPDIR", "/tmp"), f"velmora-rerank-{os.getpid()}.npy")
    np.save(memmap_path, vectors)
    try:
        mapped = np.load(memmap_path, mmap_mode="r")
        assert index.search(queries, 5, rerank=mapped, candidates=30)[1].tobytes() == scores.tobytes()
    finally:
        os.remove(memmap_path)


def test_every_layout_of_the_full_vectors_gives_the_same_scores():
    """The engine reads the rows where they lie: float64 rows, rows whose
    columns are strided, Fortran order, rows off their alignment and rows
    laid out backwards must
    score as a float32 C array does, in both modes."""
    rng = np.random.default_rng(12)
    vectors = rng.standard_normal((300, DIM)).astype(np.float32)
    index = Index(DIM, 4)
    index.add(np.arange(300), vectors)
    queries = vectors[:3] + 0.3 * rng.standard_normal((3, DIM)).astype(np.float32)
    wide = np.zeros((300, 2 * DIM), dtype=np.float32)
    wide[:, ::2] = vectors
    shifted = np.frombuffer(b"\0" + vectors.tobytes(), dtype=np.float32, count=vectors.size, offset=1)
    layouts = {
        "float64": vectors.astype(np.float64),
        "strided columns": wide[:, ::2],
        "fortran order": np.asfortranarray(vectors),
        "unaligned": shifted.reshape(vectors.shape),
        "rows in descending memory": vectors[::-1].copy()[::-1],
    }
    for exact in (False, True):
        want_ids, want_scores = index.search(queries, 7, rerank=vectors, exact=exact)
        for q in range(3):
            brute_ids, brute_scores = brute_force(vectors, np.arange(300), queries[q], 7)
            if exact:
                assert want_ids[q].tolist() == brute_ids.tolist()
                assert want_scores[q].tobytes() == brute_scores.astype(np.float32).tobytes()
        for name, rows in layouts.items():
            ids, scores = index.search(queries, 7, rerank=rows, exact=exact)
            assert ids.tolist() == want_ids.tolist(), name
            assert scores.tobytes() == want_scores.tobytes(), name


def test_unusable_sources_raise_naming_the_id_and_change_nothing():
    rng = np.random.default_rng(3)
    vectors = rng.standard_normal((50, DIM))
    index = Index(DIM, 4)
    index.add(np.arange(100, 150), vectors)
    before = (index.to_bytes(), index.ids.tolist())
    query = vectors[3]

    def shifted(rows):
        return lambda ids: rows[ids.astype(np.intp) - 100]

    zero = vectors.copy()
    zero[7] = 0.0
    nan = vectors.copy()
    nan[9, 4] = np.nan

    def raising(ids):
        raise KeyError("not in the database")

    # Each query is a stored vector, so that the bad one is among those read.
    cases = [
        (vectors, 3, "rerank array has 50 rows, so it holds no vector for id 1"),
        (shifted(zero), 7, "zero or non-finite vector for id 107"),
        (shifted(nan), 9, "zero or non-finite vector for id 109"),
        (shifted(vectors.astype(np.int64)), 3, "dtype int64"),
        (lambda ids: vectors[:2], 3, "shape (2, 40)"),
        (raising, 3, "KeyError: 'not in the database'"),
    ]
    for source, row, message in cases:
        for exact in (False, True):
            with pytest.raises(RerankError, match=message.replace("(", r"\(").replace(")", r"\)")):
                index.search(vectors[row], 5, rerank=source, exact=exact)
    with pytest.raises(ValueError, match="rerank must be a 2-D array with 40 columns"):
        index.search(query, 5, rerank=vectors[:, :3])
    with pytest.raises(ValueError, match="need rerank"):
        index.search(query, 5, exact=True)
    with pytest.raises(ValueError, match="candidates must be at least k"):
        index.search(query, 5, rerank=shifted(vectors), candidates=4)
    with pytest.raises(ValueError, match="query 1 is zero or not finite"):
        index.search(np.vstack([query, np.zeros(DIM)]), 5, rerank=shifted(vectors))
    assert (index.to_bytes(), index.ids.tolist()) == before


EVERY_LEVEL = r"""
import sys
import numpy as np
from velmora import Index
rng = np.random.default_rng(21)
vectors = np.vstack([rng.standard_normal((700, 72)), np.zeros((0, 72))])
vectors[600:] = vectors[:100] * 0.5  # ties
index = Index(72, int(sys.argv[1]))
index.add(np.arange(700), vectors)
queries = vectors[:20:3] + 0.1 * rng.standard_normal((7, 72))
ids, scores = index.search(queries, 10, rerank=vectors, exact=True)
print(ids.tobytes().hex(), scores.tobytes().hex())
# The re-ranking's candidates, chosen by bound sums: equal sums (the copies) by smaller id.
print(index._rerank_candidates(queries, 60, None).tobytes().hex())
"""


def outputs_at_every_level(script, *args):
    """The distinct outputs of a script run at the reference level and at
    every level VELMORA_SIMD can force here."""
    outputs = set()
    for level in ("reference", *SIMD_LEVELS):
        run = subprocess.run(
            [sys.executable, "-P", "-c", script, *args],
            capture_output=True,
            text=True,
            timeout=120,
            env={**os.environ, "VELMORA_SIMD": level},
        )
        assert run.returncode == 0, run.stderr
        outputs.add(run.stdout)
    return outputs


@pytest.mark.parametrize("bits", [2, 4])
def test_exact_answers_and_rerank_candidates_are_the_same_at_every_simd_level(bits):
    assert len(outputs_at_every_level(EVERY_LEVEL, str(bits))) == 1


PAIR_COSINES = """
import sys
import numpy as np
from velmora._index_core import exact_cosines
rng = np.random.default_rng(5)
out = []
for dim in (8, 45, 67):  # one block of eight; tails of five and three
    rows = rng.standard_normal((30, dim)) * np.exp2(rng.integers(-20, 20, (30, 1)))
    queries = rng.standard_normal((11, dim))
    # Rows read for up to every query (a row's dot products are grouped), in any order.
    pair_row = np.concatenate([np.repeat(np.arange(12), np.arange(12)), rng.integers(0, 30, 40)])
    pair_query = rng.integers(0, 11, len(pair_row))
    for layout in (rows, rows.astype(np.float32), np.asfortranarray(rows)):
        scores = exact_cosines(queries, layout, pair_query.astype(np.uint64), pair_row.astype(np.uint64))
        out.append(bytes(scores).hex())
print(" ".join(out))
"""


def test_pair_cosines_are_the_eight_lane_reference_at_every_simd_level():
    """Every kernel's row dot products (a row with itself and with each
    query that reads it) give the reference's cosine bits."""
    results = outputs_at_every_level(PAIR_COSINES)
    assert len(results) == 1
    got = [np.frombuffer(bytes.fromhex(h), dtype=np.float64) for h in results.pop().split()]
    rng = np.random.default_rng(5)
    for case, dim in enumerate((8, 45, 67)):
        rows = rng.standard_normal((30, dim)) * np.exp2(rng.integers(-20, 20, (30, 1)))
        queries = rng.standard_normal((11, dim))
        pair_row = np.concatenate([np.repeat(np.arange(12), np.arange(12)), rng.integers(0, 30, 40)])
        pair_query = rng.integers(0, 11, len(pair_row))
        for layout, rows_as_read in enumerate((rows, rows.astype(np.float32), rows)):
            want = np.array([cosines(rows_as_read[r], queries[q]) for r, q in zip(pair_row, pair_query)])
            assert got[3 * case + layout].tobytes() == want.tobytes(), (dim, layout)


def test_a_vector_whose_codes_say_nothing_is_still_found_by_the_exact_search():
    # A record whose error bound is unbounded (0xFFFE) may hold codes of
    # another vector entirely: the exact search must read it whatever its
    # estimate, while the few records with the largest residuals are scored
    # one by one beside the pruned pass.
    rng = np.random.default_rng(21)
    vectors = rng.standard_normal((600, DIM))
    ids = np.arange(600, dtype=np.uint64)
    source = Index(DIM, 4)
    source.add(ids, vectors)
    norms, codes, bounds = source.export_records(ids)
    query = -vectors[8] + 0.01 * rng.standard_normal(DIM)
    codes[7] = codes[8]  # estimated far from the query (cosine near -1)
    bounds = bounds.copy()
    bounds[7] = 0xFFFE
    vectors[7] = query * 3.0  # truly the nearest
    index = Index(DIM, 4)
    index.import_records(ids, norms, codes, bounds)
    for allowed in (None, np.arange(0, 600, 2)[:150].tolist() + [7]):
        got, scores = index.search(query, 5, allowed=allowed, rerank=vectors, exact=True)
        candidates = ids if allowed is None else np.array(sorted(allowed), dtype=np.uint64)
        want, want_scores = brute_force(vectors[candidates.astype(np.intp)], candidates, query, 5)
        assert got.tolist() == want.tolist() and got[0] == 7
        assert scores.tobytes() == want_scores.astype(np.float32).tobytes()


def extreme_cases():
    """(name, ids, vectors, queries) at the edges of what the index and the
    search accept: norms whose float32 squares are subnormal, queries whose
    float32 form or norm overflows, and norms across the whole accepted range.
    queries=None stands for queries along each vector's quantisation error."""
    rng = np.random.default_rng(17)
    base = rng.standard_normal((200, DIM))
    axis = np.eye(DIM)[0]
    away = base[:60] - np.outer(base[:60, 0], axis)
    near = 0.9 * axis + np.sqrt(0.19) * away / np.linalg.norm(away, axis=1, keepdims=True)
    # The stored one-hot vector is the query's own direction; the others are at 0.9.
    yield "a tiny one-hot vector", np.arange(61), np.vstack([2.7e-23 * axis, near]), np.vstack([axis, near[:2]])
    # Clusters around the axes: many candidates within a hair of each other.
    clusters = np.repeat(np.eye(DIM)[:4], 50, axis=0) + 0.05 * base
    yield "tiny one-hot queries", np.arange(200), clusters, 2.7e-23 * np.eye(DIM)[:4]
    yield "norms of 1e-21", np.arange(100), 1e-21 * base[:100] / np.linalg.norm(base[:100], axis=1, keepdims=True), None
    beyond_float32 = base[:3].copy()
    beyond_float32[:, 0] = 1e39
    saturated = np.where(base[3:6] > 0, 3e38, -3e38).astype(np.float32)
    yield "float32 overflows", np.arange(200), base, [beyond_float32, saturated]
    scales = np.exp2(rng.integers(-73, 60, (200, 1)).astype(np.float64))
    queries = base[:5] + 0.05 * rng.standard_normal((5, DIM))
    scaled = np.vstack([queries[:1] * 10.0**e for e in (-30, -22, -19, 19, 30)])
    yield "norms from 1e-21 to 1e18", np.arange(200), base * scales, np.vstack([queries, scaled])


def check_extreme_cases():
    """The exact search's answers on extreme_cases() are brute force's."""
    for name, ids, vectors, queries in extreme_cases():
        for bits in (2, 4):
            index = Index(DIM, bits)
            index.add(ids, vectors)
            if queries is None:
                unit = vectors / np.linalg.norm(vectors, axis=1, keepdims=True)
                decoded = index.reconstruct(ids).astype(np.float64)
                errors = unit - decoded / np.linalg.norm(decoded, axis=1, keepdims=True)
                queries = np.vstack([errors[:8], unit[:8] + 4.0 * errors[:8]])
            for part in queries if isinstance(queries, list) else [queries]:
                for k in (1, 5, 10):
                    got_ids, got_scores = index.search(part, k, rerank=vectors, exact=True)
                    for q, query in enumerate(part):
                        want_ids, want_scores = brute_force(vectors, ids, query, k)
                        assert got_ids[q].tolist() == want_ids.tolist(), (name, bits, k, q)
                        assert got_scores[q].tobytes() == want_scores.astype(np.float32).tobytes(), (name, bits, k)


@pytest.mark.parametrize("level", ["reference", *SIMD_LEVELS])
def test_exact_search_holds_for_tiny_norms_and_overflowing_queries(level):
    # Each SIMD level the CPU runs (a level it lacks runs the best it has).
    here = os.path.dirname(__file__)
    script = f"import sys; sys.path.insert(0, {here!r}); import test_rerank; test_rerank.check_extreme_cases()"
    run = subprocess.run(
        [sys.executable, "-P", "-c", script],
        capture_output=True,
        text=True,
        timeout=300,
        env={**os.environ, "VELMORA_SIMD": level},
    )
    assert run.returncode == 0, run.stderr[-3000:]


def test_tiny_norms_keep_an_unbounded_error_bound():
    rng = np.random.default_rng(4)
    vectors = np.vstack([rng.standard_normal((3, DIM)), 1e-21 * np.eye(DIM)[:2], 2e-19 * np.eye(DIM)[2:3]])
    index = Index(DIM, 4)
    index.add(np.arange(6), vectors)
    norms, codes, bounds = index.export_records(np.arange(6))
    assert (bounds[:3] < 0xFFFE).all() and (bounds[3:] == 0xFFFE).all()
    # Records imported with a bound that does not cover their tiny norm are kept unbounded too.
    other = Index(DIM, 4)
    other.import_records(np.arange(6), norms, codes, np.full(6, 10, dtype=np.uint16))
    assert other.export_records(np.arange(6))[2].tolist() == [10, 10, 10, 0xFFFE, 0xFFFE, 0xFFFE]
    assert (
        Index.from_bytes(other.to_bytes()).export_records(np.arange(6))[2].tolist()
        == other.export_records(np.arange(6))[2].tolist()
    )


def test_every_mode_gives_the_compressed_search_shapes():
    rng = np.random.default_rng(6)
    vectors = rng.standard_normal((30, DIM))
    index = Index(DIM, 3)
    index.add(np.arange(30), vectors)
    for queries, k in ((vectors[:3], 0), (np.empty((0, DIM)), 5), (np.empty((0, DIM)), 50), (vectors[0], 0)):
        want = index.search(queries, k)[0].shape
        for options in ({"rerank": vectors}, {"rerank": vectors, "exact": True}):
            ids, scores = index.search(queries, k, **options)
            assert ids.shape == scores.shape == want and ids.dtype == np.uint64 and scores.dtype == np.float32
