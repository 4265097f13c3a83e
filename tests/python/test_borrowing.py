"""Calls that re-enter the store from Python code run by a conversion, and
hostile objects: neither may crash, leak, or change a store."""

import gc
import sys
import tracemalloc

import pytest
from helpers import DIM, observable_state, random_vector

from velmora import CompressedVectorStore as Store

V = random_vector(5)


class CallsBack:
    """A sequence whose iteration first runs `callback`."""

    def __init__(self, items, callback):
        self.items = items
        self.callback = callback

    def __len__(self):
        return len(self.items)

    def __getitem__(self, i):
        return self.items[i]

    def __iter__(self):
        self.callback()
        return iter(self.items)


OUTER = {
    "insert": lambda s, vec: s.insert(100, vec),
    "insert_batch": lambda s, vec: s.insert_batch([(100, V), (101, vec)]),
    "remove": None,  # takes no sequence
    "query": lambda s, vec: s.query(vec, 2),
    "query_all": lambda s, vec: s.query_all(vec),
}
INNER = {
    "insert": lambda s: s.insert(200, V),
    "insert_batch": lambda s: s.insert_batch([]),
    "remove": lambda s: s.remove(0),
    "query": lambda s: s.query(V, 1),
    "query_all": lambda s: s.query_all("invalid"),  # borrow is refused before conversion
    "len": len,
    "repr": repr,
    "memory_bytes": lambda s: s.memory_bytes(),
}
EXCLUSIVE = {"insert", "insert_batch", "remove"}


@pytest.mark.parametrize("outer", ["insert", "insert_batch"])
@pytest.mark.parametrize("inner", sorted(INNER))
def test_any_reentry_into_a_mutating_call_is_refused(filled, probe, outer, inner):
    message = "Already borrowed" if inner in EXCLUSIVE else "Already mutably borrowed"
    before = observable_state(filled, probe)
    with pytest.raises(RuntimeError) as caught:
        OUTER[outer](filled, CallsBack(V, lambda: INNER[inner](filled)))
    assert caught.value.args == (message,)
    assert observable_state(filled, probe) == before
    filled.insert(300, V)  # the borrow was released
    assert len(filled) == 7


@pytest.mark.parametrize("outer", ["query", "query_all"])
@pytest.mark.parametrize("inner", sorted(INNER))
def test_reading_calls_refuse_only_mutating_reentry(filled, probe, outer, inner):
    before = observable_state(filled, probe)
    seen = []
    vector = CallsBack(probe, lambda: seen.append(INNER[inner](filled)))
    if inner in EXCLUSIVE:
        with pytest.raises(RuntimeError) as caught:
            OUTER[outer](filled, vector)
        assert caught.value.args == ("Already borrowed",)
    elif inner == "query_all":
        # The inner call's TypeError passes through the outer conversion,
        # which names its own argument too.
        with pytest.raises(TypeError, match="^argument 'vector': argument 'vector': Can't extract"):
            OUTER[outer](filled, vector)
    else:
        assert OUTER[outer](filled, vector) == OUTER[outer](filled, probe)
        assert len(seen) == 1
    assert observable_state(filled, probe) == before


def test_binding_errors_come_before_borrow_conflicts(filled):
    with pytest.raises(TypeError, match=r"^argument 'vector': CompressedVectorStore\.query\(\) missing 2"):
        filled.insert(100, CallsBack(V, lambda: filled.query()))


def test_other_stores_are_not_borrowed(filled):
    other = Store(DIM, 2)
    filled.insert(100, CallsBack(V, lambda: other.insert(1, V)))
    assert len(other) == 1 and len(filled) == 7


class Hostile:
    """A sequence of V's items whose protocol methods misbehave. Errors are
    made fresh on each call so that no traceback keeps the object alive."""

    def __init__(self, length=lambda: DIM, fail_iter=None, fail_at=None):
        self.length = length
        self.fail_iter = fail_iter
        self.fail_at = fail_at

    def __len__(self):
        return self.length()

    def __getitem__(self, i):
        if i == self.fail_at:
            raise KeyError("item")
        return V[i]

    def __iter__(self):
        if self.fail_iter is not None:
            raise self.fail_iter()
        return (self[i] for i in range(DIM))


class BadNumber:
    def __init__(self, value):
        self.value = value

    def __float__(self):
        return self.value

    def __index__(self):
        return self.value


class LyingList(list):
    def __len__(self):
        return self.length()


def raise_value_error():
    raise ValueError("len")


