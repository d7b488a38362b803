"""The typed state of an `IncrementalHuberRegressor`: everything it has
learnt, as frozen records of plain values and read-only arrays.

Model files, merges, refinement and the distributed fits exchange these
records; `IncrementalHuberRegressor.export_state` produces one and
`IncrementalHuberRegressor.from_state` builds an estimator from one.
`ModelState.to_plain` and `ModelState.from_plain` convert to and from the
nested dictionaries that model files store.
"""

import dataclasses
import math
from collections.abc import Mapping
from dataclasses import dataclass
from typing import Any, Self

import numpy as np
from numpy.typing import NDArray

from vintrel._categorical import Encoding
from vintrel._residual_sketch import ResidualSketch
from vintrel._scaling import Scaling

Array = NDArray[np.floating[Any]]


# Parameters added since the first model files, with the value that gives
# the behaviour those files were fitted with.
_ADDED = {"l1_ratio": 0.5, "half_life": None}


def upgraded(params: Mapping[str, Any]) -> dict[str, Any]:
    """Parameters recorded by an earlier version, as this one takes them:
    added parameters at their neutral values, and the old default
    ``alpha=1.0`` without a penalty (which it ignored) as ``alpha=None``."""
    current = {**_ADDED, **params}
    if current.get("penalty") is None and current.get("alpha") == 1.0:
        current["alpha"] = None
    return current


__all__ = ["EngineState", "LastUpdate", "ModelState", "Pending", "Scaling"]


def frozen_array(values: Any, dtype: Any = None) -> NDArray[Any]:
    """A read-only copy of `values`, so that a state can be shared between
    threads and estimators without one changing another's."""
    array = np.array(values, dtype=dtype, copy=True)
    array.flags.writeable = False
    return array


@dataclass(frozen=True, eq=False)
class EngineState:
    """The engine's estimate in internal units: coefficients (intercept
    last), the accumulated information matrix and the counters."""

    dtype: np.dtype
    n_features: int
    fit_intercept: bool
    coefficients: Array
    information: Array
    n_samples_seen: int
    batch_count: int
    previous_lambda: float
    weight_sum: float

    @property
    def n_parameters(self) -> int:
        return self.n_features + int(self.fit_intercept)

    @classmethod
    def from_engine(cls, dtype: np.dtype, n_features: int, fit_intercept: bool,
                    exported: Mapping[str, Any]) -> Self:
        """The record of what an engine's ``state()`` exported."""
        return cls(np.dtype(dtype), int(n_features), bool(fit_intercept),
                   frozen_array(exported["coefficients"], dtype), frozen_array(exported["information"], dtype),
                   int(exported["n_samples_seen"]), int(exported["batch_count"]),
                   float(exported["previous_lambda"]), float(exported["weight_sum"]))

    def with_estimate(self, coefficients: Array, information: Array, previous_lambda: float,
                      weight_sum: float) -> Self:
        """The same counters with another estimate, in this precision."""
        return dataclasses.replace(self, coefficients=frozen_array(coefficients, self.dtype),
                                   information=frozen_array(information, self.dtype),
                                   previous_lambda=float(previous_lambda), weight_sum=float(weight_sum))


@dataclass(frozen=True)
class LastUpdate:
    """What the last engine update (or merge) reported."""

    n_iter: int
    converged: bool
    lambda_: float
    #: Passes over the data of the fit that made the estimate (1 for a
    #: stream).
    n_passes: int = 1


@dataclass(frozen=True, eq=False)
class Pending:
    """Rows held until the stream has enough to start."""

    X: Array
    y: Array
    sample_weight: Array | None


