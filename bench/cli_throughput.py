"""Throughput of `vintrel fit` on files against the estimator fed the same
batches from memory.

The data is the demonstration's: 2,000,000 rows of a dozen features in
Parquet (written under results/demo/ by examples/cli_demo.py if missing),
and its first 500,000 rows as CSV. Each contender folds the same batches of
100,000 rows; the command also reads, converts and encodes them, collects
the categorical levels in a first pass and writes the model file. Runs
alternate between the contenders; the best of each is reported.
"""

import contextlib
import io
import pathlib
import sys
import tempfile
import time

import pyarrow.csv as pacsv
import pyarrow.parquet as pq

from vintrel import IncrementalHuberRegressor
from vintrel.cli import main as vintrel
from vintrel.cli.dataset import DataSet
from vintrel.cli.encoding import Encoder, FeatureLayout

from timing import interleaved_best

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "examples"))
import cli_demo

BATCH_ROWS = 100_000
CSV_ROWS = 500_000
OPTIONS = ["--target", "energy_kwh", "--categorical", "region", "--batch-rows", str(BATCH_ROWS), "--quiet"]


def batches_in_memory(path):
    """The batches the command folds, encoded by its own code ahead of time."""
    data = DataSet.open(str(path))
    features = [name for name in data.schema.names if name not in ("meter_id", "energy_kwh")]
    layout = FeatureLayout(tuple(features), {"region": tuple(sorted(cli_demo.REGIONS))}, "energy_kwh")
    encoder = Encoder(layout, "float64", drop_missing=False)
    chunks = data.chunks(layout.used_columns, BATCH_ROWS, {}, numbers=layout.numbers, text=layout.categorical)
    encoded = (encoder.encode(chunk.parts, chunk.locate, with_target=True) for chunk in chunks if chunk.rows)
    return [(batch.X, batch.y) for batch in encoded]


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


def compare(label, path, rows, model_path, repeats):
    batches = batches_in_memory(path)
    command, memory = interleaved_best([fit_command(path, model_path), fit_from_memory(batches)],
                                       repeats=repeats)
    ratio = memory / command
    print(f"{label:>28} {rows / command:>14,.0f} {rows / memory:>14,.0f} {ratio:>12.1%}")
    return {"rows": rows, "command_rows_per_s": rows / command, "memory_rows_per_s": rows / memory,
            "ratio": ratio}


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
              f"(best of 3, alternated)")
        print(f"{'data':>28} {'command rows/s':>14} {'memory rows/s':>14} {'command/mem':>12}")
        figures = {
            "parquet": compare(f"Parquet, {2_000_000:,} rows", parquet, cli_demo.TRAIN_ROWS,
                               pathlib.Path(scratch) / "p.npz", repeats=3),
            "csv": compare(f"CSV, {CSV_ROWS:,} rows", csv, CSV_ROWS, pathlib.Path(scratch) / "c.npz", repeats=3),
        }
    return figures


if __name__ == "__main__":
    main()
