"""VelmoraVectorStore against LlamaIndex's own SimpleVectorStore on the same
nodes and filters, the node operations, StorageContext and VectorStoreIndex
with reopening, bad input and the async forms."""

import asyncio

import numpy as np
import pytest

pytest.importorskip("llama_index.core")

from llama_index.core import Document, StorageContext, VectorStoreIndex  # noqa: E402
from llama_index.core.embeddings import MockEmbedding  # noqa: E402
from llama_index.core.llms import MockLLM  # noqa: E402
from llama_index.core.schema import NodeRelationship, RelatedNodeInfo, TextNode  # noqa: E402
from llama_index.core.vector_stores import (  # noqa: E402
    FilterCondition,
    FilterOperator,
    MetadataFilter,
    MetadataFilters,
    SimpleVectorStore,
    VectorStoreQuery,
)

from velmora.integrations.llama_index import VelmoraVectorStore  # noqa: E402

DIM = 40


def make_nodes(n=300, seed=1):
    rng = np.random.default_rng(seed)
    nodes = []
    for i in range(n):
        meta = {"topic": i % 5, "rating": float(i % 7) / 2, "title": f"Title {i % 9} of Part", "tags": [f"t{i % 4}"]}
        if i % 3:
            meta["author"] = ["ann", "bob"][i % 2]
        node = TextNode(id_=f"n{i}", text=f"chunk {i}", metadata=meta, embedding=rng.standard_normal(DIM).tolist())
        node.relationships[NodeRelationship.SOURCE] = RelatedNodeInfo(node_id=f"doc{i // 10}")
        nodes.append(node)
    return nodes


def flt(key, op, value):
    return MetadataFilter(key=key, value=value, operator=op)


FILTERS = [
    MetadataFilters(filters=[flt("topic", FilterOperator.EQ, 2)]),
    MetadataFilters(filters=[flt("topic", FilterOperator.NE, 2), flt("rating", FilterOperator.GT, 1.0)]),
    MetadataFilters(filters=[flt("rating", FilterOperator.GTE, 2.5), flt("rating", FilterOperator.LTE, 2.5)]),
    MetadataFilters(filters=[flt("topic", FilterOperator.LT, 2)]),
    MetadataFilters(filters=[flt("author", FilterOperator.IN, ["ann"]), flt("topic", FilterOperator.NIN, [0, 1])]),
    MetadataFilters(filters=[flt("author", FilterOperator.NE, "ann")]),  # missing authors too
    MetadataFilters(filters=[flt("author", FilterOperator.NIN, ["bob"])]),
    MetadataFilters(filters=[flt("tags", FilterOperator.CONTAINS, "t3")]),
    MetadataFilters(filters=[flt("title", FilterOperator.CONTAINS, "e 4")]),  # a substring of a string
    MetadataFilters(filters=[flt("tags", FilterOperator.ANY, ["t1", "t2"])]),
    MetadataFilters(filters=[flt("tags", FilterOperator.ALL, ["t1", "t2"])]),
    MetadataFilters(filters=[flt("title", FilterOperator.TEXT_MATCH, "Title 5")]),
    MetadataFilters(filters=[flt("title", FilterOperator.TEXT_MATCH_INSENSITIVE, "title 5 OF")]),
    MetadataFilters(filters=[flt("author", FilterOperator.IS_EMPTY, None)]),
    MetadataFilters(
        filters=[flt("topic", FilterOperator.EQ, 1), flt("author", FilterOperator.EQ, "bob")], condition="or"
    ),
    MetadataFilters(filters=[flt("topic", FilterOperator.EQ, 1), flt("rating", FilterOperator.LT, 1)], condition="not"),
]


@pytest.fixture(scope="module")
def stores():
    nodes = make_nodes()
    ours = VelmoraVectorStore(bits=3)
    ours.add(nodes)
    theirs = SimpleVectorStore()
    theirs.add(nodes)
    yield ours, theirs, nodes
    ours.close()


