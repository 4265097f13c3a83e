"""The RAG examples run as a user would run them and print what they should."""

import os
import subprocess
import sys
from pathlib import Path

import pytest

EXAMPLES = Path(__file__).resolve().parents[3] / "examples"

EXPECTED = {
    "rag_langchain.py": (
        "langchain_core",
        """\
0.283 p1 Full vectors on disk let a search re-rank its candidates exactly.
-0.150 p0 Compressed codes keep each vector in a few bits per coordinate.
They are re-ranked with the full vectors kept on disk.
['p1', 'p0']
['p2']
""",
    ),
    "rag_llama_index.py": (
        "llama_index.core",
        """\
0.351 Full vectors on disk let a search re-rank its candidates exactly.
-0.087 Compressed codes keep each vector in a few bits per coordinate.
A write-ahead log makes every committed write durable.
""",
    ),
    "rag_haystack.py": (
        "haystack",
        """\
0.693 Full vectors on disk let a search re-rank exactly.
-0.074 Compressed codes keep each vector in a few bits.
Full vectors on disk let a search re-rank exactly.
""",
    ),
}


@pytest.mark.parametrize("name", sorted(EXPECTED))
def test_example_prints_its_answers(name, tmp_path):
    module, expected = EXPECTED[name]
    pytest.importorskip(module)
    done = subprocess.run(
        [sys.executable, "-P", str(EXAMPLES / name)],
        capture_output=True,
        text=True,
        timeout=300,
        cwd=tmp_path,
        env={**os.environ, "HAYSTACK_TELEMETRY_ENABLED": "False", "TMPDIR": str(tmp_path)},
    )
    assert done.returncode == 0, done.stderr
    assert done.stdout == expected
