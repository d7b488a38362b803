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
      across streams, carried whatever they hold), ``"pending"`` and
      ``"residuals"`` (the residual distribution that prediction intervals
      read, see `vintrel._residual_sketch`; absent or null in files written
      before it was tracked, which still load);
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

Reading is bounded, so that a damaged or hostile file is refused at little
cost: only a regular file is opened; the ZIP directory's member count and
size, each member's declared size (against what its compressed bytes can
hold), the header's size and nesting, and each array's declared shape and
dtype are checked before the member is read, against limits that follow
from the declared feature count; members are read no further than their
declared size. Every value is then type- and range-checked and the state is
checked to hold together (`ModelState.from_plain`) before anything uses it.
"""

import json
import math
import os
import re
import stat
import struct
import zipfile
import zlib
from collections.abc import Callable
from dataclasses import dataclass
from importlib.metadata import PackageNotFoundError
from importlib.metadata import version as package_version
from os import PathLike
from typing import IO, Any, BinaryIO

import numpy as np

from vintrel._atomic import atomic_write
from vintrel.state import ModelState

FORMAT = "vintrel-model"
FORMAT_VERSION = 1
HEADER = "header.json"

_ARRAY_KEY = "$array"
_FLOAT_KEY = "$float"
_NON_FINITE = {"nan": math.nan, "inf": math.inf, "-inf": -math.inf}

# ------------------------------------------------------------------ bounds

# The information matrix holds (p + 1)^2 floats: 80 GB in float64 at 100,000
# features, beyond the memory of any machine a stream runs on. Every other
# bound grows with the declared feature count, so this cap bounds them all.
MAX_FEATURES = 100_000
# A model file holds its header and a few arrays: the state's, those among
# its statistics and those a program keeps in the metadata.
MAX_MEMBERS = 1024
# Central directory bytes per member: 46 fixed bytes and a generous name.
_DIRECTORY_BYTES_PER_MEMBER = 1024
# The header: the parameters, counters and statistics, the command line's
# record of its data files (some 30,000 of them), and each feature's name in
# the state and in the command line's layout.
HEADER_BASE_BYTES = 4 << 20
HEADER_BYTES_PER_FEATURE = 1024
# The format nests six levels deep; metadata may add a few of its own.
MAX_DEPTH = 64
# The arrays: the information matrix and a refinement's Hessian among the
# statistics ((p + 1)^2 float64 each) with room to spare, and a base for
# arrays the feature count does not size (rows held before the stream
# starts, arrays a program keeps in the metadata).
ARRAY_BASE_BYTES = 64 << 20
_ARRAY_BYTES_PER_SQUARED_PARAMETER = 3 * 8
# The dtypes the format writes: bool, integers and floats of up to 8 bytes.
_ARRAY_KINDS = "biuf"
# Deflate expands at most 1032-fold (a 258-byte match takes at least 2 bits); the
# slack covers the block and stream overhead of small members.
_DEFLATE_RATIO = 1032
_DEFLATE_SLACK = 1024
# The header's integers are versions, sizes and counters: 64-bit.
_MAX_INTEGER = 2**63 - 1
# Array data is copied from the ZIP in pieces of this size.
_CHUNK_BYTES = 1 << 20

# The ZIP end records, as `zipfile` finds them.
_END = struct.Struct("<4s4H2LH")
_END64_LOCATOR = struct.Struct("<4sLQL")
_END64 = struct.Struct("<4sQ2H2L4Q")


def header_limit(features: int) -> int:
    """The most bytes the header of a model of `features` features has."""
    return HEADER_BASE_BYTES + HEADER_BYTES_PER_FEATURE * features


def array_limit(features: int) -> int:
    """The most bytes the arrays of a model of `features` features hold
    together."""
    return ARRAY_BASE_BYTES + _ARRAY_BYTES_PER_SQUARED_PARAMETER * (features + 1) ** 2


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
    except (KeyError, TypeError, ValueError, IndexError, AttributeError, OverflowError) as error:
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
        Plain values and arrays (of bools, integers or floats) that the
        writing program wants back.

    Raises
    ------
    ModelFileError
        When the file would exceed the bounds a reader accepts (nothing is
        written then).
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
    # What a reader would refuse is not written.
    name, features = str(path), state.n_features_in
    _check_features(features, name)
    _check_members(len(arrays) + 1, name)
    _check_header_size(len(text.encode("utf-8")), features, name)
    _check_depth(text, name)
    array_bytes = sum(array.nbytes for array in arrays.values())
    if array_bytes > array_limit(features):
        raise ModelFileError(f"{name}: the arrays hold {array_bytes:,} bytes; those of a model of {features:,} "
                             f"features hold at most {array_limit(features):,}")
    with atomic_write(path) as temporary, zipfile.ZipFile(temporary, "w", zipfile.ZIP_DEFLATED) as archive:
        archive.writestr(HEADER, text)
        for member, array in arrays.items():
            with archive.open(member, "w", force_zip64=True) as stream:
                np.lib.format.write_array(stream, array, allow_pickle=False)


def read(path: str | PathLike[str]) -> StoredState:
    """Read a model file, within the bounds the module describes.

    Raises
    ------
    ModelFileError
        When the file is missing, not a regular file, truncated or damaged,
        of another format version, beyond the bounds, or its state does not
        hold together.
    """
    name = str(path)
    try:
        with _open_regular(path, name) as file:
            _check_directory(file, name)
            with zipfile.ZipFile(file) as archive:
                members = _members(archive, name)
                header = _read_header(archive, members, name)
                arrays = _Arrays(archive, members, name, header["estimator"]["n_features_in"])
                plain = arrays.decode(header["estimator"])
                metadata = arrays.decode(header["metadata"])
    except ModelFileError:
        raise
    except (zipfile.BadZipFile, zlib.error, EOFError, OSError, NotImplementedError) as error:
        raise ModelFileError(f"{name}: not a complete vintrel model file (truncated or damaged: {error})") \
            from error
    except ValueError as error:
        raise ModelFileError(f"{name}: an array the header names is missing or unreadable ({error})") \
            from error
    state = build(name, plain, ModelState.from_plain)
    return StoredState(state, metadata, FORMAT_VERSION, header["written_by"])


# ------------------------------------------------------------------ encoding

def _encode(value: Any, path: str, arrays: dict[str, np.ndarray]) -> Any:
    """`value` as JSON values, its arrays moved to `arrays` under member
    names derived from where they sit."""
    if isinstance(value, np.ndarray):
        if value.dtype.kind not in _ARRAY_KINDS or value.dtype.itemsize > 8:
            raise TypeError(f"{path}: arrays of dtype {value.dtype} cannot be saved "
                            f"(only bools, integers and floats)")
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


# ------------------------------------------------------------------ the ZIP

def _open_regular(path: str | PathLike[str], name: str) -> BinaryIO:
    """`path` opened for reading once it is known to be a regular file: a
    directory, a FIFO or a device (such as /dev/zero) is refused before it
    is read. Opening does not block on a FIFO, and the check is made on
    what was opened, so the file cannot be swapped in between."""
    try:
        descriptor = os.open(path, os.O_RDONLY | getattr(os, "O_NONBLOCK", 0) | getattr(os, "O_BINARY", 0))
    except FileNotFoundError as error:
        raise ModelFileError(f"{name}: no such model file") from error
    except IsADirectoryError as error:
        raise ModelFileError(f"{name}: is a directory, not a model file") from error
    try:
        mode = os.fstat(descriptor).st_mode
        if stat.S_ISDIR(mode):
            raise ModelFileError(f"{name}: is a directory, not a model file")
        if not stat.S_ISREG(mode):
            raise ModelFileError(f"{name}: not a regular file (a FIFO, device or socket), so not a model file")
        return os.fdopen(descriptor, "rb")
    except BaseException:
        os.close(descriptor)
        raise


def _check_directory(file: BinaryIO, name: str) -> None:
    """Refuse a ZIP whose central directory lists more members, or more
    bytes of them, than a model file has, before `zipfile` builds a record
    of every entry. The end records are looked for where `zipfile` looks;
    a file without them is left for `zipfile` to refuse."""
    size = file.seek(0, os.SEEK_END)
    start = max(0, size - _END.size - 0xFFFF)  # the end record and the longest comment
    file.seek(start)
    tail = file.read()
    at = tail.rfind(b"PK\x05\x06", 0, max(0, len(tail) - _END.size + 4))
    if at < 0:
        return
    entries, directory_bytes = _END.unpack_from(tail, at)[4:6]
    before = start + at - _END64_LOCATOR.size - _END64.size
    if before >= 0:
        file.seek(before)
        records = file.read(_END64.size + _END64_LOCATOR.size)
        if records[:4] == b"PK\x06\x06" and records[_END64.size:_END64.size + 4] == b"PK\x06\x07":
            entries, directory_bytes = _END64.unpack_from(records)[7:9]
    _check_members(entries, name)
    if directory_bytes > MAX_MEMBERS * _DIRECTORY_BYTES_PER_MEMBER:
        raise ModelFileError(f"{name}: its ZIP directory declares {directory_bytes:,} bytes; that of a model file "
                             f"has at most {MAX_MEMBERS * _DIRECTORY_BYTES_PER_MEMBER:,}")


def _check_members(count: int, name: str) -> None:
    if count > MAX_MEMBERS:
        raise ModelFileError(f"{name}: holds {count:,} members; a model file has at most {MAX_MEMBERS:,}")


def _members(archive: zipfile.ZipFile, name: str) -> dict[str, zipfile.ZipInfo]:
    """The members by name, each one's declared size checked against what
    its compressed bytes can hold."""
    infos = archive.infolist()
    _check_members(len(infos), name)
    members: dict[str, zipfile.ZipInfo] = {}
    for info in infos:
        member = info.filename
        if member in members:
            raise ModelFileError(f"{name}: holds two members named {member!r}")
        if info.flag_bits & 0x1:
            raise ModelFileError(f"{name}: member {member!r} is encrypted")
        ratio = {zipfile.ZIP_STORED: 1, zipfile.ZIP_DEFLATED: _DEFLATE_RATIO}.get(info.compress_type)
        if ratio is None:
            raise ModelFileError(f"{name}: member {member!r} is compressed with method {info.compress_type}, "
                                 f"which model files do not use")
        if info.file_size > ratio * info.compress_size + _DEFLATE_SLACK:
            raise ModelFileError(f"{name}: member {member!r} declares {info.file_size:,} bytes, more than its "
                                 f"{info.compress_size:,} compressed bytes can hold")
        members[member] = info
    return members


class _Bounded:
    """A member's data, of which at most the size the ZIP directory
    declares is ever read: data running on past it is left unread."""

    def __init__(self, stream: IO[bytes], size: int) -> None:
        self._stream = stream
        self.left = size

    def read(self, size: int = -1) -> bytes:
        data = self._stream.read(self.left if size < 0 else min(size, self.left))
        self.left -= len(data)
        return data


# ------------------------------------------------------------------ the header

class _HeaderValueError(ValueError):
    """A JSON value the format does not write."""


def _read_header(archive: zipfile.ZipFile, members: dict[str, zipfile.ZipInfo], name: str) -> dict[str, Any]:
    """The header, its size checked before it is read and again, with its
    nesting, before it is parsed; the format's own fields checked."""
    info = members.get(HEADER)
    if info is None:
        raise ModelFileError(f"{name}: not a vintrel model file (no {HEADER})")
    _check_header_size(info.file_size, MAX_FEATURES, name)
    with archive.open(info) as stream:
        raw = _Bounded(stream, info.file_size).read()
    try:
        text = raw.decode("utf-8")
    except UnicodeDecodeError as error:
        raise ModelFileError(f"{name}: the header is not valid JSON ({error})") from error
    # Parsing costs memory in proportion to the text: the text is held to
    # the size its declared feature count allows before it is parsed.
    _check_header_size(len(raw), _peek_features(text), name)
    _check_depth(text, name)
    try:
        header = json.loads(text, object_pairs_hook=_json_object, parse_int=_json_integer,
                            parse_float=_json_float, parse_constant=_json_constant)
    except _HeaderValueError as error:
        raise ModelFileError(f"{name}: {HEADER}: {error}") from error
    except ValueError as error:
        raise ModelFileError(f"{name}: the header is not valid JSON ({error})") from error
    if not isinstance(header, dict) or header.get("format") != FORMAT:
        raise ModelFileError(f"{name}: not a vintrel model file")
    version = header.get("format_version")
    if type(version) is not int or version != FORMAT_VERSION:
        raise ModelFileError(f"{name}: written in model format version {version!r}; "
                             f"this vintrel reads version {FORMAT_VERSION}")
    header.setdefault("written_by", "")
    if not isinstance(header["written_by"], str):
        raise ModelFileError(f"{name}: {HEADER}: written_by is not a string")
    if not isinstance(header.get("estimator"), dict):
        raise ModelFileError(f"{name}: {HEADER}: the estimator section is not an object")
    if not isinstance(header.setdefault("metadata", None), (dict, type(None))):
        raise ModelFileError(f"{name}: the metadata section is not an object")
    features = header["estimator"].get("n_features_in")
    if type(features) is not int:
        raise ModelFileError(f"{name}: {HEADER}: n_features_in is {features!r}, not an integer")
    _check_features(features, name)
    _check_header_size(len(raw), features, name)
    return header


