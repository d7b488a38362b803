"""The model file: a fitted `IncrementalHuberRegressor` on disk.

A model file is a ZIP archive of a JSON header and one ``.npy`` file per
array, safe to load from an untrusted source: nothing in it is executed or
unpickled. `vintrel._model_format` describes the layout; this module reads
and writes estimators (and the metadata a program keeps beside them).
"""

from dataclasses import dataclass
from os import PathLike
from typing import Any

import vintrel._model_format as _model_format
from vintrel._model_format import FORMAT, FORMAT_VERSION, HEADER, ModelFileError, producer
from vintrel.estimator import IncrementalHuberRegressor

__all__ = ["FORMAT", "FORMAT_VERSION", "HEADER", "ModelFileError", "SavedModel", "check_features", "load",
           "producer", "read", "save"]


@dataclass(frozen=True)
class SavedModel:
    """What a model file holds."""

    estimator: IncrementalHuberRegressor
    metadata: dict[str, Any] | None
    format_version: int
    written_by: str


def save(path: str | PathLike[str], estimator: IncrementalHuberRegressor,
         metadata: dict[str, Any] | None = None) -> None:
    """Write `estimator` (fitted, or holding buffered rows) and optional
    `metadata` to `path`, atomically.

    Parameters
    ----------
    path : str or path-like
        The model file; an existing file is replaced only once the new one
        is complete.
    estimator : IncrementalHuberRegressor
        The estimator to save.
    metadata : dict, optional
        Plain values and arrays that the writing program wants back.
    """
    _model_format.write(path, estimator.export_state(), metadata)


def read(path: str | PathLike[str]) -> SavedModel:
    """Read a model file.

    Parameters
    ----------
    path : str or path-like
        The model file.

    Returns
    -------
    SavedModel
        The estimator, the metadata and the format facts.

    Raises
    ------
    ModelFileError
        When the file is missing, truncated or damaged, of another format
        version, or its state does not hold together.
    """
    stored = _model_format.read(path)
    estimator = _model_format.build(path, stored.state, IncrementalHuberRegressor.from_state)
    return SavedModel(estimator, stored.metadata, stored.format_version, stored.written_by)


def load(path: str | PathLike[str], feature_names: list[str] | None = None) -> IncrementalHuberRegressor:
    """The estimator saved in a model file.

    Parameters
    ----------
    path : str or path-like
        The model file.
    feature_names : list of str, optional
        When given, the file must hold a model of exactly these features.

    Returns
    -------
    IncrementalHuberRegressor
    """
    estimator = read(path).estimator
    if feature_names is not None:
        check_features(estimator, list(feature_names), str(path))
    return estimator


def check_features(estimator: IncrementalHuberRegressor, expected: list[str], source: str) -> None:
    """Refuse a model whose features are not `expected`, naming the
    differences."""
    # The features the engine sees: with categorical columns, their
    # indicators.
    state = estimator.export_state()
    names = state.feature_names_in
    if names is None:
        if state.n_features_in != len(expected):
            raise ModelFileError(f"{source}: the model has {state.n_features_in} features, "
                                 f"not the {len(expected)} expected")
        return
    held = [str(name) for name in names]
    if held == expected:
        return
    missing = [name for name in expected if name not in held]
    extra = [name for name in held if name not in expected]
    detail = "; ".join(part for part in (
        f"expected but not in the model: {', '.join(missing)}" if missing else "",
        f"in the model but not expected: {', '.join(extra)}" if extra else "",
    ) if part) or "the same features in another order"
    raise ModelFileError(f"{source}: the model was fitted on other features ({detail})")
