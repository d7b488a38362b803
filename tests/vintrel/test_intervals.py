"""Prediction intervals and outlier scores: the residual sketch against
exact quantiles, coverage on held-out rows of a heavy-tailed stream, and
the sketch travelling through merges, pickles and model files."""

import copy
import pickle
import re

import numpy as np
import pytest

from vintrel import IncrementalHuberRegressor, _model_format
from vintrel._intervals import ResidualDistributionError
from vintrel._residual_sketch import GAMMA, MAX_BINS, RELATIVE_ACCURACY, ResidualSketch

from synthetic_data import contaminated

ROWS, HELD_OUT, FEATURES, BATCH = 200_000, 100_000, 4, 20_000


def _weighted_rank(values, weights, points):
    order = np.argsort(values)
    cumulative = np.cumsum(weights[order]) / weights.sum()
    return cumulative[np.searchsorted(values[order], points, side="right") - 1]


@pytest.mark.parametrize("weighted", [False, True])
def test_sketch_quantiles_match_the_exact_ones(weighted):
    rng = np.random.default_rng(1)
    residuals = np.concatenate([rng.standard_t(2.5, 100_000) * 7.0, rng.uniform(-900, 900, 3000), np.zeros(50)])
    weights = rng.uniform(0.1, 3.0, residuals.size) if weighted else np.ones(residuals.size)
    sketch = ResidualSketch.empty()
    for part in np.array_split(np.arange(residuals.size), 7):  # batch by batch
        sketch = sketch.add(residuals[part], weights[part] if weighted else None)
    probabilities = np.array([0.001, 0.025, 0.1, 0.25, 0.5, 0.75, 0.9, 0.975, 0.999])
    found = sketch.quantile(probabilities)
    assert np.max(np.abs(_weighted_rank(residuals, weights, found) - probabilities)) < 1e-3
    np.testing.assert_allclose(sketch.cdf(found), probabilities, atol=1e-9)
    assert sketch.total_weight == pytest.approx(weights.sum())


def test_merging_discounting_and_units_act_on_the_rows():
    rng = np.random.default_rng(2)
    old, new = rng.standard_t(3, 20_000), rng.standard_t(3, 30_000) * 2
    whole = ResidualSketch.empty().add(np.concatenate([old, new]),
                                       np.concatenate([np.full(old.size, 0.25), np.ones(new.size)]))
    # A forgetting stream: the old rows' mass discounted, then new rows.
    forgetting = ResidualSketch.empty().add(old).discounted(0.25).merged(ResidualSketch.empty().add(new))
    assert forgetting.offset == whole.offset
    np.testing.assert_allclose(forgetting.weights, whole.weights, rtol=1e-12)
    # Integer weights are repeated rows; a unit multiplies the residuals.
    repeated = ResidualSketch.empty().add(np.repeat(old[:500], 3))
    np.testing.assert_array_equal(ResidualSketch.empty().add(old[:500], np.full(500, 3.0)).weights, repeated.weights)
    scaled = ResidualSketch.empty().add(old, unit=40.0).quantile([0.1, 0.9])
    np.testing.assert_allclose(scaled, ResidualSketch.empty().add(old * 40.0).quantile([0.1, 0.9]), rtol=1e-9)
    with pytest.raises(ValueError, match="discount factor"):
        whole.discounted(1.5)


@pytest.mark.parametrize("magnitude", [1.0, 1e-25, 1e25, 1e-35, 1e35, 1e-300, 1e300])
@pytest.mark.parametrize("unit", [1.0, 37.0, 1e-200])
def test_every_residual_lands_in_the_bin_of_its_value(magnitude, unit):
    # Bins are found with a float32 logarithm where magnitudes allow: only
    # a value within a thousandth of a bin's width of an edge may cross it.
    residuals = np.random.default_rng(3).standard_t(2, 20_000) * magnitude
    sketch = ResidualSketch.empty().add(residuals, unit=unit)
    exact = (np.log(np.abs(residuals)) + np.log(unit)) / np.log(GAMMA)
    keys = np.floor(exact).astype(np.int64)
    low = max(int(keys.min()), int(keys.max()) - MAX_BINS + 1)
    expected = np.zeros((2, int(keys.max()) - low + 1))
    np.add.at(expected, (np.signbit(residuals).astype(int), np.maximum(keys, low) - low), 1.0)
    moved = np.abs(sketch.weights - expected).sum() / 2
    assert sketch.offset == low and sketch.total_weight == residuals.size
    assert moved <= np.count_nonzero(np.abs(exact - np.round(exact)) < 1e-3)


