"""`vintrel fit --dask`: the fit as one stream per file (see
`vintrel.cli.cluster_fit`) on a Dask cluster.

What is Dask's here: reaching or starting the cluster, sending the shared
start to every worker, running the tasks and their merge tree as futures,
and turning the cluster's failures into one line each.

A worker that dies has its task run again elsewhere by Dask; otherwise a
fit on Dask is all or nothing: a bad batch, Dask's retries running out or
Ctrl-C cancel the work still running, and no model is written (there is no
stream to resume).
"""

import argparse
import contextlib
import logging
import os
import time
import uuid
from collections.abc import Callable, Iterator, Sequence
from concurrent.futures import CancelledError
from typing import Any

import distributed
from dask.delayed import delayed

import vintrel.dask as vintrel_dask
from vintrel.cli.cluster_fit import SPLIT_EVERY, fit_files, shared_start
from vintrel.cli.errors import EXIT_INTERRUPTED, CommandError, first_line
from vintrel.cli.fit_run import BatchSource, FitPlan, finish_fit
from vintrel.cli.interrupt import stop_on_interrupt
from vintrel.cli.table import counted

# The log level of Dask in processes started from here.
_WORKER_LOGGING = "DASK_LOGGING__DISTRIBUTED"


def fit_on_dask(args: argparse.Namespace, plan: FitPlan) -> int:
    """Run the planned fit on the cluster `args.dask` names, then save and
    report it as a single stream's; returns the exit status."""
    start = shared_start(plan)
    with _cluster_logs_quiet(), contextlib.ExitStack() as finishing:
        try:
            started = time.perf_counter()
            with _connected(args.dask) as client:
                connecting = time.perf_counter() - started
                with _cluster_failures():
                    run = fit_files(args, plan, start, _OnDask(client))
                workers = counted(len(client.scheduler_info().get("workers", {})), "worker")
                run.figures.insert(0, ("on Dask", f"{counted(len(plan.data.files), 'file')} streamed by {workers} "
                                                  f"at {args.dask} (reached in {connecting:.2f} s), merged in a tree"))
                # The fit is complete: a Ctrl-C from here on waits for the
                # cluster to close and the model file to be written.
                finishing.enter_context(stop_on_interrupt())
        except KeyboardInterrupt:
            raise CommandError("interrupted: the work on the cluster was cancelled and no model was written "
                               "(a fit on Dask cannot be resumed; run it again)", status=EXIT_INTERRUPTED) from None
        return finish_fit(args, plan, run)


class _OnDask:
    """Runs the tasks of a fit on the cluster of `client` (a `Runner`)."""

    def __init__(self, client: distributed.Client) -> None:
        self.client = client

    def combine_files[Shared, Result](self, work: Callable[[Shared, BatchSource], Result], shared: Shared,
                              files: Sequence[BatchSource], name: str, combine: Callable[..., Result],
                              on_done: Callable[[int, Result], None]) -> Result:
        key = f"vintrel-{name}-{uuid.uuid4().hex[:8]}"
        # `shared` is sent to every worker up front: held by one worker
        # only, it would draw every task to that worker.
        [scattered] = self.client.scatter([shared], broadcast=True, hash=False)
        tasks = [delayed(work, pure=False)(scattered, task, dask_key_name=f"{key}-{index}")
                 for index, task in enumerate(files)]
        position = {task.key: index for index, task in enumerate(tasks)}

        def done(count: int, future: distributed.Future[Any]) -> None:
            on_done(position[future.key], future.result())

        result: Result = vintrel_dask.combine_on_cluster(tasks, combine, SPLIT_EVERY, done)
        return result


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
