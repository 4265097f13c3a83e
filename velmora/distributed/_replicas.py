"""The replicas of every shard and the rules for using them.

Each shard lives in one or more replicas on distinct workers. A replica is
*live* while it holds every acknowledged write of its shard, and *lost*
otherwise: its worker died, it failed or did not answer in time while a
sibling went on without it, or it may have applied a write that its siblings
undid. A lost replica is never asked again; `ShardedStore.repair` replaces it.

Reads ask one live replica of each shard and move to another when it fails.
Writes reach every live replica of the shards they touch: one replica alone
applies the write at once; more go through a two-phase commit, and any
replica that does not commit while a sibling does is dropped before the
write is acknowledged. These rules run in the client, which is the only
writer of its replicas and makes its calls one at a time."""

from __future__ import annotations

import time
import uuid
from collections import Counter
from collections.abc import Callable, Sequence
from typing import Any, NamedTuple

from ._channel import _ActorChannel, _Call, _DirectChannel, _exchange


class ShardUnavailableError(RuntimeError):
    """A shard could not answer: every replica of it is lost, or the last of
    its live replicas failed or did not reply within the store's timeout."""

    def __init__(self, shard: int, address: str, reason: str) -> None:
        super().__init__(f"shard {shard} (worker {address}) is unavailable: {reason}")
        self.shard = shard
        self.address = address
        self.reason = reason

    def __reduce__(self) -> tuple[type, tuple[int, str, str]]:
        return type(self), (self.shard, self.address, self.reason)


class ShardHealth(NamedTuple):
    """One shard's replicas by worker address: those holding every
    acknowledged write (`live`), and those dropped and not yet rebuilt
    (`lost`)."""

    shard: int
    live: tuple[str, ...]
    lost: tuple[str, ...]


class _Replica:
    """The client's handle on one replica: its shard, its worker, the Dask
    future that keeps its actor alive, and how to call it."""

    __slots__ = ("shard", "address", "future", "actor", "channel", "lost", "steps", "unsettled")

    def __init__(self, shard: int, address: str, future: Any, actor: Any) -> None:
        self.shard = shard
        self.address = address
        self.future = future
        self.actor = actor
        self.channel: _DirectChannel | _ActorChannel = _ActorChannel(actor, future)
        self.lost: str | None = None
        # Write steps sent to it so far: each carries the next number.
        self.steps = 0
        # A write it may have applied although the client reported it as
        # failed (its last replica did not answer): undone before its next call.
        self.unsettled: str | None = None

    def step(self) -> int:
        self.steps += 1
        return self.steps


