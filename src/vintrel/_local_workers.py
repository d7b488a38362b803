"""Set-up of the worker processes that `vintrel.dask.connect` starts on
this machine, loaded by each worker as a Dask preload."""

import signal
import threading
from typing import Any


def dask_setup(worker: Any) -> None:
    """Ignore Ctrl-C in the worker: the terminal sends it to every process
    of the command, and the client that owns the workers cancels their
    work and closes them itself; a worker that stopped on its own would
    only print its stack and look like a failure."""
    if threading.current_thread() is threading.main_thread():
        signal.signal(signal.SIGINT, signal.SIG_IGN)
