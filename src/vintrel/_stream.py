"""A stream of batches folded into one engine: the state machine behind the
estimator's `fit`, `partial_fit` and `initialize`.

A stream holds rows until it has enough to start, fixes the internal units
and the robust start on its first batch, then folds every later batch into
the engine and adds its score statistics to the additive sums. Its
`state()` is a frozen snapshot; `reset_to` puts one back.
"""

import math
from collections.abc import Mapping
from typing import Any

import numpy as np
from numpy.typing import NDArray
from sklearn.exceptions import ConvergenceWarning
from sklearn.utils import assert_all_finite

from vintrel._blas import numpy_blas_on_one_thread
from vintrel._categorical import Encoding
from vintrel._engine import EngineStream, FoldReport, UpdateSettings
from vintrel._model import HuberLoss, default_tol, penalty_for, penalty_named
from vintrel._order import batch_move, order_warning
from vintrel._residual_sketch import ResidualSketch
from vintrel._robust import normalised_mad
from vintrel._scaling import Scaling
from vintrel._start import Start, huber_start, least_squares_start, start_sample
from vintrel.inference import add_sums, batch_sums, discounted_sums, penalised_batch_sums
from vintrel.state import LastUpdate, ModelState, Pending

Array = NDArray[np.floating[Any]]

# A stream starts once its first batches hold this many rows of positive
# weight per parameter; smaller first batches wait in a buffer.
MIN_START_ROWS_PER_PARAMETER = 5
# When `batch_size` is None, `fit` folds batches whose internal design takes
# about this many bytes.
DEFAULT_BATCH_BYTES = 64 * 2**20
# A later batch with a feature this many first-batch standard deviations
# from the first batch's centre is taken to be in other units: refused,
# rather than folded as rows that can teach the estimate nothing.
MAX_STANDARDISED = 1e6
# Streams of more parameters skip the order check: it reads the carried
# information matrix after every batch.
MAX_WATCHED_PARAMETERS = 500
# The discount of a batch that outweighs its half-life many times over.
FORGET_ALL = float(np.finfo(np.float64).tiny)
# The estimator's name in the errors scikit-learn's checks word.
ESTIMATOR_NAME = "IncrementalHuberRegressor"


class NotConvergedWarning(ConvergenceWarning):
    """An update stopped before meeting its tolerance; the estimate holds
    its last accepted step. Front ends that count such updates themselves
    filter this category."""


def batch_rows(batch_size: int | None, n_parameters: int, dtype: Any) -> int:
    """Rows per engine update: `batch_size`, or batches whose internal
    design takes about `DEFAULT_BATCH_BYTES`."""
    if batch_size is not None:
        return int(batch_size)
    return max(DEFAULT_BATCH_BYTES // (n_parameters * int(np.dtype(dtype).itemsize)),
               MIN_START_ROWS_PER_PARAMETER * n_parameters)


def update_settings(params: Mapping[str, Any], dtype: Any) -> UpdateSettings:
    """The engine's update arguments for the estimator parameters `params`."""
    penalty = penalty_for(params)
    tol = default_tol(penalty.solver, dtype) if params["tol"] is None else float(params["tol"])
    return UpdateSettings(tau=float(params["epsilon"]), penalty=penalty.engine_name,
                          lambda_scale=penalty.alpha, bandwidth_scale=float(params["bandwidth_scale"]),
                          max_iter=int(params["max_iter"]), tol=tol, ridge=float(params["ridge"]),
                          penalty_keywords=tuple(penalty.engine_keywords().items()))


def assert_finite(X: Array, y: Array) -> None:
    """scikit-learn's error for NaN or infinity in X or y."""
    assert_all_finite(X, input_name="X", estimator_name=ESTIMATOR_NAME)
    assert_all_finite(y, input_name="y", estimator_name=ESTIMATOR_NAME)


