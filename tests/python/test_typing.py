"""The type stub against the module's real behaviour, and the README's quick
start against examples/quickstart.py (which scripts/test.sh checks with
mypy --strict).

mypy runs in a fresh directory so that it reads the stub and the py.typed
marker of the installed package, not the source tree.
"""

import re
import subprocess
import sys
from pathlib import Path

import pytest
from helpers import skip_under_emulation

ROOT = Path(__file__).resolve().parents[2]

# Calls the module accepts; each must also pass mypy --strict.
ACCEPTED = """\
import array

import numpy as np

from velmora import CompressedVectorStore

v = [float(i % 7) - 3.0 for i in range(32)]
store = CompressedVectorStore(dim=np.int64(32), bits=4)
store.insert(1, v)
store.insert(np.uint64(2), np.arange(1, 33, dtype=np.float32))
store.insert(3, tuple(v))
store.insert(4, range(1, 33))
store.insert(5, bytes(range(1, 33)))
store.insert(6, array.array("f", v))
store.insert(7, memoryview(array.array("d", v)))
store.insert(True, [np.float32(x) for x in v])
store.insert_batch([(10, v), (11, np.ones(32))])
store.insert_batch(((12, v),))
hits: list[tuple[int, float]] = store.query(v, top_k=np.int64(3))
ranked: list[tuple[int, float]] = store.query_all(vector=v)
removed: bool = store.remove(id=1)
size: int = store.memory_bytes()
count: int = len(store)
assert [s for _, s in hits] == [s for _, s in ranked[:3]]
assert (removed, count, size) == (True, 9, 9 * 20)
"""

# Calls mypy must flag. Those that are also refused at run time say so.
REJECTED = [
    ('store.insert("7", v)', TypeError),
    ('store.insert(1, "abc")', TypeError),
    ("store.insert(1, {1.0, 2.0})", TypeError),
    ("store.insert(1, (x for x in v))", TypeError),
    ("store.insert(1.0, v)", TypeError),
    ("store.insert(id=1, vec=v)", TypeError),
    ("store.insert_batch([[1, v]])", TypeError),
    ("store.insert_batch([(1, v, 2)])", ValueError),
    ("store.insert_batch({1: v})", TypeError),
    ("store.query(v)", TypeError),
    ("store.query(v, k=3)", TypeError),
    ("store.query(v, 2.0)", TypeError),
    ("store.query_all(v, 3)", TypeError),
    ("store.remove(None)", TypeError),
    ("store.memory_bytes(1)", TypeError),
    ("CompressedVectorStore(32)", TypeError),
    ("CompressedVectorStore(32.0, 4)", TypeError),
    ("type('Sub', (CompressedVectorStore,), {})", TypeError),
    ("label: str = store.query(v, 1)[0][1]", None),
    ("ident: str = store.query_all(v)[0][0]", None),
    ("flag: int = store.insert(9, v)", None),
    ("store.mystery()", AttributeError),
]
REJECTED_PRELUDE = """\
from velmora import CompressedVectorStore

v = [1.0] * 32
store = CompressedVectorStore(32, 4)
store.insert(0, v)
"""


def mypy(tmp_path, **files):
    for name, text in files.items():
        (tmp_path / f"{name}.py").write_text(text)
    run = subprocess.run(
        [
            sys.executable,
            "-m",
            "mypy",
            "--strict",
            "--no-incremental",
            "--no-error-summary",
            *(f"{name}.py" for name in files),
        ],
        cwd=tmp_path,
        capture_output=True,
        text=True,
        timeout=300,
    )
    errors = {}
    for line in run.stdout.splitlines():
        match = re.match(r"(\w+)\.py:(\d+): error: (.*)", line)
        if match:
            errors.setdefault((match[1], int(match[2])), []).append(match[3])
    return run, errors


@skip_under_emulation("mypy is not in the arm64 root; the stubs it checks against are the same on every architecture")
def test_stub_accepts_what_the_module_accepts_and_rejects_what_it_refuses(tmp_path):
    rejected = REJECTED_PRELUDE + "".join(f"{code}\n" for code, _ in REJECTED)
    # "Sub" as a class statement, so that mypy sees the subclassing.
    rejected = rejected.replace("type('Sub', (CompressedVectorStore,), {})", "class Sub(CompressedVectorStore): ...")
    run, errors = mypy(tmp_path, accepted=ACCEPTED, rejected=rejected)
    assert not [key for key in errors if key[0] == "accepted"], run.stdout
    first = REJECTED_PRELUDE.count("\n") + 1
    unflagged = [code for line, (code, _) in enumerate(REJECTED, first) if ("rejected", line) not in errors]
    assert unflagged == [], run.stdout
    assert len([key for key in errors if key[0] == "rejected"]) == len(REJECTED), run.stdout

    exec(compile(ACCEPTED, "accepted.py", "exec"), {})
    namespace: dict = {}
    exec(REJECTED_PRELUDE, namespace)
    for code, raised in REJECTED:
        if raised is None:
            exec(code, namespace)
        else:
            with pytest.raises(raised):
                exec(code, namespace)


def readme_quickstart():
    readme = (ROOT / "README.md").read_text()
    blocks = re.findall(r"<!-- checked: examples/quickstart\.py -->\s*```python\n(.*?)```", readme, re.S)
    assert len(blocks) == 1, "README.md needs exactly one quick start block marked for mypy"
    return blocks[0]


def test_readme_quickstart_is_the_checked_example():
    assert readme_quickstart() == (ROOT / "examples" / "quickstart.py").read_text()


def test_quickstart_runs_and_prints_what_its_comments_promise(tmp_path):
    run = subprocess.run(
        [sys.executable, "-P", ROOT / "examples" / "quickstart.py"],
        cwd=tmp_path,
        capture_output=True,
        text=True,
        timeout=120,
    )
    assert run.returncode == 0, run.stderr
    lines = run.stdout.splitlines()
    assert re.fullmatch(r"\[42, 7\] \['0\.9\d\d', '0\.9\d\d'\]", lines[0])
    assert lines[1] == "(2,) True"
    assert re.fullmatch(r"\[42, 7\] \['0\.9\d\d', '0\.9\d\d'\]", lines[2])
    assert lines[3:] == [
        f"1000 vectors in {1000 * 70} bytes",
        "2",
        "Index(dim=128, bits=4, n=998, memory=68.2KB)",
        "16 [42, 7]",
    ]
