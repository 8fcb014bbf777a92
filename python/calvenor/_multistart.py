"""Many calibrations gathered into one table (calvenor.multistart and
calvenor.dask.multistart)."""

import os

from . import _core


def is_path(value):
    """Whether a test set (or a calibration) is given as a path: a folder or a file."""
    return isinstance(value, (str, bytes, os.PathLike))


class Multistart:
    """Calibrations gathered into one table: ``labels`` (the test set or the
    seed of each run), ``results`` (CalibrationResult, in the order asked for)."""

    def __init__(self, labels, results):
        self.labels = list(labels)
        self.results = list(results)

    @property
    def best(self):
        """The result with the smallest error value."""
        return min(self.results, key=lambda r: r.error)

    def rows(self):
        """One dict per run: label, seed, error, evaluations, the nine parameters."""
        return [dict(label=label, seed=r.seed, error=r.error, evaluations=r.evaluations, **r.by_name)
                for label, r in zip(self.labels, self.results)]

    def table(self):
        """The table as text, one run per line."""
        names = list(_core.PARAMETER_NAMES)
        width = max([5] + [len(str(x)) for x in self.labels])
        lines = [f"  {'run':<{width}} {'seed':>10} {'error':>12} {'evals':>7} " + " ".join(f"{n:>10}" for n in names)]
        for row in self.rows():
            lines.append(f"  {str(row['label']):<{width}} {row['seed']:>10} {row['error']:>12.6g} "
                         f"{row['evaluations']:>7} " + " ".join(f"{row[n]:>10.5g}" for n in names))
        return "\n".join(lines) + "\n"

    def to_csv(self, path):
        names = list(_core.PARAMETER_NAMES)
        with open(path, "w", encoding="utf-8") as f:
            f.write(",".join(["run", "seed", "error", "evaluations", *names]) + "\n")
            for row in self.rows():
                f.write(",".join([str(row["label"]), str(row["seed"]), repr(row["error"]), str(row["evaluations"]),
                                  *(repr(row[n]) for n in names)]) + "\n")

    def __repr__(self):
        return f"<calvenor.Multistart of {len(self.results)} calibrations, best error {self.best.error:.9g}>"


def run_plan(tests, seeds, runs, seed):
    """(label, tests, seed) of each calibration."""
    if isinstance(tests, dict) or (isinstance(tests, (list, tuple)) and tests and all(is_path(t) for t in tests)):
        items = tests.items() if isinstance(tests, dict) else [(os.fspath(t), t) for t in tests]
        return [(label, source, seed) for label, source in items]
    if seeds is None:
        seeds = range(1, (runs or 4) + 1)
    return [(s, tests, s) for s in seeds]



def multistart(tests, *, seeds=None, runs=None, seed=1, **options):
    """Many calibrations as ``calvenor.calibrate``, one after another, gathered
    into a :class:`Multistart` (calvenor.dask.multistart runs them on a
    cluster). ``tests`` one test set (a folder or a list of LabTest): one
    calibration per seed of ``seeds`` (default ``1 .. runs``, runs default 4);
    a dict name -> test set, or a list of folders: one calibration per test
    set, each with ``seed``. ``options``: the keywords of calvenor.calibrate."""
    from . import calibrate
    plan = run_plan(tests, seeds, runs, seed)
    return Multistart([label for label, _, _ in plan], [calibrate(source, seed=s, **options) for _, source, s in plan])
