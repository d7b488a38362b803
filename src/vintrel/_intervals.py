"""Prediction intervals and outlier scores from a stream's residual
distribution (see `vintrel._residual_sketch`).

A new observation is ``y = x'beta + e``; its prediction ``x'b`` misses it by
``e + x'(beta - b)``. The noise e follows the distribution of the stream's
residuals, which the sketch tracks with its heavy tails, skew and gross
outliers; the estimation error ``x'(beta - b)`` is taken as normal with the
variance ``x' C x`` of the fitted value (C = `covariance_`, intercept
last), independent of the noise. A bound of the interval is then the
quantile of ``e + sigma * Z`` at ``sigma = se(x'b)``:

    G_sigma(t) = sum_i w_i * Phi((t - v_i) / sigma)

over the residual distribution as `POINT_MASSES` equal point masses v_i at
its quantiles (a rank resolution of 0.05 %). Its quantiles are solved by
bisection once per coverage on a grid of sigma (0, then `GRID_POINTS`
values spanning six decades around the noise's own spread) and
interpolated linearly in sigma for each row; beyond the grid the normal
term dominates and the bound grows by ``z * sigma``. At sigma = 0 the
bounds are the sketch's quantiles themselves. Without standard errors
(``penalty="l1"`` or ``"elasticnet"``) sigma is 0 for every row: the noise part only.
"""

import math
from dataclasses import dataclass
from numbers import Real
from statistics import NormalDist
from typing import Any

import numpy as np
from numpy.typing import NDArray
from scipy.special import ndtr

from vintrel._residual_sketch import ResidualSketch
from vintrel.state import ModelState

Vector = NDArray[np.float64]
Matrix = NDArray[np.float64]

# Rows whose |y - prediction| exceeds this many residual scales are flagged
# by `outlier_mask` unless told otherwise: under normal noise 0.27 % of
# clean rows lie beyond (the three-sigma rule), and the scale is the
# robust MAD scale, which gross outliers do not inflate, so they cannot
# hide by widening it.
DEFAULT_OUTLIER_THRESHOLD = 3.0
# The residual distribution as this many equal point masses when mixed
# with the normal estimation error.
POINT_MASSES = 2000
# Standard errors, relative to the noise's spread, at which the bounds are
# solved: 0, then 16 per decade from 1e-3 to 1e3.
GRID_POINTS = 97
GRID_DECADES = (-3.0, 3.0)
# Bisection steps: the bracket, at most the residuals' range plus 20
# sigma, shrinks by 2^-45 (3e-14), far below anything a bound needs.
BISECTION_STEPS = 45


class ResidualDistributionError(ValueError):
    """The estimate carries no residual distribution to build intervals
    from."""


def check_coverage(coverage: Any) -> float:
    """`coverage` as a float strictly between 0 and 1, far enough below 1
    that the upper tail's probability ``(1 + coverage) / 2`` is below 1 in
    floating point."""
    if isinstance(coverage, bool) or not isinstance(coverage, Real) or not (
            0 < float(coverage) and (1 + float(coverage)) / 2 < 1):
        raise ValueError(f"coverage must be a number strictly between 0 and 1; got {coverage!r}")
    return float(coverage)


def check_sketch(sketch: ResidualSketch | None) -> ResidualSketch:
    """The sketch, or the error saying why there is none and how to get one."""
    if sketch is None:
        raise ResidualDistributionError(
            "this model carries no residual distribution (it was saved by an earlier version of vintrel): fit "
            "it again with fit, or fold more batches with partial_fit, which tracks the residuals of the rows "
            "it folds from then on")
    if not sketch.total_weight > 0:
        raise ResidualDistributionError(
            "this model has folded no rows yet, so it has no residual distribution: fold batches with "
            "partial_fit (or fit it) first")
    return sketch


