"""The virtual machine's root filesystem, an initramfs made afresh at every
power-on: BusyBox with its applets, the product's files as `cmake --install`
puts them into a root-filesystem tree, the real programs the launcher runs
(mtd-utils, lrzsz) with their libraries, the stand-ins that only a lab has
(the launch wrapper, the debugger, the DHCP client's command line), the
kernel modules and the machine's own init."""

import os
import shutil
import stat
import subprocess
from dataclasses import dataclass

from vsw.common import IN_DUMA, IN_LAUNCHER, IN_RX, PRODUCT_ROOTFS, SIM_DIR, VswitchError
from vsw.rootfs import (applet_links, file_mode, lab_files, lab_names, library_closure,
                        tree_files)

VM_SRC = os.path.join(SIM_DIR, "vm")
# What of the namespaces' root the machine has for real: mount is BusyBox's
# (behind a logging wrapper), flash_eraseall is mtd-utils', and its own init
# brings the devices up.
NOT_IN_VM = {"/bin/mount", "/sbin/flash_eraseall", "/etc/init.d/rcS"}
MTD_UTILS = ["flash_erase", "flash_eraseall"]


class Cpio:
    """An initramfs in the newc format, written as the entries come."""

    def __init__(self, path):
        self.file = open(path, "wb")
        self.ino = 1
        self.dirs = set()

    def _entry(self, name, mode, data=b"", rdev=(0, 0)):
        name = name.lstrip("/")
        fields = [self.ino, mode, 0, 0, 1, 0, len(data), 0, 0, rdev[0], rdev[1],
                  len(name) + 1, 0]
        self.ino += 1
        head = b"070701" + b"".join(b"%08X" % v for v in fields) + name.encode() + b"\0"
        self.file.write(head + b"\0" * (-len(head) % 4))
        self.file.write(data + b"\0" * (-len(data) % 4))

    def directory(self, path):
        parts = path.strip("/").split("/")
        for i in range(1, len(parts) + 1):
            d = "/".join(parts[:i])
            if d and d not in self.dirs:
                self.dirs.add(d)
                self._entry(d, stat.S_IFDIR | 0o755)

    def file_from(self, inside, host_file, mode):
        with open(host_file, "rb") as f:
            self.data(inside, f.read(), mode)

    def data(self, inside, data, mode=0o644):
        self.directory(os.path.dirname(inside))
        self._entry(inside, stat.S_IFREG | mode, data)

    def symlink(self, inside, target):
        self.directory(os.path.dirname(inside))
        self._entry(inside, stat.S_IFLNK | 0o777, target.encode())

    def node(self, inside, kind, major, minor, mode=0o600):
        self.directory(os.path.dirname(inside))
        self._entry(inside, kind | mode, rdev=(major, minor))

    def close(self):
        self._entry("TRAILER!!!", 0)
        self.file.close()


def installed_tree(build, cache, strip=False):
    """The product's files as `cmake --install` puts them into a root
    filesystem (the launcher at /sbin, the mdev rule and the stick handler),
    stripped as a switch carries them when asked; None when the build has
    no install step to run."""
    if not os.path.isfile(os.path.join(build, "cmake_install.cmake")):
        return None
    tree = os.path.join(cache, "product")
    shutil.rmtree(tree, ignore_errors=True)
    result = subprocess.run(["cmake", "--install", build, "--prefix", "/",
                             *(["--strip"] if strip else [])],
                            env=dict(os.environ, DESTDIR=tree), capture_output=True, text=True)
    if result.returncode != 0:
        raise VswitchError("cmake --install failed: " + result.stderr.strip())
    return tree


# The machine's own helpers: the watcher of the console's line settings and
# the launcher's start on the console.
HELPERS = ("ttywatch", "console_start")


@dataclass(frozen=True)
class MachineParts:
    """What differs between the machines' root filesystems: the CPU's
    programs and where their libraries come from."""
    busybox: str
    applets: list                 # BusyBox's applets as paths under the root
    helpers: dict                 # {name: host file} of HELPERS, built
    programs: dict                # {path inside: host file} of the real tools
    sysroot: str                  # "" (the host's libraries) or the target's root
    launcher: str


