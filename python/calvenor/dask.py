"""Calvenor on a Dask cluster: batches, posteriors, profiles and multi-start
calibrations spread over the workers of a ``distributed.Client``.

Needs Dask's ``distributed`` (Debian: python3-distributed); ``import calvenor``
works without it. See docs/distributed.md.

- :class:`Evaluator` / :func:`evaluate_batch`: a batch split into chunks, each
  evaluated by a worker on its own evaluator (built once per worker and test
  set, on as many threads as the worker has), results in order and bit for
  bit those of the local ``calvenor.Evaluator.evaluate_batch``.
- :func:`posterior`: ``calvenor.posterior`` with each ensemble step's batch on
  the cluster.
- :func:`profile`: ``calvenor.profile`` with the sides of every parameter's
  profile run on the workers in parallel.
- :func:`multistart`: seeded calibrations of one test set, or one calibration
  per test set, gathered into one table.

What travels: the test set once per worker (scattered, or read by each
worker from a folder it sees), then parameter sets out and results back.
"""

import collections
import hashlib
import math
import os
import threading
import time
import uuid
from concurrent.futures import CancelledError

import numpy as np

try:
    import distributed
except ImportError as error:  # pragma: no cover - depends on the machine
    raise ImportError("calvenor.dask needs Dask's distributed scheduler (Debian: python3-distributed)") from error

from . import _core
from ._errors import LoadError
from ._multistart import Multistart, is_path, run_plan as _runs
from ._posterior import noise_tuple, sample, start_from

__all__ = ["Evaluator", "Multistart", "evaluate_batch", "multistart", "posterior", "profile"]

# ---------------------------------------------------------------------------
# On the workers: one evaluator per test set, built on first use.

_EVALUATORS = collections.OrderedDict()  # token -> calvenor.Evaluator, in this worker process
_CACHE_LOCK = threading.Lock()
_CACHE_SIZE = 8


def _worker_threads():
    try:
        worker = distributed.get_worker()
        state = getattr(worker, "state", None)
        return int(state.nthreads if state is not None else worker.nthreads)
    except ValueError:  # not on a worker (a task run in the client)
        return 0


def _worker_tests(source):
    import calvenor
    if source[0] == "folder":
        return calvenor.read_tests(source[1], source[2])
    return [calvenor.LabTest(*t) for t in source[1]]


def _worker_evaluator(token, source):
    """This worker's evaluator of a test set, on the worker's threads; its
    calls take turns, so a worker never runs more than its threads."""
    import calvenor
    with _CACHE_LOCK:
        evaluator = _EVALUATORS.get(token)
        if evaluator is not None:
            _EVALUATORS.move_to_end(token)
            return evaluator
    evaluator = calvenor.Evaluator.from_tests(_worker_tests(source), threads=_worker_threads())
    with _CACHE_LOCK:
        evaluator = _EVALUATORS.setdefault(token, evaluator)
        while len(_EVALUATORS) > _CACHE_SIZE:
            _EVALUATORS.popitem(last=False)
    return evaluator


def _probe(token, source):
    return len(_worker_evaluator(token, source).test_names)


def _part(token, source, sets, switches, entering, noise):
    return _core.batch_part(_worker_evaluator(token, source), sets, switches, entering, noise)


def _chain(token, source, plan, side):
    return _core.profile_chain(_worker_evaluator(token, source), plan, side)


def _calibrate(source, options):
    """A calibration on a fresh evaluator, as calvenor.calibrate makes it: on a
    folder host style, so that its record names the folder and its files."""
    import calvenor
    if source[0] == "folder":
        evaluator = calvenor.Evaluator(source[1], threads=_worker_threads())
    else:
        evaluator = calvenor.Evaluator.from_tests(_worker_tests(source), threads=_worker_threads())
    return calvenor.calibrate(evaluator, **options)


# ---------------------------------------------------------------------------
# On the client.

def _gather(client, futures):
    """The futures' results in order. Ctrl-C (or any failure) cancels those
    still outstanding before it propagates."""
    try:
        return client.gather(futures)
    except BaseException:
        client.cancel(futures)
        raise


