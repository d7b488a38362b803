"""Robust summaries of one batch: weighted medians, the normalised median
absolute deviation and the least-squares start."""

from statistics import NormalDist
from typing import Any

import numpy as np
from numpy.typing import NDArray

# The median absolute deviation of a standard normal sample; dividing by it
# makes the MAD a consistent estimate of the standard deviation.
MAD_NORMALISER = NormalDist().inv_cdf(0.75)

Vector = NDArray[np.floating[Any]]

# Weights above this are scaled down before they multiply squares.
_LARGE_WEIGHT = 1e100
Matrix = NDArray[np.floating[Any]]


def weighted_median(values: Vector, weights: Vector | None = None) -> float:
    """Median of `values` under non-negative `weights`.

    With integer weights this equals the ordinary median of the sample in
    which every value is repeated as often as its weight says; zero weights
    drop their values.
    """
    if weights is None:
        return float(np.median(values))
    order = np.argsort(values, kind="stable")
    cumulative = np.cumsum(weights[order])
    half = cumulative[-1] / 2.0
    lower = order[np.searchsorted(cumulative, half, side="left")]
    upper = order[np.searchsorted(cumulative, half, side="right")]
    return float((values[lower] + values[upper]) / 2.0)


def normalised_mad(residuals: Vector, weights: Vector | None = None) -> float:
    """Median absolute residual about zero, divided by `MAD_NORMALISER`."""
    return weighted_median(np.abs(residuals), weights) / MAD_NORMALISER


def least_squares(design: Matrix, target: Vector, weights: Vector | None = None) -> NDArray[np.float64]:
    """Weighted least-squares coefficients from the normal equations; the
    minimum-norm solution when the design is rank deficient.

    The estimator's designs are standardised, so squaring their condition
    number costs little, and the Gram matrix is far cheaper than a
    factorisation of the whole design.
    """
    if weights is not None and float(np.max(weights)) > _LARGE_WEIGHT:
        # Dividing by the largest weight changes no solution and keeps the
        # Gram matrix finite under weights near the largest float.
        weights = weights / np.max(weights)
    weighted = design if weights is None else design * weights[:, None]
    gram = weighted.T @ design
    moment = weighted.T @ target
    solution, *_ = np.linalg.lstsq(gram, moment, rcond=None)
    return np.asarray(solution, dtype=np.float64)
