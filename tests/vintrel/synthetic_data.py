"""Synthetic data shared by the tests of the Python package."""

import numpy as np


def contaminated(rows, features, seed, outlier_share=0.05, noise_df=2.0, raw=True):
    """Features on mixed scales and offsets (with `raw`), a target offset by
    1,000, t-distributed noise and gross outliers. Returns X, y and the true
    coefficients and intercept."""
    rng = np.random.default_rng(seed)
    spread = 10.0 ** rng.uniform(-1, 2, features) if raw else np.ones(features)
    offset = rng.uniform(-100, 100, features) if raw else np.zeros(features)
    X = rng.standard_normal((rows, features)) * spread + offset
    coef = rng.uniform(-3, 3, features) / spread
    intercept = 1000.0 - float(offset @ coef)
    y = X @ coef + intercept + rng.standard_t(df=noise_df, size=rows)
    outliers = rng.random(rows) < outlier_share
    y[outliers] += rng.choice([-1.0, 1.0], outliers.sum()) * rng.uniform(50, 200, outliers.sum())
    return X, y, coef, intercept


def spread_error(coef, X, true_coef):
    """Coefficient error with every feature measured in its own spread."""
    return float(np.linalg.norm((np.asarray(coef) - true_coef) * X.std(axis=0)))
