"""Penalties against the objective they promise, and forgetting."""

import pickle
import warnings

import numpy as np
import pytest
import scipy.optimize

from real_tables import txhousing
from vintrel import IncrementalHuberRegressor, model_file
from vintrel.cli import main

from synthetic_data import contaminated

EPSILON = 1.35


def internal_units(model, X, y):
    """The standardised design (intercept last) and target of `model`."""
    scaling = model.export_state().scaling
    z = (X - scaling.x_center) / scaling.x_scale
    return np.column_stack([z, np.ones(len(y))]), (y - scaling.y_center) / scaling.y_scale


def reference_minimiser(design, target, alpha, l1_ratio):
    """The minimiser of (1/W) sum H(t - design beta) + alpha * (l1_ratio
    |beta|_1 + (1 - l1_ratio) |beta|^2 / 2) over beta (intercept last and
    unpenalised), by L-BFGS-B on beta = plus - minus with both parts
    non-negative, which makes the L1 term smooth."""
    p = design.shape[1]
    k = p - 1

    def objective(parts):
        plus, minus = parts[:p], parts[p:]
        beta = plus - minus
        r = target - design @ beta
        inside = np.abs(r) <= EPSILON
        loss = np.where(inside, 0.5 * r * r, EPSILON * np.abs(r) - 0.5 * EPSILON**2).mean()
        psi = np.clip(r, -EPSILON, EPSILON)
        gradient = -(design.T @ psi) / len(r)
        l1 = alpha * l1_ratio * (plus[:k].sum() + minus[:k].sum())
        l2 = 0.5 * alpha * (1 - l1_ratio) * float(beta[:k] @ beta[:k])
        gradient[:k] += alpha * (1 - l1_ratio) * beta[:k]
        l1_gradient = np.zeros(p)
        l1_gradient[:k] = alpha * l1_ratio
        return loss + l1 + l2, np.concatenate([gradient + l1_gradient, -gradient + l1_gradient])

    bounds = [(0, None)] * p + [(0, None)] * k + [(0, 0)]
    result = scipy.optimize.minimize(objective, np.zeros(2 * p), jac=True, method="L-BFGS-B", bounds=bounds,
                                     options={"ftol": 1e-16, "gtol": 1e-13, "maxiter": 50_000, "maxcor": 50})
    return result.x[:p] - result.x[p:]


@pytest.fixture(scope="module")
def collinear():
    """Contaminated data whose first two features correlate at 0.995."""
    X, y, _, _ = contaminated(4000, 6, seed=3)
    X[:, 1] = X[:, 0] * 2.0 + np.random.default_rng(0).normal(scale=0.1 * X[:, 0].std(), size=len(y))
    y = y + X[:, 1]
    return X, y


@pytest.mark.parametrize("penalty, alpha, l1_ratio", [
    ("l2", 0.3, 0.5), ("elasticnet", 0.05, 0.5), ("elasticnet", 0.02, 0.9), ("elasticnet", 0.1, 0.0)])
def test_one_batch_minimises_the_stated_objective(collinear, penalty, alpha, l1_ratio):
    X, y = collinear
    model = IncrementalHuberRegressor(penalty=penalty, alpha=alpha, l1_ratio=l1_ratio).fit(X, y)
    assert model.converged_
    design, target = internal_units(model, X, y)
    expected = reference_minimiser(design, target, alpha, 0.0 if penalty == "l2" else l1_ratio)
    found = np.asarray(model.export_state().engine.coefficients)
    np.testing.assert_allclose(found, expected, rtol=1e-6, atol=1e-6 * np.abs(expected).max())


@pytest.mark.parametrize("penalty", ["l1", "elasticnet"])
def test_l1_parts_converge_on_collinear_data_with_the_defaults(collinear, penalty):
    X, y = collinear
    model = IncrementalHuberRegressor(penalty=penalty, alpha=0.05, batch_size=1000, max_passes=1)
    with warnings.catch_warnings():
        warnings.simplefilter("error")  # an update short of its tolerance warns
        for begin in range(0, len(y), 1000):
            model.partial_fit(X[begin:begin + 1000], y[begin:begin + 1000])
    assert model.converged_


