"""Posterior sampling of the free parameters with emcee: one ensemble step is
one batch of log-likelihoods from the core (docs/uncertainty.md)."""

import json
import logging
import math
import os
import warnings
from dataclasses import dataclass, field

import numpy as np

from . import _core
from ._multistart import is_path


class PosteriorWarning(UserWarning):
    """The chain is too short for a reliable autocorrelation time (emcee's AutocorrError)."""


@dataclass(frozen=True)
class Start:
    """Where a posterior or profile run starts: the best set, the settings of the
    nine parameters (start, lower, upper, fixed), the penalties and the known
    noise (q, p, ev, u; 0: unknown), as a calibration left them."""

    parameters: tuple
    settings: tuple
    penalties: bool = True
    noise: tuple = (0.0, 0.0, 0.0, 0.0)
    dir: str = ""
    tests: tuple = ()

    @property
    def free(self):
        return [i for i, s in enumerate(self.settings) if not s[3]]


def start_from(calibration):
    """A :class:`Start` from a calibration.json path or a CalibrationResult."""
    if isinstance(calibration, Start):
        return calibration
    if is_path(calibration):
        record = _core.read_calibration(os.fspath(calibration))
        return Start(tuple(record["parameters"]), tuple(tuple(s) for s in record["settings"]), record["penalties"],
                     tuple(record["noise"]), record["dir"], tuple(tuple(t) for t in record["tests"]))
    if hasattr(calibration, "settings") and hasattr(calibration, "parameters"):
        names = _core.PARAMETER_NAMES
        settings = tuple((s["start"], s["lower"], s["upper"], bool(s["fixed"]))
                         for s in (calibration.settings[n] for n in names))
        return Start(tuple(float(v) for v in calibration.parameters), settings, bool(calibration.penalties))
    raise TypeError("calibration: expected the path of a calibration.json, a CalibrationResult or a Start, "
                    f"got {type(calibration).__name__}")


def noise_tuple(noise, default=(0.0, 0.0, 0.0, 0.0)):
    """Known noise as four standard deviations (q, p, ev, u; 0: unknown): None
    (the default), "q=0.01,ev=0.02", a dict quantity -> sigma, or four values."""
    if noise is None:
        return tuple(default)
    return _core.noise_tuple(noise)


