"""Standard errors of the estimator against statsmodels' RLM with Huber's
H2 covariance on the same rows (5 raw features, t(3) noise, 5 % gross
outliers), a stream against one batch on the same rows, and the cost of the
per-batch statistics pass."""

import statistics
import time
from unittest import mock

import numpy as np
import statsmodels.api as sm

from vintrel import IncrementalHuberRegressor
from vintrel._model import HuberLoss
from vintrel._stream import Stream
from vintrel.datasets import make_contaminated_regression

FEATURES, EPSILON = 5, 1.35


def relative_gap(standard_errors, reference):
    return float(np.max(np.abs(np.asarray(standard_errors) / reference - 1)))


def smoothed_scalar_errors(model, X, y):
    """The standard errors had the scalar sums used the engine's smoothed
    curvature too, as the matrix does (the alternative not taken)."""
    state = model.export_state()
    scaling, engine, loss = state.scaling, state.engine, HuberLoss(EPSILON)
    design, target = scaling.design(X, np.float64), scaling.target(y, np.float64)
    residuals = target - design @ engine.coefficients
    half_width = loss.half_width(model.bandwidth_scale, engine.weight_sum, X.shape[1])
    curvature = loss.smoothed_curvature(residuals, half_width)
    n, p = design.shape
    mean, variance = curvature.mean(), curvature.var()
    k = 1 + p / n * variance / mean**2
    psi = loss.psi(residuals)
    internal = k * (psi @ psi) / (n - p) / mean * np.linalg.inv(engine.information)
    transform = scaling.caller_transform()
    return np.sqrt(np.diag(transform @ internal @ transform.T))


def agreement(rows, seeds):
    """Largest relative gap of the six standard errors to RLM's, per seed,
    with the estimator given RLM's scale."""
    gaps = {"default": [], "smoothed scalars": [], "no smoothing": []}
    for seed in seeds:
        X, y, _, _ = make_contaminated_regression(rows, FEATURES, noise_df=3.0, random_state=seed)
        reference = sm.RLM(y, sm.add_constant(X, prepend=False), M=sm.robust.norms.HuberT(t=EPSILON)).fit(cov="H2")
        model = IncrementalHuberRegressor(epsilon=EPSILON, scale=float(reference.scale)).fit(X, y)
        ours = np.append(model.coef_se_, model.intercept_se_)
        gaps["default"].append(relative_gap(ours, reference.bse))
        gaps["smoothed scalars"].append(relative_gap(smoothed_scalar_errors(model, X, y), reference.bse))
        exact = IncrementalHuberRegressor(epsilon=EPSILON, scale=float(reference.scale), bandwidth_scale=1e-9)
        exact.fit(X, y)
        gaps["no smoothing"].append(relative_gap(np.append(exact.coef_se_, exact.intercept_se_), reference.bse))
    return gaps


def stream_against_one_batch(seeds, rows=1_000_000, batch=50_000):
    gaps = []
    for seed in seeds:
        X, y, _, _ = make_contaminated_regression(rows, FEATURES, noise_df=3.0, random_state=seed)
        stream = IncrementalHuberRegressor(batch_size=batch).fit(X, y)
        whole = IncrementalHuberRegressor().fit(X, y)
        gaps.append(relative_gap(np.append(stream.coef_se_, stream.intercept_se_),
                                 np.append(whole.coef_se_, whole.intercept_se_)))
    return gaps


def statistics_cost(features, rows=1_000_000, batch=50_000, repeats=5):
    """Share of a streamed fit's time spent in the statistics pass, timed
    inside the fit (the fastest of `repeats` fits)."""
    X, y, _, _ = make_contaminated_regression(rows, features, noise_df=3.0, random_state=5)
    original = Stream._add_batch_sums
    spent = []

    def timed(self, *args):
        started = time.perf_counter()
        original(self, *args)
        spent[-1] += time.perf_counter() - started

    shares = []
    with mock.patch.object(Stream, "_add_batch_sums", timed):
        for _ in range(repeats):
            spent.append(0.0)
            started = time.perf_counter()
            IncrementalHuberRegressor(batch_size=batch).fit(X, y)
            shares.append((time.perf_counter() - started, spent[-1]))
    total, in_pass = min(shares)
    return in_pass / total


def main():
    figures = {}
    print(f"\nstandard errors vs statsmodels RLM(HuberT({EPSILON})).fit(cov='H2'), p = {FEATURES} + intercept:")
    print("largest relative gap of the six standard errors, median and worst over seeds")
    for rows, seeds in ((5_000, range(30)), (200_000, range(5))):
        gaps = agreement(rows, seeds)
        for name, values in gaps.items():
            print(f"  n = {rows:>7,} {name:>17}: median {statistics.median(values):.5%}, "
                  f"worst {max(values):.5%} ({len(values)} seeds)")
        figures[f"agreement_{rows}"] = {name: {"median": statistics.median(v), "worst": max(v)}
                                        for name, v in gaps.items()}
    gaps = stream_against_one_batch(range(3))
    print(f"\n1,000,000 rows in batches of 50,000 vs one batch: largest relative gap of the standard errors "
          f"{', '.join(f'{gap:.3%}' for gap in gaps)} (3 seeds)")
    figures["stream_vs_one_batch"] = gaps
    for features in (5, 20):
        share = statistics_cost(features)
        print(f"statistics pass, 1,000,000 x {features} in batches of 50,000: {share:.1%} of the fit's time")
        figures[f"statistics_share_{features}"] = share
    return figures


if __name__ == "__main__":
    main()
