"""The sharded store on a local cluster of worker processes: the same answers
as one local store, bad input that reaches no shard, batches that apply
everywhere or nowhere, and shards that die or freeze."""

import itertools
import json
import os
import pickle
import signal
import socket
import threading
import time
import types
from collections import Counter, deque
from collections.abc import Sequence

import numpy as np
import pytest
from helpers import EMULATOR

if EMULATOR:
    pytest.skip(
        f"under {EMULATOR} emulation: the shards live in a Dask cluster of worker processes; Debian 12's Dask "
        "(2022.12) is older than the 2024.1 velmora needs, and every worker would start emulated (the shards' "
        "Index is what the other tests check)",
        allow_module_level=True,
    )
pytest.importorskip("distributed")

from distributed import Client, LocalCluster  # noqa: E402
from helpers import random_vector  # noqa: E402

import velmora  # noqa: E402
from velmora import CompressedVectorStore as Store  # noqa: E402
from velmora import Index  # noqa: E402
from velmora._index_core import IndexCore  # noqa: E402
from velmora.distributed import (  # noqa: E402  # noqa: E402
    ShardedStore,
    ShardUnavailableError,
    _channel,
    _placement,
    _replicas,
    _shard,
    _wire,
    shard_of,
)

DIM = 48
EMPTY = "Store is empty \u2014 cannot query an empty store"


@pytest.fixture(scope="module")
def client():
    with (
        LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=":0") as cluster,
        Client(cluster, set_as_default=False) as client,
    ):
        yield client


def vectors(ids, seed=0):
    return [(i, random_vector(seed * 1_000_003 + i, DIM)) for i in ids]


def bits_of(score):
    return score.hex()  # tells -0.0 from 0.0 and NaN from everything


def assert_same_ranking(got, expected_all, top_k):
    """`got` holds the best `top_k` of `expected_all` (a local store's
    query_all): the same scores, bit for bit, in the same order, and pairs
    that only equal scores may exchange."""
    assert all(type(i) is int and type(s) is float for i, s in got)
    assert [bits_of(s) for _, s in got] == [bits_of(s) for _, s in expected_all[:top_k]]
    assert len({i for i, _ in got}) == len(got)
    expected = {(i, bits_of(s)) for i, s in expected_all}
    assert all((i, bits_of(s)) in expected for i, s in got)
    if got and got[-1][1] == got[-1][1]:
        must_have = {i for i, s in expected_all if s > got[-1][1]}
        assert must_have <= {i for i, _ in got}


def index_memory(store):
    """memory_bytes as an Index (and so a sharded store) counts it: a local
    store keeps no 2-byte error bound per vector."""
    return store.memory_bytes() + (0 if isinstance(store, ShardedStore) else 2 * len(store))


def state(store, probe):
    """What a caller can see of a store, sharded or local, for comparing."""
    ranked = store.query_all(probe) if len(store) else []
    return len(store), index_memory(store), Counter((i, bits_of(s)) for i, s in ranked)


# -- the same answers as one local store -----------------------------------


@pytest.mark.parametrize("bits, shards", [(2, 3), (4, 2)])
def test_queries_match_one_local_store_bit_for_bit(client, bits, shards):
    pairs = vectors(range(3000))
    local = Store(DIM, bits)
    local.insert_batch(pairs)
    with ShardedStore(DIM, bits, shards=shards, client=client) as sharded:
        sharded.insert_batch(pairs)
        assert len(sharded) == 3000
        assert sharded.memory_bytes() == index_memory(local)
        queries = [random_vector(10**6 + q, DIM) for q in range(3)] + [pairs[17][1], [0.0] * DIM]
        for query in queries:
            expected = local.query_all(query)
            got_all = sharded.query_all(query)
            assert Counter((i, bits_of(s)) for i, s in got_all) == Counter((i, bits_of(s)) for i, s in expected)
            assert_same_ranking(got_all, expected, len(expected))
            for top_k in (0, 1, 10, 257, 2**64 - 1):
                assert_same_ranking(sharded.query(query, top_k), expected, top_k)
        assert sharded.query(pairs[17][1], 1)[0][0] == 17


def test_nan_queries_return_every_shard_nan_scores_last(client):
    with ShardedStore(DIM, 3, shards=2, client=client) as sharded:
        sharded.insert_batch(vectors(range(40)))
        result = sharded.query([float("nan")] + [1.0] * (DIM - 1), 25)
        assert len(result) == 25 and len({i for i, _ in result}) == 25
        assert all(s != s for _, s in result)


def test_updates_and_removals_follow_the_local_store(client):
    local = Store(DIM, 4)
    probe = random_vector(424242, DIM)
    with ShardedStore(DIM, 4, shards=3, client=client) as sharded:
        steps = [
            lambda s: s.insert_batch(vectors(range(200))),
            lambda s: s.insert(7, random_vector(7007, DIM)),  # update in place
            lambda s: s.insert_batch(vectors([3, 500, 3, 501], seed=5)),  # last occurrence wins
            lambda s: s.insert_batch(()),
            lambda s: s.remove(8),
            lambda s: s.remove(8),  # already gone
            lambda s: s.remove(10**12),  # never stored
            lambda s: s.insert(2**64 - 1, random_vector(1, DIM)),
            lambda s: s.remove(True),  # id 1
        ]
        for step in steps:
            assert step(sharded) == step(local)
            assert state(sharded, probe) == state(local, probe)
        assert sharded.query(random_vector(7007, DIM), 1)[0][0] == 7
        assert repr(sharded) == f"ShardedStore(dim={DIM}, bits=4, shards=3, replicas=1, n={len(local)})"


def test_emptiness_and_dimension_errors_come_in_the_local_order(client):
    with ShardedStore(DIM, 4, shards=2, client=client) as sharded:
        assert len(sharded) == 0 and sharded.memory_bytes() == 0
        for call in (lambda: sharded.query([1.0], 3), lambda: sharded.query_all([1.0] * DIM)):
            with pytest.raises(ValueError) as caught:
                call()
            assert caught.value.args == (EMPTY,)
        with pytest.raises(TypeError, match="^argument 'top_k': "):
            sharded.query([1.0] * DIM, 2.0)  # conversion errors come before emptiness
        sharded.insert(5, random_vector(5, DIM))
        with pytest.raises(ValueError) as caught:
            sharded.query([1.0, 2.0, 3.0], 3)
        assert caught.value.args == (f"Dimension mismatch: expected {DIM}, got 3",)
        assert sharded.remove(5) and len(sharded) == 0
        with pytest.raises(ValueError, match=EMPTY):
            sharded.query_all([1.0] * DIM)


