"""Fitting over partitions, whatever runs them: each partition is streamed
from one shared start into a small typed state, the states are merged in a
tree, and a Newton pass over every partition refines the merge. A backend
(Dask, or another scheduler) only decides where these functions run."""

from collections.abc import Callable, Iterable, Sequence
from typing import Any

from numpy.typing import ArrayLike

from vintrel._engine import FoldReport
from vintrel._merge import merge_states
from vintrel._refine import NewtonPass, NewtonSums, add_newton_sums, refined_state
from vintrel._stream import NotConvergedWarning, Stream, batch_rows, struggles
from vintrel._validation import validate_batch
from vintrel.estimator import IncrementalHuberRegressor
from vintrel.state import ModelState

__all__ = ["NewtonPass", "NewtonSums", "PartitionStream", "add_newton_sums", "merge_states", "refined_state",
           "tree"]

class PartitionStream:
    """One partition streamed from a shared start, as a task on a worker
    runs it. Warnings are kept in `notes` instead of issued, because
    warning filters are shared by all the tasks a worker runs at once;
    updates that did not converge are reported, not noted, so that the
    caller can count them as a single stream counts them.

    Parameters
    ----------
    start : ModelState
        The shared start (an initialised or fitted state).
    """

    def __init__(self, start: ModelState) -> None:
        params = dict(start.params)
        if params["n_threads"] is None:
            # The worker's task threads already use its cores: one engine
            # thread per task keeps worker processes from oversubscribing.
            params["n_threads"] = 1
        self.params = params
        self._start = start.replace(params=params)
        self._validator = IncrementalHuberRegressor.from_state(self._start)
        self._stream = Stream.from_state(self._start, params)
        self.notes: list[str] = []

    @property
    def batch_rows(self) -> int:
        """Rows per batch of the estimator's `batch_size`."""
        engine = self._start.engine
        assert engine is not None
        return batch_rows(self.params["batch_size"], engine.n_parameters, engine.dtype)

    def take(self, X: ArrayLike, y: ArrayLike, sample_weight: ArrayLike | None = None) -> FoldReport | None:
        """Fold one batch, as `partial_fit` takes it; returns the update's
        report, or None when the batch weighed nothing."""
        X, y, weights = validate_batch(self._validator, X, y, sample_weight, reset=False,
                                       dtype=self._stream.dtype, stream_batch=True)
        report = self._stream.take(X, y, weights)
        if report is not None:
            self.notes += [message for category, message in struggles(report, int(self.params["max_iter"]))
                           if category is not NotConvergedWarning]
        return report

    def state(self) -> ModelState:
        """The partition's state, with the start's parameters."""
        return self._stream.state(self._start.params, self._start.feature_names_in)


def stream_partition(start: ModelState, batches: Iterable[tuple[Any, Any, Any]]) -> tuple[ModelState, list[int]]:
    """Stream `batches` from `start`; returns the state and the updates
    (counted from 1) that did not converge."""
    partition = PartitionStream(start)
    not_converged = []
    for X, y, weights in batches:
        report = partition.take(X, y, weights)
        if report is not None and not report.converged:
            not_converged.append(report.batch_count)
    return partition.state(), not_converged


def newton_sums(state: ModelState, batches: Callable[[int], Iterable[tuple[Any, Any, Any]]]) -> NewtonSums:
    """The score sum and curvature-weighted Gram of a partition at the
    coefficients of `state`; `batches(rows)` yields it `rows` at a time."""
    newton = NewtonPass(state)
    for X, y, weights in batches(newton.batch_rows):
        newton.add(X, y, weights)
    return newton.sums


def tree[Leaf](leaves: Sequence[Leaf], combine: Callable[..., Leaf], split_every: int,
               defer: Callable[[Callable[..., Leaf]], Callable[..., Leaf]] = lambda f: f) -> Leaf:
    """Combine `leaves` in a tree of fan-in `split_every`; `defer` turns
    `combine` into what a backend schedules (Dask's `delayed`, say)."""
    level = list(leaves)
    while len(level) > 1:
        level = [defer(combine)(*level[i:i + split_every]) for i in range(0, len(level), split_every)]
    return level[0]
