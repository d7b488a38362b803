"""Synthetic regression data with the troubles robust regression is for."""

from typing import Any

import numpy as np
from numpy.typing import NDArray


def make_contaminated_regression(
    n_samples: int,
    n_features: int,
    *,
    outlier_share: float = 0.05,
    noise_df: float = 2.0,
    raw: bool = True,
    random_state: int | np.random.Generator | None = None,
) -> tuple[NDArray[np.float64], NDArray[np.float64], NDArray[np.float64], float]:
    """A linear model with heavy-tailed noise and gross outliers.

    Parameters
    ----------
    n_samples, n_features : int
        Shape of X.
    outlier_share : float, default=0.05
        Share of rows whose target is moved by 50 to 200 in either direction.
    noise_df : float, default=2.0
        Degrees of freedom of the Student-t noise (scale 1).
    raw : bool, default=True
        Features on scales from 0.1 to 100 with offsets up to 100, as data
        arrives in practice; otherwise standard normal features.
    random_state : int, Generator or None
        Seed or generator.

    Returns
    -------
    X : ndarray of shape (n_samples, n_features)
    y : ndarray of shape (n_samples,)
        Targets around 1,000.
    coef : ndarray of shape (n_features,)
        True coefficients; each feature's effect per standard deviation is
        uniform on [-3, 3].
    intercept : float
        True intercept.
    """
    rng = np.random.default_rng(random_state)
    spread = 10.0 ** rng.uniform(-1, 2, n_features) if raw else np.ones(n_features)
    offset = rng.uniform(-100, 100, n_features) if raw else np.zeros(n_features)
    X = rng.standard_normal((n_samples, n_features)) * spread + offset
    coef = rng.uniform(-3, 3, n_features) / spread
    intercept = 1000.0 - float(offset @ coef)
    y = X @ coef + intercept + rng.standard_t(df=noise_df, size=n_samples)
    outliers = rng.random(n_samples) < outlier_share
    shifts: Any = rng.choice([-1.0, 1.0], outliers.sum()) * rng.uniform(50, 200, outliers.sum())
    y[outliers] += shifts
    return X, y, coef, intercept