def _test_tuples(tests):
    return tuple((t.name, t.type, t.p_initial, t.e_initial, np.ascontiguousarray(t.rows, dtype=np.float64))
                 for t in tests)


def _tests_token(tuples):
    h = hashlib.sha256()
    for name, kind, p, e, rows in tuples:
        h.update(repr((name, kind, float(p).hex(), float(e).hex(), rows.shape)).encode())
        h.update(rows.tobytes())
    return "tests-" + h.hexdigest()


class _TestSet:
    """A test set as the workers see it: a folder (read by each worker), or
    tests in memory (scattered: each worker receives them once)."""

    def __init__(self, client, tests):
        self.client = client
        # A folder's token names this test set, not only the folder: a worker
        # reads it once for this test set, and again for the next one (whose
        # files may have changed since).
        self._nonce = uuid.uuid4().hex
        self._checked = None  # the local evaluator that checked tests in memory
        self._tuples = self._scattered = None
        if is_path(tests):
            self.folder = os.path.abspath(os.fsdecode(os.fspath(tests)))
        else:
            import calvenor
            self.folder = None
            tests = list(tests)
            self._checked = calvenor.Evaluator.from_tests(tests)  # the checks of a local evaluator, here
            self._tuples = _test_tuples(tests)
            self._token = _tests_token(self._tuples)
            self.scatter()
        self._probed = set()

    def scatter(self):
        """Sends tests in memory to the workers, again when the workers that
        held them have died (the scheduler then cancels what needs them)."""
        if self._tuples is not None:
            [self._scattered] = self.client.scatter([self._tuples], hash=False)

    def source(self, list_kind="working"):
        """(token, source) of the list; a folder's list is loaded once by a
        worker first, so that a list that cannot be read fails here, once,
        with the reader's message (calvenor.LoadError)."""
        if self.folder is None:
            if self._scattered.status != "finished":
                self.scatter()
            return self._token, ("tests", self._scattered)
        token = "folder-" + hashlib.sha256(repr((self.folder, list_kind, self._nonce)).encode()).hexdigest()
        source = ("folder", self.folder, list_kind)
        if token not in self._probed:
            _gather(self.client, [self.client.submit(_probe, token, source, pure=False)])
            self._probed.add(token)
        return token, source

    def local_evaluator(self):
        """A fresh local evaluator of the tests: for tests in memory first the
        one that checked them."""
        import calvenor
        if self.folder is not None:
            return calvenor.Evaluator(self.folder)
        evaluator, self._checked = self._checked, None
        if evaluator is None:
            evaluator = calvenor.Evaluator.from_tests([calvenor.LabTest(*t) for t in self._tuples])
        return evaluator


def _gather_resubmitting(client, submit, test_sets):
    """The results of the futures submit() returns, in order. A worker that
    dies takes the tests in memory it held with it when no other worker has
    them yet, and the scheduler cancels the tasks that need them: then they
    are scattered again and submit() (which takes each test set's source
    anew) runs once more."""
    try:
        return _gather(client, submit())
    except CancelledError:
        for test_set in test_sets:
            test_set.scatter()
        return _gather(client, submit())


def _switch_on(value):
    value = float(value)
    return value != 0.0 or math.isnan(value)


