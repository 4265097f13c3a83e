"""The framework stores of velmora.integrations, measured.

Part 1 (the store): a filtered search over documents with metadata (the filter
evaluated by SQLite, the true top 10 among the matching documents) beside a
plain `Index.search(q, 10, rerank=..., exact=True)` over the same vectors, with
the full vectors given two ways: read from the same SQLite table by a callable
(as the store reads them) and as a float32 array in RAM (the fastest there is).
Each filtered answer is checked against brute force over the matching vectors.
A filter's keys are kept until the next write, so a retriever with a fixed
filter pays its query once: both the first ("fresh") and later ("repeated")
searches are timed.

Part 2 (the frameworks): each framework's store built through its own API
with the same documents, in a process of its own, beside the framework's
in-memory store: search latency (filtered and not) and the resident memory it
added (anonymous memory, and file pages mapped from the database, which the
system may drop at will).

    .venv/bin/python -P bench/bench_integrations.py              # n 10,000 and 100,000, dim 384
    .venv/bin/python -P bench/bench_integrations.py --quick      # n 10,000 only, a minute or so
"""

from __future__ import annotations

import argparse
import gc
import json
import os
import sqlite3
import subprocess
import sys
import tempfile
import time
from operator import itemgetter
from typing import Any

import numpy as np

import velmora
from velmora import Index
from velmora._data import embedding_like
from velmora.integrations._filters import And, Condition
from velmora.integrations._store import Collection, Record

FILTERS = {
    "source == s3 (5%)": Condition("source", "eq", "s3"),
    "year >= 2010 (43%)": Condition("year", "gte", 2010),
    "source in 3 and year < 2000 (4%)": And(
        (Condition("source", "in", ["s1", "s2", "s3"]), Condition("year", "lt", 2000))
    ),
    "tags contains t3 (14%)": Condition("tags", "contains", "t3"),
}
FRAMEWORKS = ["langchain", "llama-index", "haystack"]


def metadata(n: int, seed: int = 0) -> list[dict[str, Any]]:
    rng = np.random.default_rng(seed)
    sources, years = rng.integers(0, 20, n), 1990 + rng.integers(0, 35, n)
    return [{"source": f"s{sources[i]}", "year": int(years[i]), "tags": [f"t{i % 7}", "all"]} for i in range(n)]


def matches(node: Any, meta: dict[str, Any]) -> bool:
    if isinstance(node, And):
        return all(matches(p, meta) for p in node.parts)
    value = meta[node.field]
    return {
        "eq": lambda: value == node.value,
        "gte": lambda: value >= node.value,
        "lt": lambda: value < node.value,
        "in": lambda: value in node.value,
        "contains": lambda: node.value in value,
    }[node.op]()


def median_ms(run: Any, queries: np.ndarray, before: Any = None) -> float:
    run(queries[0])
    times = []
    for q in queries:
        if before is not None:
            before()
        start = time.perf_counter()
        run(q)
        times.append(time.perf_counter() - start)
    return float(np.median(times) * 1000)


