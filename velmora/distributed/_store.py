"""The client: `ShardedStore`, which routes each id to its shard, writes
encoded records to every live replica of it, asks one replica of each shard
for its best matches and merges their answers."""

from __future__ import annotations

import functools
import math
import operator
import os
import threading
import time
import uuid
import weakref
from collections import Counter
from collections.abc import Callable, Iterator, Sequence
from contextlib import contextmanager
from typing import Any, SupportsIndex, overload

import numpy as np
import numpy.typing as npt

from .. import CompressedVectorStore, __version__
from .._arrays import _count, _float_array, _ids_array
from .._index import Index as _Index
from .._rerank import ExactPass, FullVectors, reranked_search
from ._arguments import (
    Vector,
    _checked_vector,
    _encode_pair,
    _encode_pairs,
    _encode_rows,
    _exported,
    _is_empty_store_error,
)
from ._channel import _ActorChannel, _Call, _DirectChannel, _exchange
from ._manifest import _MANIFEST, _load_manifest, _read_shard_file, _write_store
from ._replicas import ShardHealth, ShardUnavailableError, _Replica, _Replicas
from ._routing import _shards_of, shard_of
from ._shard import _probe_scores, _probe_vectors, _ShardActor
from ._wire import _unpack_ranked, _unwire_exact_pass, _unwire_ids, _wire_array, _wire_records

try:
    import dask
    from distributed import Actor, Client, LocalCluster
    from distributed.comm.addressing import get_address_host
except ImportError as exc:  # pragma: no cover - depends on the environment
    raise ImportError(
        "velmora.distributed needs Dask distributed; install it with pip install 'velmora[distributed]'"
    ) from exc

__all__ = ["ShardHealth", "ShardUnavailableError", "ShardedStore"]

# Periodic work that the clusters the store starts can do without, since they
# only hold pinned actors. Each takes the interpreter lock (the nannies and the
# scheduler run in this process) or a core just when a replica's answer, or
# the call that waits for it, needs one: the stack profiler samples every
# thread a hundred times a second, each nanny measures its worker's memory ten
# times a second, and the scheduler looks for tasks to move ten times a second.
_QUIET_CLUSTER = {
    "distributed.worker.profile.enabled": False,
    "distributed.worker.memory.monitor-interval": "1s",
    "distributed.admin.system-monitor.interval": "2s",
    "distributed.scheduler.work-stealing": False,
}


def _close_all(made: list[Any]) -> None:
    # Newest first: the client before the cluster it talks to.  One that
    # fails to close does not keep the others open.
    failure = None
    while made:
        try:
            made.pop().close()
        except Exception as exc:
            failure = failure or exc
    if failure is not None:
        raise failure


def _as_positive_seconds(timeout: Any) -> float:
    if isinstance(timeout, bool) or not isinstance(timeout, (int, float)):
        raise TypeError(f"timeout must be a number of seconds, got {type(timeout).__name__}")
    if not (timeout > 0 and math.isfinite(timeout)):
        raise ValueError(f"timeout must be a positive finite number of seconds, got {timeout!r}")
    return float(timeout)


def _is_single_id(value: Any) -> bool:
    """Anything but an array-like of ids (a sequence, not a str) is taken as
    one id, and checked as the store checks one."""
    if isinstance(value, np.ndarray):
        return value.ndim == 0
    return isinstance(value, (str, bytes)) or not hasattr(value, "__iter__")


