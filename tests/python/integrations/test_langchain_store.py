"""VelmoraVectorStore against LangChain's own InMemoryVectorStore on the same
documents, filters as dicts and callables, reopening, bad input, retrievers and
the async forms."""

import asyncio

import numpy as np
import pytest

pytest.importorskip("langchain_core")

from langchain_core.documents import Document  # noqa: E402
from langchain_core.embeddings import DeterministicFakeEmbedding, Embeddings  # noqa: E402
from langchain_core.vectorstores import InMemoryVectorStore  # noqa: E402

from velmora.integrations.langchain import VelmoraVectorStore  # noqa: E402

TEXTS = [f"passage {i} on topic {i % 6}" for i in range(400)]
METAS = [
    {"topic": i % 6, "year": 2000 + i % 25, "lang": ["en", "de", "fr"][i % 3], "tags": [f"t{i % 4}"]}
    for i in range(400)
]

# Each dict filter beside the callable that means the same.
FILTERS = [
    ({"topic": 3}, lambda m: m["topic"] == 3),
    ({"year": {"$gte": 2010, "$lt": 2020}}, lambda m: 2010 <= m["year"] < 2020),
    ({"lang": {"$in": ["de", "fr"]}, "topic": {"$ne": 1}}, lambda m: m["lang"] in ("de", "fr") and m["topic"] != 1),
    ({"$or": [{"topic": 0}, {"tags": {"$contains": "t1"}}]}, lambda m: m["topic"] == 0 or "t1" in m["tags"]),
    ({"$not": {"lang": "en"}}, lambda m: m["lang"] != "en"),
    ({"missing": {"$exists": False}, "year": {"$nin": [2001, 2002]}}, lambda m: m["year"] not in (2001, 2002)),
]


@pytest.fixture(scope="module")
def stores():
    embeddings = DeterministicFakeEmbedding(size=48)
    ours = VelmoraVectorStore.from_texts(TEXTS, embeddings, METAS, ids=[f"id{i}" for i in range(400)], bits=2)
    theirs = InMemoryVectorStore.from_texts(TEXTS, embeddings, METAS, ids=[f"id{i}" for i in range(400)])
    yield ours, theirs
    ours.close()


@pytest.mark.parametrize("wanted, test", FILTERS, ids=[str(f[0]) for f in FILTERS])
def test_results_and_scores_are_those_of_the_in_memory_store(stores, wanted, test):
    ours, theirs = stores
    for query in ("passage 7 on topic 1", "something else entirely"):
        want = theirs.similarity_search_with_score(query, k=8, filter=lambda d: test(d.metadata))
        got = ours.similarity_search_with_score(query, k=8, filter=wanted)
        assert [d.id for d, _ in got] == [d.id for d, _ in want]
        np.testing.assert_allclose([s for _, s in got], [s for _, s in want], atol=1e-6)
        assert [d for d, _ in got] == [d for d, _ in want]  # text and metadata too
        called = ours.similarity_search(query, k=8, filter=lambda d: test(d.metadata))
        assert [d.id for d in called] == [d.id for d, _ in want]


def test_searches_by_vector_mmr_relevance_and_retrievers(stores):
    ours, theirs = stores
    vector = ours.embeddings.embed_query("passage 12 on topic 0")
    assert ours.similarity_search_by_vector(vector, k=5) == theirs.similarity_search_by_vector(vector, k=5)
    got = ours.max_marginal_relevance_search("passage 12 on topic 0", k=4, fetch_k=20, lambda_mult=0.3)
    want = theirs.max_marginal_relevance_search("passage 12 on topic 0", k=4, fetch_k=20, lambda_mult=0.3)
    assert [d.id for d in got] == [d.id for d in want]
    relevance = ours.similarity_search_with_relevance_scores("passage 3 on topic 3", k=10)
    assert all(0.0 <= s <= 1.0 for _, s in relevance) and relevance[0][1] == pytest.approx(1.0)
    retriever = ours.as_retriever(search_kwargs={"k": 3, "filter": {"lang": "de"}})
    found = retriever.invoke("passage 4 on topic 4")
    assert len(found) == 3 and all(d.metadata["lang"] == "de" for d in found)
    mmr = ours.as_retriever(search_type="mmr", search_kwargs={"k": 2, "fetch_k": 10})
    assert len(mmr.invoke("passage 4")) == 2


class Varying(Embeddings):
    """Embeds as a fixed model would, but may be switched to another dimension,
    NaN values or zero vectors."""

    def __init__(self):
        self.mode = "good"

    def _one(self, text):
        rng = np.random.default_rng(sum(map(ord, text)))
        if self.mode == "short":
            return rng.standard_normal(4).tolist()
        if self.mode == "nan":
            return [float("nan")] * 16
        if self.mode == "zero":
            return [0.0] * 16
        return rng.standard_normal(16).tolist()

    def embed_documents(self, texts):
        return [self._one(t) for t in texts]

    def embed_query(self, text):
        return self._one(text)


