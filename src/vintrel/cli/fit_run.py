"""What a fit of the command reads, what it did and how it ends: the data
set's batches, the plan settled before reading, the record of a pass, and
saving and reporting the model. A fit in this process (`vintrel.cli.fit`,
with its passes in `vintrel.cli.fit_passes`) and a fit on a cluster
(`vintrel.cli.cluster_fit`) share them."""

import argparse
import sys
from collections.abc import Iterable, Iterator, Mapping
from dataclasses import dataclass, field
from typing import Any

import numpy as np
import pyarrow as pa
from numpy.typing import NDArray

import vintrel._model_format as model_format
from vintrel._stream import MIN_START_ROWS_PER_PARAMETER
from vintrel.cli.dataset import Chunk, DataSet
from vintrel.cli.encoding import Encoded, Encoder, FeatureLayout
from vintrel.cli.errors import EXIT_INTERRUPTED, CommandError, first_line
from vintrel.cli.file_identity import FileIdentity
from vintrel.cli.model_record import StreamRecord
from vintrel.cli.pass_record import PassRecord
from vintrel.cli.table import coefficient_table, counted, render_pairs
from vintrel.estimator import IncrementalHuberRegressor

Array = NDArray[np.floating[Any]]
# A fit needs at least this many rows of positive weight per parameter. With
# fewer, a fit can be exact on half of the rows, which makes the median
# absolute residual, and with it the residual scale and the Huber
# threshold, zero whatever the data say; and such a fit is the slowest
# kind, the whole data set at once on as many parameters as rows, nearly.
MIN_ROWS_PER_PARAMETER = 2


def check_enough_rows(rows: int, parameters: int, *, at_most: bool = False) -> None:
    """Refuse `rows` of positive weight (`at_most` them, when counted as a
    CSV file's lines) as too few to fit `parameters` robustly. No more rows
    than parameters are left to the estimator, which refuses them as soon
    as those few rows are read."""
    needed = MIN_ROWS_PER_PARAMETER * parameters
    if parameters < rows < needed:
        raise CommandError(f"too little data: {'at most ' * at_most}{rows:,} rows for {parameters:,} parameters; a "
                           f"robust fit needs at least {MIN_ROWS_PER_PARAMETER} rows per parameter ({needed:,} "
                           f"rows), and a stream starts at {MIN_START_ROWS_PER_PARAMETER} "
                           f"({MIN_START_ROWS_PER_PARAMETER * parameters:,} rows): fit fewer features or more rows")


@dataclass
class BatchSource:
    """Where a stream's batches come from: the data set, the columns read
    and how they become arrays."""

    data: DataSet
    layout: FeatureLayout
    dtype: np.dtype
    batch_rows: int
    drop_missing: bool

    def batches(self, skip: Mapping[str, int] | None = None) -> Iterator[tuple[Chunk, Encoded]]:
        """Chunks of `batch_rows` rows with their arrays, file after file,
        leaving out the first `skip[path]` rows of each file."""
        layout = self.layout
        chunks = self.data.chunks(layout.used_columns, self.batch_rows, skip or {}, numbers=layout.numbers,
                                  text=layout.categorical)
        return encoded_chunks(chunks, Encoder(layout, self.dtype, self.drop_missing))


@dataclass
class FitPlan(BatchSource):
    """Everything a fit needs before the first batch is read."""

    model: IncrementalHuberRegressor
    folded: dict[str, int] = field(default_factory=dict)  # rows of each file folded by earlier runs
    skipped: tuple[str, ...] = ()
    identities: dict[str, FileIdentity] = field(default_factory=dict)  # of the files, by path
    renamed: dict[str, str] = field(default_factory=dict)  # files folded under another path: path now -> then
    passes: PassRecord | None = None  # the passes of the resumed model

    @property
    def rows_folded_before(self) -> int:
        """Rows of this data set that earlier runs folded."""
        return sum(self.folded.get(str(path), 0) for path in self.data.files)


