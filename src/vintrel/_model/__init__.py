"""The model, defined once: the Huber loss family and the penalties."""

from vintrel._model.huber import HuberLoss, default_tol
from vintrel._model.penalties import (
    PENALTIES,
    Penalty,
    penalised_mask,
    penalty_choices,
    penalty_labelled,
    penalty_named,
)

__all__ = ["PENALTIES", "HuberLoss", "Penalty", "default_tol", "penalised_mask", "penalty_choices",
           "penalty_labelled", "penalty_named"]
