"""One update of n = 200,000, p = 32 float64 (penalty "none") against the
GEMM floor: NumPy's X.T @ (w[:, None] * X) on the same array, times
(iterations + 1), since each Newton iteration and the final information
increment form one weighted Gram. Then streams 200 equal batches and
reports the process's peak memory after the first and after the last."""

import resource

import numpy as np

from engine_limits import batch
from vintrel import NativeCpuEngine

from timing import interleaved_best

ROWS, COLS = 200_000, 32
UPDATE_ARGS = dict(batch_weight=float(ROWS), n_features_in=COLS - 1, fit_intercept=True, tau=1.345,
                   penalty="none", lambda_scale=1.0, bandwidth_scale=1.0, max_iter=50, tol=1e-8, ridge=0.0)


def peak_rss_mib():
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024


def time_update():
    design, y = batch(ROWS, COLS, seed=11)
    weights = np.random.default_rng(13).uniform(0.5, 1.0, ROWS)
    results = {}

    def one_update():
        engine = NativeCpuEngine("float64", COLS)
        results["last"] = engine.update(design, y, None, **UPDATE_ARGS)

    update_time, gram_time = interleaved_best(
        [one_update, lambda: design.T @ (weights[:, None] * design)], repeats=5)
    iterations = results["last"]["iterations"]
    ratio = update_time / ((iterations + 1) * gram_time)
    print(f"update {ROWS:,} x {COLS} float64: {update_time * 1e3:.1f} ms, {iterations} iterations; "
          f"numpy weighted Gram {gram_time * 1e3:.1f} ms; "
          f"update / ((iterations + 1) * gram) = {ratio:.2f} (target <= 1.5)")
    return {"update_s": update_time, "iterations": iterations, "gram_s": gram_time, "ratio": ratio}


def stream_memory(batches=200, rows=20_000):
    design, y = batch(rows, COLS, seed=12)
    engine = NativeCpuEngine("float64", COLS)
    args = dict(UPDATE_ARGS, batch_weight=float(rows))
    engine.update(design, y, None, **args)
    after_first = peak_rss_mib()
    for _ in range(batches - 1):
        engine.update(design, y, None, **args)
    after_last = peak_rss_mib()
    print(f"streamed {batches} batches of {rows:,} x {COLS}: peak RSS {after_first:.1f} MiB after the first, "
          f"{after_last:.1f} MiB after the last (growth {after_last - after_first:+.1f} MiB)")
    return {"batches": batches, "peak_after_first_mib": after_first, "peak_after_last_mib": after_last}


def main():
    # Memory first: the peak of the process only ever grows, so the larger
    # timing batch must not run before it.
    memory = stream_memory()
    return {"update": time_update(), "stream_memory": memory}


if __name__ == "__main__":
    main()
