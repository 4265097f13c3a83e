"""Saving, loading and pickling velmora.Index: round trips that answer
identically, damaged or forged files refused with ValueError (never a crash,
never a partial index), and saves that fail half-way leaving the previous
file intact."""

import os
import pickle
import struct
import subprocess
import sys
import zlib
from pathlib import Path

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from velmora import Index

DIM = 40  # 40 * 3 bits = 15 bytes per record, no spare bits; 33 below has some
HEADER = 64


def filled(dim=DIM, bits=3, n=150, seed=0):
    index = Index(dim, bits)
    rng = np.random.default_rng(seed)
    index.add(rng.integers(0, 2**63, n), rng.standard_normal((n, dim)))
    index.remove(index.ids[::10])  # positions no longer follow insertion order
    return index


def answers(index):
    queries = np.random.default_rng(99).standard_normal((4, index.dim))
    ids, scores = index.search(queries, len(index))
    return index.ids.tobytes(), ids.tobytes(), scores.tobytes()


def section_bounds(data, dim, bits):
    n = struct.unpack_from("<Q", data, 32)[0]
    record = (dim * bits + 7) // 8
    ids_end = HEADER + 8 * n + 4
    norms_end = ids_end + 4 * n + 4
    codes_end = norms_end + record * n + 4
    return {
        "header": (0, HEADER),
        "ids": (HEADER, ids_end),
        "norms": (ids_end, norms_end),
        "codes": (norms_end, codes_end),
        "error bounds": (codes_end, len(data)),
    }


@pytest.fixture(scope="module")
def saved():
    index = filled()
    return index, index.to_bytes()


def test_save_load_and_bytes_round_trips_answer_identically(saved, tmp_path):
    index, data = saved
    for path in (tmp_path / "a.vidx", str(tmp_path / "b.vidx"), os.fsencode(tmp_path / "c.vidx")):
        index.save(path)
        loaded = Index.load(path)
        assert (loaded.dim, loaded.bits, len(loaded)) == (index.dim, index.bits, len(index))
        assert answers(loaded) == answers(index)
        assert Path(os.fsdecode(path)).read_bytes() == data
    for form in (data, bytearray(data), memoryview(data)):
        assert answers(Index.from_bytes(form)) == answers(index)
    assert Index.from_bytes(data).to_bytes() == data
    empty = Index(33, 2)
    assert len(Index.from_bytes(empty.to_bytes())) == 0
    assert sorted(os.listdir(tmp_path)) == ["a.vidx", "b.vidx", "c.vidx"]


def test_the_layout_is_the_documented_one(saved):
    index, data = saved
    n, record = len(index), index.record_bytes
    assert data[:8] == b"VELMIDX\0" and len(data) == HEADER + 16 + n * (14 + record)
    version, dim, bits, count = struct.unpack_from("<I4xQB7xQ", data, 8)
    assert (version, dim, bits, count) == (2, DIM, 3, n)
    assert struct.unpack_from("<I", data, 60)[0] == crc32c(data[:60])
    ids = np.frombuffer(data, dtype="<u8", count=n, offset=HEADER)
    assert ids.tolist() == index.ids.tolist()
    norms, codes, bounds = index.export_records(index.ids)
    norms_at = HEADER + 8 * n + 4
    codes_at = norms_at + 4 * n + 4
    bounds_at = codes_at + record * n + 4
    assert data[norms_at : norms_at + 4 * n] == norms.astype("<f4").tobytes()
    assert data[codes_at : bounds_at - 4] == codes.tobytes()
    assert data[bounds_at:-4] == bounds.astype("<u2").tobytes()
    assert struct.unpack_from("<I", data, len(data) - 4)[0] == crc32c(data[bounds_at:-4])


def crc32c(data):
    """Bitwise CRC-32C, to check the file's checksums independently."""
    crc = 0xFFFFFFFF
    for byte in data:
        crc ^= byte
        for _ in range(8):
            crc = (crc >> 1) ^ (0x82F63B78 if crc & 1 else 0)
    return crc ^ 0xFFFFFFFF


