"""The user partition as the virtual machine's kernel keeps it: a real JFFS2
file system in the partition's flash. At power-on a board whose user files
were changed from outside (vswitch create/set, a test) gets a fresh image
made by mtd-utils' mkfs.jffs2; after power-off the files are read back from
the flash as the kernel would find them at its next mount: every node
checked by its CRCs, the newest version of each winning, obsolete and
damaged nodes left out. So the board's user/ directory keeps showing the
slot files, and a power cut leaves what the flash holds."""

import hashlib
import os
import shutil
import stat
import struct
import subprocess
import tempfile
import zlib

from vsw.common import VswitchError

MAGIC = 0x1985
ACCURATE = 0x2000          # cleared on NOR to mark a node obsolete
DIRENT, INODE = 0xE001, 0xE002
DIRENT_SIZE, INODE_SIZE = 40, 68
ROOT_INO = 1
STAMP = "user.stamp"


def crc(data):
    """JFFS2's CRC-32: the reflected polynomial seeded with 0, no inversion."""
    return zlib.crc32(data, 0xFFFFFFFF) ^ 0xFFFFFFFF


def rtime_decompress(src, length):
    positions = [0] * 256
    out = bytearray()
    pos = 0
    while len(out) < length and pos + 1 < len(src):
        value, repeat = src[pos], src[pos + 1]
        pos += 2
        out.append(value)
        back = positions[value]
        positions[value] = len(out)
        for i in range(repeat):
            out.append(out[back + i])
    return bytes(out[:length])


def lzo_decompress(src, length):
    try:
        import lzo  # Debian's python3-lzo
    except ImportError:
        raise VswitchError("the user partition holds LZO data: install python3-lzo")
    return lzo.decompress(src, False, length)


def decompress(kind, data, length):
    if kind == 0:
        return data[:length]
    if kind == 1:
        return bytes(length)
    if kind == 2:
        return rtime_decompress(data, length)
    if kind == 6:
        return zlib.decompress(data)[:length]
    if kind == 7:
        return lzo_decompress(data, length)
    raise VswitchError(f"the user partition holds data compressed with kind {kind}")


def nodes(image, order):
    """(type, offset, totlen) of every node whose header CRC holds; `order`
    is the byte order ("<" little-endian, ">" big-endian)."""
    magic_bytes = struct.pack(order + "H", MAGIC)
    pos = 0
    while pos + 12 <= len(image):
        magic, kind, total, hdr_crc = struct.unpack_from(order + "HHII", image, pos)
        if magic == MAGIC and crc(image[pos:pos + 8]) == hdr_crc and 12 <= total <= len(image) - pos:
            yield kind, pos, total
            pos += (total + 3) & ~3
            continue
        pos = next_magic(image, pos + 4, magic_bytes)


def next_magic(image, pos, magic_bytes):
    """Where the next node could start: the magic, 4-byte aligned (or past
    the end). Erased flash between nodes is skipped at once."""
    while True:
        pos = image.find(magic_bytes, pos)
        if pos < 0:
            return len(image)
        if pos % 4 == 0:
            return pos
        pos += 1


def scan(image, order):
    """({ino: (parent, name)} of live entries, {ino: (mode, bytes)})."""
    dirents, inodes = {}, {}
    for kind, pos, total in nodes(image, order):
        if kind == DIRENT and total >= DIRENT_SIZE:
            f = struct.unpack_from(order + "IIIIBB2xII", image, pos + 12)
            pino, version, ino, _mctime, nsize, _type, node_crc, name_crc = f
            name = image[pos + DIRENT_SIZE:pos + DIRENT_SIZE + nsize]
            if crc(image[pos:pos + 32]) != node_crc or crc(name) != name_crc:
                continue
            key = (pino, name.decode(errors="replace"))
            if key not in dirents or dirents[key][0] < version:
                dirents[key] = (version, ino)
        elif kind == INODE and total >= INODE_SIZE:
            f = struct.unpack_from(order + "IIIHHIIIIIIIBBHII", image, pos + 12)
            ino, version, mode, _u, _g, isize = f[:6]
            offset, csize, dsize, compr, _uc, _fl, data_crc, node_crc = f[9:]
            data = image[pos + INODE_SIZE:pos + INODE_SIZE + csize]
            if crc(image[pos:pos + 60]) != node_crc or crc(data) != data_crc:
                continue
            inodes.setdefault(ino, []).append((version, mode, isize, offset, dsize, compr, data))
    names = {ino: key for key, (_v, ino) in dirents.items() if ino != 0}
    files = {}
    for ino, versions in inodes.items():
        content = bytearray()
        versions.sort(key=lambda v: v[0])
        for _v, mode, isize, offset, dsize, compr, data in versions:
            if dsize:
                piece = decompress(compr, data, dsize)
                if len(content) < offset:
                    content.extend(bytes(offset - len(content)))
                content[offset:offset + len(piece)] = piece
            del content[isize:]
        files[ino] = (versions[-1][1], bytes(content))
    return names, files


