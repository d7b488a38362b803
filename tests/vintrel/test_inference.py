"""Standard errors, intervals and the summary table: agreement with
statsmodels' RLM, streams against one batch, the statistics travelling with
the estimator, and the cases without valid inference."""

import copy
import pickle
import re
import sys
import warnings

import numpy as np
import pandas as pd
import pytest
import statsmodels.api as sm
from sklearn.exceptions import ConvergenceWarning, NotFittedError

from vintrel import IncrementalHuberRegressor, inference
from vintrel.inference import InferenceError, coefficient_rows

from synthetic_data import contaminated

# A bandwidth this small leaves no residual on the engine's smoothing ramp,
# so the carried information is exactly the indicator-weighted Gram that
# statsmodels inverts.
UNSMOOTHED = 1e-9


def _rlm(X, y, epsilon, fit_intercept):
    exog = sm.add_constant(X, prepend=False) if fit_intercept else X
    return sm.RLM(y, exog, M=sm.robust.norms.HuberT(t=epsilon)).fit(cov="H2")


@pytest.mark.parametrize("fit_intercept", [True, False])
@pytest.mark.parametrize("epsilon", [1.35, 2.0])
def test_covariance_equals_statsmodels_h2_without_smoothing(fit_intercept, epsilon):
    X, y, _, _ = contaminated(2000, 4, seed=21, noise_df=3.0)
    reference = _rlm(X, y, epsilon, fit_intercept)
    model = IncrementalHuberRegressor(epsilon=epsilon, fit_intercept=fit_intercept, scale=float(reference.scale),
                                      bandwidth_scale=UNSMOOTHED).fit(X, y)
    np.testing.assert_allclose(model.covariance_, reference.cov_params(), rtol=1e-7)
    np.testing.assert_allclose(model.conf_int(0.1), reference.conf_int(0.1), rtol=1e-7)
    rows = model.summary().rows
    np.testing.assert_allclose([row.z for row in rows], reference.tvalues, rtol=1e-7)
    np.testing.assert_allclose([row.p_value for row in rows], reference.pvalues, rtol=1e-5, atol=1e-300)
    expected_intercept_se = reference.bse[-1] if fit_intercept else 0.0
    assert model.intercept_se_ == pytest.approx(expected_intercept_se, rel=1e-7)


def test_standard_errors_agree_with_statsmodels_at_the_default_bandwidth():
    # The engine smooths the curvature of residuals within a bandwidth of
    # +-epsilon (about 0.009 here); the rows on those ramps shift the
    # information by a few parts in 10^4 (0.04 % median and 0.10 % worst
    # over 30 seeds of this data), which the tolerance allows twice over.
    X, y, _, _ = contaminated(5000, 5, seed=3, noise_df=3.0)
    reference = _rlm(X, y, 1.35, True)
    model = IncrementalHuberRegressor(scale=float(reference.scale)).fit(X, y)
    np.testing.assert_allclose(np.append(model.coef_se_, model.intercept_se_), reference.bse, rtol=2e-3)


def test_a_stream_gives_the_standard_errors_of_one_batch_on_the_same_rows():
    X, y, _, _ = contaminated(1_000_000, 5, seed=7, noise_df=3.0)
    stream = IncrementalHuberRegressor(batch_size=50_000).fit(X, y)
    whole = IncrementalHuberRegressor().fit(X, y)
    assert stream.n_batches_ == 20 and whole.n_batches_ == 1
    np.testing.assert_allclose(stream.coef_se_, whole.coef_se_, rtol=0.02)
    assert stream.intercept_se_ == pytest.approx(whole.intercept_se_, rel=0.02)


def test_integer_weights_give_the_standard_errors_of_repeated_rows():
    X, y, _, _ = contaminated(3000, 3, seed=5, noise_df=3.0)
    weights = np.random.default_rng(2).integers(0, 4, 3000)
    weighted, repeated = IncrementalHuberRegressor(), IncrementalHuberRegressor()
    for rows in (slice(0, 1000), slice(1000, 2000), slice(2000, 3000)):
        weighted.partial_fit(X[rows], y[rows], sample_weight=weights[rows])
        repeated.partial_fit(np.repeat(X[rows], weights[rows], axis=0), np.repeat(y[rows], weights[rows]))
    np.testing.assert_allclose(weighted.covariance_, repeated.covariance_, rtol=1e-5)


