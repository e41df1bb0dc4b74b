"""Opening what the user names, and writing what the user asked for, without surprises: a FIFO
or a device is never read (it could block or never end), a file larger than a limit is not
read, an error says what the problem is (a symbolic link loop is not a missing file), and a
report replaces the file it is written to only once it is complete."""

from __future__ import annotations

import contextlib
import errno
import os
import stat
import sys

TYPE_CHECKING = False  # typing does not load: the annotations are only read by checkers
if TYPE_CHECKING:
    from typing import BinaryIO, Callable, Optional

_KINDS = ((stat.S_ISDIR, "a directory"), (stat.S_ISFIFO, "a FIFO"), (stat.S_ISCHR, "a character device"),
          (stat.S_ISBLK, "a block device"), (stat.S_ISSOCK, "a socket"))
_REASONS = {errno.ENOENT: "no such file", errno.ELOOP: "a symbolic link loop",
            errno.ENAMETOOLONG: "the file name is too long", errno.EACCES: "permission denied",
            errno.ENOTDIR: "a folder in the path is a file", errno.EISDIR: "a directory",
            errno.ENOSPC: "no space left on the device", errno.EROFS: "a read-only file system",
            errno.EFBIG: "the file is too large for the file system",
            errno.EDQUOT: "the disk quota is used up"}


# The runs under way that note each file they read: (device, inode) -> the path it was opened by.
_READERS: list = []


@contextlib.contextmanager
def reads_noted():
    """Notes every regular file opened for reading (by `open_regular`) while the block runs, as
    {(device, inode): path}, so that nothing a run read can be written over by its output."""
    noted: dict = {}
    _READERS.append(noted)
    try:
        yield noted
    finally:
        _READERS.remove(noted)


class FileProblem(ValueError):
    """A file that cannot serve; `str()` is the reason alone, for the caller to name the file."""


def reason(exc: OSError) -> str:
    """The words for an operating-system error, the same for every file the tool touches."""
    return _REASONS.get(exc.errno, exc.strerror or type(exc).__name__)


def kind_of(mode: int) -> Optional[str]:
    """What a file that is not a regular one is, or None for a regular file."""
    return next((name for test, name in _KINDS if test(mode)), None if stat.S_ISREG(mode) else "not a file")


def open_regular(path: str, limit: Optional[int] = None) -> BinaryIO:
    """Opens a regular file for reading. The check is made on the opened file itself (opened
    without waiting, so a FIFO cannot block), so nothing can be swapped in between."""
    try:
        descriptor = os.open(path, os.O_RDONLY | os.O_NONBLOCK | os.O_CLOEXEC)
    except OSError as exc:
        raise FileProblem(reason(exc)) from None
    try:
        info = os.fstat(descriptor)
        kind = kind_of(info.st_mode)
        if kind is not None:
            raise FileProblem(f"not a regular file ({kind})")
        if limit is not None and info.st_size > limit:
            raise FileProblem(f"{info.st_size:,} bytes, more than the {limit:,} this tool reads")
        for noted in _READERS:
            noted.setdefault((info.st_dev, info.st_ino), path)
        os.set_blocking(descriptor, True)
        return os.fdopen(descriptor, "rb")
    except BaseException:
        os.close(descriptor)
        raise


def read_limited(path: str, limit: int) -> bytes:
    """The whole of a regular file of at most `limit` bytes (the limit holds even for a file
    that grows while it is read)."""
    with open_regular(path, limit) as handle:
        # by the file's size, not the limit: a read of limit + 1 bytes takes that much memory
        # for a moment, whatever the file holds
        data = handle.read(os.fstat(handle.fileno()).st_size + 1)
        while len(data) <= limit:  # a file that grew since: on up to the limit
            more = handle.read(min(1 << 20, limit + 1 - len(data)))
            if not more:
                break
            data += more
    if len(data) > limit:
        raise FileProblem(f"more than the {limit:,} bytes this tool reads")
    return data


def identity(path: str) -> Optional[tuple[int, int]]:
    """The file's device and inode, or None when there is no such file: two names of one file
    (links, `./`, another spelling) have the same identity."""
    try:
        info = os.stat(path)
    except OSError:
        return None
    return info.st_dev, info.st_ino


def write_report(path: str, produce: Callable[[Callable[[bytes], object]], None]) -> None:
    """Writes a report to `path`: `produce(write)` hands over its bytes through `write`. A
    regular file (or a new one) is replaced only once the new contents are complete and on
    disk: they go to a temporary file in the same folder, which is flushed, synced and renamed
    over the target; if anything fails the old file is left as it was and the temporary file
    is removed. A device or FIFO (`/dev/stdout`) is written directly. Raises OSError."""
    target = os.path.realpath(path)  # replace what a symbolic link points to, not the link
    try:
        mode = os.stat(target).st_mode
    except FileNotFoundError:
        mode = None
    if mode is not None and not stat.S_ISREG(mode):
        if stat.S_ISDIR(mode):
            raise IsADirectoryError(errno.EISDIR, "Is a directory", path)
        with open(target, "wb") as handle:
            produce(handle.write)
        return
    folder = os.path.dirname(target)
    descriptor, temporary = _new_temporary(folder, f".{os.path.basename(target)}.")
    try:
        with os.fdopen(descriptor, "wb") as handle:
            produce(handle.write)
            handle.flush()
            os.fsync(handle.fileno())
        os.chmod(temporary, stat.S_IMODE(mode) if mode is not None else _default_mode())
        os.replace(temporary, target)
    except BaseException:
        try:
            os.unlink(temporary)
        except OSError:
            pass
        raise
    _sync_folder(folder)


def _new_temporary(folder: str, prefix: str) -> tuple:
    """(descriptor, path) of a new file only this process can read, as tempfile.mkstemp makes
    it, without loading tempfile (and what it loads) for every run."""
    for _ in range(100):
        path = os.path.join(folder, f"{prefix}{os.urandom(6).hex()}.tmp")
        try:
            return os.open(path, os.O_RDWR | os.O_CREAT | os.O_EXCL | os.O_CLOEXEC, 0o600), path
        except FileExistsError:
            continue
    raise FileExistsError(errno.EEXIST, "no unused temporary file name", folder)


def _default_mode() -> int:
    """What a newly created file gets: 0o666 less the process's umask."""
    mask = os.umask(0o022)
    os.umask(mask)
    return 0o666 & ~mask


def _sync_folder(folder: str) -> None:
    """Puts the rename itself on disk; some file systems cannot, and that is no failure."""
    try:
        descriptor = os.open(folder, os.O_RDONLY | os.O_DIRECTORY)
    except OSError:
        return
    try:
        os.fsync(descriptor)
    except OSError:
        pass
    finally:
        os.close(descriptor)


def write_stdout(produce: Callable[[Callable[[bytes], object]], None]) -> None:
    """Writes to standard output through `produce(write)` and makes sure it arrived (a full disk
    shows at the flush). Raises OSError; a closed pipe raises BrokenPipeError."""
    sys.stdout.flush()
    produce(sys.stdout.buffer.write)
    sys.stdout.buffer.flush()
