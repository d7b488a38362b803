"""The estimator's answers: the classic M-estimate on one batch, streams
against whole-data fits, sample weights, ill-posed batches, precision and
the L1 path."""

import warnings

import numpy as np
import pytest
import statsmodels.api as sm
from sklearn.exceptions import ConvergenceWarning
from sklearn.linear_model import HuberRegressor
from sklearn.preprocessing import StandardScaler

from vintrel import IncrementalHuberRegressor

from synthetic_data import contaminated, spread_error


def _stackloss():
    data = sm.datasets.stackloss.load()
    return np.asarray(data.exog, dtype=float), np.asarray(data.endog, dtype=float)


def _synthetic():
    X, y, _, _ = contaminated(3000, 5, seed=11, noise_df=3.0)
    return X, y


@pytest.mark.parametrize("data", [_stackloss, _synthetic], ids=["stackloss", "synthetic"])
@pytest.mark.parametrize("epsilon", [1.35, 2.0])
@pytest.mark.parametrize("fit_intercept", [True, False])
def test_one_batch_equals_huber_m_estimate_with_mad_scale(data, epsilon, fit_intercept):
    X, y = data()
    model = IncrementalHuberRegressor(epsilon=epsilon, fit_intercept=fit_intercept).fit(X, y)
    exog = sm.add_constant(X, prepend=False) if fit_intercept else X
    reference = sm.RLM(y, exog, M=sm.robust.norms.HuberT(t=epsilon)).fit(tol=1e-13, maxiter=1000)
    ours = np.append(model.coef_, model.intercept_) if fit_intercept else model.coef_
    np.testing.assert_allclose(ours, reference.params, rtol=1e-6)
    assert model.scale_ == pytest.approx(reference.scale, rel=1e-6)
    assert model.n_batches_ == 1 and model.converged_


def test_stream_of_raw_data_is_as_accurate_as_a_whole_data_fit():
    X, y, coef, _ = contaminated(1_000_000, 20, seed=909)
    model = IncrementalHuberRegressor(batch_size=50_000).fit(X, y)
    assert model.n_batches_ == 20
    # The peer gets standardised features, without which it does far worse.
    scaler = StandardScaler().fit(X)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", ConvergenceWarning)
        peer = HuberRegressor(epsilon=1.35, alpha=0.0, max_iter=1000).fit(scaler.transform(X), y)
    assert spread_error(model.coef_, X, coef) <= 1.1 * spread_error(peer.coef_ / scaler.scale_, X, coef)


def test_integer_weights_equal_repeated_rows_and_zero_weights_equal_removal():
    X, y, _, _ = contaminated(400, 4, seed=5)
    weights = np.random.default_rng(1).integers(0, 4, 400)
    weighted = IncrementalHuberRegressor().fit(X, y, sample_weight=weights)
    repeated = IncrementalHuberRegressor().fit(np.repeat(X, weights, axis=0), np.repeat(y, weights))
    np.testing.assert_allclose(weighted.coef_, repeated.coef_, rtol=1e-6)
    assert weighted.intercept_ == pytest.approx(repeated.intercept_, rel=1e-8)
    assert weighted.scale_ == pytest.approx(repeated.scale_, rel=1e-7)


def _ill_posed_stream(rows=40_000, seed=3):
    """Numeric features, one-hot carriers of which the rarest are absent
    from most batches (and from the first), and a column collinear with
    another."""
    rng = np.random.default_rng(seed)
    numeric = rng.standard_normal((rows, 4)) * [1, 10, 100, 0.1] + [0, 50, 1000, 0]
    shares = np.array([0.5, 0.3, 0.15, 0.045, 0.004, 0.001])
    carrier = rng.choice(shares.size, rows, p=shares / shares.sum())
    carrier[:2000][carrier[:2000] >= 4] = 0  # the rarest first appear later
    dummies = (carrier[:, None] == np.arange(1, shares.size)).astype(float)
    X = np.hstack([numeric, dummies, numeric[:, [1]] * 2 + 3])
    y = X[:, :-1] @ rng.uniform(-3, 3, X.shape[1] - 1) + 20 + 3 * rng.standard_t(2, rows)
    outliers = rng.random(rows) < 0.05
    y[outliers] += rng.uniform(50, 300, outliers.sum())
    return X, y


@pytest.mark.parametrize("dtype", [np.float64, np.float32])
def test_constant_collinear_and_unseen_columns_do_not_derail_a_stream(dtype):
    X, y = _ill_posed_stream()
    X = X.astype(dtype)
    stream = IncrementalHuberRegressor()
    with warnings.catch_warnings():
        warnings.simplefilter("error", ConvergenceWarning)
        for begin in range(0, X.shape[0], 1000):
            stream.partial_fit(X[begin:begin + 1000], y[begin:begin + 1000])
    whole = IncrementalHuberRegressor().fit(X, y)
    gap = stream.predict(X) - whole.predict(X)
    assert np.sqrt(np.mean(gap**2)) < 0.05 * whole.scale_


@pytest.mark.parametrize("value", [0.1, 7.3, -1e5 / 3])
def test_a_constant_column_gets_no_coefficient_whatever_its_value(value):
    # Means of such values round, and must not leave a spread to divide by.
    X, y, _, _ = contaminated(1000, 2, seed=3)
    constant = IncrementalHuberRegressor(bandwidth_scale=1e-9).fit(np.column_stack([X, np.full(1000, value)]), y)
    without = IncrementalHuberRegressor(bandwidth_scale=1e-9).fit(X, y)
    assert constant.coef_[2] == 0
    np.testing.assert_allclose(constant.coef_[:2], without.coef_, rtol=1e-9)
    assert constant.intercept_ == pytest.approx(without.intercept_, rel=1e-9)


def test_float32_data_is_fitted_in_float32_close_to_float64():
    X, y, _, _ = contaminated(20_000, 6, seed=8, raw=False)
    single = IncrementalHuberRegressor().fit(X.astype(np.float32), y.astype(np.float32))
    double = IncrementalHuberRegressor().fit(X, y)
    assert single.coef_.dtype == np.float32 and single._stream.dtype == np.float32
    np.testing.assert_allclose(single.coef_, double.coef_, rtol=1e-3, atol=1e-4)
    assert single.predict(X.astype(np.float32)).dtype == np.float32


def test_l1_zeroes_null_features_but_not_the_intercept():
    rng = np.random.default_rng(4)
    X = rng.standard_normal((20_000, 8)) * 5 + 3
    y = X[:, :3] @ [2.0, -1.0, 0.5] + 50 + rng.standard_t(3, 20_000)
    lasso = IncrementalHuberRegressor(penalty="l1", alpha=5.0, batch_size=5000).fit(X, y)
    assert np.all(lasso.coef_[3:] == 0) and np.all(lasso.coef_[:3] != 0)
    assert lasso.intercept_ == pytest.approx(50, abs=1)
    unpenalised = IncrementalHuberRegressor(penalty="l1", alpha=0.0, tol=1e-9, max_iter=500).fit(X, y)
    np.testing.assert_allclose(unpenalised.coef_, IncrementalHuberRegressor().fit(X, y).coef_,
                               rtol=1e-5, atol=1e-6)
