"""Partitioned search against FAISS IndexIVFPQFastScan, measured in one run.

    python -P bench/bench_partitions.py [--n 100000 1000000] [--dims 384 768] [--bits 2 4]
                                        [--probes 1 2 4 8 16 32 64] [--queries 200] [--threads 1]
                                        [--out results.md]

For each (n, dim, bits), on embedding-like data (velmora._data.embedding_like,
--queries rows held out as queries):

- Index.partition() with the default number of lists against FAISS's IVF
  train + add with as many lists (IndexIVFPQFastScan over an IndexFlatIP
  quantiser, dim * bits / 4 sub-quantisers of 4 bits: the same code bytes),
  both at --threads threads;
- for each probe count (and velmora's default_probes): recall@10 of the
  compressed search against the flat compressed search (velmora) or the
  search of every list (FAISS), recall@10 against exact cosine of the
  compressed search and of the re-ranked search (velmora with rerank=X and
  its default candidates; FAISS IndexRefineFlat over the IVF index with
  k_factor as many candidates), and the latency of one query (median over
  the queries, one call each) and of a batch (all queries in one call, per
  query), each with the ratio velmora / FAISS; then the flat search's
  single-query time and the partitioned one against it.

Searches run on one thread (the pool and FAISS's OpenMP), as the targets
name them; --threads sets the partitioning's threads only.
"""

from __future__ import annotations

import argparse
import os
import statistics
import subprocess
import sys
import tempfile
import time

os.environ["RAYON_NUM_THREADS"] = "1"  # searches on one thread; the pool is sized at first use

import numpy as np  # noqa: E402

import velmora  # noqa: E402
from velmora import Index  # noqa: E402
from velmora._data import embedding_like  # noqa: E402
from velmora._rerank import default_candidates  # noqa: E402


def exact_top(data: np.ndarray, queries: np.ndarray, k: int) -> np.ndarray:
    unit = data / np.linalg.norm(data, axis=1, keepdims=True)
    q = queries / np.linalg.norm(queries, axis=1, keepdims=True)
    out = np.empty((len(q), k), dtype=np.int64)
    for start in range(0, len(q), 50):
        scores = q[start : start + 50] @ unit.T
        part = np.argpartition(-scores, k, axis=1)[:, :k]
        order = np.argsort(-np.take_along_axis(scores, part, 1), axis=1)
        out[start : start + 50] = np.take_along_axis(part, order, 1)
    return out


def recall(found: np.ndarray, truth: np.ndarray) -> float:
    return sum(len(set(f) & set(t)) for f, t in zip(found.tolist(), truth.tolist())) / truth.size


def one_by_one(search, queries: np.ndarray) -> float:
    """Median milliseconds of one call per query (after one warm-up call)."""
    search(queries[:1])
    times = []
    for i in range(len(queries)):
        t0 = time.perf_counter()
        search(queries[i : i + 1])
        times.append(time.perf_counter() - t0)
    return statistics.median(times) * 1e3


def batched(search, queries: np.ndarray, repeats: int = 3) -> float:
    """Milliseconds per query of one call with every query (best of repeats)."""
    best = float("inf")
    for _ in range(repeats):
        t0 = time.perf_counter()
        search(queries)
        best = min(best, time.perf_counter() - t0)
    return best / len(queries) * 1e3


PARTITION = """
import sys, time
from velmora import Index
index = Index.load(sys.argv[1])
t0 = time.perf_counter()
index.partition()
print(time.perf_counter() - t0)
index.save(sys.argv[2])
"""


