"""The demo behind ``python -m velmora`` and ``velmora-demo``.

It makes an embedding-like data set on the spot (seeded), loads it into a
velmora.Index in batches behind a progress bar, and reports memory against
float32, recall@10 against exact cosine search, the median latency of one
query and the time per query of one batch search.
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
    p.add_argument("--n", type=positive, default=DEFAULTS["n"],
                   help="vectors to store (default %(default)s)")
    p.add_argument("--dim", type=dimension, default=DEFAULTS["dim"],
                   help="dimension, at least 32 (default %(default)s)")
    p.add_argument("--bits", type=int_option, choices=(2, 3, 4), default=DEFAULTS["bits"],
                   help="bits per coordinate code: 2, 3 or 4 (default %(default)s)")
    p.add_argument("--threads", type=positive, default=None,
                   help="worker threads for batch encoding and scoring (default: RAYON_NUM_THREADS, "
                   "else RAYON_RS_NUM_CPUS, else every logical CPU)")
    p.add_argument("--queries", type=positive, default=DEFAULTS["queries"],
                   help="held-out query vectors, also timed (default %(default)s)")
    p.add_argument("--seed", type=non_negative, default=DEFAULTS["seed"],
                   help="seed of the generated data (default %(default)s)")
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
    for unit in ("KB", "MB", "GB"):
        count /= 1024
        if count < 1024:
            break
    return f"{count:,.1f} {unit}"


def load_dependencies() -> tuple[Any, Any] | None:
    try:
        import numpy
        from tqdm import tqdm
    except ImportError as exc:
        missing = exc.name or "numpy/tqdm"
        print(f"error: the demo needs numpy and tqdm, and {missing} is not installed.\n"
              f"Install them with:\n\n    {sys.executable} -m pip install 'numpy>=1.26' 'tqdm>=4.66'\n\n"
              "or, from a velmora checkout, run the demo with: bash scripts/demo.sh",
              file=sys.stderr)
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
    if available is not None and needed > available:
        parser().error(f"--n {args.n} at --dim {args.dim} needs about {human_bytes(needed)} of memory, "
                       f"but only {human_bytes(available)} is available; choose a smaller --n or --dim")

    deps = load_dependencies()
    if deps is None:
        return 1
    try:
        run(args, *deps)
    except MemoryError:
        print(f"error: out of memory for --n {args.n} at --dim {args.dim}; choose a smaller --n or --dim",
              file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        print("\ninterrupted", file=sys.stderr)
        return 130
    return 0


def run(args: argparse.Namespace, np: Any, tqdm: Any) -> None:
    import velmora
    from velmora import Index
    from velmora._data import embedding_like, recall_at_k

    n, dim, bits = args.n, args.dim, args.bits
    threads, source = worker_threads()
    print(f"velmora demo: {n:,} embedding-like vectors, dim {dim}, {bits} bits, "
          f"{threads} worker thread{'s' if threads != 1 else ''} ({source}), seed {args.seed}", flush=True)
    print(f"engine: {velmora.show_config('summary')}", flush=True)

    t0 = time.perf_counter()
    # One draw for data and queries, so that the queries are held-out points
    # of the same distribution.
    everything = embedding_like(n + args.queries, dim, seed=args.seed)
    data, queries = everything[:n], everything[n:]
    print(f"generated the data in {time.perf_counter() - t0:.1f} s", flush=True)

    t0 = time.perf_counter()
    index = Index(dim, bits)  # builds the rotation and codebook once per process
    print(f"built the rotation and codebook in {time.perf_counter() - t0:.1f} s", flush=True)

    t0 = time.perf_counter()
    with tqdm(total=n, desc="inserting", unit="vec", unit_scale=True, file=sys.stderr) as bar:
        for start in range(0, n, BATCH):
            rows = data[start:start + BATCH]
            index.add(np.arange(start, start + len(rows)), rows)
            bar.update(len(rows))
    insert_s = time.perf_counter() - t0
    print(f"inserted {n:,} vectors in {insert_s:.1f} s ({n / insert_s:,.0f} vectors/s)", flush=True)

    k = min(TOP_K, n)
    unit = data / np.linalg.norm(data, axis=1, keepdims=True)
    index.search(queries[0], k)  # warm the caches before timing

    found: list[list[int]] = []
    truth = np.empty((len(queries), k), dtype=np.int64)
    single_times, exact_times = [], []
    digest = hashlib.sha256()
    for i, q in enumerate(tqdm(queries, desc="querying", unit="query", file=sys.stderr)):
        t0 = time.perf_counter()
        ids, scores = index.search(q, k)
        single_times.append(time.perf_counter() - t0)
        found.append(ids.tolist())
        for vid, score in zip(ids.tolist(), scores.tolist()):
            digest.update(struct.pack("<Qf", vid, score))

        t0 = time.perf_counter()
        exact = unit @ (q / np.linalg.norm(q))
        top = np.argpartition(-exact, k - 1)[:k]
        truth[i] = top[np.argsort(-exact[top])]
        exact_times.append(time.perf_counter() - t0)

    t0 = time.perf_counter()
    batch_ids, _ = index.search(queries, k)
    batch_s = time.perf_counter() - t0
    if batch_ids.tolist() != found:
        raise AssertionError("a batch search differs from the same queries searched one by one")

    memory = index.memory_bytes()
    per_vector = memory // n
    float32_bytes = n * dim * 4
    print()
    print(f"memory     {human_bytes(memory)} compressed: {per_vector:,} bytes per vector "
          f"({per_vector - 4:,} code bytes + a 4-byte norm; 1 KB = 1,024 bytes)")
    print(f"           {human_bytes(float32_bytes)} as float32: {dim * 4:,} bytes per vector, "
          f"{float32_bytes / memory:.1f}x more")
    print(f"{f'recall@{k}':<10} {recall_at_k(found, truth):.3f} against exact cosine search "
          f"({len(queries):,} held-out queries)")
    print(f"latency    median {statistics.median(single_times) * 1e3:.3f} ms per search(query, {k}); "
          f"{batch_s / len(queries) * 1e3:.3f} ms per query in one search of all {len(queries):,}; "
          f"exact search with numpy: {statistics.median(exact_times) * 1e3:.3f} ms")
    print(f"digest     {digest.hexdigest()[:16]} of every id and score returned (the same with any "
          "thread count or SIMD level)")
    print(index)
