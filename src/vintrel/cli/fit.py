"""`vintrel fit`: stream a data set through the estimator, batch by batch,
and save the model; Ctrl-C stops after the current batch and keeps what was
folded. With --dask the stream runs on a cluster instead (see
`vintrel.cli.dask_fit`)."""

import argparse
import importlib
import time
import warnings
from collections.abc import Callable, Iterable, Iterator, Mapping
from dataclasses import dataclass, field
from typing import Any

import numpy as np
import pyarrow as pa
from numpy.typing import NDArray

from vintrel import model_file
from vintrel.cli.arguments import EXIT_USAGE
from vintrel.cli.columns import choose_columns
from vintrel.cli.dataset import Chunk, DataSet
from vintrel.cli.encoding import Encoded, Encoder, FeatureLayout, levels_of
from vintrel.cli.errors import EXIT_INTERRUPTED, CommandError, first_line
from vintrel.cli.interrupt import StopRequest, stop_on_interrupt
from vintrel.cli.model_record import StreamRecord
from vintrel.cli.outputs import check_writable
from vintrel.cli.prefetch import Prefetched
from vintrel.cli.progress import Progress, progress_display
from vintrel.cli.table import coefficient_table, counted, render_pairs
from vintrel.estimator import IncrementalHuberRegressor, NotConvergedWarning

Array = NDArray[np.floating[Any]]

DEFAULT_BATCH_ROWS = 100_000
# A categorical column with more levels than this is refused: one
# indicator per level would make a design too wide to be useful.
MAX_LEVELS = 1_000
# Estimator settings the options set, with their defaults; a resumed
# stream keeps the model's.
SETTINGS: dict[str, Any] = {"penalty": "none", "epsilon": 1.35, "alpha": 1.0}


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

    @property
    def rows_folded_before(self) -> int:
        """Rows of this data set that earlier runs folded."""
        return sum(self.folded.get(str(path), 0) for path in self.data.files)


@dataclass
class FitRun:
    """What one pass of the stream did."""

    rows_read: int = 0
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


def run_fit(args: argparse.Namespace) -> int:
    """The command: returns its exit status."""
    on_cluster = _cluster_fit(args)
    plan = plan_fit(args)
    for note in _notes(plan):
        if not args.quiet:
            print(note)
    if on_cluster is not None:
        return on_cluster(args, plan)
    progress = progress_display("fit", plan.data.total_rows(), plan.rows_folded_before, args.quiet)
    # Saving happens while Ctrl-C still only asks to stop, so the model
    # file is never left half-written by it.
    with stop_on_interrupt() as stop:
        try:
            run = stream_fit(plan.model, plan.layout.feature_names, plan.batches(plan.folded), progress, stop)
        finally:
            progress.close()
        return finish_fit(args, plan, run)


def _cluster_fit(args: argparse.Namespace) -> Callable[[argparse.Namespace, FitPlan], int] | None:
    """With --dask, the function that runs the planned fit on the cluster."""
    if args.dask is None:
        if args.refine:
            raise CommandError("--refine refines the merge of a fit on Dask; it needs --dask", status=EXIT_USAGE)
        return None
    if args.resume is not None:
        raise CommandError("--resume continues a stream in this process and cannot be combined with --dask; "
                           "resume without --dask, or fit the whole data set again on Dask", status=EXIT_USAGE)
    try:
        # First the package's module, whose error names the extra to install.
        importlib.import_module("vintrel.dask")
        from vintrel.cli.dask_fit import fit_on_dask
    except ImportError as error:
        raise CommandError(f"--dask: {first_line(error)}") from error
    return fit_on_dask


def stream_fit(model: IncrementalHuberRegressor, feature_names: list[str],
               batches: Iterable[tuple[Chunk, Encoded]], progress: Progress, stop: StopRequest) -> FitRun:
    """Fold chunks one after another until they run out, a chunk is bad
    (recorded in `FitRun.error`) or a stop is requested after a batch. The
    next chunk is read and encoded while the current one is folded."""
    run = FitRun()
    started = time.perf_counter()
    with Prefetched(batches) as ahead:
        while not stop:
            try:
                item = next(ahead, None)
                if item is None:
                    break
                chunk, encoded = item
                if encoded.X.shape[0]:
                    assert encoded.y is not None
                    _fold(model, feature_names, encoded.X, encoded.y, encoded.weights, run, progress)
            except CommandError as error:
                run.error = error
                break
            run.record_chunk(chunk, encoded)
            if chunk.rows:
                progress.advance(chunk.rows, _update_note(model))
    run.interrupted = bool(stop)
    run.seconds = time.perf_counter() - started
    return run


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


