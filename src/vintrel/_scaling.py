"""The estimator's internal units: standardised features with an intercept
column, and a target centred and divided by the residual scale."""

import functools
from collections.abc import Iterator
from dataclasses import dataclass
from typing import Any

import numpy as np
from numpy.typing import DTypeLike, NDArray

from vintrel._robust import weighted_median

Vector = NDArray[np.float64]
Weights = NDArray[np.floating[Any]]

# Rows standardised or squared per NumPy call: small enough for the block
# to stay in cache between the passes over it.
_BLOCK_ROWS = 2048
# Rows folded into one when reducing over rows (see `column_reduce`).
_GROUP_ROWS = 64


def column_reduce(ufunc: np.ufunc, values: NDArray[np.floating[Any]]) -> Vector:
    """``ufunc.reduce(values, axis=0)`` for a 2-D array, quickly on narrow
    C-ordered rows.

    NumPy reduces such an array one short row at a time; viewing each
    `_GROUP_ROWS` consecutive rows as one long row gives long inner loops,
    and a second reduction combines the groups. Other layouts are copied
    to C order first, so that sums have the same bits whatever the layout
    (the command line's batches are column-major, arrays given to the
    estimator usually row-major).
    """
    values = np.ascontiguousarray(values)
    n, k = values.shape
    group = min(_GROUP_ROWS, n)
    grouped = (n // group) * group if group else 0
    if grouped == 0:
        return np.asarray(ufunc.reduce(values, axis=0), dtype=np.float64)
    partial = ufunc.reduce(values[:grouped].reshape(n // group, group * k), axis=0).reshape(group, k)
    result = ufunc.reduce(partial, axis=0)
    if grouped < n:
        result = ufunc(result, ufunc.reduce(values[grouped:], axis=0))
    return np.asarray(result, dtype=np.float64)


def _weighted_mean(values: NDArray[np.floating[Any]], weights: Weights | None) -> Vector:
    if weights is None:
        return column_reduce(np.add, values) / float(values.shape[0])
    weights = np.asarray(weights, dtype=np.float64)
    return column_reduce(np.add, values * weights[:, None]) / float(weights.sum())


def _mean_square(values: NDArray[np.floating[Any]], weights: Weights | None, center: Vector) -> Vector:
    """The weighted mean of ``(values - center) ** 2`` per column, squared
    block by block so that no copy of `values` is made."""
    total = np.zeros(values.shape[1])
    for begin in range(0, values.shape[0], _BLOCK_ROWS):
        deviations = np.subtract(values[begin:begin + _BLOCK_ROWS], center, dtype=np.float64)
        np.square(deviations, out=deviations)
        if weights is not None:
            deviations *= np.asarray(weights[begin:begin + _BLOCK_ROWS], dtype=np.float64)[:, None]
        total += column_reduce(np.add, deviations)
    return total / (values.shape[0] if weights is None else float(np.sum(weights, dtype=np.float64)))


# Rows of a batch that its features' extent is measured on.
EXTENT_SAMPLE_ROWS = 1024
# Columns whose largest deviation lies outside this range have their spread
# computed on rescaled values: squaring them directly would underflow to 0
# or overflow to infinity.
_SAFE_DEVIATIONS = (1e-150, 1e150)


def root_mean_square(values: NDArray[np.floating[Any]], weights: Weights | None,
                     center: Vector | None = None) -> Vector:
    """The weighted root mean square of each column of ``values - center``
    (of `values` without a centre), finite wherever the answer is a float,
    however small or large the values."""
    center = np.zeros(values.shape[1]) if center is None else center
    with np.errstate(over="ignore", under="ignore", invalid="ignore", divide="ignore"):
        spread = np.sqrt(_mean_square(values, weights, center))  # such columns are redone below
    # Squares that overflowed or lost their precision to underflow show in
    # the spread itself; only those columns are measured again.
    suspect = np.flatnonzero(~np.isfinite(spread) | (spread < _SAFE_DEVIATIONS[0]) | (spread > _SAFE_DEVIATIONS[1]))
    if suspect.size and values.size:
        deviations = values[:, suspect] - center[suspect]
        peak = np.max(np.abs(deviations), axis=0)
        redo = np.isfinite(peak) & (peak > 0)
        unit = peak[redo]
        if unit.size:
            spread[suspect[redo]] = unit * np.sqrt(_weighted_mean((deviations[:, redo] / unit) ** 2, weights))
    return spread


@dataclass(frozen=True)
class Units:
    """The centres and scales the engine standardises raw features by."""

    x_center: NDArray[np.float64]
    x_scale: NDArray[np.float64]


@dataclass(frozen=True, eq=False)
class Scaling:
    """Centre and scale of every feature and of the target.

    Features are centred on their mean (when an intercept is fitted) and
    divided by their standard deviation, both taken from the first batch
    (or from all rows, `of_all_rows`); a
    constant feature keeps the scale 1. The target is centred on its median
    and divided by the residual scale, so the Huber threshold is `epsilon`
    in internal units.
    """

    x_center: Vector
    x_scale: Vector
    y_center: float
    y_scale: float
    fit_intercept: bool

    @property
    def n_features(self) -> int:
        return int(self.x_center.shape[0])

    def __getstate__(self) -> dict[str, Any]:
        # The cached engine units are left out: unpickled from another
        # process's buffers they may be unaligned; they are made again.
        return {name: value for name, value in self.__dict__.items() if name != "units"}

    @property
    def n_parameters(self) -> int:
        return self.n_features + int(self.fit_intercept)

    @classmethod
    def from_batch(cls, X: NDArray[np.floating[Any]], y: NDArray[np.floating[Any]],
                   weights: Weights | None, fit_intercept: bool) -> "Scaling":
        """Feature and target centres of a first batch; the target scale is
        1 until `with_y_scale` sets the residual scale."""
        return cls.of_all_rows(X, y, weights, fit_intercept, max(X.shape[0], 1))

    @classmethod
    def of_all_rows(cls, X: NDArray[np.floating[Any]], y: NDArray[np.floating[Any]], weights: Weights | None,
                    fit_intercept: bool, chunk_rows: int) -> "Scaling":
        """The units of all rows of `X`, read `chunk_rows` rows at a time so
        that no float64 copy of the whole of `X` is made (sums are taken
        chunk by chunk, so they may round otherwise than in one)."""
        def parts() -> Iterator[tuple[Vector, Weights | None]]:
            for begin in range(0, X.shape[0], chunk_rows):
                chunk = slice(begin, begin + chunk_rows)
                # In C order, so that the sums below add in one order whatever the layout.
                yield np.ascontiguousarray(X[chunk], dtype=np.float64), None if weights is None else weights[chunk]

        n_features = X.shape[1]
        center = np.zeros(n_features)
        y_center = 0.0
        if fit_intercept:
            total, weight = np.zeros(n_features), 0.0
            high, low = np.full(n_features, -np.inf), np.full(n_features, np.inf)
            first: Vector | None = None
            for X64, part_weights in parts():
                counted = X64 if part_weights is None else X64[part_weights > 0]
                total += column_reduce(np.add, counted) if part_weights is None else \
                    column_reduce(np.add, np.multiply(X64, part_weights[:, None]))
                weight += counted.shape[0] if part_weights is None else float(part_weights.sum())
                if counted.shape[0]:
                    high = np.maximum(high, column_reduce(np.maximum, counted))
                    low = np.minimum(low, column_reduce(np.minimum, counted))
                    first = counted[0] if first is None else first
            center = total / weight
            constant = high == low
            # A constant column is centred on its exact value: a mean that
            # rounds would leave a spread of rounding errors, and dividing
            # by it would turn the column into one of +-1 beside the
            # intercept.
            if first is not None:
                center[constant] = first[constant]
            y_center = weighted_median(np.asarray(y, dtype=np.float64), weights)
        # Each chunk's root mean square, combined relative to the largest so
        # that squares of extreme values neither overflow nor underflow.
        spreads, weights_of = [], []
        for X64, part_weights in parts():
            part_weight = X64.shape[0] if part_weights is None else float(part_weights.sum())
            if part_weight > 0:
                spreads.append(root_mean_square(X64, part_weights, center))
                weights_of.append(part_weight)
        if not spreads:
            return cls(center, np.ones(n_features), y_center, 1.0, fit_intercept)
        stacked, shares = np.array(spreads), np.array(weights_of) / sum(weights_of)
        peak = stacked.max(axis=0)
        with np.errstate(invalid="ignore", divide="ignore"):
            spread = peak * np.sqrt(shares @ np.where(peak > 0, stacked / peak, 0.0) ** 2)
        usable = np.isfinite(spread) & (spread > 0)
        return cls(center, np.where(usable, spread, 1.0), y_center, 1.0, fit_intercept)

    @functools.cached_property
    def units(self) -> Units:
        """The feature centres and scales as the engine takes them: C-contiguous
        and aligned (arrays unpickled from another process's buffers may
        start at any byte, which the engine refuses)."""
        def aligned(values: NDArray[np.float64]) -> NDArray[np.float64]:
            return np.require(values, dtype=np.float64, requirements=["C_CONTIGUOUS", "ALIGNED"])
        return Units(aligned(self.x_center), aligned(self.x_scale))

    def extent(self, X: NDArray[np.floating[Any]]) -> NDArray[np.float64]:
        """The largest absolute standardised value of each feature over an
        evenly spaced sample of at most `EXTENT_SAMPLE_ROWS` rows of `X`:
        a batch in other units than the first shows in any of its rows, and
        the sample costs a fraction of a scan."""
        if not X.shape[0]:
            return np.zeros(self.n_features)
        sample = X[:: max(1, X.shape[0] // EXTENT_SAMPLE_ROWS)]
        with np.errstate(over="ignore", invalid="ignore"):
            high = (column_reduce(np.maximum, sample) - self.x_center) / self.x_scale
            low = (column_reduce(np.minimum, sample) - self.x_center) / self.x_scale
        return np.asarray(np.maximum(np.abs(high), np.abs(low)), dtype=np.float64)

    def standardised(self, X: NDArray[np.floating[Any]], vector: NDArray[np.float64]) -> NDArray[np.float64]:
        """``design(X) @ vector`` without forming the design."""
        slopes = vector[: self.n_features] / self.x_scale
        offset = float(vector[-1]) if self.fit_intercept else 0.0
        return np.asarray(X @ slopes - (self.x_center @ slopes - offset), dtype=np.float64)

    def weighted_rows(self, X: NDArray[np.floating[Any]], values: NDArray[np.float64]) -> NDArray[np.float64]:
        """``design(X).T @ values`` without forming the design."""
        total = float(values.sum())
        features = (np.asarray(X.T @ values, dtype=np.float64) - self.x_center * total) / self.x_scale
        return np.append(features, total) if self.fit_intercept else features

    def with_y_scale(self, y_scale: float) -> "Scaling":
        return Scaling(self.x_center, self.x_scale, self.y_center, float(y_scale), self.fit_intercept)

    def design(self, X: NDArray[np.floating[Any]], dtype: DTypeLike,
               out: NDArray[np.floating[Any]] | None = None) -> NDArray[np.floating[Any]]:
        """The engine's design for `X`: standardised features followed by
        the intercept column of ones, C-contiguous in `dtype`.

        `out`, when given, must be a C-contiguous array of at least as many
        rows; its leading rows are filled and returned.
        """
        rows = X.shape[0]
        width = self.n_parameters
        if out is None:
            out = np.empty((rows, width), dtype=dtype)
        design = out[:rows]
        center = np.zeros(width, dtype=dtype)
        center[: self.n_features] = self.x_center
        inverse_scale = np.ones(width, dtype=dtype)
        inverse_scale[: self.n_features] = 1.0 / self.x_scale
        for start in range(0, rows, _BLOCK_ROWS):
            block = design[start : start + _BLOCK_ROWS]
            block[:, : self.n_features] = X[start : start + _BLOCK_ROWS]
            if self.fit_intercept:
                block[:, -1] = 1.0
            np.subtract(block, center, out=block)
            np.multiply(block, inverse_scale, out=block)
        return design

    def target(self, y: NDArray[np.floating[Any]], dtype: DTypeLike) -> NDArray[np.floating[Any]]:
        """The engine's target: `(y - y_center) / y_scale` in `dtype`."""
        internal = np.subtract(y, self.y_center, dtype=np.float64)
        internal /= self.y_scale
        return np.ascontiguousarray(internal, dtype=dtype)

    def caller_transform(self) -> NDArray[np.float64]:
        """The matrix A with ``(coef_, intercept_) = A @ beta + (0, ..., 0,
        y_center)`` for internal coefficients beta (intercept last): the
        one linear map between the two units, for estimates and for their
        covariance alike."""
        k, p = self.n_features, self.n_parameters
        transform = np.zeros((p, p))
        slopes = self.y_scale / self.x_scale
        transform[np.arange(k), np.arange(k)] = slopes
        if self.fit_intercept:
            transform[-1, -1] = self.y_scale
            transform[-1, :k] = -slopes * self.x_center
        return transform

    def to_caller_units(self, beta: NDArray[np.floating[Any]]) -> tuple[Vector, float]:
        """Coefficients and intercept in the caller's units from internal
        coefficients (intercept last)."""
        values = self.caller_transform() @ np.asarray(beta, dtype=np.float64)
        if not self.fit_intercept:
            return values, 0.0
        return values[: self.n_features], self.y_center + float(values[-1])
