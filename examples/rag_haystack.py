"""Retrieval-augmented generation with Haystack on velmora: an indexing pipeline
writes embedded documents into the store on disk, a query pipeline embeds the
question, retrieves with a filter and builds the prompt for a generator.

The embedders and the generator are stand-ins so that the example runs
anywhere; swap in real ones (see docs/integrations.md), the rest stays as it is."""

import hashlib
import re
import tempfile

import numpy as np
from haystack import Document, Pipeline, component
from haystack.components.builders import PromptBuilder
from haystack.components.writers import DocumentWriter

from velmora.integrations.haystack import VelmoraDocumentStore, VelmoraEmbeddingRetriever


def word_hash_embedding(text: str) -> list[float]:
    """Each word hashed to a random direction, summed: texts that share words are close."""
    vector = np.zeros(64)
    for word in re.findall(r"[a-z]+", text.lower()):
        seed = int.from_bytes(hashlib.blake2b(word.encode(), digest_size=8).digest(), "little")
        vector += np.random.default_rng(seed).standard_normal(64)
    return vector.tolist()


@component
class DocumentEmbedder:
    @component.output_types(documents=list[Document])
    def run(self, documents: list[Document]) -> dict[str, list[Document]]:
        return {
            "documents": [
                Document(content=d.content, meta=d.meta, embedding=word_hash_embedding(d.content)) for d in documents
            ]
        }


@component
class TextEmbedder:
    @component.output_types(embedding=list[float])
    def run(self, text: str) -> dict[str, list[float]]:
        return {"embedding": word_hash_embedding(text)}


@component
class EchoGenerator:
    """Answers with the first line of context it was given."""

    @component.output_types(replies=list[str])
    def run(self, prompt: str) -> dict[str, list[str]]:
        return {"replies": [prompt.split("Context:\n", 1)[1].splitlines()[0]]}


store = VelmoraDocumentStore(path=tempfile.mkdtemp())
indexing = Pipeline()
indexing.add_component("embedder", DocumentEmbedder())
indexing.add_component("writer", DocumentWriter(document_store=store))
indexing.connect("embedder.documents", "writer.documents")
indexing.run(
    {
        "embedder": {
            "documents": [
                Document(content="Compressed codes keep each vector in a few bits.", meta={"topic": "storage"}),
                Document(content="Full vectors on disk let a search re-rank exactly.", meta={"topic": "storage"}),
                Document(
                    content="A write-ahead log makes every committed write durable.", meta={"topic": "durability"}
                ),
                Document(content="Cosine similarity compares the directions of two vectors.", meta={"topic": "math"}),
            ]
        }
    }
)

template = "Context:\n{% for d in documents %}{{ d.content }}\n{% endfor %}Question: {{ question }}"
querying = Pipeline()
querying.add_component("embedder", TextEmbedder())
querying.add_component("retriever", VelmoraEmbeddingRetriever(store, top_k=2))
querying.add_component("prompt", PromptBuilder(template=template, required_variables=["documents", "question"]))
querying.add_component("generator", EchoGenerator())
querying.connect("embedder.embedding", "retriever.query_embedding")
querying.connect("retriever.documents", "prompt.documents")
querying.connect("prompt.prompt", "generator.prompt")

question = "how does a search re-rank on disk?"
result = querying.run(
    {
        "embedder": {"text": question},
        "retriever": {"filters": {"field": "meta.topic", "operator": "==", "value": "storage"}},
        "prompt": {"question": question},
    },
    include_outputs_from={"retriever"},
)
for document in result["retriever"]["documents"]:
    print(f"{document.score:.3f} {document.content}")
print(result["generator"]["replies"][0])
store.close()
