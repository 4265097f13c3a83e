"""VelmoraDocumentStore's retrieval against Haystack's own InMemoryDocumentStore
on the same documents and filters, the retriever in a Pipeline (and through
serialization), bad input and the async forms."""

import asyncio
import dataclasses

import numpy as np
import pytest

pytest.importorskip("haystack")

from haystack import Document, Pipeline, component  # noqa: E402
from haystack.document_stores.in_memory import InMemoryDocumentStore  # noqa: E402
from haystack.document_stores.types import DuplicatePolicy, FilterPolicy  # noqa: E402
from haystack.errors import FilterError  # noqa: E402

from velmora.integrations.haystack import VelmoraDocumentStore, VelmoraEmbeddingRetriever  # noqa: E402

DIM = 48


def make_documents(n=300, seed=2):
    rng = np.random.default_rng(seed)
    documents = []
    for i in range(n):
        meta = {
            "kind": ["news", "blog", "paper"][i % 3],
            "year": 1995 + i % 30,
            "date": f"20{i % 24:02d}-06-0{1 + i % 9}",
        }
        embedding = None if i % 17 == 0 else rng.standard_normal(DIM).tolist()
        documents.append(Document(id=f"doc{i}", content=f"content {i}", meta=meta, embedding=embedding))
    documents[5] = dataclasses.replace(documents[5], embedding=[0.0] * DIM)  # cosine 0 with any query
    return documents


FILTERS = [
    None,
    {"field": "meta.kind", "operator": "==", "value": "blog"},
    {"field": "meta.year", "operator": ">=", "value": 2015},
    {"field": "meta.date", "operator": "<", "value": "2010-01-01"},
    {"field": "meta.kind", "operator": "not in", "value": ["news"]},
    {
        "operator": "OR",
        "conditions": [
            {"field": "meta.year", "operator": "<", "value": 2000},
            {
                "operator": "AND",
                "conditions": [
                    {"field": "meta.kind", "operator": "==", "value": "paper"},
                    {"field": "meta.year", "operator": "!=", "value": 2020},
                ],
            },
        ],
    },
    {"operator": "NOT", "conditions": [{"field": "meta.kind", "operator": "in", "value": ["blog", "paper"]}]},
    {"field": "content", "operator": "==", "value": "content 42"},
]


@pytest.fixture(scope="module")
def stores():
    documents = make_documents()
    ours = VelmoraDocumentStore(bits=2)
    theirs = InMemoryDocumentStore(embedding_similarity_function="cosine")
    assert ours.write_documents(documents) == theirs.write_documents(documents) == len(documents)
    yield ours, theirs, documents
    ours.close()


@pytest.mark.parametrize("filters", FILTERS, ids=[str(i) for i in range(len(FILTERS))])
def test_retrieval_is_that_of_the_in_memory_store(stores, filters):
    ours, theirs, documents = stores
    rng = np.random.default_rng(11)
    for query in (documents[40].embedding, (-np.asarray(documents[40].embedding) + rng.normal(0, 0.1, DIM)).tolist()):
        got = ours.embedding_retrieval(query, filters=filters, top_k=6)
        want = theirs.embedding_retrieval(query, filters=filters, top_k=6)
        assert [d.id for d in got] == [d.id for d in want]
        np.testing.assert_allclose([d.score for d in got], [d.score for d in want], atol=1e-6)
        assert [d.content for d in got] == [d.content for d in want] and all(d.embedding is None for d in got)
    assert ours.filter_documents(filters) == theirs.filter_documents(filters)
    scaled = ours.embedding_retrieval(documents[40].embedding, filters=filters, top_k=3, scale_score=True)
    assert all(0.0 <= d.score <= 1.0 for d in scaled)


@component
class FakeTextEmbedder:
    """Maps a text to the embedding of the document of make_documents(n) it names."""

    def __init__(self, n: int):
        self.n = n
        self.documents = make_documents(n)

    @component.output_types(embedding=list[float])
    def run(self, text: str):
        return {"embedding": self.documents[int(text.split()[-1])].embedding}


