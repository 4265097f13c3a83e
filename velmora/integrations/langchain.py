"""velmora as a LangChain vector store: `pip install 'velmora[langchain]'`.

    from velmora.integrations.langchain import VelmoraVectorStore

    store = VelmoraVectorStore(embeddings, path="rag-store")   # or path=None: in memory
    store.add_texts(["..."], metadatas=[{"source": "a.pdf", "page": 3}])
    store.similarity_search("question", k=4, filter={"source": "a.pdf", "page": {"$gte": 2}})

Scores are cosine similarities, best first, and each search returns the true
top k among the documents that match the filter (the compressed index proposes,
the full vectors kept in SQLite decide). A filter is a dict, as for other
LangChain stores: `{"field": value}` for equality; `{"field": {"$op": value}}`
with `$eq`, `$ne`, `$gt`, `$gte`, `$lt`, `$lte`, `$in`, `$nin`, `$contains` (a
list element, or a substring of a string) and `$exists`; `{"$and": [...]}`,
`{"$or": [...]}` and `{"$not": {...}}`; nested fields as "a.b". Or a callable
taking a Document and returning a bool, which is called on every stored
document. A field that is missing counts as None: `$ne` and `$nin` match it.
"""

from __future__ import annotations

import asyncio
import os
import uuid
from collections.abc import Callable, Iterable, Sequence
from typing import Any, cast

import numpy as np
from langchain_core.documents import Document
from langchain_core.embeddings import Embeddings
from langchain_core.vectorstores import VectorStore
from langchain_core.vectorstores.utils import maximal_marginal_relevance

from ._filters import And, Condition, Filter, FilterError, Not, Or
from ._store import Collection, Handle, Record, Row

__all__ = ["VelmoraVectorStore"]

_OPERATORS = {
    "$eq": "eq",
    "$ne": "ne",
    "$gt": "gt",
    "$gte": "gte",
    "$lt": "lt",
    "$lte": "lte",
    "$in": "in",
    "$nin": "nin",
    "$contains": "contains",
    "$exists": "exists",
}
_SCALARS = (bool, int, float, str)


def parse_filter(description: dict[str, Any]) -> Filter:
    """A LangChain metadata filter dict as a velmora filter (FilterError, a
    ValueError, for anything it cannot mean)."""
    if not isinstance(description, dict):
        raise FilterError(f"a filter is a dict or a callable, got {type(description).__name__}")
    parts: list[Filter] = []
    for key, value in description.items():
        if not isinstance(key, str):
            raise FilterError(f"filter keys are strings, got {type(key).__name__} {key!r}")
        if key in ("$and", "$or"):
            if not isinstance(value, (list, tuple)) or not value:
                raise FilterError(f"{key} takes a non-empty list of filters, got {value!r}")
            inner = tuple(parse_filter(v) for v in value)
            parts.append(And(inner) if key == "$and" else Or(inner))
        elif key == "$not":
            parts.append(Not(parse_filter(value)))
        elif key.startswith("$"):
            raise FilterError(f"unknown filter operator {key!r} (known: $and, $or, $not)")
        elif isinstance(value, dict) and value and all(isinstance(op, str) and op.startswith("$") for op in value):
            for op, operand in value.items():
                if op not in _OPERATORS:
                    raise FilterError(f"unknown filter operator {op!r} for {key!r} (known: {', '.join(_OPERATORS)})")
                parts.append(_condition(key, _OPERATORS[op], operand))
        else:
            parts.append(_condition(key, "eq", value))
    return parts[0] if len(parts) == 1 else And(tuple(parts))


def _condition(field: str, op: str, value: Any) -> Condition:
    if op in ("gt", "gte", "lt", "lte") and (isinstance(value, bool) or not isinstance(value, _SCALARS)):
        raise FilterError(f"{field!r}: ${op} compares with a number or a string, got {type(value).__name__}")
    if op in ("in", "nin"):
        if not isinstance(value, (list, tuple)):
            raise FilterError(f"{field!r}: ${op} takes a list of values, got {type(value).__name__}")
        for item in value:
            if item is not None and not isinstance(item, _SCALARS):
                raise FilterError(f"{field!r}: ${op} takes numbers, strings or None, got {type(item).__name__}")
    if op == "contains" and (value is None or not isinstance(value, _SCALARS)):
        raise FilterError(f"{field!r}: $contains takes a number or a string, got {type(value).__name__}")
    if op == "exists" and not isinstance(value, bool):
        raise FilterError(f"{field!r}: $exists takes True or False, got {type(value).__name__}")
    if op in ("eq", "ne") and value is not None and not isinstance(value, (*_SCALARS, list, tuple, dict)):
        raise FilterError(f"{field!r}: cannot compare with a value of type {type(value).__name__}")
    return Condition(field, op, value)


