"""The model file format: an estimator's typed state on disk.

The format is safe to load from an untrusted source: nothing in it is
executed or unpickled. A model file is a ZIP archive holding

``header.json``
    A UTF-8 JSON object with the members

    - ``"format"``: the string ``"vintrel-model"``;
    - ``"format_version"``: the integer 1 (this module's `FORMAT_VERSION`);
      a reader refuses any other version;
    - ``"written_by"``: the package version that wrote the file;
    - ``"estimator"``: the estimator's state, as
      ``ModelState.to_plain`` lays it out: ``"params"``,
      ``"n_features_in"``, ``"feature_names_in"``, ``"scaling"``,
      ``"engine"`` (coefficients and information matrix in internal units,
      counters), ``"last_update"``, ``"sums"`` (statistics that add up
      across streams, carried whatever they hold) and ``"pending"``;
    - ``"metadata"``: an object the writing program keeps for itself, or
      null. The command line keeps its data-set bookkeeping there.

``arrays/NAME.npy``
    One NumPy ``.npy`` file per array of the estimator state or the
    metadata, read back without pickle (object arrays are refused).

In the JSON, an array is written as ``{"$array": "arrays/NAME.npy"}``, a
non-finite float as ``{"$float": "nan"}`` (or ``"inf"``, ``"-inf"``), and
every other value as itself. Files are written atomically: a reader sees
the previous file or the complete new one. A truncated or damaged file, a
file of another format version and a file whose state does not hold
together are refused with a `ModelFileError` naming the file.
"""

import json
import math
import re
import zipfile
import zlib
from collections.abc import Callable
from dataclasses import dataclass
from importlib.metadata import PackageNotFoundError
from importlib.metadata import version as package_version
from os import PathLike
from typing import Any

import numpy as np

from vintrel._atomic import atomic_write
from vintrel.state import ModelState

FORMAT = "vintrel-model"
FORMAT_VERSION = 1
HEADER = "header.json"

_ARRAY_KEY = "$array"
_FLOAT_KEY = "$float"
_NON_FINITE = {"nan": math.nan, "inf": math.inf, "-inf": -math.inf}


class ModelFileError(ValueError):
    """A model file that cannot be read: missing, truncated, of another
    format version, or inconsistent."""


@dataclass(frozen=True)
class StoredState:
    """What a model file holds."""

    state: ModelState
    metadata: dict[str, Any] | None
    format_version: int
    written_by: str


def build[Given, Built](path: str | PathLike[str], given: Given, builder: Callable[[Given], Built]) -> Built:
    """`builder(given)` for what was read from `path`, any refusal of it
    reported as a `ModelFileError` naming the file."""
    try:
        return builder(given)
    except (KeyError, TypeError, ValueError, IndexError, AttributeError) as error:
        raise ModelFileError(f"{path}: the estimator state in the file does not hold together "
                             f"({type(error).__name__}: {error})") from error


def write(path: str | PathLike[str], state: ModelState, metadata: dict[str, Any] | None = None) -> None:
    """Write `state` and optional `metadata` to `path`, atomically.

    Parameters
    ----------
    path : str or path-like
        The model file; an existing file is replaced only once the new one
        is complete.
    state : ModelState
        The estimator's state (fitted, or holding buffered rows).
    metadata : dict, optional
        Plain values and arrays that the writing program wants back.
    """
    arrays: dict[str, np.ndarray] = {}
    header = {
        "format": FORMAT,
        "format_version": FORMAT_VERSION,
        "written_by": producer(),
        "estimator": _encode(state.to_plain(), "estimator", arrays),
        "metadata": None if metadata is None else _encode(metadata, "metadata", arrays),
    }
    text = json.dumps(header, indent=1, allow_nan=False)
    with atomic_write(path) as temporary, zipfile.ZipFile(temporary, "w", zipfile.ZIP_DEFLATED) as archive:
        archive.writestr(HEADER, text)
        for member, array in arrays.items():
            with archive.open(member, "w", force_zip64=True) as stream:
                np.lib.format.write_array(stream, array, allow_pickle=False)