class _Replicas:
    """Every replica of every shard (`of[shard]`), with reads that fail over,
    writes that commit on every live replica or none, and health checks."""

    def __init__(self, timeout: float) -> None:
        self.of: list[list[_Replica]] = []
        self._timeout = timeout
        # Frees a dropped replica's actor; set once the store has a client.
        self.release: Callable[[_Replica], None] = lambda replica: None
        self._turn = 0
        # Seconds the last read spent sending and waiting, for the benchmark.
        self.last_exchange_seconds = 0.0

    def live(self, shard: int) -> list[_Replica]:
        return [replica for replica in self.of[shard] if replica.lost is None]

    def drop(self, replica: _Replica, reason: str) -> None:
        if replica.lost is None:
            replica.lost = reason
            replica.channel.close()
            self.release(replica)

    def _unavailable(self, shard: int, reason: str, replica: _Replica | None = None) -> ShardUnavailableError:
        address = (replica or self.of[shard][0]).address
        return ShardUnavailableError(shard, address, reason)

    def _require_live(self, shards: Sequence[int]) -> None:
        for shard in shards:
            if not self.live(shard):
                raise self._unavailable(shard, f"every replica is lost (last: {self.of[shard][0].lost})")

    def health(self) -> list[ShardHealth]:
        return [
            ShardHealth(
                shard,
                tuple(r.address for r in replicas if r.lost is None),
                tuple(r.address for r in replicas if r.lost is not None),
            )
            for shard, replicas in enumerate(self.of)
        ]

    # -- reads ---------------------------------------------------------------

    def read(self, method: str, args_of: dict[int, Sequence[Any]]) -> dict[int, Any]:
        """Asks one live replica of each shard in `args_of` (preferring
        replicas on distinct workers, in turns) and returns each shard's
        answer. A replica that fails or does not answer within the timeout is
        dropped and the shard asked again elsewhere, while it has another live
        replica; the last one raises ShardUnavailableError (and is dropped
        only if its worker is gone, since one that is merely slow still holds
        every write). Other replicas on the failed replica's worker are
        dropped with it where their shards have live replicas elsewhere."""
        self._require_live(list(args_of))
        self._turn += 1
        answers: dict[int, Any] = {}
        waiting = dict(args_of)
        started = time.perf_counter()
        while waiting:
            load: Counter[str] = Counter()
            calls = [_Call(self._choose(shard, load), method, args) for shard, args in waiting.items()]
            self._exchange(calls, time.monotonic() + self._timeout)
            waiting = {}
            failure: Exception | None = None
            for call in calls:
                shard = call.replica.shard
                if call.ok:
                    answers[shard] = call.value
                elif call.error is not None:
                    failure = failure or call.error
                else:
                    self._drop_worker(call.replica.address, call.failure or "failed", call.dead)
                    if any(replica is not call.replica for replica in self.live(shard)):
                        waiting[shard] = args_of[shard]
                    else:
                        failure = failure or self._unavailable(shard, call.failure or "failed", call.replica)
            if failure is not None:
                raise failure
        self.last_exchange_seconds = time.perf_counter() - started
        return answers

    def _exchange(self, calls: list[_Call], deadline: float) -> None:
        """Sends the calls and waits for them; a replica holding an unsettled
        write is first sent its abort, and if that is not confirmed its call
        fails the same way without being sent."""
        unsettled = [call for call in calls if call.replica.unsettled is not None]
        if unsettled:
            aborts = [_Call(call.replica, "abort", [call.replica.unsettled]) for call in unsettled]
            _exchange(aborts, deadline)
            for abort, call in zip(aborts, unsettled):
                if abort.ok:
                    call.replica.unsettled = None
                else:
                    call._fail(abort.failure or f"could not undo an interrupted write ({abort.error})", abort.dead)
            calls = [call for call in calls if not call.done]
        _exchange(calls, deadline)

    def _drop_worker(self, address: str, reason: str, dead: bool) -> None:
        """A replica on `address` failed: its worker is gone (`dead`) or did
        not answer in time. Every replica there is dropped whose shard has a
        live replica elsewhere, so that later calls do not wait for the same
        worker again; if the worker is gone, every replica there."""
        for replicas in self.of:
            elsewhere = any(r.lost is None and r.address != address for r in replicas)
            for replica in replicas:
                if replica.lost is None and replica.address == address and (dead or elsewhere):
                    self.drop(replica, reason)

    def _choose(self, shard: int, load: Counter[str]) -> _Replica:
        # The least used worker of this call first, so that shards are asked
        # in parallel where they can be; ties go round in turns.
        live = self.live(shard)
        if not live:
            raise self._unavailable(shard, "every replica is lost")
        best = min(range(len(live)), key=lambda j: (load[live[j].address], (j - self._turn) % len(live)))
        load[live[best].address] += 1
        return live[best]

    def check(self) -> list[ShardHealth]:
        """Pings every live replica: one that is gone, or that does not
        answer while a sibling does, is dropped."""
        calls = [_Call(replica, "ping", []) for replicas in self.of for replica in replicas if replica.lost is None]
        self._exchange(calls, time.monotonic() + self._timeout)
        answered = {call.replica.shard for call in calls if call.ok}
        for call in calls:
            if not call.ok and (call.dead or call.replica.shard in answered):
                self.drop(call.replica, call.failure or f"failed a health check ({call.error})")
        return self.health()

    def everywhere(self, method: str, args_of: dict[int, Sequence[Any]]) -> dict[int, Any]:
        """Sends each shard's call to every live replica of it; any failure
        raises. For a store being set up, whose replicas hold nothing yet."""
        self._require_live(list(args_of))
        calls = [_Call(replica, method, args) for shard, args in args_of.items() for replica in self.live(shard)]
        self._exchange(calls, time.monotonic() + self._timeout)
        for call in calls:
            if call.error is not None:
                raise call.error
            if not call.ok:
                raise self._unavailable(call.replica.shard, call.failure or "failed", call.replica)
        return {call.replica.shard: call.value for call in calls}

    # -- writes --------------------------------------------------------------

    def write(self, kind: str, parts: dict[int, Sequence[Any]]) -> dict[int, tuple[int, int]]:
        """Applies a write ("upsert" records or "remove" ids) to every live
        replica of each shard in `parts`, or to none; returns each shard's
        (ids removed, vectors held). Raises ShardUnavailableError when some
        shard has no replica left to take it, after undoing it everywhere."""
        self._require_live(list(parts))
        participants = [replica for shard in parts for replica in self.live(shard)]
        deadline = time.monotonic() + self._timeout
        txn = uuid.uuid4().hex
        if len(participants) == 1:
            only = participants[0]
            call = _Call(only, "apply_" + kind, [only.step(), txn, *parts[only.shard]])
            self._exchange([call], deadline)
            return self._outcome_of_one(call, txn)

        prepares = [
            _Call(replica, "prepare_" + kind, [replica.step(), txn, *parts[replica.shard]]) for replica in participants
        ]
        self._exchange(prepares, deadline)
        error = next((call.error for call in prepares if call.error is not None), None)
        if error is not None:
            self._abort(txn, participants, committing=[])
            raise error
        prepared = [call.replica for call in prepares if call.ok]
        missing = self._shards_without(parts, prepared)
        if missing is not None:
            self._abort(txn, participants, committing=[])
            raise self._failure_of(missing, prepares)
        # Replicas that did not prepare would miss this write: they are dropped.
        for call in prepares:
            if not call.ok:
                self.drop(call.replica, call.failure or "failed")

        commits = [_Call(replica, "commit", [replica.step(), txn]) for replica in prepared]
        self._exchange(commits, time.monotonic() + self._timeout)
        committed = [call.replica for call in commits if call.ok]
        missing = self._shards_without(parts, committed)
        if missing is None:
            for call in commits:
                if not call.ok:
                    self.drop(call.replica, call.failure or f"failed to commit ({call.error})")
            return {call.replica.shard: (int(call.value[0]), int(call.value[1])) for call in commits if call.ok}
        self._abort(txn, prepared, committing=prepared)
        raise self._failure_of(missing, commits)

    def _outcome_of_one(self, call: _Call, txn: str) -> dict[int, tuple[int, int]]:
        shard = call.replica.shard
        if call.ok:
            return {shard: (int(call.value[0]), int(call.value[1]))}
        if call.error is not None:
            raise call.error
        if call.dead:
            self.drop(call.replica, call.failure or "failed")
        else:
            call.replica.unsettled = txn
        raise self._unavailable(shard, call.failure or "failed", call.replica)

    @staticmethod
    def _shards_without(parts: dict[int, Any], replicas: list[_Replica]) -> int | None:
        holding = {replica.shard for replica in replicas}
        return next((shard for shard in parts if shard not in holding), None)

    def _failure_of(self, shard: int, calls: list[_Call]) -> ShardUnavailableError:
        call = next(call for call in calls if call.replica.shard == shard and not call.ok)
        reason = call.failure or f"refused the write ({call.error})"
        return self._unavailable(shard, reason, call.replica)

    def _abort(self, txn: str, replicas: list[_Replica], committing: list[_Replica]) -> None:
        """Drops or undoes `txn` on `replicas`, waiting for each within one
        timeout. A replica that does not confirm is dropped when it may have
        committed and a sibling confirmed (it could hold the write its
        siblings undid), or when its worker is gone; otherwise it is kept:
        either it never committed (and refuses a late commit once the abort
        reaches it), or it is its shard's last replica, which must confirm the
        abort before anything else is sent to it."""
        calls = [_Call(replica, "abort", [txn]) for replica in replicas if replica.lost is None]
        self._exchange(calls, time.monotonic() + self._timeout)
        confirmed = {call.replica.shard for call in calls if call.ok}
        for call in calls:
            if call.ok:
                continue
            if call.dead or (call.replica in committing and call.replica.shard in confirmed):
                self.drop(call.replica, call.failure or f"failed to undo a write ({call.error})")
            elif call.replica in committing:
                call.replica.unsettled = txn
