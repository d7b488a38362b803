"""The `vintrel` command driven through `main(argv)`: what it fits, writes
and prints, how it resumes, and how it refuses bad input."""

import contextlib
import dataclasses
import os
import re
import shutil
import subprocess
import sys
import time

import numpy as np
import pyarrow as pa
import pyarrow.csv as pacsv
import pyarrow.parquet as pq
import pytest

from vintrel import IncrementalHuberRegressor, _model_format, model_file
from vintrel._passes import Passes, PassSums, evaluate_batch
from vintrel.cli import fit as fit_command
from vintrel.cli import main, progress
from vintrel.cli.encoding import Encoder
from vintrel.cli.model_record import METADATA_KEY
from vintrel.cli.pass_record import PassInProgress, PassRecord
from vintrel.cli.plot import fit_figure
from vintrel.cli.printable import printable

from cli_data import FEATURES, LEVELS, frame, write
from synthetic_data import assert_same_estimate

TRAIN = ["--target", "y", "--features", *FEATURES, "--categorical", "region", "--weight", "weight"]


@pytest.fixture(scope="module")
def train(tmp_path_factory):
    """A directory of two Parquet files of 3,000 rows each."""
    directory = tmp_path_factory.mktemp("train")
    write(frame(3000, seed=1), directory / "part-0.parquet")
    write(frame(3000, seed=2), directory / "part-1.parquet")
    return directory


def run(capsys, *argv):
    status = main([str(a) for a in argv])
    out, err = capsys.readouterr()
    return status, out, err


def encode(table):
    """The design the command should build: the features, then the
    region indicators with the first level dropped."""
    numeric = np.column_stack([table[name].to_numpy() for name in FEATURES])
    region = np.asarray(table["region"].to_pylist())
    return np.column_stack([numeric, *((region == level).astype(float) for level in LEVELS[1:])])


def test_fit_equals_the_estimator_fed_the_same_batches(train, tmp_path, capsys):
    # --passes 1 is the single stream: partial_fit on the same batches.
    status, out, _ = run(capsys, "fit", train, *TRAIN, "--batch-rows", 1500, "--passes", 1, "--model",
                         tmp_path / "m.npz", "--plot", tmp_path / "fit.png", "--quiet")
    assert status == 0
    table = pa.concat_tables([pq.read_table(train / "part-0.parquet"), pq.read_table(train / "part-1.parquet")])
    X, y, w = encode(table), table["y"].to_numpy(), table["weight"].to_numpy()
    reference = IncrementalHuberRegressor()
    for start in range(0, 6000, 1500):
        reference.partial_fit(X[start:start + 1500], y[start:start + 1500], w[start:start + 1500])
    model = IncrementalHuberRegressor.load(tmp_path / "m.npz")
    np.testing.assert_allclose(model.coef_, reference.coef_, rtol=1e-13)
    assert list(model.get_feature_names_out()) == [*FEATURES, "region=north", "region=south"]
    assert list(model.feature_names_in_) == [*FEATURES, "region"]
    assert "region=north" in out and "rows read        6,000" in out and "not converged    0" in out
    assert "estimate         the stream's" in out
    assert (tmp_path / "fit.png").read_bytes()[:4] == b"\x89PNG"

    # By default passes follow the stream: `fit` on the same batches. The
    # command's stream refines its scale as it goes, fit's first stream does
    # not, so the passes start apart and meet within their tolerance.
    status, out, _ = run(capsys, "fit", train, *TRAIN, "--batch-rows", 1500, "--model", tmp_path / "m.npz", "--quiet")
    expected = IncrementalHuberRegressor(batch_size=1500).fit(X, y, w)
    model = IncrementalHuberRegressor.load(tmp_path / "m.npz")
    assert_same_estimate(model, expected)
    assert expected.n_passes_ > 2
    assert re.search(r"passes +\d+ over the data \(the first streamed\), converged", out)
    assert "estimate         the whole-data M-estimate" in out

    status, out, _ = run(capsys, "show", tmp_path / "m.npz")
    assert status == 0 and "6,000 rows in 4 updates" in out and "region: east, north, south" in out
    assert "(intercept)" in out and "(complete)" in out
    assert f"passes       {expected.n_passes_} over the data, converged: the whole-data M-estimate" in out


@pytest.mark.parametrize("ending", [".parquet", ".csv"])
def test_predict_streams_predictions_with_kept_columns(train, tmp_path, capsys, ending):
    run(capsys, "fit", train, *TRAIN, "--model", tmp_path / "m.npz", "--quiet")
    held_out = frame(500, seed=9).to_pydict()
    held_out["region"][:3] = ["west"] * 3  # a level unseen when fitting
    write(pa.table(held_out), tmp_path / "held-out.parquet", row_group_size=128)
    output = tmp_path / f"predictions{ending}"
    status, out, _ = run(capsys, "predict", tmp_path / "m.npz", tmp_path / "held-out.parquet", "--keep", "id",
                         "region", "--output", output, "--batch-rows", 200, "--quiet")
    assert status == 0 and "wrote 500 predictions" in out
    assert "3 rows have a level of 'region' not seen when fitting" in out
    written = pq.read_table(output) if ending == ".parquet" else pa.csv.read_csv(output)
    assert written.column_names == ["id", "region", "prediction"]
    assert written["id"].to_pylist() == held_out["id"] and written["region"].to_pylist() == held_out["region"]
    model = IncrementalHuberRegressor.load(tmp_path / "m.npz")
    expected = encode(pa.table(held_out)) @ model.coef_ + model.intercept_
    np.testing.assert_allclose(written["prediction"].to_numpy(), expected, rtol=1e-14)


