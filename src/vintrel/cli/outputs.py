"""Files the commands write: checked before any work starts, written
atomically so that an interrupted or failed command leaves no partial
file."""

import contextlib
import os
from collections.abc import Callable, Iterator, Sequence
from pathlib import Path

import pyarrow as pa
import pyarrow.csv as pacsv
import pyarrow.parquet as pq

from vintrel._atomic import atomic_write
from vintrel.cli.errors import CommandError

_OUTPUT_FORMATS = {".parquet": "parquet", ".pq": "parquet", ".csv": "csv"}


def check_writable(path: str, inputs: Sequence[Path], option: str,
                   others: Sequence[tuple[str, str | None]] = ()) -> None:
    """Refuse an output that cannot be written, or that is one file with an
    input (of the data set `inputs`) or with one of the `others`, the
    command's other files named by their option; before a long run rather
    than after it."""
    target = Path(path)
    parent = target.parent
    if not parent.is_dir():
        raise CommandError(f"{option} {path}: the directory {parent} does not exist")
    if target.is_dir():
        raise CommandError(f"{option} {path}: is a directory")
    if not os.access(parent, os.W_OK):
        raise CommandError(f"{option} {path}: cannot write in {parent}")
    if any(_same_file(target, Path(name)) for name in inputs):
        raise CommandError(f"{option} {path}: is one of the input files; choose another name")
    for other, name in others:
        if name is not None and _same_file(target, Path(name)):
            raise CommandError(f"{option} {path}: is the same file as {other} {name}; choose another name")


def _same_file(one: Path, other: Path) -> bool:
    """Whether two names are one file: the same path once links are
    resolved, or hard links to one file."""
    if one.resolve() == other.resolve():
        return True
    try:
        return os.path.samefile(one, other)
    except OSError:  # one of them does not exist yet
        return False


def output_format(path: str) -> str:
    kind = _OUTPUT_FORMATS.get(Path(path).suffix.lower())
    if kind is None:
        raise CommandError(f"--output {path}: expected a name ending in .parquet or .csv")
    return kind


@contextlib.contextmanager
def table_writer(path: str) -> Iterator[Callable[[pa.Table], None]]:
    """Yield a function that appends tables (of one schema) to `path`, in
    Parquet or CSV by its ending. The file appears complete when the block
    ends, and not at all when it fails."""
    kind = output_format(path)
    with atomic_write(path) as temporary:
        writer: pq.ParquetWriter | pacsv.CSVWriter | None = None

        def write(table: pa.Table) -> None:
            nonlocal writer
            if writer is None:
                opened = pq.ParquetWriter if kind == "parquet" else pacsv.CSVWriter
                writer = opened(str(temporary), table.schema)
            writer.write_table(table)

        try:
            yield write
        finally:
            if writer is not None:
                writer.close()
