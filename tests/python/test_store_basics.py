"""The store through its Python face: errors, accounting, positions."""

import pytest
from helpers import DIM, observable_state, random_vector

from velmora import CompressedVectorStore as Store

V = random_vector(1)
W = random_vector(2)
EMPTY = "Store is empty \u2014 cannot query an empty store"
DEGENERATE = "Internal error: Vector has zero or NaN norm"


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: Store(31, 4), "Unsupported dimension: 31. Minimum supported dimension is 32."),
        (lambda: Store(16, 5), "Unsupported dimension: 16. Minimum supported dimension is 32."),
        (lambda: Store(64, 5), "Unsupported bit width: 5. Valid values are 2, 3, or 4."),
        (lambda: Store(64, 1), "Unsupported bit width: 1. Valid values are 2, 3, or 4."),
        (lambda: Store(64, 0), "Unsupported bit width: 0. Valid values are 2, 3, or 4."),
        (lambda: Store(2**32, 4), "Internal error: ShapeError/Overflow: arithmetic overflow"),
        (lambda: Store(DIM, 4).query(V, 5), EMPTY),
        (lambda: Store(DIM, 4).query([1.0], 5), EMPTY),
        (lambda: Store(DIM, 4).query_all([1.0, 2.0]), EMPTY),
    ],
)
def test_store_errors_are_plain_value_errors(call, message):
    with pytest.raises(ValueError) as caught:
        call()
    assert type(caught.value) is ValueError
    assert caught.value.args == (message,)


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda s: s.query([1.0, 2.0, 3.0], 5), f"Dimension mismatch: expected {DIM}, got 3"),
        (lambda s: s.query_all(V + [1.0]), f"Dimension mismatch: expected {DIM}, got {DIM + 1}"),
        (lambda s: s.insert(0, V[:-1]), f"Dimension mismatch: expected {DIM}, got {DIM - 1}"),
        (lambda s: s.insert(0, []), f"Dimension mismatch: expected {DIM}, got 0"),
        (lambda s: s.insert(0, [0.0] * DIM), DEGENERATE),
        (lambda s: s.insert(0, [float("nan")] + V[1:]), DEGENERATE),
        (lambda s: s.insert_batch([(1, V), (2, [0.0] * DIM)]), DEGENERATE),
        (lambda s: s.insert_batch([(1, V), (2, W[:-1])]), f"Dimension mismatch: expected {DIM}, got {DIM - 1}"),
        (
            lambda s: s.insert_batch([(1, [0.0] * DIM), (2, W[:-1])]),
            f"Dimension mismatch: expected {DIM}, got {DIM - 1}",
        ),
    ],
)
def test_failed_operations_leave_the_store_as_it_was(filled, probe, call, message):
    # Id 0 is stored: a failed insert must keep its old vector.
    before = observable_state(filled, probe)
    with pytest.raises(ValueError) as caught:
        call(filled)
    assert type(caught.value) is ValueError
    assert caught.value.args == (message,)
    assert observable_state(filled, probe) == before


def test_unallocatable_dimension_raises_memory_error_and_spares_other_stores(filled, probe):
    before = observable_state(filled, probe)
    with pytest.raises(MemoryError):
        Store(2**31 - 1, 4)
    assert observable_state(filled, probe) == before
    filled.insert(99, V)
    assert len(filled) == 7


@pytest.mark.parametrize(
    "dim, bits, n, memory, shown",
    [
        (128, 4, 0, 0, "0.0"),
        (128, 4, 10, 680, "0.7"),
        (32, 4, 64, 1280, "1.2"),  # 1.25 rounds to even
        (32, 2, 64, 768, "0.8"),  # 0.75 rounds to even
        (32, 3, 1, 16, "0.0"),
        (33, 3, 1, 17, "0.0"),
    ],
)
def test_memory_accounting_and_repr(dim, bits, n, memory, shown):
    store = Store(dim, bits)
    store.insert_batch([(i, random_vector(i, dim)) for i in range(n)])
    assert len(store) == n
    assert bool(store) == (n > 0)
    assert store.memory_bytes() == memory
    assert repr(store) == f"CompressedVectorStore(dim={dim}, bits={bits}, n={n}, memory={shown}KB)"


def best_of(store, vector):
    return store.query(vector, 1)[0][0]


def test_positions_follow_insertion_update_and_swap_remove(store):
    # Equal scores rank the earliest position first, which makes positions
    # visible: ids 1, 2, 3 hold the same vector.
    for i in (1, 2, 3):
        store.insert(i, V)
    assert best_of(store, V) == 1
    store.insert(1, V)  # an update keeps its position
    assert best_of(store, V) == 1
    assert store.remove(1) is True  # the last entry (3) moves into position 0
    assert best_of(store, V) == 3
    store.insert(1, V)  # re-inserted ids go to the end
    assert store.remove(3) is True  # position 0 now holds 1, the last entry
    assert best_of(store, V) == 1
    assert sorted(i for i, _ in store.query_all(V)) == [1, 2]


def test_update_in_place_replaces_the_vector(store):
    store.insert(1, V)
    store.insert(2, W)
    store.insert(1, W)
    assert len(store) == 2
    scores = dict(store.query_all(W))
    assert scores[1] == scores[2]


def test_remove(filled):
    memory = filled.memory_bytes()
    assert filled.remove(3) is True
    assert filled.remove(3) is False
    assert filled.remove(2**64 - 1) is False
    assert len(filled) == 5
    assert filled.memory_bytes() == memory - memory // 6
    assert Store(DIM, 2).remove(0) is False


def test_batch_with_repeated_ids_keeps_the_last_vector_at_the_first_position(store):
    store.insert_batch([(1, V), (2, W), (1, W)])
    assert len(store) == 2
    assert best_of(store, W) == 1
    scores = dict(store.query_all(W))
    assert scores[1] == scores[2]


def test_query_sizes(filled, probe):
    assert filled.query(probe, 0) == []
    assert len(filled.query(probe, 4)) == 4
    everything = filled.query_all(probe)
    assert [s for _, s in filled.query(probe, 100)] == [s for _, s in everything]
    assert sorted(i for i, _ in everything) == list(range(6))
