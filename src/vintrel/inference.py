"""Standard errors, confidence intervals and a summary table for the
streamed Huber M-estimate.

The covariance is Huber's sandwich for M-estimators in the form that uses
the curvature-weighted matrix (the "H2" correction)::

    cov = k * [sum(psi^2) / (n - p)] / [sum(psi') / n] * inv(I)
    k   = 1 + (p / n) * var(psi') / mean(psi')^2

in units of the standardised residual r / scale, with n the total sample
weight and p the number of parameters the data identifies (the rank of I).
I is the information
matrix the engine carries: the sum over batches of each batch's
curvature-weighted Gram matrix at that batch's final coefficients. The
scalar sums come from one pass over each folded batch at the same
coefficients and are kept in the estimator's additive statistics, so
streams over disjoint rows combine them by addition.

The matrix I uses the engine's curvature, the indicator of |r| <= epsilon
smoothed over a bandwidth that shrinks as weight accumulates; the scalar
sums use the exact indicator, which is the derivative of the Huber score.
Smoothing then enters the covariance once, through I, instead of twice with
the same sign (through I and through sum(psi')).
"""

import html
import importlib
import math
from collections.abc import Mapping
from dataclasses import dataclass
from numbers import Real
from statistics import NormalDist
from typing import Any, NamedTuple, Protocol

import numpy as np
from numpy.typing import NDArray
from sklearn.exceptions import NotFittedError

from vintrel._model import PENALTIES, HuberLoss, penalised_mask, penalty_for
from vintrel._scaling import Scaling
from vintrel.state import ModelState

Vector = NDArray[np.float64]
Matrix = NDArray[np.float64]
Array = NDArray[np.floating[Any]]

COVARIANCE_TYPE = "H2"
COVARIANCE_FORMULA = "k * sum(psi^2)/(n - p) / mean(psi') * inv(information)"
# Under a ridge penalty: the sandwich around the penalised curvature.
PENALISED_COVARIANCE_TYPE = "H2, penalised sandwich"
PENALISED_COVARIANCE_FORMULA = ("inv(A) (c I) inv(A), A = information + penalty curvature, c inv(I) the H2 "
                                "covariance, p = trace(inv(A) I)")

# A direction of the information matrix whose eigenvalue is below this many
# machine epsilons (of the engine's precision) per parameter, relative to
# the largest, carries no information: the data did not identify it.
NULL_EIGENVALUE_EPSILONS = 1e3
# A coefficient loading on such a direction by more than this is not
# identified; exact zero columns and exact collinearity load by O(1).
NULL_LOADING = 1e-6


class InferenceError(ValueError, AttributeError):
    """Standard errors are not available for this estimate.

    Subclasses `ValueError` and `AttributeError`, as scikit-learn's
    `NotFittedError` does, so ``hasattr(model, "coef_se_")`` is False when
    they are unavailable.
    """


L1_EXPLANATION = PENALTIES["l1"].no_standard_errors


# ------------------------------------------------------------ additive sums

# The estimator's additive statistics that inference uses, each a float
# summed over folded batches (sample weights are frequency weights):
#   "batches"      batches folded, with or without statistics;
#   "l1_batches"   batches folded with a penalty that has no standard errors
#                  (and so no score statistics);
#   "rows"         rows of the batches with score statistics;
#   "weight"       sum of w_i over those rows (n in the formula);
#   "psi_squared"  sum of w_i * psi(r_i)^2, r_i the standardised residual;
#   "psi_prime"    sum of w_i * [|r_i| <= epsilon], the exact curvature.


def batch_sums(residuals: Array, weights: Array | None, loss: HuberLoss) -> dict[str, float]:
    """Score statistics of one folded batch from its standardised residuals
    at the batch's final coefficients. Plain NumPy reductions: BLAS dot
    products on long vectors can be far slower when their threads contend
    with the engine's."""
    residuals = np.asarray(residuals, dtype=np.float64)
    # psi(r)^2 is min(r^2, epsilon^2), and psi'(r) is 1 where |r| <= epsilon.
    epsilon = np.float64(loss.epsilon)
    with np.errstate(over="ignore"):  # a square that overflows is still beyond epsilon^2
        psi_squared_rows = np.minimum(np.square(residuals), epsilon * epsilon)
    inside = np.abs(residuals) <= epsilon
    if weights is None:
        weight, psi_squared = float(residuals.size), float(psi_squared_rows.sum())
        psi_prime = float(np.count_nonzero(inside))
    else:
        w = np.asarray(weights, dtype=np.float64)
        weight, psi_squared, psi_prime = float(w.sum()), float((w * psi_squared_rows).sum()), float(w[inside].sum())
    return {"batches": 1.0, "l1_batches": 0.0, "rows": float(residuals.size), "weight": weight,
            "psi_squared": psi_squared, "psi_prime": psi_prime}


