"""The distribution of a stream's residuals in bounded memory: a signed,
logarithmically binned, weighted histogram.

Why not a sketch library: Apache DataSketches' KLL and REQ sketches take
no per-row float weights from Python (KLL's NumPy update takes none at
all), DDSketch's Python package adds values one at a time in a Python
loop, and the t-digest packages take per-value weights only one value at a
time; none can discount its mass by a factor. Every row here may carry a
float sample weight, batches of a million residuals must be absorbed at
NumPy speed, partitions must merge, and a forgetting stream must scale all
the mass down; the histogram below does all four with a few array
operations.

Layout: the magnitude |r| of a residual falls in bin
``k = floor(log(|r|) / log(GAMMA))``, the interval ``[GAMMA^k, GAMMA^(k+1))``,
on a grid fixed for all sketches (as in DDSketch), so sketches merge by
adding the weights of equal bins whatever the data. Positive residuals
and negative ones have a row each over one shared range of bins; zeros
fall in the lowest bin. At most `MAX_BINS` bins are kept: when the range grows beyond that,
the smallest magnitudes are collapsed into the lowest bin kept, which then
spans everything down to zero.

Accuracy: a bin is ``2 * RELATIVE_ACCURACY`` wide relatively, so a
quantile lies within ``RELATIVE_ACCURACY`` (0.5 %) of the value of its
rank, in relative terms, before the linear interpolation within its bin
(which makes it closer still). This is a value error, not a rank error:
the rank error of a quantile is at most the share of weight within 0.5 %
of its value; on the 1,000,000 heavy-tailed residuals of
`bench/intervals.py` the largest rank error of the quantiles from 0.5 % to
99.5 % is 0.003 percentage points. Values more than about 8.9 decades
below the largest |residual| (the collapsed lowest bin) are placed within
the absolute width of that bin.

Units: the sketch holds residuals ``y - prediction`` in the target's
units. A scale that moves during a stream changes no bin: each batch's
residuals enter in the units they are measured in.
"""

import math
from collections.abc import Mapping, Sequence
from dataclasses import dataclass
from typing import Any, Self

import numpy as np
from numpy.typing import ArrayLike, NDArray

Vector = NDArray[np.float64]

RELATIVE_ACCURACY = 0.005
GAMMA = (1 + RELATIVE_ACCURACY) / (1 - RELATIVE_ACCURACY)
_LOG_GAMMA = math.log(GAMMA)
# 2048 bins of 1 % span about 8.9 decades of |r|: the tails of a stream's
# residuals down to far below anything a prediction interval reads.
MAX_BINS = 2048
# Keys stay well inside 64-bit integers and the float range: log(1e-320)
# and log(1e308) over log(GAMMA) are about +-74,000.
_MAX_KEY = 1 << 20


# The range of the largest magnitude within which positions are computed in
# float32 (see `_grid_positions`): below the top of the float32 range, and
# high enough that the `MAX_BINS` bins below it stay in its normal range.
_FLOAT32_PEAKS = (1e-29, 1e30)


def _grid_positions(values: Vector, unit: float) -> tuple[Vector, int]:
    """Each value's position on the grid, ``log(|value| * unit) /
    log(GAMMA)``, as an array and an integer to add to it; zeros go to
    minus infinity, i.e. the lowest bin.

    Where the magnitudes allow, the array is float32: NumPy's float32
    logarithm is the faster by half, and its rounding moves a value into
    the next bin only when the value lies within a thousandth of a bin's
    width of the edge, where either bin holds it to the stated accuracy.
    """
    offset = math.log(unit) / _LOG_GAMMA
    # In place on one float32 copy; the whole part of the unit's offset is
    # kept apart, so the float32 positions stay small.
    shift = math.floor(offset)
    with np.errstate(divide="ignore", over="ignore"):  # such magnitudes are redone in float64
        position = np.abs(values.astype(np.float32))
        np.log(position, out=position)
    peak = float(position.max())
    if math.log(_FLOAT32_PEAKS[0]) <= peak <= math.log(_FLOAT32_PEAKS[1]):
        position *= np.float32(1 / _LOG_GAMMA)
        position += np.float32(offset - shift)
        return position, shift
    with np.errstate(divide="ignore"):
        wide = np.log(np.abs(values, dtype=np.float64))
    wide *= 1 / _LOG_GAMMA
    wide += offset
    return wide, 0


