"""`vintrel fit --dask`: the fit as one stream per file on a Dask cluster.

The client plans the fit as for a single stream and fixes the shared start
(internal units, residual scale, starting coefficients) on the data set's
first batch, as a single stream would. Each file is then streamed in
batches on a worker, through the command's own readers and encoding, from
that start; the partial estimates come back as small plain states and are
merged in a tree on the cluster. Files are read by path, so the client and
every worker must see them at the same paths.

A fit on Dask is all or nothing: a bad batch, a worker that dies or Ctrl-C
cancels the work still running, and no model is written (there is no
stream to resume).
"""

import argparse
import contextlib
import dataclasses
import logging
import os
import time
import uuid
from collections.abc import Callable, Iterator
from concurrent.futures import CancelledError
from typing import Any

import distributed
import numpy as np
from dask.delayed import Delayed, delayed

from vintrel import dask as vintrel_dask
from vintrel._distributed import PartitionStream
from vintrel._merge import merge_states
from vintrel._refine import NewtonPass
from vintrel._stream import MIN_START_ROWS_PER_PARAMETER
from vintrel.cli.errors import EXIT_INTERRUPTED, CommandError, first_line
from vintrel.cli.fit import Array, BatchSource, FitPlan, FitRun, finish_fit, standardised_coef
from vintrel.cli.interrupt import stop_on_interrupt
from vintrel.cli.prefetch import Prefetched
from vintrel.cli.progress import Progress, progress_display
from vintrel.cli.table import counted
from vintrel.estimator import IncrementalHuberRegressor
from vintrel.state import ModelState as State

# Partial estimates one merge task combines.
SPLIT_EVERY = 8
# The log level of Dask in processes started from here.
_WORKER_LOGGING = "DASK_LOGGING__DISTRIBUTED"


def fit_on_dask(args: argparse.Namespace, plan: FitPlan) -> int:
    """Run the planned fit on the cluster `args.dask` names, then save and
    report it as a single stream's; returns the exit status."""
    start, sample = shared_start(plan)
    files = _file_tasks(plan)
    with _cluster_logs_quiet(), contextlib.ExitStack() as finishing:
        try:
            started = time.perf_counter()
            with _connected(args.dask) as client:
                run = _run_tasks(args, plan, start, files, client, time.perf_counter() - started)
                # The fit is complete: a Ctrl-C from here on waits for the
                # cluster to close and the model file to be written.
                finishing.enter_context(stop_on_interrupt())
        except KeyboardInterrupt:
            raise CommandError("interrupted: the work on the cluster was cancelled and no model was written "
                               "(a fit on Dask cannot be resumed; run it again)", status=EXIT_INTERRUPTED) from None
        # The plot shows the residuals of the rows the start was fixed on.
        run.last_batch = sample
        return finish_fit(args, plan, run)


# ------------------------------------------------------------ the start


def shared_start(plan: FitPlan) -> tuple[State, tuple[Array, Array]]:
    """The plan's estimator initialised on the first rows of the data set:
    its first batch, and later ones while it holds too few rows of positive
    weight to start, as a single stream would gather them. Returns the
    exported state the workers start from, and those rows (X, y)."""
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
    X, y = np.concatenate([part[0] for part in parts]), np.concatenate([part[1] for part in parts])
    weights = None if parts[0][2] is None else np.concatenate([part[2] for part in parts])
    try:
        model.initialize(X, y, weights)
    except ValueError as error:
        raise CommandError(f"too little data to start: {error}") from error
    # Workers fold unnamed arrays; the names are put back after the merge.
    return model.export_state().replace(feature_names_in=None), (X, y)


# ------------------------------------------------------- the worker tasks


