"""The engine's error classes: one per kind, each an EngineError and still the
built-in type callers have always caught."""

import pickle

import numpy as np
import pytest

import vintrel._native_cpu as package
import vintrel._vintrel_native_cpu as native
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
)

from conftest import update_args

KINDS = [
    (EngineConfigurationError, ValueError),
    (EngineStateError, ValueError),
    (EngineBatchError, ValueError),
    (EngineSizeOverflowError, ValueError),
    (EngineScalarConversionError, ValueError),
    (EngineLinearSolveError, RuntimeError),
    (EngineNonFiniteError, RuntimeError),
]
BUILTIN = dict(KINDS)


@pytest.mark.parametrize("cls, builtin", KINDS, ids=lambda value: value.__name__)
def test_each_kind_is_an_engine_error_and_its_builtin_type(cls, builtin):
    assert cls.__mro__[1:3] == (EngineError, builtin)
    assert (cls.__module__, getattr(native, "_" + cls.__name__)) == ("vintrel._native_cpu", cls)
    assert cls.__name__ in package.__all__ and cls.__doc__


def test_the_base_is_an_ordinary_exception():
    assert EngineError.__bases__ == (Exception,) and native._EngineError is EngineError


def engine_with_state(penalty="none", n_samples_seen=0, weight_sum=0.0, information_corner=0.0):
    """A two-parameter engine at zero coefficients with the given counters and information corner."""
    engine = NativeCpuEngine("float64", 2)
    information = np.zeros((2, 2))
    information[0, 0] = information_corner
    engine.restore(np.zeros(2), information, n_samples_seen, 1, 0.0, weight_sum)
    return engine


# A first row of 1e154 squares to 1e308 in the Gram, which the largest finite
# information entry cannot absorb: under "none" the Newton matrix overflows,
# under "l1" (no Newton matrix) the new information does.
HUGE = np.finfo(np.float64).max
CASES = [
    (dict(tau=0.0), {}, EngineConfigurationError, "invalid native configuration: tau must be finite and positive"),
    (dict(n_features_in=2, fit_intercept=True), {}, EngineStateError,
     "invalid native state: coefficient shape does not match feature metadata"),
    (dict(batch_weight=0.0), {}, EngineBatchError, "invalid native batch: batch_weight must be finite and positive"),
    ({}, dict(n_samples_seen=2**64 - 1, weight_sum=1.0), EngineSizeOverflowError, "native buffer size overflow"),
    (dict(tau=1e300, first=1e154), dict(information_corner=HUGE), EngineLinearSolveError,
     "native linear solve failed"),
    (dict(tau=1e300, first=1e154, penalty="l1"), dict(information_corner=HUGE), EngineNonFiniteError,
     "native calculation produced a non-finite value"),
]


@pytest.mark.parametrize("overrides, state, cls, message", CASES, ids=[case[2].__name__ for case in CASES])
def test_update_raises_the_class_of_the_kind_with_its_message(overrides, state, cls, message):
    overrides = dict(overrides)
    first = overrides.pop("first", None)
    args = update_args(rows=8, **overrides)
    if first is not None:
        args["x_design"][0, 0] = first
    engine = engine_with_state(**state)
    with pytest.raises(cls) as raised:
        engine.update(**args)
    error = raised.value
    assert type(error) is cls and isinstance(error, EngineError) and isinstance(error, BUILTIN[cls])
    assert str(error) == message and error.args == (message,)
    copy = pickle.loads(pickle.dumps(error))
    assert type(copy) is cls and copy.args == error.args


@pytest.mark.parametrize("call, builtin, message", [
    (lambda engine: engine.update(**update_args(penalty="l3")), ValueError, "unsupported native penalty"),
    (lambda engine: engine.restore(np.zeros(2), np.zeros((2, 2)), -1, 0, 0.0, 0.0), ValueError,
     "state counters must be non-negative"),
    (lambda engine: engine.restore(np.zeros(2), np.zeros((2, 2)), 1, 0, 0.0, 0.0), ValueError,
     "weight_sum is inconsistent with the state counters"),
])
def test_the_bindings_own_checks_keep_the_builtin_types(call, builtin, message):
    with pytest.raises(builtin) as raised:
        call(NativeCpuEngine("float64", 2))
    assert type(raised.value) is builtin and str(raised.value) == message
