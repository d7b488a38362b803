"""The l2 and elasticnet penalties, the choice of solver and forgetting.

Solutions are compared with a minimiser that shares nothing with the
engine: SLSQP on the smooth split beta = u - v (u, v >= 0) of the stated
objective, refined to the exact minimiser of the sets it finds by one
linear solve and accepted only when the optimality conditions hold there.
"""

import math
import re

import numpy as np
import pytest
from scipy.optimize import minimize

from vintrel._native_cpu import NativeCpuEngine

from conftest import DTYPES, assert_same_state, update_args

TAU = 1.345
STATE_KEYS = ("coefficients", "information", "n_samples_seen", "batch_count", "previous_lambda", "weight_sum")


def table(rows=300, seed=0, coef=(1.5, -0.5, 0.0, 0.02), mixing=0.9):
    """Features with the first two correlated, an intercept column last, and
    t-distributed noise."""
    rng = np.random.default_rng(seed)
    x = rng.standard_normal((rows, len(coef)))
    x[:, 1] = mixing * x[:, 0] + (1 - mixing) * x[:, 1]
    y = x @ np.array(coef) + 2.0 + rng.standard_t(3, rows)
    return np.hstack([x, np.ones((rows, 1))]), y


def huber(r, tau):
    return np.where(np.abs(r) <= tau, 0.5 * r * r, tau * np.abs(r) - 0.5 * tau * tau)


def reference_minimum(x, y, tau, lam, a):
    """Minimiser of mean huber(y - x beta) + lam * (a |b|_1 + (1 - a) |b|^2 / 2)
    over beta = (b, intercept)."""
    n, p = x.shape
    k = p - 1

    def split(z):
        return np.append(z[:k] - z[k:2 * k], z[-1])

    def objective(z):
        beta = split(z)
        r = y - x @ beta
        score = -(x.T @ np.clip(r, -tau, tau)) / n
        score[:k] += lam * (1 - a) * beta[:k]
        value = huber(r, tau).sum() / n + lam * (a * z[:2 * k].sum() + 0.5 * (1 - a) * beta[:k] @ beta[:k])
        return value, np.concatenate([score[:k] + lam * a, -score[:k] + lam * a, score[k:]])

    z = minimize(objective, np.zeros(2 * k + 1), jac=True, method="SLSQP",
                 bounds=[(0, None)] * (2 * k) + [(None, None)], options=dict(ftol=1e-16, maxiter=10_000)).x
    guess = split(z)
    # The sets at the guess: quadratic rows, the side of the others, and the
    # free (non-zero or unpenalised) coefficients with their signs.
    r = y - x @ guess
    quadratic = np.abs(r) <= tau
    side = np.where(quadratic, 0.0, np.sign(r))
    free = np.abs(guess) > 1e-8 * np.abs(guess).max()
    free[-1] = True
    sign = np.where(free[:k], np.sign(guess[:k]), 0.0)
    xf = x[:, free]
    ridge = np.append(np.full(k, lam * (1 - a)), 0.0)[free]
    rhs = xf.T @ (quadratic * y + tau * side) / n - lam * a * np.append(sign, 0.0)[free]
    beta = np.zeros(p)
    beta[free] = np.linalg.solve(xf.T @ (quadratic[:, None] * xf) / n + np.diag(ridge), rhs)
    r = y - x @ beta
    assert np.array_equal(np.abs(r) <= tau, quadratic) and np.array_equal(np.sign(beta[:k]), sign)
    score = (x.T @ np.clip(r, -tau, tau)) / n
    assert np.all(np.abs(score[:k][sign == 0]) <= lam * a * (1 + 1e-9))
    return beta


def arguments(x, y, dtype="float64", **overrides):
    settings = dict(x_design=x.astype(dtype), y=y.astype(dtype), batch_weight=float(len(y)),
                    n_features_in=x.shape[1] - 1, fit_intercept=True, max_iter=100, tol=1e-12)
    return update_args(dtype, **{**settings, **overrides})


def fit(x, y, penalty, lambda_scale, **keywords):
    engine = NativeCpuEngine("float64", x.shape[1])
    return engine.update(**arguments(x, y, penalty=penalty, lambda_scale=lambda_scale, **keywords))


