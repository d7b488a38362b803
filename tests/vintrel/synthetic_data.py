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


def assert_same_estimate(model, reference, within_se=0.01, scale_rtol=1e-4):
    """Two fits of the whole data agree to well within their sampling
    error: every coefficient and the intercept within `within_se` of the
    reference's standard errors, the scales to `scale_rtol`."""
    gaps = np.abs(np.append(model.coef_, model.intercept_) - np.append(reference.coef_, reference.intercept_))
    errors = np.append(reference.coef_se_, reference.intercept_se_)
    assert np.max(gaps / errors) < within_se, np.max(gaps / errors)
    assert abs(model.scale_ / reference.scale_ - 1) < scale_rtol
