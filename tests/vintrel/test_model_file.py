"""The model file: what it carries, and what it refuses to load."""

import io
import json
import os
import re
import struct
import subprocess
import sys
import warnings
import zipfile
import zlib
from pathlib import Path

import numpy as np
import pyarrow as pa
import pytest

from vintrel import IncrementalHuberRegressor, model_file
from vintrel.cli import main
from vintrel.model_file import ModelFileError

from cli_data import frame, write
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


def _members(path):
    with zipfile.ZipFile(path) as archive:
        return {name: archive.read(name) for name in archive.namelist()}


def _edited(header, change):
    header = json.loads(header)
    change(header)
    return json.dumps(header)


def _rewrite_header(path, change=lambda header: None, text=lambda text: text, extra=()):
    """Write `path` again with its header changed (`change` edits the
    parsed header, then `text` its JSON) and `extra` members added."""
    members = _members(path)
    members["header.json"] = text(_edited(members["header.json"], change)).encode()
    with warnings.catch_warnings(), zipfile.ZipFile(path, "w") as archive:
        warnings.simplefilter("ignore")  # a duplicate member on purpose
        for name, content in [*members.items(), *extra]:
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


def test_arrays_of_every_order_and_dtype_the_format_writes_come_back_exactly(data, tmp_path):
    arrays = {"fortran": np.asfortranarray(np.arange(6.0).reshape(2, 3)), "ints": np.arange(3, dtype=np.int32),
              "flags": np.array([True, False]), "empty": np.empty((0, 3), dtype=np.float32), "scalar": np.array(2.5)}
    model_file.save(tmp_path / "m.npz", _streamed(*data), {"arrays": arrays})
    held = model_file.read(tmp_path / "m.npz").metadata["arrays"]
    for name, array in arrays.items():
        np.testing.assert_array_equal(held[name], array)
        assert held[name].dtype == array.dtype and held[name].shape == array.shape


@pytest.mark.parametrize("metadata, error, message", [
    ({"names": np.array(["a", "b"])}, TypeError, "arrays of dtype <U1 cannot be saved"),
    ({"deep": json.loads("[" * 70 + "]" * 70)}, ModelFileError, "nests deeper than 64 levels"),
], ids=["string-array", "deep-nesting"])
def test_what_a_reader_would_refuse_is_not_written(data, tmp_path, metadata, error, message):
    with pytest.raises(error, match=message):
        model_file.save(tmp_path / "m.npz", _streamed(*data), metadata)
    assert list(tmp_path.iterdir()) == []


# ------------------------------------------------------------ hostile files

@pytest.fixture(scope="module")
def cli_model(tmp_path_factory):
    """A model file of the command line: features speed, region=north and
    region=south, with its record of the columns and levels."""
    directory = tmp_path_factory.mktemp("cli")
    data = write(frame(2000), directory / "train.parquet")
    assert main(["fit", str(data), "--target", "y", "--features", "speed", "region", "--categorical", "region",
                 "--model", str(directory / "m.npz"), "--quiet"]) == 0
    return directory / "m.npz"


def _deflated(data, mebibytes=0, fill=b"\0"):
    """`data` then `mebibytes` MiB of `fill`: the raw deflate stream, the
    size and the CRC. The MiB is compressed once and repeated (a full flush
    lets each copy decode on its own), so gigabytes take milliseconds."""
    mib, head, piece = fill * (1 << 20), zlib.compressobj(wbits=-15), zlib.compressobj(wbits=-15)
    stream = head.compress(data) + head.flush(zlib.Z_FULL_FLUSH)
    stream += (piece.compress(mib) + piece.flush(zlib.Z_FULL_FLUSH)) * mebibytes + b"\x03\x00"  # the last block
    crc = zlib.crc32(data)
    for _ in range(mebibytes):
        crc = zlib.crc32(mib, crc)
    return stream, len(data) + (mebibytes << 20), crc