def test_the_retriever_in_a_pipeline_and_through_serialization(tmp_path):
    documents = make_documents(60)
    store = VelmoraDocumentStore(path=tmp_path)
    store.write_documents(documents)
    pipeline = Pipeline()
    pipeline.add_component("embedder", FakeTextEmbedder(60))
    pipeline.add_component(
        "retriever",
        VelmoraEmbeddingRetriever(store, filters={"field": "meta.kind", "operator": "==", "value": "news"}, top_k=3),
    )
    pipeline.connect("embedder.embedding", "retriever.query_embedding")
    found = pipeline.run({"embedder": {"text": "like document 9"}})["retriever"]["documents"]
    assert found[0].id == "doc9" and found[0].score == pytest.approx(1.0) and len(found) == 3
    assert all(d.meta["kind"] == "news" for d in found)
    # Runtime filters replace those of the component by default, or merge with them.
    replaced = pipeline.run(
        {
            "embedder": {"text": "x 9"},
            "retriever": {"filters": {"field": "meta.kind", "operator": "==", "value": "blog"}},
        }
    )["retriever"]["documents"]
    assert all(d.meta["kind"] == "blog" for d in replaced)
    merging = VelmoraEmbeddingRetriever(
        store, filters={"field": "meta.kind", "operator": "==", "value": "news"}, filter_policy=FilterPolicy.MERGE
    )
    merged = merging.run(documents[9].embedding, filters={"field": "meta.year", "operator": ">", "value": 2010})
    assert merged["documents"] and all(d.meta["kind"] == "news" and d.meta["year"] > 2010 for d in merged["documents"])
    # Haystack deserializes only classes of modules it is told to trust. The
    # restored store opens the same directory again: one collection, shared.
    restored = Pipeline.from_dict(
        pipeline.to_dict(), allowed_modules=["velmora.integrations.haystack", FakeTextEmbedder.__module__]
    )
    again = restored.run({"embedder": {"text": "like document 9"}})["retriever"]["documents"]
    assert [d.id for d in again] == [d.id for d in found]
    restored.get_component("retriever").document_store.close()
    store.close()
    reopened = VelmoraDocumentStore(path=tmp_path)
    assert reopened.count_documents() == 60
    assert reopened.filter_documents({"field": "id", "operator": "==", "value": "doc3"}) == [documents[3]]
    reopened.close()


def test_bad_input_raises_and_changes_nothing():
    documents = make_documents(30)
    store = VelmoraDocumentStore()
    store.write_documents(documents[:20])
    before = store.filter_documents()
    bad_batches = [
        [documents[25], Document(id="short", content="x", embedding=[1.0, 2.0])],
        [documents[25], Document(id="nan", content="x", embedding=[float("nan")] * DIM)],
        [documents[25], Document(id="meta", content="x", meta={"when": object()})],
    ]
    for batch in bad_batches:
        with pytest.raises((ValueError, TypeError)):
            store.write_documents(batch)
    with pytest.raises(ValueError):
        store.write_documents([documents[25], "not a document"])
    for filters in (
        {"field": "meta.year", "operator": "~", "value": 3},
        {"field": "meta.year", "operator": ">", "value": "soon"},
        {"field": "meta.year", "operator": "in", "value": (1, 2)},
        {"field": "embedding", "operator": "==", "value": 1},
        {"operator": "XOR", "conditions": []},
    ):
        with pytest.raises(FilterError) as caught:
            store.embedding_retrieval(documents[1].embedding, filters=filters)
        assert isinstance(caught.value, ValueError)
        with pytest.raises(FilterError):
            store.delete_by_filter(filters)
    with pytest.raises(ValueError):
        store.embedding_retrieval(documents[1].embedding[:10])
    with pytest.raises(TypeError):
        VelmoraEmbeddingRetriever(InMemoryDocumentStore())
    with pytest.raises(ValueError):
        VelmoraEmbeddingRetriever(store, top_k=0)
    assert store.filter_documents() == before
    assert store.write_documents(documents[:3], DuplicatePolicy.SKIP) == 0
    store.delete_documents(["nope"])
    assert store.count_documents() == 20
    store.close()


def test_async_forms():
    documents = make_documents(40)
    store = VelmoraDocumentStore()
    retriever = VelmoraEmbeddingRetriever(store, top_k=2)

    async def main():
        await store.write_documents_async(documents)
        found = await retriever.run_async(query_embedding=documents[7].embedding)
        counted = await store.count_documents_by_filter_async({"field": "meta.kind", "operator": "==", "value": "blog"})
        updated = await store.update_by_filter_async(
            {"field": "meta.kind", "operator": "==", "value": "blog"}, {"seen": 1}
        )
        deleted = await store.delete_by_filter_async({"field": "meta.seen", "operator": "==", "value": 1})
        left = await store.count_documents_async()
        return found["documents"], counted, updated, deleted, left

    found, counted, updated, deleted, left = asyncio.run(main())
    assert found[0].id == "doc7" and counted == updated == deleted == 13 and left == 27
    store.close()
