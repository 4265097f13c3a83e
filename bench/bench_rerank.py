"""Compressed search, re-ranked search and exact search, measured in one run.

    python -P bench/bench_rerank.py [--n 100000] [--dim 384] [--queries 1000] [--bits 2 3 4]
                                    [--repeats 3] [--data vectors.npy] [--out results.md]

For each bit width, on embedding-like data (velmora._data.embedding_like) or
the rows of a .npy file (--data; --queries rows are held out as queries),
one worker thread:

- recall@10 against float64 cosine search (equal scores by smaller id) of
  Index.search (compressed), of search(..., rerank=X) with the default
  candidates, and of search(..., rerank=X, exact=True), and on how many
  queries the exact mode returns brute force's ids;
- the fraction of the full vectors the exact mode reads per query (median,
  90th percentile), counted through a callable source, one query at a time;
- the time of one search of all queries in each mode, with the full vectors
  as a float32 array in memory and as an np.memmap of a .npy file in the
  page cache, and each mode's time against the compressed search's (the
  median of the ratios of alternating runs, with their range);
- the time per query of --single queries searched one per call, each mode
  against the compressed search in the same way.
"""

from __future__ import annotations

import argparse
import os
import statistics
import sys
import tempfile
import time

os.environ.setdefault("RAYON_NUM_THREADS", "1")

import numpy as np  # noqa: E402

import velmora  # noqa: E402
from velmora import Index  # noqa: E402
from velmora._data import embedding_like  # noqa: E402


def true_top(rows: np.ndarray, queries: np.ndarray, k: int) -> np.ndarray:
    """Row numbers of the k best rows of each query by float64 cosine, equal
    scores by smaller row."""
    q = queries.astype(np.float64)
    q /= np.linalg.norm(q, axis=1, keepdims=True)
    best = np.empty((len(q), 0), dtype=np.int64)
    best_scores = np.empty((len(q), 0))
    for start in range(0, len(rows), 65536):
        block = np.asarray(rows[start : start + 65536], dtype=np.float64)
        scores = (block @ q.T).T / np.linalg.norm(block, axis=1)
        ids = np.broadcast_to(np.arange(start, start + len(block)), scores.shape)
        all_ids, all_scores = np.concatenate([best, ids], 1), np.concatenate([best_scores, scores], 1)
        order = np.lexsort((all_ids, -all_scores), axis=1)[:, :k]
        best, best_scores = np.take_along_axis(all_ids, order, 1), np.take_along_axis(all_scores, order, 1)
    return best


def recall(found: np.ndarray, truth: np.ndarray) -> float:
    return sum(len(set(f) & set(t)) for f, t in zip(found.tolist(), truth.tolist())) / truth.size


def paired_ratio(base, other, repeats: int) -> tuple[float, float, float, float]:
    """Median times of `base` and `other` run alternately, and the median,
    lowest and highest ratio other / base of the pairs."""
    a, b = [], []
    for _ in range(repeats):
        t0 = time.perf_counter()
        base()
        t1 = time.perf_counter()
        other()
        t2 = time.perf_counter()
        a.append(t1 - t0)
        b.append(t2 - t1)
    ratios = [y / x for x, y in zip(a, b)]
    return statistics.median(a), statistics.median(b), statistics.median(ratios), min(ratios), max(ratios)


