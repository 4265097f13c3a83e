"""The Dask cluster under a sharded store: the client the caller gives, one
connected to a scheduler's address, or a local cluster of worker processes
started for the store, and the closing of whatever the store made."""

from __future__ import annotations

import os
from typing import Any

import dask
from distributed import Client, LocalCluster

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


def _check_cluster_arguments(client: Any, address: Any) -> None:
    if client is not None and address is not None:
        raise ValueError("give either client or address, not both")
    if client is not None and not isinstance(client, Client):
        raise TypeError(f"client must be a distributed.Client, got {type(client).__name__}")
    if address is not None and not isinstance(address, str):
        raise TypeError(f"address must be a str, got {type(address).__name__}")


def _open_client(
    client: Client | None, address: str | None, workers: int, timeout: float, made: list[Client | LocalCluster]
) -> tuple[Client, LocalCluster | None]:
    """The client to reach the replicas through, and the local cluster behind
    it if one was started here: `client` itself; a client of the scheduler at
    `address`; or, with neither, a client of a new local cluster of `workers`
    worker processes, once they are up. Each client or cluster is added to
    `made` as soon as it exists, so that closing `made` after a failure leaves
    nothing running."""
    if address is not None:
        connected = Client(address, timeout=timeout, set_as_default=False, direct_to_workers=True)
        made.append(connected)
        return connected, None
    if client is not None:
        return client, None
    cluster = _start_local_cluster(workers)
    made.append(cluster)
    connected = Client(cluster, set_as_default=False, direct_to_workers=True, timeout=timeout)
    made.append(connected)
    connected.wait_for_workers(workers, timeout=timeout)
    return connected, cluster


def _start_local_cluster(workers: int) -> LocalCluster:
    env = {}
    if "RAYON_NUM_THREADS" not in os.environ:
        # Split the cores between the workers instead of giving each
        # worker's encoding and scoring pool every core.
        env["RAYON_NUM_THREADS"] = str(max(1, (os.cpu_count() or 1) // workers))
    with dask.config.set(_QUIET_CLUSTER):
        return LocalCluster(n_workers=workers, threads_per_worker=1, processes=True, dashboard_address=":0", env=env)


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
