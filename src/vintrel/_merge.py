"""Merging estimates folded from disjoint rows into one.

Every estimate is a quadratic summary of the loss of the rows it folded:
coefficients beta_k, information I_k and total weight W_k (with the L1
penalty also the subgradient term W_k * lambda_k * sign(beta_k) that the
engine carries forward). The sum of those quadratics summarises all rows;
its minimiser is the merged estimate. Everything here works on the plain
states that `IncrementalHuberRegressor._export` returns, so merges need no
engine and run wherever the states are.
"""

import functools
import math
import warnings
from collections.abc import Sequence
from typing import Any

import numpy as np
import scipy.linalg
from numpy.typing import NDArray
from sklearn.exceptions import ConvergenceWarning, NotFittedError

from vintrel.inference import add_sums

State = dict[str, Any]
Vector = NDArray[np.float64]
Matrix = NDArray[np.float64]

# Parameters that define the objective and the internal units; estimates
# fitted under different values solve different problems. The others
# (batch_size, max_iter, tol, ridge, n_threads) only steer how a stream is
# folded, and the merged estimator takes them from the first estimate.
MODEL_PARAMETERS = ("epsilon", "penalty", "alpha", "fit_intercept", "scale", "bandwidth_scale")
# Coordinate descent on the merged L1 problem stops when no coefficient
# moved by more than this, relative to 1 + the largest coefficient; an exact
# solve on the chosen support then removes what is left.
L1_TOLERANCE = 1e-12
L1_MAX_SWEEPS = 10_000


def merge_states(states: Sequence[State]) -> State:
    """The state of the estimate that combines `states`.

    Parameters
    ----------
    states : sequence of dict
        Exported states of fitted estimators that folded disjoint rows from
        one shared start.

    Returns
    -------
    dict
        The merged state, in the layout of the inputs.
    """
    if not states:
        raise ValueError("merge needs at least one estimator")
    for index, state in enumerate(states):
        _check_fitted(state, index)
    first = states[0]
    for index, state in enumerate(states[1:], start=1):
        _check_compatible(first, state, index)
    engines = [state["engine"] for state in states]
    information, linear, weight = _combined_quadratic(engines, penalised_coordinates(first))
    merged = {**first, "engine": {
        **first["engine"],
        "n_samples_seen": sum(int(engine["n_samples_seen"]) for engine in engines),
        "batch_count": sum(int(engine["batch_count"]) for engine in engines),
    }, "sums": _merge_sums(states), "pending": None,
       "last_update": {"n_iter": max(int(state["last_update"]["n_iter"]) for state in states)}}
    converged = all(bool(state["last_update"]["converged"]) for state in states)
    return with_minimiser(merged, information, linear, weight, _weighted_average(engines), converged)


def with_minimiser(state: State, information: Matrix, linear: Vector, weight: float, start: Vector,
                   converged: bool) -> State:
    """`state` holding the minimiser of the quadratic summary
    0.5 * beta' I beta - b' beta (plus the L1 term of its penalty at total
    weight `weight`), with that information and weight. Coordinates without
    information keep `start`."""
    params = state["params"]
    dtype = np.dtype(state["engine"]["dtype"])
    level = 0.0
    if params["penalty"] is None:
        coefficients = _minimise_quadratic(information, linear, start, dtype)
    else:
        level = _l1_level(params, state["n_features_in"], weight)
        coefficients, solved = _minimise_l1(information, linear, weight * level,
                                            penalised_coordinates(state), start)
        converged = converged and solved
    engine = {**state["engine"], "coefficients": coefficients.astype(dtype),
              "information": information.astype(dtype), "previous_lambda": level, "weight_sum": weight}
    last = {"n_iter": int(state["last_update"]["n_iter"]), "converged": converged, "lambda": level}
    return {**state, "engine": engine, "last_update": last}


# ------------------------------------------------------------------ checks


