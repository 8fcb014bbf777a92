#!/usr/bin/python3
"""Throughput of Evaluator.evaluate_batch from Python against the C++ batch.

Both sides evaluate batches of 64 parameter sets (the eight sets of
../shared/bench/calls.txt, repeated) on the shared workload with the penalties
on: the C++ side is calvenor_bench's BM_Batch/kernel:1/sets:64 (the lane
kernel chosen at run time), the Python side the same batch through the
package (the same kernel by default). The two are timed in turns (a C++ round and
a Python round, REPEAT times, alternating which goes first) so that a busy
machine slows both alike; the medians of evaluations per second and their
ratio are printed.

    cmake --build build --target calvenor_bench calvenor_python
    PYTHONPATH=build/python /usr/bin/python3 bench/python_batch_bench.py [--build build] [--repeat 5] [--seconds 2]
"""

import argparse
import json
import os
import pathlib
import statistics
import subprocess
import time

import numpy as np

import calvenor

SOURCE = pathlib.Path(__file__).resolve().parents[1]


def cpp_round(binary, threads, seconds):
    """Evaluations per second of one BM_Batch/kernel:1/sets:64 run (threads 0: every core)."""
    out = subprocess.run([str(binary), f"--benchmark_filter=^BM_Batch/kernel:1/sets:64/threads:{threads}/",
                          f"--benchmark_min_time={seconds}", "--benchmark_format=json"],
                         check=True, capture_output=True, text=True).stdout
    (bench,) = json.loads(out)["benchmarks"]
    return bench["items_per_second"]


def python_round(evaluator, sets, seconds):
    """Evaluations per second of evaluate_batch over about `seconds`."""
    evaluator.evaluate_batch(sets, (1, 0, 0))
    batches, start = 0, time.perf_counter()
    while True:
        evaluator.evaluate_batch(sets, (1, 0, 0))
        batches += 1
        elapsed = time.perf_counter() - start
        if elapsed >= seconds:
            return batches * len(sets) / elapsed


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--build", default=SOURCE / "build", type=pathlib.Path)
    parser.add_argument("--shared", default=SOURCE.parent / "shared", type=pathlib.Path)
    parser.add_argument("--repeat", default=5, type=int)
    parser.add_argument("--seconds", default=2.0, type=float)
    args = parser.parse_args()

    workload = args.shared / "bench"
    calls = [[float(x) for x in line.split()] for line in (workload / "calls.txt").read_text().splitlines() if line]
    sets = np.array([calls[k % len(calls)][:9] for k in range(64)])
    cores = os.cpu_count() or 1
    print(f"batches of 64 sets on {workload}, {args.repeat} rounds of {args.seconds} s each side, "
          f"load average {os.getloadavg()[0]:.1f} on {cores} cores")
    print(f"{'threads':>8} {'C++ /s':>10} {'Python /s':>10} {'Python/C++':>11}")
    for threads in (1, 0):
        evaluator = calvenor.Evaluator(workload, threads=threads)
        evaluator.evaluate(calls[0][:9], (1, 0, 0))  # loads the tests
        cpp, py = [], []
        for k in range(args.repeat):
            # Alternate which side goes first, so a drifting load favours neither.
            rounds = [lambda: cpp.append(cpp_round(args.build / "calvenor_bench", threads, args.seconds)),
                      lambda: py.append(python_round(evaluator, sets, args.seconds))]
            for run in rounds if k % 2 == 0 else rounds[::-1]:
                run()
        c, p = statistics.median(cpp), statistics.median(py)
        print(f"{threads or cores:>8} {c:>10.1f} {p:>10.1f} {p / c:>11.3f}")


if __name__ == "__main__":
    main()
