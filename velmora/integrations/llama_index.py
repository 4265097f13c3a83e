"""velmora as a LlamaIndex vector store: `pip install 'velmora[llama-index]'`.

    from llama_index.core import StorageContext, VectorStoreIndex
    from velmora.integrations.llama_index import VelmoraVectorStore

    store = VelmoraVectorStore(path="rag-store")            # or path=None: in memory
    index = VectorStoreIndex(nodes, storage_context=StorageContext.from_defaults(vector_store=store))
    # later, or in another process:
    index = VectorStoreIndex.from_vector_store(VelmoraVectorStore(path="rag-store"))

The store keeps the nodes' text (stores_text=True), so the index needs no
document store of its own. Queries take MetadataFilters with every operator of
FilterOperator (EQ, NE, GT, GTE, LT, LTE, IN, NIN, CONTAINS, ANY, ALL,
TEXT_MATCH, TEXT_MATCH_INSENSITIVE, IS_EMPTY), nested and joined by AND, OR or
NOT, as LlamaIndex's own SimpleVectorStore evaluates them: a missing or null
field matches NE and NIN only, and values of different types never match. The
similarities are cosines, best first, of the true top k among the nodes that
match.
"""

from __future__ import annotations

import asyncio
import os
from collections.abc import Sequence
from typing import Any, cast

from llama_index.core.bridge.pydantic import PrivateAttr
from llama_index.core.schema import BaseNode, MetadataMode, TextNode
from llama_index.core.vector_stores.types import (
    BasePydanticVectorStore,
    ExactMatchFilter,
    FilterCondition,
    FilterOperator,
    MetadataFilter,
    MetadataFilters,
    VectorStoreQuery,
    VectorStoreQueryMode,
    VectorStoreQueryResult,
)
from llama_index.core.vector_stores.utils import metadata_dict_to_node, node_to_metadata_dict

from ._filters import EVERYTHING, NOTHING, And, Condition, Filter, FilterError, Not, Or, _plan
from ._store import Collection, Handle, Record, Row

__all__ = ["VelmoraVectorStore", "parse_filters"]

_OPERATORS = {
    FilterOperator.EQ: "eq",
    FilterOperator.NE: "ne",
    FilterOperator.GT: "gt",
    FilterOperator.GTE: "gte",
    FilterOperator.LT: "lt",
    FilterOperator.LTE: "lte",
    FilterOperator.IN: "in",
    FilterOperator.NIN: "nin",
    FilterOperator.CONTAINS: "contains",
    FilterOperator.ANY: "any",
    FilterOperator.ALL: "all",
    FilterOperator.TEXT_MATCH: "text_match",
    FilterOperator.TEXT_MATCH_INSENSITIVE: "text_match_insensitive",
    FilterOperator.IS_EMPTY: "is_empty",
}


def parse_filters(filters: MetadataFilters) -> Filter:
    """LlamaIndex MetadataFilters as a velmora filter (FilterError, a ValueError,
    for an operator or value it cannot evaluate)."""
    if not isinstance(filters, MetadataFilters):
        raise FilterError(f"filters are MetadataFilters, got {type(filters).__name__}")
    parts = []
    for item in filters.filters:
        if isinstance(item, MetadataFilters):
            parts.append(parse_filters(item))
        elif isinstance(item, (MetadataFilter, ExactMatchFilter)):
            parts.append(_condition(item))
        else:
            raise FilterError(f"a filter is a MetadataFilter or MetadataFilters, got {type(item).__name__}")
    condition = filters.condition or FilterCondition.AND
    if not parts:
        return EVERYTHING
    if condition == FilterCondition.AND:
        return And(tuple(parts))
    if condition == FilterCondition.OR:
        return Or(tuple(parts))
    if condition == FilterCondition.NOT:
        return Not(Or(tuple(parts)))  # none of them matches
    raise FilterError(f"unknown filter condition {condition!r}")