@dataclass(frozen=True)
class IntervalTable:
    """The lower and upper offsets from the prediction at each standard
    error of the grid.

    Attributes
    ----------
    sigmas : ndarray of shape (GRID_POINTS + 1,)
        Standard errors, ascending from 0.
    offsets : ndarray of shape (GRID_POINTS + 1, 2)
        The lower and upper quantiles of noise plus normal error.
    z : ndarray of shape (2,)
        The standard normal quantiles of the two probabilities.
    """

    sigmas: Vector
    offsets: Matrix
    z: Vector

    def bounds(self, prediction: Vector, std_error: Vector | None) -> Matrix:
        """Lower and upper bounds for predictions with these standard
        errors (None: the noise part only)."""
        prediction = np.asarray(prediction, dtype=np.float64)
        if std_error is None:
            return np.asarray(prediction[:, None] + self.offsets[0], dtype=np.float64)
        top = self.sigmas[-1]
        columns = []
        for side in range(2):
            offset = np.interp(std_error, self.sigmas, self.offsets[:, side])
            beyond = std_error > top
            offset[beyond] += (std_error[beyond] - top) * self.z[side]
            columns.append(prediction + offset)
        return np.column_stack(columns)


def interval_table(sketch: ResidualSketch, coverage: float) -> IntervalTable:
    """The bounds' offsets of a central interval of `coverage` on the grid
    of standard errors."""
    probabilities = np.array([(1 - coverage) / 2, (1 + coverage) / 2])
    exact = sketch.quantile(probabilities)
    spread = float(np.diff(sketch.quantile([0.25, 0.75]))[0]) / 1.349
    if not spread > 0:
        extreme = sketch.quantile([0.0, 1.0])
        spread = float(np.max(np.abs(extreme))) or 1.0
    sigmas = np.concatenate([[0.0], spread * np.logspace(*GRID_DECADES, GRID_POINTS)])
    masses = sketch.quantile((np.arange(POINT_MASSES) + 0.5) / POINT_MASSES)
    solved = _mixture_quantiles(masses, sigmas[1:], probabilities)
    z = np.array([NormalDist().inv_cdf(p) for p in probabilities])
    return IntervalTable(sigmas, np.vstack([exact, solved]), z)


def _mixture_quantiles(masses: Vector, sigmas: Vector, probabilities: Vector) -> Matrix:
    """Quantiles of ``v + sigma * Z``, v uniform over `masses`, for each
    sigma (rows) and probability (columns), by bisection on all at once."""
    width = 10.0 * sigmas[:, None] * np.ones(probabilities.size)
    low = masses[0] - width
    high = masses[-1] + width
    for _ in range(BISECTION_STEPS):
        middle = (low + high) / 2
        share = ndtr((middle[:, :, None] - masses) / sigmas[:, None, None]).mean(axis=2)
        below = share < probabilities
        low = np.where(below, middle, low)
        high = np.where(below, high, middle)
    return np.asarray((low + high) / 2, dtype=np.float64)


def predicted(state: ModelState, features: NDArray[Any]) -> tuple[NDArray[Any], float]:
    """The predictions of a state's estimate, as `predict` makes them, and
    its residual scale: both from the one snapshot."""
    engine, scaling = state.engine, state.scaling
    assert engine is not None and scaling is not None
    coef, intercept = scaling.to_caller_units(engine.coefficients)
    return features @ coef.astype(engine.dtype) + engine.dtype.type(intercept), float(scaling.y_scale)


def fitted_std_errors(X: NDArray[Any], covariance: Matrix, fit_intercept: bool) -> Vector:
    """The standard error of each row's fitted value ``x'b``, from the
    covariance of the coefficients (intercept last). Directions the data did
    not identify (NaN in the covariance) add nothing."""
    covariance = np.nan_to_num(np.asarray(covariance, dtype=np.float64), nan=0.0)
    X = np.asarray(X, dtype=np.float64)
    p = X.shape[1]
    variance = np.einsum("ij,ij->i", X @ covariance[:p, :p], X)
    if fit_intercept:
        variance += 2 * (X @ covariance[:p, p]) + covariance[p, p]
    return np.asarray(np.sqrt(np.maximum(variance, 0.0)), dtype=np.float64)


def scale_threshold(threshold: Any) -> float:
    """The outlier threshold in residual scales (None: the default)."""
    if threshold is None:
        return DEFAULT_OUTLIER_THRESHOLD
    if isinstance(threshold, bool) or not isinstance(threshold, Real) or not (
            float(threshold) > 0 and math.isfinite(float(threshold))):
        raise ValueError(f"threshold must be a positive finite number of residual scales; got {threshold!r}")
    return float(threshold)
