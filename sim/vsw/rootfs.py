"""The switch's root filesystem, built afresh in RAM at every power-on:
BusyBox and its applets, the stand-ins of sim/rootfs, the launcher and the
shared libraries it needs (found from ELF headers, never by running it),
/dev, /proc, /tmp and the board's mounts."""

import os
import shutil
import stat
import struct
import subprocess
import sys

from vsw.common import (IN_BOARD, IN_DUMA, IN_EMULATOR, IN_LAUNCHER, IN_PRELOAD, IN_PYTHON,
                        IN_RX, IN_TARGET_ROOT, IN_VFAT, MS_BIND, MS_NODEV, MS_NOEXEC, MS_NOSUID,
                        MS_RDONLY, MS_REC, MS_REMOUNT, PARTITION_NAMES, PPC_SYSROOT,
                        PRODUCT_ROOTFS, ROOTFS_SRC, SIM_DIR, VswitchError, sys_mount)


def elf_machine(path):
    """The e_machine field of an ELF file (EM_PPC for the switch's CPU), or
    None for another kind of file such as a script."""
    with open(path, "rb") as f:
        ident = f.read(20)
    if len(ident) < 20 or ident[:4] != b"\x7fELF":
        return None
    return struct.unpack_from("<H" if ident[5] == 1 else ">H", ident, 18)[0]


def elf_dependencies(path):
    """(interpreter, [DT_NEEDED names]) of an ELF file, read without running
    it, so that a program meant for the switch is never started on the host."""
    with open(path, "rb") as f:
        data = f.read()
    if data[:4] != b"\x7fELF":
        return None, []
    is64 = data[4] == 2
    end = "<" if data[5] == 1 else ">"
    if is64:
        phoff, = struct.unpack_from(end + "Q", data, 0x20)
        phentsize, phnum = struct.unpack_from(end + "HH", data, 0x36)
        phfmt, dynfmt = end + "IIQQQQQQ", end + "qQ"
    else:
        phoff, = struct.unpack_from(end + "I", data, 0x1C)
        phentsize, phnum = struct.unpack_from(end + "HH", data, 0x2A)
        phfmt, dynfmt = end + "IIIIIIII", end + "iI"
    segments = []
    for i in range(phnum):
        fields = struct.unpack_from(phfmt, data, phoff + i * phentsize)
        if is64:
            ptype, _flags, offset, vaddr, _paddr, filesz = fields[:6]
        else:
            ptype, offset, vaddr, _paddr, filesz = fields[:5]
        segments.append((ptype, offset, vaddr, filesz))
    interp = None
    needed, strtab = [], None
    for ptype, offset, vaddr, filesz in segments:
        if ptype == 3:  # PT_INTERP
            interp = data[offset:offset + filesz].split(b"\0")[0].decode()
        elif ptype == 2:  # PT_DYNAMIC
            step = struct.calcsize(dynfmt)
            for pos in range(offset, offset + filesz, step):
                tag, value = struct.unpack_from(dynfmt, data, pos)
                if tag == 0:
                    break
                if tag == 1:
                    needed.append(value)
                elif tag == 5:
                    strtab = value
    if strtab is None:
        return interp, []
    # DT_STRTAB is an address: find it in a loaded segment.
    for ptype, offset, vaddr, filesz in segments:
        if ptype == 1 and vaddr <= strtab < vaddr + filesz:
            base = offset + strtab - vaddr
            break
    else:
        return interp, []
    names = [data[base + n:data.index(b"\0", base + n)].decode() for n in needed]
    return interp, names


LIBRARY_DIRS = ["/lib/x86_64-linux-gnu", "/usr/lib/x86_64-linux-gnu",
                "/lib64", "/usr/lib64", "/lib", "/usr/lib"]


def library_closure(programs, sysroot=""):
    """{path inside the switch: host file} for the dynamic loader and every
    shared library that the programs need, directly or through each other.
    With a sysroot the programs are the target's, and their libraries are
    looked up in that root's /lib."""
    files = {}
    todo = list(programs)
    seen = set()
    directories = ["/lib"] if sysroot else LIBRARY_DIRS
    while todo:
        path = todo.pop()
        interp, needed = elf_dependencies(path)
        if interp and interp not in files:
            files[interp] = os.path.realpath(sysroot + interp)
        for name in needed:
            if name in seen:
                continue
            seen.add(name)
            for directory in directories:
                candidate = os.path.join(directory, name)
                if os.path.exists(sysroot + candidate):
                    files[candidate] = os.path.realpath(sysroot + candidate)
                    todo.append(sysroot + candidate)
                    break
            else:
                raise VswitchError(f"{path}: library {name} not found on this host")
    return files


def find_library(name):
    for directory in LIBRARY_DIRS:
        if os.path.exists(os.path.join(directory, name)):
            return os.path.realpath(os.path.join(directory, name))
    return None


