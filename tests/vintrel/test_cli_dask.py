"""`vintrel fit --dask`: the fit on a Dask cluster through `main(argv)`, on
clusters of worker threads in this process; Ctrl-C on worker processes."""

import functools
import os
import signal
import subprocess
import sys
import textwrap
import warnings

import dask
import dask.dataframe as dd
import distributed
import numpy as np
import pyarrow as pa
import pyarrow.compute as pc
import pyarrow.parquet as pq
import pytest

from vintrel import IncrementalHuberRegressor
from vintrel import dask as vintrel_dask
from vintrel._distributed import stream_partition, tree
from vintrel.cli import backends, main, progress
from vintrel.cli.cluster_fit import SPLIT_EVERY, fit_files, shared_start
from vintrel.cli.fit_run import finish_fit

from cli_data import FEATURES, LEVELS, frame, write
from synthetic_data import assert_same_estimate

BATCH = 1000
OPTIONS = ["--target", "y", "--features", *FEATURES, "--categorical", "region", "--weight", "weight",
           "--batch-rows", BATCH]


COLUMNS = [*FEATURES, "region", "y", "weight"]


def _write_parts(table, directory):
    for index in range(3):
        write(table.select(COLUMNS).slice(3000 * index, 3000), directory / f"part-{index}.parquet")
    return directory


@pytest.fixture(scope="module")
def train(tmp_path_factory):
    """One data set in three Parquet files of 3,000 rows, of the columns the
    fits use (so that Dask reads every file as one partition)."""
    return _write_parts(frame(9000, seed=11), tmp_path_factory.mktemp("train"))


@pytest.fixture(scope="module")
def cluster():
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=False,
                                  dashboard_address=":0") as cluster:
        yield cluster


@pytest.fixture
def in_process(monkeypatch):
    """`local:N` starts worker threads in this process instead of processes."""
    monkeypatch.setattr(distributed, "LocalCluster", functools.partial(distributed.LocalCluster, processes=False))


def run(capsys, *argv):
    status = main([str(a) for a in argv])
    out, err = capsys.readouterr()
    return status, out, err


@pytest.mark.parametrize("max_passes", [1, 20], ids=["merged", "passes"])
def test_a_local_cluster_fits_what_vintrel_dask_fits_and_reports_as_a_stream(train, cluster, tmp_path, capsys,
                                                                           monkeypatch, in_process, max_passes):
    monkeypatch.setattr(progress, "LINE_INTERVAL", 0.0)
    status, out, err = run(capsys, "fit", train, *OPTIONS, "--model", tmp_path / "m.npz", "--plot",
                           tmp_path / "fit.png", "--dask", "local:2", "--passes", max_passes)
    assert status == 0
    model = IncrementalHuberRegressor.load(tmp_path / "m.npz")
    assert (model.n_passes_ > 2) == (max_passes > 1)
    # Progress moves file by file, and says so, in the fit and in each pass.
    lines = err.strip().splitlines()
    rounds = ["fit", *(f"pass {n}" for n in range(2, model.n_passes_ + 1))]
    assert [line.split(", ")[0] for line in lines] == [f"{label}: {rows} rows of 9,000 ({share})" for label in rounds
                                                      for rows, share in (("3,000", "33%"), ("6,000", "67%"),
                                                                          ("9,000", "100%"))]
    assert lines[2].endswith("3 of 3 files folded") and lines[-1].endswith("3 of 3 files " + ("evaluated" if max_passes
                                                                                                > 1 else "folded"))
    assert "std. error" in out and "rows read        9,000" in out and "batches folded   9" in out
    assert "3 files streamed by 2 workers at local:2" in out
    assert ("estimate         the whole-data M-estimate" in out) == (max_passes > 1)
    assert (tmp_path / "fit.png").read_bytes()[:4] == b"\x89PNG"

    frames = dd.read_parquet(str(train))
    X = frames[FEATURES].assign(**{f"region={level}": (frames["region"] == level).astype("float64")
                                   for level in LEVELS[1:]})
    with distributed.Client(cluster):
        expected = vintrel_dask.fit(IncrementalHuberRegressor(batch_size=BATCH, max_passes=max_passes), X,
                                    frames["y"], frames["weight"])
    np.testing.assert_allclose(model.coef_, expected.coef_, rtol=1e-10)
    assert model.intercept_ == pytest.approx(expected.intercept_, rel=1e-12)
    assert (model.scale_, model.n_samples_seen_, model.n_batches_) == (expected.scale_, 9000, 9)
    assert model.get_params() == IncrementalHuberRegressor(max_passes=max_passes).get_params()
    assert list(model.get_feature_names_out()) == list(X.columns)

    status, out, _ = run(capsys, "show", tmp_path / "m.npz")
    assert status == 0 and "(complete)" in out and out.count("3,000 rows taken in") == 3


