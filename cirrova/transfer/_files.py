"""Local ends of a transfer: the temporary file a download fills, and the sources an upload reads."""

import atexit
import base64
import hashlib
import os
import secrets
import stat
import threading

#: Temporary files not yet committed or discarded, removed at exit whatever way the program ends (a second
#: Ctrl-C during the cleanup of the first, a worker left running in a request).
_LIVE: set["TempFile"] = set()
_LIVE_LOCK = threading.Lock()


@atexit.register
def _discard_all():
    with _LIVE_LOCK:
        files = list(_LIVE)
    for temp in files:
        temp.discard()


def target_path(local_path, modes=None):
    """The download target as text; refuses a directory before anything is sent. `modes` (a list) gets the
    target's st_mode, None where it does not exist, so that a batch stats each target once."""
    if not isinstance(local_path, (str, os.PathLike)):
        raise TypeError(f"local_path 必须是路径, 而不是 {type(local_path).__name__}")
    path = os.fspath(local_path)
    if isinstance(path, bytes):
        path = os.fsdecode(path)
    if not path:
        raise ValueError("local_path 不能为空")
    try:
        mode = os.stat(path).st_mode
    except (OSError, ValueError):
        mode = None
    if mode is not None and stat.S_ISDIR(mode):
        raise IsADirectoryError(21, "local_path 是一个目录", path)
    if modes is not None:
        modes.append(mode)
    return path


def is_special(path):
    """Whether `path` (links followed) is an existing device, named pipe or socket: never renamed over."""
    try:
        mode = os.stat(path).st_mode
    except OSError:
        return False
    return not stat.S_ISREG(mode) and not stat.S_ISDIR(mode)


def open_sink(path, stop=None):
    """Where a download goes: a temporary file renamed over `path` at the end, or `path` itself written in
    order when it is a device or a named pipe (replacing one would destroy it, /dev/null included)."""
    if is_special(path):
        return PassThrough(path)
    return TempFile(path, stop)


def temp_name(name, name_max=255):
    """A fresh hidden name beside `name` that fits in `name_max` bytes, shortening `name` when needed."""
    tail = f".{secrets.token_hex(6)}.part"
    room = name_max - 1 - len(tail)
    raw = os.fsencode(name)
    if len(raw) > room:
        name = os.fsdecode(raw[:room])  # a cut inside a multi-byte letter is still a valid file name
    return f".{name}{tail}"


def _name_max(directory):
    try:
        return os.pathconf(directory, "PC_NAME_MAX")
    except (OSError, ValueError, AttributeError):
        return 255


class TempFile:
    """A file next to the target that workers write at offsets; renamed over the target only on commit.

    Writes, commit and discard share one lock, so a worker still running after an interrupt can never
    write through a descriptor number that the process has since reused, nor rename a discarded file into
    place. `stop` (a transfer's Stop) tracks the file so that it goes when its worker is left behind.
    """

    def __init__(self, path, stop=None):
        self.path = path
        directory, name = os.path.split(os.path.abspath(path))
        os.makedirs(directory, exist_ok=True)
        flags = os.O_WRONLY | os.O_CREAT | os.O_EXCL | getattr(os, "O_BINARY", 0)
        name_max = _name_max(directory)
        self._lock = threading.Lock()
        self._stop = stop
        self.fd = None
        with _LIVE_LOCK:  # registered with the descriptor, so that no exit path misses it
            while True:
                self.temp = os.path.join(directory, temp_name(name, name_max))
                try:
                    # 0o666 so the umask decides, as for any file the user creates.
                    self.fd = os.open(self.temp, flags, 0o666)
                    break
                except FileExistsError:
                    continue
            _LIVE.add(self)
        if stop is not None:
            stop.track(self)

    def write_at(self, offset, data):
        view = memoryview(data)
        with self._lock:
            if self.fd is None:
                raise OSError("下载已结束, 临时文件已关闭")
            while view:
                written = _pwrite(self.fd, view, offset)
                view, offset = view[written:], offset + written

    def md5(self):
        """The hex MD5 of what has been written, read back from the file (all writers done)."""
        with open(self.temp, "rb") as f:
            return hashlib.file_digest(f, "md5").hexdigest()

    def _forget(self):
        with _LIVE_LOCK:
            _LIVE.discard(self)
        if self._stop is not None:
            self._stop.untrack(self)

    def commit(self):
        with self._lock:
            if self.fd is None:
                raise OSError("下载已被放弃, 临时文件已删除")
            fd, self.fd = self.fd, None
            try:
                os.close(fd)
                os.replace(self.temp, self.path)
            except BaseException:
                _unlink(self.temp)
                raise
            finally:
                self._forget()

    def discard(self):
        with self._lock:
            fd, self.fd = self.fd, None
            if fd is not None:
                os.close(fd)
            _unlink(self.temp)
            self._forget()

    def __enter__(self):
        return self

    def __exit__(self, kind, exc, tb):
        if exc is not None:
            self.discard()


def _unlink(path):
    try:
        os.unlink(path)
    except FileNotFoundError:
        pass