def test_pickle_and_copy_give_independent_equal_indexes(saved):
    index, _ = saved
    for protocol in range(2, pickle.HIGHEST_PROTOCOL + 1):
        restored = pickle.loads(pickle.dumps(index, protocol))
        assert type(restored) is Index and answers(restored) == answers(index)
    restored.remove(restored.ids[:5])
    assert len(restored) == len(index) - 5


def damaged_files(data, dim, bits):
    """(description, bytes) of truncations at and around every section
    boundary and at random points, bit flips in every section, and forged
    header fields."""
    rng = np.random.default_rng(7)
    bounds = section_bounds(data, dim, bits)
    cuts = {0, 1, 7, 8, 63, 64, len(data) - 1}
    for start, end in bounds.values():
        cuts |= {start, start + 1, end - 4, end - 1, end}
    cuts |= set(rng.integers(0, len(data), 20).tolist())
    for cut in sorted(c for c in cuts if c < len(data)):
        yield f"truncated to {cut}", data[:cut]
    yield "one byte appended", data + b"\0"
    for name, (start, end) in bounds.items():
        for at in {start, end - 1, end - 5, *rng.integers(start, end, 6).tolist()}:
            flipped = bytearray(data)
            flipped[at] ^= 1 << int(rng.integers(0, 8))
            yield f"bit flip in {name} at {at}", bytes(flipped)

    def forged(offset, fmt, value):
        header = bytearray(data[:HEADER])
        struct.pack_into(fmt, header, offset, value)
        struct.pack_into("<I", header, 60, crc32c(header[:60]))
        return bytes(header) + data[HEADER:]

    n = struct.unpack_from("<Q", data, 32)[0]
    for count in (n + 1, n - 1, 0, 2**40, 2**64 - 1):
        yield f"count forged to {count}", forged(32, "<Q", count)
    yield "a newer version", forged(8, "<I", 4)
    yield "version 0", forged(8, "<I", 0)
    yield "dim 31", forged(16, "<Q", 31)
    yield "dim 2**40", forged(16, "<Q", 2**40)
    yield "bits 5", forged(24, "<B", 5)
    yield "fingerprint", forged(40, "<Q", 1)
    yield "reserved byte", forged(56, "<B", 1)
    yield "not an index", b"PK\x03\x04" + data[4:]


def test_damaged_and_forged_files_are_refused_cleanly(saved, tmp_path):
    index, data = saved
    path = tmp_path / "damaged.vidx"
    cases = list(damaged_files(data, DIM, 3))
    assert len(cases) > 80
    for description, damaged in cases:
        with pytest.raises(ValueError) as caught:
            Index.from_bytes(damaged)
        path.write_bytes(damaged)
        with pytest.raises(ValueError) as from_file:
            Index.load(path)
        assert str(caught.value), description
        assert str(from_file.value) in (str(caught.value), "the file ended early (it was truncated while being read)")
    messages = {d: str(e) for d, e in ((d, _refusal(b)) for d, b in cases)}
    assert "newer than this velmora" in messages["a newer version"]
    assert "wrong magic" in messages["not an index"]
    assert "does not match" in messages["count forged to 2**40".replace("2**40", str(2**40))]
    assert "engine fingerprint mismatch" in messages["fingerprint"]
    # Nothing was half-built: the original and a fresh load still work.
    assert answers(Index.from_bytes(data)) == answers(index)


def _refusal(data):
    try:
        Index.from_bytes(data)
    except ValueError as error:
        return error
    raise AssertionError("accepted")


@settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(st.data())
def test_fuzzed_files_load_only_when_unchanged(data):
    original = _FUZZ_SOURCE
    mutated = bytearray(original)
    for _ in range(data.draw(st.integers(1, 4))):
        kind = data.draw(st.sampled_from(["flip", "set", "cut", "insert", "delete"]))
        at = data.draw(st.integers(0, max(0, len(mutated) - 1)))
        if kind == "flip" and mutated:
            mutated[at] ^= 1 << data.draw(st.integers(0, 7))
        elif kind == "set" and mutated:
            mutated[at] = data.draw(st.integers(0, 255))
        elif kind == "cut":
            del mutated[at:]
        elif kind == "insert":
            mutated[at:at] = data.draw(st.binary(min_size=1, max_size=9))
        elif kind == "delete":
            del mutated[at : at + data.draw(st.integers(1, 9))]
    try:
        loaded = Index.from_bytes(bytes(mutated))
    except ValueError:
        return
    assert bytes(mutated) == original
    assert loaded.to_bytes() == original