@pytest.mark.parametrize(
    "length",
    [
        lambda: 2**62,
        lambda: 0,
        raise_value_error,
        lambda: 2**100,
        lambda: -5,
    ],
    ids=["len-2**62", "len-0", "len-raises", "len-overflows", "len-negative"],
)
def test_length_is_only_a_hint(filled, length):
    vector = Hostile(length=length)
    filled.insert(0, vector)
    assert filled.query_all(vector) == filled.query_all(V)
    pairs = LyingList([(0, vector), (1, V)])
    pairs.length = length
    filled.insert_batch(pairs)
    best = filled.query(V, 3)  # ids 0, 1 and 5 all hold V now
    assert sorted(i for i, _ in best) == [0, 1, 5] and len({s for _, s in best}) == 1
    assert len(filled) == 6
    del pairs
    assert sys.getrefcount(vector) == 2


@pytest.mark.parametrize(
    "make, exc_type, message",
    [
        (lambda: Hostile(fail_iter=lambda: ValueError("iter")), ValueError, "iter"),
        (lambda: Hostile(fail_iter=lambda: TypeError("iter")), TypeError, "{}iter"),
        (lambda: Hostile(fail_at=7), KeyError, "item"),
        (
            lambda: [1.0] * 5 + [BadNumber("x")] + [1.0] * (DIM - 6),
            TypeError,
            "{}BadNumber.__float__ returned non-float (type str)",
        ),
    ],
)
def test_misbehaving_sequences(filled, probe, make, exc_type, message):
    before = observable_state(filled, probe)
    vector = make()
    for call, param in (
        (lambda: filled.insert(0, vector), "vector"),
        (lambda: filled.query(vector, 1), "vector"),
        (lambda: filled.insert_batch([(0, V), (1, vector)]), "pairs"),
    ):
        with pytest.raises(exc_type) as caught:
            call()
        assert type(caught.value) is exc_type
        assert caught.value.args == (message.format(f"argument '{param}': "),)
    del call, caught
    assert sys.getrefcount(vector) == 2
    assert observable_state(filled, probe) == before


@pytest.mark.parametrize("value, exc_type", [("x", TypeError), (-1, OverflowError), (2**64, OverflowError)])
def test_misbehaving_index(filled, probe, value, exc_type):
    before = observable_state(filled, probe)
    given = BadNumber(value)
    for call in (lambda: filled.insert(given, V), lambda: filled.remove(given), lambda: filled.query(V, given)):
        with pytest.raises(exc_type):
            call()
    del call
    assert sys.getrefcount(given) == 2
    assert observable_state(filled, probe) == before


def test_calls_release_every_reference(filled):
    big_id = 2**40 + 1
    vector = list(random_vector(9))
    items = list(vector)
    bad = [1.0, "x"]
    pairs = [(big_id, vector)]
    watched = [filled, big_id, vector, bad, pairs] + items
    counts = [sys.getrefcount(obj) for obj in watched]
    for _ in range(3):
        filled.insert(big_id, vector)
        filled.insert_batch(pairs)
        filled.query(vector, 3)
        filled.query_all(vector)
        filled.remove(big_id)
        for failing in (
            lambda: filled.insert(big_id, bad),
            lambda: filled.insert(big_id, vector[1:]),
            lambda: filled.insert_batch([pairs[0], (big_id, bad)]),
            lambda: filled.query(vector, top_k=-1),
            lambda: filled.query(vector),
            lambda: filled.insert(big_id, CallsBack(vector, lambda: filled.query(vector, 1))),
        ):
            with pytest.raises(Exception):  # noqa: B017 (any refusal: the references are what is checked)
                failing()
    assert [sys.getrefcount(obj) for obj in watched] == counts


def test_repeated_calls_do_not_grow_python_memory(filled, probe):
    def calls():
        filled.insert(50, probe)
        filled.query(probe, 3)
        filled.query_all(probe)
        filled.remove(50)
        for failing in (
            lambda: filled.insert(1, [1.0, "x"]),
            lambda: filled.query([1.0], 1),
            lambda: filled.insert_batch([(1, probe), (2, "x")]),
            lambda: filled.query(k=1),
        ):
            try:
                failing()
            except Exception:
                pass

    for _ in range(50):
        calls()
    gc.collect()
    tracemalloc.start()
    try:
        baseline = tracemalloc.get_traced_memory()[0]
        for _ in range(500):
            calls()
        gc.collect()
        grown = tracemalloc.get_traced_memory()[0] - baseline
    finally:
        tracemalloc.stop()
    assert grown < 16 * 1024
