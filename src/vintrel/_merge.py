"""Merging estimates folded from disjoint rows into one.

Every estimate is a quadratic summary of the loss of the rows it folded:
coefficients beta_k, information I_k and total weight W_k (with a penalty
also the loss gradient its estimate balances, which the penalty defines).
The sum of those quadratics summarises all rows; its minimiser, under the
penalty, is the merged estimate. Everything here works on typed states, so
merges need no engine and run wherever the states are.
"""

import dataclasses
import functools
from collections.abc import Mapping, Sequence
from typing import Any

import numpy as np
from numpy.typing import NDArray
from sklearn.exceptions import NotFittedError

from vintrel._model import penalised_mask, penalty_for
from vintrel._residual_sketch import combined
from vintrel.inference import add_sums
from vintrel.state import EngineState, LastUpdate, ModelState

Vector = NDArray[np.float64]
Matrix = NDArray[np.float64]

# Parameters that define the objective and the internal units; estimates
# fitted under different values solve different problems. The others
# (batch_size, max_iter, tol, ridge, n_threads) only steer how a stream is
# folded, and the merged estimator takes them from the first estimate.
MODEL_PARAMETERS = ("epsilon", "penalty", "alpha", "l1_ratio", "fit_intercept", "scale", "bandwidth_scale",
                    "half_life")


def merge_states(states: Sequence[ModelState]) -> ModelState:
    """The state of the estimate that combines `states`.

    Parameters
    ----------
    states : sequence of ModelState
        States of fitted estimators that folded disjoint rows from one
        shared start.

    Returns
    -------
    ModelState
        The merged state.
    """
    if not states:
        raise ValueError("merge needs at least one estimator")
    engines = [_fitted_engine(state, index) for index, state in enumerate(states)]
    first = states[0]
    for index, state in enumerate(states[1:], start=1):
        _check_compatible(first, state, index)
    _check_distinct(engines)
    information, linear, weight = _combined_quadratic(first, engines)
    counted = dataclasses.replace(engines[0], n_samples_seen=sum(e.n_samples_seen for e in engines),
                                  batch_count=sum(e.batch_count for e in engines))
    last = [state.last_update for state in states]
    merged = first.replace(
        engine=counted, sums=_merge_sums(states), pending=None,
        # The residual distributions add up as the rows do; a part saved
        # without one contributes none.
        residuals=combined([state.residuals for state in states]),
        last_update=LastUpdate(max(u.n_iter for u in last if u is not None),
                               all(u is not None and u.converged for u in last), 0.0))
    return with_minimiser(merged, information, linear, weight, _weighted_average(engines))


def with_minimiser(state: ModelState, information: Matrix, linear: Vector, weight: float,
                   start: Vector) -> ModelState:
    """`state` holding the minimiser of the quadratic summary
    ``0.5 * beta' I beta - b' beta`` (plus its penalty at total weight
    `weight`), with that information and weight. Coordinates without
    information keep `start`."""
    engine, last = state.engine, state.last_update
    assert engine is not None and last is not None
    params = state.params
    penalty = penalty_for(params)
    level = penalty.level(state.n_features_in, weight)
    coefficients, exact = penalty.minimise(information, linear, weight * level,
                                           penalised_mask(engine.n_parameters, engine.fit_intercept), start,
                                           engine.dtype)
    return state.replace(engine=engine.with_estimate(coefficients, information, level, weight),
                         last_update=dataclasses.replace(last, converged=last.converged and exact, lambda_=level))


# ------------------------------------------------------------------ checks


def _fitted_engine(state: ModelState, index: int) -> EngineState:
    if state.engine is None:
        held = "" if state.pending is None else \
            f" (it holds {len(state.pending.y)} buffered rows but no estimate yet)"
        raise NotFittedError(f"cannot merge estimator {index}: it is not fitted{held}")
    return state.engine


def _check_distinct(engines: Sequence[EngineState]) -> None:
    """Refuse two estimates that are one and the same: copies of one
    estimator hold the same rows, which a merge would count twice."""
    for later, engine in enumerate(engines[1:], start=1):
        for earlier in range(later):
            other = engines[earlier]
            if engine.n_samples_seen > 0 and engine.n_samples_seen == other.n_samples_seen \
                    and np.array_equal(engine.coefficients, other.coefficients) \
                    and np.array_equal(engine.information, other.information):
                raise ValueError(f"estimators {earlier} and {later} hold identical estimates: they folded the "
                                 f"same rows (is one a copy of the other?), which a merge would count twice; "
                                 f"merge estimators that folded disjoint rows")