class Evaluator:
    """The objective on a cluster: ``Evaluator(client, tests, chunk=None)``.

    ``tests``: a folder that every worker sees (its working list; host style,
    as ``calvenor.Evaluator(folder)``) or a list of :class:`calvenor.LabTest`
    (scattered to the workers). Like a local evaluator it carries state from
    batch to batch: its batches are, to the bit, those of one local
    ``calvenor.Evaluator`` called with the same batches in the same order.

    How: the sets of a batch are cut into chunks of ``chunk`` sets (default:
    two chunks per worker), each evaluated by a worker as consecutive calls.
    A set's result depends on the calls before it only through the values of
    measured rows that its own curve does not bracket (they keep the value of
    the last call that bracketed them), and through the diagnostics a stopped
    call returns (those of the last completed call). Each chunk starts from
    the values of freshly loaded tests and reports which rows its results
    read from that start and which values it left; the client joins the
    chunks in order, re-runs (in parallel) every chunk that read a value the
    calls before it had changed, from the exact values they left, and gives
    each stopped call the diagnostics of the last completed call before it.
    So the results do not depend on the number of workers or the chunk size.
    """

    def __init__(self, client, tests, *, chunk=None):
        if chunk is not None and (isinstance(chunk, bool) or int(chunk) != chunk or chunk < 1):
            raise ValueError(f"chunk: expected a whole number of sets, at least 1, got {chunk!r}")
        self.client = client
        self.chunk = None if chunk is None else int(chunk)
        self._tests = _TestSet(client, tests)
        self._list = "working"
        self._values = None          # carried values (None: freshly loaded tests)
        self._diagnostics = np.zeros(len(_core.DIAGNOSTIC_NAMES))
        self.evaluations = 0
        self.reruns = 0              # chunks evaluated again from the values before them
        if self._tests.folder is not None:
            self._tests.source("working")

    def _chunk_size(self, count):
        if self.chunk is not None:
            return self.chunk
        workers = max(1, len(self.client.scheduler_info().get("workers", {})))
        return max(1, math.ceil(count / (2 * workers)))

    def _run(self, sets, switches, noise):
        sets = np.array(sets, dtype=np.float64, order="C")
        if sets.ndim != 2 or sets.shape[1] != len(_core.PARAMETER_NAMES):
            raise ValueError(f"sets: expected K parameter sets, one per row, an array of shape (K, 9); got shape {sets.shape}")
        switches = tuple(float(s) for s in switches)
        if len(switches) < 3:
            raise ValueError("switches: expected at least three values (penalties, reports, reload)")
        if _switch_on(switches[1]):
            raise ValueError("switches: reports are written by a local calvenor.Evaluator, not on a cluster")
        reload = _switch_on(switches[2])
        count = sets.shape[0]
        if count == 0:
            empty = np.zeros((0, len(_core.DIAGNOSTIC_NAMES)))
            return np.zeros(0), empty, (np.zeros(0) if noise is not None else None)
        if reload and self._list != "full" and self._tests.folder is not None:
            # A reload loads the full list; the calls after it keep it.
            self._list, self._values = "full", None
        size = self._chunk_size(count)
        bounds = [(a, min(a + size, count)) for a in range(0, count, size)]
        flags = (1.0 if _switch_on(switches[0]) else 0.0, 0.0, 1.0 if reload else 0.0)

        def chunks(runs):
            """The parts of the chunks (a, b, values entering) of runs, in order."""
            def submit():
                token, source = self._tests.source(self._list)
                return [self.client.submit(_part, token, source, sets[a:b], flags, entering, noise, pure=False)
                        for a, b, entering in runs]
            return _gather_resubmitting(self.client, submit, [self._tests])

        parts = chunks([(a, b, None) for a, b in bounds])
        # The values after each chunk, in a copy of those carried (kept as they
        # are should the batch fail).
        values = np.zeros(parts[0]["values"].size) if self._values is None else self._values.copy()
        reruns = {}
        for j, part in enumerate(parts):
            read = part["read"]
            if read.any() and np.any(values[read].view(np.uint64) != 0):
                reruns[j] = (*bounds[j], values.copy())
            replaced = part["replaced"]
            values[replaced] = part["values"][replaced]
        if reruns:
            self.reruns += len(reruns)
            for j, part in zip(reruns, chunks(list(reruns.values()))):
                parts[j] = part
        errors = np.concatenate([p["errors"] for p in parts])
        diagnostics = np.concatenate([p["diagnostics"] for p in parts])
        completed = np.concatenate([p["completed"] for p in parts])
        last = self._diagnostics
        for k in range(count):
            if completed[k]:
                last = diagnostics[k]
            else:
                diagnostics[k] = last
        self._values, self._diagnostics = values, last.copy()
        self.evaluations += count
        likelihood = np.concatenate([p["log_likelihood"] for p in parts]) if noise is not None else None
        return errors, diagnostics, likelihood

    def evaluate_batch(self, sets, switches=(0, 0, 0)):
        """K consecutive calls, as ``calvenor.Evaluator.evaluate_batch``:
        ``(errors (K,), diagnostics (K, 11))``. The reports switch is refused."""
        errors, diagnostics, _ = self._run(sets, switches, None)
        return errors, diagnostics

    def log_likelihood_batch(self, sets, noise=None):
        """The log-likelihood of each set, as ``calvenor.Evaluator.log_likelihood_batch``."""
        _, _, likelihood = self._run(sets, (0, 0, 0), noise_tuple(noise))
        return likelihood

    def __repr__(self):
        what = repr(self._tests.folder) if self._tests.folder is not None else "<tests in memory>"
        return f"calvenor.dask.Evaluator({what}, chunk={self.chunk})"


