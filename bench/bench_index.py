"""velmora.Index against the per-vector store, with every ratio measured in
one run on this machine.

    python -P bench/bench_index.py [--quick] [--repeats 3] [--out results.md] [--simd avx2] [--only search]

- add: Index.add(ids, X) from a float32 (n, dim) array against
  CompressedVectorStore.insert_batch(list(zip(ids, X))) (the list built inside
  the timing, ids as Python ints), at dim 128 and 768;
- search: Index.search of 1,000 queries (k = 10) against a Python loop of
  store.query, at 1 thread, at n = 100,000 and 4, 3 and 2 bits and at
  n = 1,000,000 and 4 bits; and Index.search at 2 threads against 1;
- save and load throughput (MB/s, file in the page cache) and load time
  against rebuilding with Index.add from float32, at 1,000,000 x 384 x 4 bits.

Thread counts are fixed per process, so each measurement runs in a
subprocess of its own. Each figure is the median of --repeats runs; the two
sides of a ratio are run alternately, and a ratio is the median of the
ratios of the pairs, with their range (the spread on a shared machine).
--simd sets VELMORA_SIMD for every worker (reference, scalar, avx2, avx512).
"""

from __future__ import annotations

import argparse
import json
import os
import statistics
import subprocess
import sys
import tempfile
import textwrap

WORKER = textwrap.dedent(
    r"""
    import json, os, statistics, sys, time
    import numpy as np
    from velmora import CompressedVectorStore, Index
    task = json.loads(sys.argv[1])
    rng = np.random.default_rng(0)
    repeats = task["repeats"]
    def median_time(fn):
        times = []
        for _ in range(repeats):
            t0 = time.perf_counter(); fn(); times.append(time.perf_counter() - t0)
        return statistics.median(times)
    def paired_medians(first, second):
        # Alternating runs, so that a machine whose speed drifts (shared
        # cores) biases neither side.
        a, b = [], []
        for _ in range(repeats):
            t0 = time.perf_counter(); first(); t1 = time.perf_counter(); second(); t2 = time.perf_counter()
            a.append(t1 - t0); b.append(t2 - t1)
        return statistics.median(a), statistics.median(b)
    out = {}
    kind = task["kind"]
    if kind == "add":
        n, dim = task["n"], task["dim"]
        x = rng.standard_normal((n, dim), dtype=np.float32)
        ids = np.arange(n, dtype=np.uint64)
        Index(dim, 4); CompressedVectorStore(dim, 4)  # rotation and codebook built outside the timing
        out["index_s"], out["store_s"] = paired_medians(
            lambda: Index(dim, 4).add(ids, x),
            lambda: CompressedVectorStore(dim, 4).insert_batch(list(zip(range(n), x))))
    elif kind == "search":
        n, dim, m, bits = task["n"], task["dim"], task["queries"], task["bits"]
        x = rng.standard_normal((n, dim), dtype=np.float32)
        queries = rng.standard_normal((m, dim), dtype=np.float32)
        index = Index(dim, bits)
        index.add(np.arange(n), x)
        index.search(queries[:2], 10)
        if task.get("store"):
            store = CompressedVectorStore(dim, bits)
            for first in range(0, n, 100_000):
                store.insert_batch(list(zip(range(first, min(n, first + 100_000)), x[first:first + 100_000])))
            store.query(queries[0], 10)
            pairs = []
            for _ in range(repeats):
                t0 = time.perf_counter(); index.search(queries, 10); t1 = time.perf_counter()
                [store.query(q, 10) for q in queries]; t2 = time.perf_counter()
                pairs.append((t1 - t0, t2 - t1))
            out["index_s"] = statistics.median(a for a, _ in pairs)
            out["store_s"] = statistics.median(b for _, b in pairs)
            out["ratios"] = [b / a for a, b in pairs]
        else:
            out["index_s"] = median_time(lambda: index.search(queries, 10))
    elif kind == "files":
        n, dim = task["n"], task["dim"]
        x = rng.standard_normal((n, dim), dtype=np.float32)
        ids = np.arange(n, dtype=np.uint64)
        index = Index(dim, 4)
        t0 = time.perf_counter(); index.add(ids, x); out["rebuild_s"] = time.perf_counter() - t0
        path = os.path.join(task["dir"], "bench.vidx")
        out["save_s"] = median_time(lambda: index.save(path))
        out["bytes"] = os.path.getsize(path)
        Index.load(path)  # in the page cache from here on
        out["load_s"] = median_time(lambda: Index.load(path))
        out["to_bytes_s"] = median_time(index.to_bytes)
        data = index.to_bytes()
        out["from_bytes_s"] = median_time(lambda: Index.from_bytes(data))
    print(json.dumps(out))
    """
)


SIMD: str | None = None


def run(task: dict, threads: int) -> dict:
    env = {**os.environ, "RAYON_NUM_THREADS": str(threads)}
    if SIMD:
        env["VELMORA_SIMD"] = SIMD
    done = subprocess.run(
        [sys.executable, "-P", "-c", WORKER, json.dumps(task)], capture_output=True, text=True, env=env, check=False
    )
    if done.returncode != 0:
        raise SystemExit(done.stderr)
    return json.loads(done.stdout.strip().splitlines()[-1])