def read(path: str | PathLike[str]) -> StoredState:
    """Read a model file.

    Raises
    ------
    ModelFileError
        When the file is missing, truncated or damaged, of another format
        version, or its state does not hold together.
    """
    name = str(path)
    try:
        with zipfile.ZipFile(path) as archive:
            header = _read_header(archive, name)
            plain = _decode(header.get("estimator"), archive)
            metadata = _decode(header.get("metadata"), archive)
    except ModelFileError:
        raise
    except FileNotFoundError as error:
        raise ModelFileError(f"{name}: no such model file") from error
    except IsADirectoryError as error:
        raise ModelFileError(f"{name}: is a directory, not a model file") from error
    except (zipfile.BadZipFile, zlib.error, EOFError, OSError) as error:
        raise ModelFileError(f"{name}: not a complete vintrel model file (truncated or damaged: {error})") \
            from error
    except (KeyError, ValueError) as error:
        raise ModelFileError(f"{name}: an array the header names is missing or unreadable ({error})") \
            from error
    if metadata is not None and not isinstance(metadata, dict):
        raise ModelFileError(f"{name}: the metadata section is not an object")
    state = build(name, plain, ModelState.from_plain)
    return StoredState(state, metadata, int(header["format_version"]), str(header.get("written_by", "")))


# ------------------------------------------------------------------ encoding

def _encode(value: Any, path: str, arrays: dict[str, np.ndarray]) -> Any:
    """`value` as JSON values, its arrays moved to `arrays` under member
    names derived from where they sit."""
    if isinstance(value, np.ndarray):
        if value.dtype.hasobject:
            raise TypeError(f"{path}: object arrays cannot be saved")
        member = f"arrays/{_member_stem(path, arrays)}.npy"
        arrays[member] = value
        return {_ARRAY_KEY: member}
    if isinstance(value, np.generic):
        value = value.item()
    if isinstance(value, dict):
        return {str(key): _encode(item, f"{path}.{key}", arrays) for key, item in value.items()}
    if isinstance(value, (list, tuple)):
        return [_encode(item, f"{path}.{index}", arrays) for index, item in enumerate(value)]
    if isinstance(value, float) and not math.isfinite(value):
        return {_FLOAT_KEY: "nan" if math.isnan(value) else ("inf" if value > 0 else "-inf")}
    if value is None or isinstance(value, (bool, int, float, str)):
        return value
    raise TypeError(f"{path}: cannot save a value of type {type(value).__name__}")


def _member_stem(path: str, arrays: dict[str, np.ndarray]) -> str:
    stem = re.sub(r"[^A-Za-z0-9_.-]", "_", path)
    candidate, suffix = stem, 1
    while f"arrays/{candidate}.npy" in arrays:
        suffix += 1
        candidate = f"{stem}-{suffix}"
    return candidate


def _read_header(archive: zipfile.ZipFile, name: str) -> dict[str, Any]:
    try:
        raw = archive.read(HEADER)
    except KeyError as error:
        raise ModelFileError(f"{name}: not a vintrel model file (no {HEADER})") from error
    try:
        header = json.loads(raw.decode("utf-8"))
    except (UnicodeDecodeError, json.JSONDecodeError) as error:
        raise ModelFileError(f"{name}: the header is not valid JSON ({error})") from error
    if not isinstance(header, dict) or header.get("format") != FORMAT:
        raise ModelFileError(f"{name}: not a vintrel model file")
    version = header.get("format_version")
    if version != FORMAT_VERSION:
        raise ModelFileError(f"{name}: written in model format version {version}; "
                             f"this vintrel reads version {FORMAT_VERSION}")
    return header


def _decode(value: Any, archive: zipfile.ZipFile) -> Any:
    if isinstance(value, dict):
        if set(value) == {_ARRAY_KEY}:
            with archive.open(str(value[_ARRAY_KEY])) as stream:
                return np.lib.format.read_array(stream, allow_pickle=False)
        if set(value) == {_FLOAT_KEY}:
            return _NON_FINITE[str(value[_FLOAT_KEY])]
        return {key: _decode(item, archive) for key, item in value.items()}
    if isinstance(value, list):
        return [_decode(item, archive) for item in value]
    return value


def producer() -> str:
    """This package and its version, as model files record their writer."""
    try:
        return f"vintrel {package_version('vintrel')}"
    except PackageNotFoundError:
        return "vintrel (version unknown)"
