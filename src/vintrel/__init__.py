"""Incremental Huber regression on a native CPU engine."""

from vintrel._native_cpu import NativeCpuEngine, version

__all__ = ["NativeCpuEngine", "version"]
