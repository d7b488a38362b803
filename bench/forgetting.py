"""Forgetting on a drifting stream.

2,000,000 rows in batches of 50,000 whose coefficients jump half-way
(t(3) noise): a stream with ``half_life=200_000`` against one without, and
against the one-batch fit that weighs each row by 0.5 ** (age /
half_life), age being the weight folded after the row's batch, at the same
scale. Distances are in standardised units (coefficient times the feature's
standard deviation over the residual scale) and as shares of the jump.

Run: ``.venv/bin/python bench/forgetting.py`` (also part of ``make bench``).
"""

import time

import numpy as np

from vintrel import IncrementalHuberRegressor

ROWS, BATCH, HALF_LIFE = 2_000_000, 50_000, 200_000.0
BEFORE, AFTER = np.array([1.0, -1.0, 0.5, 0.0, 2.0]), np.array([2.0, 0.0, -0.5, 1.0, 2.0])


def drifting_stream(seed=0):
    rng = np.random.default_rng(seed)
    X = rng.normal(size=(ROWS, BEFORE.size)) * np.array([1.0, 2.0, 0.5, 1.0, 3.0])
    coef = np.where(np.arange(ROWS)[:, None] < ROWS // 2, BEFORE, AFTER)
    y = np.sum(X * coef, axis=1) + 3.0 + rng.standard_t(3, size=ROWS)
    return X, y


def streamed(X, y, **params):
    model = IncrementalHuberRegressor(**params)
    start = time.perf_counter()
    for begin in range(0, ROWS, BATCH):
        model.partial_fit(X[begin:begin + BATCH], y[begin:begin + BATCH])
    return model, time.perf_counter() - start


def main():
    X, y = drifting_stream()
    spread = X.std(axis=0)
    forgetting, forgetting_time = streamed(X, y, half_life=HALF_LIFE)
    remembering, remembering_time = streamed(X, y)
    rows_after = ROWS - (np.arange(ROWS) // BATCH + 1) * BATCH
    weighted = IncrementalHuberRegressor(scale=forgetting.scale_, max_passes=50, pass_tol=1e-4).fit(
        X, y, sample_weight=0.5 ** (rows_after / HALF_LIFE))

    def standardised(coef, model):
        return np.abs(coef) * spread / model.scale_

    jump = standardised(AFTER - BEFORE, forgetting).max()
    rows = {
        "half_life=200,000": (forgetting, forgetting_time),
        "no forgetting": (remembering, remembering_time),
    }
    print(f"forgetting: {ROWS:,} rows in batches of {BATCH:,}, coefficients jump half-way "
          f"(largest jump {jump:.3f} standardised units)")
    print(f"{'stream':<20} {'to new coef':>12} {'to midpoint':>12} {'seconds':>8}")
    figures = {}
    for name, (model, seconds) in rows.items():
        to_new = standardised(model.coef_ - AFTER, model).max()
        to_middle = standardised(model.coef_ - (BEFORE + AFTER) / 2, model).max()
        figures[name] = {"to_new": float(to_new), "to_midpoint": float(to_middle), "seconds": seconds}
        print(f"{name:<20} {to_new:>12.4f} {to_middle:>12.4f} {seconds:>8.2f}")
    gap = standardised(forgetting.coef_ - weighted.coef_, forgetting).max() / jump
    figures["weighted_gap_share_of_jump"] = float(gap)
    print(f"half_life stream against the age-weighted one-batch fit: {100 * gap:.2f} % of the jump")
    return figures


if __name__ == "__main__":
    main()
