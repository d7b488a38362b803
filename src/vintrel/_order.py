"""What a stream of `partial_fit` calls can tell about its own order.

A stream folds each batch into a quadratic summary of the batches before
it, so its answer depends on their order: batches sorted by price, by date
or by city move the estimate away from where its carried information was
computed, and nothing afterwards moves it back. Two signs, measured batch
by batch, give that away:

- the move: how far a batch moved the coefficients, in the metric of the
  carried information (that is, in standard errors), against how far a
  batch of its weight moves them in a shuffled stream. In a shuffled stream
  the squared move is about ``c * p * w / W`` (``p`` parameters, the batch's
  weight ``w`` of the total ``W``, ``c`` the sandwich factor), so the ratio
  is about 1 and rarely above 10;
- the scale: the normalised MAD of the batch's residuals against the
  stream's residual scale, which in a shuffled stream differ by sampling
  noise only.

Calibrated on real tables in their natural order (sorted by price, by date,
by city and date) and shuffled: shuffled streams stayed below a move ratio
of 30 and a scale ratio of 1.5 (more for batches of a few dozen rows),
sorted ones went above 50 or far beyond the scale bound.
"""

import math
from dataclasses import dataclass

import numpy as np
from numpy.typing import NDArray

# A batch whose squared move exceeds this many times a shuffled stream's
# expectation, or whose residual scale differs from the stream's by more
# than the factor below (widened for small batches by the MAD's sampling
# noise, about 1.1 / sqrt(rows)), shows that the order moves the estimate.
MAX_MOVE_RATIO = 50.0
MAX_SCALE_FACTOR = 1.5
MAD_NOISE_WIDTHS = 3.0


class StreamOrderWarning(UserWarning):
    """The order of the batches in a `partial_fit` stream moved the
    estimate: the answer depends on how the data was fed. Shuffle the rows,
    `initialize` on a random sample, or fit all the data with `fit` (which
    makes passes and gives the whole-data answer)."""


@dataclass(frozen=True)
class BatchMove:
    """How one folded batch moved the stream."""

    label: str
    move: float  # in standard errors
    expected: float  # in standard errors, for a shuffled stream
    scale_ratio: float  # the batch's residual scale over the stream's
    rows: int


def batch_move(label: str, before: NDArray[np.floating], after: NDArray[np.floating],
               information: NDArray[np.floating], sandwich: float, batch_weight: float, total_weight: float,
               scale_ratio: float, rows: int) -> BatchMove:
    """The move of the internal coefficients from `before` to `after`, in
    standard errors (the carried `information` over the `sandwich` factor
    gives their precision)."""
    step = np.asarray(after, dtype=np.float64) - np.asarray(before, dtype=np.float64)
    squared = float(step @ np.asarray(information, dtype=np.float64) @ step) / sandwich
    expected = step.size * batch_weight / total_weight
    return BatchMove(label, math.sqrt(max(squared, 0.0)), math.sqrt(expected), scale_ratio, rows)


def order_warning(move: BatchMove) -> str | None:
    """The warning a batch's move calls for, or None."""
    scale_bound = MAX_SCALE_FACTOR * math.exp(MAD_NOISE_WIDTHS * 1.1 / math.sqrt(max(move.rows, 1)))
    moved = move.expected > 0 and (move.move / move.expected) ** 2 > MAX_MOVE_RATIO
    rescaled = not 1 / scale_bound <= move.scale_ratio <= scale_bound
    if not (moved or rescaled):
        return None
    signs = []
    if moved:
        signs.append(f"moved the coefficients by {move.move:.3g} standard errors, where a batch of its size from a "
                     f"shuffled stream moves them by about {move.expected:.2g}")
    if rescaled:
        signs.append(f"its residuals have {move.scale_ratio:.3g} times the stream's residual scale")
    return (f"{move.label} {' and '.join(signs)}: the order of the batches is moving the estimate away from the "
            f"whole-data answer (data sorted by time, price or group streams this way); shuffle the rows, call "
            f"initialize() on a random sample first, or fit all the data with fit(), which makes passes")