@pytest.mark.filterwarnings("ignore:X does not have valid feature names")
def test_predict_adds_interval_bounds_and_scores(train, tmp_path, capsys):
    run(capsys, "fit", train, *TRAIN, "--model", tmp_path / "m.npz", "--quiet")
    held_out = frame(500, seed=9)
    write(held_out, tmp_path / "held-out.parquet", row_group_size=128)
    status, _, _ = run(capsys, "predict", tmp_path / "m.npz", tmp_path / "held-out.parquet", "--keep", "id",
                       "--interval", 0.8, "--scores", "--output", tmp_path / "out.parquet", "--batch-rows", 200,
                       "--quiet")
    written = pq.read_table(tmp_path / "out.parquet")
    assert status == 0 and written.column_names == ["id", "prediction", "lower", "upper", "residual",
                                                    "scaled_residual", "outlier"]
    model = IncrementalHuberRegressor.load(tmp_path / "m.npz")
    X = encode(held_out)
    bounds = np.column_stack([written["lower"].to_numpy(), written["upper"].to_numpy()])
    np.testing.assert_allclose(bounds, model.predict_interval(X, 0.8), rtol=1e-12)
    residual = held_out["y"].to_numpy() - model.predict(X)
    np.testing.assert_allclose(written["residual"].to_numpy(), residual, rtol=1e-9, atol=1e-9)
    np.testing.assert_allclose(written["scaled_residual"].to_numpy(), residual / model.scale_, rtol=1e-9, atol=1e-9)
    assert written["outlier"].to_pylist() == list(np.abs(residual / model.scale_) > 3)


def _without_residuals(d):
    saved = model_file.read(d / "m.npz")
    _model_format.write(d / "m.npz", saved.estimator.export_state().replace(residuals=None), saved.metadata)


@pytest.mark.parametrize("spoil, options, status, message", [
    (lambda d: write(frame(50).drop_columns(["y"]), d / "new.parquet"), ["--scores"], 1,
     "--scores needs the model's target column 'y', which"),
    (_without_residuals, ["--interval", "0.9"], 1, "m.npz: this model carries no residual distribution"),
    (lambda d: write(frame(50).append_column("upper", pa.array(np.zeros(50))), d / "new.parquet"),
     ["--interval", "0.5", "--keep", "upper"], 1, "--keep upper: the output has a column of that name"),
    (lambda d: None, ["--interval", "1"], 2, "expected a coverage between 0 and 1"),
], ids=["scores-without-target", "model-without-residuals", "name-clash", "coverage"])
def test_predict_refuses_intervals_and_scores_it_cannot_give(train, tmp_path, capsys, spoil, options, status,
                                                              message):
    run(capsys, "fit", train, *TRAIN, "--model", tmp_path / "m.npz", "--quiet")
    write(frame(50), tmp_path / "new.parquet")
    spoil(tmp_path)
    code, _, err = run(capsys, "predict", tmp_path / "m.npz", tmp_path / "new.parquet", "--output",
                       tmp_path / "out.csv", *options, "--quiet")
    assert code == status and message in err and len(err.strip().splitlines()) == 1
    assert not (tmp_path / "out.csv").exists()


@pytest.mark.parametrize("ending", [".csv", ".arrow"])
def test_csv_and_arrow_files_fit_like_parquet(tmp_path, capsys, ending):
    table = frame(4000, seed=3)
    write(table, tmp_path / "data.parquet")
    write(table, tmp_path / f"data{ending}")
    for name in ("data.parquet", f"data{ending}"):
        # Every numeric column, the boolean `wet` included, is a feature.
        assert run(capsys, "fit", tmp_path / name, "--target", "y", "--categorical", "region", "--batch-rows", 1000,
                   "--model", tmp_path / f"{name}.npz", "--quiet")[0] == 0
    parquet, other = (IncrementalHuberRegressor.load(tmp_path / f"{n}.npz") for n in ("data.parquet", f"data{ending}"))
    np.testing.assert_allclose(other.coef_, parquet.coef_, rtol=1e-12)
    assert "wet" in other.feature_names_in_


class _StopAfter:
    """A stop request that turns true after a number of checks, as Ctrl-C
    after that many batches would."""

    def __init__(self, batches):
        self.left = batches

    def __bool__(self):
        self.left -= 1
        return self.left < 0


def test_an_interrupted_then_resumed_fit_equals_an_uninterrupted_one(train, tmp_path, capsys, monkeypatch):
    data = tmp_path / "data"
    shutil.copytree(train, data)
    options = [*TRAIN, "--batch-rows", 700]
    assert run(capsys, "fit", data, *options, "--model", tmp_path / "whole.npz", "--quiet")[0] == 0

    monkeypatch.setattr(fit_command, "stop_on_interrupt", lambda: contextlib.nullcontext(_StopAfter(5)))
    status, _, err = run(capsys, "fit", data, *options, "--model", tmp_path / "part.npz", "--quiet")
    assert status == 130 and "interrupted: the model as of batch 5 (3,500 rows) is saved" in err
    monkeypatch.undo()
    status, out, _ = run(capsys, "fit", data, "--resume", tmp_path / "part.npz", "--model", tmp_path / "part.npz",
                         "--quiet")
    assert status == 0 and "rows read        2,500" in out
    whole, resumed = (IncrementalHuberRegressor.load(tmp_path / n) for n in ("whole.npz", "part.npz"))
    np.testing.assert_array_equal(resumed.coef_, whole.coef_)
    assert resumed.n_batches_ == whole.n_batches_

    # A file added later is folded whole; what was folded is not folded again.
    write(frame(1000, seed=5), data / "part-2.parquet")
    status, out, _ = run(capsys, "fit", data, "--resume", tmp_path / "part.npz", "--model", tmp_path / "more.npz")
    assert status == 0 and "rows read        1,000" in out and "resuming: 6,000 rows" in out
    assert IncrementalHuberRegressor.load(tmp_path / "more.npz").n_samples_seen_ == 7000