@dataclass(frozen=True, eq=False)
class ResidualSketch:
    """A weighted distribution of residuals; every operation returns a new
    sketch, so a state can share one.

    Attributes
    ----------
    offset : int
        The key of the first bin.
    weights : ndarray of shape (2, n_bins)
        Weight per bin: row 0 of positive residuals, row 1 of negative
        ones (zeros in the lowest bin of the row of their sign bit).
    """

    offset: int
    weights: Vector

    @classmethod
    def empty(cls) -> Self:
        return cls(0, _frozen(np.zeros((2, 0))))

    @property
    def total_weight(self) -> float:
        return float(self.weights.sum())

    # ------------------------------------------------------------ building

    def add(self, residuals: ArrayLike, sample_weight: ArrayLike | None = None, unit: float = 1.0) -> Self:
        """This sketch with `residuals` times `unit` added, each with its
        weight (rows of zero weight add nothing)."""
        values = np.ravel(np.asarray(residuals))
        weights = None if sample_weight is None else np.ravel(np.asarray(sample_weight, dtype=np.float64))
        if weights is not None and not np.all(weights > 0):
            values, weights = values[weights > 0], weights[weights > 0]
        if values.size == 0:
            return self
        position, shift = _grid_positions(values, unit)
        lowest, highest = float(position.min()) + shift, float(position.max()) + shift
        high, low = (math.floor(extreme) if extreme > -_MAX_KEY else -_MAX_KEY for extreme in (highest, lowest))
        low = max(low, high - MAX_BINS + 1)
        width = high - low + 1
        # Shifted to the first bin and collapsed below it, the positions
        # truncate to bin indices; negative residuals go to the second row.
        position -= low - shift
        if not lowest >= low:
            np.maximum(position, 0.0, out=position)
        position += np.signbit(values) * position.dtype.type(width)
        counts: Vector = np.bincount(position.astype(np.intp), weights, minlength=2 * width).astype(np.float64)
        counts = counts.reshape(2, width)
        return self._combined([(self.offset, self.weights), (low, counts)])

    def merged(self, *others: "ResidualSketch") -> Self:
        """This sketch and `others` as one: the distribution of all their
        residuals."""
        return self._combined([(self.offset, self.weights), *((o.offset, o.weights) for o in others)])

    def discounted(self, factor: float) -> Self:
        """Every weight times `factor` (in [0, 1]): the distribution is
        unchanged, its mass shrinks as a forgetting stream's does."""
        if not 0 <= factor <= 1:
            raise ValueError(f"the discount factor must be within [0, 1]; got {factor}")
        return type(self)(self.offset, _frozen(self.weights * factor))

    def _combined(self, parts: Sequence[tuple[int, Vector]]) -> Self:
        parts = [(offset, weights) for offset, weights in parts if weights.shape[1]]
        if not parts:
            return type(self).empty()
        high = max(offset + weights.shape[1] - 1 for offset, weights in parts)
        low = max(min(offset for offset, _ in parts), high - MAX_BINS + 1)
        combined = np.zeros((2, high - low + 1))
        for offset, weights in parts:
            start = offset - low
            if start < 0:  # collapse the smallest magnitudes into the lowest bin
                combined[:, 0] += weights[:, :-start].sum(axis=1)
                weights, start = weights[:, -start:], 0
            combined[:, start:start + weights.shape[1]] += weights
        return type(self)(low, _frozen(combined))

    # ------------------------------------------------------------ reading

    def _points(self) -> tuple[Vector, Vector]:
        """The piecewise-linear distribution function through its occupied
        bins, as ascending values and the cumulative weight at each: every
        bin contributes its two edges (the lowest bin reaches zero)."""
        keys = self.offset + np.arange(self.weights.shape[1])
        lower = GAMMA ** keys.astype(np.float64)
        upper = lower * GAMMA
        lower[0] = 0.0
        positive, negative = self.weights
        # Ascending values: negative bins from the largest magnitude down,
        # then positive bins from the smallest up.
        low = np.concatenate([-upper[::-1], lower])
        high = np.concatenate([-lower[::-1], upper])
        weight = np.concatenate([negative[::-1], positive])
        occupied = weight > 0
        low, high, weight = low[occupied], high[occupied], weight[occupied]
        after = np.cumsum(weight)
        values = np.column_stack([low, high]).ravel()
        cumulative = np.column_stack([after - weight, after]).ravel()
        return values, cumulative

    def quantile(self, probabilities: ArrayLike) -> Vector:
        """The values below which the given shares of the weight lie."""
        if not self.total_weight > 0:
            raise ValueError("the sketch holds no residuals")
        values, cumulative = self._points()
        return np.asarray(np.interp(np.asarray(probabilities, dtype=np.float64) * cumulative[-1], cumulative,
                                    values), dtype=np.float64)

    def cdf(self, points: ArrayLike) -> Vector:
        """The share of the weight at or below `points`."""
        if not self.total_weight > 0:
            raise ValueError("the sketch holds no residuals")
        values, cumulative = self._points()
        return np.asarray(np.interp(np.asarray(points, dtype=np.float64), values, cumulative / cumulative[-1]),
                          dtype=np.float64)

    # ------------------------------------------------------- plain values

    def to_plain(self) -> dict[str, Any]:
        return {"relative_accuracy": RELATIVE_ACCURACY, "offset": self.offset, "weights": self.weights}

    @classmethod
    def from_plain(cls, plain: Mapping[str, Any]) -> Self:
        """The sketch `to_plain` described; raises TypeError or ValueError
        when it does not hold together."""
        if not isinstance(plain, Mapping):
            raise TypeError("residuals must be a mapping")
        accuracy = plain["relative_accuracy"]
        if accuracy != RELATIVE_ACCURACY:
            raise ValueError(f"residuals were binned at relative accuracy {accuracy!r}; this version bins at "
                             f"{RELATIVE_ACCURACY}")
        offset = plain["offset"]
        if isinstance(offset, bool) or not isinstance(offset, (int, np.integer)) or abs(int(offset)) > _MAX_KEY:
            raise TypeError(f"residuals.offset must be an integer key within +-{_MAX_KEY}; got {offset!r}")
        weights = np.asarray(plain["weights"])
        if weights.dtype.kind not in "fiu":
            raise TypeError(f"residuals.weights must hold numbers; got an array of {weights.dtype}")
        if weights.ndim != 2 or weights.shape[0] != 2 or weights.shape[1] > MAX_BINS:
            raise ValueError(f"residuals.weights must have shape (2, n) with n at most {MAX_BINS}; "
                             f"got {weights.shape}")
        if not np.all(np.isfinite(weights) & (weights >= 0)):
            raise ValueError("residuals.weights must be finite and non-negative")
        # Quantiles read the cumulative weight: a total that overflows makes
        # every quantile the same point.
        with np.errstate(over="ignore"):
            if not math.isfinite(float(weights.sum(dtype=np.float64))):
                raise ValueError("residuals.weights must add up to a finite total")
        if abs(int(offset)) + weights.shape[1] > _MAX_KEY:
            raise ValueError("residuals.weights reach beyond the keys a sketch uses")
        return cls(int(offset), _frozen(weights.astype(np.float64)))


def combined(sketches: Sequence[ResidualSketch | None]) -> ResidualSketch | None:
    """The sketches that are there as one; None when there are none."""
    present = [sketch for sketch in sketches if sketch is not None]
    return present[0].merged(*present[1:]) if present else None


def _frozen(array: Vector) -> Vector:
    array.flags.writeable = False
    return array
