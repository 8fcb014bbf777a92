#!/usr/bin/python3
"""Coverage of calvenor's confidence intervals on synthetic replicas.

For each design, every replica is a synthetic test set made by `calvenor synth`
from the same true parameters with additive Gaussian noise (the noise model
the likelihood assumes) and its own seed; it is calibrated with the default
`calvenor calibrate` (which runs the local analysis) and profiled with
`calvenor profile`. The study counts how often each reported interval holds
the true value, separately for the parameters the analysis calls determined,
and how often a parameter is called not determined.

Designs:
  clay     the synthetic clay example: undrained and drained tests, isotropically
           consolidated from 50 kPa to 100, 200 and 400 kPa, 31 rows each
  drained  a poorer design: the three drained tests only, none consolidated
           (sheared from their list state)

Usage (from the repository root, after building build/calvenor):
  /usr/bin/python3 bench/coverage_study.py [--replicas 25] [--designs clay,drained]
      [--noise 0.02] [--work /tmp/calvenor-coverage] [--calvenor build/calvenor]

Each replica's results stay in WORK/DESIGN/SEED/ (calibration.json,
profile.json); a rerun reuses them, so an interrupted study resumes. The
table is printed as Markdown.
"""

import argparse
import json
import os
import subprocess
import sys
import time

TRUTH = {"propm": 1.2, "enu": 0.3, "pkappa": 0.02, "plamda": 0.12, "pnvoid": 2.3,
         "cohesion": 0.0, "z": 2.2, "chi": 0.2, "sm": 1.0}
FREE = ["propm", "pkappa", "plamda", "pnvoid", "z", "chi", "sm"]


def design_toml(name, noise, seed):
    lines = [f"noise = {noise}", f"seed = {seed}", 'noise_model = "additive"', "", "[parameters]"]
    lines += [f"{k} = {v}" for k, v in TRUTH.items()]
    if name == "clay":
        tests = [(t, p, 50.0) for t in (1, 3) for p in (100.0, 200.0, 400.0)]
    elif name == "drained":
        tests = [(3, p, p) for p in (100.0, 200.0, 400.0)]
    else:
        raise SystemExit(f"unknown design {name}")
    # Every specimen starts on the normal compression line of the true
    # parameters at p_initial (synth's default initial void ratio).
    for i, (t, p, p0) in enumerate(tests):
        lines += ["", "[[test]]", f'name = "T{i + 1}-{t}-{int(p)}"', f"type = {t}", f"p_initial = {p0}",
                  f"p_consolidation = {p}", "strain_max = 0.15", "rows = 31"]
    return "\n".join(lines) + "\n"


