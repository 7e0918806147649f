#!/usr/bin/python3
"""The virtual switch: a board directory holding a switch's persistent state,
and a runner that boots the real launcher on it inside private namespaces
and a chroot of BusyBox and stand-in programs, with a pseudo-terminal as the
serial console.

Commands (see sim/README-vswitch.md):
  vswitch create BOARD [options]   make a new board
  vswitch set BOARD [options]      change the state of an existing board
  vswitch show BOARD               print the board's state
  vswitch boot BOARD [options]     power the board on and attach the console

Only the standard library is used, so that the runner works on a bare
Debian install with python3.
"""

import argparse
import ctypes
import fcntl
import json
import os
import select
import shutil
import signal
import socket
import stat
import struct
import subprocess
import sys
import tempfile
import termios
import threading
import time
import tty
import zlib

SIM_DIR = os.path.dirname(os.path.abspath(__file__))
ROOTFS_SRC = os.path.join(SIM_DIR, "rootfs")
DEFAULT_BUILD_DIR = os.path.join(os.path.dirname(SIM_DIR), "build", "host")

# Flash map of the switch (the device model's defaults, in node order).
PARTITIONS = [
    ("uboot", 524288),
    ("ubootenv", 131072),
    ("devicetree", 262144),
    ("kernel", 3145728),
    ("rfs", 15728640),
    ("rescue", 10485760),
    ("user-char", 2097152),
]
PARTITION_NAMES = [name for name, _ in PARTITIONS]
DEFAULT_ERASESIZE = 131072

EEPROM_FILE = "i2c-0-54.bin"
EEPROM_SIZE = 8192
BUS1_FILE = "i2c-1-20.bin"
BUS1_SIZE = 256
VPD_BOOT_SLOT = 0x100
VPD_BOOTED_IMAGE = 0x13A
VPD_USB_BOOT = 0x13B

BOARD_MARK = "vswitch-board"
BOARD_LOG = "board.log"

# Paths inside the switch's root filesystem.
IN_BOARD = "/.vswitch"
IN_RUN = "/run/vswitch"
IN_LAUNCHER = "/sbin/launcher"
IN_PRELOAD = "/usr/lib/vswitch/libsimdev_preload.so"
IN_RX = "/usr/lib/vswitch/rx"
IN_DUMA = "/usr/lib/libduma.so.0.0.0"

# Final lines of a boot, and the exit status of `vswitch boot` for each.
EXIT_REBOOT = 0
EXIT_ENDED = 1
EXIT_SETUP = 2
EXIT_TIMEOUT = 124
EXIT_OPERATOR = 125

STATUS_PREFIX = "@vswitch "


class VswitchError(Exception):
    """A failure reported to the user as one line, without a traceback."""


# ---------------------------------------------------------------- the board


class Board:
    """A board directory: the switch's persistent state.

      vswitch-board     marks the directory as a board
      dev/              the device model's directory (SIMDEV_BOARD)
      user/             files of the JFFS2 user partition (/user when mounted)
      usb/              files of the USB stick, when one is plugged in
      board.log         commands run by the stand-ins, and the runner's lines
    """

    def __init__(self, path):
        self.path = os.path.abspath(path)
        self.dev = os.path.join(self.path, "dev")
        self.user = os.path.join(self.path, "user")
        self.usb = os.path.join(self.path, "usb")
        self.log = os.path.join(self.path, BOARD_LOG)

    def exists(self):
        return os.path.isfile(os.path.join(self.path, BOARD_MARK))

    def check(self):
        if not self.exists():
            raise VswitchError(f"{self.path} is not a board (no {BOARD_MARK} file)")

    # Geometry, from board.conf over the model's defaults.
    def geometry(self):
        erasesize = DEFAULT_ERASESIZE
        sizes = dict(PARTITIONS)
        conf = os.path.join(self.dev, "board.conf")
        if os.path.exists(conf):
            with open(conf) as f:
                for line in f:
                    name, sep, value = line.strip().partition("=")
                    if not sep:
                        continue
                    if name == "erasesize":
                        erasesize = int(value, 0)
                    elif name.startswith("mtd-") and name[4:] in sizes:
                        sizes[name[4:]] = int(value, 0)
        return erasesize, sizes

    def partition_file(self, name):
        if name not in PARTITION_NAMES:
            raise VswitchError(f"no partition {name!r}")
        return os.path.join(self.dev, f"mtd-{name}.bin")

    def read_partition(self, name, offset=0, length=None):
        with open(self.partition_file(name), "rb") as f:
            f.seek(offset)
            return f.read() if length is None else f.read(length)

    def write_partition(self, name, offset, data):
        size = self.geometry()[1][name]
        if offset + len(data) > size:
            raise VswitchError(
                f"{len(data)} bytes at {offset} do not fit partition {name} ({size} bytes)")
        with open(self.partition_file(name), "r+b") as f:
            f.seek(offset)
            f.write(data)

    def vpd(self, offset, length=1):
        with open(os.path.join(self.dev, EEPROM_FILE), "rb") as f:
            f.seek(offset)
            data = f.read(length)
        return data[0] if length == 1 else data

    def set_vpd(self, offset, value):
        if not 0 <= offset < EEPROM_SIZE or not 0 <= value <= 255:
            raise VswitchError(f"VPD byte {offset:#x}={value} out of range")
        with open(os.path.join(self.dev, EEPROM_FILE), "r+b") as f:
            f.seek(offset)
            f.write(bytes([value]))

    def log_lines(self):
        try:
            with open(self.log, errors="replace") as f:
                return f.read().splitlines()
        except FileNotFoundError:
            return []

    def append_log(self, line):
        with open(self.log, "a") as f:
            f.write(line + "\n")


