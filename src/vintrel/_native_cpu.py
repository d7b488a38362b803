"""The native CPU engine: a persistent, incrementally updated Huber regression.

NativeEngineFault is raised when an internal invariant of the engine is
broken, which is a bug in the engine rather than an error in the input; the
call that raises it leaves the engine as it was. It derives from
BaseException, so handlers for ordinary errors do not swallow it.

The errors the engine reports about a call derive from EngineError, one class
per kind, and each also from the built-in type it has always been raised as:
ValueError for a bad setting, state or batch, a size overflow and a failed
scalar conversion, RuntimeError for a failed linear solve and a non-finite
result. A call that raises one leaves the engine as it was.
"""

from vintrel._vintrel_native_cpu import NativeCpuEngine, version
from vintrel._vintrel_native_cpu import _EngineBatchError as EngineBatchError
from vintrel._vintrel_native_cpu import _EngineConfigurationError as EngineConfigurationError
from vintrel._vintrel_native_cpu import _EngineError as EngineError
from vintrel._vintrel_native_cpu import _EngineLinearSolveError as EngineLinearSolveError
from vintrel._vintrel_native_cpu import _EngineNonFiniteError as EngineNonFiniteError
from vintrel._vintrel_native_cpu import _EngineScalarConversionError as EngineScalarConversionError
from vintrel._vintrel_native_cpu import _EngineSizeOverflowError as EngineSizeOverflowError
from vintrel._vintrel_native_cpu import _EngineStateError as EngineStateError
from vintrel._vintrel_native_cpu import _NativeEngineFault as NativeEngineFault

__all__ = [
    "EngineBatchError",
    "EngineConfigurationError",
    "EngineError",
    "EngineLinearSolveError",
    "EngineNonFiniteError",
    "EngineScalarConversionError",
    "EngineSizeOverflowError",
    "EngineStateError",
    "NativeCpuEngine",
    "NativeEngineFault",
    "version",
]