def _check_features(features: int, name: str) -> None:
    if not 1 <= features <= MAX_FEATURES:
        raise ModelFileError(f"{name}: declares {features:,} features; a model file holds 1 to {MAX_FEATURES:,}")


def _check_header_size(size: int, features: int, name: str) -> None:
    if size > header_limit(features):
        raise ModelFileError(f"{name}: {HEADER} has {size:,} bytes; that of a model of {features:,} features "
                             f"has at most {header_limit(features):,}")


def _peek_features(text: str) -> int:
    """The feature count the header text declares, read before parsing it
    (the largest such count anywhere in it, within `MAX_FEATURES`)."""
    counts = re.findall(r'"n_features_in"\s*:\s*(\d{1,6})\b', text)
    return min(MAX_FEATURES, max((int(count) for count in counts), default=0))


# A JSON string, whose brackets do not nest.
_JSON_STRING = re.compile(r'"[^"\\]*(?:\\.[^"\\]*)*"', re.DOTALL)


def _check_depth(text: str, name: str) -> None:
    """Refuse JSON nested deeper than `MAX_DEPTH`, before a parser recurses
    into it."""
    depth = 0
    for bracket in re.finditer(r"[][{}]", _JSON_STRING.sub("", text)):
        depth += 1 if bracket[0] in "[{" else -1
        if depth > MAX_DEPTH:
            raise ModelFileError(f"{name}: {HEADER} nests deeper than {MAX_DEPTH} levels")


