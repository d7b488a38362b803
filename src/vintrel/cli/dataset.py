"""Data sets on disk, read in record batches with pyarrow and never loaded
whole: one file, a directory of files, or a glob, in Parquet, CSV or Arrow
IPC (Feather)."""

import glob
import os
from collections.abc import Collection, Iterator, Mapping, Sequence
from dataclasses import dataclass, field
from pathlib import Path

import pyarrow as pa
import pyarrow.csv as pacsv
import pyarrow.dataset as ds

from vintrel.cli.errors import CommandError, no_such_column, reader_error

# File name endings and the reader each calls for.
_FORMATS = {".parquet": "parquet", ".pq": "parquet", ".csv": "csv", ".csv.gz": "csv", ".csv.bz2": "csv",
            ".arrow": "ipc", ".feather": "ipc", ".ipc": "ipc"}
# Rows per record batch asked of the readers; batches for the estimator
# are assembled from these. Readers run without a thread pool of their
# own: a fit already reads in a thread of its own beside the engine's
# workers, and more threads would only compete with them.
READ_ROWS = 65_536


def _format_of(path: Path) -> str | None:
    name = path.name.lower()
    for ending, kind in _FORMATS.items():
        if name.endswith(ending):
            return kind
    return None


def is_numeric(kind: pa.DataType) -> bool:
    """Whether a column of this type can be read as numbers. A column of
    the null type (a CSV column with no values) counts, so that it is
    reported as empty rather than as text."""
    return bool(pa.types.is_integer(kind) or pa.types.is_floating(kind) or pa.types.is_boolean(kind)
                or pa.types.is_decimal(kind) or pa.types.is_null(kind))


@dataclass(frozen=True)
class Piece:
    """A record batch of one file (None once the file is done), and the
    rows of that file read once it is used."""

    path: str
    batch: pa.RecordBatch | None
    end_row: int


@dataclass
class Chunk:
    """Rows for one estimator update: record batches of the columns asked
    for and, for each file they draw on, the rows of that file read once
    they are used."""

    parts: list[pa.RecordBatch] = field(default_factory=list)
    read_through: dict[str, int] = field(default_factory=dict)
    # (file, its first row here, rows) for each part, in order.
    sources: list[tuple[str, int, int]] = field(default_factory=list)

    @property
    def rows(self) -> int:
        return sum(part.num_rows for part in self.parts)

    def locate(self, index: int) -> str:
        """Where row `index` of the chunk came from, for messages."""
        for path, first, count in self.sources:
            if index < count:
                return f"{path} row {first + index + 1:,}"
            index -= count
        return f"row {index + 1:,}"


