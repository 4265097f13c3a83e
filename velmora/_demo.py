"""The demo behind ``python -m velmora`` and ``velmora-demo``.

It makes an embedding-like data set on the spot (seeded), or reads the
caller's own vectors from a .npy file (--data, opened as a memory map), loads
it into a velmora.Index in batches behind a progress bar, and reports memory
against float32 and, for the compressed search, the search re-ranked with
the full vectors and the exact search: recall@10 against exact cosine search
and the time per query, of one query and of one batch search.
"""

from __future__ import annotations

import argparse
import hashlib
import os
import statistics
import struct
import sys
import time
from collections.abc import Sequence
from typing import Any

DEFAULTS = {"n": 100_000, "dim": 384, "bits": 4, "queries": 200, "seed": 0}
BATCH = 5_000
TOP_K = 10


def positive(text: str) -> int:
    value = int_option(text)
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be at least 1, got {value}")
    return value


def non_negative(text: str) -> int:
    value = int_option(text)
    if value < 0:
        raise argparse.ArgumentTypeError(f"must be 0 or more, got {value}")
    return value


def dimension(text: str) -> int:
    value = int_option(text)
    if value < 32:
        raise argparse.ArgumentTypeError(f"must be at least 32 (velmora's smallest dimension), got {value}")
    return value


def npy_file(text: str) -> str:
    if not os.path.isfile(text):
        raise argparse.ArgumentTypeError(f"no such file: {text!r}")
    if not text.endswith(".npy"):
        raise argparse.ArgumentTypeError(f"expected a .npy file, got {text!r}")
    return text


def int_option(text: str) -> int:
    try:
        return int(text.replace("_", ""))
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a whole number, got {text!r}") from None


def parser() -> argparse.ArgumentParser:
    invoked_as_script = os.path.basename(sys.argv[0]) == "velmora-demo"
    p = argparse.ArgumentParser(
        prog="velmora-demo" if invoked_as_script else "python -m velmora",
        description="Load a seeded, embedding-like data set into a velmora.Index and report its "
        "memory, recall@10 against exact cosine search and query latency.",
        epilog="Needs numpy and tqdm: pip install 'velmora[demo]' (bash scripts/demo.sh installs them).",
    )
    p.add_argument("--n", type=positive, default=DEFAULTS["n"], help="vectors to store (default %(default)s)")
    p.add_argument(
        "--dim", type=dimension, default=DEFAULTS["dim"], help="dimension, at least 32 (default %(default)s)"
    )
    p.add_argument(
        "--bits",
        type=int_option,
        choices=(2, 3, 4),
        default=None,
        help="bits per coordinate code: 2, 3 or 4 (default 4; with --data, each of 2, 3 and 4)",
    )
    p.add_argument(
        "--data",
        type=npy_file,
        default=None,
        metavar="VECTORS.npy",
        help="your own vectors instead of generated ones: a .npy file of float32 or float64 rows "
        "(--queries of them, chosen by --seed, are held out as queries; --n and --dim are then "
        "the file's)",
    )
    p.add_argument(
        "--threads",
        type=positive,
        default=None,
        help="worker threads for batch encoding and scoring (default: RAYON_NUM_THREADS, "
        "else RAYON_RS_NUM_CPUS, else every logical CPU)",
    )
    p.add_argument(
        "--queries",
        type=positive,
        default=DEFAULTS["queries"],
        help="held-out query vectors, also timed (default %(default)s)",
    )
    p.add_argument(
        "--seed", type=non_negative, default=DEFAULTS["seed"], help="seed of the generated data (default %(default)s)"
    )
    return p


def worker_threads() -> tuple[int, str]:
    """The pool size the native module will choose, and why, mirroring its rule."""
    for var in ("RAYON_NUM_THREADS", "RAYON_RS_NUM_CPUS"):
        text = os.environ.get(var, "")
        if text.isascii() and text.isdigit() and int(text) > 0:
            return int(text), var
    return len(os.sched_getaffinity(0)), "logical CPUs"


def available_memory() -> int | None:
    try:
        with open("/proc/meminfo") as f:
            for line in f:
                if line.startswith("MemAvailable:"):
                    return int(line.split()[1]) * 1024
    except OSError:
        pass
    return None