def stick_driver():
    """The host's files that run the stick's FAT driver (sim/vsw/vfat.py)
    inside the switch: this Python and its standard library, the ctypes
    extension, fusepy (python3-fusepy) and libfuse (libfuse2)."""
    import _ctypes
    import importlib.util
    import sysconfig
    fusepy = importlib.util.find_spec("fusepy")
    libfuse = find_library("libfuse.so.2")
    if not fusepy or not libfuse:
        raise VswitchError("the stick's FAT driver needs fusepy and libfuse "
                           "(install python3-fusepy)")
    return {"python": os.path.realpath(sys.executable), "stdlib": sysconfig.get_paths()["stdlib"],
            "ctypes": getattr(_ctypes, "__file__", None), "fusepy": fusepy.origin,
            "libfuse": libfuse}


def put_stick_driver(root, put, driver):
    """The FAT driver beside the Python that runs it, with the standard
    library mounted read-only at its own path; returns the programs whose
    shared libraries the switch needs."""
    put(IN_PYTHON, driver["python"])
    put(IN_VFAT, os.path.join(SIM_DIR, "vsw", "vfat.py"), 0o644)
    here = os.path.dirname(IN_VFAT)
    put(here + "/fusepy.py", driver["fusepy"], 0o644)
    put(here + "/libfuse.so.2", driver["libfuse"], 0o644)
    stdlib = os.path.join(root, driver["stdlib"].lstrip("/"))
    os.makedirs(stdlib)
    sys_mount(driver["stdlib"], stdlib, None, MS_BIND | MS_REC)
    sys_mount(driver["stdlib"], stdlib, None, MS_BIND | MS_REMOUNT | MS_RDONLY)
    return [p for p in (driver["python"], driver["ctypes"], driver["libfuse"]) if p]


def make_sysfs(root):
    """The part of /sys that the switch's programs read: mdev's scan walks
    dev/block, the stick handler looks for partitions under block/, and
    kernel/uevent_helper names the hotplug helper (empty until the start-up
    registers mdev). Devices come and go with the stick (vsw/stick.py)."""
    sys_dir = os.path.join(root, "sys")
    for d in ("dev/block", "dev/char", "block", "class/block", "kernel"):
        os.makedirs(os.path.join(sys_dir, d))
    open(os.path.join(sys_dir, "kernel", "uevent_helper"), "w").close()


def tree_files(top):
    """(path inside the switch, host file) of every file under `top`."""
    for base, _dirs, names in os.walk(top):
        for name in sorted(names):
            path = os.path.join(base, name)
            yield "/" + os.path.relpath(path, top), path


def file_mode(path):
    return 0o755 if os.access(path, os.X_OK) else 0o644


def lab_tree():
    """The lab's stand-ins (sim/rootfs), their sources and notes left out."""
    return [(inside, src) for inside, src in tree_files(ROOTFS_SRC)
            if not inside.endswith((".c", ".md"))]


def lab_files(cfg):
    """{path inside: (host file, mode)} of the lab's stand-ins; /usr/bin/rx
    as the board's rx is: left out when "missing", without its execute bits
    when "not-executable"."""
    files = {}
    rx_mode = cfg.rx_mode
    for inside, src in lab_tree():
        mode = file_mode(src)
        if inside == "/usr/bin/rx" and rx_mode != "lrzsz":
            if rx_mode == "missing":
                continue
            mode = 0o644
        files[inside] = (src, mode)
    return files


def lab_names():
    """The stand-ins' names, which BusyBox's applets never take, so that a
    stand-in (or its absence, for rx) holds everywhere on the search path."""
    return {os.path.basename(inside) for inside, _ in lab_tree()}


def applet_links(busybox, taken):
    """BusyBox's applets as paths under the root ("bin/ls"), those whose
    name is in `taken` left out."""
    applets = subprocess.run([busybox, "--list-full"], capture_output=True, text=True,
                             check=True).stdout.split()
    return [a for a in applets if os.path.basename(a) not in taken]


def build_rootfs(root, cfg, pty):
    """A fresh root filesystem in RAM: BusyBox applets, the stand-ins, the
    host C library for the dynamically linked launcher, and the mounts;
    the console pty `pty` as its serial port."""
    sys_mount("vswitch-root", root, "tmpfs", 0, "mode=0755,size=512m")
    for d in ("bin", "sbin", "usr/bin", "usr/sbin", "usr/lib/vswitch", "lib", "etc",
              "dev", "proc", "tmp", "user", "mnt/usb", "run/vswitch", "root",
              "var/log", IN_BOARD.lstrip("/")):
        os.makedirs(os.path.join(root, d), exist_ok=True)

    def put(inside, host_file, mode=0o755):
        dest = os.path.join(root, inside.lstrip("/"))
        os.makedirs(os.path.dirname(dest), exist_ok=True)
        shutil.copyfile(host_file, dest)
        os.chmod(dest, mode)

    put_programs(root, cfg, put)
    etc = os.path.join(root, "etc")
    with open(os.path.join(etc, "passwd"), "w") as f:
        f.write("root:x:0:0:root:/root:/bin/sh\n")
    with open(os.path.join(etc, "group"), "w") as f:
        f.write("root:x:0:\n")
    with open(os.path.join(etc, "hostname"), "w") as f:
        f.write(cfg.hostname + "\n")
    make_dev(root, pty)
    mount_kernel_views(root, cfg.board)
    make_sysfs(root)