def cpu_model() -> str:
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return "unknown CPU"


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="smaller sizes, for a check that it runs")
    parser.add_argument("--repeats", type=int, default=5)
    parser.add_argument("--out", help="also write the table to this Markdown file")
    parser.add_argument("--simd", help="VELMORA_SIMD for every worker")
    parser.add_argument("--only", choices=["search"], help="only the search figures")
    args = parser.parse_args()
    global SIMD
    SIMD = args.simd
    scale = 10 if args.quick else 1
    rows = []

    def add_row(target: str, measured: str, met: bool | None) -> None:
        rows.append((target, measured, "yes" if met else ("NO" if met is not None else "-")))
        print(f"{target}: {measured}", flush=True)

    level = f", VELMORA_SIMD={SIMD}" if SIMD else ""
    print(f"CPU: {cpu_model()}, {os.cpu_count()} logical CPUs{level}", flush=True)
    for dim, n in ((128, 200_000 // scale), (768, 40_000 // scale)) if not args.only else ():
        r = run({"kind": "add", "n": n, "dim": dim, "repeats": args.repeats}, 1)
        ratio = r["store_s"] / r["index_s"]
        add_row(
            f"add {n:,} x {dim} float32, 1 thread: vs insert_batch(list(zip(ids, X))) (>= 1.3x)",
            f"{ratio:.2f}x ({r['index_s']:.3f} s vs {r['store_s']:.3f} s)",
            ratio >= 1.3,
        )

    m, dim = 1000, 128
    for n, bits in ((100_000 // scale, 4), (100_000 // scale, 3), (100_000 // scale, 2), (1_000_000 // scale, 4)):
        one = run(
            {"kind": "search", "n": n, "dim": dim, "bits": bits, "queries": m, "store": True, "repeats": args.repeats},
            1,
        )
        ratios = one["ratios"]
        ratio = statistics.median(ratios)
        add_row(
            f"search {m:,} queries, n={n:,} dim {dim} {bits} bits k=10, 1 thread: vs a loop of store.query (>= 1.3x)",
            f"{ratio:.2f}x (pairs {min(ratios):.2f}x to {max(ratios):.2f}x; {one['index_s']:.3f} s vs "
            f"{one['store_s']:.3f} s)",
            ratio >= 1.3,
        )
    # One and two threads need processes of their own: alternate them.
    n = 100_000 // scale
    ones, twos = [], []
    for _ in range(args.repeats):
        ones.append(run({"kind": "search", "n": n, "dim": dim, "bits": 4, "queries": m, "repeats": 1}, 1)["index_s"])
        twos.append(run({"kind": "search", "n": n, "dim": dim, "bits": 4, "queries": m, "repeats": 1}, 2)["index_s"])
    pair_ratios = [a / b for a, b in zip(ones, twos)]
    scaling = statistics.median(pair_ratios)
    add_row(
        f"search n={n:,} 4 bits: 2 threads vs 1 (>= 1.8x)",
        f"{scaling:.2f}x (pairs {min(pair_ratios):.2f}x to {max(pair_ratios):.2f}x; "
        f"{statistics.median(twos):.3f} s vs {statistics.median(ones):.3f} s)",
        scaling >= 1.8,
    )

    if args.only:
        finish(rows, args.out)
        return
    with tempfile.TemporaryDirectory(dir=os.getcwd()) as directory:
        n = 1_000_000 // scale
        r = run({"kind": "files", "n": n, "dim": 384, "dir": directory, "repeats": args.repeats}, 2)
    mb = r["bytes"] / 1e6
    add_row(
        f"save {n:,} x 384 x 4 bits ({mb:.0f} MB, with fsync), 2 threads (>= 500 MB/s)",
        f"{mb / r['save_s']:.0f} MB/s ({r['save_s']:.3f} s)",
        mb / r["save_s"] >= 500,
    )
    add_row(
        "… load from the page cache (>= 500 MB/s)",
        f"{mb / r['load_s']:.0f} MB/s ({r['load_s']:.3f} s)",
        mb / r["load_s"] >= 500,
    )
    add_row(
        "… load vs rebuilding with add from float32 (>= 20x)",
        f"{r['rebuild_s'] / r['load_s']:.1f}x ({r['rebuild_s']:.2f} s)",
        r["rebuild_s"] / r["load_s"] >= 20,
    )
    add_row("… to_bytes / from_bytes", f"{mb / r['to_bytes_s']:.0f} / {mb / r['from_bytes_s']:.0f} MB/s", None)
    finish(rows, args.out)


def finish(rows: list, out: str | None) -> None:
    table = ["| target | measured | met |", "|---|---|---|"] + [f"| {a} | {b} | {c} |" for a, b, c in rows]
    level = f" (VELMORA_SIMD={SIMD})" if SIMD else ""
    print()
    print(f"CPU: {cpu_model()}{level}")
    print("\n".join(table))
    if out:
        with open(out, "w") as f:
            f.write(f"CPU: {cpu_model()}{level}\n\n" + "\n".join(table) + "\n")


if __name__ == "__main__":
    main()
