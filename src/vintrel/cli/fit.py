"""`vintrel fit`: stream a data set through the estimator, batch by batch,
then pass over it again until the estimate is the whole-data one (see
`vintrel.cli.fit_passes`), and save the model; Ctrl-C stops after the
current batch and keeps what was done. With the option of a backend
(--dask) the fit runs on a cluster instead, as one stream per file (see
`vintrel.cli.backends`). The model file is locked against other fits from
before it is read (when resuming) until it is written."""

import argparse
import time
import warnings
from collections.abc import Iterable
from typing import Any

import numpy as np

import vintrel.cli.backends as backends
import vintrel.model_file as model_file
from vintrel._model import DEFAULT_L1_RATIO, PENALTIES, penalty_labelled, penalty_named
from vintrel.cli.backends import ClusterFit
from vintrel.cli.columns import choose_columns
from vintrel.cli.dataset import Chunk, DataSet
from vintrel.cli.encoding import Encoded, FeatureLayout, levels_of
from vintrel.cli.errors import EXIT_USAGE, CommandError
from vintrel.cli.file_identity import identify, take_up
from vintrel.cli.fit_passes import passes_after_stream
from vintrel.cli.fit_run import MIN_ROWS_PER_PARAMETER, Array, FitPlan, FitRun, check_enough_rows, finish_fit
from vintrel.cli.interrupt import StopRequest, raise_interrupts, stop_on_interrupt
from vintrel.cli.model_lock import writing_model
from vintrel.cli.model_record import StreamRecord
from vintrel.cli.outputs import check_writable
from vintrel.cli.prefetch import Prefetched
from vintrel.cli.printable import printable
from vintrel.cli.progress import Progress, progress_display
from vintrel.cli.table import counted
from vintrel.estimator import IncrementalHuberRegressor, NotConvergedWarning, StreamOrderWarning

DEFAULT_BATCH_ROWS = 100_000
# A categorical column with more levels than this is refused: one
# indicator per level would make a design too wide to be useful.
MAX_LEVELS = 1_000
# Estimator settings the options set, with their defaults; a resumed
# stream keeps the model's.
SETTINGS: dict[str, Any] = {"penalty": PENALTIES[None].label, "epsilon": 1.35, "alpha": None,
                            "l1_ratio": DEFAULT_L1_RATIO, "half_life": None}
# Files found under a new path when resuming that are named one by one.
RENAMES_SHOWN = 5


def run_fit(args: argparse.Namespace) -> int:
    """The command: returns its exit status."""
    on_cluster = _cluster_fit(args)
    data = open_data(args)
    with writing_model(args.model, args.resume):
        plan = plan_fit(args, data)
        for note in _notes(plan):
            if not args.quiet:
                print(printable(note))
        if on_cluster is not None:
            raise_interrupts()  # the backend cancels the cluster's work on KeyboardInterrupt
            return on_cluster(args, plan)
        progress = progress_display("fit", plan.data.total_rows(), plan.rows_folded_before, args.quiet)
        # Saving happens while Ctrl-C still only asks to stop, so the model
        # file is never left half-written by it.
        with stop_on_interrupt() as stop:
            try:
                run = stream_fit(plan.model, plan.layout.feature_names, plan.batches(plan.folded), progress, stop)
            finally:
                progress.close()
            passes_after_stream(args, plan, run, stop)
            return finish_fit(args, plan, run)


def _cluster_fit(args: argparse.Namespace) -> ClusterFit | None:
    """With a backend's option, the function that runs the planned fit on
    its cluster."""
    backend = backends.chosen(args)
    if backend is None:
        if args.refine:
            raise CommandError(f"--refine refines the merge of a fit on {backends.titles()}; it needs "
                               f"{backends.options()}", status=EXIT_USAGE)
        return None
    if args.half_life is not None:
        raise CommandError(f"--half-life forgets along one ordered stream; {backend.option} folds files side by "
                           f"side, so it cannot forget: fit without {backend.option}", status=EXIT_USAGE)
    if args.resume is not None:
        raise CommandError(f"--resume continues a stream in this process and cannot be combined with "
                           f"{backend.option}; resume without {backend.option}, or fit the whole data set again on "
                           f"{backend.title}", status=EXIT_USAGE)
    return backend.load()


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
    # Passes after the first stream take the estimate to the whole-data
    # answer, so what the stream's order did to it is not worth saying then.
    quiet = (NotConvergedWarning, StreamOrderWarning) if model.max_passes > 1 else (NotConvergedWarning,)
    for warning in caught:
        if not issubclass(warning.category, quiet):
            progress.message(f"warning: {warning.message}")
    if getattr(model, "n_batches_", 0) > before:  # otherwise the rows wait for the stream to start
        run.record_update(model, X, y)


def _update_note(model: IncrementalHuberRegressor) -> str:
    if not hasattr(model, "n_batches_"):
        return "gathering rows to start"
    state = "converged" if model.converged_ else "NOT converged"
    return f"batch {model.n_batches_}: {counted(model.n_iter_, 'iteration')}, {state}"


# ------------------------------------------------------------------ planning

def open_data(args: argparse.Namespace) -> DataSet:
    """The data set, once the files the fit writes are known to be
    writable and to be neither an input nor each other. The model file may
    be the one resumed: it is updated in place."""
    if args.plot is not None:
        _check_plotting()
    data = DataSet.open(args.data)
    check_writable(args.model, data.files, "--model")
    if args.plot is not None:
        check_writable(args.plot, data.files, "--plot", [("--model", args.model), ("--resume", args.resume)])
    return data


