"""The native CPU engine: a persistent, incrementally updated Huber regression."""

from vintrel._vintrel_native_cpu import NativeCpuEngine, version

__all__ = ["NativeCpuEngine", "version"]
