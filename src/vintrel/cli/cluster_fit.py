"""`vintrel fit` as one stream per file, merged, whatever cluster runs it.

The client plans the fit as for a single stream and fixes the shared start
(internal units, residual scale, starting coefficients) on the data set's
first batch, as a single stream would. Each file is then streamed in
batches by a task of its own, through the command's own readers and
encoding, from that start; the partial estimates come back as small plain
states and are merged in a tree. Passes over the files follow, each file's
sums evaluated by a task and added up in a tree, until the estimate is the
whole-data one that a fit in one process reaches. Files are read by path,
so the client and every worker must see them at the same paths.

Where the tasks run is a backend's business: an adapter module (such as
`vintrel.cli.dask_fit`) connects to its cluster and runs the tasks through
a `Runner`; `vintrel.cli.backends` lists the adapters.
"""

import argparse
import contextlib
import dataclasses
import time
from collections.abc import Callable, Iterator, Sequence
from dataclasses import dataclass
from pathlib import Path
from typing import Any, Protocol

import numpy as np

from vintrel._distributed import (
    Folded,
    PartitionStream,
    Passes,
    PassPoint,
    PassSums,
    add_pass_sums,
    combine_folded,
    merge_states,
    pass_sums,
)
from vintrel._stream import MIN_START_ROWS_PER_PARAMETER
from vintrel.cli.errors import CommandError
from vintrel.cli.fit_passes import pass_report
from vintrel.cli.fit_run import Array, BatchSource, FitPlan, FitRun, check_enough_rows, standardised_coef
from vintrel.cli.pass_record import PassRecord
from vintrel.cli.prefetch import Prefetched
from vintrel.cli.progress import Progress, progress_display
from vintrel.cli.table import counted
from vintrel.estimator import IncrementalHuberRegressor
from vintrel.state import ModelState as State

# Partial estimates one merge task combines.
SPLIT_EVERY = 8


class Runner(Protocol):
    """How a backend runs the tasks of a fit."""

    def combine_files[Shared, Result](self, work: Callable[[Shared, BatchSource], Result], shared: Shared,
                              files: Sequence[BatchSource], name: str, combine: Callable[..., Result],
                              on_done: Callable[[int, Result], None]) -> Result:
        """Run ``work(shared, file)`` for each of `files` and combine the
        results in a tree whose nodes call `combine` on consecutive results
        (at most `SPLIT_EVERY`), so that their order is kept; returns the
        combination. ``on_done(index, result)`` is called in this process
        as the result of ``files[index]`` arrives. `name` names the round
        ("fit", "pass"). The first failure ends the round and is raised
        here."""
        ...


@dataclass(frozen=True)
class SharedStart:
    """What every file's stream starts from, and the rows (X, y) it was
    fixed on."""

    state: State
    sample: tuple[Array, Array]


# ------------------------------------------------------------ the start


def shared_start(plan: FitPlan) -> SharedStart:
    """The plan's estimator initialised on the first rows of the data set:
    its first batch, and later ones while it holds too few rows of positive
    weight to start, as a single stream would gather them."""
    model = plan.model
    n_parameters = len(plan.layout.feature_names) + int(model.fit_intercept)
    parts: list[tuple[Any, Any, Any]] = []
    rows = usable = 0
    for chunk, encoded in plan.batches():
        rows += chunk.rows
        parts.append((encoded.X, encoded.y, encoded.weights))
        weights = encoded.weights
        usable += encoded.X.shape[0] if weights is None else int(np.count_nonzero(weights))
        if usable >= MIN_START_ROWS_PER_PARAMETER * n_parameters:
            break
    if rows == 0:
        raise CommandError("the data set has no rows")
    check_enough_rows(usable, n_parameters)
    X, y = np.concatenate([part[0] for part in parts]), np.concatenate([part[1] for part in parts])
    weights = None if parts[0][2] is None else np.concatenate([part[2] for part in parts])
    try:
        model.initialize(X, y, weights)
    except ValueError as error:
        raise CommandError(f"too little data to start: {error}") from error
    # Workers fold unnamed arrays; the names are put back after the merge.
    return SharedStart(model.export_state().replace(feature_names_in=None, encoding=None), (X, y))


# ------------------------------------------------------------- the tasks


def fold_file(start: State, task: BatchSource) -> Folded[FitRun]:
    """Stream one file from `start`, in batches as a single stream reads
    them. Carries the file's reading figures (as a `FitRun`)."""
    partition = PartitionStream(start)
    run = FitRun()
    started = time.perf_counter()
    with Prefetched(task.batches()) as batches:
        for chunk, encoded in batches:
            if encoded.X.shape[0]:
                assert encoded.y is not None
                try:
                    partition.take(encoded.X, encoded.y, encoded.weights)
                except ValueError as error:
                    raise CommandError(f"{chunk.locate(0)}: {error}") from error
            run.record_chunk(chunk, encoded)
    run.seconds = time.perf_counter() - started
    return partition.folded(run)


def file_pass_sums(work: tuple[State, PassPoint], task: BatchSource) -> tuple[PassSums, int]:
    """What a pass adds up over one file at the pass's point, with the rows
    read."""
    state, point = work
    rows = 0

    def batches(_: int) -> Iterator[tuple[Any, Any, Any]]:
        nonlocal rows
        with Prefetched(task.batches()) as chunks:
            for chunk, encoded in chunks:
                rows += chunk.rows
                if encoded.X.shape[0]:
                    yield encoded.X, encoded.y, encoded.weights

    return pass_sums(state, point, batches), rows


