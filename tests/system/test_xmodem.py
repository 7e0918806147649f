"""The XMODEM-1K receiver on the virtual switch, against lrzsz's `sx` on
the console line: booted in the launcher's place through the test driver
(result value, standard-error lines, the file as received), with the line
clean or made faulty by `vswitch line`, and from the rescue menu's serial
download when the switch has no usable /usr/bin/rx."""

import re

import pytest

from conftest import (MENU, PROMPT, SLOT_QUESTION, VSWITCH, WAIT, app_image, choose, driver,
                      pattern, rescue_board, to_menu, transfer, user_file)

DONE = "EOT\nAll done\n"
FAILED = "Serial download failed, image not installed\n"
LETTERS = {"C": "C", "\x06": "A", "\x15": "N", "\x18": "X"}  # "C", ACK, NAK, CAN


def answers(t, peer=None, timeout=WAIT):
    """The receiver's answers to `peer` in a transfer, as letters."""
    return "".join(LETTERS.get(c, "") for c in transfer(t, peer, timeout))


def sx(tmp_path, data, *args, faults=()):
    sent = tmp_path / "sent"
    sent.write_bytes(data)
    line = [VSWITCH, "line", *(f"--fault={f}" for f in faults), "--"] if faults else []
    return line + ["sx", *args, str(sent)]


def receive(terminal, board, port="/dev/ttyS0", path="/user/rx.bin"):
    t = terminal(board, launcher=driver("xmodem_driver"))
    t.expect("xmodem driver: port path? ")
    t.send(f"{port} {path}\r")
    return t


def result(t):
    """The driver's result, once it has ended (and its standard error has
    all reached the console)."""
    t.expect("xmodem driver: result ")
    value = int(t.expect(" "))
    t.finish()
    return value


# Sizes around a block and the sender's choice of block: the file arrives
# whole, with the sender's filler (0x1A) up to its last block's end.
@pytest.mark.parametrize("args, size, received", [
    ((), 0, 0), ((), 1, 128), ((), 128, 128), (("-k",), 1024, 1024),
    (("-k",), 1025, 1152), (("-k",), 300 << 10, 300 << 10)])
def test_lrzsz_sender(make_board, terminal, tmp_path, args, size, received):
    data = pattern(size, size)
    board = make_board()
    t = receive(terminal, board)
    assert re.fullmatch("C+A*NA", answers(t, sx(tmp_path, data, *args)))
    assert result(t) == received
    assert user_file(board, "rx.bin") == data + b"\x1a" * (received - size)
    assert t.err() == DONE


# Three 1024-byte blocks under one fault each (or a file that takes no
# data): the answers after the first "C"s, the blocks kept, standard error.
@pytest.mark.parametrize("fault, answered, kept, err", [
    ("flip@2", "ANAANA", 3, DONE),                 # CRC mismatch: NAK, resend taken
    ("drop@2", "ANAANA", 3, DONE),                 # a CRC byte that never comes
    ("repeat@2", "AAAANA", 3, DONE),               # lost ACK: ACK again, kept once
    ("can@start", "AAANA", 3, "CAN\n" + DONE),     # lone CAN, then silence
    ("stop@eot", "AAANA", 3, DONE),                # EOT, NAK, silence: complete
    ("skip@2", "AXXXXX", 1, ""),                   # out of sequence: abort at once
    ("flip@2 flip@3 flip@4", "ANNXXXXX", 1, ""),   # third failure in a row aborts
    ("cancel@1", "XXXXX", 0, "CAN\n"),             # CAN CAN: the sender cancels
    ("/dev/full", "XXXXX", None, ""),              # a block that cannot be stored
])
def test_faulty_line(make_board, terminal, tmp_path, fault, answered, kept, err):
    data = pattern(3, 3000) + b"\x1a" * 72
    board = make_board()
    to_file = fault.startswith("/")
    t = receive(terminal, board, path=fault if to_file else "/user/rx.bin")
    peer = sx(tmp_path, data[:3000], "-k", faults=[] if to_file else fault.split())
    assert re.fullmatch("C+" + answered, answers(t, peer))
    assert result(t) == (len(data) if kept == 3 else 0)
    if kept is not None:
        assert user_file(board, "rx.bin") == data[:1024 * kept]
    assert t.err() == err


# No transfer: a file or a port that does not open. (A sender that never
# starts is a unit test's, in virtual time.)
@pytest.mark.parametrize("port, path, answered, err", [
    ("/dev/ttyS0", "/no/dir/rx.bin", "", "Can't open file!: No such file or directory\n"),
    ("/dev/no-port", "/user/rx.bin", None,
     "Can't open serial port!: No such file or directory\n")])
def test_no_transfer(make_board, terminal, port, path, answered, err):
    t = receive(terminal, make_board(), port, path)
    if answered is not None:
        assert answers(t) == answered
    assert result(t) == -1
    assert t.err() == err


# Without a usable rx the menu says so and receives with its own receiver:
# a good image is installed, a cancelled transfer is not, and said so.
def test_menu_uses_the_builtin_receiver_without_rx(make_board, terminal, tmp_path):
    image = app_image(tmp_path, "sent")
    board = rescue_board(make_board)
    t = terminal(board, args=["--rx", "not-executable"])
    to_menu(t)
    choose(t, "x")
    t.expect("Running xmodem rescue.....\n"
             "/usr/bin/rx not available, using the built-in xmodem 1K receiver\n")
    transfer(t, sx(tmp_path, image, "-k"))
    t.expect(SLOT_QUESTION)
    t.send("1\r")
    t.expect("Image1 updated succeeded\n" + MENU + PROMPT)
    choose(t, "x")
    transfer(t, sx(tmp_path, image, "-k", faults=["cancel@1"]))
    t.expect(FAILED + MENU + PROMPT)
    choose(t, "r")
    assert t.finish() == ("board asked for a reboot", 0)
    assert user_file(board, "images/image1") == image


# rx exits non-zero: the menu says so instead of coming back silently, and
# the sender's last bytes, drained before the console's settings return,
# are not taken for Ctrl-C or Ctrl-\ (which would end the launcher).
def test_menu_says_when_rx_fails(make_board, terminal, tmp_path):
    t = terminal(rescue_board(make_board))
    to_menu(t)
    choose(t, "x")
    transfer(t, sx(tmp_path, pattern(1, 3000), "-k", faults=["cancel@1"]))
    t.expect(FAILED + MENU + PROMPT)
