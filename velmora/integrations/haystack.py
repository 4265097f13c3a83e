"""velmora as a Haystack document store: `pip install 'velmora[haystack]'`.

    from velmora.integrations.haystack import VelmoraDocumentStore, VelmoraEmbeddingRetriever

    store = VelmoraDocumentStore(path="rag-store")          # or path=None: in memory
    store.write_documents(embedded_documents)               # DuplicatePolicy.FAIL by default
    retriever = VelmoraEmbeddingRetriever(store, top_k=5)   # a component for a Pipeline
    retriever.run(query_embedding=[...], filters={"field": "meta.year", "operator": ">=", "value": 2020})

Filters are Haystack's: comparisons ==, !=, >, >=, <, <=, in, not in on
"meta.<field>" (nested fields as "meta.a.b"), "content" or "id", joined by AND,
OR and NOT. Strings compare by order only as ISO 8601 dates (a date without a
time zone is taken as UTC); a value of another type than the filter's never
matches. Documents may come without an embedding: they are found by filters,
never by the retriever. Document.score is the cosine similarity with the query,
and the documents returned are the true top k among those that match.
"""

from __future__ import annotations

import asyncio
import base64
import os
from collections.abc import Iterable
from datetime import datetime
from typing import Any

from haystack import Document, component, default_from_dict, default_to_dict
from haystack.dataclasses import ByteStream, SparseEmbedding
from haystack.document_stores.errors import DuplicateDocumentError
from haystack.document_stores.types import DuplicatePolicy, FilterPolicy, apply_filter_policy
from haystack.errors import FilterError as HaystackFilterError

from . import _filters
from ._filters import And, Condition, Filter, Not, Or
from ._store import Collection, DuplicateIdError, Handle, Record, Row

__all__ = ["VelmoraDocumentStore", "VelmoraEmbeddingRetriever", "VelmoraFilterError"]


class VelmoraFilterError(HaystackFilterError, _filters.FilterError):
    """A filter this store cannot evaluate: Haystack's FilterError, and a ValueError."""


_COMPARISONS = {"==": "eq", "!=": "ne", ">": "gt", ">=": "gte", "<": "lt", "<=": "lte", "in": "in", "not in": "nin"}
_DOCUMENT_FIELDS = frozenset(["id", "content", "blob", "meta", "score", "embedding", "sparse_embedding"])


def parse_filters(filters: Any) -> Filter:
    """Haystack filters as a velmora filter; VelmoraFilterError for anything malformed."""
    if not isinstance(filters, dict):
        raise VelmoraFilterError(f"filters are a dict, got {type(filters).__name__}")
    if "field" in filters:
        return _comparison(filters)
    if "operator" not in filters:
        raise VelmoraFilterError(f"'operator' key missing in {filters}")
    if "conditions" not in filters:
        raise VelmoraFilterError(f"'conditions' key missing in {filters}")
    operator, conditions = filters["operator"], filters["conditions"]
    if operator not in ("AND", "OR", "NOT"):
        raise VelmoraFilterError(f"Unknown logical operator '{operator}'. Valid operators are: ['AND', 'NOT', 'OR']")
    if not isinstance(conditions, list):
        raise VelmoraFilterError(f"'conditions' is a list of filters, got {type(conditions).__name__}")
    parts = tuple(parse_filters(c) for c in conditions)
    if operator == "AND":
        return And(parts)
    if operator == "OR":
        return Or(parts)
    return Not(And(parts))


