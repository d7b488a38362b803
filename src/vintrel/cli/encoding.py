"""Tables of data-set columns as the estimator's arrays: numeric features as
they are, categorical columns one-hot with their first level dropped, and
rows with missing values refused or dropped."""

from collections.abc import Callable, Iterable, Mapping, Sequence
from dataclasses import dataclass, field
from typing import Any

import numpy as np
import pyarrow as pa
import pyarrow.compute as pc
from numpy.typing import NDArray

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
        names: list[str] = []
        for column in self.columns:
            if column in self.levels:
                names += [f"{column}={level}" for level in self.levels[column][1:]]
            else:
                names.append(column)
        return names

    @property
    def used_columns(self) -> list[str]:
        extra = [name for name in (self.target, self.weight) if name is not None]
        return [*self.columns, *extra]

    def column_types(self) -> dict[str, pa.DataType]:
        """How each used column is read: numbers as float64, categories as
        strings."""
        return {name: pa.string() if name in self.levels else pa.float64() for name in self.used_columns}

    def to_metadata(self) -> dict[str, Any]:
        return {"columns": list(self.columns), "categorical": {k: list(v) for k, v in self.levels.items()},
                "target": self.target, "weight": self.weight}

    @classmethod
    def from_metadata(cls, metadata: Mapping[str, Any]) -> "FeatureLayout":
        return cls(tuple(metadata["columns"]), {k: tuple(v) for k, v in metadata["categorical"].items()},
                   metadata.get("target"), metadata.get("weight"))


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
    """Turns tables of a layout's columns into arrays of one precision.

    With `drop_missing`, rows with an empty, NaN or infinite value in a
    used column are left out and counted; otherwise the first one is an
    error naming its file and row.
    """

    def __init__(self, layout: FeatureLayout, dtype: np.dtype, drop_missing: bool) -> None:
        self.layout = layout
        self.dtype = np.dtype(dtype)
        self.drop_missing = drop_missing
        self._level_sets = {name: pa.array(levels, type=pa.string()) for name, levels in layout.levels.items()}

    def encode(self, table: pa.Table, locate: Locator, with_target: bool) -> Encoded:
        layout = self.layout
        rows = table.num_rows
        X = np.zeros((rows, len(layout.feature_names)), dtype=self.dtype)
        missing = np.zeros(rows, dtype=bool)
        unseen: dict[str, int] = {}
        offset = 0
        for name in layout.columns:
            if name in layout.levels:
                width = len(layout.levels[name]) - 1
                unseen_rows = self._indicators(table.column(name), name, X[:, offset:offset + width], missing,
                                               locate)
                if unseen_rows:
                    unseen[name] = unseen_rows
                offset += width
            else:
                X[:, offset] = self._numbers(table.column(name), name, missing, locate)
                offset += 1
        y = weights = None
        if with_target and layout.target is not None:
            y = self._numbers(table.column(layout.target), layout.target, missing, locate)
        if with_target and layout.weight is not None:
            weights = self._numbers(table.column(layout.weight), layout.weight, missing, locate)
        kept = None
        if missing.any():
            kept = ~missing
            X = X[kept]
            y = None if y is None else y[kept]
            weights = None if weights is None else weights[kept]
        if weights is not None and (weights < 0).any():
            first = int(np.flatnonzero(weights < 0)[0])
            row = first if kept is None else int(np.flatnonzero(kept)[first])
            raise CommandError(f"{locate(row)}: column '{layout.weight}' holds a negative weight "
                               f"({weights[first]:g}); weights must be non-negative")
        return Encoded(X, y, weights, kept, int(missing.sum()), unseen)

    def _numbers(self, column: pa.ChunkedArray, name: str, missing: NDArray[np.bool_], locate: Locator) -> Array:
        values = np.asarray(column.to_numpy(), dtype=np.float64)
        self._note_missing(~np.isfinite(values), name, missing, locate)
        return values

    def _indicators(self, column: pa.ChunkedArray, name: str, out: Array, missing: NDArray[np.bool_],
                    locate: Locator) -> int:
        """Set the indicators of a categorical column in `out`; returns the
        count of present values whose level is unknown (all indicators 0)."""
        absent = np.asarray(column.is_null().to_numpy(), dtype=bool)
        self._note_missing(absent, name, missing, locate)
        index = np.asarray(pc.index_in(column, value_set=self._level_sets[name]).fill_null(-1).to_numpy())
        rows = np.flatnonzero(index >= 1)
        out[rows, index[rows] - 1] = 1
        return int(np.count_nonzero((index < 0) & ~absent))

    def _note_missing(self, absent: NDArray[np.bool_], name: str, missing: NDArray[np.bool_],
                      locate: Locator) -> None:
        if not absent.any():
            return
        if not self.drop_missing:
            first = int(np.flatnonzero(absent)[0])
            more = int(absent.sum()) - 1
            tail = f" (and {more:,} more in this batch)" if more else ""
            raise CommandError(f"{locate(first)}: column '{name}' is empty, NaN or infinite{tail}; "
                               f"use --nan drop to leave such rows out")
        missing |= absent


def levels_of(pieces: Iterable[pa.RecordBatch], columns: Sequence[str], limit: int) -> dict[str, tuple[str, ...]]:
    """The sorted levels of each categorical column over record batches,
    refusing a column with more than `limit` of them."""
    seen: dict[str, set[str]] = {name: set() for name in columns}
    for batch in pieces:
        for name in columns:
            values = pc.unique(batch.column(name)).drop_null().to_pylist()
            seen[name].update(values)
            if len(seen[name]) > limit:
                raise CommandError(f"column '{name}' has more than {limit:,} levels; one indicator per "
                                   f"level would be too many features (is it an identifier?)")
    for name, values in seen.items():
        if not values:
            raise CommandError(f"column '{name}' has no values to take levels from")
    return {name: tuple(sorted(values)) for name, values in seen.items()}
