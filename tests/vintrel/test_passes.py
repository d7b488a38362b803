"""Whole-data fits by passes, streams that follow their scale, and streams
that say when their order moved the estimate."""

import warnings

import numpy as np
import pytest
import statsmodels.api as sm
from sklearn.exceptions import ConvergenceWarning

from real_tables import economics, txhousing
from vintrel import IncrementalHuberRegressor
from vintrel._median import AbsoluteMedian
from vintrel._robust import weighted_median
from vintrel.estimator import StreamOrderWarning

from synthetic_data import assert_same_estimate, contaminated


def _rlm(X, y, epsilon=1.35):
    design = sm.add_constant(X, prepend=False)
    return sm.RLM(y, design, M=sm.robust.norms.HuberT(t=epsilon)).fit(maxiter=1000, tol=1e-12, cov="H2")


@pytest.fixture(scope="module", params=[txhousing, economics], ids=["txhousing", "economics"])
def table(request):
    table = request.param()
    X, y = table.X.to_numpy(float), table.y
    return X, y, _rlm(X, y)


def test_fit_in_ten_batches_of_a_sorted_real_table_is_the_whole_data_estimate(table):
    X, y, reference = table
    model = IncrementalHuberRegressor(batch_size=-(-len(y) // 10)).fit(X, y)
    estimates = np.append(model.coef_, model.intercept_)
    standard_errors = np.append(model.coef_se_, model.intercept_se_)
    assert model.converged_ and model.n_passes_ > 1
    assert np.max(np.abs(estimates - reference.params) / reference.bse) < 0.01
    assert model.scale_ == pytest.approx(reference.scale, rel=1e-4)
    np.testing.assert_allclose(standard_errors, reference.bse, rtol=0.005 if len(y) >= 1000 else 0.03)


@pytest.fixture(scope="module")
def sorted_data():
    X, y, _, _ = contaminated(12_000, 4, seed=17, noise_df=3.0)
    order = np.argsort(X[:, 1])
    weights = np.random.default_rng(3).integers(0, 4, len(y)).astype(float)
    return X[order], y[order], weights[order]


@pytest.mark.parametrize("batch_size, order", [(1000, "sorted"), (700, "reversed"), (2500, "shuffled"),
                                               (12_000, "sorted")])
@pytest.mark.parametrize("weighted", [False, True], ids=["unweighted", "weighted"])
def test_the_answer_does_not_depend_on_batches_or_order(sorted_data, batch_size, order, weighted):
    X, y, weights = sorted_data
    rows = {"sorted": np.arange(len(y)), "reversed": np.arange(len(y))[::-1],
            "shuffled": np.random.default_rng(0).permutation(len(y))}[order]
    w = weights if weighted else None
    one = IncrementalHuberRegressor().fit(X, y, sample_weight=w)
    many = IncrementalHuberRegressor(batch_size=batch_size).fit(X[rows], y[rows],
                                                                sample_weight=None if w is None else w[rows])
    assert one.n_passes_ == 1 and many.converged_
    assert_same_estimate(many, one)


@pytest.mark.parametrize("order", ["shuffled", "sorted"])
def test_a_small_final_step_on_much_data_needs_no_confirming_pass(order):
    # The stream's followed scale and a Newton step land within the
    # tolerances on 400,000 rows: one pass after the stream.
    X, y, _, _ = contaminated(400_000, 5, seed=21, noise_df=3.0)
    rows = np.random.default_rng(1).permutation(len(y)) if order == "shuffled" else np.argsort(X[:, 0])
    one = IncrementalHuberRegressor().fit(X, y)
    many = IncrementalHuberRegressor(batch_size=40_000).fit(X[rows], y[rows])
    assert many.converged_ and many.n_passes_ == 2
    assert_same_estimate(many, one, scale_rtol=1e-5)


def test_weights_count_as_repeated_rows_in_passes(sorted_data):
    X, y, weights = sorted_data
    counts = weights.astype(int)
    weighted = IncrementalHuberRegressor(batch_size=1500).fit(X, y, sample_weight=weights)
    repeated = IncrementalHuberRegressor(batch_size=1500).fit(np.repeat(X, counts, axis=0), np.repeat(y, counts))
    assert_same_estimate(weighted, repeated)


@pytest.mark.filterwarnings("ignore::vintrel.NotConvergedWarning")
def test_l1_passes_end_at_the_whole_data_optimum(sorted_data):
    # The penalty applies to coefficients standardised in the first batch's
    # units, so the optimum is checked by its conditions on all rows: the
    # score balances the penalty on the support and stays inside it off it.
    X, y, _ = sorted_data
    model = IncrementalHuberRegressor(penalty="l1", alpha=3.0, batch_size=1000).fit(X, y)
    state = model.export_state()
    design, target = state.scaling.design(X, np.float64), state.scaling.target(y, np.float64)
    beta = state.engine.coefficients
    score = design.T @ np.clip(target - design @ beta, -1.35, 1.35) / (state.engine.weight_sum * model.lambda_)
    support = beta[:-1] != 0
    assert model.converged_ and 0 < support.sum() < support.size
    np.testing.assert_allclose(score[:-1][support], np.sign(beta[:-1][support]), atol=1e-4)
    assert np.all(np.abs(score[:-1][~support]) <= 1 + 1e-4) and abs(score[-1]) < 1e-4


def test_passes_that_do_not_settle_warn_and_one_pass_is_the_stream(sorted_data):
    X, y, _ = sorted_data
    with pytest.warns(ConvergenceWarning, match="did not settle within max_passes=2") as caught:
        short = IncrementalHuberRegressor(batch_size=1000, max_passes=2).fit(X, y)
    assert caught[0].filename == __file__ and not short.converged_ and short.n_passes_ == 2
    stream = IncrementalHuberRegressor(batch_size=1000, max_passes=1).fit(X, y)
    assert stream.n_passes_ == 1 and stream.n_batches_ == 12


@pytest.mark.parametrize("weighted", [False, True])
@pytest.mark.parametrize("parts", [1, 3])
def test_the_pass_median_is_exact_once_bracketed(weighted, parts):
    rng = np.random.default_rng(5)
    residuals = rng.standard_t(2, 100_001) * 3
    weights = rng.integers(0, 5, residuals.size).astype(float) if weighted else None
    chunks = np.array_split(np.arange(residuals.size), 7)
    truth = weighted_median(np.abs(residuals), weights)

    def accumulate(bracket):
        pieces = [AbsoluteMedian(3.0, bracket) for _ in range(parts)]
        for index, rows in enumerate(chunks):
            pieces[index % parts].add(residuals[rows], None if weights is None else weights[rows])
        for piece in pieces[1:]:
            pieces[0].merge(piece)
        return pieces[0]

    first = accumulate(None)
    approximate = first.result()
    assert not approximate.exact and approximate.value == pytest.approx(truth, rel=1e-3)
    exact = accumulate(first.next_bracket(approximate.value)).result()
    assert exact.exact and exact.value == truth


@pytest.mark.parametrize("load", [txhousing, economics], ids=["txhousing", "economics"])
def test_a_stream_in_natural_order_warns_and_a_shuffled_one_does_not(load):
    table = load()
    X, y = table.X.to_numpy(float), table.y
    batch = -(-len(y) // 10)

    def stream(rows):
        model = IncrementalHuberRegressor()
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            for begin in range(0, len(y), batch):
                model.partial_fit(X[rows[begin:begin + batch]], y[rows[begin:begin + batch]])
        return model, [w for w in caught if issubclass(w.category, StreamOrderWarning)]

    natural, said = stream(np.arange(len(y)))
    assert len(said) == 1 and said[0].filename == __file__
    assert "standard errors" in str(said[0].message) and "fit()" in str(said[0].message)
    assert "warning: batch" in str(natural.summary())
    shuffled, said = stream(np.random.default_rng(1).permutation(len(y)))
    assert said == [] and "warning" not in str(shuffled.summary())


def test_a_stream_refines_a_scale_its_first_batch_got_wrong():
    table = economics()
    X, y = table.X.to_numpy(float), table.y
    rows = np.random.default_rng(1).permutation(len(y))
    whole = IncrementalHuberRegressor().fit(X, y)
    first = IncrementalHuberRegressor().fit(X[rows[:58]], y[rows[:58]])
    stream = IncrementalHuberRegressor()
    for begin in range(0, len(y), 58):
        stream.partial_fit(X[rows[begin:begin + 58]], y[rows[begin:begin + 58]])
    assert abs(first.scale_ / whole.scale_ - 1) > 0.1
    assert abs(stream.scale_ / whole.scale_ - 1) < 0.03
    # A stream whose units were fixed on purpose keeps them.
    fixed = IncrementalHuberRegressor().initialize(X[rows[:58]], y[rows[:58]])
    for begin in range(0, len(y), 58):
        fixed.partial_fit(X[rows[begin:begin + 58]], y[rows[begin:begin + 58]])
    assert fixed.scale_ == first.scale_ or fixed.scale_ == pytest.approx(
        IncrementalHuberRegressor().initialize(X[rows[:58]], y[rows[:58]]).scale_)


def test_passes_and_stream_records_survive_a_model_file(tmp_path, sorted_data):
    X, y, _ = sorted_data
    fitted = IncrementalHuberRegressor(batch_size=1000).fit(X, y)
    streamed = IncrementalHuberRegressor()
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", StreamOrderWarning)
        for begin in range(0, len(y), 1000):
            streamed.partial_fit(X[begin:begin + 1000], y[begin:begin + 1000])
    for model in (fitted, streamed):
        model.save(tmp_path / "m.npz")
        loaded = IncrementalHuberRegressor.load(tmp_path / "m.npz")
        assert (loaded.n_passes_, loaded.scale_) == (model.n_passes_, model.scale_)
        assert loaded.export_state().order_warning == model.export_state().order_warning
        assert loaded.export_state().scale_follows == model.export_state().scale_follows
