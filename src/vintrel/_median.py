"""The weighted median of absolute residuals over data seen batch by batch,
in bounded memory: exact when a bracket around it was known before the
pass, otherwise approximate (from a fine logarithmic histogram) and exact
on the next pass.

Exact means the value `weighted_median` gives on all rows at once: each
batch's values below the bracket are counted, the values inside it are
kept, and the median is found among those kept once the pass is over. The
histogram places the bracket for the next pass, so a pass over unchanged
residuals always finds the exact median.
"""

from dataclasses import dataclass, field
from typing import Any

import numpy as np
from numpy.typing import NDArray

Values = NDArray[np.floating[Any]]

# The histogram spans this many decades either side of its unit, in bins
# of 1/BINS_PER_DECADE of a decade (0.9 % wide): an approximate median is
# within a fraction of that.
DECADES = 8
BINS_PER_DECADE = 256
# At most this many values are kept inside a bracket (16 MB with their
# weights); a bracket expected to hold more is narrowed.
MAX_HELD = 1_000_000
# The half-width of a bracket, relative to the median it is placed around,
# before narrowing: wide enough to still hold the median after a Newton
# step has moved the residuals a little.
BRACKET_HALF_WIDTH = 0.02


@dataclass(frozen=True)
class Bracket:
    """Values in ``[low, high)`` are kept; those below are counted."""

    low: float
    high: float


@dataclass
class MedianResult:
    """A pass's median of |r| and whether it is exact."""

    value: float
    exact: bool


@dataclass
class AbsoluteMedian:
    """Accumulates |r| over the batches of one pass.

    Parameters
    ----------
    unit : float
        The scale the histogram is centred on (a residual scale).
    bracket : Bracket or None
        Where the median is expected, from an earlier pass.
    """

    unit: float
    bracket: Bracket | None = None
    weight: float = 0.0
    below: float = 0.0
    held: list[tuple[Values, Values | None]] = field(default_factory=list)
    n_held: int = 0
    overflowed: bool = False
    # Weight and rows per bin: the weight places the median, the rows size
    # the next bracket.
    histogram: NDArray[np.float64] = field(
        default_factory=lambda: np.zeros(2 * DECADES * BINS_PER_DECADE + 2))
    rows: NDArray[np.float64] = field(default_factory=lambda: np.zeros(2 * DECADES * BINS_PER_DECADE + 2))

    def add(self, residuals: Values, weights: Values | None = None) -> None:
        """Add one batch's residuals (any sign) with their weights."""
        values = np.abs(np.asarray(residuals, dtype=np.float64))
        w = None if weights is None else np.asarray(weights, dtype=np.float64)
        self.weight += float(values.size) if w is None else float(w.sum())
        bins = self._bins(values)
        self.histogram += np.bincount(bins, weights=w, minlength=self.histogram.size)
        self.rows += np.bincount(bins, minlength=self.rows.size)
        if self.bracket is None or self.overflowed:
            return
        below = values < self.bracket.low
        self.below += float(np.count_nonzero(below)) if w is None else float(w[below].sum())
        inside = np.flatnonzero(~below & (values < self.bracket.high))
        if self.n_held + inside.size > MAX_HELD:
            self.overflowed, self.held = True, []
            return
        self.held.append((values[inside], None if w is None else w[inside]))
        self.n_held += inside.size

    def merge(self, other: "AbsoluteMedian") -> None:
        """Add what another part of the same pass accumulated."""
        if (other.unit, other.bracket) != (self.unit, self.bracket):
            raise ValueError("only the parts of one pass can be combined")
        self.weight += other.weight
        self.below += other.below
        self.histogram += other.histogram
        self.rows += other.rows
        self.overflowed = self.overflowed or other.overflowed or self.n_held + other.n_held > MAX_HELD
        self.held, self.n_held = ([], 0) if self.overflowed else (self.held + other.held, self.n_held + other.n_held)

    def result(self) -> MedianResult:
        """The median of everything added: exact when the bracket held it."""
        exact = self._exact()
        if exact is not None:
            return MedianResult(exact, True)
        return MedianResult(self._from_histogram(), False)

    def next_bracket(self, median: float) -> Bracket:
        """A bracket around `median` for the next pass, narrowed so that it
        is expected to hold at most `MAX_HELD` values."""
        half_width = BRACKET_HALF_WIDTH
        first, last = (int(b) for b in self._bins(np.array([median * (1 - half_width), median * (1 + half_width)])))
        expected = float(self.rows[first:last + 1].sum())
        # Half the limit, for residuals that crowd closer to the median on
        # the next pass.
        if expected > MAX_HELD / 2:
            half_width *= MAX_HELD / 2 / expected
        return Bracket(median * (1 - half_width), median * (1 + half_width))

    # ---------------------------------------------------------------- inside

    def _bins(self, values: Values) -> NDArray[np.intp]:
        """Bin 0 holds values below the range (zeros included), the last
        bin those above it."""
        with np.errstate(divide="ignore"):
            position = (np.log10(values / self.unit) + DECADES) * BINS_PER_DECADE
        last = self.histogram.size - 1
        bins = np.where(np.isfinite(position), np.floor(position) + 1, np.where(position > 0, last, 0))
        return np.clip(bins, 0, last).astype(np.intp)

    def _edge(self, index: int) -> float:
        """The lower edge of bin `index` (1 .. size - 1)."""
        return float(self.unit * 10.0 ** ((index - 1) / BINS_PER_DECADE - DECADES))

    def _exact(self) -> float | None:
        if self.bracket is None or self.overflowed or not self.held:
            return None
        values = np.concatenate([v for v, _ in self.held])
        weighted = any(w is not None for _, w in self.held)
        weights = np.concatenate([np.ones(v.size) if w is None else w for v, w in self.held]) if weighted \
            else np.ones(values.size)
        order = np.argsort(values, kind="stable")
        cumulative = self.below + np.cumsum(weights[order])
        half = self.weight / 2.0
        if not self.below < half:
            return None
        lower = int(np.searchsorted(cumulative, half, side="left"))
        upper = int(np.searchsorted(cumulative, half, side="right"))
        if upper >= values.size:
            return None
        return float((values[order[lower]] + values[order[upper]]) / 2.0)

    def _from_histogram(self) -> float:
        """The median interpolated geometrically within its bin."""
        cumulative = np.cumsum(self.histogram)
        half = self.weight / 2.0
        index = int(np.searchsorted(cumulative, half, side="left"))
        if index == 0:
            return float(self._edge(1) / 2)
        if index >= self.histogram.size - 1:
            return self._edge(self.histogram.size - 1)
        before = cumulative[index - 1]
        share = (half - before) / self.histogram[index] if self.histogram[index] > 0 else 0.5
        low = self._edge(index)
        return float(low * 10.0 ** (share / BINS_PER_DECADE))


def median_of(batches: list[tuple[Values, Values | None]], unit: float, bracket: Bracket | None) -> MedianResult:
    """The median of |r| over `batches` (a helper for tests and one-shot use)."""
    accumulator = AbsoluteMedian(unit, bracket)
    for residuals, weights in batches:
        accumulator.add(residuals, weights)
    return accumulator.result()

