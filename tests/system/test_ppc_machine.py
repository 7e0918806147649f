"""What only the PowerPC e500 machine shows: the console's settings in the
PowerPC ABI's own numbers as its kernel reports them, and a power cut in
the middle of a flash record's write on a real NOR chip (QEMU's CFI flash
under Linux's CFI driver)."""

import subprocess

import pytest

from conftest import (APP_ENDED, PPC_VM, VSWITCH, app_image, choose, fill_partitions,
                      make_image, pattern, rescue_board, to_menu, usb_board)

# The PowerPC ABI's termios: c_lflag bits and c_cc slots.
ICANON, ECHO = 0x100, 0x8
VMIN, VTIME = 5, 7
SECTOR = 65536


def on_the_powerpc_machine():
    if not PPC_VM:
        pytest.skip("the PowerPC machine's own (SWITCH_MACHINE=vm SWITCH_TARGET=ppc)")


def reported_settings(term):
    """Each console setting the machine's kernel reported, in order, as
    (iflag, oflag, cflag, lflag, ispeed, ospeed, c_cc bytes)."""
    with open(term.link + ".target") as f:
        rows = [line.split() for line in f if line.strip()]
    return [tuple(int(w) for w in row[:6]) + (bytes.fromhex(row[6]),) for row in rows]


@pytest.mark.vm
def test_the_menu_waits_for_a_key_with_the_powerpc_settings_and_restores_them(
        make_board, terminal, tmp_path):
    on_the_powerpc_machine()
    t = terminal(rescue_board(make_board, image1=app_image(tmp_path, "one"), boot_slot=1))
    to_menu(t)
    choose(t, "e")
    t.expect("Booting image '1'\n")
    assert t.finish() == APP_ENDED
    seen = reported_settings(t)
    key_waits = [s for s in seen if not s[3] & (ICANON | ECHO)]
    assert key_waits and all(s[6][VMIN] == 1 and s[6][VTIME] == 0 for s in key_waits)
    # Once the menu is left, the console is as it was: the key wait's
    # settings with ICANON and ECHO back, nothing else changed. (A loaded
    # machine may start the launcher before the watcher's first report.)
    wait, restored = key_waits[-1], seen[-1]
    assert restored[3] & ICANON and restored[3] & ECHO
    assert wait[:3] + (wait[3] | ICANON | ECHO,) + wait[4:] == restored


def nor_state(after, new, old):
    """Whether `after` is what a NOR partition holds when a sector-by-sector
    erase and write of `new` over `old` stops anywhere: the sectors before
    the stop hold the new bytes; the sector at the stop holds its old bytes
    (not yet erased) or a prefix of its new bytes and erased flash after;
    the sectors after it their old bytes. Returns the bytes of `new` that
    had landed, or None."""
    landed = next((i for i in range(len(new)) if after[i] != new[i]), len(new))
    sector_end = min(len(after), (landed // SECTOR + 1) * SECTOR)
    if after[landed:] == old[landed:] and landed % SECTOR == 0:
        return landed
    if after[landed:sector_end] == b"\xff" * (sector_end - landed) and \
            after[sector_end:] == old[sector_end:]:
        return landed
    return None


@pytest.mark.vm
def test_a_cut_inside_a_flash_record_write_leaves_what_nor_would(make_board, terminal,
                                                                 tmp_path):
    on_the_powerpc_machine()
    record = make_image(tmp_path, [("rfs", "5.0.0.1", pattern(9, 4 << 20))])
    board = usb_board(make_board, tmp_path, {"QLX5270_Boot.img": record})
    before = fill_partitions(board)
    t = terminal(board)
    t.expect("Installing Root Filesystem: ")
    # The first sector's progress: the cut comes after at least one sector
    # of the record is in the flash, somewhere in the 64 that follow.
    t.expect("%")
    subprocess.run([VSWITCH, "cut", board.path], check=True, timeout=60)
    assert t.finish() == ("power cut", 1)
    landed = nor_state(board.read_partition("rfs"), record, before["rfs"])
    assert landed is not None and landed >= SECTOR
    assert {p: board.read_partition(p) for p in before if p != "rfs"} == {
        p: data for p, data in before.items() if p != "rfs"}
    # Powered on again with the stick still in, the install is done anew.
    t = terminal(board)
    t.expect("Boot image found on USB.\n")
    assert t.finish() == ("board asked for a reboot", 0)
    assert board.read_partition("rfs", 0, len(record)) == record


def test_nor_state_tells_a_cut_write_from_a_torn_one():
    """The check above, on states it must accept and refuse."""
    old, new = b"\x11" * (3 * SECTOR), b"\x22" * (3 * SECTOR)
    ff = b"\xff"
    accepted = {"none": old, "one sector": new[:SECTOR] + old[SECTOR:],
                "erased": new[:SECTOR] + ff * SECTOR + old[2 * SECTOR:],
                "partly written": new[:SECTOR + 100] + ff * (SECTOR - 100) + old[2 * SECTOR:],
                "all": new}
    refused = {"old after a partial": new[:100] + old[100:],
               "hole": new[:SECTOR] + old[SECTOR:2 * SECTOR] + new[2 * SECTOR:],
               "erased too far": new[:SECTOR] + ff * (2 * SECTOR)}
    assert {k: nor_state(v, new, old) for k, v in accepted.items()} == {
        "none": 0, "one sector": SECTOR, "erased": SECTOR, "partly written": SECTOR + 100,
        "all": 3 * SECTOR}
    assert {k: nor_state(v, new, old) for k, v in refused.items()} == dict.fromkeys(refused)