def _json_integer(text: str) -> int:
    # Checked on the digits first: converting a long run of them is slow,
    # and refused beyond 4300.
    if len(text) > 20 or abs(int(text)) > _MAX_INTEGER:
        raise _HeaderValueError(f"the integer {_clipped(text)} is out of range")
    return int(text)


def _json_float(text: str) -> float:
    value = float(text)
    if not math.isfinite(value):
        raise _HeaderValueError(f"the number {_clipped(text)} is out of range")
    return value


def _json_constant(text: str) -> float:
    raise _HeaderValueError(f"{text} is not JSON; the format writes non-finite floats as "
                            f'{{"{_FLOAT_KEY}": "nan"}}, "inf" or "-inf"')


def _json_object(pairs: list[tuple[str, Any]]) -> dict[str, Any]:
    value: dict[str, Any] = {}
    for key, item in pairs:
        if key in value:
            raise _HeaderValueError(f"an object has the key {_clipped(key)!r} twice")
        value[key] = item
    return value


def _clipped(text: str) -> str:
    return text if len(text) <= 40 else f"{text[:40]}..."


# ------------------------------------------------------------------ the arrays

class _Arrays:
    """Decodes the header's values, reading the arrays it names: each
    member once, all of them within what a model of the declared features
    holds, each one's declared shape and dtype checked before its data is
    read."""

    def __init__(self, archive: zipfile.ZipFile, members: dict[str, zipfile.ZipInfo], name: str,
                 features: int) -> None:
        self._archive, self._members, self._name = archive, members, name
        self._features, self._left = features, array_limit(features)
        self._read: set[str] = set()

    def decode(self, value: Any) -> Any:
        if isinstance(value, dict):
            if set(value) == {_ARRAY_KEY}:
                return self._array(value[_ARRAY_KEY])
            if set(value) == {_FLOAT_KEY}:
                word = value[_FLOAT_KEY]
                if not isinstance(word, str) or word not in _NON_FINITE:
                    raise ModelFileError(f'{self._name}: {HEADER}: {{"{_FLOAT_KEY}": {word!r}}} is not a float')
                return _NON_FINITE[word]
            return {key: self.decode(item) for key, item in value.items()}
        if isinstance(value, list):
            return [self.decode(item) for item in value]
        return value

    def _array(self, member: Any) -> np.ndarray:
        info = self._members.get(member) if isinstance(member, str) and member != HEADER else None
        if info is None:
            raise self._unreadable(member, "the file holds no such member")
        if member in self._read:
            raise ModelFileError(f"{self._name}: the header names the array {member!r} twice")
        self._read.add(member)
        if info.file_size > self._left:
            raise ModelFileError(f"{self._name}: the array {member!r} has {info.file_size:,} bytes; the arrays of a "
                                 f"model of {self._features:,} features hold at most "
                                 f"{array_limit(self._features):,} in all")
        self._left -= info.file_size
        with self._archive.open(info) as stream:
            return self._npy(member, _Bounded(stream, info.file_size))

    def _npy(self, member: str, stream: _Bounded) -> np.ndarray:
        """The array of an ``.npy`` member, read without pickle: the dtype
        and shape its header declares are checked before any data is."""
        version = np.lib.format.read_magic(stream)
        if version not in ((1, 0), (2, 0)):
            raise self._unreadable(member, f".npy version {version} is not one the format writes")
        read_header = np.lib.format.read_array_header_1_0 if version == (1, 0) else \
            np.lib.format.read_array_header_2_0
        shape, fortran_order, dtype = read_header(stream)
        if dtype.kind not in _ARRAY_KINDS or dtype.itemsize > 8:
            raise self._unreadable(member, f"arrays of dtype {dtype} are not part of the format")
        size = math.prod(shape) * dtype.itemsize
        if min(shape, default=0) < 0 or size != stream.left:
            raise self._unreadable(member, f"its header declares a {shape} array of {dtype}, and its data has "
                                           f"{stream.left:,} bytes")
        array = np.empty(math.prod(shape), dtype)
        data, filled = array.view(np.uint8), 0
        while filled < size:
            chunk = stream.read(min(_CHUNK_BYTES, size - filled))
            if not chunk:
                raise EOFError(f"{member} ends early")
            data[filled:filled + len(chunk)] = np.frombuffer(chunk, np.uint8)
            filled += len(chunk)
        return array.reshape(shape[::-1]).T if fortran_order else array.reshape(shape)

    def _unreadable(self, member: Any, problem: str) -> ModelFileError:
        return ModelFileError(f"{self._name}: the array {member!r} is missing or unreadable ({problem})")


def producer() -> str:
    """This package and its version, as model files record their writer."""
    try:
        return f"vintrel {package_version('vintrel')}"
    except PackageNotFoundError:
        return "vintrel (version unknown)"
