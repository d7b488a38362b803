"""Progress of a stream on standard error: a live bar on a terminal, plain
periodic lines otherwise, nothing when asked to be quiet."""

import sys
import time
from typing import Protocol, TextIO

from tqdm import tqdm

from vintrel.cli.printable import printable

# Seconds between the plain lines written when standard error is not a
# terminal (a log file or a pipe).
LINE_INTERVAL = 10.0


class Progress(Protocol):
    def advance(self, rows: int, note: str) -> None:
        """Count `rows` more rows done; `note` describes the last update."""

    def message(self, text: str) -> None:
        """Write one line without disturbing the display; control
        characters in it are shown escaped."""

    def close(self) -> None:
        """Finish the display."""


def progress_display(label: str, total: int | None, done: int, quiet: bool) -> Progress:
    """The display that suits standard error: `total` rows when known (for
    the time left), of which `done` were done by an earlier run."""
    if quiet:
        return _Silent()
    stream = sys.stderr
    if stream.isatty():
        return _Bar(label, total, done, stream)
    return _Lines(label, total, done, stream)


class _Silent:
    def advance(self, rows: int, note: str) -> None:
        pass

    def message(self, text: str) -> None:
        pass

    def close(self) -> None:
        pass


class _Bar:
    def __init__(self, label: str, total: int | None, done: int, stream: TextIO) -> None:
        self._bar = tqdm(total=total, initial=done, desc=label, unit=" rows", unit_scale=True,
                         dynamic_ncols=True, file=stream, smoothing=0.2)

    def advance(self, rows: int, note: str) -> None:
        self._bar.set_postfix_str(note, refresh=False)
        self._bar.update(rows)

    def message(self, text: str) -> None:
        self._bar.write(printable(text), file=self._bar.fp)

    def close(self) -> None:
        self._bar.close()


class _Lines:
    def __init__(self, label: str, total: int | None, done: int, stream: TextIO) -> None:
        self._label, self._total, self._stream = label, total, stream
        self._done = self._start_rows = self._shown = done
        self._started = self._last_line = time.monotonic()
        self._note = ""

    def advance(self, rows: int, note: str) -> None:
        self._done += rows
        self._note = note
        if time.monotonic() - self._last_line >= LINE_INTERVAL:
            self._write()

    def message(self, text: str) -> None:
        print(printable(text), file=self._stream, flush=True)

    def close(self) -> None:
        if self._done != self._shown:
            self._write()

    def _write(self) -> None:
        now = time.monotonic()
        self._last_line, self._shown = now, self._done
        rate = (self._done - self._start_rows) / max(now - self._started, 1e-9)
        parts = [f"{self._done:,} rows"]
        if self._total:
            parts[0] += f" of {self._total:,} ({self._done / self._total:.0%})"
        parts.append(f"{rate:,.0f} rows/s")
        if self._total and rate > 0:
            parts.append(f"{max(self._total - self._done, 0) / rate:,.0f} s left")
        if self._note:
            parts.append(self._note)
        self.message(f"{self._label}: {', '.join(parts)}")