def _add_file_sums(*parts: tuple[PassSums, int]) -> tuple[PassSums, int]:
    return add_pass_sums(*(sums for sums, _ in parts)), sum(rows for _, rows in parts)


def file_tasks(plan: FitPlan) -> list[BatchSource]:
    """What a task needs to stream each file: the plan's batches of the
    data set narrowed to that file."""
    return [BatchSource(dataclasses.replace(plan.data, files=(path,)), plan.layout, plan.dtype, plan.batch_rows,
                        plan.drop_missing) for path in plan.data.files]


# ------------------------------------------------------------- the fit


def fit_files(args: argparse.Namespace, plan: FitPlan, start: SharedStart, runner: Runner) -> FitRun:
    """Fold every file from `start` with `runner`, merge, and pass over the
    files until the estimate is the whole-data one; returns the fit's
    figures, with `plan.model` replaced by the fitted estimator."""
    started = time.perf_counter()
    files = file_tasks(plan)
    total_rows = plan.data.total_rows()
    gathered = _Gathered(plan.data.files, tracking=args.plot is not None)
    folding = progress_display("fit", total_rows, 0, args.quiet)
    with contextlib.closing(folding) as gathered.progress:
        folded = runner.combine_files(fold_file, start.state, files, "fit", combine_folded, gathered.folded)
    state = folded.state
    max_passes = max(int(plan.model.max_passes), 2 if args.refine else 1)
    passes = Passes(state, float(plan.model.pass_tol), max_passes)
    passing, rows = time.perf_counter(), 0
    while not passes.done:
        sums, read = _file_pass(args, runner, files, total_rows, passes.n_passes + 1, passes.state, passes.point)
        passes.finish(sums)
        rows += read
        gathered.track(passes.state)
    plan.model = IncrementalHuberRegressor.from_state(
        passes.state.replace(params=plan.model.get_params(), feature_names_in=tuple(plan.layout.feature_names)))
    run = gathered.combined(folded, time.perf_counter() - started)
    if max_passes > 1:
        run.figures, warning = pass_report(passes, time.perf_counter() - passing, rows)
        run.pass_record, run.rows_reread = PassRecord.of(passes), rows
        if warning:
            run.warnings.append(f"{warning}; run the fit again with a larger --passes")
    else:
        run.figures = [("passes", "1: a stream per file, merged (--passes 1)"),
                       ("estimate", "the merge of the files' streams, which depends on how the rows are split")]
    # The plot shows the residuals of the rows the start was fixed on.
    run.last_batch = start.sample
    return run


def _file_pass(args: argparse.Namespace, runner: Runner, files: list[BatchSource], total_rows: int | None,
               number: int, state: State, point: PassPoint) -> tuple[PassSums, int]:
    """Pass `number` over every file with `runner`, with its progress
    display; returns its sums and the rows read."""
    summing = progress_display(f"pass {number}", total_rows, 0, args.quiet)
    summed = 0

    def on_sums(index: int, result: tuple[PassSums, int]) -> None:
        nonlocal summed
        summed += 1
        summing.advance(result[1], f"{summed} of {counted(len(files), 'file')} evaluated")

    with contextlib.closing(summing):
        return runner.combine_files(file_pass_sums, (state, point), files, "pass", _add_file_sums, on_sums)


class _Gathered:
    """The client's side of the folds: progress and warnings as each file
    finishes and, for the plot, the merge of the files finished so far."""

    progress: Progress

    def __init__(self, paths: Sequence[Path], tracking: bool) -> None:
        self.paths = paths
        self.done = 0
        self.tracking = tracking
        self.merged: State | None = None
        self.coef_paths: list[np.ndarray] = []
        self.rows_seen: list[int] = []

    def folded(self, index: int, result: Folded[FitRun]) -> None:
        """Take the fold of file `index`."""
        self.done += 1
        [partition] = result.partitions
        for note in partition.notes:
            self.progress.message(f"warning: {self.paths[index]}: {note}")
        self.progress.advance(partition.carried.rows_read, f"{self.done} of {counted(len(self.paths), 'file')} folded")
        if self.tracking and partition.updates:
            self.merged = result.state if self.merged is None else merge_states([self.merged, result.state])
            self.track(self.merged)

    def track(self, state: State) -> None:
        """Add the estimate of `state` to the coefficient paths."""
        if self.tracking:
            model = IncrementalHuberRegressor.from_state(state)
            self.coef_paths.append(standardised_coef(model))
            self.rows_seen.append(int(model.n_samples_seen_))

    def combined(self, folded: Folded[FitRun], seconds: float) -> FitRun:
        """The figures of the whole fit, batches numbered as the merged
        model counts them: file after file."""
        total = FitRun(seconds=seconds, paths=self.coef_paths, rows_seen=self.rows_seen,
                       paths_title="merged estimate as files finish", residual_sample="first batch")
        for partition in folded.partitions:
            read = partition.carried
            total.not_converged += [total.updates + update for update in partition.not_converged]
            total.updates += partition.updates
            total.rows_read += read.rows_read
            total.rows_folded += read.rows_folded
            total.dropped += read.dropped
            total.read_through.update(read.read_through)
        return total
