"""The store under the framework integrations.

Documents (a string id, text, metadata, the framework's own payload) and their
full vectors live in SQLite, in memory or in a file under a directory; the
compressed `velmora.Index` of the vectors lives in RAM, keyed by each
document's integer key. A search evaluates the filter in SQLite, hands the
matching keys to the index as `allowed`, and re-ranks with the full vectors
read back from SQLite, with `exact=True`: the true top k by cosine among the
matching documents.

On disk, every write call is one SQLite transaction (WAL, synchronous=FULL),
durable when the call returns. The index is saved now and then beside the
database as `index-<seq>.vidx`, where seq counts the write calls, and the
settings table records which snapshot is current; reopening loads it and
replays the vectors written after it (each row of `vectors` carries the seq of
its last change, and `removed` lists the keys that lost their vector since).

Threads: searches and reads run side by side; writes take turns, and the index
is changed only while no search runs (velmora.Index refuses a change that meets
another call). Each thread reads through a connection of its own.
"""

from __future__ import annotations

import contextlib
import fcntl
import json
import os
import queue
import sqlite3
import threading
import uuid
import weakref
from collections import OrderedDict
from collections.abc import Callable, Iterable, Iterator, Sequence
from dataclasses import dataclass
from operator import itemgetter
from typing import Any

import numpy as np
import numpy.typing as npt

from velmora import Index

from ._filters import Filter, FilterError, evaluate, field_rows, plan

__all__ = ["Collection", "DuplicateIdError", "FilterError", "Handle", "Record", "Row", "open_collection"]

FORMAT_VERSION = 1
DATABASE_NAME = "velmora.sqlite3"
LOCK_NAME = "velmora.lock"
# Vectors below this dimension are zero-padded for the index (cosines are unchanged).
MIN_INDEX_DIM = 32
# A snapshot of the index is saved once this many vectors changed since the
# last one, or a tenth of the stored ones if that is more: reopening then
# replays at most that many.
SNAPSHOT_MIN_CHANGES = 1000
SNAPSHOT_SHARE = 0.1
# Vectors whose largest coordinate lies outside [2**-40, 2**40] are scaled by a
# power of two (exactly, so cosines stay bit for bit) before they reach the
# index, which refuses tiny norms and rounds to float32: within that range even
# the sum of 65,536 squares stays a normal float32.
_SCALE_LOW, _SCALE_HIGH = 2.0**-40, 2.0**40
_KEYS_PER_QUERY = 50_000
_MMAP_BYTES = 1 << 34
# The keys of recent filters (and of their queries) are kept until the next
# write: at most this many filters and keys in all (8 bytes each).
_CACHED_FILTERS = 64
_CACHED_KEYS = 1 << 20

_SCHEMA = """
CREATE TABLE IF NOT EXISTS settings (name TEXT PRIMARY KEY, value);
CREATE TABLE IF NOT EXISTS docs (
    key INTEGER PRIMARY KEY AUTOINCREMENT,
    id TEXT NOT NULL UNIQUE,
    text TEXT,
    meta TEXT NOT NULL,
    extra TEXT,
    ref TEXT
);
CREATE INDEX IF NOT EXISTS docs_ref ON docs (ref) WHERE ref IS NOT NULL;
CREATE TABLE IF NOT EXISTS vectors (
    key INTEGER PRIMARY KEY, seq INTEGER NOT NULL, zero INTEGER NOT NULL, data BLOB NOT NULL
);
CREATE INDEX IF NOT EXISTS vectors_seq ON vectors (seq);
CREATE INDEX IF NOT EXISTS vectors_zero ON vectors (key) WHERE zero = 1;
CREATE TABLE IF NOT EXISTS removed (key INTEGER PRIMARY KEY, seq INTEGER NOT NULL);
CREATE TABLE IF NOT EXISTS fields (name TEXT NOT NULL, kind INTEGER NOT NULL, value, stamp REAL, key INTEGER NOT NULL);
CREATE INDEX IF NOT EXISTS fields_value ON fields (name, kind, value, key);
CREATE INDEX IF NOT EXISTS fields_stamp ON fields (name, stamp, key) WHERE stamp IS NOT NULL;
CREATE INDEX IF NOT EXISTS fields_key ON fields (key);
"""


class DuplicateIdError(ValueError):
    """A write with policy "fail" met ids that are already stored, or repeated."""

    def __init__(self, message: str, ids: list[str]) -> None:
        super().__init__(message)
        self.ids = ids


@dataclass
class Record:
    """One document to write. `vector` is a 1-D sequence of numbers, or None for a
    document found by filters only; `extra` is the framework's own payload and
    `ref` a grouping id (LlamaIndex's ref_doc_id)."""

    id: str
    text: str | None
    meta: dict[str, Any]
    vector: Any = None
    extra: dict[str, Any] | None = None
    ref: str | None = None


@dataclass
class Row:
    """A stored document as read back; `score` is its cosine with the query."""

    key: int
    id: str
    text: str | None
    meta: dict[str, Any]
    extra: dict[str, Any] | None
    ref: str | None
    vector: npt.NDArray[np.float64] | None = None
    score: float | None = None


class _SharedLock:
    """Shared for reads, exclusive for changes of the index; a waiting change
    holds back new readers. A thread already reading reads again without waiting
    (a filter callable may search), but cannot change the store from there."""

    def __init__(self) -> None:
        self._cond = threading.Condition(threading.Lock())
        self._readers = 0
        self._writer = False
        self._waiting = 0
        self._local = threading.local()

    @contextlib.contextmanager
    def shared(self) -> Iterator[None]:
        depth = getattr(self._local, "depth", 0)
        if depth == 0:
            with self._cond:
                while self._writer or self._waiting:
                    self._cond.wait()
                self._readers += 1
        self._local.depth = depth + 1
        try:
            yield
        finally:
            self._local.depth = depth
            if depth == 0:
                with self._cond:
                    self._readers -= 1
                    if self._readers == 0:
                        self._cond.notify_all()

    def reading(self) -> bool:
        return getattr(self._local, "depth", 0) > 0

    @contextlib.contextmanager
    def exclusive(self) -> Iterator[None]:
        with self._cond:
            self._waiting += 1
            try:
                while self._writer or self._readers:
                    self._cond.wait()
            finally:
                self._waiting -= 1
            self._writer = True
        try:
            yield
        finally:
            with self._cond:
                self._writer = False
                self._cond.notify_all()


