"""Shared fixtures of the calvenor package tests: where the reference vectors,
the examples and the command line are, and bitwise comparison."""

import os
import pathlib
import shutil

import numpy as np
import pytest

SOURCE = pathlib.Path(os.environ.get("CALVENOR_SOURCE_DIR", pathlib.Path(__file__).resolve().parents[2]))
SHARED = pathlib.Path(os.environ.get("CALVENOR_SHARED_DIR", SOURCE.parent / "shared"))
BINARY = pathlib.Path(os.environ.get("CALVENOR_BINARY", SOURCE / "build" / "calvenor"))
SAND = SOURCE / "examples" / "sand-drained"
CLAY = SOURCE / "examples" / "synthetic-clay"

# A parameter set the sand tests complete with (the README's example).
SAND_SET = [1.25, 0.3, 0.005, 0.03, 0.85, 0.0, 0.83, 0.5, 1.0]


def bits(values):
    """The bit patterns of float64 values, every NaN counted as one."""
    a = np.array(values, dtype=np.float64)
    b = a.view(np.uint64).copy()
    b[np.isnan(a)] = np.uint64(0x7FF8000000000000)
    return b


def assert_same_bits(got, expected, what=""):
    got_bits, expected_bits = bits(got), bits(expected)
    assert got_bits.shape == expected_bits.shape, what
    wrong = np.flatnonzero(got_bits.ravel() != expected_bits.ravel())
    assert wrong.size == 0, (f"{what}: {wrong.size} values differ, first at flat index {wrong[0]}: "
                             f"{np.ravel(got)[wrong[0]]!r} != {np.ravel(expected)[wrong[0]]!r}")


@pytest.fixture
def copy_folder(tmp_path):
    """Copies a host folder into a fresh temporary one (runs may write reports)."""
    def copy(source, name=None):
        target = tmp_path / (name or pathlib.Path(source).name)
        shutil.copytree(source, target)
        for path in [target, *target.rglob("*")]:
            path.chmod(path.stat().st_mode | 0o600 | (0o100 if path.is_dir() else 0))
        return target
    return copy