@pytest.mark.parametrize("filters", FILTERS, ids=[str(i) for i in range(len(FILTERS))])
def test_queries_return_what_simple_vector_store_returns(stores, filters):
    ours, theirs, nodes = stores
    rng = np.random.default_rng(7)
    for _ in range(2):
        query = VectorStoreQuery(query_embedding=rng.standard_normal(DIM).tolist(), similarity_top_k=7, filters=filters)
        got, want = ours.query(query), theirs.query(query)
        assert got.ids == want.ids
        np.testing.assert_allclose(got.similarities, want.similarities, atol=1e-6)
        assert [n.get_content() for n in got.nodes] == [f"chunk {i[1:]}" for i in want.ids]
        assert [n.metadata for n in got.nodes] == [nodes[int(i[1:])].metadata for i in want.ids]
        assert all(n.ref_doc_id == f"doc{int(i[1:]) // 10}" for n, i in zip(got.nodes, got.ids))


def test_nested_filters_node_and_document_restrictions(stores):
    ours, _, nodes = stores
    nested = MetadataFilters(
        filters=[
            MetadataFilters(
                filters=[flt("topic", FilterOperator.EQ, 0), flt("topic", FilterOperator.EQ, 4)], condition="or"
            ),
            flt("rating", FilterOperator.GTE, 1.5),
        ]
    )
    query = VectorStoreQuery(query_embedding=nodes[0].embedding, similarity_top_k=300, filters=nested)
    found = ours.query(query).ids
    assert set(found) == {n.node_id for n in nodes if n.metadata["topic"] in (0, 4) and n.metadata["rating"] >= 1.5}
    restricted = VectorStoreQuery(
        query_embedding=nodes[0].embedding,
        similarity_top_k=300,
        doc_ids=["doc0", "doc3"],
        node_ids=["n1", "n35", "n99"],
    )
    assert sorted(ours.query(restricted).ids) == ["n1", "n35"]
    mmr = VectorStoreQuery(query_embedding=nodes[0].embedding, similarity_top_k=4, mode="mmr", mmr_threshold=0.5)
    assert ours.query(mmr).ids[0] == "n0" and len(ours.query(mmr).ids) == 4


def test_node_operations(tmp_path):
    nodes = make_nodes(40, seed=3)
    store = VelmoraVectorStore(path=tmp_path)
    assert store.add(nodes) == [n.node_id for n in nodes]
    got = store.get_nodes(["n5", "missing", "n2"])
    assert [n.node_id for n in got] == ["n5", "n2"] and got[0].embedding == nodes[5].embedding
    assert got[0].text == "chunk 5" and got[0].metadata == nodes[5].metadata
    only_topic_1 = MetadataFilters(filters=[flt("topic", FilterOperator.EQ, 1)])
    assert [n.node_id for n in store.get_nodes(filters=only_topic_1)] == [f"n{i}" for i in range(1, 40, 5)]
    store.delete("doc1")  # the nodes of one source document
    assert {n.ref_doc_id for n in store.get_nodes()} == {"doc0", "doc2", "doc3"}
    store.delete_nodes(["n0", "n1", "n25"], filters=only_topic_1)
    assert "n1" not in {n.node_id for n in store.get_nodes()} and len(store.get_nodes()) == 29
    store.delete_nodes(filters=only_topic_1)
    assert len(store.get_nodes()) == 24
    store.close()
    reopened = VelmoraVectorStore(path=tmp_path)
    assert len(reopened.get_nodes()) == 24
    reopened.clear()
    assert reopened.get_nodes() == [] and reopened.query(VectorStoreQuery(query_embedding=[1.0] * 7)).ids == []
    reopened.close()


