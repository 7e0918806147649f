"""The runner's scratch directories in the temporary directory (/tmp): each
is locked while its runner lives, by an flock that dies with the process,
so that the directories of a runner that was killed before it could remove
them are removed by the next runner that makes one of the same kind."""

import fcntl
import glob
import os
import shutil
import tempfile

LOCK = "lock"
# Each scratch directory of this runner: the descriptor holding its lock.
HELD = {}


def make(prefix):
    """A new scratch directory named PREFIX..., once those of dead runners
    are gone."""
    sweep(prefix)
    path = tempfile.mkdtemp(prefix=prefix)
    fd = os.open(os.path.join(path, LOCK + ".new"), os.O_RDWR | os.O_CREAT | os.O_CLOEXEC, 0o600)
    fcntl.flock(fd, fcntl.LOCK_EX)
    # Named only once locked: a lock file that can be locked has no runner.
    os.rename(os.path.join(path, LOCK + ".new"), os.path.join(path, LOCK))
    HELD[path] = fd
    return path


def remove(path):
    shutil.rmtree(path, ignore_errors=True)
    fd = HELD.pop(path, None)
    if fd is not None:
        os.close(fd)


def sweep(prefix):
    """Removes the scratch directories PREFIX... whose runner has died."""
    for path in glob.glob(os.path.join(tempfile.gettempdir(), glob.escape(prefix) + "*")):
        try:
            fd = os.open(os.path.join(path, LOCK), os.O_RDWR | os.O_CLOEXEC)
        except OSError:
            continue  # still being made, or not one of ours
        try:
            fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
            shutil.rmtree(path, ignore_errors=True)
        except BlockingIOError:
            pass  # its runner lives
        finally:
            os.close(fd)
