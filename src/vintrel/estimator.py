"""`IncrementalHuberRegressor`: a scikit-learn estimator that streams batches
through the native engine.

The class is the scikit-learn surface: parameters, validation, fitted
attributes, inference and persistence. The stream it drives (start, units,
folding) is `vintrel._stream.Stream`; what it has learnt is published as a
frozen `vintrel.state.ModelState` after every fitting call.
"""

import contextlib
import os
import threading
from collections.abc import Iterator
from typing import Any, Self

import numpy as np
from numpy.typing import ArrayLike, NDArray
from sklearn.base import BaseEstimator, RegressorMixin
from sklearn.exceptions import ConvergenceWarning, NotFittedError
from sklearn.utils import check_array, check_consistent_length, column_or_1d
from sklearn.utils.validation import check_is_fitted

import vintrel._model_format as model_format
from vintrel._categorical import Encoding
from vintrel._engine import FoldReport
from vintrel._intervals import (
    IntervalTable,
    check_coverage,
    check_sketch,
    fitted_std_errors,
    interval_table,
    predicted,
    scale_threshold,
)
from vintrel._merge import merge_states
from vintrel._model import penalty_for, penalty_named
from vintrel._native_cpu import version
from vintrel._order import StreamOrderWarning as StreamOrderWarning
from vintrel._params import check_params
from vintrel._passes import DEFAULT_MAX_PASSES, DEFAULT_PASS_TOL, PassPoint, PassSums, evaluate_batch, run_passes
from vintrel._residual_sketch import ResidualSketch
from vintrel._scaling import Scaling
from vintrel._stream import (
    DEFAULT_BATCH_BYTES,
    MIN_START_ROWS_PER_PARAMETER,
    NotConvergedWarning,
    Stream,
    batch_rows,
    struggles,
)
from vintrel._validation import validate_encoded_batch, validate_features
from vintrel._warnings import warn
from vintrel.inference import Inference, InferenceError, Summary, check_alpha
from vintrel.state import ModelState, upgraded

__all__ = [
    "DEFAULT_BATCH_BYTES",
    "MIN_START_ROWS_PER_PARAMETER",
    "InconsistentVersionWarning",
    "IncrementalHuberRegressor",
    "NotConvergedWarning",
]

Array = NDArray[np.floating[Any]]

# The fitted attributes, all set from the published state.
_FITTED = ("coef_", "intercept_", "scale_", "n_samples_seen_", "n_batches_", "n_iter_", "converged_", "lambda_",
           "n_passes_", "_prediction", "_encoding")


class InconsistentVersionWarning(UserWarning):
    """An estimator was unpickled by another version of vintrel than the
    one that pickled it. Its estimate is loaded as it was; behaviour that
    changed between the versions may differ. Model files (`save`,
    `load`) are the format meant to move between versions."""


