"""The penalties, one entry each: the name the estimator takes, what the
engine is told, the level in standardised units, the proximal step, how a
summed quadratic is minimised when estimates are merged or refined, and
whether standard errors apply.

A new penalty is one more `Penalty` in `PENALTIES`, with its counterpart in
the engine's model definitions and the command line's choices."""

import math
from abc import ABC, abstractmethod
from typing import ClassVar

import numpy as np
from numpy.typing import NDArray

from vintrel._model.quadratic import Mask, Matrix, Vector, minimise_l1, minimise_quadratic, soft_threshold


class Penalty(ABC):
    """What one penalty means everywhere in the package."""

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

    @abstractmethod
    def level(self, alpha: float, epsilon: float, n_features: int, weight: float) -> float:
        """The penalty level after `weight` in total, in standardised units,
        as the engine computes it."""

    @abstractmethod
    def carried_gradient(self, coefficients: Vector, weight: float, level: float, penalised: Mask) -> Vector:
        """The gradient of the penalised objective's loss part at an
        estimate's coefficients, which the estimate's quadratic summary
        carries beside ``I beta``."""

    @abstractmethod
    def minimise(self, information: Matrix, linear: Vector, level: float, penalised: Mask, start: Vector,
                 dtype: np.dtype) -> tuple[Vector, bool]:
        """The minimiser of ``0.5 * beta' I beta - b' beta`` plus the
        penalty at `level` (its total, not per weight), and whether it is
        exact. Coordinates without information keep `start`."""

    @property
    def standard_errors(self) -> bool:
        return not self.no_standard_errors


class NoPenalty(Penalty):
    """Plain Huber regression, fitted by damped Newton steps."""

    name = None
    label = "none"
    engine_name = "none"
    solver = "newton"

    def level(self, alpha: float, epsilon: float, n_features: int, weight: float) -> float:
        return 0.0

    def carried_gradient(self, coefficients: Vector, weight: float, level: float, penalised: Mask) -> Vector:
        return np.zeros_like(coefficients)

    def minimise(self, information: Matrix, linear: Vector, level: float, penalised: Mask, start: Vector,
                 dtype: np.dtype) -> tuple[Vector, bool]:
        return minimise_quadratic(information, linear, start, dtype), True


class L1Penalty(Penalty):
    """An L1 penalty on the standardised coefficients (never the
    intercept), fitted by proximal gradient steps with soft-thresholding.
    Its level falls as weight accumulates:
    ``alpha * epsilon * sqrt(log(max(n_features, 2)) / weight)``."""

    name = "l1"
    label = "l1"
    engine_name = "l1"
    solver = "proximal"
    no_standard_errors = (
        "standard errors are not available with penalty='l1': the L1 penalty selects and shrinks "
        "coefficients, so their sampling distribution is neither normal nor centred on the truth, "
        "and the sandwich covariance of an unpenalised M-estimate would print misleading numbers; "
        "refit the features you keep with penalty=None (on fresh rows, for intervals that do not "
        "ignore the selection)")

    def level(self, alpha: float, epsilon: float, n_features: int, weight: float) -> float:
        if not weight > 0:
            return 0.0
        return float(alpha) * float(epsilon) * math.sqrt(math.log(max(n_features, 2)) / weight)

    def carried_gradient(self, coefficients: Vector, weight: float, level: float, penalised: Mask) -> Vector:
        # At its own minimiser an estimate's loss gradient balances the
        # subgradient of the penalty it was fitted with.
        return np.asarray(weight * level * np.sign(coefficients) * penalised, dtype=np.float64)

    def minimise(self, information: Matrix, linear: Vector, level: float, penalised: Mask, start: Vector,
                 dtype: np.dtype) -> tuple[Vector, bool]:
        return minimise_l1(information, linear, level, penalised, start, soft_threshold)


PENALTIES: dict[str | None, Penalty] = {penalty.name: penalty for penalty in (NoPenalty(), L1Penalty())}


def penalty_named(name: str | None) -> Penalty:
    """The penalty the estimator's `penalty` parameter names."""
    try:
        return PENALTIES[name]
    except (KeyError, TypeError):
        raise ValueError(f"penalty must be one of {penalty_choices()}; got {name!r}") from None


def penalty_labelled(label: str) -> Penalty:
    """The penalty the command line names `label`."""
    for penalty in PENALTIES.values():
        if penalty.label == label:
            return penalty
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