# -- bad input reaches no shard --------------------------------------------

V = random_vector(99, DIM)
ZERO = [0.0] * DIM


def batch_failing_at(k, bad):
    """Pairs for several shards, updates and new ids, then `bad` at position k."""
    pairs = vectors([0, 1, 2, 3, 1000, 1001, 1002, 1003], seed=9)[:k]
    return pairs + [bad] + vectors([2000, 2001], seed=9)


BAD_CALLS = {
    "short vector": lambda s: s.insert(1, V[:-1]),
    "zero vector": lambda s: s.insert(1, ZERO),
    "nan element": lambda s: s.insert(1, [float("nan")] + V[1:]),
    "element beyond f32": lambda s: s.insert(1, [1e39] + V[1:]),
    "str vector": lambda s: s.insert(1, "abc"),
    "set vector": lambda s: s.insert(1, set(V)),
    "float id": lambda s: s.insert(1.0, V),
    "negative id": lambda s: s.insert(-1, V),
    "id 2**64": lambda s: s.insert(2**64, V),
    "batch: list pair at 5": lambda s: s.insert_batch(batch_failing_at(5, [5, V])),
    "batch: 3-tuple at 3": lambda s: s.insert_batch(batch_failing_at(3, (5, V, 0))),
    "batch: str id at 6": lambda s: s.insert_batch(batch_failing_at(6, ("x", V))),
    "batch: short vector at 4": lambda s: s.insert_batch(batch_failing_at(4, (5, V[:-2]))),
    "batch: zero vector at 7": lambda s: s.insert_batch(batch_failing_at(7, (5, ZERO))),
    "batch: inf element at 1": lambda s: s.insert_batch(batch_failing_at(1, (5, [float("inf")] + V[1:]))),
    "batch: a str": lambda s: s.insert_batch("abc"),
    "batch: a generator": lambda s: s.insert_batch(p for p in vectors([1])),
    "batch: a mappingproxy": lambda s: s.insert_batch(types.MappingProxyType({})),
    "remove: float id": lambda s: s.remove(1.5),
    "query: bad top_k": lambda s: s.query(V, -1),
    "query: str": lambda s: s.query("abc", 1),
    "query: short": lambda s: s.query(V[:-1], 1),
    "query_all: item not a number": lambda s: s.query_all([None] * DIM),
}


@pytest.fixture(scope="module")
def filled_pair(client):
    local = Store(DIM, 4)
    sharded = ShardedStore(DIM, 4, shards=2, client=client)
    for store in (local, sharded):
        store.insert_batch(vectors(range(0, 1000, 3)))
    yield sharded, local
    sharded.close()


@pytest.mark.parametrize("call", BAD_CALLS.values(), ids=BAD_CALLS.keys())
def test_bad_input_raises_what_the_local_store_raises_and_changes_no_shard(filled_pair, call):
    sharded, local = filled_pair
    probe = random_vector(31337, DIM)
    before = state(local, probe)
    with pytest.raises(Exception) as expected:
        call(local)
    with pytest.raises(Exception) as caught:
        call(sharded)
    assert type(caught.value) is type(expected.value)
    assert caught.value.args == expected.value.args
    assert state(local, probe) == before
    assert state(sharded, probe) == before


@pytest.mark.parametrize("dim, bits", [(31, 4), (64, 5), (64, 256), (64.0, 4), (64, "4")])
def test_bad_dimension_or_width_raises_what_the_local_store_raises(dim, bits):
    with pytest.raises(Exception) as expected:
        Store(dim, bits)
    with pytest.raises(Exception) as caught:
        ShardedStore(dim, bits)
    assert (type(caught.value), caught.value.args) == (type(expected.value), expected.value.args)


@pytest.mark.parametrize(
    "kwargs, error, message",
    [
        ({"shards": 0}, ValueError, "shards must be at least 1, got 0"),
        ({"shards": 2.0}, TypeError, "shards must be an int, got float"),
        ({"timeout": float("inf")}, ValueError, "timeout must be a positive finite"),
        ({"replicas": 0}, ValueError, "replicas must be at least 1, got 0"),
        ({"replicas": True}, TypeError, "replicas must be an int, got bool"),
        ({"address": "tcp://127.0.0.1:1", "client": object()}, ValueError, "give either client or address"),
    ],
)
def test_bad_options_are_refused_before_any_cluster_starts(kwargs, error, message):
    started = time.monotonic()
    with pytest.raises(error, match="^" + message):
        ShardedStore(DIM, 4, **kwargs)
    assert time.monotonic() - started < 1.0


def test_reentering_from_a_conversion_is_refused(filled_pair):
    sharded, _ = filled_pair

    class CallsBack(list):
        def __iter__(self):
            sharded.remove(0)
            return super().__iter__()

    with pytest.raises(RuntimeError, match="already running a call"):
        sharded.insert(1, CallsBack(V))
    assert sharded.query(vectors([0])[0][1], 1)[0][0] == 0


class Pairs(Sequence):
    """A sequence of pairs that is neither a list nor a tuple."""

    def __init__(self, pairs):
        self._pairs = list(pairs)

    def __len__(self):
        return len(self._pairs)

    def __getitem__(self, position):
        return self._pairs[position]


class ReadsDifferently(Sequence):
    """A vector whose items change after the first time it is read."""

    def __init__(self, first, then):
        self._reads = [first, then]

    def __len__(self):
        return len(self._reads[0])

    def __getitem__(self, position):
        return self._reads[0][position]

    def __iter__(self):
        items = iter(self._reads[0])
        if len(self._reads) > 1:
            self._reads.pop(0)
        return items


