"""One-hot encoding of categorical columns: the rule that the estimator
(for pandas and polars frames) and the command line (for data files)
share.

A categorical column with levels ``l0, l1, ..., lk`` becomes the
indicators of ``l1`` to ``lk``, named ``column=level``; the first level is
the baseline that the intercept absorbs. An `Encoding` records the input
columns in order and the levels of the categorical ones, so that later
batches and predictions are encoded exactly as the first batch was.
"""

import re
from collections.abc import Mapping, Sequence
from dataclasses import dataclass
from typing import Any

import numpy as np
from numpy.typing import NDArray

__all__ = ["Encoding", "design_names", "indicator_name", "level_order"]

# A level that reads as a whole number, ordered by its value.
_INTEGER = re.compile(r"[+-]?[0-9]+")


def indicator_name(column: str, level: str) -> str:
    """The feature name of the indicator of `level` in `column`."""
    return f"{column}={level}"


def design_names(columns: Sequence[str], levels: Mapping[str, Sequence[str]]) -> list[str]:
    """The features that `columns` become: numeric columns by name, and
    one indicator per level after the first for each categorical column."""
    names: list[str] = []
    for column in columns:
        if column in levels:
            names += [indicator_name(column, level) for level in levels[column][1:]]
        else:
            names.append(column)
    return names


def level_order(level: str) -> tuple[int, int, str]:
    """The sort key of levels that no type declares in an order: whole
    numbers first, by value (month 2 before month 10), then other text in
    text order."""
    if _INTEGER.fullmatch(level):
        return (0, int(level), level)
    return (1, 0, level)


@dataclass(frozen=True)
class Encoding:
    """The input columns of a model with categorical columns.

    Attributes
    ----------
    columns : tuple of str
        The input columns, in order.
    levels : mapping of str to tuple of str
        The levels of each categorical column, in the order that fixes the
        indicators (the first is dropped).
    """

    columns: tuple[str, ...]
    levels: Mapping[str, tuple[str, ...]]

    def __post_init__(self) -> None:
        if len(set(self.columns)) != len(self.columns):
            raise ValueError("the encoding repeats a column")
        for column, values in self.levels.items():
            if column not in self.columns:
                raise ValueError(f"categorical column {column!r} is not an input column")
            if not values:
                raise ValueError(f"categorical column {column!r} has no levels")
            if len(set(values)) != len(values):
                raise ValueError(f"categorical column {column!r} repeats a level")
        if len(set(self.feature_names)) != len(self.feature_names):
            raise ValueError("two features of the encoding have the same name")

    @property
    def feature_names(self) -> tuple[str, ...]:
        """The names of the encoded features (the design's columns)."""
        return tuple(design_names(self.columns, self.levels))

    @property
    def width(self) -> int:
        """The number of encoded features."""
        return len(self.feature_names)

    def __eq__(self, other: object) -> bool:
        return (isinstance(other, Encoding) and self.columns == other.columns
                and dict(self.levels) == dict(other.levels))

    def __hash__(self) -> int:
        return hash((self.columns, tuple(sorted(self.levels.items()))))

    def to_plain(self) -> dict[str, Any]:
        """The encoding as plain values (lists of strings)."""
        return {"columns": list(self.columns),
                "categorical": {column: list(values) for column, values in self.levels.items()}}

    @classmethod
    def from_plain(cls, plain: Any) -> "Encoding":
        """The encoding `to_plain` described; raises TypeError or
        ValueError when it does not hold together."""
        if not isinstance(plain, Mapping) or set(plain) != {"columns", "categorical"}:
            raise TypeError("encoding must be a mapping of 'columns' and 'categorical'")
        categorical = plain["categorical"]
        if not isinstance(categorical, Mapping) or not categorical:
            raise TypeError("encoding.categorical must be a non-empty mapping of columns to levels")
        return cls(_names(plain["columns"], "encoding.columns"),
                   {_name(column, "encoding.categorical"): _names(values, f"the levels of {column!r}")
                    for column, values in categorical.items()})

    def encode(self, columns: Mapping[str, "Column"], dtype: np.dtype, rows: int) -> NDArray[Any]:
        """The design of one batch from its input columns: numeric ones as
        they are and categorical ones as indicators. A missing category
        makes the row's indicators NaN, so that it is refused or dropped
        as any missing value is. Raises ValueError for a level the encoding
        does not know."""
        # Row-major, as the engine takes a design, so that it is not copied
        # again for every batch and pass.
        X = np.empty((rows, self.width), dtype=dtype)
        offset = 0
        for name in self.columns:
            column = columns[name]
            if name not in self.levels:
                assert isinstance(column, np.ndarray)
                X[:, offset] = column
                offset += 1
                continue
            assert isinstance(column, Categories)
            index = column.positions(self.levels[name], name)
            width = len(self.levels[name]) - 1
            np.equal(index[:, None], np.arange(1, width + 1), out=X[:, offset:offset + width], casting="unsafe")
            missing = index < 0
            if missing.any():
                X[missing, offset:offset + width] = np.nan
            offset += width
        return X


@dataclass(frozen=True)
class Categories:
    """A categorical column of one batch: the levels its type declares
    (or, without a declared set, the sorted levels present) and each row's
    position among them, -1 where the value is missing."""

    declared: tuple[str, ...]
    codes: NDArray[np.intp]

    def positions(self, levels: Sequence[str], name: str) -> NDArray[np.intp]:
        """Each row's position among `levels` (-1 where missing). A level
        present in the batch but not among `levels` is an error naming
        it; declared levels that no row holds do not matter."""
        where = {level: index for index, level in enumerate(levels)}
        lookup = np.array([where.get(level, -1) for level in self.declared] + [-1], dtype=np.intp)
        index = lookup[self.codes]  # code -1 picks the final -1
        unknown = (index < 0) & (self.codes >= 0)
        if unknown.any():
            level = self.declared[int(self.codes[np.flatnonzero(unknown)[0]])]
            raise ValueError(f"column {name!r} holds the level {level!r}, which is not among the levels the "
                             f"model was fitted with ({', '.join(map(repr, levels))})")
        return index

    def __getitem__(self, rows: slice) -> "Categories":
        return Categories(self.declared, self.codes[rows])


Column = NDArray[Any] | Categories


def _name(value: Any, what: str) -> str:
    if not isinstance(value, str):
        raise TypeError(f"{what} must hold strings; got {value!r}")
    return value


def _names(values: Any, what: str) -> tuple[str, ...]:
    if not isinstance(values, (list, tuple)):
        raise TypeError(f"{what} must be a list of strings")
    return tuple(_name(value, what) for value in values)