def test_statistics_travel_with_copies_and_a_refit_starts_them_afresh():
    X, y, _, _ = contaminated(6000, 3, seed=9, noise_df=3.0)
    base = IncrementalHuberRegressor().partial_fit(X[:3000], y[:3000])
    copies = (pickle.loads(pickle.dumps(base)), copy.deepcopy(base),
              IncrementalHuberRegressor.from_state(base.export_state()))
    base.partial_fit(X[3000:], y[3000:])
    for copied in copies:
        np.testing.assert_array_equal(copied.partial_fit(X[3000:], y[3000:]).covariance_, base.covariance_)
    refit = IncrementalHuberRegressor(batch_size=3000, max_passes=1).fit(X, y)
    fresh = IncrementalHuberRegressor(batch_size=3000, max_passes=1).fit(X, y)
    np.testing.assert_array_equal(refit.fit(X, y).covariance_, fresh.covariance_)


def test_a_failed_call_leaves_the_statistics_as_they_were():
    X, y, _, _ = contaminated(4000, 3, seed=4, noise_df=3.0)
    model = IncrementalHuberRegressor().partial_fit(X[:2000], y[:2000])
    sums, covariance = dict(model.export_state().sums), model.covariance_
    model.set_params(max_iter=1)
    with warnings.catch_warnings():
        warnings.simplefilter("error", ConvergenceWarning)
        with pytest.raises(ConvergenceWarning):  # raised after the batch was folded
            model.partial_fit(X[2000:] * 3, y[2000:])
    state = model.export_state()
    assert state.sums == sums and model.n_batches_ == state.engine.batch_count == 1
    np.testing.assert_array_equal(model.covariance_, covariance)


def _unidentified_case(kind):
    rng = np.random.default_rng(12)
    X = rng.standard_normal((3000, 2)) * [2.0, 0.5] + [3.0, -1.0]
    y = X @ [1.5, -2.0] + 4.0 + rng.standard_t(3, 3000)
    if kind == "constant":  # confounded with the intercept
        return np.column_stack([X, np.full(3000, 0.1)]), y, [False, False, True, True]
    if kind == "zero":  # carries nothing, hides nothing
        return np.column_stack([X, np.zeros(3000)]), y, [False, False, True, False]
    return np.column_stack([X, 2 * X[:, 1] + 3]), y, [False, True, True, True]  # collinear


@pytest.mark.parametrize("kind", ["constant", "zero", "collinear"])
def test_coefficients_the_data_does_not_identify_have_no_standard_error(kind):
    X, y, unidentified = _unidentified_case(kind)
    model = IncrementalHuberRegressor(bandwidth_scale=UNSMOOTHED).fit(X, y)
    standard_errors = np.append(model.coef_se_, model.intercept_se_)
    np.testing.assert_array_equal(np.isnan(standard_errors), unidentified)
    if kind != "collinear":
        assert model.coef_[2] == 0
        reference = IncrementalHuberRegressor(bandwidth_scale=UNSMOOTHED).fit(X[:, :2], y)
        np.testing.assert_allclose(model.coef_se_[:2], reference.coef_se_, rtol=1e-8)


