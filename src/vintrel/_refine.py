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
from numpy.typing import NDArray

from vintrel._merge import with_minimiser
from vintrel.state import ModelState

NewtonSums = dict[str, NDArray[np.float64]]


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
