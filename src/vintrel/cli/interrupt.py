"""Ctrl-C as a request to stop at the next safe point instead of an
exception wherever the program happens to be.

While the program starts up (imports, parsing, planning), SIGINT is held
as a request that `check_interrupted` raises as KeyboardInterrupt at safe
points. Raised at once, it could land in a library's import or in a
cleanup callback that swallows it (the command then ran on as if nothing
had happened), or make the interpreter end by the signal after the command
had reported it.
"""

import contextlib
import signal
import threading
from collections.abc import Iterator
from types import FrameType


class StopRequest:
    """Becomes true once SIGINT has arrived."""

    def __init__(self) -> None:
        self.requested = False

    def __bool__(self) -> bool:
        return self.requested

    def _on_signal(self, signum: int, frame: FrameType | None) -> None:
        self.requested = True


# SIGINT that arrived while held.
_held = StopRequest()


def _on_main_thread() -> bool:
    return threading.current_thread() is threading.main_thread()


@contextlib.contextmanager
def stop_on_interrupt() -> Iterator[StopRequest]:
    """Within the block, SIGINT only sets the yielded request, which is
    already set when SIGINT arrived while held; the handler before it is
    restored afterwards. Signal handlers belong to the main thread;
    elsewhere the request never becomes true."""
    request = StopRequest()
    if not _on_main_thread():
        yield request
        return
    previous = signal.signal(signal.SIGINT, request._on_signal)
    request.requested = request.requested or _held.requested
    try:
        yield request
    finally:
        signal.signal(signal.SIGINT, previous)


def hold_interrupts() -> None:
    """From now on, SIGINT is a request that `check_interrupted` raises.
    For the program's entry point: a command called as a function keeps
    the caller's handler."""
    if _on_main_thread():
        signal.signal(signal.SIGINT, _held._on_signal)


def check_interrupted() -> None:
    """A safe point: raise KeyboardInterrupt if SIGINT arrived while held
    (in the main thread; elsewhere nothing happens)."""
    if _held and _on_main_thread():
        raise KeyboardInterrupt


def raise_interrupts() -> None:
    """From now on, SIGINT raises KeyboardInterrupt at once again, for
    waits without safe points of their own; one that arrived while held is
    raised now."""
    if _on_main_thread() and signal.getsignal(signal.SIGINT) == _held._on_signal:
        signal.signal(signal.SIGINT, signal.default_int_handler)
    check_interrupted()
