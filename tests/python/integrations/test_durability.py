"""A writer killed with SIGKILL, right after a write returned or in the middle
of one (or of a snapshot), loses no acknowledged write and leaves a store that
opens with each write whole or absent."""

import os
import signal
import subprocess
import sys
import time

import numpy as np
import pytest

from velmora.integrations._filters import Condition
from velmora.integrations._store import Collection

BATCH = 300
DIM = 24

WRITER = (
    r"""
import sys
import numpy as np
from velmora.integrations._store import Collection, Record

path, pause = sys.argv[1], float(sys.argv[2])
store = Collection(path)
batch = 0
while True:
    rng = np.random.default_rng(batch)
    vectors = rng.standard_normal((%(batch)d, %(dim)d))
    store.upsert([Record(f"b{batch}-{i}", "text", {"batch": batch}, vectors[i]) for i in range(%(batch)d)])
    if batch %% 3 == 2:
        store.delete_ids([f"b{batch - 2}-{i}" for i in range(0, %(batch)d, 2)])
    print(batch, flush=True)
    batch += 1
    if pause:
        import time
        time.sleep(pause)
""".replace("%(batch)d", str(BATCH))
    .replace("%(dim)d", str(DIM))
    .replace("%%", "%")
)


def expected_counts(batch, acknowledged):
    """The possible numbers of documents of `batch` once every write up to
    `acknowledged` is applied (half are deleted by the write of batch + 2,
    which may have been cut short or not)."""
    deleter = batch + 2
    if deleter % 3 != 2 or deleter > acknowledged + 1:
        return {BATCH}
    return {BATCH // 2} if deleter <= acknowledged else {BATCH, BATCH // 2}


def check_reopened(path, acknowledged):
    store = Collection(path)
    counts = {}
    for row in store.find():
        counts[row.meta["batch"]] = counts.get(row.meta["batch"], 0) + 1
    for batch in range(acknowledged + 1):
        assert counts.get(batch) in expected_counts(batch, acknowledged), (batch, counts)
    # A write after the last acknowledged one is whole or absent (its deletes too).
    for batch, count in counts.items():
        assert count in (BATCH, BATCH // 2), (batch, count)
    assert len(store.index) == store.count()
    rows = store.find(with_vectors=True)
    keys = np.array([r.key for r in rows])
    vectors = np.array([r.vector for r in rows])
    query = np.random.default_rng(99).standard_normal(DIM)
    scores = vectors @ query / np.linalg.norm(vectors, axis=1) / np.linalg.norm(query)
    want = keys[np.lexsort((keys, -scores))[:10]].tolist()
    assert [r.key for r in store.search(query, 10)] == want
    assert store.count(Condition("batch", "eq", 0)) == counts.get(0, 0)
    store.close()


def run_writer(path, pause):
    return subprocess.Popen(
        [sys.executable, "-P", "-c", WRITER, str(path), str(pause)],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
    )


def test_killed_right_after_a_write_returns(tmp_path):
    writer = run_writer(tmp_path, 0.5)
    try:
        for _ in range(5):
            acknowledged = int(writer.stdout.readline())
    finally:
        os.kill(writer.pid, signal.SIGKILL)
        writer.wait()
    assert acknowledged == 4, writer.stderr.read()
    check_reopened(tmp_path, acknowledged)


@pytest.mark.parametrize("delay", [0.4, 0.9, 1.6])
def test_killed_in_the_middle_of_a_write(tmp_path, delay):
    writer = run_writer(tmp_path, 0.0)
    acknowledged = -1
    try:
        started = writer.stdout.readline()  # the first write done: the next ones follow without a pause
        acknowledged = int(started)
        deadline = time.monotonic() + delay
        os.set_blocking(writer.stdout.fileno(), False)
        while time.monotonic() < deadline:
            time.sleep(0.01)
    finally:
        os.kill(writer.pid, signal.SIGKILL)
        writer.wait()
    lines = (writer.stdout.read() or "").split()
    acknowledged = max([acknowledged, *map(int, lines)])
    check_reopened(tmp_path, acknowledged)
