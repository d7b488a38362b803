"""Fitting on a Dask cluster: partition streams merged in a tree."""

import os
import subprocess
import sys

import dask
import dask.array as da
import dask.dataframe as dd
import distributed
import numpy as np
import pandas as pd
import pytest
from sklearn.exceptions import ConvergenceWarning

from vintrel import IncrementalHuberRegressor
from vintrel import dask as vintrel_dask
from vintrel._stream import EngineStream

from synthetic_data import assert_same_estimate, contaminated

ROWS, FEATURES, PARTITIONS, BATCH = 24_000, 3, 6, 1500
NAMES = ["speed", "load", "temperature"]


@pytest.fixture(scope="module")
def data():
    X, y, _, _ = contaminated(ROWS, FEATURES, seed=31)
    weights = np.random.default_rng(2).integers(0, 3, ROWS).astype(float)
    return X, y, weights


@pytest.fixture(scope="module")
def client():
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=False,
                                  dashboard_address=":0") as cluster, distributed.Client(cluster) as client:
        yield client


def _collections(X, y, weights, kind):
    if kind == "array":
        chunks = ROWS // PARTITIONS
        return da.from_array(X, chunks=(chunks, 1)), da.from_array(y, chunks=chunks), da.from_array(weights, chunks)
    frame = dd.from_pandas(pd.DataFrame(X, columns=NAMES).assign(y=y, w=weights), npartitions=PARTITIONS)
    return frame[NAMES], frame["y"], frame["w"]


def _single_stream(X, y, weights):
    """One stream whose units are fixed on its first batch, as the shared
    start of the partitions fixes them."""
    model = IncrementalHuberRegressor(batch_size=BATCH).initialize(X[:BATCH], y[:BATCH], weights[:BATCH])
    for begin in range(0, ROWS, BATCH):
        model.partial_fit(X[begin:begin + BATCH], y[begin:begin + BATCH], weights[begin:begin + BATCH])
    return model


