"""Fitting `IncrementalHuberRegressor` on a Dask cluster.

Each partition is streamed through an engine on the worker that holds it,
starting from one shared start; the partial estimates come back as small
plain states (a few kilobytes, never the data) and are merged in a tree.
Nothing native is ever pickled: workers rebuild their engines from plain
state. Needs the optional dependencies ``pip install 'vintrel[dask]'``.
"""

import contextlib
import multiprocessing.resource_tracker
import signal
import threading
import uuid
from collections.abc import Callable, Iterator, Sequence
from dataclasses import dataclass
from typing import Any

import numpy as np
from sklearn.exceptions import ConvergenceWarning

try:
    import dask
    import dask.array as da
    import dask.dataframe as dd
    import distributed
    from dask.delayed import Delayed, delayed
except ImportError as error:  # pragma: no cover - depends on the environment
    raise ImportError("vintrel.dask needs Dask and its distributed scheduler: "
                      "install them with pip install 'vintrel[dask]'") from error

from vintrel._distributed import Folded as FoldedPartitions
from vintrel._distributed import (
    PassPoint,
    PassSums,
    add_pass_sums,
    combine_folded,
    fold_partition,
    merge_states,
    pass_sums,
    refined_state,
    run_passes,
    sum_newton,
    tree,
)
from vintrel._params import check_params
from vintrel._stream import batch_rows as rows_per_batch
from vintrel._warnings import warn
from vintrel.estimator import IncrementalHuberRegressor
from vintrel.state import ModelState as State

__all__ = ["connect", "fit"]

Progress = Callable[[int, int], None]
# Called on the client as ``on_leaf(done, future)`` when a partition's task
# has finished.
OnLeaf = Callable[[int, "distributed.Future[Any]"], None]
# The plain result of a fold task that `merge_on_cluster` merges: the state
# and where updates did not converge, as (partition, batch) pairs.
Folded = dict[str, Any]


