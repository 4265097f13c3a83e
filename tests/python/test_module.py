"""The extension module and the class as the interpreter sees them."""

import gc
import glob
import importlib
import os
import subprocess
import sys
import weakref

import pytest

import velmora
import velmora._velmora_rs as native
from velmora import CompressedVectorStore


def test_module_exports_exactly_the_class():
    assert native.__all__ == ["CompressedVectorStore"]
    assert native.CompressedVectorStore is CompressedVectorStore
    assert [name for name in dir(native) if not name.startswith("_")] == ["CompressedVectorStore"]
    lines = native.__doc__.split("\n")
    assert len(lines) == 2
    assert lines[1] == "Registers all Python-visible classes and functions."


def test_package_reexports_the_class_and_version():
    assert velmora.CompressedVectorStore is CompressedVectorStore
    assert sorted(velmora.__all__) == ["CompressedVectorStore", "Index", "RerankError", "__version__", "show_config"]
    assert velmora.__version__ == velmora._version.__version__


def test_reimport_after_removal_gives_the_same_module(monkeypatch):
    monkeypatch.delitem(sys.modules, "velmora._velmora_rs")
    again = importlib.import_module("velmora._velmora_rs")
    assert again is native
    assert again.__all__ == ["CompressedVectorStore"]


def run_script(script, *args, **env):
    # From a neutral directory, so that the source tree cannot shadow the
    # installed package.
    return subprocess.run(
        [sys.executable, "-c", script, *args],
        capture_output=True,
        text=True,
        timeout=120,
        cwd=os.path.dirname(os.__file__),
        env={**os.environ, **env},
    )


SUBINTERPRETER_SCRIPT = r'''
import sys, _testcapi
import velmora._velmora_rs as native
inner = """
import sys
sys.path[:0] = %r
try:
    import velmora._velmora_rs
    message = "imported"
except BaseException as e:
    message = type(e).__name__ + ": " + str(e)
print(message, flush=True)
""" % (sys.path,)
_testcapi.run_in_subinterp(inner)
print(len(native.CompressedVectorStore(32, 2)))
'''


def test_subinterpreter_import_is_refused_and_owner_keeps_working():
    pytest.importorskip("_testcapi")
    result = run_script(SUBINTERPRETER_SCRIPT)
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == [
        "ImportError: PyO3 modules do not yet support subinterpreters, see https://github.com/velmora/velmora/issues/1",
        "0",
    ]


def test_class_names_and_signature():
    assert CompressedVectorStore.__module__ == "builtins"
    assert CompressedVectorStore.__name__ == "CompressedVectorStore"
    assert CompressedVectorStore.__qualname__ == "CompressedVectorStore"
    assert CompressedVectorStore.__text_signature__ == "(dim, bits)"
    assert CompressedVectorStore.__doc__ == ""
    assert CompressedVectorStore.__mro__ == (CompressedVectorStore, object)


@pytest.mark.parametrize(
    "name, signature, doc",
    [
        ("insert", "($self, id, vector)", "Insert a single vector. id is a u64, vector is a list of floats."),
        (
            "insert_batch",
            "($self, pairs)",
            "Insert many vectors at once. Faster than calling insert() in a loop.\n"
            "pairs is a list of (id, vector) tuples.",
        ),
        ("remove", "($self, id)", "Remove a vector by id. Returns True if it existed."),
        ("query", "($self, vector, top_k)", "Query top_k most similar vectors. Returns list of (id, score) tuples."),
        (
            "query_all",
            "($self, vector)",
            "Score every vector in the store against the query.\n"
            "Returns list of (id, score) tuples sorted by score descending.",
        ),
        ("memory_bytes", "($self)", "Compressed memory usage in bytes (does not include Python overhead)."),
    ],
)
def test_method_signatures_and_docs(name, signature, doc):
    method = getattr(CompressedVectorStore, name)
    assert method.__text_signature__ == signature
    assert method.__doc__ == doc


def test_class_is_final_and_instances_are_closed(store):
    with pytest.raises(TypeError):
        type("Sub", (CompressedVectorStore,), {})
    with pytest.raises(AttributeError):
        store.label = "x"
    with pytest.raises(TypeError):
        weakref.ref(store)
    assert not gc.is_tracked(store)


def test_instances_release_their_reference_to_the_class():
    before = sys.getrefcount(CompressedVectorStore)
    stores = [CompressedVectorStore(32, 2) for _ in range(50)]
    assert sys.getrefcount(CompressedVectorStore) == before + 50
    del stores
    assert sys.getrefcount(CompressedVectorStore) == before


HOOKS_DIR = os.environ.get("VELMORA_HOOKS_MODULE_DIR", "")

# Runs against the module built with test hooks, where every parallel map
# panics while VELMORA_FORCE_WORKER_PANIC is set.
PANIC_SCRIPT = """
import sys
sys.path.insert(0, sys.argv[1])
import _velmora_rs as native
store = native.CompressedVectorStore(32, 2)
store.insert(1, [1.0] * 32)
for call in (lambda: store.query([1.0] * 32, 1), lambda: store.insert_batch([(2, [1.0] * 32)])):
    try:
        call()
    except Exception:
        print("caught by except Exception")
    except BaseException as e:
        print(type(e).__module__, type(e).__name__, type(e).__bases__, e.args)
store.insert(3, [0.5] * 32)
print(len(store))
"""


def test_worker_panic_raises_panic_exception_and_releases_the_borrow():
    if not glob.glob(os.path.join(HOOKS_DIR, "_velmora_rs*.so")):
        pytest.skip("needs the module built with test hooks (scripts/test.sh builds it)")
    result = run_script(PANIC_SCRIPT, HOOKS_DIR, VELMORA_FORCE_WORKER_PANIC="1")
    assert result.returncode == 0, result.stderr
    panic = "pyo3_runtime PanicException (<class 'BaseException'>,) ('forced failure in a worker thread',)"
    assert result.stdout.splitlines() == [panic, panic, "2"]
    reports = [line for line in result.stderr.splitlines() if "forced failure in a worker thread" in line]
    assert len(reports) == 2
    assert all("store.cpp:" in line for line in reports)


def test_a_source_tree_without_the_compiled_module_says_how_to_fix_it(tmp_path):
    package = tmp_path / "velmora"
    package.mkdir()
    source = os.path.dirname(velmora.__file__)
    for name in ("__init__.py", "_version.py"):
        (package / name).write_text(open(os.path.join(source, name)).read())
    # Without site packages, so that no installed velmora (an editable one
    # included) can answer the import instead of the folder at hand.
    result = subprocess.run(
        [sys.executable, "-S", "-c", "import velmora"], cwd=tmp_path, capture_output=True, text=True, timeout=60
    )
    assert result.returncode == 1
    assert "ImportError: velmora's compiled module is missing" in result.stderr
    assert "python -P" in result.stderr and "pip install -e ." in result.stderr


def test_python_started_in_the_checkout_imports_the_working_package():
    # The project's scripts install the checkout in editable mode: the source
    # folder then is the package, with its compiled modules.
    root = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
    code = "import velmora; print(len(velmora.CompressedVectorStore(32, 2)), velmora.__file__)"
    result = subprocess.run([sys.executable, "-c", code], cwd=root, capture_output=True, text=True, timeout=60)
    if result.returncode != 0 and "compiled module is missing" in result.stderr:
        pytest.skip("velmora is not installed from this checkout in editable mode")
    assert result.returncode == 0, result.stderr
    assert result.stdout.split()[0] == "0"