def test_pairs_in_any_sequence_are_stored_and_each_vector_is_read_once(client):
    local = Store(DIM, 4)
    probe = random_vector(2024, DIM)
    with ShardedStore(DIM, 4, shards=2, client=client) as sharded:
        for pairs in (tuple(vectors(range(5))), deque(vectors(range(5, 10))), Pairs(vectors(range(10, 15)))):
            sharded.insert_batch(pairs)
            local.insert_batch(pairs)
            assert state(sharded, probe) == state(local, probe)
        # A vector is read once, by the store's own conversion: what it yields
        # later never matters, as for a local store.
        for store in (sharded, local):
            store.insert_batch(vectors([20]) + [(21, ReadsDifferently(V, ZERO))])
            store.insert(22, ReadsDifferently(V, V[:3]))
        assert state(sharded, probe) == state(local, probe)


# -- batches: all shards or none ---------------------------------------------


def observable_shard(shard, probe):
    """Everything a caller could see of a shard's index, positions included."""
    index = shard._index
    ids, scores = index.search(np.asarray(probe, dtype=np.float32), len(index))
    return len(index), index.memory_bytes(), index.ids.tolist(), ids.tolist(), scores.tobytes()


def part(pairs):
    """A shard's part of a batch as the client sends it: records encoded here."""
    encoded = Index(DIM, 4)
    encoded.add([i for i, _ in pairs], np.array([v for _, v in pairs]))
    return _wire._wire_records(encoded.ids, *encoded.export_records(encoded.ids))


def test_a_shard_commit_undone_restores_it_exactly_and_late_calls_are_refused():
    probe = random_vector(5150, DIM)
    shard = _shard._Shard(DIM, 4)
    step = itertools.count(1)

    shard.prepare_upsert(next(step), "t0", *part(vectors(range(10))))
    assert shard.commit(next(step), "t0") == (0, 10)
    before = observable_shard(shard, probe)

    shard.prepare_upsert(next(step), "t1", *part(vectors([20, 21, 20, 22], seed=1)))
    assert observable_shard(shard, probe) == before  # prepared, not applied
    assert shard.commit(next(step), "t1") == (0, 13)
    assert shard.abort("t1") == 10
    assert observable_shard(shard, probe) == before  # added ids out, positions kept

    shard.prepare_upsert(next(step), "t2", *part(vectors([3, 30, 3], seed=2)))
    shard.commit(next(step), "t2")
    assert observable_shard(shard, probe) != before
    shard.abort("t2")
    assert observable_shard(shard, probe) == before  # 30 out again, 3 has its old codes back

    # Each removal moves the last entry into the freed position: undone, every entry is back in place.
    shard.prepare_remove(next(step), "t3", _wire._wire_array([2, 50, 7, 2, 9], "<u8"))
    assert observable_shard(shard, probe) == before
    assert shard.commit(next(step), "t3") == (3, 7)
    assert shard.abort("t3") == 10
    assert observable_shard(shard, probe) == before
    shard.prepare_remove(next(step), "t4", _wire._wire_array([50], "<u8"))
    assert shard.commit(next(step), "t4") == (0, 10) and shard.abort("t4") == 10

    ids, _, codes, bounds = part([(40, V), (41, V)])
    with pytest.raises(ValueError, match=r"record 1 \(id 41\): the norm must be finite"):
        shard.prepare_upsert(next(step), "t5", ids, np.array([1.0, 0.0], "<f4").tobytes(), codes, bounds)
    with pytest.raises(_shard._TransactionAborted):
        shard.commit(next(step), "t5")  # nothing was staged
    shard.prepare_upsert(next(step), "t6", *part([(50, V)]))
    shard.abort("t6")
    with pytest.raises(_shard._TransactionAborted):
        shard.commit(next(step), "t6")  # commit after its abort
    shard.abort("t7")
    with pytest.raises(_shard._TransactionAborted):
        shard.prepare_remove(next(step), "t7", _wire._wire_array([1], "<u8"))  # prepare after its abort
    shard.prepare_upsert(next(step), "t8", *part([(60, V)]))
    shard.commit(next(step), "t8")
    shard.apply_remove(next(step), "t9", _wire._wire_array([0], "<u8"))
    # A write applied since is not undone by an abort of an earlier commit.
    assert shard.abort("t8") == 10 and 60 in shard._index and 0 not in shard._index
    # A write prepared and committed in one step is undone the same way.
    before = observable_shard(shard, probe)
    assert shard.apply_upsert(next(step), "t10", *part(vectors([1, 80], seed=3))) == (0, 11)
    assert shard.abort("t10") == 10 and observable_shard(shard, probe) == before
    assert shard.apply_remove(next(step), "t11", _wire._wire_array([1, 2, 1], "<u8")) == (2, 8)
    assert shard.abort("t11") == 10 and observable_shard(shard, probe) == before
    # A step that arrives after a later one is refused and changes nothing.
    late = next(step)
    assert shard.apply_upsert(next(step), "t12", *part([(70, V)])) == (0, 11)
    before = observable_shard(shard, probe)
    for refused in (
        lambda: shard.apply_remove(late, "t13", _wire._wire_array([70], "<u8")),
        lambda: shard.prepare_upsert(late, "t9", *part([(71, V)])),
        lambda: shard.commit(late, "t8"),
    ):
        with pytest.raises(_shard._TransactionAborted, match=f"step {late} arrived after step {late + 1}"):
            refused()
    assert observable_shard(shard, probe) == before


def freeze(pid):
    """Stops the process and waits until it is stopped: a signal is delivered
    when the kernel next runs it, and a replica answers within microseconds."""
    os.kill(pid, signal.SIGSTOP)
    deadline = time.monotonic() + 30
    while open(f"/proc/{pid}/stat").read().rsplit(")", 1)[1].split()[0] not in "Tt":
        assert time.monotonic() < deadline, "the process did not stop"
        time.sleep(0.001)


def before_each(monkeypatch, method, action):
    """Runs action(calls) whenever the store is about to send calls of `method`."""
    send = _replicas._exchange

    def exchange(calls, deadline):
        if calls and calls[0].method == method:
            action(calls)
        return send(calls, deadline)

    monkeypatch.setattr(_replicas, "_exchange", exchange)


