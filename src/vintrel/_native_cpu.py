"""The native CPU engine: a persistent, incrementally updated Huber regression.

NativeEngineFault is raised when an internal invariant of the engine is
broken, which is a bug in the engine rather than an error in the input; the
call that raises it leaves the engine as it was. It derives from
BaseException, so handlers for ordinary errors do not swallow it.
"""

from vintrel._vintrel_native_cpu import NativeCpuEngine, version
from vintrel._vintrel_native_cpu import _NativeEngineFault as NativeEngineFault

__all__ = ["NativeCpuEngine", "NativeEngineFault", "version"]
