"""Haystack's own tests of a document store (the base and the extended suite,
and those of the async methods), in memory and on disk."""

import pytest

pytest.importorskip("haystack")

from haystack import Document  # noqa: E402
from haystack.document_stores.errors import DuplicateDocumentError  # noqa: E402
from haystack.testing.document_store import CountDocumentsByFilterTest, DocumentStoreBaseExtendedTests  # noqa: E402
from haystack.testing.document_store_async import (  # noqa: E402
    CountDocumentsAsyncTest,
    CountDocumentsByFilterAsyncTest,
    DeleteAllAsyncTest,
    DeleteByFilterAsyncTest,
    DeleteDocumentsAsyncTest,
    FilterDocumentsAsyncTest,
    UpdateByFilterAsyncTest,
    WriteDocumentsAsyncTest,
)

from velmora.integrations.haystack import VelmoraDocumentStore  # noqa: E402


class TestVelmoraDocumentStoreStandard(DocumentStoreBaseExtendedTests):
    @pytest.fixture(params=["memory", "disk"])
    def document_store(self, request, tmp_path):
        store = VelmoraDocumentStore(path=None if request.param == "memory" else tmp_path / "store")
        yield store
        store.close()

    def test_write_documents(self, document_store):
        # The suite leaves the default policy to each store: here, as in
        # Haystack's in-memory store, an id already stored fails the write.
        doc = Document(content="test doc")
        assert document_store.write_documents([doc]) == 1
        with pytest.raises(DuplicateDocumentError):
            document_store.write_documents([doc, Document(content="another doc")])
        self.assert_documents_are_equal(document_store.filter_documents(), [doc])


class TestVelmoraDocumentStoreAsyncStandard(
    CountDocumentsByFilterTest,
    CountDocumentsAsyncTest,
    CountDocumentsByFilterAsyncTest,
    DeleteAllAsyncTest,
    DeleteByFilterAsyncTest,
    DeleteDocumentsAsyncTest,
    FilterDocumentsAsyncTest,
    UpdateByFilterAsyncTest,
    WriteDocumentsAsyncTest,
):
    """Haystack's tests of the methods beyond the base suite that this store has:
    count_documents_by_filter, and the async form of each."""

    @pytest.fixture(params=["memory", "disk"])
    def document_store(self, request, tmp_path):
        store = VelmoraDocumentStore(path=None if request.param == "memory" else tmp_path / "store")
        yield store
        store.close()

    async def test_write_documents_async(self, document_store):
        doc = Document(content="test doc")
        assert await document_store.write_documents_async([doc]) == 1
        with pytest.raises(DuplicateDocumentError):
            await document_store.write_documents_async([doc, Document(content="another doc")])
        self.assert_documents_are_equal(await document_store.filter_documents_async(), [doc])