def create_board(path, erasesize=DEFAULT_ERASESIZE, sizes=None, force=False):
    """Makes a board with erased flash, an erased VPD EEPROM, a bus-1 device
    with zeroed registers and an empty user partition."""
    board = Board(path)
    if os.path.exists(board.path) and os.listdir(board.path):
        if not force:
            raise VswitchError(f"{board.path} exists and is not empty (use --force)")
        if not board.exists():
            raise VswitchError(f"{board.path} is not a board; refusing to replace it")
        shutil.rmtree(board.path)
    all_sizes = dict(PARTITIONS)
    all_sizes.update(sizes or {})
    if erasesize <= 0:
        raise VswitchError("erase size must be positive")
    for name, size in all_sizes.items():
        if size <= 0 or size % erasesize:
            raise VswitchError(
                f"partition {name}: {size} bytes is not a multiple of the erase size {erasesize}")
    os.makedirs(board.dev)
    os.makedirs(board.user)
    with open(os.path.join(board.dev, "board.conf"), "w") as f:
        f.write(f"erasesize={erasesize}\n")
        for name in PARTITION_NAMES:
            f.write(f"mtd-{name}={all_sizes[name]}\n")
    for name in PARTITION_NAMES:
        fill_file(board.partition_file(name), all_sizes[name], 0xFF)
    fill_file(os.path.join(board.dev, EEPROM_FILE), EEPROM_SIZE, 0xFF)
    fill_file(os.path.join(board.dev, BUS1_FILE), BUS1_SIZE, 0x00)
    open(board.log, "a").close()
    with open(os.path.join(board.path, BOARD_MARK), "w") as f:
        f.write("virtual switch board, made by sim/vswitch\n")
    return board


def fill_file(path, size, byte):
    block = bytes([byte]) * 65536
    with open(path, "wb") as f:
        left = size
        while left:
            n = min(left, len(block))
            f.write(block[:n])
            left -= n


def make_env_image(entries, size):
    """An environment partition image made by u-boot-tools' mkenvimage: the
    CRC-32 word of the PowerPC board (big-endian), then NUL-ended entries."""
    tool = shutil.which("mkenvimage")
    if not tool:
        raise VswitchError("mkenvimage not found (install u-boot-tools)")
    for entry in entries:
        if "=" not in entry or "\n" in entry:
            raise VswitchError(f"bad environment entry {entry!r} (want NAME=VALUE)")
    with tempfile.TemporaryDirectory(prefix="vswitch-env-") as tmp:
        text = os.path.join(tmp, "env.txt")
        out = os.path.join(tmp, "env.bin")
        with open(text, "w") as f:
            f.write("".join(e + "\n" for e in entries))
        result = subprocess.run([tool, "-b", "-s", str(size), "-o", out, text],
                                capture_output=True, text=True)
        if result.returncode != 0:
            raise VswitchError("mkenvimage failed: " + result.stderr.strip())
        with open(out, "rb") as f:
            return f.read()


