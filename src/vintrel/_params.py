"""What each of the estimator's parameters accepts, checked when fitting
starts (scikit-learn's convention: `__init__` stores, `fit` validates)."""

import math
from collections.abc import Callable, Mapping
from numbers import Integral, Real
from typing import Any

import numpy as np

from vintrel._model import PENALTIES, penalty_choices


def _is_real(value: object) -> bool:
    return not isinstance(value, bool) and isinstance(value, Real) and math.isfinite(value)


def _positive(value: Any) -> bool:
    return _is_real(value) and value > 0


def _non_negative(value: Any) -> bool:
    return _is_real(value) and value >= 0


def _count(value: Any) -> bool:
    return not isinstance(value, bool) and isinstance(value, Integral) and int(value) >= 1


def _is_penalty(value: Any) -> bool:
    return isinstance(value, (str, type(None))) and value in PENALTIES


# What each parameter accepts, and how to say it.
_RULES: dict[str, tuple[Callable[[Any], bool], str]] = {
    "epsilon": (_positive, "a positive finite number"),
    "penalty": (_is_penalty, penalty_choices()),
    "alpha": (lambda v: v is None or _non_negative(v), "None or a non-negative finite number"),
    "l1_ratio": (lambda v: _is_real(v) and 0 <= v <= 1, "a number between 0 and 1"),
    "fit_intercept": (lambda v: isinstance(v, (bool, np.bool_)), "a bool"),
    "scale": (lambda v: v == "auto" or _positive(v), '"auto" or a positive finite number'),
    "batch_size": (lambda v: v is None or _count(v), "None or a positive integer"),
    "max_iter": (_count, "a positive integer"),
    "tol": (lambda v: v is None or _positive(v), "None or a positive finite number"),
    "bandwidth_scale": (_positive, "a positive finite number"),
    "ridge": (_non_negative, "a non-negative finite number"),
    "max_passes": (_count, "a positive integer"),
    "pass_tol": (_positive, "a positive finite number"),
    "n_threads": (lambda v: v is None or _count(v), "None or a positive integer"),
    "half_life": (lambda v: v is None or _positive(v), "None or a positive finite number"),
}


def check_params(params: Mapping[str, Any]) -> None:
    """Raise a ValueError naming the first parameter that is out of range."""
    for name, (accepts, expected) in _RULES.items():
        value = params[name]
        if not accepts(value):
            raise ValueError(f"{name} must be {expected}; got {value!r}")
    if params["penalty"] is None and params["alpha"] is not None:
        raise ValueError(f"alpha={params['alpha']!r} needs a penalty: it sets the penalty's level, and "
                         f"penalty=None has none; choose penalty=\"l2\" (as HuberRegressor's alpha), "
                         f"\"l1\" or \"elasticnet\", or leave alpha=None")