def refuse_commits(replicas):
    """Aborts the transaction on `replicas` just before its commit reaches them."""

    def action(commits):
        aborts = [_channel._Call(call.replica, "abort", call.args[-1:]) for call in commits if call.replica in replicas]
        _channel._exchange(aborts, time.monotonic() + 60)
        assert all(call.ok for call in aborts)

    return action


def replica_files(store):
    """Each shard's live replicas' index files, exported by each replica itself."""
    files = []
    for replicas in store._replicas.of:
        calls = [_channel._Call(r, "export", []) for r in replicas if r.lost is None]
        _channel._exchange(calls, time.monotonic() + 60)
        assert all(call.ok for call in calls)
        files.append([call.value[0] for call in calls])
    return files


def assert_replicas_agree(store, replicas):
    health = store.health()
    assert all(len(shard.live) == replicas and not shard.lost for shard in health)
    assert all(len(set(shard.live)) == replicas for shard in health)  # on distinct workers
    assert all(len(set(files)) == 1 for files in replica_files(store))


@pytest.mark.parametrize("replicas", [1, 2])
def test_a_shard_whose_every_replica_fails_to_commit_makes_the_others_undo_theirs(client, monkeypatch, replicas):
    probe = random_vector(777, DIM)
    with ShardedStore(DIM, 4, shards=2, replicas=replicas, client=client) as sharded:
        sharded.insert_batch(vectors(range(100)))
        before = state(sharded, probe)
        before_each(monkeypatch, "commit", refuse_commits(sharded._replicas.of[1]))
        batch = vectors(range(60, 160), seed=4)  # updates 60..99 on both shards, adds 100..159
        assert {shard_of(i, 2) for i, _ in batch} == {0, 1}
        with pytest.raises(ShardUnavailableError, match="^shard 1 .*refused the write"):
            sharded.insert_batch(batch)
        with pytest.raises(ShardUnavailableError, match="^shard 1 "):
            sharded.add([i for i, _ in batch], np.array([v for _, v in batch]))
        with pytest.raises(ShardUnavailableError, match="^shard 1 "):
            sharded.remove(np.arange(100))
        monkeypatch.undo()
        assert state(sharded, probe) == before  # updated ids have their old codes
        assert_replicas_agree(sharded, replicas)  # undone everywhere, nobody left behind
        sharded.insert_batch(batch)
        assert len(sharded) == 160


def test_a_write_the_last_replica_did_not_answer_is_undone_before_that_replica_is_used_again(client, monkeypatch):
    probe = random_vector(778, DIM)
    with ShardedStore(DIM, 4, shards=2, client=client, timeout=2.0) as sharded:
        sharded.insert_batch(vectors(range(100)))
        before = state(sharded, probe)
        frozen = client.run(os.getpid)[sharded.addresses[1]]
        last = sharded._replicas.of[1][0]
        on_shard_1 = next(i for i in range(1000, 10**6) if shard_of(i, 2) == 1)
        writes = [
            lambda: sharded.insert_batch(vectors(range(50, 150), seed=6)),  # both shards: two phases
            lambda: sharded.insert(on_shard_1, V),  # one replica: one step
            lambda: sharded.remove(np.arange(0, 100, 3)),
        ]
        for write, method in zip(writes, ("commit", "apply_upsert", "commit")):
            before_each(monkeypatch, method, lambda calls: freeze(frozen))
            try:
                with pytest.raises(ShardUnavailableError, match=r"^shard 1 .*no answer within the timeout"):
                    write()
            finally:
                os.kill(frozen, signal.SIGCONT)
                monkeypatch.undo()
            # Thawed, it may run the write's late steps: its next call undoes them first.
            assert last.unsettled is not None and last.lost is None
            assert state(sharded, probe) == before
            assert last.unsettled is None
        assert sharded.health()[1].live == (last.address,)


def test_a_replica_that_fails_to_commit_is_dropped_and_the_write_acknowledged(client, monkeypatch):
    rng = np.random.default_rng(5)
    rows = rng.standard_normal((400, DIM))
    queries = rng.standard_normal((4, DIM))
    local = Index(DIM, 4)
    with ShardedStore(DIM, 4, shards=3, replicas=2, client=client) as sharded:
        for store in (local, sharded):
            store.add(np.arange(300), rows[:300])
        left_behind = sharded._replicas.of[2][1]
        before_each(monkeypatch, "commit", refuse_commits([left_behind]))
        for store in (local, sharded):
            store.add(np.arange(200, 400), rows[200:])  # updates and additions
            assert store.remove(np.arange(0, 400, 7)) == 58
        monkeypatch.undo()
        health = sharded.health()
        assert health[2] == (
            2,
            tuple(r.address for r in sharded._replicas.of[2] if r is not left_behind),
            (left_behind.address,),
        )
        assert all(len(h.live) == 2 for h in health[:2])
        for _ in range(4):  # every live replica is read in turn
            assert_same_search(sharded.search(queries, 20), local.search(queries, 20))
        monkeypatch.setattr(_placement, "_probe_scores", lambda dim, bits, probes: [(0, 0.5)])
        with pytest.raises(
            ShardUnavailableError,
            match=r"^shard 2 .*no worker could take a new replica "
            r"\(tcp://[^ ]+: shard 2 .*scores differently",
        ):
            sharded.repair()  # the only worker it could use is refused
        monkeypatch.undo()
        assert sharded.health() == health
        assert sharded.repair() == sharded.health()
        assert_replicas_agree(sharded, 2)
        assert_same_search(sharded.search(queries, 20), local.search(queries, 20))


def assert_same_search(got, expected):
    """The same scores, bit for bit, row by row; ids may differ among equal scores."""
    assert got[0].shape == expected[0].shape
    assert got[1].tobytes() == expected[1].tobytes()
    for got_ids, got_scores, ids, scores in zip(*map(np.atleast_2d, (*got, *expected))):
        assert sorted(zip(got_scores.view(np.uint32).tolist(), got_ids.tolist())) == sorted(
            zip(scores.view(np.uint32).tolist(), ids.tolist())
        )


# -- each vector encoded once ------------------------------------------------


