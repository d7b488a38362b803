"""Data sets on disk, read in record batches with pyarrow and never loaded
whole: one file, a directory of files, or a glob, in Parquet, CSV or Arrow
IPC (Feather)."""

import csv
import glob
import os
from collections.abc import Collection, Iterator, Mapping, Sequence
from dataclasses import dataclass, field
from pathlib import Path

import pyarrow as pa
import pyarrow.compute as pc
import pyarrow.csv as pacsv
import pyarrow.dataset as ds

from vintrel.cli.errors import CommandError, no_such_column, reader_error
from vintrel.cli.interrupt import check_interrupted

# File name endings and the reader each calls for.
_FORMATS = {".parquet": "parquet", ".pq": "parquet", ".csv": "csv", ".csv.gz": "csv", ".csv.bz2": "csv",
            ".arrow": "ipc", ".feather": "ipc", ".ipc": "ipc"}
# Rows per record batch asked of the readers; batches for the estimator
# are assembled from these. Readers run without a thread pool of their
# own: a fit already reads in a thread of its own beside the engine's
# workers, and more threads would only compete with them.
READ_ROWS = 65_536
# Bytes read at a time when counting the lines of a CSV file.
_COUNT_BLOCK = 1 << 20
# Text pyarrow reads as missing in a CSV column of text (besides the empty
# field): its usual null markers, kept for columns read as text that are
# not categorical (columns copied by predict's --keep).
_CSV_NULLS = pa.array(pacsv.ConvertOptions().null_values, type=pa.string())


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


def column_advice(kind: pa.DataType, *, offer_levels: bool = True) -> str | None:
    """What to do with a column of dates, times or nested values that was
    named where numbers or levels are needed (`offer_levels`: where numbers
    are, so that levels are a way out); None for other types."""
    derive = "derive numeric columns from it, such as"
    few = "or list it with --categorical if it has few distinct values" if offer_levels else ""
    if pa.types.is_date(kind):
        return f"it holds dates ({kind}): {derive} the year, month or day of year{few and ', '}{few}"
    if pa.types.is_timestamp(kind):
        return f"it holds timestamps ({kind}): {derive} the year, day of year or hour{few and ', '}{few}"
    if pa.types.is_time(kind):
        return f"it holds times of day ({kind}): {derive} the hour or the seconds since midnight{few and ', '}{few}"
    if pa.types.is_duration(kind):
        return f"it holds durations ({kind}): derive a numeric column from it, such as its length in seconds"
    if pa.types.is_nested(kind):
        return f"it holds nested values ({kind}), which are neither numbers nor levels: derive columns from them"
    return None


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
                opened = ds.dataset(str(path), format=reader)
            elif self.format != "csv":
                opened = ds.dataset(str(path), format=self.format)
            else:
                opened = self._open_csv(path, numbers, text)
        except (pa.ArrowException, OSError) as error:
            names = self._open_csv(path).schema.names if (numbers or text) and self.format == "csv" else ()
            raise reader_error(error, str(path), names) from error
        self._check_names(opened.schema, path)
        return opened

    def _check_names(self, schema: pa.Schema, path: Path) -> None:
        """Refuse column names that are not UTF-8 (a CSV file saved in
        Latin-1, say), naming the first such column."""
        for index in range(len(schema)):
            try:
                _ = schema.field(index).name  # pyarrow decodes the name here
            except UnicodeDecodeError:
                shown = _csv_header_field(path, index) if self.format == "csv" else None
                name = f" ('{shown}')" if shown is not None else ""
                raise CommandError(f"{path}: the name of column {index + 1}{name} is not UTF-8 text; save the file "
                                   f"as UTF-8 (from Latin-1: iconv -f latin1 -t utf-8)") from None

    def _open_csv(self, path: Path, numbers: Collection[str] = (), text: Collection[str] = ()) -> ds.Dataset:
        # Empty fields are missing values, not a level "" nor a number. The
        # `text` columns are read without null markers, so that "NA" (North
        # America) or "null" is a level; `_csv_text_nulls` then makes their
        # empty fields missing and restores the markers in other text.
        def reader(types: Mapping[str, pa.DataType]) -> ds.CsvFileFormat:
            return ds.CsvFileFormat(convert_options=pacsv.ConvertOptions(column_types=dict(types),
                                                                         strings_can_be_null=not text))
        inferred = ds.dataset(str(path), format=ds.CsvFileFormat(
            convert_options=pacsv.ConvertOptions(strings_can_be_null=True)))
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

    def rows_below(self, limit: int) -> int | None:
        """The data set's rows when they are fewer than `limit`, else None.

        File metadata tells the rows of Parquet and Arrow files. A CSV
        file's lines are counted instead, no more than `limit` of them:
        quoted fields may hold line breaks and blank lines are skipped, so
        lines may outnumber rows but never the reverse, and a count below
        `limit` still proves the rows fewer.
        """
        rows = 0
        for path in self.files:
            try:
                if self.format == "csv":
                    rows += max(_count_lines(path, limit - rows + 1) - 1, 0)  # less the header
                else:
                    rows += int(self._open_file(path).count_rows())
            except (pa.ArrowException, OSError) as error:
                raise reader_error(error, str(path)) from error
            if rows >= limit:
                return None
        return rows

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
            _check_columns(columns, numbers, text, data.schema, key)
            row = skip.get(key, 0)
            try:
                for batch in self._batches_from(data, columns, row):
                    check_interrupted()  # a pass of the planning can be long
                    row += batch.num_rows
                    yield Piece(key, _csv_text_nulls(batch, text) if self.format == "csv" and text else batch, row)
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


