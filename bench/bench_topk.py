"""Top-k queries at fast-scan speed: velmora's query(q, 10) against its peers,
in one run on one machine, one thread everywhere.

    python -P bench/bench_topk.py [--n 1000000] [--dim 128] [--queries 50]
        [--out table.md] [--json results.json] [--thread-runs 3]

For Gaussian and clustered embedding-like data (velmora._data.embedding_like)
it measures, as medians of single queries:
  - velmora query(q, 10) at 2, 3 and 4 bits, at the CPU's best kernel level
    and with VELMORA_SIMD=avx2;
  - FAISS IndexPQFastScan with the same code bytes per vector (dim/2 x 4
    bits for 2 bits, 3 dim/4 x 4 for 3 bits, dim x 4 for 4 bits), by inner
    product on normalised vectors, and IndexFlatIP;
  - numpy float32 brute force (X @ q, then argpartition);
and recall@10 against exact cosine search. The share of stored vectors whose
exact score velmora computed comes from bench_top_k on the same vectors, the
exact scan of every vector (what query_all scores before ranking) from
bench_kernels, next to numpy's X @ q timed here. Both C++ programs are
(re)built into build/bench first. With --thread-runs, one- and two-thread runs
of bench_top_k alternate and every ratio is printed (the machine may be
shared), each beside the speed-up of a plain read of as many bytes.

    python -P bench/bench_topk.py --grid [--dims 128,384,768,1536] [--grid-bits 2,4]
        [--n 100000] [--batch 1000] [--queries 50] [--repeats 3] [--simd avx2] [--out grid.md]

--grid sets velmora.Index against FAISS IndexPQFastScan (dim * bits / 4
sub-quantisers of 4 bits: as many code bytes) at each dimension and bit
width, on Gaussian and embedding-like data, one thread: Index.search of a
batch of queries against PQFastScan's search of the same batch (alternating,
median of --repeats and the range of the pairs' ratios), and one query at a
time (search(q, 10) against search(q[None], 10), each query by both in turn,
medians). Each configuration runs in a process of its own.
"""

from __future__ import annotations

import argparse
import gc
import json
import os
import statistics
import subprocess
import sys
import tempfile
import time
from typing import Any

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BENCH_DIR = os.path.join(ROOT, "build", "bench")


def cpu_model() -> str:
    import velmora

    return str(velmora.show_config("dict")["cpu"])


def cpu_flags() -> str:
    with open("/proc/cpuinfo") as f:
        for line in f:
            if line.startswith("flags"):
                flags = line.split(":", 1)[1].split()
                return " ".join(f for f in flags if f in ("avx2", "avx512f", "avx512bw", "avx512vbmi"))
    return ""


def recall(found: list[list[int]], truth: Any) -> float:
    return sum(len(set(f) & set(t.tolist())) for f, t in zip(found, truth)) / float(truth.size)