def build_helper(name, work, cc="cc"):
    """A helper of sim/vm, built static: the machine has no C library of
    its own beyond what the programs copied in bring."""
    out = os.path.join(work, name)
    result = subprocess.run([cc, "-static", "-O2", "-Wall", "-o", out,
                             os.path.join(VM_SRC, name + ".c")], capture_output=True, text=True)
    if result.returncode != 0:
        raise VswitchError(f"{name} did not build: " + result.stderr.strip())
    return out


def host_parts(cfg, work):
    """The x86 machine's: the host's BusyBox, mtd-utils and lrzsz."""
    programs = {}
    for tool in MTD_UTILS:
        host = shutil.which(tool, path="/usr/sbin:/sbin")
        if not host:
            raise VswitchError(f"{tool} not found (install mtd-utils)")
        programs["/usr/sbin/" + tool] = host
    if cfg.rx:
        programs[IN_RX] = cfg.rx
    return MachineParts(busybox=cfg.busybox, applets=applet_links(cfg.busybox, set()),
                        helpers={h: build_helper(h, work) for h in HELPERS},
                        programs=programs, sysroot="", launcher=cfg.launcher)


def build_initramfs(path, cfg, product_tree, modules, boot_conf, parts):
    """Writes the machine's initramfs to `path`: the product's files from
    `product_tree` (None: the sources' own root-filesystem files)."""
    out = Cpio(path)
    for name, host in parts.helpers.items():
        out.file_from("/usr/lib/vswitch/" + name, host, 0o755)
    out.node("/dev/console", stat.S_IFCHR, 5, 1)
    out.file_from("/init", os.path.join(VM_SRC, "init"), 0o755)
    out.data("/etc/vswitch/boot.conf", boot_conf.encode())
    if cfg.prepare:
        out.file_from("/etc/vswitch/prepare", cfg.prepare, 0o755)
    out.file_from("/bin/busybox", parts.busybox, 0o755)
    own = put_tree(out, cfg, product_tree, parts.launcher) | set(parts.programs)
    # A stand-in takes the applet's name everywhere on the search path.
    taken = {os.path.basename(p) for p in own} | lab_names() | {"busybox"}
    for applet in parts.applets:
        if os.path.basename(applet) not in taken:
            out.symlink("/" + applet, "/bin/busybox")
    dynamic = [parts.launcher]
    for inside, host in parts.programs.items():
        out.file_from(inside, host, 0o755)
        with open(host, "rb") as f:
            if f.read(2) != b"#!":  # a script needs no libraries of its own
                dynamic.append(host)
    for inside, host_file in library_closure(dynamic, parts.sysroot).items():
        out.file_from(inside, host_file, 0o755)
    if cfg.duma:
        out.file_from(IN_DUMA, cfg.duma, 0o644)
    for name in sorted(os.listdir(modules)):
        if name.endswith((".ko", ".order")):
            out.file_from("/lib/modules/vswitch/" + name, os.path.join(modules, name), 0o644)
    out.data("/etc/passwd", b"root:x:0:0:root:/root:/bin/sh\n")
    out.data("/etc/group", b"root:x:0:\n")
    for d in ("/proc", "/sys", "/tmp", "/root", "/var/log"):
        out.directory(d)
    out.close()


def put_tree(out, cfg, product_tree, launcher):
    """The product's files, the launcher, and the lab's stand-ins; returns
    the paths taken, which BusyBox's applet links must not replace."""
    product = product_tree or PRODUCT_ROOTFS
    own = {inside: (host, file_mode(host)) for inside, host in tree_files(product)}
    own[IN_LAUNCHER] = (launcher, 0o755)
    for inside, entry in lab_files(cfg).items():
        if inside not in NOT_IN_VM:
            own.setdefault(inside, entry)
    for inside, host in tree_files(os.path.join(VM_SRC, "rootfs")):
        own[inside] = (host, file_mode(host))
    for inside, (host, mode) in sorted(own.items()):
        out.file_from(inside, host, mode)
    return set(own)
