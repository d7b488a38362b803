"""The fit's picture: coefficient paths over the stream, and the scaled
residuals of the last batch against the Huber threshold."""

from collections.abc import Sequence
from pathlib import Path
from typing import TYPE_CHECKING, Any

import numpy as np
from numpy.typing import NDArray

from vintrel._atomic import atomic_write

if TYPE_CHECKING:  # matplotlib is imported only when a plot is drawn
    from matplotlib.axes import Axes
    from matplotlib.figure import Figure

# Paths beyond this many get no legend entry; the largest are labelled.
LABELLED_PATHS = 20
# The residual histogram spans this many thresholds either side of zero.
RESIDUAL_RANGE = 4


def check_plotting() -> None:
    """Raise ImportError early when matplotlib is missing, so a long fit
    does not end without its plot."""
    import matplotlib  # noqa: F401


def write_plot(path: Path, names: Sequence[str], rows_seen: Sequence[int],
               standardised_paths: NDArray[np.floating[Any]], scaled_residuals: NDArray[np.floating[Any]],
               epsilon: float, *, paths_title: str, residual_sample: str) -> None:
    """Write the PNG of `fit_figure`."""
    figure = fit_figure(names, rows_seen, standardised_paths, scaled_residuals, epsilon, paths_title=paths_title,
                        residual_sample=residual_sample)
    with atomic_write(path) as temporary:
        figure.savefig(temporary, format="png", dpi=110)


def fit_figure(names: Sequence[str], rows_seen: Sequence[int], standardised_paths: NDArray[np.floating[Any]],
               scaled_residuals: NDArray[np.floating[Any]], epsilon: float, *, paths_title: str,
               residual_sample: str) -> "Figure":
    """A figure with two panels.

    `standardised_paths` has one row per update and one column per feature:
    coefficients times the feature's standard deviation, so that features
    on any scale share an axis. They are drawn as paths over the rows
    folded or, after a single update, as one point per feature.
    `scaled_residuals` are the residuals of the batch `residual_sample`
    names, divided by the residual scale.
    """
    import matplotlib

    matplotlib.use("Agg")
    from matplotlib.figure import Figure

    figure = Figure(figsize=(14, 4.8), layout="constrained")
    paths_axis, residual_axis = figure.subplots(1, 2, width_ratios=[1.15, 1])
    if len(standardised_paths) == 1:
        _draw_estimate(paths_axis, names, standardised_paths[0], rows_seen[0])
    else:
        _draw_paths(paths_axis, names, rows_seen, standardised_paths, paths_title)

    # The range shows the threshold and the shape around it; residuals
    # beyond it are counted in the outermost bins.
    limit = RESIDUAL_RANGE * epsilon
    beyond_range = float(np.mean(np.abs(scaled_residuals) > limit)) if scaled_residuals.size else 0.0
    residual_axis.hist(np.clip(scaled_residuals, -limit, limit), bins=80, range=(-limit, limit), color="C0")
    residual_axis.set_yscale("log")
    for sign in (-1, 1):
        residual_axis.axvline(sign * epsilon, color="C3", linestyle="--")
    beyond = float(np.mean(np.abs(scaled_residuals) > epsilon)) if scaled_residuals.size else 0.0
    residual_axis.set_title(f"{residual_sample}: {beyond:.1%} of scaled residuals beyond ±{epsilon:g}")
    residual_axis.set_xlabel(f"residual / scale (dashed: the Huber threshold; end bins: "
                             f"{beyond_range:.1%} beyond ±{limit:g})")
    residual_axis.set_ylabel("rows")
    return figure


def _draw_paths(axis: "Axes", names: Sequence[str], rows_seen: Sequence[int],
                standardised_paths: NDArray[np.floating[Any]], title: str) -> None:
    """Each feature's path over the rows folded, the largest labelled."""
    import matplotlib
    from matplotlib.ticker import EngFormatter, MaxNLocator

    order = np.argsort(-np.abs(standardised_paths[-1])) if len(standardised_paths) else np.array([], dtype=int)
    colours = matplotlib.colormaps["tab20" if len(order) > 10 else "tab10"]
    for rank, j in enumerate(order):
        axis.plot(rows_seen, standardised_paths[:, j], marker="." if len(rows_seen) < 30 else None,
                  color=colours(rank % colours.N), label=names[j] if rank < LABELLED_PATHS else None)
    axis.set_xlabel("rows folded")
    axis.xaxis.set_major_locator(MaxNLocator(6, integer=True))
    axis.xaxis.set_major_formatter(EngFormatter(sep=""))
    axis.set_ylabel("coefficient x feature standard deviation")
    axis.set_title(title)
    axis.axhline(0.0, color="grey", linewidth=0.6)
    if len(order):
        axis.legend(fontsize="small", loc="center left", bbox_to_anchor=(1.0, 0.5), frameon=False)


def _draw_estimate(axis: "Axes", names: Sequence[str], standardised: NDArray[np.floating[Any]], rows: int) -> None:
    """The estimate of a single update, which has no path to draw: a point
    per feature, the largest on top, labelled with the feature's name (the
    largest `LABELLED_PATHS` only, when there are too many to read)."""
    order = np.argsort(-np.abs(standardised))
    positions = np.arange(len(order))[::-1]
    axis.plot(standardised[order], positions, linestyle="none", marker="o", color="C0")
    labelled = slice(None) if len(order) <= 2 * LABELLED_PATHS else slice(LABELLED_PATHS)
    axis.set_yticks(positions[labelled], [names[j] for j in order[labelled]], fontsize="small")
    axis.set_xlabel("coefficient x feature standard deviation")
    axis.set_title(f"the estimate after its one update ({rows:,} rows)")
    axis.axvline(0.0, color="grey", linewidth=0.6)

