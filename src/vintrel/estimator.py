"""`IncrementalHuberRegressor`: a scikit-learn estimator that streams batches
through the native engine."""

import contextlib
import math
import os
import threading
import warnings
from collections.abc import Callable, Iterator
from numbers import Integral, Real
from typing import Any, Self

import numpy as np
from numpy.typing import ArrayLike, NDArray
from sklearn.base import BaseEstimator, RegressorMixin
from sklearn.exceptions import ConvergenceWarning, NotFittedError
from sklearn.utils import assert_all_finite
from sklearn.utils.validation import _check_sample_weight, check_is_fitted, validate_data

from vintrel._merge import merge_states
from vintrel._scaling import Scaling
from vintrel._start import Start, huber_start, least_squares_start
from vintrel._stream import EngineStream, FoldReport, UpdateSettings
from vintrel.inference import Inference, Summary, add_sums, batch_sums, check_alpha, penalised_batch_sums

Array = NDArray[np.floating[Any]]

# A stream starts once its first batches hold this many rows of positive
# weight per parameter; smaller first batches wait in a buffer.
MIN_START_ROWS_PER_PARAMETER = 5
# When `batch_size` is None, `fit` folds batches whose internal design takes
# about this many bytes.
DEFAULT_BATCH_BYTES = 64 * 2**20
# Default step tolerances by penalty and precision. Newton steps shrink
# fast, so a tight tolerance costs an iteration or two; proximal steps
# cannot resolve much below 1e-6, and single precision not below 1e-7.
DEFAULT_TOL = {
    ("none", np.dtype(np.float64)): 1e-8,
    ("none", np.dtype(np.float32)): 1e-5,
    ("l1", np.dtype(np.float64)): 1e-6,
    ("l1", np.dtype(np.float32)): 1e-5,
}


class NotConvergedWarning(ConvergenceWarning):
    """An update stopped before meeting its tolerance; the estimate holds
    its last accepted step. Front ends that count such updates themselves
    filter this category."""


