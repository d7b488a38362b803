"""Models moving between the command line and data frames in Python, and
`vintrel predict --nan keep`."""

import numpy as np
import pandas as pd
import pyarrow as pa
import pyarrow.csv as pacsv
import pyarrow.parquet as pq
import pytest

from vintrel import IncrementalHuberRegressor
from vintrel.cli import main

from cli_data import FEATURES, LEVELS, frame, write


def run(capsys, *argv):
    status = main([str(a) for a in argv])
    out, err = capsys.readouterr()
    return status, out + err


@pytest.fixture(scope="module")
def model(tmp_path_factory):
    directory = tmp_path_factory.mktemp("categorical")
    write(frame(3000, seed=1), directory / "train.parquet")
    assert main([str(a) for a in ("fit", directory / "train.parquet", "--target", "y", "--features", *FEATURES,
                                  "--categorical", "region", "--model", directory / "m.vtm", "--quiet")]) == 0
    return directory / "m.vtm"


def _features(table):
    columns = table.select([*FEATURES, "region"]).to_pandas()
    columns["region"] = columns["region"].astype(pd.CategoricalDtype(LEVELS))
    return columns


def test_a_command_line_model_predicts_on_frames_as_vintrel_predict_does(model, tmp_path, capsys):
    held_out = write(frame(400, seed=7), tmp_path / "held-out.parquet")
    status, _ = run(capsys, "predict", model, held_out, "--output", tmp_path / "p.parquet", "--quiet")
    loaded = IncrementalHuberRegressor.load(model)
    assert status == 0 and list(loaded.feature_names_in_) == [*FEATURES, "region"]
    # The command's design is column-major, the estimator's row-major: the
    # products may round differently in the last place, which a prediction
    # near zero shows as a large relative difference.
    expected = pq.read_table(tmp_path / "p.parquet")["prediction"].to_numpy()
    np.testing.assert_allclose(loaded.predict(_features(pq.read_table(held_out))), expected, rtol=1e-13,
                               atol=1e-13 * np.abs(expected).max())


def test_a_model_fitted_on_a_frame_predicts_on_the_command_line(tmp_path, capsys):
    table = frame(2000, seed=3)
    fitted = IncrementalHuberRegressor().fit(_features(table), table["y"].to_numpy())
    fitted.save(tmp_path / "py.vtm")
    status, _ = run(capsys, "predict", tmp_path / "py.vtm", write(table, tmp_path / "d.parquet"),
                    "--output", tmp_path / "p.parquet", "--quiet")
    assert status == 0
    np.testing.assert_allclose(pq.read_table(tmp_path / "p.parquet")["prediction"].to_numpy(),
                               fitted.predict(_features(table)), rtol=1e-12)


ADDED = ["lower", "upper", "residual", "scaled_residual", "outlier"]


@pytest.mark.parametrize("ending, extra", [(".parquet", []), (".csv", []),
                                           (".parquet", ["--interval", "0.9", "--scores"])])
def test_nan_keep_writes_every_row_in_order_with_null_predictions(model, tmp_path, capsys, ending, extra):
    columns = frame(500, seed=8).to_pydict()
    bad = [0, 3, 199, 200, 499]  # across the 200-row batches, at their edges
    for row in bad[:3]:
        columns["speed"][row] = float("nan")
    columns["region"][200], columns["load"][499] = None, float("inf")
    data = write(pa.table(columns), tmp_path / f"data{ending}")
    outputs = {nan: tmp_path / f"{nan}{ending}" for nan in ("keep", "drop")}
    printed = {nan: run(capsys, "predict", model, data, "--nan", nan, "--keep", "id", "--output", output,
                        "--batch-rows", 200, "--quiet", *extra) for nan, output in outputs.items()}
    missing = "features or target" if "--scores" in extra else "features"
    assert printed["keep"] == (0, "wrote 500 predictions for 500 rows to " + str(outputs["keep"]) + "\n"
                               f"5 rows with empty, NaN or infinite {missing} have a null prediction\n")
    read = pq.read_table if ending == ".parquet" else pacsv.read_csv
    kept, dropped = read(outputs["keep"]), read(outputs["drop"])
    assert kept["id"].to_pylist() == columns["id"]
    predictions = kept["prediction"]
    assert [row for row, value in enumerate(predictions.to_pylist()) if value is None] == bad
    assert predictions.drop_null().to_pylist() == dropped["prediction"].to_pylist()
    for name in ADDED if extra else []:  # intervals and scores line up with the rows too
        assert kept[name].is_null().to_pylist() == predictions.is_null().to_pylist()
        assert kept[name].drop_null().to_pylist() == dropped[name].to_pylist()
    status, out = run(capsys, "predict", model, data, "--output", tmp_path / "e.csv", "--quiet")
    assert status == 1 and "or --nan keep to give them a null prediction" in out
