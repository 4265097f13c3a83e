"""Where a sharded store's replicas live: which workers take them, starting
them there and connecting to them (on a port of their own, or through Dask's
actor calls), checking that each scores as this process does, rebuilding lost
ones, and releasing them."""

from __future__ import annotations

import functools
import time
import uuid
from collections import Counter

from distributed import Actor, Client
from distributed.comm.addressing import get_address_host

from .. import __version__
from ._channel import _ActorChannel, _Call, _DirectChannel, _exchange
from ._replicas import ShardHealth, ShardUnavailableError, _Replica, _Replicas
from ._shard import _probe_scores, _probe_vectors, _ShardActor


class _Placement:
    """Starts the replicas of one store's shards on the workers of its
    client, rebuilds the lost ones, and releases them."""

    def __init__(self, client: Client, dim: int, bits: int, timeout: float, direct_calls: bool) -> None:
        self._client = client
        self._dim = dim
        self._bits = bits
        self._timeout = timeout
        # Whether replicas on plain TCP workers are called on their own ports.
        self._direct_calls = direct_calls

    def workers(self) -> list[str]:
        return list(self._client.scheduler_info()["workers"])

    def start_shards(self, replicas: _Replicas, shards: int, count: int) -> None:
        """Starts `count` replicas of each of `shards` empty shards into `replicas`."""
        # Not a bound method: the store must not be kept alive by its parts.
        replicas.release = functools.partial(_release_replica, self._client)
        self._client.wait_for_workers(1, timeout=self._timeout)
        workers = _spread_over_hosts(self.workers())
        if len(workers) < count:
            raise ValueError(
                f"replicas={count} needs as many workers, one per replica of a shard, but the "
                f"cluster has {len(workers)}: {', '.join(workers)}"
            )
        # Replica j of shard i on worker i + j: a shard's replicas on distinct
        # workers, and the shards spread evenly.
        placements = [(i, workers[(i + j) % len(workers)]) for i in range(shards) for j in range(count)]
        started = self.start(placements)
        replicas.of = [[r for r in started if r.shard == i] for i in range(shards)]

    def start(self, placements: list[tuple[int, str]]) -> list[_Replica]:
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
        started: list[_Replica] = []
        try:
            for (shard, worker), future in zip(placements, futures):
                try:
                    future.result(timeout=max(0.0, deadline - time.monotonic()))
                    # Bound to this store's client, whichever client is the default.
                    with client.as_current():
                        actor = Actor(_ShardActor, worker, future.key)
                    started.append(_Replica(shard, worker, future, actor))
                except Exception as exc:
                    raise ShardUnavailableError(shard, worker, f"could not start: {exc}") from exc
            self._connect(started, deadline)
        except BaseException:
            client.cancel(futures, force=True)
            raise
        return started

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

    def repair(self, replicas: _Replicas) -> list[ShardHealth]:
        """Rebuilds every lost replica (see `ShardedStore.repair`) and returns
        each shard's health; the first shard that could not be repaired
        raises once the others are."""
        replicas.check()
        unrepaired: ShardUnavailableError | None = None
        for shard, of_shard in enumerate(replicas.of):
            lost = [position for position, replica in enumerate(of_shard) if replica.lost is not None]
            if not lost:
                continue
            try:
                self._rebuild(replicas, shard, lost)
            except ShardUnavailableError as exc:
                unrepaired = unrepaired or exc
        if unrepaired is not None:
            raise unrepaired
        return replicas.health()

    def _rebuild(self, replicas: _Replicas, shard: int, positions: list[int]) -> None:
        data, count = replicas.read("export", {shard: []})[shard]
        of_shard = replicas.of[shard]
        for position in positions:
            holding = {r.address for r in of_shard if r.lost is None}
            busy = Counter(r.address for rs in replicas.of for r in rs if r.lost is None)
            lost_on = {r.address for rs in replicas.of for r in rs if r.lost is not None}
            # Workers where a replica was lost last: a worker that froze may still be frozen.
            candidates = sorted(
                (w for w in self.workers() if w not in holding), key=lambda w: (w in lost_on, busy[w], w)
            )
            reasons = []
            for worker in candidates:
                try:
                    (fresh,) = self.start([(shard, worker)])
                except RuntimeError as exc:  # it could not start, or it scores differently
                    reasons.append(f"{worker}: {exc.reason if isinstance(exc, ShardUnavailableError) else exc}")
                    continue
                call = _Call(fresh, "load", [data, shard, len(replicas.of)])
                _exchange([call], time.monotonic() + self._timeout)
                if call.ok and call.value == count:
                    of_shard[position] = fresh
                    break
                replicas.release(fresh)
                reasons.append(f"{worker}: {call.failure or f'refused the copy ({call.error})'}")
            else:
                raise ShardUnavailableError(
                    shard,
                    of_shard[position].address,
                    "no worker could take a new replica"
                    + (f" ({'; '.join(reasons)})" if reasons else ": every live worker holds one already"),
                )


def _release_all(client: Client | None, replicas: _Replicas) -> None:
    """Closes the channel of every replica in `replicas` and drops its actor;
    `replicas` is left empty."""
    released = [r for shard in replicas.of for r in shard]
    replicas.of = []
    for replica in released:
        replica.channel.close()
    if released and client is not None and client.status == "running":
        client.cancel([r.future for r in released], force=True)


def _release_replica(client: Client, replica: _Replica) -> None:
    replica.channel.close()
    if client.status == "running":
        # Cancelling drops the actor now, whoever still holds a proxy.
        try:
            client.cancel([replica.future], force=True)
        except Exception:
            pass  # its worker may be gone with it


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
