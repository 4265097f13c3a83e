"""velmora.Index: the compressed store with a numpy interface.

Index keeps the same records as CompressedVectorStore (a float32 norm and
2 to 4 bit codes of the rotated unit vector) and gives the same codes and
bit-identical scores for the same operations, but takes and returns numpy
arrays, answers many queries per call, filters candidates by id, removes many
ids at once, and can be saved, loaded, pickled and copied.

This module checks and converts what callers pass (ids, float arrays and
counts by the rules of velmora._arrays, which the sharded store shares); the
native module velmora._index_core does the work, with the interpreter lock
released while it encodes, scans, saves and loads.
"""

from __future__ import annotations

import operator
import os
from typing import Any, Union

import numpy as np
import numpy.typing as npt

from ._arrays import _MAX_ID, _count, _float_array, _ids_array, _positive
from ._index_core import IndexCore
from ._rerank import ExactPass, FullVectors, RerankError, Searchable, reranked_search

__all__ = ["Index", "RerankError"]

PathLike = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]


class Index:
    """Vectors of one dimension stored as `bits`-bit codes of their randomly
    rotated coordinates plus their norm, searched by estimated cosine
    similarity. Ids are integers in [0, 2**64).

    `add`, `search`, `remove`, `reconstruct` take and return numpy arrays.
    Each call is all or nothing: a call that raises leaves the index as it
    was. Calls release the interpreter lock while they encode, scan, save or
    load; searches from several threads run side by side, while a call that
    would change the index refuses (RuntimeError) to run beside any other call
    on the same index, and other calls refuse to run beside it."""

    __slots__ = ("_core",)

    def __init__(self, dim: int, bits: int = 4) -> None:
        """An empty index. `dim` from 32 to 65536, `bits` 2, 3 or 4. The first
        index of a dimension builds its rotation (about 0.3 s at 384)."""
        self._core = IndexCore(operator.index(dim), operator.index(bits))

    @classmethod
    def _wrap(cls, core: IndexCore) -> Index:
        index = cls.__new__(cls)
        index._core = core
        return index

    # -- properties ---------------------------------------------------------

    @property
    def dim(self) -> int:
        """Dimension of the stored vectors."""
        return int(self._core.dim)

    @property
    def bits(self) -> int:
        """Bits per coordinate code: 2, 3 or 4."""
        return int(self._core.bits)

    @property
    def record_bytes(self) -> int:
        """Bytes of packed codes per vector: ceil(dim * bits / 8)."""
        return (self.dim * self.bits + 7) // 8

    @property
    def ids(self) -> npt.NDArray[np.uint64]:
        """The stored ids as a new uint64 array, in storage order (the order of
        first insertion; a removal moves the last vector into the gap)."""
        return np.frombuffer(self._core.ids(), dtype=np.uint64)

    def __len__(self) -> int:
        return len(self._core)

    def __contains__(self, id: object) -> bool:
        """Whether `id` is stored. Integers (and numpy integers) are looked up;
        negative or too large integers are never stored; anything else raises
        TypeError."""
        try:
            value = operator.index(id)  # type: ignore[arg-type]
        except TypeError:
            raise TypeError(f"Index ids are integers, got {type(id).__name__}") from None
        return 0 <= value <= _MAX_ID and bool(self._core.contains(value))

    @property
    def partitions(self) -> int:
        """The number of lists the vectors are grouped in (0 for a flat index)."""
        return int(self._core.partitioning()[0])

    @property
    def default_probes(self) -> int:
        """The lists a search reads by default, measured by `partition` on the
        index's own vectors (0 for a flat index)."""
        return int(self._core.partitioning()[1])

    def memory_bytes(self) -> int:
        """The compressed payload: len(index) * (ceil(dim * bits / 8) + 6)
        bytes: the codes, a float32 norm and a 16-bit error bound per vector
        (CompressedVectorStore keeps no error bound: 4 bytes fewer); a
        partitioned index adds partitions * (4 * dim + 16) bytes for its
        centroids and lists and 4 bytes per block of 32 vectors."""
        return int(self._core.memory_bytes())

    def __repr__(self) -> str:
        return (
            f"{type(self).__name__}(dim={self.dim}, bits={self.bits}, n={len(self)}, "
            f"memory={self.memory_bytes() / 1024:.1f}KB)"
        )

    # -- changing the index -------------------------------------------------

    def add(self, ids: npt.ArrayLike, vectors: npt.ArrayLike) -> None:
        """Stores row i of `vectors` (shape (n, dim), float32 or float64, any
        memory order) under ids[i]. An id already stored is updated in place;
        an id repeated within the call ends with its last row at the position
        of its first. float64 values are rounded to float32. All or nothing: a
        row that is zero, tiny or holds NaN or an infinity raises ValueError
        naming the row and its id, and nothing is stored."""
        id_array = _ids_array(ids)
        matrix = _float_array(vectors, "vectors")
        if matrix.ndim != 2:
            raise ValueError(f"vectors must be 2-D, of shape (n, {self.dim}); got shape {matrix.shape}")
        self._core.add(id_array, matrix)

    def partition(self, partitions: int | None = None) -> None:
        """Groups the stored vectors into `partitions` lists around centroids
        found by k-means (cosine similarity, on the stored codes), so that a
        search reads only the lists nearest its query (see `search`'s
        probes). None chooses about sqrt(len(index)) lists. Deterministic: the
        same index gives the same lists in every process, with any thread
        count and at every SIMD level. It measures `default_probes` on the
        index's own vectors. The codes, norms and error bounds do not change,
        so scores stay bit-identical; `add` then puts each new or updated
        vector in its nearest list, and calling partition again regroups
        everything without re-encoding. ValueError on an empty index or
        partitions outside 1 to len(index)."""
        lists = 0 if partitions is None else _positive(partitions, "partitions")
        self._core.partition(lists)

    def remove(self, ids: npt.ArrayLike) -> int:
        """Removes the given ids, in order, and returns how many were stored
        (ids not stored, and repeats, count nothing). Each removal moves the
        last stored vector into the freed position, as
        CompressedVectorStore.remove does."""
        return int(self._core.remove(_ids_array(ids)))

    def import_records(
        self, ids: npt.ArrayLike, norms: npt.ArrayLike, codes: npt.ArrayLike, error_bounds: npt.ArrayLike | None = None
    ) -> None:
        """Upserts records as `export_records` returns them, without encoding
        anything: ids[i] gets norms[i] (float32), codes[i] (uint8, shape (n,
        record_bytes)) and error_bounds[i] (uint16; None marks the bounds
        unknown, and search(..., exact=True) then refuses until those vectors
        are added again). All or nothing; a norm that is not finite and at
        least 1e-30, or nonzero spare bits, raises ValueError."""
        id_array = _ids_array(ids)
        norm_array = np.asarray(norms)
        if norm_array.dtype != np.float32:
            raise TypeError(f"norms must be float32, got dtype {norm_array.dtype}")
        code_array = np.asarray(codes)
        if code_array.dtype != np.uint8:
            raise TypeError(f"codes must be uint8, got dtype {code_array.dtype}")
        bound_array = None
        if error_bounds is not None:
            bound_array = np.asarray(error_bounds)
            if bound_array.dtype != np.uint16:
                raise TypeError(f"error_bounds must be uint16, got dtype {bound_array.dtype}")
        self._core.import_records(id_array, norm_array.astype(np.float32, copy=False), code_array, bound_array)

    # -- reading the index ------------------------------------------------

    def search(
        self,
        queries: npt.ArrayLike,
        k: int = 10,
        *,
        allowed: npt.ArrayLike | None = None,
        rerank: Any = None,
        candidates: int | None = None,
        exact: bool = False,
        probes: int | None = None,
    ) -> tuple[npt.NDArray[np.uint64], npt.NDArray[np.float32]]:
        """The k best stored vectors for each query, best first: (ids, scores)
        as uint64 and float32 arrays.

        `queries` is one vector (shape (dim,)) or a matrix of them (shape (m,
        dim)); the results then have shape (c,) or (m, c), where c = min(k,
        candidates). Without `rerank`, row i holds exactly the ids and
        scores, in the same order, that CompressedVectorStore.query(queries[i],
        k) returns: estimates of cosine similarity, highest first, NaN scores
        last, equal scores in storage order.

        `allowed`, an array-like of ids, restricts the candidates to those of
        its ids that are stored (others are ignored); candidates is then their
        number. An empty index, or no allowed candidate, gives empty results of
        the shapes above (the store raises ValueError instead).

        `rerank` gives the full vectors: a 2-D array (a numpy array, an
        np.memmap, anything numpy can index with an integer array) whose row i
        is the vector of id i, or a callable that takes a uint64 array of ids
        and returns their vectors, shape (len(ids), dim); float32 or float64.
        The scores are then exact cosine similarities computed in float64 from
        those values (returned as float32), best first, equal scores by
        smaller id: of the `candidates` (default 6, 12 or 20 times k at 4, 3
        or 2 bits) of largest integer bound sums (the compressed search's
        first pass; equal sums by smaller id), or, with exact=True, of every
        stored, allowed vector: the true top k, reading only the full vectors
        that the per-vector error bounds cannot rule out. An unusable vector
        raises RerankError (a ValueError) naming its id.

        On a partitioned index (see `partition`), the compressed search reads
        the `probes` lists whose centroids are nearest each query (default
        `default_probes`), and the lists after them while those hold fewer
        than c candidates; probes >= `partitions` gives the flat search's ids
        and scores (equal scores may come in another order). exact=True
        returns the true top k whatever `probes` is, scanning the lists whose
        bound reaches the k-th best exact score. probes on a flat index, or
        below 1, raises ValueError."""
        matrix = _float_array(queries, "queries")
        if matrix.ndim not in (1, 2):
            raise ValueError(f"queries must be 1-D (dim,) or 2-D (m, dim), got shape {matrix.shape}")
        k = _count(k, "k")
        allowed_ids = None if allowed is None else _ids_array(allowed, "allowed")
        lists = None if probes is None else _positive(probes, "probes")
        rows = matrix if matrix.ndim == 2 else matrix[np.newaxis, :]
        if rerank is None:
            if candidates is not None or exact:
                raise ValueError("candidates and exact=True need rerank, the full vectors to score with")
            ids, scores = self._compressed_search(rows, k, allowed_ids, lists)
        else:
            lists = self._probes(lists)
            searched: Searchable = self if lists == 0 else _Probed(self, lists)
            ids, scores = reranked_search(
                searched, rows, k, allowed_ids, FullVectors(rerank, self.dim), candidates, bool(exact)
            )
        if matrix.ndim == 1:
            return ids[0], scores[0]
        return ids, scores

    def _probes(self, probes: int | None) -> int:
        """The lists a search reads (None: the default): 0 for all of them
        (a flat index)."""
        partitions, default = self._core.partitioning()
        if probes is None:
            return int(default)
        if partitions == 0:
            raise ValueError("probes needs a partitioned index: call partition() first")
        return min(probes, int(partitions))

    def _compressed_search(
        self, rows: npt.NDArray[Any], k: int, allowed: npt.NDArray[np.uint64] | None, probes: int | None = 0
    ) -> tuple[npt.NDArray[np.uint64], npt.NDArray[np.float32]]:
        # probes None reads the default lists, 0 every one.
        id_bytes, score_bytes, kept = self._core.search(rows, k, allowed, probes)
        shape = (rows.shape[0], kept)
        return (
            np.frombuffer(id_bytes, dtype=np.uint64).reshape(shape),
            np.frombuffer(score_bytes, dtype=np.float32).reshape(shape),
        )

    # The re-ranking's view of this index (velmora._rerank.Searchable).
    def _compressed_ids(
        self, queries: npt.NDArray[Any], k: int, allowed: npt.NDArray[np.uint64] | None
    ) -> npt.NDArray[np.uint64]:
        return self._compressed_search(queries, k, allowed)[0]

    def _rerank_candidates(
        self, queries: npt.NDArray[Any], c: int, allowed: npt.NDArray[np.uint64] | None, probes: int = 0
    ) -> npt.NDArray[np.uint64]:
        return self._rerank_candidate_keys(queries, c, allowed, probes)[0]

    def _rerank_candidate_keys(
        self, queries: npt.NDArray[Any], c: int, allowed: npt.NDArray[np.uint64] | None, probes: int = 0
    ) -> tuple[npt.NDArray[np.uint64], npt.NDArray[np.float32]]:
        """The candidates a re-ranking reads for each query (rows of ids, as
        many as the search would give), with the keys that chose them: on a
        flat index, or with probes 0, the c largest integer bound sums (equal
        sums by smaller id), found without an exact score; with probes, the
        same among the probed lists."""
        id_bytes, key_bytes, kept = self._core.rerank_candidates(queries, c, allowed, probes)
        shape = (queries.shape[0], kept)
        return (
            np.frombuffer(id_bytes, dtype=np.uint64).reshape(shape),
            np.frombuffer(key_bytes, dtype=np.float32).reshape(shape),
        )

    def _exact_pass(
        self, queries: npt.NDArray[Any], first: int, k: int, allowed: npt.NDArray[np.uint64] | None
    ) -> ExactPass:
        first_ids, sums, first_upper, first_counts, others, others_upper, other_counts, assumed = self._core.exact_pass(
            queries, first, k, allowed
        )
        return ExactPass(
            np.frombuffer(first_ids, dtype=np.uint64),
            np.frombuffer(sums, dtype=np.float32),
            np.frombuffer(first_upper, dtype=np.float64),
            np.frombuffer(first_counts, dtype=np.uint64).astype(np.intp),
            np.frombuffer(others, dtype=np.uint64),
            np.frombuffer(others_upper, dtype=np.float64),
            np.frombuffer(other_counts, dtype=np.uint64).astype(np.intp),
            np.frombuffer(assumed, dtype=np.float64),
        )

    def _read_list(
        self, queries: npt.NDArray[Any], taus: npt.NDArray[np.float64], allowed: npt.NDArray[np.uint64] | None
    ) -> tuple[npt.NDArray[np.uint64], npt.NDArray[np.uint64]]:
        ids, counts = self._core.read_list(queries, taus, allowed)
        return np.frombuffer(ids, dtype=np.uint64), np.frombuffer(counts, dtype=np.uint64)

    def _unknown_error_bounds(self) -> int:
        return int(self._core.unknown_error_bounds())

    def reconstruct(self, ids: npt.ArrayLike) -> npt.NDArray[np.float32]:
        """The decoded approximation of each stored vector, shape (n, dim),
        float32: coordinate j is norm * (column j of the rotation) . (codebook
        level of each code), summed in the engine's fixed eight-lane order.
        An id that is not stored raises KeyError."""
        id_array = _ids_array(ids)
        return np.frombuffer(self._core.reconstruct(id_array), dtype=np.float32).reshape(len(id_array), self.dim)

    def export_records(
        self, ids: npt.ArrayLike
    ) -> tuple[npt.NDArray[np.float32], npt.NDArray[np.uint8], npt.NDArray[np.uint16]]:
        """The stored records of `ids`: norms (float32, shape (n,)), packed
        codes (uint8, shape (n, record_bytes), the file format's layout) and
        error bounds (uint16, shape (n,); 65535 where unknown), which
        `import_records` takes as they are. An id that is not stored raises
        KeyError."""
        id_array = _ids_array(ids)
        norm_bytes, code_bytes, bound_bytes = self._core.export_records(id_array)
        return (
            np.frombuffer(norm_bytes, dtype=np.float32),
            np.frombuffer(code_bytes, dtype=np.uint8).reshape(len(id_array), self.record_bytes),
            np.frombuffer(bound_bytes, dtype=np.uint16),
        )

    # -- persistence --------------------------------------------------------

    def save(self, path: PathLike) -> None:
        """Writes the index to `path` atomically: a temporary file in the same
        directory is written, flushed to disk and renamed over `path`. If
        anything fails (OSError), `path` keeps its previous contents and no
        temporary file is left. See docs/file-format.md."""
        self._core.save(os.fsencode(path))

    @classmethod
    def load(cls, path: PathLike) -> Index:
        """Reads an index file. A file that is not a complete, intact velmora
        index of a supported version raises ValueError naming the problem."""
        return cls._wrap(IndexCore.load(os.fsencode(path)))

    def to_bytes(self) -> bytes:
        """The contents `save` would write."""
        return bytes(self._core.to_bytes())

    @classmethod
    def from_bytes(cls, data: bytes | bytearray | memoryview) -> Index:
        """An index from the contents of an index file; ValueError like `load`."""
        return cls._wrap(IndexCore.from_bytes(data))

    def __reduce__(self) -> tuple[Any, tuple[bytes]]:
        # Pickling, copy.copy and copy.deepcopy all make an independent index.
        return type(self).from_bytes, (self.to_bytes(),)


