"""Tables of data-set columns as the estimator's arrays: numeric features as
they are, categorical columns one-hot with their first level dropped (the
package's rule, `vintrel._categorical`, which the estimator applies to data
frames), and rows with missing values refused or dropped."""

from collections.abc import Callable, Iterable, Mapping, Sequence
from dataclasses import dataclass, field
from typing import Any

import numpy as np
import pyarrow as pa
import pyarrow.compute as pc
from numpy.typing import DTypeLike, NDArray

from vintrel._categorical import Encoding, design_names, level_order
from vintrel.cli.dataset import column_advice
from vintrel.cli.errors import CommandError

Array = NDArray[np.floating[Any]]
# Says where row i of a table came from, for error messages.
Locator = Callable[[int], str]


@dataclass(frozen=True)
class FeatureLayout:
    """The columns a model uses and how.

    `columns` are the feature columns in order; those in `levels` are
    categorical and become one indicator per level after the first.
    """

    columns: tuple[str, ...]
    levels: Mapping[str, tuple[str, ...]]
    target: str | None = None
    weight: str | None = None

    @property
    def feature_names(self) -> list[str]:
        """The estimator's feature names: numeric columns by name, and
        `column=level` for each indicator."""
        return design_names(self.columns, self.levels)

    @property
    def encoding(self) -> Encoding | None:
        """The estimator's record of the categorical columns, or None
        without any."""
        return Encoding(self.columns, self.levels) if self.levels else None

    @property
    def used_columns(self) -> list[str]:
        extra = [name for name in (self.target, self.weight) if name is not None]
        return [*self.columns, *extra]

    @property
    def categorical(self) -> frozenset[str]:
        return frozenset(self.levels)

    @property
    def numbers(self) -> frozenset[str]:
        """The used columns read as numbers."""
        return frozenset(self.used_columns) - self.categorical

    def to_metadata(self) -> dict[str, Any]:
        return {"columns": list(self.columns), "categorical": {k: list(v) for k, v in self.levels.items()},
                "target": self.target, "weight": self.weight}

    @classmethod
    def from_metadata(cls, metadata: Mapping[str, Any]) -> "FeatureLayout":
        """The layout `to_metadata` described. Raises KeyError, TypeError or
        ValueError when it does not hold together."""
        columns = _names(metadata["columns"], "the feature columns")
        categorical = metadata["categorical"]
        if not isinstance(categorical, Mapping):
            raise TypeError("the categorical columns are not a mapping")
        levels = {}
        for column, values in categorical.items():
            if column not in columns:
                raise ValueError(f"categorical column {column!r} is not a feature column")
            levels[column] = _names(values, f"the levels of {column!r}")
            if not levels[column]:
                raise ValueError(f"categorical column {column!r} has no levels")
        target, weight = metadata.get("target"), metadata.get("weight")
        if not all(name is None or isinstance(name, str) for name in (target, weight)):
            raise TypeError("the target and weight columns must be names")
        return cls(columns, levels, target, weight)


def _names(values: Any, what: str) -> tuple[str, ...]:
    """Distinct strings, from a list of them."""
    if not isinstance(values, list) or not all(isinstance(value, str) for value in values):
        raise TypeError(f"{what} are not a list of names")
    if len(set(values)) != len(values):
        raise ValueError(f"{what} repeat a name")
    return tuple(values)


@dataclass
class Encoded:
    """A table as arrays: features, target and weights of the rows kept,
    and what was left out or unknown."""

    X: Array
    y: Array | None
    weights: Array | None
    kept: NDArray[np.bool_] | None  # None when every row was kept
    dropped: int = 0
    unseen: dict[str, int] = field(default_factory=dict)


