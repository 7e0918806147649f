"""The USB stick: an image made with dosfstools' mkfs.vfat and filled with
mtools, so that names, sizes and directory order are those of a real FAT
file system, by default inside a partition table as a shop's stick comes.
`BOARD/usb.img` holds the stick's bytes from its first sector, so any
machine can attach it as the disk it is. Inside the switch the kernel's
part is played here: the disk and its partitions appear in a stand-in
/sys and as nodes (the image bind-mounted read-only), and their hotplug
events go to the helper that the start-up registered, the switch's own
mdev, which runs the board's own stick handler."""

import os
import shutil
import struct
import subprocess
import tempfile
import time

from vsw.common import (BOARD_LOG, IN_RUN, MNT_DETACH, MS_BIND, MS_RDONLY, MS_REMOUNT,
                        VswitchError, libc, sys_mount)
from vsw.vfat import NotFat, Volume

# partitioned: an MBR partition table with one FAT partition from 1 MiB on,
# as sticks are sold and as PCs format them; bare: the FAT file system on
# the whole disk, as mkfs.vfat makes it; fat-second: a first partition of
# 1 MiB of zeros (a Linux one, no FAT), the FAT partition after it.
LAYOUTS = ("partitioned", "bare", "fat-second")
SECTOR = 512
PARTITION_START = 2048
PARTITION_TYPE = {12: 0x01, 16: 0x0E, 32: 0x0C}  # FAT12, FAT16 (LBA), FAT32 (LBA)
LINUX_TYPE, OTHER_SECTORS = 0x83, 2048
# Room beyond the files for the FAT, directories and cluster slack.
MIN_STICK_KIB = 2048
SD_MAJOR = 8
# Where the rig waits for a stick's mount to pull it out (--usb-unplug mount).
PULL_AT_MOUNT, PULLED = IN_RUN + "/pull-at-mount", IN_RUN + "/pulled"
# --usb-delay later: the stick comes when `vswitch usb BOARD plug` says so.
LATER = "later"
# In the board directory of a running board on the namespaces, the FIFO on
# which `vswitch usb` asks for a plug or a pull.
USB_PORT = ".usb-port"


def tool(name, package):
    path = shutil.which(name) or shutil.which(name, path="/usr/sbin:/sbin")
    if not path:
        raise VswitchError(f"{name} not found (install {package})")
    return path


def run(argv):
    result = subprocess.run(argv, capture_output=True, text=True, stdin=subprocess.DEVNULL)
    if result.returncode != 0:
        why = " ".join((result.stderr or result.stdout).split())
        raise VswitchError(f"{os.path.basename(argv[0])} failed: {why}")
    return result.stdout