def run(faiss, n: int, dim: int, bits: int, probes: list[int], queries_count: int, threads: int) -> list[str]:
    everything = embedding_like(n + queries_count, dim, seed=1)
    data, queries = everything[:n], everything[n:]
    truth = exact_top(data, queries, 10)
    index = Index(dim, bits)
    index.add(np.arange(n), data)
    flat_ids = index.search(queries, 10)[0]
    flat_ms = one_by_one(lambda q: index.search(q, 10), queries)

    # This process's pool has one worker: partition() runs in a child with `threads`.
    with tempfile.TemporaryDirectory() as folder:
        flat_path, partitioned_path = os.path.join(folder, "flat.vidx"), os.path.join(folder, "lists.vidx")
        index.save(flat_path)
        child = subprocess.run(
            [sys.executable, "-P", "-c", PARTITION, flat_path, partitioned_path],
            env={**os.environ, "RAYON_NUM_THREADS": str(threads)},
            capture_output=True,
            text=True,
            check=True,
        )
        partition_s = float(child.stdout)
        index = Index.load(partitioned_path)
    lists = index.partitions
    faiss.omp_set_num_threads(threads)
    unit = data / np.linalg.norm(data, axis=1, keepdims=True)
    unit_queries = queries / np.linalg.norm(queries, axis=1, keepdims=True)
    quantiser = faiss.IndexFlatIP(dim)
    ivf = faiss.IndexIVFPQFastScan(quantiser, dim, lists, dim * bits // 4, 4, faiss.METRIC_INNER_PRODUCT)
    t0 = time.perf_counter()
    ivf.train(unit)
    ivf.add(unit)
    faiss_build_s = time.perf_counter() - t0
    faiss.omp_set_num_threads(1)
    ivf.nprobe = lists
    faiss_all = ivf.search(unit_queries, 10)[1]
    candidates = default_candidates(1, bits)  # velmora's default candidates per result
    refine = faiss.IndexRefineFlat(ivf, faiss.swig_ptr(unit))
    refine.k_factor = candidates

    rows = [
        f"### n = {n:,}, dim {dim}, {bits} bits: {lists} lists, default probes {index.default_probes}",
        "",
        f"partition(): {partition_s:.1f} s; FAISS IVF train + add: {faiss_build_s:.1f} s "
        f"(ratio {partition_s / faiss_build_s:.2f}, {threads} thread(s))",
        "",
        "| probes | recall vs flat (velmora / FAISS) | recall vs exact | re-ranked recall vs exact | one query ms "
        "(velmora / FAISS = ratio) | batch ms per query (ratio) | one query vs flat |",
        "|---|---|---|---|---|---|---|",
    ]
    for p in sorted({*[q for q in probes if q <= lists], index.default_probes}):
        ids = index.search(queries, 10, probes=p)[0]
        reranked = index.search(queries, 10, probes=p, rerank=data)[0]
        ivf.nprobe = p
        faiss_ids = ivf.search(unit_queries, 10)[1]
        faiss_refined = refine.search(unit_queries, 10)[1]
        one = one_by_one(lambda q, p=p: index.search(q, 10, probes=p), queries)
        faiss_one = one_by_one(lambda q: ivf.search(q, 10), unit_queries)
        batch = batched(lambda q, p=p: index.search(q, 10, probes=p), queries)
        faiss_batch = batched(lambda q: ivf.search(q, 10), unit_queries)
        mark = " (default)" if p == index.default_probes else ""
        rows.append(
            f"| {p}{mark} | {recall(ids, flat_ids):.3f} / {recall(faiss_ids, faiss_all):.3f} | "
            f"{recall(ids, truth):.3f} / {recall(faiss_ids, truth):.3f} | "
            f"{recall(reranked, truth):.3f} / {recall(faiss_refined, truth):.3f} | "
            f"{one:.3f} / {faiss_one:.3f} = {one / faiss_one:.2f} | "
            f"{batch:.4f} / {faiss_batch:.4f} = {batch / faiss_batch:.2f} | {one / flat_ms:.3f} |"
        )
    rows += ["", f"flat search, one query: {flat_ms:.3f} ms", ""]
    return rows


def main() -> None:
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--n", type=int, nargs="+", default=[100_000])
    p.add_argument("--dims", type=int, nargs="+", default=[384])
    p.add_argument("--bits", type=int, nargs="+", default=[4])
    p.add_argument("--probes", type=int, nargs="+", default=[1, 2, 4, 8, 16, 32, 64])
    p.add_argument("--queries", type=int, default=200)
    p.add_argument("--threads", type=int, default=1)
    p.add_argument("--out")
    args = p.parse_args()
    try:
        import faiss
    except ImportError:
        sys.exit("bench_partitions.py needs faiss-cpu: pip install '.[bench]'")
    config = velmora.show_config("dict")
    header = [
        f"CPU: {config['cpu']} ({os.cpu_count()} logical CPUs, {config['simd_active']}; bound passes "
        f"{config['bound_kernels'][4]}, exact kernels {config['exact_kernels'][4]} at 4 bits); "
        f"velmora {velmora.__version__}, faiss {faiss.__version__}",
        "",
    ]
    print("\n".join(header), flush=True)
    lines = list(header)
    for n in args.n:
        for dim in args.dims:
            for bits in args.bits:
                block = run(faiss, n, dim, bits, args.probes, args.queries, args.threads)
                print("\n".join(block), flush=True)
                lines += block
    if args.out:
        with open(args.out, "w") as f:
            f.write("\n".join(lines) + "\n")


if __name__ == "__main__":
    main()
