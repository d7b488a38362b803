"""End-to-end behaviour of update: what the fitted estimate is, how it
streams, and that failures leave the stored estimate alone."""

import re
import threading

import numpy as np
import pytest

from vintrel import NativeCpuEngine

from conftest import assert_same_state

ARGS = dict(batch_weight=None, n_features_in=None, fit_intercept=True, tau=1.345, penalty="none",
            lambda_scale=1.0, bandwidth_scale=1.0, max_iter=50, tol=1e-10, ridge=0.0)


def update(engine, design, y, sample_weight=None, **overrides):
    args = dict(ARGS, batch_weight=float(design.shape[0]), n_features_in=design.shape[1] - 1)
    args.update(overrides)
    return engine.update(design, y, sample_weight, **args)


def regression(rng, rows, coef, noise=1.0, outlier_share=0.0, dtype=np.float64):
    x = rng.standard_normal((rows, coef.size - 1))
    design = np.hstack([x, np.ones((rows, 1))])
    y = design @ coef + noise * rng.standard_t(df=3, size=rows)
    outliers = rng.random(rows) < outlier_share
    y[outliers] += rng.uniform(30, 80, outliers.sum())
    return np.ascontiguousarray(design, dtype=dtype), y.astype(dtype)


def test_huge_tau_single_newton_batch_is_least_squares():
    rng = np.random.default_rng(1)
    design, y = regression(rng, 5_000, np.array([1.5, -2.0, 0.25, 4.0]))
    engine = NativeCpuEngine("float64", 4)
    result = update(engine, design, y, tau=1e12)
    expected = np.linalg.lstsq(design, y, rcond=None)[0]
    np.testing.assert_allclose(result["coefficients"], expected, rtol=1e-10)
    assert result["converged"] and not result["used_regularized_fallback"]


@pytest.mark.parametrize("penalty", ["none", "l1"])
def test_streamed_estimate_resists_outliers_that_ruin_least_squares(penalty):
    rng = np.random.default_rng(2)
    truth = np.array([2.0, -1.0, 0.5, 3.0, 1.0])
    design, y = regression(rng, 60_000, truth, outlier_share=0.05)
    engine = NativeCpuEngine("float64", truth.size)
    for start in range(0, design.shape[0], 10_000):
        update(engine, design[start:start + 10_000], y[start:start + 10_000], penalty=penalty,
               lambda_scale=0.1)
    streamed = engine.state()["coefficients"]
    least_squares = np.linalg.lstsq(design, y, rcond=None)[0]
    # One-sided outliers bias any M-estimate's intercept a little (each one
    # pulls with force tau); least squares is dragged by their full size.
    assert np.linalg.norm(streamed - truth) < 0.15
    assert np.linalg.norm(least_squares - truth) > 1.0


@pytest.mark.parametrize("dtype", ["float32", "float64"])
def test_streaming_batches_approaches_a_single_fit(dtype):
    rng = np.random.default_rng(3)
    truth = np.array([0.5, -0.5, 2.0])
    design, y = regression(rng, 40_000, truth, dtype=dtype)
    streamed = NativeCpuEngine(dtype, 3)
    for start in range(0, 40_000, 4_000):
        update(streamed, design[start:start + 4_000], y[start:start + 4_000])
    whole = NativeCpuEngine(dtype, 3)
    update(whole, design, y)
    state = streamed.state()
    assert state["n_samples_seen"] == 40_000 and state["batch_count"] == 10
    assert state["weight_sum"] == 40_000.0
    np.testing.assert_allclose(state["coefficients"], whole.state()["coefficients"], atol=0.02)


def test_l1_zeroes_small_coefficients_but_never_the_intercept():
    rng = np.random.default_rng(4)
    truth = np.array([3.0, 0.0, -2.0, 0.0, 0.01])
    design, y = regression(rng, 2_000, truth, noise=0.5)
    engine = NativeCpuEngine("float64", truth.size)
    coef = update(engine, design, y, penalty="l1", lambda_scale=5.0)["coefficients"]
    assert coef[1] == 0.0 and coef[3] == 0.0
    assert abs(coef[0]) > 1.0 and abs(coef[2]) > 1.0

    # An enormous level zeroes every coefficient but the intercept; without
    # an intercept the last coefficient is thresholded too.
    for fit_intercept in (True, False):
        crushed = NativeCpuEngine("float64", truth.size)
        result = update(crushed, design, y, penalty="l1", lambda_scale=1e6, fit_intercept=fit_intercept,
                        n_features_in=truth.size - fit_intercept)
        assert np.all(result["coefficients"][:-1] == 0.0)
        assert (result["coefficients"][-1] != 0.0) == fit_intercept
        assert not result["used_regularized_fallback"]


def test_all_outlier_first_batch_falls_back_to_the_singular_value_solve():
    design = np.ones((50, 2))
    design[:, 0] = np.arange(50.0)
    y = np.full(50, 1e6)
    engine = NativeCpuEngine("float64", 2)
    result = update(engine, design, y, tau=0.5)
    assert result["used_regularized_fallback"]
    np.testing.assert_array_equal(result["coefficients"], [0.0, 0.0])


