"""`vintrel fit`'s passes over the data after the first stream: the files
are read again batch by batch (never more than a batch or two of them in
memory) and each pass takes the estimate a step closer to the whole-data
M-estimate with its MAD scale (see `vintrel._passes`), the same however
the rows are ordered or batched.

Ctrl-C stops a pass after its current batch: the model is saved as of the
last complete pass, with the pass so far (`vintrel.cli.pass_record`), and
`--resume` continues that pass where it stopped.
"""

import argparse
import time
from dataclasses import dataclass

from vintrel._passes import Passes, PassSums, evaluate_batch
from vintrel._validation import validate_batch
from vintrel.cli.errors import CommandError
from vintrel.cli.fit_run import FitPlan, FitRun
from vintrel.cli.interrupt import StopRequest
from vintrel.cli.pass_record import PassInProgress, PassRecord
from vintrel.cli.prefetch import Prefetched
from vintrel.cli.progress import Progress, progress_display
from vintrel.estimator import IncrementalHuberRegressor

# Files listed when the model has taken in rows of files outside the data set.
_LISTED = 3


def passes_after_stream(args: argparse.Namespace, plan: FitPlan, run: FitRun, stop: StopRequest) -> None:
    """After a complete stream, run the passes the model's `max_passes`
    allows (continuing those of a resumed model when the stream added no
    rows), replacing the estimate of `plan.model` after each; what they did
    goes into `run`'s pass record, figures and warnings."""
    model = plan.model
    if run.error is not None or run.interrupted or not hasattr(model, "coef_"):
        # An earlier record of passes still describes the estimate only
        # when this run added no rows to it.
        run.pass_record = None if run.rows_read else plan.passes
        return
    outside = _outside(args, plan)
    if outside is not None:
        run.figures += [("passes", "none: only the stream"),
                        ("estimate", f"the stream's, not the whole-data one: the model has taken in rows of "
                                     f"{outside}, which DATA leaves out; give DATA with all of them for passes")]
        return
    max_passes, pass_tol = int(model.max_passes), float(model.pass_tol)
    record = plan.passes if run.rows_read == 0 else None
    if max_passes <= 1 and record is None:
        run.figures += [("passes", "1: a single stream (--passes 1)"),
                        ("estimate", "the stream's, which depends on the order of the rows")]
        return
    started = time.perf_counter()
    if record is None:
        passes, in_progress = Passes(model.export_state(), pass_tol, max_passes), None
    else:
        passes, in_progress = record.resumed(model.export_state(), pass_tol, max_passes), record.in_progress
    # The stream has read every row of the data set, by now or before.
    total, evaluated = plan.rows_folded_before + run.rows_read, 0
    while not passes.done:
        label = f"pass {passes.n_passes + 1}"
        progress = progress_display(label, total, in_progress.rows if in_progress else 0, args.quiet)
        try:
            ended = _one_pass(plan, passes, in_progress, stop, progress, _note(passes))
        finally:
            progress.close()
        evaluated += ended.rows
        if not ended.complete:
            run.pass_record = PassRecord.of(passes, PassInProgress(ended.sums, ended.read_through))
            run.interrupted, run.error = bool(stop), ended.error
            run.seconds += time.perf_counter() - started
            run.rows_reread += evaluated
            return
        passes.finish(ended.sums)
        model.import_state(passes.state)
        in_progress = None
    run.pass_record = PassRecord.of(passes)
    run.seconds += time.perf_counter() - started
    run.rows_reread += evaluated
    figures, warning = pass_report(passes, time.perf_counter() - started, evaluated)
    run.figures += figures
    if warning:
        run.warnings.append(f"{warning}; continue them with --resume {args.model} --passes {2 * max_passes}")