@dataclass(frozen=True)
class DataSet:
    """The files of a data set in a fixed order, their format and the
    schema of the first file."""

    source: str
    files: tuple[Path, ...]
    format: str
    schema: pa.Schema

    @classmethod
    def open(cls, source: str) -> "DataSet":
        """The data set named by `source`: a file, a directory (its files
        with a known ending, recursively, hidden ones left out) or a glob."""
        files = _files_of(source)
        kinds = {_format_of(path) for path in files}
        if None in kinds:
            unknown = next(path for path in files if _format_of(path) is None)
            raise CommandError(f"{unknown}: cannot tell the format from the name "
                               f"(expected one of {', '.join(_FORMATS)})")
        if len(kinds) > 1:
            raise CommandError(f"{source}: mixes formats ({', '.join(sorted(str(k) for k in kinds))}); "
                               f"a data set is files of one format")
        data = cls(source, tuple(files), str(kinds.pop()), pa.schema([]))
        return cls(source, data.files, data.format, data._open_file(files[0]).schema)

    def _open_file(self, path: Path, numbers: Collection[str] = (), text: Collection[str] = ()) -> ds.Dataset:
        """One file as a dataset that reads the `text` columns as text
        (dictionary-encoded where the format keeps it) and, in CSV, the
        `numbers` columns as float64."""
        try:
            if self.format == "parquet" and text:
                reader = ds.ParquetFileFormat(read_options=ds.ParquetReadOptions(dictionary_columns=set(text)))
                return ds.dataset(str(path), format=reader)
            if self.format != "csv":
                return ds.dataset(str(path), format=self.format)
            return self._open_csv(path, numbers, text)
        except (pa.ArrowException, OSError) as error:
            names = self._open_csv(path).schema.names if (numbers or text) and self.format == "csv" else ()
            raise reader_error(error, str(path), names) from error

    def _open_csv(self, path: Path, numbers: Collection[str] = (), text: Collection[str] = ()) -> ds.Dataset:
        # Empty fields are missing values, not a level "" nor a number.
        def reader(types: Mapping[str, pa.DataType]) -> ds.CsvFileFormat:
            return ds.CsvFileFormat(convert_options=pacsv.ConvertOptions(column_types=dict(types),
                                                                         strings_can_be_null=True))
        inferred = ds.dataset(str(path), format=reader({}))
        if not numbers and not text:
            return inferred
        # Types come from the first block; numbers are read as float64 so
        # that a column that looks integral there does not fail on a
        # decimal later on.
        types: dict[str, pa.DataType] = {name: pa.string() for name in text}
        for name in numbers:
            if name in inferred.schema.names:
                kind = inferred.schema.field(name).type
                if pa.types.is_integer(kind) or pa.types.is_floating(kind) or pa.types.is_null(kind):
                    types[name] = pa.float64()
        return ds.dataset(str(path), format=reader(types))

    def total_rows(self) -> int | None:
        """Rows in the data set, when file metadata tells them (not CSV)."""
        if self.format == "csv":
            return None
        try:
            return sum(int(self._open_file(path).count_rows()) for path in self.files)
        except (pa.ArrowException, OSError) as error:
            raise reader_error(error, self.source) from error

    def pieces(self, columns: Sequence[str], skip: Mapping[str, int], *, numbers: Collection[str] = (),
               text: Collection[str] = ()) -> Iterator[Piece]:
        """Record batches of `columns`, file after file, leaving out the
        first `skip[path]` rows of each file. The `numbers` columns must be
        numeric in every file; the `text` ones are read as text. Each file
        ends with a piece without a batch, so that a file without rows left
        is still seen to be read."""
        for path in self.files:
            key = str(path)
            data = self._open_file(path, numbers, text)
            _check_columns(columns, numbers, data.schema, key)
            row = skip.get(key, 0)
            try:
                for batch in self._batches_from(data, columns, row):
                    row += batch.num_rows
                    yield Piece(key, batch, row)
            except (pa.ArrowException, OSError) as error:
                raise reader_error(error, key, data.schema.names) from error
            yield Piece(key, None, row)

    def _batches_from(self, data: ds.Dataset, columns: Sequence[str], start: int) -> Iterator[pa.RecordBatch]:
        """The file's record batches from row `start` on."""
        fragments = list(data.get_fragments())
        if start and self.format == "parquet" and len(fragments) == 1:
            # Whole row groups before `start` are not read at all.
            fragment = fragments[0]
            sizes = [group.num_rows for group in fragment.row_groups]
            first, before = 0, 0
            while first < len(sizes) and before + sizes[first] <= start:
                before += sizes[first]
                first += 1
            start -= before
            remaining = list(range(first, len(sizes)))
            batches = fragment.subset(row_group_ids=remaining).to_batches(
                columns=list(columns), batch_size=READ_ROWS, use_threads=False) if remaining else iter(())
        else:
            batches = data.to_batches(columns=list(columns), batch_size=READ_ROWS, use_threads=False)
        for batch in batches:
            if start >= batch.num_rows:
                start -= batch.num_rows
                continue
            yield batch.slice(start) if start else batch
            start = 0
        if start:
            raise CommandError(f"{data.files[0]}: has fewer rows than the model already folded from it; "
                               f"the file has changed since")

    def chunks(self, columns: Sequence[str], rows: int, skip: Mapping[str, int], *,
               numbers: Collection[str] = (), text: Collection[str] = ()) -> Iterator[Chunk]:
        """Chunks of exactly `rows` rows (the last one shorter) over the
        files in order, so that batch edges depend only on the data and the
        rows skipped: a resumed stream sees the batches an uninterrupted
        one would have."""
        chunk, count = Chunk(), 0
        for piece in self.pieces(columns, skip, numbers=numbers, text=text):
            batch = piece.batch
            if batch is None:
                chunk.read_through[piece.path] = piece.end_row
                continue
            position = piece.end_row - batch.num_rows
            while batch.num_rows:
                take = min(batch.num_rows, rows - count)
                chunk.parts.append(batch.slice(0, take))
                chunk.sources.append((piece.path, position, take))
                position += take
                count += take
                chunk.read_through[piece.path] = position
                batch = batch.slice(take)
                if count == rows:
                    yield chunk
                    chunk, count = Chunk(read_through={piece.path: position}), 0
        yield chunk


def _check_columns(columns: Sequence[str], numbers: Collection[str], schema: pa.Schema, where: str) -> None:
    for name in columns:
        if name not in schema.names:
            raise no_such_column(name, schema.names, where)
        kind = schema.field(name).type
        if name in numbers and not is_numeric(kind):
            raise CommandError(f"{where}: column '{name}' is not numeric ({kind})")


def _files_of(source: str) -> list[Path]:
    if glob.has_magic(source):
        files = [Path(name) for name in sorted(glob.glob(source, recursive=True)) if os.path.isfile(name)]
        if not files:
            raise CommandError(f"{source}: no file matches")
        return [path.resolve() for path in files]
    path = Path(source)
    if path.is_dir():
        files = sorted(candidate for candidate in path.rglob("*")
                       if candidate.is_file() and _format_of(candidate) is not None
                       and not any(part.startswith((".", "_")) for part in candidate.relative_to(path).parts))
        if not files:
            raise CommandError(f"{source}: the directory holds no data files "
                               f"(endings {', '.join(_FORMATS)})")
        return [candidate.resolve() for candidate in files]
    if not path.exists():
        raise CommandError(f"{source}: no such file or directory")
    return [path.resolve()]