def _fold(model: IncrementalHuberRegressor, feature_names: list[str], X: Array, y: Array,
          weights: Array | None, run: FitRun, progress: Progress) -> None:
    """One partial_fit, its warnings shown once and its record kept."""
    before = getattr(model, "n_batches_", 0)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        # The arrays carry no column names; the model's names are the
        # layout's, set below.
        warnings.filterwarnings("ignore", message="X does not have valid feature names")
        try:
            model.partial_fit(X, y, sample_weight=weights)
        except ValueError as error:
            raise CommandError(f"batch {before + 1}: {error}") from error
        except MemoryError as error:  # the estimate is as it was before the batch
            raise CommandError(f"batch {before + 1}: out of memory; try a smaller --batch-rows") from error
    if not hasattr(model, "feature_names_in_"):
        model.feature_names_in_ = np.asarray(feature_names, dtype=object)
    for warning in caught:
        if not issubclass(warning.category, NotConvergedWarning):
            progress.message(f"warning: {warning.message}")
    if getattr(model, "n_batches_", 0) > before:  # otherwise the rows wait for the stream to start
        run.record_update(model, X, y)


def _update_note(model: IncrementalHuberRegressor) -> str:
    if not hasattr(model, "n_batches_"):
        return "gathering rows to start"
    state = "converged" if model.converged_ else "NOT converged"
    return f"batch {model.n_batches_}: {counted(model.n_iter_, 'iteration')}, {state}"


# ------------------------------------------------------------------ planning

def plan_fit(args: argparse.Namespace) -> FitPlan:
    """Check the options against the data set (and the resumed model) and
    settle every setting, before anything is read in bulk."""
    if args.plot is not None:
        _check_plotting()
    data = DataSet.open(args.data)
    check_writable(args.model, data.files, "--model")
    if args.plot is not None:
        check_writable(args.plot, data.files, "--plot")
    saved = model_file.read(args.resume) if args.resume is not None else None
    if saved is None:
        return _fresh_plan(args, data)
    return _resumed_plan(args, data, saved)


def _check_plotting() -> None:
    from vintrel.cli.plot import check_plotting

    try:
        check_plotting()
    except ImportError as error:
        raise CommandError("--plot needs matplotlib: pip install 'vintrel[plot]'") from error


def _fresh_plan(args: argparse.Namespace, data: DataSet) -> FitPlan:
    if args.target is None:
        raise CommandError("the following argument is required: --target (see 'vintrel fit --help')",
                           status=EXIT_USAGE)
    choice = choose_columns(data.schema, args.target, args.features, args.weight, args.categorical, data.source)
    levels = _levels(data, choice.categorical)
    layout = FeatureLayout(choice.features, levels, args.target, args.weight)
    settings = {name: default if getattr(args, name) is None else getattr(args, name)
                for name, default in SETTINGS.items()}
    model = IncrementalHuberRegressor(epsilon=float(settings["epsilon"]), alpha=float(settings["alpha"]),
                                      penalty=None if settings["penalty"] == "none" else "l1",
                                      n_threads=args.threads)
    return FitPlan(data, layout, np.dtype(args.dtype or "float64"), args.batch_rows or DEFAULT_BATCH_ROWS,
                   (args.nan or "error") == "drop", model, skipped=choice.skipped)


def _resumed_plan(args: argparse.Namespace, data: DataSet, saved: model_file.SavedModel) -> FitPlan:
    model = saved.estimator
    record = StreamRecord.of(saved, args.resume)
    for name in SETTINGS:
        held = getattr(model, name)
        held = "none" if name == "penalty" and held is None else held
        given = getattr(args, name)
        if given is not None and given != held:
            raise CommandError(f"--{name} {given} differs from the resumed model's {held}; "
                               f"a resumed stream keeps its settings")
    dtype = model.export_state().dtype
    if args.dtype is not None and np.dtype(args.dtype) != dtype:
        raise CommandError(f"--dtype {args.dtype} differs from the resumed model's {dtype.name}")
    layout = _resumed_layout(args, data, record, model)
    if args.threads is not None:
        model.n_threads = args.threads
    batch_rows = args.batch_rows or (record.batch_rows if record else DEFAULT_BATCH_ROWS)
    drop = args.nan == "drop" if args.nan is not None else bool(record and record.drop_missing)
    return FitPlan(data, layout, dtype, batch_rows, drop, model, dict(record.files) if record else {})


