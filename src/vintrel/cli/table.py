"""The coefficient table the commands print, and plain text tables."""

from dataclasses import dataclass

from vintrel.cli.printable import printable
from vintrel.estimator import IncrementalHuberRegressor
from vintrel.inference import coefficient_rows

# The intervals printed next to standard errors miss with this probability.
INTERVAL_ALPHA = 0.05


@dataclass(frozen=True)
class Table:
    """Rows of text under column headings; the first column is left
    aligned, the others (numbers) right aligned. Control characters in the
    cells (of feature names, say) are shown escaped."""

    headings: tuple[str, ...]
    rows: tuple[tuple[str, ...], ...]

    def render(self) -> str:
        shown = [tuple(printable(cell) for cell in cells) for cells in (self.headings, *self.rows)]
        widths = [max(len(cell) for cell in column) for column in zip(*shown, strict=True)]
        lines = []
        for cells in shown:
            first, *rest = cells
            lines.append("  ".join([first.ljust(widths[0]), *(c.rjust(w) for c, w in zip(rest, widths[1:],
                                                                                       strict=True))]))
        return "\n".join(lines)


def coefficient_table(model: IncrementalHuberRegressor) -> Table:
    """Feature and coefficient (the intercept last) in the caller's units;
    with standard errors, z and a normal interval when the model has
    standard errors (not with the L1 penalty)."""
    labels = [str(name) for name in model.get_feature_names_out()]
    values = [float(v) for v in model.coef_]
    if model.fit_intercept:
        labels.append("(intercept)")
        values.append(float(model.intercept_))
    columns: dict[str, list[str]] = {"feature": labels, "coefficient": [f"{v:.6g}" for v in values]}
    rows = coefficient_rows(model, INTERVAL_ALPHA)
    if rows is not None:
        percent = f"{1 - INTERVAL_ALPHA:.0%}"
        columns["std. error"] = [f"{row.std_err:.4g}" for row in rows]
        columns["z"] = [f"{row.z:.2f}" if row.std_err > 0 else "" for row in rows]
        columns[f"{percent} low"] = [f"{row.lower:.6g}" for row in rows]
        columns[f"{percent} high"] = [f"{row.upper:.6g}" for row in rows]
    return Table(tuple(columns), tuple(zip(*columns.values(), strict=True)))


def counted(count: int, noun: str) -> str:
    """`count` and `noun`, plural unless the count is one: "1 update",
    "2,000 updates"."""
    return f"{count:,} {noun}{'s' * (count != 1)}"


def render_pairs(pairs: list[tuple[str, str]]) -> str:
    """Names and values in two aligned columns, control characters (of
    paths and column names) shown escaped."""
    shown = [(printable(name), printable(value)) for name, value in pairs]
    width = max(len(name) for name, _ in shown)
    return "\n".join(f"{name.ljust(width)}  {value}" for name, value in shown)
