"""QEMU's machine protocol (QMP), one short connection per request: the
monitor serves one client at a time, and the runner, `vswitch cable` and
`vswitch cut` each come and go."""

import json
import os
import socket
import time

from vsw.common import VswitchError

# Where a running virtual machine names its process and monitor:
# "PID START PATH", START the process's start time (see name_machine).
MACHINE_FILE = ".vm-machine"


def request(path, *commands, timeout=60.0):
    """Sends each (command, arguments) and returns the answers."""
    sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    sock.settimeout(timeout)
    deadline = time.monotonic() + timeout
    while True:
        try:
            sock.connect(path)
            break
        except (FileNotFoundError, ConnectionRefusedError):
            if time.monotonic() > deadline:
                raise VswitchError(f"the machine's monitor does not answer at {path}")
            time.sleep(0.05)
    stream = sock.makefile("rw")
    try:
        answers = []
        for command, arguments in (("qmp_capabilities", {}),) + commands:
            message = {"execute": command}
            if arguments:
                message["arguments"] = arguments
            stream.write(json.dumps(message) + "\n")
            stream.flush()
            answers.append(answer(stream, command))
        return answers[1:]
    finally:
        stream.close()
        sock.close()


def answer(stream, command):
    """The return value of the request just sent; events on the way are skipped."""
    while True:
        line = stream.readline()
        if not line:
            raise VswitchError(f"the machine's monitor closed during {command}")
        message = json.loads(line)
        if "return" in message:
            return message["return"]
        if "error" in message:
            raise VswitchError(f"{command}: {message['error'].get('desc')}")


def name_machine(board, pid, monitor):
    """Names the board's running machine for `vswitch cut` and `vswitch
    cable`: its process, told by its start time from a later process that
    reuses its number, and its monitor."""
    with open(os.path.join(board.path, MACHINE_FILE), "w") as f:
        f.write(f"{pid} {process_start(pid)} {monitor}\n")


def process_start(pid):
    """When process `pid` started, in clock ticks since the host's boot."""
    with open(f"/proc/{pid}/stat") as f:
        return f.read().rsplit(")", 1)[1].split()[19]


def running_machine(board):
    """(pid, monitor path) of the board's running virtual machine, or None:
    also when the process named has ended and its number went to another."""
    try:
        with open(os.path.join(board.path, MACHINE_FILE)) as f:
            pid, started, path = f.read().split()
        if process_start(int(pid)) != started:
            return None
        return int(pid), path
    except (OSError, ValueError):
        return None
