"""`vintrel fit` in one process against `vintrel fit --dask local:2` (two
single-threaded worker processes), with `--passes 1` (the merge of the
files' streams alone) and with its default passes, each as a command in a
process of its own, on 8,000,000 x 20 contaminated rows in 16 Parquet
files: wall time, and the coefficient error of each against the whole-data
Huber M-estimate at the same residual scale, which shows what one merge of
partition streams costs in accuracy and what the passes buy back. Then the size of a partition's
state and the time of a merge, measured in this process, and a model of
how time and traffic grow to 100 workers and 10^10 rows.

Run: python bench/dask_fit.py [--rows N] [--files F] [--repeats R]
"""

import argparse
import math
import pathlib
import pickle
import re
import subprocess
import sys
import tempfile
import time

import numpy as np
import pyarrow as pa
import pyarrow.parquet as pq

from vintrel import IncrementalHuberRegressor
from vintrel._merge import merge_states
from vintrel.datasets import make_contaminated_regression

DATA = pathlib.Path(__file__).resolve().parent.parent / "results" / "dask-bench"
FEATURES = 20
SEED = 2027
NAMES = [f"x{j:02d}" for j in range(FEATURES)]
BATCH_ROWS = 100_000  # the command's default
# Scheduler work per task (Dask's documented order of magnitude); it is
# serial, on the scheduler.
SCHEDULER_SECONDS_PER_TASK = 1e-3


# ------------------------------------------------------------------- data


def write_files(rows, files):
    """The data set as `files` Parquet files under results/, written once;
    returns the folder and the true coefficients."""
    folder = DATA / f"{rows}x{FEATURES}-{files}"
    truth = folder / "truth.npy"
    if truth.exists():
        return folder, np.load(truth)
    folder.mkdir(parents=True, exist_ok=True)
    X, y, coef, _ = make_contaminated_regression(rows, FEATURES, random_state=SEED)
    for index, part in enumerate(np.array_split(np.arange(rows), files)):
        columns = {name: X[part, j] for j, name in enumerate(NAMES)} | {"y": y[part]}
        pq.write_table(pa.table(columns), folder / f"part-{index:03d}.parquet", row_group_size=len(part))
    np.save(truth, coef)
    return folder, coef


def read_all(folder):
    table = pq.read_table(sorted(folder.glob("*.parquet")))
    return np.column_stack([table[name].to_numpy() for name in NAMES]), table["y"].to_numpy()


# --------------------------------------------------------- the command


def run_command(folder, model_path, extra):
    """`vintrel fit` in a fresh process: its wall time, and the fit's own
    wall time as the command reports it."""
    argv = [sys.executable, "-m", "vintrel.cli", "fit", str(folder), "--target", "y", "--batch-rows",
            str(BATCH_ROWS), "--model", str(model_path), "--quiet", *extra]
    started = time.perf_counter()
    finished = subprocess.run(argv, capture_output=True, text=True, check=True)
    seconds = time.perf_counter() - started
    fit_seconds = float(re.search(r"^wall time\s+([\d.]+) s", finished.stdout, re.MULTILINE).group(1))
    return seconds, fit_seconds


def compare_commands(folder, repeats):
    """The commands, alternated; the best times of each and their models."""
    contenders = {"vintrel fit": [], "--dask local:2 --passes 1": ["--dask", "local:2", "--passes", "1"],
                  "vintrel fit --dask local:2": ["--dask", "local:2"]}
    best = {name: (math.inf, math.inf) for name in contenders}
    models = {}
    with tempfile.TemporaryDirectory() as scratch:
        for _ in range(repeats):
            for index, (name, extra) in enumerate(contenders.items()):
                path = pathlib.Path(scratch) / f"{index}.npz"
                seconds, fit_seconds = run_command(folder, path, extra)
                best[name] = (min(best[name][0], seconds), min(best[name][1], fit_seconds))
                models[name] = IncrementalHuberRegressor.load(path)
    return best, models


# ----------------------------------------------------------- in process


def merge_cost(model):
    """The pickled size of a fitted model's state and the time of one merge
    of eight such states, as a merge task does it."""
    state = model.export_state()
    started = time.perf_counter()
    for _ in range(20):
        merge_states([state] * 8)
    return len(pickle.dumps(state)), (time.perf_counter() - started) / 20


# -------------------------------------------------------------- reference


def m_estimate(X, y, model, rows_per_pass=1_000_000, tol=1e-13):
    """The whole-data Huber M-estimate at the model's residual scale, by
    exact Newton steps (indicator curvature) over all rows, in the model's
    internal units; returns coefficients in the caller's units."""
    state = model.export_state()
    scaling = state.scaling
    tau = float(model.epsilon)
    beta = state.engine.coefficients.astype(np.float64)
    for _ in range(50):
        score = np.zeros(beta.size)
        curvature = np.zeros((beta.size, beta.size))
        for begin in range(0, len(y), rows_per_pass):
            design = scaling.design(X[begin:begin + rows_per_pass], np.float64)
            residuals = scaling.target(y[begin:begin + rows_per_pass], np.float64) - design @ beta
            score += design.T @ np.clip(residuals, -tau, tau)
            inside = design[np.abs(residuals) <= tau]
            curvature += inside.T @ inside
        step = np.linalg.solve(curvature, score)
        beta += step
        if np.linalg.norm(step) <= tol * (1 + np.linalg.norm(beta)):
            break
    return scaling.to_caller_units(beta)[0]


def error(coef, reference, spread):
    """Coefficient error in units of the target: every feature counts by
    its spread."""
    return float(np.linalg.norm((coef - reference) * spread))


