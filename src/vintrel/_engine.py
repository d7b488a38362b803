"""One native engine with its feature layout: folds batches that are
already in internal units, and exports and restores its estimate."""

import math
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any

import numpy as np
from numpy.typing import NDArray

from vintrel._native_cpu import (
    EngineLinearSolveError,
    EngineNonFiniteError,
    EngineSizeOverflowError,
    NativeCpuEngine,
)
from vintrel._scaling import Units

if TYPE_CHECKING:
    from vintrel._vintrel_native_cpu import Evaluation
from vintrel.state import EngineState

Array = NDArray[np.floating[Any]]


@dataclass(frozen=True)
class UpdateSettings:
    """The engine's per-update arguments other than the batch."""

    tau: float
    penalty: str  # the engine's name of the penalty
    lambda_scale: float
    bandwidth_scale: float
    max_iter: int
    tol: float
    ridge: float
    # The penalty's keyword arguments (its L1 share, its solver).
    penalty_keywords: tuple[tuple[str, float | str], ...] = ()


def _aligned(values: Any, dtype: np.dtype) -> Array:
    """`values` as the engine takes them: C-contiguous and aligned (arrays
    unpickled from another process's buffers may start at any byte)."""
    return np.require(values, dtype=dtype, requirements=["C_CONTIGUOUS", "ALIGNED"])


def _keywords(units: Units | None) -> dict[str, NDArray[np.float64]]:
    # `Scaling.units` hands them over C-contiguous and aligned.
    return {} if units is None else {"x_center": units.x_center, "x_scale": units.x_scale}


@dataclass(frozen=True)
class FoldReport:
    """What one engine update reported, with its new coefficients."""

    coefficients: Array
    n_samples_seen: int
    batch_count: int
    iterations: int
    converged: bool
    lambda_value: float
    used_fallback: bool
    # The batch's residuals at the new coefficients, in internal units.
    residuals: Array


