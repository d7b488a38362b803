"""What the estimator accepts, refuses and warns about."""

import copy
import warnings

import numpy as np
import pandas as pd
import polars as pl
import pytest
import scipy.sparse as sp
from sklearn.exceptions import ConvergenceWarning, NotFittedError

from vintrel import IncrementalHuberRegressor
from vintrel._engine import EngineStream, UpdateSettings

from synthetic_data import contaminated


@pytest.fixture(scope="module")
def data():
    X, y, _, _ = contaminated(600, 3, seed=2)
    return X, y


@pytest.mark.parametrize("frame", [pd.DataFrame, pl.DataFrame], ids=["pandas", "polars"])
def test_frames_record_and_check_column_names(data, frame):
    X, y = data
    columns = ["speed", "load", "temperature"]
    model = IncrementalHuberRegressor().fit(frame(dict(zip(columns, X.T, strict=True))), y)
    assert list(model.feature_names_in_) == columns
    np.testing.assert_allclose(model.coef_, IncrementalHuberRegressor().fit(X, y).coef_)
    with pytest.raises(ValueError, match="feature names"):
        model.predict(frame(dict(zip(columns[::-1], X.T, strict=True))))


def test_lists_and_integers_are_fitted_in_float64(data):
    X, y = data
    model = IncrementalHuberRegressor().fit(np.rint(X * 100).astype(int).tolist(), y.tolist())
    assert model.coef_.dtype == np.float64 and model.export_state().dtype == np.float64


def test_later_batches_take_the_precision_of_the_first(data):
    X, y = data
    model = IncrementalHuberRegressor().partial_fit(X[:300].astype(np.float32), y[:300])
    model.partial_fit(X[300:], y[300:])
    assert model.export_state().dtype == np.float32 and model.n_samples_seen_ == 600


@pytest.mark.parametrize("corrupt, error, match", [
    (lambda X, y, w: (np.where(np.arange(X.size).reshape(X.shape) == 7, np.nan, X), y, w), ValueError, "NaN"),
    (lambda X, y, w: (X, np.where(np.arange(y.size) == 3, np.inf, y), w), ValueError, "infinity"),
    (lambda X, y, w: (sp.csr_matrix(X), y, w), TypeError, "[Ss]parse"),
    (lambda X, y, w: (X, y[:-1], w), ValueError, "inconsistent numbers of samples"),
    (lambda X, y, w: (X, y, -np.ones_like(y)), ValueError, "[Nn]egative"),
    (lambda X, y, w: (X, y, np.zeros_like(y)), ValueError, "non-zero"),
    (lambda X, y, w: (X[:3], y[:3], w), ValueError, "3 samples of positive weight for 4 parameters"),
    (lambda X, y, w: (X + 1j, y, w), ValueError, "[Cc]omplex"),
], ids=["nan", "inf", "sparse", "lengths", "negative-weight", "zero-weights", "too-few-rows", "complex"])
def test_bad_input_gets_scikit_learn_errors(data, corrupt, error, match):
    X, y, weights = corrupt(*data, None)
    with pytest.raises(error, match=match):
        IncrementalHuberRegressor().fit(X, y, sample_weight=weights)


def test_feature_count_is_checked_on_later_calls(data):
    X, y = data
    model = IncrementalHuberRegressor().fit(X, y)
    for call in (lambda: model.predict(X[:, :2]), lambda: model.partial_fit(X[:, :2], y)):
        with pytest.raises(ValueError, match="features"):
            call()


@pytest.mark.parametrize("name, value", [
    ("epsilon", 0.0), ("penalty", "l3"), ("alpha", -1.0), ("fit_intercept", 1), ("scale", "mad"),
    ("scale", -2.0), ("batch_size", 0), ("max_iter", 2.5), ("tol", float("nan")),
    ("bandwidth_scale", 0.0), ("ridge", -1e-3), ("n_threads", 0)])
def test_bad_parameters_are_refused_at_fit_with_their_name(data, name, value):
    with pytest.raises(ValueError, match=name):
        IncrementalHuberRegressor(**{name: value}).fit(*data)


def test_small_first_batches_wait_until_the_stream_can_start(data):
    X, y = data
    model = IncrementalHuberRegressor().partial_fit(X[:10], y[:10])  # 4 parameters need 20 rows
    with pytest.raises(NotFittedError):
        model.predict(X)
    model.partial_fit(X[10:25], y[10:25])
    together = IncrementalHuberRegressor().partial_fit(X[:25], y[:25])
    assert model.n_samples_seen_ == 25 and model.n_batches_ == 1
    np.testing.assert_array_equal(model.coef_, together.coef_)


def _duplicated_column():
    rng = np.random.default_rng(0)
    X = rng.normal(size=(500, 2))
    return np.hstack([X, X[:, :1]]), X[:, 0] + rng.normal(size=500)