@pytest.mark.parametrize("attribute", ["coef_se_", "intercept_se_", "covariance_", "conf_int", "summary"])
def test_estimates_without_valid_statistics_refuse_inference(attribute):
    def use(model):
        value = getattr(model, attribute)
        return value() if callable(value) else value

    with pytest.raises(NotFittedError):
        use(IncrementalHuberRegressor())
    X, y, _, _ = contaminated(2000, 3, seed=1)
    lasso = IncrementalHuberRegressor(penalty="l1").fit(X, y)
    with pytest.raises(InferenceError, match=re.escape("not available with penalty='l1'")):
        use(lasso)
    # Batches folded with the penalty keep the estimate penalised.
    with pytest.raises(InferenceError, match=re.escape("penalty='l1'")):
        use(lasso.set_params(penalty=None).partial_fit(X, y))
    assert coefficient_rows(lasso) is None
    assert not hasattr(lasso, attribute) or callable(getattr(lasso, attribute))
    # A model whose batches were folded without the statistics.
    fitted = IncrementalHuberRegressor().fit(X, y)
    older = IncrementalHuberRegressor.from_state(fitted.export_state().replace(sums={}))
    with pytest.raises(InferenceError, match=re.escape("cover 0 of the 1 folded batches")):
        use(older)
    # A start fixed by initialize, before any batch is folded.
    with pytest.raises(InferenceError, match=re.escape("prepared by initialize and has folded none yet")):
        use(IncrementalHuberRegressor().initialize(X, y))


@pytest.mark.parametrize("alpha", [0, 1, -0.1, 1.5, float("nan"), "0.05", True])
def test_intervals_refuse_a_bad_level(alpha):
    X, y, _, _ = contaminated(500, 2, seed=2)
    model = IncrementalHuberRegressor().fit(X, y)
    for call in (model.conf_int, model.summary):
        with pytest.raises(ValueError, match="alpha must be a number strictly between 0 and 1"):
            call(alpha)


def test_summary_names_the_features_and_states_the_run():
    X, y, _, _ = contaminated(3000, 2, seed=6, noise_df=3.0)
    frame = pd.DataFrame(X, columns=["height", "weight"])
    model = IncrementalHuberRegressor(batch_size=1000).fit(frame, y)
    text = str(model.summary(alpha=0.1))
    assert [row.name for row in coefficient_rows(model)] == ["height", "weight", "intercept"]
    for expected in ("rows: 3,000", "batches: 3", "H2", "[0.05", "0.95]", "height", "intercept"):
        assert expected in text
    assert repr(model.summary(0.1)) == text


def test_the_summary_as_a_data_frame_and_as_html(monkeypatch):
    X, y, _, _ = contaminated(2000, 2, seed=6, noise_df=3.0)
    model = IncrementalHuberRegressor().fit(pd.DataFrame(X, columns=["a<b", "c"]), y)
    summary = model.summary(alpha=0.1)
    table = summary.to_frame()
    assert list(table.index) == ["a<b", "c", "intercept"] and table.index.name == "feature"
    assert list(table.columns) == ["coef", "std_err", "z", "p_value", "lower", "upper"]
    np.testing.assert_array_equal(table.to_numpy(), np.array([row[1:] for row in summary.rows]))
    assert table.attrs["alpha"] == 0.1 and table.attrs["n_rows"] == 2000
    page = summary._repr_html_()
    assert page.count("<tr>") == 4 and "<th>a&lt;b</th>" in page and "[0.05" in page
    monkeypatch.setitem(sys.modules, "pandas", None)  # pandas not installed
    assert list(summary.to_frame()) == ["feature", "coef", "std_err", "z", "p_value", "lower", "upper"]


def test_float32_standard_errors_are_close_to_float64():
    X, y, _, _ = contaminated(20_000, 4, seed=8, noise_df=3.0, raw=False)
    single = IncrementalHuberRegressor(batch_size=5000).fit(X.astype(np.float32), y.astype(np.float32))
    double = IncrementalHuberRegressor(batch_size=5000).fit(X, y)
    assert single.coef_se_.dtype == np.float64
    np.testing.assert_allclose(single.coef_se_, double.coef_se_, rtol=1e-3)


def test_inference_is_computed_once_per_estimate(monkeypatch):
    X, y, _, _ = contaminated(3000, 3, seed=6)
    model = IncrementalHuberRegressor().partial_fit(X[:2000], y[:2000])
    calls = []
    original = inference.internal_covariance
    monkeypatch.setattr(inference, "internal_covariance", lambda *args: calls.append(1) or original(*args))
    for _ in range(2):
        model.coef_se_, model.intercept_se_, model.covariance_, model.conf_int(), model.summary()
    assert len(calls) == 1
    model.partial_fit(X[2000:], y[2000:])
    assert model.summary().n_rows == 3000 and len(calls) == 2