@pytest.mark.parametrize("first, again, status, message", [
    (["STOP", 12], [], 130, "interrupted in pass 2 after 700 of its rows: the estimate of pass 1 (the stream) and the "
                            "pass so far are saved in"),
    # Pass 3 keeps the values near the median it expects.
    (["STOP", 25], [], 130, "interrupted in pass 3 after"),
    (["--passes", 2], ["--passes", 20], 0, "warning: the passes did not converge within --passes 2"),
    (["--passes", 1], [], 0, None),
], ids=["stopped-in-pass-2", "stopped-in-pass-3", "passes-exhausted", "written-before-passes"])
def test_resuming_continues_the_passes_to_what_an_uninterrupted_fit_gives(train, tmp_path, capsys, monkeypatch,
                                                                          first, again, status, message):
    options = [*TRAIN, "--batch-rows", 700, "--quiet"]
    assert run(capsys, "fit", train, *options, "--model", tmp_path / "whole.npz")[0] == 0
    if first[0] == "STOP":
        checks, first = first[1], []
        monkeypatch.setattr(fit_command, "stop_on_interrupt", lambda: contextlib.nullcontext(_StopAfter(checks)))
    result = run(capsys, "fit", train, *options, *first, "--model", tmp_path / "part.npz")
    assert result[0] == status and result[2].strip().splitlines() == ([] if message is None else [result[2].strip()])
    assert message is None or message in result[2]
    monkeypatch.undo()
    if first == ["--passes", 1]:  # a model file written before there were passes has neither setting
        saved = model_file.read(tmp_path / "part.npz")
        state = saved.estimator.export_state()
        params = {name: value for name, value in state.params.items() if name not in ("max_passes", "pass_tol")}
        _model_format.write(tmp_path / "part.npz", state.replace(params=params), saved.metadata)
    # The saved estimate is that of the last complete pass; show reads it.
    status, out, _ = run(capsys, "show", tmp_path / "part.npz")
    assert status == 0 and (message is None) == ("passes " not in out)

    status, out, _ = run(capsys, "fit", train, "--resume", tmp_path / "part.npz", *again, "--model",
                         tmp_path / "part.npz", "--quiet")
    assert status == 0 and "rows read        0" in out and "estimate         the whole-data M-estimate" in out
    whole, resumed = (IncrementalHuberRegressor.load(tmp_path / n) for n in ("whole.npz", "part.npz"))
    np.testing.assert_array_equal(resumed.coef_, whole.coef_)
    assert (resumed.intercept_, resumed.scale_, resumed.n_passes_) == (whole.intercept_, whole.scale_, whole.n_passes_)


def test_passes_need_every_row_the_resumed_model_has_taken_in(train, tmp_path, capsys):
    run(capsys, "fit", train / "part-0.parquet", *TRAIN, "--model", tmp_path / "m.npz", "--quiet")
    status, out, _ = run(capsys, "fit", train / "part-1.parquet", "--resume", tmp_path / "m.npz", "--model",
                         tmp_path / "m.npz", "--quiet")
    assert status == 0 and "passes           none: only the stream" in out
    assert f"the stream's, not the whole-data one: the model has taken in rows of {train / 'part-0.parquet'}" in out
    assert IncrementalHuberRegressor.load(tmp_path / "m.npz").n_samples_seen_ == 6000


def _pass_in_progress():
    """A fitted model and the record of its third pass stopped after two
    weighted batches: the median then keeps values near the expected one."""
    table = frame(3000, seed=4)
    X, y, w = encode(table), table["y"].to_numpy(), table["weight"].to_numpy()
    model = IncrementalHuberRegressor().fit(X[:1000], y[:1000], w[:1000])
    passes = Passes(model.export_state())
    for batches in (3, 3, 2):
        sums = PassSums.empty(X.shape[1] + 1, passes.point)
        for start in range(0, 1000 * batches, 1000):
            evaluate_batch(passes.state, passes.point, sums, X[start:start + 1000], y[start:start + 1000],
                           w[start:start + 1000])
        if batches == 3:
            passes.finish(sums)
    assert sums.median.held and sums.median.bracket is not None
    return model, PassRecord.of(passes, PassInProgress(sums, {"/data/a.parquet": 2000}))


def test_the_record_of_a_pass_in_progress_keeps_every_sum(tmp_path):
    model, record = _pass_in_progress()
    model_file.save(tmp_path / "m.npz", model, {"record": record.to_metadata()})
    back = PassRecord.from_metadata(model_file.read(tmp_path / "m.npz").metadata["record"], 6)
    assert (back.n_passes, back.converged, back.failed) == (3, False, False)
    assert back.in_progress.read_through == {"/data/a.parquet": 2000}
    sums, read = record.in_progress.sums, back.in_progress.sums
    # Every field, so that one added later and not saved is caught.
    for kept, restored in ((record.point, back.point), (sums, read), (sums.median, read.median),
                           (sums.residuals, read.residuals)):
        for field in dataclasses.fields(kept):
            if field.name not in ("median", "held", "residuals"):
                np.testing.assert_array_equal(getattr(restored, field.name), getattr(kept, field.name),
                                              err_msg=field.name)
    assert read.median.result() == sums.median.result()
    np.testing.assert_array_equal(np.concatenate([v for v, _ in read.median.held]),
                                  np.concatenate([v for v, _ in sums.median.held]))


