"""A compressed in-memory vector store: vectors are kept as 2 to 4 bit codes
of their randomly rotated coordinates and ranked by estimated cosine
similarity.

`Index` is the numpy interface (batch add and search, filters, save and load,
pickling); `CompressedVectorStore` is the minimal per-vector store it wraps."""

from typing import TYPE_CHECKING, Any

from ._version import __version__

try:
    from ._velmora_rs import CompressedVectorStore
except ModuleNotFoundError as error:  # pragma: no cover - depends on how Python was started
    if error.name != f"{__name__}._velmora_rs":
        raise
    raise ImportError(
        f"velmora's compiled module is missing from {__path__[0]!r}. This is usually the source "
        "checkout shadowing the installed package: run Python from outside the checkout, or with "
        "'python -P'; or install the checkout in editable mode ('pip install -e .', as "
        "scripts/test.sh and scripts/demo.sh do), which works from inside it too."
    ) from error

from ._config import show_config

if TYPE_CHECKING:
    from ._index import Index
    from ._rerank import RerankError

__all__ = ["CompressedVectorStore", "Index", "RerankError", "__version__", "show_config"]


def __getattr__(name: str) -> Any:
    # Index needs numpy; importing it on first use keeps "import velmora" and
    # the store free of numpy.
    if name == "Index":
        from ._index import Index

        globals()["Index"] = Index
        return Index
    if name == "RerankError":
        from ._rerank import RerankError

        globals()["RerankError"] = RerankError
        return RerankError
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
