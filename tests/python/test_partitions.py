"""Index.partition and searches with probes: the lists hold the same records,
so that reading every list is the flat search, the exact mode stays exact,
and the lists are the same in every process, thread count and SIMD level."""

import copy
import os
import pickle
import subprocess
import sys

import numpy as np
import pytest
from helpers import SIMD_LEVELS
from test_rerank import DATASETS, brute_force

from velmora import Index
from velmora._data import embedding_like

DIM = 48


def filled(n=3000, bits=4, seed=2):
    vectors = embedding_like(n, DIM, seed=seed).astype(np.float64)
    index = Index(DIM, bits)
    index.add(np.arange(n), vectors)
    return index, vectors


def same_answers(got, want):
    """The same (id, score) pairs in every row, equal scores in any order."""
    for got_ids, got_scores, want_ids, want_scores in zip(*got, *want):
        assert got_scores.tobytes() == want_scores.tobytes()
        assert sorted(zip(got_scores.tolist(), got_ids.tolist())) == sorted(
            zip(want_scores.tolist(), want_ids.tolist())
        )


def test_reading_every_list_is_the_flat_search_before_and_after_changes():
    index, vectors = filled()
    queries = embedding_like(40, DIM, seed=9)
    flat = Index.from_bytes(index.to_bytes())
    index.partition(25)
    assert (index.partitions, len(index)) == (25, 3000) and 1 <= index.default_probes <= 25
    assert sorted(index.ids.tolist()) == list(range(3000))
    for allowed in (None, np.arange(0, 3000, 7)):
        for k in (1, 10, 500):
            same_answers(index.search(queries, k, allowed=allowed, probes=25), flat.search(queries, k, allowed=allowed))
        # The re-ranking's candidates (largest bound sums): every list's are the flat index's, a few
        # lists' are as many distinct ones among what the probed search reads.
        chosen = None if allowed is None else allowed.astype(np.uint64)
        every = index._rerank_candidates(queries, 40, chosen, 25)
        assert every.tolist() == flat._rerank_candidates(queries, 40, chosen).tolist()
        few = index._rerank_candidates(queries, 40, chosen, 2)
        assert few.shape == (40, 40) and all(len(set(row)) == 40 for row in few.tolist())
        assert (allowed is None or np.isin(few, allowed).all()) and (few != every).any()
    # New, updated and removed vectors, each index fed the same operations.
    rng = np.random.default_rng(4)
    fresh = embedding_like(700, DIM, seed=11)
    for target in (index, flat):
        target.add(np.arange(2800, 3500), fresh)
        assert target.remove(np.arange(0, 2800, 3)) == 934
    assert index.partitions == 25 and len(index) == len(flat) == 3500 - 934
    assert sorted(index.ids.tolist()) == sorted(flat.ids.tolist())
    ids = rng.choice(flat.ids, 50, replace=False)
    for a, b in zip(index.export_records(ids), flat.export_records(ids)):
        assert a.tobytes() == b.tobytes()
    assert (index.reconstruct(ids) == flat.reconstruct(ids)).all()
    same_answers(index.search(queries, 10, probes=10**6), flat.search(queries, 10))
    # A vector updated to another direction moves to that direction's list.
    index.add([5], -vectors[5:6])
    flat.add([5], -vectors[5:6])
    got, want = index.search(-vectors[5], 1, probes=1), flat.search(-vectors[5], 1)
    assert got[0].tolist() == want[0].tolist() == [5] and got[1].tobytes() == want[1].tobytes()
    # Partitioning again regroups without re-encoding.
    before = index.export_records(np.sort(index.ids))
    index.partition(7)
    assert index.partitions == 7
    for a, b in zip(index.export_records(np.sort(index.ids)), before):
        assert a.tobytes() == b.tobytes()
    same_answers(index.search(queries, 10, probes=7), flat.search(queries, 10))


def test_few_probes_still_give_k_results_and_the_default_finds_the_neighbours():
    index, vectors = filled(n=4000, seed=5)
    held_out = embedding_like(4100, DIM, seed=5)[4000:]
    flat = index.search(held_out, 10)[0]
    index.partition()
    assert index.partitions == 63  # about sqrt(n)
    ids, _ = index.search(held_out, 10)
    recall = np.mean([len(set(a) & set(b)) / 10 for a, b in zip(ids, flat)])
    assert recall >= 0.95
    # One list rarely holds the allowed candidates: more lists are read until k are found.
    few = np.arange(0, 4000, 97)
    ids, scores = index.search(held_out[:5], 10, allowed=few, probes=1)
    assert ids.shape == (5, 10) and np.isin(ids, few).all()
    assert index.search(held_out[0], 50, allowed=few[:20], probes=1)[0].shape == (20,)


def test_exact_search_on_lists_is_brute_force():
    rng = np.random.default_rng(8)
    base = rng.standard_normal((60, DIM))
    vectors = np.vstack([base, base, base + 1e-7 * rng.standard_normal((60, DIM)), rng.standard_normal((500, DIM))])
    ids = np.arange(len(vectors)) * 3 + 1
    index = Index(DIM, 2)
    index.add(ids, vectors)
    index.partition(12)
    table = dict(zip(ids.tolist(), vectors))
    index.remove(ids[::5])
    kept = np.setdiff1d(ids, ids[::5])
    moved = kept[1::9]
    for i in moved.tolist():
        table[i] = rng.standard_normal(DIM)
    index.add(moved, np.array([table[i] for i in moved.tolist()]))
    stored = np.array(sorted(index.ids.tolist()), dtype=np.uint64)
    matrix = np.array([table[i] for i in stored.tolist()])

    def fetch(wanted):
        return np.array([table[i] for i in wanted.tolist()])

    queries = np.vstack([matrix[:5] + 0.05 * rng.standard_normal((5, DIM)), rng.standard_normal((3, DIM))])
    for allowed in (None, stored[::4]):
        pool = stored if allowed is None else allowed
        pool_matrix = np.array([table[i] for i in pool.tolist()])
        for probes in (1, 12):
            got, scores = index.search(queries, 8, allowed=allowed, rerank=fetch, exact=True, probes=probes)
            for q, query in enumerate(queries):
                want, want_scores = brute_force(pool_matrix, pool, query, 8)
                assert got[q].tolist() == want.tolist()
                assert scores[q].tobytes() == want_scores.astype(np.float32).tobytes()
        reranked, _ = index.search(queries, 8, allowed=allowed, rerank=fetch, probes=1)
        assert np.isin(reranked, pool).all()


