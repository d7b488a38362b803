"""Reading ahead: the next items of an iterator are produced by a worker
thread while the caller works on the current one."""

import queue
import threading
from collections.abc import Iterable, Iterator
from typing import Self

# Seconds between checks, while the queue is full, for a request to stop.
_POLL = 0.1


class Prefetched[T]:
    """Items of `source`, produced in a worker thread up to `depth` ahead.

    An exception raised by `source` is raised by `next` in its place in the
    sequence, after the items before it. `close` stops the worker; use the
    object as a context manager so that it always is.
    """

    def __init__(self, source: Iterable[T], depth: int = 1) -> None:
        self._queue: queue.Queue[tuple[str, object]] = queue.Queue(maxsize=depth)
        self._closed = threading.Event()
        self._worker = threading.Thread(target=self._produce, args=(iter(source),), name="vintrel-reader",
                                        daemon=True)
        self._worker.start()

    def __iter__(self) -> Iterator[T]:
        return self

    def __next__(self) -> T:
        kind, value = self._queue.get()
        if kind == "item":
            return value  # type: ignore[return-value]
        if kind == "error":
            assert isinstance(value, BaseException)
            raise value
        self._queue.put((kind, value))  # later calls end too
        raise StopIteration

    def __enter__(self) -> Self:
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.close()

    def close(self) -> None:
        self._closed.set()
        while self._worker.is_alive():
            try:
                self._queue.get(timeout=_POLL)
            except queue.Empty:
                pass
        self._worker.join()

    def _produce(self, items: Iterator[T]) -> None:
        try:
            for item in items:
                if not self._put("item", item):
                    return
        except BaseException as error:  # handed to the consumer, in order
            self._put("error", error)
            return
        self._put("end", None)

    def _put(self, kind: str, value: object) -> bool:
        while not self._closed.is_set():
            try:
                self._queue.put((kind, value), timeout=_POLL)
                return True
            except queue.Full:
                continue
        return False
