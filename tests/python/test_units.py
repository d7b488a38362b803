"""Caller units: given x_center and x_scale, update, evaluate and predict
standardise raw features themselves, with the bits of the design the
package builds in NumPy, and refuse bad units in a fixed order."""

import re

import numpy as np
import pytest

from vintrel._native_cpu import EngineBatchError, NativeCpuEngine
from vintrel._scaling import Scaling

from conftest import NOT_CONTIGUOUS, WRONG_KIND, assert_same_state, update_args

FEATURES = 20


def raw_batch(dtype, rows, seed=5):
    """Features of very different centres and spreads, a few constant."""
    rng = np.random.default_rng(seed)
    x = rng.standard_normal((rows, FEATURES)) * np.geomspace(1e-3, 1e4, FEATURES) + np.linspace(-50, 900, FEATURES)
    x[:, 3] = 7.25
    y = x[:, :5] @ rng.standard_normal(5) + rng.standard_t(3, rows)
    return x.astype(dtype), y.astype(dtype), rng.uniform(0.0, 2.0, rows).astype(dtype)


# 60,000 rows of 21 columns: evaluate's standardisation and the prediction
# go to the pool in pieces.
@pytest.mark.parametrize("rows", [500, 60_000])
@pytest.mark.parametrize("fit_intercept", [False, True])
def test_caller_units_give_the_bits_of_the_prepared_design(dtype, fit_intercept, rows):
    x, y, w = raw_batch(dtype, rows)
    scaling = Scaling.from_batch(x, y, None, fit_intercept)
    design = scaling.design(x, dtype)
    units = dict(x_center=scaling.x_center, x_scale=scaling.x_scale)
    p = FEATURES + fit_intercept
    prepared, raw = NativeCpuEngine(dtype, p, n_threads=3), NativeCpuEngine(dtype, p, n_threads=3)
    for part, weights in ((slice(0, rows // 2), None), (slice(rows // 2, rows), w[rows // 2:])):
        args = update_args(dtype, x_design=design[part], y=y[part], sample_weight=weights, features=FEATURES,
                           fit_intercept=fit_intercept, batch_weight=float(rows))
        assert_same_state(raw.update(**dict(args, x_design=x[part]), **units), prepared.update(**args))
    assert raw.predict(x, **units).tobytes() == prepared.predict(design).tobytes()
    beta = prepared.state()["coefficients"]
    assert_same_state(raw.evaluate(x, y, w, beta, FEATURES, fit_intercept, 1.345, 0.2, **units),
                      prepared.evaluate(design, y, w, beta, FEATURES, fit_intercept, 1.345, 0.2))


def call(method, engine, dtype, x, units):
    """One call of `method` on a 3-parameter engine (two features and an
    intercept), raw design `x`."""
    y = np.zeros(x.shape[0], dtype)
    if method == "update":
        return engine.update(**update_args(dtype, x_design=x, y=y, features=2, fit_intercept=True), **units)
    if method == "evaluate":
        return engine.evaluate(x, y, None, np.zeros(3, dtype), 2, True, 1.0, 0.1, **units)
    return engine.predict(x, **units)


BATCH = "invalid native batch: "
CENTER, SCALE = np.array([1.0, -2.0]), np.array([0.5, 3.0])
REFUSALS = [
    # The binding: both or neither, then intake of x_center, then x_scale.
    (dict(x_center=CENTER, x_scale=None), TypeError, "x_center and x_scale must be given together"),
    (dict(x_center=CENTER.astype(np.float32), x_scale=7), TypeError,
     "x_center must be a C-contiguous NumPy array with dtype float64"),
    (dict(x_scale=SCALE[:, None]), TypeError, "x_scale must be a C-contiguous NumPy array with dtype float64"),
    (dict(x_scale=np.ones(4)[::2]), ValueError, "x_scale " + NOT_CONTIGUOUS),
    # The engine: lengths, values, then the raw batch.
    (dict(x_center=np.zeros(4), x_scale=np.zeros(4)), EngineBatchError,
     dict(predict=BATCH + "x_center length does not match state parameters",
          other=BATCH + "x_center length does not match n_features_in")),
    (dict(x_scale=np.ones(1), x_center=np.array([np.nan, 0.0])), EngineBatchError,
     BATCH + "x_scale length does not match n_features_in"),
    (dict(x_center=np.array([0.0, np.inf]), x_scale=np.zeros(2)), EngineBatchError,
     BATCH + "x_center must contain only finite values"),
    (dict(x_scale=np.array([1.0, -0.0])), EngineBatchError, BATCH + "x_scale must be finite and positive"),
    (dict(x_scale=np.array([np.inf, 1.0])), EngineBatchError, BATCH + "x_scale must be finite and positive"),
    (dict(x=np.ones((4, 3))), EngineBatchError,
     dict(predict=BATCH + "invalid prediction shape", other=BATCH + "design width does not match state parameters")),
    # Finite raw features that leave the range of floats once standardised.
    (dict(x=np.full((4, 2), 1e30), x_scale=np.array([1e-300, 1.0])), EngineBatchError,
     dict(predict=BATCH + "prediction input must contain only finite values",
          other=BATCH + "batch arrays must contain only finite values")),
]


@pytest.mark.parametrize("method", ["update", "evaluate", "predict"])
@pytest.mark.parametrize("overrides, error, message", REFUSALS)
def test_refused_units(dtype, method, overrides, error, message):
    overrides = dict(overrides)
    x = np.ascontiguousarray(overrides.pop("x", np.ones((4, 2))), dtype)
    units = dict(dict(x_center=CENTER, x_scale=SCALE), **overrides)
    engine = NativeCpuEngine(dtype, 3)
    before = engine.state()
    with pytest.raises(error) as info:
        call(method, engine, dtype, x, units)
    if isinstance(message, dict):
        message = message["predict" if method == "predict" else "other"]
    assert type(info.value) is error and re.fullmatch(re.escape(message), str(info.value))
    assert_same_state(engine.state(), before)


def test_the_raw_design_keeps_the_engine_dtype_and_its_label(dtype):
    other = "float32" if dtype == "float64" else "float64"
    with pytest.raises(TypeError, match=re.escape("X_design " + WRONG_KIND)):
        call("predict", NativeCpuEngine(dtype, 3), dtype, np.ones((4, 2), other), dict(x_center=CENTER,
                                                                                        x_scale=SCALE))
