"""Data at the ends of the float64 range: the same answer in its own
units, or a clear refusal naming what is wrong."""

import numpy as np
import pandas as pd
import pytest

from vintrel import IncrementalHuberRegressor

from synthetic_data import contaminated


@pytest.fixture(scope="module")
def data():
    X, y, _, _ = contaminated(4000, 3, seed=5, noise_df=3.0)
    return X, y, IncrementalHuberRegressor().fit(X, y)


@pytest.mark.filterwarnings("error::RuntimeWarning")
@pytest.mark.parametrize("x_factor, y_factor", [
    ([1e-200, 1, 1], 1.0), ([1e200, 1, 1], 1.0), ([1e154, 1e154, 1e154], 1.0), ([1, 1, 1], 1e300),
    ([1, 1, 1], 1e-300), ([1e-150, 1, 1e150], 1e-100),
], ids=["feature-tiny", "feature-huge", "features-near-sqrt-max", "target-huge", "target-tiny", "mixed"])
def test_scaled_data_gives_the_scaled_answer_and_finite_standard_errors(data, x_factor, y_factor):
    X, y, reference = data
    model = IncrementalHuberRegressor().fit(X * x_factor, y * y_factor)
    in_units = np.divide(y_factor, x_factor)
    np.testing.assert_allclose(model.coef_, reference.coef_ * in_units, rtol=1e-6)
    np.testing.assert_allclose(model.coef_se_, reference.coef_se_ * in_units, rtol=1e-6)
    assert model.intercept_ == pytest.approx(reference.intercept_ * y_factor, rel=1e-6)
    assert model.intercept_se_ == pytest.approx(reference.intercept_se_ * y_factor, rel=1e-6)
    # Interval bounds around the prediction, within the sketch's binning.
    offsets = model.predict_interval(X[:50] * x_factor) - model.predict(X[:50] * x_factor)[:, None]
    expected = reference.predict_interval(X[:50]) - reference.predict(X[:50])[:, None]
    np.testing.assert_allclose(offsets / y_factor, expected, rtol=0.02)


def test_a_later_batch_in_other_units_is_refused_naming_the_column(data):
    X, y, _ = data
    frame = pd.DataFrame(X, columns=["speed", "load", "temperature"])
    model = IncrementalHuberRegressor().partial_fit(frame[:2000], y[:2000])
    later = frame[2000:].assign(load=frame["load"][2000:] * 1e9)
    with pytest.raises(ValueError, match=r"column 'load' of batch 2 lies .* standard deviations .* other units"):
        model.partial_fit(later, y[2000:])
    assert model.n_samples_seen_ == 2000


@pytest.mark.parametrize("factor", [1e200, 1e300])
def test_a_later_target_in_other_units_is_refused_saying_so(data, factor):
    X, y, _ = data
    model = IncrementalHuberRegressor().partial_fit(X[:2000], y[:2000])
    before = model.export_state()
    with pytest.raises(ValueError, match=r"would move the residual scale from .* the target lies far outside the range"):
        model.partial_fit(X[2000:], y[2000:] * factor)
    after = model.export_state()
    assert after.engine.coefficients.tolist() == before.engine.coefficients.tolist()
    assert after.residuals.weights.tolist() == before.residuals.weights.tolist()


@pytest.mark.parametrize("method", ["fit", "partial_fit"])
def test_weights_whose_sum_overflows_are_refused(data, method):
    X, y, _ = data
    with pytest.raises(ValueError, match="sample_weight sums to more than the largest float64"):
        getattr(IncrementalHuberRegressor(), method)(X, y, sample_weight=np.full(len(y), 1e306))


@pytest.mark.parametrize("dtype", [np.float64, np.float32])
def test_a_half_life_far_below_a_batch_forgets_all_but_the_last_batch(data, dtype):
    X, y, _ = data
    X, y = X.astype(dtype), y.astype(dtype)
    model = IncrementalHuberRegressor(half_life=1e-3, scale=1.0)
    for begin in range(0, 3000, 1000):
        model.partial_fit(X[begin:begin + 1000], y[begin:begin + 1000])
    last = IncrementalHuberRegressor(scale=1.0).fit(X[2000:3000], y[2000:3000])
    assert np.all(np.isfinite(model.coef_))
    np.testing.assert_allclose(model.coef_, last.coef_, rtol=1e-3, atol=1e-3 * np.abs(last.coef_).max())
