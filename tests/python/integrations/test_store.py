"""The store under the framework integrations: exact filtered search against
brute force, filter semantics, bad input that changes nothing, odd vectors,
reopening from a snapshot, and several threads at once."""

import threading

import numpy as np
import pytest

from velmora.integrations._filters import And, Condition, FilterError, Not, Or
from velmora.integrations._store import Collection, DuplicateIdError, Record

DIM = 40


def cosine(rows, query):
    rows = np.asarray(rows, dtype=np.float64)
    query = np.asarray(query, dtype=np.float64)
    return rows @ query / (np.linalg.norm(rows, axis=1) * np.linalg.norm(query))


def brute_force(vectors, keys, query, k):
    scores = cosine(vectors, query)
    order = np.lexsort((keys, -scores))[:k]
    return [int(keys[i]) for i in order], scores[order]


def corpus(n, seed=0, dim=DIM):
    """Embedding-like vectors (clusters around a common direction) with metadata
    of every kind a filter meets."""
    rng = np.random.default_rng(seed)
    centers = rng.standard_normal((12, dim))
    vectors = centers[rng.integers(0, 12, n)] + 0.7 * rng.standard_normal((n, dim)) + 0.8 * rng.standard_normal(dim)
    metas = []
    for i in range(n):
        meta = {"source": f"s{i % 7}", "year": 1990 + i % 35, "score": float(i % 11) / 2, "tags": [f"t{i % 5}", "all"]}
        if i % 4 == 0:
            meta["date"] = f"20{10 + i % 15:02d}-0{1 + i % 9}-1{i % 10}T12:00:00"
        if i % 9 == 0:
            meta["author"] = {"name": f"a{i % 3}", "age": 30 + i % 40}
        metas.append(meta)
    return vectors, metas


def python_filter(node, meta):
    """What a filter means, evaluated in Python on one metadata dict."""
    if isinstance(node, And):
        return all(python_filter(p, meta) for p in node.parts)
    if isinstance(node, Or):
        return any(python_filter(p, meta) for p in node.parts)
    if isinstance(node, Not):
        return not python_filter(node.part, meta)
    value = meta
    for part in node.field.split("."):
        value = value.get(part) if isinstance(value, dict) else None
    op, target = node.op, node.value
    if op == "eq":
        return value == target
    if op == "ne":
        return value != target
    if op == "in":
        return value in target
    if op == "nin":
        return value not in target
    if op == "contains":
        return isinstance(value, list) and target in value or isinstance(value, str) and target in value
    if op == "exists":
        return (value is not None) == target
    numbers = isinstance(value, (int, float)) and isinstance(target, (int, float))
    strings = isinstance(value, str) and isinstance(target, str)
    if not (numbers or strings):
        return False
    return {"gt": value > target, "gte": value >= target, "lt": value < target, "lte": value <= target}[op]


FILTERS = [
    Condition("source", "eq", "s3"),
    Condition("year", "gte", 2010),
    And((Condition("year", "lt", 2000), Condition("score", "gt", 2.5))),
    Or((Condition("source", "in", ["s1", "s2"]), Condition("tags", "contains", "t4"))),
    And((Condition("source", "ne", "s0"), Not(Condition("tags", "contains", "t1")))),
    Condition("author.name", "eq", "a1"),
    Condition("author.age", "lte", 40),
    Condition("source", "nin", ["s1", "s2", "s3", "s4"]),
    Condition("score", "eq", 2),  # 2 == 2.0
    Condition("missing", "ne", 1),  # every document
    Condition("source", "gt", "s4"),  # strings by their order
    Condition("source", "eq", "nothing"),
]


@pytest.fixture(scope="module")
def filled():
    vectors, metas = corpus(10_000)
    store = Collection(None, bits=2)
    store.upsert([Record(f"d{i}", f"text {i}", meta, vectors[i]) for i, meta in enumerate(metas)])
    yield store, vectors, metas
    store.close()


@pytest.mark.parametrize("node", FILTERS, ids=[repr(f)[:60] for f in FILTERS])
def test_filtered_search_is_brute_force_among_the_matching(filled, node):
    store, vectors, metas = filled
    matching = np.array([i for i, meta in enumerate(metas) if python_filter(node, meta)], dtype=np.int64)
    assert store.count(node) == len(matching)
    rng = np.random.default_rng(len(matching))
    for query in (vectors[rng.integers(0, len(vectors))] + 0.3 * rng.standard_normal(DIM), rng.standard_normal(DIM)):
        rows = store.search(query, 10, node)
        if len(matching) == 0:
            assert rows == []
            continue
        want, scores = brute_force(vectors[matching], matching + 1, query, 10)  # keys start at 1
        assert [r.key for r in rows] == want
        assert [r.id for r in rows] == [f"d{k - 1}" for k in want]
        np.testing.assert_allclose([r.score for r in rows], scores, rtol=0, atol=1e-6)
        assert all(python_filter(node, r.meta) for r in rows)