def penalised_batch_sums() -> dict[str, float]:
    """The statistics of a batch folded with a penalty that has no standard
    errors: only counts."""
    return {"batches": 1.0, "l1_batches": 1.0}


# Sums that count batches; forgetting discounts every other one.
_COUNTS = frozenset({"batches", "l1_batches"})


def discounted_sums(total: Mapping[str, Any], factor: float) -> dict[str, Any]:
    """`total` with every weighted sum multiplied by `factor` (forgetting);
    the batch counts stay."""
    return {name: value if name in _COUNTS else value * factor for name, value in total.items()}


def add_sums(total: Mapping[str, Any], batch: Mapping[str, Any]) -> dict[str, Any]:
    """`total` plus `batch`, entry by entry, as a new dict (neither input is
    changed, so a caller that restores an old dict restores old values)."""
    combined = dict(total)
    for name, value in batch.items():
        combined[name] = combined[name] + value if name in combined else value
    return combined


# ---------------------------------------------------------------- covariance


def internal_covariance(information: Array, sums: Mapping[str, float],
                        ridge: Vector | None = None) -> tuple[Matrix, NDArray[np.bool_]]:
    """The H2 covariance of the internal coefficients, and which of them
    the data identifies (their rows and columns are NaN otherwise). The
    parameter count p is the rank of the information, as in the classic
    formula's degrees of freedom.

    With a ridge penalty, whose curvature over all rows is the diagonal
    `ridge`, the covariance is the penalised sandwich ``A^-1 (c I) A^-1``
    with ``A = I + diag(ridge)`` and ``c I^-1`` the unpenalised H2 formula;
    p is then the effective number of parameters, ``trace(A^-1 I)``."""
    rank: float
    if ridge is None:
        inverse, identified, rank = _pseudo_inverse(information)
    else:
        loss_information = np.asarray(information, dtype=np.float64)
        penalised_inverse, identified, _ = _pseudo_inverse(loss_information + np.diag(ridge))
        inverse = penalised_inverse @ loss_information @ penalised_inverse
        rank = float(np.trace(penalised_inverse @ loss_information))
    weight = float(sums["weight"])
    if not weight > rank:
        raise InferenceError(f"standard errors need a total sample weight above the number of "
                             f"identified parameters ({rank:g}); the folded rows weigh {weight:g}")
    mean_curvature = float(sums["psi_prime"]) / weight
    if not mean_curvature > 0:
        raise InferenceError("standard errors are undefined: no folded residual lies within "
                             "epsilon * scale_")
    k = 1.0 + rank / weight * (1.0 - mean_curvature) / mean_curvature
    factor = k * float(sums["psi_squared"]) / (weight - rank) / mean_curvature
    covariance = factor * inverse
    covariance[~identified, :] = np.nan
    covariance[:, ~identified] = np.nan
    return covariance, identified


def _pseudo_inverse(information: Array) -> tuple[Matrix, NDArray[np.bool_], int]:
    """Inverse of the information on the directions the data identifies,
    which coefficients lie wholly within them, and how many directions
    there are. For those coefficients the pseudo-inverse gives the
    covariance of an estimable quantity."""
    eps = np.finfo(information.dtype).eps
    matrix = np.asarray(information, dtype=np.float64)
    values, vectors = np.linalg.eigh((matrix + matrix.T) / 2)
    top = float(values[-1]) if values.size else 0.0
    kept = values > max(top, 0.0) * NULL_EIGENVALUE_EPSILONS * eps * matrix.shape[0]
    inverse = (vectors[:, kept] / values[kept]) @ vectors[:, kept].T
    identified = np.linalg.norm(vectors[:, ~kept], axis=1) <= NULL_LOADING
    return np.asarray(inverse, dtype=np.float64), identified, int(np.count_nonzero(kept))