@dataclass
class FitRun:
    """What one pass of the stream did."""

    rows_read: int = 0
    rows_reread: int = 0  # by the passes after the stream
    rows_folded: int = 0
    dropped: int = 0
    updates: int = 0
    not_converged: list[int] = field(default_factory=list)
    seconds: float = 0.0
    read_through: dict[str, int] = field(default_factory=dict)
    rows_seen: list[int] = field(default_factory=list)
    paths: list[Array] = field(default_factory=list)
    last_batch: tuple[Array, Array] | None = None
    interrupted: bool = False
    error: CommandError | None = None
    # What the plot calls its panels, and figures printed after the usual ones.
    paths_title: str = "coefficient paths over the stream"
    residual_sample: str = "last batch"
    figures: list[tuple[str, str]] = field(default_factory=list)
    # The passes after the stream, as the model file keeps them, and
    # warnings printed once the results are.
    pass_record: PassRecord | None = None
    warnings: list[str] = field(default_factory=list)

    def record_chunk(self, chunk: Chunk, encoded: Encoded) -> None:
        """Count a chunk once its rows are folded."""
        self.rows_read += chunk.rows
        self.rows_folded += encoded.X.shape[0]
        self.dropped += encoded.dropped
        self.read_through.update(chunk.read_through)

    def record_update(self, model: IncrementalHuberRegressor, X: Array, y: Array) -> None:
        """Keep what the plot and the summary need after an update."""
        self.updates += 1
        if not model.converged_:
            self.not_converged.append(int(model.n_batches_))
        self.rows_seen.append(int(model.n_samples_seen_))
        self.paths.append(standardised_coef(model))
        self.last_batch = (X, y)


def standardised_coef(model: IncrementalHuberRegressor) -> NDArray[np.float64]:
    """Coefficients times the spread of their features (taken on the first
    batch), so that the paths of features on any scale share one axis."""
    scaling = model.export_state().scaling
    assert scaling is not None
    return np.asarray(model.coef_, dtype=np.float64) * scaling.x_scale


def encoded_chunks(chunks: Iterable[Chunk], encoder: Encoder) -> Iterator[tuple[Chunk, Encoded]]:
    """Chunks with their arrays; any failure to make them becomes a
    CommandError, so that the batches folded before it are saved."""
    stream = iter(chunks)
    while True:
        chunk = None
        try:
            chunk = next(stream, None)
            if chunk is None:
                return
            encoded = encoder.encode(chunk.parts, chunk.locate)
        except MemoryError as error:
            raise CommandError("out of memory reading a batch; try a smaller --batch-rows") from error
        except (ValueError, OSError, pa.ArrowException) as error:
            where = "reading the data set" if chunk is None else chunk.locate(0)
            raise CommandError(f"{where}: {first_line(error)}") from error
        yield chunk, encoded


# ------------------------------------------------------------------ finishing

def finish_fit(args: argparse.Namespace, plan: FitPlan, run: FitRun) -> int:
    """Save what the stream folded, write the plot and print the results;
    returns the exit status."""
    model = plan.model
    if run.error is not None and run.updates == 0 and run.rows_folded == 0:
        raise run.error  # nothing new to keep
    if run.error is None and not run.interrupted and not hasattr(model, "coef_"):
        _start_on_what_is_held(model, plan.layout.feature_names, run, args.quiet)
    if not hasattr(model, "n_features_in_"):
        raise CommandError("interrupted before any rows were folded; nothing was written",
                           status=EXIT_INTERRUPTED)
    complete = run.error is None and not run.interrupted
    files = {**plan.folded, **run.read_through}
    identities = {path: plan.identities[path] for path in files if path in plan.identities}
    record = StreamRecord(plan.layout, plan.batch_rows, plan.drop_missing, plan.data.source, complete, files,
                          identities, passes=run.pass_record)
    _save(args.model, model, plan.layout, record.to_metadata())
    if args.plot is not None and run.paths:
        _plot(args.plot, plan, run)
    _print_results(args, model, run)
    for warning in run.warnings:
        print(f"warning: {warning}", file=sys.stderr, flush=True)
    if run.error is not None:
        raise CommandError(f"{run.error}; the model as of the last completed batch is saved in {args.model} "
                           f"(after fixing the data, continue with --resume {args.model})")
    passes = run.pass_record
    if run.interrupted and passes is not None and passes.in_progress is not None:
        done = passes.n_passes
        raise CommandError(f"interrupted in pass {done + 1} after {passes.in_progress.rows:,} of its rows: the "
                           f"estimate of pass "
                           f"{done}{' (the stream)' * (done == 1)} and the pass so far are saved in {args.model}; "
                           f"continue with --resume {args.model}", status=EXIT_INTERRUPTED)
    if run.interrupted:
        raise CommandError(f"interrupted: the model as of batch {getattr(model, 'n_batches_', 0)} "
                           f"({getattr(model, 'n_samples_seen_', 0):,} rows) is saved in {args.model}; "
                           f"continue with --resume {args.model}", status=EXIT_INTERRUPTED)
    return 0


