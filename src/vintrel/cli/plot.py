"""The fit's picture: coefficient paths over the stream, and the scaled
residuals of the last batch against the Huber threshold."""

from collections.abc import Sequence
from pathlib import Path
from typing import Any

import numpy as np
from numpy.typing import NDArray

from vintrel._atomic import atomic_write

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
    """Write a PNG with two panels.

    `standardised_paths` has one row per update and one column per feature:
    coefficients times the feature's standard deviation, so that features
    on any scale share an axis. `scaled_residuals` are the residuals of
    the batch `residual_sample` names, divided by the residual scale.
    """
    import matplotlib

    matplotlib.use("Agg")
    from matplotlib.figure import Figure
    from matplotlib.ticker import EngFormatter, MaxNLocator

    figure = Figure(figsize=(14, 4.8), layout="constrained")
    paths_axis, residual_axis = figure.subplots(1, 2, width_ratios=[1.15, 1])
    order = np.argsort(-np.abs(standardised_paths[-1])) if len(standardised_paths) else np.array([], dtype=int)
    colours = matplotlib.colormaps["tab20" if len(order) > 10 else "tab10"]
    for rank, j in enumerate(order):
        paths_axis.plot(rows_seen, standardised_paths[:, j], marker="." if len(rows_seen) < 30 else None,
                        color=colours(rank % colours.N), label=names[j] if rank < LABELLED_PATHS else None)
    paths_axis.set_xlabel("rows folded")
    paths_axis.xaxis.set_major_locator(MaxNLocator(6, integer=True))
    paths_axis.xaxis.set_major_formatter(EngFormatter(sep=""))
    paths_axis.set_ylabel("coefficient x feature standard deviation")
    paths_axis.set_title(paths_title)
    paths_axis.axhline(0.0, color="grey", linewidth=0.6)
    if len(order):
        paths_axis.legend(fontsize="small", loc="center left", bbox_to_anchor=(1.0, 0.5), frameon=False)

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
    with atomic_write(path) as temporary:
        figure.savefig(temporary, format="png", dpi=110)