class ShardedStore:
    """A vector store whose vectors live in `shards` shards, each kept by
    `replicas` Dask actors on distinct workers, each holding one
    `velmora.Index`. It has the methods of `CompressedVectorStore` and the
    array methods of `velmora.Index` (add, search, remove of many ids), and
    saves to and loads from a directory.

    With neither `client` nor `address`, starts a local cluster of one worker
    process per shard (at least one per replica; closed again by `close`);
    with `address`, connects to the scheduler there; with `client`, uses that
    client and leaves it open. Every call to a replica waits at most `timeout`
    seconds. A read moves on to another replica of a shard whose replica
    failed or did not answer; a write is applied on every live replica of its
    shards or on none; a replica left behind is reported by `health()` as
    lost and rebuilt by `repair()`. A shard with no replica left to answer
    raises `ShardUnavailableError`.

    Arguments are checked in this process with the local store's (or, for the
    array methods, the local index's) own conversions, so bad input raises
    exactly what `CompressedVectorStore` (or `Index`) raises and reaches no
    shard.  The vectors of a write are encoded here, once; shards import the
    records.  Calls on one `ShardedStore` run one at a time."""

    # Whether replicas on plain TCP workers are called on their own ports
    # (False: through Dask's actor calls, as on other transports).
    _direct_calls = True

    def __init__(
        self,
        dim: int,
        bits: int,
        shards: int = 2,
        *,
        replicas: int = 1,
        client: Client | None = None,
        address: str | None = None,
        timeout: float = 30.0,
    ) -> None:
        # The local store validates dim and bits with its own messages and
        # then, empty, checks the ids and queries of later calls.
        self._empty = CompressedVectorStore(dim, bits)
        self._dim = operator.index(dim)
        self._bits = operator.index(bits)
        # Index's own checks of search arguments, on an index that stays empty.
        self._empty_index = _Index(self._dim, self._bits)
        shards = _as_count(shards, "shards")
        self._replica_count = _as_count(replicas, "replicas")
        self._timeout = _as_positive_seconds(timeout)
        if client is not None and address is not None:
            raise ValueError("give either client or address, not both")
        if client is not None and not isinstance(client, Client):
            raise TypeError(f"client must be a distributed.Client, got {type(client).__name__}")
        if address is not None and not isinstance(address, str):
            raise TypeError(f"address must be a str, got {type(address).__name__}")

        self._lock = threading.Lock()
        self._running_in: int | None = None
        self._closed = False
        self._cluster: LocalCluster | None = None
        self._client: Client | None = client
        # What this store made, closed by close() or, failing that, when the
        # store is collected or the interpreter exits.
        self._made: list[Client | LocalCluster] = []
        self._close_made = weakref.finalize(self, _close_all, self._made)
        self._replicas = _Replicas(self._timeout)
        self._counts = [0] * shards
        self._counts_known = True
        # (sending and waiting, the slowest shard's own search) of the last
        # search or query, in seconds: where its time went, for the benchmark.
        self._last_read_seconds = (0.0, 0.0)
        try:
            if address is not None:
                self._client = Client(address, timeout=self._timeout, set_as_default=False, direct_to_workers=True)
                self._made.append(self._client)
            elif client is None:
                workers = max(shards, self._replica_count)
                self._cluster = self._start_local_cluster(workers)
                self._made.append(self._cluster)
                self._client = Client(
                    self._cluster, set_as_default=False, direct_to_workers=True, timeout=self._timeout
                )
                self._made.append(self._client)
                self._client.wait_for_workers(workers, timeout=self._timeout)
            self._start_shards(shards)
        except BaseException:
            self._release()
            raise

    # -- set-up and tear-down ---------------------------------------------

    @staticmethod
    def _start_local_cluster(workers: int) -> LocalCluster:
        env = {}
        if "RAYON_NUM_THREADS" not in os.environ:
            # Split the cores between the workers instead of giving each
            # worker's encoding and scoring pool every core.
            env["RAYON_NUM_THREADS"] = str(max(1, (os.cpu_count() or 1) // workers))
        with dask.config.set(_QUIET_CLUSTER):
            return LocalCluster(
                n_workers=workers, threads_per_worker=1, processes=True, dashboard_address=":0", env=env
            )

    def _workers(self) -> list[str]:
        return list(self._client.scheduler_info()["workers"])

    def _start_shards(self, shards: int) -> None:
        # Not a bound method: the store must not be kept alive by its parts.
        self._replicas.release = functools.partial(_release_replica, self._client)
        self._client.wait_for_workers(1, timeout=self._timeout)
        workers = _spread_over_hosts(self._workers())
        if len(workers) < self._replica_count:
            raise ValueError(
                f"replicas={self._replica_count} needs as many workers, one per replica of a shard, but the "
                f"cluster has {len(workers)}: {', '.join(workers)}"
            )
        # Replica j of shard i on worker i + j: a shard's replicas on distinct
        # workers, and the shards spread evenly.
        placements = [(i, workers[(i + j) % len(workers)]) for i in range(shards) for j in range(self._replica_count)]
        started = self._start_replicas(placements)
        self._replicas.of = [[r for r in started if r.shard == i] for i in range(shards)]

    def _start_replicas(self, placements: list[tuple[int, str]]) -> list[_Replica]:
        """Starts an empty replica of each (shard, worker) at once, connects
        to each and checks that it scores as this process does."""
        deadline = time.monotonic() + self._timeout
        client = self._client
        futures = [
            client.submit(
                _ShardActor,
                self._dim,
                self._bits,
                _host_for_direct_calls(worker, self._direct_calls),
                actor=True,
                workers=[worker],
                allow_other_workers=False,
                pure=False,
                key=f"velmora-shard-{shard}-{uuid.uuid4().hex[:12]}",
            )
            for shard, worker in placements
        ]
        replicas: list[_Replica] = []
        try:
            for (shard, worker), future in zip(placements, futures):
                try:
                    future.result(timeout=max(0.0, deadline - time.monotonic()))
                    # Bound to this store's client, whichever client is the default.
                    with client.as_current():
                        actor = Actor(_ShardActor, worker, future.key)
                    replicas.append(_Replica(shard, worker, future, actor))
                except Exception as exc:
                    raise ShardUnavailableError(shard, worker, f"could not start: {exc}") from exc
            self._connect(replicas, deadline)
        except BaseException:
            client.cancel(futures, force=True)
            raise
        return replicas

    def _connect(self, replicas: list[_Replica], deadline: float) -> None:
        """Gives each replica a direct channel where it serves one, falling
        back to Dask's actor calls where that cannot be reached, and checks
        that it scores as this process does."""
        pending = [(replica, replica.actor.endpoint()) for replica in replicas]
        for replica, endpoint in pending:
            try:
                found = endpoint.result(timeout=max(0.0, deadline - time.monotonic()))
            except Exception as exc:
                raise ShardUnavailableError(replica.shard, replica.address, f"could not start: {exc}") from exc
            if found is not None:
                host, port, token = found
                replica.channel = _DirectChannel(host, port, token)
        probes = _probe_vectors(self._dim)
        expected = _probe_scores(self._dim, self._bits, probes)
        calls = [_Call(replica, "identity", [probes]) for replica in replicas]
        _exchange(calls, max(deadline, time.monotonic() + 1.0))
        for call in calls:
            replica = call.replica
            if not call.ok and call.error is None and isinstance(replica.channel, _DirectChannel):
                # Its port cannot be reached from here (a firewall, say): Dask can.
                replica.channel.close()
                replica.channel = _ActorChannel(replica.actor, replica.future)
                call = _Call(replica, "identity", [probes])
                _exchange([call], time.monotonic() + self._timeout)
            if call.error is not None:
                raise call.error
            if not call.ok:
                raise ShardUnavailableError(replica.shard, replica.address, f"could not start: {call.failure}")
            version, scores = call.value
            if [tuple(pair) for pair in scores] != expected:
                raise RuntimeError(
                    f"shard {replica.shard} (worker {replica.address}) runs velmora {version}, which "
                    f"scores differently from velmora {__version__} in this process"
                )

    def _release(self) -> None:
        replicas = [r for shard in self._replicas.of for r in shard]
        self._replicas.of = []
        try:
            for replica in replicas:
                replica.channel.close()
            if replicas and self._client is not None and self._client.status == "running":
                self._client.cancel([r.future for r in replicas], force=True)
        finally:
            self._close_made()

    def close(self) -> None:
        """Release the shards, and the client and cluster if this store made
        them.  A given client stays open.  Calling it again does nothing."""
        self._refuse_reentry()
        with self._lock:
            if not self._closed:
                self._closed = True
                self._release()

    def __enter__(self) -> ShardedStore:
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.close()

    # -- properties ---------------------------------------------------------

    @property
    def dim(self) -> int:
        return self._dim

    @property
    def bits(self) -> int:
        return self._bits

    @property
    def shards(self) -> int:
        return len(self._counts)

    @property
    def replicas(self) -> int:
        """How many replicas each shard is meant to have."""
        return self._replica_count

    @property
    def timeout(self) -> float:
        return self._timeout

    @property
    def client(self) -> Client:
        return self._client

    @property
    def addresses(self) -> tuple[str, ...]:
        """The worker of each shard's first live replica (or, for a shard with
        none left, of its first replica), by shard number; `health()` lists
        them all."""
        return tuple((self._replicas.live(i) or self._replicas.of[i])[0].address for i in range(len(self._replicas.of)))

    def shard_of(self, id: SupportsIndex) -> int:
        """The shard that holds, or would hold, `id`."""
        self._empty.remove(id)
        return shard_of(operator.index(id), self.shards)

    def __repr__(self) -> str:
        shape = f"dim={self._dim}, bits={self._bits}, shards={self.shards}, replicas={self._replica_count}"
        if self._closed:
            return f"ShardedStore({shape}, closed)"
        return f"ShardedStore({shape}, n={sum(self._counts)})"

    # -- replicas -------------------------------------------------------------

    def health(self) -> list[ShardHealth]:
        """Each shard's live and lost replicas, by worker address, after
        asking every live replica whether it answers: one whose worker is
        gone, or that does not answer within the timeout while a sibling
        does, is dropped (lost) here."""
        with self._call():
            return self._replicas.check()

    def repair(self) -> list[ShardHealth]:
        """Rebuilds every lost replica on a live worker that holds no replica
        of its shard (the least loaded first) as a copy, bit for bit, of a
        live replica, and returns `health()`. A lost replica that cannot be
        rebuilt, because its shard has no live replica left or no worker can
        take it, raises ShardUnavailableError once the others are rebuilt."""
        with self._call():
            self._replicas.check()
            unrepaired: ShardUnavailableError | None = None
            for shard, replicas in enumerate(self._replicas.of):
                lost = [position for position, replica in enumerate(replicas) if replica.lost is not None]
                if not lost:
                    continue
                try:
                    self._rebuild(shard, lost)
                except ShardUnavailableError as exc:
                    unrepaired = unrepaired or exc
            if unrepaired is not None:
                raise unrepaired
            return self._replicas.health()

    def _rebuild(self, shard: int, positions: list[int]) -> None:
        data, count = self._replicas.read("export", {shard: []})[shard]
        replicas = self._replicas.of[shard]
        for position in positions:
            holding = {r.address for r in replicas if r.lost is None}
            busy = Counter(r.address for rs in self._replicas.of for r in rs if r.lost is None)
            lost_on = {r.address for rs in self._replicas.of for r in rs if r.lost is not None}
            # Workers where a replica was lost last: a worker that froze may still be frozen.
            candidates = sorted(
                (w for w in self._workers() if w not in holding), key=lambda w: (w in lost_on, busy[w], w)
            )
            reasons = []
            for worker in candidates:
                try:
                    (fresh,) = self._start_replicas([(shard, worker)])
                except RuntimeError as exc:  # it could not start, or it scores differently
                    reasons.append(f"{worker}: {exc.reason if isinstance(exc, ShardUnavailableError) else exc}")
                    continue
                call = _Call(fresh, "load", [data, shard, self.shards])
                _exchange([call], time.monotonic() + self._timeout)
                if call.ok and call.value == count:
                    replicas[position] = fresh
                    break
                self._replicas.release(fresh)
                reasons.append(f"{worker}: {call.failure or f'refused the copy ({call.error})'}")
            else:
                raise ShardUnavailableError(
                    shard,
                    replicas[position].address,
                    "no worker could take a new replica"
                    + (f" ({'; '.join(reasons)})" if reasons else ": every live worker holds one already"),
                )

    # -- talking to shards --------------------------------------------------

    def _refuse_reentry(self) -> None:
        # Argument conversion may run user code that calls back in; waiting
        # for the lock would then wait for ever.
        if self._running_in == threading.get_ident():
            raise RuntimeError("ShardedStore is already running a call in this thread")

    @contextmanager
    def _call(self) -> Iterator[None]:
        self._refuse_reentry()
        with self._lock:
            if self._closed:
                raise RuntimeError("ShardedStore is closed")
            self._running_in = threading.get_ident()
            try:
                yield
            finally:
                self._running_in = None

    def _read_all(self, method: str, *args: Any, shards: Sequence[int] | None = None) -> list[Any]:
        """Each shard's answer (one live replica's), in shard order."""
        targets = range(self.shards) if shards is None else shards
        answers = self._replicas.read(method, {i: args for i in targets})
        return [answers[i] for i in targets]

    def _write(self, kind: str, parts: dict[int, Sequence[Any]]) -> dict[int, tuple[int, int]]:
        if not parts:
            return {}
        self._counts_known = False  # until every shard says how many it holds
        done = self._replicas.write(kind, parts)
        for shard, (_, count) in done.items():
            self._counts[shard] = count
        self._counts_known = True
        return done

    def _refresh_counts(self) -> list[tuple[int, int]]:
        stats = self._read_all("stats")
        self._counts = [n for n, _ in stats]
        self._counts_known = True
        return stats

    # -- the store's methods ----------------------------------------------

    def insert(self, id: SupportsIndex, vector: Vector) -> None:
        """Insert or update one vector, on the shard its id maps to."""
        with self._call():
            records = _exported(_encode_pair(self._dim, self._bits, id, vector))
            shard = shard_of(int(records[0][0]), self.shards)
            self._write("upsert", {shard: _wire_records(*records)})

    def insert_batch(self, pairs: Sequence[tuple[SupportsIndex, Vector]]) -> None:
        """Insert many (id, vector) pairs: all of them, or none if any is bad.

        Every pair is checked and encoded here first.  Each replica then checks
        its part of the records without changing its store; only when every
        shard has a replica that did so do they apply their parts.  A shard
        left with no replica that applied its part makes the others undo
        theirs exactly: the ids the batch added are taken out and the ids it
        updated get their previous records back (see docs/distributed.md)."""
        with self._call():
            self._apply_batch(_encode_pairs(self._dim, self._bits, pairs))

    def _apply_batch(self, encoded: _Index) -> None:
        """Sends each shard its part of the encoded records, prepares and
        commits them everywhere, or nowhere."""
        records = _exported(encoded)
        routed = _shards_of(records[0], self.shards)
        self._write(
            "upsert", {int(i): _wire_records(*(column[routed == i] for column in records)) for i in np.unique(routed)}
        )

    @overload
    def remove(self, id: SupportsIndex) -> bool: ...
    @overload
    def remove(self, id: Sequence[SupportsIndex] | npt.NDArray[np.integer[Any]]) -> int: ...
    def remove(self, id: Any) -> bool | int:
        """Remove a vector by id and return True if it existed; or, given a
        1-D array-like of ids, remove them in order and return how many were
        stored (as `velmora.Index.remove`)."""
        if not _is_single_id(id):
            return self._remove_many(id)
        with self._call():
            self._empty.remove(id)
            key = operator.index(id)
            shard = shard_of(key, self.shards)
            ((removed, _),) = self._write("remove", {shard: [_wire_array([key], "<u8")]}).values()
            return removed == 1

    def _remove_many(self, ids: Any) -> int:
        with self._call():
            id_array = _ids_array(ids)
            routed = _shards_of(id_array, self.shards)
            done = self._write(
                "remove", {int(i): [_wire_array(id_array[routed == i], "<u8")] for i in np.unique(routed)}
            )
            return sum(removed for removed, _ in done.values())

    # -- array methods, as velmora.Index has them ----------------------------

    def add(self, ids: npt.ArrayLike, vectors: npt.ArrayLike) -> None:
        """Store row i of `vectors` (shape (n, dim), float32 or float64) under
        ids[i], as `velmora.Index.add` does: all or nothing, with the same
        checks and messages, every row encoded here, once."""
        with self._call():
            self._apply_batch(_encode_rows(self._dim, self._bits, ids, vectors))

    def search(
        self,
        queries: npt.ArrayLike,
        k: SupportsIndex = 10,
        *,
        allowed: npt.ArrayLike | None = None,
        rerank: Any = None,
        candidates: int | None = None,
        exact: bool = False,
    ) -> tuple[npt.NDArray[np.uint64], npt.NDArray[np.float32]]:
        """The k best stored vectors of each query, as `velmora.Index.search`
        returns them: (ids, scores) of shape (m, c) for (m, dim) queries, (c,)
        for one query, c = min(k, candidates). Scores are bit for bit those of
        one local index; equal scores are ordered by shard, then storage
        order, so ties at the cut-off may differ from a local index.

        `rerank`, `candidates` and `exact` are those of `velmora.Index.search`:
        the shards propose candidates (and, for exact=True, list the vectors
        their error bounds cannot rule out), and the full vectors are read and
        scored here, in the calling process. Exact answers equal a local
        index's."""
        with self._call():
            # Every check, with Index's own messages, on an empty local index.
            self._empty_index.search(queries, k, allowed=allowed, rerank=rerank, candidates=candidates, exact=exact)
            matrix = _float_array(queries, "queries")
            single = matrix.ndim == 1
            rows = matrix.reshape(1, -1) if single else matrix
            k = _count(k, "k")
            allowed_ids = None if allowed is None else _ids_array(allowed, "allowed")
            if rerank is None:
                ids, scores = self._compressed_search(rows, k, allowed_ids)
            else:
                ids, scores = reranked_search(
                    self,
                    rows,
                    k,
                    allowed_ids,
                    FullVectors(rerank, self._dim),
                    None if candidates is None else operator.index(candidates),
                    bool(exact),
                )
            return (ids[0], scores[0]) if single else (ids, scores)

    def _allowed_parts(self, allowed: npt.NDArray[np.uint64] | None, holding: list[int]) -> dict[int, bytes | None]:
        if allowed is None:
            return {i: None for i in holding}
        routed = _shards_of(allowed, self.shards)
        return {i: _wire_array(allowed[routed == i], "<u8") for i in holding}

    def _holding(self) -> list[int]:
        if not self._counts_known:
            self._refresh_counts()
        return [i for i, n in enumerate(self._counts) if n]

    def _compressed_search(
        self, rows: npt.NDArray[Any], k: int, allowed: npt.NDArray[np.uint64] | None
    ) -> tuple[npt.NDArray[np.uint64], npt.NDArray[np.float32]]:
        holding = self._holding()
        payload = _wire_array(rows, "<f4")
        parts = self._allowed_parts(allowed, holding)
        answers = self._replicas.read("search", {i: [payload, k, parts[i]] for i in holding})
        self._note_read_seconds(answers.values())
        m = rows.shape[0]
        ids = np.empty((m, 0), np.uint64)
        scores = np.empty((m, 0), np.float32)
        if holding:
            shares = [answers[i] for i in holding]  # in shard order, which orders equal scores
            ids = np.concatenate([np.frombuffer(a, "<u8").reshape(m, kept) for a, _, kept, _ in shares], axis=1)
            scores = np.concatenate([np.frombuffer(b, "<f4").reshape(m, kept) for _, b, kept, _ in shares], axis=1)
        # Best first, NaN last (numpy sorts NaN to the end), shard order among equals.
        order = np.argsort(-scores, axis=1, kind="stable")[:, : min(k, scores.shape[1])]
        rows_of = np.arange(m)[:, None]
        return (
            ids[rows_of, order].astype(np.uint64, copy=False),
            scores[rows_of, order].astype(np.float32, copy=False),
        )

    # The re-ranking's view of the shards (velmora._rerank.Searchable).
    def _compressed_ids(
        self, queries: npt.NDArray[Any], k: int, allowed: npt.NDArray[np.uint64] | None
    ) -> npt.NDArray[np.uint64]:
        return self._compressed_search(queries, k, allowed)[0]

    def _exact_pass(
        self, queries: npt.NDArray[Any], first: int, k: int, allowed: npt.NDArray[np.uint64] | None
    ) -> ExactPass:
        """Every shard's pass, merged: the `first` best table sums over all
        shards, and as others everything else any shard proposed. A shard's
        assumption only lowers its floor, so the largest one holds for all."""
        holding = self._holding()
        payload = _wire_array(np.asarray(queries, dtype=np.float32), "<f4")
        parts = self._allowed_parts(allowed, holding)
        answers = self._replicas.read("exact_pass", {i: [payload, first, k, parts[i]] for i in holding})
        passes = [_unwire_exact_pass(tuple(answers[i])) for i in holding]
        m = queries.shape[0]
        firsts, others = [], []
        first_counts, other_counts = np.zeros(m, np.intp), np.zeros(m, np.intp)
        assumed = np.full(m, -np.inf)
        per_shard = [
            (
                np.split(np.arange(len(p.first)), np.cumsum(p.first_counts)[:-1]),
                np.split(np.arange(len(p.others)), np.cumsum(p.other_counts)[:-1]),
            )
            for p in passes
        ]
        for q in range(m):
            ids = np.concatenate([p.first[f[q]] for p, (f, _) in zip(passes, per_shard)] + [np.empty(0, np.uint64)])
            sums = np.concatenate(
                [p.first_sums[f[q]] for p, (f, _) in zip(passes, per_shard)] + [np.empty(0, np.float32)]
            )
            upper = np.concatenate([p.first_upper[f[q]] for p, (f, _) in zip(passes, per_shard)] + [np.empty(0)])
            order = np.lexsort((ids, -sums))
            chosen, rest = order[:first], order[first:]
            firsts.append((ids[chosen], sums[chosen], upper[chosen]))
            others.append(
                (
                    np.concatenate([ids[rest]] + [p.others[o[q]] for p, (_, o) in zip(passes, per_shard)]),
                    np.concatenate([upper[rest]] + [p.others_upper[o[q]] for p, (_, o) in zip(passes, per_shard)]),
                )
            )
            first_counts[q], other_counts[q] = len(chosen), len(others[-1][0])
            assumed[q] = max([p.assumed[q] for p in passes], default=-np.inf)
        return ExactPass(
            np.concatenate([f[0] for f in firsts] + [np.empty(0, np.uint64)]).astype(np.uint64),
            np.concatenate([f[1] for f in firsts] + [np.empty(0, np.float32)]),
            np.concatenate([f[2] for f in firsts] + [np.empty(0)]),
            first_counts,
            np.concatenate([o[0] for o in others] + [np.empty(0, np.uint64)]).astype(np.uint64),
            np.concatenate([o[1] for o in others] + [np.empty(0)]),
            other_counts,
            assumed,
        )

    def _read_list(
        self, queries: npt.NDArray[Any], taus: npt.NDArray[np.float64], allowed: npt.NDArray[np.uint64] | None
    ) -> tuple[npt.NDArray[np.uint64], npt.NDArray[np.uint64]]:
        holding = self._holding()
        payload = _wire_array(queries, "<f4")
        parts = self._allowed_parts(allowed, holding)
        answers = self._replicas.read("read_list", {i: [payload, _wire_array(taus, "<f8"), parts[i]] for i in holding})
        m = queries.shape[0]
        lists: list[list[npt.NDArray[np.uint64]]] = [[] for _ in range(m)]
        for i in holding:
            id_bytes, count_bytes = answers[i]
            ids, counts = _unwire_ids(id_bytes), _unwire_ids(count_bytes)
            for q, part in enumerate(np.split(ids, np.cumsum(counts.astype(np.intp))[:-1])):
                lists[q].append(part)
        merged = [np.concatenate(parts) if parts else np.empty(0, np.uint64) for parts in lists]
        return (
            np.concatenate(merged) if merged else np.empty(0, np.uint64),
            np.array([len(part) for part in merged], dtype=np.uint64),
        )

    def _unknown_error_bounds(self) -> int:
        return sum(self._read_all("unknown_error_bounds", shards=self._holding()))

    # -- files --------------------------------------------------------------

    def save(self, directory: str | os.PathLike[str]) -> None:
        """Write every shard to its own index file in `directory` (created if
        need be), then a manifest naming them. Each file, and the manifest
        last, is replaced atomically, so a save that fails half-way leaves the
        previous save loadable; files of the previous save are removed after
        the new manifest is in place."""
        with self._call():
            os.makedirs(directory, exist_ok=True)
            _write_store(directory, self._dim, self._bits, [(data, count) for data, count in self._read_all("export")])

    @classmethod
    def load(
        cls,
        directory: str | os.PathLike[str],
        *,
        replicas: int = 1,
        client: Client | None = None,
        address: str | None = None,
        timeout: float = 30.0,
    ) -> ShardedStore:
        """A new sharded store (on a local cluster, or on `client` or
        `address` as for the constructor, with `replicas` replicas of each
        shard) holding what `save` wrote to `directory`. A missing, damaged or
        inconsistent file raises ValueError (OSError for one that cannot be
        read) and no store is left running."""
        manifest = _load_manifest(os.path.join(directory, _MANIFEST))
        store = cls(
            manifest["dim"],
            manifest["bits"],
            shards=manifest["shards"],
            replicas=replicas,
            client=client,
            address=address,
            timeout=timeout,
        )
        try:
            with store._call():
                for i, name in enumerate(manifest["files"]):
                    data = _read_shard_file(directory, name)
                    store._counts[i] = store._replicas.everywhere("load", {i: [data, i, store.shards]})[i]
        except BaseException:
            store.close()
            raise
        return store

    def __len__(self) -> int:
        with self._call():
            self._refresh_counts()
            return sum(self._counts)

    def memory_bytes(self) -> int:
        """Compressed memory of all shards in bytes, as `velmora.Index.memory_bytes` counts it
        (the local store keeps no 2-byte error bound per vector)."""
        with self._call():
            return sum(memory for _, memory in self._refresh_counts())

    def query(self, vector: Vector, top_k: SupportsIndex) -> list[tuple[int, float]]:
        """The top_k best (id, score) pairs over all shards, best first."""
        with self._call():
            payload = self._checked_query(lambda: self._empty.query(vector, top_k), vector)
            k = operator.index(top_k)
            if k == 0:
                return []
            return _ranked(self._fan_out("query", payload, k))[:k]

    def query_all(self, vector: Vector) -> list[tuple[int, float]]:
        """Every stored (id, score) pair, best first."""
        with self._call():
            payload = self._checked_query(lambda: self._empty.query_all(vector), vector)
            return _ranked(self._fan_out("query_all", payload))

    # -- helpers ------------------------------------------------------------

    def _checked_query(self, check_on_empty_store: Callable[[], object], vector: Any) -> bytes:
        # On the empty local store a query converts its arguments and then
        # fails as empty: any other error is the caller's, raised as is.
        try:
            check_on_empty_store()
        except ValueError as empty:
            if not _is_empty_store_error(empty):
                raise
            if not self._counts_known:
                self._refresh_counts()
            if sum(self._counts) == 0:
                raise
        return _checked_vector(vector, self._dim).tobytes()

    def _fan_out(self, method: str, *args: Any) -> list[tuple[int, float]]:
        holding = [i for i, n in enumerate(self._counts) if n]
        answers = self._replicas.read(method, {i: args for i in holding})
        self._note_read_seconds(answers.values())
        candidates: list[tuple[int, float]] = []
        for i in holding:
            ids, scores, _ = answers[i]
            candidates.extend(_unpack_ranked(ids, scores))
        return candidates

    def _note_read_seconds(self, answers: Any) -> None:
        self._last_read_seconds = (
            self._replicas.last_exchange_seconds,
            max((answer[-1] for answer in answers), default=0.0),
        )


def _release_replica(client: Client, replica: _Replica) -> None:
    replica.channel.close()
    if client.status == "running":
        # Cancelling drops the actor now, whoever still holds a proxy.
        try:
            client.cancel([replica.future], force=True)
        except Exception:
            pass  # its worker may be gone with it


def _ranked(candidates: list[tuple[int, float]]) -> list[tuple[int, float]]:
    # Score descending with NaN last; a stable sort keeps equal scores in the
    # order the shards returned them.
    return sorted(candidates, key=lambda pair: (pair[1] != pair[1], -pair[1]))


def _as_count(value: Any, name: str) -> int:
    if isinstance(value, bool) or not isinstance(value, int):
        raise TypeError(f"{name} must be an int, got {type(value).__name__}")
    if value < 1:
        raise ValueError(f"{name} must be at least 1, got {value}")
    return value


def _spread_over_hosts(workers: list[str]) -> list[str]:
    """The workers in address order, taking one host after another, so that
    consecutive workers (a shard's replicas) sit on distinct machines where
    there are several."""
    by_host: dict[str, list[str]] = {}
    for worker in sorted(workers):
        by_host.setdefault(_host_of(worker), []).append(worker)
    queues = list(by_host.values())
    spread = []
    while queues:
        spread += [queue.pop(0) for queue in queues]
        queues = [queue for queue in queues if queue]
    return spread


def _host_of(worker: str) -> str:
    try:
        return str(get_address_host(worker))
    except Exception:
        return worker


def _host_for_direct_calls(worker: str, allowed: bool) -> str | None:
    """The host a replica on `worker` listens on for direct calls, or None
    where its calls go through Dask: workers that speak anything but plain
    TCP keep their transport (TLS, say) for the shard's data too."""
    if not allowed or not worker.startswith("tcp://"):
        return None
    return _host_of(worker)
