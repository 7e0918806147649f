"""Power cuts during a multi-record install on the virtual switch.

The image comes from the USB stick through the rescue menu; the board's
fault rule "cut-at-write N" kills the launcher at its Nth flash write, for
cut points spread over the whole install. After each cut the board is
powered on again and must still boot (the slot it booted before), with no
partition changed but those of the records written before the cut and the
one being written. Then the same image is installed again with
skip-if-same on (the install driver, as the USB boot steps call the
installer), and every record must end up complete.

SWITCH_POWER_CUTS=N tries N cut points instead of the default 12; the
figures are printed (run pytest with -s to see them).
"""

import os

from bootlib import APP_EXIT, app_image, diag_archive, make_image, set_faults
from conftest import user_file
from rescuelib import (EXTRACTING, FLASH, MENU, PROMPT, USB_PROMPT, choose, driver,  # noqa: F401
                       driver_install, expected_partition, fill_partitions, full_image,
                       records_of, rescue_board, set_env, terminal, to_menu, type_line)

DEFAULT_CUTS = 12


def devices_log(board):
    with open(os.path.join(board.dev, "devices.log")) as f:
        return f.read().splitlines()


def flash_write_lines(board):
    return [line for line in devices_log(board)
            if line.startswith("mtd-") and " write " in line]


def new_board(make_board, tmp_path, name, image, old_app, old_diags):
    board = rescue_board(make_board, name=name, image1=old_app, boot_slot=1,
                         usb={"new.img": image})
    before = fill_partitions(board)
    board.write_partition("rescue", 0, old_diags)
    before["rescue"] = old_diags + before["rescue"][len(old_diags):]
    return board, before


def record_bytes(kind, record):
    return record[16:] if kind == "uboot" else record


def sectors_end(data, sector=131072):
    """The end of the last sector that an install of `data` rewrites."""
    return (len(data) + sector - 1) // sector * sector


def record_in_place(board, kind, record):
    data = record_bytes(kind, record)
    return board.read_partition(FLASH[kind][0], 0, len(data)) == data


def menu_install(terminal, board):
    """The operator installs new.img from the stick into slot 2; returns the
    Terminal once the board has ended (cut) or the menu is back."""
    t = terminal(board)
    to_menu(t)
    choose(t, "u")
    t.expect(USB_PROMPT)
    type_line(t, "1")
    t.expect(EXTRACTING)
    which = t.expect_any(["vswitch: launcher was killed by signal 9",
                          "Install image as image 1 or 2 (hit return to just boot image): "])
    if which == 1:
        t.send("2\r")
        t.expect("Image2 updated succeeded\n" + MENU + PROMPT)
        choose(t, "e")
    t.finish()
    return t


def test_power_cuts_during_an_install_leave_a_bootable_board_that_a_second_install_repairs(
        make_board, terminal, driver, tmp_path):
    image = full_image(tmp_path, version="2.0.0.9", app_name="new")
    records = records_of(image)
    old_app = app_image(tmp_path, "old", version="1.0.0.1")
    old_diags = make_image(tmp_path, [("diags", "1.0.0.1", diag_archive("old"))])

    # A whole install first, to count its flash writes.
    board, before = new_board(make_board, tmp_path, "whole", image, old_app, old_diags)
    menu_install(terminal, board)
    total = len(flash_write_lines(board))
    assert total > 0
    for kind, _, record in records[:-1]:
        part = FLASH[kind][0]
        assert board.read_partition(part) == expected_partition(before[part], kind, record)

    count = int(os.environ.get("SWITCH_POWER_CUTS", DEFAULT_CUTS))
    points = sorted({max(1, round(total * (i + 1) / (count + 1))) for i in range(count)})
    booted = repaired = tail_lost = 0
    cut_in = {}
    for n in points:
        board, before = new_board(make_board, tmp_path, f"cut{n}", image, old_app, old_diags)
        set_faults(board, f"cut-at-write {n}")
        t = menu_install(terminal, board)
        assert t.final == "launcher was killed by signal 9", (n, t.final)
        cut = [line for line in devices_log(board) if line.endswith(" -> power-cut")]
        assert len(cut) == 1, (n, cut)
        cut_part = cut[0].split()[0][len("mtd-"):]
        cut_in[cut_part] = cut_in.get(cut_part, 0) + 1

        # Records before the one being written are complete; the ones after
        # it are untouched, and so are the slot file and the VPD. In the
        # partition being written, the sectors past the record's last one
        # are untouched too.
        kinds = [kind for kind, _, _ in records[:-1]]
        index = [FLASH[k][0] for k in kinds].index(cut_part)
        for i, (kind, _, record) in enumerate(records[:-1]):
            part = FLASH[kind][0]
            if i < index:
                assert board.read_partition(part) == expected_partition(
                    before[part], kind, record), (n, part)
            elif i > index:
                assert board.read_partition(part) == before[part], (n, part)
            else:
                end = sectors_end(record_bytes(kind, record))
                assert board.read_partition(part, end) == before[part][end:], (n, part)
                whole_before = record_in_place(board, kind, record)
                tail_lost += board.read_partition(part) != expected_partition(
                    before[part], kind, record) and whole_before
        assert not os.path.exists(os.path.join(board.user, "images", "image2"))
        assert board.vpd(0x100) == 1

        # Power on again, as the switch would start after the cut.
        set_faults(board)
        set_env(board, [])
        t = terminal(board)
        t.expect("Booting image '1'\n")
        t.expect("APP old ")
        if t.finish() == (f"application exited with status {APP_EXIT}", 1):
            booted += 1

        # The same image again, skipping what is already complete.
        t = driver_install(terminal, board, driver, "/mnt/usb/new.img", 1, 2)
        assert t.final == "launcher exited with status 1", (n, t.text[-2000:])
        out = t.since(t.text.index(EXTRACTING))
        # Complete records are skipped, the one cut short never is.
        assert out.count("Skipping update...") == index + (1 if whole_before else 0), (n, out)
        if (all(record_in_place(board, kind, record) for kind, _, record in records[:-1])
                and user_file(board, "images/image2") == records[-1][2]):
            repaired += 1

    print(f"\npower cuts: {total} flash writes in the install; {len(points)} cut points "
          f"tried; {booted} booted; {repaired} repaired by a second install; "
          f"cuts by partition {dict(sorted(cut_in.items()))}; {tail_lost} cut after the "
          f"record was whole but before the rest of its last sector was written back")
    assert booted == len(points)
    assert repaired == len(points)
