"""velmora.Index against CompressedVectorStore fed the same operations: the
same codes and, row by row, the very (id, score) pairs of store.query in the
same order; argument checking; failures that leave the index as it was; the
interpreter lock released during long calls."""

import copy
import os
import subprocess
import sys
import threading

import numpy as np
import pytest
from helpers import SIMD_LEVELS

import velmora
from velmora import CompressedVectorStore, Index

DIM = 48


def matrix(n, seed, dim=DIM):
    return np.random.default_rng(seed).standard_normal((n, dim), dtype=np.float32)


def pairs(ids, rows):
    return [(int(i), row) for i, row in zip(ids, rows)]


def assert_row_matches_query(store, query, k, ids, scores):
    expected = store.query(np.asarray(query, dtype=np.float32), k)
    assert ids.dtype == np.uint64 and scores.dtype == np.float32
    assert [int(i) for i in ids] == [i for i, _ in expected]
    got_bits = scores.view(np.uint32).tolist()
    expected_bits = np.array([s for _, s in expected], dtype=np.float32).view(np.uint32).tolist()
    assert got_bits == expected_bits


def assert_same_contents(index, store, probes):
    """Same ids in the same positions and bit-identical scores everywhere."""
    assert len(index) == len(store)
    # The index keeps a 2-byte error bound per vector that the store does not.
    assert index.memory_bytes() == store.memory_bytes() + 2 * len(store)
    if not len(store):
        return
    for probe in probes:
        ids, scores = index.search(probe, len(index))
        assert_row_matches_query(store, probe, len(store), ids, scores)


@pytest.fixture(scope="module")
def twins():
    """An index and a store with the same history: batches with repeated and
    existing ids, exact duplicates (ties) and removals."""
    index, store = Index(DIM, 4), CompressedVectorStore(DIM, 4)
    first = matrix(700, 1)
    first[50:60] = first[40]  # ten exact copies of row 40: equal scores
    ids = np.arange(1000, 1700, dtype=np.uint64)
    index.add(ids, first)
    store.insert_batch(pairs(ids, first))
    again = matrix(40, 2)
    again_ids = np.array([5, 1003, 7, 5, 2**64 - 1] + list(range(3000, 3035)), dtype=np.uint64)
    index.add(again_ids, again)
    store.insert_batch(pairs(again_ids, again))
    gone = [1010, 1011, 4, 1699, 1010]
    assert index.remove(gone) == 3
    for i in gone:
        store.remove(i)
    return index, store


@pytest.mark.parametrize("bits", [2, 3, 4])
@pytest.mark.parametrize("dim", [32, 37])
def test_add_stores_the_codes_insert_batch_stores(bits, dim):
    rows = matrix(300, bits * 100 + dim, dim)
    ids = np.random.default_rng(dim).permutation(10**6)[:300].astype(np.uint64)
    ids[17] = ids[3]  # a repeat within the call
    index, store = Index(dim, bits), CompressedVectorStore(dim, bits)
    index.add(ids, rows)
    store.insert_batch(pairs(ids, rows))
    assert index.ids.tolist() == list(dict.fromkeys(ids.tolist()))  # first occurrences, in order
    assert_same_contents(index, store, matrix(3, 99, dim))


