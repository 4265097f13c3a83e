"""A vector store split into shards that live in other processes.

`ShardedStore` spreads its vectors over `shards` shards, each kept by one or
more replicas (Dask actors on distinct worker processes, each holding one
`velmora.Index`), and answers queries by asking one replica of every shard
and merging what they return.  Every process encodes and
scores identically, so a sharded query returns the same (id, score) pairs,
bit for bit, as one local store holding the same vectors.

Needs Dask distributed: ``pip install 'velmora[distributed]'``.  See
docs/distributed.md for the guarantees and figures.

The parts: `_store` (the client, `ShardedStore`), `_arguments` (what callers
pass, checked and encoded once), `_cluster` (the Dask cluster it runs on,
given, connected to or started), `_placement` (which workers hold the
replicas, starting, checking, rebuilding and releasing them), `_replicas`
(which replicas are live, reads that fail over, writes that commit on every
live replica or none), `_merge` (the shards' answers merged, and the shards as
the re-ranking sees one index), `_shard` (the replica in each worker and its
two-phase commit), `_channel` (the calls between them), `_wire` (the bytes
they carry), `_routing` (which shard holds an id) and `_manifest` (saved
stores).
"""

try:
    import distributed as _dask_distributed  # checked first, so that its absence says what to install
except ImportError as exc:  # pragma: no cover - depends on the environment
    raise ImportError(
        "velmora.distributed needs Dask distributed; install it with pip install 'velmora[distributed]'"
    ) from exc

from ._routing import shard_of
from ._store import ShardedStore, ShardHealth, ShardUnavailableError

__all__ = ["ShardHealth", "ShardedStore", "ShardUnavailableError", "shard_of"]

# Shown, pickled and documented under this module's name, where they are imported from.
for _public in (ShardedStore, ShardHealth, ShardUnavailableError, shard_of):
    _public.__module__ = __name__
del _public, _dask_distributed