def run(args, log):
    started = time.time()
    done = subprocess.run(args, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    with open(log, "a") as f:
        f.write("$ " + " ".join(args) + "\n" + done.stdout + "\n")
    if done.returncode != 0:
        raise SystemExit(f"failed ({done.returncode}): {' '.join(args)}; see {log}")
    return time.time() - started


def replica(calvenor, work, design, seed, noise):
    folder = os.path.join(work, design, str(seed))
    calibration = os.path.join(folder, "cal", "calibration.json")
    profile = os.path.join(folder, "cal", "profile.json")
    times = os.path.join(folder, "seconds.json")
    if os.path.exists(profile) and os.path.exists(times):
        with open(times) as f:
            seconds = json.load(f)
    else:
        os.makedirs(folder, exist_ok=True)
        config = os.path.join(folder, "design.toml")
        with open(config, "w") as f:
            f.write(design_toml(design, noise, seed))
        log = os.path.join(folder, "log.txt")
        open(log, "w").close()
        seconds = {}
        seconds["synth"] = run([calvenor, "synth", "--config", config, "--out", folder, "--no-plot"], log)
        seconds["calibrate"] = run([calvenor, "calibrate", "--dir", folder, "--seed", str(seed), "--quiet",
                                    "--no-plot", "--out", os.path.join(folder, "cal")], log)
        seconds["profile"] = run([calvenor, "profile", "--from", calibration, "--quiet", "--no-plot"], log)
        with open(times, "w") as f:
            json.dump(seconds, f)
    with open(calibration) as f:
        c = json.load(f)
    with open(profile) as f:
        p = json.load(f)
    return c, p, seconds


def covers(interval, value):
    return interval[0] <= value <= interval[1]


def study(calvenor, work, design, replicas, noise):
    rows = {name: {"lin_det": 0, "lin_cov": 0, "lin_und": 0, "lin_und_cov": 0, "lin_bound": 0, "lin_bent": 0,
                   "lin_bent_cov": 0,
                   "pro_closed": 0, "pro_cov": 0, "pro_open": 0, "pro_open_cov": 0, "lin_all_cov": 0,
                   "pro_all_cov": 0} for name in FREE}
    totals = {"synth": 0.0, "calibrate": 0.0, "profile": 0.0, "analysis": 0.0, "search": 0.0}
    for seed in range(1, replicas + 1):
        c, p, seconds = replica(calvenor, work, design, seed, noise)
        for k, v in seconds.items():
            totals[k] += v
        u = c["uncertainty"]
        totals["analysis"] += u["seconds"]
        totals["search"] += c["seconds"]
        for name in FREE:
            truth = TRUTH[name]
            lin = u["parameters"][name]
            r = rows[name]
            r["lin_all_cov"] += covers(lin["interval"], truth)
            if not lin["identifiable"]:
                r["lin_und"] += 1
                r["lin_und_cov"] += covers(lin["interval"], truth)
            elif lin["bound"] is not None:
                r["lin_bound"] += 1
            elif "bends" in lin["verdict"]:
                r["lin_bent"] += 1
                r["lin_bent_cov"] += covers(lin["interval"], truth)
            else:
                r["lin_det"] += 1
                r["lin_cov"] += covers(lin["interval"], truth)
            pro = p["parameters"][name]
            r["pro_all_cov"] += covers(pro["interval"], truth)
            if pro["open_below"] or pro["open_above"]:
                r["pro_open"] += 1
                r["pro_open_cov"] += covers(pro["interval"], truth)
            else:
                r["pro_closed"] += 1
                r["pro_cov"] += covers(pro["interval"], truth)
        print(f"{design} replica {seed}: calibrate {seconds['calibrate']:.1f} s, profile {seconds['profile']:.1f} s",
              file=sys.stderr, flush=True)
    return rows, totals


def share(hit, n):
    return f"{hit}/{n} ({100.0 * hit / n:.0f} %)" if n else "–"


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--replicas", type=int, default=25)
    parser.add_argument("--designs", default="clay,drained")
    parser.add_argument("--noise", type=float, default=0.02)
    parser.add_argument("--work", default="/tmp/calvenor-coverage")
    parser.add_argument("--calvenor", default="build/calvenor")
    a = parser.parse_args()
    calvenor = os.path.abspath(a.calvenor)
    started = time.time()
    for design in a.designs.split(","):
        rows, totals = study(calvenor, a.work, design, a.replicas, a.noise)
        print(f"\n### Design `{design}`: {a.replicas} replicas, additive noise {a.noise}, level 0.95\n")
        print("| parameter | truth | linearised: well determined or correlated, covering "
              "| linearised: the model bends, covering | not determined | at a bound "
              "| profile: closed, covering | profile: open on a side, covering |")
        print("|---|---|---|---|---|---|---|---|")
        for name in FREE:
            r = rows[name]
            print(f"| {name} | {TRUTH[name]} | {share(r['lin_cov'], r['lin_det'])} "
                  f"| {share(r['lin_bent_cov'], r['lin_bent'])} | {r['lin_und']} "
                  f"| {r['lin_bound']} | {share(r['pro_cov'], r['pro_closed'])} "
                  f"| {share(r['pro_open_cov'], r['pro_open'])} |")
        n = a.replicas
        print(f"\nPer replica on average: calibrate {totals['calibrate'] / n:.1f} s (search {totals['search'] / n:.1f} s, "
              f"local analysis {totals['analysis'] / n:.2f} s), profile {totals['profile'] / n:.1f} s.")
    print(f"\nStudy run time {time.time() - started:.0f} s.", file=sys.stderr)


if __name__ == "__main__":
    main()
