"""Calvenor: calibration of an elasto-plastic critical-state soil model.

The same exact core as the host module and the ``calvenor`` command line,
with numpy arrays in and out:

- :class:`Evaluator`: the objective function, host style on a folder
  (``Evaluator("examples/sand-drained")``) or on tests in memory
  (``Evaluator.from_tests(tests)``); ``evaluate``, ``evaluate_batch``
  (parallel, GIL released) and ``residuals``.
- :func:`simulate`: one strain-controlled path of the model.
- :func:`calibrate`: the command line's calibration engine; :func:`multistart`
  many of them in one table.
- :func:`posterior` (emcee), :func:`profile` and :func:`log_likelihood`: how far
  to trust a calibration, on the likelihood of docs/uncertainty.md.
- ``calvenor.dask`` (when Dask's distributed is installed): the same on a cluster.
- :class:`LabTest`, :func:`read_tests`: test sets in memory.
- ``PARAMETER_NAMES`` (the host's order), ``PARAMETERS``, ``TEST_TYPES``,
  ``ALGORITHMS``, ``DIAGNOSTIC_NAMES``: the core's tables.

Results are bit for bit those of the host module and ``calvenor eval``.
"""

import numbers as _numbers
import operator as _operator
import os as _os
from collections import namedtuple as _namedtuple
from dataclasses import dataclass as _dataclass, field as _field

import numpy as _np

from ._errors import CalibrationInterrupted, EvaluationStopped, LoadError, ReportWarning
from . import _core
from ._core import Evaluator, Residuals, simulate
from ._core import ProfileOutcome as ProfileResult
from ._multistart import Multistart, multistart, is_path as _is_path
from ._posterior import Posterior, PosteriorWarning, corner_plot
from ._posterior import noise_tuple as _noise_tuple, sample as _sample, start_from as _start_from

__all__ = [
    "ALGORITHMS", "AlgorithmInfo", "CalibrationInterrupted", "CalibrationResult", "DIAGNOSTIC_NAMES",
    "EvaluationStopped", "Evaluator", "KERNELS", "LabTest", "LoadError", "MEASURE_NAMES", "Multistart", "PARAMETERS",
    "PARAMETER_NAMES", "ParameterInfo", "Posterior", "PosteriorWarning", "ProfileResult", "Progress",
    "QUANTITY_NAMES", "ReportWarning", "Residuals", "TEST_TYPES", "TestType", "calibrate", "corner_plot",
    "log_likelihood", "multistart", "posterior", "profile", "read_tests", "simulate",
]

#: The nine parameter names in the host's order (the order of every parameter array).
PARAMETER_NAMES = _core.PARAMETER_NAMES
#: The eleven diagnostics in the host's order: seven constraint values, then the four measures.
DIAGNOSTIC_NAMES = _core.DIAGNOSTIC_NAMES
#: The scored quantities: deviator stress, mean stress, volumetric strain, pore pressure.
QUANTITY_NAMES = _core.QUANTITY_NAMES
#: The four error measures, one per quantity, in the order of QUANTITY_NAMES.
MEASURE_NAMES = _core.MEASURE_NAMES
#: The kernels this processor runs (Evaluator.kernel): "scalar", "generic", and on x86-64 "sse2" and,
#: where the processor has it, "avx2".
KERNELS = _core.KERNELS

TestType = _namedtuple("TestType", "code name title path scored")
TestType.__doc__ = """A test type: its code, one-word name, title, the condition its shear path
holds, and the quantities it is scored on (a tuple of QUANTITY_NAMES)."""
#: The test types, from the core's table.
TEST_TYPES = tuple(TestType(*row) for row in _core.test_type_table)

ParameterInfo = _namedtuple("ParameterInfo", "name symbol meaning unit start lower upper fixed_by_default")
ParameterInfo.__doc__ = """A model parameter: name, symbol, meaning, unit ("" for a plain number), and
the calibration's default start value, bounds and whether it is fixed by default."""
#: The nine parameters in the host's order, from the core's table.
PARAMETERS = tuple(ParameterInfo(*row) for row in _core.parameter_table)

