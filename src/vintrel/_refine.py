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

import numpy as np
from numpy.typing import ArrayLike, NDArray

from vintrel._merge import State, with_minimiser

NewtonSums = dict[str, NDArray[np.float64]]


def _bandwidth(state: State) -> float:
    """The half-width of the engine's curvature smoothing after all the
    weight the state holds, so the new information is weighted as a long
    stream's last batch would be."""
    params = state["params"]
    tau = float(params["epsilon"])
    level = math.log(max(int(state["n_features_in"]), 2))
    return min(float(params["bandwidth_scale"]) / (math.sqrt(float(state["engine"]["weight_sum"])) * level), tau)


class NewtonPass:
    """The score sum and the curvature-weighted Gram of batches at the
    coefficients of a state, in internal units, added up batch by batch.

    Parameters
    ----------
    state : dict
        Exported state of a fitted estimator.
    """

    def __init__(self, state: State) -> None:
        from vintrel.estimator import IncrementalHuberRegressor

        self._model = IncrementalHuberRegressor._from_export(state)
        self._beta = np.asarray(state["engine"]["coefficients"], dtype=np.float64)
        self._half_width = _bandwidth(state)
        p = self._beta.shape[0]
        # Rows per batch whose design takes the estimator's batch memory.
        self.batch_rows = self._model._batch_rows(p, np.dtype(np.float64))
        self.sums: NewtonSums = {"gradient": np.zeros(p), "hessian": np.zeros((p, p))}

    def add(self, X: ArrayLike, y: ArrayLike, sample_weight: ArrayLike | None = None) -> None:
        """Add one batch, as the estimator's `partial_fit` takes it."""
        model, tau = self._model, float(self._model.epsilon)
        features, target, weights = model._validate_batch(X, y, sample_weight, reset=False, stream_batch=True)
        design = model._scaling.design(features, np.float64)
        residuals = model._scaling.target(target, np.float64) - design @ self._beta
        score = np.clip(residuals, -tau, tau)
        # The indicator of |r| <= tau averaged over a window of the
        # bandwidth: the engine's smoothed curvature.
        curvature = np.clip((tau + self._half_width - np.abs(residuals)) / (2 * self._half_width), 0.0, 1.0)
        if weights is not None:
            score *= weights
            curvature *= weights
        self.sums["gradient"] += design.T @ score
        # Rows scaled in place by the root of their curvature make the Gram
        # a product of the design with itself, which BLAS forms as a
        # symmetric product: half the work, and no second copy of the design.
        design *= np.sqrt(curvature)[:, None]
        self.sums["hessian"] += design.T @ design


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
