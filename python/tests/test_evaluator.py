"""Evaluator beyond the reference vectors: tests in memory against the same
tests on disk, residuals against the measures, threads, and every way a call
can be refused."""

import math
import pickle
import threading
import warnings

import numpy as np
import pytest

import calvenor
from conftest import CLAY, SAND, SAND_SET, SHARED, assert_same_bits


def sets_around(base, count, seed):
    """Parameter sets scattered around `base`, some far enough off to stop an evaluation."""
    rng = np.random.default_rng(seed)
    return np.array(base) * (1.0 + rng.uniform(-0.4, 0.4, size=(count, 9)))


def test_from_tests_matches_disk_and_pickles():
    """The same tests in memory and on disk give the same bits, call after call
    (state carrying over included), and so does an unpickled evaluator."""
    tests = calvenor.read_tests(CLAY)
    on_disk = calvenor.Evaluator(CLAY)
    in_memory = calvenor.Evaluator.from_tests(tests, threads=1)
    clay = [1.2, 0.3, 0.02, 0.12, 2.3, 0.0, 2.2, 0.2, 1.0]
    sets = sets_around(clay, 12, seed=3)
    for s in sets[:4]:
        assert_same_bits(in_memory.evaluate(s, (1, 0, 0))[1], on_disk.evaluate(s, (1, 0, 0))[1])
    for got, want in zip(in_memory.evaluate_batch(sets, (1, 0, 0)), on_disk.evaluate_batch(sets, (1, 0, 0))):
        assert_same_bits(got, want)
    assert_same_bits(in_memory.residuals(clay).value, on_disk.residuals(clay).value)
    assert on_disk.test_names == [t.name for t in tests] and in_memory.in_memory and not on_disk.in_memory

    fresh = calvenor.Evaluator.from_tests(tests)
    for copy in (pickle.loads(pickle.dumps(in_memory)), pickle.loads(pickle.dumps(on_disk))):
        assert_same_bits(copy.evaluate_batch(sets)[0], fresh.evaluate_batch(sets)[0])
        fresh = calvenor.Evaluator(CLAY)


def test_residuals_make_the_measures():
    """The measures recomputed from the residuals, in their order, are the
    evaluation's to the bit; an evaluation that stops has none."""
    evaluator = calvenor.Evaluator(CLAY)
    for parameters in sets_around([1.2, 0.3, 0.02, 0.12, 2.3, 0.0, 2.2, 0.2, 1.0], 3, seed=7):
        error, diagnostics = evaluator.evaluate(parameters)
        if math.isinf(error):
            continue
        r = evaluator.residuals(parameters)
        assert len(r) == r.value.size == r.test.size == r.row.size == r.quantity.size
        assert r.test.dtype == np.int32 and set(r.quantity) <= {"q", "p", "ev", "u"}
        sums, counts = {}, {}
        for q, v in zip(r.quantity, r.value.tolist()):
            sums[q] = sums.get(q, 0.0) + v * v
            counts[q] = counts.get(q, 0) + 1
        a = len(counts)
        measures = [math.sqrt(sums[q] / counts[q]) * ((1.0 / a) * 100.0) if q in counts else 0.0
                    for q in calvenor.QUANTITY_NAMES]
        assert_same_bits(measures, diagnostics[7:])
        assert_same_bits(r.error, error)

    case = SHARED / "vectors" / "evaluations" / "15-stop-rule"
    stopping = [1.3, 0.3, 0.02, 0.1, 2.0, 0.0, 1.95, 0.2, 1.0]
    evaluator = calvenor.Evaluator(case)
    evaluator.evaluate(stopping)
    evaluator.evaluate(stopping, (1, 0, 1))  # loads the full list, whose tests stop
    with pytest.raises(calvenor.EvaluationStopped) as stopped:
        evaluator.residuals(stopping)
    assert stopped.value.reason in ("pressure not reached", "void ratio not positive")
    assert evaluator.last_stop == (stopped.value.test, stopped.value.reason)
    assert stopped.value.test_name in str(stopped.value)


