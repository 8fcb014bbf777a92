"""The published reference vectors through calvenor.simulate and
Evaluator.evaluate / evaluate_batch, bit for bit."""

import pathlib

import numpy as np
import pytest

import calvenor
from conftest import SHARED, assert_same_bits

PATHS = sorted((SHARED / "vectors" / "paths").glob("*.txt"))
CASES = sorted(p for p in (SHARED / "vectors" / "evaluations").iterdir() if p.is_dir())


def read_path_vector(file):
    inputs, rows = {}, []
    lines = file.read_text().splitlines()
    header = lines.index("point,epsAxial,qDev,pMean,voidRatio,poreU,epsVol")
    for line in lines[:header]:
        name, value = (s.strip() for s in line.split("=", 1))
        inputs[name] = value
    rows = [[float(x) for x in line.split(",")[1:]] for line in lines[header + 1:] if line]
    return inputs, np.array(rows)


@pytest.mark.parametrize("file", PATHS, ids=lambda p: p.stem)
def test_paths(file):
    inputs, expected = read_path_vector(file)
    number = lambda name: float(inputs[name])
    parameters = [number(n) for n in ("propm", "enu", "pkappa", "plamda", "pnvoid", "cohesion", "zFirst", "chi", "sm")]
    got = calvenor.simulate(parameters, inputs["path"], number("pStart"), number("eStart"), number("strainRange"),
                            test_type=int(inputs["testType"]) if inputs["path"] == "shear" else None,
                            points=int(inputs["nPoints"]), b=number("bValue"), z2=number("zSecond"),
                            fill=number("fill"))
    assert got.shape == (int(inputs["nPoints"]), 6)
    assert_same_bits(got, expected, file.name)


def read_calls(case):
    calls = [[float(x) for x in line.split()] for line in (case / "calls.txt").read_text().splitlines() if line.strip()]
    expected = []
    for line in (case / "expected.txt").read_text().splitlines():
        words = line.split()
        if len(words) < 3:
            continue
        if words[2] == "failed":
            expected.append(None)
        else:
            assert words[2] == "error" and words[4] == "diagnostics"
            expected.append((float(words[3]), [float(w) for w in words[5:]]))
    assert len(calls) == len(expected)
    return calls, expected


@pytest.mark.parametrize("kernel", calvenor.KERNELS)
@pytest.mark.parametrize("case", CASES, ids=lambda p: p.name)
def test_evaluations(case, kernel, copy_folder):
    """Each case's calls one by one, then again on a fresh copy with every run
    of consecutive calls that share their switches as one batch; with the
    scalar paths and every lane kernel."""
    calls, expected = read_calls(case)

    evaluator = calvenor.Evaluator(copy_folder(case, "single"))
    evaluator.kernel = kernel
    assert evaluator.kernel == kernel
    for k, (call, want) in enumerate(zip(calls, expected), start=1):
        if want is None:
            with pytest.raises(calvenor.LoadError):
                evaluator.evaluate(call[:9], call[9:])
            continue
        error, diagnostics = evaluator.evaluate(np.array(call[:9]), call[9:])
        assert isinstance(error, float) and diagnostics.shape == (11,)
        assert_same_bits([error, *diagnostics], [want[0], *want[1]], f"{case.name} call {k}")

    evaluator = calvenor.Evaluator(copy_folder(case, "batched"))
    evaluator.kernel = kernel
    start = 0
    while start < len(calls):
        end = start + 1
        switches = calls[start][9:]
        while end < len(calls) and np.array_equal(calls[end][9:], switches, equal_nan=True):
            end += 1
        wanted = expected[start:end]
        if any(w is None for w in wanted):
            # A failing load fails the whole batch; such calls only run one by one.
            assert all(w is None for w in wanted), case.name
            with pytest.raises(calvenor.LoadError):
                evaluator.evaluate_batch([c[:9] for c in calls[start:end]], switches)
        else:
            errors, diagnostics = evaluator.evaluate_batch([c[:9] for c in calls[start:end]], switches)
            assert errors.shape == (end - start,) and diagnostics.shape == (end - start, 11)
            assert_same_bits(errors, [w[0] for w in wanted], f"{case.name} batch {start + 1}-{end}")
            assert_same_bits(diagnostics, [w[1] for w in wanted], f"{case.name} batch {start + 1}-{end}")
        start = end
