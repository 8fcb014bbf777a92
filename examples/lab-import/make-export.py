#!/usr/bin/python3
"""Writes export/ in the style of a laboratory's acquisition software from the
tests of `calvenor synth --config synth.toml --out SYNTH`:

  export/CU-series.csv   undrained series: UTF-8 with byte-order mark, CR LF,
                         ';' between cells, decimal commas, a [Programme] and a
                         [Data] section, total stresses, excess pore pressure
  export/CD-200.csv      one drained test per file: a preamble, ',' between
  export/CD-400.csv      cells, units in the headers, deviator stress and cell
                         pressure, absolute pore pressure, volume into the
                         specimen (negative when it contracts), one lost reading

Usage: make-export.py SYNTH
"""
import sys
from pathlib import Path

synth = Path(sys.argv[1]) / "vornevResult"
out = Path(__file__).resolve().parent / "export"
out.mkdir(exist_ok=True)


def rows(name):
    return [[float(v) for v in line.split()] for line in (synth / f"{name}.txt").read_text().splitlines()]


def comma(value, digits):
    return f"{value:.{digits}f}".replace(".", ",")


BACK_CU = 300.0
lines = [
    "# Triaxial series TX-24-07, isotropically consolidated undrained compression (CIU)",
    "# Clay, borehole B3, 6.2 m; exported by the acquisition software, strain rate 0.05 %/min",
    "[Programme]",
    "Test;Type;p'0 (kPa);e0;Back pressure (kPa);Cell pressure (kPa)",
]
for name, pc in (("CU100", 100), ("CU200", 200), ("CU400", 400)):
    lines.append(f"{name};CIU;50;1,9494;{BACK_CU:.0f};{BACK_CU + pc:.0f}")
lines += ["", "[Data]", "Test;Time;Axial strain;Axial stress;Radial stress;Excess PWP", ";s;%;kPa;kPa;kPa"]
for name, pc in (("CU100", 100), ("CU200", 200), ("CU400", 400)):
    radial = BACK_CU + pc
    for strain, q, p, ev, u in rows(name):
        percent = strain * 100.0
        lines.append(
            f"{name};{comma(percent / 0.05 * 60.0, 0)};{comma(percent, 4)};{comma(radial + q, 1)};"
            f"{comma(radial, 1)};{comma(u, 1)}"
        )
(out / "CU-series.csv").write_bytes(b"\xef\xbb\xbf" + ("\r\n".join(lines) + "\r\n").encode())

BACK_CD = 200.0
VOLUME = 98.17  # cm3, 50 mm diameter, 100 mm height
for name, pc in (("CD200", 200), ("CD400", 400)):
    lines = [
        f"Project,TX-24-07",
        f"Specimen,{name},B3 6.2 m",
        "Stage,drained shear (CID),0.01 %/min",
        "",
        "Time (min),Axial strain (%),Deviator stress (kPa),Cell pressure (kPa),Pore pressure (kPa),Volume in (cm3)",
    ]
    for k, (strain, q, p, ev, u) in enumerate(rows(name)):
        percent = strain * 100.0
        volume = "" if k == 137 else f"{-ev * VOLUME:.3f}"
        lines.append(
            f"{percent / 0.01:.1f},{percent:.4f},{q:.1f},{BACK_CD + pc:.1f},{BACK_CD:.1f},{volume}"
        )
    (out / f"{name.replace('CD', 'CD-')}.csv").write_text("\n".join(lines) + "\n")
