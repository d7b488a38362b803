"""Categorical columns of pandas and polars frames: encoded as the command
line encodes them, checked in later batches, and carried by model files,
pickles and merges."""

import copy
import pickle

import numpy as np
import pandas as pd
import polars as pl
import pytest

import vintrel._validation
from vintrel import IncrementalHuberRegressor
from vintrel.state import ModelState

from synthetic_data import contaminated

DECLARED = ["west", "east", "north", "south"]  # "south" is declared but never seen when fitting
SEEN = ["west", "east", "north"]


def _pandas(ordered):
    return lambda x, region: pd.DataFrame(
        {"x": x, "region": pd.Categorical(region, categories=DECLARED, ordered=ordered)})


FRAMES = {
    "pandas": _pandas(False),
    "pandas-ordered": _pandas(True),
    "polars-enum": lambda x, region: pl.DataFrame({"x": x, "region": pl.Series(region, dtype=pl.Enum(DECLARED))}),
    # A polars Categorical declares no levels: the sorted levels present.
    "polars-categorical": lambda x, region: pl.DataFrame({"x": x, "region": pl.Series(region, dtype=pl.Categorical)}),
}
LEVELS = {"pandas": DECLARED, "pandas-ordered": DECLARED, "polars-enum": DECLARED,
          "polars-categorical": sorted(SEEN)}


@pytest.fixture(scope="module")
def data():
    X, y, _, _ = contaminated(1200, 1, seed=4)
    region = np.random.default_rng(5).choice(SEEN, 1200)
    return X[:, 0], region, y + np.select([region == "east", region == "north"], [3.0, -2.0], 0.0)


def _design(x, region, levels):
    """The oracle: x, then one indicator per level after the first (row
    major, as the estimator encodes frames, so that the engine sums alike)."""
    return np.column_stack([x, *((region == level).astype(float) for level in levels[1:])])


@pytest.mark.parametrize("kind", FRAMES)
def test_frames_are_encoded_like_the_command_line(data, kind, monkeypatch):
    x, region, y = data
    levels = LEVELS[kind]
    model = IncrementalHuberRegressor().fit(FRAMES[kind](x, region), y)
    expected = IncrementalHuberRegressor().fit(_design(x, region, levels), y)
    np.testing.assert_allclose(model.coef_, expected.coef_, rtol=1e-12)
    names = ["x", *(f"region={level}" for level in levels[1:])]
    assert list(model.get_feature_names_out()) == names and list(model.feature_names_in_) == ["x", "region"]
    assert [row.name for row in model.summary().rows] == [*names, "intercept"]
    # A declared level no row holds: an indicator that stays zero, whose
    # coefficient the data does not identify.
    unseen = [i for i, level in enumerate(levels[1:]) if level not in SEEN]
    assert np.all(model.coef_[1:][unseen] == 0) and np.all(np.isnan(model.coef_se_[1:][unseen]))
    monkeypatch.setattr(vintrel._validation, "PREDICT_BLOCK_ROWS", 500)  # blocks of 500, 500 and 200 rows
    np.testing.assert_allclose(model.predict(FRAMES[kind](x, region)), expected.predict(_design(x, region, levels)),
                               rtol=1e-12)
    restored = pickle.loads(pickle.dumps(model))
    np.testing.assert_array_equal(restored.predict(FRAMES[kind](x, region)), model.predict(FRAMES[kind](x, region)))


@pytest.mark.parametrize("kind", FRAMES)
def test_a_level_outside_the_fitted_ones_is_refused_by_name(data, kind):
    x, region, y = data
    model = IncrementalHuberRegressor().partial_fit(FRAMES[kind](x, region), y)
    before = model.export_state().to_plain()
    bad = region[:20].copy()
    bad[7] = "mars"
    if kind != "polars-categorical":  # a declared type must declare the level to hold it
        frame = (pd.DataFrame({"x": x[:20], "region": pd.Categorical(bad)}) if kind.startswith("pandas")
                 else pl.DataFrame({"x": x[:20], "region": pl.Series(bad, dtype=pl.Enum([*DECLARED, "mars"]))}))
    else:
        frame = FRAMES[kind](x[:20], bad)
    for call in (model.predict, lambda frame: model.partial_fit(frame, y[:20])):
        with pytest.raises(ValueError, match="column 'region' holds the level 'mars'"):
            call(frame)
    np.testing.assert_array_equal(model.export_state().to_plain()["engine"]["coefficients"],
                                  before["engine"]["coefficients"])


def test_later_batches_are_encoded_by_level_name(data):
    x, region, y = data
    streamed = IncrementalHuberRegressor()
    oracle = IncrementalHuberRegressor()
    for part, categories in ((slice(0, 600), DECLARED), (slice(600, None), ["north", "south", "east", "west"])):
        frame = pd.DataFrame({"x": x[part], "region": pd.Categorical(region[part], categories=categories)})
        streamed.partial_fit(frame, y[part])
        oracle.partial_fit(_design(x[part], region[part], DECLARED), y[part])
    np.testing.assert_allclose(streamed.coef_, oracle.coef_, rtol=1e-12)