def _check_columns(columns: Sequence[str], numbers: Collection[str], text: Collection[str], schema: pa.Schema,
                   where: str) -> None:
    names = set(schema.names)
    for name in columns:
        if name not in names:
            raise no_such_column(name, schema.names, where)
        kind = schema.field(name).type
        if name in numbers and not is_numeric(kind):
            advice = column_advice(kind)
            raise CommandError(f"{where}: column '{name}' is not numeric" + (f"; {advice}" if advice else f" ({kind})"))
        if name in text and pa.types.is_nested(kind):
            raise CommandError(f"{where}: column '{name}' cannot be categorical: {column_advice(kind)}")


def _csv_text_nulls(batch: pa.RecordBatch, text: Collection[str]) -> pa.RecordBatch:
    """A CSV batch read without null markers in text: empty fields of the
    `text` columns become missing values, and the usual markers ("NA",
    "null", ...) missing values in other text columns, as pyarrow reads
    them by default."""
    columns = []
    for name, column in zip(batch.schema.names, batch.columns, strict=True):
        if pa.types.is_string(column.type):
            absent = pc.equal(column, "") if name in text else pc.is_in(column, value_set=_CSV_NULLS)
            column = pc.if_else(absent, pa.scalar(None, pa.string()), column)
        columns.append(column)
    return pa.RecordBatch.from_arrays(columns, schema=batch.schema)


def _count_lines(path: Path, most: int) -> int:
    """The lines of a (possibly compressed) text file, counted a block at
    a time until they reach `most` (the count may then pass it)."""
    lines = 0
    last = b"\n"
    with pa.input_stream(str(path)) as stream:
        while lines < most:
            check_interrupted()
            block = stream.read(_COUNT_BLOCK)
            if not block:
                break
            lines += block.count(b"\n")
            last = block[-1:]
    unterminated = last != b"\n" and lines < most  # a last line without a line break
    return lines + int(unterminated)


def _csv_header_field(path: Path, index: int) -> str | None:
    """Field `index` of a CSV file's first line, its bytes that are not
    UTF-8 shown as escapes; None when it cannot be read."""
    try:
        with pa.input_stream(str(path)) as stream:
            first = stream.read(_COUNT_BLOCK).split(b"\n", 1)[0].rstrip(b"\r")
    except (pa.ArrowException, OSError):
        return None
    # Latin-1 maps every byte to one character, so the fields come back
    # byte for byte.
    fields = next(csv.reader([first.decode("latin-1")]), [])
    if index >= len(fields):
        return None
    return fields[index].encode("latin-1").decode("utf-8", "backslashreplace")


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