def test_a_range_too_wide_collapses_the_smallest_magnitudes():
    tiny = ResidualSketch.empty().add(np.full(100, 1e-12))
    huge = ResidualSketch.empty().add(np.array([1e3, -1e6, 2e6]))
    merged = tiny.merged(huge)
    assert merged.weights.shape == (2, MAX_BINS) and merged.total_weight == 103
    assert merged.quantile([1.0])[0] == pytest.approx(2e6, rel=2 * RELATIVE_ACCURACY)
    # The collapsed lowest bin reaches from zero to 2048 bins below the top.
    assert 0 < merged.quantile([0.5])[0] < 2e6 * GAMMA ** (1 - MAX_BINS)


@pytest.mark.parametrize("change, error", [
    (dict(weights=-np.ones((2, 3))), "finite and non-negative"),
    (dict(weights=np.full((2, 3), 1e308)), "finite total"),
    (dict(weights=np.ones((3, 3))), "shape"),
    (dict(weights=np.ones((2, MAX_BINS + 1))), "shape"),
    (dict(offset=True), "integer key"),
    (dict(relative_accuracy=0.01), "relative accuracy"),
])
def test_damaged_sketch_records_are_refused(change, error):
    plain = {**ResidualSketch.empty().add(np.arange(-5.0, 6.0)).to_plain(), **change}
    with pytest.raises((TypeError, ValueError), match=error):
        ResidualSketch.from_plain(plain)


# --------------------------------------------------------------- estimator

@pytest.fixture(scope="module")
def data():
    X, y, _, _ = contaminated(ROWS + HELD_OUT, FEATURES, seed=11, outlier_share=0.03, noise_df=2.5)
    return X[:ROWS], y[:ROWS], X[ROWS:], y[ROWS:]


def _stream(X, y, model=None):
    model = model or IncrementalHuberRegressor()
    for begin in range(0, X.shape[0], BATCH):
        model.partial_fit(X[begin:begin + BATCH], y[begin:begin + BATCH])
    return model


@pytest.fixture(scope="module")
def fitted(data):
    X, y, _, _ = data
    return IncrementalHuberRegressor(batch_size=BATCH).fit(X, y)


@pytest.mark.parametrize("how", ["fit", "stream", "l1"])
def test_intervals_cover_held_out_rows_of_a_heavy_tailed_stream(data, fitted, how):
    X, y, X_new, y_new = data
    model = {"fit": lambda: fitted, "stream": lambda: _stream(X, y),
             "l1": lambda: IncrementalHuberRegressor(penalty="l1", batch_size=BATCH).fit(X, y)}[how]()
    for coverage in (0.5, 0.8, 0.9, 0.95):
        bounds = model.predict_interval(X_new, coverage)
        inside = np.mean((bounds[:, 0] <= y_new) & (y_new <= bounds[:, 1]))
        assert abs(inside - coverage) < 0.01, (coverage, inside)
    assert np.all(bounds[:, 0] < model.predict(X_new)) and np.all(model.predict(X_new) < bounds[:, 1])


def test_the_estimation_error_widens_intervals_away_from_the_data():
    X, y, _, _ = contaminated(60, FEATURES, seed=5, outlier_share=0.0, noise_df=50.0)
    small = IncrementalHuberRegressor().fit(X[:60], y[:60])
    lasso = IncrementalHuberRegressor(penalty="l1").fit(X[:60], y[:60])
    centre, far = X[:60].mean(axis=0), X[:60].mean(axis=0) + 30 * X[:60].std(axis=0)
    width = np.diff(small.predict_interval(np.vstack([centre, far]), 0.9), axis=1).ravel()
    standard_error = np.sqrt(np.append(far, 1) @ small.covariance_ @ np.append(far, 1))
    # Far out the normal estimation error dominates: width ~ 2 * 1.645 se.
    assert width[1] > 3 * width[0] and width[1] == pytest.approx(2 * 1.645 * standard_error, rel=0.05)
    # Without standard errors (L1, or a stream that folded L1 batches and
    # then dropped the penalty) the interval is the noise part only.
    lasso_then_none = IncrementalHuberRegressor(penalty="l1").partial_fit(X, y).set_params(penalty=None)
    for model in (lasso, lasso_then_none.partial_fit(X, y)):
        noise_only = np.diff(model.predict_interval(np.vstack([centre, far]), 0.9), axis=1).ravel()
        assert noise_only[0] == pytest.approx(noise_only[1])