def _check_compatible(first: ModelState, other: ModelState, index: int) -> None:
    """Refuse an estimate that solved another problem or is in other units."""
    for name in MODEL_PARAMETERS:
        if first.params[name] != other.params[name]:
            raise ValueError(f"cannot merge estimator {index}: its {name}={other.params[name]!r} differs "
                             f"from {first.params[name]!r} of estimator 0")
    if (first.n_features_in, first.feature_names_in) != (other.n_features_in, other.feature_names_in):
        raise ValueError(f"cannot merge estimator {index}: it was fitted on other features "
                         f"({_describe_features(other)} instead of {_describe_features(first)})")
    if first.encoding != other.encoding:
        raise ValueError(f"cannot merge estimator {index}: it encodes its categorical columns otherwise "
                         f"({_describe_encoding(other)} instead of {_describe_encoding(first)})")
    assert first.engine is not None and other.engine is not None
    if first.engine.dtype != other.engine.dtype:
        raise ValueError(f"cannot merge estimator {index}: it is fitted in {other.engine.dtype.name}, "
                         f"estimator 0 in {first.engine.dtype.name}")
    if not _same_scaling(first, other):
        raise ValueError(f"cannot merge estimator {index}: its internal scaling differs from estimator 0's, "
                         f"so their information is in other units; start every part from copies of one "
                         f"estimator prepared with initialize()")


def _describe_features(state: ModelState) -> str:
    names = state.feature_names_in
    return f"{state.n_features_in} unnamed features" if names is None else f"features {list(names)}"


def _describe_encoding(state: ModelState) -> str:
    encoding = state.encoding
    return "no categorical columns" if encoding is None else f"levels {dict(encoding.levels)}"


def _same_scaling(first: ModelState, other: ModelState) -> bool:
    a, b = first.scaling, other.scaling
    assert a is not None and b is not None
    return (a.fit_intercept == b.fit_intercept and a.y_center == b.y_center and a.y_scale == b.y_scale
            and np.array_equal(a.x_center, b.x_center) and np.array_equal(a.x_scale, b.x_scale))


# ------------------------------------------------------- the merged problem


def _combined_quadratic(first: ModelState, engines: Sequence[EngineState]) -> tuple[Matrix, Vector, float]:
    """The summed information I, the linear term b and the total weight W
    of the summed quadratics ``0.5 * beta' I beta - b' beta``: each estimate
    contributes ``I_k beta_k`` and the loss gradient its penalty carries."""
    penalty = penalty_for(first.params)
    p = engines[0].n_parameters
    penalised = penalised_mask(p, engines[0].fit_intercept)
    information = np.zeros((p, p))
    linear = np.zeros(p)
    weight = 0.0
    for engine in engines:
        beta = np.asarray(engine.coefficients, dtype=np.float64)
        part = np.asarray(engine.information, dtype=np.float64)
        information += part
        linear += part @ beta
        linear += penalty.carried_gradient(beta, engine.weight_sum, engine.previous_lambda, penalised)
        weight += engine.weight_sum
    return information, linear, weight


def _weighted_average(engines: Sequence[EngineState]) -> Vector:
    """The coefficients where the data carries no information: a feature
    constant everywhere keeps its (shared) starting value."""
    weights = np.array([engine.weight_sum for engine in engines])
    if not weights.sum() > 0:
        weights = np.ones_like(weights)
    stacked = np.array([np.asarray(engine.coefficients, dtype=np.float64) for engine in engines])
    return np.asarray(np.average(stacked, axis=0, weights=weights), dtype=np.float64)


# -------------------------------------------------------- additive sums


def _merge_sums(states: Sequence[ModelState]) -> Mapping[str, Any]:
    """Add up every additive statistic. An estimate that folded no rows
    may lack one (it is zero); one that folded rows without collecting it
    cannot be merged with one that did."""
    keys = {key for state in states for key in state.sums}
    for index, state in enumerate(states):
        missing = keys - state.sums.keys()
        if missing and state.engine is not None and state.engine.n_samples_seen > 0:
            raise ValueError(f"cannot merge estimator {index}: it folded rows without collecting "
                             f"the statistic {min(missing)!r} that the others carry")
    return functools.reduce(add_sums, (state.sums for state in states), {})