def _raw_zip(path, change):
    """Write `path` again byte by byte, its members deflated and then those
    `change(members)` gives as `_deflated` triples: the sizes the ZIP
    declares need not be true."""
    members = _members(path)
    deflated = {name: _deflated(content) for name, content in members.items()} | change(members)
    records, directory = b"", b""
    for name, (data, size, crc) in deflated.items():
        fields = struct.pack("<5H3L2H", 20, 0, zipfile.ZIP_DEFLATED, 0, 0x21, crc, len(data), size, len(name), 0)
        directory += b"PK\x01\x02\x14\x00" + fields + struct.pack("<3H2L", 0, 0, 0, 0, len(records)) + name.encode()
        records += b"PK\x03\x04" + fields + name.encode() + data
    end = struct.pack("<4H2LH", 0, 0, len(deflated), len(deflated), len(directory), len(records), 0)
    path.write_bytes(records + directory + b"PK\x05\x06" + end)


def _npy(array):
    stream = io.BytesIO()
    np.save(stream, array)
    return stream.getvalue()


def _npy_header(shape):
    stream = io.BytesIO()
    np.lib.format.write_array_header_1_0(stream, {"descr": "<f8", "fortran_order": False, "shape": shape})
    return stream.getvalue()


def _asymmetric_information(members):
    information = np.load(io.BytesIO(members["arrays/estimator.engine.information.npy"]))
    information[0, 1] += 1.0
    return _npy(information)


# Makers of hostile files from a copy of a good one.

def _estimator(change):
    return lambda path: _rewrite_header(path, lambda header: change(header["estimator"]))


def _record(change):
    return lambda path: _rewrite_header(path, lambda header: change(header["metadata"]["command_line"]))


def _text(change):
    return lambda path: _rewrite_header(path, text=change)


def _array(where, content):
    """The header's value at the keys `where` names a new member whose bytes
    `content(members)` gives."""
    def point(header):
        *parents, last = where
        for key in parents:
            header = header[key]
        header[last] = {"$array": "arrays/new.npy"}
    return lambda path: _rewrite_header(path, point, extra=[("arrays/new.npy", content(_members(path)))])


def _fifo(path):
    os.mkfifo(path.with_name("fifo"))
    return path.with_name("fifo")


def _big_array(members):
    header = _edited(members["header.json"], lambda h: h["estimator"]["sums"].update(big={"$array": "arrays/big.npy"}))
    return {"header.json": _deflated(header.encode()), "arrays/big.npy": _deflated(_npy_header((3 << 27,)), 3 << 10)}


def _y_center(literal):
    return _text(lambda text: re.sub(r'"y_center": [^,]+', f'"y_center": {literal}', text))