@pytest.mark.parametrize("options, check", [
    ([], lambda model, out: model.coef_.dtype == np.float64 and "std. error" in out),
    (["--dtype", "float32"], lambda model, out: model.coef_.dtype == np.float32),
    (["--penalty", "l1", "--alpha", "0.5"], lambda model, out: model.penalty == "l1" and "std. error" not in out),
], ids=["defaults", "float32", "l1"])
def test_options_mean_on_dask_what_they_mean_in_one_stream(train, cluster, tmp_path, capsys, options, check):
    data = tmp_path / "data"
    data.mkdir()
    for path in sorted(train.iterdir()):
        table = pq.read_table(path).to_pydict()
        if path.name == "part-2.parquet":
            table["load"][10:12] = [None, float("nan")]
        write(pa.table(table), data / path.name)
    options = [*OPTIONS, *options, "--nan", "drop", "--quiet"]
    assert run(capsys, "fit", data, *options, "--model", tmp_path / "one.npz")[0] == 0
    status, out, _ = run(capsys, "fit", data, *options, "--model", tmp_path / "dask.npz", "--dask",
                         cluster.scheduler_address)
    assert status == 0 and "rows dropped     2" in out
    model, stream = (IncrementalHuberRegressor.load(tmp_path / name) for name in ("dask.npz", "one.npz"))
    assert check(model, out) and model.n_samples_seen_ == stream.n_samples_seen_ == 8998
    assert model.get_params() == stream.get_params() and model.scale_ == pytest.approx(stream.scale_, rel=1e-4)
    # Both pass over the data to the whole-data estimate, to within the
    # passes' tolerance.
    np.testing.assert_allclose(model.coef_, stream.coef_, rtol=1e-3, atol=1e-6 * np.abs(stream.coef_).max())


def test_on_dask_and_in_one_process_the_passes_reach_one_answer_however_the_rows_are_ordered(tmp_path, capsys,
                                                                                            in_process):
    table = frame(9000, seed=11)
    table = table.take(pc.sort_indices(table, [("speed", "ascending")]))
    for index in range(3):  # each file holds one range of speeds
        write(table.slice(3000 * index, 3000), tmp_path / f"part-{index}.parquet")
    fits = {name: [*options, "--model", tmp_path / f"{name}.npz"] for name, options in
            {"dask": ["--dask", "local:2"], "one": [], "stream": ["--passes", "1"]}.items()}
    for options in fits.values():
        assert run(capsys, "fit", tmp_path / "part-*.parquet", *OPTIONS, *options, "--quiet")[0] == 0
    dask, one, stream = (IncrementalHuberRegressor.load(tmp_path / f"{name}.npz") for name in fits)
    assert_same_estimate(dask, one)
    # A single stream over rows in this order lands elsewhere.
    gap = {name: np.max(np.abs(model.coef_ - one.coef_) / one.coef_se_) for name, model in
           (("dask", dask), ("stream", stream))}
    assert gap["stream"] > 10 * gap["dask"], gap


def _spoil_third_file(directory):
    table = frame(9000, seed=11).to_pydict()
    table["speed"][7500] = None
    return _write_parts(pa.table(table), directory)


