import random

from velmora import CompressedVectorStore

DIM = 128
rng = random.Random(7)


def random_vector() -> list[float]:
    return [rng.gauss(0.0, 1.0) for _ in range(DIM)]


store = CompressedVectorStore(DIM, 4)  # dimension (at least 32), bits per coordinate (2, 3 or 4)

vectors = {vector_id: random_vector() for vector_id in range(1000)}
store.insert_batch(list(vectors.items()))  # many (id, vector) pairs at once: all or nothing
store.insert(1000, random_vector())  # or one at a time; an existing id is updated in place

# A slightly perturbed copy of vector 42 finds vector 42 first.
query = [x + rng.gauss(0.0, 0.1) for x in vectors[42]]
for vector_id, score in store.query(query, top_k=3):
    print(f"id {vector_id:4d}  cosine ~ {score:.3f}")

print(len(store), "vectors in", store.memory_bytes(), "bytes")  # 1001 x (64 code bytes + a 4-byte norm)
print(store.remove(1000), store.remove(1000))  # True False
print(store)
