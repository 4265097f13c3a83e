"""Benchmark velmora against numpy brute force and, when installed, FAISS.

For each (n, dim, bits) it reports, in one run on one machine with one thread
count: single-query latency (median), query_all latency, insert_batch
throughput, bytes per vector (memory_bytes()/n and process RSS growth / n)
and recall@10 against exact cosine search; and the same measurements of the
peers on the same vectors. Ratios velmora / peer are the headline. The FAISS
peers are IndexFlatIP (exact), IndexScalarQuantizer at 4 and 8 bits and
IndexPQ with dim/8 subquantizers of 8 bits, all by inner product on
normalised vectors.

    python bench/bench_store.py                      # the full grid
    python bench/bench_store.py --quick              # a small grid
    python bench/bench_store.py --threads 1 --out results.md --json results.json
    python bench/bench_store.py --plots plots/       # also draw PNG plots (needs matplotlib)
    python bench/bench_store.py --from-json results.json --plots plots/   # redraw, no measuring

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
from collections.abc import Callable
from typing import Any


def parse_args(argv: list[str] | None = None) -> argparse.Namespace:
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--sizes", default="10000,100000,1000000", help="comma-separated n values")
    p.add_argument("--dims", default="128,768", help="comma-separated dimensions")
    p.add_argument("--bits", default="2,3,4", help="comma-separated bit widths")
    p.add_argument(
        "--max-n-large-dim", type=int, default=100000, help="largest n benchmarked for dims above 128 (default 100000)"
    )
    p.add_argument("--threads", type=int, default=1, help="worker threads for every library (default 1)")
    p.add_argument("--queries", type=int, default=50, help="single queries timed per configuration")
    p.add_argument("--batch-size", type=int, default=100000, help="pairs per insert_batch call")
    p.add_argument("--quick", action="store_true", help="n in {10000}, dims {128}, fewer queries")
    p.add_argument("--no-faiss", action="store_true", help="skip FAISS even when installed")
    p.add_argument("--out", help="also write the Markdown table to this file")
    p.add_argument("--json", help="write every measurement as JSON to this file")
    p.add_argument(
        "--plots",
        metavar="DIR",
        help="write PNG plots to DIR: recall@10 against bytes per "
        "vector for each (n, dim), and query latency against n for each dim (needs matplotlib)",
    )
    p.add_argument(
        "--from-json",
        metavar="FILE",
        help="skip measuring: read the rows of an earlier --json run and only print the tables and draw the plots",
    )
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
        pairs = list(zip(range(start, min(n, start + args.batch_size)), data[start : start + args.batch_size]))
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


FAISS_KINDS = ("FlatIP", "SQ4", "SQ8", "PQ")
PQ_TRAINING_ROWS = 65536  # k-means on more rows than this adds time, not accuracy


def faiss_index(np: Any, faiss: Any, unit: Any, kind: str) -> Any:
    dim = unit.shape[1]
    if kind == "FlatIP":
        return faiss.IndexFlatIP(dim)
    if kind in ("SQ4", "SQ8"):
        qtype = faiss.ScalarQuantizer.QT_4bit if kind == "SQ4" else faiss.ScalarQuantizer.QT_8bit
        index = faiss.IndexScalarQuantizer(dim, qtype, faiss.METRIC_INNER_PRODUCT)
        index.train(unit)
        return index
    if kind == "PQ":
        if dim % 8:
            raise ValueError(f"PQ needs a dimension divisible by 8, not {dim}")
        index = faiss.IndexPQ(dim, dim // 8, 8, faiss.METRIC_INNER_PRODUCT)
        rows = np.random.default_rng(0).permutation(len(unit))[:PQ_TRAINING_ROWS]
        index.train(unit[np.sort(rows)])
        return index
    raise ValueError(f"unknown FAISS index kind {kind!r}")


def bench_faiss(np: Any, faiss: Any, data: Any, queries: Any, truth: Any, kind: str) -> dict:
    from velmora._data import recall_at_k

    n, dim = data.shape
    unit = np.ascontiguousarray(data / np.linalg.norm(data, axis=1, keepdims=True), dtype=np.float32)
    index = faiss_index(np, faiss, unit, kind)
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
    # Before measuring, so that a missing matplotlib fails the run at once.
    plt = load_pyplot() if args.plots else None
    if args.from_json:
        with open(args.from_json) as f:
            rows = json.load(f)
        report(rows, args, plt)
        return 0
    import numpy as np

    from velmora._data import embedding_like, exact_top_k

    faiss = None
    if not args.no_faiss:
        try:
            import faiss  # type: ignore[import-not-found]

            faiss.omp_set_num_threads(args.threads)
        except ImportError:
            faiss = None

    env = environment()
    print(f"environment: {footer([{'env': env}])}", file=sys.stderr)
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
                for kind in FAISS_KINDS:
                    try:
                        peers[f"faiss {kind}"] = bench_faiss(np, faiss, data, queries, truth, kind)
                    except (RuntimeError, ValueError) as exc:  # faiss reports its failures as RuntimeError
                        print(f"n={n} dim={dim}: skipping FAISS {kind}: {exc}", file=sys.stderr)
            for bits in bit_widths:
                result = bench_velmora(np, data, queries, truth, bits, args)
                rows.append(
                    {
                        "n": n,
                        "dim": dim,
                        "bits": bits,
                        "threads": args.threads,
                        "velmora": result,
                        "peers": peers,
                        "env": env,
                    }
                )
                print_row(rows[-1], file=sys.stderr)
            del data
            gc.collect()

    if args.json:
        with open(args.json, "w") as f:
            json.dump(rows, f, indent=1)
    report(rows, args, plt)
    return 0


def report(rows: list[dict], args: argparse.Namespace, plt: Any) -> None:
    table = f"Measured on {footer(rows)}.\n\n" + markdown(rows) + "\n\n" + peers_markdown(rows)
    print(table)
    if args.out:
        with open(args.out, "w") as f:
            f.write(table + "\n")
    if plt is not None:
        for path in draw_plots(plt, rows, args.plots):
            print(f"wrote {path}", file=sys.stderr)


def load_pyplot() -> Any:
    try:
        import matplotlib

        matplotlib.use("Agg")  # files only, no display needed
        import matplotlib.pyplot as plt
    except ImportError:
        sys.exit(
            "error: --plots needs matplotlib: pip install 'matplotlib>=3.8' "
            "(or, from a checkout, pip install '.[bench]')"
        )
    return plt


def print_row(row: dict, file: Any) -> None:
    v = row["velmora"]
    print(
        f"n={row['n']} dim={row['dim']} bits={row['bits']}: query {v['query_ms']:.3f} ms, recall {v['recall@10']:.3f}",
        file=file,
        flush=True,
    )


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


def peer_sets(rows: list[dict]) -> list[tuple[int, int, dict]]:
    """(n, dim, peers) once per measured data set: every bit width shares them."""
    seen: dict[tuple[int, int], dict] = {}
    for row in rows:
        seen.setdefault((row["n"], row["dim"]), row["peers"])
    return [(n, dim, peers) for (n, dim), peers in seen.items()]


def peers_markdown(rows: list[dict]) -> str:
    lines = [
        "| n | dim | peer | query ms | bytes/vec | recall@10 |",
        "|---|---|---|---|---|---|",
    ]
    for n, dim, peers in peer_sets(rows):
        for name, p in peers.items():
            lines.append(
                f"| {n:,} | {dim} | {name} | {p['query_ms']:.3f} | {p['bytes_per_vector']:.0f} | {p['recall@10']:.3f} |"
            )
    return "\n".join(lines)


# One colour and one marker per series across all plots, no two alike; the
# velmora series share a hue family, darker with more bits.
STYLE = {
    "velmora 2 bits": ("#6baed6", "o"),
    "velmora 3 bits": ("#2171b5", "s"),
    "velmora 4 bits": ("#08306b", "D"),
    "numpy": ("#d62728", "^"),
    "faiss FlatIP": ("#9467bd", "v"),
    "faiss SQ4": ("#ff7f0e", "<"),
    "faiss SQ8": ("#8c564b", ">"),
    "faiss PQ": ("#2ca02c", "P"),
}


def environment() -> dict:
    """Where the figures come from: CPU, cores, the versions involved and the
    engine's own report (kernels chosen, threads)."""
    import platform

    import velmora

    config = velmora.show_config("dict")
    env = {
        "cpu": config["cpu"],
        "cores": os.cpu_count(),
        "python": platform.python_version(),
        "velmora": velmora.__version__,
        "config": velmora.show_config("summary"),
    }
    for module in ("numpy", "faiss"):
        try:
            env[module] = __import__(module).__version__
        except (ImportError, AttributeError):
            pass
    return env