@pytest.mark.parametrize("noise", [0.05, 0.01, 0.003], ids=["corr 0.999", "corr 0.99995", "corr 0.999995"])
def test_l1_converges_where_two_columns_nearly_coincide(noise):
    # The support solve finishes what coordinate descent would crawl along.
    rng = np.random.default_rng(2)
    X = rng.normal(size=(4000, 6))
    X[:, 5] = X[:, 4] + noise * rng.normal(size=len(X))
    y = X @ [1.5, 0.0, 0.0, -1.0, 1.0, 0.0] + rng.standard_t(3, size=len(X))
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        model = IncrementalHuberRegressor(penalty="l1").fit(X, y)
    assert model.converged_ and model.n_iter_ <= 20


@pytest.mark.parametrize("penalty, l1_ratio", [("l2", 0.5), ("elasticnet", 0.5)])
def test_streams_merges_and_one_batch_carry_the_penalty_once(penalty, l1_ratio):
    # With an epsilon no residual reaches and a fixed scale the loss is
    # quadratic, so the carried quadratic is exact: a stream, a merge and
    # one batch must solve the same penalised problem.
    X, y, _, _ = contaminated(3000, 5, seed=4, outlier_share=0.0)
    params = dict(penalty=penalty, alpha=0.2, l1_ratio=l1_ratio, epsilon=1e6, scale=1.0, tol=1e-12)
    whole = IncrementalHuberRegressor(**params).fit(X, y)
    stream = IncrementalHuberRegressor(**params).initialize(X, y)
    parts = [pickle.loads(pickle.dumps(stream)) for _ in range(3)]
    for index, model in enumerate(parts):
        model.partial_fit(X[index * 1000:(index + 1) * 1000], y[index * 1000:(index + 1) * 1000])
        stream.partial_fit(X[index * 1000:(index + 1) * 1000], y[index * 1000:(index + 1) * 1000])
    merged = IncrementalHuberRegressor.merge(*parts)
    for model in (stream, merged):
        np.testing.assert_allclose(model.coef_, whole.coef_, rtol=1e-7, atol=1e-9)
        np.testing.assert_allclose(model.intercept_, whole.intercept_, rtol=1e-7)


def test_passes_reach_the_whole_data_minimiser_with_a_penalty():
    # The penalty applies in the first batch's units, so the reference is
    # the minimiser over all rows in the units the passes worked in.
    X, y, _, _ = contaminated(6000, 5, seed=5)
    order = np.argsort(X[:, 0])  # sorted, so that a single stream would differ
    X, y = X[order], y[order]
    passes = IncrementalHuberRegressor(penalty="elasticnet", alpha=0.02, pass_tol=1e-6, batch_size=1000).fit(X, y)
    assert passes.n_passes_ > 1 and passes.converged_
    design, target = internal_units(passes, X, y)
    expected = reference_minimiser(design, target, 0.02, 0.5)
    found = np.asarray(passes.export_state().engine.coefficients)
    np.testing.assert_allclose(found, expected, rtol=1e-5, atol=1e-5 * np.abs(expected).max())


@pytest.mark.parametrize("params", [dict(penalty="l2", alpha=0.05), dict(penalty="l1"),
                                    dict(penalty="elasticnet", alpha=0.02)], ids=["l2", "l1", "elasticnet"])
def test_a_penalised_fit_does_not_depend_on_the_batches_of_a_sorted_table(params):
    # The penalty applies in units measured on all rows, not on a first
    # batch that holds only the smallest prices.
    table = txhousing()
    X, y = table.X.to_numpy(float), table.y
    order = np.argsort(y)
    one = IncrementalHuberRegressor(**params).fit(X[order], y[order])
    many = IncrementalHuberRegressor(batch_size=700, pass_tol=1e-4, **params).fit(X[order], y[order])
    assert many.converged_ and many.n_passes_ > 1
    np.testing.assert_allclose(many.coef_, one.coef_, rtol=1e-4, atol=1e-4 * np.abs(one.coef_).max())
    assert many.scale_ == pytest.approx(one.scale_, rel=1e-5)


def test_ridge_standard_errors_are_the_penalised_sandwich():
    X, y, _, _ = contaminated(5000, 4, seed=6)
    plain = IncrementalHuberRegressor().fit(X, y)
    faint = IncrementalHuberRegressor(penalty="l2", alpha=1e-9).fit(X, y)
    strong = IncrementalHuberRegressor(penalty="l2", alpha=1.0).fit(X, y)
    np.testing.assert_allclose(faint.coef_se_, plain.coef_se_, rtol=1e-5)
    assert np.all(strong.coef_se_ < plain.coef_se_)
    for model in (IncrementalHuberRegressor(penalty="elasticnet", alpha=0.1).fit(X, y),):
        with pytest.raises(ValueError, match="elasticnet"):
            model.summary()