def pass_report(passes: Passes, seconds: float, rows: int) -> tuple[list[tuple[str, str]], str | None]:
    """The figures of finished passes, and the warning when they did not
    converge."""
    reread = f"{rows:,} rows re-read in {seconds:.2f} s"
    count = f"{passes.n_passes} over the data (the first streamed)"
    if passes.converged:
        return [("passes", f"{count}, converged; {reread}"), ("estimate", "the whole-data M-estimate")], None
    if passes.failed:
        return ([("passes", f"{count}, stopped: no step lowered the loss; {reread}"),
                 ("estimate", "NOT the whole-data M-estimate: the passes could not reach it")],
                f"the passes stopped after {passes.n_passes}: no step along the last direction lowered the loss, so "
                f"the estimate is the last accepted one, not the whole-data M-estimate")
    return ([("passes", f"{count}, NOT converged; {reread}"),
             ("estimate", "NOT yet the whole-data M-estimate: the passes did not converge (raise --passes)")],
            f"the passes did not converge within --passes {passes.max_passes}: the estimate still moved by more "
            f"than --pass-tol {passes.pass_tol:g} in the last pass, so it is not yet the whole-data one")


@dataclass
class _Ended:
    """How a pass ended: complete, or stopped (by a request or an error)
    after the batches its sums and `read_through` cover."""

    sums: PassSums
    read_through: dict[str, int]
    rows: int
    complete: bool
    error: CommandError | None = None


def _one_pass(plan: FitPlan, passes: Passes, in_progress: PassInProgress | None, stop: StopRequest,
              progress: Progress, note: str) -> _Ended:
    """Evaluate the batches of the data set at `passes.point`, from where
    `in_progress` stopped, until they run out, a batch fails or a stop is
    requested. The next batch is read while the current one is evaluated."""
    state, point = passes.state, passes.point
    engine = state.engine
    assert engine is not None
    # The arrays carry no column names and are encoded already; the
    # validator expects neither names nor data frames.
    validator = IncrementalHuberRegressor.from_state(state.replace(feature_names_in=None, encoding=None))
    sums = in_progress.sums if in_progress else PassSums.empty(engine.n_parameters, point)
    read_through = dict(in_progress.read_through) if in_progress else {}
    ended = _Ended(sums, read_through, 0, False)
    with Prefetched(plan.batches(read_through)) as ahead:
        while not stop:
            try:
                item = next(ahead, None)
                if item is None:
                    ended.complete = True
                    break
                chunk, encoded = item
                if encoded.X.shape[0]:
                    assert encoded.y is not None
                    try:
                        X, y, weights = validate_batch(validator, encoded.X, encoded.y, encoded.weights, reset=False,
                                                       dtype=engine.dtype, stream_batch=True)
                    except ValueError as error:
                        raise CommandError(f"{chunk.locate(0)}: {error}") from error
                    # A batch's sums are added only once they are whole, so
                    # that the sums kept at a stop cover whole batches.
                    batch = PassSums.empty(engine.n_parameters, point)
                    evaluate_batch(state, point, batch, X, y, weights)
                    sums.add(batch)
            except CommandError as error:
                ended.error = error
                break
            except MemoryError as error:
                ended.error = CommandError("out of memory in a pass over the data; try a smaller --batch-rows")
                ended.error.__cause__ = error
                break
            read_through.update(chunk.read_through)
            ended.rows += chunk.rows
            if chunk.rows:
                progress.advance(chunk.rows, note)
    return ended


def _note(passes: Passes) -> str:
    """What the progress display says of the pass before."""
    step = passes.last_change
    return f"last step {step:.2g} standard errors (tolerance {passes.pass_tol:g})" if step else \
        "from the stream's estimate"


def _outside(args: argparse.Namespace, plan: FitPlan) -> str | None:
    """The files a resumed model has taken rows of that are not in the data
    set (or a description when it has no record of them): passes over the
    data set alone would drop their rows from the estimate."""
    if args.resume is None:
        return None
    if not plan.folded:
        return "a data set the model file does not record"
    present = {str(path) for path in plan.data.files}
    missing = [path for path, rows in plan.folded.items() if rows and path not in present]
    if not missing:
        return None
    listed = ", ".join(missing[:_LISTED]) + (f" and {len(missing) - _LISTED:,} more" if len(missing) > _LISTED else "")
    return listed
