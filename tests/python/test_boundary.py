"""update and predict at the boundary: binding, conversions with notes, the
checks in their order and array intake. Everything here is decided before
the engine runs, and a refused call leaves the stored state alone."""

import re

import numpy as np
import pytest

from conftest import NOT_CONTIGUOUS, WRONG_KIND, assert_same_state, other_dtype, update_args
from vintrel._native_cpu import NativeCpuEngine


class AsFloat:
    def __float__(self):
        return 1.0


class AsIndex:
    def __index__(self):
        return 3


def fortran(rows, cols, dtype="float64"):
    return np.asfortranarray(np.ones((rows, cols), dtype))


def unaligned(n, dtype="float64"):
    raw = np.zeros(n * np.dtype(dtype).itemsize + 1, np.uint8)
    array = raw[1:].view(dtype)
    assert not array.flags.aligned
    return array


@pytest.fixture
def engine(dtype):
    engine = NativeCpuEngine(dtype, 2)
    engine.restore(np.array([0.5, -1.0], dtype), np.eye(2, dtype=dtype), 4, 1, 0.0, 4.0)
    yield engine
    # Whatever the test provoked, the stored state is what restore put there.
    assert engine.state()["n_samples_seen"] == 4
    np.testing.assert_array_equal(engine.state()["coefficients"], [0.5, -1.0])


UPDATE_CASES = [
    # Conversions, in parameter order, each failure naming its parameter.
    (dict(batch_weight="1", n_features_in=1.5), TypeError, None, "batch_weight"),
    (dict(n_features_in=2.0), TypeError, None, "n_features_in"),
    (dict(n_features_in=2**63), OverflowError, None, "n_features_in"),
    (dict(fit_intercept=1, tau="x"), TypeError, None, "fit_intercept"),
    (dict(fit_intercept=None), TypeError, None, "fit_intercept"),
    (dict(tau=None), TypeError, None, "tau"),
    (dict(penalty=b"l1"), TypeError, None, "penalty"),
    (dict(lambda_scale=[1.0]), TypeError, None, "lambda_scale"),
    (dict(bandwidth_scale=1j), TypeError, None, "bandwidth_scale"),
    (dict(max_iter=2.0), TypeError, None, "max_iter"),
    (dict(max_iter=2**63), OverflowError, None, "max_iter"),
    (dict(tol="1e-6"), TypeError, None, "tol"),
    (dict(ridge=10**400), OverflowError, None, "ridge"),
    # Boundary checks, after every conversion and before any array.
    (dict(n_features_in=0, max_iter=0, penalty="L1", x_design=None), ValueError, "n_features_in must be positive", None),
    (dict(max_iter=-5, penalty="", x_design=None), ValueError, "max_iter must be positive", None),
    (dict(penalty="L1", x_design=None), ValueError, "unsupported native penalty", None),
    (dict(penalty="l1 ", x_design=[[1.0]]), ValueError, "unsupported native penalty", None),
    (dict(penalty="", x_design=np.ones((6, 2), np.float16)), ValueError, "unsupported native penalty", None),
    # Arrays: typed intake of x then y, contiguity of x then y, then weights.
    (dict(x_design=[[1.0, 2.0]]), TypeError, "X_design " + WRONG_KIND, None),
    (dict(x_design=np.ones(2)), TypeError, "X_design " + WRONG_KIND, None),
    (dict(x_design=lambda d: np.ones((6, 2), other_dtype(d)), y=None), TypeError, "X_design " + WRONG_KIND, None),
    (dict(x_design=lambda d: fortran(3, 2, d), y=lambda d: np.ones((3, 1), d)), TypeError, "y " + WRONG_KIND, None),
    (dict(x_design=lambda d: fortran(3, 2, d), y=lambda d: np.ones(6, d)[::2]), ValueError, "X_design " + NOT_CONTIGUOUS, None),
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
    if message is not None:
        assert str(info.value) == message
    assert getattr(info.value, "__notes__", None) == ([f"while processing '{note}'"] if note else None)
    assert_same_state(engine.state(), before)


def test_conversions_accept_protocol_objects_and_numpy_bools(engine, dtype):
    # These pass every conversion and check, so the first failure is the
    # deliberately bad design matrix.
    for flag in (np.True_, np.False_, True):
        args = update_args(dtype, batch_weight=AsFloat(), tau=AsIndex(), n_features_in=AsIndex(),
                           max_iter=np.int16(4), tol=np.float32(1e-3), fit_intercept=flag, x_design=None)
        with pytest.raises(TypeError, match=re.escape("X_design " + WRONG_KIND)):
            engine.update(**args)


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda e: e.update(), "NativeCpuEngine.update() missing 13 required positional arguments: 'x_design', "
         "'y', 'sample_weight', 'batch_weight', 'n_features_in', 'fit_intercept', 'tau', 'penalty', 'lambda_scale', "
         "'bandwidth_scale', 'max_iter', 'tol', and 'ridge'"),
        (lambda e: e.update(*update_args().values(), None), "NativeCpuEngine.update() takes 13 positional arguments but 14 were given"),
        (lambda e: e.update(np.ones((1, 2)), **update_args()), "NativeCpuEngine.update() got multiple values for argument 'x_design'"),
        (lambda e: e.update(**update_args(), alpha=1.0), "NativeCpuEngine.update() got an unexpected keyword argument 'alpha'"),
        (lambda e: e.predict(), "NativeCpuEngine.predict() missing 1 required positional argument: 'x_design'"),
        (lambda e: e.predict(np.ones((1, 2)), np.ones((1, 2))), "NativeCpuEngine.predict() takes 1 positional argument but 2 were given"),
        (lambda e: e.predict(X_design=np.ones((1, 2))), "NativeCpuEngine.predict() got an unexpected keyword argument 'X_design'"),
    ],
)
def test_argument_binding_errors(call, message):
    with pytest.raises(TypeError, match=re.escape(message)):
        call(NativeCpuEngine("float64", 2))


PREDICT_CASES = [
    (lambda d: [[1.0, 2.0]], TypeError, WRONG_KIND),
    (lambda d: np.ones((3, 2), other_dtype(d)), TypeError, WRONG_KIND),
    (lambda d: np.ones(2, d), TypeError, WRONG_KIND),
    (lambda d: np.ones((1, 1, 2), d), TypeError, WRONG_KIND),
    (lambda d: np.ones((3, 2), np.int32), TypeError, WRONG_KIND),
    (lambda d: np.ones((3, 2), np.dtype(d).newbyteorder()), TypeError, WRONG_KIND),
    (lambda d: fortran(3, 2, d), ValueError, NOT_CONTIGUOUS),
    (lambda d: np.ones((3, 4), d)[:, ::2], ValueError, NOT_CONTIGUOUS),
    (lambda d: np.ones((3, 2), d)[::-1], ValueError, NOT_CONTIGUOUS),
    (lambda d: unaligned(6, d).reshape(3, 2), ValueError, NOT_CONTIGUOUS),
]


@pytest.mark.parametrize("x_design, error, message", PREDICT_CASES)
def test_refused_prediction_input(engine, dtype, x_design, error, message):
    with pytest.raises(error) as info:
        engine.predict(x_design(dtype))
    assert type(info.value) is error and str(info.value) == "X_design " + message