def main() -> None:
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--n", type=int, default=100_000)
    p.add_argument("--dim", type=int, default=384)
    p.add_argument("--queries", type=int, default=1000)
    p.add_argument("--bits", type=int, nargs="+", default=[2, 3, 4])
    p.add_argument("--repeats", type=int, default=3)
    p.add_argument("--data", default=None)
    p.add_argument("--out", default=None)
    p.add_argument("--single", type=int, default=200, help="queries searched one per call")
    args = p.parse_args()
    k = 10

    if args.data:
        everything = np.load(args.data, mmap_mode="r")
        held_out = np.sort(np.random.default_rng(0).choice(len(everything), args.queries, replace=False))
        keep = np.setdiff1d(np.arange(len(everything)), held_out)
        rows = np.ascontiguousarray(everything[keep], dtype=np.float32)
        queries = np.ascontiguousarray(everything[held_out], dtype=np.float32)
        source = f"{len(rows):,} rows of {args.data}"
    else:
        everything = embedding_like(args.n + args.queries, args.dim, seed=0)
        rows, queries = everything[: args.n], everything[args.n :]
        source = f"{args.n:,} embedding-like vectors"
    n, dim = rows.shape
    folder = tempfile.mkdtemp(prefix="velmora-bench-")
    path = os.path.join(folder, "vectors.npy")
    np.save(path, rows)
    mapped = np.load(path, mmap_mode="r")
    mapped[:].sum()  # in the page cache

    header = (
        f"CPU: {velmora.show_config('dict')['cpu']}; {velmora.show_config('summary')}; RAYON_NUM_THREADS="
        f"{os.environ['RAYON_NUM_THREADS']}\n{source}, dim {dim}, {len(queries):,} queries, k = {k}"
    )
    print(header, flush=True)
    truth = true_top(rows, queries, k)
    table = [
        "| bits | mode | recall@10 | full vectors read per query (median, p90) | ms per query (batch) | "
        "against compressed (range) | with np.memmap: ms per query | against compressed (range) | "
        "one query per call: ms | against compressed (range) |",
        "|---|---|---|---|---|---|---|---|---|---|",
    ]
    for bits in args.bits:
        index = Index(dim, bits)
        for start in range(0, n, 100_000):
            index.add(np.arange(start, min(n, start + 100_000)), rows[start : start + 100_000])
        index.search(queries[:8], k)
        plain = index.search(queries, k)[0]
        reranked = index.search(queries, k, rerank=rows)[0]
        exact = index.search(queries, k, rerank=rows, exact=True)[0]
        reads: list[int] = []
        counter = {"n": 0}

        def counted(ids: np.ndarray) -> np.ndarray:
            counter["n"] += len(ids)
            return rows[ids.astype(np.intp)]

        for q in queries[: min(len(queries), 300)]:
            counter["n"] = 0
            index.search(q, k, rerank=counted, exact=True)
            reads.append(counter["n"])
        matches = int(sum(f == t for f, t in zip(exact.tolist(), truth.tolist())))
        read_text = f"{100 * statistics.median(reads) / n:.2f}%, {100 * float(np.percentile(reads, 90)) / n:.2f}%"
        modes = [
            ("compressed", {}, recall(plain, truth), "-"),
            ("re-ranked", {"rerank": rows}, recall(reranked, truth), "-"),
            (
                "exact",
                {"rerank": rows, "exact": True},
                recall(exact, truth),
                f"{read_text} (brute force's ids on {matches}/{len(queries)} queries)",
            ),
        ]
        for name, options, rec, read in modes:
            base_s, mode_s, ratio, low, high = paired_ratio(
                lambda: index.search(queries, k), lambda: index.search(queries, k, **options), args.repeats
            )
            mapped_options = {key: (mapped if value is rows else value) for key, value in options.items()}
            _, map_s, map_ratio, map_low, map_high = paired_ratio(
                lambda: index.search(queries, k), lambda: index.search(queries, k, **mapped_options), args.repeats
            )
            singles = queries[: args.single]

            def one_per_call(**options: object) -> None:
                for q in singles:
                    index.search(q, k, **options)

            _, one_s, one_ratio, one_low, one_high = paired_ratio(
                lambda: one_per_call(), lambda: one_per_call(**options), args.repeats
            )
            per = 1e3 / len(queries)
            line = (
                f"| {bits} | {name} | {rec:.3f} | {read} | {mode_s * per:.3f} | {ratio:.2f}x "
                f"({low:.2f}-{high:.2f}) | {map_s * per:.3f} | {map_ratio:.2f}x ({map_low:.2f}-{map_high:.2f}) | "
                f"{one_s * 1e3 / len(singles):.3f} | {one_ratio:.2f}x ({one_low:.2f}-{one_high:.2f}) |"
            )
            table.append(line)
            print(line, flush=True)
    os.remove(path)
    os.rmdir(folder)
    if args.out:
        with open(args.out, "w") as f:
            f.write(header + "\n\n" + "\n".join(table) + "\n")


if __name__ == "__main__":
    sys.exit(main())
