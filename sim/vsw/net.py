"""The switch's management network: a veth pair whose end "eth0" sits in
the switch's network namespace and whose other end, "lab0", sits in a lab
namespace made for the boot. The lab holds the gateway 192.0.2.1 with
BusyBox's udhcpd handing out 192.0.2.100 to 192.0.2.199, and a host beyond
the gateway, 198.51.100.1, reachable from the switch only through a default
route. Documentation addresses only, and nothing leaves the two namespaces.

Both ends are created inside their namespaces (the pair is made from within
the switch's namespace with its peer put straight into the lab's), so the
host's own network never holds an interface, not even for a moment, and
boards running side by side cannot clash over names. The lab lives as long
as its one process (udhcpd, in network and mount namespaces of its own,
killed with the runner), the switch's end as long as the switch's
namespace: a power-off, or a killed runner, takes the whole network away.

The cable is the lab end's state: pulled is "lab0" down, which takes the
carrier, and with it IFF_RUNNING and the ethtool link, off "eth0"."""

import os
import signal
import subprocess
import time

from vsw import qmp
from vsw.common import PR_SET_PDEATHSIG, VswitchError, libc

SWITCH_END = "eth0"
LAB_END = "lab0"
GATEWAY = "192.0.2.1"
BEYOND = "198.51.100.1"
POOL = ("192.0.2.100", "192.0.2.199")
# Where a running board names its lab, for `vswitch cable`: "PID NETNS".
LAB_FILE = ".mgmt-lab"
UNSHARE_WAIT = 60.0  # a loaded machine may take its time to start a process

# udhcpd's files live in a tmpfs of the lab's own mount namespace, so that
# nothing of the lab outlives its process, even when the runner is killed.
LAB_FILES = "/tmp"
UDHCPD_CONF = f"""interface {LAB_END}
start {POOL[0]}
end {POOL[1]}
option subnet 255.255.255.0
option router {GATEWAY}
option lease 86400
max_leases 100
auto_time 0
lease_file {LAB_FILES}/leases
pidfile {LAB_FILES}/udhcpd.pid
"""
# Run by the lab's process once connect() has given it its interface and
# address, which udhcpd needs before it starts.
LAB_SCRIPT = f"""read go || exit 1
mount -t tmpfs lab {LAB_FILES} || exit 1
printf '%s' "$1" > {LAB_FILES}/udhcpd.conf && : > {LAB_FILES}/leases || exit 1
exec "$0" udhcpd -f {LAB_FILES}/udhcpd.conf
"""


def die_with_runner():
    libc.prctl(PR_SET_PDEATHSIG, signal.SIGKILL, 0, 0, 0)


def net_namespace(pid):
    return os.readlink(f"/proc/{pid}/ns/net")


def wait_for_own_namespace(pid):
    """Waits until child `pid` has left the runner's network namespace, so
    that nothing meant for the switch or the lab lands in the host's."""
    host = net_namespace("self")
    deadline = time.monotonic() + UNSHARE_WAIT
    while net_namespace(pid) == host:
        if time.monotonic() > deadline:
            raise VswitchError(f"process {pid} never entered its own network namespace")
        time.sleep(0.01)


def ip_in(namespace_file, *commands, pass_fds=()):
    """Runs iproute2 commands (one per line) inside a network namespace."""
    result = subprocess.run(["nsenter", f"--net={namespace_file}", "ip", "-batch", "-"],
                            input="\n".join(commands) + "\n", capture_output=True,
                            text=True, pass_fds=pass_fds)
    if result.returncode != 0:
        raise VswitchError("ip: " + (result.stderr.strip() or f"status {result.returncode}"))


def link_command(plugged):
    return f"link set {LAB_END} {'up' if plugged else 'down'}"


class LabNetwork:
    """The lab of one boot: start() before the switch's namespace exists,
    connect() once it does, stop() at power-off."""

    def __init__(self, board, busybox, plugged):
        self.board = board
        self.busybox = busybox
        self.plugged = plugged
        self.proc = None
        self.log = None

    def start(self):
        self.log = open(os.path.join(self.board.path, "lab.log"), "w")
        self.proc = subprocess.Popen(
            ["unshare", "--net", "--mount", "--", self.busybox, "sh", "-c", LAB_SCRIPT,
             self.busybox, UDHCPD_CONF],
            stdin=subprocess.PIPE, stdout=self.log, stderr=subprocess.STDOUT,
            preexec_fn=die_with_runner)

    def connect(self, switch_pid):
        wait_for_own_namespace(switch_pid)
        wait_for_own_namespace(self.proc.pid)
        lab = f"/proc/{self.proc.pid}/ns/net"
        ip_in(f"/proc/{switch_pid}/ns/net",
              f"link add {SWITCH_END} type veth peer name {LAB_END} netns {self.proc.pid}")
        ip_in(lab, "link set lo up", f"address add {BEYOND}/32 dev lo",
              f"address add {GATEWAY}/24 dev {LAB_END}", link_command(self.plugged))
        self.proc.stdin.write(b"go\n")
        self.proc.stdin.close()
        with open(os.path.join(self.board.path, LAB_FILE), "w") as f:
            f.write(f"{self.proc.pid} {net_namespace(self.proc.pid)}\n")

    def stop(self):
        try:
            os.unlink(os.path.join(self.board.path, LAB_FILE))
        except FileNotFoundError:
            pass
        if self.proc is not None:
            self.proc.kill()
            self.proc.wait()
        if self.log is not None:
            self.log.close()


def set_cable(board, plugged):
    """Plugs or pulls the cable of a running board's management port."""
    machine = qmp.running_machine(board)
    if machine is not None:
        qmp.request(machine[1], ("set_link", {"name": "mgmt", "up": plugged}))
        return
    try:
        with open(os.path.join(board.path, LAB_FILE)) as f:
            pid, namespace = f.read().split()
        fd = os.open(f"/proc/{pid}/ns/net", os.O_RDONLY)
    except (OSError, ValueError):
        raise VswitchError(f"{board.path} is not running with a management port")
    try:
        # The namespace is held open and checked before use, so a stale file
        # whose process number was reused cannot reach another network.
        if f"net:[{os.fstat(fd).st_ino}]" != namespace:
            raise VswitchError(f"{board.path} is not running with a management port")
        ip_in(f"/proc/self/fd/{fd}", link_command(plugged), pass_fds=(fd,))
    finally:
        os.close(fd)


class MachineLab(LabNetwork):
    """The lab of a virtual machine: QEMU runs in the lab's network
    namespace, its tap device "lab0" is the lab end and the switch's "eth0"
    is the machine's e1000; the cable is that NIC's link, set through the
    monitor, so the guest's driver sees the carrier go and come."""

    def namespace(self):
        wait_for_own_namespace(self.proc.pid)
        return f"/proc/{self.proc.pid}/ns/net"

    def connect_tap(self):
        ip_in(self.namespace(), "link set lo up", f"address add {BEYOND}/32 dev lo",
              f"address add {GATEWAY}/24 dev {LAB_END}", f"link set {LAB_END} up")
        self.proc.stdin.write(b"go\n")
        self.proc.stdin.close()