def store_part(n: int, dim: int, queries: int) -> None:
    data = embedding_like(n + queries, dim, seed=1)
    vectors, probes = data[:n], data[n:]
    metas = metadata(n)
    directory = tempfile.mkdtemp(prefix="velmora-bench-")
    store = Collection(directory, bits=4)
    for start in range(0, n, 20_000):
        stop = min(n, start + 20_000)
        store.upsert([Record(f"doc{i}", f"text {i}", metas[i], vectors[i]) for i in range(start, stop)])
    # Keys start at 1; row 0 of the in-RAM copy is unused.
    in_ram = np.vstack([np.zeros((1, dim), np.float32), vectors])
    index = Index(dim, 4)
    index.add(np.arange(1, n + 1), vectors)
    conn = sqlite3.connect(os.path.join(directory, "velmora.sqlite3"), isolation_level=None)
    conn.execute("PRAGMA mmap_size = 17179869184")  # as the store reads it

    def from_sqlite(keys: np.ndarray) -> np.ndarray:
        # The store's own read of the full vectors (SQLite returns an IN list's rows in key order).
        rows = conn.execute(
            f"SELECT key, data FROM vectors WHERE key IN ({','.join(map(str, keys.tolist()))})"
        ).fetchall()
        got = np.fromiter(map(itemgetter(0), rows), dtype=np.uint64, count=len(rows))
        assert np.array_equal(got, keys)
        return np.frombuffer(b"".join(map(itemgetter(1), rows)), dtype=np.float32).reshape(len(rows), dim)

    plain_sqlite = median_ms(lambda q: index.search(q, 10, rerank=from_sqlite, exact=True), probes)
    plain_ram = median_ms(lambda q: index.search(q, 10, rerank=in_ram, exact=True), probes)
    unfiltered = median_ms(lambda q: store.search(q, 10), probes)
    print(f"\n## The store: n = {n:,}, dim {dim}, 4 bits, {queries} queries, median ms per query (k = 10)\n")
    print(f"plain Index.search(q, 10, rerank=SQLite callable, exact=True): {plain_sqlite:.2f} ms")
    print(f"plain Index.search(q, 10, rerank=float32 array in RAM, exact=True): {plain_ram:.2f} ms")
    print(
        f"the store's search without a filter: {unfiltered:.2f} ms "
        f"({unfiltered / plain_sqlite:.2f}x, {unfiltered / plain_ram:.2f}x)\n"
    )
    print("| filter | matching | exact | fresh ms | x SQLite | x RAM | repeated ms | x SQLite | x RAM |")
    print("|---|---|---|---|---|---|---|---|---|")
    unit = vectors / np.linalg.norm(vectors, axis=1, keepdims=True)
    for name, node in FILTERS.items():
        chosen = np.array([i for i in range(n) if matches(node, metas[i])])
        exact = 0
        for q in probes:
            scores = unit[chosen] @ (q / np.linalg.norm(q))
            want = [f"doc{chosen[i]}" for i in np.argsort(-scores, kind="stable")[:10]]
            exact += [r.id for r in store.search(q, 10, node)] == want
        fresh = median_ms(lambda q, node=node: store.search(q, 10, node), probes, before=store._key_cache.clear)
        repeated = median_ms(lambda q, node=node: store.search(q, 10, node), probes)
        print(
            f"| {name} | {len(chosen):,} | {exact}/{queries} | {fresh:.2f} | {fresh / plain_sqlite:.2f} | "
            f"{fresh / plain_ram:.2f} | {repeated:.2f} | {repeated / plain_sqlite:.2f} | {repeated / plain_ram:.2f} |"
        )
    print(
        f"\nthe compressed index: {index.memory_bytes() / 2**20:.1f} MiB; the full vectors as float32: "
        f"{vectors.nbytes / 2**20:.1f} MiB; the database: "
        f"{sum(os.path.getsize(os.path.join(directory, f)) for f in os.listdir(directory)) / 2**20:.1f} MiB on disk"
    )
    store.close()
    conn.close()


# -- the frameworks, one process each -----------------------------------------


def resident() -> dict[str, int]:
    fields = {}
    with open("/proc/self/status") as f:
        for line in f:
            name, _, value = line.partition(":")
            if name in ("VmRSS", "RssAnon", "RssFile"):
                fields[name] = int(value.split()[0]) * 1024
    return fields