def _vector(value: Any, where: str) -> npt.NDArray[np.floating[Any]]:
    """A 1-D float32 or float64 array of finite values (ints become float64)."""
    if isinstance(value, (str, bytes, bytearray, dict, set)) or value is None:
        raise TypeError(f"{where}: an embedding is a sequence of numbers, got {type(value).__name__}")
    try:
        array = np.asarray(value)
    except (TypeError, ValueError) as exc:
        raise TypeError(f"{where}: an embedding is a sequence of numbers ({exc})") from None
    kind = array.dtype.kind
    if kind not in "fiu":
        raise TypeError(f"{where}: an embedding is a sequence of numbers, got dtype {array.dtype}")
    if array.ndim != 1 or array.size == 0:
        raise ValueError(f"{where}: an embedding is a non-empty 1-D sequence, got shape {array.shape}")
    if array.dtype not in (np.float32, np.float64) or not array.dtype.isnative:
        array = array.astype(np.float64)
    if not np.isfinite(array).all():
        raise ValueError(f"{where}: the embedding holds NaN or an infinity")
    return array


def _blob(vector: npt.NDArray[np.floating[Any]]) -> bytes:
    """float32 bytes where that loses nothing (embedding models return float32),
    float64 otherwise: the framework gets back exactly the values it wrote."""
    if vector.dtype == np.float32:
        return vector.tobytes()
    with np.errstate(over="ignore"):
        narrow = vector.astype(np.float32)
    if np.array_equal(narrow.astype(np.float64), vector):
        return narrow.tobytes()
    return np.ascontiguousarray(vector, dtype=np.float64).tobytes()


def _for_index(rows: npt.NDArray[np.floating[Any]], width: int) -> npt.NDArray[np.floating[Any]]:
    """Rows as the index stores them: zero-padded to `width`, and scaled by a
    power of two where the largest coordinate is tiny or huge."""
    largest = np.abs(rows).max(axis=1) if rows.size else np.zeros(len(rows))
    odd = (largest < _SCALE_LOW) | (largest > _SCALE_HIGH)
    if odd.any():
        rows = rows.astype(np.float64, copy=True)
        _, exponents = np.frexp(largest[odd])
        rows[odd] = np.ldexp(rows[odd], -exponents[:, np.newaxis])
    if rows.shape[1] == width:
        return np.ascontiguousarray(rows)
    padded = np.zeros((len(rows), width), dtype=rows.dtype)
    padded[:, : rows.shape[1]] = rows
    return padded


def _decode(blobs: Sequence[bytes], dim: int) -> npt.NDArray[np.floating[Any]]:
    """Stored vectors as an (n, dim) array: float32 if all are, else float64."""
    joined = b"".join(blobs)
    if len(joined) == len(blobs) * dim * 4:  # each blob holds dim float32 or dim float64 values
        return np.frombuffer(joined, dtype=np.float32).reshape(len(blobs), dim)
    out = np.empty((len(blobs), dim), dtype=np.float64)
    for i, b in enumerate(blobs):
        out[i] = np.frombuffer(b, dtype=np.float32 if len(b) == dim * 4 else np.float64)
    return out


def _keys_text(keys: Iterable[int] | npt.NDArray[np.uint64]) -> str:
    # Keys come from SQLite or the index as ints: inlined, they need no parameters.
    if isinstance(keys, np.ndarray):
        keys = keys.tolist()
    return ",".join(map(str, keys))


def _parse_keys(text: str | None) -> npt.NDArray[np.uint64]:
    """The keys of a json_group_array (unique, in the order SQLite gave them)."""
    if not text or text == "[]":
        return np.empty(0, dtype=np.uint64)
    return np.fromstring(text[1:-1], dtype=np.int64, sep=",").astype(np.uint64)


def _fold(value: Any) -> Any:
    return value.casefold() if isinstance(value, str) else value


def _dump_meta(meta: Any, where: str) -> str:
    if not isinstance(meta, dict):
        raise TypeError(f"{where}: metadata is a dict, got {type(meta).__name__}")
    _check_json(meta, where, "metadata")
    return json.dumps(meta, ensure_ascii=False)


def _check_json(value: Any, where: str, path: str) -> None:
    """Refuses what JSON would not give back as it was written: keys that are
    not strings, and values that are not None, bool, int, float, str, list,
    tuple (which comes back as a list) or dict."""
    if value is None or isinstance(value, (bool, int, float, str)):
        return
    if isinstance(value, dict):
        for key, item in value.items():
            if not isinstance(key, str):
                raise TypeError(f"{where}: keys of {path} must be strings, got {type(key).__name__} {key!r}")
            _check_json(item, where, f"{path}[{key!r}]")
        return
    if isinstance(value, (list, tuple)):
        for i, item in enumerate(value):
            _check_json(item, where, f"{path}[{i}]")
        return
    raise TypeError(
        f"{where}: {path} holds a {type(value).__name__}, which cannot be stored; metadata values are None, "
        "bool, int, float, str, lists and dicts of them"
    )