# Stands for the address of the test's cluster.
CLUSTER = ["--dask", "CLUSTER"]


@pytest.mark.parametrize("make, options, status, message", [
    (lambda d: d, [*CLUSTER, "--resume", "old.npz"], 2, "--resume continues a stream in this process and cannot be "
                                                         "combined with --dask"),
    (lambda d: d, ["--refine"], 2, "--refine refines the merge of a fit on Dask; it needs --dask"),
    (lambda d: d, ["--dask", "local:0"], 1, "--dask local:0: a local cluster needs a positive number of workers"),
    (lambda d: d, ["--dask", "tcp://127.0.0.1:1"], 1, "--dask tcp://127.0.0.1:1: cannot reach the scheduler "
                                                      "(Timed out trying to connect"),
    (_spoil_third_file, CLUSTER, 1, "part-2.parquet row 1,501: column 'speed' is empty, NaN or infinite; use --nan "
                                    "drop"),
    (lambda d: write(frame(5), d / "few.parquet"), CLUSTER, 1, "too little data to start: IncrementalHuberRegressor "
                                                              "needs more samples"),
], ids=["resume", "refine-alone", "local-spec", "unreachable", "bad-row-on-a-worker", "too-few-rows"])
def test_bad_input_is_one_line_and_leaves_the_model_file_as_it_was(train, cluster, tmp_path, capsys, make, options,
                                                                  status, message):
    data = tmp_path / "data"
    data.mkdir()
    for path in train.iterdir():
        write(pq.read_table(path), data / path.name)
    (tmp_path / "m.npz").write_bytes(b"an earlier model")
    options = [cluster.scheduler_address if option == "CLUSTER" else option for option in options]
    with dask.config.set({"distributed.comm.timeouts.connect": "0.2s"}):
        result = run(capsys, "fit", make(data), *OPTIONS, *options, "--model", tmp_path / "m.npz", "--quiet")
    assert result[0] == status and message in result[2] and len(result[2].strip().splitlines()) == 1
    assert (tmp_path / "m.npz").read_bytes() == b"an earlier model"


class _OneAfterAnother:
    """A backend's runner for tests: the tasks one after another, here."""

    def combine_files(self, work, shared, files, name, combine, on_done):
        results = []
        for index, task in enumerate(files):
            results.append(work(shared, task))
            on_done(index, results[-1])
        return tree(results, combine, SPLIT_EVERY)


def fit_serially(args, plan):
    """The adapter of the backend `--serial`, registered by the tests."""
    return finish_fit(args, plan, fit_files(args, plan, shared_start(plan), _OneAfterAnother()))


@pytest.fixture
def serial(monkeypatch):
    monkeypatch.setitem(backends.BACKENDS, "serial", backends.Backend(
        "Serial", "--serial", "ANY", "fit one file after another", f"{__name__}:fit_serially"))


@pytest.mark.parametrize("refine", [False, True], ids=["merged", "refined"])
def test_a_registered_backend_fits_what_dask_fits(train, cluster, tmp_path, capsys, monkeypatch, serial, refine):
    # --refine makes one pass after the merge, whatever --passes says.
    refining = ["--passes", "1", *(["--refine"] if refine else [])]
    with monkeypatch.context() as without_dask:
        for name in ("dask", "distributed"):
            without_dask.setitem(sys.modules, name, None)
        status, out, err = run(capsys, "fit", train, *OPTIONS, "--model", tmp_path / "serial.npz", "--serial", "-",
                               *refining, "--quiet")
    assert status == 0 and "rows read        9,000" in out and "batches folded   9" in out
    assert ("passes           2 over the data (the first streamed), NOT converged" in out) == refine
    assert ("warning: the passes did not converge within --passes 2" in err) == refine and "on Dask" not in out
    assert run(capsys, "fit", train, *OPTIONS, "--model", tmp_path / "dask.npz", "--dask", cluster.scheduler_address,
               *refining, "--quiet")[0] == 0
    model, expected = (IncrementalHuberRegressor.load(tmp_path / name) for name in ("serial.npz", "dask.npz"))
    np.testing.assert_allclose(model.coef_, expected.coef_, rtol=1e-10)
    assert model.intercept_ == pytest.approx(expected.intercept_, rel=1e-10)
    assert (model.scale_, model.n_samples_seen_, model.n_batches_) == (expected.scale_, 9000, 9)


