"""Merging estimators folded from disjoint rows, and the shared start that
makes them mergeable."""

import copy
import pickle

import numpy as np
import pytest
from sklearn.exceptions import NotFittedError

from vintrel import IncrementalHuberRegressor

from synthetic_data import contaminated


@pytest.fixture(scope="module")
def data():
    X, y, _, _ = contaminated(24_000, 4, seed=21)
    return X, y


def _parts(start, X, y, n_parts, batch=2000):
    """Copies of `start` (deep copies and pickles alike), each streaming one
    contiguous part of the rows."""
    parts = []
    for index, rows in enumerate(np.array_split(np.arange(len(y)), n_parts)):
        part = copy.deepcopy(start) if index % 2 else pickle.loads(pickle.dumps(start))
        for begin in range(rows[0], rows[-1] + 1, batch):
            end = min(begin + batch, rows[-1] + 1)
            part.partial_fit(X[begin:end], y[begin:end])
        parts.append(part)
    return parts


def _with_sums(model, sums):
    """`model` carrying the additive statistics `sums` instead of its own."""
    return IncrementalHuberRegressor.from_state(model.export_state().replace(sums=sums))


def _relative(a, b):
    return float(np.max(np.abs(np.asarray(a) - b) / np.maximum(np.abs(b), 1e-300)))


def test_merge_is_the_closed_form_and_adds_up_counters_and_sums(data):
    X, y = data
    parts = _parts(IncrementalHuberRegressor().initialize(X[:2000], y[:2000]), X, y, 3)
    parts = [_with_sums(part, {"rows": float(part.n_samples_seen_), "vector": np.full(2, index + 1.0)})
             for index, part in enumerate(parts)]
    merged = IncrementalHuberRegressor.merge(*parts)
    engines = [part.export_state().engine for part in parts]
    information = sum(engine.information for engine in engines)
    beta = np.linalg.solve(information, sum(e.information @ e.coefficients for e in engines))
    state = merged.export_state()
    np.testing.assert_allclose(state.engine.coefficients, beta, rtol=1e-12, atol=1e-14)
    np.testing.assert_array_equal(state.engine.information, information)
    assert state.engine.n_samples_seen == merged.n_samples_seen_ == len(y)
    assert merged.n_batches_ == sum(part.n_batches_ for part in parts)
    assert state.engine.weight_sum == pytest.approx(len(y))
    assert state.sums["rows"] == len(y)
    np.testing.assert_array_equal(state.sums["vector"], [6.0, 6.0])
    np.testing.assert_allclose(merged.coef_, state.scaling.to_caller_units(beta)[0], rtol=1e-12)


@pytest.mark.parametrize("penalty, alpha", [(None, None), ("l1", 5.0), ("l2", 0.5), ("elasticnet", 0.02)])
def test_two_halves_merge_to_the_single_stream_and_tree_equals_flat(data, penalty, alpha):
    X, y = data
    start = IncrementalHuberRegressor(penalty=penalty, alpha=alpha).initialize(X[:2000], y[:2000])
    stream = copy.deepcopy(start)
    for begin in range(0, len(y), 2000):
        stream.partial_fit(X[begin:begin + 2000], y[begin:begin + 2000])
    halves = IncrementalHuberRegressor.merge(*_parts(start, X, y, 2))
    gap = halves.predict(X) - stream.predict(X)
    assert np.sqrt(np.mean(gap**2)) < 1e-3 * stream.scale_
    np.testing.assert_array_equal(halves.coef_ == 0, stream.coef_ == 0)
    if penalty in (None, "l2"):  # the statistics behind standard errors add up too
        np.testing.assert_allclose(halves.coef_se_, stream.coef_se_, rtol=1e-3 if penalty is None else 2e-3)
    if penalty == "l1":
        assert 0 < np.count_nonzero(halves.coef_) < halves.coef_.size
        assert halves.lambda_ == pytest.approx(stream.lambda_, rel=1e-12)

    quarters = _parts(start, X, y, 4)
    flat = IncrementalHuberRegressor.merge(*quarters)
    tree = IncrementalHuberRegressor.merge(IncrementalHuberRegressor.merge(*quarters[:2]),
                                           IncrementalHuberRegressor.merge(*quarters[2:]))
    assert _relative(tree.export_state().engine.coefficients, flat.export_state().engine.coefficients) < 1e-10
    # The merged estimate is a stream like any other: it folds on.
    flat.partial_fit(X[:2000], y[:2000])
    assert flat.n_samples_seen_ == len(y) + 2000


