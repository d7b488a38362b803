"""The typed state of an `IncrementalHuberRegressor`: everything it has
learnt, as frozen records of plain values and read-only arrays.

Model files, merges, refinement and the distributed fits exchange these
records; `IncrementalHuberRegressor.export_state` produces one and
`IncrementalHuberRegressor.from_state` builds an estimator from one.
`ModelState.to_plain` and `ModelState.from_plain` convert to and from the
nested dictionaries that model files store.
"""

import dataclasses
from collections.abc import Mapping
from dataclasses import dataclass
from typing import Any, Self

import numpy as np
from numpy.typing import NDArray

from vintrel._scaling import Scaling

Array = NDArray[np.floating[Any]]

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
        Number of features.
    feature_names_in : tuple of str or None
        Column names, when the first batch had them.
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
    """

    params: Mapping[str, Any]
    n_features_in: int
    feature_names_in: tuple[str, ...] | None = None
    scaling: Scaling | None = None
    engine: EngineState | None = None
    last_update: LastUpdate | None = None
    sums: Mapping[str, Any] = dataclasses.field(default_factory=dict)
    pending: Pending | None = None

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
        """The state `to_plain` described. Raises KeyError, TypeError or
        ValueError when it does not hold together."""
        names = plain["feature_names_in"]
        scaling = plain["scaling"]
        engine = plain["engine"]
        last = plain["last_update"]
        pending = plain["pending"]
        if (scaling is None) != (engine is None) or (engine is None) != (last is None):
            raise ValueError("scaling, engine and last_update must be given together")
        if not isinstance(plain["params"], Mapping) or not isinstance(plain["sums"], Mapping):
            raise TypeError("params and sums must be mappings")
        state = cls(
            params=dict(plain["params"]), n_features_in=int(plain["n_features_in"]),
            feature_names_in=None if names is None else tuple(str(name) for name in names),
            sums=dict(plain["sums"]),
        )
        if engine is not None:
            dtype = np.dtype(engine["dtype"])
            state = state.replace(
                scaling=Scaling(frozen_array(scaling["x_center"], np.float64),
                                frozen_array(scaling["x_scale"], np.float64), float(scaling["y_center"]),
                                float(scaling["y_scale"]), bool(scaling["fit_intercept"])),
                engine=EngineState.from_engine(dtype, int(engine["n_features"]), bool(engine["fit_intercept"]),
                                               engine),
                last_update=LastUpdate(int(last["n_iter"]), bool(last["converged"]), float(last["lambda"]),
                                       int(last.get("n_passes", 1))))
        if pending is not None:
            weights = pending["sample_weight"]
            state = state.replace(pending=Pending(frozen_array(pending["X"]), frozen_array(pending["y"]),
                                                  None if weights is None else frozen_array(weights)))
        return state
