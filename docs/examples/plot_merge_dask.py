"""
Merging streams and fitting on Dask
===================================

An estimate is a quadratic summary of the rows it folded, so streams over
disjoint parts combine in closed form once they share a start. The parts
are folded by hand and merged, then the same data is fitted with
:func:`vintrel.dask.fit` on a small Dask cluster that runs in this process
(``processes=False``), whose passes take it to the whole-data estimate.
"""

# %%
import copy

import dask.array as da
import matplotlib.pyplot as plt
import numpy as np
from distributed import Client, LocalCluster

from vintrel import IncrementalHuberRegressor
from vintrel import dask as vintrel_dask
from vintrel.datasets import make_contaminated_regression

X, y, coef, intercept = make_contaminated_regression(80_000, 5, random_state=0)
spread = X.std(axis=0)

start = IncrementalHuberRegressor().initialize(X[:5_000], y[:5_000])
parts = [copy.deepcopy(start) for _ in range(4)]
for part, rows in zip(parts, np.array_split(np.arange(len(y)), 4), strict=True):
    part.partial_fit(X[rows], y[rows])
merged = IncrementalHuberRegressor.merge(*parts)

# %%
# On Dask: eight partitions, two workers with a thread each.
with LocalCluster(n_workers=2, threads_per_worker=1, processes=False, dashboard_address=None) as cluster, \
        Client(cluster):
    on_dask = vintrel_dask.fit(IncrementalHuberRegressor(), da.from_array(X, chunks=(10_000, 5)),
                               da.from_array(y, chunks=10_000))
whole = IncrementalHuberRegressor().fit(X, y)
for name, model in {"merged parts": merged, "dask": on_dask, "fit": whole}.items():
    gap = np.max(np.abs(model.coef_ - whole.coef_) * spread / whole.scale_)
    print(f"{name:<13} rows {model.n_samples_seen_:,}  gap to fit {gap:.2e} (standardised)")

# %%
# Each part alone, the merge and the Dask fit, per coefficient, in
# standardised units against the true coefficients.
fig, ax = plt.subplots(figsize=(7, 3.2))
offsets = np.linspace(-0.3, 0.3, len(parts) + 2)
for index, part in enumerate(parts):
    ax.plot(np.arange(5) + offsets[index], (part.coef_ - coef) * spread, "o", color="grey",
            label="one part" if index == 0 else None)
ax.plot(np.arange(5) + offsets[-2], (merged.coef_ - coef) * spread, "s", color="C0", label="merged")
ax.plot(np.arange(5) + offsets[-1], (on_dask.coef_ - coef) * spread, "D", color="C1", label="Dask")
ax.axhline(0, color="black", lw=0.8)
ax.set_xticks(np.arange(5), [f"x{i}" for i in range(5)])
ax.set_ylabel("error per feature s.d.")
ax.legend(fontsize=8)
fig.tight_layout()