def _comparison(condition: dict[str, Any]) -> Filter:
    for key in ("operator", "value"):
        if key not in condition:
            raise VelmoraFilterError(f"'{key}' key missing in {condition}")
    field, operator, value = condition["field"], condition["operator"], condition["value"]
    if not isinstance(field, str):
        raise VelmoraFilterError(f"'field' is a string, got {type(field).__name__}")
    if operator not in _COMPARISONS:
        raise VelmoraFilterError(
            f"Unknown comparison operator '{operator}'. Valid operators are: {sorted(_COMPARISONS)}"
        )
    op = _COMPARISONS[operator]
    if field.startswith("meta."):
        name, column = field[len("meta.") :], False
    elif field in ("id", "content"):
        name, column = ("text" if field == "content" else "id"), True
    elif field in _DOCUMENT_FIELDS or "." in field:
        raise VelmoraFilterError(f"cannot filter on {field!r}: filter on 'meta.<field>', 'content' or 'id'")
    else:
        name, column = field, False  # a filter of Haystack 1.x, which names meta fields bare
    if op in ("gt", "gte", "lt", "lte"):
        if value is None:
            return Or(())  # None orders with nothing
        if isinstance(value, list):
            raise VelmoraFilterError(
                f"Filter value can't be of type {type(value)} using operators '>', '>=', '<', '<='"
            )
        if not isinstance(value, (int, float, str, datetime)):
            raise VelmoraFilterError(f"'{operator}' compares numbers and ISO dates, got {type(value).__name__}")
    if op in ("in", "nin") and not isinstance(value, list):
        raise VelmoraFilterError(
            f"Filter value must be a `list` when using operator 'in' or 'not in', received type '{type(value)}'"
        )
    if (
        op in ("eq", "ne")
        and value is not None
        and not isinstance(value, (bool, int, float, str, list, dict, datetime))
    ):
        raise VelmoraFilterError(f"cannot compare {field!r} with a value of type {type(value).__name__}")
    try:
        return _checked(Condition(name, op, value, column=column, dates=not column))
    except _filters.FilterError as exc:
        raise VelmoraFilterError(str(exc)) from None


def _checked(condition: Condition) -> Condition:
    # Plans the condition once so that a value it cannot take fails here, before
    # any store is touched.
    _filters._plan(condition)
    return condition


def _to_record(document: Document) -> Record:
    extra: dict[str, Any] = {}
    if document.blob is not None:
        extra["blob"] = {
            "data": base64.b64encode(document.blob.data).decode("ascii"),
            "meta": document.blob.meta,
            "mime_type": document.blob.mime_type,
        }
    if document.sparse_embedding is not None:
        extra["sparse_embedding"] = document.sparse_embedding.to_dict()
    if document.score is not None:
        extra["score"] = document.score
    return Record(document.id, document.content, document.meta, document.embedding, extra or None)


def _to_document(row: Row, *, embedding: bool, score: float | None = None) -> Document:
    extra = row.extra or {}
    blob = None
    if "blob" in extra:
        stored = extra["blob"]
        blob = ByteStream(data=base64.b64decode(stored["data"]), meta=stored["meta"], mime_type=stored["mime_type"])
    sparse = SparseEmbedding.from_dict(extra["sparse_embedding"]) if "sparse_embedding" in extra else None
    return Document(
        id=row.id,
        content=row.text,
        blob=blob,
        meta=row.meta,
        score=extra.get("score") if score is None else score,
        embedding=row.vector.tolist() if embedding and row.vector is not None else None,
        sparse_embedding=sparse,
    )


def _documents(documents: Any) -> list[Document]:
    if isinstance(documents, (str, bytes, dict)) or not isinstance(documents, Iterable):
        raise ValueError("Please provide a list of Documents.")
    documents = list(documents)
    if any(not isinstance(d, Document) for d in documents):
        raise ValueError("Please provide a list of Documents.")
    return documents


