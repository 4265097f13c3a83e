"""Type information for the native module: the compressed vector store."""

from collections.abc import Iterator, Sequence
from typing import Any, Protocol, Self, SupportsFloat, SupportsIndex, TypeAlias, final, type_check_only

__all__ = ["CompressedVectorStore"]

@type_check_only
class _ArrayLike(Protocol):
    """A one-dimensional numeric array, such as a numpy row: the store walks
    any object with the sequence protocol and reads each item as a float."""

    def __array__(self, *args: Any, **kwargs: Any) -> Any: ...
    def __len__(self) -> int: ...
    def __iter__(self) -> Iterator[Any]: ...

# Items may be floats or anything with __float__ or __index__ (ints, bools,
# numpy scalars); a str is refused at run time although it is a Sequence.
_Vector: TypeAlias = Sequence[SupportsFloat | SupportsIndex] | _ArrayLike

@final
class CompressedVectorStore:
    """Vectors of one dimension stored as 2, 3 or 4 bit codes of their
    rotated coordinates plus their norm, ranked by estimated cosine
    similarity."""

    def __new__(cls, dim: SupportsIndex, bits: SupportsIndex) -> Self:
        """A new, empty store. dim must be at least 32 and bits 2, 3 or 4,
        else ValueError."""

    def insert(self, id: SupportsIndex, vector: _Vector) -> None:
        """Insert a single vector. id is a u64, vector is a list of floats."""

    def insert_batch(self, pairs: Sequence[tuple[SupportsIndex, _Vector]]) -> None:
        """Insert many vectors at once. Faster than calling insert() in a loop.
        pairs is a list of (id, vector) tuples."""

    def remove(self, id: SupportsIndex) -> bool:
        """Remove a vector by id. Returns True if it existed."""

    def query(self, vector: _Vector, top_k: SupportsIndex) -> list[tuple[int, float]]:
        """Query top_k most similar vectors. Returns list of (id, score) tuples."""

    def query_all(self, vector: _Vector) -> list[tuple[int, float]]:
        """Score every vector in the store against the query.
        Returns list of (id, score) tuples sorted by score descending."""

    def memory_bytes(self) -> int:
        """Compressed memory usage in bytes (does not include Python overhead)."""

    def __len__(self) -> int: ...
