"""
Streaming a Parquet data set from the command line
==================================================

``vintrel fit`` reads a data set batch by batch (never whole), streams it
through the estimator and then passes over the files again until the
estimate is the whole-data M-estimate. Here the command line runs in this
process through :func:`vintrel.cli.main`, exactly as the ``vintrel`` program
would, on a small generated Parquet data set of three files.
"""

# %%
# A data set of three Parquet files: energy use against temperature and
# humidity, with a categorical region and a few gross errors.
import pathlib
import tempfile

import matplotlib.pyplot as plt
import numpy as np
import pandas as pd

from vintrel.cli import main
from vintrel.model_file import read

rng = np.random.default_rng(0)
folder = pathlib.Path(tempfile.mkdtemp())
regions = ["coastal", "inland", "mountain", "urban"]
effects = {"coastal": 0.0, "inland": 1.5, "mountain": 4.0, "urban": -1.0}
for index in range(3):
    n = 20_000
    frame = pd.DataFrame({
        "outdoor_temp_c": rng.normal(12, 8, n),
        "humidity_pct": rng.uniform(20, 90, n),
        "region": rng.choice(regions, n),
    })
    frame["energy_kwh"] = (8.0 - 0.35 * frame["outdoor_temp_c"] + 0.02 * frame["humidity_pct"]
                           + frame["region"].map(effects) + rng.standard_t(3, n))
    broken = rng.random(n) < 0.02
    frame.loc[broken, "energy_kwh"] += rng.uniform(50, 200, broken.sum())
    frame.to_parquet(folder / f"part-{index}.parquet")

# %%
# ``vintrel fit`` on the folder; ``--quiet`` leaves out the progress bars,
# which a terminal would show.
model = folder / "model.npz"
status = main(["fit", str(folder), "--target", "energy_kwh", "--categorical", "region",
               "--batch-rows", "10000", "--model", str(model), "--quiet"])
assert status == 0

# %%
# ``vintrel predict`` writes predictions with a 90 % prediction interval
# and the outlier scores, since the files hold the target.
predictions = folder / "predictions.parquet"
status = main(["predict", str(model), str(folder / "part-0.parquet"), "--output", str(predictions),
               "--interval", "0.9", "--scores", "--quiet"])
assert status == 0
table = pd.read_parquet(predictions)
print(table.head())
print(f"rows flagged as outliers: {table['outlier'].mean():.2%}")

# %%
# The saved model, read back without the command line, and its
# coefficients with their 95 % intervals.
saved = read(model)
summary = saved.estimator.summary().to_frame()
fig, ax = plt.subplots(figsize=(6, 3.2))
ax.errorbar(summary["coef"], np.arange(len(summary)), xerr=summary["coef"] - summary["lower"], fmt="o")
ax.set_yticks(np.arange(len(summary)), summary.index)
ax.axvline(0, color="grey", lw=0.8)
ax.set_xlabel("coefficient with its 95 % interval")
ax.set_title("vintrel fit on three Parquet files")
fig.tight_layout()
