import os
import tempfile

import numpy as np

from velmora import Index

rng = np.random.default_rng(7)
vectors = rng.standard_normal((1000, 128), dtype=np.float32)  # your embeddings, one per row

index = Index(128, bits=4)  # dimension (at least 32), bits per coordinate (2, 3 or 4)
index.add(np.arange(1000), vectors)  # ids and rows; an id already stored is updated in place

# Slightly perturbed copies of vectors 42 and 7 find them first.
queries = vectors[[42, 7]] + rng.normal(0.0, 0.1, (2, 128)).astype(np.float32)
ids, scores = index.search(queries, k=3)  # shape (2, 3), best first
print(ids[:, 0].tolist(), [f"{s:.3f}" for s in scores[:, 0]])

ids, scores = index.search(queries[0], k=2, allowed=np.arange(100, 200))  # only among these ids
print(ids.shape, bool(np.all((100 <= ids) & (ids < 200))))

# With the full vectors at hand (an array, an np.memmap of a .npy file, or a callable that fetches
# rows by id), scores are exact cosines; exact=True proves the result is the true top k.
ids, scores = index.search(queries, k=3, rerank=vectors, exact=True)
print(ids[:, 0].tolist(), [f"{s:.3f}" for s in scores[:, 0]])

print(len(index), "vectors in", index.memory_bytes(), "bytes")  # 1000 x (64 code bytes, norm, error bound)
print(index.remove([3, 4, 4000]))  # 2: an id that is not stored counts nothing

path = os.path.join(tempfile.mkdtemp(), "vectors.vidx")
index.save(path)  # atomic; Index.load gives back the same index
print(Index.load(path))

# For many vectors: 16 lists around k-means centroids; a search then reads only the nearest lists
# (index.default_probes of them, or probes=...), with the same scores.
index.partition(16)
ids, _ = index.search(queries, k=3)
print(index.partitions, ids[:, 0].tolist())
