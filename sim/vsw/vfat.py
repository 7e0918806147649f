"""The stick's FAT file system (FAT12, FAT16 or FAT32) as the kernel's vfat
driver shows it, read-only, through FUSE: this kernel has no FAT driver.

What a program on the switch sees is what vfat shows with its default
options: a long name where a valid one belongs to the entry, else the 8.3
name with the lower-case flags that Windows NT and mtools set (`first.img`
stored as "FIRST   IMG"), names in directory order, lookups that ignore the
case of ASCII letters and trailing dots, modes from the mounting process's
umask (no write bits for read-only entries), sizes and times from the
entries (taken as UTC). The image is read as requests come, never copied.

Usage: vfat [--offset BYTES] DEVICE MOUNTPOINT (BYTES: where the file system
starts on DEVICE, for a partition). Status 1 and a line on stderr when
DEVICE holds no FAT file system, as the kernel's driver refuses to mount it.
"""

import bisect
import calendar
import errno
import os
import stat
import struct
import sys

ATTR_RO, ATTR_VOLUME, ATTR_DIR, ATTR_LFN = 0x01, 0x08, 0x10, 0x0F
LOWER_BASE, LOWER_EXT = 0x08, 0x10
ENTRY = 32
FAT12_MAX_CLUSTERS = 4084
# Only ASCII letters change case in lookups, as with vfat's default tables.
ASCII_LOWER = {c: c + 32 for c in range(ord("A"), ord("Z") + 1)}


class NotFat(Exception):
    """The device holds no FAT file system that vfat would mount."""


def lookup_key(name):
    return name.rstrip(".").translate(ASCII_LOWER)


def fat_time(date, time_=0, centis=0):
    """Seconds since the epoch of a FAT date and time, as UTC."""
    year, month, day = 1980 + (date >> 9), min(12, max(1, (date >> 5) & 15)), max(1, date & 31)
    hour, minute, two_s = time_ >> 11, (time_ >> 5) & 63, time_ & 31
    return calendar.timegm((year, month, day, hour, minute, two_s * 2)) + centis / 100


def short_name(raw, case):
    """The 8.3 name of an entry, lower-cased where its case flags say."""
    if raw[0] == 0x05:  # a name starting with 0xE5 is stored as 0x05
        raw = b"\xe5" + raw[1:]
    base, ext = raw[:8].rstrip(b" ").decode("cp437"), raw[8:].rstrip(b" ").decode("cp437")
    if case & LOWER_BASE:
        base = base.translate(ASCII_LOWER)
    if case & LOWER_EXT:
        ext = ext.translate(ASCII_LOWER)
    return base + "." + ext if ext else base


def lfn_checksum(raw):
    total = 0
    for byte in raw:
        total = (((total & 1) << 7) | (total >> 1)) + byte & 0xFF
    return total


class Entry:
    """A directory entry: the file or directory it names."""

    def __init__(self, raw, ino, volume):
        # The 8.3 name finds the entry too, and is its name without a long one.
        self.alias = self.name = short_name(raw[:11], raw[12])
        self.ino = ino
        self.attr, self.size = raw[11], struct.unpack_from("<I", raw, 28)[0]
        high = struct.unpack_from("<H", raw, 20)[0] if volume.bits == 32 else 0
        self.cluster = high << 16 | struct.unpack_from("<H", raw, 26)[0]
        ctime_cs, ctime, cdate, adate = struct.unpack_from("<BHHH", raw, 13)
        mtime, mdate = struct.unpack_from("<HH", raw, 22)
        self.times = (fat_time(adate), fat_time(mdate, mtime), fat_time(cdate, ctime, ctime_cs))

    @property
    def is_dir(self):
        return bool(self.attr & ATTR_DIR)


