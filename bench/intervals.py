"""How often prediction intervals hold new rows' targets on a heavy-tailed
stream: 1,000,000 raw rows (10 features on mixed scales and offsets) in
batches of 50,000, t(2.5) noise and 3 % gross outliers, with 200,000
held-out rows from the same model. Prints, per nominal coverage, the share
of held-out targets inside `predict_interval` (after `fit`, and after a
`partial_fit` stream) and inside the normal-theory interval
``prediction +- z * scale_``, with mean widths; then the rank error of the
residual sketch against the exact quantiles of the residuals and the cost
of the intervals."""

import time
import warnings
from statistics import NormalDist

import numpy as np

from vintrel import IncrementalHuberRegressor
from vintrel.datasets import make_contaminated_regression

ROWS, HELD_OUT, FEATURES, BATCH = 1_000_000, 200_000, 10, 50_000
NOISE_DF, OUTLIER_SHARE, SEED = 2.5, 0.03, 2024
COVERAGES = (0.5, 0.8, 0.9, 0.95)


def held(bounds, y):
    return float(np.mean((bounds[:, 0] <= y) & (y <= bounds[:, 1]))), float(np.mean(bounds[:, 1] - bounds[:, 0]))


def main():
    X, y, _, _ = make_contaminated_regression(ROWS + HELD_OUT, FEATURES, noise_df=NOISE_DF,
                                              outlier_share=OUTLIER_SHARE, random_state=SEED)
    X_train, y_train, X_new, y_new = X[:ROWS], y[:ROWS], X[ROWS:], y[ROWS:]
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        fitted = IncrementalHuberRegressor(batch_size=BATCH).fit(X_train, y_train)
        stream = IncrementalHuberRegressor()
        for begin in range(0, ROWS, BATCH):
            stream.partial_fit(X_train[begin:begin + BATCH], y_train[begin:begin + BATCH])
    prediction = fitted.predict(X_new)
    print(f"\nprediction intervals on {HELD_OUT:,} held-out rows: {ROWS:,} x {FEATURES} in batches of {BATCH:,}, "
          f"t({NOISE_DF}) noise, {OUTLIER_SHARE:.0%} gross outliers")
    print(f"{'nominal':>8} {'fit':>8} {'stream':>8} {'normal':>8}   {'width fit':>10} {'width stream':>12} "
          f"{'width normal':>12}")
    rows = {}
    for coverage in COVERAGES:
        sketch, width = held(fitted.predict_interval(X_new, coverage), y_new)
        streamed, stream_width = held(stream.predict_interval(X_new, coverage), y_new)
        z = NormalDist().inv_cdf((1 + coverage) / 2)
        normal = np.column_stack([prediction - z * fitted.scale_, prediction + z * fitted.scale_])
        normal_share, normal_width = held(normal, y_new)
        rows[str(coverage)] = {"fit": sketch, "stream": streamed, "normal": normal_share, "width_fit": width,
                               "width_stream": stream_width, "width_normal": normal_width}
        print(f"{coverage:>8.0%} {sketch:>8.2%} {streamed:>8.2%} {normal_share:>8.2%}   {width:>10.3f} "
              f"{stream_width:>12.3f} {normal_width:>12.3f}")
    # The sketch against the exact residual quantiles of the rows it holds
    # (all rows, at the coefficients of the fit's last pass, which the fit's
    # final ones match within its tolerance).
    residuals = y_train - fitted.predict(X_train)
    probabilities = np.array([0.005, 0.025, 0.05, 0.1, 0.25, 0.5, 0.75, 0.9, 0.95, 0.975, 0.995])
    sketched = fitted.export_state().residuals.quantile(probabilities)
    ranks = np.searchsorted(np.sort(residuals), sketched) / residuals.size
    rank_error = float(np.max(np.abs(ranks - probabilities)))
    print(f"largest rank error of the sketch's quantiles ({', '.join(f'{p:g}' for p in probabilities)}): "
          f"{rank_error:.4%}")
    started = time.perf_counter()
    fresh = IncrementalHuberRegressor.from_state(fitted.export_state())
    fresh.predict_interval(X_new[:1], 0.9)
    first = time.perf_counter() - started
    started = time.perf_counter()
    fresh.predict_interval(X_new, 0.9)
    again = time.perf_counter() - started
    print(f"predict_interval: {first:.3f} s for the first call at a coverage (the table of bounds), "
          f"{again:.3f} s for {HELD_OUT:,} rows after it")
    return {"coverage": rows, "rank_error": rank_error, "table_seconds": first, "rows_seconds": again}


if __name__ == "__main__":
    main()
