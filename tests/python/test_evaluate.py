"""evaluate: the score sum, curvature-weighted Gram and Huber sums of one
batch at given coefficients, against a NumPy transcription and against the
information an update adds; the stored estimate is left alone, the bits do
not depend on the pool, and bad requests are refused in order."""

import re

import numpy as np
import pytest

from vintrel._native_cpu import (
    EngineBatchError,
    EngineConfigurationError,
    EngineNonFiniteError,
    EngineStateError,
    NativeCpuEngine,
)

from conftest import NOT_CONTIGUOUS, WRONG_KIND, assert_same_state, other_dtype, update_args

KEYS = ["gradient", "gram", "loss", "weight", "psi_squared", "psi_prime", "residuals"]


def reference(x, y, w, beta, tau, bandwidth):
    """The definitions, in float64 NumPy."""
    x, y, beta = (np.asarray(a, np.float64) for a in (x, y, beta))
    w = np.ones(y.size) if w is None else np.asarray(w, np.float64)
    r = y - x @ beta
    psi = np.clip(r, -tau, tau)
    inside = np.abs(r) <= tau
    a = min(bandwidth, tau)
    curvature = inside * 1.0 if a == 0 else np.clip((tau + a - np.abs(r)) / (2 * a), 0.0, 1.0)
    rho = np.where(inside, 0.5 * r * r, tau * np.abs(r) - 0.5 * tau * tau)
    return dict(gradient=x.T @ (w * psi), gram=(x * (w * curvature)[:, None]).T @ x, loss=np.sum(w * rho),
                weight=np.sum(w), psi_squared=np.sum(w * psi * psi), psi_prime=np.sum(w * inside), residuals=r)


def problem(dtype, rows=400, features=3, fit_intercept=True, weighted=True, seed=1):
    rng = np.random.default_rng(seed)
    x = rng.standard_normal((rows, features))
    if fit_intercept:
        x = np.hstack([x, np.ones((rows, 1))])
    beta = rng.standard_normal(x.shape[1])
    y = x @ rng.standard_normal(x.shape[1]) + rng.standard_t(2, rows)
    w = rng.uniform(0.0, 2.0, rows).astype(dtype) if weighted else None
    return x.astype(dtype), y.astype(dtype), w, beta.astype(dtype)


def evaluate(engine, x, y, w, beta, features, fit_intercept, tau=1.345, bandwidth=0.3, **units):
    return engine.evaluate(x, y, w, beta, features, fit_intercept, tau, bandwidth, **units)


@pytest.mark.parametrize("bandwidth", [0.0, 0.3])
@pytest.mark.parametrize("fit_intercept", [False, True])
@pytest.mark.parametrize("weighted", [False, True])
def test_evaluation_matches_its_definition(dtype, weighted, fit_intercept, bandwidth):
    x, y, w, beta = problem(dtype, fit_intercept=fit_intercept, weighted=weighted)
    result = evaluate(NativeCpuEngine(dtype, x.shape[1]), x, y, w, beta, 3, fit_intercept, bandwidth=bandwidth)
    assert list(result) == KEYS
    expected = reference(x, y, w, beta, np.float64(np.dtype(dtype).type(1.345)), bandwidth)
    rtol = 1e-12 if dtype == "float64" else 1e-4
    for key in KEYS:
        got, want = result[key], expected[key]
        if isinstance(got, np.ndarray):
            assert got.dtype == np.dtype(dtype) and got.shape == np.shape(want), key
        else:
            assert type(got) is float, key
        np.testing.assert_allclose(got, want, rtol=rtol, atol=rtol * np.max(np.abs(want)), err_msg=key)


@pytest.mark.parametrize("bandwidth, curvature", [(0.0, 1.0), (0.5, 0.5)])
def test_a_zero_bandwidth_is_the_exact_indicator_at_the_threshold(dtype, bandwidth, curvature):
    # |r| = tau exactly: the indicator counts the row, the smoothed
    # curvature sits at the middle of its ramp.
    x, y = np.array([[1.0], [1.0]], dtype), np.array([1.5, -1.5], dtype)
    result = NativeCpuEngine(dtype, 1).evaluate(x, y, np.array([2.0, 1.0], dtype), np.zeros(1, dtype), 1, False,
                                                1.5, bandwidth)
    assert result["gram"][0, 0] == 3.0 * curvature and result["psi_prime"] == 3.0
    assert result["gradient"][0] == 1.5 and result["psi_squared"] == 3.0 * 2.25


def test_the_gram_is_the_information_an_update_adds(dtype):
    # From a zero state, the information after one update is the Gram at
    # its coefficients and bandwidth: the same kernels, bit for bit.
    x, y, w, _ = problem(dtype, rows=3_000, features=5)
    engine = NativeCpuEngine(dtype, 6)
    result = engine.update(**update_args(dtype, x_design=x, y=y, sample_weight=w, features=5, fit_intercept=True))
    evaluation = evaluate(engine, x, y, w, result["coefficients"], 5, True, bandwidth=result["bandwidth"])
    assert evaluation["gram"].tobytes() == result["information"].tobytes()