class Encoder:
    """Turns record batches of a layout's columns into arrays of one
    precision.

    With `drop_missing`, rows with an empty, NaN or infinite value in a
    used column are left out and counted; otherwise the first one is an
    error naming its file and row.
    """

    def __init__(self, layout: FeatureLayout, dtype: DTypeLike, drop_missing: bool,
                 advice: str = "use --nan drop to leave such rows out") -> None:
        self.layout = layout
        self.advice = advice  # how to get past a missing value
        self.dtype = np.dtype(dtype)
        self.drop_missing = drop_missing
        self._level_sets = {name: pa.array(levels, type=pa.string()) for name, levels in layout.levels.items()}
        self._width = len(layout.feature_names)

    def encode(self, parts: Sequence[pa.RecordBatch], locate: Locator) -> Encoded:
        """The rows of `parts` as arrays; the target and the weights when
        the layout names them. Everything is in the encoder's precision,
        which the estimator would otherwise convert to."""
        layout = self.layout
        rows = sum(part.num_rows for part in parts)
        # Column-major: each column is filled by one contiguous copy, and
        # the estimator reads either layout.
        X = np.empty((rows, self._width), dtype=self.dtype, order="F")
        y = None if layout.target is None else np.empty(rows, dtype=self.dtype)
        weights = None if layout.weight is None else np.empty(rows, dtype=self.dtype)
        missing = _Missing(rows, self.drop_missing, locate, self.advice)
        unseen: dict[str, int] = {}
        begin = 0
        for part in parts:
            block = slice(begin, begin + part.num_rows)
            for name, count in self._fill_features(part, X[block], missing.at(begin)).items():
                unseen[name] = unseen.get(name, 0) + count
            for column, out in ((layout.target, y), (layout.weight, weights)):
                if out is not None and column is not None:
                    out[block] = _numbers(part.column(column), column, missing.at(begin))
            begin += part.num_rows
        missing.check()
        kept = None
        if missing.rows is not None:
            kept = ~missing.rows
            X = X[kept]
            y = None if y is None else y[kept]
            weights = None if weights is None else weights[kept]
        if weights is not None and (weights < 0).any():
            first = int(np.flatnonzero(weights < 0)[0])
            row = first if kept is None else int(np.flatnonzero(kept)[first])
            raise CommandError(f"{locate(row)}: column '{layout.weight}' holds a negative weight "
                               f"({weights[first]:g}); weights must be non-negative")
        return Encoded(X, y, weights, kept, missing.count, unseen)

    def _fill_features(self, part: pa.RecordBatch, X: Array, missing: "_MissingAt") -> dict[str, int]:
        """Write one record batch's features into its rows of the design;
        returns the count of unknown levels per categorical column."""
        unseen: dict[str, int] = {}
        offset = 0
        for name in self.layout.columns:
            if name in self.layout.levels:
                width = len(self.layout.levels[name]) - 1
                index = _level_index(part.column(name), self._level_sets[name], name, missing)
                for level in range(1, width + 1):
                    np.equal(index, level, out=X[:, offset + level - 1], casting="unsafe")
                unknown = int(np.count_nonzero(index == -1))
                if unknown:
                    unseen[name] = unknown
                offset += width
            else:
                X[:, offset] = _numbers(part.column(name), name, missing)
                offset += 1
        return unseen


class _Missing:
    """Rows with a missing value over one chunk, gathered column by column:
    dropped, or refused naming the first such row."""

    def __init__(self, rows: int, drop: bool, locate: Locator, advice: str) -> None:
        self.total, self.drop, self.locate, self.advice = rows, drop, locate, advice
        self.rows: NDArray[np.bool_] | None = None
        # The first row with a missing value and its first such column.
        self.first: tuple[int, str] | None = None

    @property
    def count(self) -> int:
        return 0 if self.rows is None else int(self.rows.sum())

    def at(self, begin: int) -> "_MissingAt":
        return _MissingAt(self, begin)

    def note(self, absent: NDArray[np.bool_], begin: int, name: str) -> None:
        """Note the missing values of column `name` in the rows from
        `begin` on; columns are noted in their order within a row."""
        if self.rows is None:
            self.rows = np.zeros(self.total, dtype=bool)
        self.rows[begin:begin + absent.shape[0]] |= absent
        first = begin + int(np.flatnonzero(absent)[0])
        if self.first is None or first < self.first[0]:
            self.first = (first, name)

    def check(self) -> None:
        """Refuse the chunk at its first row with a missing value, unless
        such rows are dropped."""
        if self.drop or self.first is None:
            return
        row, name = self.first
        more = self.count - 1
        tail = f" (and {more:,} more row{'s' * (more > 1)} in this batch)" if more else ""
        raise CommandError(f"{self.locate(row)}: column '{name}' is empty, NaN or infinite{tail}; "
                           f"{self.advice}")