def put_programs(root, cfg, put):
    """The product's files, the stand-ins, BusyBox and its applets, the
    launcher with its emulator or preloads, rx, the stick's driver, the
    shared libraries they all need and the DUMA stand-in."""
    # The product's files first: a stand-in of the same path would replace
    # one of them only on purpose.
    for inside, src in tree_files(PRODUCT_ROOTFS):
        put(inside, src, file_mode(src))
    for inside, (src, mode) in lab_files(cfg).items():
        put(inside, src, mode)

    busybox = cfg.busybox
    put("/bin/busybox", busybox)
    for applet in applet_links(busybox, lab_names()):
        link = os.path.join(root, applet)
        if not os.path.lexists(link):
            os.makedirs(os.path.dirname(link), exist_ok=True)
            os.symlink("/bin/busybox", link)

    put(IN_LAUNCHER, cfg.launcher)
    programs = [cfg.launcher]
    if cfg.emulator:
        # The launcher is the target's: the host's libraries are not its.
        programs = []
        put(IN_EMULATOR, cfg.emulator)
    if cfg.target_preload:
        # Its loader looks under the emulator's root first, so it finds the
        # target's C library and device preload there, at the paths where
        # the host's programs find their own.
        target = library_closure([cfg.launcher, cfg.target_preload], PPC_SYSROOT)
        for inside, host_file in dict(target, **{IN_PRELOAD: cfg.target_preload}).items():
            put(IN_TARGET_ROOT + inside, host_file, 0o644 if inside == IN_PRELOAD else 0o755)
    if cfg.preload:
        put(IN_PRELOAD, cfg.preload, 0o644)
        programs.append(cfg.preload)
    if cfg.rx:
        put(IN_RX, cfg.rx)
        programs.append(cfg.rx)
    if cfg.stick_driver:
        programs += put_stick_driver(root, put, cfg.stick_driver)
    for inside, host_file in library_closure(programs).items():
        put(inside, host_file)
    if cfg.duma:
        put(IN_DUMA, cfg.duma, 0o644)


def make_dev(root, pty):
    """/dev: the basic nodes, the emulated ones' entries and the console."""
    dev = os.path.join(root, "dev")
    for name, major, minor, mode in (("null", 1, 3, 0o666), ("zero", 1, 5, 0o666),
                                     ("full", 1, 7, 0o666), ("random", 1, 8, 0o666),
                                     ("urandom", 1, 9, 0o666), ("tty", 5, 0, 0o666),
                                     ("fuse", 10, 229, 0o666)):
        path = os.path.join(dev, name)
        os.mknod(path, mode | stat.S_IFCHR, os.makedev(major, minor))
        os.chmod(path, mode)
    for name, target in (("fd", "/proc/self/fd"), ("stdin", "/proc/self/fd/0"),
                         ("stdout", "/proc/self/fd/1"), ("stderr", "/proc/self/fd/2")):
        os.symlink(target, os.path.join(dev, name))
    # The emulated nodes are taken by path in the preload; these entries
    # only let a shell on the switch see that the nodes exist.
    for name in [f"mtd-{p}" for p in PARTITION_NAMES] + ["mtd-user", "i2c-0", "i2c-1"]:
        open(os.path.join(dev, name), "w").close()
    # The console: the very pty the launcher has as its terminal.
    for name in ("ttyS0", "console"):
        path = os.path.join(dev, name)
        open(path, "w").close()
        sys_mount(pty, path, None, MS_BIND)


def mount_kernel_views(root, board):
    """/proc (its kernel-wide knobs read-only), /tmp and the board directory."""
    proc = os.path.join(root, "proc")
    sys_mount("proc", proc, "proc", MS_NOSUID | MS_NODEV | MS_NOEXEC)
    # Kernel-wide knobs stay out of reach of programs on the switch.
    for knob in ("sys", "sysrq-trigger"):
        path = os.path.join(proc, knob)
        if not os.path.exists(path):
            continue
        sys_mount(path, path, None, MS_BIND | MS_REC)
        sys_mount(path, path, None, MS_BIND | MS_REMOUNT | MS_RDONLY)
    sys_mount("tmpfs", os.path.join(root, "tmp"), "tmpfs", MS_NOSUID,
              "mode=1777,size=256m")
    sys_mount(board, os.path.join(root, IN_BOARD.lstrip("/")), None, MS_BIND)


def build_duma(cache_dir, cc="cc"):
    """An empty shared object named as the DUMA library: the memory checker
    is not modelled, but a preload of it must load as it does on the switch.
    It logs that it was loaded. None when no C compiler is installed."""
    source = os.path.join(ROOTFS_SRC, "libduma.c")
    cc = shutil.which(cc)
    if not cc or not os.path.exists(source):
        return None
    out = os.path.join(cache_dir, "libduma.so.0.0.0")
    result = subprocess.run([cc, "-shared", "-fPIC", "-O2", "-o", out, source],
                            capture_output=True, text=True)
    return out if result.returncode == 0 else None

