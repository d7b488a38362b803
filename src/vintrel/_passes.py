"""Whole-data fits by passes: the Huber M-estimate of all rows with the
MAD scale, however they are batched or ordered.

A first streaming pass gives a start. Each further pass evaluates, at the
current coefficients and scale, the exact score sum, the curvature-weighted
Gram and the loss over every batch, and the median absolute residual. A
Newton step on those sums (under the penalty, if any) gives the next
coefficients and the median the next scale, the fixed point of the
classic M-estimator with MAD scale; the pass also measures how both move
with the scale, so that scale and coefficients take a joint Newton step.
A Newton step on the Huber loss can overshoot where the set of rows inside
the threshold changes, so each pass also measures the loss at the point the
step started from (moved with the scale) and at shares of the step; a step
that did not lower the loss is replaced by its best share on the next pass. Passes stop when a full step and
the scale both change by less than a tolerance and the median was exact
(see `vintrel._median`).

Everything a pass adds up is additive over batches and over partitions, so
passes run wherever the data is: in memory, over files, or on a cluster.
"""

import math
import threading
from collections.abc import Callable
from dataclasses import dataclass, field, replace
from typing import Any

import numpy as np
from numpy.typing import NDArray

from vintrel._blas import numpy_blas_on_one_thread
from vintrel._engine import EngineStream
from vintrel._median import AbsoluteMedian, Bracket
from vintrel._merge import with_minimiser
from vintrel._model import HuberLoss, penalised_mask, penalty_for, penalty_named
from vintrel._residual_sketch import ResidualSketch
from vintrel._robust import MAD_NORMALISER
from vintrel.state import EngineState, LastUpdate, ModelState

Vector = NDArray[np.float64]
Matrix = NDArray[np.float64]
Array = NDArray[np.floating[Any]]

DEFAULT_MAX_PASSES = 20
DEFAULT_PASS_TOL = 0.01
# However many rows, passes stop only once the scale moves by less than
# this, relatively: on small tables its standard error is wide.
MAX_SCALE_CHANGE = 1e-5
# A joint step whose predicted error is within this share of the
# tolerances ends the passes without a pass to confirm it.
LANDING_SHARE = 0.1
# Adjacent absolute residuals near their median lie about this many
# medians over the row count apart (2.3 for normal residuals).
MEDIAN_SPACING = 2.5
# Without a bracket from an earlier pass, the rows within this relative
# distance of the expected median describe how the median moves.
WINDOW_HALF_WIDTH = 0.05
# A step is halved at most this many times in a row before the passes give
# up: by then the direction is no use.
MAX_HALVINGS = 20
# The smallest ridge (per unit of weight, in standardised units) added to
# the Newton matrix of a pass.
MIN_RIDGE = 1e-12
# Shares of a Newton step whose loss every pass measures; the last is the
# point the step started from.
SHARES = (0.5, 0.125, 0.0)


@dataclass(frozen=True)
class PassPoint:
    """Where a pass evaluates: coefficients in the target's units (the
    internal coefficients times the scale), the residual scale, the Newton
    step that led here (the loss is compared with the point before it) and
    where the median is expected."""

    coefficients: Vector
    scale: float
    step: Vector
    bracket: Bracket | None

    @property
    def window(self) -> Bracket:
        """The rows whose |residual| lies here tell how the median moves."""
        if self.bracket is not None:
            return self.bracket
        expected = self.scale * MAD_NORMALISER
        return Bracket(expected * (1 - WINDOW_HALF_WIDTH), expected * (1 + WINDOW_HALF_WIDTH))

    def internal(self, scale: float) -> Vector:
        """The internal coefficients at residual scale `scale`."""
        return self.coefficients / scale