@pytest.mark.parametrize("bits", [2, 4])
@pytest.mark.parametrize("name, ids, vectors", DATASETS, ids=[d[0] for d in DATASETS])
def test_lists_that_the_bounds_rule_out_never_hold_an_answer(name, ids, vectors, bits):
    # The data sets that are hard for the per-vector bounds, in lists: only
    # the lists whose bound reaches the k-th best exact score are scanned.
    index = Index(vectors.shape[1], bits)
    index.add(ids, vectors)
    index.partition(9)
    rng = np.random.default_rng(bits)
    dim = vectors.shape[1]
    near = vectors[rng.integers(0, len(vectors), 6)] + 0.05 * rng.standard_normal((6, dim))
    queries = np.vstack([near, rng.standard_normal((2, dim)), vectors[:1]])
    table = dict(zip(ids.tolist(), vectors))

    def fetch(wanted):
        return np.array([table[i] for i in wanted.tolist()])

    for k in (1, 10):
        got, scores = index.search(queries, k, rerank=fetch, exact=True)
        for q, query in enumerate(queries):
            want, want_scores = brute_force(vectors, ids, query, k)
            assert got[q].tolist() == want.tolist(), (name, bits, k, q)
            assert scores[q].tobytes() == want_scores.astype(np.float32).tobytes()


def test_lists_survive_every_round_trip_and_old_files_load_flat(tmp_path):
    index, _ = filled(n=1500, bits=3)
    flat_bytes = index.to_bytes()
    assert flat_bytes[8] == 2  # a flat index keeps writing version 2
    index.partition(9)
    index.remove(np.arange(0, 1500, 4))
    queries = embedding_like(10, DIM, seed=3)
    want = index.search(queries, 5, probes=2)
    path = tmp_path / "lists.vidx"
    index.save(path)
    for other in (
        Index.load(path),
        Index.from_bytes(index.to_bytes()),
        pickle.loads(pickle.dumps(index)),
        copy.deepcopy(index),
    ):
        assert (other.partitions, other.default_probes, len(other)) == (9, index.default_probes, len(index))
        assert other.ids.tolist() == index.ids.tolist()
        got = other.search(queries, 5, probes=2)
        assert got[0].tolist() == want[0].tolist() and got[1].tobytes() == want[1].tobytes()
    assert index.to_bytes()[8] == 3
    old = Index.from_bytes(flat_bytes)
    assert old.partitions == old.default_probes == 0


def test_memory_stays_within_the_lists_allowance():
    index, _ = filled(n=2000)
    flat = index.memory_bytes()
    index.partition(40)
    assert flat < index.memory_bytes() <= flat + 40 * DIM * 4 + 16 * 40 + 4 * 2000


def test_bad_arguments_raise_and_change_nothing():
    index, _ = filled(n=200)
    query = embedding_like(1, DIM, seed=4)[0]
    with pytest.raises(ValueError, match="probes needs a partitioned index"):
        index.search(query, 5, probes=3)
    with pytest.raises(ValueError, match="empty index"):
        Index(DIM, 4).partition()
    for bad, error in ((0, ValueError), (-1, ValueError), (201, ValueError), (2.0, TypeError), ("4", TypeError)):
        with pytest.raises(error):
            index.partition(bad)
    assert index.partitions == 0
    index.partition(200)  # one vector a list is allowed
    before = index.to_bytes()
    for bad, error in ((0, ValueError), (-2, ValueError), (1.5, TypeError), (None, None)):
        if error is None:
            index.search(query, 5, probes=bad)
            continue
        with pytest.raises(error, match="probes"):
            index.search(query, 5, probes=bad)
    assert index.to_bytes() == before


LISTS = r"""
import hashlib, sys
import numpy as np
from velmora import Index
from velmora._data import embedding_like
vectors = embedding_like(2500, 64, seed=7)
index = Index(64, int(sys.argv[1]))
index.add(np.arange(2500), vectors)
index.partition(30)
ids, scores = index.search(embedding_like(20, 64, seed=8), 10, probes=3)
print(hashlib.sha256(index.to_bytes() + ids.tobytes() + scores.tobytes()).hexdigest(), index.default_probes)
"""


@pytest.mark.parametrize("bits", [2, 4])
def test_the_same_lists_in_every_process_thread_count_and_simd_level(bits):
    outputs = set()
    best = SIMD_LEVELS[-1]
    for threads, level in [("1", best), ("2", best), *(("2", lower) for lower in SIMD_LEVELS[:-1]), ("1", "reference")]:
        env = {**os.environ, "RAYON_NUM_THREADS": threads, "VELMORA_SIMD": level}
        run = subprocess.run(
            [sys.executable, "-P", "-c", LISTS, str(bits)], capture_output=True, text=True, env=env, timeout=300
        )
        assert run.returncode == 0, run.stderr
        outputs.add(run.stdout)
    assert len(outputs) == 1