def test_the_stored_estimate_is_neither_read_nor_changed(dtype):
    x, y, w, beta = problem(dtype)
    fresh, fitted = NativeCpuEngine(dtype, 4), NativeCpuEngine(dtype, 4)
    fitted.update(**update_args(dtype, x_design=x, y=y, features=3, fit_intercept=True))
    before = fitted.state()
    results = [evaluate(engine, x, y, w, beta, 3, True) for engine in (fresh, fitted)]
    assert_same_state(fitted.state(), before)
    for key in KEYS:
        assert np.asarray(results[0][key]).tobytes() == np.asarray(results[1][key]).tobytes(), key


@pytest.mark.parametrize("rows, features, keys", [
    (10_000, 5, KEYS),  # below every parallel threshold: every bit
    # n*p = 1,000,000: the residuals run on the pool, the gradient sums in
    # row slots, one per worker; residuals and the sums from them still agree.
    (100_000, 9, ["loss", "weight", "psi_squared", "psi_prime", "residuals"]),
])
def test_the_same_bits_for_every_pool(dtype, rows, features, keys):
    x, y, w, beta = problem(dtype, rows=rows, features=features)
    seen = {key: set() for key in keys}
    for n_threads in (None, 1, 2, 3):
        result = evaluate(NativeCpuEngine(dtype, features + 1, n_threads=n_threads), x, y, w, beta, features, True)
        for key in keys:
            seen[key].add(np.asarray(result[key]).tobytes())
    assert all(len(values) == 1 for values in seen.values()), seen.keys()


CONFIG, BATCH = "invalid native configuration: ", "invalid native batch: "
REFUSALS = [
    # The boundary: conversions, n_features_in, then the arrays in order.
    (dict(fit_intercept=1), TypeError, None),
    (dict(n_features_in=0, tau="x"), TypeError, None),
    (dict(n_features_in=0, coefficients=None), ValueError, "n_features_in must be positive"),
    (dict(y=lambda d: np.ones(8, other_dtype(d)), coefficients=None), TypeError, "y " + WRONG_KIND),
    (dict(coefficients=lambda d: np.ones(3, other_dtype(d))), TypeError, "coefficients " + WRONG_KIND),
    (dict(coefficients=lambda d: np.ones(6, d)[::2]), ValueError, "coefficients " + NOT_CONTIGUOUS),
    # The engine: layout, settings, coefficients, then the batch.
    (dict(n_features_in=3, tau=0.0), EngineStateError,
     "invalid native state: coefficient shape does not match feature metadata"),
    (dict(tau=float("inf"), bandwidth=-1.0), EngineConfigurationError, CONFIG + "tau must be finite and positive"),
    (dict(bandwidth=float("nan")), EngineConfigurationError, CONFIG + "bandwidth must be finite and non-negative"),
    (dict(coefficients=lambda d: np.ones(2, d), x_design=lambda d: np.ones((0, 3), d)), EngineBatchError,
     BATCH + "coefficients length does not match state parameters"),
    (dict(coefficients=lambda d: np.array([0.0, np.nan, 0.0], d)), EngineBatchError,
     BATCH + "coefficients must contain only finite values"),
    (dict(x_design=lambda d: np.ones((0, 3), d)), EngineBatchError, BATCH + "batch must contain at least one row"),
    (dict(y=lambda d: np.full(8, np.inf, d)), EngineBatchError, BATCH + "batch arrays must contain only finite values"),
    (dict(sample_weight=lambda d: np.zeros(8, d)), EngineBatchError, BATCH + "sample_weight must contain a positive value"),
    # Squares of residuals and rows inside tau overflow.
    (dict(x_design=lambda d: np.full((8, 3), 1e30 if d == "float32" else 1e160, d), tau=1e161), EngineNonFiniteError,
     "native calculation produced a non-finite value"),
]


@pytest.mark.parametrize("overrides, error, message", REFUSALS)
def test_refusals(dtype, overrides, error, message):
    args = dict(x_design=np.ones((8, 3), dtype), y=np.zeros(8, dtype), sample_weight=None,
                coefficients=np.ones(3, dtype), n_features_in=2, fit_intercept=True, tau=1.0, bandwidth=0.1)
    args.update({key: value(dtype) if callable(value) else value for key, value in overrides.items()})
    engine = NativeCpuEngine(dtype, 3)
    before = engine.state()
    with pytest.raises(error) as info:
        engine.evaluate(**args)
    assert message is None or re.fullmatch(re.escape(message), str(info.value))
    assert_same_state(engine.state(), before)
