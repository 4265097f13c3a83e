"""Property tests: whatever is passed in, the fast conversion paths (vectors
read or borrowed through the buffer protocol) give exactly what item-by-item
conversion gives: the same stored scores, or the same exception, and a call
that fails leaves the store as it was.

Item-by-item conversion is obtained by hiding each object behind a plain
Python sequence whose iterator is the object's own: the store then has to
iterate it, item by item, as its contract describes."""

import array
import ctypes
import sys
import warnings

import pytest
from helpers import DIM, observable_state, random_vector

from velmora import CompressedVectorStore as Store

np = pytest.importorskip("numpy")
hypothesis = pytest.importorskip("hypothesis")
from hypothesis import HealthCheck, given, settings  # noqa: E402
from hypothesis import strategies as st  # noqa: E402

PROBE = random_vector(1000)
SETTINGS = settings(
    max_examples=150,
    deadline=None,
    derandomize=True,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large],
)


class ItemByItem:
    """Shows only the sequence protocol of `obj`, so that converting it
    iterates `obj` item by item."""

    def __init__(self, obj):
        self.obj = obj

    def __len__(self):
        return len(self.obj)

    def __getitem__(self, i):
        return self.obj[i]

    def __iter__(self):
        return iter(self.obj)


def outcome(call):
    """The call's result, or its exception's type and arguments."""
    try:
        return "ok", call()
    except Exception as exc:  # noqa: BLE001 - every exception is compared
        return type(exc), exc.args


def prefilled():
    store = Store(DIM, 4)
    store.insert_batch([(i, random_vector(i)) for i in range(3)])
    return store


# ---------------------------------------------------------------------------
# Buffers of every shape and format.

NUMPY_DTYPES = ["?", "i1", "u1", "i2", "u2", "i4", "u4", "i8", "u8", "f2", "f4", "f8", "g", "c8", "c16", "O", "M8[s]"]
VALUES = st.one_of(
    st.floats(allow_nan=True, allow_infinity=True, width=64),
    st.floats(min_value=-3.0, max_value=3.0, width=32),
    st.integers(min_value=-300, max_value=300).map(float),
)


@st.composite
def numpy_vectors(draw):
    dtype = np.dtype(draw(st.sampled_from(NUMPY_DTYPES)))
    if dtype.kind in "fciu" and dtype.itemsize > 1:
        dtype = dtype.newbyteorder(draw(st.sampled_from("<>=")))
    ndim = draw(st.sampled_from([1, 1, 1, 0, 2]))
    length = draw(st.sampled_from([DIM, DIM, DIM, 0, DIM - 1, 2 * DIM]))
    step = draw(st.sampled_from([1, 1, 2, -1]))
    values = draw(st.lists(VALUES, min_size=abs(step) * max(length, 1), max_size=abs(step) * max(length, 1)))
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        if dtype.kind == "M":
            base = np.arange(len(values)).astype(dtype)
        elif dtype.kind == "O":
            base = np.array(values, dtype=object)
        else:
            base = np.array(values).astype(dtype)
    if draw(st.booleans()) and dtype.kind != "O":
        # The same values at an odd address.
        base = np.frombuffer(b"\0" + base.tobytes(), dtype=dtype, offset=1)
    vector = base[::step][:length] if step > 0 else base[::-1][:length]
    if ndim == 0:
        vector = vector[:1].reshape(()) if vector.size else np.array(1.5, dtype=dtype)
    elif ndim == 2:
        vector = vector.reshape(1, -1)
    if draw(st.booleans()) and vector.flags.writeable:
        vector.flags.writeable = False
    return vector


# memoryview casts to half floats ("e") exist from CPython 3.12 on.
MEMORYVIEW_FORMATS = ["f", "d", "@f", "@d", "B", "b", "h", "i", "q", "?"] + (
    ["e"] if sys.version_info >= (3, 12) else []
)


