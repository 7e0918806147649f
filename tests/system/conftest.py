"""The one fixture module of the system tests: boards, image files, and the
operator's terminal on a booted virtual switch.

A test makes a board with `make_board(...)`, boots it with
`terminal(board, ...)` and plays the operator: `expect` console text,
`press` keys, `type_line` into the line editor, hand the line to an XMODEM
sender, read the console's line settings. Every wait has a generous
timeout (WAIT seconds): the machines that run these tests are small and
loaded. Tests that boot skip when not root or when the build lacks the
launcher or the device preload.
"""

import gzip
import io
import contextlib
import os
import pathlib
import re
import select
import shutil
import struct
import subprocess
import sys
import tarfile
import termios
import time
import zlib

import pytest

REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
SIM_DIR = os.path.join(REPO, "sim")
sys.path.insert(0, SIM_DIR)

import vswitch  # noqa: E402  (sim/vswitch.py, put on the path just above)
from vsw.rootfs import elf_machine  # noqa: E402

BUILD_DIR = os.environ.get("SWITCH_BUILD_DIR", os.path.join(REPO, "build", "host"))
# SWITCH_MACHINE=vm boots every board as a full-system virtual machine.
VM = os.environ.get("SWITCH_MACHINE") == "vm"
# SWITCH_TARGET=ppc boots the PowerPC build's launcher and drivers under qemu-ppc
# instead; with SWITCH_MACHINE=vm, as shipped on the PowerPC e500 machine.
PPC = os.environ.get("SWITCH_TARGET") == "ppc"
PPC_VM = PPC and VM
TARGET_DIR = vswitch.PPC_BUILD_DIR if PPC else BUILD_DIR
LAUNCHER = os.path.join(TARGET_DIR, "src/launcher" if PPC_VM else
                        vswitch.PPC_LAUNCHER if PPC else "src/launcher")
PRELOAD = os.path.join(BUILD_DIR, "sim", "libsimdev_preload.so")
IMGTOOL = os.path.join(BUILD_DIR, "tools", "imgtool")
DRIVERS = os.path.join(TARGET_DIR, "tests")
VSWITCH = os.path.join(SIM_DIR, "vswitch")
# The virtual machine's emulated CPU slows down as much as the build machine
# is loaded: a boot that takes 6 s alone can take a minute.
WAIT = 240 if VM else 60
# The read system call's number on this machine, as /proc/PID/syscall shows it.
READ_SYSCALL = {"x86_64": "0", "aarch64": "63", "i686": "3"}.get(os.uname().machine, "0")

BOOT_SLOT = vswitch.VPD_BOOT_SLOT
BOOTED = vswitch.VPD_BOOTED_IMAGE
MAGIC = {"application": 0x01504754, "uboot": 0x02504754, "kernel": 0x03504754,
         "rfs": 0x04504754, "dft": 0x05504754, "diags": 0x06504754}
# Record type -> (partition, install label).
FLASH = {"uboot": ("uboot", "Installing Boot Loader: "),
         "kernel": ("kernel", "Installing Kernel: "),
         "rfs": ("rfs", "Installing Root Filesystem: "),
         "dft": ("devicetree", "Installing Device Tree: "),
         "diags": ("rescue", "Installing Diagnostics: ")}
UBOOT_HEADER_AT = 240

# Console texts that many tests wait for.
MOUNT = "mount -o sync -t jffs2 /dev/mtd-user /user"
APP_EXIT = 7  # the test application's exit status, seen as the boot's end
APP_ENDED = (f"application exited with status {APP_EXIT}", 1)
MENU = ("Please select one of the following options:\n"
        "\tX) Use xmodem 1K to serial download an image\n"
        "\tR) Reboot\n"
        "\tE) Exit\n")