class Collection:
    """Documents with vectors of one dimension, in SQLite (a file under the
    directory `path`, or in memory), and their compressed index in RAM."""

    def __init__(self, path: str | os.PathLike[str] | None = None, *, bits: int = 4) -> None:
        if type(bits) is not int or bits not in (2, 3, 4):
            raise ValueError(f"bits must be 2, 3 or 4, got {bits!r}")
        self._bits = bits
        self._path = None if path is None else os.fspath(path)
        self._closed = False
        self._lock = _SharedLock()
        self._write_mutex = threading.Lock()
        self._idle: queue.SimpleQueue[sqlite3.Connection] = queue.SimpleQueue()
        self._connections: list[sqlite3.Connection] = []
        self._connections_lock = threading.Lock()
        # The lock file's descriptor, in a list shared with the finalizer so that
        # it is closed once.
        self._lock_fd: list[int] = []
        self._index: Index | None = None
        self._dim: int | None = None
        self._generation = 0
        self._universe: tuple[int, npt.NDArray[np.uint64]] | None = None
        self._key_cache: OrderedDict[str, tuple[int, npt.NDArray[np.uint64]]] = OrderedDict()
        self._cache_lock = threading.Lock()
        self._cached_keys = 0
        self._zero_count = 0
        self._changes_since_snapshot = 0
        if self._path is None:
            self._uri = f"file:velmora-{uuid.uuid4().hex}?mode=memory&cache=shared"
        else:
            os.makedirs(self._path, exist_ok=True)
            self._lock_fd.append(self._take_lock(self._path))
            self._uri = "file:" + _uri_path(os.path.join(self._path, DATABASE_NAME))
        try:
            self._writer = self._connect()
            self._open()
        except BaseException:
            self._release()
            raise
        self._finalizer = weakref.finalize(self, _close_all, self._connections, self._lock_fd)
        self._users = 1
        self._registry_key: str | None = None

    # -- opening and closing --------------------------------------------------

    @staticmethod
    def _take_lock(path: str) -> int:
        fd = os.open(os.path.join(path, LOCK_NAME), os.O_RDWR | os.O_CREAT | os.O_CLOEXEC, 0o644)
        try:
            fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except BlockingIOError:
            os.close(fd)
            raise RuntimeError(
                f"the store at {path!r} is open in another velmora store (in this process or another): "
                "close that one first"
            ) from None
        return fd

    def _connect(self) -> sqlite3.Connection:
        conn = sqlite3.connect(self._uri, uri=True, isolation_level=None, check_same_thread=False, timeout=30.0)
        conn.create_function("velmora_fold", 1, _fold, deterministic=True)
        if self._path is not None:
            conn.execute("PRAGMA synchronous = FULL")
            # Re-ranking reads scattered rows: through a memory map they cost no
            # system call each (the pages are the file's, reclaimable cache).
            conn.execute(f"PRAGMA mmap_size = {_MMAP_BYTES}")
        with self._connections_lock:
            self._connections.append(conn)
        return conn

    def _open(self) -> None:
        conn = self._writer
        if self._path is not None:
            mode = conn.execute("PRAGMA journal_mode = WAL").fetchone()[0]
            if str(mode).lower() != "wal":  # a file system without shared memory
                raise OSError(f"SQLite cannot use write-ahead logging in {self._path!r} (journal mode {mode})")
        conn.executescript("BEGIN IMMEDIATE;" + _SCHEMA + "COMMIT;")
        conn.execute("BEGIN IMMEDIATE")
        try:
            settings = dict(conn.execute("SELECT name, value FROM settings").fetchall())
            version = settings.get("format", FORMAT_VERSION)
            if not isinstance(version, int) or version > FORMAT_VERSION:
                raise ValueError(
                    f"the store at {self._path!r} has format {version!r}; this velmora reads up to {FORMAT_VERSION}"
                )
            stored_bits = settings.get("bits")
            rebuild = stored_bits is not None and stored_bits != self._bits
            self._set(conn, "format", FORMAT_VERSION)
            self._set(conn, "bits", self._bits)
            for name in ("seq", "snapshot_seq"):
                settings.setdefault(name, 0)
                self._set(conn, name, settings[name])
            conn.execute("COMMIT")
        except BaseException:
            conn.execute("ROLLBACK")
            raise
        self._dim = settings.get("dim")
        self._seq = int(settings["seq"])
        self._snapshot_seq = int(settings["snapshot_seq"])
        self._zero_count = conn.execute("SELECT count(*) FROM vectors WHERE zero = 1").fetchone()[0]
        if self._dim is not None:
            self._load_index(rebuild)
        if self._path is not None:
            self._remove_stale_snapshots()
        if rebuild:
            self._snapshot()

    def _load_index(self, rebuild: bool) -> None:
        assert self._dim is not None
        width = max(self._dim, MIN_INDEX_DIM)
        since = self._snapshot_seq
        index: Index | None = None
        if not rebuild and self._path is not None and since > 0:
            try:
                index = Index.load(self._snapshot_path(since))
                if index.dim != width or index.bits != self._bits:
                    index = None
            except (OSError, ValueError):
                index = None  # missing or damaged: rebuilt from the database
        if index is None:
            index, since = Index(width, self._bits), 0
        conn = self._writer
        gone = [k for (k,) in conn.execute("SELECT key FROM removed WHERE seq > ?", (since,))]
        if gone:
            index.remove(gone)
        replayed = len(gone)
        cursor = conn.execute("SELECT key, zero, data FROM vectors WHERE seq > ? ORDER BY key", (since,))
        while True:
            chunk = cursor.fetchmany(65536)
            if not chunk:
                break
            zero = [k for k, z, _ in chunk if z]
            if zero:
                index.remove(zero)
            live = [(k, d) for k, z, d in chunk if not z]
            if live:
                rows = _decode([d for _, d in live], self._dim)
                index.add(np.array([k for k, _ in live], dtype=np.uint64), _for_index(rows, width))
            replayed += len(chunk)
        self._index = index
        self._changes_since_snapshot = replayed if since > 0 or self._path is None else max(replayed, 1)

    def _snapshot_path(self, seq: int) -> str:
        assert self._path is not None
        return os.path.join(self._path, f"index-{seq}.vidx")

    def _remove_stale_snapshots(self) -> None:
        assert self._path is not None
        keep = f"index-{self._snapshot_seq}.vidx"
        for name in os.listdir(self._path):
            stale = name.startswith("index-") and name.endswith(".vidx") and name != keep
            interrupted = name.startswith(".index-") and ".vidx.tmp-" in name
            if stale or interrupted:
                with contextlib.suppress(OSError):
                    os.remove(os.path.join(self._path, name))

    def _snapshot(self) -> None:
        """Saves the index as of the current seq and records it as current.
        Called with the write mutex held, so nothing changes meanwhile."""
        if self._path is None:
            return
        seq = self._seq
        if self._index is not None:
            self._index.save(self._snapshot_path(seq))  # atomic, the file and its directory synced
        conn = self._writer
        conn.execute("BEGIN IMMEDIATE")
        try:
            self._set(conn, "snapshot_seq", seq)
            conn.execute("DELETE FROM removed WHERE seq <= ?", (seq,))
            conn.execute("COMMIT")
        except BaseException:
            conn.execute("ROLLBACK")
            raise
        self._snapshot_seq = seq
        self._changes_since_snapshot = 0
        self._remove_stale_snapshots()

    def _maybe_snapshot(self) -> None:
        if self._path is None or self._changes_since_snapshot == 0:
            return
        stored = len(self._index) if self._index is not None else 0
        if self._changes_since_snapshot >= max(SNAPSHOT_MIN_CHANGES, SNAPSHOT_SHARE * stored):
            self._snapshot()

    def close(self) -> None:
        """Saves a snapshot of the index if it changed (on disk) and closes the
        database; later calls raise ValueError. Closing twice does nothing."""
        with self._write_mutex, self._lock.exclusive():
            if self._closed:
                return
            try:
                if self._changes_since_snapshot:
                    self._snapshot()
            finally:
                self._closed = True
                self._release()

    def release(self, *, collected: bool = False) -> None:
        """One user fewer; the last one closes the collection. `collected` says
        the user was garbage-collected, perhaps while this very thread writes:
        then a close that would wait runs in a thread of its own."""
        with _open_lock:
            self._users -= 1
            if self._users > 0:
                return
            if self._registry_key is not None and _open.get(self._registry_key) is self:
                del _open[self._registry_key]
        if not collected:
            self.close()
        elif not self._lock.reading() and self._write_mutex.acquire(blocking=False):
            self._write_mutex.release()
            self.close()
        else:
            threading.Thread(target=self.close, name="velmora-close", daemon=True).start()

    def _release(self) -> None:
        _close_all(self._connections, self._lock_fd)

    @property
    def closed(self) -> bool:
        return self._closed

    def _check_open(self) -> None:
        if self._closed:
            raise ValueError("the store is closed")

    # -- connections and settings ---------------------------------------------

    @contextlib.contextmanager
    def _reader(self) -> Iterator[sqlite3.Connection]:
        """A connection of this thread's own for one read (call with the shared
        lock held, which close() waits for)."""
        self._check_open()
        try:
            conn = self._idle.get_nowait()
        except queue.Empty:
            conn = self._connect()
            conn.execute("PRAGMA query_only = 1")
        try:
            yield conn
        finally:
            self._idle.put(conn)

    @staticmethod
    def _set(conn: sqlite3.Connection, name: str, value: Any) -> None:
        conn.execute(
            "INSERT INTO settings (name, value) VALUES (?, ?) ON CONFLICT (name) DO UPDATE SET value = excluded.value",
            (name, value),
        )

    @property
    def dim(self) -> int | None:
        """The dimension of the stored vectors (None until the first is written)."""
        return self._dim

    @property
    def bits(self) -> int:
        return self._bits

    @property
    def path(self) -> str | None:
        return self._path

    @property
    def index(self) -> Index | None:
        """The compressed index (for measuring memory; do not change it)."""
        return self._index

    # -- reading --------------------------------------------------------------

    def _universe_keys(self, conn: sqlite3.Connection) -> npt.NDArray[np.uint64]:
        cached = self._universe
        if cached is not None and cached[0] == self._generation:
            return cached[1]
        keys = np.sort(_parse_keys(conn.execute("SELECT json_group_array(key) FROM docs").fetchone()[0]))
        self._universe = (self._generation, keys)
        return keys

    def _cached(self, name: str) -> npt.NDArray[np.uint64] | None:
        """The keys a filter (or one of its queries) matched, if nothing was
        written since: a retriever's fixed filter costs its query once."""
        with self._cache_lock:
            entry = self._key_cache.get(name)
            if entry is None or entry[0] != self._generation:
                return None
            self._key_cache.move_to_end(name)
            return entry[1]

    def _cache(self, name: str, keys: npt.NDArray[np.uint64]) -> npt.NDArray[np.uint64]:
        keys.flags.writeable = False
        with self._cache_lock:
            old = self._key_cache.pop(name, None)
            if old is not None:
                self._cached_keys -= len(old[1])
            if len(keys) <= _CACHED_KEYS:
                self._key_cache[name] = (self._generation, keys)
                self._cached_keys += len(keys)
            while self._key_cache and (len(self._key_cache) > _CACHED_FILTERS or self._cached_keys > _CACHED_KEYS):
                _, (_, dropped) = self._key_cache.popitem(last=False)
                self._cached_keys -= len(dropped)
        return keys

    def _matching(
        self,
        conn: sqlite3.Connection,
        where: Filter | None,
        predicate: Callable[[Row], bool] | None = None,
    ) -> npt.NDArray[np.uint64] | None:
        """The sorted keys that match, or None for every document."""
        keys: npt.NDArray[np.uint64] | None = None
        if where is not None:
            planned = plan(where)
            name = repr(planned)
            keys = self._cached(name)
            if keys is None:
                limit = int(conn.execute("SELECT coalesce(max(key), 0) + 1 FROM docs").fetchone()[0])

                def keys_of(sql: str, params: tuple[Any, ...]) -> npt.NDArray[np.uint64]:
                    found = self._cached(sql + repr(params))
                    if found is None:
                        text = conn.execute(f"SELECT json_group_array(key) FROM ({sql})", params).fetchone()[0]
                        found = self._cache(sql + repr(params), _parse_keys(text))
                    return found

                keys = self._cache(name, evaluate(planned, keys_of, lambda: self._universe_keys(conn), limit))
        if predicate is not None:
            chosen = []
            sql = "SELECT key, id, text, meta, extra, ref FROM docs"
            if keys is not None:
                sql += f" WHERE key IN ({_keys_text(keys)})"
            for row in self._rows_of(conn.execute(sql + " ORDER BY key")):
                if predicate(row):
                    chosen.append(row.key)
            keys = np.array(chosen, dtype=np.uint64)
        return keys

    @staticmethod
    def _rows_of(cursor: Iterable[tuple[Any, ...]]) -> Iterator[Row]:
        for key, id_, text, meta, extra, ref in cursor:
            yield Row(key, id_, text, json.loads(meta), None if extra is None else json.loads(extra), ref)

    def _fetch_rows(self, conn: sqlite3.Connection, keys: Sequence[int], with_vectors: bool) -> dict[int, Row]:
        found: dict[int, Row] = {}
        for start in range(0, len(keys), _KEYS_PER_QUERY):
            chunk = _keys_text(keys[start : start + _KEYS_PER_QUERY])
            cursor = conn.execute(f"SELECT key, id, text, meta, extra, ref FROM docs WHERE key IN ({chunk})")
            for row in self._rows_of(cursor):
                found[row.key] = row
            if with_vectors and self._dim is not None:
                for key, data in conn.execute(f"SELECT key, data FROM vectors WHERE key IN ({chunk})"):
                    if key in found:
                        found[key].vector = _decode([data], self._dim)[0].astype(np.float64)
        return found

    def get(self, ids: Sequence[str], *, with_vectors: bool = False) -> list[Row]:
        """The stored documents of `ids`, in their order; ids not stored (and
        repeats) are left out."""
        wanted = list(dict.fromkeys(_string_ids(ids)))
        if not wanted:
            self._check_open()
            return []
        with self._lock.shared(), self._reader() as conn:
            self._check_open()
            keys: dict[str, int] = {}
            for start in range(0, len(wanted), _KEYS_PER_QUERY):
                chunk = json.dumps(wanted[start : start + _KEYS_PER_QUERY])
                keys.update(
                    conn.execute("SELECT id, key FROM docs WHERE id IN (SELECT value FROM json_each(?))", (chunk,))
                )
            rows = self._fetch_rows(conn, list(keys.values()), with_vectors)
        return [rows[keys[i]] for i in wanted if i in keys and keys[i] in rows]

    def find(
        self,
        where: Filter | None = None,
        *,
        predicate: Callable[[Row], bool] | None = None,
        refs: Sequence[str] | None = None,
        with_vectors: bool = False,
    ) -> list[Row]:
        """The documents that match, in the order they were first written."""
        with self._lock.shared(), self._reader() as conn:
            self._check_open()
            keys = self._matching(conn, where, predicate)
            if refs is not None:
                keys = self._intersect(keys, self._ref_keys(conn, refs))
            if keys is None:
                keys = self._universe_keys(conn)
            rows = self._fetch_rows(conn, keys.tolist(), with_vectors)
        return [rows[k] for k in sorted(rows)]

    def count(self, where: Filter | None = None) -> int:
        with self._lock.shared(), self._reader() as conn:
            self._check_open()
            if where is None:
                return int(conn.execute("SELECT count(*) FROM docs").fetchone()[0])
            keys = self._matching(conn, where)
            return 0 if keys is None else len(keys)

    @staticmethod
    def _ref_keys(conn: sqlite3.Connection, refs: Sequence[str]) -> npt.NDArray[np.uint64]:
        text = conn.execute(
            "SELECT json_group_array(key) FROM docs WHERE ref IN (SELECT value FROM json_each(?))",
            (json.dumps(list(refs)),),
        ).fetchone()[0]
        return _parse_keys(text)

    @staticmethod
    def _id_keys(conn: sqlite3.Connection, ids: Sequence[str]) -> npt.NDArray[np.uint64]:
        text = conn.execute(
            "SELECT json_group_array(key) FROM docs WHERE id IN (SELECT value FROM json_each(?))",
            (json.dumps(list(ids)),),
        ).fetchone()[0]
        return _parse_keys(text)

    @staticmethod
    def _intersect(keys: npt.NDArray[np.uint64] | None, more: npt.NDArray[np.uint64]) -> npt.NDArray[np.uint64]:
        return more if keys is None else np.intersect1d(keys, more, assume_unique=True)

    def query_vector(self, vector: Any, where: str = "query") -> npt.NDArray[np.floating[Any]]:
        """A query checked against the store: numbers, finite, not zero, of the
        stored dimension (any dimension while nothing is stored)."""
        array = _vector(vector, where)
        if not np.any(array):
            raise ValueError(f"{where}: the query embedding is zero, so its cosine with anything is undefined")
        if self._dim is not None and len(array) != self._dim:
            raise ValueError(f"{where}: the query embedding has dimension {len(array)}, the store holds {self._dim}")
        return array

    def search(
        self,
        vector: Any,
        k: int,
        where: Filter | None = None,
        *,
        predicate: Callable[[Row], bool] | None = None,
        ids: Sequence[str] | None = None,
        refs: Sequence[str] | None = None,
        with_vectors: bool = False,
    ) -> list[Row]:
        """The k documents of highest cosine with `vector` among those that match
        `where`, `predicate`, `ids` and `refs` (each when given), best first,
        equal cosines in the order written. A stored zero vector has cosine 0
        with every query; documents without a vector are never found."""
        if isinstance(k, bool) or not isinstance(k, (int, np.integer)):
            raise TypeError(f"k must be an integer, got {type(k).__name__}")
        k = int(k)
        if k < 0:
            raise ValueError(f"k must be at least 0, got {k}")
        query = self.query_vector(vector)
        with self._lock.shared(), self._reader() as conn:
            self._check_open()
            index, dim = self._index, self._dim
            if index is None or dim is None or k == 0:
                return []
            if len(query) != dim:
                raise ValueError(f"query: the query embedding has dimension {len(query)}, the store holds {dim}")
            allowed = self._matching(conn, where, predicate)
            if ids is not None:
                allowed = self._intersect(allowed, self._id_keys(conn, ids))
            if refs is not None:
                allowed = self._intersect(allowed, self._ref_keys(conn, refs))
            if allowed is not None and len(allowed) == 0:
                return []
            width = index.dim

            def full_vectors(keys: npt.NDArray[np.uint64]) -> npt.NDArray[np.floating[Any]]:
                # The index asks for ascending keys; SQLite looks up an IN list in
                # ascending order, and the keys returned are checked to be those.
                rows = conn.execute(f"SELECT key, data FROM vectors WHERE key IN ({_keys_text(keys)})").fetchall()
                got = np.fromiter(map(itemgetter(0), rows), dtype=np.uint64, count=len(rows))
                if len(got) != len(keys) or not np.array_equal(got, keys):
                    if len(got) != len(keys):
                        missing = sorted(set(keys.tolist()) - set(got.tolist()))
                        raise KeyError(f"no stored vector for keys {missing[:5]}")
                    order = np.argsort(got)
                    rows = [rows[i] for i in order]
                return _for_index(_decode(list(map(itemgetter(1), rows)), dim), width)

            found_keys, scores = index.search(
                _for_index(query[np.newaxis, :], width)[0], k, allowed=allowed, rerank=full_vectors, exact=True
            )
            hits = list(zip(found_keys.tolist(), scores.tolist()))
            if self._zero_count and (len(hits) < k or hits[-1][1] < 0.0):
                zero = _parse_keys(
                    conn.execute("SELECT json_group_array(key) FROM vectors WHERE zero = 1").fetchone()[0]
                )
                if allowed is not None:
                    zero = np.intersect1d(zero, allowed, assume_unique=True)
                hits = sorted(hits + [(key, 0.0) for key in zero.tolist()], key=lambda h: (-h[1], h[0]))[:k]
            rows = self._fetch_rows(conn, [h[0] for h in hits], with_vectors)
        result = []
        for key, score in hits:
            row = rows[key]
            row.score = score
            result.append(row)
        return result

    # -- writing --------------------------------------------------------------

    @contextlib.contextmanager
    def _writing(self) -> Iterator[sqlite3.Connection]:
        """One write call: serialised with the others, one transaction. In memory
        the whole call holds the exclusive lock (one database shared by every
        connection, whose readers must not meet a writer); on disk only its
        commit and the index's change do (`self._commit`)."""
        if self._lock.reading():
            raise RuntimeError("the store cannot be changed from inside one of its own reads (a filter callable?)")
        with self._write_mutex:
            self._check_open()
            held = self._lock.exclusive() if self._path is None else contextlib.nullcontext()
            with held:
                conn = self._writer
                conn.execute("BEGIN IMMEDIATE")
                try:
                    yield conn
                except BaseException:
                    if conn.in_transaction:
                        conn.execute("ROLLBACK")
                    raise
            self._maybe_snapshot()

    def _commit(
        self,
        conn: sqlite3.Connection,
        adds: tuple[list[int], npt.NDArray[np.floating[Any]] | None],
        removes: list[int],
        zero_delta: int,
        dim: int | None = None,
    ) -> None:
        """Applies the write to the index and commits it, with no search running.
        If the commit fails the transaction is rolled back and the index rebuilt
        from the database, so that the two never disagree."""
        held = self._lock.exclusive() if self._path is not None else contextlib.nullcontext()
        with held:
            changed = False
            keys, rows = adds
            index = self._index
            try:
                if keys and rows is not None:
                    if index is None:
                        assert dim is not None
                        index = Index(max(dim, MIN_INDEX_DIM), self._bits)
                    # Index.add is all or nothing: only after it the index differs.
                    index.add(np.array(keys, dtype=np.uint64), _for_index(rows, index.dim))
                    changed = index is self._index
                if removes and index is not None:
                    changed = index is self._index
                    index.remove(np.array(removes, dtype=np.uint64))
                conn.execute("COMMIT")
            except BaseException:
                if conn.in_transaction:
                    conn.execute("ROLLBACK")
                if changed:
                    self._resync()
                raise
            self._index = index
            if dim is not None:
                self._dim = dim
            self._generation += 1
            self._zero_count += zero_delta
            self._changes_since_snapshot += len(keys) + len(removes)

    def _resync(self) -> None:
        """The index and settings as the database holds them (after a failed commit)."""
        settings = dict(self._writer.execute("SELECT name, value FROM settings").fetchall())
        self._dim, self._seq = settings.get("dim"), int(settings["seq"])
        self._zero_count = self._writer.execute("SELECT count(*) FROM vectors WHERE zero = 1").fetchone()[0]
        self._index = None
        if self._dim is not None:
            saved, self._snapshot_seq = self._snapshot_seq, 0
            try:
                self._load_index(False)
            finally:
                self._snapshot_seq = saved

    def upsert(self, records: Sequence[Record], policy: str = "overwrite") -> int:
        """Writes documents by id: "overwrite" replaces a stored id (a repeated id
        ends with its last record, in the place of its first), "skip" keeps the
        stored one (and the first of repeats), "fail" raises DuplicateIdError and
        writes nothing if any id is stored or repeated. Returns how many were
        written. All or nothing: a bad record raises and nothing is written."""
        if policy not in ("overwrite", "skip", "fail"):
            raise ValueError(f"policy must be 'overwrite', 'skip' or 'fail', got {policy!r}")
        prepared: dict[str, tuple[Record, str, str | None, npt.NDArray[np.floating[Any]] | None]] = {}
        repeated: list[str] = []
        dim = self._dim
        for at, record in enumerate(records):
            where = f"document {at}"
            if not isinstance(record.id, str):
                raise TypeError(f"{where}: ids are strings, got {type(record.id).__name__}")
            if record.text is not None and not isinstance(record.text, str):
                raise TypeError(f"{where} ({record.id!r}): the text is a string, got {type(record.text).__name__}")
            if record.ref is not None and not isinstance(record.ref, str):
                raise TypeError(f"{where} ({record.id!r}): the ref id is a string, got {type(record.ref).__name__}")
            meta = _dump_meta(record.meta, f"{where} ({record.id!r})")
            extra = None
            if record.extra is not None:
                _check_json(record.extra, where, "payload")
                extra = json.dumps(record.extra, ensure_ascii=False)
            vector = None
            if record.vector is not None:
                vector = _vector(record.vector, f"{where} ({record.id!r})")
                if dim is None:
                    dim = len(vector)
                elif len(vector) != dim:
                    stored = "the store holds" if self._dim is not None else "the first document of this write has"
                    raise ValueError(
                        f"{where} ({record.id!r}): the embedding has dimension {len(vector)}, {stored} {dim}"
                    )
            if record.id in prepared:
                repeated.append(record.id)
                if policy != "overwrite":
                    continue
            prepared[record.id] = (record, meta, extra, vector)
        if policy == "fail" and repeated:
            raise DuplicateIdError(f"ids repeated in one write: {sorted(set(repeated))[:5]}", sorted(set(repeated)))
        if not prepared:
            self._check_open()
            return 0
        with self._writing() as conn:
            if dim is not None and self._dim is not None and dim != self._dim:
                # Another write fixed the dimension while this one was prepared.
                raise ValueError(f"the embeddings have dimension {dim}, the store holds {self._dim}")
            existing: dict[str, int] = {}
            ids = list(prepared)
            for start in range(0, len(ids), _KEYS_PER_QUERY):
                chunk = json.dumps(ids[start : start + _KEYS_PER_QUERY])
                existing.update(
                    conn.execute("SELECT id, key FROM docs WHERE id IN (SELECT value FROM json_each(?))", (chunk,))
                )
            if policy == "fail" and existing:
                taken = sorted(existing)
                raise DuplicateIdError(f"ids already stored: {taken[:5]}", taken)
            if policy == "skip":
                for id_ in existing:
                    del prepared[id_]
                existing = {}
            if not prepared:
                conn.execute("ROLLBACK")
                return 0
            seq = self._seq + 1
            next_key = (conn.execute("SELECT seq FROM sqlite_sequence WHERE name = 'docs'").fetchone() or (0,))[0] + 1
            keys: dict[str, int] = {}
            for id_ in prepared:
                if id_ in existing:
                    keys[id_] = existing[id_]
                else:
                    keys[id_] = next_key
                    next_key += 1
            conn.executemany(
                "INSERT INTO docs (key, id, text, meta, extra, ref) VALUES (?, ?, ?, ?, ?, ?) ON CONFLICT (key) DO "
                "UPDATE SET text = excluded.text, meta = excluded.meta, extra = excluded.extra, ref = excluded.ref",
                [(keys[i], i, r.text, m, e, r.ref) for i, (r, m, e, _) in prepared.items()],
            )
            old = [existing[i] for i in prepared if i in existing]
            if old:
                conn.execute(f"DELETE FROM fields WHERE key IN ({_keys_text(old)})")
            conn.executemany(
                "INSERT INTO fields (name, kind, value, stamp, key) VALUES (?, ?, ?, ?, ?)",
                [(*f, keys[i]) for i, (r, _, _, _) in prepared.items() for f in field_rows(r.meta)],
            )
            old_zero = 0
            if old:
                old_zero = conn.execute(
                    f"SELECT count(*) FROM vectors WHERE zero = 1 AND key IN ({_keys_text(old)})"
                ).fetchone()[0]
            live_keys, live_rows, zero_keys, blobs = [], [], [], []
            dropped = []
            for id_, (_, _, _, vector) in prepared.items():
                key = keys[id_]
                if vector is None:
                    if id_ in existing:
                        dropped.append(key)
                    continue
                zero = not np.any(vector)
                blobs.append((key, seq, int(zero), _blob(vector)))
                if zero:
                    zero_keys.append(key)
                else:
                    live_keys.append(key)
                    live_rows.append(vector)
            conn.executemany("INSERT OR REPLACE INTO vectors (key, seq, zero, data) VALUES (?, ?, ?, ?)", blobs)
            if dropped:
                had = [k for (k,) in conn.execute(f"SELECT key FROM vectors WHERE key IN ({_keys_text(dropped)})")]
                conn.execute(f"DELETE FROM vectors WHERE key IN ({_keys_text(dropped)})")
                conn.executemany("INSERT OR REPLACE INTO removed (key, seq) VALUES (?, ?)", [(k, seq) for k in had])
                dropped = had
            if dim is not None and self._dim is None:
                self._set(conn, "dim", dim)
            self._set(conn, "seq", seq)
            matrix: npt.NDArray[np.floating[Any]] | None = None
            if live_rows:
                wide = any(r.dtype != np.float32 for r in live_rows)
                matrix = np.stack(live_rows).astype(np.float64 if wide else np.float32, copy=False)
            self._commit(conn, (live_keys, matrix), zero_keys + dropped, len(zero_keys) - old_zero, dim)
            self._seq = seq
            return len(prepared)

    def _delete_keys(self, conn: sqlite3.Connection, keys: npt.NDArray[np.uint64]) -> int:
        if len(keys) == 0:
            conn.execute("ROLLBACK")
            return 0
        seq = self._seq + 1
        had_vector: list[int] = []
        zero = 0
        for start in range(0, len(keys), _KEYS_PER_QUERY):
            chunk = _keys_text(keys[start : start + _KEYS_PER_QUERY].tolist())
            found = conn.execute(f"SELECT key, zero FROM vectors WHERE key IN ({chunk})").fetchall()
            had_vector += [k for k, _ in found]
            zero += sum(z for _, z in found)
            for table in ("docs", "fields", "vectors"):
                conn.execute(f"DELETE FROM {table} WHERE key IN ({chunk})")
        conn.executemany("INSERT OR REPLACE INTO removed (key, seq) VALUES (?, ?)", [(k, seq) for k in had_vector])
        self._set(conn, "seq", seq)
        self._commit(conn, ([], None), had_vector, -zero)
        self._seq = seq
        return len(keys)

    def delete_ids(self, ids: Sequence[str]) -> int:
        """Deletes the documents of `ids`; returns how many were stored."""
        wanted = list(dict.fromkeys(_string_ids(ids)))
        if not wanted:
            self._check_open()
            return 0
        with self._writing() as conn:
            return self._delete_keys(conn, self._id_keys(conn, wanted))

    def delete_where(self, where: Filter | None = None, *, refs: Sequence[str] | None = None) -> int:
        """Deletes the documents that match (every document if neither is given)."""
        with self._writing() as conn:
            keys = self._matching(conn, where)
            if refs is not None:
                keys = self._intersect(keys, self._ref_keys(conn, refs))
            if keys is None:
                keys = _parse_keys(conn.execute("SELECT json_group_array(key) FROM docs").fetchone()[0])
            return self._delete_keys(conn, keys)

    def update_meta(self, where: Filter | None, patch: dict[str, Any]) -> int:
        """Merges `patch` into the metadata of the documents that match; returns
        their number. Vectors are untouched."""
        _dump_meta(patch, "the metadata update")
        with self._writing() as conn:
            keys = self._matching(conn, where)
            if keys is None:
                keys = _parse_keys(conn.execute("SELECT json_group_array(key) FROM docs").fetchone()[0])
            if len(keys) == 0:
                conn.execute("ROLLBACK")
                return 0
            rows: list[tuple[int, dict[str, Any]]] = []
            for start in range(0, len(keys), _KEYS_PER_QUERY):
                chunk = _keys_text(keys[start : start + _KEYS_PER_QUERY].tolist())
                rows += [
                    (k, json.loads(m)) for k, m in conn.execute(f"SELECT key, meta FROM docs WHERE key IN ({chunk})")
                ]
                conn.execute(f"DELETE FROM fields WHERE key IN ({chunk})")
            for _, meta in rows:
                meta.update(patch)
            conn.executemany(
                "UPDATE docs SET meta = ? WHERE key = ?", [(json.dumps(m, ensure_ascii=False), k) for k, m in rows]
            )
            conn.executemany(
                "INSERT INTO fields (name, kind, value, stamp, key) VALUES (?, ?, ?, ?, ?)",
                [(*f, k) for k, m in rows for f in field_rows(m)],
            )
            self._commit(conn, ([], None), [], 0)
            return len(rows)

    def clear(self) -> None:
        """Deletes every document; the dimension is forgotten too."""
        with self._writing() as conn:
            for table in ("docs", "fields", "vectors", "removed"):
                conn.execute(f"DELETE FROM {table}")
            conn.execute("DELETE FROM settings WHERE name = 'dim'")
            self._set(conn, "seq", self._seq + 1)
            self._set(conn, "snapshot_seq", 0)
            held = self._lock.exclusive() if self._path is not None else contextlib.nullcontext()
            with held:
                conn.execute("COMMIT")
                self._index, self._dim = None, None
                self._seq += 1
                self._snapshot_seq = 0
                self._generation += 1
                self._zero_count = 0
                self._changes_since_snapshot = 0
        if self._path is not None:
            self._remove_stale_snapshots()


