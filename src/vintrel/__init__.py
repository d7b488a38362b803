"""Incremental Huber regression on a native CPU engine."""

from vintrel._native_cpu import NativeCpuEngine, version
from vintrel.estimator import IncrementalHuberRegressor

__all__ = ["IncrementalHuberRegressor", "NativeCpuEngine", "version"]