class _Probed:
    """An index as one re-ranked search sees it: its compressed search reads
    `probes` lists."""

    __slots__ = ("_index", "_probes")

    def __init__(self, index: Index, probes: int) -> None:
        self._index = index
        self._probes = probes

    @property
    def dim(self) -> int:
        return self._index.dim

    @property
    def bits(self) -> int:
        return self._index.bits

    def _compressed_ids(
        self, queries: npt.NDArray[Any], k: int, allowed: npt.NDArray[np.uint64] | None
    ) -> npt.NDArray[np.uint64]:
        return self._index._compressed_search(queries, k, allowed, self._probes)[0]

    def _rerank_candidates(
        self, queries: npt.NDArray[Any], c: int, allowed: npt.NDArray[np.uint64] | None
    ) -> npt.NDArray[np.uint64]:
        return self._index._rerank_candidates(queries, c, allowed, self._probes)

    def _exact_pass(
        self, queries: npt.NDArray[Any], first: int, k: int, allowed: npt.NDArray[np.uint64] | None
    ) -> ExactPass:
        return self._index._exact_pass(queries, first, k, allowed)

    def _read_list(
        self, queries: npt.NDArray[Any], taus: npt.NDArray[np.float64], allowed: npt.NDArray[np.uint64] | None
    ) -> tuple[npt.NDArray[np.uint64], npt.NDArray[np.uint64]]:
        return self._index._read_list(queries, taus, allowed)

    def _unknown_error_bounds(self) -> int:
        return self._index._unknown_error_bounds()
