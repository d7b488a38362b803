"""One native engine driven with fixed update settings: folds batches that
are already in internal units, and exports and restores its estimate."""

from dataclasses import dataclass
from typing import Any

import numpy as np
from numpy.typing import NDArray

from vintrel._native_cpu import NativeCpuEngine

Array = NDArray[np.floating[Any]]


@dataclass(frozen=True)
class UpdateSettings:
    """The engine's per-update arguments other than the batch."""

    tau: float
    penalty: str  # "none" or "l1"
    lambda_scale: float
    bandwidth_scale: float
    max_iter: int
    tol: float
    ridge: float


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


# Engine texts that can still arise after the estimator's own validation,
# and what they mean in the caller's terms.
_EXPLAINED = {
    "native calculation produced a non-finite value":
        "the values of X or y are too large for {dtype} arithmetic",
    "native linear solve failed":
        "the Newton system of this batch could not be solved",
    "combined effective weight must be finite and positive":
        "the accumulated sample_weight overflowed",
}


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

    def restart(self, coefficients: Array) -> None:
        """Forget everything folded so far and start from `coefficients`."""
        p = self.n_parameters
        self._engine.restore(np.ascontiguousarray(coefficients, dtype=self.dtype),
                             np.zeros((p, p), dtype=self.dtype), 0, 0, 0.0, 0.0)

    def fold(self, design: Array, target: Array, weights: Array | None,
             settings: UpdateSettings, batch_label: str) -> FoldReport:
        """Fold one batch in internal units; the estimate is unchanged when
        the engine refuses it."""
        if weights is not None:
            # Buffers received from other processes or files may be
            # unaligned, which the engine refuses as it does strided ones.
            weights = np.require(weights, dtype=self.dtype, requirements=["C_CONTIGUOUS", "ALIGNED"])
            batch_weight = float(np.sum(weights, dtype=np.float64))
        else:
            batch_weight = float(design.shape[0])
        try:
            result = self._engine.update(
                design, target, weights, batch_weight, self.n_features, self.fit_intercept,
                settings.tau, settings.penalty, settings.lambda_scale, settings.bandwidth_scale,
                settings.max_iter, settings.tol, settings.ridge)
        except (ValueError, RuntimeError) as error:
            raise ValueError(self._explain(error, batch_label)) from error
        return FoldReport(np.asarray(result["coefficients"]), int(result["n_samples_seen"]),
                          int(result["batch_count"]), int(result["iterations"]), bool(result["converged"]),
                          float(result["lambda_value"]), bool(result["used_regularized_fallback"]))

    def _explain(self, error: Exception, batch_label: str) -> str:
        text = str(error)
        for engine_text, meaning in _EXPLAINED.items():
            if engine_text in text:
                return f"could not fold {batch_label}: {meaning.format(dtype=self.dtype.name)}"
        return f"could not fold {batch_label}: the engine refused it ({text})"

    def predict(self, design: Array) -> Array:
        """The linear predictor of the current coefficients for a design
        in internal units (C-contiguous, of the engine's dtype)."""
        return np.asarray(self._engine.predict(design))

    @property
    def coefficients(self) -> Array:
        return np.asarray(self._engine.state()["coefficients"])

    def with_threads(self, n_threads: int | None) -> "EngineStream":
        """The same estimate on an engine with another pool."""
        return EngineStream.from_export(self.export(), n_threads)

    def export(self) -> dict[str, Any]:
        """The layout and the estimate as plain values and fresh arrays."""
        state = {key: value for key, value in self._engine.state().items() if key != "state_is_detached"}
        return {"dtype": self.dtype.name, "n_features": self.n_features,
                "fit_intercept": self.fit_intercept, **state}

    @classmethod
    def from_export(cls, exported: dict[str, Any], n_threads: int | None) -> "EngineStream":
        """A new engine holding an estimate that `export` produced."""
        stream = cls(np.dtype(exported["dtype"]), int(exported["n_features"]),
                     bool(exported["fit_intercept"]), n_threads)
        stream.restore(exported)
        return stream

    def restore(self, exported: dict[str, Any]) -> None:
        """Put back on this engine an estimate that `export` produced."""
        self._engine.restore(
            np.ascontiguousarray(exported["coefficients"], dtype=self.dtype),
            np.ascontiguousarray(exported["information"], dtype=self.dtype),
            int(exported["n_samples_seen"]), int(exported["batch_count"]),
            float(exported["previous_lambda"]), float(exported["weight_sum"]))