@pytest.mark.parametrize("kind", ["array", "frame"])
def test_partition_streams_merge_to_the_single_stream(client, data, kind):
    X, y, weights = data
    reports = []
    model = vintrel_dask.fit(IncrementalHuberRegressor(batch_size=BATCH, max_passes=1),
                             *_collections(X, y, weights, kind), progress=lambda done, total: reports.append((done, total)))
    stream = _single_stream(X, y, weights)
    # Units come from the first batch of the first partition, as in a stream
    # (up to the rounding of column-major frames).
    assert model.scale_ == pytest.approx(stream.scale_, rel=1e-8)
    assert model.n_samples_seen_ == ROWS and model.n_batches_ == PARTITIONS * (ROWS // PARTITIONS // BATCH + 1)
    gap = model.predict(pd.DataFrame(X, columns=NAMES) if kind == "frame" else X) - stream.predict(X)
    assert np.sqrt(np.mean(gap**2)) < 1e-3 * stream.scale_
    assert reports == [(done, PARTITIONS) for done in range(1, PARTITIONS + 1)]
    if kind == "frame":
        assert list(model.feature_names_in_) == NAMES
    else:
        with dask.config.set(scheduler="threads"):
            local = vintrel_dask.fit(IncrementalHuberRegressor(batch_size=BATCH, max_passes=1),
                                     *_collections(X, y, weights, kind))
        np.testing.assert_array_equal(local.coef_, model.coef_)


@pytest.mark.parametrize("kind", ["array", "frame"])
def test_passes_on_the_cluster_give_the_single_process_answer(client, data, kind):
    X, y, weights = data
    order = np.argsort(X[:, 0])  # partitions that each see one range of a feature
    X, y, weights = X[order], y[order], weights[order]
    reports = []
    on_dask = vintrel_dask.fit(IncrementalHuberRegressor(batch_size=BATCH), *_collections(X, y, weights, kind),
                               progress=lambda done, total: reports.append((done, total)))
    in_process = IncrementalHuberRegressor(batch_size=BATCH).fit(X, y, sample_weight=weights)
    merged = vintrel_dask.fit(IncrementalHuberRegressor(batch_size=BATCH, max_passes=1),
                              *_collections(X, y, weights, kind))
    assert on_dask.converged_ and on_dask.n_passes_ > 1 and in_process.n_passes_ > 1
    assert_same_estimate(on_dask, in_process)
    np.testing.assert_allclose(on_dask.coef_se_, in_process.coef_se_, rtol=1e-3)
    assert np.max(np.abs(merged.coef_ - in_process.coef_) / in_process.coef_se_) > 100 * np.max(
        np.abs(on_dask.coef_ - in_process.coef_) / in_process.coef_se_)
    assert reports[-1] == (on_dask.n_passes_ * PARTITIONS, on_dask.n_passes_ * PARTITIONS)
    # The residual distribution comes back from the workers: merged after
    # the streams, and of the last pass after the passes.
    for model in (on_dask, merged):
        assert model.export_state().residuals.total_weight == pytest.approx(weights.sum())
    rows = pd.DataFrame(X[:300], columns=NAMES) if kind == "frame" else X[:300]
    np.testing.assert_allclose(on_dask.predict_interval(rows), in_process.predict_interval(X[:300]),
                               atol=2e-3 * in_process.scale_)


def test_an_initialised_estimator_keeps_its_start(client, data):
    X, y, weights = data
    start = IncrementalHuberRegressor(batch_size=BATCH, max_passes=1).initialize(X[-2000:], y[-2000:])
    fitted = vintrel_dask.fit(start, *_collections(X, y, weights, "array")[:2])
    assert fitted is start and start.n_samples_seen_ == ROWS
    assert start.scale_ == IncrementalHuberRegressor().initialize(X[-2000:], y[-2000:]).scale_


def test_a_failure_mid_partition_reaches_the_client_and_changes_nothing(client, data, monkeypatch):
    X, y, weights = data
    model = IncrementalHuberRegressor(batch_size=BATCH).fit(X[:3000], y[:3000])
    before = dict(model.__dict__)
    calls = iter(range(10**6))
    original = EngineStream.fold

    def failing(self, *args, **kwargs):
        if next(calls) == 12:
            raise ValueError("disk read error")
        return original(self, *args, **kwargs)

    monkeypatch.setattr(EngineStream, "fold", failing)
    with pytest.raises(ValueError, match="disk read error") as caught:
        vintrel_dask.fit(model, *_collections(X, y, weights, "array"))
    assert any("on a Dask worker" in note for note in caught.value.__notes__)
    assert model.__dict__ == before


def test_what_struggled_on_a_worker_is_warned_once_by_the_client(client):
    # ridge=0 on a duplicated column: the Newton system of every update is
    # singular, and the stream notes its fallback instead of warning.
    rng = np.random.default_rng(0)
    X = rng.normal(size=(500, 2))
    X, y = np.hstack([X, X[:, :1]]), X[:, 0] + rng.normal(size=500)
    with pytest.warns(ConvergenceWarning) as caught:
        vintrel_dask.fit(IncrementalHuberRegressor(ridge=0.0, batch_size=250), da.from_array(X, chunks=(500, 3)),
                         da.from_array(y, chunks=500))
    # Which updates need the fallback is decided by rounding; each that did
    # is warned once, at the caller's line.
    struggles = [(str(w.message).split(" (")[0], w.filename) for w in caught]
    assert struggles and len(set(struggles)) == len(struggles)
    assert {label for label, _ in struggles} <= {"partition 0: batch 1", "partition 0: batch 2"}
    assert {filename for _, filename in struggles} == {__file__}
    assert all("regularised fallback" in str(w.message) for w in caught)


@pytest.mark.parametrize("make, error, message", [
    (lambda X, y, w: (X.compute(), y, w), TypeError, "X must be"),
    (lambda X, y, w: (X, y.compute(), w), TypeError, "y must be"),
    (lambda X, y, w: (X, y.to_dask_array(lengths=True).rechunk(ROWS // 2), None), ValueError, "as many partitions"),
    (lambda X, y, w: (X, y, da.ones(ROWS - 60, chunks=(ROWS - 60) // PARTITIONS)),
     ValueError, "X has 4000 rows but sample_weight has 3990"),
], ids=["x-type", "y-type", "partitions", "rows"])
def test_mismatched_inputs_are_refused(client, data, make, error, message):
    X, y, w = make(*_collections(*data, "frame"))
    with pytest.raises(error, match=message):
        vintrel_dask.fit(IncrementalHuberRegressor(), X, y, w)


def _crash_on_third_fold():
    original = EngineStream.fold
    calls = iter(range(10**6))

    def crash(self, *args, **kwargs):
        if next(calls) == 3:
            os._exit(1)
        return original(self, *args, **kwargs)

    EngineStream.fold = crash


def test_worker_processes_fit_from_plain_state_and_a_dead_worker_is_retried_then_reported(data):
    X, y, weights = data
    collections = _collections(X, y, weights, "frame")
    in_process = vintrel_dask.fit(IncrementalHuberRegressor(batch_size=BATCH), *collections)
    # Dask runs the task of a worker that died again elsewhere; the fit is
    # unharmed.
    with vintrel_dask.connect("local:2") as client:
        client.run(_crash_on_third_fold)
        retried = vintrel_dask.fit(IncrementalHuberRegressor(batch_size=BATCH), *collections)
    np.testing.assert_array_equal(retried.coef_, in_process.coef_)
    # Only when no retries are left does the fit fail, changing nothing.
    with dask.config.set({"distributed.scheduler.allowed-failures": 0}), vintrel_dask.connect("local:2") as client:
        model = vintrel_dask.fit(IncrementalHuberRegressor(batch_size=BATCH), *collections)
        before = dict(model.__dict__)
        client.run(_crash_on_third_fold)
        with pytest.raises(RuntimeError, match=r"worker died .* estimator is unchanged"):
            vintrel_dask.fit(model, *collections)
    assert model.__dict__ == before
    np.testing.assert_array_equal(model.coef_, in_process.coef_)


def test_the_package_works_without_dask_and_the_module_names_the_extra():
    script = """
import sys
sys.modules["dask"] = None
import numpy as np
from vintrel import IncrementalHuberRegressor
rng = np.random.default_rng(0)
IncrementalHuberRegressor().fit(rng.normal(size=(100, 2)), rng.normal(size=100))
try:
    import vintrel.dask
except ImportError as error:
    print(error)
"""
    result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, check=True)
    assert "pip install 'vintrel[dask]'" in result.stdout


def test_weights_that_arrive_unaligned_are_accepted():
    # Buffers deserialised on a worker can start at any byte.
    X, y, _, _ = contaminated(500, 2, seed=4)
    weights = np.zeros(500 * 8 + 1, dtype=np.uint8)[1:].view(np.float64)
    weights[:] = 1.0
    assert not weights.flags.aligned
    model = IncrementalHuberRegressor().fit(X, y, sample_weight=weights)
    np.testing.assert_array_equal(model.coef_, IncrementalHuberRegressor().fit(X, y, np.ones(500)).coef_)


@pytest.mark.parametrize("scheduler", ["", "local:0", "local:two", "local:"])
def test_scheduler_specifications_are_checked(scheduler):
    with pytest.raises(ValueError, match=r"local:N|local:2"), vintrel_dask.connect(scheduler):
        pass