def worker(framework: str, mode: str, n: int, dim: int, queries: int, directory: str) -> dict[str, Any]:
    """`mode` "theirs" builds the framework's in-memory store and measures it;
    "build" builds velmora's store in `directory`; "open" opens it (in a fresh
    process, so that what building left behind is not counted) and measures it."""
    os.environ["HAYSTACK_TELEMETRY_ENABLED"] = "False"
    data = embedding_like(n + queries, dim, seed=1)
    vectors, probes = data[:n], data[n:]
    metas = metadata(n)
    ours = mode != "theirs"
    fill = mode != "open"
    batch = 10_000
    if framework == "langchain":
        from langchain_core.embeddings import Embeddings
        from langchain_core.vectorstores import InMemoryVectorStore

        from velmora.integrations.langchain import VelmoraVectorStore

        class Rows(Embeddings):
            # The "model" returns row i for text i, as a list of floats like a real one.
            def embed_documents(self, texts: list[str]) -> list[list[float]]:
                return [vectors[int(t)].tolist() for t in texts]

            def embed_query(self, text: str) -> list[float]:
                return vectors[int(text)].tolist()

        import_and_data = resident()
        store: Any = VelmoraVectorStore(Rows(), path=directory) if ours else InMemoryVectorStore(Rows())
        for start in range(0, n if fill else 0, batch):
            ids = range(start, min(n, start + batch))
            store.add_texts([str(i) for i in ids], [metas[i] for i in ids], ids=[f"doc{i}" for i in ids])
        flt: Any = {"source": "s3"} if ours else (lambda d: d.metadata["source"] == "s3")

        def search(q: np.ndarray, filtered: bool) -> Any:
            return store.similarity_search_by_vector(q.tolist(), k=10, filter=flt if filtered else None)

    elif framework == "llama-index":
        from llama_index.core.schema import TextNode
        from llama_index.core.vector_stores import MetadataFilter, MetadataFilters, SimpleVectorStore, VectorStoreQuery

        from velmora.integrations.llama_index import VelmoraVectorStore as LlamaStore

        import_and_data = resident()
        store = LlamaStore(path=directory) if ours else SimpleVectorStore()
        for start in range(0, n if fill else 0, batch):
            store.add(
                [
                    TextNode(id_=f"doc{i}", text=f"text {i}", metadata=metas[i], embedding=vectors[i].tolist())
                    for i in range(start, min(n, start + batch))
                ]
            )
        only = MetadataFilters(filters=[MetadataFilter(key="source", value="s3")])

        def search(q: np.ndarray, filtered: bool) -> Any:
            return store.query(
                VectorStoreQuery(query_embedding=q.tolist(), similarity_top_k=10, filters=only if filtered else None)
            )

    else:
        from haystack import Document
        from haystack.document_stores.in_memory import InMemoryDocumentStore

        from velmora.integrations.haystack import VelmoraDocumentStore

        import_and_data = resident()
        store = VelmoraDocumentStore(path=directory) if ours else InMemoryDocumentStore()
        for start in range(0, n if fill else 0, batch):
            store.write_documents(
                [
                    Document(id=f"doc{i}", content=f"text {i}", meta=metas[i], embedding=vectors[i].tolist())
                    for i in range(start, min(n, start + batch))
                ]
            )
        only_s3 = {"field": "meta.source", "operator": "==", "value": "s3"}

        def search(q: np.ndarray, filtered: bool) -> Any:
            return store.embedding_retrieval(q.tolist(), filters=only_s3 if filtered else None, top_k=10)

    if mode == "build":
        store.close()
        return {}
    gc.collect()
    built = resident()
    timed = probes if ours else probes[: max(3, queries // 6)]  # the in-memory stores scan every document
    filtered = median_ms(lambda q: search(q, True), timed)
    plain = median_ms(lambda q: search(q, False), timed)
    return {
        "filtered_ms": filtered,
        "plain_ms": plain,
        "anon_mib": (built["RssAnon"] - import_and_data["RssAnon"]) / 2**20,
        "file_mib": (built["RssFile"] - import_and_data["RssFile"]) / 2**20,
    }


def frameworks_part(n: int, dim: int, queries: int, names: list[str]) -> None:
    print(f"\n## The frameworks: n = {n:,} documents with metadata, dim {dim}, median ms per query (k = 10)\n")
    print(
        "Resident memory is what the store holds once built (velmora's: reopened in a fresh process and\n"
        "searched), beside the data set itself: anonymous memory, and file pages mapped from the database.\n"
    )
    print("| framework | store | filtered ms | plain ms | anon MiB | file MiB |")
    print("|---|---|---|---|---|---|")
    for framework in names:
        rows = {}
        directory = tempfile.mkdtemp(prefix="velmora-bench-")
        for mode in ("build", "open", "theirs"):
            done = subprocess.run(
                [
                    sys.executable,
                    "-P",
                    __file__,
                    "--worker",
                    framework,
                    "--mode",
                    mode,
                    "--directory",
                    directory,
                    "--n",
                    str(n),
                    "--dim",
                    str(dim),
                    "--queries",
                    str(queries),
                ],
                capture_output=True,
                text=True,
                check=False,
            )
            if done.returncode != 0:
                raise SystemExit(f"{framework} worker failed:\n{done.stderr}")
            rows[mode != "theirs"] = json.loads(done.stdout.strip().splitlines()[-1])
        for ours in (True, False):
            r = rows[ours]
            label = "velmora (on disk, reopened)" if ours else "the framework's in-memory store"
            print(
                f"| {framework} | {label} | {r['filtered_ms']:.1f} | {r['plain_ms']:.1f} | "
                f"{r['anon_mib']:.0f} | {r['file_mib']:.0f} |"
            )
        mine, theirs = rows[True], rows[False]
        print(
            f"| {framework} | ratio (in-memory / velmora) | {theirs['filtered_ms'] / mine['filtered_ms']:.1f}x | "
            f"{theirs['plain_ms'] / mine['plain_ms']:.1f}x | {theirs['anon_mib'] / max(mine['anon_mib'], 1):.1f}x | |"
        )


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--n", type=int, default=100_000)
    parser.add_argument("--dim", type=int, default=384)
    parser.add_argument("--queries", type=int, default=30)
    parser.add_argument("--quick", action="store_true", help="n = 10,000 only")
    parser.add_argument("--only", default="store," + ",".join(FRAMEWORKS), help="parts to run, comma-separated")
    parser.add_argument("--worker", choices=FRAMEWORKS, help=argparse.SUPPRESS)
    parser.add_argument("--mode", choices=["theirs", "build", "open"], help=argparse.SUPPRESS)
    parser.add_argument("--directory", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.worker:
        print(json.dumps(worker(args.worker, args.mode, args.n, args.dim, args.queries, args.directory)))
        return
    parts = args.only.split(",")
    sizes = [10_000] if args.quick else sorted({10_000, args.n})
    cpu = velmora.show_config("dict")["cpu"]
    print(f"# velmora.integrations on {cpu}, {os.cpu_count()} logical CPUs, Python {sys.version.split()[0]}")
    if "store" in parts:
        for n in sizes:
            store_part(n, args.dim, args.queries)
    names = [f for f in FRAMEWORKS if f in parts]
    if names:
        frameworks_part(sizes[-1], args.dim, args.queries, names)


if __name__ == "__main__":
    main()
