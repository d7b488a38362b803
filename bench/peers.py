"""The engine against the tools users would otherwise pick for robust
regression on a stream: scikit-learn's SGDRegressor(loss="huber") with
partial_fit (streaming, first order, one pass) and HuberRegressor fitted on
all rows at once (batch, needs all data in memory). Also measures how the
engine's update scales with its private pool's size."""

import os
import time

import numpy as np

from engine_limits import batch, updater
from vintrel import NativeCpuEngine

from timing import interleaved_best

N_ROWS, N_FEATURES, BATCH_ROWS = 1_000_000, 20, 50_000
OUTLIER_SHARE = 0.05
SEED = 2026
# The engine's arguments: the classic 95 %-efficiency Huber threshold, a
# bandwidth scale of 1 (the curvature window shrinks as weight accumulates),
# a tight relative step tolerance and no ridge.
ENGINE_ARGS = dict(tau=1.345, penalty="none", lambda_scale=0.0, bandwidth_scale=1.0,
                   max_iter=50, tol=1e-8, ridge=0.0)


def make_data(rng):
    x = rng.standard_normal((N_ROWS, N_FEATURES))
    coef = rng.uniform(-3.0, 3.0, N_FEATURES + 1)  # last entry: intercept
    y = x @ coef[:-1] + coef[-1] + rng.standard_t(df=2, size=N_ROWS)
    outliers = rng.random(N_ROWS) < OUTLIER_SHARE
    y[outliers] += rng.choice([-1.0, 1.0], outliers.sum()) * rng.uniform(50, 200, outliers.sum())
    design = np.ascontiguousarray(np.hstack([x, np.ones((N_ROWS, 1))]))
    return x, design, y, coef


def run_engine(design, y):
    engine = NativeCpuEngine("float64", design.shape[1])
    started = time.perf_counter()
    for start in range(0, N_ROWS, BATCH_ROWS):
        stop = start + BATCH_ROWS
        engine.update(design[start:stop], y[start:stop], None, batch_weight=float(stop - start),
                      n_features_in=N_FEATURES, fit_intercept=True, **ENGINE_ARGS)
    return time.perf_counter() - started, engine.state()["coefficients"]


def run_sgd(x, y):
    from sklearn.linear_model import SGDRegressor

    model = SGDRegressor(loss="huber", epsilon=1.345, penalty=None, random_state=0)
    started = time.perf_counter()
    for start in range(0, N_ROWS, BATCH_ROWS):
        model.partial_fit(x[start:start + BATCH_ROWS], y[start:start + BATCH_ROWS])
    elapsed = time.perf_counter() - started
    return elapsed, np.append(model.coef_, model.intercept_)


def run_huber(x, y):
    from sklearn.linear_model import HuberRegressor

    model = HuberRegressor(epsilon=1.35, alpha=0.0, max_iter=1000)
    started = time.perf_counter()
    model.fit(x, y)
    elapsed = time.perf_counter() - started
    return elapsed, np.append(model.coef_, model.intercept_)


def peer_comparison():
    x, design, y, truth = make_data(np.random.default_rng(SEED))
    rows = {}
    for name, run in (("engine", lambda: run_engine(design, y)),
                      ("SGDRegressor.partial_fit", lambda: run_sgd(x, y)),
                      ("HuberRegressor.fit", lambda: run_huber(x, y))):
        elapsed, coef = run()
        rows[name] = {"seconds": elapsed, "coef_error": float(np.linalg.norm(coef - truth))}
    engine = rows["engine"]
    print(f"\npeer comparison: {N_ROWS:,} rows x {N_FEATURES} features + intercept, t(2) noise, "
          f"{OUTLIER_SHARE:.0%} gross outliers, batches of {BATCH_ROWS:,}")
    print(f"{'method':>26} {'wall s':>9} {'|coef - true|':>14} {'engine time ratio':>18} {'engine error ratio':>19}")
    for name, row in rows.items():
        print(f"{name:>26} {row['seconds']:>9.3f} {row['coef_error']:>14.5f} "
              f"{engine['seconds'] / row['seconds']:>18.3f} {engine['coef_error'] / row['coef_error']:>19.3f}")
    return rows


def scaling(rows=400_000, cols=64):
    design, y = batch(rows, cols, seed=5)
    thread_counts = sorted({1, 2, os.cpu_count() or 1})
    updates = [updater(design, y, threads) for threads in thread_counts]
    seconds = interleaved_best([update for update, _ in updates], repeats=3)
    times = {threads: {"seconds": best, "iterations": last["result"]["iterations"]}
             for threads, best, (_, last) in zip(thread_counts, seconds, updates, strict=True)}
    print(f"\nscaling: one update of {rows:,} x {cols} float64 (n*p*p = {rows * cols * cols:,})")
    for threads, row in times.items():
        print(f"  n_threads={threads}: {row['seconds'] * 1e3:.1f} ms ({row['iterations']} iterations), "
              f"speed-up {times[1]['seconds'] / row['seconds']:.2f}x")
    return {str(k): v for k, v in times.items()}


def main():
    return {"peers": peer_comparison(), "scaling": scaling()}


if __name__ == "__main__":
    main()