def evaluate_batch(client, tests, sets, switches=(0, 0, 0), chunk=None):
    """The batch of a fresh ``calvenor.Evaluator`` on ``tests``, on the cluster:
    ``(errors, diagnostics)``, bit for bit, whatever the workers and the chunk
    size. ``tests``: a folder every worker sees, or a list of LabTest."""
    return Evaluator(client, tests, chunk=chunk).evaluate_batch(sets, switches)


def posterior(client, tests, calibration, *, chunk=None, **options):
    """``calvenor.posterior`` with each ensemble step's batch on the cluster;
    the same chain, to the bit, as the local run with the same options."""
    evaluator = Evaluator(client, tests, chunk=chunk)
    return sample(evaluator.log_likelihood_batch, start_from(calibration), **options)


def profile(client, tests, calibration, *, parameters=None, level=0.95, points=20, noise=None, threads=0,
            progress=None):
    """``calvenor.profile`` with the two sides of every parameter's profile run
    as tasks on the workers. The maximum-likelihood fit and the local analysis
    that every side starts from run here first (on ``threads`` threads), so
    the client must see the tests too. The same result, to the bit, as the
    local profile."""
    from . import _profile_arguments
    start = start_from(calibration)
    test_set = _TestSet(client, tests)
    local = test_set.local_evaluator()
    arguments = _profile_arguments(start, parameters, level, points, noise, threads)
    began = time.monotonic()
    plan = _core.profile_plan(local, *arguments, progress)
    # The plan comes back only when its fit ran to the end: a stop (Ctrl-C,
    # or an exception of progress) is raised by profile_plan.
    def submit():
        token, source = test_set.source("working")
        [shared] = client.scatter([plan], hash=False)
        return [client.submit(_chain, token, source, shared, c, pure=False) for c in range(plan.chain_count)]

    chains = _gather_resubmitting(client, submit, [test_set])
    return _core.profile_finish(plan, chains, time.monotonic() - began)


def multistart(client, tests, *, seeds=None, runs=None, seed=1, **options):
    """Many calibrations as ``calvenor.calibrate``, gathered into a :class:`Multistart`.

    ``tests`` one test set (a folder or a list of LabTest): one calibration per
    seed of ``seeds`` (default ``1 .. runs``, runs default 4). ``tests`` a
    dict name -> test set, or a list of folders: one calibration per test set,
    each with ``seed``. ``options``: the keywords of ``calvenor.calibrate``
    (threads is each worker's). Each result equals, to the bit, that of
    ``calvenor.calibrate`` with the same settings. With ``client=None`` the
    calibrations run here, one after another.
    """
    import calvenor
    if client is None:
        return calvenor.multistart(tests, seeds=seeds, runs=runs, seed=seed, **options)
    if "threads" in options:
        raise ValueError("threads: a calibration on a cluster uses the threads of its worker")
    plan = _runs(tests, seeds, runs, seed)
    # Every test set is checked (a folder loaded by a worker) before any calibration is sent.
    sets = {}
    runs = []
    for _, source, s in plan:
        key = os.fspath(source) if is_path(source) else id(source)
        if key not in sets:
            sets[key] = _TestSet(client, source)
            sets[key].source("working")
        runs.append((sets[key], s))

    def submit():
        return [client.submit(_calibrate, test_set.source("working")[1], dict(options, seed=s), pure=False)
                for test_set, s in runs]

    return Multistart([label for label, _, _ in plan], _gather_resubmitting(client, submit, list(sets.values())))
