"""Search latency of ShardedStore against one velmora.Index in this process,
for one query and for a batch, and where a sharded search spends its time;
then the cost of writes with replicas.

    python bench/bench_distributed.py [--n 50000] [--dim 64] [--bits 4]
        [--layouts 2x1 2x2 3x1 3x2] [--singles 500] [--batches 40] [--batch 200]

Each layout SxR (S shards, R replicas each) runs on a local cluster of its
own with max(S, R) worker processes. For every sharded search the store
notes how long its shards took for their own search (measured inside each
worker, around Index.search) and how long it spent sending the calls and
waiting for all the replies; the rest is spent in this process (checking
the arguments, encoding the queries, merging the answers). The overhead of a
call is its latency less its slowest shard's own search. Figures are medians
over the calls, and the minimum and p90 where shown. Prints Markdown tables.
"""

import argparse
import os
import platform
import statistics
import time

import numpy as np

from velmora import CompressedVectorStore, Index
from velmora.distributed import ShardedStore


def cpu_model():
    try:
        with open("/proc/cpuinfo") as f:
            return next(line.split(":", 1)[1].strip() for line in f if line.startswith("model name"))
    except (OSError, StopIteration):
        return platform.processor() or "unknown CPU"


def timed(call, args_list):
    """Milliseconds of each call, after one call to warm connections and caches."""
    call(args_list[0])
    times = []
    for args in args_list:
        started = time.perf_counter()
        call(args)
        times.append((time.perf_counter() - started) * 1000.0)
    return times


def sharded_times(store, call, args_list):
    """Per call: latency, slowest shard's own search, sending and waiting (ms)."""
    call(args_list[0])
    rows = []
    for args in args_list:
        started = time.perf_counter()
        call(args)
        total = (time.perf_counter() - started) * 1000.0
        exchange, slowest = store._last_read_seconds
        rows.append((total, slowest * 1000.0, exchange * 1000.0))
    return rows


def median(values):
    return statistics.median(values)


def p90(values):
    ordered = sorted(values)
    return ordered[int(0.9 * (len(ordered) - 1))]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--n", type=int, default=50_000, help="vectors stored")
    parser.add_argument("--dim", type=int, default=64)
    parser.add_argument("--bits", type=int, default=4)
    parser.add_argument("--k", type=int, default=10)
    parser.add_argument("--singles", type=int, default=500, help="one-query searches timed")
    parser.add_argument("--batches", type=int, default=40, help="batch searches timed")
    parser.add_argument("--batch", type=int, default=200, help="queries per batch search")
    parser.add_argument("--writes", type=int, default=200, help="single inserts timed")
    parser.add_argument(
        "--layouts", nargs="+", default=["2x1", "2x2", "3x1", "3x2"], help="SHARDSxREPLICAS for each sharded store"
    )
    args = parser.parse_args()

    rng = np.random.default_rng(1)
    vectors = rng.standard_normal((args.n, args.dim), dtype=np.float32)
    ids = np.arange(args.n, dtype=np.uint64)
    queries = rng.standard_normal((max(args.singles, args.batch), args.dim), dtype=np.float32)
    singles = list(queries[: args.singles])
    batches = [queries[: args.batch]] * args.batches
    as_lists = [q.tolist() for q in singles]
    extra = rng.standard_normal((args.writes, args.dim), dtype=np.float32)

    print(
        f"n={args.n:,}, dim={args.dim}, bits={args.bits}, k={args.k}; {args.singles} one-query searches, "
        f"{args.batches} searches of {args.batch} queries; {cpu_model()}, {os.cpu_count()} logical CPUs, "
        f"load average {os.getloadavg()[0]:.1f} at the start\n"
    )

    local = Index(args.dim, args.bits)
    local.add(ids, vectors)
    store = CompressedVectorStore(args.dim, args.bits)
    store.insert_batch(list(zip(range(args.n), vectors[: args.n].tolist())))
    search_rows = [
        ("one Index, this process", "search(q, k)", timed(lambda q: local.search(q, args.k), singles), None),
        (
            "one Index, this process",
            f"search({args.batch} queries, k)",
            timed(lambda b: local.search(b, args.k), batches),
            None,
        ),
        ("one CompressedVectorStore", "query(list, k)", timed(lambda q: store.query(q, args.k), as_lists), None),
    ]
    write_rows = []
    for layout in args.layouts:
        shards, replicas = (int(part) for part in layout.split("x"))
        name = f"{shards} shards x {replicas} replica{'s' if replicas > 1 else ''}"
        with ShardedStore(args.dim, args.bits, shards=shards, replicas=replicas, timeout=120.0) as sharded:
            started = time.perf_counter()
            for start in range(0, args.n, 5_000):
                sharded.add(ids[start : start + 5_000], vectors[start : start + 5_000])
            loading = args.n / (time.perf_counter() - started)
            search_rows.append(
                (name, "search(q, k)", None, sharded_times(sharded, lambda q: sharded.search(q, args.k), singles))
            )
            search_rows.append(
                (
                    name,
                    f"search({args.batch} queries, k)",
                    None,
                    sharded_times(sharded, lambda b: sharded.search(b, args.k), batches),
                )
            )
            search_rows.append(
                (name, "query(list, k)", None, sharded_times(sharded, lambda q: sharded.query(q, args.k), as_lists))
            )
            inserts = timed(lambda i: sharded.insert(args.n + i, extra[i]), list(range(args.writes)))
            removes = timed(lambda i: sharded.remove(args.n + i), list(range(args.writes)))
            write_rows.append((name, loading, median(inserts), median(removes)))

    print(
        "| store | call | latency median / p90 (ms) | slowest shard's own search (ms) "
        "| overhead min / median / p90 (ms) | sending and waiting (ms) | in this process (ms) |"
    )
    print("|---|---|---:|---:|---:|---:|---:|")
    for name, call, local_times, sharded in search_rows:
        if sharded is None:
            print(f"| {name} | {call} | {median(local_times):.3f} / {p90(local_times):.3f} | - | - | - | - |")
            continue
        totals = [total for total, _, _ in sharded]
        overheads = [total - slowest for total, slowest, _ in sharded]
        print(
            f"| {name} | {call} | {median(totals):.3f} / {p90(totals):.3f} "
            f"| {median([s for _, s, _ in sharded]):.3f} "
            f"| {min(overheads):.3f} / {median(overheads):.3f} / {p90(overheads):.3f} "
            f"| {median([e for _, _, e in sharded]):.3f} | {median([t - e for t, _, e in sharded]):.3f} |"
        )
    print("\n| store | add, batches of 5,000 (vectors/s) | insert median (ms) | remove median (ms) |")
    print("|---|---:|---:|---:|")
    for name, loading, insert, remove in write_rows:
        print(f"| {name} | {loading:,.0f} | {insert:.3f} | {remove:.3f} |")
    print(f"\nload average {os.getloadavg()[0]:.1f} at the end")


if __name__ == "__main__":
    main()
