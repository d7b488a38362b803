"""The model, defined once: the Huber loss family and the penalties."""

from vintrel._model.huber import HuberLoss, default_tol
from vintrel._model.penalties import (
    DEFAULT_ALPHA,
    DEFAULT_L1_RATIO,
    PENALTIES,
    Penalty,
    penalised_mask,
    penalty_choices,
    penalty_for,
    penalty_labelled,
    penalty_named,
)

__all__ = ["DEFAULT_ALPHA", "DEFAULT_L1_RATIO", "PENALTIES", "HuberLoss", "Penalty", "default_tol",
           "penalised_mask", "penalty_choices", "penalty_for", "penalty_labelled", "penalty_named"]