def test_initialize_fixes_a_first_batchs_units_without_folding_it(data):
    X, y = data
    start = IncrementalHuberRegressor().initialize(X[:3000], y[:3000])
    first = IncrementalHuberRegressor().partial_fit(X[:3000], y[:3000])
    for name in ("x_center", "x_scale", "y_center", "y_scale"):
        np.testing.assert_array_equal(getattr(start.export_state().scaling, name),
                                      getattr(first.export_state().scaling, name))
    state = start.export_state().engine
    assert start.n_samples_seen_ == state.n_samples_seen == state.batch_count == 0
    assert not state.information.any()
    np.testing.assert_allclose(start.coef_, first.coef_, rtol=1e-6)


def test_features_constant_everywhere_keep_their_start_in_a_merge(data):
    X, y = data
    X = np.hstack([X, np.full((len(y), 1), 7.0)])
    parts = _parts(IncrementalHuberRegressor().initialize(X[:2000], y[:2000]), X, y, 2)
    merged = IncrementalHuberRegressor.merge(*parts)
    assert merged.coef_[-1] == parts[0].coef_[-1]
    gap = merged.predict(X) - parts[0].predict(X)
    assert np.sqrt(np.mean(gap**2)) < 0.05 * merged.scale_


@pytest.fixture(scope="module")
def refusal_cases(data):
    """(estimators to merge, error, message) for every refusal."""
    X, y = data
    start = IncrementalHuberRegressor().initialize(X[:2000], y[:2000])
    fitted = copy.deepcopy(start).partial_fit(X[2000:4000], y[2000:4000])
    other_epsilon = copy.deepcopy(fitted).set_params(epsilon=2.0)
    independent = IncrementalHuberRegressor().partial_fit(X[4000:6000], y[4000:6000])
    single = IncrementalHuberRegressor().initialize(X[:2000].astype(np.float32), y[:2000])
    single.partial_fit(X[2000:4000], y[2000:4000])
    other_rows = copy.deepcopy(start).partial_fit(X[4000:6000], y[4000:6000])
    collected = _with_sums(other_rows, {**other_rows.export_state().sums, "curvature_trace": 3.0})
    collinear = np.hstack([X[:, :2], X[:, :1] * 3.0 + 1.0])
    twins = _parts(IncrementalHuberRegressor().initialize(collinear[:2000], y[:2000]), collinear[:8000], y[:8000], 2)
    return {
        "nothing": ((), ValueError, "at least one"),
        "unfitted": ((fitted, IncrementalHuberRegressor()), NotFittedError, "estimator 1: it is not fitted"),
        "buffered": ((IncrementalHuberRegressor().partial_fit(X[:5], y[:5]), fitted), NotFittedError,
                     "5 buffered rows"),
        "not-an-estimator": ((fitted, "estimator"), TypeError, "instances only"),
        "twice": ((fitted, fitted), ValueError, "twice"),
        "copies": ((fitted, pickle.loads(pickle.dumps(fitted))), ValueError, "estimators 0 and 1 hold identical estimates"),
        "parameters": ((fitted, other_epsilon), ValueError, "epsilon=2.0 differs"),
        "features": ((fitted, copy.deepcopy(start).initialize(X[:2000, :3], y[:2000])), ValueError, "other features"),
        "dtype": ((fitted, single), ValueError, "float32"),
        "scaling": ((fitted, independent), ValueError, "internal scaling differs"),
        "sums": ((collected, fitted), ValueError, "'curvature_trace'"),
        "singular": (tuple(twins), ValueError, "singular"),
    }


@pytest.mark.parametrize("case", ["nothing", "unfitted", "buffered", "not-an-estimator", "twice", "copies", "parameters",
                                  "features", "dtype", "scaling", "sums", "singular"])
def test_merge_refuses_what_cannot_be_combined(refusal_cases, case):
    estimators, error, message = refusal_cases[case]
    with pytest.raises(error, match=message):
        IncrementalHuberRegressor.merge(*estimators)
