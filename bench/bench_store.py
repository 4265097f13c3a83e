"""Benchmark velmora against numpy brute force and, when installed, FAISS.

For each (n, dim, bits) it reports, in one run on one machine with one thread
count: single-query latency (median), query_all latency, insert_batch
throughput, bytes per vector (memory_bytes()/n and process RSS growth / n)
and recall@10 against exact cosine search; and the same measurements of the
peers on the same vectors. Ratios velmora / peer are the headline.

    python bench/bench_store.py                      # the full grid
    python bench/bench_store.py --quick              # a small grid
    python bench/bench_store.py --threads 1 --out results.md --json results.json

The worker-pool size is fixed per process, so --threads sets
RAYON_NUM_THREADS before velmora is imported.
"""

from __future__ import annotations

import argparse
import gc
import json
import os
import statistics
import sys
import time
from typing import Any, Callable


def parse_args(argv: list[str] | None = None) -> argparse.Namespace:
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--sizes", default="10000,100000,1000000", help="comma-separated n values")
    p.add_argument("--dims", default="128,768", help="comma-separated dimensions")
    p.add_argument("--bits", default="2,3,4", help="comma-separated bit widths")
    p.add_argument("--max-n-large-dim", type=int, default=100000,
                   help="largest n benchmarked for dims above 128 (default 100000)")
    p.add_argument("--threads", type=int, default=1, help="worker threads for every library (default 1)")
    p.add_argument("--queries", type=int, default=50, help="single queries timed per configuration")
    p.add_argument("--batch-size", type=int, default=100000, help="pairs per insert_batch call")
    p.add_argument("--quick", action="store_true", help="n in {10000}, dims {128}, fewer queries")
    p.add_argument("--no-faiss", action="store_true", help="skip FAISS even when installed")
    p.add_argument("--out", help="also write the Markdown table to this file")
    p.add_argument("--json", help="write every measurement as JSON to this file")
    p.add_argument("--seed", type=int, default=0)
    args = p.parse_args(argv)
    if args.quick:
        args.sizes, args.dims, args.queries = "10000", "128", 20
    return args


def rss_bytes() -> int:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def median_seconds(fn: Callable[[], Any], repeats: int) -> float:
    times = []
    for _ in range(repeats):
        t0 = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t0)
    return statistics.median(times)


def bench_velmora(np: Any, data: Any, queries: Any, truth: Any, bits: int, args: argparse.Namespace) -> dict:
    from velmora import CompressedVectorStore

    n, dim = data.shape
    CompressedVectorStore(dim, bits)  # rotation and codebook are built once per process
    gc.collect()
    rss_before = rss_bytes()
    store = CompressedVectorStore(dim, bits)
    insert_seconds = 0.0
    for start in range(0, n, args.batch_size):
        pairs = list(zip(range(start, min(n, start + args.batch_size)), data[start:start + args.batch_size]))
        t0 = time.perf_counter()
        store.insert_batch(pairs)
        insert_seconds += time.perf_counter() - t0
        del pairs
    gc.collect()
    rss_growth = rss_bytes() - rss_before

    found = [[i for i, _ in store.query(q, 10)] for q in queries]
    query_s = median_seconds(lambda: store.query(queries[0], 10), 1)  # warm
    times = []
    for q in queries:
        t0 = time.perf_counter()
        store.query(q, 10)
        times.append(time.perf_counter() - t0)
    query_s = statistics.median(times)
    query_all_s = median_seconds(lambda: store.query_all(queries[0]), 3 if n <= 100000 else 1)
    from velmora._data import recall_at_k

    return {
        "query_ms": query_s * 1e3,
        "query_all_ms": query_all_s * 1e3,
        "insert_per_s": n / insert_seconds,
        "bytes_per_vector": store.memory_bytes() / n,
        "rss_per_vector": rss_growth / n,
        "recall@10": recall_at_k(found, truth),
    }


def bench_numpy(np: Any, data: Any, queries: Any) -> dict:
    unit = data / np.linalg.norm(data, axis=1, keepdims=True)

    def search(q: Any) -> Any:
        scores = unit @ (q / np.linalg.norm(q))
        top = np.argpartition(-scores, 10)[:10]
        return top[np.argsort(-scores[top])]

    times = []
    for q in queries:
        t0 = time.perf_counter()
        search(q)
        times.append(time.perf_counter() - t0)
    return {"query_ms": statistics.median(times) * 1e3, "bytes_per_vector": 4.0 * data.shape[1], "recall@10": 1.0}


