#!/usr/bin/python3
"""calvenor.dask throughput: evaluations per second of batches of 1024 sets on
1 and 2 local worker processes (one thread each), against the local batch on
one thread, and the cost of one chunk.

The workload is ../shared/bench (its eight sets, repeated; penalties on). The
clusters are LocalClusters on 127.0.0.1 (one worker process per cluster
worker, `threads_per_worker=1`), started here and stopped at the end. Rounds
of the configurations are timed in turns, REPEAT times, so that a busy
machine slows all alike; medians are printed.

Per-chunk overhead: the same 1024 sets on one worker in chunks of 1024, 256,
64, 16 and 4 sets; the slope of the time against the number of chunks is
what a chunk costs beyond its evaluations (scheduling, the task's round trip,
the trace and the join). A chunk of one quick set gives the latency of a
batch.

    cmake --build build --target calvenor_python
    PYTHONPATH=build/python /usr/bin/python3 bench/dask_bench.py [--repeat 5] [--sets 1024]
"""

import argparse
import math
import os
import pathlib
import statistics
import time

import numpy as np

import calvenor
import calvenor.dask as cluster_api
import distributed

SOURCE = pathlib.Path(__file__).resolve().parents[1]


def timed(run):
    start = time.perf_counter()
    run()
    return time.perf_counter() - start


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--shared", default=SOURCE.parent / "shared", type=pathlib.Path)
    parser.add_argument("--repeat", default=5, type=int)
    parser.add_argument("--sets", default=1024, type=int)
    args = parser.parse_args()

    workload = args.shared / "bench"
    calls = [[float(x) for x in line.split()] for line in (workload / "calls.txt").read_text().splitlines() if line]
    sets = np.array([calls[k % len(calls)][:9] for k in range(args.sets)])
    print(f"batches of {args.sets} sets on {workload}, {args.repeat} rounds, "
          f"load average {os.getloadavg()[0]:.1f} on {os.cpu_count()} cores")

    local = calvenor.Evaluator(workload, threads=1)
    expected = local.evaluate_batch(sets, (1, 0, 0))
    clusters, evaluators = [], {}
    try:
        for workers in (1, 2):
            cluster = distributed.LocalCluster(n_workers=workers, threads_per_worker=1, processes=True,
                                               host="127.0.0.1", dashboard_address=None, silence_logs=40)
            client = distributed.Client(cluster)
            clusters.append((cluster, client))
            evaluators[workers] = cluster_api.Evaluator(client, workload)
            got = evaluators[workers].evaluate_batch(sets, (1, 0, 0))  # loads the tests on every worker
            assert all(np.array_equal(a.view(np.uint64), b.view(np.uint64)) for a, b in zip(got, expected))

        rounds = {"local, 1 thread": lambda: local.evaluate_batch(sets, (1, 0, 0)),
                  "1 worker": lambda: evaluators[1].evaluate_batch(sets, (1, 0, 0)),
                  "2 workers": lambda: evaluators[2].evaluate_batch(sets, (1, 0, 0))}
        seconds = {name: [] for name in rounds}
        for k in range(args.repeat):
            order = list(rounds) if k % 2 == 0 else list(rounds)[::-1]
            for name in order:
                seconds[name].append(timed(rounds[name]))
        print(f"\n{'configuration':>16} {'seconds':>9} {'evaluations/s':>14} {'vs 1 worker':>12}")
        one = statistics.median(seconds["1 worker"])
        for name, values in seconds.items():
            s = statistics.median(values)
            print(f"{name:>16} {s:>9.3f} {args.sets / s:>14.1f} {one / s:>12.2f}")

        # Per-chunk overhead on one worker.
        client = clusters[0][1]
        sizes = sorted({max(1, args.sets // d) for d in (1, 4, 16, 64, 256)}, reverse=True)
        chunked = {size: cluster_api.Evaluator(client, workload, chunk=size) for size in sizes}
        times = {size: [] for size in sizes}
        for k in range(args.repeat):
            for size in sizes if k % 2 == 0 else sizes[::-1]:
                times[size].append(timed(lambda: chunked[size].evaluate_batch(sets, (1, 0, 0))))
        counts = np.array([math.ceil(args.sets / s) for s in sizes], dtype=float)
        medians = np.array([statistics.median(times[s]) for s in sizes])
        slope, intercept = np.polyfit(counts, medians, 1)
        print(f"\n{'chunk':>8} {'chunks':>7} {'seconds':>9}")
        for size, count, m in zip(sizes, counts, medians):
            print(f"{size:>8} {int(count):>7} {m:>9.3f}")
        print(f"overhead per chunk {slope * 1e3:.2f} ms (fit: {intercept:.3f} s + chunks x {slope * 1e3:.2f} ms)")
        tiny = cluster_api.Evaluator(client, workload, chunk=1)
        latency = statistics.median(timed(lambda: tiny.evaluate_batch(sets[:1], (1, 0, 0))) for _ in range(20))
        single = statistics.median(timed(lambda: local.evaluate_batch(sets[:1], (1, 0, 0))) for _ in range(20))
        print(f"a batch of one set: {latency * 1e3:.1f} ms on the cluster, {single * 1e3:.1f} ms here")
    finally:
        for cluster, client in clusters:
            client.close()
            cluster.close()


if __name__ == "__main__":
    main()
