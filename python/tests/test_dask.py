"""calvenor.dask on a LocalCluster of two worker processes on the loopback
interface, started and stopped here: bit identity with the local batch,
posterior, profile and multistart; a worker killed mid-run, or holding the
only copy of tests in memory; Ctrl-C; a test set that cannot be read."""

import _thread
import json
import os
import shutil
import signal
import threading
import time

import numpy as np
import pytest

import calvenor
from conftest import CLAY, SAND, assert_same_bits

distributed = pytest.importorskip("distributed")
import calvenor.dask as cluster_api  # noqa: E402

# Random sets over the default bounds; on the clay tests one of them (index
# 206) leaves rows unbracketed that the sets before it bracketed, so a chunk
# that starts with it must be evaluated again from the values before it.
RNG_SETS = 300
READING_SET = 206


def random_sets(count=RNG_SETS, seed=5):
    lower = np.array([p.lower for p in calvenor.PARAMETERS])
    upper = np.array([p.upper for p in calvenor.PARAMETERS])
    return lower + np.random.default_rng(seed).random((count, 9)) * (upper - lower)


@pytest.fixture(scope="module")
def client():
    cluster = distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1",
                                       dashboard_address=None, silence_logs=40)
    client = distributed.Client(cluster, timeout="60s")
    try:
        yield client
    finally:
        pids = list(client.run(os.getpid).values())
        client.close()
        cluster.close(timeout=30)
        # Nothing left running.
        deadline = time.monotonic() + 30
        while any(_alive(p) for p in pids) and time.monotonic() < deadline:
            time.sleep(0.1)
        assert not any(_alive(p) for p in pids)


def _alive(pid):
    try:
        with open(f"/proc/{pid}/stat") as f:
            return f.read().rsplit(")", 1)[1].split()[0] not in ("Z", "X")
    except FileNotFoundError:
        return False


def local_batches(folder, batches):
    evaluator = calvenor.Evaluator(folder)
    return [evaluator.evaluate_batch(b, (1, 0, 0)) for b in batches]


@pytest.mark.parametrize("chunk", [1, 7, 64, None])
def test_batches_are_the_local_batches_to_the_bit(client, chunk):
    sets = random_sets()
    batches = [sets[200:220], sets[:200], sets[220:][::-1]]
    expected = local_batches(CLAY, batches)
    for tests in (CLAY, calvenor.read_tests(CLAY)):
        evaluator = cluster_api.Evaluator(client, tests, chunk=chunk)
        for k, batch in enumerate(batches):
            errors, diagnostics = evaluator.evaluate_batch(batch, (1, 0, 0))
            assert_same_bits(errors, expected[k][0], f"chunk {chunk}, batch {k}: errors")
            assert_same_bits(diagnostics, expected[k][1], f"chunk {chunk}, batch {k}: diagnostics")
        if chunk == 1:
            # The chunk of the reading set was evaluated again from the exact values before it.
            assert evaluator.reruns >= 1
    # The one-call function, and the log-likelihoods, on the sand tests.
    sand = sets[:64]
    assert_same_bits(cluster_api.evaluate_batch(client, SAND, sand, chunk=chunk)[0],
                     calvenor.Evaluator(SAND).evaluate_batch(sand)[0])
    assert_same_bits(cluster_api.Evaluator(client, SAND, chunk=chunk).log_likelihood_batch(sand, "q=0.02"),
                     calvenor.Evaluator(SAND).log_likelihood_batch(sand, (0.02, 0, 0, 0)))


def test_posterior_profile_and_multistart_are_the_local_ones(client):
    calibration = SAND / "calvenor-calibration" / "calibration.json"
    options = dict(walkers=16, steps=6, seed=3)
    with pytest.warns(calvenor.PosteriorWarning, match="too short"):
        local = calvenor.posterior(SAND, calibration, **options)
    with pytest.warns(calvenor.PosteriorWarning):
        remote = cluster_api.posterior(client, SAND, calibration, chunk=3, **options)
    assert_same_bits(remote.chain, local.chain, "chain")
    assert_same_bits(remote.log_probability, local.log_probability, "log-probability")

    local = calvenor.profile(SAND, calibration, parameters=["propm"], points=6)
    remote = cluster_api.profile(client, SAND, calibration, parameters=["propm"], points=6)
    drop = {"seconds", "threads"}
    assert ({k: v for k, v in _json(remote).items() if k not in drop} ==
            {k: v for k, v in _json(local).items() if k not in drop})

    runs = cluster_api.multistart(client, SAND, seeds=[4, 5], max_evaluations=150)
    for seed, result in zip([4, 5], runs.results):
        alone = calvenor.calibrate(SAND, seed=seed, max_evaluations=150)
        assert_same_bits(result.parameters, alone.parameters, f"seed {seed}")
        assert result.error == alone.error and result.evaluations == alone.evaluations
        recorded = [{k: json.loads(r.json)[k] for k in ("dir", "files")} for r in (result, alone)]
        assert recorded[0] == recorded[1] and recorded[0]["files"]
    assert runs.labels == [4, 5] and runs.table().count("\n") == 3