def make_stick(image, entries, layout="partitioned"):
    """Writes a fresh stick to `image` holding `entries`, a list of (path on
    the stick, bytes), in that order; bytes None makes a directory. The
    entries land in the directory in the order given."""
    if layout not in LAYOUTS:
        raise VswitchError(f"no stick layout {layout!r} (one of {', '.join(LAYOUTS)})")
    mkfs = tool("mkfs.vfat", "dosfstools")
    mcopy, mmd = tool("mcopy", "mtools"), tool("mmd", "mtools")
    data_kib = sum(len(data) for _, data in entries if data is not None) // 1024
    size_kib = max(MIN_STICK_KIB, data_kib + data_kib // 8 + 1024)
    new = image + ".new"
    if os.path.exists(new):
        os.remove(new)
    run([mkfs, "-C", new, str(size_kib)])
    with tempfile.TemporaryDirectory(prefix="vswitch-stick-") as scratch:
        for i, (name, data) in enumerate(entries):
            target = "::/" + name.strip("/")
            if data is None:
                run([mmd, "-i", new, target])
                continue
            source = os.path.join(scratch, str(i))
            with open(source, "wb") as f:
                f.write(data)
            run([mcopy, "-i", new, "-D", "o", source, target])
            os.remove(source)
    if layout != "bare":
        add_partition_table(new, OTHER_SECTORS if layout == "fat-second" else 0)
    os.replace(new, image)


def add_partition_table(image, other_sectors=0):
    """Moves the FAT file system of `image` into the last partition of an
    MBR partition table: PARTITION_START sectors in, or after a first
    partition of `other_sectors` zeros when asked."""
    with open(image, "rb") as f:
        fat = f.read()
        bits = Volume(f.fileno()).bits
    fat_start = PARTITION_START + other_sectors
    parts = [(LINUX_TYPE, PARTITION_START, other_sectors)] if other_sectors else []
    parts.append((PARTITION_TYPE[bits], fat_start, len(fat) // SECTOR))
    mbr = bytearray(SECTOR)
    for i, (kind, start, sectors) in enumerate(parts):
        # CHS fields say "beyond what CHS can address": LBA is what counts.
        mbr[446 + 16 * i:462 + 16 * i] = struct.pack("<B3sB3sII", 0, b"\xfe\xff\xff", kind,
                                                     b"\xfe\xff\xff", start, sectors)
    mbr[440:444] = fat[39:43]  # the disk signature: the file system's serial number
    mbr[510:512] = b"\x55\xaa"
    with open(image, "wb") as f:
        f.write(bytes(mbr).ljust(fat_start * SECTOR, b"\0") + fat)


def partition_table(image):
    """[(number, first sector, sectors)] of the primary partitions that the
    kernel finds in the MBR of `image`: none when sector 0 is not a
    partition table (a FAT boot sector on the whole disk, for one)."""
    with open(image, "rb") as f:
        mbr = f.read(SECTOR)
    if len(mbr) < SECTOR or mbr[510:512] != b"\x55\xaa":
        return []
    entries = [mbr[446 + 16 * i:462 + 16 * i] for i in range(4)]
    if any(e[0] not in (0, 0x80) for e in entries):
        return []
    return [(i, *struct.unpack_from("<II", e, 8)) for i, e in enumerate(entries, 1)
            if struct.unpack_from("<I", e, 12)[0]]


def fat_offset(image):
    """Where the stick's FAT file system starts: its last partition (where
    the layouts put it), or the whole disk."""
    parts = partition_table(image)
    return parts[-1][1] * SECTOR if parts else 0


def make_stick_from_dir(image, directory, layout="partitioned"):
    """A stick holding a copy of `directory`, its entries in name order."""
    entries = []
    for top, dirs, names in os.walk(directory):
        dirs.sort()
        rel = os.path.relpath(top, directory)
        prefix = "" if rel == "." else rel + "/"
        if prefix:
            entries.append((prefix, None))
        for name in sorted(names):
            with open(os.path.join(top, name), "rb") as f:
                entries.append((prefix + name, f.read()))
    make_stick(image, entries, layout)


def stick_listing(image):
    """Names in the stick's top directory, in directory order, as mtools
    reads them (a directory ends in "/")."""
    out = run([tool("mdir", "mtools"), "-b", "-i", f"{image}@@{fat_offset(image)}", "::/"])
    return [line[len("::/"):] for line in out.splitlines() if line.startswith("::/")]


def stick_layout(image):
    """The layout of a stick image, or why it holds no FAT file system."""
    try:
        with open(image, "rb") as f:
            Volume(f.fileno(), fat_offset(image))
    except NotFat as e:
        return f"no FAT file system ({e})"
    return {0: "bare", 1: "partitioned"}.get(len(partition_table(image)), "fat-second")


# ---------------------------------------------------------------- inside


def disk_name(index):
    """The kernel's name of stick number `index`: sda, sdb..."""
    return "sd" + chr(ord("a") + index)


def stick_devices(image, index):
    """[(name, minor, first sector, sectors, partition number)] that the
    kernel registers for stick number `index`: the disk (number 0), then
    its partitions."""
    disk = disk_name(index)
    devices = [(disk, 16 * index, 0, os.path.getsize(image) // SECTOR, 0)]
    return devices + [(f"{disk}{n}", 16 * index + n, start, count, n)
                      for n, start, count in partition_table(image)]


def devpath(index, name, number):
    disk = f"/devices/usb{index + 1}/host{index}/block/{disk_name(index)}"
    return f"{disk}/{name}" if number else disk


def register(root, cfg, index):
    """The kernel finds stick `index`: its devices enter /sys and get their
    nodes before any of its events is sent."""
    sys_dir = os.path.join(root, "sys")
    for name, minor, start, count, number in stick_devices(cfg.usb, index):
        path = sys_dir + devpath(index, name, number)
        os.makedirs(path)
        files = {"dev": f"{SD_MAJOR}:{minor}", "size": count,
                 "uevent": f"MAJOR={SD_MAJOR}\nMINOR={minor}\nDEVNAME={name}\nDEVTYPE="
                           + (f"partition\nPARTN={number}" if number else "disk")}
        if number:
            files.update(start=start, partition=number)
        for file, value in files.items():
            with open(os.path.join(path, file), "w") as f:
                f.write(f"{value}\n")
        links = [f"class/block/{name}", f"dev/block/{SD_MAJOR}:{minor}"]
        for link in links + ([] if number else [f"block/{name}"]):
            target = os.path.relpath(path, os.path.dirname(os.path.join(sys_dir, link)))
            os.symlink(target, os.path.join(sys_dir, link))
        node = os.path.join(root, "dev", name)
        open(node, "a").close()
        # Read-only: mdev's chmod and chown of the node must not reach the
        # board's own file.
        sys_mount(cfg.usb, node, None, MS_BIND)
        sys_mount(cfg.usb, node, None, MS_BIND | MS_REMOUNT | MS_RDONLY)
    log(cfg.board, "USB stick plugged in" + (f" as {disk_name(index)}" if index else ""))


def unregister(root, cfg, index):
    """Stick `index` goes: each device (partitions first, as the kernel
    deletes a disk) is gone before its remove event comes."""
    log(cfg.board, "USB stick pulled out" + (f" ({disk_name(index)})" if index else ""))
    sys_dir = os.path.join(root, "sys")
    for name, minor, _, _, number in reversed(stick_devices(cfg.usb, index)):
        libc.umount2(os.path.join(root, "dev", name).encode(), MNT_DETACH)
        hotplug(root, event("remove", index, name, minor, number))
        for link in (f"class/block/{name}", f"dev/block/{SD_MAJOR}:{minor}", f"block/{name}"):
            if os.path.lexists(os.path.join(sys_dir, link)):
                os.unlink(os.path.join(sys_dir, link))
        shutil.rmtree(sys_dir + devpath(index, name, number))


SEQNUM = [1000]


def event(action, index, name, minor, number):
    SEQNUM[0] += 1
    return {"ACTION": action, "DEVPATH": devpath(index, name, number), "SUBSYSTEM": "block",
            "DEVNAME": name, "DEVTYPE": "partition" if number else "disk",
            "MAJOR": str(SD_MAJOR), "MINOR": str(minor), "SEQNUM": str(SEQNUM[0]),
            **({"PARTN": str(number)} if number else {})}


def hotplug(root, env):
    """The kernel's call of the hotplug helper that the switch registered
    (none before its start-up has run): in the switch's root, with the
    event in its environment and nothing on its stdio."""
    with open(os.path.join(root, "sys", "kernel", "uevent_helper")) as f:
        helper = f.read().strip()
    if not helper:
        return
    pid = os.fork()
    if pid == 0:
        try:
            os.chroot(root)
            os.chdir("/")
            null = os.open("/dev/null", os.O_RDWR)
            for fd in (0, 1, 2):
                os.dup2(null, fd)
            os.execve(helper, [helper], dict(env, HOME="/", PATH="/sbin:/bin:/usr/sbin:/usr/bin"))
        finally:
            os._exit(127)
    os.waitpid(pid, 0)


def together(jobs):
    """Runs each job in a process of its own, all at once, and waits for
    all: the kernel does not wait for one helper before it calls the next."""
    pids = []
    for job in jobs:
        pid = os.fork()
        if pid == 0:
            try:
                job()
            finally:
                os._exit(0)
        pids.append(pid)
    for pid in pids:
        os.waitpid(pid, 0)


def plug_in(root, cfg, sticks):
    """The sticks arrive together: each is registered, then each plays its
    add events, the disk's first, then its partitions' at once, the sticks'
    side by side."""
    for index in sticks:
        register(root, cfg, index)
    events = {i: [event("add", i, name, minor, n) for name, minor, _, _, n
                  in stick_devices(cfg.usb, i)] for i in sticks}

    def play(disk, *partitions):
        hotplug(root, disk)
        together([lambda e=e: hotplug(root, e) for e in partitions])
    together([lambda i=i: play(*events[i]) for i in sticks])


def pull_out(root, cfg, sticks):
    for index in sticks:
        unregister(root, cfg, index)


def pull_at_mount(root, cfg, sticks):
    """Pulls the sticks out the moment their file system is mounted: the
    mount stand-in names the device in PULL_AT_MOUNT and waits on PULLED
    until the sticks are gone and their remove events are handled, while
    the handler that mounted it has not yet gone on."""
    request, done = root + PULL_AT_MOUNT, root + PULLED
    os.mkfifo(request)
    os.mkfifo(done)
    if os.fork() == 0:
        try:
            with open(request) as f:
                f.read()
            os.unlink(request)
            pull_out(root, cfg, sticks)
            with open(done, "w") as f:
                f.write("pulled\n")
        except Exception as e:  # noqa: BLE001 - reported in the board log
            log(cfg.board, f"USB stick event failed: {e}")
        finally:
            os._exit(0)


def stick_events(root, cfg):
    """Plugs the stick in at power-on (before anything starts, so that the
    start-up's device scan finds it) or `usb_delay` seconds after it, and
    pulls it out `usb_unplug` seconds after power-on, or as soon as it is
    mounted ("mount"), if asked; `usb_twin` plugs a second stick, the same
    image as sdb, with the first. Delayed events run in a process of their
    own. A stick with no timed events is plugged and pulled by `vswitch usb`
    (`usb_delay` "later": not in at power-on)."""
    sticks = [0, 1] if cfg.usb_twin else [0]
    if cfg.usb_delay in (0, LATER) and cfg.usb_unplug is None:
        if cfg.usb_delay == 0:
            plug_in(root, cfg, sticks)
        stick_port(root, cfg, sticks, cfg.usb_delay == 0)
        return
    delay, unplug = cfg.usb_delay or 0, cfg.usb_unplug
    if unplug == "mount":
        pull_at_mount(root, cfg, sticks)
        unplug = None
    if delay <= 0:
        plug_in(root, cfg, sticks)
        if unplug is None:
            return
    start = time.monotonic()
    if os.fork() == 0:
        try:
            if delay > 0:
                time.sleep(delay)
                plug_in(root, cfg, sticks)
            if unplug is not None:
                time.sleep(max(0.0, unplug - (time.monotonic() - start)))
                pull_out(root, cfg, sticks)
        except Exception as e:  # noqa: BLE001 - reported in the board log
            log(cfg.board, f"USB stick event failed: {e}")
        finally:
            os._exit(0)


def stick_port(root, cfg, sticks, plugged):
    """Serves `vswitch usb BOARD plug|pull` in a process of its own: each
    request is a line on the FIFO USB_PORT, which this process holds open
    for reading and writing, so that a request waits there while an earlier
    one is handled, and a command finds nobody to hear it once the board is
    off."""
    port = os.path.join(cfg.board, USB_PORT)
    if os.path.lexists(port):
        os.unlink(port)
    os.mkfifo(port, 0o600)
    if os.fork() == 0:
        try:
            with os.fdopen(os.open(port, os.O_RDWR), "r") as requests:
                for line in requests:
                    plug = line.strip() == "plug"
                    if plug == plugged:
                        log(cfg.board, f"USB stick already {'in' if plug else 'out'}")
                        continue
                    (plug_in if plug else pull_out)(root, cfg, sticks)
                    plugged = plug
        except Exception as e:  # noqa: BLE001 - reported in the board log
            log(cfg.board, f"USB stick event failed: {e}")
        finally:
            os._exit(0)


def move_stick(board_dir, plug):
    """`vswitch usb BOARD plug|pull` on the namespaces: the request goes to
    the board's stick port, which plays the events; as with a real stick,
    the command does not wait for the switch to handle them."""
    try:  # no reader: ENXIO
        fd = os.open(os.path.join(board_dir, USB_PORT), os.O_WRONLY | os.O_NONBLOCK)
    except OSError:
        raise VswitchError(f"{board_dir} is not running with a stick that this command moves "
                           "(a stick image, no --usb-unplug, --usb-delay 0 or later)")
    try:
        os.write(fd, b"plug\n" if plug else b"pull\n")
    finally:
        os.close(fd)


def remove_stick_port(board_dir):
    try:
        os.unlink(os.path.join(board_dir, USB_PORT))
    except FileNotFoundError:
        pass


def log(board_dir, text):
    with open(os.path.join(board_dir, BOARD_LOG), "a") as f:
        f.write(f"vswitch: {text}\n")