class EngineStream:
    """A `NativeCpuEngine` with its feature layout, used by the estimator."""

    def __init__(self, dtype: np.dtype, n_features: int, fit_intercept: bool,
                 n_threads: int | None) -> None:
        self.dtype = np.dtype(dtype)
        self.n_features = n_features
        self.fit_intercept = fit_intercept
        self.n_threads = n_threads
        self.n_parameters = n_features + int(fit_intercept)
        self._engine = NativeCpuEngine(self.dtype.name, self.n_parameters, n_threads)
        # The engine's counters, kept here to label and check a batch
        # without exporting the whole state.
        self.batch_count = 0
        self._weight_sum = 0.0
        self._coefficients: Array = np.zeros(self.n_parameters, dtype=self.dtype)

    def restart(self, coefficients: Array) -> None:
        """Forget everything folded so far and start from `coefficients`."""
        p = self.n_parameters
        self._engine.restore(_aligned(coefficients, self.dtype),
                             np.zeros((p, p), dtype=self.dtype), 0, 0, 0.0, 0.0)
        self.batch_count, self._weight_sum = 0, 0.0
        self._coefficients = np.array(coefficients, dtype=self.dtype)

    def fold(self, design: Array, target: Array, weights: Array | None,
             settings: UpdateSettings, batch_label: str, units: Units | None = None,
             discount: float | None = None) -> FoldReport:
        """Fold one batch; the estimate is unchanged when the engine refuses
        it. `design` is in internal units, or holds the raw features when
        `units` (their centres and scales) are given: the engine then
        standardises them itself and appends the intercept column. A
        `discount` multiplies the carried information and weight before
        the batch is folded (forgetting)."""
        if weights is not None:
            # Buffers received from other processes or files may be
            # unaligned, which the engine refuses as it does strided ones.
            weights = _aligned(weights, self.dtype)
            batch_weight = float(np.sum(weights, dtype=np.float64))
        else:
            batch_weight = float(design.shape[0])
        keywords: dict[str, Any] = {**_keywords(units), **dict(settings.penalty_keywords), "return_residuals": True}
        if discount is not None:
            keywords["discount"] = discount
        if not math.isfinite(batch_weight + self._weight_sum):
            raise ValueError(f"could not fold {batch_label}: the accumulated sample_weight overflowed")
        try:
            result = self._engine.update(
                design, target, weights, batch_weight, self.n_features, self.fit_intercept,
                settings.tau, settings.penalty, settings.lambda_scale, settings.bandwidth_scale,
                settings.max_iter, settings.tol, settings.ridge, **keywords)
        except EngineNonFiniteError as error:
            raise ValueError(f"could not fold {batch_label}: the values of X, y or sample_weight are too large "
                             f"for {self.dtype.name} arithmetic") from error
        except EngineLinearSolveError as error:
            raise ValueError(f"could not fold {batch_label}: the Newton system of this batch could not be "
                             f"solved") from error
        except EngineSizeOverflowError as error:
            raise MemoryError(f"could not fold {batch_label}: the batch is too large to be held") from error
        except (ValueError, RuntimeError) as error:
            raise ValueError(f"could not fold {batch_label}: the engine refused it ({error})") from error
        self.batch_count, self._weight_sum = int(result["batch_count"]), float(result["weight_sum"])
        self._coefficients = np.asarray(result["coefficients"])
        return FoldReport(self._coefficients.copy(), int(result["n_samples_seen"]),
                          int(result["batch_count"]), int(result["iterations"]), bool(result["converged"]),
                          float(result["lambda_value"]), bool(result["used_regularized_fallback"]),
                          result["residuals"])

    def predict(self, design: Array, units: Units | None = None) -> Array:
        """The linear predictor of the current coefficients for a design
        in internal units, or for raw features with their `units`
        (C-contiguous, of the engine's dtype)."""
        return np.asarray(self._engine.predict(design, **_keywords(units)))

    def evaluate(self, design: Array, target: Array, weights: Array | None, coefficients: Array, tau: float,
                 bandwidth: float, units: Units | None = None) -> "Evaluation":
        """The score sum, curvature-weighted Gram, Huber sums and residuals
        of a batch at `coefficients`; the estimate is not touched."""
        if weights is not None:
            weights = _aligned(weights, self.dtype)
        try:
            result = self._engine.evaluate(
                design, target, weights, _aligned(coefficients, self.dtype), self.n_features,
                self.fit_intercept, tau, bandwidth, **_keywords(units))
        except EngineNonFiniteError as error:
            raise ValueError(f"the values of X, y or sample_weight are too large for {self.dtype.name} "
                             f"arithmetic") from error
        return result

    @property
    def coefficients(self) -> Array:
        """The current coefficients, kept beside the engine's (a copy)."""
        return self._coefficients.copy()

    def with_threads(self, n_threads: int | None) -> "EngineStream":
        """The same estimate on an engine with another pool."""
        return EngineStream.from_state(self.export(), n_threads)

    def export(self) -> EngineState:
        """The layout and the estimate, as a record of fresh arrays."""
        return EngineState.from_engine(self.dtype, self.n_features, self.fit_intercept, self._engine.state())

    @classmethod
    def from_state(cls, state: EngineState, n_threads: int | None) -> "EngineStream":
        """A new engine holding the estimate `state`."""
        stream = cls(state.dtype, state.n_features, state.fit_intercept, n_threads)
        stream.restore(state)
        return stream

    def restore(self, state: EngineState) -> None:
        """Put the estimate `state` on this engine."""
        # A state received from another process may hold unaligned buffers.
        self._engine.restore(
            _aligned(state.coefficients, self.dtype),
            _aligned(state.information, self.dtype),
            state.n_samples_seen, state.batch_count, state.previous_lambda, state.weight_sum)
        self.batch_count, self._weight_sum = state.batch_count, state.weight_sum
        self._coefficients = np.array(state.coefficients, dtype=self.dtype)
