"""Python values accepted for each parameter, and the results handed back."""

import array
import math
import struct
from collections import namedtuple

import pytest
from helpers import DIM, f32, observable_state, random_vector

from velmora import CompressedVectorStore as Store

# Small integers, exact in every numeric type below.
INTS = [(i * 7) % 13 - 6 for i in range(DIM)]
FLOATS = [float(x) for x in INTS]
FLT_MAX = struct.unpack("<f", b"\xff\xff\x7f\x7f")[0]
# Halfway between FLT_MAX and 2**128: the first double that rounds to infinity.
F32_OVERFLOW = float.fromhex("0x1.ffffffp127")


class Number:
    def __init__(self, value):
        self.value = value

    def __float__(self):
        return float(self.value)


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


def ranked(store, query):
    """query_all with NaN scores made comparable."""
    return [(i, repr(s)) for i, s in store.query_all(query)]


@pytest.mark.parametrize(
    "make",
    [
        tuple,
        lambda v: [int(x) for x in v],
        lambda v: [Number(x) for x in v],
        lambda v: [Index(int(x)) for x in v],
        lambda v: array.array("d", v),
        lambda v: array.array("f", v),
        lambda v: array.array("b", [int(x) for x in v]),
    ],
    ids=["tuple", "ints", "__float__", "__index__", "array-d", "array-f", "array-b"],
)
def test_vector_forms_convert_like_a_list_of_floats(filled, make):
    assert ranked(filled, make(FLOATS)) == ranked(filled, FLOATS)