def test_filter_semantics_on_awkward_values():
    store = Collection(None)
    values = {
        "int": 1,
        "float": 1.0,
        "true": True,
        "text": "1",
        "none": None,
        "nan": float("nan"),
        "list": [1, "a", None],
        "empty text": "",
        "empty list": [],
        "dict": {"x": 1},
        "date": "2024-05-01T12:00:00+02:00",
        "naive date": "2024-05-01 10:00:00",
        "big": 2**70,
    }
    store.upsert([Record(name, None, {"v": v}, None) for name, v in values.items()] + [Record("absent", None, {})])

    def ids(node):
        return {r.id for r in store.find(node)}

    assert ids(Condition("v", "eq", 1)) == {"int", "float", "true"}  # as Python compares them
    assert ids(Condition("v", "eq", "1")) == {"text"}
    assert ids(Condition("v", "eq", None)) == {"none", "absent"}
    assert ids(Condition("v", "ne", None)) == set(values) - {"none"}
    assert ids(Condition("v", "gt", 0)) == {"int", "float", "true", "big"}  # never NaN, text or lists
    assert ids(Condition("v", "lt", "2")) == {"text", "empty text"}  # "2024-..." sorts after "2"
    assert ids(Condition("v", "eq", [1, "a", None])) == {"list"}
    assert ids(Condition("v", "contains", "a")) == {"list"}
    assert ids(Condition("v", "contains", None)) == {"list"}
    assert ids(Condition("v.x", "eq", 1)) == {"dict"}
    assert ids(Condition("v", "is_empty", None)) == {"none", "absent", "empty text", "empty list"}
    assert ids(Condition("v", "exists", True)) == set(values)
    assert ids(Condition("v", "in", [None, "1"])) == {"none", "absent", "text"}
    # ISO dates compare as points in time (a date without a zone is UTC).
    assert ids(Condition("v", "eq", "2024-05-01T10:00:00Z", dates=True)) == {"date", "naive date"}
    assert ids(Condition("v", "gt", "2024-05-01T09:00:00", dates=True)) == {"date", "naive date"}
    assert ids(Condition("v", "text_match_insensitive", "")) == {"text", "empty text", "date", "naive date"}
    for bad in (
        Condition("v", "gt", [1]),
        Condition("v", "gt", None),
        Condition("v", "in", 3),
        Condition("v", "near", 1),
        Condition("v", "eq", object()),
        Condition("v", "gt", "yesterday", dates=True),
    ):
        with pytest.raises(FilterError):
            store.find(bad)
    store.close()


def state(store, query):
    return (
        store.count(),
        [(r.id, r.text, r.meta, r.score) for r in store.search(query, 50)],
        [(r.id, r.meta) for r in store.find()],
    )


@pytest.mark.parametrize("where", ["memory", "disk"])
def test_bad_input_raises_and_changes_nothing(tmp_path, where):
    store = Collection(None if where == "memory" else tmp_path)
    vectors, metas = corpus(30, dim=8)
    store.upsert([Record(f"d{i}", "t", metas[i], vectors[i]) for i in range(30)])
    query = vectors[3]
    before = state(store, query)
    good = Record("new", "t", {}, vectors[0])
    cases = [
        (ValueError, [good, Record("x", "t", {}, vectors[0][:5])]),  # another dimension
        (ValueError, [good, Record("x", "t", {}, [np.nan] * 8)]),
        (ValueError, [good, Record("x", "t", {}, [np.inf] + [0.0] * 7)]),
        (TypeError, [good, Record("x", "t", {}, ["a"] * 8)]),
        (TypeError, [good, Record("x", "t", {}, "abcdefgh")]),
        (ValueError, [good, Record("x", "t", {}, [[0.0] * 8])]),
        (TypeError, [good, Record(7, "t", {}, vectors[0])]),
        (TypeError, [good, Record("x", b"bytes", {}, vectors[0])]),
        (TypeError, [good, Record("x", "t", {"when": object()}, vectors[0])]),
        (TypeError, [good, Record("x", "t", {1: "int key"}, vectors[0])]),
        (TypeError, [good, Record("x", "t", ["not", "a", "dict"], vectors[0])]),
    ]
    for error, records in cases:
        with pytest.raises(error):
            store.upsert(records)
        assert state(store, query) == before
    with pytest.raises(DuplicateIdError):
        store.upsert([good, Record("d1", "t", {}, vectors[0])], "fail")
    with pytest.raises(DuplicateIdError):
        store.upsert([good, good], "fail")
    for query_error, bad_query in [(ValueError, query[:4]), (ValueError, np.zeros(8)), (ValueError, [np.nan] * 8)]:
        with pytest.raises(query_error):
            store.search(bad_query, 3)
    with pytest.raises(FilterError):
        store.delete_where(Condition("year", "between", 3))
    with pytest.raises(TypeError):
        store.delete_ids("d1")  # one string, not a list of ids
    with pytest.raises(ValueError):
        store.search(query, -1)
    assert state(store, query) == before
    assert store.search(query, 0) == []
    assert store.get(["nope"]) == [] and store.delete_ids(["nope"]) == 0
    store.close()
    if where == "disk":
        reopened = Collection(tmp_path)
        assert state(reopened, query) == before
        reopened.close()
    with pytest.raises(ValueError, match="closed"):
        store.search(query, 3)


