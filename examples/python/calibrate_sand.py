#!/usr/bin/python3
"""Calibrate the model against the drained sand tests twice and plot both fits.

1. scipy.optimize.differential_evolution, vectorised: each generation is one
   Evaluator.evaluate_batch call, simulated in parallel without the GIL.
2. calvenor.calibrate: the command line's engine (CMA-ES, then BOBYQA).

The picture (measured points and the two simulated curves of every scored
quantity, and the convergence of both searches) is written to --out.

    PYTHONPATH=build/python /usr/bin/python3 examples/python/calibrate_sand.py

runs it on the package in the build folder; --quick keeps both searches short
(the test command runs it that way, headless).
"""

import argparse
import pathlib
import time

import matplotlib

matplotlib.use("Agg")  # headless: no display needed
import matplotlib.pyplot as plt
import numpy as np
from scipy.optimize import differential_evolution

import calvenor

HERE = pathlib.Path(__file__).resolve().parent
LABELS = {"q": "q (kPa)", "p": "p (kPa)", "ev": "volumetric strain", "u": "pore pressure (kPa)"}
COLUMN = {"q": 1, "p": 2, "ev": 3, "u": 4}


def with_scipy(evaluator, seed, generations):
    """differential_evolution over the free parameters of the default settings."""
    free = [i for i, p in enumerate(calvenor.PARAMETERS) if not p.fixed_by_default]
    base = np.array([p.start for p in calvenor.PARAMETERS])
    bounds = [(calvenor.PARAMETERS[i].lower, calvenor.PARAMETERS[i].upper) for i in free]
    history = []  # (evaluations so far, least error value of the batch)

    def errors(x):
        # x has one column per candidate (vectorized=True): fill in the fixed
        # parameters and evaluate them all as one batch, with the penalties on.
        sets = np.tile(base, (x.shape[1], 1))
        sets[:, free] = x.T
        e, _ = evaluator.evaluate_batch(sets, (1, 0, 0))
        history.append(((history[-1][0] if history else 0) + len(e), float(np.min(e))))
        return np.where(np.isfinite(e), e, 1e10)  # keep the population's values finite

    start = time.perf_counter()
    result = differential_evolution(errors, bounds, seed=seed, maxiter=generations, popsize=8, tol=1e-8, x0=base[free],
                                    vectorized=True, updating="deferred", polish=False)
    best = base.copy()
    best[free] = result.x
    error, _ = evaluator.evaluate(best, (1, 0, 0))
    print(f"scipy differential_evolution: error {error:.6g} after {history[-1][0]} evaluations "
          f"in {time.perf_counter() - start:.1f} s")
    return best, error, history


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--dir", default=HERE.parent / "sand-drained", type=pathlib.Path,
                        help="folder holding vornevResult/ (default: examples/sand-drained)")
    parser.add_argument("--out", default="sand-fit.png", type=pathlib.Path, help="picture to write")
    parser.add_argument("--seed", default=1, type=int)
    parser.add_argument("--quick", action="store_true", help="short searches (seconds), as the tests run it")
    args = parser.parse_args()

    evaluator = calvenor.Evaluator(args.dir)
    scipy_best, scipy_error, scipy_history = with_scipy(evaluator, args.seed, 12 if args.quick else 80)

    result = calvenor.calibrate(args.dir, seed=args.seed, max_evaluations=800 if args.quick else 20000)
    print(f"calvenor.calibrate:           error {result.error:.6g} after {result.evaluations} evaluations "
          f"in {result.seconds:.1f} s")
    for name, a, b in zip(calvenor.PARAMETER_NAMES, scipy_best, result.parameters):
        print(f"  {name:10s} {a:12.6g} {b:12.6g}")

    fits = [("scipy DE", scipy_best, "tab:orange"), ("calvenor.calibrate", result.parameters, "tab:blue")]
    curves = [evaluator.curves(p) for _, p, _ in fits]
    panels = [(t, q) for t, test in enumerate(curves[0]) for q in test["scored"]]
    columns = 3
    rows = -(-(len(panels) + 1) // columns)
    figure, axes = plt.subplots(rows, columns, figsize=(4.2 * columns, 3.4 * rows), squeeze=False)
    for ax, (t, q) in zip(axes.flat, panels):
        measured = curves[0][t]["measured"]
        ax.plot(measured[:, 0], measured[:, COLUMN[q]], "k.", label="measured")
        for (label, _, colour), tests in zip(fits, curves):
            simulated = tests[t]["simulated"]
            if len(simulated):
                ax.plot(simulated[:, 0], simulated[:, COLUMN[q]], color=colour, label=label)
        ax.set_title(curves[0][t]["name"], fontsize=10)
        ax.set_xlabel("axial strain")
        ax.set_ylabel(LABELS[q])
    axes.flat[0].legend(fontsize=8)
    convergence = axes.flat[len(panels)]
    convergence.semilogy([h["evaluations"] for h in result.history], [h["best"] for h in result.history],
                         color="tab:blue", label="calvenor.calibrate")
    convergence.semilogy([e for e, _ in scipy_history], np.minimum.accumulate([b for _, b in scipy_history]),
                         color="tab:orange", label="scipy DE")
    convergence.set_xlabel("evaluations")
    convergence.set_ylabel("best error value")
    convergence.legend(fontsize=8)
    for ax in list(axes.flat)[len(panels) + 1:]:
        ax.axis("off")
    figure.suptitle(f"Drained sand: error {scipy_error:.4g} (scipy DE), {result.error:.4g} (calvenor.calibrate)")
    figure.tight_layout()
    figure.savefig(args.out, dpi=90)
    print(f"plot: {args.out}")


if __name__ == "__main__":
    main()