def fold_file(start: State, task: BatchSource) -> dict[str, Any]:
    """Stream one file from `start` on a worker, in batches as a single
    stream reads them. Returns the file's plain state, its figures (as a
    `FitRun`) and the warnings of its updates."""
    partition = PartitionStream(start)
    run = FitRun()
    started = time.perf_counter()
    with Prefetched(task.batches()) as batches:
        for chunk, encoded in batches:
            if encoded.X.shape[0]:
                assert encoded.y is not None
                try:
                    report = partition.take(encoded.X, encoded.y, encoded.weights)
                except ValueError as error:
                    raise CommandError(f"{chunk.locate(0)}: {error}") from error
                if report is not None:  # rows of zero weight update nothing
                    run.updates += 1
                    if not report.converged:
                        run.not_converged.append(run.updates)
            run.record_chunk(chunk, encoded)
    run.seconds = time.perf_counter() - started
    notes = [f"{task.data.files[0]}: {note}" for note in partition.notes]
    return {"state": partition.state(), "not_converged": [], "run": run, "notes": notes}


def file_newton_sums(state: State, task: BatchSource) -> dict[str, Any]:
    """The score sum and curvature-weighted Gram of one file at the
    coefficients of `state`, on a worker; with the rows read."""
    newton = NewtonPass(state)
    rows = 0
    with Prefetched(task.batches()) as batches:
        for chunk, encoded in batches:
            rows += chunk.rows
            if encoded.X.shape[0]:
                assert encoded.y is not None
                newton.add(encoded.X, encoded.y, encoded.weights)
    return {**newton.sums, "rows": rows}


def _file_tasks(plan: FitPlan) -> list[BatchSource]:
    """What a worker needs to stream each file: the plan's batches of the
    data set narrowed to that file."""
    return [BatchSource(dataclasses.replace(plan.data, files=(path,)), plan.layout, plan.dtype, plan.batch_rows,
                        plan.drop_missing) for path in plan.data.files]


def _each_file(work: Callable[[State, BatchSource], dict[str, Any]], state: State, files: list[BatchSource],
               name: str, client: distributed.Client) -> list[Delayed]:
    """One task of `work` per file, in the data set's order. `state` is
    sent to every worker up front: held by one worker only, it would draw
    every task to that worker."""
    key = f"vintrel-{name}-{uuid.uuid4().hex[:8]}"
    # In a list, so that the dict is sent whole rather than as keyed parts.
    [shared] = client.scatter([state], broadcast=True, hash=False)
    return [delayed(work, pure=False)(shared, task, dask_key_name=f"{key}-{index}")
            for index, task in enumerate(files)]


# --------------------------------------------------------- the cluster


@contextlib.contextmanager
def _connected(scheduler: str) -> Iterator[distributed.Client]:
    """A client of the cluster; a scheduler that cannot be reached or
    started is one line of error."""
    with contextlib.ExitStack() as stack:
        try:
            client = stack.enter_context(vintrel_dask.connect(scheduler))
        except ValueError as error:  # not an address, or a malformed local:N
            raise CommandError(f"--dask {scheduler}: {first_line(error)}") from error
        except (OSError, RuntimeError) as error:
            raise CommandError(f"--dask {scheduler}: cannot reach the scheduler ({first_line(error)})") from error
        except MemoryError as error:  # a length read from a server that speaks another protocol
            raise CommandError(f"--dask {scheduler}: the address answers, but not as a Dask scheduler") from error
        yield client


@contextlib.contextmanager
def _cluster_logs_quiet() -> Iterator[None]:
    """Dask's own log lines stay out of the command's output, here and in
    the worker processes a local cluster starts (which take their logging
    from the environment): failures reach the client and are reported
    once, as one line."""
    disabled = logging.root.manager.disable
    logging.disable(logging.CRITICAL)
    saved = os.environ.get(_WORKER_LOGGING)
    os.environ[_WORKER_LOGGING] = "critical"
    try:
        yield
    finally:
        logging.disable(disabled)
        if saved is None:
            os.environ.pop(_WORKER_LOGGING, None)
        else:
            os.environ[_WORKER_LOGGING] = saved