def plan_fit(args: argparse.Namespace, data: DataSet) -> FitPlan:
    """Check the options against the data set (and the resumed model) and
    settle every setting, before anything is read in bulk."""
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
    penalty = penalty_labelled(settings["penalty"]).name
    if penalty is None and settings["alpha"] is not None:
        raise CommandError("--alpha needs a --penalty (l1, l2 or elasticnet): it sets the penalty's level",
                           status=EXIT_USAGE)
    model = IncrementalHuberRegressor(epsilon=float(settings["epsilon"]), alpha=settings["alpha"],
                                      l1_ratio=float(settings["l1_ratio"]), half_life=settings["half_life"],
                                      penalty=penalty, n_threads=args.threads)
    _set_passes(args, model)
    # A data set too short for its width is refused before it is read: its
    # rows are known from file metadata, or bounded by a CSV file's lines.
    parameters = len(layout.feature_names) + int(model.fit_intercept)
    rows = data.rows_below(MIN_ROWS_PER_PARAMETER * parameters)
    if rows is not None:
        check_enough_rows(rows, parameters, at_most=data.format == "csv")
    return FitPlan(data, layout, np.dtype(args.dtype or "float64"), args.batch_rows or DEFAULT_BATCH_ROWS,
                   (args.nan or "error") == "drop", model, skipped=choice.skipped, identities=identify(data.files))


def _resumed_plan(args: argparse.Namespace, data: DataSet, saved: model_file.SavedModel) -> FitPlan:
    model = saved.estimator
    record = StreamRecord.of(saved, args.resume)
    for name in SETTINGS:
        held = getattr(model, name)
        held = penalty_named(held).label if name == "penalty" else held
        given = getattr(args, name)
        if given is not None and given != held:
            raise CommandError(f"--{name.replace('_', '-')} {given} differs from the resumed model's {held}; "
                               f"a resumed stream keeps its settings")
    dtype = model.export_state().dtype
    if args.dtype is not None and np.dtype(args.dtype) != dtype:
        raise CommandError(f"--dtype {args.dtype} differs from the resumed model's {dtype.name}")
    layout = _resumed_layout(args, data, record, model)
    if args.threads is not None:
        model.n_threads = args.threads
    _set_passes(args, model)
    batch_rows = args.batch_rows or (record.batch_rows if record else DEFAULT_BATCH_ROWS)
    drop = args.nan == "drop" if args.nan is not None else bool(record and record.drop_missing)
    # The files are taken up by content as well as by path.
    resumed = take_up(data.files, record.files if record else {}, record.identities if record else {})
    return FitPlan(data, layout, dtype, batch_rows, drop, model, resumed.folded, identities=resumed.identities,
                   renamed=resumed.renamed, passes=record.passes if record else None)


def _set_passes(args: argparse.Namespace, model: IncrementalHuberRegressor) -> None:
    """--passes, --pass-tol, --max-iter and --tol, which a resumed fit may
    change: they decide how far the solvers go, not what they go to. A
    forgetting stream is a single pass."""
    if model.half_life is not None:
        if args.passes is not None and args.passes > 1:
            raise CommandError("--half-life and --passes above 1 exclude each other: forgetting weighs rows by "
                               "their age in the stream, passes weigh every row alike", status=EXIT_USAGE)
        model.max_passes = 1
    elif args.passes is not None:
        model.max_passes = args.passes
    if args.pass_tol is not None:
        model.pass_tol = args.pass_tol
    if args.max_iter is not None:
        model.max_iter = args.max_iter
    if args.tol is not None:
        model.tol = args.tol


def _resumed_layout(args: argparse.Namespace, data: DataSet, record: StreamRecord | None,
                    model: IncrementalHuberRegressor) -> FeatureLayout:
    """The resumed model's columns; options that name columns must agree
    with them."""
    held = record.layout if record else None
    if held is not None and held.target is not None and args.target not in (None, held.target):
        raise CommandError(f"--target {args.target}: differs from the resumed model's target '{held.target}'; "
                           f"a resumed stream keeps its target")
    if held is not None and args.weight not in (None, held.weight):
        kept = f"differs from the resumed model's weight '{held.weight}'" if held.weight else "the resumed model " \
            "has no weight"
        raise CommandError(f"--weight {args.weight}: {kept}; a resumed stream keeps its weight")
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
    return levels_of((piece.batch for piece in pieces if piece.batch is not None), categorical, MAX_LEVELS,
                     {name: data.schema.field(name).type for name in categorical})


def _notes(plan: FitPlan) -> list[str]:
    notes = []
    if plan.skipped:
        notes.append(f"left out non-numeric column{'s' * (len(plan.skipped) > 1)} {', '.join(plan.skipped)} "
                     f"(use --features and --categorical to choose)")
    renamed = list(plan.renamed.items())
    for now, before in renamed[:RENAMES_SHOWN]:
        notes.append(f"resuming: {now} holds the rows folded from {before} (the same content under another "
                     f"path); they are not folded again")
    if len(renamed) > RENAMES_SHOWN:
        notes.append(f"resuming: {len(renamed) - RENAMES_SHOWN:,} more files hold rows folded under other paths")
    if plan.folded:
        notes.append(f"resuming: {plan.rows_folded_before:,} rows of this data set were folded already and "
                     f"are skipped")
    return notes
