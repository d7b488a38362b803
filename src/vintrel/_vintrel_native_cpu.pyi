"""Type stub of the native engine module."""

from typing import NotRequired, TypedDict

import numpy as np
from numpy.typing import NDArray

__all__ = ["NativeCpuEngine", "version"]

_Array = NDArray[np.float32] | NDArray[np.float64]

class VersionInfo(TypedDict):
    abi_version: int
    python_api_version: int
    engine_version: str
    linear_algebra_provider: str
    parallel_provider: str
    parallel_threads: int
    supports_engine_thread_pool: bool
    engine_thread_pool_default: str
    strict_dtypes: tuple[str, str]

class StateExport(TypedDict):
    coefficients: _Array
    information: _Array
    state_is_detached: bool
    n_samples_seen: int
    batch_count: int
    previous_lambda: float
    weight_sum: float

class UpdateResult(StateExport):
    iterations: int
    converged: bool
    objective: float
    lambda_value: float
    bandwidth: float
    used_regularized_fallback: bool
    residuals: NotRequired[_Array]  # with return_residuals: y - X coefficients, one value per row

class Evaluation(TypedDict):
    """One batch at given coefficients, with w the sample weights (ones
    when None) and r = y - X coefficients the residuals."""

    gradient: _Array  # sum of w psi(r) x, one value per parameter
    gram: _Array  # sum of w c(r) x x^T, p x p
    loss: float  # sum of w rho(r)
    weight: float  # sum of w
    psi_squared: float  # sum of w psi(r)^2
    psi_prime: float  # sum of w over the rows with |r| <= tau
    residuals: _Array  # r, one value per row

def version() -> VersionInfo: ...

class NativeCpuEngine:
    """A persistent CPU engine with reusable numerical workspaces."""

    def __init__(self, dtype: str, n_parameters: int, n_threads: int | None = None) -> None: ...
    @property
    def dtype(self) -> str: ...
    @property
    def n_parameters(self) -> int: ...
    @property
    def n_threads(self) -> int: ...
    @property
    def has_dedicated_thread_pool(self) -> bool: ...
    def update(
        self,
        x_design: _Array,
        y: _Array,
        sample_weight: _Array | None,
        batch_weight: float,
        n_features_in: int,
        fit_intercept: bool | np.bool_,
        tau: float,
        penalty: str,
        lambda_scale: float,
        bandwidth_scale: float,
        max_iter: int,
        tol: float,
        ridge: float,
        *,
        x_center: NDArray[np.float64] | None = None,
        x_scale: NDArray[np.float64] | None = None,
        l1_ratio: float | None = None,
        solver: str | None = None,
        discount: float | None = None,
        return_residuals: bool = False,
    ) -> UpdateResult:
        """Fold one batch into the estimate.

        With `return_residuals`, the result also holds "residuals": the
        batch's residuals y - design @ coefficients at the new coefficients
        (in the design's units), as the solver left them; callers need no
        prediction pass for them.

        With `x_center` and `x_scale` (both or neither, float64, one value
        per feature), `x_design` holds the raw features (n x n_features_in,
        the engine's dtype) and the engine builds the design itself:
        (x - center) * (1 / scale), centre and inverse scale rounded to the
        engine's dtype, followed by the intercept column of ones when
        `fit_intercept`. The result has the bits of an update on that design.

        `penalty` is "none", "l1", "l2" or "elasticnet". The level lambda
        (`lambda_value`) is (lambda_scale * tau) * sqrt(ln max(n_features_in,
        2) / W) under "l1" and `lambda_scale` itself under "l2" and
        "elasticnet". With a = `l1_ratio` (required under "elasticnet", in
        [0, 1], and refused under the others; 1 for "l1", 0 for "l2"), the
        update minimises (loss + carried quadratic) / W, less the carried
        penalty gradient, plus lambda * (a * sum |b_j| + (1 - a) / 2 *
        sum b_j^2) over the coefficients other than the intercept; the
        reported `objective` includes the penalty at the new coefficients.

        `solver` picks the method: "newton" (damped Newton; "none" and
        "l2"), "proximal" (proximal gradient; "l1", "elasticnet") or
        "coordinate" (proximal Newton with coordinate descent; "l1",
        "elasticnet"). None takes the penalty's default: "newton" for
        "none" and "l2", "proximal" for "l1", "coordinate" for
        "elasticnet". Another combination is a ValueError.

        `discount` (None or in (0, 1]) forgets the past: the update starts
        from the stored information and weight_sum times `discount`, and the
        new state holds those plus the batch's. None and 1.0 give the same
        bits.
        """

    def evaluate(
        self,
        x_design: _Array,
        y: _Array,
        sample_weight: _Array | None,
        coefficients: _Array,
        n_features_in: int,
        fit_intercept: bool | np.bool_,
        tau: float,
        bandwidth: float,
        *,
        x_center: NDArray[np.float64] | None = None,
        x_scale: NDArray[np.float64] | None = None,
    ) -> Evaluation:
        """The score sum, curvature-weighted Gram and Huber sums of one batch
        at `coefficients`; the engine's estimate is neither read nor changed.

        c is the smoothed curvature of half-width `bandwidth` that an update
        uses for its information matrix; a `bandwidth` of 0 gives the exact
        indicator of |r| <= tau. The batch is checked as an update's and the
        units as in `update`.
        """

    def predict(
        self,
        x_design: _Array,
        *,
        x_center: NDArray[np.float64] | None = None,
        x_scale: NDArray[np.float64] | None = None,
    ) -> _Array:
        """X times the coefficients.

        With `x_center` and `x_scale`, `x_design` holds the raw features and
        is standardised as in `update`; n_features_in is their length, and
        the intercept column is appended when the engine has one parameter
        more than that.
        """

    def state(self) -> StateExport: ...
    def restore(
        self,
        coefficients: _Array,
        information: _Array,
        n_samples_seen: int,
        batch_count: int,
        previous_lambda: float,
        weight_sum: float,
    ) -> None: ...

class _NativeEngineFault(BaseException):
    """A broken internal invariant of the engine."""

class _EngineError(Exception):
    """The base class of the errors the native engine reports."""

class _EngineConfigurationError(_EngineError, ValueError):
    """A setting of an update is out of its range."""

class _EngineStateError(_EngineError, ValueError):
    """The engine's stored state does not fit the update's features or holds invalid values."""

class _EngineBatchError(_EngineError, ValueError):
    """The arrays, weights or units given to an update, an evaluation or a prediction cannot be used."""

class _EngineSizeOverflowError(_EngineError, ValueError):
    """A buffer size or a counter of the engine does not fit in 64 bits."""

class _EngineScalarConversionError(_EngineError, ValueError):
    """A scalar value could not be converted for the engine."""

class _EngineLinearSolveError(_EngineError, RuntimeError):
    """The engine could not solve its Newton system, fallbacks included."""

class _EngineNonFiniteError(_EngineError, RuntimeError):
    """A calculation of the engine produced a NaN or an infinity."""