# ------------------------------------------------------------------ model


def growth_model(rows, files, fold_seconds_per_row, merge_seconds, state_bytes, start_seconds):
    """A written model of time and traffic, with the measured constants."""
    p = FEATURES + 1
    partition_rows = rows // files
    lines = [
        "\nmodel of growth (p = features + intercept; N rows in P files of the size above; W workers):",
        f"  state of a partition: p^2 + p = {p * p + p} numbers; pickled with its scaling and statistics "
        f"{state_bytes:,} bytes",
        f"  c_row   fold cost per row on one worker (reading Parquet, encoding, the update), from the Dask fit "
        f"above: {fold_seconds_per_row * 1e9:.0f} ns",
        f"  t_merge one merge task of 8 states (sums, a p x p Cholesky solve), measured: {merge_seconds * 1e3:.2f} ms",
        f"  t_task  scheduler work per task, serial on the scheduler: ~{SCHEDULER_SECONDS_PER_TASK * 1e3:.0f} ms "
        f"(Dask's order of magnitude, not measured)",
        f"  t_start the command's time outside the fit (interpreter, planning, the start, starting the local "
        f"cluster): {start_seconds:.2f} s here",
        "  time     T ~ t_start + max(fold, scheduler) + ceil(log8 P) * t_merge, with fold = ceil(P / W) * (N / P) * "
        "c_row",
        "           and scheduler = 8/7 * P * t_task (P fold tasks and P/7 merge tasks, dispatched while others run)",
        "  traffic  each partition's state goes to a merge task and to the client (for progress and figures), each",
        "           merge's state to the next level: ~ (1 + 8/7) * P states, plus the start once to each worker;",
        "           rows never leave the worker that reads them; a pass is one more read and as many tasks.",
        f"{'rows N':>16} {'workers W':>10} {'files P':>9} {'fold':>10} {'scheduler':>10} {'merges':>8} "
        f"{'state traffic':>14}",
    ]
    for n_rows, workers in ((rows, 2), (rows, 16), (10**9, 100), (10**10, 100)):
        partitions = max(1, n_rows // partition_rows)
        fold = math.ceil(partitions / workers) * (n_rows / partitions) * fold_seconds_per_row
        levels = max(1, math.ceil(math.log(partitions, 8)))
        scheduler = 8 / 7 * partitions * SCHEDULER_SECONDS_PER_TASK
        traffic = (1 + 8 / 7) * partitions * state_bytes
        lines.append(f"{n_rows:>16,} {workers:>10} {partitions:>9,} {fold:>9,.1f}s {scheduler:>9.1f}s "
                     f"{levels * merge_seconds * 1e3:>6.1f}ms {traffic / 2**20:>12.1f}MB")
    data_bytes = n_rows * (FEATURES + 1) * 8
    bound = "the fold" if fold >= scheduler else "the scheduler"
    lines += [
        f"  At 10^10 rows on 100 workers {bound} bounds the time ({fold:,.0f} s of folding per worker against "
        f"{scheduler:,.0f} s of",
        f"  scheduling); the merges add {levels * merge_seconds * 1e3:.1f} ms, and the states are "
        f"{traffic / 2**20:,.0f} MB of traffic against {data_bytes / 2**40:.1f} TiB of data read where it lies.",
        "  Time falls as 1/W while every worker has files to read and tasks last longer than W * t_task; larger",
        "  files shrink P, the scheduling and the traffic alike. What the client does alone grows with P, not N:",
        "  reading each file's metadata for the row count, and with --categorical one pass over those columns.",
    ]
    return "\n".join(lines)


# ------------------------------------------------------------------- main


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rows", type=int, default=8_000_000)
    parser.add_argument("--files", type=int, default=16)
    parser.add_argument("--repeats", type=int, default=3)
    args = parser.parse_args()

    folder, truth = write_files(args.rows, args.files)
    print(f"data: {args.rows:,} x {FEATURES} in {args.files} Parquet files under {folder}; batches of "
          f"{BATCH_ROWS:,} rows")
    best, models = compare_commands(folder, args.repeats)
    state_bytes, merge_seconds = merge_cost(models["vintrel fit --dask local:2"])

    X, y = read_all(folder)
    spread = X.std(axis=0)
    single = models["vintrel fit"]
    reference = m_estimate(X, y, single)
    single_error = error(single.coef_, reference, spread)

    print(f"\nthe command in a process of its own (best of {args.repeats}, alternated)")
    print(f"{'contender':>30} {'process s':>10} {'fit s':>7} {'process / one':>14} {'error vs M-est':>15} "
          f"{'/ one':>6} {'error vs truth':>15}")
    for name, model in models.items():
        assert model.scale_ == single.scale_, "both fix their units on the same first batch"
        seconds, fit_seconds = best[name]
        print(f"{name:>30} {seconds:10.2f} {fit_seconds:7.2f} {seconds / best['vintrel fit'][0]:14.3f} "
              f"{error(model.coef_, reference, spread):15.3e} "
              f"{error(model.coef_, reference, spread) / single_error:6.2f} {error(model.coef_, truth, spread):15.3e}")

    start_seconds = best["vintrel fit --dask local:2"][0] - best["vintrel fit --dask local:2"][1]
    fold_seconds_per_row = best["vintrel fit --dask local:2"][1] * 2 / args.rows
    print(growth_model(args.rows, args.files, fold_seconds_per_row, merge_seconds, state_bytes, start_seconds))


if __name__ == "__main__":
    main()
