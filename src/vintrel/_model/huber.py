"""The Huber loss family in internal units (residuals divided by the
residual scale): rho, its score psi, the exact curvature psi' and the
smoothed curvature the engine weights its information with."""

import math
from dataclasses import dataclass
from typing import Any

import numpy as np
from numpy.typing import ArrayLike, NDArray

Values = NDArray[np.float64]

# Step tolerances of one update by penalty kind and precision. Newton steps
# shrink fast, so a tight tolerance costs an iteration or two; proximal steps
# cannot resolve much below 1e-6, and single precision not below 1e-5.
_DEFAULT_TOL = {
    ("newton", np.dtype(np.float64)): 1e-8,
    ("newton", np.dtype(np.float32)): 1e-5,
    ("proximal", np.dtype(np.float64)): 1e-6,
    ("proximal", np.dtype(np.float32)): 1e-5,
    ("coordinate", np.dtype(np.float64)): 1e-8,
    ("coordinate", np.dtype(np.float32)): 1e-5,
}


def default_tol(solver: str, dtype: Any) -> float:
    """The default step tolerance of `solver` ("newton", "proximal" or
    "coordinate") in
    the precision `dtype`."""
    return _DEFAULT_TOL[solver, np.dtype(dtype)]


@dataclass(frozen=True)
class HuberLoss:
    """The Huber loss with threshold `epsilon`: quadratic within
    ``|r| <= epsilon``, linear beyond.

    Parameters
    ----------
    epsilon : float
        The threshold, in units of the residual scale.
    """

    epsilon: float

    def rho(self, r: ArrayLike) -> Values:
        """``r**2 / 2`` within the threshold, ``epsilon * |r| - epsilon**2 / 2`` beyond."""
        r = np.abs(np.asarray(r, dtype=np.float64))
        eps = self.epsilon
        return np.where(r <= eps, 0.5 * r * r, eps * r - 0.5 * eps * eps)

    def psi(self, r: ArrayLike) -> Values:
        """The score, rho's derivative: `r` clipped to ``[-epsilon, epsilon]``."""
        return np.clip(np.asarray(r, dtype=np.float64), -self.epsilon, self.epsilon)

    def psi_prime(self, r: ArrayLike) -> Values:
        """The exact curvature: 1 within the threshold, 0 beyond."""
        return (np.abs(np.asarray(r, dtype=np.float64)) <= self.epsilon).astype(np.float64)

    def smoothed_curvature(self, r: ArrayLike, half_width: float) -> Values:
        """The indicator of ``|r| <= epsilon`` averaged over a window of
        `half_width` on either side of each residual, as the engine weights
        the rows of its information matrix."""
        distance = np.abs(np.asarray(r, dtype=np.float64))
        return np.clip((self.epsilon + half_width - distance) / (2.0 * half_width), 0.0, 1.0)

    def half_width(self, bandwidth_scale: float, weight: float, n_features: int) -> float:
        """The engine's smoothing half-width after `weight` in total:
        ``min(bandwidth_scale / (sqrt(weight) * log(max(n_features, 2))), epsilon)``;
        it shrinks as weight accumulates, and is `epsilon` while there is none."""
        with np.errstate(divide="ignore", invalid="ignore"):
            quotient = np.float64(bandwidth_scale) / (np.sqrt(np.float64(weight)) * math.log(max(n_features, 2)))
        return self.epsilon if math.isnan(quotient) else float(min(quotient, self.epsilon))
