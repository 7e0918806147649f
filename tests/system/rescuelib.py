"""Helpers for the rescue-menu and installer tests on the virtual switch.

`Terminal` plays the operator's terminal program: it boots the board with
the console on pipes (`vswitch boot --escape none`, so every byte passes
untouched, Ctrl-C included), keeps the whole console transcript, and can
hand the line to an XMODEM sender (lrzsz's `sx -k`) for a download while it
goes on recording what the switch says. Through `--console-link` it reads
the console's line settings, as an operator's terminal must match the
switch's speed before Enter is understood.

Image helpers build multi-record images with imgtool: one record of each
type, the boot loader's payload carrying its version header at byte 240.
"""

import os
import select
import struct
import subprocess
import termios
import time
import zlib

import pytest

from bootlib import app_archive, diag_archive, make_image
from conftest import BUILD_DIR, LAUNCHER, PRELOAD, VSWITCH, WAIT, vswitch

DRIVER = os.path.join(BUILD_DIR, "tests", "install_driver")

MAGIC = {
    "application": 0x01504754, "uboot": 0x02504754, "kernel": 0x03504754,
    "rfs": 0x04504754, "dft": 0x05504754, "diags": 0x06504754,
}
# Record type -> (partition, install label).
FLASH = {
    "uboot": ("uboot", "Installing Boot Loader: "),
    "kernel": ("kernel", "Installing Kernel: "),
    "rfs": ("rfs", "Installing Root Filesystem: "),
    "dft": ("devicetree", "Installing Device Tree: "),
    "diags": ("rescue", "Installing Diagnostics: "),
}
UBOOT_HEADER_AT = 240

MENU = ("Please select one of the following options:\n"
        "\tX) Use xmodem 1K to serial download an image\n"
        "\tR) Reboot\n"
        "\tE) Exit\n")
PROMPT = "\nOption? : "
SLOT_QUESTION = "Install image as image 1 or 2 (hit return to just boot image): "
EXTRACTING = "\nExtracting images ... Do *NOT* power cycle the switch.\n"
USB_PROMPT = "Choose file number to install (q to quit): "


# ------------------------------------------------------------------ images


def version_id(version):
    a, b, c, d = (int(x) for x in version.split("."))
    return (a << 24) | (b << 16) | (c << 8) | d


def uboot_payload(version, size, fill=b"U"):
    """A boot-loader payload whose bytes 240..255 are its own version header
    (len, type and id as the record that carries it will have)."""
    assert size >= UBOOT_HEADER_AT + 16
    header = struct.pack(">IIII", 0x5A5A5A5A, size, MAGIC["uboot"], version_id(version))
    body = (fill * size)[:size]
    return body[:UBOOT_HEADER_AT] + header + body[UBOOT_HEADER_AT + 16:]


def pattern(seed, size):
    """Deterministic bytes that are neither erased flash nor zeros."""
    out = bytearray()
    n = 0
    while len(out) < size:
        out += zlib.crc32(b"%d-%d" % (seed, n)).to_bytes(4, "big") * 64
        n += 1
    return bytes(out[:size])


def records_of(image):
    """[(type name, offset, whole record bytes)] of an image file."""
    names = {v: k for k, v in MAGIC.items()}
    out, at = [], 0
    while at + 16 <= len(image):
        length, magic = struct.unpack_from(">II", image, at + 4)
        if magic not in names:
            break
        out.append((names[magic], at, image[at:at + 16 + length]))
        at += 16 + length
    return out


def full_image(tmp_path, version="2.1.0.7", app_name="new", sizes=None, order=None):
    """One record of each type, in the order boot loader, kernel, root
    filesystem, device tree, diagnostics, application unless told."""
    sizes = dict({"uboot": 40000, "kernel": 150000, "rfs": 140000, "dft": 9000,
                  "diags": None}, **(sizes or {}))
    payloads = {
        "uboot": uboot_payload(version, sizes["uboot"]),
        "kernel": pattern(1, sizes["kernel"]),
        "rfs": pattern(2, sizes["rfs"]),
        "dft": pattern(3, sizes["dft"]),
        "diags": diag_archive(app_name + "-diags"),
        "application": app_archive(app_name),
    }
    order = order or ["uboot", "kernel", "rfs", "dft", "diags", "application"]
    return make_image(tmp_path, [(kind, version, payloads[kind]) for kind in order])


