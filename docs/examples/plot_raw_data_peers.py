"""
Raw data against scikit-learn's HuberRegressor and SGDRegressor
===============================================================

Features on scales from 0.1 to 100 with large offsets, a target near
1,000, Student-t noise and 5 % gross outliers: data as it arrives.
:class:`~vintrel.IncrementalHuberRegressor` takes it raw and streams it in
batches; scikit-learn's ``HuberRegressor`` fits all rows at once and is
given standardised features (without which it struggles), and
``SGDRegressor(loss="huber")`` makes one pass of ``partial_fit`` over the
same batches of standardised features.
"""

# %%
import time

import matplotlib.pyplot as plt
import numpy as np
from sklearn.linear_model import HuberRegressor, SGDRegressor
from sklearn.preprocessing import StandardScaler

from vintrel import IncrementalHuberRegressor
from vintrel.datasets import make_contaminated_regression

X, y, coef, intercept = make_contaminated_regression(60_000, 8, random_state=0)
batches = np.array_split(np.arange(len(y)), 12)
spread = X.std(axis=0)


def error(estimate):
    """Largest coefficient error, per standard deviation of its feature."""
    return float(np.max(np.abs(estimate - coef) * spread))


results = {}
start = time.perf_counter()
stream = IncrementalHuberRegressor()
for rows in batches:
    stream.partial_fit(X[rows], y[rows])
results["vintrel partial_fit\n(raw)"] = (error(stream.coef_), time.perf_counter() - start)

scaler = StandardScaler().fit(X)
Z = scaler.transform(X)
start = time.perf_counter()
huber = HuberRegressor(epsilon=1.35, alpha=0.0, max_iter=500).fit(Z, y)
results["HuberRegressor\n(standardised)"] = (error(huber.coef_ / scaler.scale_), time.perf_counter() - start)

start = time.perf_counter()
sgd = SGDRegressor(loss="huber", epsilon=1.35, random_state=0)
for rows in batches:
    sgd.partial_fit(Z[rows], y[rows])
results["SGDRegressor\n(standardised)"] = (error(sgd.coef_ / scaler.scale_), time.perf_counter() - start)

for name, (err, seconds) in results.items():
    print(f"{name.replace(chr(10), ' '):<40} error {err:9.4f}   {seconds:6.3f} s")

# %%
# The streamed estimate is as accurate as the whole-data ``HuberRegressor``;
# one pass of stochastic gradient descent is far off (its loss threshold is
# in the target's units, with no scale estimate behind it).
fig, axes = plt.subplots(1, 2, figsize=(8, 3.2))
names = list(results)
axes[0].bar(names, [results[n][0] for n in names], color=["C0", "C1", "C2"])
axes[0].set_yscale("log")
axes[0].set_ylabel("largest coefficient error\n(per feature s.d.)")
axes[1].bar(names, [results[n][1] for n in names], color=["C0", "C1", "C2"])
axes[1].set_ylabel("seconds")
for ax in axes:
    ax.tick_params(axis="x", labelsize=7)
fig.tight_layout()