def worker(task: dict[str, Any]) -> dict[str, Any]:
    """Runs in a subprocess whose thread counts are fixed by its environment.

    Every system is built first; then each query is run by every system in
    turn, so that all of them see the same moments of a shared machine."""
    import numpy as np

    x = np.fromfile(task["vectors"], dtype=np.float32).reshape(-1, task["dim"])
    queries = np.fromfile(task["queries"], dtype=np.float32).reshape(-1, task["dim"])
    truth = np.load(task["truth"])
    out: dict[str, Any] = {}
    from velmora import CompressedVectorStore

    def rss() -> int:
        with open("/proc/self/statm") as f:
            return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")

    searches: dict[str, Any] = {}  # name -> (search of one query giving ids, query set)
    for bits in task["bits"]:
        gc.collect()
        before = rss()
        store = CompressedVectorStore(task["dim"], bits)
        for start in range(0, len(x), 100000):
            store.insert_batch(list(zip(range(start, start + 100000), x[start : start + 100000])))
        gc.collect()
        out[f"velmora{bits}_rss"] = (rss() - before) / len(x)
        out[f"velmora{bits}_memory"] = store.memory_bytes() / len(x)
        searches[f"velmora{bits}"] = (lambda q, s=store: [i for i, _ in s.query(q, 10)], queries)
    if task.get("peers"):
        import faiss

        faiss.omp_set_num_threads(1)
        unit = x / np.linalg.norm(x, axis=1, keepdims=True)
        qs = queries / np.linalg.norm(queries, axis=1, keepdims=True)
        searches["numpy"] = (lambda q: np.argpartition(-(unit @ q), 10)[:10].tolist(), qs)
        searches["numpy_matvec"] = (lambda q: x @ q, queries)
        flat = faiss.IndexFlatIP(task["dim"])
        flat.add(unit)
        searches["flat"] = (lambda q: flat.search(q[None, :], 10)[1][0].tolist(), qs)
        train = unit[np.random.default_rng(0).choice(len(unit), min(len(unit), 100000), replace=False)]
        for bits in task["bits"]:
            m = task["dim"] * bits // 4
            if task["dim"] % m:
                continue  # PQ needs M to divide dim: no 96 x 4 at dim 128
            index = faiss.IndexPQFastScan(task["dim"], m, 4, faiss.METRIC_INNER_PRODUCT)
            index.train(train)
            index.add(unit)
            searches[f"pqfs{bits}"] = (lambda q, i=index: i.search(q[None, :], 10)[1][0].tolist(), qs)
    times: dict[str, list[float]] = {name: [] for name in searches}
    found: dict[str, list[Any]] = {name: [] for name in searches}
    for search, qset in searches.values():
        search(qset[0])  # first use
    for j in range(len(queries)):
        for name, (search, qset) in searches.items():
            t0 = time.perf_counter()
            ids = search(qset[j])
            times[name].append(time.perf_counter() - t0)
            found[name].append(ids)
    for name in searches:
        out[f"{name}_ms"] = 1e3 * statistics.median(times[name])
        if name != "numpy_matvec":
            out[f"{name}_recall"] = recall(found[name], truth)
    return out


