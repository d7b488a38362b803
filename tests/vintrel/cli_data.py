"""Data files for the command-line tests."""

import numpy as np
import pyarrow as pa
import pyarrow.csv as pacsv
import pyarrow.feather as feather
import pyarrow.parquet as pq

from synthetic_data import contaminated

FEATURES = ["speed", "load", "temperature"]
LEVELS = ["east", "north", "south"]
REGION_EFFECT = {"east": 0.0, "north": 4.0, "south": -2.0}


def frame(rows, seed=0):
    """A table of three numeric features, a boolean `wet`, a categorical
    `region`, a target `y`, a positive `weight` and an `id`."""
    X, y, _, _ = contaminated(rows, len(FEATURES), seed=seed)
    rng = np.random.default_rng(seed + 1)
    region = rng.choice(LEVELS, rows)
    y = y + np.vectorize(REGION_EFFECT.get)(region)
    columns = dict(zip(FEATURES, X.T, strict=True))
    wet = rng.random(rows) < 0.3
    return pa.table({"id": np.arange(rows) + seed * 1_000_000, **columns, "wet": wet, "region": region,
                     "y": y + 3.0 * wet,
                     "weight": rng.uniform(0.5, 2.0, rows)})


def write(table, path, row_group_size=1000):
    """Write `table` in the format its name ends with."""
    name = str(path)
    if name.endswith(".parquet"):
        pq.write_table(table, name, row_group_size=row_group_size)
    elif name.endswith(".csv"):
        pacsv.write_csv(table, name)
    else:
        feather.write_feather(table, name)
    return path