@pytest.mark.parametrize("method", ["fit", "partial_fit"])
@pytest.mark.parametrize("params, reason", [
    (dict(max_iter=1, scale=1.0), r"batch 1 .* max_iter=1; the estimate holds the last accepted step.*raise max_iter"),
    (dict(ridge=0.0), r"batch 1 .* regularised fallback .*sound if the update converged.*larger ridge"),
], ids=["iteration-cap", "singular-system"])
def test_struggling_updates_warn_at_the_callers_line_with_harm_and_remedy(params, reason, method):
    with pytest.warns(ConvergenceWarning, match=reason) as caught:
        getattr(IncrementalHuberRegressor(**params), method)(*_duplicated_column())
    assert {warning.filename for warning in caught} == {__file__}


def test_units_cannot_change_in_the_middle_of_a_stream(data):
    model = IncrementalHuberRegressor().partial_fit(*data)
    model.set_params(fit_intercept=False)
    with pytest.raises(ValueError, match="middle of a stream"):
        model.partial_fit(*data)


def test_engine_refusals_become_errors_that_name_the_batch():
    stream = EngineStream(np.dtype(np.float64), 2, True, None)
    settings = UpdateSettings(1.35, "none", 1.0, 1.0, 50, 1e-8, 1e-6)
    with pytest.raises(ValueError, match=r"could not fold batch 4: .*design width"):
        stream.fold(np.ones((5, 2)), np.ones(5), None, settings, "batch 4")


def test_changing_the_pool_keeps_the_estimate(data):
    X, y = data
    model = IncrementalHuberRegressor().partial_fit(X[:300], y[:300])
    same = IncrementalHuberRegressor().partial_fit(X[:300], y[:300])
    model.set_params(n_threads=2).partial_fit(X[300:], y[300:])
    same.partial_fit(X[300:], y[300:])
    np.testing.assert_array_equal(model.coef_, same.coef_)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        model.predict(X)


def test_an_interrupted_fit_leaves_the_previous_estimate(data, monkeypatch):
    X, y = data
    model = IncrementalHuberRegressor(batch_size=100).fit(X, y)
    before = dict(model.__dict__)
    calls = iter(range(100))
    original = EngineStream.fold

    def interrupted(self, *args, **kwargs):
        if next(calls) == 3:
            raise KeyboardInterrupt
        return original(self, *args, **kwargs)

    monkeypatch.setattr(EngineStream, "fold", interrupted)
    with pytest.raises(KeyboardInterrupt):
        model.fit(X[::-1], y[::-1])
    assert model.__dict__ == before


def test_a_call_failing_after_its_fold_leaves_the_engine_as_it_was(data):
    X, y = data
    model = IncrementalHuberRegressor().partial_fit(X[:300], y[:300])
    untouched = copy.deepcopy(model)
    model.set_params(max_iter=1)
    with warnings.catch_warnings():
        warnings.simplefilter("error", ConvergenceWarning)
        with pytest.raises(ConvergenceWarning):  # raised once the batch is folded
            model.partial_fit(X[300:] * 3, y[300:])
    # The engine itself was put back: the next batch folds as if the failed
    # one had never been seen.
    for estimator in (model.set_params(max_iter=50), untouched):
        estimator.partial_fit(X[300:], y[300:])
    np.testing.assert_array_equal(model.coef_, untouched.coef_)
    np.testing.assert_array_equal(model.export_state().engine.information,
                                  untouched.export_state().engine.information)


@pytest.mark.filterwarnings("ignore:overflow encountered in cast:RuntimeWarning")
@pytest.mark.parametrize("dtype", [np.float64, np.float32])
def test_non_finite_values_in_a_later_batch_get_scikit_learns_error(data, dtype):
    X, y = data
    model = IncrementalHuberRegressor().partial_fit(X[:300].astype(dtype), y[:300])
    before = model.coef_.copy()
    bad = X[300:].copy()
    bad[5, 1] = np.nan if dtype == np.float64 else 1e300  # too large for float32
    with pytest.raises(ValueError, match="Input X contains"):
        model.partial_fit(bad, y[300:])
    np.testing.assert_array_equal(model.coef_, before)
    with pytest.raises(ValueError, match="Input X contains NaN"):
        IncrementalHuberRegressor(batch_size=100).fit(np.where(np.arange(600)[:, None] == 550, np.nan, X), y)


def test_stream_batches_that_weigh_nothing_are_skipped_or_wait(data):
    X, y = data
    model = IncrementalHuberRegressor().partial_fit(X[:100], y[:100], sample_weight=np.zeros(100))
    assert not hasattr(model, "coef_")  # no rows of positive weight yet: nothing to start from
    model.partial_fit(X[100:400], y[100:400])
    seen = model.n_samples_seen_
    model.partial_fit(X[400:], y[400:], sample_weight=np.zeros(200))
    assert model.n_samples_seen_ == seen and model.n_batches_ == 1
