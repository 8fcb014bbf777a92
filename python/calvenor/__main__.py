"""python3 -m calvenor posterior|profile|multistart: the Python package's commands.

Each runs here, or on a running Dask cluster with --scheduler ADDRESS.
"""

import argparse
import contextlib
import json
import os
import sys
import warnings

import numpy as np

import calvenor


@contextlib.contextmanager
def _client(address):
    """A client of the scheduler at `address` (None without one), closed at the end."""
    if not address:
        yield None
        return
    try:
        from calvenor import dask as _  # noqa: F401  (checks that distributed is there)
        from distributed import Client
    except ImportError as e:
        raise SystemExit(f"calvenor: --scheduler needs Dask's distributed (Debian: python3-distributed): {e}")
    client = Client(address, timeout="30s")
    try:
        yield client
    finally:
        client.close()


def _out_folder(args):
    return args.out or os.path.dirname(os.path.abspath(args.from_))


def _tests_dir(args, start):
    return args.dir or start.dir or "."


def _check_tests(folder, start):
    """The tests of `folder` must be those the calibration ran on."""
    if not start.tests:
        return
    tests = calvenor.read_tests(folder)
    found = [(t.name, t.type, t.rows.shape[0]) for t in tests]
    if found != [tuple(t) for t in start.tests]:
        raise SystemExit(f"calvenor: the tests of {folder} are not those {start.dir or 'the calibration'} was "
                         "calibrated against (files, types or row counts differ); give the calibration's folder "
                         "with --dir")


def _start(args):
    try:
        return calvenor._start_from(args.from_)
    except ValueError as e:
        raise SystemExit(f"calvenor: --from: {e}")


def posterior(args):
    start = _start(args)
    folder = _tests_dir(args, start)
    _check_tests(folder, start)
    options = dict(walkers=args.walkers, steps=args.steps, seed=args.seed, noise=args.noise,
                   progress=not args.quiet and sys.stderr.isatty())
    with _client(args.scheduler) as client:
        if client is None:
            result = calvenor.posterior(calvenor.Evaluator(folder, threads=args.threads), start, **options)
        else:
            from calvenor import dask as cluster
            result = cluster.posterior(client, folder, start, chunk=args.chunk, **options)
    out = _out_folder(args)
    os.makedirs(out, exist_ok=True)
    summary = result.summary(args.level)
    print(f"Posterior of {len(result.names)} parameters, tests in {folder}: {result.chain.shape[1]} walkers x "
          f"{result.chain.shape[0]} steps, seed {result.seed}, {result.evaluations} evaluations")
    print(f"  acceptance fraction {np.mean(result.acceptance_fraction):.3f}; burn-in {result.burn_in()} steps\n")
    level = f"{args.level * 100:g} % interval"
    print(f"  {'parameter':<10} {'median':>12}   {level:<27} {'autocorrelation time':>20}")
    for name, s in summary.items():
        interval = f"[{s['interval'][0]:.5g}, {s['interval'][1]:.5g}]"
        print(f"  {name:<10} {s['median']:>12.7g}   {interval:<27} {s['autocorrelation_time']:>20.3g}")
    for note in result.notes:
        print(f"  note         {note}")
    with open(os.path.join(out, "posterior.json"), "w", encoding="utf-8") as f:
        f.write(result.to_json(args.level))
    np.savez_compressed(os.path.join(out, "posterior-chain.npz"), names=np.array(result.names),
                        chain=result.chain, log_probability=result.log_probability)
    print(f"\n  results      {os.path.join(out, 'posterior.json')}")
    print(f"  chain        {os.path.join(out, 'posterior-chain.npz')}")
    if not args.no_plot:
        result.corner(os.path.join(out, "posterior.png"))
        print(f"  plot         {os.path.join(out, 'posterior.png')}")


def profile(args):
    start = _start(args)
    folder = _tests_dir(args, start)
    _check_tests(folder, start)
    names = [n for n in args.parameters.split(",") if n] if args.parameters else None
    options = dict(parameters=names, level=args.level, points=args.points, noise=args.noise, threads=args.threads)
    with _client(args.scheduler) as client:
        if client is None:
            result = calvenor.profile(folder, start, **options)
        else:
            from calvenor import dask as cluster
            result = cluster.profile(client, folder, start, **options)
    print(f"Profile likelihood of {len(result.profiles)} parameters, tests in {folder}, from {args.from_}")
    print(f"  maximum-likelihood fit: log-likelihood {result.log_likelihood:.8g}\n")
    level = f"{args.level * 100:g} % profile interval"
    print(f"  {'parameter':<10} {'estimate':>12}   {level:<27} verdict")
    for p in result.profiles:
        lo, hi = p["interval"]
        interval = f"{'(' if p['open_below'] else '['}{lo:.5g}, {hi:.5g}{')' if p['open_above'] else ']'}"
        print(f"  {p['name']:<10} {p['estimate']:>12.7g}   {interval:<27} {p['verdict']}")
    for note in result.notes:
        print(f"  note         {note}")
    files, problems = result.write(_out_folder(args), folder, not args.no_plot)
    for w in problems:
        print(f"calvenor: warning: {w}", file=sys.stderr)
    print(f"\n  results      {files[0]}")
    for f in files[1:]:
        print(f"  plot         {f}")