AlgorithmInfo = _namedtuple("AlgorithmInfo", "name is_global description")
AlgorithmInfo.__doc__ = """A calibration algorithm: name, whether it searches the whole box (global,
pagmo2) or goes downhill from the start values (local, NLopt), and a description."""
#: The calibration algorithms, from the core's table.
ALGORITHMS = tuple(AlgorithmInfo(*row) for row in _core.algorithm_table)


def _number_array(value, what):
    array = _np.asarray(value)
    if array.dtype.kind not in "biuf":
        raise TypeError(f"{what}: expected numbers, got an array of dtype {array.dtype}")
    return _np.array(array, dtype=_np.float64, order="C")


class LabTest:
    """One laboratory test as a user knows it.

    ``LabTest(name, type, p_initial, e_initial, rows)``: ``name`` is the data
    file name as a list writes it (it names the test's curve file in the
    reports), ``type`` the test type code (see ``TEST_TYPES``), ``p_initial``
    the mean effective stress before consolidation (kPa), ``e_initial`` the
    void ratio there, and ``rows`` the measured rows, an array-like of shape
    (n, 5): axial strain, q, p, volumetric strain, pore pressure (n >= 1). The
    rows are copied into a C-ordered float64 array.
    """

    __slots__ = ("name", "type", "p_initial", "e_initial", "rows")

    def __init__(self, name, type, p_initial, e_initial, rows):
        if not isinstance(name, str):
            raise TypeError(f"name: expected a str, got {_type_name(name)}")
        if isinstance(type, bool) or not hasattr(type, "__index__"):
            raise TypeError(f"type: expected a whole number (a test type code), got {_type_name(type)}")
        rows = _number_array(rows, "rows")
        if rows.ndim != 2 or rows.shape[1] != 5:
            raise ValueError(f"rows: expected an array of shape (n, 5) (strain, q, p, ev, u), got shape {rows.shape}")
        if rows.shape[0] == 0:
            raise ValueError(f"rows: {name}: no data rows")
        self.name = name
        self.type = _operator.index(type)
        self.p_initial = _real(p_initial, "p_initial")
        self.e_initial = _real(e_initial, "e_initial")
        self.rows = rows

    def __repr__(self):
        return (f"LabTest({self.name!r}, type={self.type}, p_initial={self.p_initial!r}, "
                f"e_initial={self.e_initial!r}, rows=<{self.rows.shape[0]} rows>)")


def _type_name(value):
    return type(value).__name__


def _real(value, what):
    if isinstance(value, bool) or not isinstance(value, _numbers.Real):
        raise TypeError(f"{what}: expected a number, got {_type_name(value)}")
    return float(value)


def read_tests(folder=".", list="working"):
    """The tests a host folder lists, as a list of :class:`LabTest`.

    ``list`` is ``"working"`` (``folder/vornevResult/evReadInList.txt``, what an
    Evaluator loads first) or ``"full"`` (``evReadInListZong.txt``, what a
    reload loads). Raises :class:`LoadError` naming the file and line when a
    list or data file cannot be read. ``Evaluator.from_tests(read_tests(f))``
    gives the same numbers as ``Evaluator(f)``.
    """
    return [LabTest(*row) for row in _core.read_tests(folder, list)]


Progress = _namedtuple("Progress", "phase generation evaluations max_evaluations best seconds phase_end")
Progress.__doc__ = """What a calibration's progress function receives: the phase (algorithm name),
the generations of the global phase so far (0 in a local phase), the evaluations
so far and the budget, the best error value so far, the seconds since the start,
and whether this is the last report of its phase."""


