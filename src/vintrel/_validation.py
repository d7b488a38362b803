"""A batch of the caller's data as arrays of the stream's precision, with
scikit-learn's checks and messages."""

from typing import Any

import numpy as np
from numpy.typing import ArrayLike, NDArray
from sklearn.base import BaseEstimator
from sklearn.utils.validation import _check_sample_weight, validate_data

Array = NDArray[np.floating[Any]]


def validate_batch(estimator: BaseEstimator, X: ArrayLike, y: ArrayLike, sample_weight: ArrayLike | None, *,
                   reset: bool, dtype: np.dtype | None = None, stream_batch: bool = False
                   ) -> tuple[Array, Array, Array | None]:
    """X, y and the weights as arrays of `dtype` (float32 stays and
    everything else becomes float64 when `dtype` is None). With `reset`
    the batch fixes `estimator`'s features, else it must have them. Only a
    batch of a stream (`stream_batch`) may weigh nothing.

    X is not scanned for NaN and infinity here: the robust start and the
    engine scan it where they use it, so it is scanned once."""
    dtypes: Any = [np.float64, np.float32] if dtype is None else dtype
    features, target = validate_data(estimator, X, y, reset=reset, dtype=dtypes, y_numeric=True,
                                     ensure_all_finite=False)
    target = np.asarray(target, dtype=features.dtype)
    weights = None
    if sample_weight is not None:
        weights = _check_sample_weight(sample_weight, features, dtype=features.dtype,
                                       ensure_non_negative=True, allow_all_zero_weights=stream_batch)
        with np.errstate(over="ignore"):
            total = np.sum(weights, dtype=np.float64)
        if not np.isfinite(total):
            raise ValueError(f"sample_weight sums to more than the largest {features.dtype.name} "
                             f"(about {np.finfo(features.dtype).max:.3g}); divide the weights by a common factor, "
                             f"which changes no estimate")
    return features, target, weights