def parse_env_image(data):
    """(checksum good, [entries]) of an environment partition image."""
    stored = struct.unpack(">I", data[:4])[0]
    good = stored == zlib.crc32(data[4:])
    entries = []
    for raw in data[4:].split(b"\0"):
        if not raw:
            break
        entries.append(raw.decode("latin-1"))
    return good, entries


def apply_settings(board, args):
    """Writes the state that create and set take on the command line."""
    if args.image1 or args.image2:
        os.makedirs(os.path.join(board.user, "images"), exist_ok=True)
    for slot, source in (("image1", args.image1), ("image2", args.image2)):
        if source:
            shutil.copyfile(source, os.path.join(board.user, "images", slot))
    if args.rescue:
        with open(args.rescue, "rb") as f:
            board.write_partition("rescue", 0, f.read())
    entries = list(args.env or [])
    if args.env_file:
        with open(args.env_file) as f:
            entries += [line.rstrip("\n") for line in f if line.strip()]
    if entries or args.env_clear:
        size = board.geometry()[1]["ubootenv"]
        board.write_partition("ubootenv", 0, make_env_image(entries, size))
    if args.boot_slot is not None:
        board.set_vpd(VPD_BOOT_SLOT, args.boot_slot)
    if args.usb_boot is not None:
        board.set_vpd(VPD_USB_BOOT, args.usb_boot)
    for setting in args.vpd or []:
        offset, _, value = setting.partition("=")
        try:
            board.set_vpd(int(offset, 0), int(value, 0))
        except ValueError:
            raise VswitchError(f"bad --vpd {setting!r} (want OFFSET=BYTE)")
    if getattr(args, "no_usb", False) and os.path.isdir(board.usb):
        shutil.rmtree(board.usb)
    if args.usb:
        if os.path.isdir(board.usb):
            shutil.rmtree(board.usb)
        shutil.copytree(args.usb, board.usb, symlinks=True)


# ------------------------------------------------------------ ELF linking


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


# --------------------------------------------------------------- namespaces

libc = ctypes.CDLL(None, use_errno=True)
MS_RDONLY, MS_NOSUID, MS_NODEV, MS_NOEXEC = 1, 2, 4, 8
MS_REMOUNT, MS_BIND, MS_REC, MS_PRIVATE = 32, 4096, 16384, 1 << 18
PR_SET_PDEATHSIG = 1
NAMESPACES = ("mnt", "pid", "net", "uts", "ipc")


def sys_mount(source, target, fstype, flags, data=None):
    if libc.mount(source.encode() if source else None, target.encode(),
                  fstype.encode() if fstype else None, ctypes.c_ulong(flags),
                  data.encode() if data else None) != 0:
        err = ctypes.get_errno()
        raise VswitchError(f"mount {source} on {target}: {os.strerror(err)}")


def namespace_ids():
    return {ns: os.readlink(f"/proc/self/ns/{ns}") for ns in NAMESPACES}


def status(*words):
    sys.stdout.write(STATUS_PREFIX + " ".join(str(w) for w in words) + "\n")
    sys.stdout.flush()


class PowerRequest(Exception):
    """A program on the switch asked init to reboot, halt or power off."""