_FUZZ_SOURCE = filled(dim=33, bits=3, n=12, seed=3).to_bytes()


def test_io_errors_are_os_errors_and_leave_nothing_behind(saved, tmp_path):
    index, _ = saved
    with pytest.raises(FileNotFoundError):
        Index.load(tmp_path / "missing.vidx")
    with pytest.raises(IsADirectoryError):
        Index.load(tmp_path)
    with pytest.raises(FileNotFoundError):
        index.save(tmp_path / "no" / "such" / "dir.vidx")
    with pytest.raises(IsADirectoryError):
        index.save(str(tmp_path) + "/")
    (tmp_path / "taken").mkdir()
    with pytest.raises(IsADirectoryError):
        index.save(tmp_path / "taken")  # rename over a directory fails
    assert sorted(os.listdir(tmp_path)) == ["taken"]
    assert os.listdir(tmp_path / "taken") == []


INTERRUPTED_SAVE = r"""
import os, resource, sys
import numpy as np
from velmora import Index
path = sys.argv[1]
big = Index(64, 4)
big.add(np.arange(5000), np.random.default_rng(1).standard_normal((5000, 64)))
limit = os.path.getsize(path) + 4096
resource.setrlimit(resource.RLIMIT_FSIZE, (limit, limit))
try:
    big.save(path)
except OSError as error:
    print(type(error).__name__, error.errno == __import__("errno").EFBIG)
big.add([10**6], np.ones((1, 64)))  # the index is usable after the failure
print(len(big))
"""


def test_a_save_cut_short_by_the_file_size_limit_keeps_the_old_file(tmp_path):
    old = filled(dim=64, bits=4, n=300, seed=5)
    path = tmp_path / "index.vidx"
    old.save(path)
    before = path.read_bytes()
    run = subprocess.run(
        [sys.executable, "-c", INTERRUPTED_SAVE, str(path)], capture_output=True, text=True, timeout=120, cwd=tmp_path
    )
    assert run.returncode == 0, run.stderr
    assert run.stdout.split() == ["OSError", "True", "5001"]
    assert path.read_bytes() == before
    assert answers(Index.load(path)) == answers(old)
    assert os.listdir(tmp_path) == ["index.vidx"]


def test_saving_over_an_existing_file_replaces_it_whole(saved, tmp_path):
    index, data = saved
    path = tmp_path / "index.vidx"
    path.write_bytes(b"old contents that are much longer than nothing" * 1000)
    small = Index(DIM, 3)
    small.save(path)
    assert path.read_bytes() == small.to_bytes()
    index.save(path)
    assert path.read_bytes() == data
    assert zlib.crc32(path.read_bytes()) == zlib.crc32(data)


# Runs against the module built with test hooks, where flushing the directory
# after the rename fails while VELMORA_FORCE_DIRECTORY_SYNC_FAILURE is set.
DIRECTORY_SYNC_FAILURE = r"""
import errno, sys
sys.path.insert(0, sys.argv[1])
import _index_core as core
index = core.IndexCore(40, 3)
for write in (lambda path: index.save(path), lambda path: core.write_file_atomically(path, b"new")):
    try:
        write(sys.argv[2].encode())
    except OSError as error:
        print(type(error).__name__, error.errno == errno.EIO, "the new file is in place" in str(error),
              error.filename == sys.argv[2].encode())
"""


