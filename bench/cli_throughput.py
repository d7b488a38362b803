"""Throughput of `vintrel fit` on files against the estimator fed the same
batches from memory.

The data is the demonstration's: 2,000,000 rows of a dozen features in
Parquet (written under results/demo/ by examples/cli_demo.py if missing),
and its first 500,000 rows as CSV. Each contender folds the same batches of
100,000 rows; the command also reads, converts and encodes them, collects
the categorical levels in a first pass and writes the model file. Runs
alternate between the contenders; the best wall time of each is reported,
with the median processor time of all threads, and that of reading and
encoding the batches without fitting them.
"""

import contextlib
import io
import pathlib
import resource
import statistics
import sys
import tempfile
import time

import numpy as np
import pyarrow.csv as pacsv
import pyarrow.parquet as pq

from vintrel import IncrementalHuberRegressor
from vintrel.cli import main as vintrel
from vintrel.cli.dataset import DataSet
from vintrel.cli.encoding import FeatureLayout
from vintrel.cli.fit_run import BatchSource

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "examples"))
import cli_demo

BATCH_ROWS = 100_000
CSV_ROWS = 500_000
REPEATS = 5
OPTIONS = ["--target", "energy_kwh", "--categorical", "region", "--batch-rows", str(BATCH_ROWS), "--quiet"]


def encoded_batches(path):
    """The batches the command folds, read and encoded by its own code."""
    data = DataSet.open(str(path))
    features = [name for name in data.schema.names if name not in ("meter_id", "energy_kwh")]
    layout = FeatureLayout(tuple(features), {"region": tuple(sorted(cli_demo.REGIONS))}, "energy_kwh")
    source = BatchSource(data, layout, np.dtype(np.float64), BATCH_ROWS, drop_missing=False)
    return ((encoded.X, encoded.y) for chunk, encoded in source.batches() if chunk.rows)


def read_only(path):
    def run():
        for _ in encoded_batches(path):
            pass
    return run


def fit_from_memory(batches):
    def run():
        model = IncrementalHuberRegressor()
        for X, y in batches:
            model.partial_fit(X, y)
    return run


def fit_command(path, model_path):
    def run():
        with contextlib.redirect_stdout(io.StringIO()):
            status = vintrel(["fit", str(path), *OPTIONS, "--model", str(model_path)])
        assert status == 0
    return run


def processor_seconds():
    usage = resource.getrusage(resource.RUSAGE_SELF)
    return usage.ru_utime + usage.ru_stime


def run_once(function):
    """Wall and processor time (all threads) of one run."""
    processor, started = processor_seconds(), time.perf_counter()
    function()
    return time.perf_counter() - started, processor_seconds() - processor


def compare(label, path, rows, model_path, repeats):
    """The command, the estimator on the batches in memory, and reading
    and encoding alone (what the command adds)."""
    contenders = [fit_command(path, model_path), fit_from_memory(list(encoded_batches(path))), read_only(path)]
    for contender in contenders:
        contender()  # warm-up
    # One run of each in turn, so that load from other processes hits
    # them alike.
    runs = [[run_once(contender) for contender in contenders] for _ in range(repeats)]
    (command, command_cpu), (memory, memory_cpu), (_, reading_cpu) = (
        (min(run[k][0] for run in runs), statistics.median(run[k][1] for run in runs)) for k in range(3))
    ratio = memory / command
    print(f"{label:>28} {rows / command:>14,.0f} {rows / memory:>14,.0f} {ratio:>12.1%}"
          f" {command_cpu:>9.2f} s {memory_cpu:>9.2f} s {reading_cpu:>9.2f} s")
    return {"rows": rows, "command_rows_per_s": rows / command, "memory_rows_per_s": rows / memory,
            "ratio": ratio, "command_cpu_s": command_cpu, "memory_cpu_s": memory_cpu,
            "read_and_encode_cpu_s": reading_cpu}


def main():
    cli_demo.generate()
    parquet = cli_demo.OUT / "train.parquet"
    with tempfile.TemporaryDirectory() as scratch:
        csv = pathlib.Path(scratch) / "train.csv"
        started = time.perf_counter()
        pacsv.write_csv(pq.read_table(parquet).slice(0, CSV_ROWS), csv)
        print(f"\nwrote {CSV_ROWS:,} rows as CSV ({csv.stat().st_size / 2**20:,.0f} MiB) "
              f"in {time.perf_counter() - started:.1f} s")
        print(f"\nvintrel fit vs the estimator fed the same batches of {BATCH_ROWS:,} rows from memory "
              f"(best of {REPEATS} runs, alternated; processor time: median, all threads)")
        print(f"{'data':>28} {'command rows/s':>14} {'memory rows/s':>14} {'command/mem':>12}"
              f" {'cpu command':>11} {'cpu memory':>11} {'cpu reading':>11}")
        figures = {
            "parquet": compare(f"Parquet, {2_000_000:,} rows", parquet, cli_demo.TRAIN_ROWS,
                               pathlib.Path(scratch) / "p.npz", repeats=REPEATS),
            "csv": compare(f"CSV, {CSV_ROWS:,} rows", csv, CSV_ROWS, pathlib.Path(scratch) / "c.npz", repeats=REPEATS),
        }
    return figures


if __name__ == "__main__":
    main()
