"""Type stubs of the calvenor package (the docstrings are in the package itself)."""

import os
from typing import Any, Callable, Mapping, NamedTuple, Optional, Sequence, Union

import numpy as np
import numpy.typing as npt

_Path = Union[str, bytes, os.PathLike]
_Numbers = npt.ArrayLike
_Switches = Union[Sequence[float], npt.NDArray[Any]]
_Noise = Union[None, str, Mapping[str, float], Sequence[float]]

PARAMETER_NAMES: tuple[str, ...]
DIAGNOSTIC_NAMES: tuple[str, ...]
QUANTITY_NAMES: tuple[str, ...]
MEASURE_NAMES: tuple[str, ...]
KERNELS: tuple[str, ...]

class TestType(NamedTuple):
    code: int
    name: str
    title: str
    path: str
    scored: tuple[str, ...]

class ParameterInfo(NamedTuple):
    name: str
    symbol: str
    meaning: str
    unit: str
    start: float
    lower: float
    upper: float
    fixed_by_default: bool

class AlgorithmInfo(NamedTuple):
    name: str
    is_global: bool
    description: str

TEST_TYPES: tuple[TestType, ...]
PARAMETERS: tuple[ParameterInfo, ...]
ALGORITHMS: tuple[AlgorithmInfo, ...]

class LoadError(Exception):
    message: str
    file: Optional[str]
    line: Optional[int]
    def __init__(self, message: str) -> None: ...

class EvaluationStopped(Exception):
    test: int
    test_name: str
    reason: str
    def __init__(self, message: str, test: int, test_name: str, reason: str) -> None: ...

class CalibrationInterrupted(KeyboardInterrupt):
    result: CalibrationResult
    def __init__(self, result: CalibrationResult) -> None: ...

class ReportWarning(UserWarning): ...

class LabTest:
    name: str
    type: int
    p_initial: float
    e_initial: float
    rows: npt.NDArray[np.float64]
    def __init__(self, name: str, type: int, p_initial: float, e_initial: float, rows: _Numbers) -> None: ...

class Residuals:
    @property
    def test(self) -> npt.NDArray[np.int32]: ...
    @property
    def row(self) -> npt.NDArray[np.int32]: ...
    @property
    def quantity(self) -> npt.NDArray[np.str_]: ...
    @property
    def value(self) -> npt.NDArray[np.float64]: ...
    @property
    def error(self) -> float: ...
    def __len__(self) -> int: ...

class Evaluator:
    def __init__(self, folder: _Path = ".", threads: int = 0) -> None: ...
    @staticmethod
    def from_tests(tests: Sequence[LabTest], threads: int = 0, report_folder: Optional[_Path] = None) -> Evaluator: ...
    def evaluate(self, parameters: _Numbers, switches: _Switches = (0, 0, 0), *, penalties: Optional[bool] = None,
                 reports: Optional[bool] = None, reload: Optional[bool] = None) -> tuple[float, npt.NDArray[np.float64]]: ...
    def evaluate_batch(self, sets: _Numbers, switches: _Switches = (0, 0, 0), *, penalties: Optional[bool] = None,
                       reports: Optional[bool] = None, reload: Optional[bool] = None, residuals: bool = False
                       ) -> tuple[npt.NDArray[np.float64], ...]: ...
    def log_likelihood_batch(self, sets: _Numbers, noise: _Noise = None) -> npt.NDArray[np.float64]: ...
    @property
    def residual_quantities(self) -> npt.NDArray[np.str_]: ...
    def residuals(self, parameters: _Numbers) -> Residuals: ...
    def curves(self, parameters: _Numbers) -> list[dict[str, Any]]: ...
    threads: int
    kernel: str
    @property
    def folder(self) -> str: ...
    @property
    def in_memory(self) -> bool: ...
    @property
    def test_names(self) -> list[str]: ...
    @property
    def warnings(self) -> list[str]: ...
    @property
    def last_stop(self) -> Optional[tuple[int, str]]: ...

def simulate(parameters: _Numbers, path: str, p0: float, e0: float, strain_range: float,
             test_type: Union[int, str, None] = None, points: int = 3000, b: float = 0.0,
             z2: Optional[float] = None, fill: float = 0.0) -> npt.NDArray[np.float64]: ...