def test_a_failed_directory_flush_says_the_new_file_is_in_place(tmp_path):
    hooks = os.environ.get("VELMORA_HOOKS_MODULE_DIR", "")
    if not list(Path(hooks or ".").glob("_index_core*.so")) or not hooks:
        pytest.skip("needs the module built with test hooks (scripts/test.sh builds it)")
    path = tmp_path / "index.vidx"
    path.write_bytes(b"old")
    run = subprocess.run(
        [sys.executable, "-c", DIRECTORY_SYNC_FAILURE, hooks, str(path)],
        capture_output=True,
        text=True,
        timeout=120,
        env={**os.environ, "VELMORA_FORCE_DIRECTORY_SYNC_FAILURE": "1"},
    )
    assert run.returncode == 0, run.stderr
    assert run.stdout.splitlines() == ["OSError True True True"] * 2
    assert path.read_bytes() == b"new"
    assert os.listdir(tmp_path) == ["index.vidx"]


def test_version_one_files_load_and_exact_search_says_how_to_get_bounds(saved):
    index, data = saved
    n, record = len(index), index.record_bytes
    # Version 1 is version 2 without the error bounds section.
    header = bytearray(data[:HEADER])
    struct.pack_into("<I", header, 8, 1)
    struct.pack_into("<I", header, 60, crc32c(header[:60]))
    old = bytes(header) + data[HEADER : HEADER + 12 + n * (12 + record)]
    loaded = Index.from_bytes(old)
    assert answers(loaded) == answers(index)
    assert loaded.export_records(loaded.ids)[2].tolist() == [0xFFFF] * n
    vectors = np.random.default_rng(2).standard_normal((n, DIM))
    rows = dict(zip(index.ids.tolist(), vectors))

    def full(ids):
        return np.array([rows[i] for i in ids.tolist()])

    with pytest.raises(ValueError, match="add those vectors again with Index.add"):
        loaded.search(vectors[:1], 3, rerank=full, exact=True)
    assert loaded.search(vectors[:1], 3, rerank=full)[0].shape == (1, 3)  # re-ranking needs no bounds
    # Saved again, the bounds stay unknown, now in a version-2 file.
    assert Index.from_bytes(loaded.to_bytes()).export_records(loaded.ids)[2].tolist() == [0xFFFF] * n


def test_forged_partitions_are_refused():
    index = filled(n=300)
    index.partition(6)
    data = index.to_bytes()
    n, dim = len(index), DIM
    assert struct.unpack_from("<II", data, 48) == (6, index.default_probes)
    sizes_at = len(data) - (6 * 8 + 4) - (6 * dim * 4 + 4)
    centroids_at = sizes_at + 6 * 8 + 4

    def header(lists, probes):
        forged = bytearray(data)
        struct.pack_into("<II", forged, 48, lists, probes)
        struct.pack_into("<I", forged, 60, crc32c(bytes(forged[:60])))
        return bytes(forged)

    def section(at, values, fmt):
        forged = bytearray(data)
        struct.pack_into(fmt, forged, at, *values)
        length = struct.calcsize(fmt) if at == centroids_at else 6 * 8
        end = at + (6 * dim * 4 if at == centroids_at else length)
        struct.pack_into("<I", forged, end, crc32c(bytes(forged[at:end])))
        return bytes(forged)

    sizes = list(struct.unpack_from("<6Q", data, sizes_at))
    cases = {
        "no lists": header(0, 1),
        "more lists than vectors": header(n + 1, 1),
        "no probes": header(6, 0),
        "more probes than lists": header(6, 7),
        "sizes too large": section(sizes_at, [sizes[0] + 1] + sizes[1:], "<6Q"),
        "a huge size": section(sizes_at, [2**64 - 1] + sizes[1:], "<6Q"),
        "a NaN centroid": section(centroids_at, [float("nan")], "<f"),
        "damaged centroids": data[:centroids_at] + bytes([data[centroids_at] ^ 1]) + data[centroids_at + 1 :],
    }
    messages = {}
    for name, forged in cases.items():
        with pytest.raises(ValueError) as caught:
            Index.from_bytes(forged)
        messages[name] = str(caught.value)
    assert "invalid partitions" in messages["more probes than lists"] and "invalid partitions" in messages["no lists"]
    assert "add up to" in messages["sizes too large"] and "add up to" in messages["a huge size"]
    assert "not finite" in messages["a NaN centroid"]
    assert "centroids section" in messages["damaged centroids"]
    assert Index.from_bytes(data).partitions == 6
