"""The start of a stream: the residual scale and the coefficients that the
first engine update starts from, estimated on the first batch."""

from dataclasses import dataclass, replace
from typing import Any

import numpy as np
from numpy.typing import NDArray
from sklearn.exceptions import ConvergenceWarning

from vintrel._engine import EngineStream, FoldReport, UpdateSettings
from vintrel._model import PENALTIES
from vintrel._robust import least_squares, normalised_mad
from vintrel._scaling import root_mean_square
from vintrel._warnings import warn

Vector = NDArray[np.float64]
Array = NDArray[np.floating[Any]]

# Rounds of the coefficient and scale alternation allowed on one set of
# rows before the start gives up and warns; a dozen is usual.
MAX_SCALE_ROUNDS = 100
# Relative change of the scale between rounds at which it has settled, by
# engine precision. Rounds shrink the change twenty-fold or more, so the
# settled scale is far closer to its fixed point than this.
SCALE_TOLERANCE = {np.dtype(np.float64): 1e-7, np.dtype(np.float32): 1e-5}
# On a sample the scale is only known to its sampling error (about 1 % at
# SAMPLE_ROWS rows), which the stream then refines: rounds stop sooner.
SAMPLE_SCALE_TOLERANCE = 1e-4
# The engine's tolerance for the rounds on a sample: coefficients this close
# move the sample's MAD far less than its sampling error, and the rounds
# take a third fewer iterations than at the stream's tolerance.
SAMPLE_ROUND_TOL = 1e-5
# A stream's first batch longer than this many rows alternates on an evenly
# spaced sample of this size: its scale is within about one per cent of the
# whole batch's, at a fraction of the cost.
SAMPLE_ROWS = 10_000


@dataclass(frozen=True)
class Start:
    """The residual scale and the coefficients in the target's units (not
    yet divided by the scale). When `folded` is set, the stream holds the
    batch folded at exactly this scale."""

    scale: float
    coefficients: Vector
    folded: FoldReport | None = None


def residual_scale(residuals: Vector, weights: Array | None) -> float:
    """The normalised MAD of the residuals, with fall-backs for fits that
    are exact on more than half of the rows."""
    mad = normalised_mad(residuals, weights)
    if np.isfinite(mad) and mad > 0:
        return mad
    rms = float(root_mean_square(np.reshape(residuals, (-1, 1)), weights)[0])
    return rms if np.isfinite(rms) and rms > 0 else 1.0


def least_squares_start(design: Array, target: Vector, weights: Array | None,
                        scale: float | None = None) -> Start:
    """Least-squares coefficients, with `scale` or else the scale of their
    residuals."""
    design64 = np.asarray(design, dtype=np.float64)
    beta = least_squares(design64, target, weights)
    return Start(residual_scale(target - design64 @ beta, weights) if scale is None else scale, beta)


def start_sample(n_rows: int, weights: Array | None, whole_batch: bool) -> NDArray[np.intp] | None:
    """The rows of a first batch that the start alternates on: None for
    all of them, or an evenly spaced sample of `SAMPLE_ROWS` rows of
    positive weight when the batch has more (and `whole_batch` is not
    asked for)."""
    rows = np.arange(n_rows) if weights is None else np.flatnonzero(weights > 0)
    if whole_batch or rows.size <= SAMPLE_ROWS:
        return None
    return rows[np.linspace(0, rows.size - 1, SAMPLE_ROWS).astype(np.intp)]


def huber_start(stream: EngineStream, design: Array, target: Vector, weights: Array | None,
                settings: UpdateSettings, sampled: bool, keep_penalty: bool = False) -> Start:
    """Huber coefficients and MAD scale of one batch, or of a `sampled`
    part of it (see `start_sample`), alternated until the scale settles
    (the classic M-estimate with MAD scale).

    When the rows are the whole batch, the stream holds the batch folded
    without penalty at the returned scale (`Start.folded`); on a sample it
    holds nothing that counts. The rounds fit without penalty, unless
    `keep_penalty` (a ridge part that makes a batch of fewer rows than
    parameters solvable).
    """
    if not keep_penalty:
        settings = replace(settings, penalty=PENALTIES[None].engine_name, lambda_scale=0.0, penalty_keywords=())
    if sampled:
        settings = replace(settings, tol=max(settings.tol, SAMPLE_ROUND_TOL))
        start = _alternate(stream, design, target, weights, settings, SAMPLE_SCALE_TOLERANCE)
        return replace(start, folded=None)
    return _alternate(stream, design, target, weights, settings, SCALE_TOLERANCE[stream.dtype])


def _alternate(stream: EngineStream, design: Array, target: Vector, weights: Array | None,
               settings: UpdateSettings, tolerance: float) -> Start:
    """From least squares, rounds of: refit the coefficients with the
    engine at the current scale, then take the normalised MAD of the new
    residuals, until the scale changes by at most `tolerance`
    (relatively)."""
    design64 = np.asarray(design, dtype=np.float64)
    start = least_squares_start(design64, target, weights)
    beta, scale = start.coefficients, start.scale
    for _ in range(MAX_SCALE_ROUNDS):
        stream.restart(beta / scale)
        report = stream.fold(design, np.ascontiguousarray(target / scale, dtype=stream.dtype),
                             weights, settings, "the first batch")
        beta = report.coefficients.astype(np.float64) * scale
        new_scale = residual_scale(target - design64 @ beta, weights)
        if abs(new_scale - scale) <= tolerance * scale:
            return Start(scale, beta, report)
        scale = new_scale
    warn(f"the residual scale of the first batch did not settle within {MAX_SCALE_ROUNDS} rounds: it is "
         f"held at its last estimate, so scale_ and the Huber threshold in the target's units are "
         f"approximate; give scale= a fixed value, or start on a larger first batch", ConvergenceWarning)
    return Start(scale, beta)