@_dataclass(repr=False, eq=False)
class CalibrationResult:
    """The outcome of :func:`calibrate`, the same values as ``calibration.json``.

    ``parameters`` (the nine, in the host's order; ``by_name`` as a dict),
    ``error`` (the final evaluation of the best set, with the penalties as
    set), ``measures`` (the four error measures), ``diagnostics`` (shape
    (11,), host order), ``evaluations`` (of the search), ``history`` (the best
    error value after each generation or improving local step: dicts with
    phase, generation, evaluations, best, seconds), ``phases`` (algorithm,
    population, generations, evaluations, stop reason), ``settings`` (each
    parameter's start, lower, upper, fixed and at_bound), ``seed`` (as run),
    ``threads``, ``interrupted`` (stopped by Ctrl-C or by the progress
    function), ``tests`` (as the calibration saw them), ``reports`` (files
    written) and ``json`` (the text of calibration.json).
    """

    parameters: _np.ndarray
    error: float
    measures: dict
    diagnostics: _np.ndarray
    evaluations: int
    max_evaluations: int
    seconds: float
    threads: int
    seed: int
    algorithm: str
    penalties: bool
    polish: bool
    interrupted: bool
    settings: dict
    phases: list
    history: list
    tests: list
    reports: list
    best_during_search: float
    look_ahead_misses: int
    json: str = _field(default="")

    @property
    def by_name(self):
        """The best parameters as a dict, name -> value."""
        return dict(zip(PARAMETER_NAMES, self.parameters.tolist()))

    def __repr__(self):
        values = ", ".join(f"{n}={v:.7g}" for n, v in self.by_name.items())
        state = ", interrupted" if self.interrupted else ""
        return (f"<calvenor.CalibrationResult error {self.error:.9g} after {self.evaluations} evaluations "
                f"(seed {self.seed}{state}): {values}>")


_FIELDS = ("start", "lower", "upper", "fixed")


def _choices(parameters):
    """The parameter choices for the core: (index, start, lower, upper, fixed)."""
    if parameters is None:
        return []
    if not hasattr(parameters, "items"):
        raise TypeError("parameters: expected a dict of name -> fixed value or "
                        "{'start': ..., 'lower': ..., 'upper': ...} / {'fixed': ...}")
    choices = []
    for name, setting in parameters.items():
        if name not in PARAMETER_NAMES:
            raise ValueError(f"parameters: unknown parameter {name!r} (the parameters are "
                             f"{', '.join(PARAMETER_NAMES)})")
        key = f"parameters[{name!r}]"
        index = PARAMETER_NAMES.index(name)
        if hasattr(setting, "items"):
            given = {}
            for field, value in setting.items():
                if field not in _FIELDS:
                    raise ValueError(f"{key}: unknown field {field!r} (expected start, lower, upper or fixed)")
                given[field] = _real(value, f"{key}[{field!r}]")
            choices.append((index,) + tuple(given.get(f) for f in _FIELDS))
        else:
            choices.append((index, None, None, None, _real(setting, key)))
    return choices


def _whole(value, what, low, high, optional=False):
    if value is None and optional:
        return None
    if isinstance(value, bool) or not hasattr(value, "__index__"):
        raise TypeError(f"{what}: expected a whole number, got {_type_name(value)}")
    value = _operator.index(value)
    if not low <= value <= high:
        raise ValueError(f"{what}: {value} is out of range ({low} to {high})")
    return value


def _flag(value, what):
    if isinstance(value, (bool, _np.bool_)) or (isinstance(value, int) and value in (0, 1)):
        return bool(value)
    raise TypeError(f"{what}: expected True or False, got {value!r}")


def _evaluator_for(source):
    if isinstance(source, Evaluator):
        return source
    if _is_path(source):
        return Evaluator(source)
    if isinstance(source, (list, tuple)):
        return Evaluator.from_tests(source)
    raise TypeError("source: expected an Evaluator, a folder (str or path) or a list of LabTest, "
                    f"got {_type_name(source)}")


