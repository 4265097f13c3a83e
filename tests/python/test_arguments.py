"""Binding call arguments to parameters, and naming the argument that failed
to convert."""

import pytest
from helpers import DIM, observable_state

from velmora import CompressedVectorStore as Store

V = [0.5] * DIM


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda s: s.query(V), "CompressedVectorStore.query() missing 1 required positional argument: 'top_k'"),
        (
            lambda s: s.query(),
            "CompressedVectorStore.query() missing 2 required positional arguments: 'vector' and 'top_k'",
        ),
        (lambda s: s.query(top_k=1), "CompressedVectorStore.query() missing 1 required positional argument: 'vector'"),
        (lambda s: s.remove(), "CompressedVectorStore.remove() missing 1 required positional argument: 'id'"),
        (
            lambda s: s.insert_batch(),
            "CompressedVectorStore.insert_batch() missing 1 required positional argument: 'pairs'",
        ),
        (lambda s: Store(128), "CompressedVectorStore.__new__() missing 1 required positional argument: 'bits'"),
        (
            lambda s: Store(),
            "CompressedVectorStore.__new__() missing 2 required positional arguments: 'dim' and 'bits'",
        ),
        (lambda s: s.query(V, 1, 2), "CompressedVectorStore.query() takes 2 positional arguments but 3 were given"),
        (lambda s: s.remove(1, 2), "CompressedVectorStore.remove() takes 1 positional arguments but 2 were given"),
        (
            lambda s: s.query_all(V, V, V),
            "CompressedVectorStore.query_all() takes 1 positional arguments but 3 were given",
        ),
        (lambda s: Store(32, 4, 1), "CompressedVectorStore.__new__() takes 2 positional arguments but 3 were given"),
        (lambda s: s.query(V, 1, top_k=2), "CompressedVectorStore.query() got multiple values for argument 'top_k'"),
        # A duplicate is reported before the missing top_k.
        (lambda s: s.query(V, vector=V), "CompressedVectorStore.query() got multiple values for argument 'vector'"),
        (lambda s: Store(32, dim=32), "CompressedVectorStore.__new__() got multiple values for argument 'dim'"),
        # An unknown keyword is reported before any missing argument.
        (lambda s: s.query(V, k=3), "CompressedVectorStore.query() got an unexpected keyword argument 'k'"),
        (lambda s: s.insert(Vector=V), "CompressedVectorStore.insert() got an unexpected keyword argument 'Vector'"),
        (
            lambda s: Store(dim=32, bits=4, seed=1),
            "CompressedVectorStore.__new__() got an unexpected keyword argument 'seed'",
        ),
    ],
)
def test_binding_errors(filled, probe, call, message):
    before = observable_state(filled, probe)
    with pytest.raises(TypeError) as caught:
        call(filled)
    assert type(caught.value) is TypeError
    assert caught.value.args == (message,)
    assert observable_state(filled, probe) == before


def test_keywords_in_any_order():
    store = Store(bits=4, dim=DIM)
    store.insert(vector=V, id=7)
    store.insert_batch(pairs=[(8, V)])
    assert store.query(top_k=1, vector=V)[0][0] == 7
    assert len(store.query_all(vector=V)) == 2
    assert store.remove(id=7) is True


def test_memory_bytes_takes_no_arguments(store):
    with pytest.raises(TypeError, match="takes no arguments"):
        store.memory_bytes(1)


@pytest.mark.parametrize(
    "call, exc_type, message",
    [
        # The first parameter that fails to convert is the one reported.
        (lambda s: s.insert("a", "b"), TypeError, "argument 'id': 'str' object cannot be interpreted as an integer"),
        (lambda s: s.query("abc", -1), TypeError, "argument 'vector': Can't extract `str` to `Vec`"),
        (lambda s: s.query(V, "x"), TypeError, "argument 'top_k': 'str' object cannot be interpreted as an integer"),
        (lambda s: s.query(V, 2.0), TypeError, "argument 'top_k': 'float' object cannot be interpreted as an integer"),
        (lambda s: Store(32.0, 4), TypeError, "argument 'dim': 'float' object cannot be interpreted as an integer"),
        (lambda s: Store(32, 4.0), TypeError, "argument 'bits': 'float' object cannot be interpreted as an integer"),
        # Only TypeError is renamed; other conversion errors pass unchanged.
        (lambda s: s.insert(-1, "b"), OverflowError, "can't convert negative int to unsigned"),
        (lambda s: s.query(V, -1), OverflowError, "can't convert negative int to unsigned"),
    ],
)
def test_conversion_errors_name_the_parameter(filled, probe, call, exc_type, message):
    before = observable_state(filled, probe)
    with pytest.raises(exc_type) as caught:
        call(filled)
    assert type(caught.value) is exc_type
    assert caught.value.args == (message,)
    assert observable_state(filled, probe) == before


class RaisesFromFloat:
    def __init__(self, exc):
        self.exc = exc

    def __float__(self):
        raise self.exc


def test_renamed_type_error_keeps_its_cause(store):
    root = ValueError("root cause")
    error = TypeError("not a number")
    error.__cause__ = root
    with pytest.raises(TypeError) as caught:
        store.insert(1, [RaisesFromFloat(error)] * DIM)
    assert caught.value.args == ("argument 'vector': not a number",)
    assert caught.value.__cause__ is root


def test_type_error_subclass_is_not_renamed(store):
    class StrictTypeError(TypeError):
        pass

    error = StrictTypeError("mine")
    with pytest.raises(StrictTypeError) as caught:
        store.insert(1, [RaisesFromFloat(error)] * DIM)
    assert caught.value is error


def test_unprintable_type_error_is_reported_as_unraisable(store, monkeypatch):
    class Unprintable:
        def __str__(self):
            raise RuntimeError("no text")

    unraisable = []
    monkeypatch.setattr("sys.unraisablehook", unraisable.append)
    with pytest.raises(TypeError) as caught:
        store.insert(1, [RaisesFromFloat(TypeError(Unprintable()))] * DIM)
    assert caught.value.args == ("argument 'vector': <unprintable TypeError object>",)
    assert [type(u.exc_value) for u in unraisable] == [RuntimeError]