# Rows of the map to the caller's units whose largest entry lies outside
# this range are rescaled before the covariance is formed: a variance of a
# coefficient in extreme units may not be a float, its standard error is.
_SAFE_TRANSFORM = (1e-100, 1e100)


def caller_covariance(covariance: Matrix, identified: NDArray[np.bool_],
                      scaling: Scaling) -> tuple[Matrix, Vector, Matrix, float]:
    """The internal covariance in the caller's units, the standard errors,
    and the covariance over the square of a unit, with that unit. A caller
    coefficient built from an unidentified internal one is unidentified too
    (NaN). The standard errors, and the covariance in the unit, are finite
    whenever they are floats, even where a variance overflows (a target in
    units of 1e300) or underflows (1e-300)."""
    transform = scaling.caller_transform()
    known = np.where(np.outer(identified, identified), covariance, 0.0)
    peak = np.max(np.abs(transform), axis=1)
    if np.all((peak >= _SAFE_TRANSFORM[0]) & (peak <= _SAFE_TRANSFORM[1])):
        result = np.asarray(transform @ known @ transform.T, dtype=np.float64)
        std_errors = np.sqrt(np.diag(result))
        scaled, largest = result.copy(), 1.0
    else:
        unit = np.where(peak > 0, peak, 1.0)
        inner = (transform / unit[:, None]) @ known @ (transform / unit[:, None]).T
        std_errors = unit * np.sqrt(np.diag(inner))
        largest = float(np.max(unit))
        with np.errstate(over="ignore", under="ignore"):
            result = np.asarray(inner * np.outer(unit, unit), dtype=np.float64)
            scaled = np.asarray(inner * np.outer(unit / largest, unit / largest), dtype=np.float64)
    unknown = np.any(transform[:, ~identified] != 0, axis=1)
    for matrix in (result, scaled):
        matrix[unknown, :] = np.nan
        matrix[:, unknown] = np.nan
    std_errors[unknown] = np.nan
    return result, std_errors, scaled, largest


# ------------------------------------------------------------ the results


class CoefficientRow(NamedTuple):
    """One coefficient with its standard error, z statistic, two-sided
    normal p-value and confidence interval."""

    name: str
    coef: float
    std_err: float
    z: float
    p_value: float
    lower: float
    upper: float


def check_alpha(alpha: object) -> float:
    """`alpha` as a float strictly between 0 and 1, or a ValueError."""
    if isinstance(alpha, bool) or not isinstance(alpha, Real) or not 0 < float(alpha) < 1:
        raise ValueError(f"alpha must be a number strictly between 0 and 1; got {alpha!r}")
    return float(alpha)


def normal_quantile(alpha: float) -> float:
    """The two-sided normal critical value of level `alpha`."""
    return NormalDist().inv_cdf(1.0 - alpha / 2.0)


