"""Minimisers of a quadratic summary ``0.5 * beta' I beta - b' beta``,
plain or with an L1 term, as merges and refinements need them."""

import math
from collections.abc import Callable

import numpy as np
import scipy.linalg
from numpy.typing import NDArray
from sklearn.exceptions import ConvergenceWarning

from vintrel._warnings import warn

Vector = NDArray[np.float64]
Matrix = NDArray[np.float64]
Mask = NDArray[np.bool_]

# Coordinate descent stops when no coefficient moved by more than this,
# relative to 1 + the largest coefficient; an exact solve on the chosen
# support then removes what is left.
L1_TOLERANCE = 1e-12
L1_MAX_SWEEPS = 10_000

SINGULAR = ("the combined information matrix is singular (collinear features, or too few rows "
            "for the number of parameters), so the estimates cannot be combined")


def minimise_quadratic(information: Matrix, linear: Vector, fallback: Vector, dtype: np.dtype) -> Vector:
    """beta = I^-1 b by a Cholesky solve over the coordinates that carry
    information; the others keep `fallback`. A system singular at the
    precision `dtype` the information was accumulated in is refused."""
    informed = np.diag(information) > 0
    coefficients = fallback.copy()
    if not informed.any():
        return coefficients
    block = information[np.ix_(informed, informed)]
    target = linear[informed] - information[np.ix_(informed, ~informed)] @ fallback[~informed]
    try:
        factor, lower = scipy.linalg.cho_factor(block, lower=True)
    except np.linalg.LinAlgError as error:
        raise ValueError(SINGULAR) from error
    pivots = np.diag(factor) ** 2
    if pivots.min() <= block.shape[0] * np.finfo(dtype).eps * np.diag(block).max():
        raise ValueError(SINGULAR)
    coefficients[informed] = scipy.linalg.cho_solve((factor, lower), target)
    return coefficients


def minimise_l1(information: Matrix, linear: Vector, level: float, penalised: Mask, start: Vector,
                prox: Callable[[float, float], float]) -> tuple[Vector, bool]:
    """Minimise ``0.5 * beta' I beta - b' beta + level * sum |beta_j|``
    over penalised j by cyclic coordinate descent from `start` (each
    coordinate's step is `prox`), then solve exactly on the support when
    that support satisfies the optimality conditions. Coordinates without
    information keep `start`. Returns the minimiser and whether descent
    converged."""
    beta = start.copy()
    diagonal = np.diag(information)
    coordinates = np.flatnonzero(diagonal > 0)
    residual = linear - information @ beta  # b - I beta, kept current
    for _ in range(L1_MAX_SWEEPS):
        largest = 0.0
        for j in coordinates:
            pull = residual[j] + diagonal[j] * beta[j]
            shrunk = prox(pull, level) if penalised[j] else pull
            change = shrunk / diagonal[j] - beta[j]
            if change != 0.0:
                residual -= information[:, j] * change
                beta[j] += change
                largest = max(largest, abs(change))
        if largest <= L1_TOLERANCE * (1.0 + float(np.abs(beta).max())):
            return _exact_on_support(information, linear, level, penalised, beta, coordinates), True
    warn(f"the combined L1 problem did not converge within {L1_MAX_SWEEPS} coordinate sweeps: the "
         f"combined coefficients are approximate and converged_ is False; merging fewer or more similar "
         f"parts, or refitting on all rows, gives an exact answer", ConvergenceWarning)
    return beta, False


def soft_threshold(value: float, threshold: float) -> float:
    """`value` moved towards zero by `threshold`, stopping at zero."""
    return math.copysign(max(abs(value) - threshold, 0.0), value)


def _exact_on_support(information: Matrix, linear: Vector, level: float, penalised: Mask,
                      beta: Vector, coordinates: NDArray[np.intp]) -> Vector:
    """The exact minimiser for the support and signs of `beta`, when it
    keeps those signs and the zero coordinates stay optimal; else `beta`."""
    support = np.zeros(beta.shape, dtype=bool)
    support[coordinates] = (beta[coordinates] != 0) | ~penalised[coordinates]
    if not support.any():
        return beta
    signs = np.sign(beta) * penalised
    fixed = ~support
    rhs = linear[support] - level * signs[support] - information[np.ix_(support, fixed)] @ beta[fixed]
    try:
        solved = scipy.linalg.solve(information[np.ix_(support, support)], rhs, assume_a="pos")
    except (np.linalg.LinAlgError, ValueError):
        return beta
    if np.any(np.sign(solved) * penalised[support] != signs[support]):
        return beta
    candidate = beta.copy()
    candidate[support] = solved
    zeros = np.setdiff1d(coordinates, np.flatnonzero(support))
    slack = np.abs(linear[zeros] - information[zeros] @ candidate)
    if np.any(slack > level * (1 + 1e-9)):
        return beta
    return candidate