def _warn_if_batches_outlast(half_life: float, weights: Array | None, rows: int, rows_per_batch: int) -> None:
    """Warn when a batch of `fit` weighs more than `half_life`: forgetting
    discounts between batches, and the rows of one batch weigh alike, so
    such batches (the default ones hold millions of rows) forget little or
    nothing of the order of the rows."""
    starts = np.arange(0, rows, rows_per_batch)
    heaviest = float(np.max(np.add.reduceat(weights, starts))) if weights is not None else min(rows, rows_per_batch)
    if heaviest > half_life:
        warn(f"fit folds batches of up to {min(rows, rows_per_batch):,} rows (weight {heaviest:.6g}) with "
             f"half_life={half_life:g}: forgetting discounts between batches and the rows of a batch weigh "
             f"alike, so it forgets little of the order within them; give a batch_size well below half_life",
             UserWarning)


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
    penalty : {None, "l1", "l2", "elasticnet"}, default=None
        A penalty on the coefficients (never on the intercept), in internal
        units: features z standardised (centred, when an intercept is
        fitted, and divided by their standard deviation), target t = (y -
        y_center) / scale, with y_center the target's median and the
        residual scale of `scale`. `fit` measures these units on all rows
        when a penalty is set, so that its answer does not depend on the
        batches; a `partial_fit` stream takes them from its first batch.

        ``None`` fits by damped Newton steps. ``"l2"`` and ``"elasticnet"``
        minimise exactly, over all rows folded (weights w, W = sum w,
        intercept b0)::

            (1/W) sum_i w_i H(t_i - b0 - z_i' beta)
                + alpha * (l1_ratio * ||beta||_1 + 0.5 * (1 - l1_ratio) * ||beta||^2)

        with H(u) = u^2 / 2 for ``|u| <= epsilon`` and
        ``epsilon * |u| - epsilon^2 / 2`` beyond (``"l2"`` is
        ``l1_ratio=0``), as scikit-learn's `ElasticNet` on z and t with the
        Huber loss in place of squares. A stream carries the penalty
        exactly: it enters the total objective once, not once per batch.
        ``"l1"`` penalises ``lambda_ * ||beta||_1`` with a level that falls
        as weight accumulates (see `alpha`). ``"l1"`` and ``"elasticnet"``
        are fitted by proximal Newton steps with coordinate descent,
        ``"l2"`` by damped Newton steps.
    alpha : float or None, default=None
        The penalty level; ``None`` is 1.0 with a penalty. For ``"l2"`` and
        ``"elasticnet"`` it is the constant level of the objective above.
        For ``"l1"`` it multiplies the level
        ``alpha * epsilon * sqrt(log(max(n_features, 2)) / total_weight)``.
        Giving it without a penalty is a ValueError.
    l1_ratio : float, default=0.5
        The L1 share of ``"elasticnet"``, between 0 (ridge) and 1 (lasso);
        other penalties ignore it, as scikit-learn's `SGDRegressor` does.
    fit_intercept : bool, default=True
        Whether to fit an intercept. Without one the features are scaled
        but not centred.
    scale : "auto" or float, default="auto"
        The residual scale in the target's units. ``"auto"`` estimates it
        the way the classic Huber M-estimator with MAD scale does: the
        coefficients and the normalised median absolute deviation of the
        residuals are alternated until both settle. `fit` does this on all
        rows (see `max_passes`). A `partial_fit` stream starts from its
        first batch (on an evenly spaced sample of 10,000 rows when the
        batch is longer) and then refines the scale from later batches'
        residuals: the stream's scale is the weighted mean of its batches'
        normalised MADs, and the estimate moves to it (an exact rescaling
        of the carried quadratic) whenever it differs from the scale in use
        by more than the larger of 1 % and ``1 / sqrt(n_samples_seen_)``,
        which shrinks as rows accumulate, so that it settles. A stream
        prepared with `initialize` keeps the units it was given, so that its
        copies can be merged. A number fixes the scale.
    batch_size : int or None, default=None
        Rows per engine update in `fit`. ``None`` chooses batches whose
        internal design takes about 64 MiB; data that fits in one batch is
        fitted in one update, as a whole-data M-estimate.
    max_iter : int, default=50
        Iteration cap of each engine update.
    max_passes : int, default=20
        Passes over the data that `fit` may make, the first (streaming)
        one included. When the data spans more than one batch, `fit` streams
        it once (its scale following the batches' residuals, as a
        `partial_fit` stream's does), then evaluates the exact score, curvature-weighted Gram,
        loss and median absolute residual over all batches at the current
        coefficients and scale, and takes joint Newton steps on coefficients
        and scale until both settle: the whole-data M-estimate with MAD
        scale (statsmodels' ``RLM(y, X, M=HuberT(t=epsilon)).fit()``),
        whatever the batch size or row order. ``max_passes=1`` keeps the
        single stream.
    pass_tol : float, default=0.01
        Passes stop when a full Newton step moves the fitted values by less
        than this many of their standard errors (root mean square change
        over ``sqrt(n_parameters / n)`` in units of the scale), the scale
        by less than this many of its own (relative change over
        ``1 / sqrt(n)``) and by less than 1e-5 relatively, and the median
        was computed exactly; or when the last step was so small, on so many
        rows, that the error it leaves is predicted to be within a tenth of
        these tolerances (it is about sqrt(n_parameters / n) times the
        step's square), which spares a pass that would only confirm it.
        The default
        leaves the estimate far closer to the whole-data one than its
        sampling error, and tightens as rows accumulate.
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
    half_life : float or None, default=None
        Forgetting, for streams whose relation drifts. ``None`` forgets
        nothing. A positive weight (rows, when weights are 1): before each
        batch is folded, everything the estimate carries (its information,
        weight, the sums of its standard errors and of its scale) is
        multiplied by ``0.5 ** (batch_weight / half_life)``, so a row's
        weight halves with every `half_life` of weight folded after it.
        Standard errors then use this effective weight. Forgetting wins
        over passes: `fit` streams the data once, in the order given, and
        ignores `max_passes` (a whole-data estimate weighs every row alike),
        and a stream does not warn that its order moved the estimate, which
        forgetting intends. The rows of one batch weigh alike, so `fit`
        warns when a batch of it weighs more than `half_life` (give a
        smaller `batch_size`).

    Attributes
    ----------
    coef_ : ndarray of shape (n_features_out,)
        Coefficients in the caller's units, one per feature of
        `get_feature_names_out` (the input features, unless some are
        categorical).
    intercept_ : float
        Intercept in the caller's units (0.0 without `fit_intercept`).
    scale_ : float
        The residual scale in the target's units.
    n_features_in_ : int
        Number of features (columns) seen in the first batch.
    feature_names_in_ : ndarray of shape (`n_features_in_`,)
        Column names, when the first batch had string column names.

    n_samples_seen_ : int
        Rows folded into the estimate so far.
    n_batches_ : int
        Engine updates folded so far.
    n_iter_ : int
        Iterations of the last update.
    n_passes_ : int
        Passes over the data of the fit that made the estimate (1 for a
        stream).
    converged_ : bool
        Whether the last update met its tolerance (after passes: whether
        the passes settled).
    lambda_ : float
        The L1 level of the last update, in standardised units (0.0 without
        penalty).
    coef_se_ : ndarray of shape (n_features_out,)
        Standard errors of `coef_` (Huber's sandwich covariance; see
        `summary`). NaN for a coefficient the data does not identify.
    intercept_se_ : float
        Standard error of `intercept_` (0.0 without `fit_intercept`).
    covariance_ : ndarray of shape (n_coefficients, n_coefficients)
        Covariance of the coefficients followed by the intercept (when
        fitted), in the caller's units.

    Notes
    -----
    Categorical columns: when the first batch is a pandas or polars data
    frame with categorical columns (pandas ``category``, polars
    ``Categorical`` or ``Enum``), each is one-hot encoded with its first
    level dropped, as ``vintrel fit --categorical`` does. The levels are
    those the column's type declares, in its order (for polars'
    ``Categorical``, which declares none, the sorted levels present); the
    indicators are named ``column=level`` (`get_feature_names_out`,
    `summary`, the standard errors). Later batches and predictions must be
    frames with the same columns, and a level the model was not fitted
    with is an error naming it; a declared level that no row holds keeps
    an indicator that stays zero. Text columns are refused: cast them to a
    categorical type.

    `partial_fit` buffers first batches holding fewer than
    ``5 * n_parameters`` rows of positive weight (``n_parameters`` counts
    the intercept) until enough rows have arrived; until then the estimator
    is not fitted. `fit` fits any data with more rows of positive weight
    than parameters, and with a penalty that has a ridge part (``"l2"``,
    ``"elasticnet"`` with ``l1_ratio < 1``) any data with a row of positive
    weight.

    Threads: fitting calls (`fit`, `partial_fit`, `initialize`) on one
    estimator wait for each other. Readers (`predict`, `summary`,
    `conf_int`, the standard errors, `export_state`, pickling and `save`)
    do not wait: each reads the one frozen snapshot that the last completed
    fitting call published, so a stream folding in another thread never
    blocks them and they never mix the figures of two estimates.

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
        alpha: float | None = None,
        l1_ratio: float = 0.5,
        fit_intercept: bool = True,
        scale: str | float = "auto",
        batch_size: int | None = None,
        max_iter: int = 50,
        tol: float | None = None,
        bandwidth_scale: float = 1.0,
        ridge: float = 1e-6,
        max_passes: int = DEFAULT_MAX_PASSES,
        pass_tol: float = DEFAULT_PASS_TOL,
        n_threads: int | None = None,
        half_life: float | None = None,
    ) -> None:
        self.epsilon = epsilon
        self.penalty = penalty
        self.alpha = alpha
        self.l1_ratio = l1_ratio
        self.fit_intercept = fit_intercept
        self.scale = scale
        self.batch_size = batch_size
        self.max_iter = max_iter
        self.tol = tol
        self.bandwidth_scale = bandwidth_scale
        self.ridge = ridge
        self.max_passes = max_passes
        self.pass_tol = pass_tol
        self.n_threads = n_threads
        self.half_life = half_life

    # ----------------------------------------------------------------- fitting

    def fit(self, X: ArrayLike, y: ArrayLike, sample_weight: ArrayLike | None = None) -> Self:
        """Fit on all of `X`: the whole-data Huber M-estimate with MAD scale,
        whatever `batch_size` and the order of the rows.

        Data longer than one batch is streamed once in batches of
        `batch_size` rows, then passes over the same batches take the
        estimate and the scale to the whole-data answer (see `max_passes`);
        a `ConvergenceWarning` says when they did not settle.

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
        params = self.get_params()
        check_params(params)
        with self._guard(), self._unchanged_on_failure():
            X, y, weights, n_parameters, names, encoding = self._new_stream_batch(X, y, sample_weight)
            stream = Stream(params, X.shape[1])
            stream.feature_names, stream.encoding = names, encoding
            rows_per_batch = batch_rows(self.batch_size, n_parameters, X.dtype)
            whole = X.shape[0] <= rows_per_batch
            with_passes = not whole and self.max_passes > 1 and self.half_life is None
            if self.half_life is not None:
                _warn_if_batches_outlast(self.half_life, weights, X.shape[0], rows_per_batch)
            # The passes start closer to the whole-data scale from the
            # stream's own estimate of it than from the first batch's.
            stream.scale_follows = with_passes and params["scale"] == "auto"
            if not whole and params["penalty"] is not None:
                # A penalty applies in the internal units: measured on all
                # rows, they and the answer do not depend on the batches.
                stream.given_units = Scaling.of_all_rows(X, y, weights, self.fit_intercept, rows_per_batch)
            for begin in range(0, X.shape[0], rows_per_batch):
                rows = slice(begin, begin + rows_per_batch)
                report = stream.take(X[rows], y[rows], None if weights is None else weights[rows],
                                     whole_batch=whole, last=begin + rows_per_batch >= X.shape[0])
                self._warn_if_struggled(report)
            if stream.engine is not None:
                stream.settle_scale()
            state = stream.state(params, names)
            if with_passes and state.fitted:
                state = self._run_passes(state, X, y, weights, rows_per_batch)
                stream.reset_to(state)
            self._stream = stream
            self._publish(state)
        return self

    def _run_passes(self, state: ModelState, X: Array, y: Array, weights: Array | None,
                    rows_per_batch: int) -> ModelState:
        """Passes over the batches of `fit` from the streamed `state` until
        the whole-data estimate settles."""
        def run_pass(state: ModelState, point: PassPoint) -> PassSums:
            sums = PassSums.empty(n_parameters, point)
            for begin in range(0, X.shape[0], rows_per_batch):
                rows = slice(begin, begin + rows_per_batch)
                evaluate_batch(state, point, sums, X[rows], y[rows], None if weights is None else weights[rows])
            return sums

        n_parameters = X.shape[1] + int(self.fit_intercept)
        passes = run_passes(state, float(self.pass_tol), int(self.max_passes), run_pass)
        if not passes.converged:
            warn(f"the whole-data estimate did not settle within max_passes={self.max_passes} passes over the "
                 f"data: coefficients or scale still moved by more than pass_tol={self.pass_tol:g} of their "
                 f"standard errors in the last pass (converged_ is False); raise max_passes",
                 ConvergenceWarning)
        return passes.state

    def partial_fit(self, X: ArrayLike, y: ArrayLike, sample_weight: ArrayLike | None = None) -> Self:
        """Fold one more batch into the estimate.

        The first call fixes the features, the precision and the internal
        units; the residual scale then follows the stream (see `scale`). A
        first batch with fewer than ``5 * n_parameters`` rows of positive
        weight is kept until later batches bring enough rows.

        A stream's answer depends on the order of its batches: when a batch
        moves the coefficients by far more standard errors than a batch of
        its size from a shuffled stream would, or its residual scale
        disagrees with the stream's, a `StreamOrderWarning` says so once
        (and `summary` repeats it). Data sorted by time, price or group
        streams this way; shuffle it, `initialize` on a random sample, or
        give all of it to `fit`. Streams with a penalty (which moves the
        estimate by shrinking it) or with `half_life` (which moves it on
        purpose) are not watched.

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
        params = self.get_params()
        check_params(params)
        with self._guard(), self._unchanged_on_failure():
            stream: Stream | None = self.__dict__.get("_stream")
            X, y, weights, encoding = validate_encoded_batch(
                self, X, y, sample_weight, reset=stream is None, dtype=None if stream is None else stream.dtype,
                stream_batch=True, encoding=self.__dict__.get("_encoding"))
            self._encoding = encoding
            if stream is None:
                stream = self._stream = Stream(params, X.shape[1])
                stream.scale_follows = params["scale"] == "auto"
            stream.check_units(params)
            stream.params, stream.feature_names, stream.watch_order = params, self._feature_names(), True
            stream.encoding = encoding
            self._warn_if_struggled(stream.take(X, y, weights))
            if stream.new_order_warning is not None:
                warn(stream.new_order_warning, StreamOrderWarning)
            self._publish(stream.state(params, self._feature_names()))
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
        params = self.get_params()
        check_params(params)
        with self._guard(), self._unchanged_on_failure():
            X, y, weights, _, names, encoding = self._new_stream_batch(X_sample, y_sample, sample_weight)
            stream = Stream(params, X.shape[1])
            stream.encoding = encoding
            stream.initialize(X, y, weights)
            self._stream = stream
            self._publish(stream.state(params, names))
        return self

    @classmethod
    def merge(cls, *estimators: "IncrementalHuberRegressor") -> "IncrementalHuberRegressor":
        """Combine estimators fitted on disjoint rows into one.

        Each estimate is a quadratic summary of the rows it folded; the
        merged estimate minimises their sum: with ``penalty=None`` the
        coefficients are ``I^-1 (I_1 beta_1 + ... + I_k beta_k)`` with
        ``I = I_1 + ... + I_k``, with a penalty the penalised problem on
        the summed quadratic (plus the gradients the parts' penalty left in
        them) is solved. Counters, weights and additive
        statistics are summed, so the parts must have folded disjoint rows:
        rows folded by two parts count twice, and parts holding identical
        estimates (copies of one estimator) are refused. The estimators
        must share the parameters that define the problem, the features,
        the precision and the internal units (start them all from copies of
        one estimator prepared with `initialize`).

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
            states.append(estimator.export_state())
        return cls.from_state(merge_states(states))

    def predict(self, X: ArrayLike) -> Array:
        """Predict with the current estimate.

        Parameters
        ----------
        X : array-like of shape (n_samples, n_features)
            Samples. For a model fitted on categorical columns: a data
            frame with the columns it was fitted on (categorical ones of a
            categorical type), or an array of the encoded features
            (`get_feature_names_out`).

        Returns
        -------
        y_pred : ndarray of shape (n_samples,)
            Predicted values.
        """
        check_is_fitted(self)
        blocks = validate_features(self, X, self.__dict__.get("_encoding"))
        coef, intercept = self._prediction
        predictions = [np.asarray(features @ coef + intercept) for features in blocks]
        return predictions[0] if len(predictions) == 1 else np.concatenate(predictions)

    def _features(self, X: ArrayLike) -> Array:
        """The model's features of the rows `X`, as one array (encoded when
        the model has categorical columns)."""
        blocks = list(validate_features(self, X, self.__dict__.get("_encoding")))
        return blocks[0] if len(blocks) == 1 else np.concatenate(blocks)

    def get_feature_names_out(self, input_features: ArrayLike | None = None) -> NDArray[np.object_]:
        """The names of the coefficients of `coef_`, in order.

        Without categorical columns these are the input features
        (`feature_names_in_`, or ``x0``, ``x1``, ... without names); a
        categorical column contributes one indicator per level after its
        first, named ``column=level``.

        Parameters
        ----------
        input_features : array-like of str, default=None
            Ignored unless given, when it must equal `feature_names_in_`.

        Returns
        -------
        names : ndarray of str objects
        """
        if not hasattr(self, "n_features_in_"):
            raise NotFittedError(f"this {type(self).__name__} has seen no data yet")
        names = self._feature_names()
        if input_features is not None:
            given = [str(name) for name in np.asarray(input_features, dtype=object)]
            expected = [str(name) for name in getattr(self, "feature_names_in_",
                                                      [f"x{i}" for i in range(self.n_features_in_)])]
            if given != expected:
                raise ValueError(f"input_features {given} are not the features the model was fitted on, {expected}")
        if names is None:
            names = tuple(f"x{index}" for index in range(self.n_features_in_))
        return np.asarray(names, dtype=object)

    def predict_interval(self, X: ArrayLike, coverage: float = 0.9) -> NDArray[np.float64]:
        """Prediction intervals: bounds that a new observation's target
        falls within with probability `coverage`.

        The noise part is the distribution of the stream's own residuals
        (heavy tails, skew and gross outliers included), tracked while
        folding by a mergeable sketch: `fit` takes it from all rows at the
        final coefficients, a `partial_fit` stream from each batch at that
        batch's final coefficients. The estimation part is the standard
        error of the prediction, from `covariance_`, taken as normal and
        independent of the noise: each bound is a quantile of the noise
        plus that normal error (see `vintrel._intervals`). With
        ``penalty="l1"`` or ``"elasticnet"`` (or after batches folded with
        one) there are no standard errors and the interval has the noise
        part only.

        Parameters
        ----------
        X : array-like of shape (n_samples, n_features)
            Samples.
        coverage : float, default=0.9
            The probability, strictly between 0 and 1, that the interval
            holds the target; the interval is central (equal tails).

        Returns
        -------
        bounds : ndarray of shape (n_samples, 2)
            Lower and upper bounds, in the target's units.

        Raises
        ------
        ValueError
            A ``vintrel._intervals.ResidualDistributionError``, when the
            estimate carries no residual distribution (a model saved by an
            earlier version, or one that has folded no rows); it says how to
            get one.
        """
        coverage = check_coverage(coverage)
        check_is_fitted(self)
        features = self._features(X)
        state, std_error = self.export_state(), None
        check_sketch(state.residuals)
        # Batches folded with an L1 penalty leave the estimate without
        # standard errors whatever the penalty now is: the noise part only.
        if penalty_named(state.params["penalty"]).standard_errors and not state.sums.get("l1_batches", 0):
            inference, state = self._inference()
            scaled = inference.covariance if inference.scaled_covariance is None else inference.scaled_covariance
            std_error = inference.covariance_unit * fitted_std_errors(features, scaled, inference.fit_intercept)
        sketch = check_sketch(state.residuals)
        cached: tuple[ResidualSketch, dict[float, IntervalTable]] | None = self.__dict__.get("_interval_cache")
        if cached is None or cached[0] is not sketch:
            cached = self.__dict__["_interval_cache"] = (sketch, {})
        table = cached[1].get(coverage)
        if table is None:
            table = cached[1][coverage] = interval_table(sketch, coverage)
        return table.bounds(predicted(state, features)[0], std_error)

    def scaled_residuals(self, X: ArrayLike, y: ArrayLike) -> NDArray[np.float64]:
        """Residuals in units of the residual scale: ``(y - predict(X)) /
        scale_``. The estimate downweights rows beyond `epsilon` of them.

        Parameters
        ----------
        X : array-like of shape (n_samples, n_features)
            Samples.
        y : array-like of shape (n_samples,)
            Their target values.

        Returns
        -------
        scaled : ndarray of shape (n_samples,)
        """
        check_is_fitted(self)
        features = self._features(X)
        target = column_or_1d(check_array(y, ensure_2d=False, dtype=np.float64, input_name="y"), warn=True)
        check_consistent_length(features, target)
        prediction, scale = predicted(self.export_state(), features)
        return np.asarray((np.asarray(target, dtype=np.float64) - prediction) / scale, dtype=np.float64)

    def outlier_mask(self, X: ArrayLike, y: ArrayLike, threshold: float | None = None) -> NDArray[np.bool_]:
        """Flag the rows whose absolute scaled residual exceeds `threshold`.

        Parameters
        ----------
        X : array-like of shape (n_samples, n_features)
            Samples.
        y : array-like of shape (n_samples,)
            Their target values.
        threshold : float, default=None
            In residual scales (`scale_`). ``None`` takes 3: under normal
            noise 0.27 % of clean rows lie beyond three scales (the
            three-sigma rule), and `scale_` is a robust (MAD) scale that
            gross outliers do not inflate, so they cannot hide by widening
            it. Heavy-tailed noise puts more clean rows beyond; to flag a
            share of the rows instead, take a quantile of `scaled_residuals`.

        Returns
        -------
        mask : ndarray of shape (n_samples,) of bool
            True for the outliers.
        """
        limit = scale_threshold(threshold)
        return np.asarray(np.abs(self.scaled_residuals(X, y)) > limit)

    def __sklearn_is_fitted__(self) -> bool:
        return hasattr(self, "coef_")

    def __sklearn_tags__(self) -> Any:
        tags = super().__sklearn_tags__()
        tags.input_tags.sparse = False
        tags.input_tags.allow_nan = False
        return tags

    # ------------------------------------------------------- the published state

    def _new_stream_batch(self, X: ArrayLike, y: ArrayLike, sample_weight: ArrayLike | None
                          ) -> tuple[Array, Array, Array | None, int, tuple[str, ...] | None, Encoding | None]:
        """Validate the batch that starts a new stream; also returns the
        number of parameters, once the batch has more rows of positive
        weight than that, and the feature names. The features are recorded
        on a blank estimator, so that readers of this one see the old
        stream's names until the new stream is published. With categorical
        columns the names are those of the encoded features."""
        blank = type(self)(**self.get_params())
        X, y, weights, encoding = validate_encoded_batch(blank, X, y, sample_weight, reset=True)
        names = getattr(blank, "feature_names_in_", None) if encoding is None else encoding.feature_names
        n_parameters = int(X.shape[1]) + int(self.fit_intercept)
        usable = X.shape[0] if weights is None else int(np.count_nonzero(weights))
        if usable == 0 or (usable <= n_parameters and not penalty_for(self.get_params()).ridge_part):
            raise ValueError(
                f"{type(self).__name__} needs more samples than parameters: got {usable} "
                f"sample{'s' if usable != 1 else ''} of positive weight for {n_parameters} parameters")
        return (X, y, weights, n_parameters, None if names is None else tuple(str(name) for name in names),
                encoding)

    def _feature_names(self) -> tuple[str, ...] | None:
        """The names of the features the engine sees: the encoded ones
        with categorical columns, else `feature_names_in_`."""
        encoding: Encoding | None = self.__dict__.get("_encoding")
        if encoding is not None:
            return encoding.feature_names
        names = getattr(self, "feature_names_in_", None)
        return None if names is None else tuple(str(name) for name in names)

    def _publish(self, state: ModelState) -> None:
        """Make `state` the estimator's: the fitted attributes, inference
        and pickling all read this one snapshot. The attributes change in
        one dictionary update, so that readers in other threads never find
        them missing."""
        published: dict[str, Any] = {"_state": state, "n_features_in_": state.n_features_in}
        if state.encoding is not None:
            # scikit-learn's convention: the input columns, not the encoded ones.
            published.update(_encoding=state.encoding, n_features_in_=len(state.encoding.columns),
                             feature_names_in_=np.asarray(state.encoding.columns, dtype=object))
        elif state.feature_names_in is not None:
            published["feature_names_in_"] = np.asarray(state.feature_names_in, dtype=object)
        engine, scaling, last = state.engine, state.scaling, state.last_update
        if engine is not None and scaling is not None and last is not None:
            coef, intercept = scaling.to_caller_units(engine.coefficients)
            coef_, intercept_ = coef.astype(engine.dtype), engine.dtype.type(intercept)
            published.update(
                coef_=coef_, intercept_=intercept_, scale_=float(scaling.y_scale),
                n_samples_seen_=engine.n_samples_seen, n_batches_=engine.batch_count, n_iter_=last.n_iter,
                converged_=last.converged, lambda_=last.lambda_, n_passes_=last.n_passes,
                # One object, so that a prediction never pairs one
                # estimate's coefficients with another's intercept.
                _prediction=(coef_, intercept_))
        self.__dict__.update(published)
        for name in {*_FITTED, "feature_names_in_", "_inference_cache"} - published.keys():
            self.__dict__.pop(name, None)

    def _warn_if_struggled(self, report: FoldReport | None) -> None:
        if report is not None:
            for category, message in struggles(report, int(self.max_iter)):
                warn(message, category)

    @contextlib.contextmanager
    def _unchanged_on_failure(self) -> Iterator[None]:
        """Put every attribute and the engine back when the block fails or
        is interrupted, so a refused or interrupted call leaves the estimate
        as it was."""
        saved = dict(self.__dict__)
        try:
            yield
        except BaseException:
            # Put the old attributes back without emptying the object first,
            # so that readers in other threads never find them missing.
            for name in self.__dict__.keys() - saved.keys():
                self.__dict__.pop(name, None)
            self.__dict__.update(saved)
            # The stream commits each fold in place: put its published
            # snapshot back.
            stream: Stream | None = saved.get("_stream")
            if stream is not None:
                stream.reset_to(saved["_state"])
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
        inference, _ = self._inference()
        return inference.std_errors[:-1] if inference.fit_intercept else inference.std_errors

    @property
    def intercept_se_(self) -> float:
        """Standard error of `intercept_` (0.0 without `fit_intercept`)."""
        inference, _ = self._inference()
        return float(inference.std_errors[-1]) if inference.fit_intercept else 0.0

    @property
    def covariance_(self) -> NDArray[np.float64]:
        """Covariance of `coef_` followed by `intercept_` (when fitted)."""
        return self._inference()[0].covariance

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
        return self._inference()[0].conf_int(alpha)

    def summary(self, alpha: float = 0.05) -> Summary:
        """The coefficient table: coefficient, standard error, z, p-value
        and confidence interval per feature, with the rows, batches, scale
        and covariance formula. ``print(model.summary())`` shows it.

        The covariance is Huber's sandwich for M-estimators with the
        curvature-weighted information matrix the engine accumulates
        (statsmodels' ``RLM`` calls it "H2"), from score statistics summed
        over the folded batches at each batch's final coefficients. Sample
        weights count as frequency weights. With ``penalty="l2"`` it is the
        penalised sandwich around the information plus the penalty's
        curvature. It is not available with ``penalty="l1"`` or
        ``"elasticnet"``.

        Parameters
        ----------
        alpha : float, default=0.05
            Level of the confidence intervals.

        Returns
        -------
        summary : vintrel.inference.Summary
            The table; its `rows` hold the figures, `to_frame()` gives them
            as a pandas DataFrame, and notebooks show it as HTML.
        """
        alpha = check_alpha(alpha)
        inference, state = self._inference()
        engine, scaling = state.engine, state.scaling
        assert engine is not None and scaling is not None
        return Summary(inference.rows(alpha), alpha, engine.n_samples_seen, engine.batch_count,
                       float(scaling.y_scale), float(state.params["epsilon"]), inference.covariance_type,
                       note=state.order_warning, covariance_formula=inference.covariance_formula)

    def _inference(self) -> tuple[Inference, ModelState]:
        """The published estimate's covariance (or the reason it has none),
        with the state it belongs to; computed once per estimate.

        Readers take the published snapshot once, so a fitting call running
        in another thread cannot mix one estimate's figures with another's."""
        check_is_fitted(self)
        state = self.export_state()
        cached = self.__dict__.get("_inference_cache")
        if cached is None or cached[0] is not state.engine or cached[1] != state.feature_names_in:
            try:
                result: Inference | InferenceError = Inference.of_state(state)
            except InferenceError as error:
                result = error
            cached = self._inference_cache = (state.engine, state.feature_names_in, result)
        if isinstance(cached[2], InferenceError):
            raise InferenceError(str(cached[2]))
        return cached[2], state

    # ------------------------------------------------------------- typed state

    def export_state(self) -> ModelState:
        """Everything the estimator has learnt, as a frozen typed record.

        The record is a snapshot taken when the last fitting call finished:
        fitting calls running meanwhile in other threads do not change it.

        Returns
        -------
        vintrel.state.ModelState
            The state, with the current parameters and feature names.

        Raises
        ------
        sklearn.exceptions.NotFittedError
            When the estimator has seen no data.
        """
        state: ModelState | None = self.__dict__.get("_state")
        if state is None:
            raise NotFittedError(f"this {type(self).__name__} has seen no data yet")
        return state.replace(params=self.get_params(), feature_names_in=self._feature_names())

    @classmethod
    def from_state(cls, state: ModelState) -> Self:
        """The estimator that `state` describes, with its parameters; it can
        go on streaming.

        Parameters
        ----------
        state : vintrel.state.ModelState
            A state from `export_state`, a merge or a model file.

        Returns
        -------
        IncrementalHuberRegressor
        """
        model = cls(**state.params)
        model.import_state(state)
        return model

    def import_state(self, state: ModelState) -> Self:
        """Take on what `state` holds, keeping this estimator's parameters
        (which must define the same problem as those the state was fitted
        with).

        Parameters
        ----------
        state : vintrel.state.ModelState
            A state from `export_state`, a merge or a model file.

        Returns
        -------
        self : IncrementalHuberRegressor
        """
        params = self.get_params()
        check_params(params)
        with self._guard():
            state = state.replace(params=params)
            stream = Stream.from_state(state, params) if state.fitted or state.pending is not None else None
            self.__dict__.pop("_stream", None)
            if stream is not None:
                self._stream = stream
            self._publish(state)
        return self

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
        model_format.write(path, self.export_state())

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
        return model_format.build(path, model_format.read(path).state, cls.from_state)

    # --------------------------------------------------------------- pickling

    def __getstate__(self) -> dict[str, Any]:
        """The parameters, the plain state of what was learnt and the
        package version: the native engine is rebuilt on load, never
        pickled."""
        state: ModelState | None = self.__dict__.get("_state")
        return {"params": self.get_params(), "vintrel_version": version()["engine_version"],
                "state": None if state is None else self.export_state().to_plain()}

    def __setstate__(self, pickled: dict[str, Any]) -> None:
        # Pickles of earlier versions hold the plain state itself (when
        # fitted) and no version.
        written_by = pickled.get("vintrel_version")
        current = version()["engine_version"]
        if written_by != current:
            origin = "an earlier version of vintrel" if written_by is None else f"vintrel {written_by}"
            warn(f"unpickling {type(self).__name__} pickled by {origin} with vintrel {current}: the "
                 f"estimate is loaded as it was, but behaviour that changed between these versions may differ; "
                 f"model files (save and load) are the format for moving estimators between versions",
                 InconsistentVersionWarning)
        self.__dict__.update(upgraded(pickled["params"]))
        plain = pickled.get("state", pickled if "n_features_in" in pickled else None)
        if plain is not None:
            self.import_state(ModelState.from_plain(plain))
