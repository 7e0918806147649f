#!/usr/bin/python3
"""The virtual switch: a board directory holding a switch's persistent state,
and a runner that boots the real launcher on it inside private namespaces
and a chroot of BusyBox and stand-in programs, or as a full-system virtual
machine on Debian's kernel, with a pseudo-terminal as the serial console.

Commands (see sim/README-vswitch.md):
  vswitch create BOARD [options]   make a new board
  vswitch set BOARD [options]      change the state of an existing board
  vswitch show BOARD               print the board's state
  vswitch boot BOARD [options]     power the board on and attach the console
  vswitch cable BOARD plug|pull    plug or pull a running board's management cable
  vswitch cut BOARD                cut the power of a board running as a virtual machine
  vswitch vm-kernel [DIR]          fetch and prepare the virtual machine's kernel
  vswitch line [options] -- PROG   relay stdin and stdout to PROG over a paced,
                                   faulty serial line

The modules of vsw/, one per concern:
  common     the flash map, VPD fields, paths inside the switch, exit statuses
  board      the board directory and the settings written into it
  config     the boot's configuration, made once from its options and frozen
  rootfs     the switch's root filesystem, built in RAM at each power-on
  namespace  PID 1 inside the switch's namespaces
  net        the management port's lab network and its cable
  power      power-on and the boot loop, outside them
  console    the console pty, its relay to the user and the machine's status lines
  bootcheck  whether the board's boot loader, kernel, device tree and root
             filesystem are whole, as its start before the launcher needs
  stick      the USB stick's image, its partition table, and the kernel's part
             when it comes and goes: /sys, nodes, hotplug events
  vfat       the stick's FAT file system as the kernel's vfat shows it, a
             FUSE driver run inside the switch
  vm         the board as a virtual machine: QEMU, its devices and its power
  vmkernel   Debian's kernel and modules for it, and its I2C module's build
  vmroot     its root filesystem, an initramfs made at each power-on
  jffs2      its user partition: a JFFS2 image made and read back
  qmp        QEMU's monitor, which plugs the stick and the cable, and the
             running machine's process and monitor
  scratch    the runner's scratch directories, which the next runner removes
             when a runner was killed
  line       a paced, faulty serial line for an XMODEM sender
  cli        the command line

The runner uses only the standard library, so that it works on a bare
Debian install with python3; the FAT driver needs python3-fusepy, and the
virtual machine's user partition, read back, python3-lzo.
"""

import os
import sys

# Also when started as init with -I, which leaves this directory off the path.
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from vsw.board import (Board, apply_settings, create_board, make_env_image,  # noqa: E402,F401
                       parse_env_image)
from vsw.bootcheck import chain_damage, install_chain  # noqa: E402,F401
from vsw.cli import main  # noqa: E402,F401
from vsw.common import *  # noqa: E402,F401,F403
from vsw.power import boot  # noqa: E402,F401
from vsw.stick import make_stick, stick_listing  # noqa: E402,F401

if __name__ == "__main__":
    sys.exit(main())
