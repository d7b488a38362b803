"""update and predict at the boundary: binding, conversions with notes, the
checks in their order and array intake. All of it is decided before the
engine runs, and a refused call leaves the stored state alone."""

import re

import numpy as np
import pytest

from vintrel._native_cpu import NativeCpuEngine

from conftest import NOT_CONTIGUOUS, WRONG_KIND, assert_same_state, other_dtype, update_args


class AsIndex:
    def __index__(self):
        return 2


def fortran(dtype):
    return np.asfortranarray(np.ones((6, 2), dtype))


def unaligned(dtype):
    raw = np.zeros(6 * np.dtype(dtype).itemsize + 1, np.uint8)
    return raw[1:].view(dtype).reshape(3, 2)


@pytest.fixture
def engine(dtype):
    engine = NativeCpuEngine(dtype, 2)
    engine.restore(np.array([0.5, -1.0], dtype), np.eye(2, dtype=dtype), 4, 1, 0.0, 4.0)
    return engine


UPDATE_CASES = [
    # Conversions in parameter order, each failure naming its parameter.
    (dict(batch_weight="1", n_features_in=1.5), TypeError, None, "batch_weight"),
    (dict(n_features_in=2.0), TypeError, None, "n_features_in"),
    (dict(fit_intercept=1, tau="x"), TypeError, None, "fit_intercept"),
    (dict(penalty=b"l1"), TypeError, None, "penalty"),
    (dict(max_iter=2**63), OverflowError, None, "max_iter"),
    (dict(ridge=10**400), OverflowError, None, "ridge"),
    # Boundary checks: after every conversion, before any array.
    (dict(n_features_in=0, max_iter=0, penalty="L1", x_design=None), ValueError, "n_features_in must be positive", None),
    (dict(max_iter=-5, penalty="", x_design=None), ValueError, "max_iter must be positive", None),
    (dict(penalty="l1 ", x_design=[[1.0]]), ValueError, "unsupported native penalty", None),
    # Arrays: typed intake of x then y, contiguity of x then y, then weights.
    (dict(x_design=lambda d: np.ones((6, 2), other_dtype(d)), y=None), TypeError, "X_design " + WRONG_KIND, None),
    (dict(x_design=fortran, y=lambda d: np.ones((6, 1), d)), TypeError, "y " + WRONG_KIND, None),
    (dict(x_design=fortran, y=lambda d: np.ones(12, d)[::2]), ValueError, "X_design " + NOT_CONTIGUOUS, None),
    (dict(y=lambda d: np.ones(12, d)[::2], sample_weight="bad"), ValueError, "y " + NOT_CONTIGUOUS, None),
    (dict(sample_weight=np.ones(6, dtype=np.int64)), TypeError, "sample_weight " + WRONG_KIND, None),
    (dict(sample_weight=lambda d: np.ones(12, d)[::-2]), ValueError, "sample_weight " + NOT_CONTIGUOUS, None),
]


@pytest.mark.parametrize("overrides, error, message, note", UPDATE_CASES)
def test_refused_update(engine, dtype, overrides, error, message, note):
    args = update_args(dtype, **{key: value(dtype) if callable(value) else value for key, value in overrides.items()})
    before = engine.state()
    with pytest.raises(error) as info:
        engine.update(**args)
    assert type(info.value) is error
    assert message is None or str(info.value) == message
    assert getattr(info.value, "__notes__", None) == ([f"while processing '{note}'"] if note else None)
    assert_same_state(engine.state(), before)


def test_conversions_accept_numbers_through_their_protocols(engine, dtype):
    for flag in (np.True_, np.False_, True):
        args = update_args(dtype, batch_weight=np.float16(2), tau=AsIndex(), n_features_in=AsIndex(),
                           max_iter=np.int16(4), tol=np.float32(1e-3), fit_intercept=flag, x_design=None)
        with pytest.raises(TypeError, match=re.escape("X_design " + WRONG_KIND)):  # the first thing refused
            engine.update(**args)


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda e: e.update(), "NativeCpuEngine.update() missing 13 required positional arguments: 'x_design', "
         "'y', 'sample_weight', 'batch_weight', 'n_features_in', 'fit_intercept', 'tau', 'penalty', 'lambda_scale', "
         "'bandwidth_scale', 'max_iter', 'tol', and 'ridge'"),
        (lambda e: e.update(*update_args().values(), None), "update() takes 13 positional arguments but 14 were given"),
        (lambda e: e.update(np.ones((1, 2)), **update_args()), "update() got multiple values for argument 'x_design'"),
        (lambda e: e.predict(), "predict() missing 1 required positional argument: 'x_design'"),
        (lambda e: e.predict(X_design=np.ones((1, 2))), "predict() got an unexpected keyword argument 'X_design'"),
        # The units are keyword-only.
        (lambda e: e.predict(np.ones((1, 2)), None), "predict() takes 1 positional argument but 2 were given"),
        (lambda e: e.evaluate(*range(9)), "evaluate() takes 8 positional arguments but 9 were given"),
    ],
)
def test_argument_binding_errors(call, message):
    with pytest.raises(TypeError, match=re.escape(message)):
        call(NativeCpuEngine("float64", 2))


@pytest.mark.parametrize(
    "make, error, message",
    [
        (lambda d: [[1.0, 2.0]], TypeError, WRONG_KIND),
        (lambda d: np.ones((3, 2), other_dtype(d)), TypeError, WRONG_KIND),
        (lambda d: np.ones(2, d), TypeError, WRONG_KIND),
        (lambda d: np.ones((3, 2), np.dtype(d).newbyteorder()), TypeError, WRONG_KIND),
        (fortran, ValueError, NOT_CONTIGUOUS),
        (lambda d: np.ones((3, 4), d)[:, ::2], ValueError, NOT_CONTIGUOUS),
        (lambda d: np.ones((3, 2), d)[::-1], ValueError, NOT_CONTIGUOUS),
        (unaligned, ValueError, NOT_CONTIGUOUS),
    ],
)
def test_refused_prediction_input(engine, dtype, make, error, message):
    with pytest.raises(error) as info:
        engine.predict(make(dtype))
    assert type(info.value) is error and str(info.value) == "X_design " + message