@pytest.mark.parametrize(
    "vector, same_as",
    [
        (range(1, DIM + 1), [float(i) for i in range(1, DIM + 1)]),
        (bytes(range(1, DIM + 1)), [float(i) for i in range(1, DIM + 1)]),
        (bytearray(range(1, DIM + 1)), [float(i) for i in range(1, DIM + 1)]),
        ([True, False] * (DIM // 2), [1.0, 0.0] * (DIM // 2)),
    ],
)
def test_integer_sequences_convert_item_by_item(filled, vector, same_as):
    assert ranked(filled, vector) == ranked(filled, same_as)


@pytest.mark.parametrize("dtype", ["float32", "float64", "int64"])
def test_numpy_arrays(filled, dtype):
    np = pytest.importorskip("numpy")
    assert ranked(filled, np.array(FLOATS, dtype=dtype)) == ranked(filled, FLOATS)


def test_items_round_to_the_nearest_f32(filled):
    query = [x / 3.0 + 0.1 for x in random_vector(7)]
    assert any(f32(x) != x for x in query)
    assert ranked(filled, query) == ranked(filled, [f32(x) for x in query])


@pytest.mark.parametrize(
    "big, narrowed",
    [
        (math.nextafter(F32_OVERFLOW, 0.0), FLT_MAX),
        (F32_OVERFLOW, math.inf),
        (1e300, math.inf),
        (-1e300, -math.inf),
    ],
)
def test_items_beyond_f32_range(filled, big, narrowed):
    tail = [0.0] * (DIM - 1)
    assert ranked(filled, [big] + tail) == ranked(filled, [narrowed] + tail)


def test_infinite_item_is_a_degenerate_vector_not_an_error_of_conversion(store):
    with pytest.raises(ValueError, match="^Internal error: Vector has zero or NaN norm$"):
        store.insert(1, [1e300] + [1.0] * (DIM - 1))


def test_int_beyond_float_range_raises_overflow_unchanged(store):
    with pytest.raises(OverflowError) as caught:
        store.insert(1, [10**400] + [1.0] * (DIM - 1))
    assert type(caught.value) is OverflowError
    assert not str(caught.value).startswith("argument")


@pytest.mark.parametrize(
    "vector, message",
    [
        ("abc", "Can't extract `str` to `Vec`"),
        ({1.0, 2.0}, "'set' object cannot be converted to 'Sequence'"),
        ({1: 1.0}, "'dict' object cannot be converted to 'Sequence'"),
        ((x for x in FLOATS), "'generator' object cannot be converted to 'Sequence'"),
        (iter(FLOATS), "'list_iterator' object cannot be converted to 'Sequence'"),
        (None, "'NoneType' object cannot be converted to 'Sequence'"),
        (1.5, "'float' object cannot be converted to 'Sequence'"),
        (["1.0"] * DIM, "must be real number, not str"),
    ],
)
def test_refused_vectors(filled, probe, vector, message):
    before = observable_state(filled, probe)
    for call in (lambda: filled.insert(1, vector), lambda: filled.query(vector, 1), lambda: filled.query_all(vector)):
        with pytest.raises(TypeError) as caught:
            call()
        assert caught.value.args == ("argument 'vector': " + message,)
    assert observable_state(filled, probe) == before


@pytest.mark.parametrize(
    "given, stored",
    [
        (0, 0),
        (2**64 - 1, 2**64 - 1),
        (True, 1),
        (Index(5), 5),
        (Index(2**64 - 1), 2**64 - 1),
    ],
)
def test_accepted_ids(store, given, stored):
    store.insert(given, FLOATS)
    [(stored_id, _)] = store.query_all(FLOATS)
    assert type(stored_id) is int and stored_id == stored
    assert store.remove(stored) is True


@pytest.mark.parametrize(
    "given, exc_type, message",
    [
        (-1, OverflowError, "can't convert negative int to unsigned"),
        (2**64, OverflowError, "int too big to convert"),
        (Index(-1), OverflowError, "can't convert negative int to unsigned"),
        (1.0, TypeError, "argument 'id': 'float' object cannot be interpreted as an integer"),
        ("1", TypeError, "argument 'id': 'str' object cannot be interpreted as an integer"),
        (None, TypeError, "argument 'id': 'NoneType' object cannot be interpreted as an integer"),
    ],
)
def test_refused_ids(filled, probe, given, exc_type, message):
    before = observable_state(filled, probe)
    for call in (lambda: filled.insert(given, FLOATS), lambda: filled.remove(given)):
        with pytest.raises(exc_type) as caught:
            call()
        assert type(caught.value) is exc_type
        assert caught.value.args == (message,)
    assert observable_state(filled, probe) == before


@pytest.mark.parametrize("bits", [256, -1, 2**40, -(2**40)])
def test_bits_out_of_u8_range(bits):
    with pytest.raises(OverflowError) as caught:
        Store(128, bits)
    assert caught.value.args == ("out of range integral type conversion attempted",)


def test_bits_beyond_signed_64_bit_is_the_interpreters_overflow():
    with pytest.raises(OverflowError) as caught:
        Store(128, 2**70)
    assert caught.value.args != ("out of range integral type conversion attempted",)


def test_top_k_accepts_index_objects_and_the_largest_u64(filled):
    assert len(filled.query(FLOATS, Index(2))) == 2
    assert len(filled.query(FLOATS, 2**64 - 1)) == len(filled)


def test_pairs_forms(store):
    Pair = namedtuple("Pair", "id vector")
    store.insert_batch((Pair(1, FLOATS), (2, tuple(FLOATS))))
    store.insert_batch([])
    store.insert_batch(())
    assert sorted(i for i, _ in store.query_all(FLOATS)) == [1, 2]


@pytest.mark.parametrize(
    "pairs, exc_type, message",
    [
        ("abc", TypeError, "argument 'pairs': Can't extract `str` to `Vec`"),
        ({(1, tuple(FLOATS))}, TypeError, "argument 'pairs': 'set' object cannot be converted to 'Sequence'"),
        ([[1, FLOATS]], TypeError, "argument 'pairs': 'list' object cannot be converted to 'PyTuple'"),
        ([(1, FLOATS), (2, FLOATS, 0)], ValueError, "expected tuple of length 2, but got tuple of length 3"),
        ([(1, FLOATS), ()], ValueError, "expected tuple of length 2, but got tuple of length 0"),
        ([(1, FLOATS), ("x", FLOATS)], TypeError, "argument 'pairs': 'str' object cannot be interpreted as an integer"),
        ([(1, FLOATS), (-1, FLOATS)], OverflowError, "can't convert negative int to unsigned"),
        ([(1, FLOATS), (2, "abc")], TypeError, "argument 'pairs': Can't extract `str` to `Vec`"),
        ([(1, FLOATS), (2, [1.0, "x"])], TypeError, "argument 'pairs': must be real number, not str"),
    ],
)
def test_refused_pairs_store_nothing(filled, probe, pairs, exc_type, message):
    before = observable_state(filled, probe)
    with pytest.raises(exc_type) as caught:
        filled.insert_batch(pairs)
    assert type(caught.value) is exc_type
    assert caught.value.args == (message,)
    assert observable_state(filled, probe) == before


def test_results_are_lists_of_int_float_tuples_holding_f32_scores(filled, probe):
    for result in (filled.query(probe, 3), filled.query_all(probe)):
        assert type(result) is list
        for pair in result:
            assert type(pair) is tuple and len(pair) == 2
            assert type(pair[0]) is int and type(pair[1]) is float
            assert f32(pair[1]) == pair[1]
    assert type(filled.memory_bytes()) is int
    assert filled.remove(0) is True and filled.remove(0) is False
    assert filled.insert(0, probe) is None and filled.insert_batch([]) is None
