"""A vector store split into shards that live in other processes.

`ShardedStore` spreads its vectors over `shards` Dask actors, each holding
one `velmora.Index` in a worker process, and answers queries by
asking every shard and merging what they return.  Every process encodes and
scores identically, so a sharded query returns the same (id, score) pairs,
bit for bit, as one local store holding the same vectors.

Needs Dask distributed: ``pip install 'velmora[distributed]'``.  See
docs/distributed.md for the guarantees and figures.

The parts: `_store` (the client, `ShardedStore`), `_arguments` (what callers
pass, checked and encoded once), `_shard` (the actor in each worker and its
two-phase commit), `_wire` (the bytes between them), `_routing` (which shard
holds an id) and `_manifest` (saved stores).
"""
from ._routing import shard_of
from ._store import ShardedStore, ShardUnavailableError

__all__ = ["ShardedStore", "ShardUnavailableError", "shard_of"]

# Shown, pickled and documented under this module's name, where they are imported from.
ShardedStore.__module__ = ShardUnavailableError.__module__ = shard_of.__module__ = __name__