def test_each_vector_is_encoded_once_here_and_shards_only_import_records(client, monkeypatch):
    from velmora.distributed import _arguments

    encoded = []

    class CountingIndex(Index):
        def add(self, ids, vectors):
            encoded.append(("add", len(np.asarray(ids))))
            super().add(ids, vectors)

    class CountingCore:
        # The store's own conversions, checks and encoding, once per write.
        @staticmethod
        def from_pairs(dim, bits, pairs):
            encoded.append(("insert_batch", len(pairs)))
            return IndexCore.from_pairs(dim, bits, pairs)

        @staticmethod
        def from_pair(dim, bits, id, vector):
            encoded.append(("insert", 1))
            return IndexCore.from_pair(dim, bits, id, vector)

    monkeypatch.setattr(_arguments, "_Index", CountingIndex)
    monkeypatch.setattr(_arguments, "IndexCore", CountingCore)
    rng = np.random.default_rng(4)
    with ShardedStore(DIM, 4, shards=2, client=client) as sharded:
        sharded.insert_batch(vectors(range(100)) + vectors([5], seed=1))
        sharded.insert(500, V)
        sharded.add(np.arange(1000, 1050), rng.standard_normal((50, DIM)))
        assert len(sharded) == 151
    assert encoded == [("insert_batch", 101), ("insert", 1), ("add", 50)]

    class NeverEncodes(Index):
        def add(self, ids, vectors):
            raise AssertionError("a shard encoded vectors")

    monkeypatch.setattr(_shard, "_Index", NeverEncodes)
    shard = _shard._Shard(DIM, 4)
    assert shard.apply_upsert(1, "s", *part([(1, V)])) == (0, 1)
    shard.prepare_upsert(2, "t", *part(vectors(range(10, 20))))
    assert shard.commit(3, "t") == (0, 11) and shard.abort("t") == 1


# -- the channel to a replica ---------------------------------------------------


def test_a_replica_answers_its_token_holder_only_and_stops_serving_when_closed():
    actor = _shard._ShardActor(DIM, 4, "127.0.0.1")
    host, port, token = actor.endpoint()

    def call(channel, method, *args):
        done = _channel._Call(types.SimpleNamespace(channel=channel, shard=0), method, list(args))
        _channel._exchange([done], time.monotonic() + 30)
        return done

    channel = _channel._DirectChannel(host, port, token)
    assert call(channel, "apply_upsert", 1, "t", *part(vectors(range(5)))).value == [0, 5]
    for method, args, error, message in [
        ("no_such_call", (), ValueError, "a shard has no call 'no_such_call'"),
        ("_restore", (), ValueError, "a shard has no call '_restore'"),
        ("commit", (2, "never prepared"), _shard._TransactionAborted, "never prepared"),
        ("ping", (1,), TypeError, ""),
    ]:
        refused = call(channel, method, *args)
        assert type(refused.error) is error and message in str(refused.error) and refused.failure is None
    assert call(channel, "ping").value == 5  # the connection outlives refused calls
    big = Index(DIM, 4)  # frames of megabytes each way, between small ones
    big.add(np.arange(100, 40100), np.random.default_rng(1).standard_normal((40000, DIM)))
    assert call(
        channel, "apply_upsert", 3, "big", *_wire._wire_records(big.ids, *big.export_records(big.ids))
    ).value == [0, 40005]
    assert call(channel, "ping").value == 40005
    exported = call(channel, "export").value
    assert (
        exported[1] == 40005
        and Index.from_bytes(exported[0]).export_records(big.ids)[1].tobytes()
        == big.export_records(big.ids)[1].tobytes()
    )
    assert call(channel, "apply_remove", 4, "small", _wire._wire_array(np.arange(100, 40100), "<u8")).value == [
        40000,
        5,
    ]
    with socket.create_connection((host, port)) as raw:  # not msgpack at all: refused, still served
        raw.sendall(_channel._LENGTH.pack(16) + token + _channel._LENGTH.pack(3) + b"\xc1\xc1\xc1")
        head = raw.recv(8, socket.MSG_WAITALL)
        reply = _channel._unpack(raw.recv(_channel._LENGTH.unpack(head)[0], socket.MSG_WAITALL))
        assert reply[0] == 1
    # Dask's actor calls carry the same frames.
    assert _channel._unpack(actor.call(_channel._pack(["ping", []]))) == [0, 5]

    stranger = call(_channel._DirectChannel(host, port, bytes(16)), "ping")
    assert stranger.dead and stranger.value is None and stranger.error is None  # closed, unanswered
    actor.close()
    assert call(channel, "ping").dead  # its connection is closed,
    late = call(_channel._DirectChannel(host, port, token), "ping")
    assert late.dead and "cannot be reached" in late.failure  # and its port too


# -- routing, placement and connections -------------------------------------


def test_routing_is_a_fixed_mix_spread_evenly():
    assert shard_of(0, 2**64) == 0xE220A8397B1DCDAF  # splitmix64's first output from seed 0
    assert shard_of(0, 7) == 0xE220A8397B1DCDAF % 7
    spread = Counter(shard_of(i, 4) for i in range(20000))
    assert all(4500 < n < 5500 for n in spread.values()) and len(spread) == 4


def test_shards_spread_over_workers_and_an_address_connects(client):
    address = client.scheduler.address
    with ShardedStore(DIM, 2, shards=4, address=address) as sharded:
        assert sorted(set(sharded.addresses)) == sorted(client.run(os.getpid))
        assert Counter(sharded.addresses).most_common(1)[0][1] == 2
        sharded.insert_batch(vectors(range(50)))
        assert len(sharded) == 50
        own_client = sharded.client
    assert own_client.status == "closed"
    assert client.status == "running"
    with pytest.raises(RuntimeError, match="closed"):
        len(sharded)
    sharded.close()  # again: nothing happens

    dropped = ShardedStore(DIM, 2, shards=2, address=address)
    own_client = dropped.client
    # Fresh connections with each replica's token: a port taken since by something else answers no ping either.
    channels = [
        _channel._DirectChannel(*r.channel._endpoint, r.channel._token) for shard in dropped._replicas.of for r in shard
    ]
    del dropped  # never closed: collecting it closes what it made
    assert own_client.status == "closed"
    deadline = time.monotonic() + 60  # and the replicas stop serving
    for channel in channels:
        while True:
            ping = _channel._Call(types.SimpleNamespace(channel=channel, shard=0), "ping", [])
            _channel._exchange([ping], time.monotonic() + 5)
            if not ping.ok:
                break
            assert time.monotonic() < deadline, "a released replica still answers"
            time.sleep(0.1)