def namespace_init(cfg):
    """PID 1 of the switch's namespaces: builds the root filesystem in RAM,
    starts the launcher on the console and reports how the boot ended. Every
    mount made here dies with the namespace."""
    host = cfg["host_namespaces"]
    mine = namespace_ids()
    same = [ns for ns in NAMESPACES if mine[ns] == host[ns]]
    if os.getpid() != 1 or same:
        status("error", "refusing to boot: namespaces not private:",
               " ".join(same) or "not PID 1")
        return 1
    # Nothing mounted from here on may propagate back to the host.
    sys_mount("none", "/", None, MS_REC | MS_PRIVATE)

    root = cfg["root"]
    build_rootfs(root, cfg)
    socket.sethostname(cfg.get("hostname", "vswitch"))

    # BusyBox's reboot, halt and poweroff ask init with these signals.
    asks = {signal.SIGTERM: "reboot", signal.SIGUSR1: "halt", signal.SIGUSR2: "poweroff"}
    asked = []

    def on_ask(signum, frame):
        asked.append(asks[signum])
        raise PowerRequest()

    for sig in asks:
        signal.signal(sig, on_ask)
    if cfg.get("usb") and cfg.get("usb_delay", 0) > 0:
        spawn_usb_ready(root, cfg["usb_delay"])
    relay = None
    if cfg.get("stderr_tag") is not None:
        # The launcher's stderr goes through a pipe whose lines reach the
        # console marked, so that a test can tell the two streams apart.
        read_end, cfg["stderr_fd"] = os.pipe()
    launcher = start_console_program(root, cfg)
    if cfg.get("stderr_fd") is not None:
        os.close(cfg["stderr_fd"])
        relay = threading.Thread(target=relay_tagged, daemon=True,
                                 args=(read_end, cfg["pty_fd"], cfg["stderr_tag"]))
        relay.start()
    status("started", launcher)
    outcome = None
    try:
        while outcome is None:
            try:
                pid, wstatus = os.waitpid(-1, 0)
            except ChildProcessError:
                break
            if pid == launcher:
                outcome = wstatus
    except PowerRequest:
        pass
    for sig in asks:
        signal.signal(sig, lambda signum, frame: asked.append(asks[signum]))
    # Power off: everything else in this PID namespace goes at once.
    try:
        os.kill(-1, signal.SIGKILL)
    except ProcessLookupError:
        pass
    while True:
        try:
            os.waitpid(-1, 0)
        except ChildProcessError:
            break
    if relay is not None:
        relay.join(5)  # everything is killed: the pipe's writers are gone
    if asked:
        with open(os.path.join(cfg["board"], BOARD_LOG), "a") as log:
            log.write(f"vswitch: init was asked to {asked[0]}\n")
        status(asked[0])
    else:
        app = os.path.exists(os.path.join(root, IN_RUN.lstrip("/"), "application"))
        who = "application" if app else "launcher"
        if outcome is None:
            status("ended", who, "unknown")
        elif os.WIFSIGNALED(outcome):
            status("ended", who, "signal", os.WTERMSIG(outcome))
        else:
            status("ended", who, "status", os.WEXITSTATUS(outcome))
    return 0


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
                                     ("urandom", 1, 9, 0o666), ("tty", 5, 0, 0o666)):
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
    if cfg.get("usb"):
        sys_mount(os.path.join(cfg["board"], "usb"), os.path.join(root, "mnt/usb"),
                  None, MS_BIND)
        if cfg.get("usb_delay", 0) <= 0:
            open(os.path.join(root, "tmp/usb"), "w").close()


def spawn_usb_ready(root, delay):
    """The stick shows up `delay` seconds after power-on, as a slow hotplug
    would make it."""
    if os.fork() == 0:
        try:
            time.sleep(delay)
            open(os.path.join(root, "tmp/usb"), "w").close()
        finally:
            os._exit(0)


def relay_tagged(read_end, console_fd, tag):
    """Copies what the launcher writes to stderr onto the console, with the
    tag at the start of every line, until the last writer is gone."""
    at_line_start = True
    tag = tag.encode()
    while True:
        try:
            data = os.read(read_end, 65536)
        except InterruptedError:
            continue
        if not data:
            break
        out = b""
        for piece in data.splitlines(keepends=True):
            out += (tag if at_line_start else b"") + piece
            at_line_start = piece.endswith(b"\n")
        os.write(console_fd, out)
    os.close(read_end)


def start_console_program(root, cfg):
    slave = cfg["pty_fd"]
    pid = os.fork()
    if pid:
        return pid
    try:
        os.setsid()
        fcntl.ioctl(slave, termios.TIOCSCTTY, 0)
        for fd in (0, 1, 2):
            os.dup2(slave, fd)
        if cfg.get("stderr_fd") is not None:
            os.dup2(cfg["stderr_fd"], 2)
        os.closerange(3, 65536)
        # Python ignores SIGPIPE and SIGXFSZ; an exec would keep that.
        for sig in range(1, signal.NSIG):
            try:
                signal.signal(sig, signal.SIG_DFL)
            except (OSError, ValueError):
                pass
        signal.pthread_sigmask(signal.SIG_SETMASK, [])
        os.chroot(root)
        os.chdir("/")
        env = {
            "PATH": "/sbin:/bin:/usr/sbin:/usr/bin",
            "HOME": "/root",
            "TERM": cfg.get("term") or "vt100",
            "SIMDEV_BOARD": IN_BOARD + "/dev",
        }
        if cfg.get("preload"):
            env["LD_PRELOAD"] = IN_PRELOAD
        os.execve(IN_LAUNCHER, [IN_LAUNCHER], env)
    except BaseException as e:  # noqa: BLE001 - the child must never return
        try:
            os.write(2, f"vswitch: cannot start {IN_LAUNCHER}: {e}\r\n".encode())
        finally:
            os._exit(127)