# Each row makes a hostile file from a copy of `cli_model` (returning its
# path when it makes another one) and gives what `vintrel show` must say.
HOSTILE = [
    pytest.param(_estimator(lambda e: e["engine"].update(n_samples_seen=10**30)), "the integer 1000000000000000000000000000000 is out of range", id="huge-integer"),
    pytest.param(_y_center("1e999"), "the number 1e999 is out of range", id="overflowing-float"),
    pytest.param(_estimator(lambda e: e["engine"].update(n_samples_seen=True)), "engine.n_samples_seen must be an integer", id="bool-for-integer"),
    pytest.param(_text(lambda t: t.replace('"metadata": {', '"metadata": {"deep": ' + "[" * 100_000 + "]" * 100_000 + ", ")), "header.json nests deeper than 64 levels", id="deep-nesting"),
    pytest.param(_record(lambda r: r["layout"]["categorical"].update(region=[])), "categorical column 'region' has no levels", id="no-levels"),
    pytest.param(_record(lambda r: r["layout"].update(columns=["load", "region"])), "the model was fitted on other features", id="record-of-other-features"),
    pytest.param(_estimator(lambda e: e.update(n_features_in=30_000) or e["engine"].update(n_features=30_000)), "does not hold together", id="bomb-30000-features"),
    pytest.param(lambda p: _raw_zip(p, _big_array), "the arrays of a model of 3 features hold at most", id="bomb-deflated-3GB-array"),
    pytest.param(lambda p: _raw_zip(p, lambda m: {"header.json": _deflated(m["header.json"], 1 << 10, b" ")}), "header.json has 1,07", id="bomb-1GB-header"),
    pytest.param(lambda p: _raw_zip(p, lambda m: {"header.json": (_deflated(m["header.json"])[0], 10**9, 0)}), "declares 1,000,000,000 bytes, more than its", id="directory-lies"),
    pytest.param(lambda p: Path("/dev/zero"), "not a regular file", id="dev-zero"),
    pytest.param(_fifo, "not a regular file", id="fifo"),
    pytest.param(_estimator(lambda e: e["scaling"].update(y_scale=-1.0)), "target scale (scaling.y_scale) must be positive and finite", id="negative-target-scale"),
    pytest.param(_estimator(lambda e: e["scaling"].update(y_scale={"$float": "nan"})), "scaling.y_scale must be finite", id="nan-target-scale"),
    pytest.param(_array(["estimator", "scaling", "x_scale"], lambda m: _npy(np.array([1.0, 0.0, 2.0]))), "feature scales (scaling.x_scale) must be positive", id="zero-feature-scale"),
    pytest.param(_y_center("NaN"), "NaN is not JSON", id="json-nan"),
    pytest.param(_array(["estimator", "engine", "information"], _asymmetric_information), "information must be finite and symmetric", id="asymmetric-information"),
    pytest.param(_estimator(lambda e: e.update(feature_names_in=["speed"])), "1 feature names for 3 features", id="mismatched-features"),
    pytest.param(_array(["estimator", "sums", "huge"], lambda m: _npy_header((10**6, 10**6)) + bytes(64)), "declares a (1000000, 1000000) array of float64", id="8TB-array"),
    pytest.param(lambda p: _rewrite_header(p, extra=[("header.json", _members(p)["header.json"])]), "holds two members named 'header.json'", id="two-headers"),
    pytest.param(lambda p: _rewrite_header(p, extra=[(f"{i}", b"") for i in range(1100)]), "members; a model file has at most 1,024", id="too-many-members"),
    pytest.param(_estimator(lambda e: e["sums"].update(a={"$array": "arrays/estimator.engine.coefficients.npy"})), "names the array 'arrays/estimator.engine.coefficients.npy' twice", id="array-named-twice"),
]

# Rows that took gigabytes (or waited for a writer) before they were
# refused: these run in a process of limited memory.
LIMITED = {"bomb-30000-features", "bomb-deflated-3GB-array", "bomb-1GB-header", "dev-zero", "fifo"}
MEMORY_LIMIT = 1_500_000_000
SHOW_WITH_MEMORY_LIMIT = (f"import resource, sys; resource.setrlimit(resource.RLIMIT_AS, ({MEMORY_LIMIT}, {MEMORY_LIMIT}));"
                          f"from vintrel.cli import main; sys.exit(main(['show', sys.argv[1]]))")


@pytest.mark.parametrize("make, message", HOSTILE)
def test_hostile_model_files_are_refused_in_one_line(cli_model, tmp_path, capsys, request, make, message):
    path = tmp_path / "m.npz"
    path.write_bytes(cli_model.read_bytes())
    path = make(path) or path
    if request.node.callspec.id in LIMITED:
        shown = subprocess.run([sys.executable, "-c", SHOW_WITH_MEMORY_LIMIT, str(path)], capture_output=True,
                               text=True, timeout=60)
        status, err = shown.returncode, shown.stderr
    else:
        status, err = main(["show", str(path)]), capsys.readouterr().err
    assert status == 1 and err.count("\n") == 1 and "memory" not in err
    assert err.startswith(f"vintrel show: {path}: ") and message in err


def test_show_escapes_control_characters_from_the_file(tmp_path, capsys):
    table = frame(500)
    region = [f"{level}\u202e" if level == "south" else level for level in table.column("region").to_pylist()]
    table = table.set_column(table.schema.get_field_index("region"), "region", pa.array(region))
    data = write(table.rename_columns(["sp\x1b[2Jeed" if n == "speed" else n for n in table.column_names]),
                 tmp_path / "train.parquet")
    assert main(["fit", str(data), "--target", "y", "--features", "sp\x1b[2Jeed", "region", "--categorical",
                 "region", "--model", str(tmp_path / "m.npz"), "--quiet"]) == 0
    capsys.readouterr()
    assert main(["show", str(tmp_path / "m.npz")]) == 0
    shown = capsys.readouterr().out
    assert "\x1b" not in shown and "\u202e" not in shown
    assert "sp\\x1b[2Jeed" in shown and "region=south\\u202e" in shown