def test_replicas_sit_on_distinct_workers_and_too_few_workers_are_refused(client):
    workers = sorted(client.run(os.getpid))
    held_before = set(client.who_has())
    with pytest.raises(
        ValueError,
        match=r"^replicas=3 needs as many workers, one per replica of a shard, "
        r"but the cluster has 2: tcp://",
    ):
        ShardedStore(DIM, 4, shards=2, replicas=3, client=client)
    assert set(client.who_has()) == held_before
    with ShardedStore(DIM, 4, shards=3, replicas=2, client=client) as sharded:
        assert sharded.replicas == 2
        assert repr(sharded) == f"ShardedStore(dim={DIM}, bits=4, shards=3, replicas=2, n=0)"
        health = sharded.health()
        assert [h.shard for h in health] == [0, 1, 2]
        assert all(sorted(h.live) == workers and h.lost == () for h in health)
        assert sharded.addresses == tuple(h.live[0] for h in health)
        assert Counter(h.live[0] for h in health).most_common(1)[0][1] == 2  # first replicas spread too


def test_replicas_whose_ports_cannot_be_reached_are_called_through_dask(client, monkeypatch):
    with socket.create_server(("127.0.0.1", 0)) as closed:
        nowhere = closed.getsockname()
    direct = _channel._DirectChannel.__init__
    monkeypatch.setattr(
        _channel._DirectChannel, "__init__", lambda self, host, port, token: direct(self, *nowhere, token)
    )
    rng = np.random.default_rng(3)
    rows = rng.standard_normal((300, DIM))
    local = Index(DIM, 4)
    local.add(np.arange(300), rows)
    with ShardedStore(DIM, 4, shards=2, replicas=2, client=client) as sharded:
        assert all(isinstance(r.channel, _channel._ActorChannel) for shard in sharded._replicas.of for r in shard)
        sharded.add(np.arange(300), rows)
        assert_same_search(sharded.search(rows[:3], 5), local.search(rows[:3], 5))


def test_an_engine_that_scores_differently_is_refused_and_released(client, monkeypatch):
    monkeypatch.setattr(_placement, "_probe_scores", lambda dim, bits, probes: [(0, 0.5)])
    held_before = set(client.who_has())
    with pytest.raises(RuntimeError, match="scores differently"):
        ShardedStore(DIM, 4, shards=2, client=client)
    deadline = time.monotonic() + 10
    while set(client.who_has()) != held_before:
        assert time.monotonic() < deadline
        time.sleep(0.1)


# -- shards that die or freeze ---------------------------------------------


def test_a_frozen_or_dead_shard_fails_calls_within_the_timeout():
    """Starts its own cluster, since it kills one of its workers."""
    with ShardedStore(DIM, 4, shards=2, timeout=3.0) as sharded:
        sharded.insert_batch(vectors(range(300)))
        probe = random_vector(1, DIM)
        pids = sharded.client.run(os.getpid)
        frozen, dead = (pids[sharded.addresses[i]] for i in (0, 1))

        freeze(frozen)
        try:
            started = time.monotonic()
            with pytest.raises(ShardUnavailableError, match=r"^shard 0 \(worker tcp://") as caught:
                sharded.query(probe, 5)
            assert 2.5 < time.monotonic() - started < 6.0
            assert caught.value.shard == 0 and isinstance(caught.value, RuntimeError)
        finally:
            os.kill(frozen, signal.SIGCONT)
        assert len(sharded.query(probe, 5)) == 5  # thawed, it answers again

        os.kill(dead, signal.SIGKILL)
        on_dead_shard = next(i for i in range(10**6) if shard_of(i, 2) == 1)
        for call in (
            lambda: sharded.query(probe, 5),
            lambda: len(sharded),
            lambda: sharded.insert(on_dead_shard, probe),
            lambda: sharded.insert_batch(vectors(range(1000, 1010))),
        ):
            started = time.monotonic()
            with pytest.raises(ShardUnavailableError, match=r"^shard 1 ") as caught:
                call()
            assert time.monotonic() - started < sharded.timeout + 1.5
            assert caught.value.address == sharded.addresses[1]
        copy = pickle.loads(pickle.dumps(caught.value))
        assert (type(copy), copy.args, copy.shard) == (ShardUnavailableError, caught.value.args, 1)
        health = sharded.health()
        assert health[0].live == (sharded.addresses[0],) and health[1].live == ()
        with pytest.raises(ShardUnavailableError, match=r"^shard 1 .*every replica is lost"):
            sharded.repair()  # no live copy to rebuild from
        sharded.insert(next(i for i in range(10**6) if shard_of(i, 2) == 0), probe)  # shard 0 still takes writes
        cluster = sharded._cluster
    assert cluster is not None and cluster.status.name == "closed"


# -- replicas: workers killed or frozen -----------------------------------------


def worker_pids(store):
    return store.client.run(os.getpid)


def restarted_worker(store, gone, timeout=120.0):
    """Waits until the nanny of the worker at `gone` has started a new one."""
    deadline = time.monotonic() + timeout
    while True:
        workers = set(store.client.scheduler_info()["workers"])
        if gone not in workers and len(workers) == len(store.client.cluster.workers):
            return
        assert time.monotonic() < deadline, "no worker came back"
        time.sleep(0.2)


def kill_later(pid, delay):
    killer = threading.Timer(delay, os.kill, (pid, signal.SIGKILL))
    killer.start()
    return killer


