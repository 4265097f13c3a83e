"""query and query_all as Python sees them: ranking, k, degenerate queries."""

import math
import struct

import pytest
from helpers import DIM, f32, random_vector

from velmora import CompressedVectorStore

EMPTY = "Store is empty \u2014 cannot query an empty store"


@pytest.fixture
def populated():
    store = CompressedVectorStore(DIM, 3)
    store.insert_batch([(i * 7, random_vector(i)) for i in range(200)])
    return store


def test_query_returns_the_first_k_of_the_full_ranking(populated, probe):
    ranked = populated.query_all(probe)
    assert len(ranked) == 200
    assert sorted(i for i, _ in ranked) == [i * 7 for i in range(200)]
    scores = [s for _, s in ranked]
    assert scores == sorted(scores, reverse=True)
    for k in (1, 2, 9, 10, 199, 200, 201, 2**64 - 1):
        top = populated.query(probe, k)
        assert [s for _, s in top] == scores[: min(k, 200)]
        assert len({i for i, _ in top}) == len(top)
    assert populated.query(probe, 0) == []


def test_results_are_int_float_tuples_holding_f32_values(populated, probe):
    for id_, score in populated.query(probe, 20):
        assert type(id_) is int and type(score) is float
        assert f32(score) == score


def test_equal_best_scores_give_the_earliest_stored_entry(store, probe):
    v = random_vector(5)
    store.insert(30, random_vector(6))
    store.insert(10, v)
    store.insert(20, v)
    assert store.query(v, 1)[0][0] == 10
    store.remove(10)
    store.insert(10, v)  # now stored after 20
    assert store.query(v, 1)[0][0] == 20


def test_zero_query_scores_zero_and_negated_query_negates_exactly(populated, probe):
    assert {s for _, s in populated.query_all([0.0] * DIM)} == {0.0}
    plain = dict(populated.query_all(probe))
    negated = dict(populated.query_all([-x for x in probe]))
    assert all(negated[i] == -plain[i] for i in plain)


def test_scaling_the_query_barely_moves_scores(populated, probe):
    plain = dict(populated.query_all(probe))
    for factor in (1e-3, 7.5, 1e6):
        scaled = dict(populated.query_all([x * factor for x in probe]))
        assert all(abs(scaled[i] - plain[i]) < 1e-5 for i in plain)


@pytest.mark.parametrize("k", [1, 5, 200, 500])
def test_nan_query_returns_min_k_n_distinct_nan_pairs(populated, probe, k):
    probe[3] = math.nan
    result = populated.query(probe, k)
    assert len(result) == min(k, 200)
    assert len({i for i, _ in result}) == len(result)
    assert all(math.isnan(s) for _, s in result)
    assert len(populated.query_all(probe)) == 200


def test_a_stored_vector_finds_itself_with_a_score_near_one(populated):
    for seed in (0, 57, 199):
        ((best, score),) = populated.query(random_vector(seed), 1)
        assert best == seed * 7
        assert 0.9 < score < 1.1


def test_queries_on_an_empty_store_report_emptiness_first(store):
    for call in (lambda: store.query([1.0] * 3, 5), lambda: store.query_all([1.0] * 3)):
        with pytest.raises(ValueError) as info:
            call()
        assert type(info.value) is ValueError and info.value.args == (EMPTY,)
    with pytest.raises(TypeError, match="^argument 'vector': Can't extract `str` to `Vec`$"):
        store.query("abc", 5)


def test_wrong_length_and_bad_top_k(populated, probe):
    with pytest.raises(ValueError, match=r"^Dimension mismatch: expected 32, got 3$"):
        populated.query([1.0, 2.0, 3.0], 5)
    with pytest.raises(TypeError, match="^argument 'top_k': "):
        populated.query(probe, 2.0)
    with pytest.raises(OverflowError):
        populated.query(probe, -1)


def test_queries_leave_the_store_unchanged(populated, probe):
    before = (len(populated), populated.memory_bytes(), repr(populated))
    populated.query(probe, 3)
    populated.query_all(probe)
    assert (len(populated), populated.memory_bytes(), repr(populated)) == before


def test_huge_components_never_break_the_ranking(populated):
    # Products overflow to inf and inf - inf gives NaN for some entries only.
    huge = [3e38 if i % 2 else -3e38 for i in range(DIM)]
    for k in (1, 3, 50, 200):
        result = populated.query(huge, k)
        assert len(result) == k and len({i for i, _ in result}) == k
    assert len(populated.query_all(huge)) == 200


def test_score_bits_survive_the_round_trip(populated, probe):
    for _, score in populated.query_all(probe)[:10]:
        assert struct.unpack("<f", struct.pack("<f", score))[0] == score