def _resumed_layout(args: argparse.Namespace, data: DataSet, record: StreamRecord | None,
                    model: IncrementalHuberRegressor) -> FeatureLayout:
    """The resumed model's columns; options that name columns must agree
    with them."""
    held = record.layout if record else None
    target = args.target or (held.target if held else None)
    if target is None:
        raise CommandError("the resumed model does not record its target; give --target")
    weight = args.weight if args.weight is not None else (held.weight if held else None)
    features = args.features if args.features is not None else (list(held.columns) if held else None)
    categorical = args.categorical or (list(held.levels) if held else [])
    choice = choose_columns(data.schema, target, features, weight, categorical, data.source)
    if held is not None:
        if (choice.features, set(choice.categorical), target, weight) != \
                (held.columns, set(held.levels), held.target, held.weight):
            raise CommandError(f"the resumed model uses features {', '.join(held.columns)} for target "
                               f"'{held.target}' (weight {held.weight}); this run would use "
                               f"{', '.join(choice.features)} for '{target}' (weight {weight})")
        new = {name: sorted(set(levels) - set(held.levels[name]))
               for name, levels in _levels(data, choice.categorical).items()}
        new = {name: levels for name, levels in new.items() if levels}
        if new:
            name, levels = next(iter(new.items()))
            raise CommandError(f"column '{name}' has levels the resumed model has not seen "
                               f"({', '.join(levels[:5])}); a resumed stream keeps its features")
        layout = held
    else:
        layout = FeatureLayout(choice.features, _levels(data, choice.categorical), target, weight)
    model_file.check_features(model, layout.feature_names, args.resume)
    return layout


def _levels(data: DataSet, categorical: tuple[str, ...]) -> dict[str, tuple[str, ...]]:
    """Levels of the categorical columns, from a pass over just them."""
    if not categorical:
        return {}
    pieces = data.pieces(categorical, {}, text=categorical)
    return levels_of((piece.batch for piece in pieces if piece.batch is not None), categorical, MAX_LEVELS)


def _notes(plan: FitPlan) -> list[str]:
    notes = []
    if plan.skipped:
        notes.append(f"left out non-numeric column{'s' * (len(plan.skipped) > 1)} {', '.join(plan.skipped)} "
                     f"(use --features and --categorical to choose)")
    if plan.folded:
        notes.append(f"resuming: {plan.rows_folded_before:,} rows of this data set were folded already and "
                     f"are skipped")
    return notes


# ------------------------------------------------------------------ finishing

def finish_fit(args: argparse.Namespace, plan: FitPlan, run: FitRun) -> int:
    """Save what the stream folded, write the plot and print the results;
    returns the exit status."""
    model = plan.model
    if run.error is not None and run.updates == 0 and run.rows_folded == 0:
        raise run.error  # nothing new to keep
    if run.error is None and not run.interrupted and not hasattr(model, "coef_"):
        _start_on_what_is_held(model, plan.layout.feature_names, run)
    if not hasattr(model, "n_features_in_"):
        raise CommandError("interrupted before any rows were folded; nothing was written",
                           status=EXIT_INTERRUPTED)
    complete = run.error is None and not run.interrupted
    files = {**plan.folded, **run.read_through}
    record = StreamRecord(plan.layout, plan.batch_rows, plan.drop_missing, plan.data.source, complete, files)
    model_file.save(args.model, model, record.to_metadata())
    if args.plot is not None and run.paths:
        _plot(args.plot, plan, run)
    _print_results(args, model, run)
    if run.error is not None:
        raise CommandError(f"{run.error}; the model as of the last completed batch is saved in {args.model} "
                           f"(after fixing the data, continue with --resume {args.model})")
    if run.interrupted:
        raise CommandError(f"interrupted: the model as of batch {getattr(model, 'n_batches_', 0)} "
                           f"({getattr(model, 'n_samples_seen_', 0):,} rows) is saved in {args.model}; "
                           f"continue with --resume {args.model}", status=EXIT_INTERRUPTED)
    return 0


def _start_on_what_is_held(model: IncrementalHuberRegressor, feature_names: list[str], run: FitRun) -> None:
    """At the end of a stream too short to have started, fit the rows the
    estimator holds as one batch."""
    if run.rows_read == 0 and not hasattr(model, "n_features_in_"):
        raise CommandError("the data set has no rows")
    pending = model.export_state().pending if hasattr(model, "n_features_in_") else None
    if pending is None:
        raise CommandError(f"no rows left to fit: all {run.dropped:,} rows read had empty, NaN or "
                           f"infinite values")
    try:
        model.fit(pending.X, pending.y, sample_weight=pending.sample_weight)
    except ValueError as error:
        raise CommandError(f"too little data: {error}") from error
    model.feature_names_in_ = np.asarray(feature_names, dtype=object)
    run.record_update(model, pending.X, pending.y)


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
    rate = run.rows_read / run.seconds if run.seconds > 0 else 0.0
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