@pytest.mark.parametrize("penalty, lambda_scale, keywords", [
    ("l2", 0.3, {}),
    ("elasticnet", 0.3, dict(l1_ratio=0.0)),
    ("elasticnet", 0.1, dict(l1_ratio=0.5)),
    ("elasticnet", 0.05, dict(l1_ratio=1.0)),
    ("l1", 1.5, dict(solver="coordinate")),
])
def test_single_batch_is_the_minimum_of_the_stated_objective(penalty, lambda_scale, keywords):
    x, y = table()
    result = fit(x, y, penalty, lambda_scale, **keywords)
    assert result["converged"]
    lam = result["lambda_value"]
    if penalty != "l1":
        assert lam == lambda_scale == result["previous_lambda"]
    a = keywords.get("l1_ratio", 1.0 if penalty == "l1" else 0.0)
    expected = reference_minimum(x, y, TAU, lam, a)
    beta = result["coefficients"]
    assert np.max(np.abs(beta - expected)) <= 1e-6 * np.max(np.abs(expected))
    b = beta[:-1]
    stated = huber(y - x @ beta, TAU).mean() + lam * (a * np.abs(b).sum() + 0.5 * (1 - a) * b @ b)
    assert result["objective"] == pytest.approx(stated, rel=1e-12)


def test_coordinate_reaches_the_minimum_the_proximal_solver_approaches():
    # The proximal solver takes steps that raise F by up to 1e-12, which
    # bounds its accuracy near 1e-6 however long it runs.
    x, y = table(rows=400, seed=5, mixing=0.7)
    coordinate = fit(x, y, "l1", 1.5, solver="coordinate")
    proximal = fit(x, y, "l1", 1.5, max_iter=5000)
    assert coordinate["converged"] and coordinate["iterations"] < 20
    gap = np.max(np.abs(coordinate["coefficients"] - proximal["coefficients"]))
    assert gap <= 1e-5 * np.max(np.abs(coordinate["coefficients"]))


@pytest.mark.parametrize("penalty, lambda_scale, keywords", [
    ("l2", 0.3, {}),
    ("elasticnet", 0.2, dict(l1_ratio=0.6)),
    ("l1", 1e-7, dict(solver="coordinate")),  # tau = 1e6 scales the level up to about 0.01
])
def test_two_quadratic_batches_give_the_one_batch_answer(penalty, lambda_scale, keywords):
    # Every residual within tau: the carried information is the past loss's
    # exact curvature, and the carried penalty gradient balances its slope,
    # as long as no coefficient sits at zero (sgn(0) carries nothing).
    x, y = table(rows=200, seed=2, coef=(1.5, -0.5, 0.8, 0.6))
    settings = dict(tau=1e6, penalty=penalty, lambda_scale=lambda_scale, **keywords)
    one = NativeCpuEngine("float64", 5).update(**arguments(x, y, **settings))
    engine = NativeCpuEngine("float64", 5)
    engine.update(**arguments(x[:70], y[:70], **settings))
    two = engine.update(**arguments(x[70:], y[70:], **settings))
    assert np.all(one["coefficients"] != 0)
    np.testing.assert_allclose(two["coefficients"], one["coefficients"], rtol=1e-10, atol=0)


def stream(dtype, penalty, discounts, **keywords):
    """Three updates of one engine; discounts apply to the last two."""
    engine = NativeCpuEngine(dtype, 5)
    results = []
    for seed, discount in zip(range(3), [None, *discounts], strict=True):
        x, y = table(rows=120, seed=seed)
        extra = {} if discount == "absent" else dict(discount=discount)
        results.append(engine.update(**arguments(x, y, dtype, penalty=penalty, lambda_scale=0.1, max_iter=50,
                                                 tol=1e-7, **keywords, **extra)))
    return results


PENALTIES = [("none", {}), ("l1", {}), ("l2", {}), ("elasticnet", dict(l1_ratio=0.5))]


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("penalty, keywords", PENALTIES)
def test_a_discount_of_one_changes_no_bit(dtype, penalty, keywords):
    plain = stream(dtype, penalty, ["absent", "absent"], **keywords)
    for discounts in ([None, None], [1.0, 1]):
        for left, right in zip(plain, stream(dtype, penalty, discounts, **keywords), strict=True):
            assert_same_state(left, right)


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("penalty, keywords", PENALTIES)
def test_a_discount_equals_restoring_the_scaled_state(dtype, penalty, keywords):
    x, y = table(rows=150, seed=1)
    engine = NativeCpuEngine(dtype, 5)
    settings = dict(penalty=penalty, lambda_scale=0.1, max_iter=50, tol=1e-7, **keywords)
    engine.update(**arguments(x, y, dtype, **settings))
    state = engine.state()
    x, y = table(rows=90, seed=4)
    discounted = engine.update(**arguments(x, y, dtype, discount=0.6, **settings))
    scaled = dict(state, information=state["information"] * 0.6, weight_sum=state["weight_sum"] * 0.6)
    engine.restore(*(scaled[key] for key in STATE_KEYS))
    restored = engine.update(**arguments(x, y, dtype, **settings))
    assert_same_state(discounted, restored)
    assert discounted["weight_sum"] == 0.6 * 150 + 90
    assert (discounted["n_samples_seen"], discounted["batch_count"]) == (240, 2)