@pytest.mark.parametrize("damage", [
    lambda passes: passes["point"].update(step=np.zeros(3)),
    lambda passes: passes["in_progress"]["sums"].update(gram=np.zeros((6, 5))),
    lambda passes: passes["in_progress"]["sums"]["median"].update(unit=2.5),
    lambda passes: passes.update(n_passes=0),
], ids=["short-step", "gram-shape", "median-of-another-pass", "no-passes"])
def test_a_damaged_pass_record_is_refused(train, tmp_path, capsys, monkeypatch, damage):
    monkeypatch.setattr(fit_command, "stop_on_interrupt", lambda: contextlib.nullcontext(_StopAfter(25)))
    run(capsys, "fit", train, *TRAIN, "--batch-rows", 700, "--model", tmp_path / "m.npz", "--quiet")
    saved = model_file.read(tmp_path / "m.npz")
    damage(saved.metadata[METADATA_KEY]["passes"])
    model_file.save(tmp_path / "m.npz", saved.estimator, saved.metadata)
    status, _, err = run(capsys, "show", tmp_path / "m.npz")
    assert status == 1 and "the command line's record in the model file is damaged" in err


@pytest.mark.parametrize("options, message", [
    (["--epsilon", "2"], "--epsilon 2.0 differs from the resumed model's 1.35"),
    (["--features", "speed", "load"], "the resumed model uses features speed, load, temperature, region"),
    (["--dtype", "float32"], "--dtype float32 differs from the resumed model's float64"),
], ids=["settings", "features", "dtype"])
def test_a_resumed_fit_keeps_its_settings_and_features(train, tmp_path, capsys, options, message):
    run(capsys, "fit", train, *TRAIN, "--model", tmp_path / "m.npz", "--quiet")
    status, _, err = run(capsys, "fit", train, "--resume", tmp_path / "m.npz", *options, "--model", tmp_path / "n.npz")
    assert status == 1 and message in err and not (tmp_path / "n.npz").exists()


def _with(rows, column, values):
    table = frame(rows, seed=7).to_pydict()
    table[column][: len(values)] = values
    return pa.table(table)


def _write_text(name, text):
    return lambda directory: (directory / name).write_text(text) and directory / name


@pytest.mark.parametrize("make, options, message", [
    (lambda d: d / "absent.parquet", [], "absent.parquet: no such file or directory"),
    (lambda d: d / "*.parquet", [], "*.parquet: no file matches"),
    (_write_text("noise.parquet", "not parquet"), [], "noise.parquet: cannot read it"),
    (_write_text("ragged.csv", "speed,load,temperature,y\n1,2,3,4\n1,2,3,4,5\n"), ["--target", "y"],
     "ragged.csv: cannot read it: CSV parse error: Row #3: Expected 4 columns, got 5"),
    # Past the first megabyte, which fixes the column types.
    (_write_text("text.csv", "speed,y\n" + "1.5,2.5\n" * 200_000 + "heavy,3\n"),
     ["--target", "y", "--batch-rows", 300_000], "line 200002: column 'speed' holds 'heavy', which is not a number"),
    (lambda d: write(frame(100), d / "a.parquet"), ["--target", "y", "--features", "sped"],
     "no column 'sped'; did you mean 'speed'?"),
    (lambda d: write(frame(100), d / "a.parquet"), ["--target", "y", "--features", "speed", "region"],
     "non-numeric feature column region; list it with --categorical"),
    (lambda d: write(_with(100, "load", [1.0, None]), d / "a.parquet"), ["--target", "y"],
     "a.parquet row 2: column 'load' is empty, NaN or infinite; use --nan drop"),
    (lambda d: write(_with(100, "y", [1.0, 2.0, float("nan")]), d / "a.parquet"), ["--target", "y"],
     "a.parquet row 3: column 'y' is empty, NaN or infinite"),
    (_write_text("gap.csv", "speed,y\n1,2\n,3\n" + "1,1\n" * 50), ["--target", "y"],
     "gap.csv row 2: column 'speed' is empty, NaN or infinite"),
    (lambda d: write(_with(100, "weight", [1.0, -0.5]), d / "a.parquet"), ["--target", "y", "--weight", "weight"],
     "a.parquet row 2: column 'weight' holds a negative weight (-0.5)"),
    (lambda d: write(frame(100).slice(0, 0), d / "a.parquet"), ["--target", "y"], "the data set has no rows"),
    (_write_text("header.csv", "speed,y\n"), ["--target", "y"], "the data set has no rows"),
    (lambda d: write(frame(3), d / "a.parquet"), ["--target", "y", "--features", *FEATURES],
     "too little data: IncrementalHuberRegressor needs more samples than parameters"),
], ids=["missing", "glob", "unreadable", "ragged-csv", "text-in-csv", "misspelled", "non-numeric", "null",
        "nan-target", "empty-csv-field", "negative-weight", "empty-parquet", "empty-csv", "too-few-rows"])
def test_bad_input_gets_one_line_and_no_model(tmp_path, capsys, make, options, message):
    data = make(tmp_path)
    status, _, err = run(capsys, "fit", data, *options, "--model", tmp_path / "m.npz", "--quiet")
    assert status == 1 and message in err and len(err.strip().splitlines()) == 1
    assert not (tmp_path / "m.npz").exists()