def test_search_rows_equal_store_query_for_every_k(twins):
    index, store = twins
    n = len(store)
    queries = np.vstack([matrix(4, 3), matrix(700, 1)[40:41], np.zeros((1, DIM), np.float32)])
    for k in (0, 1, 2, 10, n // 8, n // 8 + 1, n - 1, n, n + 7, 2**64 - 1):
        ids, scores = index.search(queries, k)
        assert ids.shape == scores.shape == (len(queries), min(k, n))
        for q, query in enumerate(queries):
            assert_row_matches_query(store, query, k, ids[q], scores[q])


def test_ties_come_in_storage_order_and_nan_queries_rank_last(twins):
    index, store = twins
    tied = matrix(700, 1)[40]
    ids, scores = index.search(tied, 11)
    assert len(set(scores[:11].tolist())) == 1
    assert ids.tolist() == [1040] + list(range(1050, 1060))
    nan_query = np.full(DIM, np.nan, dtype=np.float32)
    for k in (3, len(store)):
        ids, scores = index.search(nan_query, k)
        assert np.isnan(scores).all()
        assert_row_matches_query(store, nan_query, k, ids, scores)


def test_any_float_layout_gives_the_float32_answer(twins):
    index, store = twins
    base = matrix(5, 11).astype(np.float64) * 3.0
    base[0, 0] = 1e39  # beyond float32: narrowed to an infinity, as the store does
    expected_ids, expected_scores = index.search(base.astype(np.float32), 9)
    wide = np.zeros((5, 2 * DIM))
    wide[:, ::2] = base
    layouts = {
        "float64": base,
        "F order": np.asfortranarray(base.astype(np.float32)),
        "strided": wide[:, ::2],
        "negative strides": np.ascontiguousarray(base[::-1])[::-1],
        "big-endian": base.astype(">f8"),
        "float16": base.astype(np.float16).astype(np.float64),
        "nested list": base.tolist(),
    }
    for name, queries in layouts.items():
        ids, scores = index.search(queries, 9)
        reference = np.asarray(queries, dtype=np.float32)
        for q in range(5):
            assert_row_matches_query(store, reference[q], 9, ids[q], scores[q])
        if name != "float16":
            assert ids.tolist() == expected_ids.tolist(), name
            assert scores.tobytes() == expected_scores.tobytes(), name
    one_ids, one_scores = index.search(base[2], 9)
    assert one_ids.shape == (9,) and one_ids.tolist() == expected_ids[2].tolist()


def test_allowed_restricts_candidates_to_stored_ids(twins):
    index, store = twins
    queries = matrix(3, 21)
    stored = index.ids
    some = np.concatenate([stored[::7], np.array([10**12, 4, 1010], dtype=np.uint64)])  # unknown, removed: ignored
    for allowed in ([], stored, some, some.tolist() + some.tolist(), stored[:5]):
        allowed_set = {int(i) for i in allowed}
        candidates = sum(1 for i in stored.tolist() if i in allowed_set)
        for k in (1, 4, candidates // 8, candidates, candidates + 3):
            ids, scores = index.search(queries, k, allowed=allowed)
            assert ids.shape == (3, min(k, candidates))
            for q, query in enumerate(queries):
                ranked = [(i, s) for i, s in store.query_all(query) if i in allowed_set][:k]
                assert ids[q].tolist() == [i for i, _ in ranked]
                assert scores[q].tolist() == [s for _, s in ranked]
    all_ids, all_scores = index.search(queries, 25, allowed=stored)
    plain_ids, plain_scores = index.search(queries, 25)
    assert all_ids.tolist() == plain_ids.tolist() and all_scores.tobytes() == plain_scores.tobytes()


SEARCH_EVERYWHERE = r"""
import hashlib
import numpy as np
from velmora import CompressedVectorStore, Index

digest = hashlib.sha256()
checked = mismatched = 0
rng = np.random.default_rng(5)
for dim, bits, n in ((40, 2, 2000), (45, 3, 2000), (64, 4, 2500)):
    x = rng.standard_normal((n, dim), dtype=np.float32)
    x[1000:1040] = x[7]  # equal scores straddling the k-th place
    x[1500:1530] = x[7] * np.float32(2.5)  # the same direction at another length
    x[:, 0] *= np.float32(3.0)  # one coordinate weighs more than the others
    ids = np.arange(n, dtype=np.uint64) * 3 + 1
    index, store = Index(dim, bits), CompressedVectorStore(dim, bits)
    index.add(ids, x)
    store.insert_batch(list(zip(ids.tolist(), x)))
    gone = ids[::97]
    index.remove(gone)
    for i in gone.tolist():
        store.remove(i)
    stored = index.ids
    filters = {"none": None, "all": stored, "some": stored[::3], "sparse": stored[5::150],
               "one block": stored[64:96], "last block": stored[len(stored) // 32 * 32:], "empty": stored[:0]}
    queries = np.vstack([x[7], x[11] * np.float32(1e-3), -x[3], rng.standard_normal((10, dim), dtype=np.float32)])
    ranked = [store.query_all(q) for q in queries]
    for name, allowed in filters.items():
        keep = None if allowed is None else set(allowed.tolist())
        expected = [r if keep is None else [(i, s) for i, s in r if i in keep] for r in ranked]
        c = len(expected[0])
        for k in sorted({1, 10, c // 8, c // 8 + 1, c}):
            # 13 queries (groups of 8 and 5), one query as a row, one as a vector.
            for batch in (slice(None), slice(0, 1), 2):
                got_ids, got_scores = index.search(queries[batch], k, allowed=allowed)
                rows = np.arange(len(queries))[batch]
                got_ids, got_scores = np.atleast_2d(got_ids), np.atleast_2d(got_scores)
                for row, q in enumerate(np.atleast_1d(rows)):
                    want = expected[q][:k] if keep is not None else store.query(queries[q], k)
                    got = list(zip(got_ids[row].tolist(), got_scores[row].tolist()))
                    checked += 1
                    mismatched += [(i, float(s).hex()) for i, s in got] != [(i, float(s).hex()) for i, s in want]
                    digest.update(repr(got).encode())
print(digest.hexdigest(), checked, mismatched)
"""


def search_everywhere(**env):
    full_env = {k: v for k, v in os.environ.items() if k not in ("RAYON_NUM_THREADS", "VELMORA_SIMD")}
    full_env.update(env)
    out = subprocess.run(
        [sys.executable, "-P", "-c", SEARCH_EVERYWHERE], env=full_env, capture_output=True, text=True, check=True
    )
    digest, checked, mismatched = out.stdout.split()
    assert int(checked) > 1000
    return digest, int(mismatched)


def test_search_equals_store_query_at_every_level_and_thread_count():
    """Filters of every shape (none, all, some, sparse, one block, the last
    partial block, empty), k on both sides of the full-ranking switch, 13
    queries and single ones, near ties: every row equals store.query (or the
    filtered head of query_all) bit for bit, and every level and thread count
    returns the same."""
    expected, mismatched = search_everywhere(RAYON_NUM_THREADS="1", VELMORA_SIMD="reference")
    assert mismatched == 0
    for threads in ("1", "2", "3"):
        for level in SIMD_LEVELS:
            assert search_everywhere(RAYON_NUM_THREADS=threads, VELMORA_SIMD=level) == (expected, 0), (threads, level)


def test_an_empty_index_answers_with_empty_arrays():
    index = Index(DIM, 3)
    ids, scores = index.search(matrix(4, 0), 10)
    assert ids.shape == scores.shape == (4, 0)
    ids, scores = index.search(matrix(1, 0)[0], 10)
    assert ids.shape == (0,) and ids.dtype == np.uint64 and scores.dtype == np.float32
    with pytest.raises(ValueError, match="Dimension mismatch: expected 48, got 3"):
        index.search([1.0, 2.0, 3.0], 1)
    assert index.ids.tolist() == [] and len(index) == 0 and 0 not in index


def test_remove_is_removal_one_by_one():
    rows = matrix(200, 5)
    index, store = Index(DIM, 2), CompressedVectorStore(DIM, 2)
    index.add(np.arange(200), rows)
    store.insert_batch(pairs(range(200), rows))
    order = [3, 199, 3, 500, 0, 198, 50, 51, 52]
    assert index.remove(np.array(order, dtype=np.int64)) == sum(store.remove(i) for i in order)
    expected = list(range(200))  # each removal moves the last id into the gap
    for i in order:
        if i in expected:
            at = expected.index(i)
            expected[at] = expected[-1]
            expected.pop()
    assert index.ids.tolist() == expected
    assert_same_contents(index, store, matrix(2, 6))
    assert index.remove([]) == 0


def test_reconstruct_decodes_what_scoring_estimates(twins):
    index, store = twins
    ids = index.ids[[0, 5, 100, -1]]
    decoded = index.reconstruct(ids)
    assert decoded.shape == (4, DIM) and decoded.dtype == np.float32
    # A score is <query, decoded> / (|query| * norm), with norm = |stored vector|.
    norms, _, _ = index.export_records(ids)
    for query in matrix(3, 31):
        scores = dict(store.query_all(query))
        for row, id in enumerate(ids.tolist()):
            estimate = float(query.astype(np.float64) @ decoded[row]) / (np.linalg.norm(query) * norms[row])
            assert abs(estimate - scores[id]) < 1e-5
    assert index.reconstruct(ids).tobytes() == decoded.tobytes()
    with pytest.raises(KeyError) as caught:
        index.reconstruct([int(ids[0]), 1010])
    assert caught.value.args == (1010,)
    assert index.reconstruct([]).shape == (0, DIM)


def test_exported_records_import_without_encoding(twins):
    index, _ = twins
    ids = index.ids[::3]
    norms, codes, bounds = index.export_records(ids)
    assert codes.shape == (len(ids), index.record_bytes) and norms.dtype == np.float32
    assert bounds.dtype == np.uint16 and bounds.shape == (len(ids),) and bounds.max() < 0xFFFE
    copy_ = Index(DIM, 4)
    copy_.import_records(ids, norms, codes, bounds)
    queries = matrix(3, 41)
    assert copy_.search(queries, 20)[1].tobytes() == index.search(queries, 20, allowed=ids)[1].tobytes()
    assert all(a.tobytes() == b.tobytes() for a, b in zip(copy_.export_records(ids), (norms, codes, bounds)))
    # Records replace stored ones in place, in order, like inserts; without
    # bounds, theirs become unknown.
    copy_.import_records(ids[:2][::-1], norms[:2][::-1], codes[:2][::-1])
    assert copy_.ids.tolist() == ids.tolist()
    assert copy_.export_records(ids[:3])[2].tolist() == [0xFFFF, 0xFFFF, bounds[2]]
    with pytest.raises(KeyError):
        index.export_records([10**15])


def test_properties_match_the_store(twins):
    index, store = twins
    assert (index.dim, index.bits, len(index)) == (DIM, 4, len(store))
    assert repr(index) == f"Index(dim={DIM}, bits=4, n={len(store)}, memory={index.memory_bytes() / 1024:.1f}KB)"
    assert index.record_bytes == 24
    assert 1000 in index and np.uint64(1000) in index and np.int8(5) in index and True not in index
    assert 1010 not in index and -1 not in index and 2**64 not in index and 2**64 - 1 in index
    with pytest.raises(TypeError, match="Index ids are integers"):
        _ = 1000.0 in index
    assert "Index" in velmora.__all__ and velmora.Index is Index


BAD_ADDS = [
    (
        "zero row",
        lambda r: (np.arange(5), np.vstack([r[:3], np.zeros((1, DIM)), r[4:5]])),
        ValueError,
        r"^row 3 \(id 3\): zero or non-finite vector$",
    ),
    (
        "nan row, large id",
        lambda r: ([7, 2**64 - 1], np.vstack([r[:1], np.full((1, DIM), np.nan)])),
        ValueError,
        r"^row 1 \(id 18446744073709551615\): zero or non-finite vector$",
    ),
    (
        "float64 overflow",
        lambda r: ([1, 2], np.vstack([r[:1], np.full((1, DIM), 1e300)])),
        ValueError,
        r"^row 1 \(id 2\): zero or non-finite vector$",
    ),
    ("tiny row", lambda r: ([1], np.full((1, DIM), 1e-35, np.float32)), ValueError, "^row 0 "),
    ("short rows", lambda r: ([1, 2], r[:2, :-1]), ValueError, "^Dimension mismatch: expected 48, got 47$"),
    ("one vector", lambda r: ([1], r[0]), ValueError, r"^vectors must be 2-D, of shape \(n, 48\)"),
    ("length mismatch", lambda r: ([1, 2, 3], r[:2]), ValueError, "^ids and vectors differ in length: 3 ids, 2"),
    ("int vectors", lambda r: ([1], np.ones((1, DIM), np.int64)), TypeError, "^vectors must be float32 or float64"),
    ("complex", lambda r: ([1], r[:1] + 0j), TypeError, "^vectors must be float32 or float64"),
    ("negative id", lambda r: ([1, -4], r[:2]), ValueError, r"^ids must be in \[0, 2\*\*64\): got -4 at position 1$"),
    (
        "id 2**64",
        lambda r: ([1, 2**64], r[:2]),
        ValueError,
        r"^ids must be in \[0, 2\*\*64\): got 18446744073709551616",
    ),
    ("float ids", lambda r: ([1.0, 2.0], r[:2]), TypeError, "^ids must be integers, got float at position 0$"),
    ("float array ids", lambda r: (np.ones(2), r[:2]), TypeError, "^ids must be integers, got dtype float64$"),
    ("mixed int types", lambda r: ([np.uint64(3), 2**64 - 1, -2], r[:3]), ValueError, "got -2 at position 2$"),
    ("bool ids", lambda r: ([True], r[:1]), TypeError, "^ids must be integers"),
    ("str id", lambda r: (np.array([1, "x"], dtype=object), r[:2]), TypeError, "^ids must be integers, got str"),
    ("2-D ids", lambda r: ([[1, 2]], r[:2]), ValueError, r"^ids must be a 1-D array-like of integers, got shape"),
    ("scalar id", lambda r: (5, r[:1]), ValueError, "^ids must be a 1-D array-like of integers, got a scalar$"),
]


@pytest.mark.parametrize("make, error, message", [case[1:] for case in BAD_ADDS], ids=[c[0] for c in BAD_ADDS])
def test_bad_adds_raise_and_change_nothing(twins, make, error, message):
    index, store = twins
    before = (index.ids.tobytes(), index.search(matrix(2, 51), 30)[1].tobytes())
    ids, vectors = make(matrix(6, 52))
    with pytest.raises(error, match=message):
        index.add(ids, vectors)
    assert (index.ids.tobytes(), index.search(matrix(2, 51), 30)[1].tobytes()) == before


def test_bad_searches_and_removals_raise_clearly(twins):
    index, _ = twins
    q = matrix(2, 61)
    cases = [
        (lambda: index.search(q, -1), ValueError, "^k must be non-negative, got -1$"),
        (lambda: index.search(q, 2.5), TypeError, "^k must be an integer, got float$"),
        (lambda: index.search(q[:, :5], 3), ValueError, "^Dimension mismatch: expected 48, got 5$"),
        (lambda: index.search(q[None], 3), ValueError, r"^queries must be 1-D \(dim,\) or 2-D"),
        (lambda: index.search(q.astype(np.int32), 3), TypeError, "^queries must be float32 or float64"),
        (lambda: index.search(q, 3, allowed=[-1]), ValueError, r"^allowed must be in \[0, 2\*\*64\)"),
        (lambda: index.search(q, 3, allowed=7), ValueError, "^allowed must be a 1-D array-like"),
        (lambda: index.remove([1.5]), TypeError, "^ids must be integers"),
        (lambda: Index(31), ValueError, "^Unsupported dimension: 31. Minimum supported dimension is 32.$"),
        (lambda: Index(70000), ValueError, "^Unsupported dimension: 70000. Maximum supported dimension is 65536.$"),
        (lambda: Index(32, 5), ValueError, r"^Unsupported bit width: 5. Valid values are 2, 3, or 4.$"),
        (lambda: Index(32.0), TypeError, "integer"),
    ]
    for call, error, message in cases:
        with pytest.raises(error, match=message):
            call()


def test_a_long_search_lets_other_threads_run_and_refuses_changes_meanwhile():
    index = Index(128, 4)
    index.add(np.arange(20000), matrix(20000, 71, 128))
    before = index.search(matrix(1, 72, 128), 5)[1].tobytes()
    queries = matrix(400, 73, 128)
    started, refused, done = threading.Event(), [], threading.Event()

    def search():
        started.set()
        index.search(queries, 10)
        done.set()

    def modify():
        # Runs only if the search lets go of the interpreter lock; each try is
        # refused while the search holds the index.
        started.wait()
        while not done.is_set():
            try:
                index.add([10**9], matrix(1, 74, 128))
            except RuntimeError as error:
                refused.append(str(error))
                return
            index.remove([10**9])  # the search had not begun yet: undo and retry

    threads = [threading.Thread(target=search), threading.Thread(target=modify)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert refused and refused[0].startswith("Index is in use by another call")
    assert 10**9 not in index and len(index) == 20000
    assert index.search(matrix(1, 72, 128), 5)[1].tobytes() == before


def test_concurrent_searches_from_threads_agree_with_one_thread(twins):
    index, _ = twins
    queries = matrix(64, 81)
    expected = index.search(queries, 7)
    results = [None] * 4

    def run(slot):
        results[slot] = index.search(queries, 7)

    threads = [threading.Thread(target=run, args=(i,)) for i in range(4)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    for ids, scores in results:
        assert ids.tobytes() == expected[0].tobytes() and scores.tobytes() == expected[1].tobytes()


def test_copies_are_independent(twins):
    index, _ = twins
    for duplicate in (copy.copy(index), copy.deepcopy(index)):
        assert duplicate.ids.tobytes() == index.ids.tobytes()
        duplicate.remove(duplicate.ids[:10])
        assert len(duplicate) == len(index) - 10


def test_calls_release_every_buffer_and_reference_on_success_and_failure():
    index = Index(32, 3)
    vectors = matrix(10, 91, 32).astype(np.float64)
    ids = np.arange(10, dtype=np.uint64)
    queries = matrix(3, 92, 32)
    arrays = (vectors, ids, queries)
    before = [sys.getrefcount(a) for a in arrays]
    for _ in range(50):
        index.add(ids, vectors)
        index.search(queries, 3, allowed=ids)
        index.reconstruct(ids[:3])
        index.import_records(ids[:2], *index.export_records(ids[:2]))
        for call, error in (
            (lambda: index._core.add(ids, vectors[:, :5]), ValueError),
            (lambda: index._core.add(ids, np.vstack([vectors[:9], np.zeros((1, 32))])), ValueError),
            (lambda: index._core.search(queries, 3, np.ones(3)), TypeError),
            (lambda: index._core.reconstruct(ids + np.uint64(100)), KeyError),
        ):
            with pytest.raises(error):
                call()
    # A buffer export that was never released would still hold its array.
    assert [sys.getrefcount(a) for a in arrays] == before
