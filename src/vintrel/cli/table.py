"""The coefficient table the commands print, and plain text tables."""

from dataclasses import dataclass
from statistics import NormalDist

import numpy as np

from vintrel.estimator import IncrementalHuberRegressor

# Coverage of the intervals printed next to standard errors.
INTERVAL_LEVEL = 0.95


@dataclass(frozen=True)
class Table:
    """Rows of text under column headings; the first column is left
    aligned, the others (numbers) right aligned."""

    headings: tuple[str, ...]
    rows: tuple[tuple[str, ...], ...]

    def render(self) -> str:
        widths = [max(len(cell) for cell in column) for column in zip(self.headings, *self.rows, strict=True)]
        lines = []
        for cells in (self.headings, *self.rows):
            first, *rest = cells
            lines.append("  ".join([first.ljust(widths[0]), *(c.rjust(w) for c, w in zip(rest, widths[1:],
                                                                                       strict=True))]))
        return "\n".join(lines)


def coefficient_table(model: IncrementalHuberRegressor) -> Table:
    """Feature and coefficient (the intercept last) in the caller's units;
    with standard errors, z and a normal interval when the model carries
    standard errors."""
    names = getattr(model, "feature_names_in_", None)
    labels = [str(name) for name in names] if names is not None else [f"x{j}" for j in range(model.n_features_in_)]
    values = [float(v) for v in model.coef_]
    if model.fit_intercept:
        labels.append("(intercept)")
        values.append(float(model.intercept_))
    columns: dict[str, list[str]] = {"feature": labels, "coefficient": [f"{v:.6g}" for v in values]}
    errors = standard_errors(model)
    if errors is not None:
        quantile = NormalDist().inv_cdf(0.5 + INTERVAL_LEVEL / 2)
        percent = f"{INTERVAL_LEVEL:.0%}"
        columns["std. error"] = [f"{e:.4g}" for e in errors]
        columns["z"] = [f"{v / e:.2f}" if e > 0 else "" for v, e in zip(values, errors, strict=True)]
        columns[f"{percent} low"] = [f"{v - quantile * e:.6g}" for v, e in zip(values, errors, strict=True)]
        columns[f"{percent} high"] = [f"{v + quantile * e:.6g}" for v, e in zip(values, errors, strict=True)]
    return Table(tuple(columns), tuple(zip(*columns.values(), strict=True)))


def standard_errors(model: IncrementalHuberRegressor) -> list[float] | None:
    """The coefficients' standard errors (intercept last), or None when the
    model carries none or they do not apply (an L1 fit)."""
    try:
        coef_se = getattr(model, "coef_se_", None)
        intercept_se = getattr(model, "intercept_se_", None) if model.fit_intercept else None
    except (ValueError, NotImplementedError):
        return None
    if coef_se is None:
        return None
    errors = [float(e) for e in np.ravel(coef_se)]
    if intercept_se is not None:
        errors.append(float(intercept_se))
    return errors


def counted(count: int, noun: str) -> str:
    """`count` and `noun`, plural unless the count is one: "1 update",
    "2,000 updates"."""
    return f"{count:,} {noun}{'s' * (count != 1)}"


def render_pairs(pairs: list[tuple[str, str]]) -> str:
    """Names and values in two aligned columns."""
    width = max(len(name) for name, _ in pairs)
    return "\n".join(f"{name.ljust(width)}  {value}" for name, value in pairs)
