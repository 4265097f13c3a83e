"""insert_batch: all or nothing, the order of its checks, and agreement with insert."""

import pytest
from helpers import DIM, observable_state, random_vector

from velmora import CompressedVectorStore

ZERO_NORM = "Internal error: Vector has zero or NaN norm"


def test_batch_records_equal_single_insert_records(probe):
    pairs = [(i, random_vector(i)) for i in range(300)]
    batch, single = CompressedVectorStore(DIM, 4), CompressedVectorStore(DIM, 4)
    batch.insert_batch(pairs)
    for id_, vector in pairs:
        single.insert(id_, vector)
    for q in (probe, random_vector(5), [1.0] * DIM):
        assert batch.query_all(q) == single.query_all(q)


def test_duplicates_keep_the_first_position_and_the_last_vector(store):
    a, b, c = random_vector(1), random_vector(2), random_vector(3)
    assert store.insert_batch([(1, a), (2, b), (1, c)]) is None
    assert len(store) == 2
    assert store.query(c, 1)[0][0] == 1
    # Position order shows in ties: both ids hold c now, and 1 is stored first.
    store.insert_batch(((2, c),))
    assert [i for i, _ in store.query(c, 2)] == [1, 2]


def test_updating_stored_ids_keeps_the_count(filled, probe):
    before = len(filled)
    filled.insert_batch([(i, random_vector(100 + i)) for i in range(before)])
    assert len(filled) == before
    assert filled.query(random_vector(103), 1)[0][0] == 3


def test_empty_batches_change_nothing(filled, probe):
    before = observable_state(filled, probe)
    assert filled.insert_batch([]) is None
    assert filled.insert_batch(()) is None
    assert observable_state(filled, probe) == before


@pytest.mark.parametrize(
    "bad_pair, error, message",
    [
        ((99, [0.0] * DIM), ValueError, ZERO_NORM),
        ((99, [float("nan")] + [1.0] * (DIM - 1)), ValueError, ZERO_NORM),
        ((99, [1.0] * (DIM - 1)), ValueError, f"Dimension mismatch: expected {DIM}, got {DIM - 1}"),
        ((99, [1.0] * (DIM - 1) + ["x"]), TypeError, None),
        (("x", [1.0] * DIM), TypeError, None),
        ([99, [1.0] * DIM], TypeError, "argument 'pairs': 'list' object cannot be converted to 'PyTuple'"),
    ],
)
@pytest.mark.parametrize("where", [0, 150, 299])
def test_a_bad_pair_anywhere_stores_nothing(filled, probe, bad_pair, error, message, where):
    before = observable_state(filled, probe)
    pairs = [(1000 + i, random_vector(i)) for i in range(300)]
    pairs[where] = bad_pair
    with pytest.raises(error) as info:
        filled.insert_batch(pairs)
    if message is not None:
        assert str(info.value) == message
    assert observable_state(filled, probe) == before


def test_checks_run_conversion_then_lengths_then_encoding(store):
    zero, short = [0.0] * DIM, [1.0] * (DIM - 1)
    pairs = [(0, zero)] + [(i, random_vector(i)) for i in range(1, 5)] + [(5, short)]
    with pytest.raises(ValueError, match=f"^Dimension mismatch: expected {DIM}, got {DIM - 1}$"):
        store.insert_batch(pairs)
    pairs = [(0, short)] + [(i, random_vector(i)) for i in range(1, 5)] + [[5, random_vector(5)]]
    with pytest.raises(TypeError, match="'list' object cannot be converted to 'PyTuple'"):
        store.insert_batch(pairs)
    assert len(store) == 0


def test_numpy_rows_and_lists_give_identical_records(probe):
    np = pytest.importorskip("numpy")
    rows = np.random.default_rng(3).standard_normal((100, DIM))
    stores = [CompressedVectorStore(DIM, 3) for _ in range(4)]
    stores[0].insert_batch([(i, row.tolist()) for i, row in enumerate(rows)])
    stores[1].insert_batch(list(enumerate(rows)))  # float64 rows
    stores[2].insert_batch(list(enumerate(rows.astype(np.float32))))
    stores[3].insert_batch(list(enumerate(rows[:, ::-1].copy()[:, ::-1])))  # strided views
    expected = stores[0].query_all(probe)
    assert all(s.query_all(probe) == expected for s in stores[1:3])
    assert stores[3].query_all(probe) == expected


class Mutator:
    """A number whose conversion rewrites an array converted earlier."""

    def __init__(self, target, value):
        self.target, self.value = target, value

    def __float__(self):
        self.target[:] = 7.0
        return self.value

    def __index__(self):
        self.target[:] = 7.0
        return int(self.value)


@pytest.mark.parametrize("via", ["float", "index"])
def test_vectors_keep_the_values_they_had_when_converted(probe, via):
    np = pytest.importorskip("numpy")
    original = np.asarray(random_vector(1), dtype=np.float32)
    first = original.copy()
    later = random_vector(2)
    if via == "float":
        pairs = [(0, first), (1, later[:-1] + [Mutator(first, later[-1])])]
    else:
        pairs = [(0, first), (Mutator(first, 1), later)]
    store = CompressedVectorStore(DIM, 4)
    store.insert_batch(pairs)
    assert (first == 7.0).all()  # the mutation did happen, after id 0 was converted
    expected = CompressedVectorStore(DIM, 4)
    expected.insert_batch([(0, original.tolist()), (1, later)])
    assert store.query_all(probe) == expected.query_all(probe)


def test_buffer_objects_match_their_lists(probe):
    import array

    rows = [random_vector(i) for i in range(20)]
    expected = CompressedVectorStore(DIM, 2)
    expected.insert_batch(list(enumerate(rows)))
    for make in (
        lambda r: array.array("f", r),
        lambda r: array.array("d", r),
        lambda r: memoryview(array.array("f", r)),
        lambda r: memoryview(array.array("d", r)),
    ):
        store = CompressedVectorStore(DIM, 2)
        store.insert_batch([(i, make(r)) for i, r in enumerate(rows)])
        assert store.query_all(probe) == expected.query_all(probe)
