"""Type information for the native half of velmora.Index (use velmora.Index)."""

from typing import Any, Self, SupportsIndex, final

@final
class IndexCore:
    """The native index behind velmora.Index."""

    def __new__(cls, dim: SupportsIndex, bits: SupportsIndex) -> Self: ...
    @property
    def dim(self) -> int:
        """Dimension of the stored vectors."""
    @property
    def bits(self) -> int:
        """Bits per coordinate code."""
    def __len__(self) -> int: ...
    def memory_bytes(self) -> int:
        """Compressed payload in bytes."""
    def contains(self, id: SupportsIndex, /) -> bool:
        """Whether id is stored."""
    def ids(self) -> bytearray:
        """The stored ids in storage order, as uint64 bytes."""
    def add(self, ids: Any, vectors: Any, /) -> None:
        """Upserts rows of a float matrix."""
    def remove(self, ids: Any, /) -> int:
        """Removes ids in order; returns how many were stored."""
    def import_records(self, ids: Any, norms: Any, codes: Any, error_bounds: Any, /) -> None:
        """Upserts records exported by export_records (error_bounds None: unknown)."""
    def search(
        self, queries: Any, k: SupportsIndex, allowed: Any, probes: SupportsIndex | None, /
    ) -> tuple[bytearray, bytearray, int]:
        """The k best of every query: (ids, scores, k kept); probes 0 reads every list, None the default ones."""
    def rerank_candidates(
        self, queries: Any, c: SupportsIndex, allowed: Any, probes: SupportsIndex | None, /
    ) -> tuple[bytearray, bytearray, int]:
        """The c candidates a re-ranking reads for every query: (ids, keys, c kept), as search gives them."""
    def partition(self, lists: SupportsIndex, /) -> None:
        """Lays the records out in lists around k-means centroids (0: the default count)."""
    def partitioning(self) -> tuple[int, int]:
        """(partitions, default probes), 0 and 0 for a flat index."""
    def exact_pass(
        self, queries: Any, first: SupportsIndex, k: SupportsIndex, allowed: Any, /
    ) -> tuple[bytearray, bytearray, bytearray, bytearray, bytearray, bytearray, bytearray, bytearray]:
        """One pass of an exact search: (first ids, sums, upper bounds, counts,
        other ids, upper bounds, counts, assumptions) as bytes."""
    def read_list(self, queries: Any, taus: Any, allowed: Any, /) -> tuple[bytearray, bytearray]:
        """Ids whose true cosine may reach each query's tau, and their count per query."""
    def unknown_error_bounds(self) -> int:
        """How many stored vectors have no error bound."""
    def reconstruct(self, ids: Any, /) -> bytearray:
        """Decoded approximations as float32 bytes."""
    def export_records(self, ids: Any, /) -> tuple[bytearray, bytearray, bytearray]:
        """Norms (float32 bytes), packed codes and error bounds (uint16 bytes) of stored ids."""
    def save(self, path: bytes, /) -> None:
        """Writes the index file at path (bytes) atomically."""
    def to_bytes(self) -> bytes:
        """The index file's contents."""
    @classmethod
    def load(cls, path: bytes, /) -> Self:
        """Reads an index file."""
    @classmethod
    def from_pairs(cls, dim: SupportsIndex, bits: SupportsIndex, pairs: Any, /) -> Self:
        """An index holding what CompressedVectorStore(dim, bits).insert_batch(pairs)
        stores, with its conversions and errors."""
    @classmethod
    def from_pair(cls, dim: SupportsIndex, bits: SupportsIndex, id: Any, vector: Any, /) -> Self:
        """An index holding what CompressedVectorStore(dim, bits).insert(id, vector)
        stores, with its conversions and errors."""
    @classmethod
    def from_bytes(cls, data: Any, /) -> Self:
        """Reads an index file's contents."""

def engine_config() -> dict[str, Any]:
    """How the engine was built, the CPU it runs on, the kernels it chose and its worker threads, as a dict."""

def exact_cosines(queries: Any, rows: Any, pair_query: Any, pair_row: Any, /) -> bytearray:
    """Exact cosine similarity of each pair (a row of queries and a row of rows), as float64 bytes."""

def write_file_atomically(path: bytes, data: Any, /) -> None:
    """Replaces the file at path (bytes) by data, atomically, as save does."""
