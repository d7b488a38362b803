"""Fitting over partitions, whatever runs them: each partition is streamed
from one shared start into a small typed state, the folded partitions are
combined in a tree, and passes over every partition take the merge to the
whole-data estimate (see `vintrel._passes`). A backend (Dask, or another scheduler) only decides where these
functions run and how their results travel; nothing here imports one.
"""

from collections.abc import Callable, Iterable, Sequence
from dataclasses import dataclass
from typing import Any

import numpy as np
from numpy.typing import ArrayLike

from vintrel._engine import FoldReport
from vintrel._merge import merge_states
from vintrel._passes import Passes, PassPoint, PassSums, evaluate_batch, run_passes
from vintrel._refine import NewtonSums, add_newton_sums, refined_state
from vintrel._stream import NotConvergedWarning, Stream, batch_rows, struggles
from vintrel._validation import validate_batch
from vintrel.estimator import IncrementalHuberRegressor
from vintrel.state import ModelState

__all__ = ["Folded", "NewtonSums", "Partition", "PartitionStream", "PassPoint", "PassSums", "Passes",
           "add_pass_sums",
           "combine_folded", "fold_partition", "merge_states", "newton_sums", "pass_sums", "refined_state",
           "run_passes", "stream_partition", "sum_newton", "tree"]

# A partition's batches as (X, y, sample_weight), given the rows per batch
# that the fold or the Newton pass asks for (a reader may keep its own).
Batches = Callable[[int], Iterable[tuple[Any, Any, Any]]]


@dataclass(frozen=True)
class Partition[Carried]:
    """What streaming one partition did: its updates, those (counted from
    1) that did not converge, the warnings its stream kept as notes, and
    what the caller carries along (the command line: the file's figures)."""

    updates: int
    not_converged: tuple[int, ...]
    notes: tuple[str, ...]
    carried: Carried


@dataclass(frozen=True)
class Folded[Carried]:
    """Partitions streamed from one shared start: their merged state and
    what each partition did, in partition order."""

    state: ModelState
    partitions: tuple[Partition[Carried], ...]

    @property
    def not_converged(self) -> list[tuple[int, int]]:
        """The updates that did not converge, as (partition, update) pairs."""
        return [(index, update) for index, partition in enumerate(self.partitions)
                for update in partition.not_converged]


class PartitionStream:
    """One partition streamed from a shared start, as a task on a worker
    runs it. Warnings are kept in `notes` instead of issued, because
    warning filters are shared by all the tasks a worker runs at once;
    updates that did not converge are counted, not noted, so that the
    caller can report them as a single stream reports them.

    Parameters
    ----------
    start : ModelState
        The shared start (an initialised or fitted state).
    """

    def __init__(self, start: ModelState) -> None:
        # The parameters as the estimator completes them: a state written
        # before a parameter existed lacks it.
        params = IncrementalHuberRegressor(**start.params).get_params()
        if params["n_threads"] is None:
            # The worker's task threads already use its cores: one engine
            # thread per task keeps worker processes from oversubscribing.
            params["n_threads"] = 1
        self.params = params
        self._start = start.replace(params=params)
        self._validator = IncrementalHuberRegressor.from_state(self._start)
        self._stream = Stream.from_state(self._start, params)
        self.notes: list[str] = []
        self.updates = 0
        self.not_converged: list[int] = []

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
                                       dtype=self._stream.dtype, stream_batch=True, encoding=self._start.encoding)
        report = self._stream.take(X, y, weights)
        if report is not None:
            self.updates += 1
            if not report.converged:
                self.not_converged.append(self.updates)
            self.notes += [message for category, message in struggles(report, int(self.params["max_iter"]))
                           if category is not NotConvergedWarning]
        return report

    def state(self) -> ModelState:
        """The partition's state, with the start's parameters."""
        return self._stream.state(self._start.params, self._start.feature_names_in)

    def folded[Carried](self, carried: Carried) -> Folded[Carried]:
        """The partition as one leaf of the merge, carrying `carried`."""
        partition = Partition(self.updates, tuple(self.not_converged), tuple(self.notes), carried)
        return Folded(self.state(), (partition,))


def fold_partition(start: ModelState, batches: Batches) -> Folded[None]:
    """Stream a partition from `start`, `batches(rows)` yielding it in
    batches of the estimator's `batch_size`."""
    partition = PartitionStream(start)
    for X, y, weights in batches(partition.batch_rows):
        partition.take(X, y, weights)
    return partition.folded(None)


def stream_partition(start: ModelState, batches: Iterable[tuple[Any, Any, Any]]) -> tuple[ModelState, list[int]]:
    """Stream `batches` from `start`; returns the state and the updates
    (counted from 1) that did not converge."""
    folded = fold_partition(start, lambda rows: batches)
    return folded.state, list(folded.partitions[0].not_converged)


def combine_folded[Carried](*parts: Folded[Carried]) -> Folded[Carried]:
    """Consecutive groups of partitions as one: their states merged, what
    each partition did kept in order."""
    return Folded(merge_states([part.state for part in parts]),
                  tuple(partition for part in parts for partition in part.partitions))


def newton_sums(state: ModelState, batches: Batches) -> NewtonSums:
    """The score sum and curvature-weighted Gram of a partition at the
    coefficients of `state` (what a pass evaluates there); `batches(rows)`
    yields it in batches of the estimator's `batch_size`."""
    assert state.engine is not None and state.scaling is not None
    scale = state.scaling.y_scale
    coefficients = np.asarray(state.engine.coefficients, dtype=np.float64) * scale
    sums = pass_sums(state, PassPoint(coefficients, scale, np.zeros_like(coefficients), None), batches)
    return {"gradient": sums.gradient, "hessian": sums.gram}


def pass_sums(state: ModelState, point: PassPoint, batches: Batches) -> PassSums:
    """What a pass adds up over one partition at `point`; `batches(rows)`
    yields the partition in batches of the estimator's `batch_size`."""
    validator = IncrementalHuberRegressor.from_state(state)
    engine = state.engine
    assert engine is not None
    sums = PassSums.empty(engine.n_parameters, point)
    for X, y, weights in batches(batch_rows(validator.batch_size, engine.n_parameters, engine.dtype)):
        X, y, weights = validate_batch(validator, X, y, weights, reset=False, dtype=engine.dtype,
                                       stream_batch=True, encoding=state.encoding)
        evaluate_batch(state, point, sums, X, y, weights)
    return sums


def add_pass_sums(*parts: PassSums) -> PassSums:
    """The sums of several partitions of one pass, in a new record."""
    total = PassSums.empty(parts[0].gradient.size, PassPoint(np.zeros(0), parts[0].median.unit,
                                                             np.zeros(0), parts[0].median.bracket))
    for part in parts:
        total.add(part)
    return total


def sum_newton(*parts: NewtonSums) -> NewtonSums:
    """The Newton sums of several partitions (other keys are left out)."""
    return add_newton_sums(parts)


def tree[Leaf](leaves: Sequence[Leaf], combine: Callable[..., Leaf], split_every: int,
               defer: Callable[[Callable[..., Leaf]], Callable[..., Leaf]] = lambda f: f) -> Leaf:
    """Combine `leaves` in a tree of fan-in `split_every`, each node
    combining consecutive ones so that their order is kept; `defer` turns
    `combine` into what a backend schedules (Dask's `delayed`, say)."""
    level = list(leaves)
    while len(level) > 1:
        level = [defer(combine)(*level[i:i + split_every]) for i in range(0, len(level), split_every)]
    return level[0]