@pytest.mark.parametrize("options, message", [
    (["--serial", "-", "--resume", "old.npz"], "cannot be combined with --serial; resume without --serial, or fit the "
                                               "whole data set again on Serial"),
    (["--refine"], "--refine refines the merge of a fit on Dask or Serial; it needs --dask or --serial"),
    (["--serial", "-", "--dask", "local:2"], "--dask and --serial cannot be combined"),
], ids=["resume", "refine-alone", "two-backends"])
def test_the_options_of_registered_backends_are_checked_alike(train, tmp_path, capsys, serial, options, message):
    status, _, err = run(capsys, "fit", train, *OPTIONS, *options, "--model", tmp_path / "m.npz")
    assert status == 2 and message in err and not (tmp_path / "m.npz").exists()


def test_worker_streams_issue_no_warnings_and_report_what_did_not_converge():
    # Warning filters are shared by the tasks a worker runs at once, so
    # worker tasks must not issue (or catch) warnings.
    table = frame(1800, seed=3)
    X, y = table.select(FEATURES).to_pandas().to_numpy(), table["y"].to_numpy()
    start = IncrementalHuberRegressor(max_iter=1).initialize(X[:600], y[:600]).export_state()
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        state, not_converged = stream_partition(start, [(X[600:1200] * 3, y[600:1200], None),
                                                        (X[1200:], y[1200:], None)])
    assert not_converged == [1, 2] and state.engine.n_samples_seen == 1200


def test_without_dask_the_option_names_the_extra(train, tmp_path, capsys, monkeypatch):
    monkeypatch.setitem(sys.modules, "dask", None)
    for name in ("vintrel.dask", "vintrel.cli.dask_fit"):
        monkeypatch.delitem(sys.modules, name, raising=False)
    status, _, err = run(capsys, "fit", train, *OPTIONS, "--model", tmp_path / "m.npz", "--dask", "local:2")
    assert status == 1 and err.startswith("vintrel fit: --dask: ") and "pip install 'vintrel[dask]'" in err


# Runs the command with each file's stream held up on the worker after
# announcing itself, so that the test interrupts it in the middle of the fit.
HELD_UP = textwrap.dedent("""
    import sys, time
    from vintrel.cli import cluster_fit, main
    fold = cluster_fit.fold_file
    def held_up(start, task):
        sys.stderr.write("folding\\n")  # one write: workers share the pipe
        sys.stderr.flush()
        time.sleep(1)
        return fold(start, task)
    cluster_fit.fold_file = held_up
    if __name__ == "__main__":
        sys.exit(main(sys.argv[1:]))
""")


def test_ctrl_c_on_worker_processes_cancels_the_fit_and_writes_nothing(train, tmp_path):
    script = tmp_path / "held_up.py"
    script.write_text(HELD_UP)
    # A session of its own, so that Ctrl-C can go to the whole process
    # group, workers included, as a terminal sends it.
    child = subprocess.Popen([sys.executable, str(script), "fit", str(train), *map(str, OPTIONS), "--model",
                              str(tmp_path / "m.npz"), "--dask", "local:2", "--quiet"], stderr=subprocess.PIPE,
                             text=True, start_new_session=True,
                             preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL))
    assert child.stderr is not None
    assert child.stderr.readline() == "folding\n"
    os.killpg(child.pid, signal.SIGINT)
    rest = child.stderr.read()
    assert child.wait(timeout=60) == 130
    assert rest.strip().splitlines() == [line for line in rest.strip().splitlines() if line == "folding"] + [
        "vintrel fit: interrupted: the work on the cluster was cancelled and no model was written "
        "(a fit on Dask cannot be resumed; run it again)"]
    assert not (tmp_path / "m.npz").exists()
