"""Retrieval-augmented generation with LlamaIndex on velmora: documents indexed
into the store on disk through a StorageContext, a filtered retriever, a query
engine, and the index reopened from the store alone.

The embeddings and the model are stand-ins so that the example runs anywhere;
swap in real ones (see docs/integrations.md), the rest stays as it is."""

import hashlib
import re
import tempfile

import numpy as np
from llama_index.core import Document, StorageContext, VectorStoreIndex
from llama_index.core.base.embeddings.base import BaseEmbedding
from llama_index.core.llms import MockLLM
from llama_index.core.vector_stores import FilterOperator, MetadataFilter, MetadataFilters

from velmora.integrations.llama_index import VelmoraVectorStore


class WordHashEmbedding(BaseEmbedding):
    """Each word hashed to a random direction, summed: texts that share words are close."""

    def _get_text_embedding(self, text: str) -> list[float]:
        vector = np.zeros(64)
        for word in re.findall(r"[a-z]+", text.lower()):
            seed = int.from_bytes(hashlib.blake2b(word.encode(), digest_size=8).digest(), "little")
            vector += np.random.default_rng(seed).standard_normal(64)
        return vector.tolist()

    def _get_query_embedding(self, query: str) -> list[float]:
        return self._get_text_embedding(query)

    async def _aget_query_embedding(self, query: str) -> list[float]:
        return self._get_text_embedding(query)


DOCUMENTS = [
    Document(text="Compressed codes keep each vector in a few bits per coordinate.", metadata={"topic": "storage"}),
    Document(text="Full vectors on disk let a search re-rank its candidates exactly.", metadata={"topic": "storage"}),
    Document(text="A write-ahead log makes every committed write durable.", metadata={"topic": "durability"}),
    Document(text="Cosine similarity compares the directions of two vectors.", metadata={"topic": "math"}),
]
embed_model = WordHashEmbedding()
path = tempfile.mkdtemp()

store = VelmoraVectorStore(path=path)
index = VectorStoreIndex.from_documents(
    DOCUMENTS, storage_context=StorageContext.from_defaults(vector_store=store), embed_model=embed_model
)
storage_only = MetadataFilters(filters=[MetadataFilter(key="topic", value="storage", operator=FilterOperator.EQ)])
for hit in index.as_retriever(similarity_top_k=2, filters=storage_only).retrieve("how are vectors kept on disk?"):
    print(f"{hit.score:.3f} {hit.node.get_content()}")
store.close()

# The nodes and their text live in the store: the index comes back from it alone.
index = VectorStoreIndex.from_vector_store(VelmoraVectorStore(path=path), embed_model=embed_model)
answer = index.as_query_engine(llm=MockLLM(), similarity_top_k=1).query("what makes a write durable?")
print(answer.source_nodes[0].node.get_content())
index.vector_store.close()
