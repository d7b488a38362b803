"""What the command line keeps in a model file about the passes that follow
the first stream (see `vintrel._passes`): how many ran, whether they
converged, where the next one evaluates and, when a pass was stopped
part-way, what it had added up so far and how far into each file it got,
so that `vintrel fit --resume` continues it where it stopped.

The record is made of plain JSON values and float or bool arrays, as the
model file keeps them (see `vintrel._model_format`). The estimate of the
passes itself is the model's: after each pass the estimator takes on the
pass's state, so the record holds only what the estimator does not.
"""

from collections.abc import Mapping
from dataclasses import dataclass, field
from typing import Any

import numpy as np
from numpy.typing import NDArray

from vintrel._median import AbsoluteMedian, Bracket
from vintrel._passes import SHARES, Passes, PassPoint, PassSums
from vintrel._residual_sketch import ResidualSketch
from vintrel.cli.plain_values import count as _count
from vintrel.cli.plain_values import flag as _flag
from vintrel.cli.plain_values import text as _text
from vintrel.state import ModelState


@dataclass(frozen=True, eq=False)
class PassInProgress:
    """A pass stopped part-way: its sums over the batches it evaluated and,
    for each file, the rows of it those batches covered."""

    sums: PassSums
    read_through: Mapping[str, int] = field(default_factory=dict)

    @property
    def rows(self) -> int:
        return sum(self.read_through.values())


@dataclass(frozen=True, eq=False)
class PassRecord:
    """The passes of a fit, as `Passes` left them.

    `n_passes` counts the first stream; `point` is where the next pass
    evaluates; `in_progress` is the pass stopped part-way, if any.
    """

    n_passes: int
    converged: bool
    failed: bool
    point: PassPoint
    in_progress: PassInProgress | None = None

    @classmethod
    def of(cls, passes: Passes, in_progress: PassInProgress | None = None) -> "PassRecord":
        return cls(passes.n_passes, passes.converged, passes.failed, passes.point, in_progress)

    def resumed(self, state: ModelState, pass_tol: float, max_passes: int) -> Passes:
        """The passes as they stood, from the estimator's `state` (the
        estimate of the last complete pass) and the settings in force now."""
        passes = Passes(state, pass_tol, max_passes, self.n_passes, self.converged, self.failed)
        passes.point = self.point
        return passes

    @property
    def done(self) -> bool:
        """Whether the passes ended by themselves (rather than at the limit
        on their number, which a resumed fit may raise)."""
        return self.converged or self.failed

    def describe(self) -> str:
        """One line for `vintrel show`."""
        if self.in_progress is not None:
            return (f"pass {self.n_passes + 1} stopped after {self.in_progress.rows:,} of its rows, the estimate is "
                    f"that of pass {self.n_passes}; continue with --resume")
        if self.converged:
            return f"{self.n_passes} over the data, converged: the whole-data M-estimate"
        if self.failed:
            return f"{self.n_passes} over the data, stopped: no step lowered the loss (NOT converged)"
        return f"{self.n_passes} over the data, NOT converged; continue with --resume and a larger --passes"

    # ------------------------------------------------------------ metadata

    def to_metadata(self) -> dict[str, Any]:
        point = self.point
        record: dict[str, Any] = {
            "n_passes": self.n_passes, "converged": self.converged, "failed": self.failed,
            "point": {"coefficients": point.coefficients, "scale": point.scale, "step": point.step,
                      "bracket": _bracket_plain(point.bracket)},
            "in_progress": None}
        if self.in_progress is not None:
            read_through = self.in_progress.read_through
            record["in_progress"] = {
                "files": [{"path": path, "rows_evaluated": rows} for path, rows in read_through.items()],
                "sums": _sums_plain(self.in_progress.sums)}
        return record

    @classmethod
    def from_metadata(cls, record: Any, n_parameters: int) -> "PassRecord":
        """The record `to_metadata` wrote, for a model of `n_parameters`
        parameters. Raises KeyError, TypeError or ValueError when it does
        not hold together."""
        record = _mapping(record, "the passes")
        point = _mapping(record["point"], "the pass point")
        scale = _positive(point["scale"], "the pass scale")
        parsed = cls(_count(record["n_passes"], 1), _flag(record["converged"]), _flag(record["failed"]),
                     PassPoint(_vector(point["coefficients"], n_parameters), scale,
                               _vector(point["step"], n_parameters), _bracket(point["bracket"])))
        progress = record["in_progress"]
        if progress is None:
            return parsed
        progress = _mapping(progress, "the pass in progress")
        files = progress["files"]
        if not isinstance(files, list):
            raise TypeError("the files of the pass in progress are not a list")
        read_through = {_text(entry["path"]): _count(entry["rows_evaluated"], 0)
                        for entry in (_mapping(entry, "a file of the pass") for entry in files)}
        if len(read_through) != len(files):
            raise ValueError("a file of the pass in progress is listed twice")
        sums = _sums(_mapping(progress["sums"], "the sums of the pass"), n_parameters)
        if (sums.median.unit, sums.median.bracket) != (scale, parsed.point.bracket):
            raise ValueError("the median of the pass in progress belongs to another pass")
        return cls(parsed.n_passes, parsed.converged, parsed.failed, parsed.point, PassInProgress(sums, read_through))