def struggles(report: FoldReport, max_iter: int) -> list[tuple[type[ConvergenceWarning], str]]:
    """What went wrong in an update, as warning categories and messages
    that say what it did to the estimate and what to do about it."""
    batch = f"batch {report.batch_count} (rows up to {report.n_samples_seen:,})"
    found: list[tuple[type[ConvergenceWarning], str]] = []
    if report.used_fallback:
        found.append((ConvergenceWarning,
                      f"{batch}: the Newton system was singular (constant or collinear columns in this batch) and a "
                      f"regularised fallback chose the direction; the estimate is sound if the update converged "
                      f"(converged_), and a larger ridge avoids the fallback"))
    if report.converged:
        return found
    if report.iterations >= max_iter:
        reason = (f"it reached max_iter={max_iter}; the estimate holds the last accepted step, a little short "
                  f"of this batch's optimum, which later batches keep refining; raise max_iter if this recurs")
    else:
        reason = ("no step decreased the objective any further; the estimate keeps the last accepted step, "
                  "which is at the limit of the floating-point precision (fit in float64 if this is float32)")
    return [*found, (NotConvergedWarning, f"{batch} did not converge: {reason}")]


class Stream:
    """Batches folded, one after another, into one engine.

    Parameters
    ----------
    params : mapping
        The estimator's parameters; `take` may bring new ones.
    n_features : int
        Features of every batch.
    """

    def __init__(self, params: Mapping[str, Any], n_features: int) -> None:
        self.params = dict(params)
        self.n_features = n_features
        self.engine: EngineStream | None = None
        self.scaling: Scaling | None = None
        self.units: tuple[Any, Any] | None = None  # the parameters that fixed the internal units
        self.feature_names: tuple[str, ...] | None = None  # for messages; the caller keeps it current
        self.encoding: Encoding | None = None  # the categorical columns, kept with the state
        # A stream of `partial_fit` calls watches its order and, unless its
        # units were fixed on purpose, refines its residual scale.
        self.watch_order = False
        self.scale_follows = False
        # Units given for the first batch to take (`fit` with a penalty
        # measures them on all rows); otherwise the first batch's own.
        self.given_units: Scaling | None = None
        self.order_warning: str | None = None  # the last one, kept with the state
        self.new_order_warning: str | None = None  # from the batch just folded
        self.sums: Mapping[str, Any] = {}
        self.pending: Pending | None = None
        self.last: LastUpdate | None = None
        # Residuals of the folded rows in the target's units, each batch's
        # at its final coefficients.
        self.residuals: ResidualSketch | None = None

    # ------------------------------------------------------------- states

    @classmethod
    def from_state(cls, state: ModelState, params: Mapping[str, Any]) -> "Stream":
        """The stream a snapshot describes, on a new engine."""
        stream = cls(params, state.n_features_in)
        stream.reset_to(state)
        return stream

    def reset_to(self, state: ModelState) -> None:
        """Take on a snapshot, restoring the engine in place when it has
        the snapshot's layout."""
        engine = state.engine
        if engine is None:
            self.engine = None
        elif self.engine is not None and (self.engine.dtype, self.engine.n_features, self.engine.fit_intercept) == (
                engine.dtype, engine.n_features, engine.fit_intercept):
            self.engine.restore(engine)
        else:
            self.engine = EngineStream.from_state(engine, self.params["n_threads"])
        self.scaling = state.scaling
        self.units = None if state.scaling is None else (state.scaling.fit_intercept, state.params["scale"])
        self.sums, self.pending, self.last = dict(state.sums), state.pending, state.last_update
        self.feature_names, self.encoding = state.feature_names_in, state.encoding
        self.scale_follows, self.order_warning = state.scale_follows, state.order_warning
        self.residuals = state.residuals

    def state(self, params: Mapping[str, Any], feature_names: tuple[str, ...] | None) -> ModelState:
        """A frozen snapshot of everything the stream has learnt."""
        return ModelState(params=dict(params), n_features_in=self.n_features, feature_names_in=feature_names,
                          scaling=self.scaling, engine=None if self.engine is None else self.engine.export(),
                          last_update=self.last, sums=dict(self.sums), pending=self.pending,
                          scale_follows=self.scale_follows, order_warning=self.order_warning,
                          residuals=self.residuals, encoding=self.encoding)

    @property
    def dtype(self) -> np.dtype | None:
        """The stream's precision, once a batch has fixed it."""
        if self.engine is not None:
            return self.engine.dtype
        return None if self.pending is None else self.pending.X.dtype

    # ------------------------------------------------------------ folding

    def check_units(self, params: Mapping[str, Any]) -> None:
        """Parameters that fix the internal units cannot change mid-stream."""
        if self.units is not None and self.units != (params["fit_intercept"], params["scale"]):
            raise ValueError("fit_intercept and scale cannot change in the middle of a stream; "
                             "call fit to start a new one")

    def take(self, X: Array, y: Array, weights: Array | None, *, whole_batch: bool = False,
             last: bool = False) -> FoldReport | None:
        """Fold a validated batch, or keep it until the stream can start
        (`last` starts it on whatever it holds). Returns the update's
        report, or None when nothing was folded."""
        with numpy_blas_on_one_thread():
            return self._take(X, y, weights, whole_batch, last)

    def _take(self, X: Array, y: Array, weights: Array | None, whole_batch: bool, last: bool) -> FoldReport | None:
        if self.engine is not None:
            return self._fold(X, y, weights)
        X, y, weights = self._with_pending(X, y, weights)
        n_parameters = X.shape[1] + int(self.params["fit_intercept"])
        usable = X.shape[0] if weights is None else int(np.count_nonzero(weights))
        if usable < MIN_START_ROWS_PER_PARAMETER * n_parameters and not last:
            self.pending = Pending(X.copy(), y.copy(), None if weights is None else weights.copy())
            return None
        return self._start(X, y, weights, whole_batch)

    def initialize(self, X: Array, y: Array, weights: Array | None) -> None:
        """Fix the internal units and the start on a sample without folding
        it: the engine holds the starting coefficients and no rows."""
        with numpy_blas_on_one_thread():
            engine, scaling, start = self._begin(X, y, weights, whole_batch=False)
        engine.restart(start.coefficients / start.scale)
        self.engine, self.scaling = engine, scaling
        self.units = (self.params["fit_intercept"], self.params["scale"])
        report = start.folded
        self.last = LastUpdate(0 if report is None else report.iterations,
                               True if report is None else report.converged, 0.0)
        self.pending, self.sums, self.scale_follows = None, {}, False
        self.residuals = ResidualSketch.empty()

    def _with_pending(self, X: Array, y: Array, weights: Array | None) -> tuple[Array, Array, Array | None]:
        pending, self.pending = self.pending, None
        if pending is None:
            return X, y, weights
        if pending.sample_weight is None and weights is None:
            return np.concatenate([pending.X, X]), np.concatenate([pending.y, y]), None
        old_weights = np.ones_like(pending.y) if pending.sample_weight is None else pending.sample_weight
        weights = np.ones_like(y) if weights is None else weights
        return (np.concatenate([pending.X, X]), np.concatenate([pending.y, y]),
                np.concatenate([old_weights, weights]))

    def _start(self, X: Array, y: Array, weights: Array | None, whole_batch: bool) -> FoldReport:
        """Fix the internal units on the first batch and fold it, starting
        from robust coefficients."""
        engine, scaling, start = self._begin(X, y, weights, whole_batch)
        target = scaling.target(y, engine.dtype)
        settings = update_settings(self.params, engine.dtype)
        report = start.folded
        if report is None or penalty_named(self.params["penalty"]).name is not None:
            engine.restart(start.coefficients / start.scale)
            # The engine standardises the raw features itself.
            report = engine.fold(np.ascontiguousarray(X, dtype=engine.dtype), target, weights, settings,
                                 "batch 1", scaling.units)
        self.engine, self.scaling = engine, scaling
        self.units = (self.params["fit_intercept"], self.params["scale"])
        self._add_batch_sums(report.residuals, weights)
        self._record(report)
        if self.scale_follows:
            weight = float(X.shape[0]) if weights is None else float(np.sum(weights, dtype=np.float64))
            batch_scale = normalised_mad(report.residuals, weights) * scaling.y_scale
            self.sums = add_sums(self.sums, {"scale_sum": weight * batch_scale, "scale_weight": weight})
        return report

    def _begin(self, X: Array, y: Array, weights: Array | None,
               whole_batch: bool) -> tuple[EngineStream, Scaling, Start]:
        """The internal units of a first batch, a new engine and the robust
        start (which may have left the batch folded in the engine without
        penalty, see `Start.folded`). Only the rows the start reads are put
        in internal units here."""
        assert_finite(X, y)  # the robust start computes on it before the engine scans it
        params, dtype = self.params, X.dtype
        scaling = self.given_units or Scaling.from_batch(X, y, weights, bool(params["fit_intercept"]))
        engine = EngineStream(dtype, X.shape[1], bool(params["fit_intercept"]), params["n_threads"])
        centred = np.subtract(y, scaling.y_center, dtype=np.float64)
        if params["scale"] != "auto":
            start = least_squares_start(scaling.design(X, dtype), centred, weights, scale=float(params["scale"]))
            return engine, scaling.with_y_scale(start.scale), start
        # Too few rows for an unpenalised fit: a ridge part still solves.
        usable = X.shape[0] if weights is None else int(np.count_nonzero(weights))
        keep_penalty = usable <= engine.n_parameters and penalty_for(params).ridge_part
        sample = start_sample(X.shape[0], weights, whole_batch)
        if sample is not None:
            X, centred, weights = X[sample], centred[sample], None if weights is None else weights[sample]
        start = huber_start(engine, scaling.design(X, dtype), centred, weights, update_settings(params, dtype),
                            sample is not None, keep_penalty)
        return engine, scaling.with_y_scale(start.scale), start

    def _fold(self, X: Array, y: Array, weights: Array | None) -> FoldReport | None:
        if weights is not None and not np.any(weights > 0):
            return None  # nothing to learn from rows of zero weight
        engine, scaling = self.engine, self.scaling
        assert engine is not None and scaling is not None
        if engine.n_threads != self.params["n_threads"]:
            engine = self.engine = engine.with_threads(self.params["n_threads"])
        dtype = engine.dtype
        label = f"batch {engine.batch_count + 1}"
        self.new_order_warning = None
        half_life = self.params.get("half_life")
        # Forgetting moves the estimate on purpose, and a penalty's shrinkage
        # is no move of the data's making: no order watch with either.
        watch = (self.watch_order and half_life is None and self.params["penalty"] is None
                 and engine.n_parameters <= MAX_WATCHED_PARAMETERS)
        before = engine.coefficients if watch else None
        # The engine standardises the raw features itself: no copy of the
        # batch is made here.
        X, target = np.ascontiguousarray(X, dtype=dtype), scaling.target(y, dtype)
        self._check_units(scaling.extent(X), scaling, label)
        batch_weight = float(X.shape[0]) if weights is None else float(np.sum(weights, dtype=np.float64))
        # A batch of many half-lives forgets all but the smallest share a
        # float holds (the engine takes no discount of zero).
        discount = None if half_life is None else max(0.5 ** (batch_weight / float(half_life)), FORGET_ALL)
        try:
            report = engine.fold(X, target, weights, update_settings(self.params, dtype), label, scaling.units,
                                 discount)
        except ValueError:
            assert_finite(X, target)  # the engine's scan found them: say so in scikit-learn's words
            raise
        if discount is not None:
            self.sums = discounted_sums(self.sums, discount)
            if self.residuals is not None:
                self.residuals = self.residuals.discounted(discount)
        self._add_batch_sums(report.residuals, weights)
        self._record(report)
        if before is None and not self.scale_follows:
            return report
        scale_ratio = normalised_mad(report.residuals, weights)
        if before is not None:
            self._watch(label, before, report, scale_ratio, batch_weight, X.shape[0])
        if self.scale_follows and np.isfinite(scale_ratio) and scale_ratio > 0:
            self._follow_scale(scale_ratio, batch_weight, report.n_samples_seen)
        return report

    def _watch(self, label: str, before: Array, report: FoldReport, scale_ratio: float, batch_weight: float,
               rows: int) -> None:
        """Note a batch whose move shows that the order moves the estimate."""
        sums, engine = self.sums, self.engine
        assert engine is not None
        if not {"psi_squared", "psi_prime", "weight"} <= sums.keys() or not sums["psi_prime"] > 0:
            return
        sandwich = (sums["psi_squared"] / sums["weight"]) / (sums["psi_prime"] / sums["weight"]) ** 2
        state = engine.export()
        move = batch_move(label, before, report.coefficients, state.information, sandwich, batch_weight,
                          state.weight_sum, scale_ratio, rows)
        warning = order_warning(move)
        if warning is not None:
            # Said once per stream; the state keeps the latest.
            if self.order_warning is None:
                self.new_order_warning = warning
            self.order_warning = warning

    def _follow_scale(self, scale_ratio: float, batch_weight: float, rows_seen: int) -> None:
        """Refine the residual scale from the batch's residuals.

        The stream's scale is the weighted mean of the normalised MADs of
        its batches' residuals (each at that batch's final coefficients).
        When it differs from the scale in use by more than the larger of 1
        % and 1 / sqrt(rows folded), which shrinks as rows accumulate so
        that the scale settles, the estimate moves to it (`_move_scale`)."""
        assert self.scaling is not None
        scale = self.scaling.y_scale
        self.sums = add_sums(self.sums, {"scale_sum": batch_weight * scale_ratio * scale,
                                         "scale_weight": batch_weight})
        followed = self.sums["scale_sum"] / self.sums["scale_weight"]
        if abs(math.log(followed / scale)) > max(0.01, 1 / math.sqrt(max(rows_seen, 1))):
            self._move_scale(followed)

    def settle_scale(self) -> None:
        """Move the estimate to the scale the stream has followed, however
        close it is, and stop following: the start of whole-data passes."""
        if self.scale_follows and self.sums.get("scale_weight", 0) > 0:
            followed = self.sums["scale_sum"] / self.sums["scale_weight"]
            assert self.scaling is not None
            if followed != self.scaling.y_scale:
                self._move_scale(followed)
        self.scale_follows = False

    def _move_scale(self, scale: float) -> None:
        """Put the estimate in the units of residual scale `scale`: internal
        coefficients times s / s', the carried information times (s' /
        s)^2, which is exact for the carried quadratic."""
        engine, scaling = self.engine, self.scaling
        assert engine is not None and scaling is not None
        state = engine.export()
        ratio = scaling.y_scale / scale
        with np.errstate(over="ignore", divide="ignore", invalid="ignore"):
            coefficients = np.asarray(state.coefficients, dtype=np.float64) * ratio
            information = np.asarray(state.information, dtype=np.float64) / ratio**2
        if not (np.all(np.isfinite(coefficients)) and np.all(np.isfinite(information))):
            raise ValueError(f"the residuals would move the residual scale from {scaling.y_scale:.3g} to "
                             f"{scale:.3g}, beyond what the estimate can be rescaled to in floating point: the "
                             f"target lies far outside the range of the earlier batches, or too near the largest "
                             f"float")
        engine.restore(state.with_estimate(coefficients, information, state.previous_lambda, state.weight_sum))
        self.scaling = scaling.with_y_scale(scale)

    def _check_units(self, extent: Array, scaling: Scaling, label: str) -> None:
        """Refuse a batch whose features lie far outside the first batch's
        units (NaN and infinity, which the engine reports in scikit-learn's
        words, are let through). A feature constant in the first batch has no spread
        to measure by (its scale is 1), so any values it takes later are
        accepted."""
        beyond = np.flatnonzero(np.isfinite(extent) & (extent > MAX_STANDARDISED) & (scaling.x_scale != 1.0))
        if beyond.size:
            column = int(beyond[0])
            name = f"'{self.feature_names[column]}'" if self.feature_names else str(column)
            raise ValueError(f"column {name} of {label} lies {float(extent[column]):.3g} standard deviations of the "
                             f"first batch from its centre: the batch seems to be in other units than the first "
                             f"(convert it, or start a new stream with fit)")

    def _add_batch_sums(self, residuals: Array, weights: Array | None) -> None:
        """Add the batch just folded, by the `residuals` its update returned
        (internal units, at the new coefficients), to the additive
        statistics (a new mapping, so that a snapshot taken before keeps its
        values) and to the residual distribution (in the target's units, so
        that a later move of the scale leaves it as it is)."""
        assert self.scaling is not None
        # A stream resumed from a state saved without a distribution tracks
        # the rows it folds from here on.
        self.residuals = (self.residuals or ResidualSketch.empty()).add(residuals, weights, self.scaling.y_scale)
        if not penalty_named(self.params["penalty"]).standard_errors:
            batch = penalised_batch_sums()
        else:
            batch = batch_sums(residuals, weights, HuberLoss(float(self.params["epsilon"])))
        self.sums = add_sums(self.sums, batch)

    def _record(self, report: FoldReport) -> None:
        self.last = LastUpdate(report.iterations, report.converged, report.lambda_value)