class Volume:
    """A FAT file system at byte `offset` of the open device `fd`."""

    def __init__(self, fd, offset=0):
        self.fd, self.offset = fd, offset
        boot = os.pread(fd, 512, offset)
        if len(boot) < 512:
            raise NotFat("too short")
        (sector, per_cluster, reserved, fats, root_entries, total16, media, fat16,
         ) = struct.unpack_from("<HBHBHHBH", boot, 11)
        total32, fat32, _flags, _version, root_cluster = struct.unpack_from("<IIHHI", boot, 32)
        # The checks of the kernel's driver, which refuses the mount on any.
        if not fats or not reserved or not (media >= 0xF8 or media == 0xF0):
            raise NotFat("no FAT boot sector")
        if sector not in (512, 1024, 2048, 4096) or per_cluster not in (1, 2, 4, 8, 16, 32,
                                                                         64, 128):
            raise NotFat("bad sector or cluster size")
        fat_sectors = fat16 or fat32
        total = total16 or total32
        self.bits = 32 if not fat16 and fat32 else 0
        if not fat_sectors or not total or (self.bits != 32 and root_entries * ENTRY % sector):
            raise NotFat("bad FAT or root directory size")
        root_sectors = 0 if self.bits == 32 else root_entries * ENTRY // sector
        self.cluster_size = sector * per_cluster
        self.fat_at = offset + reserved * sector
        self.root_at = self.fat_at + fats * fat_sectors * sector
        first_data = reserved + fats * fat_sectors + root_sectors
        self.data_at = offset + first_data * sector
        self.clusters = (total - first_data) // per_cluster if total > first_data else 0
        if not self.bits:
            self.bits = 16 if self.clusters > FAT12_MAX_CLUSTERS else 12
        self.root_size = root_entries * ENTRY
        self.root_cluster = root_cluster if self.bits == 32 else 0
        self.end_mark = {12: 0xFF8, 16: 0xFFF8, 32: 0x0FFFFFF8}[self.bits]

    def next_cluster(self, n, cache):
        at = n * self.bits // 8
        piece = at // 4096
        if piece not in cache:
            cache[piece] = os.pread(self.fd, 4096 + 4, self.fat_at + piece * 4096)
        raw = cache[piece][at % 4096:at % 4096 + 4].ljust(4, b"\0")
        if self.bits == 12:
            value = struct.unpack_from("<H", raw)[0]
            return value >> 4 if n & 1 else value & 0xFFF
        if self.bits == 16:
            return struct.unpack_from("<H", raw)[0]
        return struct.unpack_from("<I", raw)[0] & 0x0FFFFFFF

    def runs(self, first):
        """[(device offset, bytes)] of a cluster chain, contiguous clusters
        merged; OSError EIO for a chain that leaves the data area or loops."""
        out, cache, n = [], {}, first
        while n < self.end_mark:
            if not 2 <= n < self.clusters + 2 or len(out) > self.clusters:
                raise OSError(errno.EIO, "broken cluster chain")
            at = self.data_at + (n - 2) * self.cluster_size
            if out and out[-1][0] + out[-1][1] == at:
                out[-1] = (out[-1][0], out[-1][1] + self.cluster_size)
            else:
                out.append((at, self.cluster_size))
            n = self.next_cluster(n, cache)
        return out

    def read_runs(self, runs):
        return b"".join(os.pread(self.fd, length, at) for at, length in runs)

    def directory_runs(self, entry):
        """runs() of a directory (None: the root, which FAT12 and FAT16 keep
        in an area of its own)."""
        if entry is None and not self.root_cluster:
            return [(self.root_at, self.root_size)]
        return self.runs(entry.cluster if entry else self.root_cluster)

    def directory(self, entry=None):
        """[Entry] of a directory (None: the root) in directory order, with
        the names vfat gives them; "." and ".." left out."""
        runs = self.directory_runs(entry)
        out, parts, want, checksum = [], {}, 0, None
        for at, length in runs:
            data = os.pread(self.fd, length, at)
            for pos in range(0, len(data) - ENTRY + 1, ENTRY):
                raw = data[pos:pos + ENTRY]
                seq = raw[0] & 0x3F
                if raw[0] in (0x00, 0xE5) or (raw[11] != ATTR_LFN and raw[11] & ATTR_VOLUME):
                    parts, want = {}, 0
                elif raw[11] == ATTR_LFN:
                    # The slots of a long name come last first, each with the
                    # checksum of the 8.3 entry that follows them.
                    if want and seq == want and raw[13] == checksum:
                        want -= 1
                    elif raw[0] & 0x40 and 1 <= seq <= 20:
                        parts, want, checksum = {}, seq - 1, raw[13]
                    else:
                        parts, want = {}, 0
                        continue
                    parts[seq] = raw[1:11] + raw[14:26] + raw[28:32]
                else:
                    item = Entry(raw, (at + pos) // ENTRY, self)
                    if parts and not want and checksum == lfn_checksum(raw[:11]):
                        units = b"".join(parts[s] for s in sorted(parts))
                        item.name = units.decode("utf-16-le", "replace").split("\0")[0]
                    parts, want = {}, 0
                    if item.alias not in (".", ".."):
                        out.append(item)
        return out

    def find(self, path):
        """The Entry of a path from the root (None for the root itself)."""
        entry = None
        for part in [p for p in path.split("/") if p]:
            if entry is not None and not entry.is_dir:
                raise OSError(errno.ENOTDIR, path)
            key = lookup_key(part)
            entry = next((e for e in self.directory(entry)
                          if key in (lookup_key(e.name), lookup_key(e.alias))), None)
            if entry is None:
                raise OSError(errno.ENOENT, path)
        return entry

    def size_of_dir(self, entry):
        return sum(n for _, n in self.directory_runs(entry))

    def free_clusters(self):
        cache = {}
        return sum(1 for n in range(2, self.clusters + 2) if self.next_cluster(n, cache) == 0)


def attributes(volume, entry, umask):
    if entry is None or entry.is_dir:
        subdirs = sum(1 for e in volume.directory(entry) if e.is_dir)
        times = entry.times if entry else (0, 0, 0)
        return dict(st_mode=stat.S_IFDIR | 0o777 & ~umask, st_nlink=2 + subdirs,
                    st_size=volume.size_of_dir(entry), st_ino=entry.ino if entry else 1,
                    st_atime=times[0], st_mtime=times[1], st_ctime=times[2],
                    st_uid=os.getuid(), st_gid=os.getgid())
    mode = 0o777 & ~umask & (~0o222 if entry.attr & ATTR_RO else 0o777)
    return dict(st_mode=stat.S_IFREG | mode, st_nlink=1, st_size=entry.size, st_ino=entry.ino,
                st_atime=entry.times[0], st_mtime=entry.times[1], st_ctime=entry.times[2],
                st_uid=os.getuid(), st_gid=os.getgid())


def operations(volume, umask, fuse):
    """The FUSE operations of a mounted volume (fusepy's interface)."""

    class VfatOperations(fuse.Operations):
        def __init__(self):
            self.open_files = {}

        def __call__(self, op, *args):
            try:
                return super().__call__(op, *args)
            except OSError as e:
                raise fuse.FuseOSError(e.errno or errno.EIO)

        def getattr(self, path, fh=None):
            return attributes(volume, volume.find(path), umask)

        def readdir(self, path, fh):
            entry = volume.find(path)
            if entry is not None and not entry.is_dir:
                raise OSError(errno.ENOTDIR, path)
            return [".", ".."] + [e.name for e in volume.directory(entry)]

        def open(self, path, flags):
            if flags & (os.O_WRONLY | os.O_RDWR):
                raise OSError(errno.EROFS, path)
            entry = volume.find(path)
            runs = volume.runs(entry.cluster) if entry.cluster and entry.size else []
            starts, total = [], 0
            for _, length in runs:
                starts.append(total)
                total += length
            fh = max(self.open_files, default=0) + 1
            self.open_files[fh] = (entry.size, runs, starts)
            return fh

        def read(self, path, size, offset, fh):
            file_size, runs, starts = self.open_files[fh]
            size = max(0, min(size, file_size - offset))
            pieces = []
            i = bisect.bisect_right(starts, offset) - 1
            while size > 0:
                if i < 0 or i >= len(runs):
                    raise OSError(errno.EIO, "file longer than its clusters")
                at, length = runs[i]
                skip = offset - starts[i]
                n = min(size, length - skip)
                pieces.append(os.pread(volume.fd, n, at + skip))
                offset, size, i = offset + n, size - n, i + 1
            return b"".join(pieces)

        def release(self, path, fh):
            self.open_files.pop(fh, None)
            return 0

        def statfs(self, path):
            free = volume.free_clusters()
            return dict(f_bsize=volume.cluster_size, f_frsize=volume.cluster_size,
                        f_blocks=volume.clusters, f_bfree=free, f_bavail=free, f_namemax=255)

    return VfatOperations()


def main(argv):
    args, offset = list(argv), 0
    if args[:1] == ["--offset"] and len(args) > 1:
        offset, args = int(args[1]), args[2:]
    if len(args) != 2:
        sys.stderr.write("usage: vfat [--offset BYTES] DEVICE MOUNTPOINT\n")
        return 2
    device, mountpoint = args
    try:
        fd = os.open(device, os.O_RDONLY)
        volume = Volume(fd, offset)
    except (OSError, NotFat) as e:
        sys.stderr.write(f"vfat: {device}: {e}\n")
        return 1
    # Inside the switch fusepy and libfuse lie beside this file; outside they
    # are Debian's (python3-fusepy, libfuse2).
    here = os.path.dirname(os.path.abspath(__file__))
    sys.path.insert(0, here)
    if os.path.exists(os.path.join(here, "libfuse.so.2")):
        os.environ.setdefault("FUSE_LIBRARY_PATH", os.path.join(here, "libfuse.so.2"))
    import fusepy as fuse
    umask = os.umask(0)
    os.umask(umask)
    # nonempty: the kernel mounts over a directory whatever it holds,
    # another mount included.
    try:
        fuse.FUSE(operations(volume, umask, fuse), mountpoint, foreground=False, nothreads=True,
                  ro=True, use_ino=True, nonempty=True, fsname=device, subtype="vfat")
    except RuntimeError as e:
        sys.stderr.write(f"vfat: {mountpoint}: {e}\n")
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
