#!/usr/bin/python3
"""One-at-a-time sensitivity of simulated element tests, for docs/model.md.

Runs `calvenor simulate` for a representative clay and prints the Markdown
tables quoted in docs/model.md: the effect of the number of points (the strain
step), and the relative changes from changing one parameter at a time.
Usage: /usr/bin/python3 docs/sensitivity.py [path/to/calvenor]
"""
import math
import struct
import subprocess
import sys

EXE = sys.argv[1] if len(sys.argv) > 1 else "build/calvenor"
ORDER = ["propm", "enu", "pkappa", "plamda", "pnvoid", "cohesion", "z", "chi", "sm"]
BASE = dict(propm=1.2, enu=0.3, pkappa=0.02, plamda=0.12, pnvoid=2.3, cohesion=0.0, z=2.2, chi=0.2, sm=1.0)
P0 = 100.0  # kPa, start of every path


def f32(x):
    return struct.unpack("f", struct.pack("f", x))[0]


def simulate(path, params, e0, strain_range, test_type=None, points=3000):
    args = [EXE, "simulate", "--path", path, "--p0", repr(P0), "--e0", repr(e0),
            "--strain-range", repr(strain_range), "--points", str(points)]
    if test_type is not None:
        args += ["--type", str(test_type)]
    args += [repr(params[k]) for k in ORDER]
    out = subprocess.run(args, capture_output=True, text=True, check=True).stdout
    # columns: point, epsAxial, qDev, pMean, voidRatio, poreU, epsVol
    return [list(map(float, line.split(","))) for line in out.split()[1:]]


def ps_of(p):
    return f32(math.exp((p["pnvoid"] - f32(p["z"])) / p["plamda"]) - 1.0)


def e_ncl(pressure, p):
    """Void ratio of the isotropic reference line (state parameter 0) at pressure."""
    ps = ps_of(p)
    return f32(p["z"]) - p["plamda"] * math.log((pressure + ps) / f32(ps + 1.0))


def e_ocr4(p):
    """Void ratio at 100 kPa on the unloading line from the reference line at 400 kPa."""
    ps = ps_of(p)
    return e_ncl(400.0, p) + p["pkappa"] * math.log((400.0 + ps) / (P0 + ps))


def at_strain(rows, eps, col):
    for a, b in zip(rows, rows[1:]):
        if a[1] <= eps < b[1]:
            return a[col] + (b[col] - a[col]) / (b[1] - a[1]) * (eps - a[1])
    return float("nan")


def e_at_pressure(rows, pressure):
    for a, b in zip(rows, rows[1:]):
        if a[3] <= pressure < b[3]:
            return a[4] + (b[4] - a[4]) / (b[3] - a[3]) * (pressure - a[3])
    return float("nan")


def normally_consolidated(p, e0):
    u = simulate("shear", p, e0, 0.15, 1)
    d = simulate("shear", p, e0, 0.15, 3)
    c = simulate("shear", p, e0, 0.15, 2)
    k = simulate("shear", p, e0, 0.05, 4)
    i = simulate("isotropic", p, e0, 0.04)
    return {
        "U q peak": max(r[2] for r in u),
        "U q end": u[-1][2],
        "U u end": u[-1][5],
        "D q 0.5 %": at_strain(d, 0.005, 2),
        "D q end": d[-1][2],
        "D εv end": d[-1][6],
        "C εv end": c[-1][6],
        "K0 p end": k[-1][3],
        "I e drop": e0 - e_at_pressure(i, 400.0),
    }


def overconsolidated(p, e0):
    d = simulate("shear", p, e0, 0.15, 3)
    u = simulate("shear", p, e0, 0.15, 1)
    i = simulate("isotropic", p, e0, 0.04)
    return {
        "D q 0.5 %": at_strain(d, 0.005, 2),
        "D q peak": max(r[2] for r in d),
        "D εv max": max(r[6] for r in d[1:]),
        "D εv end": d[-1][6],
        "U q peak": max(r[2] for r in u),
        "U u end": u[-1][5],
        "I e drop": e0 - e_at_pressure(i, 400.0),
    }


