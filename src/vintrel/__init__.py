"""Incremental Huber regression on a native CPU engine."""

from vintrel._native_cpu import NativeCpuEngine, NativeEngineFault, version
from vintrel.estimator import IncrementalHuberRegressor

__version__: str = version()["engine_version"]

__all__ = ["IncrementalHuberRegressor", "NativeCpuEngine", "NativeEngineFault", "__version__", "version"]
