"""Measures velmora's performance targets in one run and prints each ratio.

    python bench/bench_targets.py [--quick] [--out targets.md]

Every figure is a ratio against a baseline measured in the same run on the
same machine with the same thread count: the per-entry reference kernel
(VELMORA_SIMD=reference), FAISS IndexScalarQuantizer QT_4bit (inner
product, k = 10) when faiss-cpu is installed, numpy's BLAS product and QR,
and a plain numpy read of as many bytes as the store holds. Thread counts are
fixed per process, so each measurement runs in a subprocess of its own.
"""

from __future__ import annotations

import argparse
import json
import os
import subprocess
import sys
import textwrap

WORKER = textwrap.dedent(
    r"""
    import gc, json, os, statistics, sys, time
    import numpy as np
    task = json.loads(sys.argv[1])
    threads = task["threads"]
    def timed(fn, repeats):
        out = []
        for _ in range(repeats):
            t0 = time.perf_counter(); fn(); out.append(time.perf_counter() - t0)
        return statistics.median(out)
    def plain_read(codes):
        # As many numpy threads as the store has (numpy releases the GIL in
        # the reduction), each reading its share of the bytes.
        from concurrent.futures import ThreadPoolExecutor
        parts = np.array_split(codes, threads)
        with ThreadPoolExecutor(threads) as pool:
            return 1e3 * timed(lambda: list(pool.map(np.bitwise_xor.reduce, parts)), 5)
    def rss():
        with open("/proc/self/statm") as f:
            return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")
    rng = np.random.default_rng(0)
    kind = task["kind"]
    result = {}
    if kind == "first_store":
        t0 = time.perf_counter()
        import velmora
        velmora.CompressedVectorStore(task["dim"], 4)
        result["velmora_s"] = time.perf_counter() - t0
        a = rng.standard_normal((task["dim"], task["dim"]))
        result["qr_s"] = timed(lambda: np.linalg.qr(a), 3)
    elif kind in ("query", "batch"):
        # A store (query) or an Index (batch) filled 100,000 rows at a time,
        # its resident growth measured around the adds.
        from velmora import CompressedVectorStore, Index
        n, dim, bits = task["n"], task["dim"], task["bits"]
        x = rng.standard_normal((n, dim), dtype=np.float32)
        queries = rng.standard_normal((task["queries"], dim), dtype=np.float32)
        store = CompressedVectorStore(dim, bits) if kind == "query" else Index(dim, bits)
        gc.collect(); before = rss()
        for start in range(0, n, 100000):
            stop = min(n, start + 100000)
            if kind == "query":
                store.insert_batch(list(zip(range(start, stop), x[start:stop])))
            else:
                store.add(np.arange(start, stop, dtype=np.uint64), x[start:stop])
        gc.collect()
        result["rss_per_vector"] = (rss() - before) / n
        result["memory_per_vector"] = store.memory_bytes() / n
        if kind == "query":
            store.query(queries[0], 10)
            result["velmora_ms"] = 1e3 * statistics.median(
                [timed(lambda q=q: store.query(q, 10), 1) for q in queries])
        else:
            store.search(queries[:8], 10)
            result["velmora_ms"] = 1e3 * timed(lambda: store.search(queries, 10), 3)
        codes = np.ones(store.memory_bytes(), dtype=np.uint8).view(np.uint64)
        result["numpy_read_ms"] = plain_read(codes)
        if task.get("faiss"):
            try:
                import faiss
                faiss.omp_set_num_threads(threads)
                unit = x / np.linalg.norm(x, axis=1, keepdims=True)
                index = faiss.IndexScalarQuantizer(dim, faiss.ScalarQuantizer.QT_4bit, faiss.METRIC_INNER_PRODUCT)
                index.train(unit); index.add(unit)
                qs = queries / np.linalg.norm(queries, axis=1, keepdims=True)
                index.search(qs[:1], 10)
                result["faiss_sq4_ms"] = 1e3 * statistics.median(
                    [timed(lambda q=q: index.search(q[None, :], 10), 1) for q in qs])
            except ImportError:
                pass
    elif kind == "insert":
        from velmora import CompressedVectorStore
        n, dim = task["n"], task["dim"]
        x = rng.standard_normal((n, dim), dtype=np.float32)
        pairs = list(zip(range(n), x))
        CompressedVectorStore(dim, 4)
        def insert():
            CompressedVectorStore(dim, 4).insert_batch(pairs)
        result["insert_s"] = timed(insert, 3)
        # A last pair of the wrong length fails after every pair is converted.
        bad = pairs + [(n, x[0][:-1])]
        def convert_only():
            try:
                CompressedVectorStore(dim, 4).insert_batch(bad)
            except ValueError:
                pass
        result["convert_s"] = timed(convert_only, 3)
        r = rng.standard_normal((dim, dim), dtype=np.float32)
        result["blas_s"] = timed(lambda: x @ r.T, 3)
        from velmora import Index
        ids = np.arange(n, dtype=np.uint64)
        def add():
            Index(dim, 4).add(ids, x)
        result["index_add_s"] = timed(add, 3)
    print(json.dumps(result))
    """
)