def footer(rows: list[dict]) -> str:
    env = next((row["env"] for row in rows if "env" in row), None)
    if env is None:
        return "environment not recorded"
    versions = ", ".join(f"{name} {env[name]}" for name in ("velmora", "numpy", "faiss", "python") if name in env)
    return f"{env['cpu']}, {env['cores']} cores; {versions}"


def draw_plots(plt: Any, rows: list[dict], directory: str) -> list[str]:
    os.makedirs(directory, exist_ok=True)
    written = []
    threads = sorted({row["threads"] for row in rows})
    thread_note = f"{', '.join(map(str, threads))} thread{'s' if threads != [1] else ''}"

    for n, dim, peers in peer_sets(rows):
        fig, ax = plt.subplots(figsize=(7, 4.5))
        ours = sorted((r["bits"], r["velmora"]) for r in rows if (r["n"], r["dim"]) == (n, dim))
        ax.plot(
            [v["bytes_per_vector"] for _, v in ours],
            [v["recall@10"] for _, v in ours],
            color=STYLE["velmora 4 bits"][0],
            zorder=1,
        )
        for bits, v in ours:
            colour, marker = STYLE.get(f"velmora {bits} bits", ("#08519c", "o"))
            ax.scatter(
                v["bytes_per_vector"],
                v["recall@10"],
                color=colour,
                marker=marker,
                s=60,
                zorder=2,
                label=f"velmora {bits} bits",
            )
        for name, p in peers.items():
            if name == "faiss FlatIP":
                continue  # exact, the same point as numpy's float32 search
            label = "float32 exact (numpy, FAISS FlatIP)" if name == "numpy" else name.replace("faiss", "FAISS")
            colour, marker = STYLE.get(name, ("black", "x"))
            ax.scatter(p["bytes_per_vector"], p["recall@10"], color=colour, marker=marker, s=60, zorder=2, label=label)
        ax.set_xscale("log", base=2)
        ax.set_xlabel("bytes per vector (log scale)")
        ax.set_ylabel("recall@10 against exact cosine search")
        ax.set_ylim(0, 1.05)
        ax.grid(True, which="both", alpha=0.3)
        ax.set_title(f"Recall against memory: n = {n:,}, dim = {dim}")
        ax.legend(fontsize="small", loc="lower right")
        written.append(save(plt, fig, directory, f"recall_vs_bytes_dim{dim}_n{n}.png", footer(rows)))

    for dim in sorted({row["dim"] for row in rows}):
        fig, ax = plt.subplots(figsize=(7, 4.5))
        series: dict[str, list[tuple[int, float]]] = {}
        for row in rows:
            if row["dim"] == dim:
                series.setdefault(f"velmora {row['bits']} bits", []).append((row["n"], row["velmora"]["query_ms"]))
        for n, d, peers in peer_sets(rows):
            if d == dim:
                for name, p in peers.items():
                    series.setdefault(name, []).append((n, p["query_ms"]))
        for name, points in series.items():
            points.sort()
            colour, marker = STYLE.get(name, ("black", "x"))
            ax.plot(
                [n for n, _ in points],
                [ms for _, ms in points],
                color=colour,
                marker=marker,
                label=name.replace("faiss", "FAISS").replace("numpy", "numpy float32 exact"),
            )
        ax.set_xscale("log")
        ax.set_xticks(sorted({n for points in series.values() for n, _ in points}))
        ax.set_yscale("log")
        ax.set_xlabel("stored vectors n (log scale)")
        ax.set_ylabel("median latency of one top-10 query, ms (log scale)")
        ax.grid(True, which="both", alpha=0.3)
        ax.set_title(f"Query latency against n: dim = {dim}, {thread_note}")
        ax.legend(fontsize="small", loc="upper left")
        written.append(save(plt, fig, directory, f"latency_vs_n_dim{dim}.png", footer(rows)))
    return written


def plain_number(value: float, _position: Any = None) -> str:
    """Tick labels as people write numbers: 0.2, 64, 10,000 and 1,000,000."""
    if value == int(value) and abs(value) >= 1000:
        return f"{value:,.0f}"
    return f"{value:g}"


def save(plt: Any, fig: Any, directory: str, name: str, note: str) -> str:
    plain = plt.FuncFormatter(plain_number)
    for ax in fig.axes:
        low, high = ax.get_ylim()
        for axis in (ax.xaxis, ax.yaxis):
            axis.set_major_formatter(plain)
            # Minor labels only where a log axis would otherwise show one number or none.
            sparse = axis is ax.yaxis and ax.get_yscale() == "log" and high < 10 * low
            axis.set_minor_formatter(plain if sparse else plt.NullFormatter())
    fig.text(0.01, 0.01, note, fontsize="x-small", color="#555555", ha="left", va="bottom")
    path = os.path.join(directory, name)
    fig.tight_layout(rect=(0, 0.04, 1, 1))
    fig.savefig(path, dpi=120)
    plt.close(fig)
    return path


if __name__ == "__main__":
    sys.exit(main())