@st.composite
def memoryview_vectors(draw):
    values = draw(st.lists(VALUES, min_size=DIM, max_size=DIM))
    kind = draw(st.sampled_from(["cast", "ctypes", "numpy"]))
    if kind == "ctypes":  # standard little-endian formats: '<f', '<d'
        ctype = draw(st.sampled_from([ctypes.c_float, ctypes.c_double]))
        return memoryview((ctype * DIM)(*values))
    if kind == "numpy":
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            return memoryview(np.array(values).astype(draw(st.sampled_from(["<f4", ">f4", "<f8", ">f8"]))))
    raw = np.array(values, dtype=np.float64).tobytes() * 2
    fmt = draw(st.sampled_from(MEMORYVIEW_FORMATS))
    view = memoryview(raw).cast("B").cast(fmt.lstrip("@"))
    if fmt.startswith("@"):
        view = memoryview(raw).cast("B").cast(fmt)
    step = draw(st.sampled_from([1, 1, 2, -1, 3]))
    return view[::step][:DIM]


ARRAY_CODES = ["b", "B", "u", "h", "H", "i", "I", "l", "L", "q", "Q", "f", "d"]


@st.composite
def array_vectors(draw):
    code = draw(st.sampled_from(ARRAY_CODES))
    length = draw(st.sampled_from([DIM, DIM, 0, DIM + 3]))
    if code == "u":
        return array.array(code, "x" * length)
    if code in "fd":
        return array.array(code, draw(st.lists(VALUES, min_size=length, max_size=length)))
    limit = 2 ** (8 * array.array(code).itemsize - (0 if code.isupper() else 1)) - 1
    low = 0 if code.isupper() else -limit - 1
    return array.array(code, draw(st.lists(st.integers(low, limit), min_size=length, max_size=length)))


BUFFERS = st.one_of(numpy_vectors(), memoryview_vectors(), array_vectors())

OPERATIONS = {
    "insert": lambda s, v: s.insert(7, v),
    "insert_batch": lambda s, v: s.insert_batch([(8, PROBE), (7, v)]),
    "query": lambda s, v: s.query(v, 2),
    "query_all": lambda s, v: s.query_all(v),
}


def check_same_as_item_by_item(vector):
    for name, operation in OPERATIONS.items():
        fast, slow = prefilled(), prefilled()
        before = observable_state(fast, PROBE)
        fast_outcome = outcome(lambda: operation(fast, vector))
        slow_outcome = outcome(lambda: operation(slow, ItemByItem(vector)))
        # Scores compare by their text, so that NaN equals NaN.
        assert repr(fast_outcome) == repr(slow_outcome), name
        assert observable_state(fast, PROBE) == observable_state(slow, PROBE), name
        if fast_outcome[0] != "ok":
            assert observable_state(fast, PROBE) == before, name


@SETTINGS
@given(BUFFERS)
def test_buffers_convert_like_their_items(vector):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        check_same_as_item_by_item(vector)


# ---------------------------------------------------------------------------
# Batches whose ids and vectors run hostile Python code while they are
# converted. A recipe is built twice, once with buffer vectors as they are and
# once hidden behind ItemByItem, against fresh copies of the same arrays.


class Id:
    """An id whose __index__ runs an action on the batch being converted."""

    def __init__(self, value, action, world):
        self.value = value
        self.action = action
        self.world = world

    def __index__(self):
        self.action(self.world)
        return self.value


class LyingSequence:
    """The items of a list, with a __len__ that lies or raises."""

    def __init__(self, items, length):
        self.items = items
        self.length = length

    def __len__(self):
        if self.length is None:
            raise ValueError("no length")
        return self.length

    def __getitem__(self, i):
        return self.items[i]

    def __iter__(self):
        return iter(self.items)


class BadFloat:
    def __init__(self, value, exc):
        self.value = value
        self.exc = exc

    def __float__(self):
        if self.exc is not None:
            raise self.exc("bad item")
        return self.value