def _condition(item: MetadataFilter | ExactMatchFilter) -> Filter:
    operator = getattr(item, "operator", FilterOperator.EQ)
    if operator not in _OPERATORS:
        raise FilterError(f"unknown filter operator {operator!r}")
    op, key, value = _OPERATORS[operator], item.key, item.value
    if value is None and op not in ("is_empty",):
        # A null value equals nothing stored (a missing or null field matches
        # only NE and NIN, whatever the value).
        if op == "ne":
            return EVERYTHING
        if op in ("eq", "in", "contains", "any", "all", "text_match", "text_match_insensitive"):
            return NOTHING
        raise FilterError(f"{operator.value!r} on {key!r} needs a value, got None")
    if op in ("gt", "gte", "lt", "lte") and isinstance(value, list):
        raise FilterError(f"{operator.value!r} on {key!r} compares with a number or a string, got a list")
    if op in ("in", "nin", "any", "all") and not isinstance(value, list):
        raise FilterError(f"{operator.value!r} on {key!r} takes a list of values, got {type(value).__name__}")
    operand: Any = value
    if op in ("in", "nin"):
        # A null field matches NIN and never IN, whatever the list holds.
        operand = [v for v in cast(list, value) if v is not None]
    condition = Condition(key, op, operand if op != "is_empty" else None)
    _plan(condition)  # a value the operator cannot take fails here, before any store is read
    return condition


def _row_to_node(row: Row) -> BaseNode:
    extra = row.extra or {}
    if "_node_content" in extra:
        node = metadata_dict_to_node(extra, text=row.text)
        node.metadata = row.meta
    else:
        node = TextNode(id_=row.id, text=row.text or "", metadata=row.meta)
    return node