class VelmoraDocumentStore:
    """A Haystack document store whose embeddings are kept compressed in RAM (2,
    3 or 4 `bits` per coordinate) and in full in SQLite: in memory, or durable
    in the directory `path` (every write is on disk when the call returns; the
    store reopens from there). Embedding retrieval is exact: the documents of
    highest cosine similarity. Embeddings of fewer than 32 dimensions are
    zero-padded for the index (cosines are unchanged); a zero embedding has
    cosine 0 with every query. Safe to use from several threads; the *_async
    methods run in a worker thread and leave the event loop free."""

    def __init__(self, *, path: str | os.PathLike[str] | None = None, bits: int = 4) -> None:
        self._path = None if path is None else os.fspath(path)
        self._bits = bits
        self._handle = Handle(self, path, bits)

    @property
    def _store(self) -> Collection:
        return self._handle.collection

    @property
    def collection(self) -> Collection:
        """The store underneath (its `index` tells the compressed memory)."""
        return self._handle.collection

    def close(self) -> None:
        """Closes this store; the last one open on a `path` in this process saves
        the compressed index beside the database and closes it."""
        self._handle.close()

    def __enter__(self) -> VelmoraDocumentStore:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def to_dict(self) -> dict[str, Any]:
        """The store's settings (a store in memory comes back empty)."""
        return default_to_dict(self, path=self._path, bits=self._bits)

    @classmethod
    def from_dict(cls, data: dict[str, Any]) -> VelmoraDocumentStore:
        return default_from_dict(cls, data)

    # -- the DocumentStore protocol -------------------------------------------

    def count_documents(self) -> int:
        return self._store.count()

    def filter_documents(self, filters: dict[str, Any] | None = None) -> list[Document]:
        """The documents that match `filters` (all if None or empty), in the order
        they were first written, with their embeddings."""
        where = parse_filters(filters) if filters else None
        return [_to_document(row, embedding=True) for row in self._store.find(where, with_vectors=True)]

    def write_documents(self, documents: list[Document], policy: DuplicatePolicy = DuplicatePolicy.NONE) -> int:
        """Writes `documents`; with DuplicatePolicy.NONE or FAIL an id already
        stored (or repeated) raises DuplicateDocumentError and nothing is
        written, SKIP keeps the stored document, OVERWRITE replaces it. Returns
        how many were written. All or nothing."""
        documents = _documents(documents)
        if not isinstance(policy, DuplicatePolicy):
            raise ValueError(f"policy must be a DuplicatePolicy, got {policy!r}")
        mode = {DuplicatePolicy.SKIP: "skip", DuplicatePolicy.OVERWRITE: "overwrite"}.get(policy, "fail")
        try:
            written = self._store.upsert([_to_record(d) for d in documents], mode)
        except DuplicateIdError as exc:
            raise DuplicateDocumentError(f"ID '{exc.ids[0]}' already exists.") from exc
        return len(documents) if mode == "overwrite" else written

    def delete_documents(self, document_ids: list[str]) -> None:
        """Deletes the documents of `document_ids`; ids not stored are ignored."""
        self._store.delete_ids(document_ids)

    # -- beyond the protocol, as Haystack's stores have them --------------------

    def delete_all_documents(self) -> None:
        self._store.clear()

    def delete_by_filter(self, filters: dict[str, Any]) -> int:
        """Deletes the documents that match `filters`; returns their number."""
        return self._store.delete_where(parse_filters(filters))

    def update_by_filter(self, filters: dict[str, Any], meta: dict[str, Any]) -> int:
        """Merges `meta` into the metadata of the documents that match `filters`;
        returns their number."""
        return self._store.update_meta(parse_filters(filters), meta)

    def count_documents_by_filter(self, filters: dict[str, Any]) -> int:
        return self._store.count(parse_filters(filters) if filters else None)

    def embedding_retrieval(
        self,
        query_embedding: list[float],
        filters: dict[str, Any] | None = None,
        top_k: int = 10,
        scale_score: bool = False,
        return_embedding: bool = False,
    ) -> list[Document]:
        """The `top_k` documents of highest cosine with `query_embedding` among
        those that match `filters`, best first, each with that cosine as its
        score (or (cosine + 1) / 2 with `scale_score`)."""
        where = parse_filters(filters) if filters else None
        rows = self._store.search(query_embedding, top_k, where, with_vectors=return_embedding)
        documents = []
        for row in rows:
            score = float(row.score or 0.0)  # every row of a search has one
            documents.append(
                _to_document(row, embedding=return_embedding, score=(score + 1.0) / 2.0 if scale_score else score)
            )
        return documents

    # -- async forms, in a worker thread ----------------------------------------

    async def count_documents_async(self) -> int:
        return await asyncio.to_thread(self.count_documents)

    async def filter_documents_async(self, filters: dict[str, Any] | None = None) -> list[Document]:
        return await asyncio.to_thread(self.filter_documents, filters)

    async def write_documents_async(
        self, documents: list[Document], policy: DuplicatePolicy = DuplicatePolicy.NONE
    ) -> int:
        return await asyncio.to_thread(self.write_documents, documents, policy)

    async def delete_documents_async(self, document_ids: list[str]) -> None:
        await asyncio.to_thread(self.delete_documents, document_ids)

    async def delete_all_documents_async(self) -> None:
        await asyncio.to_thread(self.delete_all_documents)

    async def delete_by_filter_async(self, filters: dict[str, Any]) -> int:
        return await asyncio.to_thread(self.delete_by_filter, filters)

    async def update_by_filter_async(self, filters: dict[str, Any], meta: dict[str, Any]) -> int:
        return await asyncio.to_thread(self.update_by_filter, filters, meta)

    async def count_documents_by_filter_async(self, filters: dict[str, Any]) -> int:
        return await asyncio.to_thread(self.count_documents_by_filter, filters)

    async def embedding_retrieval_async(
        self,
        query_embedding: list[float],
        filters: dict[str, Any] | None = None,
        top_k: int = 10,
        scale_score: bool = False,
        return_embedding: bool = False,
    ) -> list[Document]:
        return await asyncio.to_thread(
            self.embedding_retrieval, query_embedding, filters, top_k, scale_score, return_embedding
        )