def fill_partitions(board, seed=100):
    """Every flash partition but the environment filled with a pattern, so
    that any byte an install should leave alone can be told from one it
    wrote or erased. Returns {partition: bytes}."""
    before = {}
    sizes = board.geometry()[1]
    for i, name in enumerate(["uboot", "devicetree", "kernel", "rfs", "rescue"]):
        data = pattern(seed + i, sizes[name])
        board.write_partition(name, 0, data)
        before[name] = data
    return before


def expected_partition(old, kind, record):
    """The partition's bytes after `record` of type `kind` is installed over
    `old`: the boot loader's payload or the whole record at offset 0, every
    byte after it as it was."""
    data = record[16:] if kind == "uboot" else record
    return data + old[len(data):]


def unpack_termios(attrs):
    """tcgetattr's list with the control characters as one bytes object (it
    gives VMIN and VTIME as numbers when the line is not canonical)."""
    return attrs[:6] + [b"".join(c if isinstance(c, bytes) else bytes([c]) for c in attrs[6])]


# ------------------------------------------------------------------ console


class Terminal:
    """The operator's terminal on a booted board."""

    def __init__(self, board, tmp_path, launcher=None, preload=None, args=(), timeout=300):
        self.board = board
        self.link = str(tmp_path / f"console-{os.path.basename(board.path)}")
        argv = [VSWITCH, "boot", board.path, "--launcher", launcher or LAUNCHER,
                "--preload", preload or PRELOAD, "--timeout", str(timeout),
                "--escape", "none", "--console-link", self.link, *args]
        env = dict(os.environ, SWITCH_BUILD_DIR=BUILD_DIR, TERM="vt100")
        self.proc = subprocess.Popen(argv, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     env=env, bufsize=0)
        self.out = self.proc.stdout.fileno()
        self.raw = bytearray()   # everything the console showed
        self.text = ""           # the same without carriage returns
        self.pos = 0             # where the next expect starts looking
        self.ended = False
        self.final = None
        self.status = None

    # Reading.
    def _take(self, data):
        self.raw += data
        self.text += data.decode("latin-1").replace("\r", "")

    def _pump(self, wait):
        if self.ended:
            return False
        ready, _, _ = select.select([self.out], [], [], wait)
        if not ready:
            return True
        data = os.read(self.out, 65536)
        if not data:
            self.ended = True
            return False
        self._take(data)
        return True

    def expect(self, wanted, timeout=WAIT):
        """Waits for `wanted` (console text without carriage returns) after
        the previous match; returns the text between."""
        deadline = time.monotonic() + timeout
        while True:
            at = self.text.find(wanted, self.pos)
            if at >= 0:
                before = self.text[self.pos:at]
                self.pos = at + len(wanted)
                return before
            left = deadline - time.monotonic()
            if left <= 0 or not self._pump(min(left, 1.0)):
                if self.text.find(wanted, self.pos) >= 0:
                    continue
                raise AssertionError(f"console never showed {wanted!r}; after the last "
                                     f"match it showed:\n{self.text[self.pos:][-3000:]}")

    def expect_any(self, choices, timeout=WAIT):
        """Index of whichever of `choices` shows first."""
        deadline = time.monotonic() + timeout
        while True:
            found = [(self.text.find(c, self.pos), i) for i, c in enumerate(choices)]
            found = [f for f in found if f[0] >= 0]
            if found:
                at, i = min(found)
                self.pos = at + len(choices[i])
                return i
            left = deadline - time.monotonic()
            if left <= 0 or not self._pump(min(left, 1.0)):
                raise AssertionError(f"console showed none of {choices!r}:\n"
                                     f"{self.text[self.pos:][-3000:]}")

    def since(self, mark):
        return self.text[mark:]

    # Writing.
    def send(self, data):
        if isinstance(data, str):
            data = data.encode("latin-1")
        self.proc.stdin.write(data)

    def close_input(self):
        self.proc.stdin.close()

    # The line.
    def line_settings(self):
        """The console's termios (tcgetattr list, control characters as
        bytes), read on the host side of the pty."""
        fd = os.open(self.link, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
        try:
            return unpack_termios(termios.tcgetattr(fd))
        finally:
            os.close(fd)

    def wait_line(self, predicate, timeout=WAIT):
        """Reads the console until its settings satisfy `predicate`: the
        operator switching the terminal's speed to match the switch."""
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            try:
                attrs = self.line_settings()
            except OSError:
                attrs = None
            if attrs is not None and predicate(attrs):
                return attrs
            self._pump(0.05)
        raise AssertionError("the console's settings never changed as awaited")

    def xmodem_send(self, path, timeout=2 * WAIT, on_start=None):
        """Hands the line to `sx -k path` until it ends, recording what the
        switch sends meanwhile. `on_start` runs once the receiver has first
        spoken. Returns (sx's exit status, its stderr)."""
        sx = subprocess.Popen(["sx", "-k", path], stdin=subprocess.PIPE,
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, bufsize=0)
        sx_out = sx.stdout.fileno()
        to_sx = sx.stdin.fileno()
        deadline = time.monotonic() + timeout
        started = False
        try:
            while True:
                if time.monotonic() > deadline:
                    raise AssertionError(f"sx did not finish within {timeout} s")
                ready, _, _ = select.select([self.out, sx_out], [], [], 0.5)
                if self.out in ready:
                    data = os.read(self.out, 65536)
                    if not data:
                        self.ended = True
                        raise AssertionError("the board ended during the transfer")
                    self._take(data)
                    try:
                        os.write(to_sx, data)
                    except BrokenPipeError:
                        pass
                    if not started and on_start:
                        started = True
                        on_start()
                if sx_out in ready:
                    data = os.read(sx_out, 65536)
                    if not data:
                        break
                    self.send(data)
            return sx.wait(timeout=WAIT), sx.stderr.read().decode(errors="replace")
        finally:
            if sx.poll() is None:
                sx.kill()
                sx.wait()

    # The end.
    def finish(self, timeout=WAIT):
        """Waits for the board to end; (final runner line without
        "vswitch: ", exit status)."""
        deadline = time.monotonic() + timeout
        while not self.ended:
            if time.monotonic() > deadline:
                raise AssertionError("the board did not end:\n" + self.text[-3000:])
            self._pump(1.0)
        self.status = self.proc.wait(timeout=WAIT)
        lines = [line for line in self.text.split("\n") if line.startswith("vswitch: ")]
        self.final = lines[-1][len("vswitch: "):] if lines else None
        return self.final, self.status

    def kill(self):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()


@pytest.fixture
def terminal(bootable, launcher, preload, tmp_path):
    """terminal(board, launcher=None, args=()) -> a Terminal on a booted
    board; boards still running at the end of the test are powered off."""
    made = []

    def boot(board, launcher=None, args=(), timeout=300):
        t = Terminal(board, tmp_path, launcher=launcher, args=args, timeout=timeout)
        made.append(t)
        return t

    yield boot
    for t in made:
        t.kill()


@pytest.fixture
def driver():
    if not os.access(DRIVER, os.X_OK):
        pytest.skip(f"install driver not built at {DRIVER}")
    return DRIVER


def to_menu(term):
    term.expect("Entering Rescue Mode.\n" + MENU + PROMPT)


def key_mode(attrs):
    return not attrs[3] & termios.ICANON


def press(term, key):
    """Presses one key once the switch reads single keys. A key typed while
    the console is still cooked would be echoed by the line discipline too,
    and a Ctrl-C that comes before the read starts only sets the flag."""
    term.wait_line(key_mode)
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


def rescue_board(make_board, **kw):
    env = kw.pop("env", ["diagnostics=rescue"])
    return make_board(env=env, **kw)


def set_env(board, entries):
    size = board.geometry()[1]["ubootenv"]
    board.write_partition("ubootenv", 0, vswitch.make_env_image(entries, size))


def driver_install(terminal, board, driver_path, path, skip, slot, answers=()):
    """Boots the install driver and has it install `path`; the Terminal,
    already finished."""
    t = terminal(board, launcher=driver_path)
    t.expect("install driver: path skip slot? ")
    t.send(f"{path} {skip} {slot}\r")
    for text, answer in answers:
        t.expect(text)
        t.send(answer)
    t.expect("install driver: result ")
    t.finish()
    return t