class IncrementalHuberRegressor(RegressorMixin, BaseEstimator):
    """Linear regression under the Huber loss, fitted batch by batch.

    Each batch is folded into a persistent estimate (coefficients and an
    accumulated information matrix) by the native engine; past batches are
    never revisited. The estimator works in internal units (features
    standardised and the target centred and divided by the residual scale,
    all taken from the first batch), so raw data needs no preparation, and
    reports everything in the caller's units.

    Parameters
    ----------
    epsilon : float, default=1.35
        The Huber threshold in units of the residual scale: residuals
        smaller than ``epsilon * scale_`` are fitted by least squares,
        larger ones by least absolute deviation.
    penalty : {None, "l1"}, default=None
        ``None`` fits by damped Newton steps; ``"l1"`` adds an L1 penalty on
        the standardised coefficients (never on the intercept), fitted by
        proximal gradient steps with soft-thresholding.
    alpha : float, default=1.0
        Multiplies the L1 level, which is
        ``alpha * epsilon * sqrt(log(max(n_features, 2)) / total_weight)``
        in standardised units. Ignored without penalty.
    fit_intercept : bool, default=True
        Whether to fit an intercept. Without one the features are scaled
        but not centred.
    scale : "auto" or float, default="auto"
        The residual scale in the target's units. ``"auto"`` estimates it on
        the first batch the way the classic Huber M-estimator with MAD scale
        does: the coefficients and the normalised median absolute deviation
        of the residuals are alternated until the scale settles. When the
        data is streamed and the first batch has more than 10,000 rows, the
        alternation runs on an evenly spaced sample of 10,000 of them. The
        scale is then held fixed: the carried information is in its units.
    batch_size : int or None, default=None
        Rows per engine update in `fit`. ``None`` chooses batches whose
        internal design takes about 64 MiB; data that fits in one batch is
        fitted in one update, as a whole-data M-estimate.
    max_iter : int, default=50
        Iteration cap of each engine update.
    tol : float or None, default=None
        Relative step tolerance of each update. ``None`` chooses 1e-8 for
        the Newton path and 1e-6 for the L1 path in float64, 1e-5 in
        float32.
    bandwidth_scale : float, default=1.0
        Scales the bandwidth over which the engine smooths the Huber
        curvature; the bandwidth shrinks as weight accumulates.
    ridge : float, default=1e-6
        Added to the diagonal of each Newton system, in standardised units.
        It keeps the system well-posed when a batch holds constant or
        collinear columns; it does not change the objective, so converged
        coefficients do not depend on it.
    n_threads : int or None, default=None
        Size of a private worker pool for the engine; ``None`` uses the
        process-wide pool.

    Attributes
    ----------
    coef_ : ndarray of shape (n_features_in_,)
        Coefficients in the caller's units.
    intercept_ : float
        Intercept in the caller's units (0.0 without `fit_intercept`).
    scale_ : float
        The residual scale in the target's units.
    n_features_in_ : int
        Number of features seen in the first batch.
    feature_names_in_ : ndarray of shape (n_features_in_,)
        Column names, when the first batch had string column names.
    n_samples_seen_ : int
        Rows folded into the estimate so far.
    n_batches_ : int
        Engine updates folded so far.
    n_iter_ : int
        Iterations of the last update.
    converged_ : bool
        Whether the last update met its tolerance.
    lambda_ : float
        The L1 level of the last update, in standardised units (0.0 without
        penalty).
    coef_se_ : ndarray of shape (n_features_in_,)
        Standard errors of `coef_` (Huber's sandwich covariance; see
        `summary`). NaN for a coefficient the data does not identify.
    intercept_se_ : float
        Standard error of `intercept_` (0.0 without `fit_intercept`).
    covariance_ : ndarray of shape (n_coefficients, n_coefficients)
        Covariance of the coefficients followed by the intercept (when
        fitted), in the caller's units.

    Notes
    -----
    `partial_fit` buffers first batches holding fewer than
    ``5 * n_parameters`` rows of positive weight (``n_parameters`` counts
    the intercept) until enough rows have arrived; until then the estimator
    is not fitted. `fit` fits any data with more rows of positive weight
    than parameters.

    Examples
    --------
    >>> import numpy as np
    >>> from vintrel import IncrementalHuberRegressor
    >>> rng = np.random.default_rng(0)
    >>> X = rng.normal(size=(1000, 3))
    >>> y = X @ [1.0, -2.0, 0.5] + 10 + rng.standard_t(3, size=1000)
    >>> model = IncrementalHuberRegressor().fit(X, y)
    >>> np.round(model.coef_, 1)
    array([ 1. , -2. ,  0.5])
    """

    def __init__(
        self,
        *,
        epsilon: float = 1.35,
        penalty: str | None = None,
        alpha: float = 1.0,
        fit_intercept: bool = True,
        scale: str | float = "auto",
        batch_size: int | None = None,
        max_iter: int = 50,
        tol: float | None = None,
        bandwidth_scale: float = 1.0,
        ridge: float = 1e-6,
        n_threads: int | None = None,
    ) -> None:
        self.epsilon = epsilon
        self.penalty = penalty
        self.alpha = alpha
        self.fit_intercept = fit_intercept
        self.scale = scale
        self.batch_size = batch_size
        self.max_iter = max_iter
        self.tol = tol
        self.bandwidth_scale = bandwidth_scale
        self.ridge = ridge
        self.n_threads = n_threads

    # ----------------------------------------------------------------- fitting

    def fit(self, X: ArrayLike, y: ArrayLike, sample_weight: ArrayLike | None = None) -> Self:
        """Fit on all of `X`, streamed in batches of `batch_size` rows.

        Parameters
        ----------
        X : array-like of shape (n_samples, n_features)
            Training data. float32 data is fitted in float32; anything else
            is converted to float64.
        y : array-like of shape (n_samples,)
            Target values.
        sample_weight : array-like of shape (n_samples,), default=None
            Non-negative weight of each row.

        Returns
        -------
        self : IncrementalHuberRegressor
            The fitted estimator.
        """
        self._check_params()
        with self._guard(), self._unchanged_on_failure():
            X, y, weights, n_parameters = self._new_stream_batch(X, y, sample_weight)
            batch_rows = self._batch_rows(n_parameters, X.dtype)
            buffer = np.empty((min(batch_rows, X.shape[0]), n_parameters), dtype=X.dtype)
            whole = X.shape[0] <= batch_rows
            for begin in range(0, X.shape[0], batch_rows):
                rows = slice(begin, begin + batch_rows)
                self._take(X[rows], y[rows], None if weights is None else weights[rows],
                           whole_batch=whole, buffer=buffer, last=begin + batch_rows >= X.shape[0])
        return self

    def partial_fit(self, X: ArrayLike, y: ArrayLike, sample_weight: ArrayLike | None = None) -> Self:
        """Fold one more batch into the estimate.

        The first call fixes the features, the precision and the internal
        units. A first batch with fewer than ``5 * n_parameters`` rows of
        positive weight is kept until later batches bring enough rows.

        Parameters
        ----------
        X : array-like of shape (n_samples, n_features)
            One batch. Later batches are converted to the precision of the
            first.
        y : array-like of shape (n_samples,)
            Target values.
        sample_weight : array-like of shape (n_samples,), default=None
            Non-negative weight of each row.

        Returns
        -------
        self : IncrementalHuberRegressor
            The updated estimator.
        """
        self._check_params()
        with self._guard(), self._unchanged_on_failure():
            first = not hasattr(self, "n_features_in_")
            X, y, weights = self._validate_batch(X, y, sample_weight, reset=first, stream_batch=True)
            self._check_stream_params()
            self._take(X, y, weights, whole_batch=False, buffer=None, last=False)
        return self

    def initialize(self, X_sample: ArrayLike, y_sample: ArrayLike,
                   sample_weight: ArrayLike | None = None) -> Self:
        """Fix the internal units and the starting coefficients on a sample,
        without folding it.

        Streams over disjoint parts of a data set can only be merged when
        they share their units and their start: copies of an initialised
        estimator (`copy.deepcopy`, pickle) fold the parts with
        `partial_fit`, and `merge` combines them. The sample fixes the
        scaling, the residual scale and the starting coefficients exactly as
        a first `partial_fit` batch would, but it is not counted: afterwards
        the estimator predicts with the starting coefficients and has folded
        no rows. `fit` ignores and replaces the initialisation.

        Parameters
        ----------
        X_sample : array-like of shape (n_samples, n_features)
            Rows representative of the data set, more than there are
            parameters; its precision becomes the stream's.
        y_sample : array-like of shape (n_samples,)
            Their target values.
        sample_weight : array-like of shape (n_samples,), default=None
            Non-negative weight of each row.

        Returns
        -------
        self : IncrementalHuberRegressor
            The initialised estimator.
        """
        self._check_params()
        with self._guard(), self._unchanged_on_failure():
            X, y, weights, _ = self._new_stream_batch(X_sample, y_sample, sample_weight)
            stream, scaling, _, start = self._begin(X, y, weights, whole_batch=False)
            beta = start.coefficients / start.scale
            stream.restart(beta)
            self._adopt(stream, scaling)
            report = start.folded
            self._publish(beta, 0, 0, 0 if report is None else report.iterations,
                          True if report is None else report.converged, 0.0)
        return self

    @classmethod
    def merge(cls, *estimators: "IncrementalHuberRegressor") -> "IncrementalHuberRegressor":
        """Combine estimators fitted on disjoint rows into one.

        Each estimate is a quadratic summary of the rows it folded; the
        merged estimate minimises their sum: with ``penalty=None`` the
        coefficients are ``I^-1 (I_1 beta_1 + ... + I_k beta_k)`` with
        ``I = I_1 + ... + I_k``, with ``penalty="l1"`` the L1 problem on the
        summed quadratic is solved. Counters, weights and additive
        statistics are summed. The estimators must share the parameters
        that define the problem, the features, the precision and the
        internal units (start them all from copies of one estimator
        prepared with `initialize`).

        Parameters
        ----------
        *estimators : IncrementalHuberRegressor
            Fitted estimators, each given once.

        Returns
        -------
        merged : IncrementalHuberRegressor
            A new fitted estimator with the parameters of the first.
        """
        if not all(isinstance(estimator, IncrementalHuberRegressor) for estimator in estimators):
            raise TypeError(f"{cls.__name__}.merge combines {cls.__name__} instances only")
        if len({id(estimator) for estimator in estimators}) != len(estimators):
            raise ValueError("the same estimator was given twice; its rows would count twice")
        states = []
        for index, estimator in enumerate(estimators):
            if not hasattr(estimator, "n_features_in_"):
                raise NotFittedError(f"cannot merge estimator {index}: it is not fitted")
            with estimator._guard():
                states.append(estimator._export())
        return cls._from_export(merge_states(states))

    def predict(self, X: ArrayLike) -> Array:
        """Predict with the current estimate.

        Parameters
        ----------
        X : array-like of shape (n_samples, n_features)
            Samples.

        Returns
        -------
        y_pred : ndarray of shape (n_samples,)
            Predicted values.
        """
        check_is_fitted(self)
        features = validate_data(self, X, reset=False, dtype=[np.float64, np.float32])
        return np.asarray(features @ self.coef_ + self.intercept_)

    def __sklearn_is_fitted__(self) -> bool:
        return hasattr(self, "coef_")

    def __sklearn_tags__(self) -> Any:
        tags = super().__sklearn_tags__()
        tags.input_tags.sparse = False
        tags.input_tags.allow_nan = False
        return tags

    # ------------------------------------------------------------- the stream

    def _take(self, X: Array, y: Array, weights: Array | None, *, whole_batch: bool,
              buffer: Array | None, last: bool) -> None:
        """Fold a validated batch, or keep it until the stream can start."""
        if hasattr(self, "_stream"):
            self._fold(X, y, weights, buffer)
            return
        X, y, weights = self._with_pending(X, y, weights)
        n_parameters = X.shape[1] + int(self.fit_intercept)
        usable = X.shape[0] if weights is None else int(np.count_nonzero(weights))
        if usable < MIN_START_ROWS_PER_PARAMETER * n_parameters and not last:
            self._pending = (X.copy(), y.copy(), None if weights is None else weights.copy())
            return
        self._start(X, y, weights, whole_batch)

    def _with_pending(self, X: Array, y: Array, weights: Array | None) -> tuple[Array, Array, Array | None]:
        pending = self.__dict__.pop("_pending", None)
        if pending is None:
            return X, y, weights
        old_X, old_y, old_weights = pending
        if old_weights is None and weights is None:
            return np.concatenate([old_X, X]), np.concatenate([old_y, y]), None
        old_weights = np.ones_like(old_y) if old_weights is None else old_weights
        weights = np.ones_like(y) if weights is None else weights
        return np.concatenate([old_X, X]), np.concatenate([old_y, y]), np.concatenate([old_weights, weights])

    def _start(self, X: Array, y: Array, weights: Array | None, whole_batch: bool) -> None:
        """Fix the internal units on the first batch and fold it, starting
        from robust coefficients."""
        stream, scaling, design, start = self._begin(X, y, weights, whole_batch)
        target = scaling.target(y, stream.dtype)
        settings = self._settings(stream.dtype)
        report = start.folded
        if report is None or settings.penalty != "none":
            stream.restart(start.coefficients / start.scale)
            report = stream.fold(design, target, weights, settings, "batch 1")
        self._adopt(stream, scaling)
        self._add_batch_sums(design, target, weights)
        self._record(report)

    def _begin(self, X: Array, y: Array, weights: Array | None,
               whole_batch: bool) -> tuple[EngineStream, Scaling, Array, Start]:
        """The internal units of a first batch, a new engine, the batch's
        design and the robust start (which may have left the batch folded
        in the engine without penalty, see `Start.folded`)."""
        _assert_finite(X, y)  # the robust start computes on it before the engine scans it
        dtype = X.dtype
        scaling = Scaling.from_batch(X, y, weights, self.fit_intercept)
        stream = EngineStream(dtype, X.shape[1], self.fit_intercept, self.n_threads)
        design = scaling.design(X, dtype)
        centred = np.subtract(y, scaling.y_center, dtype=np.float64)
        if self.scale == "auto":
            start = huber_start(stream, design, centred, weights, self._settings(dtype), whole_batch)
        else:
            start = least_squares_start(design, centred, weights, scale=float(self.scale))
        return stream, scaling.with_y_scale(start.scale), design, start

    def _adopt(self, stream: EngineStream, scaling: Scaling) -> None:
        """Make `stream` and `scaling` the estimator's, with the parameters
        that fixed the units."""
        self._stream, self._scaling, self._units = stream, scaling, (self.fit_intercept, self.scale)

    def _fold(self, X: Array, y: Array, weights: Array | None, buffer: Array | None) -> None:
        if weights is not None and not np.any(weights > 0):
            return  # nothing to learn from rows of zero weight
        stream, scaling = self._stream, self._scaling
        if stream.n_threads != self.n_threads:
            stream = self._stream = stream.with_threads(self.n_threads)
        dtype = stream.dtype
        design, target = scaling.design(X, dtype, out=buffer), scaling.target(y, dtype)
        try:
            report = stream.fold(design, target, weights, self._settings(dtype), f"batch {self.n_batches_ + 1}")
        except ValueError:
            _assert_finite(X, target)  # the engine's scan found them: say so in scikit-learn's words
            raise
        self._add_batch_sums(design, target, weights)
        self._record(report)

    def _add_batch_sums(self, design: Array, target: Array, weights: Array | None) -> None:
        """Add the batch just folded to the additive statistics: its score
        statistics at the engine's new coefficients, in one prediction pass.
        The dict is new, so a failed call restores the old one."""
        if self.penalty == "l1":
            batch = penalised_batch_sums()
        else:
            batch = batch_sums(target - self._stream.predict(design), weights, float(self.epsilon))
        self._sums = add_sums(getattr(self, "_sums", {}), batch)

    def _record(self, report: FoldReport) -> None:
        """Publish the estimate after an update and warn when it struggled."""
        self._publish(report.coefficients, report.n_samples_seen, report.batch_count,
                      report.iterations, report.converged, report.lambda_value)
        self._warn_if_struggled(report)

    def _publish(self, coefficients: Array, n_samples_seen: int, batch_count: int,
                 n_iter: int, converged: bool, lambda_value: float) -> None:
        """Set the fitted attributes from internal coefficients."""
        dtype = self._stream.dtype
        coef, intercept = self._scaling.to_caller_units(coefficients)
        self.coef_ = coef.astype(dtype)
        self.intercept_ = dtype.type(intercept)
        self.scale_ = float(self._scaling.y_scale)
        self.n_samples_seen_, self.n_batches_ = n_samples_seen, batch_count
        self.n_iter_, self.converged_, self.lambda_ = n_iter, converged, lambda_value

    def _warn_if_struggled(self, report: FoldReport) -> None:
        for category, message in self._struggles(report):
            warnings.warn(message, category, stacklevel=4)

    def _struggles(self, report: FoldReport) -> list[tuple[type[ConvergenceWarning], str]]:
        """What went wrong in the update just recorded: a warning category
        and a message each."""
        batch = f"batch {self.n_batches_} (rows up to {self.n_samples_seen_})"
        struggles: list[tuple[type[ConvergenceWarning], str]] = []
        if report.used_fallback:
            struggles.append((ConvergenceWarning, f"{batch}: the Newton system was singular and a regularised "
                                                  f"fallback gave the direction; consider a larger ridge"))
        if report.converged:
            return struggles
        if report.iterations >= self.max_iter:
            reason = f"it reached max_iter={self.max_iter}; consider raising max_iter"
        else:
            reason = "no step decreased the objective; the last accepted estimate is kept"
        return [*struggles, (NotConvergedWarning, f"{batch} did not converge: {reason}")]

    def _forget(self) -> None:
        """Drop the fitted estimate, keeping what validation just recorded."""
        for name in ("_stream", "_scaling", "_units", "_pending", "_sums", "coef_", "intercept_", "scale_",
                     "n_samples_seen_", "n_batches_", "n_iter_", "converged_", "lambda_"):
            self.__dict__.pop(name, None)

    # ------------------------------------------------------------- validation

    def _validate_batch(self, X: ArrayLike, y: ArrayLike, sample_weight: ArrayLike | None,
                        reset: bool, stream_batch: bool = False) -> tuple[Array, Array, Array | None]:
        """X, y and the weights as arrays of the stream's precision. Only a
        batch of a stream (`stream_batch`) may weigh nothing: it is skipped,
        or waits with the rows that will start the stream."""
        dtypes = [np.float64, np.float32] if reset else self._dtype()
        # X is scanned for NaN and infinity where it is used: by the start,
        # and by the engine for every batch it folds, so not twice.
        features, target = validate_data(self, X, y, reset=reset, dtype=dtypes, y_numeric=True,
                                         ensure_all_finite=False)
        target = np.asarray(target, dtype=features.dtype)
        weights = None
        if sample_weight is not None:
            weights = _check_sample_weight(sample_weight, features, dtype=features.dtype,
                                           ensure_non_negative=True, allow_all_zero_weights=stream_batch)
        return features, target, weights

    def _dtype(self) -> np.dtype:
        if hasattr(self, "_stream"):
            return self._stream.dtype
        pending = getattr(self, "_pending", None)
        return pending[0].dtype if pending is not None else np.dtype(np.float64)

    def _new_stream_batch(self, X: ArrayLike, y: ArrayLike, sample_weight: ArrayLike | None
                          ) -> tuple[Array, Array, Array | None, int]:
        """Validate the batch that starts a new stream and forget the old
        one; also returns the number of parameters, once the batch has more
        rows of positive weight than that."""
        X, y, weights = self._validate_batch(X, y, sample_weight, reset=True)
        self._forget()
        n_parameters = int(X.shape[1]) + int(self.fit_intercept)
        usable = X.shape[0] if weights is None else int(np.count_nonzero(weights))
        if usable <= n_parameters:
            raise ValueError(
                f"{type(self).__name__} needs more samples than parameters: got {usable} "
                f"sample{'s' if usable != 1 else ''} of positive weight for {n_parameters} parameters")
        return X, y, weights, n_parameters

    def _check_params(self) -> None:
        for name, (accepts, expected) in _PARAMETER_RULES.items():
            value = getattr(self, name)
            if not accepts(value):
                raise ValueError(f"{name} must be {expected}; got {value!r}")

    def _check_stream_params(self) -> None:
        """Parameters that fix the internal units cannot change mid-stream."""
        units = getattr(self, "_units", None)
        if units is not None and units != (self.fit_intercept, self.scale):
            raise ValueError("fit_intercept and scale cannot change in the middle of a stream; "
                             "call fit to start a new one")

    def _settings(self, dtype: np.dtype) -> UpdateSettings:
        penalty = "none" if self.penalty is None else "l1"
        tol = DEFAULT_TOL[penalty, np.dtype(dtype)] if self.tol is None else float(self.tol)
        return UpdateSettings(tau=float(self.epsilon), penalty=penalty, lambda_scale=float(self.alpha),
                              bandwidth_scale=float(self.bandwidth_scale), max_iter=int(self.max_iter),
                              tol=tol, ridge=float(self.ridge))

    def _batch_rows(self, n_parameters: int, dtype: np.dtype) -> int:
        if self.batch_size is not None:
            return int(self.batch_size)
        return max(DEFAULT_BATCH_BYTES // (n_parameters * np.dtype(dtype).itemsize),
                   MIN_START_ROWS_PER_PARAMETER * n_parameters)

    @contextlib.contextmanager
    def _unchanged_on_failure(self) -> Iterator[None]:
        """Put every attribute back when the block fails or is interrupted,
        so a refused or interrupted call leaves the estimate as it was."""
        saved = dict(self.__dict__)
        # The engine commits each fold in place, so a failure after a fold
        # (a warning raised as an error, an interrupt) needs its old state too.
        stream: EngineStream | None = saved.get("_stream")
        engine_state = None if stream is None else stream.export()
        try:
            yield
        except BaseException:
            self.__dict__.clear()
            self.__dict__.update(saved)
            if stream is not None and engine_state is not None:
                stream.restore(engine_state)
            raise

    def _guard(self) -> threading.Lock:
        """The lock that serialises fitting calls on this estimator."""
        if "_lock" not in self.__dict__:
            self.__dict__["_lock"] = threading.Lock()
        lock: threading.Lock = self.__dict__["_lock"]
        return lock

    # ------------------------------------------------------------- inference

    @property
    def coef_se_(self) -> NDArray[np.float64]:
        """Standard errors of `coef_`, in the caller's units."""
        inference = self._inference()
        return inference.std_errors[: self.n_features_in_]

    @property
    def intercept_se_(self) -> float:
        """Standard error of `intercept_` (0.0 without `fit_intercept`)."""
        inference = self._inference()
        return float(inference.std_errors[-1]) if inference.fit_intercept else 0.0

    @property
    def covariance_(self) -> NDArray[np.float64]:
        """Covariance of `coef_` followed by `intercept_` (when fitted)."""
        return self._inference().covariance

    def conf_int(self, alpha: float = 0.05) -> NDArray[np.float64]:
        """Normal confidence intervals of the coefficients.

        Parameters
        ----------
        alpha : float, default=0.05
            The intervals cover the true coefficients with probability
            ``1 - alpha`` (asymptotically).

        Returns
        -------
        bounds : ndarray of shape (n_coefficients, 2)
            Lower and upper bounds of each coefficient of `coef_`, then of
            `intercept_` when one is fitted.
        """
        alpha = check_alpha(alpha)
        return self._inference().conf_int(alpha)

    def summary(self, alpha: float = 0.05) -> Summary:
        """The coefficient table: coefficient, standard error, z, p-value
        and confidence interval per feature, with the rows, batches, scale
        and covariance formula. ``print(model.summary())`` shows it.

        The covariance is Huber's sandwich for M-estimators with the
        curvature-weighted information matrix the engine accumulates
        (statsmodels' ``RLM`` calls it "H2"), from score statistics summed
        over the folded batches at each batch's final coefficients. Sample
        weights count as frequency weights. It is not available with
        ``penalty="l1"``.

        Parameters
        ----------
        alpha : float, default=0.05
            Level of the confidence intervals.

        Returns
        -------
        summary : vintrel.inference.Summary
            The table; its `rows` hold the figures.
        """
        alpha = check_alpha(alpha)
        inference = self._inference()
        return Summary(inference.rows(alpha), alpha, int(self.n_samples_seen_), int(self.n_batches_),
                       float(self.scale_), float(self.epsilon))

    def _inference(self) -> Inference:
        """The current estimate's covariance, or the reason it has none."""
        check_is_fitted(self)
        state = self._stream.export()
        names = [str(name) for name in getattr(self, "feature_names_in_", [])] or [
            f"x{index}" for index in range(self.n_features_in_)]
        return Inference.from_state(
            information=state["information"], coefficients=state["coefficients"],
            sums=getattr(self, "_sums", {}), scaling=self._scaling,
            names=(*names, *(("intercept",) if self._scaling.fit_intercept else ())),
            penalty=self.penalty, n_batches=int(self.n_batches_))

    # ---------------------------------------------------------- plain state

    def _export(self) -> dict[str, Any]:
        """Everything the estimator has learnt, as plain values and arrays.

        The nesting is fixed: "params", "n_features_in", "feature_names_in",
        "scaling", "engine", "last_update", "sums" and "pending" (rows
        waiting for the stream to start, or None). "sums" holds statistics
        that streams over disjoint rows combine by adding them up, each a
        float or an array. Only a fitted or buffering estimator has a state.
        """
        if not hasattr(self, "n_features_in_"):
            raise NotFittedError(f"this {type(self).__name__} has seen no data yet")
        names = getattr(self, "feature_names_in_", None)
        exported: dict[str, Any] = {
            "params": self.get_params(),
            "n_features_in": int(self.n_features_in_),
            "feature_names_in": None if names is None else [str(name) for name in names],
            "scaling": None, "engine": None, "last_update": None, "pending": None,
            "sums": dict(getattr(self, "_sums", {})),
        }
        if hasattr(self, "_stream"):
            scaling = self._scaling
            exported["scaling"] = {"x_center": scaling.x_center, "x_scale": scaling.x_scale,
                                   "y_center": scaling.y_center, "y_scale": scaling.y_scale,
                                   "fit_intercept": scaling.fit_intercept}
            exported["engine"] = self._stream.export()
            exported["last_update"] = {"n_iter": self.n_iter_, "converged": self.converged_,
                                       "lambda": self.lambda_}
        pending = getattr(self, "_pending", None)
        if pending is not None:
            exported["pending"] = {"X": pending[0], "y": pending[1], "sample_weight": pending[2]}
        return exported

    @classmethod
    def _from_export(cls, exported: dict[str, Any]) -> "IncrementalHuberRegressor":
        """The estimator that `_export` described."""
        model = cls(**exported["params"])
        model._load(exported)
        return model

    def _load(self, exported: dict[str, Any]) -> None:
        """Take on what `_export` described, beside the parameters."""
        self.n_features_in_ = int(exported["n_features_in"])
        if exported["feature_names_in"] is not None:
            self.feature_names_in_ = np.asarray(exported["feature_names_in"], dtype=object)
        engine = exported["engine"]
        if engine is not None:
            scaling = exported["scaling"]
            self._adopt(EngineStream.from_export(engine, self.n_threads),
                        Scaling(np.asarray(scaling["x_center"], dtype=np.float64),
                                np.asarray(scaling["x_scale"], dtype=np.float64),
                                float(scaling["y_center"]), float(scaling["y_scale"]),
                                bool(scaling["fit_intercept"])))
            last = exported["last_update"]
            self._publish(np.asarray(engine["coefficients"]), int(engine["n_samples_seen"]),
                          int(engine["batch_count"]), int(last["n_iter"]), bool(last["converged"]),
                          float(last["lambda"]))
        if exported["sums"]:
            self._sums = dict(exported["sums"])
        if exported["pending"] is not None:
            pending = exported["pending"]
            self._pending = (pending["X"], pending["y"], pending["sample_weight"])

    # ------------------------------------------------------------- model file

    def save(self, path: str | os.PathLike[str]) -> None:
        """Write the estimator to a model file, atomically.

        The format (see `vintrel.model_file`) is versioned and loads
        without executing code.

        Parameters
        ----------
        path : str or path-like
            The file to write; an existing file is replaced only once the
            new one is complete.

        Raises
        ------
        sklearn.exceptions.NotFittedError
            When the estimator has seen no data.
        """
        from vintrel import model_file

        with self._guard():
            model_file.save(path, self)

    @classmethod
    def load(cls, path: str | os.PathLike[str]) -> "IncrementalHuberRegressor":
        """Read an estimator from a model file written by `save` or the
        command line.

        Parameters
        ----------
        path : str or path-like
            The model file.

        Returns
        -------
        IncrementalHuberRegressor
            The estimator as it was saved; it can go on streaming.

        Raises
        ------
        vintrel.model_file.ModelFileError
            When the file is missing, truncated, of another format version
            or inconsistent.
        """
        from vintrel import model_file

        return model_file.load(path)

    # --------------------------------------------------------------- pickling

    def __getstate__(self) -> dict[str, Any]:
        """The parameters and the plain state of what was learnt: the
        native engine is rebuilt on load, never pickled."""
        if not hasattr(self, "n_features_in_"):
            return {"params": self.get_params()}
        return self._export()

    def __setstate__(self, state: dict[str, Any]) -> None:
        self.__dict__.update(state["params"])
        if "n_features_in" in state:
            self._load(state)


