"""pandas and polars data frames as the columns of an `Encoding`.

Neither library is imported here: a frame is recognised through the
modules its caller has already imported, so the package works, and
imports quickly, without them.
"""

import sys
from collections.abc import Iterator, Mapping
from dataclasses import dataclass
from typing import Any

import numpy as np

from vintrel._categorical import Categories, Column, Encoding, level_order

_CAST_ADVICE = ("cast it to a categorical type (pandas: .astype('category'); polars: pl.Categorical or pl.Enum) "
                "to one-hot encode it, or use --categorical on the command line")


@dataclass(frozen=True)
class Frame:
    """A frame's columns in order: numeric ones as float arrays, categorical
    ones as `Categories`."""

    columns: Mapping[str, Column]
    rows: int
    dtype: np.dtype  # float32 when every numeric column is, else float64

    @property
    def categorical(self) -> dict[str, tuple[str, ...]]:
        """The categorical columns and the levels their types declare."""
        return {name: column.declared for name, column in self.columns.items() if isinstance(column, Categories)}


def is_frame(X: Any) -> bool:
    """Whether `X` is a pandas or polars DataFrame."""
    pd, pl = sys.modules.get("pandas"), sys.modules.get("polars")
    return (pd is not None and isinstance(X, pd.DataFrame)) or (pl is not None and isinstance(X, pl.DataFrame))


def has_categories(X: Any) -> bool:
    """Whether `X` is a frame with a categorical column; a text column is
    refused (ValueError), since it can be neither a number nor a set of
    indicators without a declared type."""
    if not is_frame(X):
        return False
    return any(kind == "category" for _, _, kind in _kinds(X))


def read_frame(X: Any) -> Frame:
    """The columns of a frame (see `is_frame`), text columns refused."""
    kinds = _kinds(X)
    if len({name for name, _, _ in kinds}) != len(kinds):
        raise ValueError("two columns of X have the same name")
    pd = sys.modules.get("pandas")
    read = _pandas_column if pd is not None and isinstance(X, pd.DataFrame) else _polars_column
    columns = {name: read(series, kind) for name, series, kind in kinds}
    numbers = [column.dtype for column in columns.values() if isinstance(column, np.ndarray)]
    float32 = bool(numbers) and all(dtype == np.float32 for dtype in numbers)
    return Frame(columns, len(X), np.dtype(np.float32 if float32 else np.float64))


def frame_encoding(X: Any) -> Encoding | None:
    """The encoding a frame with categorical columns fixes (None for any
    other input): its columns, and the levels each categorical column's
    type declares (for a type that declares none, polars' Categorical, the
    sorted levels present)."""
    if not has_categories(X):
        return None
    frame = read_frame(X)
    for name, levels in frame.categorical.items():
        if not levels:
            raise ValueError(f"categorical column {name!r} has no levels to encode")
        if len(set(levels)) != len(levels):
            raise ValueError(f"categorical column {name!r} has two levels that read the same as text")
    return Encoding(tuple(frame.columns), frame.categorical)


def encode_frame(X: Any, encoding: Encoding, block_rows: int | None = None) -> Iterator[Any]:
    """The design of a batch for a model with `encoding`, in blocks of
    `block_rows` rows (one block when None): a frame is encoded; an array,
    or a frame of the encoded features by name, must already have the
    encoded features' width and is one block."""
    if is_frame(X) and tuple(str(name) for name in X.columns) == encoding.feature_names:
        X = X.to_numpy()  # already encoded: checked as any array of numbers is
    if not is_frame(X):
        shape = np.shape(X)
        if len(shape) == 2 and shape[1] != encoding.width:
            raise ValueError(f"X has {shape[1]} features, but the model expects a data frame with the columns "
                             f"{list(encoding.columns)} or an array of their {encoding.width} encoded features")
        yield X
        return
    frame = _checked_frame(X, encoding)
    step = max(frame.rows, 1) if block_rows is None else block_rows
    for begin in range(0, max(frame.rows, 1), step):
        rows = slice(begin, begin + step)
        block = {name: column[rows] for name, column in frame.columns.items()}
        yield encoding.encode(block, frame.dtype, len(range(frame.rows)[rows]))