# ------------------------------------------------------------------ runner


def find_program(path, what):
    if not path or not os.path.isfile(path) or not os.access(path, os.X_OK):
        raise VswitchError(f"{what} not found at {path}")
    return os.path.abspath(path)


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


class Console:
    """Relays the runner's stdin and stdout to the board's pty master. When
    stdin is a terminal it is put in raw mode, so that every key, Ctrl-C
    included, reaches the switch as a byte."""

    def __init__(self, escape):
        self.stdin = sys.stdin.fileno()
        self.stdout = sys.stdout.fileno()
        self.is_tty = os.isatty(self.stdin)
        self.escape = escape
        self.saved = None
        self.stdin_open = True
        self.at_line_start = True

    def __enter__(self):
        if self.is_tty:
            self.saved = termios.tcgetattr(self.stdin)
            tty.setraw(self.stdin)
        return self

    def __exit__(self, *exc):
        self.restore()

    def restore(self):
        if self.saved is not None:
            termios.tcsetattr(self.stdin, termios.TCSAFLUSH, self.saved)
            self.saved = None

    def write(self, data):
        if data:
            self.at_line_start = data.endswith(b"\n")
        while data:
            try:
                n = os.write(self.stdout, data)
            except BlockingIOError:
                select.select([], [self.stdout], [])
                continue
            data = data[n:]

    def say(self, text):
        """A line of the runner's own, at the start of a line of the console."""
        prefix = b"" if self.at_line_start else b"\r\n"
        self.write(prefix + text.encode() + b"\r\n")

    def window_size(self):
        if not self.is_tty:
            return None
        try:
            return fcntl.ioctl(self.stdin, termios.TIOCGWINSZ, b"\0" * 8)
        except OSError:
            return None


def console_pty(console):
    """A new pty pair whose slave starts in the cooked mode that a serial
    console at 9600 baud has after a reset."""
    master, slave = os.openpty()
    attrs = termios.tcgetattr(slave)
    attrs[0] = termios.ICRNL | termios.IXON | termios.BRKINT
    attrs[1] = termios.OPOST | termios.ONLCR
    attrs[2] = termios.CS8 | termios.CREAD | termios.HUPCL | termios.CLOCAL
    attrs[3] = (termios.ISIG | termios.ICANON | termios.ECHO | termios.ECHOE |
                termios.ECHOK | termios.ECHOCTL | termios.ECHOKE | termios.IEXTEN)
    attrs[4] = attrs[5] = termios.B9600
    termios.tcsetattr(slave, termios.TCSANOW, attrs)
    size = console.window_size()
    if size:
        fcntl.ioctl(master, termios.TIOCSWINSZ, size)
    return master, slave


def set_parent_death_signal():
    libc.prctl(PR_SET_PDEATHSIG, signal.SIGKILL, 0, 0, 0)