def _check_fitted(state: State, index: int) -> None:
    if state["engine"] is None:
        waiting = state["pending"]
        held = "" if waiting is None else f" (it holds {len(waiting['y'])} buffered rows but no estimate yet)"
        raise NotFittedError(f"cannot merge estimator {index}: it is not fitted{held}")


def _check_compatible(first: State, other: State, index: int) -> None:
    """Refuse an estimate that solved another problem or is in other units."""
    for name in MODEL_PARAMETERS:
        if first["params"][name] != other["params"][name]:
            raise ValueError(f"cannot merge estimator {index}: its {name}={other['params'][name]!r} differs "
                             f"from {first['params'][name]!r} of estimator 0")
    if (first["n_features_in"], first["feature_names_in"]) != (other["n_features_in"], other["feature_names_in"]):
        raise ValueError(f"cannot merge estimator {index}: it was fitted on other features "
                         f"({_describe_features(other)} instead of {_describe_features(first)})")
    if first["engine"]["dtype"] != other["engine"]["dtype"]:
        raise ValueError(f"cannot merge estimator {index}: it is fitted in {other['engine']['dtype']}, "
                         f"estimator 0 in {first['engine']['dtype']}")
    if not _same_scaling(first["scaling"], other["scaling"]):
        raise ValueError(f"cannot merge estimator {index}: its internal scaling differs from estimator 0's, "
                         f"so their information is in other units; start every part from copies of one "
                         f"estimator prepared with initialize()")


def _describe_features(state: State) -> str:
    names = state["feature_names_in"]
    return f"{state['n_features_in']} unnamed features" if names is None else f"features {names}"


def _same_scaling(a: State, b: State) -> bool:
    return (bool(a["fit_intercept"]) == bool(b["fit_intercept"])
            and float(a["y_center"]) == float(b["y_center"]) and float(a["y_scale"]) == float(b["y_scale"])
            and np.array_equal(a["x_center"], b["x_center"]) and np.array_equal(a["x_scale"], b["x_scale"]))


# ------------------------------------------------------- the merged problem


def penalised_coordinates(state: State) -> NDArray[np.bool_]:
    """Coordinates an L1 penalty applies to: all but the intercept (last)."""
    engine = state["engine"]
    mask = np.ones(len(engine["coefficients"]), dtype=bool)
    if engine["fit_intercept"]:
        mask[-1] = False
    return mask


def _combined_quadratic(engines: Sequence[State], penalised: NDArray[np.bool_]) -> tuple[Matrix, Vector, float]:
    """The summed information I, the linear term b and the total weight W
    of the summed quadratics 0.5 * beta' I beta - b' beta.

    Each estimate contributes I_k beta_k, and with the L1 penalty also the
    gradient of its loss at beta_k that the engine carries as
    W_k * lambda_k * sign(beta_k) on penalised coordinates.
    """
    p = len(engines[0]["coefficients"])
    information = np.zeros((p, p))
    linear = np.zeros(p)
    weight = 0.0
    for engine in engines:
        beta = np.asarray(engine["coefficients"], dtype=np.float64)
        part = np.asarray(engine["information"], dtype=np.float64)
        information += part
        linear += part @ beta
        linear += float(engine["weight_sum"]) * float(engine["previous_lambda"]) * np.sign(beta) * penalised
        weight += float(engine["weight_sum"])
    return information, linear, weight


def _weighted_average(engines: Sequence[State]) -> Vector:
    """The coefficients where the data carries no information: a feature
    constant everywhere keeps its (shared) starting value."""
    weights = np.array([float(engine["weight_sum"]) for engine in engines])
    if not weights.sum() > 0:
        weights = np.ones_like(weights)
    stacked = np.array([np.asarray(engine["coefficients"], dtype=np.float64) for engine in engines])
    return np.asarray(np.average(stacked, axis=0, weights=weights), dtype=np.float64)