def test_bad_input_raises_and_changes_nothing():
    nodes = make_nodes(20)
    store = VelmoraVectorStore()
    store.add(nodes[:10])
    query = VectorStoreQuery(query_embedding=nodes[3].embedding, similarity_top_k=5)
    before = store.query(query).ids
    bare = TextNode(id_="bare", text="no embedding")
    with pytest.raises(ValueError, match="no embedding"):
        store.add([*nodes[10:], bare])
    short = TextNode(id_="short", text="x", embedding=[1.0, 2.0])
    with pytest.raises(ValueError, match="dimension"):
        store.add([*nodes[10:], short])
    with pytest.raises(ValueError, match="NaN"):
        store.add([TextNode(id_="nan", text="x", embedding=[float("nan")] * DIM)])
    with pytest.raises(ValueError, match="not supported"):
        store.query(VectorStoreQuery(query_embedding=nodes[3].embedding, mode="sparse"))
    with pytest.raises(ValueError):
        store.query(VectorStoreQuery(query_embedding=nodes[3].embedding[:5]))
    with pytest.raises(ValueError, match="list"):
        store.query(
            VectorStoreQuery(
                query_embedding=nodes[3].embedding,
                filters=MetadataFilters(filters=[flt("topic", FilterOperator.IN, 3)]),
            )
        )
    with pytest.raises(ValueError, match="string"):
        store.query(
            VectorStoreQuery(
                query_embedding=nodes[3].embedding,
                filters=MetadataFilters(filters=[flt("title", FilterOperator.TEXT_MATCH, 3)]),
            )
        )
    assert store.query(query).ids == before and len(store.get_nodes()) == 10
    store.close()


def test_through_storage_context_and_vector_store_index(tmp_path):
    embed = MockEmbedding(embed_dim=DIM)  # every text the same vector: only filters tell documents apart
    documents = [Document(text=f"document {i}", metadata={"n": i}, doc_id=f"d{i}") for i in range(6)]
    store = VelmoraVectorStore(path=tmp_path)
    index = VectorStoreIndex.from_documents(
        documents, storage_context=StorageContext.from_defaults(vector_store=store), embed_model=embed
    )
    found = index.as_retriever(
        similarity_top_k=10, filters=MetadataFilters(filters=[flt("n", FilterOperator.GTE, 4)])
    ).retrieve("x")
    assert sorted(n.node.metadata["n"] for n in found) == [4, 5] and found[0].score == pytest.approx(1.0)
    index.delete_ref_doc("d5")
    store.close()
    reopened = VectorStoreIndex.from_vector_store(VelmoraVectorStore(path=tmp_path), embed_model=embed)
    found = reopened.as_retriever(similarity_top_k=10).retrieve("x")
    assert sorted(n.node.metadata["n"] for n in found) == [0, 1, 2, 3, 4]
    answer = reopened.as_query_engine(llm=MockLLM(), similarity_top_k=2).query("what is in document 3?")
    assert "document" in str(answer)
    reopened.vector_store.close()


def test_async_forms():
    nodes = make_nodes(50)
    store = VelmoraVectorStore()

    async def main():
        await store.async_add(nodes)
        result = await store.aquery(VectorStoreQuery(query_embedding=nodes[9].embedding, similarity_top_k=2))
        fetched = await store.aget_nodes(["n9"])
        await store.adelete("doc0")
        await store.adelete_nodes(["n10"])
        left = await store.aget_nodes()
        await store.aclear()
        return result, fetched, left

    result, fetched, left = asyncio.run(main())
    assert result.ids[0] == "n9" and result.similarities[0] == pytest.approx(1.0)
    assert fetched[0].node_id == "n9" and len(left) == 39
    assert store.get_nodes() == []
    store.close()


def test_not_condition_means_none_of_the_filters():
    nodes = make_nodes(30)
    store = VelmoraVectorStore()
    store.add(nodes)
    filters = MetadataFilters(
        filters=[flt("topic", FilterOperator.EQ, 1), flt("topic", FilterOperator.EQ, 2)], condition=FilterCondition.NOT
    )
    found = {n.metadata["topic"] for n in store.get_nodes(filters=filters)}
    assert found == {0, 3, 4}
    store.close()