def _failing_third_batch(monkeypatch):
    encode = Encoder.encode
    calls = iter(range(100))

    def fail_on_third(self, *args, **kwargs):
        if next(calls) == 2:
            raise pa.ArrowInvalid("decimal value out of range")
        return encode(self, *args, **kwargs)

    monkeypatch.setattr(Encoder, "encode", fail_on_third)


@pytest.mark.parametrize("load, spoil, message", [
    ([1.0] * 2000 + [None], None, "a.parquet row 2,001: column 'load' is empty"),
    ([], _failing_third_batch, "a.parquet row 2,001: decimal value out of range"),
], ids=["missing-value", "reader-failure"])
def test_a_bad_batch_mid_stream_keeps_what_was_folded(tmp_path, capsys, monkeypatch, load, spoil, message):
    write(_with(3000, "load", load), tmp_path / "a.parquet")
    if spoil is not None:
        spoil(monkeypatch)
    status, _, err = run(capsys, "fit", tmp_path / "a.parquet", "--target", "y", "--batch-rows", 1000,
                         "--model", tmp_path / "m.npz", "--quiet")
    assert status == 1 and message in err and "saved in" in err
    assert IncrementalHuberRegressor.load(tmp_path / "m.npz").n_samples_seen_ == 2000


def test_a_data_set_too_short_to_start_a_stream_is_fitted_whole(tmp_path, capsys):
    write(frame(12), tmp_path / "a.parquet")
    status, out, _ = run(capsys, "fit", tmp_path / "a.parquet", "--target", "y", "--features", *FEATURES,
                         "--model", tmp_path / "m.npz", "--quiet")
    assert status == 0 and "12 rows in 1 update," in out


def test_rows_with_missing_values_can_be_dropped_and_are_counted(tmp_path, capsys):
    write(_with(2000, "load", [None, float("nan"), float("inf")]), tmp_path / "a.parquet")
    status, out, _ = run(capsys, "fit", tmp_path / "a.parquet", "--target", "y", "--nan", "drop",
                         "--model", tmp_path / "m.npz", "--quiet")
    assert status == 0 and "rows dropped     3" in out
    assert IncrementalHuberRegressor.load(tmp_path / "m.npz").n_samples_seen_ == 1997
    # The first batch of predictions loses every row.
    status, out, _ = run(capsys, "predict", tmp_path / "m.npz", tmp_path / "a.parquet", "--nan", "drop",
                         "--batch-rows", 3, "--keep", "id", "--output", tmp_path / "p.parquet", "--quiet")
    assert status == 0 and "wrote 1,997 predictions for 2,000 rows" in out and "left out 3 rows" in out
    assert pq.read_table(tmp_path / "p.parquet")["id"].to_pylist() == list(range(7_000_003, 7_002_000))


def test_progress_is_plain_lines_off_a_terminal_and_absent_when_quiet(train, tmp_path, capsys, monkeypatch):
    monkeypatch.setattr(progress, "LINE_INTERVAL", 0.0)
    _, _, err = run(capsys, "fit", train, *TRAIN, "--batch-rows", 2000, "--model", tmp_path / "m.npz")
    lines = err.strip().splitlines()
    passes = IncrementalHuberRegressor.load(tmp_path / "m.npz").n_passes_
    # The stream, then each later pass, a line per batch.
    assert [line.split(", ")[0] for line in lines] == [f"{label}: {rows} rows of 6,000 ({share})"
                                                      for label in ["fit", *(f"pass {n}" for n in range(2, passes + 1))]
                                                      for rows, share in (("2,000", "33%"), ("4,000", "67%"),
                                                                          ("6,000", "100%"))]
    assert "rows/s" in lines[2] and "s left" in lines[2] and "converged" in lines[2]
    assert "from the stream's estimate" in lines[3] and "last step" in lines[-1]
    assert run(capsys, "fit", train, *TRAIN, "--model", tmp_path / "m.npz", "--quiet")[2] == ""


@pytest.mark.parametrize("penalty", ["none", "l1"])
def test_the_coefficient_table_shows_the_models_standard_errors_and_intervals(train, tmp_path, capsys, penalty):
    run(capsys, "fit", train, *TRAIN, "--penalty", penalty, "--model", tmp_path / "m.npz", "--quiet")
    status, out, _ = run(capsys, "show", tmp_path / "m.npz")
    assert status == 0
    header = next(line for line in out.splitlines() if line.startswith("feature"))
    intercept_row = out.strip().splitlines()[-1].split()
    model = IncrementalHuberRegressor.load(tmp_path / "m.npz")
    if penalty == "l1":  # no standard errors
        assert header.split() == ["feature", "coefficient"]
        return
    assert header.split() == ["feature", "coefficient", "std.", "error", "z", "95%", "low", "95%", "high"]
    low, high = model.conf_int(0.05)[-1]
    assert [float(value) for value in intercept_row[2:]] == pytest.approx(
        [model.intercept_se_, model.intercept_ / model.intercept_se_, low, high], rel=1e-3)