def multistart(args):
    tests = args.dir[0] if len(args.dir) == 1 else list(args.dir)
    seeds = [int(s) for s in args.seeds.split(",")] if args.seeds else None
    options = dict(seeds=seeds, runs=args.runs, seed=args.seed, max_evaluations=args.max_evaluations,
                   algorithm=args.algorithm)
    with _client(args.scheduler) as client:
        if client is None:
            result = calvenor.multistart(tests, threads=args.threads, **options)
        else:
            from calvenor import dask as cluster
            result = cluster.multistart(client, tests, **options)
    print(result.table(), end="")
    best = result.best
    print(f"\n  best         error {best.error:.9g} (seed {best.seed})")
    if args.out:
        result.to_csv(args.out)
        print(f"  table        {args.out}")


def _noise(text):
    return calvenor._noise_tuple(text)


def main(argv=None):
    parser = argparse.ArgumentParser(prog="python3 -m calvenor", description=__doc__.split("\n\n")[0])
    commands = parser.add_subparsers(dest="command", required=True)

    def common(p, calibration=True):
        if calibration:
            p.add_argument("--from", dest="from_", required=True, metavar="CALIBRATION.json",
                           help="calibration.json written by calvenor calibrate")
            p.add_argument("--dir", help="folder that holds vornevResult/ with the calibration's tests "
                                         "(default: the dir recorded in calibration.json)")
            p.add_argument("--noise", type=_noise, default=None, metavar="q=S,ev=S,...",
                           help="known noise per quantity (default: as the calibration's analysis had it)")
            p.add_argument("--level", type=float, default=0.95, help="level of the intervals (default 0.95)")
            p.add_argument("--out", help="folder for the results (default: the folder of --from)")
            p.add_argument("--no-plot", action="store_true", help="do not draw the plot")
        p.add_argument("--threads", type=int, default=0, help="threads here (default 0: all cores)")
        p.add_argument("--scheduler", metavar="ADDRESS",
                       help="a running Dask scheduler, e.g. tcp://10.0.0.1:8786 (default: run here)")

    p = commands.add_parser("posterior", help="posterior sample of a calibration's free parameters (emcee)",
                            description="Posterior sample of a calibration's free parameters with emcee: uniform "
                                        "within the bounds, the likelihood of docs/uncertainty.md. Writes "
                                        "posterior.json, posterior-chain.npz and posterior.png (a corner plot).")
    common(p)
    p.add_argument("--walkers", type=int, default=None, help="walkers (default max(32, 2p + 2))")
    p.add_argument("--steps", type=int, default=500, help="steps of each walker (default 500)")
    p.add_argument("--seed", type=int, default=1, help="seed of the start and the moves (default 1)")
    p.add_argument("--chunk", type=int, default=None, help="sets per task on a cluster (default: two per worker)")
    p.add_argument("--quiet", action="store_true", help="no progress bar")
    p.set_defaults(run=posterior)

    p = commands.add_parser("profile", help="profile-likelihood intervals (as calvenor profile)",
                            description="The profile likelihood of calvenor profile; with --scheduler the sides "
                                        "of every profile run on the cluster's workers. Writes profile.json and "
                                        "profile.png/.svg.")
    common(p)
    p.add_argument("--parameters", help="free parameters to profile, e.g. pnvoid,z (default: every free one)")
    p.add_argument("--points", type=int, default=20, help="points of each profile (default 20)")
    p.set_defaults(run=profile)

    p = commands.add_parser("multistart", help="many seeded calibrations, or one per test set, in one table",
                            description="Calibrations as calvenor calibrate: one per seed on one --dir, or one "
                                        "per --dir (given several times), gathered into one table.")
    common(p, calibration=False)
    p.add_argument("--dir", action="append", required=True, help="folder that holds vornevResult/ (repeatable)")
    p.add_argument("--runs", type=int, default=4, help="seeded runs on one --dir (seeds 1 .. runs; default 4)")
    p.add_argument("--seeds", help="the seeds, e.g. 1,7,9 (instead of --runs)")
    p.add_argument("--seed", type=int, default=1, help="seed of each run with several --dir (default 1)")
    p.add_argument("--max-evaluations", type=int, default=20000, help="budget of each run (default 20000)")
    p.add_argument("--algorithm", default="cmaes", help="as calvenor calibrate --algorithm (default cmaes)")
    p.add_argument("--out", help="write the table as CSV to this file")
    p.set_defaults(run=multistart)

    args = parser.parse_args(argv)
    try:
        with warnings.catch_warnings():
            # Printed as a note with the results.
            warnings.simplefilter("ignore", calvenor.PosteriorWarning)
            args.run(args)
    except calvenor.LoadError as e:
        print(f"calvenor: {e}", file=sys.stderr)
        return 1
    except ValueError as e:
        print(f"calvenor: {e}", file=sys.stderr)
        return 2
    except KeyboardInterrupt:
        print("calvenor: interrupted", file=sys.stderr)
        return 130
    return 0


if __name__ == "__main__":
    sys.exit(main())
