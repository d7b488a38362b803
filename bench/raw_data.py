"""Synthetic raw data as users have it: features on different scales and
offsets, a target far from zero, heavy-tailed noise and gross outliers."""

import numpy as np


def contaminated(rows, features, seed, outlier_share=0.05, noise_df=2.0):
    """Returns X, y and the true coefficients and intercept."""
    rng = np.random.default_rng(seed)
    spread = 10.0 ** rng.uniform(-1, 2, features)
    offset = rng.uniform(-100, 100, features)
    X = rng.standard_normal((rows, features)) * spread + offset
    coef = rng.uniform(-3, 3, features) / spread
    intercept = 1000.0 - float(offset @ coef)
    y = X @ coef + intercept + rng.standard_t(df=noise_df, size=rows)
    outliers = rng.random(rows) < outlier_share
    y[outliers] += rng.choice([-1.0, 1.0], outliers.sum()) * rng.uniform(50, 200, outliers.sum())
    return X, y, coef, intercept


def coefficient_error(coef, intercept, X, true_coef, true_intercept):
    """Error of a fit in units of the target: the norm of the coefficient
    errors times each feature's spread, so every feature counts alike."""
    del intercept, true_intercept  # the slopes are what the comparison is about
    return float(np.linalg.norm((np.asarray(coef) - true_coef) * X.std(axis=0)))