_open_lock = threading.Lock()
_open: dict[str, Collection] = {}


def open_collection(path: str | os.PathLike[str] | None, bits: int) -> Collection:
    """The collection under `path`, shared by every store of this process that
    opens that directory (another process is refused while one has it open), or
    a new one in memory. Each call is matched by one `release()`."""
    if path is None:
        return Collection(None, bits=bits)
    key = os.path.realpath(os.fspath(path))
    with _open_lock:
        collection = _open.get(key)
        if collection is not None and not collection.closed:
            if collection.bits != bits:
                raise ValueError(
                    f"the store at {os.fspath(path)!r} is open with bits={collection.bits} in this process"
                )
            collection._users += 1
            return collection
        collection = Collection(path, bits=bits)
        collection._registry_key = key
        _open[key] = collection
        return collection


class Handle:
    """A framework store's hold on its collection: released by close() or when
    the store is garbage-collected, after which the store refuses calls."""

    def __init__(self, owner: object, path: str | os.PathLike[str] | None, bits: int) -> None:
        self._collection: Collection | None = open_collection(path, bits)
        self._finalizer = weakref.finalize(owner, self._collection.release, collected=True)

    @property
    def collection(self) -> Collection:
        if self._collection is None:
            raise ValueError("the store is closed")
        return self._collection

    def close(self) -> None:
        if self._finalizer.detach() is not None and self._collection is not None:
            collection, self._collection = self._collection, None
            collection.release()


def _string_ids(ids: Iterable[Any]) -> list[str]:
    if isinstance(ids, (str, bytes)):
        raise TypeError("ids are a list of strings, not one string")
    found = list(ids)
    for at, id_ in enumerate(found):
        if not isinstance(id_, str):
            raise TypeError(f"ids are strings, got {type(id_).__name__} at position {at}")
    return found


def _uri_path(path: str) -> str:
    from urllib.parse import quote

    return quote(os.path.abspath(path))


def _close_all(connections: list[sqlite3.Connection], lock_fd: list[int]) -> None:
    for conn in connections:
        with contextlib.suppress(Exception):
            conn.close()
    connections.clear()
    while lock_fd:
        with contextlib.suppress(OSError):
            os.close(lock_fd.pop())
