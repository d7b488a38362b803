"""One Newton step over all rows at a merged estimate.

Partition-level streams each approximate their own part; merging their
quadratic summaries is exact for the summaries but not for the loss itself.
One more pass over every part at the merged coefficients gives the exact
score sum and the curvature-weighted Gram there; their sums over the parts
give a Newton step on the whole data set, and the Gram becomes the new
information.
"""

import math
from collections.abc import Sequence
from typing import Any

import numpy as np
from numpy.typing import ArrayLike, NDArray

from vintrel._merge import State, with_minimiser

NewtonSums = dict[str, NDArray[np.float64]]


def _bandwidth(state: State) -> float:
    """The engine's curvature bandwidth after all the weight the state
    holds, so the new information is weighted as a long stream's last batch
    would be."""
    params = state["params"]
    tau = float(params["epsilon"])
    level = math.log(max(int(state["n_features_in"]), 2))
    return min(float(params["bandwidth_scale"]) / (math.sqrt(float(state["engine"]["weight_sum"])) * level), tau)


def newton_sums(state: State, X: ArrayLike, y: ArrayLike, sample_weight: ArrayLike | None = None) -> NewtonSums:
    """The score sum and the curvature-weighted Gram of `X`, `y` at the
    coefficients of `state`, in internal units, streamed in the estimator's
    batches.

    Parameters
    ----------
    state : dict
        Exported state of a fitted estimator.
    X, y, sample_weight : array-like
        One part of the data, as the estimator's `partial_fit` takes it.

    Returns
    -------
    dict
        "gradient" (p,) and "hessian" (p, p), float64.
    """
    from vintrel.estimator import IncrementalHuberRegressor

    model = IncrementalHuberRegressor._from_export(state)
    scaling = model._scaling
    beta = np.asarray(state["engine"]["coefficients"], dtype=np.float64)
    p = beta.shape[0]
    tau = float(model.epsilon)
    half_width = min(_bandwidth(state), tau)
    sums = {"gradient": np.zeros(p), "hessian": np.zeros((p, p))}
    rows = int(np.shape(y)[0])
    if rows == 0:
        return sums
    batch = model._batch_rows(p, np.dtype(np.float64))
    for begin in range(0, rows, batch):
        part = slice(begin, begin + batch)
        weights_part = None if sample_weight is None else rows_of(sample_weight, part)
        features, target, weights = model._validate_batch(rows_of(X, part), rows_of(y, part), weights_part,
                                                          reset=False)
        design = scaling.design(features, np.float64)
        residuals = scaling.target(target, np.float64) - design @ beta
        score = np.clip(residuals, -tau, tau)
        # The indicator of |r| <= tau averaged over a window of the
        # bandwidth: the engine's smoothed curvature.
        curvature = np.clip((tau + half_width - np.abs(residuals)) / (2 * half_width), 0.0, 1.0)
        if weights is not None:
            score = score * weights
            curvature = curvature * weights
        sums["gradient"] += design.T @ score
        sums["hessian"] += (design * curvature[:, None]).T @ design
    return sums


def rows_of(values: Any, part: slice) -> Any:
    """Rows `part` of an array, a data frame or a series."""
    return values.iloc[part] if hasattr(values, "iloc") else values[part]


def add_newton_sums(parts: Sequence[NewtonSums]) -> NewtonSums:
    """The sums of several parts."""
    return {key: np.sum([part[key] for part in parts], axis=0) for key in ("gradient", "hessian")}


def refined_state(state: State, sums: NewtonSums) -> State:
    """`state` after one Newton step with the summed score and curvature;
    the curvature-weighted Gram becomes its information."""
    beta = np.asarray(state["engine"]["coefficients"], dtype=np.float64)
    hessian = sums["hessian"]
    linear = hessian @ beta + sums["gradient"]
    return with_minimiser(state, hessian, linear, float(state["engine"]["weight_sum"]), beta,
                          bool(state["last_update"]["converged"]))
