"""Incremental Huber regression on a native CPU engine."""

from vintrel._native_cpu import NativeCpuEngine, NativeEngineFault, version

__version__: str = version()["engine_version"]

__all__ = ["NativeCpuEngine", "NativeEngineFault", "__version__", "version"]