def test_queries_go_on_while_a_worker_is_killed_and_repair_restores_every_replica():
    """Own cluster: it kills workers. Every answer equals a local index's, no
    call fails, and after repair every replica holds the same records."""
    rng = np.random.default_rng(21)
    rows = rng.standard_normal((2000, DIM))
    queries = rng.standard_normal((6, DIM))
    local = Index(DIM, 4)
    local.add(np.arange(2000), rows)
    expected = local.search(queries, 10)
    exact = local.search(queries, 10, rerank=rows, exact=True)
    with ShardedStore(DIM, 4, shards=2, replicas=2, timeout=20.0) as sharded:
        sharded.add(np.arange(2000), rows)
        victim = sharded.addresses[0]
        killer = kill_later(worker_pids(sharded)[victim], 0.5)
        answered_after_the_kill = 0
        while answered_after_the_kill < 30:
            dead = not killer.is_alive()
            assert_same_search(sharded.search(queries, 10), expected)
            assert_same_search(sharded.search(queries[2], 10), (expected[0][2], expected[1][2]))
            assert [i for i, _ in sharded.query(queries[3], 10)] == expected[0][3].tolist()
            got = sharded.search(queries, 10, rerank=rows, exact=True)  # candidates and bounds from the shards
            assert got[0].tolist() == exact[0].tolist() and got[1].tobytes() == exact[1].tobytes()
            answered_after_the_kill += dead
        assert all(h.lost == (victim,) and len(h.live) == 1 for h in sharded.health())
        # A write with one replica left per shard, then the lost ones rebuilt on the worker that came back.
        more = rng.standard_normal((200, DIM))
        for store in (local, sharded):
            store.add(np.arange(1900, 2100), more)
        restarted_worker(sharded, victim)
        sharded.repair()
        assert_replicas_agree(sharded, 2)
        assert victim not in {a for h in sharded.health() for a in h.live}
        # The rebuilt replicas answer alone once the other worker dies too.
        survivor = sharded.addresses[0]
        os.kill(worker_pids(sharded)[survivor], signal.SIGKILL)
        for _ in range(5):
            assert_same_search(sharded.search(queries, 10), local.search(queries, 10))
        assert len(sharded) == len(local) == 2100


def test_batches_go_on_while_a_worker_is_killed_and_no_acknowledged_write_is_lost(monkeypatch):
    """Own cluster of three workers: it kills two of them, one between the
    two phases of a batch and one at a random moment of a stream of batches."""
    rng = np.random.default_rng(22)
    queries = rng.standard_normal((5, DIM))
    local = Index(DIM, 4)

    def everything_matches():
        assert len(sharded) == len(local)
        assert_same_search(sharded.search(queries, len(local)), local.search(queries, len(local)))

    with ShardedStore(DIM, 4, shards=3, replicas=2, timeout=20.0) as sharded:
        rows = rng.standard_normal((600, DIM))
        for store in (local, sharded):
            store.add(np.arange(600), rows)
        pids = worker_pids(sharded)
        first = sorted(pids)[0]
        kills = []

        def kill_first_worker(commits):
            if not kills:
                kills.append(os.kill(pids[first], signal.SIGKILL))
                # Its connections break at once, before or while the commit is sent.
                time.sleep(0.2)

        before_each(monkeypatch, "commit", kill_first_worker)
        rows = rng.standard_normal((600, DIM))
        for store in (local, sharded):
            store.add(np.arange(300, 900), rows)  # half updates, half new
        monkeypatch.undo()
        assert kills
        health = sharded.health()
        assert sum(h.lost == (first,) for h in health) == 2 and all(len(h.live) == 1 or not h.lost for h in health)
        everything_matches()
        restarted_worker(sharded, first)
        sharded.repair()
        assert_replicas_agree(sharded, 2)

        pids = worker_pids(sharded)
        second = sorted(pids)[1]
        killer = kill_later(pids[second], 0.4)
        steps_after_the_kill = 0
        while steps_after_the_kill < 8:
            dead = not killer.is_alive()
            ids = rng.integers(0, 1500, 200)
            rows = rng.standard_normal((200, DIM))
            for store in (local, sharded):
                store.add(ids, rows)
            gone = rng.integers(0, 1500, 50)
            assert sharded.remove(gone) == local.remove(gone)
            one = int(rng.integers(0, 1500))
            assert sharded.remove(one) == (local.remove([one]) == 1)
            steps_after_the_kill += dead
        assert sum(h.lost == (second,) for h in sharded.health()) == 2
        everything_matches()
        restarted_worker(sharded, second)
        sharded.repair()
        assert_replicas_agree(sharded, 2)
        everything_matches()


def test_reads_move_on_from_a_frozen_worker_within_the_timeout():
    timeout = 3.0
    rng = np.random.default_rng(23)
    rows = rng.standard_normal((1000, DIM))
    queries = rng.standard_normal((4, DIM))
    local = Index(DIM, 4)
    local.add(np.arange(1000), rows)
    with ShardedStore(DIM, 4, shards=2, replicas=2, timeout=timeout) as sharded:
        sharded.add(np.arange(1000), rows)
        pids = worker_pids(sharded)
        frozen = sharded.addresses[0]
        freeze(pids[frozen])
        try:
            waits = []
            for _ in range(10):
                started = time.monotonic()
                assert_same_search(sharded.search(queries, 10), local.search(queries, 10))
                waits.append(time.monotonic() - started)
            # The first search asked the frozen worker for one shard and waited the timeout out, once.
            assert waits[0] >= timeout * 0.95 and all(wait < timeout + 4.0 for wait in waits)
            assert all(h.lost == (frozen,) for h in sharded.health())
            more = rng.standard_normal((300, DIM))
            for store in (local, sharded):
                store.add(np.arange(900, 1200), more)  # writes go on without it
            assert_same_search(sharded.search(queries, 10), local.search(queries, 10))
        finally:
            os.kill(pids[frozen], signal.SIGCONT)
        # Thawed, it is the one worker without a replica of each shard: rebuilt there from the other.
        sharded.repair()
        assert_replicas_agree(sharded, 2)
        assert all(frozen in h.live for h in sharded.health())
        assert_same_search(sharded.search(queries, 1200), local.search(queries, 1200))


# -- array methods and files -------------------------------------------------


