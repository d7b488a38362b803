"""Whole-data fits by passes: the Huber M-estimate of all rows with the
MAD scale, however they are batched or ordered.

A first streaming pass gives a start. Each further pass evaluates, at the
current coefficients and scale, the exact score sum, the curvature-weighted
Gram and the loss over every batch, and the median absolute residual. A
Newton step on those sums (under the penalty, if any) gives the next
coefficients and the median the next scale: the alternation of the classic
M-estimator with MAD scale. A Newton step on the Huber loss can overshoot
where the set of rows inside the threshold changes, so each pass also
measures the loss of its coefficients at the previous pass's scale; a step
that did not lower it is halved on the next pass instead. Passes stop when
a full step and the scale both change by less than a tolerance and the
median was exact (see `vintrel._median`).

Everything a pass adds up is additive over batches and over partitions, so
passes run wherever the data is: in memory, over files, or on a cluster.
"""

from dataclasses import dataclass, field, replace
from typing import Any

import numpy as np
from numpy.typing import NDArray

from vintrel._median import AbsoluteMedian, Bracket
from vintrel._merge import with_minimiser
from vintrel._model import HuberLoss, penalised_mask, penalty_named
from vintrel._robust import MAD_NORMALISER
from vintrel.state import EngineState, LastUpdate, ModelState

Vector = NDArray[np.float64]
Matrix = NDArray[np.float64]
Array = NDArray[np.floating[Any]]

DEFAULT_MAX_PASSES = 20
DEFAULT_PASS_TOL = 1e-6
# A step is halved at most this many times in a row before the passes give
# up: by then the direction is no use.
MAX_HALVINGS = 20


@dataclass(frozen=True)
class PassPoint:
    """Where a pass evaluates: coefficients in the target's units (the
    internal coefficients times the scale), the residual scale, the scale
    of the previous pass (whose loss this pass's coefficients are compared
    at) and where the median is expected."""

    coefficients: Vector
    scale: float
    compare_scale: float
    bracket: Bracket | None

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
    compare_loss: float = 0.0
    psi_squared: float = 0.0
    psi_prime: float = 0.0
    median: AbsoluteMedian = field(default_factory=lambda: AbsoluteMedian(1.0))

    @classmethod
    def empty(cls, p: int, point: PassPoint) -> "PassSums":
        return cls(np.zeros(p), np.zeros((p, p)), median=AbsoluteMedian(point.scale, point.bracket))

    def add(self, other: "PassSums") -> None:
        """Add another part's sums (a partition's, on a cluster)."""
        self.gradient += other.gradient
        self.gram += other.gram
        self.rows += other.rows
        self.batches += other.batches
        self.weight += other.weight
        self.loss += other.loss
        self.compare_loss += other.compare_loss
        self.psi_squared += other.psi_squared
        self.psi_prime += other.psi_prime
        self.median.merge(other.median)


def evaluate_batch(state: ModelState, point: PassPoint, sums: PassSums, X: Array, y: Array,
                   weights: Array | None) -> None:
    """Add one validated batch (in the caller's units) to `sums`."""
    scaling, engine = state.scaling, state.engine
    assert scaling is not None and engine is not None
    loss = HuberLoss(float(state.params["epsilon"]))
    half_width = loss.half_width(float(state.params["bandwidth_scale"]), engine.weight_sum, state.n_features_in)
    design = scaling.design(X, np.float64)
    centred = np.subtract(y, scaling.y_center, dtype=np.float64) - design @ point.coefficients
    residuals = centred / point.scale
    psi = loss.psi(residuals)
    curvature = loss.smoothed_curvature(residuals, half_width)
    inside = loss.psi_prime(residuals) > 0
    w = np.ones(residuals.size) if weights is None else np.asarray(weights, dtype=np.float64)
    sums.gradient += design.T @ (w * psi)
    # Rows scaled by the root of their weighted curvature make the Gram a
    # symmetric product of the design with itself.
    design *= np.sqrt(w * curvature)[:, None]
    sums.gram += design.T @ design
    sums.rows += residuals.size
    sums.batches += 1
    sums.weight += float(w.sum())
    sums.loss += float(w @ loss.rho(residuals))
    sums.compare_loss += float(w @ loss.rho(centred / point.compare_scale))
    sums.psi_squared += float(w @ np.square(psi))
    sums.psi_prime += float(w[inside].sum())
    sums.median.add(centred, weights)


@dataclass(frozen=True)
class _Step:
    """An accepted point, its objective at its own scale, and the Newton
    step proposed from it (target units), with the share of it taken."""

    origin: Vector
    objective: float
    scale: float
    step: Vector
    share: float = 1.0