def test_zero_tiny_and_huge_vectors_have_their_cosines():
    rng = np.random.default_rng(4)
    base = rng.standard_normal((20, DIM))
    vectors = np.vstack([base, np.zeros((1, DIM)), base[:3] * 1e-200, base[3:6] * 1e200, base[6:7] * 2.0**-1070])
    store = Collection(None)
    store.upsert([Record(f"d{i}", None, {}, v) for i, v in enumerate(vectors)])
    query = -base[0] + 0.01 * rng.standard_normal(DIM)
    rows = store.search(query, len(vectors))
    assert len(rows) == len(vectors)
    scores = {r.id: r.score for r in rows}
    assert scores["d20"] == 0.0  # a zero vector has cosine 0 with anything
    for i in range(21, 27):  # exact rescalings of d0 to d5
        assert scores[f"d{i}"] == pytest.approx(scores[f"d{i - 21}"], abs=1e-6)
    # A subnormal vector keeps a few bits of each coordinate: its own cosine.
    assert scores["d27"] == pytest.approx(cosine([np.ldexp(vectors[27], 1070)], query)[0], abs=1e-6)
    assert [r.score for r in rows] == sorted(scores.values(), reverse=True)
    # Below the negative cosines only, the zero vector comes before them.
    ranked = [r.id for r in rows]
    assert all(scores[x] >= 0 for x in ranked[: ranked.index("d20")])
    store.close()


def test_reopening_loads_the_snapshot_and_replays_only_later_writes(tmp_path, monkeypatch):
    vectors, metas = corpus(1500, seed=2)
    store = Collection(tmp_path, bits=3)
    store.upsert([Record(f"d{i}", "t", metas[i], vectors[i]) for i in range(1200)])  # over the threshold: a snapshot
    snapshots = sorted(p.name for p in tmp_path.glob("index-*.vidx"))
    assert len(snapshots) == 1
    store.upsert([Record(f"d{i}", "t", metas[i], vectors[i]) for i in range(1200, 1500)])
    store.delete_ids([f"d{i}" for i in range(0, 100)])
    store.upsert([Record(f"d{i}", "t", metas[i], -vectors[i]) for i in range(200, 250)])
    query = vectors[222] * -1 + 0.1
    want = [(r.id, r.score) for r in store.search(query, 20, Condition("year", "gte", 2000))]
    del store  # not closed: as after a crash, the snapshot is behind the database
    replayed = []
    real_load = Collection._load_index

    def counting_load(self, rebuild):
        real_load(self, rebuild)
        replayed.append(self._changes_since_snapshot)

    monkeypatch.setattr(Collection, "_load_index", counting_load)
    reopened = Collection(tmp_path, bits=3)
    assert replayed == [300 + 100 + 50]  # the later writes, not all 1400 vectors
    assert [(r.id, r.score) for r in reopened.search(query, 20, Condition("year", "gte", 2000))] == want
    reopened.close()  # saves a fresh snapshot
    (snapshot,) = tmp_path.glob("index-*.vidx")
    snapshot.write_bytes(snapshot.read_bytes()[:100])  # damaged: the index is rebuilt from the database
    reopened = Collection(tmp_path, bits=3)
    assert replayed[-1] == 1400 and len(reopened.index) == 1400
    assert [(r.id, r.score) for r in reopened.search(query, 20, Condition("year", "gte", 2000))] == want
    reopened.close()
    widened = Collection(tmp_path, bits=4)  # another width: re-encoded from the full vectors
    assert widened.index.bits == 4
    assert [(r.id, r.score) for r in widened.search(query, 20, Condition("year", "gte", 2000))] == want
    widened.close()


