"""The model file: what it carries, and what it refuses to load."""

import json
import zipfile

import numpy as np
import pytest

from vintrel import IncrementalHuberRegressor, model_file
from vintrel.model_file import ModelFileError

from synthetic_data import contaminated


@pytest.fixture(scope="module")
def data():
    X, y, _, _ = contaminated(3000, 3, seed=4)
    return X, y


def _streamed(X, y, dtype=np.float64, rows=3000):
    model = IncrementalHuberRegressor()
    for start in range(0, rows, 1000):
        model.partial_fit(X[start:start + 1000].astype(dtype), y[start:start + 1000])
    return model


@pytest.mark.parametrize("dtype", [np.float64, np.float32])
def test_a_loaded_model_goes_on_streaming_exactly_like_the_saved_one(data, tmp_path, dtype):
    X, y = data
    model = _streamed(X[:2000], y[:2000], dtype, rows=2000)
    sums = {"count": 7.0, "squares": np.arange(4.0), "nested": {"nan": float("nan"), "tiny": 5e-324}}
    model = IncrementalHuberRegressor.from_state(model.export_state().replace(sums=sums))
    model.save(tmp_path / "m.npz")
    loaded = IncrementalHuberRegressor.load(tmp_path / "m.npz")
    held = loaded.export_state().sums
    assert held["count"] == 7.0 and np.isnan(held["nested"]["nan"])
    np.testing.assert_array_equal(held["squares"], np.arange(4.0))
    assert held["nested"]["tiny"] == 5e-324
    for estimator in (model, loaded):
        estimator.partial_fit(X[2000:].astype(dtype), y[2000:])
    np.testing.assert_array_equal(loaded.coef_, model.coef_)
    assert loaded.intercept_ == model.intercept_ and loaded.coef_.dtype == dtype
    assert loaded.get_params() == model.get_params()


def test_a_model_still_gathering_rows_keeps_them(data, tmp_path):
    X, y = data
    model = IncrementalHuberRegressor().partial_fit(X[:5], y[:5])
    model.save(tmp_path / "m.npz")
    loaded = IncrementalHuberRegressor.load(tmp_path / "m.npz")
    for estimator in (model, loaded):
        estimator.partial_fit(X[5:100], y[5:100])
    np.testing.assert_array_equal(loaded.coef_, model.coef_)


def _rewrite_header(path, change):
    with zipfile.ZipFile(path) as archive:
        members = {name: archive.read(name) for name in archive.namelist()}
    header = json.loads(members["header.json"])
    change(header)
    members["header.json"] = json.dumps(header).encode()
    with zipfile.ZipFile(path, "w") as archive:
        for name, content in members.items():
            archive.writestr(name, content)


def _object_array(path):
    # An object array would need pickle to load.
    with zipfile.ZipFile(path, "a") as archive, archive.open("arrays/evil.npy", "w") as stream:
        np.lib.format.write_array(stream, np.array([{"a": 1}], dtype=object), allow_pickle=True)
    _rewrite_header(path, lambda h: h["estimator"]["sums"].update(evil={"$array": "arrays/evil.npy"}))


@pytest.mark.parametrize("damage, message", [
    (lambda p: p.unlink(), "no such model file"),
    (lambda p: p.write_bytes(p.read_bytes()[:-100]), "truncated or damaged"),
    (lambda p: p.write_text("coefficients: 1, 2, 3"), "truncated or damaged"),
    (lambda p: _rewrite_header(p, lambda h: h.update(format_version=2)),
     "written in model format version 2; this vintrel reads version 1"),
    (lambda p: _rewrite_header(p, lambda h: h.update(format="something else")), "not a vintrel model file"),
    (lambda p: _rewrite_header(p, lambda h: h["estimator"]["engine"].update(n_features=5)), "does not hold"),
    (_object_array, "missing or unreadable"),
], ids=["missing", "truncated", "not-a-zip", "version", "format", "inconsistent", "object-array"])
def test_bad_files_are_refused_with_the_file_named(data, tmp_path, damage, message):
    path = tmp_path / "m.npz"
    _streamed(*data).save(path)
    damage(path)
    with pytest.raises(ModelFileError, match=message) as caught:
        IncrementalHuberRegressor.load(path)
    assert str(path) in str(caught.value)


def test_a_model_for_other_features_is_refused(data, tmp_path):
    X, y = data
    model = _streamed(X, y)
    model.feature_names_in_ = np.array(["a", "b", "c"], dtype=object)
    model.save(tmp_path / "m.npz")
    assert model_file.load(tmp_path / "m.npz", feature_names=["a", "b", "c"]).n_features_in_ == 3
    with pytest.raises(ModelFileError, match="expected but not in the model: d; in the model but not expected: c"):
        model_file.load(tmp_path / "m.npz", feature_names=["a", "b", "d"])


def test_a_failed_save_leaves_the_previous_file_and_no_debris(data, tmp_path, monkeypatch):
    path = tmp_path / "m.npz"
    model = _streamed(*data)
    model.save(path)
    before = path.read_bytes()

    def fail(*args, **kwargs):
        raise KeyboardInterrupt

    monkeypatch.setattr(np.lib.format, "write_array", fail)
    with pytest.raises(KeyboardInterrupt):
        model.save(path)
    assert path.read_bytes() == before and [p.name for p in tmp_path.iterdir()] == ["m.npz"]