def run(task: dict, **env: str) -> dict:
    full_env = dict(os.environ)
    threads = str(task["threads"])
    full_env.update(
        RAYON_NUM_THREADS=threads, OMP_NUM_THREADS=threads, OPENBLAS_NUM_THREADS=threads, MKL_NUM_THREADS=threads
    )
    full_env.update(env)
    out = subprocess.run(
        [sys.executable, "-P", "-c", WORKER, json.dumps(task)], env=full_env, check=True, capture_output=True, text=True
    )
    return json.loads(out.stdout.strip().splitlines()[-1])


def main() -> int:
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--quick", action="store_true", help="smaller sizes (for a smoke run)")
    p.add_argument("--out", help="also write the table to this file")
    args = p.parse_args()
    big = 100000 if args.quick else 1000000
    rows = []

    def add(target: str, figure: str, ok: bool) -> None:
        rows.append(f"| {target} | {figure} | {'yes' if ok else 'NO'} |")
        print(rows[-1], file=sys.stderr, flush=True)

    q1 = run({"kind": "query", "n": big, "dim": 128, "bits": 4, "threads": 1, "queries": 30, "faiss": True})
    ref = run({"kind": "query", "n": big, "dim": 128, "bits": 4, "threads": 1, "queries": 3}, VELMORA_SIMD="reference")
    add(
        f"query n={big:,} dim 128 4 bits, 1 thread: vs reference kernel (≥ 10×)",
        f"{ref['velmora_ms'] / q1['velmora_ms']:.1f}× ({q1['velmora_ms']:.2f} ms vs {ref['velmora_ms']:.1f} ms)",
        ref["velmora_ms"] / q1["velmora_ms"] >= 10,
    )
    if "faiss_sq4_ms" in q1:
        r = q1["faiss_sq4_ms"] / q1["velmora_ms"]
        add("… vs FAISS SQ4 (≥ 1.5×)", f"{r:.2f}× ({q1['faiss_sq4_ms']:.2f} ms)", r >= 1.5)
    for dim, bits in ((768, 4), (128, 3), (128, 2)):
        n = 100000 if dim == 768 else big
        qx = run({"kind": "query", "n": n, "dim": dim, "bits": bits, "threads": 1, "queries": 30, "faiss": True})
        if "faiss_sq4_ms" in qx:
            r = qx["faiss_sq4_ms"] / qx["velmora_ms"]
            add(
                f"query n={n:,} dim {dim} {bits} bits vs FAISS SQ4 (> 1×)",
                f"{r:.2f}× ({qx['velmora_ms']:.2f} vs {qx['faiss_sq4_ms']:.2f} ms)",
                r > 1,
            )
    # Clock speeds drift between runs on shared machines: one- and two-thread
    # runs alternate, and each side keeps its best median.
    single, double = [q1], []
    for _ in range(2):
        double.append(run({"kind": "query", "n": big, "dim": 128, "bits": 4, "threads": 2, "queries": 30}))
        single.append(run({"kind": "query", "n": big, "dim": 128, "bits": 4, "threads": 1, "queries": 30}))
    q2 = min(double, key=lambda r: r["velmora_ms"])
    speedup = min(r["velmora_ms"] for r in single) / q2["velmora_ms"]
    bound = q2["velmora_ms"] / q2["numpy_read_ms"]
    add(
        "2 threads vs 1 (≥ 1.7×, or within 2× of a numpy read of the same bytes)",
        f"{speedup:.2f}×; {bound:.2f}× the numpy read time ({q2['numpy_read_ms']:.2f} ms)",
        speedup >= 1.7 or bound <= 2,
    )
    add(
        f"RSS growth per vector, n={big:,} dim 128 4 bits, store.insert_batch (≤ memory_bytes/n + 24)",
        f"{q1['rss_per_vector']:.1f} B vs {q1['memory_per_vector']:.0f} + 24 B",
        q1["rss_per_vector"] <= q1["memory_per_vector"] + 24,
    )
    # Index.search of a batch at one and two threads, alternating, beside the
    # speed-up of a plain numpy read of as many bytes (the memory-bound case).
    batch_task = {"kind": "batch", "n": big, "dim": 128, "bits": 4, "queries": 1000}
    batch_single, batch_double = [], []
    for _ in range(2):
        batch_single.append(run(dict(batch_task, threads=1)))
        batch_double.append(run(dict(batch_task, threads=2)))
    b1 = min(batch_single, key=lambda r: r["velmora_ms"])
    b2 = min(batch_double, key=lambda r: r["velmora_ms"])
    read_speedup = min(r["numpy_read_ms"] for r in batch_single) / min(r["numpy_read_ms"] for r in batch_double)
    speedup = b1["velmora_ms"] / b2["velmora_ms"]
    add(
        f"Index.search of 1,000 queries, n={big:,} dim 128 4 bits: 2 threads vs 1 (≥ 1.8×)",
        f"{speedup:.2f}× ({b1['velmora_ms']:.0f} vs {b2['velmora_ms']:.0f} ms); a numpy read: {read_speedup:.2f}×",
        speedup >= 1.8,
    )
    for n in sorted({100000, big}):
        grown = b1 if n == big else run({"kind": "batch", "n": n, "dim": 128, "bits": 4, "queries": 10, "threads": 1})
        add(
            f"RSS growth per vector, n={n:,} dim 128 4 bits, Index.add (≤ memory_bytes/n + 16)",
            f"{grown['rss_per_vector']:.1f} B vs {grown['memory_per_vector']:.0f} + 16 B",
            grown["rss_per_vector"] <= grown["memory_per_vector"] + 16,
        )
    for threads in (1, 2):
        ins = run({"kind": "insert", "n": 20000 if args.quick else 100000, "dim": 768, "threads": threads})
        share = ins["blas_s"] / ins["insert_s"]
        conv = ins["convert_s"] / ins["insert_s"]
        add(
            f"insert_batch 100k × 768 numpy rows, {threads} thread(s): throughput vs numpy X @ R.T (≥ 35%)",
            f"{100 * share:.0f}% ({ins['insert_s']:.2f} s vs {ins['blas_s']:.2f} s)",
            share >= 0.35,
        )
        add("… conversion share of the call (≤ 10%)", f"{100 * conv:.1f}%", conv <= 0.1)
        indexed = ins["blas_s"] / ins["index_add_s"]
        add(
            f"Index.add 100k × 768 float32, {threads} thread(s): throughput vs numpy X @ R.T (≥ 35%)",
            f"{100 * indexed:.0f}% ({ins['index_add_s']:.2f} s vs {ins['blas_s']:.2f} s)",
            indexed >= 0.35,
        )
    first = run({"kind": "first_store", "dim": 1536, "threads": os.cpu_count() or 1})
    ratio = first["velmora_s"] / first["qr_s"]
    add(
        "first CompressedVectorStore(1536, 4) vs numpy.linalg.qr(1536 × 1536) (≤ 5×)",
        f"{ratio:.2f}× ({first['velmora_s']:.2f} s vs {first['qr_s']:.2f} s)",
        ratio <= 5,
    )

    import velmora

    table = "\n".join(
        [f"Measured on: {velmora.show_config('summary')}", "", "| target | measured | met |", "|---|---|---|"] + rows
    )
    print(table)
    if args.out:
        with open(args.out, "w") as f:
            f.write(table + "\n")
    return 0


if __name__ == "__main__":
    sys.exit(main())