def fit(estimator: IncrementalHuberRegressor, X: Any, y: Any, sample_weight: Any = None, *,
        refine: bool = False, split_every: int = 8, progress: Progress | None = None) -> IncrementalHuberRegressor:
    """Fit `estimator` on Dask collections, one stream per partition.

    Unless `estimator` was prepared with `IncrementalHuberRegressor.initialize`
    (and has folded nothing since), its internal units and starting
    coefficients are fixed on the first ``batch_size`` rows of the first
    partition, as a single stream fixes them on its first batch. Every
    partition is then streamed in ``batch_size`` chunks by the worker that
    holds it, and the partial estimates are merged in a tree. The estimator
    is replaced only when everything succeeded: after an error (a bad
    partition, a worker that died) it is as it was.

    With a `distributed.Client` active the work runs on its cluster;
    otherwise on Dask's default scheduler. Data frames are joined on their
    index, as Dask aligns them, so that one read of a partition yields its
    features, target and weights. On the workers, an estimator with
    ``n_threads=None`` folds with one engine thread per task, since the
    workers' task threads already use the cores.

    Parameters
    ----------
    estimator : IncrementalHuberRegressor
        The estimator to fit, in place.
    X : dask.dataframe.DataFrame or dask.array.Array of shape (n_samples, n_features)
        Training data.
    y : dask.dataframe.Series or dask.array.Array of shape (n_samples,)
        Target values, partitioned like `X`.
    sample_weight : dask.dataframe.Series or dask.array.Array, default=None
        Non-negative weight of each row, partitioned like `X`.
    refine : bool, default=False
        Kept for earlier callers: passes over the partitions now follow the
        merge whenever the estimator's ``max_passes`` exceeds 1 (as by
        default), taking it to the whole-data M-estimate with its MAD scale,
        the answer `IncrementalHuberRegressor.fit` gives in one process.
        With ``max_passes=1``, ``refine=True`` makes one such pass.
    split_every : int, default=8
        How many partial estimates one merge task combines.
    progress : callable, optional
        Called as ``progress(done, total)`` whenever a partition is done,
        with a `distributed.Client` active.

    Returns
    -------
    estimator : IncrementalHuberRegressor
        The fitted estimator.
    """
    if not isinstance(estimator, IncrementalHuberRegressor):
        raise TypeError(f"estimator must be an IncrementalHuberRegressor; got {type(estimator).__name__}")
    if not (isinstance(split_every, int) and split_every >= 2):
        raise ValueError(f"split_every must be an integer of at least 2; got {split_every!r}")
    check_params(estimator.get_params())
    if estimator.half_life is not None:
        raise ValueError("half_life forgets along one ordered stream, and Dask folds partitions side by side; "
                         "stream the partitions in order with partial_fit instead")
    partitions = _aligned_partitions(X, y, sample_weight)
    parts, layout = partitions.pieces, partitions.layout
    run = uuid.uuid4().hex[:8]
    start = _start(estimator, parts[0], layout, f"vintrel-start-{run}")
    folds = [delayed(_fold_partition, pure=False)(start, *part, layout, index,
                                                  dask_key_name=f"vintrel-fold-{run}-{index}")
             for index, part in enumerate(parts)]
    folded: FoldedPartitions[None] = combine_on_cluster(folds, combine_folded, split_every,
                                                        _Progress(progress, 0, len(parts)))
    state = folded.state
    max_passes = max(int(estimator.max_passes), 2 if refine else 1)
    if max_passes > 1:
        rounds = iter(range(1, max_passes))

        def run_pass(state: State, point: PassPoint) -> PassSums:
            offset = next(rounds) * len(parts)
            tasks = [delayed(_pass_sums, pure=False)(state, point, *part, layout,
                                                     dask_key_name=f"vintrel-pass-{run}-{offset}-{index}")
                     for index, part in enumerate(parts)]
            summed: PassSums = combine_on_cluster(tasks, add_pass_sums, split_every,
                                                  _Progress(progress, offset, offset + len(parts)))
            return summed

        passes = run_passes(state, float(estimator.pass_tol), max_passes, run_pass)
        state = passes.state
        if not passes.converged:
            warn(f"the whole-data estimate did not settle within max_passes={max_passes} passes over the "
                 f"partitions (converged_ is False); raise max_passes", ConvergenceWarning)
    _warn_struggles(folded)
    return estimator.import_state(state)


@contextlib.contextmanager
def connect(scheduler: str) -> Iterator[distributed.Client]:
    """A client of a Dask cluster, closed (with any cluster it started) on
    exit.

    Parameters
    ----------
    scheduler : str
        The address of a running scheduler (such as ``tcp://host:8786``),
        or ``local:N`` for a cluster of N single-threaded worker processes
        on this machine. Those ignore Ctrl-C: the client cancels their work
        and closes them.

    Yields
    ------
    distributed.Client
        The client, which `fit` then uses.
    """
    kind, _, count = scheduler.partition(":")
    if kind != "local":
        if not scheduler:
            raise ValueError("the scheduler must be an address or local:N")
        with distributed.Client(scheduler) as client:
            yield client
        return
    if not (count.isdigit() and int(count) >= 1):
        raise ValueError(f"a local cluster needs a positive number of workers, as in local:2; got {scheduler!r}")
    with _local_cluster(int(count)) as cluster, distributed.Client(cluster) as client:
        yield client


@contextlib.contextmanager
def _local_cluster(workers: int) -> Iterator[distributed.LocalCluster]:
    """Single-threaded worker processes that ignore Ctrl-C.

    SIGINT is blocked while they start, so that they inherit the block (the
    terminal sends Ctrl-C to every process of the command) and so that a
    Ctrl-C during the start arrives once the cluster can be closed cleanly;
    each worker's preload then ignores SIGINT, after a restart too."""
    previous = None
    if threading.current_thread() is threading.main_thread() and hasattr(signal, "pthread_sigmask"):
        # Starting multiprocessing's resource tracker unblocks SIGINT in
        # the thread that starts it; started first, it leaves the block be.
        multiprocessing.resource_tracker.ensure_running()
        previous = signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGINT})
    try:
        cluster = distributed.LocalCluster(n_workers=workers, threads_per_worker=1, dashboard_address=":0",
                                           preload=["vintrel._local_workers"])
    except BaseException:
        if previous is not None:
            signal.pthread_sigmask(signal.SIG_SETMASK, previous)
        raise
    with cluster:
        if previous is not None:
            signal.pthread_sigmask(signal.SIG_SETMASK, previous)
        yield cluster


