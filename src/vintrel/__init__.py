"""Incremental Huber regression on a native CPU engine."""

from vintrel._native_cpu import (
    EngineBatchError,
    EngineConfigurationError,
    EngineError,
    EngineLinearSolveError,
    EngineNonFiniteError,
    EngineScalarConversionError,
    EngineSizeOverflowError,
    EngineStateError,
    NativeCpuEngine,
    NativeEngineFault,
    version,
)
from vintrel.estimator import (
    InconsistentVersionWarning,
    IncrementalHuberRegressor,
    NotConvergedWarning,
    StreamOrderWarning,
)

__version__: str = version()["engine_version"]

__all__ = ["EngineBatchError", "EngineConfigurationError", "EngineError", "EngineLinearSolveError",
           "EngineNonFiniteError", "EngineScalarConversionError", "EngineSizeOverflowError", "EngineStateError",
           "InconsistentVersionWarning", "IncrementalHuberRegressor", "NativeCpuEngine", "NativeEngineFault",
           "NotConvergedWarning", "StreamOrderWarning", "__version__", "version"]
