import pytest
from helpers import DIM, random_vector

from velmora import CompressedVectorStore


@pytest.fixture
def store():
    return CompressedVectorStore(DIM, 4)


@pytest.fixture
def filled(store):
    for i in range(6):
        store.insert(i, random_vector(i))
    return store


@pytest.fixture
def probe():
    return random_vector(1000)