# ------------------------------------------------------------- partitions


# Columns under which the target and the weights travel with the features
# of a data frame, so that one read yields all three and their partitions
# cannot drift apart (Dask may fuse the partitions of a narrow read).
_TARGET, _WEIGHT = "__vintrel_target__", "__vintrel_weight__"


@dataclass(frozen=True)
class _Partitions:
    """One (X, y, sample_weight) triple of delayed pieces per partition, or
    with `layout` = (feature columns, weighted) one delayed frame per
    partition holding all three."""

    pieces: list[tuple[Delayed, Delayed | None, Delayed | None]]
    layout: tuple[list[Any], bool] | None = None


def _aligned_partitions(X: Any, y: Any, sample_weight: Any) -> _Partitions:
    if isinstance(X, da.Array):
        if X.ndim != 2:
            raise ValueError(f"X must be 2-dimensional; got {X.ndim} dimensions")
        X = X.rechunk({1: -1})
    elif not isinstance(X, dd.DataFrame):
        raise TypeError(f"X must be a dask.dataframe.DataFrame or a dask.array.Array; got {type(X).__name__}")
    if isinstance(X, dd.DataFrame) and all(isinstance(v, dd.Series) for v in (y, sample_weight) if v is not None):
        joined = X.assign(**{_TARGET: y}) if sample_weight is None else X.assign(**{_TARGET: y, _WEIGHT: sample_weight})
        return _Partitions([(piece, None, None) for piece in joined.to_delayed()],
                           (list(X.columns), sample_weight is not None))
    pieces = [_pieces(X, "X")]
    for name, values in (("y", y), ("sample_weight", sample_weight)):
        if values is None:
            continue
        if isinstance(values, da.Array) and isinstance(X, da.Array) and not np.isnan(X.shape[0]):
            values = values.rechunk({0: X.chunks[0]})
        pieces.append(_pieces(values, name))
    if len({len(piece) for piece in pieces}) > 1:
        raise ValueError(f"X, y and sample_weight must have as many partitions; got "
                         f"{', '.join(str(len(piece)) for piece in pieces)}")
    weights = pieces[2] if sample_weight is not None else [None] * len(pieces[0])
    return _Partitions(list(zip(pieces[0], pieces[1], weights, strict=True)))


def _pieces(values: Any, name: str) -> list[Delayed]:
    if isinstance(values, (dd.DataFrame, dd.Series)):
        return list(values.to_delayed())
    if isinstance(values, da.Array):
        if name != "X" and values.ndim != 1:
            raise ValueError(f"{name} must be 1-dimensional; got {values.ndim} dimensions")
        return list(values.to_delayed().ravel())
    raise TypeError(f"{name} must be a dask.dataframe.Series or a dask.array.Array; got {type(values).__name__}")


def _batches(X: Any, y: Any, sample_weight: Any, layout: tuple[list[Any], bool] | None,
             batch_rows: int) -> Iterator[tuple[Any, Any, Any]]:
    """A partition's X, y and sample_weight, `batch_rows` rows at a time,
    on the worker. A joined frame is split after its rows are taken, so the
    partition itself is never copied."""
    rows = _check_rows(X, y, sample_weight)
    for begin in range(0, rows, batch_rows):
        yield _rows(X, y, sample_weight, layout, slice(begin, begin + batch_rows))


def _rows(X: Any, y: Any, sample_weight: Any, layout: tuple[list[Any], bool] | None,
          part: slice) -> tuple[Any, Any, Any]:
    """Rows `part` of a partition's X, y and sample_weight."""
    X, y, sample_weight = (None if values is None else _rows_of(values, part) for values in (X, y, sample_weight))
    if layout is None:
        return X, y, sample_weight
    features, weighted = layout
    return X[features], X[_TARGET], X[_WEIGHT] if weighted else None