def test_ridge_fits_fewer_rows_than_parameters():
    X, y, _, _ = contaminated(8, 20, seed=7, outlier_share=0.0)
    model = IncrementalHuberRegressor(penalty="l2", alpha=0.5).fit(X, y)
    assert np.all(np.isfinite(model.coef_)) and model.scale_ > 0
    with pytest.raises(ValueError, match="more samples than parameters"):
        IncrementalHuberRegressor().fit(X, y)


@pytest.mark.parametrize("params, message", [
    (dict(alpha=0.1), "needs a penalty"),
    (dict(penalty="elasticnet", l1_ratio=1.5), "l1_ratio must be"),
    (dict(half_life=0.0), "half_life must be"),
    (dict(penalty="ridge"), "penalty must be"),
])
def test_bad_penalty_settings_are_refused(params, message):
    X, y, _, _ = contaminated(200, 2, seed=8)
    with pytest.raises(ValueError, match=message):
        IncrementalHuberRegressor(**params).fit(X, y)


@pytest.mark.parametrize("params", [dict(penalty="l2", alpha=0.3), dict(penalty="elasticnet", alpha=0.05,
                                                                          l1_ratio=0.7), dict(half_life=500.0)])
@pytest.mark.filterwarnings("ignore:batch:vintrel.StreamOrderWarning")
def test_model_files_keep_the_penalty_and_forgetting(tmp_path, params):
    X, y, _, _ = contaminated(3000, 3, seed=9)
    model = IncrementalHuberRegressor(**params)
    for begin in range(0, 2000, 500):
        model.partial_fit(X[begin:begin + 500], y[begin:begin + 500])
    model_file.save(tmp_path / "m.vtl", model)
    loaded = model_file.load(tmp_path / "m.vtl")
    assert {name: loaded.get_params()[name] for name in params} == params
    for fitted in (model, loaded):
        fitted.partial_fit(X[2000:], y[2000:])
    np.testing.assert_array_equal(loaded.coef_, model.coef_)