@pytest.mark.parametrize("penalty", ["none", "l1"])
@pytest.mark.parametrize("dtype", ["float32", "float64"])
def test_results_are_bit_identical_for_every_pool_size_below_the_parallel_thresholds(dtype, penalty):
    rng = np.random.default_rng(6)
    design, y = regression(rng, 30_000, np.array([1.0, -2.0, 0.5, 0.0, 0.3]), outlier_share=0.03,
                           dtype=dtype)
    states = []
    for n_threads in (None, 1, 2, 3):
        engine = NativeCpuEngine(dtype, 5, n_threads=n_threads)
        for start in range(0, 30_000, 10_000):
            update(engine, design[start:start + 10_000], y[start:start + 10_000], penalty=penalty)
        states.append(engine.state())
    for state in states[1:]:
        assert_same_state(state, states[0])


CONFIG = "invalid native configuration: "
STATE = "invalid native state: "
BATCH = "invalid native batch: "


@pytest.mark.parametrize("overrides, message", [
    # The stored state is checked first, then the configuration, then the batch.
    (dict(n_features_in=1, tau=0.0, rows=0), STATE + "coefficient shape does not match feature metadata"),
    (dict(tau=0.0, rows=0), CONFIG + "tau must be finite and positive"),
    (dict(tau=float("nan")), CONFIG + "tau must be finite and positive"),
    (dict(lambda_scale=-1.0, bandwidth_scale=0.0), CONFIG + "lambda_scale must be finite and non-negative"),
    (dict(bandwidth_scale=float("inf")), CONFIG + "bandwidth_scale must be finite and positive"),
    (dict(tol=0.0, ridge=-1.0), CONFIG + "tolerance must be finite and positive"),
    (dict(ridge=float("nan"), rows=0), CONFIG + "ridge must be finite and non-negative"),
    (dict(rows=0), BATCH + "batch must contain at least one row"),
    (dict(cols=4), BATCH + "design width does not match state parameters"),
    (dict(y_len=9), BATCH + "target length does not match design rows"),
    (dict(batch_weight=0.0, x_nan=True), BATCH + "batch_weight must be finite and positive"),
    (dict(x_nan=True, w_len=3), BATCH + "batch arrays must contain only finite values"),
    (dict(w_len=3), BATCH + "sample_weight length does not match design rows"),
    (dict(w_value=-1.0), BATCH + "sample_weight must be finite and non-negative"),
    (dict(w_value=0.0), BATCH + "sample_weight must contain a positive value"),
])
def test_driver_checks_run_in_order_and_leave_the_state_alone(overrides, message):
    rows, cols = overrides.pop("rows", 10), overrides.pop("cols", 3)
    design = np.ones((rows, cols))
    if overrides.pop("x_nan", False):
        design[1, 1] = np.nan
    y = np.zeros(overrides.pop("y_len", rows))
    weights = None
    if "w_len" in overrides:
        weights = np.ones(overrides.pop("w_len"))
    if "w_value" in overrides:
        weights = np.full(rows, overrides.pop("w_value"))
        weights[0] = -0.0
    engine = NativeCpuEngine("float64", 3)
    engine.restore(np.array([0.5, -1.0, 2.0]), np.eye(3), 10, 1, 0.0, 10.0)
    before = engine.state()
    args = dict(ARGS, batch_weight=float(max(rows, 1)), n_features_in=2)
    args.update(overrides)
    with pytest.raises(ValueError, match=f"^{re.escape(message)}$"):
        engine.update(design, y, weights, **args)
    assert_same_state(engine.state(), before)


def test_overflowing_total_weight_is_a_batch_error():
    engine = NativeCpuEngine("float64", 2)
    engine.restore(np.zeros(2), np.zeros((2, 2)), 1, 1, 0.0, 1.7e308)
    with pytest.raises(ValueError, match=re.escape(BATCH + "combined effective weight must be finite and positive")):
        update(engine, np.ones((4, 2)), np.zeros(4), batch_weight=1.7e308)


def test_levels_follow_the_total_weight():
    engine = NativeCpuEngine("float64", 2)
    result = update(engine, np.ones((4, 2)), np.zeros(4), batch_weight=4.0, n_features_in=1,
                    penalty="l1", lambda_scale=1.0, bandwidth_scale=1.0)
    assert result["bandwidth"] == 0.7213475204444817
    assert result["lambda_value"] == 0.5598929760035517
    assert result["previous_lambda"] == result["lambda_value"]
    none = update(NativeCpuEngine("float64", 2), np.ones((4, 2)), np.zeros(4), batch_weight=4.0,
                  n_features_in=1, lambda_scale=3.0)
    assert none["lambda_value"] == 0.0 and none["previous_lambda"] == 0.0


def test_a_long_update_refuses_other_threads_and_still_completes():
    rng = np.random.default_rng(8)
    design, y = regression(rng, 400_000, np.linspace(-1, 1, 40), outlier_share=0.05)
    reference = NativeCpuEngine("float64", 40, n_threads=1)
    update(reference, design, y)

    engine = NativeCpuEngine("float64", 40, n_threads=1)
    results, seen = {}, set()
    worker = threading.Thread(target=lambda: results.update(update(engine, design, y)))
    worker.start()
    while worker.is_alive():
        for call in (lambda: engine.predict(design[:1]), lambda: engine.n_parameters, engine.state):
            try:
                call()
            except RuntimeError as error:
                seen.add(str(error))
    worker.join()
    assert seen <= {"Already borrowed", "Already mutably borrowed"}
    assert seen, "the update finished before any conflicting call was made"
    assert_same_state(engine.state(), reference.state())