@dataclass(frozen=True, eq=False)
class ModelState:
    """Everything an estimator has learnt.

    Attributes
    ----------
    params : mapping
        The estimator's parameters (``get_params()``).
    n_features_in : int
        Number of features (the encoded ones, with categorical columns).
    feature_names_in : tuple of str or None
        Feature names, when the first batch had column names (the encoded
        features' names, with categorical columns).
    scaling : Scaling or None
        The internal units; None until the stream has started.
    engine : EngineState or None
        The estimate in internal units; None until the stream has started.
    last_update : LastUpdate or None
        The last update's report; None until the stream has started.
    sums : mapping
        Statistics that streams over disjoint rows combine by adding them
        up, each a float, an array or a mapping of them.
    pending : Pending or None
        Rows waiting for the stream to start.
    encoding : Encoding or None
        The input columns and the levels of the categorical ones, when the
        first batch was a data frame with categorical columns; the
        features are then its encoded ones.
    """

    params: Mapping[str, Any]
    n_features_in: int
    feature_names_in: tuple[str, ...] | None = None
    scaling: Scaling | None = None
    engine: EngineState | None = None
    last_update: LastUpdate | None = None
    sums: Mapping[str, Any] = dataclasses.field(default_factory=dict)
    pending: Pending | None = None
    #: Whether later batches still refine the residual scale (a stream of
    #: `partial_fit` calls); False once a fit, an initialisation or a merge
    #: has fixed it.
    scale_follows: bool = False
    #: The last warning that the order of the batches moved the estimate.
    order_warning: str | None = None
    #: The distribution of the residuals (in the target's units) of the
    #: rows folded, each batch's at the coefficients that folded it (after
    #: a `fit` with passes, of all rows at the coefficients of the last
    #: pass, which the final ones match within `pass_tol`); None in states
    #: saved before it was tracked.
    residuals: ResidualSketch | None = None
    encoding: Encoding | None = None

    @property
    def fitted(self) -> bool:
        """Whether the state holds an estimate (rather than only rows)."""
        return self.engine is not None

    @property
    def dtype(self) -> np.dtype:
        """The precision of the stream: the engine's, or that of the rows
        held; float64 before either exists."""
        if self.engine is not None:
            return self.engine.dtype
        return np.dtype(np.float64) if self.pending is None else self.pending.X.dtype

    def replace(self, **changes: Any) -> Self:
        """A copy with `changes`."""
        return dataclasses.replace(self, **changes)

    # ------------------------------------------------------- plain values

    def to_plain(self) -> dict[str, Any]:
        """The state as nested dictionaries of plain values and arrays, in
        the layout model files store."""
        plain: dict[str, Any] = {
            "params": dict(self.params), "n_features_in": self.n_features_in,
            "feature_names_in": None if self.feature_names_in is None else list(self.feature_names_in),
            "scaling": None, "engine": None, "last_update": None, "sums": dict(self.sums), "pending": None,
            "scale_follows": self.scale_follows, "order_warning": self.order_warning,
            "residuals": None if self.residuals is None else self.residuals.to_plain(),
            "encoding": None if self.encoding is None else self.encoding.to_plain(),
        }
        if self.scaling is not None:
            s = self.scaling
            plain["scaling"] = {"x_center": s.x_center, "x_scale": s.x_scale, "y_center": s.y_center,
                                "y_scale": s.y_scale, "fit_intercept": s.fit_intercept}
        if self.engine is not None:
            e = self.engine
            plain["engine"] = {"dtype": e.dtype.name, "n_features": e.n_features, "fit_intercept": e.fit_intercept,
                               "coefficients": e.coefficients, "information": e.information,
                               "n_samples_seen": e.n_samples_seen, "batch_count": e.batch_count,
                               "previous_lambda": e.previous_lambda, "weight_sum": e.weight_sum}
        if self.last_update is not None:
            u = self.last_update
            plain["last_update"] = {"n_iter": u.n_iter, "converged": u.converged, "lambda": u.lambda_,
                                    "n_passes": u.n_passes}
        if self.pending is not None:
            p = self.pending
            plain["pending"] = {"X": p.X, "y": p.y, "sample_weight": p.sample_weight}
        return plain

    @classmethod
    def from_plain(cls, plain: Mapping[str, Any]) -> Self:
        """The state `to_plain` described, each value type- and range-checked
        and the whole checked to hold together (`check`). Raises KeyError,
        TypeError or ValueError when it does not."""
        names = plain["feature_names_in"]
        scaling = plain["scaling"]
        engine = plain["engine"]
        last = plain["last_update"]
        pending = plain["pending"]
        if (scaling is None) != (engine is None) or (engine is None) != (last is None):
            raise ValueError("scaling, engine and last_update must be given together")
        if not isinstance(plain["params"], Mapping):
            raise TypeError("params must be a mapping")
        if names is not None and not (isinstance(names, (list, tuple)) and all(isinstance(n, str) for n in names)):
            raise TypeError("feature_names_in must be a list of strings")
        state = cls(
            params=upgraded(plain["params"]), n_features_in=_count(plain["n_features_in"], "n_features_in"),
            feature_names_in=None if names is None else tuple(str(name) for name in names),
            sums=_sums(plain["sums"], "sums"),
            scale_follows=_flag(plain.get("scale_follows", False), "scale_follows"),
            order_warning=_text(plain.get("order_warning"), "order_warning"),
            residuals=None if plain.get("residuals") is None else ResidualSketch.from_plain(plain["residuals"]),
            encoding=_encoding(plain.get("encoding")),
        )
        if engine is not None:
            dtype = _precision(engine["dtype"], "engine.dtype")
            state = state.replace(
                scaling=Scaling(_floats(scaling["x_center"], "scaling.x_center", np.float64),
                                _floats(scaling["x_scale"], "scaling.x_scale", np.float64),
                                _number(scaling["y_center"], "scaling.y_center"),
                                _number(scaling["y_scale"], "scaling.y_scale"),
                                _flag(scaling["fit_intercept"], "scaling.fit_intercept")),
                engine=EngineState(dtype, _count(engine["n_features"], "engine.n_features"),
                                   _flag(engine["fit_intercept"], "engine.fit_intercept"),
                                   _floats(engine["coefficients"], "engine.coefficients", dtype),
                                   _floats(engine["information"], "engine.information", dtype),
                                   _count(engine["n_samples_seen"], "engine.n_samples_seen"),
                                   _count(engine["batch_count"], "engine.batch_count"),
                                   _number(engine["previous_lambda"], "engine.previous_lambda"),
                                   _number(engine["weight_sum"], "engine.weight_sum")),
                last_update=LastUpdate(_count(last["n_iter"], "last_update.n_iter"),
                                       _flag(last["converged"], "last_update.converged"),
                                       _number(last["lambda"], "last_update.lambda"),
                                       _count(last.get("n_passes", 1), "last_update.n_passes")))
        if pending is not None:
            X = _floats(pending["X"], "pending.X")
            weights = pending["sample_weight"]
            state = state.replace(pending=Pending(
                X, _floats(pending["y"], "pending.y"),
                None if weights is None else _floats(weights, "pending.sample_weight")))
        state.check()
        return state

    def check(self) -> None:
        """Raise a ValueError naming the first part of the state that does
        not hold together with the rest: scales must be positive and finite,
        centres, estimates and rows finite, the information matrix square,
        finite and symmetric, counters and weights non-negative, and every
        part must have the state's number of features."""
        p = self.n_features_in
        if p < 1:
            raise ValueError(f"n_features_in must be at least 1; got {p}")
        if self.feature_names_in is not None and len(self.feature_names_in) != p:
            raise ValueError(f"{len(self.feature_names_in)} feature names for {p} features")
        if self.encoding is not None:
            if self.encoding.width != p:
                raise ValueError(f"the encoding makes {self.encoding.width} features; the state has {p}")
            if self.feature_names_in is not None and self.feature_names_in != self.encoding.feature_names:
                raise ValueError("the feature names are not those of the encoding")
        if (self.scaling is None) != (self.engine is None) or (self.engine is None) != (self.last_update is None):
            raise ValueError("scaling, engine and last_update must be given together")
        if self.scaling is not None:
            s = self.scaling
            _check_shape(s.x_center, (p,), "scaling.x_center")
            _check_shape(s.x_scale, (p,), "scaling.x_scale")
            _check_finite(s.x_center, "scaling.x_center")
            if not np.all(np.isfinite(s.x_scale) & (s.x_scale > 0)):
                raise ValueError("the feature scales (scaling.x_scale) must be positive and finite")
            _check_finite(s.y_center, "scaling.y_center")
            if not (math.isfinite(s.y_scale) and s.y_scale > 0):
                raise ValueError(f"the target scale (scaling.y_scale) must be positive and finite; got {s.y_scale}")
        if self.engine is not None and self.scaling is not None and self.last_update is not None:
            _check_engine(self.engine, p, self.scaling.fit_intercept)
            _check_non_negative(self.last_update.n_iter, "last_update.n_iter")
            _check_non_negative(self.last_update.lambda_, "last_update.lambda")
        if self.pending is not None:
            _check_pending(self.pending, p)


