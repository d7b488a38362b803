"""Data files told apart by content as well as by path, so that a resumed
stream neither skips rows of a file that was replaced under the same name
nor folds again a file that was renamed or moved with its folder.

A file's identity is its size and BLAKE2b digests of its leading block and
of its tail (the whole footer of a Parquet file, which holds the sizes,
offsets and statistics of every column chunk), read in bounded bytes
rather than whole. A file that grew by lines appended after a complete
last line (a CSV file that is added to) holds the file it was: the bytes
the identity covers are where they were, and the rows after them are new.
"""

import hashlib
import struct
from collections.abc import Iterable, Mapping, Sequence
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

from vintrel.cli.errors import CommandError
from vintrel.cli.table import counted

# Bytes digested at the start and at the end of a file.
BLOCK_BYTES = 1 << 16
# A Parquet footer longer than the block is digested whole up to this size.
MAX_TAIL_BYTES = 1 << 20
_PARQUET_END = struct.Struct("<I4s")  # the footer's length, then b"PAR1"
_DIGEST_BYTES = 16


@dataclass(frozen=True)
class FileIdentity:
    """A file's size and the digests of its first `head_bytes` and last
    `tail_bytes` bytes."""

    size: int
    head_bytes: int
    head: str
    tail_bytes: int
    tail: str

    def to_metadata(self) -> dict[str, Any]:
        return {"size": self.size, "head_bytes": self.head_bytes, "head_blake2b": self.head,
                "tail_bytes": self.tail_bytes, "tail_blake2b": self.tail}

    @classmethod
    def from_metadata(cls, entry: Mapping[str, Any]) -> "FileIdentity":
        identity = cls(int(entry["size"]), int(entry["head_bytes"]), str(entry["head_blake2b"]),
                       int(entry["tail_bytes"]), str(entry["tail_blake2b"]))
        if not 0 <= identity.head_bytes <= identity.size or not 0 <= identity.tail_bytes <= identity.size:
            raise ValueError(f"a file identity covers bytes beyond its size ({entry!r})")
        return identity


class FileContent:
    """One data file on disk, read only where an identity looks."""

    def __init__(self, path: Path) -> None:
        self.path = path
        try:
            self.size = path.stat().st_size
        except OSError as error:
            raise CommandError(f"{path}: cannot read it: {error.strerror}") from error
        self._digests: dict[tuple[int, int], str] = {}

    def _read(self, start: int, length: int) -> bytes:
        try:
            with self.path.open("rb") as file:
                file.seek(start)
                return file.read(length)
        except OSError as error:
            raise CommandError(f"{self.path}: cannot read it: {error.strerror}") from error

    def digest(self, start: int, length: int) -> str:
        """The digest of `length` bytes from `start` (each range read once)."""
        key = (start, length)
        if key not in self._digests:
            self._digests[key] = hashlib.blake2b(self._read(start, length), digest_size=_DIGEST_BYTES).hexdigest()
        return self._digests[key]

    def identity(self) -> FileIdentity:
        """The file's identity as it is now."""
        head_bytes = min(BLOCK_BYTES, self.size)
        tail_bytes = min(max(BLOCK_BYTES, self._parquet_footer_bytes()), MAX_TAIL_BYTES, self.size)
        return FileIdentity(self.size, head_bytes, self.digest(0, head_bytes), tail_bytes,
                            self.digest(self.size - tail_bytes, tail_bytes))

    def _parquet_footer_bytes(self) -> int:
        if self.size < _PARQUET_END.size:
            return 0
        length, magic = _PARQUET_END.unpack(self._read(self.size - _PARQUET_END.size, _PARQUET_END.size))
        return int(length) + _PARQUET_END.size if magic == b"PAR1" else 0

    def holds(self, recorded: FileIdentity) -> bool:
        """Whether this is the recorded file, or it with lines appended."""
        if self.size < recorded.size:
            return False
        if self.size > recorded.size and recorded.size and self._read(recorded.size - 1, 1) != b"\n":
            return False
        return (self.digest(0, recorded.head_bytes) == recorded.head
                and self.digest(recorded.size - recorded.tail_bytes, recorded.tail_bytes) == recorded.tail)


@dataclass
class Resumed:
    """How a resumed stream takes up the files of its data set.

    `folded` holds the rows folded of each file, by the path it has now
    (files of other data sets the model folded keep their entries);
    `identities` the identity of each file, for the record the stream
    saves; `renamed` the files found under a new path, with the path the
    model folded them under.
    """

    folded: dict[str, int] = field(default_factory=dict)
    identities: dict[str, FileIdentity] = field(default_factory=dict)
    renamed: dict[str, str] = field(default_factory=dict)


def identify(files: Iterable[Path]) -> dict[str, FileIdentity]:
    """The identity of each file, by path."""
    return {str(path): FileContent(path).identity() for path in files}


def take_up(files: Sequence[Path], folded: Mapping[str, int], recorded: Mapping[str, FileIdentity]) -> Resumed:
    """Match the data set's `files` to the files a model folded (`folded`
    rows of each, `recorded` identities where the model has them).

    A file is the recorded file of its path when the content holds it;
    otherwise it is a recorded file of another path that it holds (renamed
    or moved) and that no other file has taken; otherwise it is new. A file
    at a recorded path whose content does not hold what was folded there
    is refused: its rows cannot be told apart. Entries recorded without an
    identity (model files of earlier versions) match by path alone.
    """
    contents = [FileContent(path) for path in files]
    taken: dict[str, str] = {}  # path now -> path recorded
    for content in contents:
        path = str(content.path)
        if path in recorded and content.holds(recorded[path]):
            taken[path] = path
    free = {path: identity for path, identity in recorded.items() if path not in taken.values()}
    # Candidates for a file under a new path: recorded files of its size,
    # and those it may have grown from, by the digest of a whole block
    # (a small file that was both moved and grown is not looked for).
    by_size: dict[int, list[str]] = {}
    by_head: dict[str, list[str]] = {}
    for path, identity in free.items():
        by_size.setdefault(identity.size, []).append(path)
        if identity.head_bytes == BLOCK_BYTES:
            by_head.setdefault(identity.head, []).append(path)
    for content in contents:
        path = str(content.path)
        if path in taken or not free or (path in folded and path not in recorded):
            continue
        candidates = by_size.get(content.size, [])
        if content.size > BLOCK_BYTES:
            candidates = candidates + by_head.get(content.digest(0, BLOCK_BYTES), [])
        for candidate in candidates:
            if candidate in free and content.holds(free[candidate]):
                taken[path] = candidate
                del free[candidate]
                break
    for content in contents:
        path = str(content.path)
        if path not in taken and path in free:
            raise CommandError(f"{path}: the model folded {counted(folded.get(path, 0), 'row')} of a file of this "
                               f"name whose content differs (replaced or edited since); resuming cannot tell which "
                               f"rows are new: leave the file out or fit anew")
    matched = set(taken.values())
    resumed = Resumed({path: rows for path, rows in folded.items() if path not in matched},
                      {path: identity for path, identity in recorded.items() if path not in matched})
    for now, before in taken.items():
        resumed.folded[now] = folded.get(before, 0)
        if now != before:
            resumed.renamed[now] = before
    resumed.identities.update((str(content.path), content.identity()) for content in contents)
    return resumed