def calibrate(source=".", *, parameters=None, algorithm="cmaes", generations=None, population=None,
              max_evaluations=20000, seed=None, threads=0, penalties=True, polish=True, reports=False,
              progress=None):
    """Fit the parameters: the calibration engine of ``calvenor calibrate``.

    ``source``: an :class:`Evaluator` (used as it stands: its state carries
    into the search), a folder holding ``vornevResult/`` (host style, as the
    command line's ``--dir``) or a list of :class:`LabTest`.

    ``parameters``: a dict, name -> a number (held fixed there) or a dict with
    any of ``start``, ``lower``, ``upper`` (the parameter is fitted; missing
    bounds are the defaults) or ``fixed``, as in the command line's
    configuration file. Unnamed parameters keep their defaults (``PARAMETERS``:
    enu fixed at 0.3 and cohesion at 0, the others free).

    ``algorithm`` (``ALGORITHMS``: cmaes, xnes, pso, de, sade, nelder-mead,
    bobyqa, sbplx), ``generations``, ``population``, ``max_evaluations``,
    ``seed`` (None: drawn at random; the result reports it), ``threads`` (0: the
    evaluator's count), ``penalties`` and ``polish`` are the command line's
    options: the same settings and seed give the same result to the bit as
    ``calvenor calibrate``, on any number of threads. ``reports=True`` writes
    the three reports of the best set as the command line does.

    ``progress``: a function called with a :class:`Progress` after each
    generation and local step (with the GIL; the search runs without it).
    Returning True stops the search with the best so far (``interrupted`` is
    then True); an exception it raises stops the search and propagates.

    Ctrl-C stops the search at its next step and raises
    :class:`CalibrationInterrupted` (a KeyboardInterrupt) whose ``result`` is
    the best so far. Raises :class:`LoadError` when the tests cannot be loaded
    and ValueError or TypeError for unusable settings.
    """
    evaluator = _evaluator_for(source)
    choices = _choices(parameters)
    if not isinstance(algorithm, str):
        raise TypeError(f"algorithm: expected a str, got {_type_name(algorithm)}")
    if algorithm not in [a.name for a in ALGORITHMS]:
        raise ValueError(f"algorithm: expected one of {', '.join(a.name for a in ALGORITHMS)}, got {algorithm!r}")
    generations = _whole(generations, "generations", 1, 1 << 40, optional=True)
    population = _whole(population, "population", 5, 1000000, optional=True)
    max_evaluations = _whole(max_evaluations, "max_evaluations", 1, 1 << 40)
    seed = _whole(seed, "seed", 0, 2**32 - 1, optional=True)
    threads = _whole(threads, "threads", 0, 4096)
    penalties = _flag(penalties, "penalties")
    polish = _flag(polish, "polish")
    reports = _flag(reports, "reports")
    if progress is not None and not callable(progress):
        raise TypeError(f"progress: expected a callable, got {_type_name(progress)}")
    callback = None if progress is None else (lambda info: progress(Progress(**info)))

    outcome = _core.calibrate(evaluator, choices, algorithm, generations, population, max_evaluations, seed,
                              threads, penalties, polish, reports, callback)
    keyboard = outcome.pop("keyboard_interrupt")
    outcome.pop("stop_requested")
    result = CalibrationResult(**outcome)
    if keyboard:
        raise CalibrationInterrupted(result)
    return result


def log_likelihood(residuals, quantities, noise=None):
    """The log-likelihood of residual vectors under the model of docs/uncertainty.md.

    ``residuals``: shape (n,) or (K, n), e.g. ``Evaluator.residuals(p).value``
    or ``evaluate_batch(sets, residuals=True)[2]``; ``quantities``: the
    quantity of each of the n values (``Residuals.quantity`` or
    ``Evaluator.residual_quantities``). Independent Gaussian residuals with one
    standard deviation per quantity, concentrated out at its maximum-likelihood
    value, or known where ``noise`` gives it ("q=0.01,ev=0.02", a dict, or four
    values q, p, ev, u with 0 for unknown). The core's function, as ``calvenor
    profile`` uses it: a float for (n,), an array (K,) for (K, n); -inf for a
    vector with a value that is not finite.
    """
    return _core.log_likelihood(residuals, quantities, _noise_tuple(noise))