def bench_faiss(np: Any, faiss: Any, data: Any, queries: Any, truth: Any, kind: str) -> dict:
    from velmora._data import recall_at_k

    n, dim = data.shape
    unit = np.ascontiguousarray(data / np.linalg.norm(data, axis=1, keepdims=True), dtype=np.float32)
    if kind == "SQ4":
        index = faiss.IndexScalarQuantizer(dim, faiss.ScalarQuantizer.QT_4bit, faiss.METRIC_INNER_PRODUCT)
        index.train(unit)
    else:
        index = faiss.IndexFlatIP(dim)
    t0 = time.perf_counter()
    index.add(unit)
    add_s = time.perf_counter() - t0
    qs = np.ascontiguousarray(queries / np.linalg.norm(queries, axis=1, keepdims=True), dtype=np.float32)
    found = [index.search(q[None, :], 10)[1][0].tolist() for q in qs]
    times = []
    for q in qs:
        row = q[None, :]
        t0 = time.perf_counter()
        index.search(row, 10)
        times.append(time.perf_counter() - t0)
    return {
        "query_ms": statistics.median(times) * 1e3,
        "insert_per_s": n / add_s,
        "bytes_per_vector": index.sa_code_size() if hasattr(index, "sa_code_size") else 4.0 * dim,
        "recall@10": recall_at_k(found, truth),
    }


def main(argv: list[str] | None = None) -> int:
    args = parse_args(argv)
    os.environ["RAYON_NUM_THREADS"] = str(args.threads)
    for var in ("OMP_NUM_THREADS", "OPENBLAS_NUM_THREADS", "MKL_NUM_THREADS"):
        os.environ[var] = str(args.threads)
    import numpy as np

    from velmora._data import embedding_like, exact_top_k

    faiss = None
    if not args.no_faiss:
        try:
            import faiss  # type: ignore[import-not-found]

            faiss.omp_set_num_threads(args.threads)
        except ImportError:
            faiss = None

    sizes = [int(x) for x in args.sizes.split(",")]
    dims = [int(x) for x in args.dims.split(",")]
    bit_widths = [int(x) for x in args.bits.split(",")]
    rows: list[dict] = []
    for dim in dims:
        for n in sizes:
            if dim > 128 and n > args.max_n_large_dim:
                continue
            data = embedding_like(n, dim, seed=args.seed)
            queries = embedding_like(args.queries, dim, seed=args.seed + 1)
            truth = exact_top_k(data, queries, 10)
            peers = {"numpy": bench_numpy(np, data, queries)}
            if faiss is not None:
                peers["faiss SQ4"] = bench_faiss(np, faiss, data, queries, truth, "SQ4")
                peers["faiss FlatIP"] = bench_faiss(np, faiss, data, queries, truth, "FlatIP")
            for bits in bit_widths:
                result = bench_velmora(np, data, queries, truth, bits, args)
                rows.append({"n": n, "dim": dim, "bits": bits, "threads": args.threads,
                             "velmora": result, "peers": peers})
                print_row(rows[-1], file=sys.stderr)
            del data
            gc.collect()

    table = markdown(rows)
    print(table)
    if args.out:
        with open(args.out, "w") as f:
            f.write(table + "\n")
    if args.json:
        with open(args.json, "w") as f:
            json.dump(rows, f, indent=1)
    return 0


def print_row(row: dict, file: Any) -> None:
    v = row["velmora"]
    print(f"n={row['n']} dim={row['dim']} bits={row['bits']}: query {v['query_ms']:.3f} ms, "
          f"recall {v['recall@10']:.3f}", file=file, flush=True)


def markdown(rows: list[dict]) -> str:
    lines = [
        "| n | dim | bits | threads | query ms | query_all ms | insert vec/s | bytes/vec | RSS bytes/vec "
        "| recall@10 | × numpy query | × FAISS SQ4 query | FAISS SQ4 recall | × FAISS FlatIP query |",
        "|---|---|---|---|---|---|---|---|---|---|---|---|---|---|",
    ]
    for row in rows:
        v, peers = row["velmora"], row["peers"]

        def ratio(peer: str) -> str:
            return f"{peers[peer]['query_ms'] / v['query_ms']:.2f}" if peer in peers else "—"

        sq4_recall = f"{peers['faiss SQ4']['recall@10']:.3f}" if "faiss SQ4" in peers else "—"
        lines.append(
            f"| {row['n']:,} | {row['dim']} | {row['bits']} | {row['threads']} | {v['query_ms']:.3f} "
            f"| {v['query_all_ms']:.1f} | {v['insert_per_s']:,.0f} | {v['bytes_per_vector']:.0f} "
            f"| {v['rss_per_vector']:.1f} | {v['recall@10']:.3f} | {ratio('numpy')} | {ratio('faiss SQ4')} "
            f"| {sq4_recall} | {ratio('faiss FlatIP')} |"
        )
    lines.append("")
    lines.append("× columns: peer latency / velmora latency (above 1 means velmora is faster).")
    return "\n".join(lines)


if __name__ == "__main__":
    sys.exit(main())