@pytest.mark.parametrize("column", [
    np.array(["a", "b"] * 300, dtype=object), pd.array(["a", "b"] * 300, dtype="string"),
    pl.Series(["a", "b"] * 300)], ids=["object", "pandas-string", "polars-string"])
def test_text_columns_are_refused_with_advice(data, column):
    x, _, y = data
    frame = (pl.DataFrame({"x": x[:600], "t": column}) if isinstance(column, pl.Series)
             else pd.DataFrame({"x": x[:600], "t": column}))
    with pytest.raises(ValueError, match=r"column 't' holds text; cast it to a categorical type .*--categorical"):
        IncrementalHuberRegressor().fit(frame, y[:600])


@pytest.mark.parametrize("column", [
    pd.Series(pd.date_range("2020-01-01", periods=600)), pd.Series(pd.to_timedelta(np.arange(600), "s")),
    pd.Series(np.ones(600) * 1j), pl.Series(pd.date_range("2020-01-01", periods=600)), pl.Series([[1.0]] * 600)],
    ids=["datetime", "timedelta", "complex", "polars-datetime", "polars-list"])
def test_columns_of_other_types_are_refused_beside_categories(data, column):
    # Read as floats, dates became nanoseconds and complex numbers lost
    # their imaginary part without a word.
    x, region, y = data
    frame = FRAMES["polars-enum" if isinstance(column, pl.Series) else "pandas"](x[:600], region[:600])
    frame = frame.with_columns(t=column) if isinstance(frame, pl.DataFrame) else frame.assign(t=column)
    with pytest.raises(ValueError, match=r"column 't' holds .* values, which are neither numbers nor categories"):
        IncrementalHuberRegressor().fit(frame, y[:600])


def test_frames_of_other_columns_or_types(data):
    x, region, y = data
    model = IncrementalHuberRegressor().fit(FRAMES["pandas"](x, region), y)
    # A frame of the encoded features by name is taken as they are.
    dummies = pd.get_dummies(FRAMES["pandas"](x, region), prefix_sep="=", drop_first=True, dtype=float)
    np.testing.assert_array_equal(model.predict(dummies), model.predict(FRAMES["pandas"](x, region)))
    with pytest.raises(ValueError, match="columns of X must be those"):
        model.predict(pd.DataFrame({"region": pd.Categorical(region), "x": x}))
    with pytest.raises(ValueError, match="column 'region' was categorical"):
        model.predict(pd.DataFrame({"x": x, "region": np.zeros_like(x)}))
    numeric = IncrementalHuberRegressor().fit(pd.DataFrame({"x": x, "region": np.zeros_like(x) + (x > 0)}), y)
    with pytest.raises(ValueError, match="categorical, but the model was fitted on numeric columns only"):
        numeric.predict(FRAMES["pandas"](x, region))


def test_model_files_merges_and_damaged_states(data, tmp_path):
    x, region, y = data
    start = IncrementalHuberRegressor().initialize(FRAMES["pandas"](x, region), y)
    parts = [copy.deepcopy(start).partial_fit(FRAMES["pandas"](x[rows], region[rows]), y[rows])
             for rows in (slice(0, 600), slice(600, None))]
    merged = IncrementalHuberRegressor.merge(*parts)
    merged.save(tmp_path / "m.vtm")
    loaded = IncrementalHuberRegressor.load(tmp_path / "m.vtm")
    assert loaded.export_state().encoding == start.export_state().encoding
    np.testing.assert_array_equal(loaded.predict(FRAMES["pandas"](x, region)), merged.predict(FRAMES["pandas"](x, region)))
    other = IncrementalHuberRegressor().fit(FRAMES["polars-categorical"](x, region), y)
    with pytest.raises(ValueError, match="cannot merge estimator 1"):
        IncrementalHuberRegressor.merge(parts[0], other)
    plain = loaded.export_state().to_plain()
    for damage, message in [({"columns": ["x"], "categorical": {"region": ["a", "b"]}}, "not an input column"),
                            ({"columns": ["x", "region"], "categorical": {"region": "ab"}}, "list of strings"),
                            ({"columns": ["x", "region"], "categorical": {"region": ["a", "b"]}}, "encoding makes 2")]:
        with pytest.raises((TypeError, ValueError), match=message):
            ModelState.from_plain({**plain, "encoding": damage})


def test_dask_partitions_stream_and_pass_with_the_start_encoding(data):
    dd = pytest.importorskip("dask.dataframe")
    import vintrel.dask as vintrel_dask

    x, region, y = data
    frame = FRAMES["pandas"](x, region)
    model = vintrel_dask.fit(IncrementalHuberRegressor(batch_size=200), dd.from_pandas(frame, npartitions=3),
                             dd.from_pandas(pd.Series(y), npartitions=3))
    assert list(model.get_feature_names_out()) == ["x", *(f"region={level}" for level in DECLARED[1:])]
    np.testing.assert_allclose(model.coef_, IncrementalHuberRegressor().fit(frame, y).coef_, rtol=1e-6, atol=1e-9)