class VelmoraVectorStore(BasePydanticVectorStore):
    """A LlamaIndex vector store whose embeddings are kept compressed in RAM (2,
    3 or 4 `bits` per coordinate) and in full in SQLite with the nodes: in
    memory, or durable in the directory `path` (every write is on disk when the
    call returns; the store reopens from there). Queries are exact: the nodes
    of highest cosine similarity. Embeddings of fewer than 32 dimensions are
    zero-padded for the index (cosines are unchanged); a zero embedding has
    cosine 0 with every query. Safe to use from several threads; the async
    methods run in a worker thread and leave the event loop free."""

    stores_text: bool = True
    is_embedding_query: bool = True
    flat_metadata: bool = False
    path: str | None = None
    bits: int = 4

    _handle: Handle = PrivateAttr()

    def __init__(self, *, path: str | os.PathLike[str] | None = None, bits: int = 4, **kwargs: Any) -> None:
        super().__init__(path=None if path is None else os.fspath(path), bits=bits, **kwargs)  # type: ignore[call-arg]
        self._handle = Handle(self, path, bits)

    @classmethod
    def class_name(cls) -> str:
        return "VelmoraVectorStore"

    @property
    def client(self) -> Collection:
        """The store underneath (its `index` tells the compressed memory)."""
        return self._handle.collection

    @property
    def _store(self) -> Collection:
        return self._handle.collection

    def close(self) -> None:
        """Closes this store; the last one open on a `path` in this process saves
        the compressed index beside the database and closes it."""
        self._handle.close()

    def __enter__(self) -> VelmoraVectorStore:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    # -- writing --------------------------------------------------------------

    def add(self, nodes: Sequence[BaseNode], **add_kwargs: Any) -> list[str]:
        """Stores `nodes` with their embeddings (a node already stored is
        replaced); returns their ids. All or nothing."""
        records = []
        for at, node in enumerate(nodes):
            if not isinstance(node, BaseNode):
                raise TypeError(f"node {at} is a {type(node).__name__}, not a llama_index BaseNode")
            if node.embedding is None:
                raise ValueError(f"node {at} ({node.node_id!r}) has no embedding")
            payload = node_to_metadata_dict(node, remove_text=True, flat_metadata=self.flat_metadata)
            extra = {"_node_content": payload["_node_content"], "_node_type": payload["_node_type"]}
            text = node.get_content(metadata_mode=MetadataMode.NONE)
            records.append(Record(node.node_id, text, dict(node.metadata), node.embedding, extra, node.ref_doc_id))
        self._store.upsert(records)
        return [r.id for r in records]

    async def async_add(self, nodes: Sequence[BaseNode], **kwargs: Any) -> list[str]:
        return await asyncio.to_thread(self.add, nodes, **kwargs)

    def delete(self, ref_doc_id: str, **delete_kwargs: Any) -> None:
        """Deletes every node of the source document `ref_doc_id`."""
        if not isinstance(ref_doc_id, str):
            raise TypeError(f"ref_doc_id is a string, got {type(ref_doc_id).__name__}")
        self._store.delete_where(refs=[ref_doc_id])

    async def adelete(self, ref_doc_id: str, **delete_kwargs: Any) -> None:
        await asyncio.to_thread(self.delete, ref_doc_id, **delete_kwargs)

    def delete_nodes(
        self, node_ids: list[str] | None = None, filters: MetadataFilters | None = None, **delete_kwargs: Any
    ) -> None:
        """Deletes the nodes of `node_ids` that match `filters` (each when given;
        every node when neither is)."""
        where = parse_filters(filters) if filters is not None else None
        if node_ids is None:
            self._store.delete_where(where)
        elif where is None:
            self._store.delete_ids(node_ids)
        else:
            self._store.delete_where(And((where, Condition("id", "in", list(node_ids), column=True))))

    async def adelete_nodes(
        self, node_ids: list[str] | None = None, filters: MetadataFilters | None = None, **delete_kwargs: Any
    ) -> None:
        await asyncio.to_thread(self.delete_nodes, node_ids, filters)

    def clear(self) -> None:
        self._store.clear()

    async def aclear(self) -> None:
        await asyncio.to_thread(self.clear)

    # -- reading --------------------------------------------------------------

    def get_nodes(self, node_ids: list[str] | None = None, filters: MetadataFilters | None = None) -> list[BaseNode]:
        """The stored nodes of `node_ids` (in that order) that match `filters`;
        all that match when `node_ids` is None. Embeddings included."""
        where = parse_filters(filters) if filters is not None else None
        if node_ids is None:
            rows = self._store.find(where, with_vectors=True)
        elif where is None:
            rows = self._store.get(node_ids, with_vectors=True)
        else:
            matching = {row.id: row for row in self._store.find(And((where, _ids(node_ids))), with_vectors=True)}
            rows = [matching[i] for i in dict.fromkeys(node_ids) if i in matching]
        nodes = []
        for row in rows:
            node = _row_to_node(row)
            node.embedding = None if row.vector is None else row.vector.tolist()
            nodes.append(node)
        return nodes

    async def aget_nodes(
        self, node_ids: list[str] | None = None, filters: MetadataFilters | None = None
    ) -> list[BaseNode]:
        return await asyncio.to_thread(self.get_nodes, node_ids, filters)

    def query(self, query: VectorStoreQuery, **kwargs: Any) -> VectorStoreQueryResult:
        """The `similarity_top_k` nodes of highest cosine with the query embedding
        among those that match `filters`, `doc_ids` (source documents) and
        `node_ids` (each unless None or empty), best first. The default mode, and "mmr" (maximal marginal
        relevance, `mmr_threshold` its lambda, 0.5 if None) over the best
        `similarity_top_k` x 4."""
        mode = query.mode
        if mode not in (VectorStoreQueryMode.DEFAULT, VectorStoreQueryMode.MMR):  # a str compares as its member
            raise ValueError(
                f"query mode {str(getattr(mode, 'value', mode))!r} is not supported: use 'default' or 'mmr'"
            )
        if query.query_embedding is None:
            raise ValueError("the query has no query_embedding")
        where = parse_filters(query.filters) if query.filters is not None else None
        k = query.similarity_top_k
        mmr = mode == VectorStoreQueryMode.MMR
        rows = self._store.search(
            query.query_embedding,
            k * 4 if mmr else k,
            where,
            # VectorStoreIndex passes node_ids=[] to stores that keep the text
            # (it tracks no nodes of its own then): empty means no restriction,
            # as for LlamaIndex's other such stores.
            ids=query.node_ids or None,
            refs=query.doc_ids or None,
            with_vectors=mmr,
        )
        if mmr and rows:
            from llama_index.core.indices.query.embedding_utils import get_top_k_mmr_embeddings

            lambda_ = 0.5 if query.mmr_threshold is None else query.mmr_threshold
            _, chosen = get_top_k_mmr_embeddings(
                query.query_embedding,
                [row.vector.tolist() for row in rows if row.vector is not None],
                similarity_top_k=k,
                embedding_ids=list(range(len(rows))),
                mmr_threshold=lambda_,
            )
            rows = [rows[i] for i in chosen]
        return VectorStoreQueryResult(
            nodes=[_row_to_node(row) for row in rows],
            similarities=[float(row.score or 0.0) for row in rows],
            ids=[row.id for row in rows],
        )

    async def aquery(self, query: VectorStoreQuery, **kwargs: Any) -> VectorStoreQueryResult:
        return await asyncio.to_thread(self.query, query, **kwargs)


def _ids(node_ids: list[str]) -> Filter:
    return Condition("id", "in", list(node_ids), column=True)