@dataclass(frozen=True)
class Inference:
    """The estimate and its covariance in the caller's units (coefficients
    in feature order, then the intercept when one is fitted)."""

    names: tuple[str, ...]
    estimates: Vector
    covariance: Matrix
    std_errors: Vector
    fit_intercept: bool
    covariance_type: str = COVARIANCE_TYPE
    covariance_formula: str = COVARIANCE_FORMULA
    #: `covariance` over ``covariance_unit ** 2``: finite where the
    #: covariance itself overflows (a target in units of 1e300), so that
    #: the standard errors of predictions can be taken from it.
    scaled_covariance: Matrix | None = None
    covariance_unit: float = 1.0

    @classmethod
    def of_state(cls, state: ModelState) -> "Inference":
        """The inference of a fitted state, or an `InferenceError` saying
        why it has none."""
        engine, scaling, sums = state.engine, state.scaling, state.sums
        if engine is None or scaling is None:
            raise NotFittedError("standard errors need a fitted estimate")
        penalty = penalty_for(state.params)
        if not penalty.standard_errors or sums.get("l1_batches", 0) > 0:
            raise InferenceError(penalty.no_standard_errors or L1_EXPLANATION)
        if engine.batch_count == 0:
            raise InferenceError("standard errors need folded rows: this estimate was prepared by initialize "
                                 "and has folded none yet; fold batches with partial_fit first")
        if sums.get("batches", 0) != engine.batch_count:
            covered = int(sums.get("batches", 0))
            raise InferenceError(f"standard errors are not available: the score statistics cover {covered} "
                                 f"of the {engine.batch_count} folded batches (the others were folded by a "
                                 f"version without them); refit to obtain them")
        ridge = None
        if penalty.ridge_part:
            mask = penalised_mask(engine.n_parameters, engine.fit_intercept)
            level = penalty.level(state.n_features_in, engine.weight_sum)
            ridge = engine.weight_sum * level * (1 - penalty.l1_share) * mask.astype(np.float64)
        covariance, identified = internal_covariance(engine.information, sums, ridge)
        coef, intercept = scaling.to_caller_units(engine.coefficients)
        estimates = np.append(coef, intercept) if scaling.fit_intercept else coef
        names = state.feature_names_in or tuple(f"x{index}" for index in range(state.n_features_in))
        names = (*names, *(("intercept",) if scaling.fit_intercept else ()))
        caller, std_errors, scaled, unit = caller_covariance(covariance, identified, scaling)
        if ridge is None:
            return cls(names, estimates, caller, std_errors, scaling.fit_intercept,
                       scaled_covariance=scaled, covariance_unit=unit)
        return cls(names, estimates, caller, std_errors, scaling.fit_intercept, PENALISED_COVARIANCE_TYPE,
                   PENALISED_COVARIANCE_FORMULA, scaled, unit)

    def conf_int(self, alpha: float) -> Matrix:
        """Lower and upper bounds, one row per coefficient."""
        half = normal_quantile(alpha) * self.std_errors
        return np.column_stack([self.estimates - half, self.estimates + half])

    def rows(self, alpha: float) -> tuple[CoefficientRow, ...]:
        """The table rows, with intervals of level `alpha`."""
        bounds = self.conf_int(alpha)
        rows = []
        for name, estimate, std_err, (lower, upper) in zip(self.names, self.estimates, self.std_errors,
                                                           bounds, strict=True):
            z = float(estimate / std_err) if std_err > 0 else math.nan
            p_value = math.erfc(abs(z) / math.sqrt(2.0))
            rows.append(CoefficientRow(name, float(estimate), float(std_err), z, p_value,
                                       float(lower), float(upper)))
        return tuple(rows)