def _run_tasks(args: argparse.Namespace, plan: FitPlan, start: State, files: list[BatchSource],
               client: distributed.Client, connecting: float) -> FitRun:
    """Fold every file on the cluster from `start` and merge (and refine,
    when asked); returns the fit's figures, with `plan.model` replaced by
    the fitted estimator. `connecting` is the seconds it took to reach (or
    start) the cluster."""
    started = time.perf_counter()
    tasks = _each_file(fold_file, start, files, "fit", client)
    total_rows = plan.data.total_rows()
    gathered = _Gathered(tasks, tracking=args.plot is not None)
    folding = progress_display("fit", total_rows, 0, args.quiet)
    with _cluster_failures(), contextlib.closing(folding) as gathered.progress:
        state = vintrel_dask.merge_on_cluster(tasks, SPLIT_EVERY, gathered)["state"]
    figures = []
    if args.refine:
        refining = time.perf_counter()
        summing = progress_display("refine", total_rows, 0, args.quiet)
        with _cluster_failures(), contextlib.closing(summing) as progress:
            state = vintrel_dask.refine_on_cluster(state, _each_file(file_newton_sums, state, files, "refine", client),
                                                   SPLIT_EVERY,
                                                   lambda done, future: progress.advance(
                                                       future.result()["rows"],
                                                       f"{done} of {counted(len(tasks), 'file')} summed"))
        gathered.track(state)
        figures.append(("refined", f"one Newton step over every file at the merged coefficients "
                                   f"({time.perf_counter() - refining:.2f} s)"))
    plan.model = IncrementalHuberRegressor.from_state(
        state.replace(params=plan.model.get_params(), feature_names_in=tuple(plan.layout.feature_names)))
    workers = counted(len(client.scheduler_info().get("workers", {})), "worker")
    run = gathered.combined(time.perf_counter() - started)
    run.figures = [("on Dask", f"{counted(len(tasks), 'file')} streamed by {workers} at {args.dask} (reached in "
                               f"{connecting:.2f} s), merged in a tree"), *figures]
    return run


@contextlib.contextmanager
def _cluster_failures() -> Iterator[None]:
    """Failures of the cluster itself as one line each."""
    try:
        yield
    except RuntimeError as error:
        if not isinstance(error.__cause__, distributed.KilledWorker):
            raise
        raise CommandError("a Dask worker died while reading a file (out of memory, or killed); "
                           "no model was written") from error
    except CancelledError as error:
        raise CommandError("the cluster cancelled the fit (did the scheduler or a worker shut down?); "
                           "no model was written") from error
    except ImportError as error:  # raised on a worker
        raise CommandError(f"a Dask worker cannot run the fit ({first_line(error)}); every worker needs "
                           f"pip install 'vintrel[dask]'") from error


class _Gathered:
    """The client's side of the folds: progress as each file finishes, the
    figures of every file and, for the plot, the merge of the files
    finished so far."""

    progress: Progress

    def __init__(self, tasks: list[Delayed], tracking: bool) -> None:
        self.index = {task.key: position for position, task in enumerate(tasks)}
        self.runs: list[FitRun | None] = [None] * len(tasks)
        self.tracking = tracking
        self.merged: State | None = None
        self.paths: list[np.ndarray] = []
        self.rows_seen: list[int] = []

    def __call__(self, done: int, future: distributed.Future[Any]) -> None:
        result = future.result()
        run: FitRun = result["run"]
        self.runs[self.index[future.key]] = run
        for note in result["notes"]:
            self.progress.message(f"warning: {note}")
        self.progress.advance(run.rows_read, f"{done} of {counted(len(self.runs), 'file')} folded")
        if self.tracking and run.updates:
            self.merged = result["state"] if self.merged is None else merge_states([self.merged, result["state"]])
            self.track(self.merged)

    def track(self, state: State) -> None:
        """Add the estimate of `state` to the coefficient paths."""
        if self.tracking:
            model = IncrementalHuberRegressor.from_state(state)
            self.paths.append(standardised_coef(model))
            self.rows_seen.append(int(model.n_samples_seen_))

    def combined(self, seconds: float) -> FitRun:
        """The figures of the whole fit, batches numbered as the merged
        model counts them: file after file."""
        total = FitRun(seconds=seconds, paths=self.paths, rows_seen=self.rows_seen,
                       paths_title="merged estimate as files finish", residual_sample="first batch")
        for run in self.runs:
            assert run is not None
            total.not_converged += [total.updates + batch for batch in run.not_converged]
            total.updates += run.updates
            total.rows_read += run.rows_read
            total.rows_folded += run.rows_folded
            total.dropped += run.dropped
            total.read_through.update(run.read_through)
        return total
