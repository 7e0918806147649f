"""The serial line between the operator's terminal program and the switch's
console, as a relay: the switch's side on this process's stdin and stdout,
the terminal program (an XMODEM sender such as lrzsz's `sx`) started as a
child on pipes. The line can be paced to a baud rate and can damage what
the sender sends, block by block, to show how a receiver copes.

Blocks are counted as the sender transmits them, resends included, from 1.
Faults (`--fault KIND@BLOCK`, repeatable):

  drop@N       one data byte of block N is lost
  flip@N       one data byte of block N is inverted
  flip-crc@N   the last CRC byte of block N is inverted
  repeat@N     the switch's ACK of block N is lost, so block N goes again
  skip@N       block N is lost, and its ACK forged, so the next block arrives
               out of sequence
  cancel@N     CAN CAN goes to the switch instead of block N, and nothing of
               the sender after it; the pair goes again every second until
               the switch answers with a CAN, since a receiver that empties
               its input after each answer may have dropped the one before
  can@start    a lone CAN answers the switch's first byte, and what the switch
               sends in the next 10 s is lost; the sender starts on what
               follows (a request the switch sent before the CAN reached it
               would be taken for one after it: the long silence makes that
               need a line stalled for seconds)
  stop@eot     after the sender's first EOT nothing more of it gets through

A block ends with a CRC (two bytes) or a checksum (one), as the switch's first
request asked: "C" or NAK.
"""

import os
import select
import subprocess
import sys
import time

SOH, STX, EOT, ACK, NAK, CAN = 0x01, 0x02, 0x04, 0x06, 0x15, 0x18
WANT_CRC = ord("C")
DAMAGED_BYTE = 100  # within the block: header, number, complement, data...
KINDS = ("drop", "flip", "flip-crc", "repeat", "skip", "cancel")
EVENTS = ("can@start", "stop@eot")
MUTE_AFTER_CAN = 10.0
RECANCEL = 1.0  # seconds between CAN CANs until the switch answers one


class Pacer:
    """One direction of the line: bytes leave no faster than a UART at
    `baud` with 10 bits a byte sends them, each chunk written once its last
    bit would have arrived."""

    CHUNK = 32

    def __init__(self, fd, baud):
        self.fd = fd
        self.rate = baud / 10 if baud else None
        self.free_at = 0.0

    def send(self, data):
        if not self.rate:
            write_all(self.fd, data)
            return
        # One burst is timed from its start, so that a sleep that overran
        # does not slow down the rest of it.
        self.free_at = max(self.free_at, time.monotonic())
        for at in range(0, len(data), self.CHUNK):
            chunk = data[at:at + self.CHUNK]
            self.free_at += len(chunk) / self.rate
            time.sleep(max(0.0, self.free_at - time.monotonic()))
            write_all(self.fd, chunk)


def write_all(fd, data):
    while data:
        try:
            data = data[os.write(fd, data):]
        except BrokenPipeError:
            return


def parse_faults(asked):
    """{block number: kind}, and the set of EVENTS asked for."""
    faults, events = {}, set()
    for fault in asked or []:
        kind, _, where = fault.partition("@")
        if fault in EVENTS:
            events.add(fault)
        elif kind in KINDS and where.isdigit():
            faults[int(where)] = kind
        else:
            raise ValueError(f"unknown fault {fault!r}")
    return faults, events


def take_unit(pending, check_bytes):
    """The next thing the sender sent, whole: a block, or one other byte.
    None while a block is still incomplete."""
    if pending[0] in (SOH, STX):
        size = 3 + (128 if pending[0] == SOH else 1024) + check_bytes
        if len(pending) < size:
            return None
    else:
        size = 1
    unit = bytes(pending[:size])
    del pending[:size]
    return unit


class Line:
    def __init__(self, faults, events, to_switch, to_sender):
        self.faults = faults
        self.stop_after_eot = "stop@eot" in events
        self.can_at_start = "can@start" in events
        self.to_switch = to_switch
        self.to_sender = to_sender
        self.blocks = 0
        self.dead = False
        self.check_bytes = None  # 2 for a CRC, 1 for a checksum, once asked
        self.recancel_at = None  # when CAN CAN goes again, until answered
        self.resend = None  # a block to send again in place of its ACK
        self.mute_until = None  # the switch's bytes are lost until then

    def from_sender(self, unit):
        if self.dead:
            return
        if unit[0] == EOT:
            self.dead = self.stop_after_eot
        if len(unit) == 1:
            self.to_switch.send(unit)
            return
        self.blocks += 1
        kind = self.faults.get(self.blocks)
        block = bytearray(unit)
        if kind == "drop":
            del block[DAMAGED_BYTE]
        elif kind == "flip":
            block[DAMAGED_BYTE] ^= 0xFF
        elif kind == "flip-crc":
            block[-1] ^= 0xFF
        elif kind == "repeat":
            self.resend = unit
        elif kind == "skip":
            self.to_sender.send(bytes([ACK]))
            return
        elif kind == "cancel":
            self.dead = True
            self.cancel()
            return
        self.to_switch.send(bytes(block))

    def cancel(self):
        self.to_switch.send(bytes([CAN, CAN]))
        self.recancel_at = time.monotonic() + RECANCEL

    def wait(self):
        """Seconds until the line has something to do of its own, or None."""
        if self.recancel_at is None:
            return None
        return max(0.0, self.recancel_at - time.monotonic())

    def tick(self):
        if self.recancel_at is not None and time.monotonic() >= self.recancel_at:
            self.cancel()

    def from_switch(self, data):
        if self.can_at_start:
            self.can_at_start = False
            self.to_switch.send(bytes([CAN]))
            self.mute_until = time.monotonic() + MUTE_AFTER_CAN
        if self.recancel_at is not None and CAN in data:
            self.recancel_at = None  # the switch took the cancel
        if self.mute_until is not None and time.monotonic() < self.mute_until:
            return
        if self.check_bytes is None:
            requests = [b for b in data if b in (WANT_CRC, NAK)]
            if requests:
                self.check_bytes = 2 if requests[0] == WANT_CRC else 1
        if self.resend is not None and ACK in data:
            at = data.index(ACK)
            self.to_sender.send(data[:at])
            block, self.resend = self.resend, None
            self.to_switch.send(block)
            data = data[at + 1:]
        self.to_sender.send(data)


def run(argv, fault_specs=(), baud=None):
    """Relays until the sender ends; returns its exit status."""
    faults, events = parse_faults(fault_specs)
    proc = subprocess.Popen(argv, stdin=subprocess.PIPE, stdout=subprocess.PIPE, bufsize=0)
    sender_out = proc.stdout.fileno()
    line = Line(faults, events, Pacer(sys.stdout.fileno(), baud),
                Pacer(proc.stdin.fileno(), baud))
    switch_in = sys.stdin.fileno()
    readers = [switch_in, sender_out]
    pending = bytearray()
    while sender_out in readers:
        ready = select.select(readers, [], [], line.wait())[0]
        line.tick()
        for fd in ready:
            data = os.read(fd, 65536)
            if not data:
                readers.remove(fd)
                if fd == switch_in:
                    proc.stdin.close()  # the switch's end of the line is gone
            elif fd == switch_in:
                line.from_switch(data)
            else:
                pending += data
                while pending and (unit := take_unit(pending, line.check_bytes or 2)) is not None:
                    line.from_sender(unit)
    return proc.wait()
