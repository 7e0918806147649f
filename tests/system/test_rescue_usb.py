"""Install from the USB stick through the rescue menu on the virtual switch:
the listing (files only, in directory order), the answers that leave, the
lines that hold no number, numbers out of range, and a file whose name is
longer than a path buffer of the usual size."""

from bootlib import make_image
from conftest import vswitch
from rescuelib import (EXTRACTING, MENU, PROMPT, USB_PROMPT, choose, expected_partition,  # noqa: F401
                       fill_partitions, rescue_board, records_of, terminal, to_menu, type_line)


def stick_listing(board):
    """The stick's files as the switch lists them: directory order, no
    directories."""
    return [name for name in vswitch.stick_listing(board.usb) if not name.endswith("/")]


def open_usb(t):
    choose(t, "u")
    return t.expect(USB_PROMPT)


def test_listing_answers_and_install_of_the_chosen_file(make_board, terminal, tmp_path):
    kernel = make_image(tmp_path, [("kernel", "3.3.0.1", b"K" * 5000)])
    dft = make_image(tmp_path, [("dft", "3.3.0.2", b"D" * 3000)])
    # Names that keep their case on any FAT driver (see sim/README-vswitch.md).
    board = rescue_board(make_board, usb={"Kernel.img": kernel, "subdir": None,
                                          "Tree.img": dft, "Notes.txt": b"not an image\n",
                                          "z-dir.img": None})
    before = fill_partitions(board)
    files = stick_listing(board)
    assert len(files) == 3
    listing = "".join(f"\t{i}: {name}\n" for i, name in enumerate(files, 1))

    t = terminal(board)
    to_menu(t)
    # q, Q... and quit leave at once; so does 0; a number past the last file
    # returns without a message.
    for answer in ("q", "quit", "Q7", "0", "4", "-1"):
        assert open_usb(t) == listing
        type_line(t, answer)
        assert t.expect(MENU + PROMPT) == ""
    # Lines without a number are named and another line is read, without a
    # new prompt.
    assert open_usb(t) == listing
    type_line(t, "")
    assert t.expect("Invalid file number . Try again pleas\n") == ""
    type_line(t, "abc")
    assert t.expect("Invalid file number abc. Try again pleas\n") == ""
    # A blank before the number and text after it are allowed.
    number = files.index("Tree.img") + 1
    type_line(t, f" {number}xyz")
    t.expect(f"Installing Tree.img\n{EXTRACTING}Installing Device Tree: ")
    t.expect(MENU + PROMPT)
    assert "Invalid" not in t.text[t.text.index("Installing Tree.img"):]
    record = records_of(dft)[0][2]
    assert board.read_partition("devicetree") == expected_partition(before["devicetree"],
                                                                    "dft", record)
    assert board.read_partition("kernel") == before["kernel"]
    choose(t, "e")
    t.finish()


def test_file_name_longer_than_a_path_buffer_installs(make_board, terminal, tmp_path):
    name = "k" * 200 + ".img"
    kernel = make_image(tmp_path, [("kernel", "4.0.0.1", b"L" * 7000)])
    board = rescue_board(make_board, usb={name: kernel})
    t = terminal(board)
    to_menu(t)
    assert open_usb(t) == f"\t1: {name}\n"
    type_line(t, "1")
    t.expect(f"Installing {name}\n{EXTRACTING}Installing Kernel: ")
    t.expect(MENU + PROMPT)
    assert board.read_partition("kernel", 0, len(kernel)) == kernel
    choose(t, "e")
    t.finish()
