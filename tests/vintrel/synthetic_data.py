"""Synthetic data shared by the tests of the Python package."""

import numpy as np

from vintrel.datasets import make_contaminated_regression


def contaminated(rows, features, seed, outlier_share=0.05, noise_df=2.0, raw=True):
    """Returns X, y and the true coefficients and intercept."""
    return make_contaminated_regression(rows, features, outlier_share=outlier_share, noise_df=noise_df,
                                        raw=raw, random_state=seed)


def spread_error(coef, X, true_coef):
    """Coefficient error with every feature measured in its own spread."""
    return float(np.linalg.norm((np.asarray(coef) - true_coef) * X.std(axis=0)))
