"""The columns `vintrel predict` can add beside each prediction: the bounds
of a prediction interval (`--interval`) and, when the data holds the
model's target, the row's residual, scaled residual and outlier flag
(`--scores`)."""

import argparse
import warnings
from dataclasses import dataclass, replace

import numpy as np
import pyarrow as pa

from vintrel._intervals import DEFAULT_OUTLIER_THRESHOLD, ResidualDistributionError, check_sketch
from vintrel.cli.encoding import Array, Encoded, FeatureLayout
from vintrel.cli.errors import CommandError
from vintrel.estimator import IncrementalHuberRegressor

INTERVAL_COLUMNS = ("lower", "upper")
SCORE_COLUMNS = ("residual", "scaled_residual", "outlier")


@dataclass(frozen=True)
class RowOutputs:
    """What to add to every row: the interval's coverage (None: none), and
    whether to score the rows against their target."""

    coverage: float | None
    scores: bool

    @property
    def names(self) -> tuple[str, ...]:
        return (INTERVAL_COLUMNS if self.coverage is not None else ()) + (SCORE_COLUMNS if self.scores else ())

    @classmethod
    def checked(cls, args: argparse.Namespace, model: IncrementalHuberRegressor, target: str | None,
                columns: list[str], keep: list[str]) -> "RowOutputs":
        """The outputs the options ask for, once the model and the data can
        give them; otherwise the one line saying why not."""
        outputs = cls(getattr(args, "interval", None), bool(getattr(args, "scores", False)))
        if outputs.coverage is not None:
            try:
                check_sketch(model.export_state().residuals)
            except ResidualDistributionError as error:
                raise CommandError(f"--interval: {args.model}: {error}") from error
        if outputs.scores:
            if target is None:
                raise CommandError(f"--scores: {args.model} does not name its target column (only models fitted "
                                   f"by 'vintrel fit' do), so the rows cannot be scored")
            if target not in columns:
                raise CommandError(f"--scores needs the model's target column '{target}', which {args.data} "
                                   f"does not have")
        for name in outputs.names:
            if name in keep:
                raise CommandError(f"--keep {name}: the output has a column of that name")
        return outputs

    def layout(self, features: FeatureLayout, target: str | None) -> FeatureLayout:
        """The columns to read: the features, and the target to score."""
        return replace(features, target=target) if self.scores else features

    def columns(self, model: IncrementalHuberRegressor, encoded: Encoded, predictions: Array) -> dict[str, pa.Array]:
        """The added columns for the rows kept of one chunk."""
        added: dict[str, pa.Array] = {}
        if self.coverage is not None:
            bounds = np.empty((0, 2))
            if encoded.X.shape[0]:
                with warnings.catch_warnings():
                    # The arrays carry no column names; the layout matched them.
                    warnings.filterwarnings("ignore", message="X does not have valid feature names")
                    bounds = model.predict_interval(encoded.X, self.coverage)
            added.update(zip(INTERVAL_COLUMNS, (pa.array(bounds[:, 0]), pa.array(bounds[:, 1])), strict=True))
        if self.scores:
            assert encoded.y is not None
            residual = np.asarray(encoded.y, dtype=np.float64) - predictions
            scaled = residual / model.scale_
            added.update(residual=pa.array(residual), scaled_residual=pa.array(scaled),
                         outlier=pa.array(np.abs(scaled) > DEFAULT_OUTLIER_THRESHOLD))
        return added
