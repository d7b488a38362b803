"""Writing a file so that readers see either the old file or the complete
new one, never a half-written one."""

import contextlib
import os
import secrets
from collections.abc import Iterator
from pathlib import Path


@contextlib.contextmanager
def atomic_write(path: str | os.PathLike[str]) -> Iterator[Path]:
    """Yield a fresh temporary path beside `path` for the caller to write;
    when the block succeeds, the temporary file is flushed to disk and
    renamed over `path`; when it fails or is interrupted, it is removed and
    `path` is left as it was."""
    target = Path(path)
    temporary = target.with_name(f".{target.name}.{secrets.token_hex(4)}.tmp")
    # Created here, with the permissions the umask gives a new file, so
    # the renamed file looks like any other the user writes.
    os.close(os.open(temporary, os.O_CREAT | os.O_EXCL | os.O_WRONLY, 0o666))
    try:
        yield temporary
        _flush_to_disk(temporary)
        os.replace(temporary, target)
    except BaseException:
        with contextlib.suppress(FileNotFoundError):
            os.unlink(temporary)
        raise
    _flush_directory(target.parent)


def _flush_to_disk(path: Path) -> None:
    descriptor = os.open(path, os.O_RDONLY)
    try:
        os.fsync(descriptor)
    finally:
        os.close(descriptor)


def _flush_directory(directory: Path) -> None:
    """Make the rename itself durable; some file systems cannot, which only
    weakens durability, not atomicity."""
    with contextlib.suppress(OSError):
        _flush_to_disk(directory)
