"""`vintrel predict`: stream a data set through a saved model and write the
predictions, batch by batch.

Rows with an empty, NaN or infinite feature stop the command (`--nan
error`), are left out (`--nan drop`) or get a null prediction (`--nan
keep`), which keeps the output row for row in line with the input."""

import argparse
import warnings
from dataclasses import dataclass, field

import numpy as np
import pyarrow as pa
from numpy.typing import NDArray

import vintrel.model_file as model_file
from vintrel.cli.dataset import DataSet
from vintrel.cli.encoding import Array, Encoder, FeatureLayout
from vintrel.cli.errors import CommandError, no_such_column
from vintrel.cli.model_record import layout_of
from vintrel.cli.outputs import check_writable, output_format, table_writer
from vintrel.cli.printable import printable
from vintrel.cli.progress import Progress, progress_display
from vintrel.cli.row_outputs import RowOutputs
from vintrel.estimator import IncrementalHuberRegressor

PREDICTION = "prediction"


@dataclass
class _Tally:
    rows: int = 0
    written: int = 0
    dropped: int = 0
    nulls: int = 0
    unseen: dict[str, int] = field(default_factory=dict)


def run_predict(args: argparse.Namespace) -> int:
    """The command: returns its exit status."""
    saved = model_file.read(args.model)
    model = saved.estimator
    if not hasattr(model, "coef_"):
        raise CommandError(f"{args.model}: the model has not started fitting (its stream was stopped "
                           f"before enough rows arrived); resume the fit first")
    features = layout_of(saved, args.model)
    layout = FeatureLayout(features.columns, features.levels)  # no target or weight needed
    data = DataSet.open(args.data)
    output_format(args.output)
    check_writable(args.output, data.files, "--output", [("the model file", args.model)])
    keep = list(dict.fromkeys(args.keep))
    for name in keep:
        if name not in data.schema.names:
            raise no_such_column(name, data.schema.names, data.source)
    if PREDICTION in keep:
        raise CommandError(f"--keep {PREDICTION}: the output's prediction column has that name")
    outputs = RowOutputs.checked(args, model, features.target, data.schema.names, keep)
    layout = outputs.layout(layout, features.target)
    progress = progress_display("predict", data.total_rows(), 0, args.quiet)
    try:
        tally = _write_predictions(args, model, layout, data, keep, progress, outputs)
    finally:
        progress.close()
    print(printable(f"wrote {tally.written:,} predictions for {tally.rows:,} rows to {args.output}"))
    # Scored rows also count as missing where their target is.
    missing = "features or target" if outputs.scores else "features"
    if tally.dropped:
        print(f"left out {tally.dropped:,} rows with empty, NaN or infinite {missing}")
    if tally.nulls:
        print(f"{tally.nulls:,} rows with empty, NaN or infinite {missing} have a null prediction")
    for name, count in tally.unseen.items():
        print(printable(f"{count:,} rows have a level of '{name}' not seen when fitting; their indicators are all 0"))
    return 0


def _write_predictions(args: argparse.Namespace, model: IncrementalHuberRegressor, layout: FeatureLayout,
                       data: DataSet, keep: list[str], progress: Progress, outputs: RowOutputs) -> _Tally:
    """Predict chunk by chunk into the output, which appears only once
    every chunk is written."""
    columns = [*layout.used_columns, *(name for name in keep if name not in layout.used_columns)]
    encoder = Encoder(layout, model.coef_.dtype, args.nan != "error",
                      "use --nan drop to leave such rows out, or --nan keep to give them a null prediction")
    keep_rows = args.nan == "keep"
    tally = _Tally()
    with table_writer(args.output) as write:
        for chunk in data.chunks(columns, args.batch_rows, {}, numbers=layout.numbers, text=layout.categorical):
            if chunk.rows == 0:
                continue
            encoded = encoder.encode(chunk.parts, chunk.locate)
            values = _predict(model, encoded.X)
            added = outputs.columns(model, encoded, values)
            predictions: Array | pa.Array = values
            kept = {name: _as_written(chunk.parts, name) for name in keep}
            if encoded.kept is not None and keep_rows:
                predictions = spread(values, encoded.kept)
                added = {name: spread(column.to_numpy(zero_copy_only=False), encoded.kept)
                         for name, column in added.items()}
                tally.nulls += encoded.dropped
            elif encoded.kept is not None:
                rows = pa.array(encoded.kept)
                kept = {name: column.filter(rows) for name, column in kept.items()}
                tally.dropped += encoded.dropped
            write(pa.table({**kept, PREDICTION: predictions, **added}))
            tally.rows += chunk.rows
            tally.written += len(predictions)
            for name, count in encoded.unseen.items():
                tally.unseen[name] = tally.unseen.get(name, 0) + count
            progress.advance(chunk.rows, f"{tally.written:,} predictions")
        if tally.rows == 0:
            raise CommandError(f"{data.source}: the data set has no rows; nothing was written")
    return tally


def _predict(model: IncrementalHuberRegressor, X: Array) -> Array:
    """The model's predictions for the rows of `X`; none when every row of
    a batch was left out."""
    if X.shape[0] == 0:
        return np.empty(0, dtype=model.coef_.dtype)
    with warnings.catch_warnings():
        # The arrays carry no column names; the layout matched them.
        warnings.filterwarnings("ignore", message="X does not have valid feature names")
        return model.predict(X)


def spread(values: Array, kept: NDArray[np.bool_]) -> pa.Array:
    """The values of the kept rows in place among all rows, null in the
    rows left out."""
    full = np.zeros(kept.shape[0], dtype=values.dtype)
    full[kept] = values
    return pa.array(full, mask=~kept)


def _as_written(parts: list[pa.RecordBatch], name: str) -> pa.ChunkedArray:
    """A kept column over the chunk, with the type it has in the data set
    (categorical features are read dictionary-encoded)."""
    arrays = [part.column(name) for part in parts]
    return pa.chunked_array([a.dictionary_decode() if pa.types.is_dictionary(a.type) else a for a in arrays])