def boot_once(board, cfg, console, deadline):
    """One power-on of the board. Returns (kind, detail): kind is reboot,
    ended, timeout, operator or error."""
    master, slave = console_pty(console)
    link = cfg.get("console_link")
    if link:
        # The host side of the console, for an onlooker that reads its line
        # settings (the speed a terminal would have to match); it is the
        # switch's serial port, so nothing else should read or write it.
        replace_symlink(os.ttyname(slave), link)
    root = tempfile.mkdtemp(prefix="vswitch-root-")
    cfg = dict(cfg, root=root, pty=os.ttyname(slave), pty_fd=slave)
    cmd = ["unshare", "--mount", "--pid", "--net", "--uts", "--ipc", "--fork",
           "--mount-proc", "--propagation", "private", "--kill-child=SIGKILL",
           sys.executable, "-I", "-S", os.path.abspath(__file__), "_init", json.dumps(cfg)]
    board.append_log("vswitch: power on")
    proc = subprocess.Popen(cmd, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                            stderr=subprocess.STDOUT, pass_fds=(slave,),
                            preexec_fn=set_parent_death_signal)
    os.close(slave)
    os.set_blocking(master, False)
    status_fd = proc.stdout.fileno()
    pending_in = b""
    status_buf = b""
    result = None
    master_open = True
    status_open = True
    ended_at = None
    try:
        while master_open or status_open:
            now = time.monotonic()
            if ended_at is not None and now - ended_at > 5:
                break  # init is gone; whatever still holds the pty is not ours
            wait = 0.5
            if deadline is not None:
                if now >= deadline and result is None:
                    result = ("timeout", None)
                    break
                wait = min(wait, max(0.0, deadline - now))
            readers = [fd for fd, on in ((master, master_open), (status_fd, status_open)) if on]
            if console.stdin_open and result is None:
                readers.append(console.stdin)
            writers = [master] if pending_in and master_open else []
            readable, writable, _ = select.select(readers, writers, [], wait)
            if master in readable:
                try:
                    data = os.read(master, 65536)
                except BlockingIOError:
                    data = None
                except OSError:
                    data = b""
                if data == b"":
                    master_open = False
                elif data:
                    console.write(data)
            if console.stdin in readable:
                data = os.read(console.stdin, 4096)
                if not data:
                    console.stdin_open = False
                elif console.escape is not None and console.escape in data:
                    pending_in += data[:data.index(console.escape)]
                    result = ("operator", None)
                    break
                else:
                    pending_in += data
            if master in writable:
                try:
                    n = os.write(master, pending_in)
                    pending_in = pending_in[n:]
                except BlockingIOError:
                    pass
            if status_fd in readable:
                data = os.read(status_fd, 65536)
                if not data:
                    status_open = False
                    ended_at = time.monotonic()
                status_buf += data
                while b"\n" in status_buf:
                    line, status_buf = status_buf.split(b"\n", 1)
                    text = line.decode(errors="replace")
                    if text.startswith(STATUS_PREFIX):
                        words = text[len(STATUS_PREFIX):].split()
                        if words[0] in ("reboot", "halt", "poweroff", "ended"):
                            result = (words[0], words[1:])
                        elif words[0] == "error":
                            result = ("error", " ".join(words[1:]))
                    else:
                        console.say("vswitch: " + text)
    finally:
        if proc.poll() is None:
            proc.kill()
        proc.wait()
        os.close(master)
        if link and os.path.islink(link):
            os.unlink(link)
        try:
            os.rmdir(root)
        except OSError:
            pass
    if result is None:
        code = proc.returncode
        if code == -signal.SIGHUP:
            # reboot(2) in a PID namespace ends its init with SIGHUP.
            result = ("reboot", None)
        else:
            result = ("error", f"the namespace ended without a report (status {code})")
    return result


def replace_symlink(target, link):
    if os.path.islink(link):
        os.unlink(link)
    elif os.path.exists(link):
        raise VswitchError(f"{link} exists and is not a symbolic link")
    os.symlink(target, link)


def describe(result, timeout):
    kind, detail = result
    if kind == "reboot":
        return EXIT_REBOOT, "board asked for a reboot"
    if kind in ("halt", "poweroff"):
        return EXIT_ENDED, f"board asked to {kind}"
    if kind == "ended":
        who, how = detail[0], detail[1:]
        if how[0] == "status":
            text = f"{who} exited with status {how[1]}"
        elif how[0] == "signal":
            text = f"{who} was killed by signal {how[1]}"
        else:
            text = f"{who} exited"
        return EXIT_ENDED, text
    if kind == "timeout":
        return EXIT_TIMEOUT, f"no end within {timeout:g} seconds; board powered off"
    if kind == "operator":
        return EXIT_OPERATOR, "board powered off by the operator"
    return EXIT_SETUP, f"boot failed: {detail}"