def _document(row: Row) -> Document:
    return Document(id=row.id, page_content=row.text or "", metadata=row.meta)


def _no_more(kwargs: dict[str, Any], method: str) -> None:
    # An option this store does not know (a misspelt "filter", say) would
    # otherwise be ignored and the search run without it.
    if kwargs:
        raise TypeError(f"{method}() got unexpected keyword arguments: {', '.join(sorted(kwargs))}")


class VelmoraVectorStore(VectorStore):
    """A LangChain vector store whose vectors are kept compressed in RAM (2, 3
    or 4 `bits` per coordinate) and in full in SQLite: in memory, or durable in
    the directory `path` (every write is on disk when the call returns; the
    store reopens from there). Searches are exact: the k documents of highest
    cosine similarity, which is the score reported. Embeddings of fewer than 32
    dimensions are zero-padded for the index (cosines are unchanged); a zero
    embedding has cosine 0 with every query. Safe to use from several threads;
    the async methods run in a worker thread and leave the event loop free."""

    def __init__(self, embedding: Embeddings, *, path: str | os.PathLike[str] | None = None, bits: int = 4) -> None:
        if not isinstance(embedding, Embeddings):
            raise TypeError(f"embedding must be a langchain_core Embeddings, got {type(embedding).__name__}")
        self._embedding = embedding
        self._handle = Handle(self, path, bits)

    @property
    def embeddings(self) -> Embeddings:
        return self._embedding

    @property
    def _store(self) -> Collection:
        return self._handle.collection

    @property
    def collection(self) -> Collection:
        """The store underneath (its `index` tells the compressed memory)."""
        return self._handle.collection

    def close(self) -> None:
        """Closes this store; the last one open on a `path` in this process saves
        the compressed index beside the database and closes it. Later calls
        raise ValueError."""
        self._handle.close()

    def __enter__(self) -> VelmoraVectorStore:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    # -- writing --------------------------------------------------------------

    @staticmethod
    def _records(
        texts: Sequence[str],
        vectors: Sequence[Any],
        metadatas: Sequence[dict[str, Any]] | None,
        ids: Sequence[str | None] | None,
    ) -> list[Record]:
        if len(vectors) != len(texts):
            raise ValueError(f"the embeddings model returned {len(vectors)} embeddings for {len(texts)} texts")
        records = []
        for at, text in enumerate(texts):
            if not isinstance(text, str):
                raise TypeError(f"text {at} is a {type(text).__name__}, not a str")
            id_ = ids[at] if ids is not None else None
            if id_ is not None and not isinstance(id_, str):
                raise TypeError(f"ids are strings, got {type(id_).__name__} at position {at}")
            meta = metadatas[at] if metadatas is not None else {}
            records.append(Record(id_ or str(uuid.uuid4()), text, meta if meta is not None else {}, vectors[at]))
        return records

    @staticmethod
    def _check_lengths(texts: Sequence[str], metadatas: Sequence[Any] | None, ids: Sequence[Any] | None) -> None:
        if metadatas is not None and len(metadatas) != len(texts):
            raise ValueError(f"got {len(metadatas)} metadatas for {len(texts)} texts")
        if ids is not None and len(ids) != len(texts):
            raise ValueError(f"got {len(ids)} ids for {len(texts)} texts")

    def add_texts(
        self,
        texts: Iterable[str],
        metadatas: list[dict[str, Any]] | None = None,
        *,
        ids: list[str] | None = None,
        **kwargs: Any,
    ) -> list[str]:
        """Embeds and stores `texts`; an id already stored is replaced. Returns
        the ids (new ones are random UUIDs). All or nothing."""
        _no_more(kwargs, "add_texts")
        texts = list(texts)
        self._check_lengths(texts, metadatas, ids)
        vectors = self._embedding.embed_documents(texts) if texts else []
        records = self._records(texts, vectors, metadatas, ids)
        self._store.upsert(records)
        return [r.id for r in records]

    async def aadd_texts(
        self,
        texts: Iterable[str],
        metadatas: list[dict[str, Any]] | None = None,
        *,
        ids: list[str] | None = None,
        **kwargs: Any,
    ) -> list[str]:
        _no_more(kwargs, "aadd_texts")
        texts = list(texts)
        self._check_lengths(texts, metadatas, ids)
        vectors = await self._embedding.aembed_documents(texts) if texts else []
        records = self._records(texts, vectors, metadatas, ids)
        await asyncio.to_thread(self._store.upsert, records)
        return [r.id for r in records]

    def add_documents(self, documents: list[Document], **kwargs: Any) -> list[str]:
        """Stores `documents` under `ids=` if given, else under their own ids
        (random UUIDs for those without one)."""
        ids = kwargs.pop("ids", None)
        if ids is None:
            ids = [doc.id for doc in documents]
        return self.add_texts(
            [doc.page_content for doc in documents], [doc.metadata for doc in documents], ids=ids, **kwargs
        )

    async def aadd_documents(self, documents: list[Document], **kwargs: Any) -> list[str]:
        ids = kwargs.pop("ids", None)
        if ids is None:
            ids = [doc.id for doc in documents]
        return await self.aadd_texts(
            [doc.page_content for doc in documents], [doc.metadata for doc in documents], ids=ids, **kwargs
        )

    def delete(self, ids: list[str] | None = None, **kwargs: Any) -> bool | None:
        """Deletes the documents of `ids` (ids not stored are ignored), or every
        document if `ids` is None, as LangChain's interface has it."""
        _no_more(kwargs, "delete")
        if ids is None:
            self._store.delete_where()
        else:
            self._store.delete_ids(ids)
        return True

    async def adelete(self, ids: list[str] | None = None, **kwargs: Any) -> bool | None:
        return await asyncio.to_thread(self.delete, ids, **kwargs)

    def get_by_ids(self, ids: Sequence[str], /) -> list[Document]:
        """The stored documents of `ids`, in that order; ids not stored are left out."""
        return [_document(row) for row in self._store.get(ids)]

    async def aget_by_ids(self, ids: Sequence[str], /) -> list[Document]:
        return await asyncio.to_thread(self.get_by_ids, ids)

    # -- searching ------------------------------------------------------------

    def _rows(
        self,
        embedding: Sequence[float],
        k: int,
        filter: dict[str, Any] | Callable[[Document], bool] | None,  # noqa: A002 - LangChain's name
        with_vectors: bool = False,
    ) -> list[Row]:
        if filter is None:
            return self._store.search(embedding, k, with_vectors=with_vectors)
        if callable(filter):
            test = filter
            return self._store.search(
                embedding, k, predicate=lambda row: bool(test(_document(row))), with_vectors=with_vectors
            )
        return self._store.search(embedding, k, parse_filter(filter) if filter else None, with_vectors=with_vectors)

    def similarity_search_with_score_by_vector(
        self,
        embedding: list[float],
        k: int = 4,
        filter: dict[str, Any] | Callable[[Document], bool] | None = None,  # noqa: A002
        **kwargs: Any,
    ) -> list[tuple[Document, float]]:
        """The k documents of highest cosine with `embedding` among those that
        match `filter`, with those cosines, best first."""
        _no_more(kwargs, "similarity_search")
        return [(_document(row), float(row.score or 0.0)) for row in self._rows(embedding, k, filter)]

    def similarity_search_with_score(
        self,
        query: str,
        k: int = 4,
        filter: dict[str, Any] | Callable[[Document], bool] | None = None,  # noqa: A002
        **kwargs: Any,
    ) -> list[tuple[Document, float]]:
        return self.similarity_search_with_score_by_vector(self._embedding.embed_query(query), k, filter, **kwargs)

    async def asimilarity_search_with_score(
        self,
        query: str,
        k: int = 4,
        filter: dict[str, Any] | Callable[[Document], bool] | None = None,  # noqa: A002
        **kwargs: Any,
    ) -> list[tuple[Document, float]]:
        embedding = await self._embedding.aembed_query(query)
        return await asyncio.to_thread(self.similarity_search_with_score_by_vector, embedding, k, filter, **kwargs)

    def similarity_search(
        self,
        query: str,
        k: int = 4,
        filter: dict[str, Any] | Callable[[Document], bool] | None = None,  # noqa: A002
        **kwargs: Any,
    ) -> list[Document]:
        return [doc for doc, _ in self.similarity_search_with_score(query, k, filter, **kwargs)]

    async def asimilarity_search(
        self,
        query: str,
        k: int = 4,
        filter: dict[str, Any] | Callable[[Document], bool] | None = None,  # noqa: A002
        **kwargs: Any,
    ) -> list[Document]:
        return [doc for doc, _ in await self.asimilarity_search_with_score(query, k, filter, **kwargs)]

    def similarity_search_by_vector(
        self,
        embedding: list[float],
        k: int = 4,
        filter: dict[str, Any] | Callable[[Document], bool] | None = None,  # noqa: A002
        **kwargs: Any,
    ) -> list[Document]:
        return [doc for doc, _ in self.similarity_search_with_score_by_vector(embedding, k, filter, **kwargs)]

    async def asimilarity_search_by_vector(
        self,
        embedding: list[float],
        k: int = 4,
        filter: dict[str, Any] | Callable[[Document], bool] | None = None,  # noqa: A002
        **kwargs: Any,
    ) -> list[Document]:
        return await asyncio.to_thread(self.similarity_search_by_vector, embedding, k, filter, **kwargs)

    def _select_relevance_score_fn(self) -> Callable[[float], float]:
        # Cosine similarity in [-1, 1] onto LangChain's relevance in [0, 1].
        return lambda score: (1.0 + score) / 2.0

    def max_marginal_relevance_search_by_vector(
        self,
        embedding: list[float],
        k: int = 4,
        fetch_k: int = 20,
        lambda_mult: float = 0.5,
        filter: dict[str, Any] | Callable[[Document], bool] | None = None,  # noqa: A002
        **kwargs: Any,
    ) -> list[Document]:
        """`k` documents chosen by maximal marginal relevance among the `fetch_k`
        of highest cosine that match `filter`."""
        _no_more(kwargs, "max_marginal_relevance_search")
        if fetch_k < k:
            raise ValueError(f"fetch_k ({fetch_k}) must be at least k ({k})")
        rows = self._rows(embedding, fetch_k, filter, with_vectors=True)
        if not rows:
            return []
        chosen = maximal_marginal_relevance(
            np.asarray(embedding, dtype=np.float64),
            cast(Any, np.vstack([row.vector for row in rows if row.vector is not None])),
            k=min(k, len(rows)),
            lambda_mult=lambda_mult,
        )
        return [_document(rows[i]) for i in chosen]

    def max_marginal_relevance_search(
        self,
        query: str,
        k: int = 4,
        fetch_k: int = 20,
        lambda_mult: float = 0.5,
        filter: dict[str, Any] | Callable[[Document], bool] | None = None,  # noqa: A002
        **kwargs: Any,
    ) -> list[Document]:
        return self.max_marginal_relevance_search_by_vector(
            self._embedding.embed_query(query), k, fetch_k, lambda_mult, filter, **kwargs
        )

    async def amax_marginal_relevance_search(
        self,
        query: str,
        k: int = 4,
        fetch_k: int = 20,
        lambda_mult: float = 0.5,
        filter: dict[str, Any] | Callable[[Document], bool] | None = None,  # noqa: A002
        **kwargs: Any,
    ) -> list[Document]:
        embedding = await self._embedding.aembed_query(query)
        return await asyncio.to_thread(
            self.max_marginal_relevance_search_by_vector, embedding, k, fetch_k, lambda_mult, filter, **kwargs
        )

    async def amax_marginal_relevance_search_by_vector(
        self,
        embedding: list[float],
        k: int = 4,
        fetch_k: int = 20,
        lambda_mult: float = 0.5,
        filter: dict[str, Any] | Callable[[Document], bool] | None = None,  # noqa: A002
        **kwargs: Any,
    ) -> list[Document]:
        return await asyncio.to_thread(
            self.max_marginal_relevance_search_by_vector, embedding, k, fetch_k, lambda_mult, filter, **kwargs
        )

    # -- construction ---------------------------------------------------------

    @classmethod
    def from_texts(
        cls,
        texts: list[str],
        embedding: Embeddings,
        metadatas: list[dict[str, Any]] | None = None,
        *,
        ids: list[str] | None = None,
        path: str | os.PathLike[str] | None = None,
        bits: int = 4,
        **kwargs: Any,
    ) -> VelmoraVectorStore:
        """A store (in memory, or under `path`) holding `texts`."""
        store = cls(embedding, path=path, bits=bits)
        try:
            store.add_texts(texts, metadatas, ids=ids, **kwargs)
        except BaseException:
            store.close()
            raise
        return store

    @classmethod
    async def afrom_texts(
        cls,
        texts: list[str],
        embedding: Embeddings,
        metadatas: list[dict[str, Any]] | None = None,
        *,
        ids: list[str] | None = None,
        path: str | os.PathLike[str] | None = None,
        bits: int = 4,
        **kwargs: Any,
    ) -> VelmoraVectorStore:
        store = await asyncio.to_thread(cls, embedding, path=path, bits=bits)
        try:
            await store.aadd_texts(texts, metadatas, ids=ids, **kwargs)
        except BaseException:
            await asyncio.to_thread(store.close)
            raise
        return store
