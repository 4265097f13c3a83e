"""A sharded store fed from numpy: ids may be numpy integers and vectors numpy
rows, as for the local store. Checked with mypy --strict by the test command,
and run by the test suite."""

import numpy as np

from velmora.distributed import ShardedStore

DIM = 64


def main() -> None:
    rng = np.random.default_rng(3)
    vectors = rng.standard_normal((200, DIM), dtype=np.float32)
    ids = np.arange(200, dtype=np.uint64)
    with ShardedStore(DIM, 4, shards=2) as store:
        store.insert_batch(list(zip(ids[:100], vectors[:100])))  # numpy ids and rows
        store.insert(np.uint64(100), vectors[100])
        store.add(ids[101:], vectors[101:])  # or whole arrays at once
        best = store.query(vectors[7], np.int64(3))
        print(best[0][0], len(store))  # 7 200
        found, _ = store.search(vectors[:2], k=1)
        print(found.tolist(), store.remove(np.uint64(100)), store.remove(ids[:10]))  # [[0], [1]] True 10


if __name__ == "__main__":  # the local cluster's worker processes import this file too
    main()