def _json(result):
    j = json.loads(result.json)
    j["local"].pop("seconds")
    return j


def test_a_worker_killed_mid_run_changes_nothing(client):
    sets = random_sets(600, seed=11)
    expected = calvenor.Evaluator(CLAY).evaluate_batch(sets)
    evaluator = cluster_api.Evaluator(client, CLAY, chunk=20)
    outcome = {}
    run = threading.Thread(target=lambda: outcome.update(result=evaluator.evaluate_batch(sets)))
    run.start()
    deadline = time.monotonic() + 30
    while not any(client.processing().values()) and time.monotonic() < deadline:
        time.sleep(0.02)
    pids = client.run(os.getpid)
    victim = sorted(pids.values())[0]
    os.kill(victim, signal.SIGKILL)
    run.join(240)
    assert not run.is_alive() and "result" in outcome
    assert_same_bits(outcome["result"][0], expected[0], "errors")
    assert_same_bits(outcome["result"][1], expected[1], "diagnostics")
    client.wait_for_workers(2, timeout=60)
    assert victim not in client.run(os.getpid).values()

    # Tests in memory whose one copy dies with its worker are sent again.
    evaluator = cluster_api.Evaluator(client, calvenor.read_tests(CLAY), chunk=20)
    [holders] = client.who_has(evaluator._tests._scattered).values()
    victim = client.run(os.getpid, workers=list(holders))[holders[0]]
    os.kill(victim, signal.SIGKILL)
    errors, diagnostics = evaluator.evaluate_batch(sets)
    assert_same_bits(errors, expected[0], "errors, tests in memory")
    assert_same_bits(diagnostics, expected[1], "diagnostics, tests in memory")
    deadline = time.monotonic() + 60
    while victim in client.run(os.getpid).values() and time.monotonic() < deadline:
        time.sleep(0.1)
    client.wait_for_workers(2, timeout=60)


def test_ctrl_c_cancels_the_outstanding_chunks(client):
    evaluator = cluster_api.Evaluator(client, CLAY, chunk=4)
    timer = threading.Timer(1.0, _thread.interrupt_main)
    timer.start()
    with pytest.raises(KeyboardInterrupt):
        evaluator.evaluate_batch(random_sets(2000, seed=12))
    timer.cancel()

    def parts(dask_scheduler):
        return sum(1 for key in dask_scheduler.tasks if str(key).startswith("_part-"))

    deadline = time.monotonic() + 30
    while client.run_on_scheduler(parts) and time.monotonic() < deadline:
        time.sleep(0.1)
    assert client.run_on_scheduler(parts) == 0


def test_a_test_set_that_cannot_be_read_fails_once_with_the_readers_message(client, tmp_path):
    bad = tmp_path / "bad"
    shutil.copytree(SAND, bad)
    cluster_api.evaluate_batch(client, bad, random_sets(8))  # read while it could be: not kept for the next test set
    data = bad / "vornevResult" / "CD100.txt"
    data.write_text(data.read_text() + "0.5 oops\n")
    with pytest.raises(calvenor.LoadError) as local:
        calvenor.read_tests(bad)
    with pytest.raises(calvenor.LoadError) as remote:
        cluster_api.evaluate_batch(client, bad, random_sets(8))
    assert str(remote.value) == str(local.value) and remote.value.line == local.value.line
    with pytest.raises(calvenor.LoadError):
        cluster_api.multistart(client, bad, seeds=[1, 2], max_evaluations=100)
    # No calibration is sent before every folder has been checked.
    with pytest.raises(calvenor.LoadError):
        cluster_api.multistart(client, [SAND, bad], max_evaluations=100000)
    assert not client.run_on_scheduler(lambda dask_scheduler: [k for k in dask_scheduler.tasks
                                                               if str(k).startswith("_calibrate-")])