@dataclass
class PassSums:
    """What a pass adds up over its batches, in internal units at the
    pass's scale."""

    gradient: Vector
    gram: Matrix
    rows: int = 0
    batches: int = 0
    weight: float = 0.0
    loss: float = 0.0
    # The loss at shares of the step that led here: the point the step
    # started from (share 0), and shares between, to fall back on.
    trial_losses: Vector = field(default_factory=lambda: np.zeros(len(SHARES)))
    psi_squared: float = 0.0
    psi_prime: float = 0.0
    median: AbsoluteMedian = field(default_factory=lambda: AbsoluteMedian(1.0))
    # How the coefficients and the median move with the scale: the sum of
    # psi'(u) u z, and the sum of sign(r) z over the rows near the median.
    scale_gradient: Vector = field(default_factory=lambda: np.zeros(0))
    median_direction: Vector = field(default_factory=lambda: np.zeros(0))
    window_weight: float = 0.0
    # The residuals at the pass's point, in the target's units: the last
    # pass's become the estimate's residual distribution.
    residuals: ResidualSketch = field(default_factory=ResidualSketch.empty)

    @classmethod
    def empty(cls, p: int, point: PassPoint) -> "PassSums":
        return cls(np.zeros(p), np.zeros((p, p)), median=AbsoluteMedian(point.scale, point.bracket),
                   scale_gradient=np.zeros(p), median_direction=np.zeros(p))

    def add(self, other: "PassSums") -> None:
        """Add another part's sums (a partition's, on a cluster)."""
        self.gradient += other.gradient
        self.gram += other.gram
        self.rows += other.rows
        self.batches += other.batches
        self.weight += other.weight
        self.loss += other.loss
        self.trial_losses += other.trial_losses
        self.psi_squared += other.psi_squared
        self.psi_prime += other.psi_prime
        self.median.merge(other.median)
        self.scale_gradient += other.scale_gradient
        self.median_direction += other.median_direction
        self.window_weight += other.window_weight
        self.residuals = self.residuals.merged(other.residuals)


def evaluate_batch(state: ModelState, point: PassPoint, sums: PassSums, X: Array, y: Array,
                   weights: Array | None) -> None:
    """Add one validated batch (in the caller's units) to `sums`.

    The engine evaluates the batch at the point from the raw features (its
    score sum, curvature-weighted Gram, Huber sums and residuals, on its
    threads); what else the pass needs is worked out here from the
    residuals and a product or two with the raw features."""
    with numpy_blas_on_one_thread():
        _evaluate_batch(state, point, sums, X, y, weights)


def _evaluate_batch(state: ModelState, point: PassPoint, sums: PassSums, X: Array, y: Array,
                    weights: Array | None) -> None:
    scaling, engine = state.scaling, state.engine
    assert scaling is not None and engine is not None
    loss = HuberLoss(float(state.params["epsilon"]))
    half_width = loss.half_width(float(state.params["bandwidth_scale"]), engine.weight_sum, state.n_features_in)
    X = np.ascontiguousarray(X, dtype=engine.dtype)
    target = scaling.with_y_scale(point.scale).target(y, engine.dtype)
    evaluated = _evaluator(engine.dtype, engine.n_features, engine.fit_intercept).evaluate(
        X, target, weights, point.internal(point.scale), loss.epsilon, half_width, scaling.units)
    residuals = np.asarray(evaluated["residuals"], dtype=np.float64)
    centred = residuals * point.scale
    w = np.ones(residuals.size) if weights is None else np.asarray(weights, dtype=np.float64)
    sums.gradient += evaluated["gradient"]
    sums.gram += evaluated["gram"]
    sums.rows += residuals.size
    sums.batches += 1
    sums.weight += float(evaluated["weight"])
    # The loss is summed here as the shares' losses are, so that the two
    # compare in one arithmetic whatever the engine's precision.
    sums.loss += float(w @ loss.rho(residuals))
    sums.psi_squared += float(evaluated["psi_squared"])
    sums.psi_prime += float(evaluated["psi_prime"])
    # Residuals at shares of the step that led here, from the point it
    # started from: one product with the features, then a sum per share.
    moved = scaling.standardised(X, point.step) if point.step.any() else np.zeros_like(centred)
    sums.trial_losses += [float(w @ loss.rho((centred + (1 - share) * moved) / point.scale)) for share in SHARES]
    sums.scale_gradient += scaling.weighted_rows(X, w * (loss.psi_prime(residuals) * residuals))
    window = point.window
    distance = np.abs(centred)
    near = np.flatnonzero((distance >= window.low) & (distance < window.high))
    sums.median_direction += scaling.weighted_rows(X[near], w[near] * np.sign(centred[near]))
    sums.window_weight += float(w[near].sum())
    sums.median.add(centred, weights)
    sums.residuals = sums.residuals.add(residuals, weights, point.scale)