CHANGES = [  # (label, parameter, new value, e0 follows the changed reference line)
    ("M 1.2 → 1.32", "propm", 1.32, False),
    ("ν 0.3 → 0.33", "enu", 0.33, False),
    ("κ 0.02 → 0.022", "pkappa", 0.022, False),
    ("λ 0.12 → 0.132", "plamda", 0.132, False),
    ("N 2.3 → 2.32", "pnvoid", 2.32, False),
    ("c 0 → 5 kPa", "cohesion", 5.0, False),
    ("Z 2.2 → 2.22", "z", 2.22, False),
    ("χ 0.2 → 0.22", "chi", 0.22, False),
    ("m 1.0 → 1.1", "sm", 1.1, False),
    ("κ 0.02 → 0.022, e0 moved", "pkappa", 0.022, True),
    ("λ 0.12 → 0.132, e0 moved", "plamda", 0.132, True),
    ("N 2.3 → 2.32, e0 moved", "pnvoid", 2.32, True),
    ("Z 2.2 → 2.22, e0 moved", "z", 2.22, True),
]


def table(title, measure, start):
    base = measure(BASE, start(BASE))
    keys = list(base)
    print(f"{title}\n")
    print("| change | " + " | ".join(keys) + " |")
    print("|---|" + "---:|" * len(keys))
    print("| base value | " + " | ".join(f"{base[k]:.4g}" for k in keys) + " |")
    for label, name, value, moved in CHANGES:
        p = dict(BASE)
        p[name] = value
        m = measure(p, start(p) if moved else start(BASE))
        cells = []
        for k in keys:
            r = (m[k] - base[k]) / abs(base[k]) * 100.0
            cells.append("n/r" if math.isnan(r) else f"{r:+.1f}")
        print(f"| {label} | " + " | ".join(cells) + " |")
    print()


def step_table():
    e0 = e_ncl(P0, BASE)
    runs = {}
    for n in (100000, 3000, 1000, 300, 100, 30, 11):
        u = simulate("shear", BASE, e0, 0.15, 1, n)
        d = simulate("shear", BASE, e0, 0.15, 3, n)
        runs[n] = [max(r[2] for r in u), u[-1][2], u[-1][5], d[-1][2], d[-1][6]]
    ref = runs[3000]
    digits = [2, 3, 3, 3, 6]
    print("| points | step | undrained peak $q$ | undrained $q$ at 15 % | undrained $u$ at 15 % "
          "| drained $q$ at 15 % | drained $\\varepsilon_v$ at 15 % |")
    print("|---:|---:|---:|---:|---:|---:|---:|")
    for n, values in runs.items():
        cells = []
        for v, r, k in zip(values, ref, digits):
            change = (v - r) / abs(r) * 100.0
            if n == 3000:
                cells.append(f"**{v:.{k}f}**")
            elif abs(change) > 100.0:
                cells.append(f"{v:.{k}f}")
            else:
                cells.append(f"{v:.{k}f} ({change:+.2g} %)".replace("-", "−"))
        label = f"**{n}**" if n == 3000 else str(n)
        print(f"| {label} | {0.15 / (n - 1):.2g} | " + " | ".join(cells) + " |")
    print()


def main():
    print(f"e0 (normally consolidated, 100 kPa) = {e_ncl(P0, BASE):.6f}; "
          f"e0 (OCR 4) = {e_ocr4(BASE):.6f}; ps = {ps_of(BASE):.6f} kPa\n")
    step_table()
    table("Normally consolidated, p0 = 100 kPa", normally_consolidated, lambda p: e_ncl(P0, p))
    table("Overconsolidated (OCR 4), p0 = 100 kPa", overconsolidated, e_ocr4)


if __name__ == "__main__":
    main()