def _default_calibration(source, calibration):
    if calibration is not None:
        return calibration
    if _is_path(source):
        return _os.path.join(_os.fspath(source), "calvenor-calibration", "calibration.json")
    raise TypeError("calibration: required (the path of a calibration.json, or a CalibrationResult)")


def posterior(source=".", calibration=None, *, walkers=None, steps=500, seed=1, noise=None, prior=None,
              spread=1e-3, threads=0, progress=False):
    """Posterior sample of a calibration's free parameters with emcee.

    ``source``: an Evaluator, a folder or a list of LabTest (as calibrate).
    ``calibration``: the path of a calibration.json (default
    ``source/calvenor-calibration/calibration.json``) or a CalibrationResult:
    its best set is where the walkers start (a ball of ``spread``, a fraction
    of each range), its bounds the support (and, with its penalties on, the
    region no penalty factor penalises), its known noise the default of
    ``noise``.

    The likelihood is that of docs/uncertainty.md (independent Gaussian
    residuals, one standard deviation per scored quantity, concentrated out or
    known) from the core; the prior uniform within the bounds, times
    ``exp(prior(theta))`` when a callable ``prior`` is given (theta: the free
    parameters in host order). emcee's ensemble sampler runs ``walkers``
    walkers (default max(32, 2p + 2)) for ``steps`` steps, vectorised: each
    ensemble step's proposals are one ``log_likelihood_batch`` (consecutive
    calls on one evaluator). ``seed`` fixes the start and the moves: the same
    seed gives the same chain to the bit, on any number of threads, and on a
    cluster (calvenor.dask.posterior).

    Returns a :class:`Posterior` (chain, log_probability, acceptance_fraction,
    autocorrelation_time, samples(), summary(), corner()). A chain too short
    for a reliable autocorrelation time (fewer than 50 times it) gives a
    :class:`PosteriorWarning`.
    """
    evaluator = _evaluator_for(source)
    if threads:
        evaluator.threads = _whole(threads, "threads", 0, 4096)
    start = _start_from(_default_calibration(source, calibration))
    return _sample(evaluator.log_likelihood_batch, start, walkers=walkers, steps=steps, seed=seed, noise=noise,
                   prior=prior, spread=spread, progress=progress)


def _profile_arguments(start, parameters, level, points, noise, threads):
    chosen = []
    for name in parameters or []:
        if name not in PARAMETER_NAMES:
            raise ValueError(f"parameters: unknown parameter {name!r} (the parameters are {', '.join(PARAMETER_NAMES)})")
        if PARAMETER_NAMES.index(name) not in chosen:
            chosen.append(PARAMETER_NAMES.index(name))
    return ([tuple(s) for s in start.settings], list(start.parameters), chosen, float(level), int(points),
            _noise_tuple(noise, start.noise), bool(start.penalties), _whole(threads, "threads", 0, 4096))


def profile(source=".", calibration=None, *, parameters=None, level=0.95, points=20, noise=None, threads=0,
            progress=None):
    """The profile likelihood of ``calvenor profile`` from a calibration.

    ``source`` and ``calibration`` as for :func:`posterior`; ``parameters``: the
    names to profile (default every free one); ``level``, ``points`` and
    ``noise`` as the command line's options. ``progress(dict)`` is called as
    the work goes on (phase, points, planned_points, evaluations, seconds).
    Returns a :class:`ProfileResult`: ``profiles`` (per parameter name,
    estimate, interval, open_below, open_above, verdict, curve of (value,
    drop)), ``log_likelihood``, ``estimate``, ``json`` (the text of
    profile.json) and ``write(folder, dir)`` (profile.json and the plot page).
    The same bits as ``calvenor profile`` with the same options; Ctrl-C raises
    KeyboardInterrupt.
    """
    evaluator = _evaluator_for(source)
    start = _start_from(_default_calibration(source, calibration))
    if progress is not None and not callable(progress):
        raise TypeError(f"progress: expected a callable, got {_type_name(progress)}")
    return _core.profile(evaluator, *_profile_arguments(start, parameters, level, points, noise, threads), progress)