@pytest.mark.parametrize("direct", [True, False], ids=["own ports", "dask actor calls"])
def test_array_methods_give_what_one_local_index_gives(client, monkeypatch, direct):
    monkeypatch.setattr(ShardedStore, "_direct_calls", direct)
    rng = np.random.default_rng(8)
    ids = rng.permutation(10**6)[:2000].astype(np.uint64)
    rows = rng.standard_normal((2000, DIM))
    local = Index(DIM, 3)
    with ShardedStore(DIM, 3, shards=3, replicas=2, client=client) as sharded:
        channels = {type(r.channel) for shard in sharded._replicas.of for r in shard}
        assert channels == {_channel._DirectChannel if direct else _channel._ActorChannel}
        for store in (local, sharded):
            store.add(ids, rows)
            store.add(ids[:10], rows[10:20])  # updates in place
            assert store.remove(np.concatenate([ids[50:60], ids[50:52]])) == 10
        assert len(sharded) == len(local) and sharded.remove(int(ids[60])) is True
        local.remove([int(ids[60])])
        queries = rng.standard_normal((5, DIM)).astype(np.float32)
        for k in (0, 1, 10, 3000):
            for allowed in (None, ids[::5], []):
                got = sharded.search(queries, k, allowed=allowed)
                expected = local.search(queries, k, allowed=allowed)
                assert got[0].shape == expected[0].shape
                assert got[1].tobytes() == expected[1].tobytes()
                for row in range(len(queries)):  # ties may be ordered differently
                    assert sorted(zip(got[1][row].view(np.uint32).tolist(), got[0][row].tolist())) == sorted(
                        zip(expected[1][row].view(np.uint32).tolist(), expected[0][row].tolist())
                    )
        one = sharded.search(queries[0], 4)
        assert one[0].shape == (4,) and one[0].tolist() == local.search(queries[0], 4)[0].tolist()
        with pytest.raises(ValueError, match=r"^row 1 \(id 7\): zero or non-finite vector$"):
            sharded.add([5, 7], np.vstack([rows[0], np.zeros(DIM)]))
        with pytest.raises(ValueError, match="Dimension mismatch"):
            sharded.search(queries[:, :3], 2)
        assert len(sharded) == len(local)
    with ShardedStore(DIM, 3, shards=2, client=client) as empty:
        assert empty.search(queries, 5)[0].shape == (5, 0)


def test_save_and_load_keep_every_shard_and_refuse_damage(client, tmp_path):
    rng = np.random.default_rng(9)
    ids = np.arange(500, dtype=np.uint64) * 7919
    rows = rng.standard_normal((500, DIM))
    queries = rng.standard_normal((3, DIM))
    with ShardedStore(DIM, 4, shards=3, client=client) as sharded:
        sharded.add(ids, rows)
        expected = sharded.search(queries, 20)
        sharded.save(tmp_path)
        first_files = sorted(os.listdir(tmp_path))
        sharded.remove(ids[:100])
        sharded.save(tmp_path)  # replaces the previous save
        after_removal = sharded.search(queries, 20)
    files = sorted(os.listdir(tmp_path))
    assert len(files) == 4 and "manifest.json" in files and not set(files) & (set(first_files) - {"manifest.json"})
    with ShardedStore.load(tmp_path, client=client, replicas=2) as loaded:
        assert (loaded.dim, loaded.bits, loaded.shards, len(loaded)) == (DIM, 4, 3, 400)
        assert_replicas_agree(loaded, 2)
        got = loaded.search(queries, 20)
        assert got[0].tolist() == after_removal[0].tolist() and got[1].tobytes() == after_removal[1].tobytes()
    assert expected[0].shape == (3, 20)

    manifest = json.loads((tmp_path / "manifest.json").read_text())
    shard_file = tmp_path / manifest["files"][1]
    intact = shard_file.read_bytes()
    shard_file.write_bytes(intact[:-1] + bytes([intact[-1] ^ 1]))
    with pytest.raises(ValueError, match="checksum mismatch in the error bounds section"):
        ShardedStore.load(tmp_path, client=client)
    shard_file.write_bytes(intact)
    manifest["files"][0], manifest["files"][1] = manifest["files"][1], manifest["files"][0]
    (tmp_path / "manifest.json").write_text(json.dumps(manifest))
    with pytest.raises(ValueError, match="which belongs to shard"):
        ShardedStore.load(tmp_path, client=client)
    (tmp_path / "manifest.json").write_text("{}")
    with pytest.raises(ValueError, match="not a sharded store manifest"):
        ShardedStore.load(tmp_path, client=client)


def test_numpy_example_runs_as_its_comments_say(tmp_path):
    # The example is also what mypy --strict checks the annotations against.
    import subprocess
    import sys
    from pathlib import Path

    example = Path(__file__).resolve().parents[2] / "examples" / "sharded_numpy.py"
    done = subprocess.run(
        [sys.executable, "-P", str(example)], cwd=tmp_path, capture_output=True, text=True, timeout=300
    )
    assert done.returncode == 0, done.stderr
    assert done.stdout.splitlines() == ["7 200", "[[0], [1]] True 10"]


def test_reranked_and_exact_search_answer_as_one_local_index(client):
    rng = np.random.default_rng(12)
    vectors = rng.standard_normal((900, DIM))
    vectors[800:] = vectors[:100]  # duplicates across shards: ties broken by smaller id
    local = Index(DIM, 3)
    local.add(np.arange(900), vectors)
    queries = vectors[[5, 50, 500]] + 0.1 * rng.standard_normal((3, DIM))
    allowed = rng.choice(900, 400, replace=False)
    with ShardedStore(DIM, 3, shards=3, client=client) as sharded:
        sharded.add(np.arange(900), vectors)
        for options in (
            {"rerank": vectors},
            {"rerank": vectors, "exact": True},
            {"rerank": vectors, "exact": True, "allowed": allowed},
            {"rerank": vectors, "candidates": 25},
        ):
            got, want = sharded.search(queries, 7, **options), local.search(queries, 7, **options)
            assert got[0].tolist() == want[0].tolist() and got[1].tobytes() == want[1].tobytes()
        one = sharded.search(queries[0], 7, rerank=lambda ids: vectors[ids.astype(np.intp)], exact=True)
        assert one[0].tolist() == local.search(queries[0], 7, rerank=vectors, exact=True)[0].tolist()
        with pytest.raises(velmora.RerankError, match="holds no vector for id"):
            sharded.search(queries, 7, rerank=vectors[:10], exact=True)
        with pytest.raises(ValueError, match="need rerank"):
            sharded.search(queries, 7, exact=True)