class PassThrough:
    """A device or named pipe written through in order: each write must continue where the last ended."""

    def __init__(self, path):
        self.path = path
        # No O_CREAT or O_TRUNC: the target is what it is. A pipe's open waits for its reader.
        self.fd = os.open(path, os.O_WRONLY | getattr(os, "O_BINARY", 0))
        self.position = 0
        self._lock = threading.Lock()

    def write_at(self, offset, data):
        view = memoryview(data)
        with self._lock:
            if self.fd is None:
                raise OSError("下载已结束, 目标已关闭")
            if offset != self.position:
                raise OSError(f"设备或管道只能按顺序写入: 位置 {offset}, 应为 {self.position}")
            while view:
                written = os.write(self.fd, view)
                view = view[written:]
                self.position += written

    def commit(self):
        self.discard()

    def discard(self):
        with self._lock:
            fd, self.fd = self.fd, None
        if fd is not None:
            os.close(fd)

    def __enter__(self):
        return self

    def __exit__(self, kind, exc, tb):
        if exc is not None:
            self.discard()


if hasattr(os, "pwrite"):
    _pwrite = os.pwrite
else:  # pragma: no cover - platforms without pwrite; callers hold the lock
    def _pwrite(fd, data, offset):
        os.lseek(fd, offset, os.SEEK_SET)
        return os.write(fd, data)


class Source:
    """An upload source read in order, part by part: a path, a bytes-like object or a readable binary file.

    A file object is never seeked: reading starts at its current position and its size may be unknown.
    `size` is None until the end has been seen (known at once for paths and bytes).
    """

    def __init__(self, source):
        self._owned = self._file = None
        self._pending = b""
        self._view = None
        self.size = None
        self.read_bytes = 0
        if isinstance(source, (str, os.PathLike)):
            self._file = self._owned = open(source, "rb")
            self.size = os.fstat(self._file.fileno()).st_size
        elif isinstance(source, (bytes, bytearray, memoryview)):
            self._view = memoryview(source).cast("B")
            self.size = len(self._view)
        elif callable(getattr(source, "read", None)):
            self._file = source
        else:
            raise TypeError(f"source 必须是路径、字节或可读的二进制文件, 而不是 {type(source).__name__}")

    @staticmethod
    def check(source):
        """Type check without opening anything (for validating many items before any request)."""
        if not isinstance(source, (str, os.PathLike, bytes, bytearray, memoryview)) and \
                not callable(getattr(source, "read", None)):
            raise TypeError(f"source 必须是路径、字节或可读的二进制文件, 而不是 {type(source).__name__}")
        if isinstance(source, (str, os.PathLike)) and os.path.isdir(source):
            raise IsADirectoryError(21, "source 是一个目录", os.fspath(source))

    def read(self, n):
        """Up to n bytes, fewer only at the end (which sets `size`)."""
        if self._view is not None:
            chunk = bytes(self._view[self.read_bytes:self.read_bytes + n])
        else:
            pieces, got = [], 0
            if self._pending:  # never more than n: a part put back may be longer than the parts now read
                pieces.append(self._pending[:n])
                got, self._pending = len(pieces[0]), self._pending[n:]
            while got < n:
                piece = self._file.read(n - got)
                if piece is None:  # a non-blocking stream with nothing yet
                    raise BlockingIOError("source 是非阻塞流, 暂无数据")
                if not piece:
                    break
                if not isinstance(piece, (bytes, bytearray)):
                    raise TypeError(f"source.read 必须返回字节, 而不是 {type(piece).__name__}")
                pieces.append(piece)
                got += len(piece)
            # One piece is handed on as it is: no second copy of a part in memory.
            chunk = pieces[0] if len(pieces) == 1 and type(pieces[0]) is bytes else b"".join(pieces)
            del pieces
        self.read_bytes += len(chunk)
        if len(chunk) < n:
            self._seen_end()
        return chunk

    def at_end(self):
        """Whether everything has been read; a stream is asked for one byte ahead to know."""
        if self._view is not None:
            return self.read_bytes >= len(self._view)
        if self.size is not None and self.read_bytes < self.size:
            return False
        if not self._pending:
            self._pending = self._file.read(1) or b""
        if self._pending:
            return False
        self._seen_end()
        return True

    def exhausted(self):
        """at_end() without reading ahead of a stream: True only once its end has been seen."""
        if self._file is not None and self._owned is None:
            return self.size is not None and not self._pending
        return self.at_end()

    def whole_md5(self):
        """The Base64 MD5 of the whole source before it is sent, where that is possible without holding it:
        a path is read once ahead (a second handle), bytes are hashed in place; a stream gives None."""
        if self._view is not None:
            digest = hashlib.md5(self._view).digest()
        elif self._owned is not None:
            with open(self._owned.name, "rb") as f:
                digest = hashlib.file_digest(f, "md5").digest()
        else:
            return None
        return base64.b64encode(digest).decode("ascii")

    def unread(self, chunk):
        """Puts a chunk back in front (the part size changed after it was read)."""
        if self._view is None:
            self._pending = bytes(chunk) + self._pending
        self.read_bytes -= len(chunk)

    def _seen_end(self):
        if self._view is None and self.size is not None and self.read_bytes + len(self._pending) != self.size:
            raise OSError(f"上传期间文件大小改变: 原为 {self.size} 字节, 读到 {self.read_bytes} 字节")
        self.size = self.read_bytes

    def close(self):
        if self._owned is not None:
            self._owned.close()