NAN = math.nan


@pytest.mark.parametrize("overrides, error, message", [
    (dict(penalty="elasticnet"), ValueError, "l1_ratio must be a float in [0, 1] for penalty 'elasticnet'"),
    (dict(penalty="elasticnet", l1_ratio=None), ValueError,
     "l1_ratio must be a float in [0, 1] for penalty 'elasticnet'"),
    (dict(penalty="elasticnet", l1_ratio=NAN), ValueError,
     "l1_ratio must be a float in [0, 1] for penalty 'elasticnet'"),
    (dict(penalty="elasticnet", l1_ratio=1.0000001), ValueError,
     "l1_ratio must be a float in [0, 1] for penalty 'elasticnet'"),
    (dict(penalty="elasticnet", l1_ratio=-0.1), ValueError,
     "l1_ratio must be a float in [0, 1] for penalty 'elasticnet'"),
    (dict(penalty="l1", l1_ratio=0.5), ValueError, "l1_ratio applies to penalty 'elasticnet' only"),
    (dict(penalty="l2", l1_ratio=0.0), ValueError, "l1_ratio applies to penalty 'elasticnet' only"),
    (dict(penalty="none", l1_ratio=1.0), ValueError, "l1_ratio applies to penalty 'elasticnet' only"),
    (dict(penalty="elasticnet", l1_ratio="0.5"), TypeError, "must be real number, not str"),
    (dict(solver="newtons"), ValueError,
     "unsupported native solver; expected 'newton', 'proximal' or 'coordinate'"),
    (dict(solver=b"newton"), TypeError, "expected str, got 'bytes'"),
    (dict(solver="coordinate"), ValueError, "solver 'coordinate' does not apply to penalty 'none'"),
    (dict(penalty="l1", solver="newton"), ValueError, "solver 'newton' does not apply to penalty 'l1'"),
    (dict(penalty="l2", solver="proximal"), ValueError, "solver 'proximal' does not apply to penalty 'l2'"),
    (dict(penalty="elasticnet", l1_ratio=0.5, solver="newton"), ValueError,
     "solver 'newton' does not apply to penalty 'elasticnet'"),
    (dict(discount=0.0), ValueError, "discount must be a float in (0, 1]"),
    (dict(discount=-0.5), ValueError, "discount must be a float in (0, 1]"),
    (dict(discount=1.5), ValueError, "discount must be a float in (0, 1]"),
    (dict(discount=NAN), ValueError, "discount must be a float in (0, 1]"),
    (dict(discount=math.inf), ValueError, "discount must be a float in (0, 1]"),
    # The penalty's own check first, then l1_ratio, the solver, the discount.
    (dict(penalty="l3", l1_ratio=2.0), ValueError, "unsupported native penalty"),
    (dict(penalty="l1", l1_ratio=2.0, solver="newton"), ValueError, "l1_ratio applies to penalty 'elasticnet' only"),
    (dict(solver="newton", discount=0.0), ValueError, "discount must be a float in (0, 1]"),
])
def test_rejected_settings_leave_the_engine_unchanged(overrides, error, message):
    engine = NativeCpuEngine("float64", 2)
    engine.update(**update_args())
    before = engine.state()
    with pytest.raises(error, match=re.escape(message)) as raised:
        engine.update(**update_args(**overrides))
    assert type(raised.value) is error
    assert_same_state(engine.state(), before)


@pytest.mark.parametrize("dtype", DTYPES)
def test_coordinate_updates_have_the_same_bits_on_every_pool(dtype):
    # Below the parallel thresholds every pass is sequential: pools of any
    # size, and repeated runs, must agree to the bit.
    x, y = table(rows=2000, seed=3, mixing=0.99)
    results = []
    for threads in (None, 1, 2, 3, 3):
        engine = NativeCpuEngine(dtype, 5, threads)
        for penalty, keywords in (("elasticnet", dict(l1_ratio=0.3)), ("l1", dict(solver="coordinate"))):
            results.append(engine.update(**arguments(x, y, dtype, penalty=penalty, lambda_scale=0.5, tol=1e-6,
                                                     **keywords)))
    for index, result in enumerate(results[2:]):
        assert_same_state(result, results[index % 2])
