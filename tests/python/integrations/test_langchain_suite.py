"""LangChain's own standard tests of a vector store, sync and async, in memory
and on disk."""

import pytest

pytest.importorskip("langchain_tests")

from langchain_tests.integration_tests.vectorstores import VectorStoreIntegrationTests  # noqa: E402

from velmora.integrations.langchain import VelmoraVectorStore  # noqa: E402


class TestVelmoraVectorStoreStandard(VectorStoreIntegrationTests):
    @pytest.fixture(params=["memory", "disk"])
    def vectorstore(self, request, tmp_path):
        store = VelmoraVectorStore(
            self.get_embeddings(), path=None if request.param == "memory" else tmp_path / "store"
        )
        try:
            yield store
        finally:
            store.close()