def _save(path: str, model: IncrementalHuberRegressor, layout: FeatureLayout, metadata: dict[str, Any]) -> None:
    """Write the model file. The state records the layout's categorical
    columns, so that the model, loaded in Python, predicts on data frames
    whose columns are categorical."""
    state = model.export_state()
    if layout.encoding is not None:
        state = state.replace(encoding=layout.encoding, feature_names_in=tuple(layout.feature_names))
    model_format.write(path, state, metadata)


def _start_on_what_is_held(model: IncrementalHuberRegressor, feature_names: list[str], run: FitRun,
                           quiet: bool) -> None:
    """At the end of a stream too short to have started, fit the rows the
    estimator holds as one batch."""
    if run.rows_read == 0 and not hasattr(model, "n_features_in_"):
        raise CommandError("the data set has no rows")
    pending = model.export_state().pending if hasattr(model, "n_features_in_") else None
    if pending is None:
        raise CommandError(f"no rows left to fit: all {run.dropped:,} rows read had empty, NaN or "
                           f"infinite values")
    weights = pending.sample_weight
    rows = pending.X.shape[0] if weights is None else int(np.count_nonzero(weights))
    parameters = len(feature_names) + int(model.fit_intercept)
    check_enough_rows(rows, parameters)
    if not quiet:  # a wide one can take a while
        print(f"fit: {counted(rows, 'row')} of positive weight, too few to start a stream "
              f"({MIN_START_ROWS_PER_PARAMETER * parameters:,} needed); fitting them as one batch", file=sys.stderr,
              flush=True)
    try:
        model.fit(pending.X, pending.y, sample_weight=pending.sample_weight)
    except ValueError as error:
        raise CommandError(f"too little data: {error}") from error
    model.feature_names_in_ = np.asarray(feature_names, dtype=object)
    run.record_update(model, pending.X, pending.y)
    run.figures.append(("estimate", "the whole-data M-estimate (the data set fitted as one batch)"))


def _plot(path: str, plan: FitPlan, run: FitRun) -> None:
    from pathlib import Path

    from vintrel.cli.plot import write_plot

    model = plan.model
    assert run.last_batch is not None
    X, y = run.last_batch
    residuals = (np.asarray(y, dtype=np.float64) - (X @ model.coef_ + model.intercept_)) / model.scale_
    write_plot(Path(path), plan.layout.feature_names, run.rows_seen, np.vstack(run.paths), residuals,
               float(model.epsilon), paths_title=run.paths_title, residual_sample=run.residual_sample)


def _print_results(args: argparse.Namespace, model: IncrementalHuberRegressor, run: FitRun) -> None:
    if hasattr(model, "coef_"):
        print(coefficient_table(model).render())
        print()
    rate = (run.rows_read + run.rows_reread) / run.seconds if run.seconds > 0 else 0.0
    figures = [("rows read", f"{run.rows_read:,}"), ("batches folded", f"{run.updates:,}"),
               ("wall time", f"{run.seconds:.2f} s"), ("rows per second", f"{rate:,.0f}"),
               ("not converged", counted(len(run.not_converged), "update")
                + (f" (batches {', '.join(map(str, run.not_converged[:10]))})" if run.not_converged else ""))]
    if run.dropped:
        figures.append(("rows dropped", f"{run.dropped:,} (empty, NaN or infinite values)"))
    if hasattr(model, "n_samples_seen_"):
        figures.append(("model", f"{counted(model.n_samples_seen_, 'row')} in {counted(model.n_batches_, 'update')}, "
                                 f"scale {model.scale_:.6g}"))
    figures += run.figures
    figures.append(("model file", str(args.model)))
    if args.plot is not None and run.paths:
        figures.append(("plot", str(args.plot)))
    print(render_pairs(figures))
