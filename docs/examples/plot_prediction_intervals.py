"""
Prediction intervals and outliers
=================================

The stream keeps a small sketch of its residuals' distribution, heavy tails
and outliers included, so prediction intervals for new rows hold their
nominal coverage where the normal-theory interval (prediction plus or minus
z times the scale) is too narrow. Scaled residuals flag the gross errors.
"""

# %%
import matplotlib.pyplot as plt
import numpy as np
from scipy.stats import norm

from vintrel import IncrementalHuberRegressor
from vintrel.datasets import make_contaminated_regression

X, y, _, _ = make_contaminated_regression(120_000, 4, noise_df=2.5, outlier_share=0.03, random_state=1)
train, test = slice(0, 100_000), slice(100_000, None)
model = IncrementalHuberRegressor().fit(X[train], y[train])

nominal = np.array([0.5, 0.8, 0.9, 0.95])
sketch, normal = [], []
prediction = model.predict(X[test])
for coverage in nominal:
    bounds = model.predict_interval(X[test], coverage=coverage)
    sketch.append(np.mean((bounds[:, 0] <= y[test]) & (y[test] <= bounds[:, 1])))
    half = norm.ppf(0.5 + coverage / 2) * model.scale_
    normal.append(np.mean(np.abs(y[test] - prediction) <= half))
    print(f"nominal {coverage:.0%}: sketch {sketch[-1]:.2%}, normal theory {normal[-1]:.2%}")

scores = model.scaled_residuals(X[test], y[test])
flagged = model.outlier_mask(X[test], y[test])
print(f"flagged as outliers: {flagged.mean():.2%} of held-out rows")

# %%
# Coverage against nominal, and the scaled residuals of the held-out rows
# with the outlier threshold of 3 scales.
fig, axes = plt.subplots(1, 2, figsize=(8, 3.2))
axes[0].plot(nominal, nominal, color="black", lw=0.8)
axes[0].plot(nominal, sketch, "o-", label="predict_interval")
axes[0].plot(nominal, normal, "s-", label="prediction +- z scale")
axes[0].set_xlabel("nominal coverage")
axes[0].set_ylabel("held-out coverage")
axes[0].legend(fontsize=8)
axes[1].hist(np.clip(scores, -12, 12), bins=120, color="C0")
for side in (-3, 3):
    axes[1].axvline(side, color="C3", lw=0.8)
axes[1].set_yscale("log")
axes[1].set_xlabel("scaled residual (clipped at 12)")
fig.tight_layout()
