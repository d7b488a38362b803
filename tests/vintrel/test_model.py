"""The model's definitions against statsmodels' Huber norm and the engine's
own reports."""

import numpy as np
import pytest
import statsmodels.api as sm

from vintrel import IncrementalHuberRegressor
from vintrel._model import PENALTIES, HuberLoss, penalty_for, penalty_labelled, penalty_named

from synthetic_data import contaminated


@pytest.mark.parametrize("epsilon", [0.5, 1.345, 3.0])
def test_the_huber_family_is_statsmodels_huber_norm(epsilon):
    r = np.linspace(-4 * epsilon, 4 * epsilon, 1001)
    loss, norm = HuberLoss(epsilon), sm.robust.norms.HuberT(t=epsilon)
    np.testing.assert_allclose(loss.rho(r), norm.rho(r), rtol=1e-14)
    np.testing.assert_allclose(loss.psi(r), norm.psi(r), rtol=1e-14)
    np.testing.assert_array_equal(loss.psi_prime(r), norm.psi_deriv(r))
    # Smoothing spreads the step of psi' over the window and keeps its area.
    smoothed = loss.smoothed_curvature(r, 0.1)
    assert smoothed.min() == 0 and smoothed.max() == 1
    assert np.trapezoid(smoothed, r) == pytest.approx(2 * epsilon, rel=1e-3)


def test_the_smoothing_half_width_shrinks_with_weight_and_never_exceeds_epsilon():
    loss = HuberLoss(1.35)
    assert loss.half_width(1.0, 0.0, 5) == 1.35
    widths = [loss.half_width(1.0, weight, 5) for weight in (0.01, 100.0, 1e6)]
    assert widths[0] == 1.35 > widths[1] > widths[2] == pytest.approx(1 / (1e3 * np.log(5)))


def test_the_l1_level_is_the_engines():
    X, y, _, _ = contaminated(3000, 4, seed=3)
    model = IncrementalHuberRegressor(penalty="l1", alpha=2.0, batch_size=1000).fit(X, y)
    level = penalty_for(model.get_params()).level(4, model.export_state().engine.weight_sum)
    assert model.lambda_ == pytest.approx(level, rel=1e-12)


@pytest.mark.parametrize("penalty", PENALTIES.values(), ids=lambda penalty: penalty.label)
def test_every_penalty_is_named_consistently(penalty):
    assert type(penalty_named(penalty.name)) is type(penalty_labelled(penalty.label)) is penalty
    assert penalty().standard_errors == (penalty.no_standard_errors == "")
    model = IncrementalHuberRegressor(penalty=penalty.name)
    assert model.fit(*contaminated(500, 2, seed=1)[:2]).n_batches_ == 1


def test_the_command_line_offers_every_penalty():
    from vintrel.cli.arguments import build_parser

    for penalty in PENALTIES.values():
        assert build_parser().parse_args(["fit", "data", "--model", "m", "--penalty", penalty.label]).penalty \
            == penalty.label