PROMPT = "\nOption? : "
RESTORE = "       Change the baud rate back to 9600 bps, hit the <ENTER> key\n"
SLOT_QUESTION = "Install image as image 1 or 2 (hit return to just boot image): "
EXTRACTING = "\nExtracting images ... Do *NOT* power cycle the switch.\n"
USB_PROMPT = "Choose file number to install (q to quit): "
ERR_TAG = "!E> "  # marks the launcher's stderr lines on the console
USB_WAIT = ("Attempting to mount file system on USB flash drive; this can take up to 10 "
            "seconds.\n")
USB_READY = USB_WAIT + "USB mounted and ready!\n"


def pytest_configure(config):
    config.addinivalue_line("markers", "ppc: run against the PowerPC launcher by the test command")
    config.addinivalue_line("markers", "vm: run on the virtual machine by the test command")


def model_only(what):
    """Skips on the virtual machine a test that needs what only the device
    model has (its log of requests, fault rules, the fast clock...)."""
    if VM:
        pytest.skip(f"the virtual machine has no {what}")


def rows(table, ppc=(), vm=()):
    """Parameters of a {name: row} table; the rows named in `ppc` and `vm`
    marked so."""
    return [pytest.param(row, id=name, marks=[pytest.mark.ppc] * (name in ppc) +
                         [pytest.mark.vm] * (name in vm))
            for name, row in table.items()]


# ------------------------------------------------------------------ images

# Prints what it was started with and ends. It never reads the console, so
# a boot that reaches it ends by itself.
APP_SCRIPT = """#!/bin/sh
echo "APP {name} pid=$$ preload=[${{LD_PRELOAD:-}}] args=[$*]"
echo "TMP [$(ls /tmp | tr '\\n' ' ')]"
exit {status}
"""
DIAG_SCRIPT = """#!/bin/sh
echo "DIAG {name} pid=$$"
exit {status}
"""


def tar_gz(files):
    """A gzip tar of {path: (bytes, mode)} with paths relative to /tmp."""
    raw = io.BytesIO()
    with tarfile.open(fileobj=raw, mode="w", format=tarfile.USTAR_FORMAT) as tar:
        dirs = {"/".join(p.split("/")[:i]) for p in files for i in range(1, p.count("/") + 1)}
        for d in sorted(dirs):
            info = tarfile.TarInfo(d)
            info.type, info.mode = tarfile.DIRTYPE, 0o755
            tar.addfile(info)
        for path, (data, mode) in files.items():
            info = tarfile.TarInfo(path)
            info.size, info.mode = len(data), mode
            tar.addfile(info, io.BytesIO(data))
    return gzip.compress(raw.getvalue(), mtime=0)


def app_archive(name, marker=True, extra=()):
    """The application `name`, with the distribution marker unless told, and
    `extra` files ({path: (bytes, mode)})."""
    files = {"home/bin/mp.elf.strip": (APP_SCRIPT.format(name=name, status=APP_EXIT).encode(),
                                       0o755), **dict(extra)}
    if marker:
        files["home/bin/distro-id"] = (b"test distribution\n", 0o644)
    return tar_gz(files)


def diag_archive(name):
    """A diagnostics payload: its program at the top level, beside an
    application that must not be the one that runs."""
    script = DIAG_SCRIPT.format(name=name, status=APP_EXIT).encode()
    return app_archive("not-diags", extra={"mpdiag.elf.strip": (script, 0o755)})


def make_image(tmp_path, records):
    """Image file bytes from [(type, version, payload bytes)], by imgtool."""
    if not os.access(IMGTOOL, os.X_OK):
        pytest.skip(f"imgtool not built at {IMGTOOL}")
    specs = []
    for i, (kind, version, payload) in enumerate(records):
        (tmp_path / f"payload-{i}").write_bytes(payload)
        specs.append(f"{kind}:{version}:{tmp_path}/payload-{i}")
    out = tmp_path / "image.out"
    subprocess.run([IMGTOOL, "create", str(out), *specs], check=True, capture_output=True)
    return out.read_bytes()


