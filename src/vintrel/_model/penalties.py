"""The penalties, one entry each: the name the estimator takes, what the
engine is told, the level in standardised units, the proximal step, how a
summed quadratic is minimised when estimates are merged or refined, and
whether standard errors apply.

A new penalty is one more `Penalty` in `PENALTIES`, with its counterpart in
the engine's model definitions and the command line's choices."""

import math
from abc import ABC, abstractmethod
from collections.abc import Mapping
from typing import Any, ClassVar

import numpy as np
from numpy.typing import NDArray

from vintrel._model.quadratic import Mask, Matrix, Vector, minimise_l1, minimise_quadratic, soft_threshold


class Penalty(ABC):
    """What one penalty means everywhere in the package, at the settings
    (`alpha`, `l1_ratio`, `epsilon`) of one estimator.

    Every penalty is ``level * (a * sum |beta_j| + 0.5 * (1 - a) *
    sum beta_j^2)`` over the penalised coordinates, per unit of weight, with
    ``a`` its L1 share."""

    #: The value of the estimator's `penalty` parameter.
    name: ClassVar[str | None]
    #: Its name on the command line and in messages.
    label: ClassVar[str]
    #: The penalty argument the engine's `update` takes.
    engine_name: ClassVar[str]
    #: The engine's solver for it, which sets the default tolerance.
    solver: ClassVar[str]
    #: Why standard errors are refused, or "" when they apply.
    no_standard_errors: ClassVar[str] = ""

    def __init__(self, alpha: float = 1.0, l1_ratio: float = 0.5, epsilon: float = 1.35) -> None:
        self.alpha, self.l1_ratio, self.epsilon = float(alpha), float(l1_ratio), float(epsilon)

    @property
    def l1_share(self) -> float:
        """The share ``a`` of the level that multiplies the L1 norm."""
        return 0.0

    @property
    def ridge_part(self) -> bool:
        """Whether the penalty has a quadratic part, which keeps every
        problem strictly convex (fewer rows than parameters included)."""
        return self.l1_share < 1

    @abstractmethod
    def level(self, n_features: int, weight: float) -> float:
        """The penalty level after `weight` in total, in standardised units,
        as the engine computes it."""

    def engine_keywords(self) -> dict[str, float | str]:
        """The keyword arguments of the engine's `update` for this penalty."""
        return {}

    def value(self, coefficients: Vector, level: float, penalised: Mask) -> float:
        """The penalty of `coefficients` at `level`, per unit of weight."""
        a = self.l1_share
        beta = coefficients[penalised]
        return level * (a * float(np.abs(beta).sum()) + 0.5 * (1 - a) * float(beta @ beta))

    def carried_gradient(self, coefficients: Vector, weight: float, level: float, penalised: Mask) -> Vector:
        """The gradient of the penalised objective's loss part at an
        estimate's coefficients, which the estimate's quadratic summary
        carries beside ``I beta``: at its own minimiser, the loss gradient
        balances the (sub)gradient of the penalty it was fitted with."""
        a = self.l1_share
        gradient = a * np.sign(coefficients) + (1 - a) * coefficients
        return np.asarray(weight * level * gradient * penalised, dtype=np.float64)

    def minimise(self, information: Matrix, linear: Vector, level: float, penalised: Mask, start: Vector,
                 dtype: np.dtype) -> tuple[Vector, bool]:
        """The minimiser of ``0.5 * beta' I beta - b' beta`` plus the
        penalty at `level` (its total, not per weight), and whether it is
        exact. Coordinates without information keep `start`."""
        a = self.l1_share
        if a < 1:
            information = information + np.diag(level * (1 - a) * penalised)
        if a > 0:
            return minimise_l1(information, linear, level * a, penalised, start, soft_threshold)
        return minimise_quadratic(information, linear, start, dtype), True

    @property
    def standard_errors(self) -> bool:
        return not self.no_standard_errors


class NoPenalty(Penalty):
    """Plain Huber regression, fitted by damped Newton steps."""

    name = None
    label = "none"
    engine_name = "none"
    solver = "newton"

    @property
    def ridge_part(self) -> bool:
        return False

    def level(self, n_features: int, weight: float) -> float:
        return 0.0

    def carried_gradient(self, coefficients: Vector, weight: float, level: float, penalised: Mask) -> Vector:
        return np.zeros_like(coefficients)

    def value(self, coefficients: Vector, level: float, penalised: Mask) -> float:
        return 0.0