def test_two_threads_at_once_match_one_after_the_other():
    sets = sets_around(SAND_SET, 24, seed=11)
    clay_sets = sets_around([1.2, 0.3, 0.02, 0.12, 2.3, 0.0, 2.2, 0.2, 1.0], 24, seed=12)

    def run(folder, chunks, out):
        evaluator = calvenor.Evaluator(folder, threads=1)
        out.extend(evaluator.evaluate_batch(c, (1, 0, 0))[0] for c in chunks)
        out.extend(evaluator.evaluate(s)[0] for s in chunks[-1])

    jobs = [(SAND, np.array_split(sets, 4)), (CLAY, np.array_split(clay_sets, 4))]
    alone = [[] for _ in jobs]
    for (folder, chunks), out in zip(jobs, alone):
        run(folder, chunks, out)
    together = [[] for _ in jobs]
    threads = [threading.Thread(target=run, args=(f, c, o)) for (f, c), o in zip(jobs, together)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    for a, b in zip(alone, together):
        assert_same_bits(np.hstack(b), np.hstack(a))

    # One evaluator shared by two threads: the calls take turns, nothing breaks.
    shared = calvenor.Evaluator(SAND)
    results = []
    threads = [threading.Thread(target=lambda: results.append(shared.evaluate_batch(sets)[0])) for _ in range(2)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert len(results) == 2 and results[0].shape == (24,)


def test_any_numeric_array_is_accepted():
    evaluator = calvenor.Evaluator(SAND)
    rows = np.array([SAND_SET, [1.3, 0.3, 0.01, 0.05, 1.0, 0.0, 1.0, 0.4, 1.0]])
    want = evaluator.evaluate_batch(rows)
    assert_same_bits(evaluator.evaluate_batch(np.asfortranarray(rows))[0], want[0])
    assert_same_bits(evaluator.evaluate_batch(rows.tolist())[0], want[0])
    strided = np.zeros((2, 18))
    strided[:, ::2] = rows
    assert_same_bits(evaluator.evaluate_batch(strided[:, ::2])[0], want[0])
    whole = np.array([[2, 0, 0, 0, 1, 0, 1, 1, 1]], dtype=np.int16)
    assert_same_bits(evaluator.evaluate_batch(whole)[0], evaluator.evaluate_batch(whole.astype(float))[0])
    assert_same_bits(evaluator.evaluate(SAND_SET, np.array([True, False, False]))[0],
                     evaluator.evaluate(SAND_SET, [1, 0, 0])[0])
    assert_same_bits(evaluator.evaluate(SAND_SET, penalties=True)[0], evaluator.evaluate(SAND_SET, (np.nan, 0, 0))[0])
    errors, diagnostics = evaluator.evaluate_batch(np.empty((0, 9)))
    assert errors.shape == (0,) and diagnostics.shape == (0, 11)


def test_bad_arguments_and_failed_loads(tmp_path):
    evaluator = calvenor.Evaluator(SAND)
    refused = [
        (ValueError, "shape (8,)", lambda: evaluator.evaluate(SAND_SET[:8])),
        (ValueError, "evaluate_batch", lambda: evaluator.evaluate([SAND_SET])),
        (ValueError, "shape (9,)", lambda: evaluator.evaluate_batch(SAND_SET)),
        (ValueError, "shape (1, 10)", lambda: evaluator.evaluate_batch([SAND_SET + [0]])),
        (ValueError, "at least three", lambda: evaluator.evaluate(SAND_SET, (1, 0))),
        (ValueError, "expected numbers", lambda: evaluator.evaluate([1, [2, 3]] + SAND_SET[2:])),
        (TypeError, "dtype <U", lambda: evaluator.evaluate(["1"] * 9)),
        (TypeError, "dtype object", lambda: evaluator.evaluate([None] * 9)),
        (TypeError, "dtype complex", lambda: evaluator.evaluate(np.ones(9) * 1j)),
        (ValueError, "threads", lambda: calvenor.Evaluator(SAND, threads=-1)),
        (TypeError, "threads", lambda: calvenor.Evaluator(SAND, threads=1.5)),
        (TypeError, "folder", lambda: calvenor.Evaluator(3)),
        (ValueError, "at least one test", lambda: calvenor.Evaluator.from_tests([])),
        (TypeError, "calvenor.LabTest", lambda: calvenor.Evaluator.from_tests([("T1.txt", 3, 100, 0.7, [[0] * 5])])),
        (ValueError, "shape (n, 5)", lambda: calvenor.LabTest("T1.txt", 3, 100, 0.7, [[0] * 4])),
        (ValueError, "no data rows", lambda: calvenor.LabTest("T1.txt", 3, 100, 0.7, np.empty((0, 5)))),
        (TypeError, "whole number", lambda: calvenor.LabTest("T1.txt", 3.0, 100, 0.7, [[0] * 5])),
        (ValueError, "path", lambda: calvenor.simulate(SAND_SET, "oedometer", 100, 0.7, 0.1)),
        (ValueError, "test_type: required", lambda: calvenor.simulate(SAND_SET, "shear", 100, 0.7, 0.1)),
        (ValueError, "unknown test type", lambda: calvenor.simulate(SAND_SET, "shear", 100, 0.7, 0.1, "wet")),
        (ValueError, "points", lambda: calvenor.simulate(SAND_SET, "isotropic", 100, 0.7, 0.1, points=1)),
        (TypeError, "p0", lambda: calvenor.simulate(SAND_SET, "isotropic", "100", 0.7, 0.1)),
        (ValueError, "list", lambda: calvenor.read_tests(SAND, "all")),
    ]
    for kind, text, call in refused:
        with pytest.raises(kind) as e:
            call()
        assert text in str(e.value), (text, str(e.value))
    # A test type by name is its code.
    assert_same_bits(calvenor.simulate(SAND_SET, "shear", 100, 0.7, 0.1, "drained", points=50),
                     calvenor.simulate(SAND_SET, "shear", 100, 0.7, 0.1, 3, points=50))

    # A malformed data file: the reader's message, its file and line; the next call loads again.
    folder = tmp_path / "bad"
    (folder / "vornevResult").mkdir(parents=True)
    list_text = (SAND / "vornevResult" / "evReadInList.txt").read_text()
    (folder / "vornevResult" / "evReadInList.txt").write_text(list_text)
    for name in ("CD100.txt", "CD200.txt", "CD300.txt"):
        (folder / "vornevResult" / name).write_text((SAND / "vornevResult" / name).read_text())
    good = (folder / "vornevResult" / "CD200.txt").read_text()
    lines = good.splitlines(keepends=True)
    (folder / "vornevResult" / "CD200.txt").write_text("".join(lines[:3] + ["0.01 oops\n"] + lines[4:]))
    evaluator = calvenor.Evaluator(folder)
    with pytest.raises(calvenor.LoadError) as e:
        evaluator.evaluate(SAND_SET)
    assert e.value.file.endswith("CD200.txt") and e.value.line == 4 and str(e.value).startswith(f"{e.value.file}:4: ")
    with pytest.raises(calvenor.LoadError) as e:
        calvenor.read_tests(folder)
    assert e.value.line == 4
    (folder / "vornevResult" / "CD200.txt").write_text(good)
    assert_same_bits(evaluator.evaluate(SAND_SET)[0], calvenor.Evaluator(SAND).evaluate(SAND_SET)[0])

    with pytest.raises(calvenor.LoadError) as e:
        calvenor.Evaluator(tmp_path / "nowhere").evaluate(SAND_SET)
    assert "evReadInList.txt" in e.value.file and e.value.line is None

    # Reports that cannot be written are warnings; the results stand.
    blocked = tmp_path / "a-file"
    blocked.write_text("")
    evaluator = calvenor.Evaluator.from_tests(calvenor.read_tests(SAND), report_folder=blocked)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        error, _ = evaluator.evaluate(SAND_SET, (0, 1, 0))
    assert caught and all(issubclass(w.category, calvenor.ReportWarning) for w in caught)
    assert evaluator.warnings and math.isfinite(error)