@dataclass(frozen=True, repr=False)
class Summary:
    """The coefficient table of a fitted estimator, printable as text,
    shown as a table in notebooks, and convertible to a data frame
    (`to_frame`).

    Attributes
    ----------
    rows : tuple of CoefficientRow
        One row per coefficient in feature order, then the intercept.
    alpha : float
        Level of the confidence intervals (``1 - alpha`` coverage).
    n_rows : int
        Rows folded into the estimate.
    n_batches : int
        Batches folded into the estimate.
    scale : float
        The residual scale, in the target's units.
    epsilon : float
        The Huber threshold, in units of the scale.
    covariance_type : str
        The covariance formula: Huber's sandwich with the curvature-weighted
        information matrix (``"H2"``, as statsmodels' `RLM` names it), or
        its penalised sandwich under a ridge penalty.
    note : str or None
        A warning the figures come with: that the order of a stream's
        batches moved the estimate (see `StreamOrderWarning`).
    covariance_formula : str
        The formula, as the text prints it.
    """

    rows: tuple[CoefficientRow, ...]
    alpha: float
    n_rows: int
    n_batches: int
    scale: float
    epsilon: float
    covariance_type: str = COVARIANCE_TYPE
    note: str | None = None
    covariance_formula: str = COVARIANCE_FORMULA

    def __str__(self) -> str:
        width = max([9, *(len(row.name) for row in self.rows)])
        low, high = f"[{self.alpha / 2:.3g}", f"{1 - self.alpha / 2:.3g}]"
        header = (f"{'':{width}} {'coef':>12} {'std err':>12} {'z':>10} {'P>|z|':>7} "
                  f"{low:>12} {high:>12}")
        rule = "=" * len(header)
        lines = [
            "Huber regression, streamed",
            f"rows: {self.n_rows:,}   batches: {self.n_batches:,}   epsilon: {self.epsilon:g}   "
            f"scale: {self.scale:.6g}",
            f"covariance: {self.covariance_type}, {self.covariance_formula}",
            rule, header, "-" * len(header),
        ]
        lines += [f"{row.name:{width}} {row.coef:>12.6g} {row.std_err:>12.6g} {row.z:>10.2f} "
                  f"{row.p_value:>7.3f} {row.lower:>12.6g} {row.upper:>12.6g}" for row in self.rows]
        lines.append(rule)
        if any(math.isnan(row.std_err) for row in self.rows):
            lines.append("nan: not identified by the rows seen (a constant or collinear column)")
        if self.note is not None:
            lines.append(f"warning: {self.note}")
        return "\n".join(lines)

    __repr__ = __str__

    def to_frame(self) -> Any:
        """The coefficient table as a data frame.

        Returns
        -------
        pandas.DataFrame or dict
            One row per coefficient, indexed by feature name (``"feature"``,
            the intercept last), with the columns ``coef``, ``std_err``,
            ``z``, ``p_value``, ``lower`` and ``upper``; the figures of the
            header (`alpha`, `n_rows`, `n_batches`, `scale`, `epsilon`,
            `covariance_type`, `note`) are in its ``attrs``. Without pandas
            installed, a dict of the same columns (``"feature"`` first) as
            lists.
        """
        columns: dict[str, list[Any]] = {name: [getattr(row, name) for row in self.rows]
                                         for name in CoefficientRow._fields}
        columns["feature"] = columns.pop("name")
        try:
            pd = importlib.import_module("pandas")
        except ImportError:
            return {"feature": columns.pop("feature"), **columns}
        frame = pd.DataFrame(columns).set_index("feature")
        frame.attrs.update(alpha=self.alpha, n_rows=self.n_rows, n_batches=self.n_batches, scale=self.scale,
                           epsilon=self.epsilon, covariance_type=self.covariance_type, note=self.note)
        return frame

    def _repr_html_(self) -> str:
        """The table as HTML, for notebooks."""
        low, high = f"[{self.alpha / 2:.3g}", f"{1 - self.alpha / 2:.3g}]"
        head = "".join(f"<th>{html.escape(label)}</th>"
                       for label in ("", "coef", "std err", "z", "P>|z|", low, high))
        body = "".join(
            f"<tr><th>{html.escape(row.name)}</th><td>{row.coef:.6g}</td><td>{row.std_err:.6g}</td>"
            f"<td>{row.z:.2f}</td><td>{row.p_value:.3f}</td><td>{row.lower:.6g}</td><td>{row.upper:.6g}</td></tr>"
            for row in self.rows)
        caption = (f"Huber regression, streamed<br>rows: {self.n_rows:,} &nbsp; batches: {self.n_batches:,} "
                   f"&nbsp; epsilon: {self.epsilon:g} &nbsp; scale: {self.scale:.6g}<br>"
                   f"covariance: {html.escape(self.covariance_type)}, {html.escape(COVARIANCE_FORMULA)}")
        notes = []
        if any(math.isnan(row.std_err) for row in self.rows):
            notes.append("nan: not identified by the rows seen (a constant or collinear column)")
        if self.note is not None:
            notes.append(f"warning: {self.note}")
        foot = "".join(f"<p>{html.escape(note)}</p>" for note in notes)
        return (f"<div><table><caption>{caption}</caption><thead><tr>{head}</tr></thead>"
                f"<tbody>{body}</tbody></table>{foot}</div>")


class _Inferable(Protocol):
    def summary(self, alpha: float = ...) -> Summary: ...


def coefficient_rows(model: _Inferable, alpha: float = 0.05) -> tuple[CoefficientRow, ...] | None:
    """The coefficient rows of `model.summary(alpha)`, or None when the
    model carries no standard errors (not fitted, fitted with the L1
    penalty, or fitted without the statistics they need).

    For tables that print standard errors and intervals when they exist.
    """
    try:
        return model.summary(alpha).rows
    except (InferenceError, NotFittedError):
        return None
