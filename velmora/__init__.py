"""A compressed in-memory vector store: vectors are kept as 2 to 4 bit codes
of their randomly rotated coordinates and ranked by estimated cosine
similarity."""

from ._version import __version__
from ._velmora_rs import CompressedVectorStore

__all__ = ["CompressedVectorStore", "__version__"]