def drifting_stream(rows, batch, seed):
    """Rows whose coefficients jump half-way, in batches."""
    rng = np.random.default_rng(seed)
    X = rng.normal(size=(rows, 3))
    before, after = np.array([1.0, -1.0, 0.5]), np.array([2.0, 0.0, -0.5])
    coef = np.where(np.arange(rows)[:, None] < rows // 2, before, after)
    y = np.sum(X * coef, axis=1) + rng.standard_t(3, size=rows)
    return X, y, before, after


@pytest.mark.filterwarnings("ignore:batch:vintrel.StreamOrderWarning")  # the stream that remembers
def test_forgetting_follows_a_jump_and_weighs_rows_by_age():
    X, y, before, after = drifting_stream(200_000, 10_000, seed=10)
    half_life = 20_000.0
    forgetting = IncrementalHuberRegressor(half_life=half_life, scale=1.5)
    remembering = IncrementalHuberRegressor(scale=1.5)
    for begin in range(0, len(y), 10_000):
        forgetting.partial_fit(X[begin:begin + 10_000], y[begin:begin + 10_000])
        remembering.partial_fit(X[begin:begin + 10_000], y[begin:begin + 10_000])
    jump = np.abs(after - before).max()
    assert np.abs(forgetting.coef_ - after).max() < 0.05 * jump
    assert np.abs(remembering.coef_ - (before + after) / 2).max() < 0.1 * jump
    # A row folded with k batches after it weighs 0.5 ** (k * batch / half_life).
    rows_after = len(y) - (np.arange(len(y)) // 10_000 + 1) * 10_000
    weighted = IncrementalHuberRegressor(scale=1.5).fit(X, y, sample_weight=0.5 ** (rows_after / half_life))
    assert np.abs(forgetting.coef_ - weighted.coef_).max() < 0.02 * jump
    assert forgetting.coef_se_[0] > 2 * remembering.coef_se_[0]  # the effective weight is smaller
    # Everything the estimate carries is discounted alike.
    state = forgetting.export_state()
    effective = float(np.sum(0.5 ** (rows_after / half_life)))
    for carried in (state.engine.weight_sum, state.sums["weight"], state.residuals.total_weight):
        assert carried == pytest.approx(effective, rel=1e-9)


def test_dask_refuses_forgetting():
    from vintrel import dask as vintrel_dask

    with pytest.raises(ValueError, match="half_life forgets along one ordered stream"):
        vintrel_dask.fit(IncrementalHuberRegressor(half_life=100.0), np.zeros((10, 2)), np.zeros(10))


def test_fit_with_forgetting_is_one_stream():
    X, y, _, _ = drifting_stream(20_000, 2000, seed=11)
    model = IncrementalHuberRegressor(half_life=4000.0, batch_size=2000).fit(X, y)
    assert model.n_passes_ == 1 and model.n_batches_ == 10


@pytest.mark.parametrize("batch_size, weight, warns", [(None, 1.0, True), (2000, 1.0, False), (2000, 3.0, True)])
def test_fit_says_when_its_batches_outlast_the_half_life(batch_size, weight, warns):
    # Rows of one batch weigh alike: a single default batch forgets nothing.
    X, y, _, _ = drifting_stream(20_000, 2000, seed=11)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        IncrementalHuberRegressor(half_life=4000.0, batch_size=batch_size).fit(X, y, np.full(len(y), weight))
    assert any("forgets little of the order" in str(w.message) for w in caught) == warns


def run(capsys, *argv):
    status = main([str(a) for a in argv])
    return status, capsys.readouterr()


@pytest.fixture(scope="module")
def table(tmp_path_factory):
    import pyarrow as pa
    import pyarrow.parquet as pq

    X, y, _, _ = contaminated(4000, 3, seed=12)
    path = tmp_path_factory.mktemp("penalties") / "data.parquet"
    pq.write_table(pa.table({"a": X[:, 0], "b": X[:, 1], "c": X[:, 2], "y": y}), path)
    return path, X, y


@pytest.mark.parametrize("options, params", [
    (["--penalty", "l2", "--alpha", "0.3"], dict(penalty="l2", alpha=0.3)),
    (["--penalty", "elasticnet", "--alpha", "0.05", "--l1-ratio", "0.7", "--max-iter", "80", "--tol", "1e-9"],
     dict(penalty="elasticnet", alpha=0.05, l1_ratio=0.7, max_iter=80, tol=1e-9)),
    (["--half-life", "1000"], dict(half_life=1000.0)),
])
def test_command_line_fits_like_the_estimator(table, tmp_path, capsys, options, params):
    path, X, y = table
    # A single stream of the same batches is partial_fit on them.
    status, _ = run(capsys, "fit", path, "--target", "y", "--batch-rows", 1000, "--passes", 1, "--quiet", *options,
                    "--model", tmp_path / "m.vtl")
    assert status == 0
    fitted = model_file.load(tmp_path / "m.vtl")
    assert {name: fitted.get_params()[name] for name in params} == params
    reference = IncrementalHuberRegressor(**params)
    for begin in range(0, len(y), 1000):
        reference.partial_fit(X[begin:begin + 1000], y[begin:begin + 1000])
    np.testing.assert_allclose(fitted.coef_, reference.coef_, rtol=1e-6)
    # show prints the estimator on its line, however long its repr runs.
    status, out = run(capsys, "show", tmp_path / "m.vtl")
    [line] = [line for line in out.out.splitlines() if line.startswith("estimator")]
    assert status == 0 and "\\n" not in line and all(f"{name}=" in line for name in params)


@pytest.mark.parametrize("options, message", [
    (["--alpha", "0.3"], "--alpha needs a --penalty"),
    (["--half-life", "1000", "--passes", "3"], "exclude each other"),
    (["--penalty", "elasticnet", "--l1-ratio", "2"], "between 0 and 1"),
    (["--half-life", "1000", "--dask", "tcp://127.0.0.1:9"], "--half-life forgets along one ordered stream"),
])
def test_command_line_refuses_bad_combinations(table, tmp_path, capsys, options, message):
    path, _, _ = table
    status, (_, err) = run(capsys, "fit", path, "--target", "y", "--quiet", *options,
                             "--model", tmp_path / "m.vtl")
    assert status != 0 and message in err and len(err.strip().splitlines()) == 1
    assert not (tmp_path / "m.vtl").exists()