def read_tests(folder: _Path = ".", list: str = "working") -> list[LabTest]: ...

class Progress(NamedTuple):
    phase: str
    generation: int
    evaluations: int
    max_evaluations: int
    best: float
    seconds: float
    phase_end: bool

class CalibrationResult:
    parameters: npt.NDArray[np.float64]
    error: float
    measures: dict[str, float]
    diagnostics: npt.NDArray[np.float64]
    evaluations: int
    max_evaluations: int
    seconds: float
    threads: int
    seed: int
    algorithm: str
    penalties: bool
    polish: bool
    interrupted: bool
    settings: dict[str, dict[str, Any]]
    phases: list[dict[str, Any]]
    history: list[dict[str, Any]]
    tests: list[dict[str, Any]]
    reports: list[str]
    best_during_search: float
    look_ahead_misses: int
    json: str
    @property
    def by_name(self) -> dict[str, float]: ...

def calibrate(source: Union[Evaluator, _Path, Sequence[LabTest]] = ".", *,
              parameters: Optional[Mapping[str, Union[float, Mapping[str, float]]]] = None,
              algorithm: str = "cmaes", generations: Optional[int] = None, population: Optional[int] = None,
              max_evaluations: int = 20000, seed: Optional[int] = None, threads: int = 0, penalties: bool = True,
              polish: bool = True, reports: bool = False,
              progress: Optional[Callable[[Progress], Any]] = None) -> CalibrationResult: ...

class PosteriorWarning(UserWarning): ...

class Posterior:
    names: list[str]
    chain: npt.NDArray[np.float64]
    log_probability: npt.NDArray[np.float64]
    acceptance_fraction: npt.NDArray[np.float64]
    autocorrelation_time: npt.NDArray[np.float64]
    autocorrelation_reliable: bool
    noise: tuple[float, float, float, float]
    seed: int
    evaluations: int
    notes: list[str]
    def burn_in(self) -> int: ...
    def samples(self, burn: Optional[int] = None, thin: int = 1) -> npt.NDArray[np.float64]: ...
    def summary(self, level: float = 0.95, burn: Optional[int] = None) -> dict[str, dict[str, Any]]: ...
    def corner(self, path: Optional[_Path] = None, burn: Optional[int] = None, bins: int = 30) -> Any: ...
    def to_json(self, level: float = 0.95) -> str: ...

class ProfileResult:
    json: str
    profiles: list[dict[str, Any]]
    level: float
    threshold: float
    log_likelihood: float
    estimate: list[float]
    notes: list[str]
    evaluations: int
    interrupted: bool
    def write(self, folder: str, dir: str, plot: bool = True) -> tuple[list[str], list[str]]: ...

class Multistart:
    labels: list[Any]
    results: list[CalibrationResult]
    @property
    def best(self) -> CalibrationResult: ...
    def rows(self) -> list[dict[str, Any]]: ...
    def table(self) -> str: ...
    def to_csv(self, path: _Path) -> None: ...

_Source = Union[Evaluator, _Path, Sequence[LabTest]]
_Calibration = Union[_Path, CalibrationResult, None]

def log_likelihood(residuals: _Numbers, quantities: Sequence[str], noise: _Noise = None) -> Any: ...
def posterior(source: _Source = ".", calibration: _Calibration = None, *, walkers: Optional[int] = None,
              steps: int = 500, seed: int = 1, noise: _Noise = None,
              prior: Optional[Callable[[npt.NDArray[np.float64]], float]] = None, spread: float = 1e-3,
              threads: int = 0, progress: bool = False) -> Posterior: ...
def profile(source: _Source = ".", calibration: _Calibration = None, *, parameters: Optional[Sequence[str]] = None,
            level: float = 0.95, points: int = 20, noise: _Noise = None, threads: int = 0,
            progress: Optional[Callable[[dict[str, Any]], Any]] = None) -> ProfileResult: ...
def multistart(tests: Any, *, seeds: Optional[Sequence[int]] = None, runs: Optional[int] = None, seed: int = 1,
               **options: Any) -> Multistart: ...
def corner_plot(samples: _Numbers, names: Sequence[str], truths: Optional[Sequence[float]] = None,
                path: Optional[_Path] = None, bins: int = 30) -> Any: ...
