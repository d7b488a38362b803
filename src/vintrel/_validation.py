"""A batch of the caller's data as arrays of the stream's precision, with
scikit-learn's checks and messages.

Data frames with categorical columns (pandas ``category``, polars
``Categorical`` and ``Enum``) are one-hot encoded here: the first batch of a
stream fixes the `Encoding`, and every later batch and prediction is
encoded by it. A model with an encoding also takes arrays that already hold
the encoded features, as the command line passes them."""

import itertools
from collections.abc import Iterator
from typing import Any

import numpy as np
from numpy.typing import ArrayLike, NDArray
from sklearn.base import BaseEstimator
from sklearn.utils.validation import _check_sample_weight, check_array, check_X_y, validate_data

from vintrel._categorical import Encoding
from vintrel._frames import check_plain_frame, encode_frame, frame_encoding

Array = NDArray[np.floating[Any]]


def validate_batch(estimator: BaseEstimator, X: ArrayLike, y: ArrayLike, sample_weight: ArrayLike | None, *,
                   reset: bool, dtype: np.dtype | None = None, stream_batch: bool = False,
                   encoding: Encoding | None = None) -> tuple[Array, Array, Array | None]:
    """X, y and the weights as arrays of `dtype` (float32 stays and
    everything else becomes float64 when `dtype` is None); see
    `validate_encoded_batch`."""
    X, y, weights, _ = validate_encoded_batch(estimator, X, y, sample_weight, reset=reset, dtype=dtype,
                                              stream_batch=stream_batch, encoding=encoding)
    return X, y, weights


def validate_encoded_batch(estimator: BaseEstimator, X: ArrayLike, y: ArrayLike, sample_weight: ArrayLike | None,
                           *, reset: bool, dtype: np.dtype | None = None, stream_batch: bool = False,
                           encoding: Encoding | None = None
                           ) -> tuple[Array, Array, Array | None, Encoding | None]:
    """X (encoded), y and the weights as arrays of `dtype`, and the
    encoding of X. With `reset` the batch fixes `estimator`'s features and
    its encoding (returned), else it must have them, `encoding` being the
    model's. Only a batch of a stream (`stream_batch`) may weigh nothing.

    X is not scanned for NaN and infinity here: the robust start and the
    engine scan it where they use it, so it is scanned once."""
    dtypes: Any = [np.float64, np.float32] if dtype is None else dtype
    if reset:
        encoding = frame_encoding(X)
    if encoding is None:
        check_plain_frame(X)
        features, target = validate_data(estimator, X, y, reset=reset, dtype=dtypes, y_numeric=True,
                                         ensure_all_finite=False)
    else:
        [design] = encode_frame(X, encoding)
        features, target = check_X_y(design, y, dtype=dtypes, y_numeric=True, ensure_all_finite=False,
                                     estimator=estimator)
        if reset:
            # scikit-learn's convention: the input columns, not the encoded ones.
            estimator.n_features_in_ = len(encoding.columns)
            estimator.feature_names_in_ = np.asarray(encoding.columns, dtype=object)
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
    return features, target, weights, encoding


# Rows of a data frame encoded at a time for predictions: a long frame with
# many levels never needs its whole design in memory, and the blocks are
# long enough that the fixed cost of each matrix-vector product (waking
# BLAS threads) stays small.
PREDICT_BLOCK_ROWS = 65536


def validate_features(estimator: BaseEstimator, X: ArrayLike, encoding: Encoding | None) -> Iterator[Array]:
    """The rows to predict as float arrays of the model's features, in
    blocks of rows: encoded by `encoding` when the model has one. The
    first block is checked before this returns."""
    dtypes: Any = [np.float64, np.float32]
    if encoding is None:
        check_plain_frame(X)
        return iter([validate_data(estimator, X, reset=False, dtype=dtypes)])
    blocks = (check_array(block, dtype=dtypes, estimator=estimator)
              for block in encode_frame(X, encoding, PREDICT_BLOCK_ROWS))
    first = next(blocks)
    return itertools.chain([first], blocks)
