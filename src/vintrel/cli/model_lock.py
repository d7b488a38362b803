"""A model file being written by one `vintrel fit` is locked against
another, so that two fits of one model file at once cannot both succeed
while one of them loses the rows it folded.

The lock is an advisory `flock` on a hidden file beside the model file,
`.NAME.lock`, which holds the pid of the process holding it. The system
releases it when that process ends, however it ends. The holder removes
the file before releasing it; a process that locked a file of that name
which was removed meanwhile locks the file now at that name instead.
"""

import contextlib
import fcntl
import os
from collections.abc import Iterator
from pathlib import Path

from vintrel.cli.errors import CommandError


def lock_path(model: str) -> Path:
    """The lock file of the model file `model` (wherever a symbolic link to
    it is)."""
    target = Path(model).resolve()
    return target.with_name(f".{target.name}.lock")


@contextlib.contextmanager
def writing_model(model: str, resume: str | None = None) -> Iterator[None]:
    """Within the block, hold the lock of the model file `model`, which
    the block writes. A model file another process is writing is refused,
    as `model` and as `resume`, the model file the block continues."""
    path = lock_path(model)
    descriptor = _lock(path, model)
    try:
        os.ftruncate(descriptor, 0)  # a holder killed before removing the file left its pid
        os.pwrite(descriptor, f"{os.getpid()}\n".encode(), 0)
        if resume is not None and lock_path(resume) != path:
            _check_not_written("--resume", resume)
        yield
    finally:
        with contextlib.suppress(OSError):
            os.unlink(path)
        os.close(descriptor)  # releases the lock


def _lock(path: Path, model: str) -> int:
    """An open descriptor of the lock file `path`, locked."""
    while True:
        try:
            descriptor = os.open(path, os.O_RDWR | os.O_CREAT, 0o666)
        except OSError as error:
            raise CommandError(f"--model {model}: cannot create its lock file {path} ({error.strerror})") \
                from error
        try:
            fcntl.flock(descriptor, fcntl.LOCK_EX | fcntl.LOCK_NB)
            opened = os.fstat(descriptor)
            now = os.stat(path)
            if (now.st_dev, now.st_ino) == (opened.st_dev, opened.st_ino):
                return descriptor
        except BlockingIOError:
            refusal = _being_written("--model", model, descriptor, "; wait for it to finish, or write another "
                                                                          "model file")
            os.close(descriptor)
            raise refusal from None
        except FileNotFoundError:
            pass
        except BaseException:
            os.close(descriptor)
            raise
        os.close(descriptor)  # its holder removed it after this process opened it: lock the new one


def _check_not_written(option: str, model: str) -> None:
    """Refuse `model` while another process holds its lock."""
    try:
        descriptor = os.open(lock_path(model), os.O_RDONLY)
    except OSError:  # never locked, or not ours to look at: nothing to wait for
        return
    try:
        try:
            fcntl.flock(descriptor, fcntl.LOCK_SH | fcntl.LOCK_NB)
        except BlockingIOError:
            raise _being_written(option, model, descriptor, "; wait for it to finish") from None
    finally:
        os.close(descriptor)


def _being_written(option: str, model: str, descriptor: int, hint: str) -> CommandError:
    holder = os.pread(descriptor, 32, 0).decode("ascii", "replace").strip()
    by = f" (pid {holder})" if holder.isdigit() else ""
    return CommandError(f"{option} {model}: is being written by another vintrel process{by}{hint}")