def _assert_finite(X: Array, y: Array) -> None:
    """scikit-learn's error for NaN or infinity in X or y."""
    assert_all_finite(X, input_name="X", estimator_name=IncrementalHuberRegressor.__name__)
    assert_all_finite(y, input_name="y", estimator_name=IncrementalHuberRegressor.__name__)


def _is_real(value: object) -> bool:
    if isinstance(value, bool):
        return False
    return isinstance(value, Real) and math.isfinite(value)


def _is_integer(value: object) -> bool:
    if isinstance(value, bool):
        return False
    return isinstance(value, Integral)


def _positive(value: Any) -> bool:
    return _is_real(value) and value > 0


def _non_negative(value: Any) -> bool:
    return _is_real(value) and value >= 0


def _count(value: Any) -> bool:
    return _is_integer(value) and value >= 1


# What each parameter accepts, and how to say it.
_PARAMETER_RULES: dict[str, tuple[Callable[[Any], bool], str]] = {
    "epsilon": (_positive, "a positive finite number"),
    "penalty": (lambda v: v is None or v == "l1", 'None or "l1"'),
    "alpha": (_non_negative, "a non-negative finite number"),
    "fit_intercept": (lambda v: isinstance(v, (bool, np.bool_)), "a bool"),
    "scale": (lambda v: v == "auto" or _positive(v), '"auto" or a positive finite number'),
    "batch_size": (lambda v: v is None or _count(v), "None or a positive integer"),
    "max_iter": (_count, "a positive integer"),
    "tol": (lambda v: v is None or _positive(v), "None or a positive finite number"),
    "bandwidth_scale": (_positive, "a positive finite number"),
    "ridge": (_non_negative, "a non-negative finite number"),
    "n_threads": (lambda v: v is None or _count(v), "None or a positive integer"),
}
