"""The USB stick: a FAT file-system image made with dosfstools' mkfs.vfat
and filled with mtools, so that names, sizes and directory order are those
of a real FAT file system. Inside the switch it is the block device /dev/sda
(the image bind-mounted on the node), and plugging it in or pulling it out
plays the kernel's hotplug event: the switch's own mdev runs with the
event's environment, and with it the board's own stick handler."""

import os
import shutil
import subprocess
import tempfile
import time

from vsw.common import BOARD_LOG, MNT_DETACH, MS_BIND, VswitchError, libc, sys_mount

# A stick without a partition table is the whole disk, as mkfs.vfat makes it.
STICK_NODE = "sda"
# Room beyond the files for the FAT, directories and cluster slack.
MIN_STICK_KIB = 2048


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


def make_stick(image, entries):
    """Writes a fresh FAT image to `image` holding `entries`, a list of
    (path on the stick, bytes), in that order; bytes None makes a directory.
    The entries land in the directory in the order given."""
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
    os.replace(new, image)


def make_stick_from_dir(image, directory):
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
    make_stick(image, entries)


def stick_listing(image):
    """Names in the stick's top directory, in directory order, as mtools
    reads them (a directory ends in "/")."""
    out = run([tool("mdir", "mtools"), "-b", "-i", image, "::/"])
    return [line[len("::/"):] for line in out.splitlines() if line.startswith("::/")]


# ---------------------------------------------------------------- inside


def hotplug(root, action):
    """The kernel's hotplug helper call for the stick: mdev in the switch's
    root, with the event in its environment and nothing on its stdio."""
    pid = os.fork()
    if pid == 0:
        try:
            os.chroot(root)
            os.chdir("/")
            null = os.open("/dev/null", os.O_RDWR)
            for fd in (0, 1, 2):
                os.dup2(null, fd)
            os.execve("/sbin/mdev", ["/sbin/mdev"], {
                "ACTION": action, "DEVPATH": f"/block/{STICK_NODE}", "SUBSYSTEM": "block",
                "DEVNAME": STICK_NODE, "DEVTYPE": "disk", "MAJOR": "8", "MINOR": "0",
                "HOME": "/", "PATH": "/sbin:/bin:/usr/sbin:/usr/bin"})
        finally:
            os._exit(127)
    os.waitpid(pid, 0)


def plug_in(root, cfg):
    """The stick arrives: its node appears, then the add event."""
    node = os.path.join(root, "dev", STICK_NODE)
    open(node, "a").close()
    sys_mount(cfg["usb"], node, None, MS_BIND)
    log(cfg["board"], "USB stick plugged in")
    hotplug(root, "add")


def pull_out(root, cfg):
    """The stick goes: the device is gone before its remove event comes."""
    libc.umount2(os.path.join(root, "dev", STICK_NODE).encode(), MNT_DETACH)
    log(cfg["board"], "USB stick pulled out")
    hotplug(root, "remove")


def stick_events(root, cfg):
    """Plugs the stick in at power-on (before anything starts, as the
    start-up's own device scan finds it) or `usb_delay` seconds after it,
    and pulls it out `usb_unplug` seconds after power-on if asked; the
    delayed events run in a process of their own."""
    delay, unplug = cfg.get("usb_delay") or 0, cfg.get("usb_unplug")
    if delay <= 0:
        plug_in(root, cfg)
        if unplug is None:
            return
    start = time.monotonic()
    if os.fork() == 0:
        try:
            if delay > 0:
                time.sleep(delay)
                plug_in(root, cfg)
            if unplug is not None:
                time.sleep(max(0.0, unplug - (time.monotonic() - start)))
                pull_out(root, cfg)
        except Exception as e:  # noqa: BLE001 - reported in the board log
            log(cfg["board"], f"USB stick event failed: {e}")
        finally:
            os._exit(0)


def log(board_dir, text):
    with open(os.path.join(board_dir, BOARD_LOG), "a") as f:
        f.write(f"vswitch: {text}\n")
