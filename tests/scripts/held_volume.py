#!/usr/bin/python3
# A pass-through file system over a folder that can hold one read or write in the middle, so that a test
# kills a process at a moment of its choosing rather than of the clock's. While a file "hold" at the
# volume's root reads "read|write PATTERN N", the first such call on a file whose name matches PATTERN
# (fnmatch) that takes in byte N does its part below N, then waits, with a file "held" at the root.
# The wait ends when the caller is killed (the kernel interrupts the call), when "hold" goes, or after a
# minute; the call then fails with EIO, and "hold" and "held" are gone. The process is not told of its
# end otherwise: Wine's server, which closes the files of a process it kills, would wait for the held call
# and stop every Wine process with it.
# While a file "fail" at the root reads "PATTERN N", reads of files matching PATTERN succeed until N bytes
# of them have been read (since "fail" was written), and fail with EIO from then on: a share that drops
# under a program started from it, which is read through the volume as its pages are first touched.
#   held_volume.py FOLDER MOUNTPOINT
import errno
import fnmatch
import os
import sys
import time

import fusepy
from fusepy import FUSE, FuseOSError, Operations

HOLD_LIMIT_S = 60


class HeldVolume(Operations):
    use_ns = True

    def __init__(self, root):
        self.root = root
        self.control = os.path.join(root, "hold")
        self.marker = os.path.join(root, "held")
        self.failing = os.path.join(root, "fail")
        self.failing_since = None  # the "fail" file's identity and change time when counting began
        self.read_since = 0

    def real(self, path):
        return self.root + path

    def hold(self, op, path, offset, size):
        """How many bytes from offset the call may do before it is held, or None for all of them."""
        try:
            with open(self.control) as control:
                held_op, pattern, limit = control.read().split()
        except (OSError, ValueError):
            return None
        if held_op != op or not fnmatch.fnmatchcase(os.path.basename(path or ""), pattern):
            return None
        # Only the call that takes in byte N: Wine's server extends a file by writing a byte past its end,
        # and holding the server would stop every Wine process.
        return int(limit) - offset if offset <= int(limit) < offset + size else None

    def wait_for_release(self):
        open(self.marker, "w").close()
        deadline = time.monotonic() + HOLD_LIMIT_S
        interrupted = fusepy._libfuse.fuse_interrupted
        while os.path.exists(self.control) and not interrupted() and time.monotonic() < deadline:
            time.sleep(0.002)
        for name in (self.control, self.marker):
            try:
                os.unlink(name)
            except FileNotFoundError:
                pass
        raise FuseOSError(errno.EIO)

    def fails(self, path, size):
        try:
            with open(self.failing) as control:
                since = os.fstat(control.fileno())
                pattern, limit = control.read().split()
        except (OSError, ValueError):
            return False
        if not fnmatch.fnmatchcase(os.path.basename(path or ""), pattern):
            return False
        if self.failing_since != (since.st_ino, since.st_mtime_ns):
            self.failing_since, self.read_since = (since.st_ino, since.st_mtime_ns), 0
        self.read_since += size
        return self.read_since > int(limit)

    def read(self, path, size, offset, fh):
        if self.fails(path, size):
            raise FuseOSError(errno.EIO)
        allowed = self.hold("read", path, offset, size)
        if allowed is not None:
            os.pread(fh, allowed, offset)
            self.wait_for_release()
        return os.pread(fh, size, offset)

    def write(self, path, data, offset, fh):
        allowed = self.hold("write", path, offset, len(data))
        if allowed is not None:
            os.pwrite(fh, data[:allowed], offset)
            self.wait_for_release()
        return os.pwrite(fh, data, offset)

    def getattr(self, path, fh=None):
        st = os.fstat(fh) if fh is not None else os.lstat(self.real(path))
        names = ("st_mode", "st_ino", "st_nlink", "st_uid", "st_gid", "st_size")
        attrs = {name: getattr(st, name) for name in names}
        attrs.update({name: getattr(st, name + "_ns") for name in ("st_atime", "st_mtime", "st_ctime")})
        return attrs

    def readdir(self, path, fh):
        return [".", ".."] + os.listdir(self.real(path))

    def open(self, path, flags):
        return os.open(self.real(path), flags)

    def create(self, path, mode, fi=None):
        return os.open(self.real(path), os.O_RDWR | os.O_CREAT, mode)

    def truncate(self, path, length, fh=None):
        if fh is not None:
            os.ftruncate(fh, length)
        else:
            os.truncate(self.real(path), length)

    def fsync(self, path, datasync, fh):
        os.fsync(fh)

    def release(self, path, fh):
        os.close(fh)

    def flush(self, path, fh):
        pass

    def statfs(self, path):
        st = os.statvfs(self.real(path))
        names = ("f_bsize", "f_frsize", "f_blocks", "f_bfree", "f_bavail", "f_files", "f_ffree", "f_namemax")
        return {name: getattr(st, name) for name in names}

    def utimens(self, path, times=None):
        os.utime(self.real(path), ns=times, follow_symlinks=False)

    def chmod(self, path, mode):
        os.chmod(self.real(path), mode)

    def chown(self, path, uid, gid):
        os.chown(self.real(path), uid, gid, follow_symlinks=False)

    def mkdir(self, path, mode):
        os.mkdir(self.real(path), mode)

    def rmdir(self, path):
        os.rmdir(self.real(path))

    def unlink(self, path):
        os.unlink(self.real(path))

    def rename(self, old, new):
        os.rename(self.real(old), self.real(new))

    def link(self, target, source):
        os.link(self.real(source), self.real(target))

    def symlink(self, target, source):
        os.symlink(source, self.real(target))

    def readlink(self, path):
        return os.readlink(self.real(path))

    # Wine keeps a file's DOS attributes and security descriptor in extended attributes.
    def getxattr(self, path, name, position=0):
        return os.getxattr(self.real(path), name, follow_symlinks=False)

    def setxattr(self, path, name, value, options, position=0):
        os.setxattr(self.real(path), name, value, options, follow_symlinks=False)

    def listxattr(self, path):
        return os.listxattr(self.real(path), follow_symlinks=False)

    def removexattr(self, path, name):
        os.removexattr(self.real(path), name, follow_symlinks=False)


if __name__ == "__main__":
    # Reads and writes reach this process one by one, in the caller's own time (no write-back caching,
    # no read-ahead in the background: sync_read), so that a signal to the caller reaches it (intr); what
    # it changes behind the kernel's back is seen at once (no cached entries or attributes); and an open
    # file that is deleted or replaced is gone at once, as on Windows (no hidden leftover).
    FUSE(HeldVolume(os.path.abspath(sys.argv[1])), sys.argv[2], foreground=True, fsname="held-volume",
         big_writes=True, sync_read=True, intr=True, use_ino=True, hard_remove=True, entry_timeout=0,
         attr_timeout=0, negative_timeout=0)
