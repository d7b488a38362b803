"""Data sets on disk, read in record batches with pyarrow and never loaded
whole: one file, a directory of files, or a glob, in Parquet, CSV or Arrow
IPC (Feather)."""

import glob
import os
from collections.abc import Iterator, Mapping, Sequence
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
# are assembled from these.
READ_ROWS = 65_536


def _format_of(path: Path) -> str | None:
    name = path.name.lower()
    for ending, kind in _FORMATS.items():
        if name.endswith(ending):
            return kind
    return None


@dataclass(frozen=True)
class Piece:
    """A record batch of one file, and the rows of that file read once it
    is used."""

    path: str
    batch: pa.RecordBatch
    end_row: int


@dataclass
class Chunk:
    """Rows for one estimator update: a table of the columns asked for and,
    for each file it draws on, the rows of that file read once it is used."""

    table: pa.Table
    read_through: dict[str, int] = field(default_factory=dict)
    # (file, its first row here, rows) for each run of rows, in order.
    sources: list[tuple[str, int, int]] = field(default_factory=list)

    @property
    def rows(self) -> int:
        return int(self.table.num_rows)

    def locate(self, index: int) -> str:
        """Where row `index` of the table came from, for messages."""
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
        return cls(source, data.files, data.format, data.file_schema(files[0]))

    def _reader(self, column_types: Mapping[str, pa.DataType] | None = None) -> ds.FileFormat | str:
        if self.format != "csv":
            return self.format
        # Columns whose type is known are read as that type, so that a
        # column whose first block looks integral does not fail on a
        # decimal later; empty fields are missing values, not levels.
        return ds.CsvFileFormat(convert_options=pacsv.ConvertOptions(
            column_types=dict(column_types or {}), strings_can_be_null=True))

    def _open_file(self, path: Path, column_types: Mapping[str, pa.DataType] | None = None) -> ds.Dataset:
        try:
            return ds.dataset(str(path), format=self._reader(column_types))
        except (pa.ArrowException, OSError) as error:
            names = self.file_schema(path).names if column_types else ()
            raise reader_error(error, str(path), names) from error

    def file_schema(self, path: Path) -> pa.Schema:
        return self._open_file(path).schema

    def total_rows(self) -> int | None:
        """Rows in the data set, when file metadata tells them (not CSV)."""
        if self.format == "csv":
            return None
        try:
            return sum(int(self._open_file(path).count_rows()) for path in self.files)
        except (pa.ArrowException, OSError) as error:
            raise reader_error(error, self.source) from error

    def check_columns(self, columns: Sequence[str], schema: pa.Schema, where: str) -> None:
        for name in columns:
            if name not in schema.names:
                raise no_such_column(name, schema.names, where)

    def pieces(self, columns: Sequence[str], column_types: Mapping[str, pa.DataType],
               skip: Mapping[str, int]) -> Iterator[Piece]:
        """Record batches of `columns`, file after file, cast to
        `column_types` where given, leaving out the first `skip[path]` rows
        of each file. Every file yields at least one piece, so that a file
        without rows left is still seen to be read."""
        for path in self.files:
            key = str(path)
            data = self._open_file(path, column_types)
            self.check_columns(columns, data.schema, key)
            start = skip.get(key, 0)
            row = start
            try:
                for batch in self._batches_from(data, columns, start):
                    row += batch.num_rows
                    yield Piece(key, _cast(batch, column_types), row)
            except (pa.ArrowException, OSError) as error:
                raise reader_error(error, key, data.schema.names) from error
            yield Piece(key, pa.RecordBatch.from_pylist([], schema=_cast_schema(data.schema, columns,
                                                                                  column_types)), row)

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
                columns=list(columns), batch_size=READ_ROWS) if remaining else iter(())
        else:
            batches = data.to_batches(columns=list(columns), batch_size=READ_ROWS)
        for batch in batches:
            if start >= batch.num_rows:
                start -= batch.num_rows
                continue
            yield batch.slice(start) if start else batch
            start = 0
        if start:
            raise CommandError(f"{data.files[0]}: has fewer rows than the model already folded from it; "
                               f"the file has changed since")

    def chunks(self, columns: Sequence[str], column_types: Mapping[str, pa.DataType], rows: int,
               skip: Mapping[str, int]) -> Iterator[Chunk]:
        """Tables of exactly `rows` rows (the last one shorter) over the
        files in order, so that batch edges depend only on the data and the
        rows skipped: a resumed stream sees the batches an uninterrupted
        one would have."""
        gathered: list[pa.RecordBatch] = []
        count = 0
        chunk = Chunk(pa.table({}))
        schema: pa.Schema | None = None
        for piece in self.pieces(columns, column_types, skip):
            batch = piece.batch
            schema = batch.schema
            position = piece.end_row - batch.num_rows
            chunk.read_through[piece.path] = position
            while batch.num_rows:
                take = min(batch.num_rows, rows - count)
                gathered.append(batch.slice(0, take))
                count += take
                chunk.sources.append((piece.path, position, take))
                position += take
                chunk.read_through[piece.path] = position
                batch = batch.slice(take)
                if count == rows:
                    chunk.table = pa.Table.from_batches(gathered)
                    yield chunk
                    gathered, count, chunk = [], 0, Chunk(pa.table({}), {piece.path: position})
        if schema is not None:
            chunk.table = pa.Table.from_batches(gathered, schema=schema)
            yield chunk


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


def _cast_schema(schema: pa.Schema, columns: Sequence[str], column_types: Mapping[str, pa.DataType]) -> pa.Schema:
    return pa.schema([pa.field(name, column_types.get(name, schema.field(name).type)) for name in columns])


def _cast(batch: pa.RecordBatch, column_types: Mapping[str, pa.DataType]) -> pa.RecordBatch:
    """`batch` with the columns named in `column_types` cast to their type,
    so that files whose columns differ in width can be joined."""
    arrays = []
    for name, column in zip(batch.schema.names, batch.columns, strict=True):
        wanted = column_types.get(name)
        if wanted is not None and column.type != wanted:
            if pa.types.is_dictionary(column.type):
                column = column.dictionary_decode()
            column = column.cast(wanted)
        arrays.append(column)
    return pa.RecordBatch.from_arrays(arrays, names=batch.schema.names)