def test_one_directory_is_open_once(tmp_path):
    store = Collection(tmp_path)
    with pytest.raises(RuntimeError, match="open in another velmora store"):
        Collection(tmp_path)
    store.close()
    Collection(tmp_path).close()


def test_searches_run_beside_writes_from_many_threads(tmp_path):
    vectors, metas = corpus(2000, seed=5)
    store = Collection(tmp_path)
    store.upsert([Record(f"d{i}", "t", metas[i], vectors[i]) for i in range(1000)])
    errors = []
    stop = threading.Event()

    def search(seed):
        rng = np.random.default_rng(seed)
        try:
            while not stop.is_set():
                rows = store.search(rng.standard_normal(DIM), 5, Condition("source", "ne", "s1"))
                assert all(r.meta["source"] != "s1" for r in rows)
                store.find(Condition("year", "eq", 2001))
        except Exception as exc:  # noqa: BLE001 - reported below
            errors.append(exc)

    def write():
        try:
            for start in range(1000, 2000, 100):
                store.upsert([Record(f"d{i}", "t", metas[i], vectors[i]) for i in range(start, start + 100)])
                store.delete_ids([f"d{i}" for i in range(start - 1000, start - 950)])
                store.update_meta(Condition("source", "eq", "s2"), {"seen": True})
        except Exception as exc:  # noqa: BLE001
            errors.append(exc)

    readers = [threading.Thread(target=search, args=(s,)) for s in range(3)]
    writers = [threading.Thread(target=write) for _ in range(2)]
    for t in readers + writers:
        t.start()
    for t in writers:
        t.join()
    stop.set()
    for t in readers:
        t.join()
    assert errors == []
    keys = np.array([r.key for r in store.find()])
    assert len(keys) == store.count() == len(store.index) == 1500
    query = vectors[1500]
    want, _ = brute_force(vectors[keys - 1], keys, query, 10)
    assert [r.key for r in store.search(query, 10)] == want
    store.close()


def test_cached_filter_results_follow_every_write():
    store = Collection(None)
    vectors, metas = corpus(200, seed=8)
    store.upsert([Record(f"d{i}", "t", metas[i], vectors[i]) for i in range(200)])
    wanted = Condition("source", "eq", "s3")
    query = vectors[10]
    first = {r.id for r in store.search(query, 200, wanted)}
    assert first == {r.id for r in store.search(query, 200, wanted)}  # served from the cache
    store.update_meta(Condition("year", "eq", 1990), {"source": "s3"})
    moved = {f"d{i}" for i in range(200) if metas[i]["year"] == 1990}
    assert {r.id for r in store.search(query, 200, wanted)} == first | moved
    store.delete_ids(sorted(first)[:3])
    assert {r.id for r in store.search(query, 200, wanted)} == (first | moved) - set(sorted(first)[:3])
    store.upsert([Record("late", "t", {"source": "s3"}, vectors[10])])
    assert store.search(query, 1, wanted)[0].id in {"late", "d10"}
    assert "late" in {r.id for r in store.find(wanted)}
    store.close()


def test_sets_combine_alike_as_masks_and_as_sorted_arrays():
    from velmora.integrations._filters import _All, _Any, _Except, _Sql, evaluate

    rng = np.random.default_rng(3)
    universe = np.sort(rng.choice(5000, 3000, replace=False)).astype(np.uint64)
    sets = {f"q{i}": rng.permutation(rng.choice(universe, rng.integers(0, 2000), replace=False)) for i in range(4)}
    a, b, c, d = (_Sql(name, ()) for name in sets)
    plans = [
        _All((a, b)),
        _Any((a, _Except(b))),
        _All((_Except(a), c, _Except(d))),
        _Except(_Any((a, _All((b, c))))),
        _All(()),
        _Any(()),
    ]
    for planned in plans:
        masked = evaluate(planned, lambda sql, _: sets[sql], lambda: universe, 5000)
        arrayed = evaluate(planned, lambda sql, _: sets[sql], lambda: universe, 1 << 40)
        assert masked.tolist() == arrayed.tolist()
        assert bool(np.all(np.diff(masked.astype(np.int64)) > 0)) and set(masked.tolist()) <= set(universe.tolist())
