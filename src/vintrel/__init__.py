"""Incremental Huber regression on a native CPU engine.

The names below are imported when first used, so that importing a part of
the package (the command line answering `--help`, say) does not load the
estimator and with it scikit-learn and SciPy.
"""

import importlib
from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
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

    __version__: str

_ENGINE_NAMES = ("EngineBatchError", "EngineConfigurationError", "EngineError", "EngineLinearSolveError",
                 "EngineNonFiniteError", "EngineScalarConversionError", "EngineSizeOverflowError",
                 "EngineStateError", "NativeCpuEngine", "NativeEngineFault", "version")
_ESTIMATOR_NAMES = ("InconsistentVersionWarning", "IncrementalHuberRegressor", "NotConvergedWarning",
                    "StreamOrderWarning")
# The module that defines each public name.
_HOMES = {**dict.fromkeys(_ENGINE_NAMES, "vintrel._native_cpu"), **dict.fromkeys(_ESTIMATOR_NAMES, "vintrel.estimator")}

__all__ = ["EngineBatchError", "EngineConfigurationError", "EngineError", "EngineLinearSolveError",
           "EngineNonFiniteError", "EngineScalarConversionError", "EngineSizeOverflowError", "EngineStateError",
           "InconsistentVersionWarning", "IncrementalHuberRegressor", "NativeCpuEngine", "NativeEngineFault",
           "NotConvergedWarning", "StreamOrderWarning", "__version__", "version"]


def __getattr__(name: str) -> Any:
    if name == "__version__":
        value: Any = str(__getattr__("version")()["engine_version"])
    elif name in _HOMES:
        value = getattr(importlib.import_module(_HOMES[name]), name)
    else:
        raise AttributeError(f"module 'vintrel' has no attribute {name!r}")
    globals()[name] = value
    return value


def __dir__() -> list[str]:
    return sorted({*globals(), *__all__})
