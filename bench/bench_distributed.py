"""Insert throughput and query latency of ShardedStore for 1, 2 and 4 shards,
each on a local cluster of one worker process per shard, beside one local
CompressedVectorStore in this process.

    python bench/bench_distributed.py [--n 50000] [--dim 128] [--bits 4]

Prints a Markdown table.  Needs velmora installed with its distributed extra.
"""
import argparse
import random
import statistics
import time

from velmora import CompressedVectorStore
from velmora.distributed import ShardedStore


def make_vectors(count, dim, seed):
    rng = random.Random(seed)
    return [[rng.gauss(0.0, 1.0) for _ in range(dim)] for _ in range(count)]


def insert_rate(store, pairs, batch):
    started = time.perf_counter()
    for start in range(0, len(pairs), batch):
        store.insert_batch(pairs[start:start + batch])
    return len(pairs) / (time.perf_counter() - started)


def single_insert_rate(store, pairs):
    started = time.perf_counter()
    for id, vector in pairs:
        store.insert(id, vector)
    return len(pairs) / (time.perf_counter() - started)


def latencies_ms(call, queries):
    call(queries[0])  # first call warms connections and caches
    times = []
    for query in queries:
        started = time.perf_counter()
        call(query)
        times.append((time.perf_counter() - started) * 1000.0)
    times.sort()
    return statistics.median(times), times[int(0.95 * (len(times) - 1))]


def measure(store, pairs, queries, batch, singles, top_k):
    row = {"batch": insert_rate(store, pairs, batch),
           "single": single_insert_rate(store, singles)}
    row["query"] = latencies_ms(lambda q: store.query(q, top_k), queries)
    row["query_all"] = latencies_ms(store.query_all, queries[: max(5, len(queries) // 10)])
    return row


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--n", type=int, default=50_000, help="vectors stored")
    parser.add_argument("--dim", type=int, default=128)
    parser.add_argument("--bits", type=int, default=4)
    parser.add_argument("--batch", type=int, default=5_000, help="pairs per insert_batch call")
    parser.add_argument("--singles", type=int, default=500, help="single insert calls timed")
    parser.add_argument("--queries", type=int, default=200, help="queries timed")
    parser.add_argument("--top-k", type=int, default=10)
    parser.add_argument("--shards", type=int, nargs="+", default=[1, 2, 4])
    args = parser.parse_args()

    vectors = make_vectors(args.n + args.singles + args.queries, args.dim, seed=1)
    pairs = list(enumerate(vectors[:args.n]))
    singles = [(args.n + i, v) for i, v in enumerate(vectors[args.n:args.n + args.singles])]
    queries = vectors[args.n + args.singles:]

    rows = [("local store", None,
             measure(CompressedVectorStore(args.dim, args.bits), pairs, queries, args.batch,
                     singles, args.top_k))]
    for shards in args.shards:
        started = time.perf_counter()
        with ShardedStore(args.dim, args.bits, shards=shards, timeout=120.0) as store:
            startup = time.perf_counter() - started
            rows.append((f"{shards} shard{'s' if shards > 1 else ''}", startup,
                         measure(store, pairs, queries, args.batch, singles, args.top_k)))

    print(f"n={args.n}, dim={args.dim}, bits={args.bits}, batches of {args.batch}, "
          f"top_k={args.top_k}, {args.queries} queries\n")
    print("| store | start (s) | insert_batch (vectors/s) | insert (calls/s) "
          "| query median / p95 (ms) | query_all median / p95 (ms) |")
    print("|---|---:|---:|---:|---:|---:|")
    for name, startup, row in rows:
        print(f"| {name} | {'-' if startup is None else f'{startup:.1f}'} "
              f"| {row['batch']:,.0f} | {row['single']:,.0f} "
              f"| {row['query'][0]:.2f} / {row['query'][1]:.2f} "
              f"| {row['query_all'][0]:.1f} / {row['query_all'][1]:.1f} |")


if __name__ == "__main__":
    main()