class L1Penalty(Penalty):
    """An L1 penalty on the standardised coefficients (never the
    intercept). Its level falls as weight accumulates:
    ``alpha * epsilon * sqrt(log(max(n_features, 2)) / weight)``. Fitted by
    proximal Newton steps with coordinate descent (the engine's
    "coordinate" solver)."""

    name = "l1"
    label = "l1"
    engine_name = "l1"
    solver = "coordinate"
    no_standard_errors = (
        "standard errors are not available with penalty='l1': the L1 penalty selects and shrinks "
        "coefficients, so their sampling distribution is neither normal nor centred on the truth, "
        "and the sandwich covariance of an unpenalised M-estimate would print misleading numbers; "
        "refit the features you keep with penalty=None (on fresh rows, for intervals that do not "
        "ignore the selection)")

    @property
    def l1_share(self) -> float:
        return 1.0

    def level(self, n_features: int, weight: float) -> float:
        if not weight > 0:
            return 0.0
        return self.alpha * self.epsilon * math.sqrt(math.log(max(n_features, 2)) / weight)

    def engine_keywords(self) -> dict[str, float | str]:
        return {"solver": self.solver}


class L2Penalty(Penalty):
    """A ridge penalty ``alpha * 0.5 * sum beta_j^2`` on the standardised
    coefficients (never the intercept), at a constant level; smooth, so
    fitted by damped Newton steps."""

    name = "l2"
    label = "l2"
    engine_name = "l2"
    solver = "newton"

    def level(self, n_features: int, weight: float) -> float:
        return self.alpha


class ElasticNetPenalty(Penalty):
    """``alpha * (l1_ratio * sum |beta_j| + 0.5 * (1 - l1_ratio) * sum
    beta_j^2)`` on the standardised coefficients (never the intercept), at a
    constant level; fitted by proximal Newton steps with coordinate
    descent."""

    name = "elasticnet"
    label = "elasticnet"
    engine_name = "elasticnet"
    solver = "coordinate"
    no_standard_errors = L1Penalty.no_standard_errors.replace("penalty='l1': the L1 penalty",
                                                              "penalty='elasticnet': its L1 part")

    @property
    def l1_share(self) -> float:
        return self.l1_ratio

    def level(self, n_features: int, weight: float) -> float:
        return self.alpha

    def engine_keywords(self) -> dict[str, float | str]:
        return {"l1_ratio": self.l1_ratio, "solver": self.solver}


PENALTIES: dict[str | None, type[Penalty]] = {
    penalty.name: penalty for penalty in (NoPenalty, L1Penalty, L2Penalty, ElasticNetPenalty)}

# The level multiplier when `alpha` is None (its default).
DEFAULT_ALPHA = 1.0
DEFAULT_L1_RATIO = 0.5


def penalty_named(name: str | None) -> Penalty:
    """The penalty the estimator's `penalty` parameter names, at default
    settings (for what does not depend on them)."""
    try:
        return PENALTIES[name]()
    except (KeyError, TypeError):
        raise ValueError(f"penalty must be one of {penalty_choices()}; got {name!r}") from None


def penalty_for(params: Mapping[str, Any]) -> Penalty:
    """The penalty of the estimator parameters `params`, at their settings
    (older records without `l1_ratio` take its default)."""
    alpha = params.get("alpha")
    l1_ratio = params.get("l1_ratio")
    penalty = penalty_named(params["penalty"])
    return type(penalty)(DEFAULT_ALPHA if alpha is None else float(alpha),
                         DEFAULT_L1_RATIO if l1_ratio is None else float(l1_ratio), float(params["epsilon"]))


def penalty_labelled(label: str) -> Penalty:
    """The penalty the command line names `label`."""
    for penalty in PENALTIES.values():
        if penalty.label == label:
            return penalty()
    raise ValueError(f"no penalty is called {label!r}")


def penalty_choices() -> str:
    """The accepted values, as a message lists them."""
    return " or ".join("None" if name is None else f'"{name}"' for name in PENALTIES)


def penalised_mask(n_parameters: int, fit_intercept: bool) -> NDArray[np.bool_]:
    """Coordinates a penalty applies to: all but the intercept (last)."""
    mask = np.ones(n_parameters, dtype=bool)
    if fit_intercept:
        mask[-1] = False
    return mask
