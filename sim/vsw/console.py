"""The console as the runner holds it: the user's terminal or pipe relayed
to the board's pty master, the pty made as a serial console is after a
reset, and the machine's status lines that say how a boot ended. Both ways
of powering a board on (the namespaces, the virtual machine) use it."""

import fcntl
import os
import select
import signal
import sys
import termios
import time
import tty

from vsw.common import PR_SET_PDEATHSIG, STATUS_PREFIX, VswitchError, libc

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


def status_result(text):
    """How a status line of init ends the boot, or None."""
    words = text[len(STATUS_PREFIX):].split()
    if words[0] in ("reboot", "halt", "poweroff", "ended", "powercut"):
        return (words[0], words[1:])
    if words[0] == "error":
        return ("error", " ".join(words[1:]))
    return None


def relay_console(console, master, status_fd, deadline, on_report=None, on_output=None):
    """Relays the console between the user and the board's pty master until
    the machine's status channel closes (or the deadline, or the operator's
    escape key). Status lines that do not end the boot go to `on_report`
    (their words); `on_output` hears of every piece of console output.
    Returns how the boot ended, or None when init said nothing."""
    os.set_blocking(master, False)
    pending_in = b""
    status_buf = b""
    result = None
    master_open = True
    status_open = True
    ended_at = None
    while master_open or status_open:
        now = time.monotonic()
        if ended_at is not None and now - ended_at > 5:
            break  # init is gone; whatever still holds the pty is not ours
        wait = 0.5
        if deadline is not None:
            if now >= deadline and result is None:
                return ("timeout", None)
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
                if on_output is not None:
                    on_output()
        if console.stdin in readable:
            data = os.read(console.stdin, 4096)
            if not data:
                console.stdin_open = False
            elif console.escape is not None and console.escape in data:
                return ("operator", None)
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
                text = line.decode(errors="replace").rstrip("\r")
                if text.startswith(STATUS_PREFIX):
                    ending = status_result(text)
                    if ending is None and on_report is not None:
                        on_report(text[len(STATUS_PREFIX):].split())
                    result = ending or result
                elif text:
                    console.say("vswitch: " + text)
    return result


def replace_symlink(target, link):
    if os.path.islink(link):
        os.unlink(link)
    elif os.path.exists(link):
        raise VswitchError(f"{link} exists and is not a symbolic link")
    os.symlink(target, link)