def app_image(tmp_path, name, version="1.0.0.1", **kw):
    return make_image(tmp_path, [("application", version, app_archive(name, **kw))])


def diags_image(tmp_path, name="rescue"):
    return make_image(tmp_path, [("diags", "9.0.0.1", diag_archive(name))])


def flip(image, offset=40):
    """The image with one byte inverted (by default one of the payload)."""
    return image[:offset] + bytes([image[offset] ^ 0xFF]) + image[offset + 1:]


def version_id(version):
    return int.from_bytes(bytes(int(x) for x in version.split(".")), "big")


def uboot_payload(version, size):
    """A boot-loader payload whose bytes 240..255 are its own version header
    (len, type and id as the record that carries it will have)."""
    header = struct.pack(">IIII", 0x5A5A5A5A, size, MAGIC["uboot"], version_id(version))
    return b"U" * UBOOT_HEADER_AT + header + b"U" * (size - UBOOT_HEADER_AT - 16)


def pattern(seed, size):
    """Deterministic bytes that are neither erased flash nor zeros."""
    return b"".join(zlib.crc32(b"%d-%d" % (seed, n)).to_bytes(4, "big") * 64
                    for n in range(size // 256 + 1))[:size]


def records_of(image):
    """[(type name, offset, whole record bytes)] of an image file, up to the
    first header of unknown type."""
    names = {v: k for k, v in MAGIC.items()}
    out, at = [], 0
    while at + 16 <= len(image):
        length, magic = struct.unpack_from(">II", image, at + 4)
        if magic not in names:
            break
        out.append((names[magic], at, image[at:at + 16 + length]))
        at += 16 + length
    return out


def full_image(tmp_path):
    """One record of each type, all of version 2.1.0.7: boot loader, kernel,
    root filesystem, device tree, diagnostics, application "new"."""
    payloads = [("uboot", uboot_payload("2.1.0.7", 40000)), ("kernel", pattern(1, 150000)),
                ("rfs", pattern(2, 140000)), ("dft", pattern(3, 9000)),
                ("diags", diag_archive("new-diags")), ("application", app_archive("new"))]
    return make_image(tmp_path, [(kind, "2.1.0.7", payload) for kind, payload in payloads])


def installed_form(kind, record):
    """What a partition holds from offset 0 after `record` is installed: the
    boot loader's payload alone, any other record whole."""
    return record[16:] if kind == "uboot" else record


def expected_partition(old, kind, record):
    """The partition's bytes after `record` of type `kind` is installed over
    `old`: every byte after the record as it was."""
    data = installed_form(kind, record)
    return data + old[len(data):]


# ------------------------------------------------------------------ boards


@pytest.fixture
def make_board(tmp_path):
    """make_board(name="board", image1=, image2=, rescue=, env=[...],
    boot_slot=, usb={name: bytes}, usb_layout=, vpd={offset: byte}) -> Board.
    Images are bytes. The stick is a FAT file system holding `usb` in this
    order (None makes a directory), in one partition, on the bare disk, or
    in a second partition behind one of zeros (usb_layout="fat-second")."""

    def make(name="board", image1=None, image2=None, rescue=None, env=None, boot_slot=None,
             usb=None, usb_layout="partitioned", vpd=()):
        board = vswitch.create_board(str(tmp_path / name))
        for slot, image in (("image1", image1), ("image2", image2)):
            if image is not None:
                os.makedirs(os.path.join(board.user, "images"), exist_ok=True)
                pathlib.Path(board.user, "images", slot).write_bytes(image)
        if rescue is not None:
            board.write_partition("rescue", 0, rescue)
        if env is not None:
            set_env(board, env)
        for offset, value in {BOOT_SLOT: boot_slot, **dict(vpd)}.items():
            if value is not None:
                board.set_vpd(offset, value)
        if usb is not None:
            vswitch.make_stick(board.usb, list(usb.items()), usb_layout)
        return board

    return make


def usb_board(make_board, tmp_path, stick):
    """A board that allows USB boot, with `stick` plugged in and an
    application "old" in slot 1, which the VPD names."""
    return make_board(vpd={vswitch.VPD_USB_BOOT: 0xD5}, boot_slot=1, usb=stick,
                      image1=app_image(tmp_path, "old", "1.0.0.1"))


def set_env(board, entries):
    size = board.geometry()[1]["ubootenv"]
    board.write_partition("ubootenv", 0, vswitch.make_env_image(entries, size))


# The fault rules that the virtual machine serves too (through its own
# I2C and flash modules).
MACHINE_FAULTS = ("nak ", "cut-at-write ")


def set_faults(board, *rules):
    if not all(rule.startswith(MACHINE_FAULTS) for rule in rules):
        model_only("fault rules")
    pathlib.Path(board.dev, "faults").write_text("".join(rule + "\n" for rule in rules))


def fill_partitions(board):
    """Every flash partition but the environment filled with a pattern, so
    that any byte an install should leave alone can be told from one it
    wrote or erased. Returns {partition: bytes}."""
    sizes = board.geometry()[1]
    before = {name: pattern(100 + i, sizes[name])
              for i, name in enumerate(["uboot", "devicetree", "kernel", "rfs", "rescue"])}
    for name, data in before.items():
        board.write_partition(name, 0, data)
    return before


def user_file(board, name):
    return pathlib.Path(board.user, name).read_bytes()


def devices_log(board):
    model_only("device log")
    return pathlib.Path(board.dev, "devices.log").read_text().splitlines()


def log_since_power_on(board):
    """The board log lines of the last boot."""
    lines = board.log_lines()
    starts = [i for i, line in enumerate(lines) if line == "vswitch: power on"]
    return lines[starts[-1] + 1:] if starts else lines


def wait_until(condition, what, timeout=WAIT):
    """Polls `condition` (the board's files, as a test can see them while it
    runs) until it holds."""
    deadline = time.monotonic() + timeout
    while not condition():
        if time.monotonic() > deadline:
            raise AssertionError(f"{what} never came")
        time.sleep(0.05)


def in_order(lines, wanted):
    """Whether `wanted` occur in `lines` as whole lines in this order."""
    it = iter(lines)
    return all(any(line == w for line in it) for w in wanted)


# ------------------------------------------------------------------ console


class Terminal:
    """The operator's terminal program on a booted board: `vswitch boot` with
    the console on pipes (`--escape none`, so every byte passes untouched,
    Ctrl-C included), the whole transcript kept, the launcher's stderr lines
    tagged (`--stderr-tag`), and the console's line settings readable
    through `--console-link`.

    Stderr lines reach the console through a relay, so one may show up after
    stdout text that was written later: compare each stream on its own."""

    def __init__(self, board, tmp_path, launcher, preload, args=(), timeout=5 * WAIT, tag=True):
        for option in ("--fast-clock", "--cut-at-file-size", "--target"):
            if any(a.startswith(option) for a in args):
                model_only(option)
        if "--usb-unplug" in args and args[args.index("--usb-unplug") + 1] == "mount":
            model_only("pull at the moment of a mount")
        if elf_machine(launcher) == vswitch.EM_PPC and not PPC_VM:
            model_only("PowerPC CPU")
        self.board = board
        self.tag = tag
        self.link = str(tmp_path / f"console-{os.path.basename(board.path)}")
        # The virtual machine's programs meet real devices, not the model.
        argv = [VSWITCH, "boot", board.path, "--launcher", launcher,
                *([] if VM else ["--preload", preload]), "--timeout", str(timeout), "--escape", "none", "--console-link", self.link,
                *(["--stderr-tag", ERR_TAG] if tag else []),
                *(["--target", "ppc"] if PPC_VM else []), *args]
        env = dict(os.environ, SWITCH_BUILD_DIR=BUILD_DIR, TERM="vt100")
        self.proc = subprocess.Popen(argv, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     env=env, bufsize=0)
        self.fd = self.proc.stdout.fileno()
        self.text = ""   # everything the console showed, without carriage returns
        self.pos = 0     # where the next expect starts looking
        self.ended = False

    def _take(self, data):
        self.text += data.decode("latin-1").replace("\r", "")

    def _pump(self, wait):
        """Takes what the console shows within `wait` seconds; False once
        the board has ended."""
        if not self.ended and select.select([self.fd], [], [], wait)[0]:
            data = os.read(self.fd, 65536)
            self.ended = not data
            self._take(data)
        return not self.ended

    def expect(self, wanted, timeout=WAIT):
        """Waits for `wanted` (console text without carriage returns) after
        the previous match; returns the text between."""
        deadline = time.monotonic() + timeout
        while (at := self.text.find(wanted, self.pos)) < 0:
            left = deadline - time.monotonic()
            if left <= 0 or not self._pump(min(left, 1.0)):
                raise AssertionError(f"console never showed {wanted!r}; after the last "
                                     f"match it showed:\n{self.text[self.pos:][-3000:]}")
        before, self.pos = self.text[self.pos:at], at + len(wanted)
        return before

    def send(self, data):
        self.proc.stdin.write(data.encode("latin-1") if isinstance(data, str) else data)

    # The streams, told apart by the tag.
    def err(self):
        return "".join(re.findall(re.escape(ERR_TAG) + r"([^\n]*\n?)", self.text))

    def out(self):
        """The console without the stderr lines and the runner's lines."""
        text = re.sub(re.escape(ERR_TAG) + r"[^\n]*\n?", "", self.text)
        return "".join(line for line in text.splitlines(keepends=True)
                       if not line.startswith("vswitch: "))

    def out_lines(self):
        return self.out().splitlines()

    def log(self):
        return log_since_power_on(self.board)

    # The line.
    def line_settings(self):
        """The console's termios (tcgetattr's list, the control characters as
        one bytes object), read on the host side of the pty."""
        fd = os.open(self.link, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
        try:
            attrs = termios.tcgetattr(fd)
        finally:
            os.close(fd)
        return attrs[:6] + [b"".join(c if isinstance(c, bytes) else bytes([c])
                                     for c in attrs[6])]

    def wait_line(self, predicate, timeout=WAIT):
        """Reads the console until its settings satisfy `predicate`, as an
        operator matches the switch's speed before pressing Enter."""
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            with contextlib.suppress(OSError):  # the console is not there yet
                if predicate(attrs := self.line_settings()):
                    return attrs
            self._pump(0.05)
        raise AssertionError("the console's settings never changed as awaited")

    def relay(self, peer, timeout=2 * WAIT, on_start=None):
        """Hands the line to `peer` (argv of a program speaking on its stdin
        and stdout, such as an XMODEM sender) until it ends, recording what
        the switch sends meanwhile. `on_start` runs once the switch has first
        spoken. Returns (the peer's exit status, its stderr)."""
        proc = subprocess.Popen(peer, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE, bufsize=0)
        peer_out, to_peer = proc.stdout.fileno(), proc.stdin.fileno()
        deadline = time.monotonic() + timeout
        held = b""
        try:
            while time.monotonic() < deadline:
                ready = select.select([self.fd, peer_out], [], [], 0.5)[0]
                if self.fd in ready:
                    data = os.read(self.fd, 65536)
                    if not data:
                        self.ended = True
                        raise AssertionError("the board ended during the transfer")
                    self._take(data)
                    heard, held = without_tagged_lines(held + data) if self.tag else (data, b"")
                    with contextlib.suppress(BrokenPipeError):
                        os.write(to_peer, heard)
                    if on_start:
                        on_start()
                        on_start = None
                if peer_out in ready:
                    data = os.read(peer_out, 65536)
                    if not data:
                        return proc.wait(timeout=WAIT), proc.stderr.read().decode(errors="replace")
                    self.send(data)
            raise AssertionError(f"{peer[0]} did not finish within {timeout} s")
        finally:
            proc.kill()  # nothing when it has ended
            proc.wait()

    def finish(self, timeout=WAIT):
        """Waits for the board to end; (final runner line without
        "vswitch: ", exit status)."""
        deadline = time.monotonic() + timeout
        while not self.ended:
            if time.monotonic() > deadline:
                raise AssertionError("the board did not end:\n" + self.text[-3000:])
            self._pump(1.0)
        lines = [line for line in self.text.split("\n") if line.startswith("vswitch: ")]
        return (lines[-1][len("vswitch: "):] if lines else None), self.proc.wait(timeout=WAIT)

    def reading_console(self):
        """Whether a program of the board (on the namespaces) waits in
        read() on its standard input, the console, as the kernel shows a
        blocked system call in /proc/PID/syscall."""
        for pid in descendants(self.proc.pid):
            try:
                with open(f"/proc/{pid}/syscall") as f:
                    if f.read().split()[:2] == [READ_SYSCALL, "0x0"]:
                        return True
            except (OSError, IndexError):
                pass
        return False

    def kill(self):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()


def descendants(pid):
    """The processes that `pid` started, and theirs, by the host's numbers."""
    children = {}
    for entry in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open(f"/proc/{entry}/stat") as f:
                parent = int(f.read().rsplit(")", 1)[1].split()[1])
        except (OSError, ValueError, IndexError):
            continue
        children.setdefault(parent, []).append(int(entry))
    found, todo = [], list(children.get(pid, []))
    while todo:
        found.append(todo.pop())
        todo += children.get(found[-1], [])
    return found


def without_tagged_lines(data):
    """Console bytes as the peer on the line hears them, and a tail held
    back until its line is whole. The tagged stderr lines are the test's
    record: they reach the console through a relay, so out of order with
    the protocol's bytes, and a sender that took one for an answer would
    misread the exchange (lrzsz's sx, after its last EOT, empties its input
    on any byte but ACK, the ACK behind it included)."""
    tag = ERR_TAG.encode()
    data = re.sub(re.escape(tag) + rb"[^\n]*\n", b"", data)
    at = data.find(tag)
    if at < 0:  # a line's tag may be cut short too
        at = next((len(data) - n for n in range(len(tag) - 1, 0, -1)
                   if data.endswith(tag[:n])), len(data))
    return data[:at], data[at:]


def launcher_lines(term):
    """Stdout without the lines of the programs that the boot started and of
    the operator's BusyBox shell (banner, prompt)."""
    text = re.sub(r"\n*BusyBox v.*\nEnter 'help'.*\n\n", "\n", term.out())
    return [line for line in text.splitlines()
            if not line.startswith(("APP ", "DIAG ", "TMP ", "/ # "))]


def started(term):
    """The programs that the boot started, by their banners' first words
    ("APP one", "DIAG rescue")."""
    return [" ".join(line.split()[:2]) for line in term.out_lines()
            if line.startswith(("APP ", "DIAG "))]


def open_failed(slot, then=None):
    """The stderr line of a slot file that does not open (no line end)."""
    return f"Failed to open Application image {slot}. Trying {then or f'image {3 - slot}.'}"


def cli(*args):
    """`vswitch ARGS...`, run to its end."""
    return subprocess.run([VSWITCH, *map(str, args)], capture_output=True, text=True,
                          timeout=WAIT, stdin=subprocess.DEVNULL)


def boot_blocker():
    """Why this machine cannot boot a virtual switch, or None."""
    if os.geteuid() != 0:
        return "booting a virtual switch needs root"
    for tool, package in (("unshare", "util-linux"), ("busybox", "busybox-static")):
        if not shutil.which(tool):
            return f"{tool} missing (package {package})"
    for path in (LAUNCHER, PRELOAD):
        if not os.path.exists(path):
            return f"{path} not built"
    return None


@pytest.fixture
def terminal(tmp_path):
    """terminal(board, launcher=None, preload=None, args=(), tag=True) -> a
    Terminal on a booted board; boards still running at the end of the test
    are powered off."""
    why = boot_blocker()
    if why:
        pytest.skip(why)
    made = []

    def boot(board, launcher=None, preload=None, args=(), tag=True):
        made.append(Terminal(board, tmp_path, launcher or LAUNCHER, preload or PRELOAD, args,
                             tag=tag))
        return made[-1]

    yield boot
    for t in made:
        t.kill()


@pytest.fixture
def stand_in(tmp_path):
    """stand_in(script) -> path of an executable BusyBox sh script to boot in
    place of the launcher."""
    def make(body):
        path = tmp_path / f"stand-in-{len(list(tmp_path.glob('stand-in-*')))}"
        path.write_text("#!/bin/sh\n" + body)
        path.chmod(0o755)
        return str(path)

    return make


def driver(name):
    """A test driver program of the build, booted in the launcher's place."""
    # The PowerPC machine's are built without the device model.
    path = os.path.join(DRIVERS, name + ("-machine" if PPC_VM else ""))
    if not os.access(path, os.X_OK):
        pytest.skip(f"{name} not built at {path}")
    return path


# The operator at the console.

def press(term, key):
    """Presses one key once the switch reads single keys. A key typed while
    the console is still cooked would be echoed by the line discipline too.
    A Ctrl-C that comes after the switch to single keys but before the read
    starts only sets the flag, and the read then waits for another key: on
    the namespaces it goes once the switch is seen waiting in its read."""
    term.wait_line(lambda attrs: not attrs[3] & termios.ICANON)
    if key in ("\x03", b"\x03") and not VM:
        wait_until(term.reading_console, "the switch's read of a key")
    term.send(key)


def choose(term, key):
    """Presses a menu key; the switch echoes it on its own line."""
    press(term, key)
    term.expect(key + "\n")


def type_line(term, text):
    """Types a line into the line editor, each key after the editor has
    echoed the one before, then Enter."""
    for key in text:
        press(term, key)
        term.expect(key)
    press(term, "\r")
    term.expect("\n")


def transfer(term, peer=None, timeout=WAIT):
    """A serial download from the instructions on, as the operator: Enter at
    115200, the sender (if any) on the line, Enter at 9600 again, each once
    the switch has changed the line's settings (a key typed before would be
    flushed, as on a UART). Returns what the switch sent on the line."""
    term.expect("       Change the baud rate to 115200 bps and hit the <ENTER> key\n"
                "       before initiating the download.\n")
    term.wait_line(lambda a: a[4] == a[5] == termios.B115200 and not a[3] & termios.ICANON)
    term.send(b"\r")
    start = len(term.text)
    if peer:
        term.relay(peer)
    term.expect(RESTORE, timeout)
    sent = re.sub(re.escape(ERR_TAG) + r"[^\n]*\n", "", term.text[start:term.pos - len(RESTORE)])
    term.wait_line(lambda a: a[4] == a[5] == termios.B9600 and a[3] & termios.ICANON)
    term.send(b"\n")
    return sent


def to_menu(term):
    term.expect("Entering Rescue Mode.\n" + MENU + PROMPT)


def rescue_board(make_board, **kw):
    """A board whose boot settings open the rescue menu at start-up."""
    return make_board(env=kw.pop("env", ["diagnostics=rescue"]), **kw)


def driver_install(terminal, board, path, skip, slot):
    """Boots the install driver and has it install `path`; returns the
    Terminal, already finished."""
    t = terminal(board, launcher=driver("install_driver"))
    t.expect("install driver: path skip slot? ")
    t.send(f"{path} {skip} {slot}\r")
    t.finish()
    return t