def test_outlier_scores_flag_the_gross_outliers(data, fitted):
    _, _, X_new, y_new = data
    # Rows that are no outliers yet, every 50th moved by 150.
    planted = np.flatnonzero(np.abs(y_new - fitted.predict(X_new)) < 2 * fitted.scale_)[::50]
    y_new = y_new.copy()
    y_new[planted] += 150.0
    scaled = fitted.scaled_residuals(X_new, y_new)
    np.testing.assert_allclose(scaled * fitted.scale_, y_new - fitted.predict(X_new), rtol=1e-12, atol=1e-9)
    mask = fitted.outlier_mask(X_new, y_new)
    assert mask[planted].all()
    assert not fitted.outlier_mask(X_new, y_new, threshold=1e9).any()
    with pytest.raises(ValueError, match="threshold must be a positive"):
        fitted.outlier_mask(X_new, y_new, threshold=0)


def test_merged_streams_carry_the_distribution_of_all_their_rows(data):
    X, y, X_new, _ = data
    start = IncrementalHuberRegressor().initialize(X[:BATCH], y[:BATCH])
    halves = [_stream(X[part], y[part], copy.deepcopy(start)) for part in (slice(0, ROWS // 2), slice(ROWS // 2, None))]
    merged = IncrementalHuberRegressor.merge(*halves)
    single = _stream(X, y, copy.deepcopy(start))
    assert merged.export_state().residuals.total_weight == ROWS
    probabilities = [0.025, 0.25, 0.75, 0.975]
    np.testing.assert_allclose(merged.export_state().residuals.quantile(probabilities),
                               single.export_state().residuals.quantile(probabilities), rtol=0.02)
    np.testing.assert_allclose(merged.predict_interval(X_new[:100]), single.predict_interval(X_new[:100]),
                               rtol=0.01)


@pytest.mark.parametrize("trip", ["pickle", "model file", "state"])
def test_the_sketch_survives_every_round_trip(fitted, data, tmp_path, trip):
    X_new = data[2][:200]
    if trip == "pickle":
        back = pickle.loads(pickle.dumps(fitted))
    elif trip == "model file":
        fitted.save(tmp_path / "m.npz")
        back = IncrementalHuberRegressor.load(tmp_path / "m.npz")
    else:
        back = IncrementalHuberRegressor.from_state(fitted.export_state())
    np.testing.assert_array_equal(back.export_state().residuals.weights, fitted.export_state().residuals.weights)
    np.testing.assert_array_equal(back.predict_interval(X_new, 0.8), fitted.predict_interval(X_new, 0.8))


def test_a_model_without_a_distribution_says_how_to_get_one(fitted, data, tmp_path):
    X, y, X_new, _ = data
    _model_format.write(tmp_path / "old.npz", fitted.export_state().replace(residuals=None))
    old = IncrementalHuberRegressor.load(tmp_path / "old.npz")
    with pytest.raises(ResidualDistributionError, match=r"carries no residual distribution.*partial_fit"):
        old.predict_interval(X_new)
    old.partial_fit(X[:BATCH], y[:BATCH])  # tracks the rows it folds from here on
    assert old.export_state().residuals.total_weight == BATCH and old.predict_interval(X_new[:5]).shape == (5, 2)
    start = IncrementalHuberRegressor().initialize(X[:BATCH], y[:BATCH])
    with pytest.raises(ResidualDistributionError, match="folded no rows"):
        start.predict_interval(X_new)


@pytest.mark.parametrize("coverage", [0, 1, 1 - 1e-16, 1.5, -0.2, True, "0.9", float("nan")])
def test_coverage_must_lie_strictly_between_0_and_1(fitted, data, coverage):
    with pytest.raises(ValueError, match=re.escape("coverage must be a number strictly between 0 and 1")):
        fitted.predict_interval(data[2][:5], coverage)
