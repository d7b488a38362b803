"""One Newton step over all rows at a merged estimate.

Partition-level streams each approximate their own part; merging their
quadratic summaries is exact for the summaries but not for the loss itself.
One more pass over every part at the merged coefficients gives the exact
score sum and the curvature-weighted Gram there; their sums over the parts
give a Newton step on the whole data set, and the Gram becomes the new
information.
"""

from collections.abc import Sequence

import numpy as np
from numpy.typing import ArrayLike, NDArray

from vintrel._merge import with_minimiser
from vintrel._model import HuberLoss
from vintrel._stream import batch_rows
from vintrel._validation import validate_batch
from vintrel.estimator import IncrementalHuberRegressor
from vintrel.state import ModelState

NewtonSums = dict[str, NDArray[np.float64]]


class NewtonPass:
    """The score sum and the curvature-weighted Gram of batches at the
    coefficients of a state, in internal units, added up batch by batch.

    Parameters
    ----------
    state : ModelState
        State of a fitted estimator.
    """

    def __init__(self, state: ModelState) -> None:
        engine, scaling = state.engine, state.scaling
        if engine is None or scaling is None:
            raise ValueError("a Newton pass needs a fitted state")
        self._model = IncrementalHuberRegressor.from_state(state)
        self._scaling = scaling
        self._beta = np.asarray(engine.coefficients, dtype=np.float64)
        self._loss = HuberLoss(float(state.params["epsilon"]))
        # The smoothing after all the weight the state holds, so the new
        # information is weighted as a long stream's last batch would be.
        self._half_width = self._loss.half_width(float(state.params["bandwidth_scale"]), engine.weight_sum,
                                                 state.n_features_in)
        p = self._beta.shape[0]
        # Rows per batch whose design takes the estimator's batch memory.
        self.batch_rows = batch_rows(state.params["batch_size"], p, np.float64)
        self.sums: NewtonSums = {"gradient": np.zeros(p), "hessian": np.zeros((p, p))}

    def add(self, X: ArrayLike, y: ArrayLike, sample_weight: ArrayLike | None = None) -> None:
        """Add one batch, as the estimator's `partial_fit` takes it."""
        features, target, weights = validate_batch(self._model, X, y, sample_weight, reset=False,
                                                   dtype=self._model.coef_.dtype, stream_batch=True)
        design = self._scaling.design(features, np.float64)
        residuals = self._scaling.target(target, np.float64) - design @ self._beta
        score = self._loss.psi(residuals)
        curvature = self._loss.smoothed_curvature(residuals, self._half_width)
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


def refined_state(state: ModelState, sums: NewtonSums) -> ModelState:
    """`state` after one Newton step with the summed score and curvature;
    the curvature-weighted Gram becomes its information."""
    assert state.engine is not None
    beta = np.asarray(state.engine.coefficients, dtype=np.float64)
    hessian = sums["hessian"]
    linear = hessian @ beta + sums["gradient"]
    return with_minimiser(state, hessian, linear, state.engine.weight_sum, beta)