def memory_needed(n: int, dim: int, queries: int) -> int:
    """A rough peak: the float32 data and its normalised copy for exact search,
    the store's payload, and the rotation (kept in f32, built in f64)."""
    return (n + queries) * dim * 4 + n * dim * 4 + n * (dim // 2 + 4) + dim * dim * 12


def human_bytes(count: float) -> str:
    """Bytes in units of 1024, as the index's repr counts them (1 KB = 1,024 bytes)."""
    if count < 1024:
        return f"{count:,.0f} bytes"
    value, unit = count / 1024, "KB"
    for bigger in ("MB", "GB"):
        if value < 1024:
            break
        value, unit = value / 1024, bigger
    return f"{value:,.1f} {unit}"


def load_dependencies() -> tuple[Any, Any] | None:
    try:
        import numpy
        from tqdm import tqdm
    except ImportError as exc:
        missing = exc.name or "numpy/tqdm"
        print(
            f"error: the demo needs numpy and tqdm, and {missing} is not installed.\n"
            f"Install them with:\n\n    {sys.executable} -m pip install 'numpy>=1.26' 'tqdm>=4.66'\n\n"
            "or, from a velmora checkout, run the demo with: bash scripts/demo.sh",
            file=sys.stderr,
        )
        return None
    return numpy, tqdm


def main(argv: Sequence[str] | None = None) -> int:
    args = parser().parse_args(argv)
    # The worker pool reads its size once, when it is first used: set it
    # before any store exists.
    if args.threads is not None:
        os.environ["RAYON_NUM_THREADS"] = str(args.threads)

    available = available_memory()
    needed = memory_needed(args.n, args.dim, args.queries)
    if args.data is None and available is not None and needed > available:
        parser().error(
            f"--n {args.n} at --dim {args.dim} needs about {human_bytes(needed)} of memory, "
            f"but only {human_bytes(available)} is available; choose a smaller --n or --dim"
        )

    deps = load_dependencies()
    if deps is None:
        return 1
    try:
        run(args, *deps)
    except DataError as exc:
        print(f"error: {exc}", file=sys.stderr)
        return 1
    except MemoryError:
        print(
            f"error: out of memory for --n {args.n} at --dim {args.dim}; choose a smaller --n or --dim", file=sys.stderr
        )
        return 1
    except KeyboardInterrupt:
        print("\ninterrupted", file=sys.stderr)
        return 130
    return 0


class DataError(Exception):
    """The --data file cannot be used: a message for the user."""


def load_data(args: argparse.Namespace, np: Any) -> tuple[Any, Any, Any]:
    """(stored ids, their vectors or the whole file, query vectors): the
    file's rows, opened as a memory map, with --queries rows held out."""
    try:
        rows = np.load(args.data, mmap_mode="r")
    except (OSError, ValueError) as exc:
        raise DataError(f"cannot read {args.data}: {exc}") from None
    if rows.ndim != 2 or rows.dtype not in (np.float32, np.float64):
        raise DataError(
            f"{args.data} holds a {rows.dtype} array of shape {rows.shape}; float32 or float64 rows are needed"
        )
    if rows.shape[1] < 32 or rows.shape[0] <= args.queries:
        raise DataError(
            f"{args.data} has {rows.shape[0]} rows of dimension {rows.shape[1]}: the demo needs "
            f"dimension 32 or more and more rows than --queries {args.queries}"
        )
    held_out = np.sort(np.random.default_rng(args.seed).choice(rows.shape[0], args.queries, replace=False))
    stored = np.setdiff1d(np.arange(rows.shape[0]), held_out)
    # The file is the re-ranking's source: row i is the vector of id i.
    return stored, rows, np.ascontiguousarray(rows[held_out])


def true_neighbours(np: Any, rows: Any, ids: Any, queries: Any, k: int) -> Any:
    """The ids of the k best stored rows of each query by float64 cosine,
    equal scores by smaller id, read in chunks (the rows may be a memory map)."""
    q = queries.astype(np.float64)
    q /= np.linalg.norm(q, axis=1, keepdims=True)
    best_ids = np.empty((len(q), 0), dtype=np.int64)
    best_scores = np.empty((len(q), 0))
    for start in range(0, len(ids), 65536):
        chunk = ids[start : start + 65536]
        block = np.asarray(rows[chunk], dtype=np.float64)
        scores = (block @ q.T).T / np.linalg.norm(block, axis=1)
        all_ids = np.concatenate([best_ids, np.broadcast_to(chunk, scores.shape)], axis=1)
        all_scores = np.concatenate([best_scores, scores], axis=1)
        order = np.lexsort((all_ids, -all_scores), axis=1)[:, :k]
        best_ids = np.take_along_axis(all_ids, order, axis=1)
        best_scores = np.take_along_axis(all_scores, order, axis=1)
    return best_ids


def run(args: argparse.Namespace, np: Any, tqdm: Any) -> None:
    import velmora
    from velmora import Index
    from velmora._data import embedding_like

    threads, source = worker_threads()
    t0 = time.perf_counter()
    if args.data is None:
        # One draw for data and queries, so that the queries are held-out
        # points of the same distribution.
        everything = embedding_like(args.n + args.queries, args.dim, seed=args.seed)
        rows, queries = everything[: args.n], everything[args.n :]
        ids = np.arange(args.n)
        what = f"{args.n:,} embedding-like vectors"
    else:
        ids, rows, queries = load_data(args, np)
        what = f"{len(ids):,} vectors of {args.data}"
    n, dim = len(ids), rows.shape[1]
    widths = [args.bits] if args.bits is not None else ([2, 3, 4] if args.data is not None else [DEFAULTS["bits"]])
    print(
        f"velmora demo: {what}, dim {dim}, {'/'.join(map(str, widths))} bits, "
        f"{threads} worker thread{'s' if threads != 1 else ''} ({source}), seed {args.seed}",
        flush=True,
    )
    print(f"engine: {velmora.show_config('summary')}", flush=True)
    print(f"{'generated' if args.data is None else 'opened'} the data in {time.perf_counter() - t0:.1f} s", flush=True)

    k = min(TOP_K, n)
    t0 = time.perf_counter()
    truth = true_neighbours(np, rows, ids, queries, k)
    print(f"found the true neighbours in float64 in {time.perf_counter() - t0:.1f} s", flush=True)
    for bits in widths:
        report(np, tqdm, Index, rows, ids, queries, truth, bits, k)


def report(np: Any, tqdm: Any, Index: Any, rows: Any, ids: Any, queries: Any, truth: Any, bits: int, k: int) -> None:
    n, dim = len(ids), rows.shape[1]
    t0 = time.perf_counter()
    index = Index(dim, bits)  # builds the rotation and codebook once per process
    print(f"\n{bits} bits: built the rotation and codebook in {time.perf_counter() - t0:.1f} s", flush=True)
    t0 = time.perf_counter()
    with tqdm(total=n, desc="inserting", unit="vec", unit_scale=True, file=sys.stderr) as bar:
        for start in range(0, n, BATCH):
            chunk = ids[start : start + BATCH]
            index.add(chunk, rows[chunk])
            bar.update(len(chunk))
    insert_s = time.perf_counter() - t0
    print(f"inserted {n:,} vectors in {insert_s:.1f} s ({n / insert_s:,.0f} vectors/s)", flush=True)
    index.search(queries[0], k)  # warm the caches before timing

    # One query at a time (latency, and how many full vectors the exact
    # search reads), then all in one call (time per query in a batch).
    read: list[int] = []

    def counted(wanted: Any) -> Any:
        read.append(len(wanted))
        return rows[wanted.astype(np.intp)]

    found: dict[str, list[list[int]]] = {"plain": [], "rerank": [], "exact": []}
    single: dict[str, list[float]] = {"plain": [], "rerank": [], "exact": []}
    reads_per_query: list[int] = []
    digest = hashlib.sha256()
    for q in tqdm(queries, desc="querying", unit="query", file=sys.stderr):
        for mode, options in (
            ("plain", {}),
            ("rerank", {"rerank": rows}),
            ("exact", {"rerank": counted, "exact": True}),
        ):
            read.clear()
            t0 = time.perf_counter()
            got, scores = index.search(q, k, **options)
            single[mode].append(time.perf_counter() - t0)
            found[mode].append(got.tolist())
            if mode == "plain":
                for vid, score in zip(got.tolist(), scores.tolist()):
                    digest.update(struct.pack("<Qf", vid, score))
        reads_per_query.append(sum(read))
    batch: dict[str, float] = {}
    for mode, options in (("plain", {}), ("rerank", {"rerank": rows}), ("exact", {"rerank": rows, "exact": True})):
        t0 = time.perf_counter()
        got, _ = index.search(queries, k, **options)
        batch[mode] = (time.perf_counter() - t0) / len(queries)
        if got.tolist() != found[mode]:
            raise AssertionError(f"a batch search ({mode}) differs from the same queries searched one by one")

    memory = index.memory_bytes()
    per_vector = memory // n
    float32_bytes = n * dim * 4
    print(
        f"memory     {human_bytes(memory)} compressed: {per_vector:,} bytes per vector "
        f"({per_vector - 6:,} code bytes + a 4-byte norm + a 2-byte error bound; 1 KB = 1,024 bytes)"
    )
    print(
        f"           {human_bytes(float32_bytes)} as float32: {dim * 4:,} bytes per vector, "
        f"{float32_bytes / memory:.1f}x more"
    )
    recall = {mode: recall_at(found[mode], truth) for mode in found}
    candidates = k * {2: 10, 3: 6, 4: 4}[bits]
    print(
        f"{f'recall@{k}':<10} {recall['plain']:.3f} compressed search | {recall['rerank']:.3f} re-ranked "
        f"(best {candidates} by estimate, re-scored from the full vectors) | {recall['exact']:.3f} exact "
        f"({len(queries):,} held-out queries; float64 cosine search is 1.000)"
    )
    exact_matches = sum(f == t for f, t in zip(found["exact"], truth.tolist()))
    print(
        f"exact      the true top {k} on {exact_matches} of {len(queries)} queries, reading a median "
        f"{100 * statistics.median(reads_per_query) / n:.2f}% of the full vectors per query "
        f"(90th percentile {100 * float(np.percentile(reads_per_query, 90)) / n:.2f}%)"
    )
    print(
        "latency    ms per query, one query | in one search of all: "
        + " | ".join(
            f"{label} {statistics.median(single[mode]) * 1e3:.3f} | {batch[mode] * 1e3:.3f}"
            for label, mode in (("compressed", "plain"), ("re-ranked", "rerank"), ("exact", "exact"))
        )
    )
    print(
        f"digest     {digest.hexdigest()[:16]} of every id and score of the compressed search (the same "
        "with any thread count or SIMD level)"
    )
    print(index)
    report_partitions(np, index, queries, found["plain"], truth, statistics.median(single["plain"]), k)


def report_partitions(
    np: Any, index: Any, queries: Any, flat: list[list[int]], truth: Any, flat_s: float, k: int
) -> None:
    """Partitions the index and reports its searches against the flat ones."""
    t0 = time.perf_counter()
    index.partition()
    partition_s = time.perf_counter() - t0
    found: list[list[int]] = []
    single: list[float] = []
    for q in queries:
        t0 = time.perf_counter()
        got, _ = index.search(q, k)
        single.append(time.perf_counter() - t0)
        found.append(got.tolist())
    t0 = time.perf_counter()
    index.search(queries, k)
    batch_s = (time.perf_counter() - t0) / len(queries)
    one_s = statistics.median(single)
    print(
        f"partitions {index.partitions:,} lists made by partition() in {partition_s:.1f} s; with its default "
        f"{index.default_probes} probes: recall@{k} {recall_at(found, np.array(flat)):.3f} of the flat "
        f"compressed search's, {recall_at(found, truth):.3f} against exact; {one_s * 1e3:.3f} ms per query "
        f"({one_s / flat_s:.2f}x the flat search) | {batch_s * 1e3:.3f} in one search of all"
    )


def recall_at(found: list[list[int]], truth: Any) -> float:
    """Mean share of the true neighbours among those found."""
    hits = sum(len(set(f) & set(t)) for f, t in zip(found, truth.tolist()))
    return hits / float(truth.size)