@pytest.mark.parametrize("model, output, options, message", [
    ("m.npz", "out.json", [], "expected a name ending in .parquet or .csv"),
    ("m.npz", "missing/out.csv", [], "does not exist"),
    ("m.npz", "held-out.parquet", [], "is one of the input files"),
    ("m.npz", "out.csv", ["--keep", "idd"], "no column 'idd'; did you mean 'id'?"),
    ("cut.npz", "out.csv", [], "not a complete vintrel model file"),
    ("m.npz", "out.csv", ["--batch-rows", "50"], "held-out.parquet row 81: column 'load' is empty"),
], ids=["format", "directory", "overwrite-input", "keep", "truncated-model", "missing-value-mid-stream"])
def test_predict_refuses_bad_outputs_and_models(train, tmp_path, capsys, model, output, options, message):
    run(capsys, "fit", train, *TRAIN, "--model", tmp_path / "m.npz", "--quiet")
    (tmp_path / "cut.npz").write_bytes((tmp_path / "m.npz").read_bytes()[:300])
    write(_with(100, "load", [1.0] * 80 + [None]), tmp_path / "held-out.parquet")
    before = sorted(tmp_path.iterdir())
    status, _, err = run(capsys, "predict", tmp_path / model, tmp_path / "held-out.parquet", "--output",
                         tmp_path / output, *options, "--quiet")
    assert status == 1 and message in err and len(err.strip().splitlines()) == 1
    assert sorted(tmp_path.iterdir()) == before


# ------------------------------------------- outputs and resumes under attack

def _hard_link(name, to):
    return lambda d: (d / name).hardlink_to(d / to)


def _symlink(name, to):
    return lambda d: (d / name).symlink_to(d / to)


def _replace_part_1(rows, seed):
    return lambda d: write(frame(rows, seed=seed), d / "data" / "part-1.parquet")


def _rename(before, after):
    return lambda d: (d / before).rename(d / after)


def _strip_identities(d):
    """Make m.npz a model file of an earlier version: no file identities."""
    saved = model_file.read(d / "m.npz")
    for entry in saved.metadata["command_line"]["files"]:
        entry.pop("identity", None)
    model_file.save(d / "m.npz", saved.estimator, saved.metadata)


def _appended_csv(d):
    """log.npz fitted on log.csv, to which 1,000 rows were appended since."""
    write(frame(2000, seed=3), d / "log.csv")
    assert main(["fit", str(d / "log.csv"), "--target", "y", "--model", str(d / "log.npz"), "--quiet"]) == 0
    more = pa.BufferOutputStream()
    pacsv.write_csv(frame(1000, seed=4), more, pacsv.WriteOptions(include_header=False))
    with (d / "log.csv").open("ab") as log:
        log.write(more.getvalue().to_pybytes())


def _killed_saves(d):
    """Beside m.npz, the temporary file of a save whose process was killed
    (`.ffffffff.tmp`) and one named for a live writer (`.00000000.tmp`)."""
    code = ("import os, sys\nfrom vintrel._atomic import atomic_write\n"
            "with atomic_write(sys.argv[1]) as temporary:\n    temporary.write_bytes(b'half')\n    os._exit(9)")
    subprocess.run([sys.executable, "-c", code, str(d / "m.npz")], check=False)
    [left] = d.glob(".m.npz.*.tmp")
    host = re.fullmatch(r"\.m\.npz\.[0-9]+@([0-9a-f]{8})\.[0-9a-f]{8}\.tmp", left.name)[1]
    left.rename(d / left.name.replace(left.name[-12:], "ffffffff.tmp"))
    (d / f".m.npz.{os.getppid()}@{host}.00000000.tmp").write_bytes(b"being written")


RESUME = ["fit", "{d}/data", "--resume", "{d}/m.npz", "--model", "{d}/m.npz"]


@pytest.mark.parametrize("setup, argv, status, message, read, unchanged, gone", [
    (None, ["fit", "{d}/data", *TRAIN, "--model", "{d}/m.npz", "--plot", "{d}/m.npz"],
     1, "--plot {d}/m.npz: is the same file as --model {d}/m.npz", None, ["m.npz"], []),
    (_hard_link("plot.png", "m.npz"), ["fit", "{d}/data", *TRAIN, "--model", "{d}/m.npz", "--plot", "{d}/plot.png"],
     1, "--plot {d}/plot.png: is the same file as --model", None, ["m.npz"], []),
    (None, ["fit", "{d}/data", "--resume", "{d}/m.npz", "--model", "{d}/n.npz", "--plot", "{d}/m.npz"],
     1, "--plot {d}/m.npz: is the same file as --resume", None, ["m.npz"], ["n.npz"]),
    (_hard_link("copy.npz", "data/part-0.parquet"), ["fit", "{d}/data", *TRAIN, "--model", "{d}/copy.npz"],
     1, "--model {d}/copy.npz: is one of the input files", None, ["data/part-0.parquet"], []),
    (_symlink("p.csv", "m.npz"), ["predict", "{d}/m.npz", "{d}/data", "--output", "{d}/p.csv"],
     1, "--output {d}/p.csv: is the same file as the model file", None, ["m.npz"], []),
    (None, [*RESUME, "--target", "load"], 1, "--target load: differs from the resumed model's target 'y'", None,
     ["m.npz"], []),
    (_replace_part_1(3000, seed=8), RESUME, 1,
     "part-1.parquet: the model folded 3,000 rows of a file of this name whose content differs", None, ["m.npz"], []),
    (_replace_part_1(4000, seed=2), RESUME, 1, "part-1.parquet: the model folded 3,000 rows", None, ["m.npz"], []),
    (_rename("data/part-1.parquet", "data/part-9.parquet"), RESUME, 0,
     "part-9.parquet holds the rows folded from {d}/data/part-1.parquet", 0, [], []),
    (_rename("data", "moved"), [*RESUME[:1], "{d}/moved", *RESUME[2:]], 0,
     "{d}/moved/part-0.parquet holds the rows folded from {d}/data/part-0.parquet", 0, [], []),
    (_appended_csv, ["fit", "{d}/log.csv", "--resume", "{d}/log.npz", "--model", "{d}/log.npz"], 0,
     "resuming: 2,000 rows of this data set were folded already", 1000, [], []),
    (_strip_identities, RESUME, 0, "resuming: 6,000 rows of this data set were folded already", 0, [], []),
    (_killed_saves, ["fit", "{d}/data", *TRAIN, "--model", "{d}/m.npz"], 0, "model file", 6000,
     [".m.npz.*.00000000.tmp"], [".m.npz.*.ffffffff.tmp", ".m.npz.lock"]),
], ids=["plot-is-model", "plot-hard-link", "plot-is-resumed", "model-hard-link-to-data", "output-symlink-to-model",
        "other-target", "replaced-same-rows", "replaced-more-rows", "renamed", "folder-moved", "csv-appended",
        "earlier-model-file", "killed-saves"])
