"""velmora.Index against the per-vector store, with every ratio measured in
one run on this machine.

    python -P bench/bench_index.py [--quick] [--repeats 3] [--out results.md]

- add: Index.add(ids, X) from a float32 (n, dim) array against
  CompressedVectorStore.insert_batch(list(zip(ids, X))) (the list built inside
  the timing, ids as Python ints), at dim 128 and 768;
- search: Index.search of 1,000 queries against a Python loop of
  store.query, at 1 thread; and Index.search at 2 threads against 1;
- save and load throughput (MB/s, file in the page cache) and load time
  against rebuilding with Index.add from float32, at 1,000,000 x 384 x 4 bits.

Thread counts are fixed per process, so each measurement runs in a
subprocess of its own. Each figure is the median of --repeats runs; the two
sides of a ratio are run alternately.
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
        n, dim, m = task["n"], task["dim"], task["queries"]
        x = rng.standard_normal((n, dim), dtype=np.float32)
        queries = rng.standard_normal((m, dim), dtype=np.float32)
        index = Index(dim, 4)
        index.add(np.arange(n), x)
        index.search(queries[:2], 10)
        if task.get("store"):
            store = CompressedVectorStore(dim, 4)
            store.insert_batch(list(zip(range(n), x)))
            out["index_s"], out["store_s"] = paired_medians(
                lambda: index.search(queries, 10), lambda: [store.query(q, 10) for q in queries])
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


def run(task: dict, threads: int) -> dict:
    env = {**os.environ, "RAYON_NUM_THREADS": str(threads)}
    done = subprocess.run([sys.executable, "-P", "-c", WORKER, json.dumps(task)], capture_output=True, text=True,
                          env=env, check=False)
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
    args = parser.parse_args()
    scale = 10 if args.quick else 1
    rows = []

    def add_row(target: str, measured: str, met: bool | None) -> None:
        rows.append((target, measured, "yes" if met else ("NO" if met is not None else "-")))
        print(f"{target}: {measured}", flush=True)

    print(f"CPU: {cpu_model()}, {os.cpu_count()} logical CPUs", flush=True)
    for dim, n in ((128, 200_000 // scale), (768, 40_000 // scale)):
        r = run({"kind": "add", "n": n, "dim": dim, "repeats": args.repeats}, 1)
        ratio = r["store_s"] / r["index_s"]
        add_row(f"add {n:,} x {dim} float32, 1 thread: vs insert_batch(list(zip(ids, X))) (>= 1.3x)",
                f"{ratio:.2f}x ({r['index_s']:.3f} s vs {r['store_s']:.3f} s)", ratio >= 1.3)

    n, dim, m = 100_000 // scale, 128, 1000
    one = run({"kind": "search", "n": n, "dim": dim, "queries": m, "store": True, "repeats": args.repeats}, 1)
    ratio = one["store_s"] / one["index_s"]
    add_row(f"search {m:,} queries, n={n:,} dim {dim} 4 bits k=10, 1 thread: vs a loop of store.query (>= 1.3x)",
            f"{ratio:.2f}x ({one['index_s']:.3f} s vs {one['store_s']:.3f} s)", ratio >= 1.3)
    # One and two threads need processes of their own: alternate them.
    ones, twos = [], []
    for _ in range(args.repeats):
        ones.append(run({"kind": "search", "n": n, "dim": dim, "queries": m, "repeats": 1}, 1)["index_s"])
        twos.append(run({"kind": "search", "n": n, "dim": dim, "queries": m, "repeats": 1}, 2)["index_s"])
    scaling = statistics.median(ones) / statistics.median(twos)
    add_row("… 2 threads vs 1 (>= 1.8x)", f"{scaling:.2f}x ({statistics.median(twos):.3f} s vs "
            f"{statistics.median(ones):.3f} s)", scaling >= 1.8)

    with tempfile.TemporaryDirectory(dir=os.getcwd()) as directory:
        n = 1_000_000 // scale
        r = run({"kind": "files", "n": n, "dim": 384, "dir": directory, "repeats": args.repeats}, 2)
    mb = r["bytes"] / 1e6
    add_row(f"save {n:,} x 384 x 4 bits ({mb:.0f} MB, with fsync), 2 threads (>= 500 MB/s)",
            f"{mb / r['save_s']:.0f} MB/s ({r['save_s']:.3f} s)", mb / r["save_s"] >= 500)
    add_row("… load from the page cache (>= 500 MB/s)", f"{mb / r['load_s']:.0f} MB/s ({r['load_s']:.3f} s)",
            mb / r["load_s"] >= 500)
    add_row("… load vs rebuilding with add from float32 (>= 20x)",
            f"{r['rebuild_s'] / r['load_s']:.1f}x ({r['rebuild_s']:.2f} s)", r["rebuild_s"] / r["load_s"] >= 20)
    add_row("… to_bytes / from_bytes", f"{mb / r['to_bytes_s']:.0f} / {mb / r['from_bytes_s']:.0f} MB/s", None)

    table = ["| target | measured | met |", "|---|---|---|"] + [f"| {a} | {b} | {c} |" for a, b, c in rows]
    print()
    print(f"CPU: {cpu_model()}")
    print("\n".join(table))
    if args.out:
        with open(args.out, "w") as f:
            f.write(f"CPU: {cpu_model()}\n\n" + "\n".join(table) + "\n")


if __name__ == "__main__":
    main()