def _rows_of(values: Any, part: slice) -> Any:
    """Rows `part` of an array, a data frame or a series."""
    return values.iloc[part] if hasattr(values, "iloc") else values[part]


# ------------------------------------------------------------ worker tasks


def _start(estimator: IncrementalHuberRegressor, first: tuple[Delayed, Delayed | None, Delayed | None],
           layout: tuple[list[Any], bool] | None, key: str) -> State | Delayed:
    """The shared start: the estimator's own when it was initialised and has
    folded nothing since, otherwise fixed on the first partition."""
    if getattr(estimator, "n_samples_seen_", None) == 0:
        return estimator.export_state()
    template = type(estimator)(**estimator.get_params())
    start: Delayed = delayed(_initialize_on, pure=False)(template, *first, layout, dask_key_name=key)
    return start


def _initialize_on(template: IncrementalHuberRegressor, X: Any, y: Any, sample_weight: Any,
                   layout: tuple[list[Any], bool] | None) -> State:
    """The exported state of `template` initialised on the first batch of
    a partition."""
    try:
        _check_rows(X, y, sample_weight)
        # The batch a stream would start on depends on the features' count
        # and precision, which one row shows.
        features = _rows(X, y, sample_weight, layout, slice(0, 1))[0]
        batch_rows = rows_per_batch(template.batch_size, np.shape(features)[1] + int(template.fit_intercept),
                                    _engine_dtype(features))
        template.initialize(*_rows(X, y, sample_weight, layout, slice(0, batch_rows)))
    except BaseException as error:
        error.add_note("while fixing the shared start on the first partition on a Dask worker (an estimator "
                       "prepared with initialize() on a sample needs no start there)")
        raise
    return template.export_state()


def _fold_partition(start: State, X: Any, y: Any, sample_weight: Any, layout: tuple[list[Any], bool] | None,
                    index: int) -> FoldedPartitions[None]:
    """Stream one partition from the shared start."""
    try:
        return fold_partition(start, lambda rows: _batches(X, y, sample_weight, layout, rows))
    except BaseException as error:
        error.add_note(f"while folding partition {index} on a Dask worker")
        raise


def _pass_sums(state: State, point: PassPoint, X: Any, y: Any, sample_weight: Any,
               layout: tuple[list[Any], bool] | None) -> PassSums:
    return pass_sums(state, point, lambda rows: _batches(X, y, sample_weight, layout, rows))


def _check_rows(X: Any, y: Any, sample_weight: Any) -> int:
    """The rows of a partition, once y and the weights have as many."""
    rows = _length(X)
    for name, values in (("y", y), ("sample_weight", sample_weight)):
        if values is not None and _length(values) != rows:
            raise ValueError(f"X has {rows} rows but {name} has {_length(values)} in this partition")
    return rows


def _length(values: Any) -> int:
    return int(np.shape(values)[0])


def _engine_dtype(X: Any) -> np.dtype:
    """The precision a stream of `X` takes: float32 stays, all else is
    float64."""
    dtypes = set(getattr(X, "dtypes", [getattr(X, "dtype", np.float64)]))
    return np.dtype(np.float32) if dtypes == {np.dtype(np.float32)} else np.dtype(np.float64)


# --------------------------------------------------------------- running


def combine_on_cluster(leaves: Sequence[Delayed], combine: Callable[..., Any], split_every: int = 8,
                       on_leaf: OnLeaf | None = None) -> Any:
    """Compute `leaves` and combine their results in a tree.

    Parameters
    ----------
    leaves : sequence of dask.delayed.Delayed
        One task per partition.
    combine : callable
        Called as ``combine(*results)`` on a worker with up to
        `split_every` consecutive results (of leaves or of earlier
        combinations); returns one of the same kind.
    split_every : int, default=8
        How many results one combining task takes.
    on_leaf : callable, optional
        Called as ``on_leaf(done, future)`` on the client as each of
        `leaves` finishes, with a `distributed.Client` active.

    Returns
    -------
    object
        The combination of all results. On a cluster the first error
        cancels the rest, and a worker that died is named as such.
    """
    return _run(tree(leaves, combine, split_every, _deferred), leaves, on_leaf)