# Engines that evaluate batches, one per thread and layout: evaluation does
# not touch an engine's estimate, but an engine serves one call at a time.
_EVALUATORS = threading.local()


def _evaluator(dtype: np.dtype, n_features: int, fit_intercept: bool) -> EngineStream:
    engines: dict[tuple[str, int, bool], EngineStream] | None = getattr(_EVALUATORS, "engines", None)
    if engines is None:
        engines = _EVALUATORS.engines = {}
    key = (np.dtype(dtype).name, n_features, fit_intercept)
    if key not in engines:
        engines[key] = EngineStream(np.dtype(dtype), n_features, fit_intercept, None)
    return engines[key]


@dataclass
class Passes:
    """The passes of one whole-data fit, started from a streamed state.

    Parameters
    ----------
    state : ModelState
        The state after the first streaming pass over all the data.
    pass_tol : float
        Passes stop when a full Newton step moves the fitted values, and
        the scale, by less than this many of their standard errors (the
        scale also by less than `MAX_SCALE_CHANGE` relatively).
    max_passes : int
        Passes at most, the first streaming pass included.
    """

    state: ModelState
    pass_tol: float = DEFAULT_PASS_TOL
    max_passes: int = DEFAULT_MAX_PASSES
    n_passes: int = 1
    converged: bool = False
    failed: bool = False
    last_change: float = 0.0  # the last full step, in standard errors of the fitted values
    point: PassPoint = field(init=False)

    def __post_init__(self) -> None:
        engine, scaling = self.state.engine, self.state.scaling
        assert engine is not None and scaling is not None
        scale = scaling.y_scale
        coefficients = np.asarray(engine.coefficients, dtype=np.float64) * scale
        # Where the stream's scale puts the median: when the stream was
        # close (a shuffled one), the first pass already finds it exactly.
        expected = scale * MAD_NORMALISER
        bracket = Bracket(expected * (1 - WINDOW_HALF_WIDTH), expected * (1 + WINDOW_HALF_WIDTH))
        self.point = PassPoint(coefficients, scale, np.zeros_like(coefficients), bracket)
        # A penalised fit takes the scale of the unpenalised whole-data fit,
        # as a fit of one batch does: passes without the penalty settle the
        # scale first, then passes with it at that scale.
        self._penalty = self.state.params["penalty"]
        self._alpha = self.state.params["alpha"]
        self.scale_fixed = False
        if self._penalty is not None:
            self.state = self.state.replace(params={**self.state.params, "penalty": None, "alpha": None})

    @property
    def done(self) -> bool:
        return self.converged or self.failed or self.n_passes >= self.max_passes

    def finish(self, sums: PassSums) -> None:
        """Decide on the step that led here, then propose the next one."""
        self.n_passes += 1
        point = self.point
        before = self._objective(sums.trial_losses[-1], point.coefficients - point.step, point.scale)
        if point.step.any() and self._objective(sums.loss, point.coefficients, point.scale) > before * (1 + 1e-12):
            self._shorten(sums, before)
            return
        median = sums.median.result()
        measured = median.value / MAD_NORMALISER
        measured = measured if np.isfinite(measured) and measured > 0 else point.scale
        # The ridge keeps the Newton matrix solvable over constant or
        # collinear columns, as in the engine's updates; it changes the
        # steps, not where they end.
        ridge = max(float(self.state.params["ridge"]), MIN_RIDGE) * sums.weight
        matrix = sums.gram + ridge * np.eye(point.coefficients.size)
        newton = self._newton(sums, matrix) - point.coefficients
        # The step's size in standard errors: the change of the fitted
        # values (root mean square, in units of the scale) over their
        # standard error sqrt(p / n), and the scale's relative change over
        # its own, about 1 / sqrt(n) (and at most `MAX_SCALE_CHANGE`).
        # Directions the data does not identify
        # (collinear columns) change no fit and do not count.
        self.last_change = change = self._change(newton, sums.gram)
        scale_settled = abs(measured / point.scale - 1) <= min(self.pass_tol / math.sqrt(sums.weight),
                                                               MAX_SCALE_CHANGE)
        if self.scale_fixed:
            scale, moved = point.scale, np.zeros_like(newton)
            self.converged = change <= self.pass_tol
        else:
            scale, moved, joint = self._joint_scale(sums, matrix, measured)
            settled = change <= self.pass_tol and scale_settled
            landed = joint and self._lands(change, self._change(moved, sums.gram), scale / point.scale - 1, sums)
            self.converged = median.exact and (settled or landed)
        stepped = point.coefficients + moved + newton
        self.state = self._state_at(stepped, scale, sums)
        self.point = PassPoint(stepped, scale, newton, sums.median.next_bracket(median.value))
        if self.converged and self._penalty is not None and not self.scale_fixed:
            self.scale_fixed, self.converged = True, False
            self.state = self.state.replace(params={**self.state.params, "penalty": self._penalty,
                                                    "alpha": self._alpha})
            self.point = replace(self.point, step=np.zeros_like(newton))

    def _change(self, step: Vector, gram: Matrix) -> float:
        """A coefficient step in standard errors: the root mean square
        change of the fitted values over their standard error sqrt(p / n),
        in units of the scale. Directions the data does not identify
        (collinear columns) change no fit and do not count."""
        return math.sqrt(max(float(step @ gram @ step), 0.0) / step.size) / self.point.scale

    def _lands(self, change: float, moved: float, scale_change: float, sums: PassSums) -> bool:
        """Whether a full joint Newton step lands within the tolerances
        without a further pass to confirm it.

        Only rows whose residuals cross the Huber threshold bend the score;
        a step of one standard error moves a residual by about sqrt(p / n)
        scales, so the error a Newton step leaves is about sqrt(p / n)
        times its square, in standard errors. The scale's relative error
        after its step is at most about the square of its relative change,
        and the coefficients it moves (`moved`, in standard errors) are off
        by about that share of their move. The median itself moves in jumps
        of about `MEDIAN_SPACING / rows` (relative), which the steps cannot
        predict, so those must be below the scale's tolerance. Small steps
        on much data end here; others are confirmed by a further pass."""
        weight = sums.weight
        root = math.sqrt(self.point.coefficients.size / weight)
        coefficient_error = root * change**2 + moved * abs(scale_change)
        scale_tolerance = min(self.pass_tol / math.sqrt(weight), MAX_SCALE_CHANGE)
        return (coefficient_error <= LANDING_SHARE * self.pass_tol
                and scale_change**2 <= LANDING_SHARE * scale_tolerance
                and MEDIAN_SPACING / max(sums.rows, 1) <= scale_tolerance)

    def _joint_scale(self, sums: PassSums, matrix: Matrix, measured: float) -> tuple[float, Vector, bool]:
        """The next scale, how far the coefficients move with it, and
        whether it was a joint Newton step (else a plain alternation).

        The scale s is a fixed point of F(s), the normalised MAD of the
        residuals of the coefficients b(s) that solve the score equation at
        s. Alternating s <- F(s) converges slowly where F'(s) is near 1, so
        the pass measures F' instead: b'(s) = -H^-1 q with q the sum of
        psi'(u) u z, and the median moves by -v . b'(s), v the mean of
        sign(r) z over the rows at the median. A Newton step on F(s) = s
        then takes the scale, and b moves by b'(s) times the change.
        Without a penalty only; with one, and where the slope is
        implausible, the plain alternation is taken."""
        plain = (measured, np.zeros_like(self.point.coefficients), False)
        window = sums.window_weight
        if window <= 0 or penalty_named(self.state.params["penalty"]).name is not None:
            return plain
        try:
            slope_b = -np.linalg.solve(matrix, sums.scale_gradient)
        except np.linalg.LinAlgError:
            return plain
        # A residual r moves by -z . b'(s), its absolute value by
        # -sign(r) z . b'(s): so does the median, averaged over its rows.
        slope = -float(sums.median_direction @ slope_b) / window / MAD_NORMALISER
        if not -9.0 < slope < 0.9:
            return plain
        scale = self.point.scale + (measured - self.point.scale) / (1.0 - slope)
        if not scale > 0:
            return plain
        return scale, slope_b * (scale - self.point.scale), True

    def _newton(self, sums: PassSums, matrix: Matrix) -> Vector:
        """The next coefficients (target units): the minimiser, under the
        penalty, of the quadratic model of the loss at the pass's scale."""
        scale = self.point.scale
        beta = self.point.internal(scale)
        at_pass = self._at_scale(scale).replace(engine=self._engine(beta, sums.gram, sums))
        stepped = with_minimiser(at_pass, matrix, matrix @ beta + sums.gradient, sums.weight, beta)
        assert stepped.engine is not None
        return np.asarray(stepped.engine.coefficients, dtype=np.float64) * scale

    def _shorten(self, sums: PassSums, before: float) -> None:
        """Go back along the rejected Newton step to the share of it with
        the lowest loss, or to a sixteenth of the shortest share tried."""
        point = self.point
        start = point.coefficients - point.step
        objectives = [self._objective(loss, start + share * point.step, point.scale)
                      for share, loss in zip(SHARES[:-1], sums.trial_losses[:-1], strict=True)]
        best = int(np.argmin(objectives))
        share = SHARES[best] if objectives[best] < before else SHARES[-2] / 16
        step = point.step * share
        if not np.any(np.abs(step) > point.scale * 0.5**MAX_HALVINGS * self.pass_tol):
            self.failed = True
            return
        coefficients = start + step
        self.point = PassPoint(coefficients, point.scale, step, point.bracket)
        self.state = self.state.replace(engine=self._engine(coefficients / point.scale, None, None))

    def _objective(self, loss: float, coefficients: Vector, scale: float) -> float:
        """`loss` plus the penalty of `coefficients` (target units) at `scale`."""
        engine = self.state.engine
        assert engine is not None
        penalty = penalty_for(self.state.params)
        level = penalty.level(self.state.n_features_in, engine.weight_sum)
        mask = penalised_mask(engine.n_parameters, engine.fit_intercept)
        return loss + engine.weight_sum * penalty.value(coefficients / scale, level, mask)

    def _at_scale(self, scale: float) -> ModelState:
        assert self.state.scaling is not None
        return self.state.replace(scaling=self.state.scaling.with_y_scale(scale))

    def _engine(self, beta: Vector, gram: Matrix | None, sums: PassSums | None) -> EngineState:
        """The engine record with internal coefficients `beta` (and, after a
        pass, its information and the rows it covered)."""
        engine = self.state.engine
        assert engine is not None
        if gram is None or sums is None:
            return engine.with_estimate(beta, engine.information, engine.previous_lambda, engine.weight_sum)
        return replace(engine.with_estimate(beta, gram, 0.0, sums.weight), n_samples_seen=sums.rows,
                       batch_count=sums.batches)

    def _state_at(self, coefficients: Vector, scale: float, sums: PassSums) -> ModelState:
        """The state after a pass, in the units of the new scale: the
        curvature-weighted Gram of the pass as information (rescaled
        exactly from the pass's scale) and the pass's statistics as the
        additive sums."""
        ratio = self.point.scale / scale
        engine = self._engine(coefficients / scale, sums.gram / ratio**2, sums)
        penalty = penalty_for(self.state.params)
        level = penalty.level(self.state.n_features_in, sums.weight)
        statistics: dict[str, Any] = (
            {"batches": float(sums.batches), "l1_batches": 0.0, "rows": float(sums.rows), "weight": sums.weight,
             "psi_squared": sums.psi_squared, "psi_prime": sums.psi_prime}
            if penalty.standard_errors else {"batches": float(sums.batches), "l1_batches": float(sums.batches)})
        last = self.state.last_update
        assert last is not None
        return self._at_scale(scale).replace(
            engine=replace(engine, previous_lambda=level), sums=statistics, pending=None, residuals=sums.residuals,
            last_update=LastUpdate(last.n_iter, self.converged, level, self.n_passes))


def run_passes(state: ModelState, pass_tol: float, max_passes: int,
               run_pass: Callable[[ModelState, PassPoint], PassSums]) -> Passes:
    """Passes from a merged `state` until the whole-data estimate settles;
    `run_pass(state, point)` evaluates one pass over every partition and
    returns its summed sums (wherever it runs them)."""
    passes = Passes(state, pass_tol, max_passes)
    while not passes.done:
        passes.finish(run_pass(passes.state, passes.point))
    return passes