@dataclass
class Passes:
    """The passes of one whole-data fit, started from a streamed state.

    Parameters
    ----------
    state : ModelState
        The state after the first streaming pass over all the data.
    pass_tol : float
        Passes stop when a full Newton step changes no internal coefficient
        (in units of the scale, per standard deviation of its feature) by
        more than this, and the scale changes by less than this relatively.
    max_passes : int
        Passes at most, the first streaming pass included.
    """

    state: ModelState
    pass_tol: float = DEFAULT_PASS_TOL
    max_passes: int = DEFAULT_MAX_PASSES
    n_passes: int = 1
    converged: bool = False
    failed: bool = False
    point: PassPoint = field(init=False)
    _last: _Step | None = None
    _scales: tuple[float, float] | None = None  # the last pass's scale and the gap to the one it implied

    def __post_init__(self) -> None:
        engine, scaling = self.state.engine, self.state.scaling
        assert engine is not None and scaling is not None
        scale = scaling.y_scale
        self.point = PassPoint(np.asarray(engine.coefficients, dtype=np.float64) * scale, scale, scale, None)

    @property
    def done(self) -> bool:
        return self.converged or self.failed or self.n_passes >= self.max_passes

    def new_sums(self) -> PassSums:
        """Empty sums for the next pass (or a part of it)."""
        return PassSums.empty(self.point.coefficients.size, self.point)

    def add(self, sums: PassSums, X: Array, y: Array, weights: Array | None) -> None:
        """Evaluate one validated batch at the pass's point."""
        evaluate_batch(self.state, self.point, sums, X, y, weights)

    def finish(self, sums: PassSums) -> None:
        """Decide on the step that led here, then propose the next one."""
        self.n_passes += 1
        last = self._last
        if last is not None and self._objective(sums.compare_loss, last.scale) > last.objective * (1 + 1e-12):
            self._halve(last)
            return
        median = sums.median.result()
        measured = median.value / MAD_NORMALISER
        measured = measured if np.isfinite(measured) and measured > 0 else self.point.scale
        scale = self._next_scale(measured)
        stepped = self._newton(sums)
        step = stepped - self.point.coefficients
        change = float(np.max(np.abs(step), initial=0.0)) / self.point.scale
        self.converged = median.exact and change <= self.pass_tol and \
            abs(measured / self.point.scale - 1) <= self.pass_tol
        self._last = _Step(self.point.coefficients, self._objective(sums.loss, self.point.scale), self.point.scale,
                           step)
        self.state = self._state_at(stepped, scale, sums)
        self.point = PassPoint(stepped, scale, self.point.scale, sums.median.next_bracket(median.value))

    def _next_scale(self, measured: float) -> float:
        """The scale of the next pass. The scale the coefficients imply
        (the normalised MAD of their residuals) moves towards its fixed
        point geometrically, by a ratio that stays about the same from pass
        to pass, so a secant step through the last two passes' gaps
        between scale used and scale implied goes most of the way at once.
        It is taken only while those gaps shrink in a steady ratio."""
        gap = measured - self.point.scale
        history, self._scales = self._scales, (self.point.scale, gap)
        if history is None or history[1] == 0 or not np.isfinite(gap):
            return measured
        previous_scale, previous_gap = history
        ratio = gap / previous_gap
        if not 0 < ratio < 0.9 or self.point.scale == previous_scale:
            return measured
        # With gaps falling by `ratio` each pass, the fixed point lies
        # gap * ratio / (1 - ratio) beyond the scale just implied.
        return measured + gap * ratio / (1 - ratio)

    def _newton(self, sums: PassSums) -> Vector:
        """The next coefficients (target units): the minimiser, under the
        penalty, of the quadratic model of the loss at the pass's scale."""
        scale = self.point.scale
        beta = self.point.internal(scale)
        at_pass = self._at_scale(scale).replace(engine=self._engine(beta, sums.gram, sums))
        stepped = with_minimiser(at_pass, sums.gram, sums.gram @ beta + sums.gradient, sums.weight, beta)
        assert stepped.engine is not None
        return np.asarray(stepped.engine.coefficients, dtype=np.float64) * scale

    def _halve(self, last: _Step) -> None:
        """Go back half way along the rejected step, at the same scale."""
        share = last.share / 2
        if share < 0.5**MAX_HALVINGS:
            self.failed = True
            return
        self._last = replace(last, share=share)
        coefficients = last.origin + share * last.step
        self.point = PassPoint(coefficients, self.point.scale, last.scale, self.point.bracket)
        self.state = self.state.replace(engine=self._engine(coefficients / self.point.scale, None, None))

    def _objective(self, loss: float, scale: float) -> float:
        """The loss plus the penalty of the current point at `scale`."""
        engine = self.state.engine
        assert engine is not None
        params = self.state.params
        penalty = penalty_named(params["penalty"])
        level = penalty.level(float(params["alpha"]), float(params["epsilon"]), self.state.n_features_in,
                              engine.weight_sum)
        mask = penalised_mask(engine.n_parameters, engine.fit_intercept)
        return loss + engine.weight_sum * level * float(np.abs(self.point.internal(scale))[mask].sum()) \
            if penalty.name is not None else loss

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
        params = self.state.params
        penalty = penalty_named(params["penalty"])
        level = penalty.level(float(params["alpha"]), float(params["epsilon"]), self.state.n_features_in,
                              sums.weight)
        statistics: dict[str, Any] = (
            {"batches": float(sums.batches), "l1_batches": 0.0, "rows": float(sums.rows), "weight": sums.weight,
             "psi_squared": sums.psi_squared, "psi_prime": sums.psi_prime}
            if penalty.standard_errors else {"batches": float(sums.batches), "l1_batches": float(sums.batches)})
        last = self.state.last_update
        assert last is not None
        return self._at_scale(scale).replace(
            engine=replace(engine, previous_lambda=level), sums=statistics, pending=None,
            last_update=LastUpdate(last.n_iter, self.converged, level, self.n_passes))