def test_bad_input_raises_and_changes_nothing(tmp_path):
    embeddings = Varying()
    store = VelmoraVectorStore(embeddings, path=tmp_path)
    store.add_texts(["alpha", "beta", "gamma"], [{"n": 1}, {"n": 2}, {"n": 3}], ids=["a", "b", "c"])
    before = store.similarity_search_with_score("alpha", k=5)
    for mode, error in (("short", ValueError), ("nan", ValueError)):
        embeddings.mode = mode
        with pytest.raises(error):
            store.add_texts(["delta", "epsilon"], ids=["d", "b"])
        with pytest.raises(error):
            store.similarity_search("alpha")
    embeddings.mode = "good"
    with pytest.raises(ValueError, match="unknown filter operator"):
        store.similarity_search("alpha", filter={"n": {"$near": 2}})
    with pytest.raises(ValueError, match="number or a string"):
        store.similarity_search("alpha", filter={"n": {"$gt": [1]}})
    with pytest.raises(TypeError, match="filters"):
        store.similarity_search("alpha", filters={"n": 1})  # a misspelt option is not ignored
    with pytest.raises(ValueError, match="ids"):
        store.add_texts(["one", "two"], ids=["x"])
    with pytest.raises(TypeError, match="cannot be stored"):
        store.add_texts(["one"], [{"when": object()}])
    with pytest.raises(TypeError):
        VelmoraVectorStore("not embeddings")
    assert store.similarity_search_with_score("alpha", k=5) == before
    assert store.get_by_ids(["nope"]) == [] and store.delete(["nope"]) is True
    # A zero embedding is stored; its cosine with any query is 0.
    embeddings.mode = "zero"
    store.add_texts(["zero"], ids=["z"])
    embeddings.mode = "good"
    scores = dict((d.id, s) for d, s in store.similarity_search_with_score("alpha", k=5))
    assert scores["z"] == 0.0 and len(scores) == 4
    store.close()
    with pytest.raises(ValueError, match="closed"):
        store.similarity_search("alpha")


def test_reopening_from_path_keeps_everything(tmp_path):
    embeddings = DeterministicFakeEmbedding(size=6)
    with VelmoraVectorStore(embeddings, path=tmp_path / "s") as store:
        ids = store.add_documents([Document(page_content=t, metadata=m) for t, m in zip(TEXTS[:50], METAS)])
        store.delete(ids[:5])
        want = store.similarity_search_with_score("passage 9 on topic 3", k=6, filter={"topic": {"$lte": 3}})
    reopened = VelmoraVectorStore(embeddings, path=tmp_path / "s")
    assert reopened.similarity_search_with_score("passage 9 on topic 3", k=6, filter={"topic": {"$lte": 3}}) == want
    assert [d.id for d in reopened.get_by_ids(ids[3:8])] == ids[5:8]
    # A second store on the same directory shares it; closing one leaves the other working.
    second = VelmoraVectorStore(embeddings, path=tmp_path / "s")
    second.add_texts(["late"], ids=["late"])
    second.close()
    assert [d.id for d in reopened.get_by_ids(["late"])] == ["late"]
    reopened.delete()  # no ids: everything, as LangChain's interface says
    assert reopened.similarity_search("late") == []
    reopened.close()


def test_async_forms_do_not_block_the_event_loop():
    embeddings = DeterministicFakeEmbedding(size=64)
    store = VelmoraVectorStore(embeddings)
    texts = [f"text {i}" for i in range(4000)]

    async def main():
        ticks = 0
        done = asyncio.Event()

        async def ticker():
            nonlocal ticks
            while not done.is_set():
                ticks += 1
                await asyncio.sleep(0.001)

        task = asyncio.create_task(ticker())
        vectors = embeddings.embed_documents(texts)
        await asyncio.sleep(0)
        before = ticks
        await store.aadd_texts(texts, ids=[str(i) for i in range(4000)])
        added_ticks = ticks - before
        found = await asyncio.gather(*(store.asimilarity_search_by_vector(vectors[i], k=3) for i in range(0, 40, 4)))
        by_score = await store.asimilarity_search_with_score("text 17", k=2)
        mmr = await store.amax_marginal_relevance_search("text 17", k=2)
        fetched = await store.aget_by_ids(["17", "nope"])
        await store.adelete(["17"])
        done.set()
        await task
        return added_ticks, found, by_score, mmr, fetched

    added_ticks, found, by_score, mmr, fetched = asyncio.run(main())
    assert added_ticks > 0  # the loop ran while the documents were written
    assert [docs[0].id for docs in found] == [str(i) for i in range(0, 40, 4)]
    assert by_score[0][0].id == "17" and by_score[0][1] == pytest.approx(1.0)
    assert mmr[0].id == "17" and [d.id for d in fetched] == ["17"]
    assert store.get_by_ids(["17"]) == []
    store.close()
