"""The likelihood from Python (batch residuals, the core's log-likelihood),
calvenor.posterior with emcee, and the package's commands against the C++
command line."""

import json
import math
import subprocess
import sys

import numpy as np
import pytest

import calvenor
from conftest import BINARY, CLAY, SAND, SAND_SET, assert_same_bits

CALIBRATION = SAND / "calvenor-calibration" / "calibration.json"


def test_batch_residuals_and_the_likelihood_they_give():
    sets = np.array([SAND_SET] * 3) * np.array([[1.0], [1.02], [0.97]])
    sets[:, 1] = 0.3
    batch = calvenor.Evaluator(SAND)
    errors, _, residuals = batch.evaluate_batch(sets, residuals=True)
    quantities = batch.residual_quantities
    single = calvenor.Evaluator(SAND)
    for k, p in enumerate(sets):
        r = single.residuals(p)
        assert_same_bits(residuals[k], r.value, f"set {k}")
        assert list(r.quantity) == list(quantities) and r.error == errors[k]
    # The concentrated likelihood of docs/uncertainty.md, written out here, and
    # with a known sigma for q.
    likelihood = calvenor.log_likelihood(residuals, quantities)
    known = calvenor.log_likelihood(residuals, quantities, {"q": 0.05})
    for k in range(len(sets)):
        expected = expected_known = 0.0
        for q in np.unique(quantities):
            r = residuals[k][quantities == q]
            s, n = float(np.sum(r * r)), r.size
            expected += -n / 2 * (math.log(2 * math.pi * s / n) + 1)
            expected_known += (-n / 2 * math.log(2 * math.pi * 0.05 ** 2) - s / (2 * 0.05 ** 2) if q == "q"
                               else -n / 2 * (math.log(2 * math.pi * s / n) + 1))
        assert likelihood[k] == pytest.approx(expected, rel=1e-12)
        assert known[k] == pytest.approx(expected_known, rel=1e-12)
    assert_same_bits(calvenor.Evaluator(SAND).log_likelihood_batch(sets, "q=0.05"), known)
    # A set whose evaluation stops has no residuals (a row of NaN) and no likelihood.
    lower, upper = (np.array([getattr(p, b) for p in calvenor.PARAMETERS]) for b in ("lower", "upper"))
    sets = lower + np.random.default_rng(5).random((12, 9)) * (upper - lower)
    errors, _, residuals = calvenor.Evaluator(CLAY).evaluate_batch(sets, residuals=True)
    likelihood = calvenor.Evaluator(CLAY).log_likelihood_batch(sets)
    stopped = np.isnan(residuals).all(axis=1)
    assert stopped.any() and np.all(np.isinf(errors[stopped])) and np.all(likelihood[stopped] == -math.inf)

def test_posterior_is_seeded_stays_in_the_support_and_warns_when_short(tmp_path):
    options = dict(walkers=16, steps=12, seed=5)
    with pytest.warns(calvenor.PosteriorWarning, match="too short for a reliable autocorrelation time"):
        first = calvenor.posterior(SAND, CALIBRATION, **options)
    with pytest.warns(calvenor.PosteriorWarning):
        again = calvenor.posterior(calvenor.Evaluator(SAND, threads=1), CALIBRATION, **options)
    assert_same_bits(first.chain, again.chain, "chain on 1 thread")
    assert first.chain.shape == (12, 16, 7) and first.names == ["propm", "pkappa", "plamda", "pnvoid", "z", "chi", "sm"]
    settings = json.loads(CALIBRATION.read_text())["bounds"]
    for k, name in enumerate(first.names):
        assert settings[name]["lower"] <= first.chain[..., k].min() <= first.chain[..., k].max() <= settings[name]["upper"]
    assert np.all(np.isfinite(first.log_probability)) and 0 < np.mean(first.acceptance_fraction) < 1
    # A prior that excludes half the range of propm is respected.
    best = first.start.parameters[0]
    with pytest.warns(calvenor.PosteriorWarning):
        bounded = calvenor.posterior(SAND, CALIBRATION, prior=lambda t: 0.0 if t[0] <= best else -math.inf, **options)
    assert np.all(bounded.chain[..., 0] <= best)
    first.corner(tmp_path / "corner.png")
    assert (tmp_path / "corner.png").stat().st_size > 10000


def test_commands_of_the_package(tmp_path):
    # The Python profile writes the C++ command line's profile.json, to the bit.
    subprocess.run([str(BINARY), "profile", "--from", str(CALIBRATION), "--dir", str(SAND), "--parameters", "z",
                    "--points", "6", "--out", str(tmp_path / "cli"), "--quiet", "--no-plot"], check=True,
                   capture_output=True)
    run = subprocess.run([sys.executable, "-m", "calvenor", "profile", "--from", str(CALIBRATION), "--dir", str(SAND),
                          "--parameters", "z", "--points", "6", "--out", str(tmp_path / "py"), "--no-plot"],
                         check=True, capture_output=True, text=True)
    assert "z " in run.stdout and "profile interval" in run.stdout

    def record(folder):
        j = json.loads((folder / "profile.json").read_text())
        for d in (j, j["local"]):
            d.pop("seconds")
        j.pop("threads")
        return j
    assert record(tmp_path / "py") == record(tmp_path / "cli")
    # The parts of a profile refuse a side the plan does not have, and a side that is not the plan's.
    arguments = calvenor._profile_arguments(calvenor._start_from(CALIBRATION), ["z"], 0.95, 6, None, 0)
    plan = calvenor._core.profile_plan(calvenor.Evaluator(SAND), *arguments, None)
    with pytest.raises(IndexError):
        plan.chain_start(plan.chain_count)
    sides = [plan.chain_start(c) for c in range(plan.chain_count)]
    with pytest.raises(ValueError, match="chains: side 0"):
        calvenor._core.profile_finish(plan, [(99,) + sides[0][1:]] + sides[1:], 0.0)
    with pytest.raises(ValueError, match="chains: side 0"):
        calvenor._core.profile_finish(plan, sides[::-1], 0.0)

    run = subprocess.run([sys.executable, "-m", "calvenor", "posterior", "--from", str(CALIBRATION), "--dir", str(SAND),
                          "--walkers", "16", "--steps", "4", "--out", str(tmp_path / "post")],
                         capture_output=True, text=True)
    assert run.returncode == 0, run.stderr
    assert {p.name for p in (tmp_path / "post").iterdir()} == {"posterior.json", "posterior-chain.npz",
                                                              "posterior.png"}
    assert "autocorrelation time" in run.stdout and "too short" in run.stdout
    run = subprocess.run([sys.executable, "-m", "calvenor", "posterior", "--from", str(tmp_path / "none.json")],
                         capture_output=True, text=True)
    assert run.returncode != 0 and "none.json" in run.stderr