def merge_on_cluster(folds: Sequence[Delayed], split_every: int = 8, on_fold: OnLeaf | None = None) -> Folded:
    """Compute partition streams and merge their states in a tree.

    Parameters
    ----------
    folds : sequence of dask.delayed.Delayed
        One task per partition, each returning a dict with the partition's
        exported "state" (from one shared start) and its "not_converged"
        list; other keys are left to the caller.
    split_every : int, default=8
        How many partial estimates one merge task combines.
    on_fold : callable, optional
        Called as ``on_fold(done, future)`` on the client as each of `folds`
        finishes, with a `distributed.Client` active.

    Returns
    -------
    dict
        The merged "state" and every "not_converged" entry.
    """
    folded: Folded = combine_on_cluster(folds, _merge_plain, split_every, on_fold)
    return folded


def refine_on_cluster(state: State, sums: Sequence[Delayed], split_every: int = 8,
                      on_sums: OnLeaf | None = None) -> State:
    """`state` after one Newton step over all partitions at its coefficients.

    `sums` holds one task per partition returning the partition's
    "gradient" and "hessian" at the coefficients of `state` (as
    `vintrel._distributed.newton_sums` adds them up; other keys are left to the
    caller); they are added up in a tree as `merge_on_cluster` merges, and
    `on_sums` is called as it calls `on_fold`.
    """
    return refined_state(state, combine_on_cluster(sums, sum_newton, split_every, on_sums))


def _deferred(combine: Callable[..., Any]) -> Callable[..., Delayed]:
    """`combine` as a task of the graph."""
    task: Callable[..., Delayed] = delayed(combine, pure=False)
    return task


def _merge_plain(*parts: Folded) -> Folded:
    return {"state": merge_states([part["state"] for part in parts]),
            "not_converged": [item for part in parts for item in part["not_converged"]]}


class _Progress:
    """Reports partitions done as one count over all rounds."""

    def __init__(self, report: Progress | None, offset: int, total: int) -> None:
        self.report, self.offset, self.total = report, offset, total

    def __call__(self, done: int, future: distributed.Future[Any]) -> None:
        if self.report is not None:
            self.report(self.offset + done, self.total)


def _run(result: Delayed, leaves: Sequence[Delayed], on_leaf: OnLeaf | None) -> Any:
    """Compute `result`, calling `on_leaf` as each of `leaves` finishes. On
    a cluster the first error cancels the rest, and a worker that died is
    named as such."""
    client = getattr(dask.base.get_scheduler(), "__self__", None)
    if not isinstance(client, distributed.Client):
        return dask.base.compute(result)[0]
    futures = client.compute([result, *leaves])
    try:
        for done, future in enumerate(distributed.as_completed(futures[1:]), start=1):
            if future.status == "error":
                future.result()
            if on_leaf is not None:
                on_leaf(done, future)
        return futures[0].result()
    except distributed.KilledWorker as error:
        client.cancel(futures)
        raise RuntimeError(f"a Dask worker died while fitting ({error}); nothing was merged and the "
                           f"estimator is unchanged") from error
    except BaseException:
        client.cancel(futures)
        raise


def _warn_struggles(folded: FoldedPartitions[None]) -> None:
    """What the partitions' streams kept as notes, then the updates that
    did not converge, as warnings from the client."""
    for index, partition in enumerate(folded.partitions):
        for note in partition.notes:
            warn(f"partition {index}: {note}", ConvergenceWarning)
    not_converged = folded.not_converged
    if not not_converged:
        return
    shown = ", ".join(f"partition {partition} batch {batch}" for partition, batch in not_converged[:5])
    more = f" and {len(not_converged) - 5} more" if len(not_converged) > 5 else ""
    warn(f"{len(not_converged)} updates on the workers did not converge ({shown}{more}): each kept its last "
         f"accepted step; the passes that follow the merge do not depend on them, but a fit without passes "
         f"does; consider raising max_iter", ConvergenceWarning)
