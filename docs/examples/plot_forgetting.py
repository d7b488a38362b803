"""
Forgetting on a drifting stream
===============================

A stream whose relation drifts: one coefficient moves steadily, another
jumps half-way. With ``half_life`` the estimate discounts old rows (a row's
weight halves with every ``half_life`` rows folded after it) and follows
the drift; without it the stream averages over its whole history.
"""

# %%
import matplotlib.pyplot as plt
import numpy as np

from vintrel import IncrementalHuberRegressor

rng = np.random.default_rng(3)
n_batches, rows = 60, 2_000
forgetting = IncrementalHuberRegressor(half_life=8_000)
remembering = IncrementalHuberRegressor()
truth, followed, averaged = [], [], []
for batch in range(n_batches):
    drift = np.array([1.0 + batch / 30, 2.0 if batch < n_batches // 2 else -1.0])
    X = rng.normal(size=(rows, 2))
    y = X @ drift + 5.0 + rng.standard_t(3, size=rows)
    forgetting.partial_fit(X, y)
    remembering.partial_fit(X, y)
    truth.append(drift)
    followed.append(forgetting.coef_)
    averaged.append(remembering.coef_)
truth, followed, averaged = map(np.array, (truth, followed, averaged))
print("last batch: truth", truth[-1], "half_life", followed[-1].round(3), "none", averaged[-1].round(3))
print(f"effective rows of the forgetting stream: {forgetting.export_state().engine.weight_sum:,.0f}")

# %%
fig, axes = plt.subplots(1, 2, figsize=(8, 3.2), sharex=True)
for index, ax in enumerate(axes):
    ax.plot(truth[:, index], color="black", lw=1, label="true")
    ax.plot(followed[:, index], label="half_life=8,000")
    ax.plot(averaged[:, index], label="no forgetting")
    ax.set_xlabel("batch")
    ax.set_title(f"coef[{index}]")
axes[0].legend(fontsize=8)
fig.tight_layout()