def _checked_frame(X: Any, encoding: Encoding) -> Frame:
    """The columns of a frame, which must be those of `encoding`, of the
    same kinds."""
    frame = read_frame(X)
    names = tuple(frame.columns)
    if names != encoding.columns:
        missing = [name for name in encoding.columns if name not in names]
        extra = [name for name in names if name not in encoding.columns]
        detail = "; ".join(part for part in (f"missing: {missing}" if missing else "",
                                             f"not seen when fitting: {extra}" if extra else "") if part)
        raise ValueError(f"the columns of X must be those the model was fitted on, in order, "
                         f"{list(encoding.columns)} ({detail or 'they are in another order'})")
    for name, column in frame.columns.items():
        if (name in encoding.levels) != isinstance(column, Categories):
            was = "categorical" if name in encoding.levels else "numeric"
            raise ValueError(f"column {name!r} was {was} when the model was fitted; give it the same type")
    return frame


def check_plain_frame(X: Any) -> None:
    """Refuse a frame with a categorical column for a model fitted without
    any, before it is read as numbers."""
    if has_categories(X):
        names = [name for name, _, kind in _kinds(X) if kind == "category"]
        raise ValueError(f"column {names[0]!r} is categorical, but the model was fitted on numeric columns only")


# ------------------------------------------------------------ the libraries


def _kinds(X: Any) -> list[tuple[str, Any, str]]:
    """Each column's name, values and kind: "number", "category" or,
    refused, text or another type (dates, durations, complex numbers,
    lists), which reading as floats would turn into other numbers or
    fail on."""
    pd = sys.modules.get("pandas")
    if pd is not None and isinstance(X, pd.DataFrame):
        kind_of, columns = _pandas_kind, list(X.items())
    else:
        kind_of, columns = _polars_kind, [(series.name, series) for series in X.get_columns()]
    kinds = []
    for name, series in columns:
        kind = kind_of(series)
        if kind == "text":
            raise ValueError(f"column {str(name)!r} holds text; {_CAST_ADVICE}")
        if kind == "other":
            raise ValueError(f"column {str(name)!r} holds {series.dtype} values, which are neither numbers nor "
                             f"categories: convert it to numbers first")
        kinds.append((str(name), series, kind))
    return kinds


def _pandas_kind(series: Any) -> str:
    pd = sys.modules["pandas"]
    dtype = series.dtype
    if isinstance(dtype, pd.CategoricalDtype):
        return "category"
    if isinstance(dtype, pd.StringDtype) or dtype.kind == "O":
        # Object columns of numbers (or of nothing) stay numbers.
        inferred = pd.api.types.infer_dtype(series, skipna=True)
        return "number" if inferred in ("integer", "floating", "mixed-integer-float", "decimal", "boolean",
                                        "empty") else "text"
    real = pd.api.types.is_numeric_dtype(dtype) and not pd.api.types.is_complex_dtype(dtype)
    return "number" if real or pd.api.types.is_bool_dtype(dtype) else "other"


def _polars_kind(series: Any) -> str:
    pl = sys.modules["polars"]
    dtype = series.dtype
    if isinstance(dtype, (pl.Categorical, pl.Enum)):
        return "category"
    if isinstance(dtype, (pl.String, pl.Object, pl.Binary)):
        return "text"
    return "number" if dtype.is_numeric() or isinstance(dtype, (pl.Boolean, pl.Null)) else "other"


def _pandas_column(series: Any, kind: str) -> Column:
    if kind == "category":
        declared = tuple(str(level) for level in series.cat.categories)
        return Categories(declared, np.asarray(series.cat.codes.to_numpy(), dtype=np.intp))
    dtype = np.float32 if series.dtype == np.float32 else np.float64
    return np.asarray(series.to_numpy(dtype=dtype, na_value=np.nan))


def _polars_column(series: Any, kind: str) -> Column:
    pl = sys.modules["polars"]
    if kind == "category":
        if isinstance(series.dtype, pl.Enum):
            declared = tuple(series.dtype.categories.to_list())
        else:
            present = series.drop_nulls().unique().cast(pl.String).to_list()
            declared = tuple(sorted(present, key=level_order))
        codes = series.cast(pl.String).cast(pl.Enum(declared)).to_physical().cast(pl.Int64).fill_null(-1)
        return Categories(declared, np.asarray(codes.to_numpy(), dtype=np.intp))
    dtype = pl.Float32 if series.dtype == pl.Float32 else pl.Float64
    return np.asarray(series.cast(dtype).fill_null(float("nan")).to_numpy())