def test_outputs_and_resumes(train, tmp_path, capsys, setup, argv, status, message, read, unchanged, gone):
    shutil.copytree(train, tmp_path / "data")
    assert main(["fit", str(tmp_path / "data"), *TRAIN, "--batch-rows", "1000", "--model", str(tmp_path / "m.npz"),
                 "--quiet"]) == 0
    if setup is not None:
        setup(tmp_path)
    before = {path: path.read_bytes() for pattern in unchanged for path in tmp_path.glob(pattern)}
    assert len(before) >= len(unchanged)
    capsys.readouterr()
    result, out, err = run(capsys, *(arg.format(d=tmp_path) for arg in map(str, argv)))
    assert result == status and message.format(d=tmp_path) in out + err
    if status:
        assert len(err.strip().splitlines()) == 1
    else:
        assert f"rows read        {read:,}\n" in out
    assert {path: path.read_bytes() for path in before} == before
    assert not [path for pattern in gone for path in tmp_path.glob(pattern)]


# ------------------------------------------------------- hostile and unlucky input

def _nested(directory):
    rows = 200
    return write(pa.table({"x": np.arange(rows, dtype=float), "tags": [[1, 2]] * rows, "record": [{"a": 1}] * rows,
                           "y": np.arange(rows, dtype=float)}), directory / "nested.parquet")


def _dated(ending):
    def make(directory):
        rows = 2000
        day = np.datetime64("2020-01-01") + np.arange(rows) % 1500
        clock = pa.array((np.arange(rows) * 60) % 86400, pa.int32()).cast(pa.time32("s"))
        table = pa.table({"x": np.arange(rows, dtype=float), "day": pa.array(day.astype("datetime64[D]")),
                          "stamp": pa.array(day.astype("datetime64[s]")), "clock": clock, "y": np.ones(rows)})
        return write(table, directory / f"dated{ending}")
    return make


def _levels_csv(directory, levels, name="level"):
    """A CSV file whose column `name` cycles through `levels`, with a
    numeric feature and a target."""
    rows = 60 * len(levels)
    lines = [f"{index % 7},{levels[index % len(levels)]},{index % 5}" for index in range(rows)]
    (directory / "levels.csv").write_text(f"x,{name},y\n" + "\n".join(lines) + "\n")
    return directory / "levels.csv"


@pytest.mark.parametrize("make, options, status, message", [
    (lambda d: (d / "latin.csv").write_bytes(b"speed,r\xe9gion,y\n1,a,2\n") and d / "latin.csv", ["--target", "y"], 1,
     "latin.csv: the name of column 2 ('r\\xe9gion') is not UTF-8 text"),
    (_nested, ["--target", "y", "--categorical", "tags"], 1,
     "nested.parquet: column 'tags' cannot be categorical: it holds nested values (list<element: int64>)"),
    (_nested, ["--target", "y", "--categorical", "record"], 1, "nested.parquet: column 'record' cannot be categorical"),
    # Row 2 has the first gap, in the second column; row 3 one in the first.
    (_write_text("gaps.csv", "a,b,y\n1,2,3\n1,,3\n,2,3\n" + "1,2,3\n" * 40), ["--target", "y"], 1,
     "gaps.csv row 2: column 'b' is empty, NaN or infinite (and 1 more row in this batch)"),
    (_dated(".parquet"), ["--target", "y", "--features", "x", "day"], 1,
     "feature column 'day' is not numeric; it holds dates (date32[day]): derive numeric columns from it, such as the "
     "year, month or day of year, or list it with --categorical if it has few distinct values"),
    (_dated(".csv"), ["--target", "y", "--features", "x", "stamp"], 1, "'stamp' is not numeric; it holds timestamps"),
    (_dated(".parquet"), ["--target", "y", "--features", "x", "clock"], 1, "'clock' is not numeric; it holds times of day"),
    (_dated(".csv"), ["--target", "y", "--categorical", "day"], 1,
     "column 'day' has more than 1,000 levels; one indicator per level would be too many features; it holds dates"),
    (lambda d: write(frame(100), d / "a.parquet"), ["--target", "y", "--threads", str(2**63)], 2,
     "argument --threads: expected a positive integer"),
    # Numeric columns keep pyarrow's null markers.
    (lambda d: _levels_csv(d, ["1", "NA", "2"], "count"), ["--target", "y"], 1,
     "levels.csv row 2: column 'count' is empty, NaN or infinite"),
], ids=["latin-1-header", "list-levels", "struct-levels", "first-bad-row", "date-feature", "timestamp-feature",
        "time-feature", "many-dates", "huge-count", "numeric-null-marker"])
def test_hostile_input_gets_one_line_that_says_what_to_do(tmp_path, capsys, make, options, status, message):
    data = make(tmp_path)
    result, _, err = run(capsys, "fit", data, *options, "--model", tmp_path / "m.npz", "--quiet")
    assert result == status and message in err and len(err.strip().splitlines()) == 1


