"""A folder whose contents never answer, as a network share whose server has gone:
every look-up below it blocks in the kernel until the folder is taken away. Made with
FUSE by speaking its protocol on /dev/fuse directly (no libfuse): only the kernel's
greeting and the folder's own attributes are answered, nothing else ever is.

    with UnansweringFolder(path) as folder:   # needs root and /dev/fuse
        ...                                    # path/anything blocks whoever looks
        folder.abort()                         # every blocked call fails, the mount goes
    # (leaving aborts too)

A call the kernel handed over and that is never answered cannot be interrupted, not
even by SIGKILL: a process with a thread blocked there ends only once the folder is
aborted (Windows, by contrast, cancels such a call when the process exits).

UnansweringFolder.unavailable() tells why it cannot be made here (None when it can).
"""
import ctypes
import errno
import os
import struct
import threading

FUSE_LOOKUP, FUSE_GETATTR, FUSE_INIT = 1, 3, 26
ROOT_NODE = 1
MS_NOSUID, MS_NODEV = 2, 4
MNT_FORCE, MNT_DETACH = 1, 2
IN_HEADER = struct.Struct("<IIQQIIII")   # len, opcode, unique, node id, uid, gid, pid, padding
OUT_HEADER = struct.Struct("<IiQ")       # len, error, unique

_libc = ctypes.CDLL(None, use_errno=True)


class UnansweringFolder:
    @staticmethod
    def unavailable():
        if os.geteuid() != 0:
            return "mounting a FUSE folder needs root"
        if not os.path.exists("/dev/fuse"):
            return "/dev/fuse is missing"
        return None

    def __init__(self, path):
        self.path = os.path.abspath(path)
        self.fd = None
        self.thread = None

    def __enter__(self):
        os.makedirs(self.path, exist_ok=True)
        self.fd = os.open("/dev/fuse", os.O_RDWR)
        options = "fd=%d,rootmode=40000,user_id=0,group_id=0,allow_other" % self.fd
        if _libc.mount(b"lanternix-unanswering", self.path.encode(), b"fuse", MS_NOSUID | MS_NODEV,
                       options.encode()) != 0:
            code = ctypes.get_errno()
            os.close(self.fd)
            raise OSError(code, "could not mount a FUSE folder at %s: %s" % (self.path, os.strerror(code)))
        self.thread = threading.Thread(target=self._serve, daemon=True)
        self.thread.start()
        return self

    def __exit__(self, *_):
        self.abort()

    def abort(self):
        """Takes the folder away: blocked callers get an error at once."""
        if self.fd is None:
            return
        # A forced unmount aborts the connection.
        if _libc.umount2(self.path.encode(), MNT_FORCE) != 0:
            _libc.umount2(self.path.encode(), MNT_DETACH)
        self.thread.join(10)
        os.close(self.fd)
        self.fd = None
        try:
            os.rmdir(self.path)
        except OSError:
            pass

    def _reply(self, unique, payload):
        os.write(self.fd, OUT_HEADER.pack(OUT_HEADER.size + len(payload), 0, unique) + payload)

    def _serve(self):
        while True:
            try:
                request = os.read(self.fd, 1 << 20)
            except OSError as error:
                if error.errno in (errno.EINTR, errno.ENOENT):  # ENOENT: a request taken back
                    continue
                return  # ENODEV: the connection was aborted
            _, opcode, unique, node, _, _, _, _ = IN_HEADER.unpack_from(request)
            if opcode == FUSE_INIT:
                major, minor = struct.unpack_from("<II", request, IN_HEADER.size)
                # Protocol 7.22's short answer: major, minor, readahead, flags,
                # background, congestion threshold, largest write.
                self._reply(unique, struct.pack("<IIIIHHI", 7, 22, 0, 0, 0, 0, 4096))
            elif opcode == FUSE_GETATTR and node == ROOT_NODE:
                attributes = struct.pack("<QQQQQQIIIIIIIIII", ROOT_NODE, 0, 0, 0, 0, 0, 0, 0, 0,
                                         0o40755, 2, 0, 0, 0, 4096, 0)
                self._reply(unique, struct.pack("<QII", 0, 0, 0) + attributes)
            # Anything else (a look-up below the folder first) is never answered.
