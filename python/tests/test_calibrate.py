"""calvenor.calibrate against `calvenor calibrate` for the same settings and
seed, its progress function, Ctrl-C, and refused settings."""

import json
import math
import os
import signal
import subprocess
import threading

import numpy as np
import pytest

import calvenor
from conftest import BINARY, SAND, assert_same_bits

# What differs between two runs of the same calibration: where and when it ran.
CIRCUMSTANCES = {"dir", "seconds", "evaluationsPerSecond", "threads", "reports", "plots", "config", "files"}


def number(value):
    return float(value) if isinstance(value, str) else value


def command_line(folder, out, *options):
    subprocess.run([str(BINARY), "calibrate", "--dir", str(folder), "--out", str(out), "--quiet", "--no-plot",
                    *options], check=True, capture_output=True)
    return json.loads((out / "calibration.json").read_text())


@pytest.mark.parametrize("config, options, keywords", [
    ("", ["--seed", "7", "--max-evaluations", "300", "--threads", "1"],
     dict(seed=7, max_evaluations=300, threads=2)),
    ('algorithm = "de"\npopulation = 12\ngenerations = 6\npenalties = "off"\nseed = 99\nmax_evaluations = 400\n'
     "[parameters]\npropm = { lower = 0.8, upper = 1.8 }\nsm = 1.5\ncohesion = { upper = 10 }\n"
     "chi = { start = 0.3 }\n",
     [], dict(algorithm="de", population=12, generations=6, penalties=False, seed=99, max_evaluations=400,
              parameters={"propm": {"lower": 0.8, "upper": 1.8}, "sm": 1.5, "cohesion": {"upper": 10},
                          "chi": {"start": 0.3}})),
], ids=["defaults", "configured"])
def test_same_bits_as_the_command_line(config, options, keywords, copy_folder, tmp_path):
    folder = copy_folder(SAND)
    if config:
        (tmp_path / "fit.toml").write_text(config)
        options = ["--config", str(tmp_path / "fit.toml"), *options]
    expected = command_line(folder, tmp_path / "out", *options)

    seen = []
    result = calvenor.calibrate(copy_folder(SAND, "python"), progress=seen.append, **keywords)
    assert_same_bits(result.parameters, [number(v) for v in expected["parameters"].values()])
    assert_same_bits([result.error, result.best_during_search], [number(expected["error"]),
                                                                 number(expected["bestErrorDuringSearch"])])
    assert_same_bits(result.diagnostics, [number(v) for v in expected["diagnostics"]])
    assert_same_bits([result.measures[m] for m in calvenor.MEASURE_NAMES],
                     [number(expected["measures"][m]) for m in calvenor.MEASURE_NAMES])
    assert result.evaluations == expected["evaluations"] and not result.interrupted
    assert [h["best"] for h in result.history] == [number(h["best"]) for h in expected["history"]]
    # Every history point was reported to the progress function, the last one last.
    reported = [(p.phase, p.generation, p.evaluations, p.best) for p in seen]
    history = [(h["phase"], h["generation"], h["evaluations"], h["best"]) for h in result.history]
    assert set(history) <= set(reported) and reported[-1] == history[-1] and seen[-1].phase_end
    # The record as a whole, but for where and when it ran.
    ours = {k: v for k, v in json.loads(result.json).items() if k not in CIRCUMSTANCES}
    theirs = {k: v for k, v in expected.items() if k not in CIRCUMSTANCES}
    for record in (ours, theirs):
        for h in record["history"]:
            del h["seconds"]
        record.get("uncertainty", {}).pop("seconds", None)
    assert ours == theirs
    # The same data files were read, wherever they lay.
    assert [f["sha256"] for f in json.loads(result.json).get("files", [])] == \
        [f["sha256"] for f in expected.get("files", [])]
    assert result.by_name["sm"] == (1.5 if config else result.parameters[8])


def test_progress_stops_and_fails(copy_folder):
    folder = copy_folder(SAND)
    evaluator = calvenor.Evaluator(folder)
    calls = []

    def stop_at_third(progress):
        calls.append(progress)
        return len(calls) == 3

    result = calvenor.calibrate(evaluator, seed=1, max_evaluations=5000, progress=stop_at_third)
    assert result.interrupted and len(calls) == 3 and result.evaluations < 5000
    assert isinstance(calls[0], calvenor.Progress) and calls[0].phase == "cmaes"
    assert math.isfinite(result.error) and result.error == evaluator.evaluate(result.parameters, (1, 0, 0))[0]

    with pytest.raises(ZeroDivisionError):
        calvenor.calibrate(evaluator, seed=1, max_evaluations=5000, progress=lambda p: 1 / 0)
    # The evaluator is busy with the calibration: a callback may not use it.
    with pytest.raises(RuntimeError, match="in use"):
        calvenor.calibrate(evaluator, seed=1, max_evaluations=5000,
                           progress=lambda p: evaluator.evaluate(result.parameters))


def test_ctrl_c_keeps_the_best_so_far(copy_folder):
    timers = []

    def interrupt_soon(progress):
        if not timers:  # the search is running: Ctrl-C in a moment, while the core works without the GIL
            timers.append(threading.Timer(0.3, os.kill, (os.getpid(), signal.SIGINT)))
            timers[0].start()

    with pytest.raises(calvenor.CalibrationInterrupted) as e:
        calvenor.calibrate(copy_folder(SAND), seed=3, max_evaluations=1000000, progress=interrupt_soon)
    assert isinstance(e.value, KeyboardInterrupt)
    result = e.value.result
    assert result.interrupted and 0 < result.evaluations < 1000000 and math.isfinite(result.error)
    assert json.loads(result.json)["interrupted"] is True


def test_refused_settings():
    tests = calvenor.read_tests(SAND)
    refused = [
        (ValueError, "unknown parameter 'M'", dict(parameters={"M": 1.0})),
        (ValueError, "parameters['propm']['lower']: lower (1.9) is above upper (1.8)",
         dict(parameters={"propm": {"lower": 1.9, "upper": 1.8}})),
        (ValueError, "parameters['pkappa']['start']: start 0.5 is outside the bounds [0.002, 0.1]",
         dict(parameters={"pkappa": {"start": 0.5}})),
        (ValueError, "parameters['enu']: give either fixed or start/lower/upper",
         dict(parameters={"enu": {"fixed": 0.3, "lower": 0.1}})),
        (ValueError, "unknown field 'step'", dict(parameters={"chi": {"step": 2}})),
        (TypeError, "parameters['chi']['start']: expected a number", dict(parameters={"chi": {"start": "low"}})),
        (ValueError, "algorithm: expected one of cmaes", dict(algorithm="simplex")),
        (ValueError, "population: 3 is out of range", dict(population=3)),
        (ValueError, "population: sade needs at least 7", dict(algorithm="sade", population=6)),
        (ValueError, "seed", dict(seed=-1)),
        (TypeError, "penalties: expected True or False", dict(penalties="off")),
        (TypeError, "progress", dict(progress=3)),
    ]
    for kind, text, keywords in refused:
        with pytest.raises(kind) as e:
            calvenor.calibrate(tests, max_evaluations=50, **keywords)
        assert text in str(e.value), (text, str(e.value))
    with pytest.raises(TypeError, match="source"):
        calvenor.calibrate(3)