def boot(board_path, launcher, preload, timeout=None, reboots=0, escape=b"\x1d",
         usb_delay=0.0, hostname="vswitch", stderr_tag=None, console_link=None):
    """Boots the board, and again after each reboot up to `reboots` times.
    Returns the exit status of the last boot."""
    if os.geteuid() != 0:
        raise VswitchError("booting needs root (mounts and namespaces)")
    board = Board(board_path)
    board.check()
    if not shutil.which("unshare"):
        raise VswitchError("unshare not found (install util-linux)")
    busybox = shutil.which("busybox")
    if not busybox:
        raise VswitchError("busybox not found (install busybox-static)")
    if elf_dependencies(busybox)[0]:
        raise VswitchError(f"{busybox} is not statically linked (install busybox-static)")
    cfg = {
        "board": board.path,
        "launcher": find_program(launcher, "launcher"),
        "preload": None if preload in (None, "none") else os.path.abspath(preload),
        "busybox": busybox,
        "rx": os.path.realpath(shutil.which("rx")) if shutil.which("rx") else None,
        "usb": os.path.isdir(board.usb),
        "usb_delay": usb_delay,
        "stderr_tag": stderr_tag,
        "console_link": os.path.abspath(console_link) if console_link else None,
        "hostname": hostname,
        "term": os.environ.get("TERM"),
        "host_namespaces": namespace_ids(),
    }
    if cfg["preload"] and not os.path.isfile(cfg["preload"]):
        raise VswitchError(f"device preload not found at {preload}")
    lock = open(os.path.join(board.path, ".lock"), "w")
    try:
        fcntl.flock(lock, fcntl.LOCK_EX | fcntl.LOCK_NB)
    except BlockingIOError:
        raise VswitchError(f"{board.path} is already running")
    console = Console(escape if os.isatty(sys.stdin.fileno()) else None)
    if escape is None:
        console.escape = None
    deadline = time.monotonic() + timeout if timeout else None

    def hang_up(signum, frame):
        raise SystemExit(EXIT_OPERATOR)

    # A closed terminal or a kill ends the board and still cleans up.
    signal.signal(signal.SIGHUP, hang_up)
    signal.signal(signal.SIGTERM, hang_up)
    with tempfile.TemporaryDirectory(prefix="vswitch-cache-") as cache:
        cfg["duma"] = build_duma(cache)
        with console:
            if console.escape is not None:
                console.say("vswitch: console attached; Ctrl-] powers the board off")
            cycle = 0
            while True:
                result = boot_once(board, cfg, console, deadline)
                code, text = describe(result, timeout)
                board.append_log("vswitch: " + text)
                console.say("vswitch: " + text)
                if result[0] != "reboot" or cycle >= reboots:
                    return code
                cycle += 1
                console.say(f"vswitch: power on again ({cycle} of {reboots})")


# -------------------------------------------------------------- commands


def add_state_options(p, creating):
    p.add_argument("--image1", metavar="FILE", help="image file for slot 1 (/user/images/image1)")
    p.add_argument("--image2", metavar="FILE", help="image file for slot 2 (/user/images/image2)")
    p.add_argument("--rescue", metavar="FILE",
                   help="image written at offset 0 of the rescue partition")
    p.add_argument("--env", action="append", metavar="NAME=VALUE",
                   help="boot-loader environment entry (repeatable); the partition "
                        "is rewritten with exactly the entries given")
    p.add_argument("--env-file", metavar="FILE", help="environment entries, one per line")
    p.add_argument("--env-clear", action="store_true",
                   help="write an environment with no entries")
    p.add_argument("--boot-slot", type=lambda s: int(s, 0), metavar="N",
                   help=f"VPD boot slot byte ({VPD_BOOT_SLOT:#x})")
    p.add_argument("--usb-boot", type=lambda s: int(s, 0), metavar="N",
                   help=f"VPD USB-boot byte ({VPD_USB_BOOT:#x}); 213 (0xd5) allows USB boot")
    p.add_argument("--vpd", action="append", metavar="OFFSET=BYTE",
                   help="any VPD EEPROM byte (repeatable)")
    p.add_argument("--usb", metavar="DIR", help="plug in a USB stick holding DIR's files")
    if creating:
        p.add_argument("--erasesize", type=lambda s: int(s, 0), default=DEFAULT_ERASESIZE)
        p.add_argument("--part-size", action="append", metavar="NAME=BYTES",
                       help="size of a partition (" + ", ".join(PARTITION_NAMES) + ")")
        p.add_argument("--force", action="store_true", help="replace an existing board")
    else:
        p.add_argument("--no-usb", action="store_true", help="unplug the USB stick")


def cmd_create(args):
    sizes = {}
    for setting in args.part_size or []:
        name, _, value = setting.partition("=")
        if name.startswith("mtd-"):
            name = name[4:]
        if name not in PARTITION_NAMES:
            raise VswitchError(f"no partition {name!r}")
        sizes[name] = int(value, 0)
    board = create_board(args.board, args.erasesize, sizes, args.force)
    apply_settings(board, args)
    print(f"vswitch: board created at {board.path}")
    return 0


