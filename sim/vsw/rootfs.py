"""The switch's root filesystem, built afresh in RAM at every power-on:
BusyBox and its applets, the stand-ins of sim/rootfs, the launcher and the
shared libraries it needs (found from ELF headers, never by running it),
/dev, /proc, /tmp and the board's mounts."""

import os
import shutil
import stat
import struct
import subprocess

from vsw.common import (IN_BOARD, IN_DUMA, IN_FUSEFAT, IN_LAUNCHER, IN_PRELOAD, IN_RX, MS_BIND,
                        MS_NODEV, MS_NOEXEC, MS_NOSUID, MS_RDONLY, MS_REC, MS_REMOUNT,
                        PARTITION_NAMES, PRODUCT_ROOTFS, ROOTFS_SRC, VswitchError, sys_mount)



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


def library_closure(programs):
    """{path inside the switch: host file} for the dynamic loader and every
    shared library that the programs need, directly or through each other."""
    files = {}
    todo = list(programs)
    seen = set()
    while todo:
        path = todo.pop()
        interp, needed = elf_dependencies(path)
        if interp and interp not in files:
            files[interp] = os.path.realpath(interp)
        for name in needed:
            if name in seen:
                continue
            seen.add(name)
            for directory in LIBRARY_DIRS:
                candidate = os.path.join(directory, name)
                if os.path.exists(candidate):
                    files[candidate] = os.path.realpath(candidate)
                    todo.append(candidate)
                    break
            else:
                raise VswitchError(f"{path}: library {name} not found on this host")
    return files

def build_rootfs(root, cfg):
    """A fresh root filesystem in RAM: BusyBox applets, the stand-ins, the
    host C library for the dynamically linked launcher, and the mounts."""
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

    # The product's files first: a stand-in of the same path would replace
    # one of them only on purpose.
    for top, _dirs, names in os.walk(PRODUCT_ROOTFS):
        for name in names:
            src = os.path.join(top, name)
            put("/" + os.path.relpath(src, PRODUCT_ROOTFS), src,
                0o755 if os.access(src, os.X_OK) else 0o644)

    standins = {}
    for top, _dirs, names in os.walk(ROOTFS_SRC):
        for name in names:
            src = os.path.join(top, name)
            inside = "/" + os.path.relpath(src, ROOTFS_SRC)
            if name.endswith(".c") or name.endswith(".md"):
                continue
            standins[name] = inside
            mode = 0o755 if os.access(src, os.X_OK) else 0o644
            put(inside, src, mode)

    busybox = cfg["busybox"]
    put("/bin/busybox", busybox)
    applets = subprocess.run([busybox, "--list-full"], capture_output=True,
                             text=True, check=True).stdout.split()
    for applet in applets:
        # A stand-in takes the applet's name everywhere on the search path.
        if os.path.basename(applet) in standins:
            continue
        link = os.path.join(root, applet)
        if not os.path.lexists(link):
            os.makedirs(os.path.dirname(link), exist_ok=True)
            os.symlink("/bin/busybox", link)

    put(IN_LAUNCHER, cfg["launcher"])
    programs = [cfg["launcher"]]
    if cfg.get("preload"):
        put(IN_PRELOAD, cfg["preload"], 0o644)
        programs.append(cfg["preload"])
    if cfg.get("rx"):
        put(IN_RX, cfg["rx"])
        programs.append(cfg["rx"])
    if cfg.get("fusefat"):
        put(IN_FUSEFAT, cfg["fusefat"])
        programs.append(cfg["fusefat"])
    for inside, host_file in library_closure(programs).items():
        put(inside, host_file)
    if cfg.get("duma"):
        put(IN_DUMA, cfg["duma"], 0o644)

    etc = os.path.join(root, "etc")
    with open(os.path.join(etc, "passwd"), "w") as f:
        f.write("root:x:0:0:root:/root:/bin/sh\n")
    with open(os.path.join(etc, "group"), "w") as f:
        f.write("root:x:0:\n")
    with open(os.path.join(etc, "hostname"), "w") as f:
        f.write(cfg.get("hostname", "vswitch") + "\n")

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
        sys_mount(cfg["pty"], path, None, MS_BIND)

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
    sys_mount(cfg["board"], os.path.join(root, IN_BOARD.lstrip("/")), None, MS_BIND)


def build_duma(cache_dir):
    """An empty shared object named as the DUMA library: the memory checker
    is not modelled, but a preload of it must load as it does on the switch.
    It logs that it was loaded. None when no C compiler is installed."""
    source = os.path.join(ROOTFS_SRC, "libduma.c")
    cc = shutil.which("cc")
    if not cc or not os.path.exists(source):
        return None
    out = os.path.join(cache_dir, "libduma.so.0.0.0")
    result = subprocess.run([cc, "-shared", "-fPIC", "-O2", "-o", out, source],
                            capture_output=True, text=True)
    return out if result.returncode == 0 else None