@component
class VelmoraEmbeddingRetriever:
    """Retrieves the documents of a VelmoraDocumentStore most similar to a query
    embedding: the true top k by cosine among those that match the filters."""

    def __init__(
        self,
        document_store: VelmoraDocumentStore,
        filters: dict[str, Any] | None = None,
        top_k: int = 10,
        scale_score: bool = False,
        return_embedding: bool = False,
        filter_policy: FilterPolicy = FilterPolicy.REPLACE,
    ) -> None:
        """`filters` apply to every run (runtime filters replace them, or with
        FilterPolicy.MERGE are combined with them); `top_k` must be positive."""
        if not isinstance(document_store, VelmoraDocumentStore):
            raise TypeError(f"document_store must be a VelmoraDocumentStore, got {type(document_store).__name__}")
        if isinstance(top_k, bool) or not isinstance(top_k, int) or top_k <= 0:
            raise ValueError(f"top_k must be greater than 0, but got {top_k!r}")
        if filters:
            parse_filters(filters)
        self.document_store = document_store
        self.filters = filters
        self.top_k = top_k
        self.scale_score = scale_score
        self.return_embedding = return_embedding
        self.filter_policy = FilterPolicy.from_str(filter_policy) if isinstance(filter_policy, str) else filter_policy

    def to_dict(self) -> dict[str, Any]:
        return default_to_dict(
            self,
            document_store=self.document_store,
            filters=self.filters,
            top_k=self.top_k,
            scale_score=self.scale_score,
            return_embedding=self.return_embedding,
            filter_policy=self.filter_policy.value,
        )

    @classmethod
    def from_dict(cls, data: dict[str, Any]) -> VelmoraEmbeddingRetriever:
        return default_from_dict(cls, data)

    def _arguments(
        self, filters: dict[str, Any] | None, top_k: int | None, scale_score: bool | None, return_embedding: bool | None
    ) -> dict[str, Any]:
        top_k = self.top_k if top_k is None else top_k
        if isinstance(top_k, bool) or not isinstance(top_k, int) or top_k < 0:
            raise ValueError(f"top_k must be greater than or equal to 0, but got {top_k!r}")
        return {
            "filters": apply_filter_policy(self.filter_policy, self.filters, filters),
            "top_k": top_k,
            "scale_score": self.scale_score if scale_score is None else scale_score,
            "return_embedding": self.return_embedding if return_embedding is None else return_embedding,
        }

    @component.output_types(documents=list[Document])
    def run(
        self,
        query_embedding: list[float],
        filters: dict[str, Any] | None = None,
        top_k: int | None = None,
        scale_score: bool | None = None,
        return_embedding: bool | None = None,
    ) -> dict[str, list[Document]]:
        """The documents most similar to `query_embedding`, best first."""
        arguments = self._arguments(filters, top_k, scale_score, return_embedding)
        return {"documents": self.document_store.embedding_retrieval(query_embedding, **arguments)}

    @component.output_types(documents=list[Document])
    async def run_async(
        self,
        query_embedding: list[float],
        filters: dict[str, Any] | None = None,
        top_k: int | None = None,
        scale_score: bool | None = None,
        return_embedding: bool | None = None,
    ) -> dict[str, list[Document]]:
        arguments = self._arguments(filters, top_k, scale_score, return_embedding)
        documents = await self.document_store.embedding_retrieval_async(query_embedding, **arguments)
        return {"documents": documents}