@dataclass(frozen=True)
class _MissingAt:
    """`_Missing` for the rows of one record batch."""

    missing: _Missing
    begin: int

    def note(self, absent: NDArray[np.bool_], name: str) -> None:
        self.missing.note(absent, self.begin, name)


def _numbers(column: pa.Array, name: str, missing: _MissingAt) -> Array:
    """A numeric column as float64 or integers, its empty, NaN and
    infinite values noted."""
    kind = column.type
    # Floats, and integers and booleans without gaps, convert directly
    # (floats without a copy); the rest is cast, gaps becoming NaN.
    direct = pa.types.is_floating(kind) or (
        (pa.types.is_integer(kind) or pa.types.is_boolean(kind)) and column.null_count == 0)
    if not direct:
        column = column.cast(pa.float64())
    values = np.asarray(column.to_numpy(zero_copy_only=False))
    # One sum finds a NaN or infinity in the common case of none; only a
    # suspicious sum (or an overflow) pays for the row by row test.
    if values.dtype.kind == "f" and not np.isfinite(np.sum(values)):
        absent = ~np.isfinite(values)
        if absent.any():
            missing.note(absent, name)
    return values


def _level_index(column: pa.Array, levels: pa.Array, name: str, missing: _MissingAt) -> NDArray[np.intp]:
    """Each row's position among `levels`: -1 for a level not among them,
    -2 for a missing value (noted)."""
    if pa.types.is_dictionary(column.type):
        lookup = _positions(column.dictionary, levels)
        codes = column.indices
        index = lookup[np.asarray(codes.fill_null(0).to_numpy(zero_copy_only=False), dtype=np.intp)]
    else:
        index = _positions(column, levels)
    if column.null_count:
        absent = np.asarray(column.is_null().to_numpy(zero_copy_only=False), dtype=bool)
        missing.note(absent, name)
        index[absent] = -2
    return index


def _positions(values: pa.Array, levels: pa.Array) -> NDArray[np.intp]:
    text = values if values.type == pa.string() else values.cast(pa.string())
    return np.asarray(pc.index_in(text, value_set=levels).fill_null(-1).to_numpy(zero_copy_only=False),
                      dtype=np.intp)


def level_values(column: pa.Array) -> list[str]:
    """The distinct present values of a categorical column, as text."""
    if pa.types.is_dictionary(column.type):
        used = pc.unique(column.indices).drop_null()
        column = column.dictionary.take(used)
    text = column if column.type == pa.string() else column.cast(pa.string())
    return [str(value) for value in pc.unique(text).drop_null().to_pylist()]


def levels_of(pieces: Iterable[pa.RecordBatch], columns: Sequence[str], limit: int,
              kinds: Mapping[str, pa.DataType] | None = None) -> dict[str, tuple[str, ...]]:
    """The sorted levels of each categorical column over record batches
    (see `level_order`), refusing a column with more than `limit` of them.
    `kinds`, the columns' types in the data set, suit the refusal's advice
    to a column of dates or times read as text."""
    seen: dict[str, set[str]] = {name: set() for name in columns}
    for batch in pieces:
        for name in columns:
            seen[name].update(level_values(batch.column(name)))
            if len(seen[name]) > limit:
                advice = column_advice((kinds or {}).get(name, batch.column(name).type), offer_levels=False)
                hint = f"; {advice}" if advice else " (is it an identifier?)"
                raise CommandError(f"column '{name}' has more than {limit:,} levels; one indicator per level "
                                   f"would be too many features{hint}")
    for name, values in seen.items():
        if not values:
            raise CommandError(f"column '{name}' has no values to take levels from")
    return {name: tuple(sorted(values, key=level_order)) for name, values in seen.items()}