# ------------------------------------------------------------- checking

# Counters fit the engine's 64-bit integers.
_MAX_COUNT = 2**63 - 1
# Rows of a matrix compared at a time, so that checking a large one needs
# little memory beside it.
_CHECK_ELEMENTS = 1 << 20


def _text(value: Any, name: str) -> str | None:
    """None or a string of reasonable length."""
    if value is None:
        return None
    if not isinstance(value, str) or len(value) > 10_000:
        raise TypeError(f"{name} must be a string of at most 10,000 characters")
    return value


def _encoding(value: Any) -> Encoding | None:
    """None (a state without categorical columns, or from an earlier
    version) or a checked encoding."""
    return None if value is None else Encoding.from_plain(value)


def _count(value: Any, name: str) -> int:
    """A non-negative integer that fits 64 bits (a bool is not one)."""
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, (int, np.integer)):
        raise TypeError(f"{name} must be an integer; got {value!r}")
    if not 0 <= value <= _MAX_COUNT:
        raise ValueError(f"{name} must be a non-negative 64-bit integer; got {value}")
    return int(value)


def _number(value: Any, name: str) -> float:
    """A finite real number (a bool is not one)."""
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, (int, float, np.integer, np.floating)):
        raise TypeError(f"{name} must be a number; got {value!r}")
    try:
        number = float(value)
    except OverflowError as error:
        raise ValueError(f"{name} is out of range") from error
    _check_finite(number, name)
    return number