def cmd_set(args):
    board = Board(args.board)
    board.check()
    apply_settings(board, args)
    return 0


def cmd_show(args):
    board = Board(args.board)
    board.check()
    erasesize, sizes = board.geometry()
    print(f"board      {board.path}")
    print(f"flash      erase size {erasesize}; " +
          ", ".join(f"{n} {sizes[n]}" for n in PARTITION_NAMES))
    print(f"VPD        boot slot {board.vpd(VPD_BOOT_SLOT)}, booted image "
          f"{board.vpd(VPD_BOOTED_IMAGE)}, USB boot {board.vpd(VPD_USB_BOOT)}")
    env = board.read_partition("ubootenv", 0, sizes["ubootenv"])
    if env[:4] == b"\xff\xff\xff\xff":
        print("env        erased")
    else:
        good, entries = parse_env_image(env)
        print("env        checksum " + ("good" if good else "BAD") +
              "".join(f"\n           {e}" for e in entries))
    files = []
    for top, _dirs, names in os.walk(board.user):
        files += [os.path.relpath(os.path.join(top, n), board.user) for n in names]
    print("user files " + (", ".join(sorted(files)) or "none"))
    print("USB stick  " + (", ".join(sorted(os.listdir(board.usb)))
                           if os.path.isdir(board.usb) else "none"))
    return 0


def cmd_boot(args):
    build = os.environ.get("SWITCH_BUILD_DIR", DEFAULT_BUILD_DIR)
    launcher = args.launcher or os.path.join(build, "src", "launcher")
    preload = args.preload or os.path.join(build, "sim", "libsimdev_preload.so")
    escape = None
    if args.escape != "none":
        escape = bytes([ord(args.escape[1].upper()) - 64]) if args.escape.startswith("^") \
            else args.escape.encode()
    return boot(args.board, launcher, preload, timeout=args.timeout, reboots=args.reboots,
                escape=escape, usb_delay=args.usb_delay, stderr_tag=args.stderr_tag,
                console_link=args.console_link)


def parser():
    p = argparse.ArgumentParser(prog="vswitch", description="The virtual switch.")
    sub = p.add_subparsers(dest="command", required=True)
    c = sub.add_parser("create", help="make a new board directory")
    c.add_argument("board")
    add_state_options(c, creating=True)
    c.set_defaults(func=cmd_create)
    s = sub.add_parser("set", help="change the state of a board")
    s.add_argument("board")
    add_state_options(s, creating=False)
    s.set_defaults(func=cmd_set)
    w = sub.add_parser("show", help="print the state of a board")
    w.add_argument("board")
    w.set_defaults(func=cmd_show)
    b = sub.add_parser("boot", help="power the board on with the console attached")
    b.add_argument("board")
    b.add_argument("--launcher", help="launcher binary (default: $SWITCH_BUILD_DIR/src/launcher)")
    b.add_argument("--preload", help="device preload, or none (default: "
                   "$SWITCH_BUILD_DIR/sim/libsimdev_preload.so)")
    b.add_argument("--timeout", type=float, help="power off after this many seconds")
    b.add_argument("--reboots", type=int, default=0,
                   help="boot again after a reboot, up to N times (default 0)")
    b.add_argument("--escape", default="^]",
                   help="key that powers off the board from a terminal, ^X or none")
    b.add_argument("--usb-delay", type=float, default=0.0,
                   help="seconds after power-on until the USB stick is ready")
    b.add_argument("--stderr-tag", metavar="TAG",
                   help="start every line that the launcher (and what it starts) writes "
                        "to stderr with TAG on the console")
    b.add_argument("--console-link", metavar="PATH",
                   help="while the board is on, PATH is a symbolic link to the console "
                        "pty's host side, so that its line settings can be read")
    b.set_defaults(func=cmd_boot)
    return p


def main(argv=None):
    argv = sys.argv[1:] if argv is None else argv
    if argv[:1] == ["_init"]:
        try:
            return namespace_init(json.loads(argv[1]))
        except VswitchError as e:
            status("error", e)
            return 1
    args = parser().parse_args(argv)
    try:
        return args.func(args)
    except (VswitchError, OSError) as e:
        print(f"vswitch: {e}", file=sys.stderr)
        return EXIT_SETUP


if __name__ == "__main__":
    sys.exit(main())
