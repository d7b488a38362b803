"""Incremental Huber regression on a native CPU engine.

The names below are imported when first used, so that importing a part of
the package (the command line answering `--help`, say) does not load the
estimator and with it scikit-learn and SciPy.
"""

import importlib
from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    from vintrel._native_cpu import NativeCpuEngine, NativeEngineFault, version
    from vintrel.estimator import IncrementalHuberRegressor

    __version__: str

# The module that defines each public name.
_HOMES = {"IncrementalHuberRegressor": "vintrel.estimator", "NativeCpuEngine": "vintrel._native_cpu",
          "NativeEngineFault": "vintrel._native_cpu", "version": "vintrel._native_cpu"}

__all__ = ["IncrementalHuberRegressor", "NativeCpuEngine", "NativeEngineFault", "__version__", "version"]


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