def grid_worker(task: dict[str, Any]) -> dict[str, Any]:
    """One configuration of --grid: Index against PQFastScan, batch and single queries."""
    import faiss
    import numpy as np

    from velmora import Index
    from velmora._data import embedding_like

    faiss.omp_set_num_threads(1)
    n, dim, bits, m = task["n"], task["dim"], task["bits"], task["batch"]
    if task["data"] == "gaussian":
        data = np.random.default_rng(0).standard_normal((n + m, dim), dtype=np.float32)
    else:
        data = embedding_like(n + m, dim, seed=1)
    x, queries = data[:n], data[n:]
    index = Index(dim, bits)
    index.add(np.arange(n), x)
    unit = x / np.linalg.norm(x, axis=1, keepdims=True)
    qs = queries / np.linalg.norm(queries, axis=1, keepdims=True)
    pq = faiss.IndexPQFastScan(dim, dim * bits // 4, 4, faiss.METRIC_INNER_PRODUCT)
    pq.train(unit[np.random.default_rng(0).choice(n, min(n, 50000), replace=False)])
    pq.add(unit)
    index.search(queries[:8], 10)
    pq.search(qs[:8], 10)
    ours, theirs = [], []
    for _ in range(task["repeats"]):
        t0 = time.perf_counter()
        index.search(queries, 10)
        t1 = time.perf_counter()
        pq.search(qs, 10)
        t2 = time.perf_counter()
        ours.append(t1 - t0)
        theirs.append(t2 - t1)
    one_ours, one_theirs = [], []
    for j in range(task["queries"]):
        t0 = time.perf_counter()
        index.search(queries[j], 10)
        t1 = time.perf_counter()
        pq.search(qs[j : j + 1], 10)
        t2 = time.perf_counter()
        one_ours.append(t1 - t0)
        one_theirs.append(t2 - t1)
    return {
        "batch_s": statistics.median(ours),
        "pq_batch_s": statistics.median(theirs),
        "batch_ratios": [a / b for a, b in zip(ours, theirs)],
        "one_ms": 1e3 * statistics.median(one_ours),
        "pq_one_ms": 1e3 * statistics.median(one_theirs),
        "memory": index.memory_bytes() / n,
    }


def run_grid(args: argparse.Namespace) -> int:
    env = {"VELMORA_SIMD": args.simd} if args.simd else {}
    lines = [
        f"CPU: {cpu_model()} ({cpu_flags()}), {os.cpu_count()} logical CPUs; "
        f"{'VELMORA_SIMD=' + args.simd if args.simd else 'best level'}; one thread; n = {args.n:,}; "
        f"Index.search of {args.batch:,} queries (k = 10; median of {args.repeats}, range of the pairs' ratios) "
        f"and single queries (medians of {args.queries}) against FAISS IndexPQFastScan with as many code bytes",
        "",
        "| data | dim | bits | PQFastScan | batch s | PQFastScan batch s | batch ratio | one query ms | "
        "PQFastScan ms | one-query ratio |",
        "|---|---|---|---|---|---|---|---|---|---|",
    ]
    for line in lines:
        print(line, flush=True)
    for data in args.data.split(","):
        for dim in (int(d) for d in args.dims.split(",")):
            for bits in (int(b) for b in args.grid_bits.split(",")):
                task = {
                    "grid": True,
                    "data": data,
                    "n": args.n,
                    "dim": dim,
                    "bits": bits,
                    "batch": args.batch,
                    "queries": args.queries,
                    "repeats": args.repeats,
                }
                r = run_worker(task, 1, **env)
                ratios = r["batch_ratios"]
                line = (
                    f"| {data} | {dim} | {bits} | {dim * bits // 4}×4 | {r['batch_s']:.3f} | {r['pq_batch_s']:.3f} | "
                    f"{statistics.median(ratios):.2f}× ({min(ratios):.2f}–{max(ratios):.2f}) | {r['one_ms']:.3f} | "
                    f"{r['pq_one_ms']:.3f} | {r['one_ms'] / r['pq_one_ms']:.2f}× |"
                )
                lines.append(line)
                print(line, flush=True)
    if args.out:
        with open(args.out, "w") as f:
            f.write("\n".join(lines) + "\n")
    return 0


def run_worker(task: dict[str, Any], threads: int, **env: str) -> dict[str, Any]:
    full_env = dict(os.environ)
    full_env.update(
        RAYON_NUM_THREADS=str(threads),
        OMP_NUM_THREADS=str(threads),
        OPENBLAS_NUM_THREADS=str(threads),
        MKL_NUM_THREADS=str(threads),
    )
    full_env.pop("VELMORA_SIMD", None)
    full_env.update(env)
    out = subprocess.run(
        [sys.executable, "-P", os.path.abspath(__file__), "--worker", json.dumps(task)],
        env=full_env,
        capture_output=True,
        text=True,
    )
    if out.returncode != 0:
        sys.exit(f"worker failed:\n{out.stderr}")
    return json.loads(out.stdout.strip().splitlines()[-1])


def recall_text(value: float) -> str:
    return "–" if value != value else f"{value:.3f}"  # NaN: not measured


def build_cpp_benchmarks() -> None:
    subprocess.run(
        [
            "cmake",
            "-S",
            ROOT,
            "-B",
            BENCH_DIR,
            "-DCMAKE_BUILD_TYPE=Release",
            "-DVELMORA_BUILD_BENCH=ON",
            "-DVELMORA_PYTHON_MODULE=OFF",
        ],
        check=True,
        capture_output=True,
    )
    subprocess.run(
        ["cmake", "--build", BENCH_DIR, "-j", "2", "--target", "bench_kernels", "bench_top_k"],
        check=True,
        capture_output=True,
    )


def top_k_run(n: int, dim: int, bits: int, vectors: str, queries: str, threads: int) -> dict[str, Any]:
    env = dict(os.environ, RAYON_NUM_THREADS=str(threads))
    env.pop("VELMORA_SIMD", None)
    out = subprocess.run(
        [os.path.join(BENCH_DIR, "bench_top_k"), str(n), str(dim), str(bits), "10", vectors, queries],
        env=env,
        check=True,
        capture_output=True,
        text=True,
    )
    return json.loads(out.stdout.strip().splitlines()[-1])


def exact_shares(n: int, dim: int, vectors: str, queries: str, bits_list: list[int]) -> dict[int, float]:
    return {bits: top_k_run(n, dim, bits, vectors, queries, 1)["exact_share"] for bits in bits_list}


def exact_scan_ms(n: int, dim: int, level: str | None) -> dict[int, tuple[str, float]]:
    """The chosen exact kernel's time for every vector's score, per bit width."""
    env = dict(os.environ, RAYON_NUM_THREADS="1")
    out = subprocess.run(
        [os.path.join(BENCH_DIR, "bench_kernels"), str(n), str(dim)],
        env=env,
        check=True,
        capture_output=True,
        text=True,
    ).stdout
    rows = [
        [c.strip() for c in line.strip().strip("|").split("|")]
        for line in out.splitlines()
        if line.startswith("| ") and not line.startswith("| bits")
    ]
    times = {(int(r[0]), r[1]): r[2] for r in rows}
    chosen = {}
    for r in rows:
        if r[1].startswith("chosen at "):
            at, names = r[1][len("chosen at ") :].split(": ")
            chosen.setdefault(int(r[0]), {})[at] = names.split(",")[0].strip()  # exact kernel, then bound passes
    result = {}
    for bits, by_level in chosen.items():
        name = by_level.get(level) if level else by_level[max(by_level, key=("scalar", "avx2", "avx512").index)]
        if name is not None:
            result[bits] = (name, float(times[(bits, name)]))
    return result


def main() -> int:
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--n", type=int, default=1000000)
    p.add_argument("--dim", type=int, default=128)
    p.add_argument("--queries", type=int, default=50)
    p.add_argument("--thread-runs", type=int, default=3, help="alternating one- and two-thread runs (0: none)")
    p.add_argument("--out", help="also write the Markdown tables to this file")
    p.add_argument("--json", help="write every measurement as JSON to this file")
    p.add_argument("--grid", action="store_true", help="Index against PQFastScan over dimensions and bit widths")
    p.add_argument("--dims", default="128,384,768,1536", help="--grid: dimensions")
    p.add_argument("--grid-bits", default="2,4", help="--grid: bit widths")
    p.add_argument("--data", default="gaussian,embedding-like", help="--grid: data sets")
    p.add_argument("--batch", type=int, default=1000, help="--grid: queries per batch search")
    p.add_argument("--repeats", type=int, default=3, help="--grid: alternating batch searches")
    p.add_argument("--simd", help="--grid: VELMORA_SIMD for velmora")
    p.add_argument("--worker", help=argparse.SUPPRESS)
    args = p.parse_args()
    if args.worker:
        task = json.loads(args.worker)
        print(json.dumps(grid_worker(task) if task.get("grid") else worker(task)))
        return 0
    if args.grid:
        return run_grid(args)

    import numpy as np

    from velmora._data import embedding_like

    build_cpp_benchmarks()
    bits_list = [2, 3, 4]
    lines = [
        f"CPU: {cpu_model()} ({cpu_flags()}), {os.cpu_count()} logical CPUs; n = {args.n:,}, dim {args.dim}, "
        f"query(q, 10), one thread, medians of {args.queries} single queries.",
        "",
    ]
    import velmora

    lines.insert(1, f"engine: {velmora.show_config('summary')}")
    results: dict[str, Any] = {"cpu": cpu_model(), "config": velmora.show_config("dict")}

    def emit(line: str) -> None:
        lines.append(line)
        print(line, flush=True)

    for line in lines:
        print(line, flush=True)
    with tempfile.TemporaryDirectory() as tmp:
        datasets = {}
        rng = np.random.default_rng(0)
        datasets["gaussian"] = rng.standard_normal((args.n + args.queries, args.dim), dtype=np.float32)
        datasets["embedding-like"] = embedding_like(args.n + args.queries, args.dim, seed=1)
        emit(
            "| data | bits | bytes/vector (RSS) | velmora ms | velmora ms (avx2) | PQFastScan | PQFastScan ms | "
            "velmora / PQFastScan | exact scores | recall@10 velmora | recall@10 PQFastScan |"
        )
        emit("|---|---|---|---|---|---|---|---|---|---|---|")
        peers_rows = []
        for name, data in datasets.items():
            x, queries = data[: args.n], data[args.n :]
            unit = x / np.linalg.norm(x, axis=1, keepdims=True)
            qs = queries / np.linalg.norm(queries, axis=1, keepdims=True)
            truth = np.stack([np.argpartition(-(unit @ q), 10)[:10] for q in qs])
            paths = {k: os.path.join(tmp, f"{name}.{k}") for k in ("vectors", "queries")}
            x.tofile(paths["vectors"])
            queries.tofile(paths["queries"])
            np.save(os.path.join(tmp, f"{name}.truth.npy"), truth)
            task = {
                "vectors": paths["vectors"],
                "queries": paths["queries"],
                "truth": os.path.join(tmp, f"{name}.truth.npy"),
                "dim": args.dim,
                "bits": bits_list,
            }
            best = run_worker(dict(task, peers=True), 1)
            avx2 = run_worker(task, 1, VELMORA_SIMD="avx2")
            shares = exact_shares(args.n, args.dim, paths["vectors"], paths["queries"], bits_list)
            results[name] = {"best": best, "avx2": avx2, "exact_share": shares}
            for bits in bits_list:
                if f"pqfs{bits}_ms" not in best:
                    # Between the neighbouring sizes: their mean.
                    best[f"pqfs{bits}_ms"] = (best[f"pqfs{bits - 1}_ms"] + best[f"pqfs{bits + 1}_ms"]) / 2
                    best[f"pqfs{bits}_recall"] = float("nan")
                    best[f"pqfs{bits}_label"] = (
                        f"mean of {args.dim * (bits - 1) // 4}×4, {args.dim * (bits + 1) // 4}×4"
                    )
                ratio = best[f"velmora{bits}_ms"] / best[f"pqfs{bits}_ms"]
                emit(
                    f"| {name} | {bits} | {best[f'velmora{bits}_memory']:.0f} ({best[f'velmora{bits}_rss']:.1f}) | "
                    f"{best[f'velmora{bits}_ms']:.2f} | "
                    f"{avx2[f'velmora{bits}_ms']:.2f} | {best.get(f'pqfs{bits}_label', f'{args.dim * bits // 4}×4')} | "
                    f"{best[f'pqfs{bits}_ms']:.2f} | "
                    f"{ratio:.2f}× | {100 * shares[bits]:.3f}% | {best[f'velmora{bits}_recall']:.3f} | "
                    f"{recall_text(best[f'pqfs{bits}_recall'])} |"
                )
            peers_rows.append(
                f"| {name} | {best['flat_ms']:.2f} | {best['numpy_ms']:.2f} | {best['numpy_matvec_ms']:.2f} |"
            )
        emit("")
        emit("Exact peers (float32, 512 bytes per vector at dim 128):")
        emit("")
        emit("| data | FAISS IndexFlatIP ms | numpy X @ q + argpartition ms | numpy X @ q ms |")
        emit("|---|---|---|---|")
        for row in peers_rows:
            emit(row)

        matvec = statistics.median(results[name]["best"]["numpy_matvec_ms"] for name in datasets)
        emit("")
        emit(
            "The exact scan: every vector's score, one thread (bench_kernels), against numpy's X @ q over the same "
            "n and dim:"
        )
        emit("")
        emit("| bits | level | kernel | ms | numpy X @ q / velmora |")
        emit("|---|---|---|---|---|")
        results["exact_scan"] = {}
        for level in (None, "avx2"):
            for bits, (kernel, ms) in sorted(exact_scan_ms(args.n, args.dim, level).items()):
                label = level or "best"
                results["exact_scan"][f"{label}{bits}"] = ms
                emit(f"| {bits} | {label} | {kernel} | {ms:.2f} | {matvec / ms:.2f}× |")

        if args.thread_runs:
            emit("")
            emit(
                "Two threads against one: query(q, 10) through the store (bench_top_k, gaussian data), runs "
                "alternating; beside it, the same pool reading as many bytes as the codes hold, at the same "
                "moment, which bounds what a second thread can add to a scan that runs at memory speed:"
            )
            emit("")
            emit("| bits | 1 thread ms | 2 threads ms | query speed-up | read speed-up |")
            emit("|---|---|---|---|---|")
            paths = {k: os.path.join(tmp, f"gaussian.{k}") for k in ("vectors", "queries")}
            results["threads"] = []
            for _ in range(args.thread_runs):
                for bits in bits_list:
                    one, two = (
                        top_k_run(args.n, args.dim, bits, paths["vectors"], paths["queries"], t) for t in (1, 2)
                    )
                    results["threads"].append({"bits": bits, "one": one, "two": two})
                    emit(
                        f"| {bits} | {one['ms']:.2f} | {two['ms']:.2f} | {one['ms'] / two['ms']:.2f}× | "
                        f"{one['read_ms'] / two['read_ms']:.2f}× |"
                    )

    if args.out:
        with open(args.out, "w") as f:
            f.write("\n".join(lines) + "\n")
    if args.json:
        with open(args.json, "w") as f:
            json.dump(results, f, indent=1)
    return 0


if __name__ == "__main__":
    sys.exit(main())