def overwrite(index, value):
    def action(world):
        world["arrays"][index % len(world["arrays"])][:] = value

    return action


ACTIONS = st.one_of(
    st.just(lambda world: None),
    st.just(lambda world: world["batch"].clear()),
    st.just(lambda world: world["batch"].reverse()),
    st.integers(0, 5).map(
        lambda i: lambda world: world["batch"].pop(i % len(world["batch"])) if world["batch"] else None
    ),
    st.tuples(st.integers(0, 5), st.sampled_from([0.0, 7.0, float("nan")])).map(lambda t: overwrite(*t)),
    st.just(lambda world: world["store"].query(PROBE, 1)),  # re-entry: refused
    st.just(lambda world: world["store"].insert(1, PROBE)),  # re-entry: refused
    st.sampled_from([ValueError, TypeError, OverflowError]).map(
        lambda exc: lambda world: (_ for _ in ()).throw(exc("from __index__"))
    ),
)

VECTOR_KINDS = st.one_of(
    st.tuples(st.just("array"), st.sampled_from(["f4", "f8", "f4-unaligned", "f4-strided"])),
    st.tuples(st.just("list"), st.just(None)),
    st.tuples(st.just("lying"), st.sampled_from([0, 2**62, None, DIM + 5])),
    st.tuples(st.just("bad-float"), st.sampled_from([None, TypeError, ValueError])),
    st.tuples(st.just("short"), st.just(None)),
)


def make_array(kind, seed):
    values = np.asarray(random_vector(seed), dtype=np.float64)
    if kind == "f4":
        return values.astype(np.float32)
    if kind == "f8":
        return values
    if kind == "f4-unaligned":
        return np.frombuffer(bytearray(b"\0" + values.astype(np.float32).tobytes()), np.float32, offset=1)
    return np.repeat(values.astype(np.float32), 2)[::2]


def build(recipe, store, wrap):
    world = {"store": store, "arrays": [], "batch": None}
    batch = []
    for position, (id_spec, (kind, arg)) in enumerate(recipe):
        seed = 10 + position
        if kind == "array":
            vector = make_array(arg, seed)
            world["arrays"].append(vector)
            vector = wrap(vector)
        elif kind == "list":
            vector = random_vector(seed)
        elif kind == "lying":
            vector = LyingSequence(random_vector(seed), arg)
        elif kind == "bad-float":
            vector = random_vector(seed)[:-1] + [BadFloat(0.5, arg)]
        else:
            vector = random_vector(seed)[:-1]
        value, action = id_spec
        pair_id = value if action is None else Id(value, action, world)
        batch.append((pair_id, vector))
    if not world["arrays"]:
        world["arrays"].append(np.zeros(DIM, np.float32))
    return batch, world


RECIPES = st.lists(
    st.tuples(st.tuples(st.integers(0, 4), st.one_of(st.none(), ACTIONS)), VECTOR_KINDS), min_size=1, max_size=6
)


@SETTINGS
@given(RECIPES, st.sampled_from([list, tuple]))
def test_hostile_batches_convert_like_item_by_item(recipe, container):
    results = []
    for wrap in (lambda v: v, ItemByItem):
        store = prefilled()
        before = observable_state(store, PROBE)
        batch, world = build(recipe, store, wrap)
        # Actions on a tuple batch fail (it is immutable), alike on both paths.
        world["batch"] = batch = container(batch)
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            result = outcome(lambda: store.insert_batch(batch))
        state = observable_state(store, PROBE)
        if result[0] != "ok":
            assert state == before
        results.append((repr(result), state))
    assert results[0] == results[1]


def test_item_by_item_wrapper_is_not_a_buffer():
    # Guards the reference: the wrapper must really force iteration.
    with pytest.raises(TypeError):
        memoryview(ItemByItem(np.zeros(DIM, np.float32)))