@dataclass(repr=False, eq=False)
class Posterior:
    """A posterior sample of the free parameters.

    ``names`` (the free parameters, host order), ``chain`` (steps, walkers,
    len(names)) in parameter units, ``log_probability`` (steps, walkers),
    ``acceptance_fraction`` (walkers,), ``autocorrelation_time`` (per name;
    emcee's estimate, unreliable when ``autocorrelation_reliable`` is False,
    which was warned about), ``start`` (the calibration it started from),
    ``noise``, ``seed``, ``evaluations``.
    """

    names: list
    chain: np.ndarray
    log_probability: np.ndarray
    acceptance_fraction: np.ndarray
    autocorrelation_time: np.ndarray
    autocorrelation_reliable: bool
    start: Start
    noise: tuple
    seed: int
    evaluations: int
    notes: list = field(default_factory=list)

    def burn_in(self):
        """Steps discarded by samples(): twice the longest autocorrelation time,
        at most half the chain."""
        steps = self.chain.shape[0]
        tau = np.nanmax(self.autocorrelation_time) if np.isfinite(self.autocorrelation_time).any() else math.inf
        return int(min(steps // 2, 2 * math.ceil(tau))) if math.isfinite(tau) else steps // 2

    def samples(self, burn=None, thin=1):
        """The chain after `burn` steps (default burn_in()), every `thin`-th step,
        flattened to (n, len(names))."""
        burn = self.burn_in() if burn is None else int(burn)
        return self.chain[burn::thin].reshape(-1, len(self.names))

    def summary(self, level=0.95, burn=None):
        """Per name: median and the central interval at `level` of the samples."""
        s = self.samples(burn)
        lo, mid, hi = np.quantile(s, [(1 - level) / 2, 0.5, (1 + level) / 2], axis=0)
        return {n: {"median": float(mid[k]), "interval": [float(lo[k]), float(hi[k])],
                    "autocorrelation_time": float(self.autocorrelation_time[k])}
                for k, n in enumerate(self.names)}

    def corner(self, path=None, burn=None, bins=30):
        """A corner plot of the samples (matplotlib): histograms on the diagonal,
        pairs below it, the calibration's best marked. Saved to `path` if given;
        returns the figure."""
        return corner_plot(self.samples(burn), self.names,
                           truths=[self.start.parameters[_core.PARAMETER_NAMES.index(n)] for n in self.names],
                           path=path, bins=bins)

    def to_json(self, level=0.95):
        """posterior.json: the settings of the run and summary(level); values
        that are not finite (an autocorrelation time of a too short chain) as null."""
        def finite(x):
            if isinstance(x, dict):
                return {k: finite(v) for k, v in x.items()}
            if isinstance(x, (list, tuple)):
                return [finite(v) for v in x]
            if isinstance(x, float) and not math.isfinite(x):
                return None
            return x
        return json.dumps(finite({
            "names": self.names, "walkers": int(self.chain.shape[1]), "steps": int(self.chain.shape[0]),
            "seed": self.seed, "evaluations": self.evaluations, "burn_in": self.burn_in(),
            "acceptance_fraction": float(np.mean(self.acceptance_fraction)),
            "autocorrelation_reliable": self.autocorrelation_reliable,
            "noise": dict(zip(_core.QUANTITY_NAMES, self.noise)), "level": level,
            "parameters": self.summary(level), "notes": self.notes,
        }), indent=2, allow_nan=False) + "\n"

    def __repr__(self):
        return (f"<calvenor.Posterior {self.chain.shape[1]} walkers x {self.chain.shape[0]} steps of "
                f"{', '.join(self.names)}; acceptance {np.mean(self.acceptance_fraction):.3f}>")


def corner_plot(samples, names, truths=None, path=None, bins=30):
    """A corner plot of samples (n, p) with matplotlib; returns the figure."""
    import matplotlib
    if path is not None and matplotlib.get_backend().lower() not in ("agg", "pdf", "svg", "ps", "cairo"):
        matplotlib.use("Agg", force=True)
    import matplotlib.pyplot as plt

    p = len(names)
    fig, axes = plt.subplots(p, p, figsize=(2.2 * p + 1, 2.2 * p + 1), squeeze=False)
    for i in range(p):
        for j in range(p):
            ax = axes[i, j]
            if j > i:
                ax.set_visible(False)
                continue
            if i == j:
                ax.hist(samples[:, i], bins=bins, histtype="step", color="k")
                ax.set_yticks([])
                if truths is not None:
                    ax.axvline(truths[i], color="tab:red", lw=1)
            else:
                ax.hist2d(samples[:, j], samples[:, i], bins=bins, cmap="Greys")
                if truths is not None:
                    ax.plot(truths[j], truths[i], "s", color="tab:red", ms=4)
            if i == p - 1:
                ax.set_xlabel(names[j])
            else:
                ax.set_xticklabels([])
            if j == 0 and i > 0:
                ax.set_ylabel(names[i])
            elif j > 0:
                ax.set_yticklabels([])
    fig.tight_layout()
    if path is not None:
        fig.savefig(path, dpi=110)
        plt.close(fig)
    return fig


def sample(batch, start, *, walkers=None, steps=500, seed=1, noise=None, prior=None, spread=1e-3, progress=False):
    """The sampler behind calvenor.posterior and calvenor.dask.posterior:
    `batch(sets, noise)` gives the log-likelihoods of sets (K, 9)."""
    import emcee

    free = start.free
    if not free:
        raise ValueError("no free parameter to sample")
    p = len(free)
    walkers = max(2 * p + 2, 32) if walkers is None else int(walkers)
    if walkers < 2 * p or walkers % 2:
        raise ValueError(f"walkers: expected an even number of at least {2 * p} (twice the free parameters), got {walkers}")
    steps = int(steps)
    if steps < 1:
        raise ValueError(f"steps: expected at least 1, got {steps}")
    if prior is not None and not callable(prior):
        raise TypeError("prior: expected a callable (free parameters -> log density) or None")
    sigma = noise_tuple(noise, start.noise)
    lower = np.array([start.settings[i][1] for i in free])
    upper = np.array([start.settings[i][2] for i in free])
    base = np.array(start.parameters, dtype=np.float64)
    names = [_core.PARAMETER_NAMES[i] for i in free]
    evaluations = [0]

    def full_sets(theta):
        sets = np.tile(base, (theta.shape[0], 1))
        sets[:, free] = theta
        return sets

    def log_prior(theta):
        """Uniform within the bounds (and, with the penalties, where no penalty
        factor penalises), times exp(prior(theta))."""
        theta = np.atleast_2d(theta)
        lp = np.where(np.all((theta >= lower) & (theta <= upper), axis=1), 0.0, -np.inf)
        sets = full_sets(theta)
        if start.penalties:
            lp[~_core.admissible(sets)] = -np.inf
        if prior is not None:
            for k in np.flatnonzero(np.isfinite(lp)):
                lp[k] += float(prior(theta[k].copy()))
        return lp, sets

    def log_probability(theta):
        lp, sets = log_prior(theta)
        inside = np.flatnonzero(np.isfinite(lp))
        if inside.size:
            ll = np.asarray(batch(sets[inside], sigma), dtype=np.float64)
            evaluations[0] += inside.size
            lp[inside] += np.where(np.isnan(ll), -np.inf, ll)
        return lp

    # Walkers in a small ball around the best set, where the prior is not 0;
    # those whose likelihood is 0 (the model has holes) are drawn again.
    rng = np.random.default_rng(seed)
    centre = np.clip((base[free] - lower) / (upper - lower), spread, 1 - spread)

    def draw():
        for _ in range(10000):
            theta = lower + np.clip(centre + spread * rng.standard_normal(p), 0.0, 1.0) * (upper - lower)
            if np.isfinite(log_prior(theta)[0][0]):
                return theta
        raise ValueError("no start for the walkers: the prior is 0 around the calibration's best set")

    initial = np.array([draw() for _ in range(walkers)])
    values = log_probability(initial)
    for _ in range(20):
        again = np.flatnonzero(~np.isfinite(values))
        if again.size == 0:
            break
        initial[again] = [draw() for _ in again]
        values[again] = log_probability(initial[again])
    if not np.all(np.isfinite(values)):
        raise ValueError("no start for the walkers: the likelihood is 0 around the calibration's best set")
    sampler = emcee.EnsembleSampler(walkers, p, log_probability, vectorize=True)
    sampler.random_state = np.random.RandomState(seed).get_state()
    sampler.run_mcmc(emcee.State(initial, log_prob=values), steps, progress=progress)
    notes = []
    with np.errstate(invalid="ignore", divide="ignore"):
        try:
            tau = sampler.get_autocorr_time()
            detail = None if np.all(np.isfinite(tau)) else "a parameter did not move in some walker's chain."
        except emcee.autocorr.AutocorrError as e:
            # The estimate without emcee's own log message (the warning below says it).
            log = logging.getLogger("emcee.autocorr")
            level, log.level = log.level, logging.ERROR
            try:
                tau = sampler.get_autocorr_time(quiet=True)
            finally:
                log.setLevel(level)
            detail = str(e).strip().splitlines()[0] if str(e).strip() else "too few steps."
    reliable = detail is None
    if not reliable:
        message = (f"the chain is too short for a reliable autocorrelation time ({steps} steps; emcee: {detail}); "
                   "run at least 50 times the estimate")
        notes.append(message)
        warnings.warn(message, PosteriorWarning, stacklevel=3)
    return Posterior(names, sampler.get_chain(), sampler.get_log_prob(), sampler.acceptance_fraction.copy(),
                     np.asarray(tau, dtype=np.float64), reliable, start, sigma, seed, evaluations[0], notes)
