#!/usr/bin/python3
"""XMODEM-1K figures on the virtual switch (needs root and the host build),
with lrzsz's `sx -k` as the sender on the switch's console:

  1. an unthrottled pty: bytes per second of a 4 MiB file into the launcher's
     own receiver (the test driver's Xmodem1K) and into lrzsz's `rx` (the
     rescue menu's serial download), in the same run, and their ratio
     (medians of three; lrzsz's sender now and then stalls for tens of
     seconds against rx, which the median keeps out of the ratio);
  2. the line paced at 115200 baud (11,520 bytes a second, `vswitch line
     --baud 115200`): a 1 MiB file into the own receiver, its throughput as
     a share of the line rate, and the receiver's CPU time per MiB.

Each time runs from the switch's first byte after Enter (its first "C" or
NAK) to the sender's end. Figures only; nothing is asserted.
"""

import os
import sys
import tempfile
import termios
import time
from pathlib import Path

REPO = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(REPO / "tests" / "system"))

from conftest import (DRIVERS, LAUNCHER, PRELOAD, VSWITCH, Terminal, choose,  # noqa: E402
                      set_env, to_menu, vswitch)

LINE_RATE = 115200 / 10
RUNS = 3


def timed_send(t, peer):
    """Enter at 115200, then the sender; seconds from the switch's first
    byte to the sender's end, and the sender's exit status."""
    t.expect("before initiating the download.\n")
    t.wait_line(lambda a: a[4] == termios.B115200 and not a[3] & termios.ICANON)
    t.send(b"\r")
    started = []
    status, err = t.relay(peer, timeout=1800, on_start=lambda: started.append(time.monotonic()))
    took = time.monotonic() - started[0]
    t.expect("Change the baud rate back to 9600 bps, hit the <ENTER> key\n")
    t.wait_line(lambda a: a[3] & termios.ICANON)
    t.send(b"\n")
    if status != 0:
        print(f"  sender failed ({status}): {err.strip()[-200:]}")
    return took


def own_receiver(tmp, image, peer):
    """(seconds, received bytes, receiver CPU seconds) of one transfer into
    Xmodem1K, through the test driver."""
    board = vswitch.create_board(str(tmp / f"driver-{time.monotonic_ns()}"))
    t = Terminal(board, tmp, os.path.join(DRIVERS, "xmodem_driver"), PRELOAD, tag=False)
    try:
        t.expect("xmodem driver: port path? ")
        t.send("/dev/ttyS0 /tmp/rx.bin\r")
        took = timed_send(t, peer + [str(image)])
        t.expect("xmodem driver: result ")
        received, _, cpu_ms = t.expect("\n").split()
        t.finish()
    finally:
        t.kill()
    return took, int(received), int(cpu_ms) / 1000


def lrzsz_receiver(tmp, image):
    """Seconds of one transfer into /usr/bin/rx from the rescue menu."""
    board = vswitch.create_board(str(tmp / f"menu-{time.monotonic_ns()}"))
    set_env(board, ["diagnostics=rescue"])
    # Standard error on the console itself, as on the switch: rx's progress
    # lines go to a terminal then, and it keeps them off the line.
    t = Terminal(board, tmp, LAUNCHER, PRELOAD, tag=False)
    try:
        to_menu(t)
        choose(t, "x")
        took = timed_send(t, ["sx", "-k", str(image)])
        # The file is no image: the installer finds no record and the menu
        # comes back.
        t.expect("\nOption? : ")
        choose(t, "e")
        t.finish()
    finally:
        t.kill()
    return took


def sample(tmp, name, size):
    path = tmp / name
    # Zeros first, so that the menu's installer sees no record header.
    path.write_bytes(bytes(16) + os.urandom(size - 16))
    return path


def median(values):
    return sorted(values)[len(values) // 2]


def main():
    if os.geteuid() != 0:
        print("xmodem_bench: needs root to boot the virtual switch")
        return 0
    with tempfile.TemporaryDirectory(prefix="xmodem-bench-") as name:
        tmp = Path(name)
        big = sample(tmp, "4mib.bin", 4 << 20)
        size = big.stat().st_size
        # Three of each, alternating, since the machine's load varies.
        own, rx = [], []
        for _ in range(RUNS):
            own.append(own_receiver(tmp, big, ["sx", "-k"]))
            rx.append(lrzsz_receiver(tmp, big))
        own_s, rx_s = median([o[0] for o in own]), median(rx)
        print(f"unthrottled pty, {size >> 20} MiB with sx -k, median of {RUNS}: own receiver "
              f"{own_s:.2f} s, {size / own_s:.0f} bytes/s (each "
              f"{', '.join(f'{o[0]:.2f}' for o in own)} s; received {own[0][1]} bytes; CPU "
              f"{median([o[2] for o in own]):.2f} s); lrzsz rx {rx_s:.2f} s, "
              f"{size / rx_s:.0f} bytes/s (each {', '.join(f'{r:.2f}' for r in rx)} s); "
              f"ratio own/rx {rx_s / own_s:.2f} (fastest against fastest "
              f"{min(rx) / min(o[0] for o in own):.2f})")
        one = sample(tmp, "1mib.bin", 1 << 20)
        paced = [VSWITCH, "line", "--baud", "115200", "--", "sx", "-k"]
        took, received, cpu = own_receiver(tmp, one, paced)
        rate = one.stat().st_size / took
        print(f"paced at 115200 baud, 1 MiB with sx -k: {took:.1f} s, {rate:.0f} bytes/s, "
              f"{100 * rate / LINE_RATE:.1f} % of the line's {LINE_RATE:.0f} bytes/s "
              f"({received} bytes received); receiver CPU {cpu:.2f} s, "
              f"{1000 * cpu / (received / (1 << 20)):.0f} ms per MiB")
    return 0


if __name__ == "__main__":
    sys.exit(main())