@pytest.mark.parametrize("levels, column, options, names", [
    (["NA", "EU", "null", "NULL", "N/A", "nan"], "continent", [],
     ["continent=N/A", "continent=NA", "continent=NULL", "continent=nan", "continent=null"]),
    ([str(month) for month in range(12, 0, -1)], "month", [], [f"month={month}" for month in range(2, 13)]),
    (["10", "b", "2", "-1", "a"], "code", [], ["code=2", "code=10", "code=a", "code=b"]),
    (["EU", "", "NA"], "continent", ["--nan", "drop"], ["continent=NA"]),
], ids=["null-markers-are-levels", "months-by-value", "numbers-then-text", "empty-is-missing"])
def test_csv_levels_are_the_text_as_written_and_numbers_sort_by_value(tmp_path, capsys, levels, column, options,
                                                                       names):
    data = _levels_csv(tmp_path, levels, column)
    status, out, _ = run(capsys, "fit", data, "--target", "y", "--categorical", column, *options,
                         "--model", tmp_path / "m.npz")
    assert status == 0
    assert list(IncrementalHuberRegressor.load(tmp_path / "m.npz").get_feature_names_out()) == ["x", *names]
    if "" in levels:
        assert "rows dropped     60" in out


def test_control_characters_in_names_and_paths_are_printed_escaped(tmp_path, capsys):
    table = frame(600)
    table = table.rename_columns(["id", "sp\x1b[2Jeed", *table.column_names[2:]])
    table = table.append_column("no\nte", pa.array(["text"] * 600))  # a text column left out, in a note
    data = write(table, tmp_path / "da\x07ta.parquet")
    model = tmp_path / "m\x1b]0;title\x07.npz"
    printed = [run(capsys, "fit", data, "--target", "y", "--categorical", "region", "--model", model)]
    printed.append(run(capsys, "predict", model, data, "--output", tmp_path / "p\x1b.csv"))
    printed.append(run(capsys, "fit", data, "--target", "y", "--features", "sp\x1b[2Jed", "--model", model))
    assert [status for status, _, _ in printed] == [0, 0, 1]
    text = "".join(out + err for _, out, err in printed)
    assert not any(character in text for character in "\x1b\x07\r")
    assert "sp\\x1b[2Jeed" in text and "no\\nte" in text and "da\\x07ta.parquet" in text and "p\\x1b.csv" in text
    assert printable("\\x1b \u202e\n") == "\\x1b \\u202e\\n" == printable(printable("\\x1b \u202e\n"))


def _wide_csv(directory, columns, rows):
    """A CSV file of `columns` numeric features and a target, written fast:
    its rows repeat a few lines."""
    rng = np.random.default_rng(0)
    lines = ["".join(f"{digit}," for digit in rng.integers(0, 10, columns)) + "1\n" for _ in range(10)]
    with open(directory / "wide.csv", "w") as out:
        out.write("".join(f"x{j}," for j in range(columns)) + "y\n")
        out.write("".join(lines) * (rows // 10))
    return directory / "wide.csv"


def _short_parquet(directory):
    return write(pa.table({f"x{j}": np.arange(400.0) for j in range(300)} | {"y": np.ones(400)}),
                 directory / "wide.parquet")


def _gappy_csv(directory):
    path = _wide_csv(directory, 300, 1000)
    text = path.read_text().splitlines(keepends=True)
    path.write_text("".join([text[0], *(line if i % 2 else "," + line.split(",", 1)[1] for i, line in
                                        enumerate(text[1:]))]))
    return path


@pytest.mark.parametrize("make, options, message", [
    (lambda d: _wide_csv(d, 5000, 6000), [], "at most 6,000 rows for 5,001 parameters"),
    (_short_parquet, [], "400 rows for 301 parameters"),
    # Known only once read: half of the rows have a gap.
    (_gappy_csv, ["--nan", "drop"], "500 rows for 301 parameters"),
], ids=["csv-lines", "parquet-metadata", "rows-dropped"])
def test_a_data_set_too_short_for_its_width_is_refused_before_a_slow_fit(tmp_path, capsys, monkeypatch, make,
                                                                            options, message):
    data = make(tmp_path)
    started = time.perf_counter()
    if not options:  # refused before reading: no batch is ever encoded
        monkeypatch.setattr(Encoder, "encode", None)
    status, _, err = run(capsys, "fit", data, "--target", "y", *options, "--model", tmp_path / "m.npz", "--quiet")
    assert status == 1 and f"too little data: {message}; a robust fit needs at least 2 rows per parameter" in err
    assert time.perf_counter() - started < 15 and not (tmp_path / "m.npz").exists()


@pytest.mark.parametrize("updates", [1, 3])
def test_the_coefficient_plot_of_a_single_update_shows_points_by_feature(updates):
    names = ["a", "b", "c"]
    paths = np.array([[0.5, -2.0, 1.0]] * updates)
    figure = fit_figure(names, [100 * (k + 1) for k in range(updates)], paths, np.zeros(10), 1.35,
                        paths_title="paths", residual_sample="last batch")
    axis = figure.axes[0]
    if updates == 1:
        assert [label.get_text() for label in axis.get_yticklabels()] == ["b", "c", "a"]  # the largest on top
        [points] = [line for line in axis.lines if line.get_linestyle() == "None"]  # beside the zero line
        assert list(points.get_xdata()) == [-2.0, 1.0, 0.5]
    else:  # a path per feature
        assert sorted(len(line.get_xdata()) for line in axis.lines) == [2, 3, 3, 3]  # and the zero line
