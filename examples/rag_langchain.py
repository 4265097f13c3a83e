"""Retrieval-augmented generation with LangChain on velmora: the store on disk,
a filtered retriever, a prompt and a model in one chain, and the store reopened.

The embeddings and the model are stand-ins so that the example runs anywhere;
swap in real ones (see docs/integrations.md), the rest stays as it is."""

import hashlib
import re
import tempfile

import numpy as np
from langchain_core.embeddings import Embeddings
from langchain_core.language_models.fake import FakeListLLM
from langchain_core.output_parsers import StrOutputParser
from langchain_core.prompts import PromptTemplate
from langchain_core.runnables import RunnablePassthrough

from velmora.integrations.langchain import VelmoraVectorStore


class WordHashEmbeddings(Embeddings):
    """Each word hashed to a random direction, summed: texts that share words are close."""

    def embed_query(self, text: str) -> list[float]:
        vector = np.zeros(64)
        for word in re.findall(r"[a-z]+", text.lower()):
            seed = int.from_bytes(hashlib.blake2b(word.encode(), digest_size=8).digest(), "little")
            vector += np.random.default_rng(seed).standard_normal(64)
        return vector.tolist()

    def embed_documents(self, texts: list[str]) -> list[list[float]]:
        return [self.embed_query(t) for t in texts]


PASSAGES = [
    ("Compressed codes keep each vector in a few bits per coordinate.", {"topic": "storage", "year": 2024}),
    ("Full vectors on disk let a search re-rank its candidates exactly.", {"topic": "storage", "year": 2025}),
    ("A write-ahead log makes every committed write durable.", {"topic": "durability", "year": 2023}),
    ("Cosine similarity compares the directions of two vectors.", {"topic": "math", "year": 2022}),
    ("Metadata filters narrow a search to the documents that match.", {"topic": "search", "year": 2025}),
]

path = tempfile.mkdtemp()
store = VelmoraVectorStore(WordHashEmbeddings(), path=path)
store.add_texts([t for t, _ in PASSAGES], [m for _, m in PASSAGES], ids=[f"p{i}" for i in range(len(PASSAGES))])

# Similarity with scores (cosines, best first) among the documents that match a filter.
for doc, score in store.similarity_search_with_score("how are vectors kept on disk?", k=2, filter={"topic": "storage"}):
    print(f"{score:.3f} {doc.id} {doc.page_content}")

retriever = store.as_retriever(search_kwargs={"k": 2, "filter": {"year": {"$gte": 2024}}})
prompt = PromptTemplate.from_template("Answer from the context.\nContext:\n{context}\nQuestion: {question}")
model = FakeListLLM(responses=["They are re-ranked with the full vectors kept on disk."])
chain = (
    {"context": retriever | (lambda docs: "\n".join(d.page_content for d in docs)), "question": RunnablePassthrough()}
    | prompt
    | model
    | StrOutputParser()
)
print(chain.invoke("how does a search re-rank its candidates?"))
print([d.id for d in retriever.invoke("how does a search re-rank its candidates?")])
store.close()

# Every write was on disk when add_texts returned: a new store on the path finds them.
reopened = VelmoraVectorStore(WordHashEmbeddings(), path=path)
print([d.id for d in reopened.similarity_search("durable writes", k=1)])
reopened.close()