# ------------------------------------------------------------- the sums

# The number fields of `PassSums` (the arrays and the median are laid out
# by hand below).
_SUM_COUNTS = ("rows", "batches")
_SUM_NUMBERS = ("weight", "loss", "psi_squared", "psi_prime", "window_weight")


def _sums_plain(sums: PassSums) -> dict[str, Any]:
    median = sums.median
    # The values kept inside the bracket, batch after batch, as one array:
    # the median found among them is the same.
    values = np.concatenate([v for v, _ in median.held]) if median.held else np.zeros(0)
    weighted = any(w is not None for _, w in median.held)
    weights = np.concatenate([np.ones(v.size) if w is None else w for v, w in median.held]) if weighted else None
    return {
        "gradient": sums.gradient, "gram": sums.gram, "trial_losses": sums.trial_losses,
        "scale_gradient": sums.scale_gradient, "median_direction": sums.median_direction,
        **{name: getattr(sums, name) for name in (*_SUM_COUNTS, *_SUM_NUMBERS)},
        "median": {"unit": median.unit, "bracket": _bracket_plain(median.bracket), "weight": median.weight,
                   "below": median.below, "held_values": values, "held_weights": weights,
                   "overflowed": median.overflowed, "histogram": median.histogram, "rows": median.rows},
        "residuals": sums.residuals.to_plain()}


def _sums(plain: Mapping[str, Any], p: int) -> PassSums:
    median_plain = _mapping(plain["median"], "the median of the pass")
    values = _array(median_plain["held_values"], (None,), "the values held for the median")
    weights = median_plain["held_weights"]
    weights = None if weights is None else _array(weights, values.shape, "the weights held for the median")
    median = AbsoluteMedian(_positive(median_plain["unit"], "the median's unit"), _bracket(median_plain["bracket"]))
    median.weight, median.below = _number(median_plain["weight"]), _number(median_plain["below"])
    median.overflowed = _flag(median_plain["overflowed"])
    median.held, median.n_held = ([(values, weights)], values.size) if values.size else ([], 0)
    median.histogram = _array(median_plain["histogram"], median.histogram.shape, "the median's histogram")
    median.rows = _array(median_plain["rows"], median.rows.shape, "the median's row counts")
    sums = PassSums(_vector(plain["gradient"], p), _array(plain["gram"], (p, p), "the pass's Gram matrix"),
                    trial_losses=_array(plain["trial_losses"], (len(SHARES),), "the trial losses"),
                    median=median, scale_gradient=_vector(plain["scale_gradient"], p),
                    median_direction=_vector(plain["median_direction"], p))
    # Records written before the residuals were tracked have none: the
    # pass's distribution then holds the batches evaluated after the resume.
    if plain.get("residuals") is not None:
        sums.residuals = ResidualSketch.from_plain(_mapping(plain["residuals"], "the residuals of the pass"))
    for name in _SUM_COUNTS:
        setattr(sums, name, _count(plain[name], 0))
    for name in _SUM_NUMBERS:
        setattr(sums, name, _number(plain[name]))
    return sums


# ------------------------------------------------------------- checking

def _bracket_plain(bracket: Bracket | None) -> list[float] | None:
    return None if bracket is None else [bracket.low, bracket.high]


def _bracket(value: Any) -> Bracket | None:
    if value is None:
        return None
    if not (isinstance(value, list) and len(value) == 2):
        raise TypeError(f"{value!r} is not a bracket")
    low, high = (_number(bound) for bound in value)
    if not 0 <= low < high:
        raise ValueError(f"{value!r} is not a bracket")
    return Bracket(low, high)


def _array(value: Any, shape: tuple[int | None, ...], name: str) -> NDArray[np.float64]:
    """A writable float64 copy (the sums are added to in place)."""
    if not isinstance(value, np.ndarray) or value.dtype.kind not in "fiu":
        raise TypeError(f"{name} is not an array of numbers")
    if len(shape) != value.ndim or any(size is not None and size != actual
                                       for size, actual in zip(shape, value.shape, strict=True)):
        raise ValueError(f"{name} has shape {value.shape}; expected {shape}")
    return np.array(value, dtype=np.float64, copy=True)


def _vector(value: Any, p: int) -> NDArray[np.float64]:
    array = _array(value, (p,), "a vector of the passes")
    if not np.all(np.isfinite(array)):
        raise ValueError("a vector of the passes is not finite")
    return array


def _mapping(value: Any, name: str) -> Mapping[str, Any]:
    if not isinstance(value, Mapping):
        raise TypeError(f"{name} is not a record")
    return value


def _number(value: Any) -> float:
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        raise TypeError(f"{value!r} is not a number")
    return float(value)


def _positive(value: Any, name: str) -> float:
    number = _number(value)
    if not 0 < number < float("inf"):
        raise ValueError(f"{name} is {number!r}, not a positive number")
    return number