def _l1_level(params: State, n_features: int, weight: float) -> float:
    """The L1 level the engine uses after `weight` in total, in
    standardised units."""
    if not weight > 0:
        return 0.0
    return float(params["alpha"]) * float(params["epsilon"]) * math.sqrt(math.log(max(n_features, 2)) / weight)


def _minimise_quadratic(information: Matrix, linear: Vector, fallback: Vector, dtype: np.dtype) -> Vector:
    """beta = I^-1 b by a Cholesky solve over the coordinates that carry
    information; the others keep `fallback`."""
    informed = np.diag(information) > 0
    coefficients = fallback.copy()
    if not informed.any():
        return coefficients
    block = information[np.ix_(informed, informed)]
    target = linear[informed] - information[np.ix_(informed, ~informed)] @ fallback[~informed]
    coefficients[informed] = _cholesky_solve(block, target, dtype)
    return coefficients


def _cholesky_solve(matrix: Matrix, rhs: Vector, dtype: np.dtype) -> Vector:
    """Solve a symmetric positive definite system, refusing one that is
    singular at the precision the information was accumulated in."""
    message = ("the combined information matrix is singular (collinear features, or too few rows "
               "for the number of parameters), so the estimates cannot be combined")
    try:
        factor, lower = scipy.linalg.cho_factor(matrix, lower=True)
    except np.linalg.LinAlgError as error:
        raise ValueError(message) from error
    pivots = np.diag(factor) ** 2
    if pivots.min() <= matrix.shape[0] * np.finfo(dtype).eps * np.diag(matrix).max():
        raise ValueError(message)
    return np.asarray(scipy.linalg.cho_solve((factor, lower), rhs), dtype=np.float64)


def _minimise_l1(information: Matrix, linear: Vector, level: float, penalised: NDArray[np.bool_],
                 start: Vector) -> tuple[Vector, bool]:
    """Minimise 0.5 * beta' I beta - b' beta + level * sum |beta_j| over
    penalised j, by cyclic coordinate descent from `start`, then solve
    exactly on the support when that support satisfies the optimality
    conditions. Coordinates without information keep `start`."""
    beta = start.copy()
    diagonal = np.diag(information)
    coordinates = np.flatnonzero(diagonal > 0)
    residual = linear - information @ beta  # b - I beta, kept current
    converged = False
    for _ in range(L1_MAX_SWEEPS):
        largest = 0.0
        for j in coordinates:
            pull = residual[j] + diagonal[j] * beta[j]
            shrunk = math.copysign(max(abs(pull) - level, 0.0), pull) if penalised[j] else pull
            change = shrunk / diagonal[j] - beta[j]
            if change != 0.0:
                residual -= information[:, j] * change
                beta[j] += change
                largest = max(largest, abs(change))
        if largest <= L1_TOLERANCE * (1.0 + float(np.abs(beta).max())):
            converged = True
            break
    if not converged:
        warnings.warn(f"the merged L1 problem did not converge within {L1_MAX_SWEEPS} sweeps; "
                      f"the merged coefficients are approximate", ConvergenceWarning, stacklevel=4)
        return beta, False
    return _exact_on_support(information, linear, level, penalised, beta, coordinates), True


def _exact_on_support(information: Matrix, linear: Vector, level: float, penalised: NDArray[np.bool_],
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


# -------------------------------------------------------- additive sums


def _merge_sums(states: Sequence[State]) -> dict[str, Any]:
    """Add up every additive statistic. An estimate that folded no rows
    may lack one (it is zero); one that folded rows without collecting it
    cannot be merged with one that did."""
    keys = {key for state in states for key in state["sums"]}
    for index, state in enumerate(states):
        missing = keys - state["sums"].keys()
        if missing and int(state["engine"]["n_samples_seen"]) > 0:
            raise ValueError(f"cannot merge estimator {index}: it folded rows without collecting "
                             f"the statistic {min(missing)!r} that the others carry")
    return functools.reduce(add_sums, (state["sums"] for state in states), {})
