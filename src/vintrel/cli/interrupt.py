"""Ctrl-C as a request to stop at the next safe point instead of an
exception wherever the program happens to be."""

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


@contextlib.contextmanager
def stop_on_interrupt() -> Iterator[StopRequest]:
    """Within the block, SIGINT only sets the yielded request; the handler
    before it is restored afterwards. Signal handlers belong to the main
    thread; elsewhere the request never becomes true."""
    request = StopRequest()
    if threading.current_thread() is not threading.main_thread():
        yield request
        return
    previous = signal.signal(signal.SIGINT, request._on_signal)
    try:
        yield request
    finally:
        signal.signal(signal.SIGINT, previous)