def _flag(value: Any, name: str) -> bool:
    if not isinstance(value, (bool, np.bool_)):
        raise TypeError(f"{name} must be true or false; got {value!r}")
    return bool(value)


def _precision(value: Any, name: str) -> np.dtype:
    if value not in ("float32", "float64"):
        raise ValueError(f"{name} must be float32 or float64; got {value!r}")
    dtype: np.dtype = np.dtype(value)
    return dtype


def _floats(values: Any, name: str, dtype: Any = None) -> NDArray[Any]:
    """A read-only copy of an array of real numbers, in `dtype` (by default
    its own, which must be float32 or float64)."""
    array = np.asarray(values)
    if array.dtype.kind not in "fiu":
        raise TypeError(f"{name} must hold numbers; got an array of {array.dtype}")
    if dtype is None:
        dtype = _precision(array.dtype.name, f"the dtype of {name}")
    return frozen_array(array, dtype)


def _sums(values: Any, name: str) -> dict[str, Any]:
    """Statistics: numbers (NaN included), arrays of numbers, or mappings
    of them."""
    if not isinstance(values, Mapping):
        raise TypeError(f"{name} must be a mapping")
    checked: dict[str, Any] = {}
    for key, value in values.items():
        if not isinstance(key, str):
            raise TypeError(f"{name} has a key {key!r} that is not a string")
        if isinstance(value, Mapping):
            checked[key] = _sums(value, f"{name}.{key}")
        elif isinstance(value, np.ndarray):
            if value.dtype.kind not in "fiu":
                raise TypeError(f"{name}.{key} must hold numbers; got an array of {value.dtype}")
            checked[key] = value
        elif isinstance(value, (bool, np.bool_)) or not isinstance(value, (int, float, np.integer, np.floating)):
            raise TypeError(f"{name}.{key} must be a number, an array or a mapping; got {value!r}")
        else:
            checked[key] = value
    return checked


def _check_shape(array: NDArray[Any], shape: tuple[int, ...], name: str) -> None:
    if array.shape != shape:
        raise ValueError(f"{name} has shape {array.shape}; the state's features make it {shape}")


def _check_finite(values: Any, name: str) -> None:
    if not np.all(np.isfinite(values)):
        raise ValueError(f"{name} must be finite")


def _check_non_negative(value: float, name: str) -> None:
    if not value >= 0:
        raise ValueError(f"{name} must be non-negative; got {value}")


def _check_engine(engine: EngineState, n_features: int, fit_intercept: bool) -> None:
    if engine.n_features != n_features:
        raise ValueError(f"the engine has {engine.n_features} features; the state has {n_features}")
    if engine.fit_intercept != fit_intercept:
        raise ValueError("the engine and the scaling disagree on the intercept")
    q = engine.n_parameters
    _check_shape(engine.coefficients, (q,), "engine.coefficients")
    _check_finite(engine.coefficients, "engine.coefficients")
    _check_shape(engine.information, (q, q), "engine.information")
    if not _finite_and_symmetric(engine.information):
        raise ValueError("engine.information must be finite and symmetric")
    for value, name in ((engine.n_samples_seen, "engine.n_samples_seen"), (engine.batch_count, "engine.batch_count"),
                        (engine.previous_lambda, "engine.previous_lambda"), (engine.weight_sum, "engine.weight_sum")):
        _check_non_negative(value, name)


def _finite_and_symmetric(matrix: Array) -> bool:
    """Whether a square matrix is finite and symmetric up to the rounding
    of summing its two triangles in different orders; checked a block of
    rows at a time."""
    size = matrix.shape[0]
    rows = max(1, _CHECK_ELEMENTS // max(size, 1))
    blocks = [slice(start, start + rows) for start in range(0, size, rows)]
    if not all(np.isfinite(matrix[block]).all() for block in blocks):
        return False
    largest = max((float(np.abs(matrix[block]).max()) for block in blocks), default=0.0)
    tolerance = math.sqrt(float(np.finfo(matrix.dtype).eps)) * largest
    return all(float(np.abs(matrix[block] - matrix[:, block].T).max()) <= tolerance for block in blocks)


def _check_pending(pending: Pending, n_features: int) -> None:
    if pending.X.ndim != 2:
        raise ValueError(f"pending.X must be a matrix; got shape {pending.X.shape}")
    rows = pending.X.shape[0]
    _check_shape(pending.X, (rows, n_features), "pending.X")
    _check_shape(pending.y, (rows,), "pending.y")
    _check_finite(pending.X, "pending.X")
    _check_finite(pending.y, "pending.y")
    if pending.sample_weight is not None:
        _check_shape(pending.sample_weight, (rows,), "pending.sample_weight")
        if not np.all(np.isfinite(pending.sample_weight) & (pending.sample_weight >= 0)):
            raise ValueError("pending.sample_weight must be finite and non-negative")
