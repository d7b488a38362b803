"""Writing a file so that readers see either the old file or the complete
new one, never a half-written one."""

import contextlib
import hashlib
import os
import re
import secrets
import socket
from collections.abc import Iterator
from pathlib import Path

# A temporary file is named `.NAME.PID@HOST.TOKEN.tmp` beside the file NAME
# it becomes: PID is the writing process and HOST a short hash of its host
# name, so that a later save can tell the leftovers of a writer that died
# (killed mid-save) from the live file of a writer still at work, even when
# the directory is shared by several machines.
_HOST = hashlib.blake2b(socket.gethostname().encode("utf-8", "surrogateescape"), digest_size=4).hexdigest()
_TEMPORARY = r"\.{name}\.(?P<pid>[0-9]+)@(?P<host>[0-9a-f]{{8}})\.[0-9a-f]{{8}}\.tmp"


@contextlib.contextmanager
def atomic_write(path: str | os.PathLike[str]) -> Iterator[Path]:
    """Yield a fresh temporary path beside `path` for the caller to write;
    when the block succeeds, the temporary file is flushed to disk and
    renamed over `path`, and temporary files that killed writers left
    beside `path` are removed; when it fails or is interrupted, it is
    removed and `path` is left as it was."""
    target = Path(path)
    temporary = target.with_name(f".{target.name}.{os.getpid()}@{_HOST}.{secrets.token_hex(4)}.tmp")
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
    remove_stale_temporaries(target)


def remove_stale_temporaries(target: Path) -> None:
    """Remove the temporary files of saves to `target` whose writer, on
    this host, is no longer running. Those of live writers, of other hosts
    and of this process (another thread may be writing) are kept; a file
    that cannot be listed or removed is left alone."""
    pattern = re.compile(_TEMPORARY.format(name=re.escape(target.name)))
    with contextlib.suppress(OSError), os.scandir(target.parent) as entries:
        for entry in entries:
            match = pattern.fullmatch(entry.name)
            if match is None or match["host"] != _HOST or not _dead(int(match["pid"])):
                continue
            with contextlib.suppress(OSError):
                os.unlink(entry.path)


def _dead(pid: int) -> bool:
    """Whether no process has `pid`."""
    if pid == os.getpid():
        return False
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return True
    except (PermissionError, OverflowError):  # alive under another user; a number no writer could have used
        return False
    return False


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