def read_back(image, directory, order="<"):
    """Replaces the files of `directory` with those the JFFS2 image holds."""
    names, files = scan(image, order)
    for entry in os.listdir(directory):
        path = os.path.join(directory, entry)
        shutil.rmtree(path) if os.path.isdir(path) and not os.path.islink(path) else os.remove(path)

    def path_of(ino, depth=0):
        if ino == ROOT_INO:
            return directory
        if ino not in names or depth > 64:
            return None
        parent, name = names[ino]
        base = path_of(parent, depth + 1)
        return None if base is None or "/" in name else os.path.join(base, name)

    for ino in sorted(names, key=lambda i: len(str(path_of(i)))):
        path = path_of(ino)
        mode = files.get(ino, (stat.S_IFREG | 0o644, b""))[0]
        if path is None:
            continue
        if stat.S_ISDIR(mode):
            os.makedirs(path, exist_ok=True)
        elif not os.path.isdir(os.path.dirname(path)):
            continue
        elif stat.S_ISREG(mode):
            with open(path, "wb") as f:
                f.write(files.get(ino, (0, b""))[1])
        elif stat.S_ISLNK(mode):  # a symbolic link's bytes are its target
            os.symlink(files[ino][1].decode(errors="replace"), path)


def tree_digest(directory):
    digest = hashlib.sha256()
    for base, dirs, names in os.walk(directory):
        dirs.sort()
        for name in sorted(names) + [d + "/" for d in dirs]:
            path = os.path.join(base, name.rstrip("/"))
            digest.update(os.path.relpath(path, directory).encode() + b"\0")
            if os.path.islink(path):  # never followed: it may name a device
                digest.update(b"-> " + os.readlink(path).encode())
            elif not name.endswith("/"):
                with open(path, "rb") as f:
                    digest.update(hashlib.sha256(f.read()).digest())
    return digest.hexdigest()


def stamp_path(board):
    return os.path.join(board.path, "dev", STAMP)


def prepare_user_flash(board, erasesize, big_endian=False):
    """Before power-on: when the user files are no longer what the flash was
    last read back as, or the flash was made in the other byte order (the
    PowerPC machine's kernel is big-endian), the flash gets a new image."""
    stamp = stamp_text(board, big_endian)
    try:
        with open(stamp_path(board)) as f:
            if f.read().strip() == stamp:
                return
    except OSError:
        pass
    flash = board.partition_file("user-char")
    size = os.path.getsize(flash)
    mkfs = shutil.which("mkfs.jffs2", path="/usr/sbin:/sbin:/usr/bin")
    if not mkfs:
        raise VswitchError("mkfs.jffs2 not found (install mtd-utils)")
    order = "--big-endian" if big_endian else "--little-endian"
    with tempfile.NamedTemporaryFile(prefix="vswitch-jffs2-") as out:
        result = subprocess.run([mkfs, order, f"--eraseblock={erasesize}",
                                 f"--pad={size}", "--squash", "-r", board.user, "-o", out.name],
                                capture_output=True, text=True)
        image = out.read()
    if result.returncode != 0 or len(image) > size:
        raise VswitchError("the user files do not fit the user partition: "
                           + result.stderr.strip())
    with open(flash, "r+b") as f:
        f.write(image)
    with open(stamp_path(board), "w") as f:
        f.write(stamp + "\n")


def stamp_text(board, big_endian):
    return tree_digest(board.user) + (" big-endian" if big_endian else "")


def read_back_user_flash(board, big_endian=False):
    """After power-off: the board's user files become what the flash holds."""
    with open(board.partition_file("user-char"), "rb") as f:
        read_back(f.read(), board.user, ">" if big_endian else "<")
    with open(stamp_path(board), "w") as f:
        f.write(stamp_text(board, big_endian) + "\n")
