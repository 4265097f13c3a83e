"""Vectors read through the buffer protocol (numpy arrays, array.array,
memoryviews) must end up exactly as item-by-item conversion would store
them, whatever Python code runs while a batch is converted.

Each test compares what the store holds (every score of query_all) with a
store fed plain lists of the same values."""

import array
import ctypes
import sys

import pytest
from helpers import DIM, random_vector

from velmora import CompressedVectorStore as Store

np = pytest.importorskip("numpy")

PROBE = random_vector(1000)


def scores(store):
    return [(i, repr(s)) for i, s in store.query_all(PROBE)]


def store_of(pairs):
    """A store filled item by item from (id, list of floats) pairs."""
    store = Store(DIM, 4)
    for vector_id, vector in pairs:
        store.insert(vector_id, [float(x) for x in vector])
    return store


def f32_array(seed):
    return np.asarray(random_vector(seed), dtype=np.float32)


class ClearingIndex:
    """An id whose __index__ empties the batch it belongs to."""

    def __init__(self, batch, value=1):
        self.batch = batch
        self.value = value

    def __index__(self):
        self.batch.clear()
        return self.value


def test_a_pair_dropped_by_its_own_id_keeps_its_vector():
    # 768 floats: beyond the sizes whose memory numpy recycles itself, so a
    # freed vector really is freed.
    dim = 768
    vector = np.asarray(random_vector(1, dim), dtype=np.float32)
    expected = Store(dim, 4)
    expected.insert(1, vector.tolist())
    pairs = []
    pairs.append((ClearingIndex(pairs), vector.copy()))  # the copy lives only in the pair
    store = Store(dim, 4)
    store.insert_batch(pairs)
    probe = random_vector(2, dim)
    assert store.query_all(probe) == expected.query_all(probe)


class Overwriting:
    """An id whose __index__ overwrites arrays in place."""

    def __init__(self, arrays, value):
        self.arrays = arrays
        self.value = value

    def __index__(self):
        for a in self.arrays:
            a[:] = 7.0
        return self.value


def test_vectors_hold_their_values_at_conversion_time():
    first, second = f32_array(1), f32_array(2)
    expected = store_of([(1, first.copy()), (2, np.full(DIM, 7.0, np.float32))])
    store = Store(DIM, 4)
    # The second id rewrites both arrays after the first was borrowed.
    store.insert_batch([(1, first), (Overwriting([first, second], 2), second)])
    assert scores(store) == scores(expected)


class SelfRemoving(ClearingIndex):
    """Drops its own pair from the batch; when the pair dies, its destructor
    rewrites the arrays."""

    def __init__(self, batch, arrays):
        super().__init__(batch)
        self.arrays = arrays

    def __del__(self):
        for a in self.arrays:
            a[:] = 9.0


def test_a_pair_freed_during_the_batch_dies_only_after_it():
    vector = f32_array(1)
    expected = store_of([(1, vector.copy())])
    batch = []
    batch.append((SelfRemoving(batch, [vector]), vector))
    store = Store(DIM, 4)
    store.insert_batch(batch)
    assert scores(store) == scores(expected)
    assert (vector == 9.0).all()  # the destructor did run, after the call


class Exporter:
    """Iterates one set of values, exports another through __buffer__."""

    def __init__(self, items, exported):
        self.items = items
        self.exported = exported

    def __len__(self):
        return len(self.items)

    def __getitem__(self, i):
        return self.items[i]

    def __iter__(self):
        return iter(self.items)

    def __buffer__(self, flags):
        return memoryview(self.exported)


LOOKALIKES = [type(name, (Exporter,), {}) for name in ("numpy.ndarray", "array.array", "ndarray")]


@pytest.mark.parametrize("lookalike", LOOKALIKES, ids=lambda t: t.__name__)
def test_lookalike_types_are_iterated_not_read_as_buffers(lookalike):
    items = random_vector(3)
    vector = lookalike(items, np.zeros(DIM, np.float32) + 5.0)
    expected = store_of([(1, items), (2, items)])
    store = Store(DIM, 4)
    store.insert(1, vector)
    store.insert_batch([(2, vector)])
    assert scores(store) == scores(expected)
    assert store.query_all(vector) == store.query_all(items)


def test_numpy_subclasses_are_iterated():
    class Reversed(np.ndarray):
        def __iter__(self):
            return iter(np.asarray(self)[::-1].tolist())

    values = f32_array(4)
    vector = values.view(Reversed)
    expected = store_of([(1, values[::-1]), (2, values[::-1])])
    store = Store(DIM, 4)
    store.insert(1, vector)
    store.insert_batch([(2, vector)])
    assert scores(store) == scores(expected)


def test_memoryview_formats_that_iteration_refuses_are_refused():
    values = (ctypes.c_float * DIM)(*random_vector(5))
    view = memoryview(values)
    assert view.format == "<f"
    with pytest.raises(NotImplementedError) as iterating:
        list(view)
    store = Store(DIM, 4)
    store.insert(0, random_vector(0))
    before = scores(store)
    for call in (lambda: store.insert(1, view), lambda: store.insert_batch([(1, view)]), lambda: store.query(view, 1)):
        with pytest.raises(NotImplementedError) as converting:
            call()
        assert converting.value.args == iterating.value.args
    assert scores(store) == before
    # The same values under a native format are accepted.
    store.insert(1, view.cast("B").cast("f"))
    assert scores(store) == scores(store_of([(0, random_vector(0)), (1, list(values))]))


@pytest.mark.parametrize(
    "empty",
    [
        lambda: np.zeros(0, np.float32),
        lambda: np.zeros(0, np.float64),
        lambda: array.array("f"),
        lambda: memoryview(b"").cast("f"),
    ],
    ids=["numpy-f32", "numpy-f64", "array-f", "memoryview-f"],
)
def test_empty_buffers_are_a_dimension_mismatch(empty):
    store = Store(DIM, 4)
    with pytest.raises(ValueError, match=f"^Dimension mismatch: expected {DIM}, got 0$"):
        store.insert(1, empty())
    with pytest.raises(ValueError, match=f"^Dimension mismatch: expected {DIM}, got 0$"):
        store.insert_batch([(1, f32_array(1)), (2, empty())])
    assert len(store) == 0


@pytest.mark.parametrize("dtype", [np.float32, np.float64])
def test_unaligned_buffers_are_read_correctly(dtype):
    values = np.asarray(random_vector(6), dtype=dtype)
    unaligned = np.frombuffer(b"\0" + values.tobytes(), dtype=dtype, offset=1)
    assert unaligned.ctypes.data % np.dtype(dtype).alignment != 0
    expected = store_of([(1, values), (2, values), (3, values)])
    store = Store(DIM, 4)
    store.insert(1, unaligned)
    store.insert_batch([(2, unaligned), (3, unaligned[::1])])
    assert scores(store) == scores(expected)
    assert store.query_all(unaligned) == store.query_all(values.tolist())


def test_borrowed_batches_release_every_reference():
    vectors = [f32_array(i) for i in range(4)]
    batch = [(i, v) for i, v in enumerate(vectors)]
    counts = [sys.getrefcount(v) for v in vectors] + [sys.getrefcount(p) for p in batch]
    store = Store(DIM, 4)
    store.insert_batch(batch)
    store.insert_batch(tuple(batch))
    with pytest.raises(ValueError):
        store.insert_batch(batch + [(9, np.zeros(DIM, np.float32))])
    assert [sys.getrefcount(v) for v in vectors] + [sys.getrefcount(p) for p in batch] == counts
