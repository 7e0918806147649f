"""The management port on the virtual switch's lab network (a real DHCP
server, gateway and cable), through the test driver mgmt_driver booted in
the launcher's place: "setup ALLOW [FILE]" runs the port set-up, any other
line runs in the switch's shell."""

import pathlib
import re
import subprocess

import pytest

from conftest import ERR_TAG, VM, VSWITCH, WAIT, devices_log, driver, press, type_line

DHCP_Q = "Confirm: Use DHCP for network configuration? y/N: "
IP, MASK, GW = "IP addr    :", "Netmask    :", "Gateway    :"
DRIVER = "mgmt driver> "
NOT_AVAILABLE = "Mgmt link not available. Quitting.\n"
# The device model's fast clock; the virtual machine waits in real time.
FAST = () if VM else ("--fast-clock", "20")
# Commands of the static set-up, as the board log records them.
STATIC = ["ifconfig eth0 192.0.2.10", "ifconfig eth0 down",
          "ifconfig eth0 netmask 255.255.255.0", "ifconfig eth0 up",
          "route add default gw 192.0.2.1"]
LOOK = "ip addr show eth0; ip route; ping -c 1 -W 30 198.51.100.1"


def result(r, flag=0):
    return f"mgmt driver: result {r} flag {flag}\n"


def bad(line, prompt):
    return f"Invalid IP address {line}. Try again please\n{prompt}"


def boot(terminal, board, *args):
    t = terminal(board, launcher=driver("mgmt_driver"), args=args)
    t.expect(DRIVER)
    return t


def console(t, timeout=WAIT):
    """The console text up to the next driver prompt, without stderr lines."""
    return re.sub(re.escape(ERR_TAG) + r"[^\n]*\n", "", t.expect(DRIVER, timeout))


def run(t, line, answers=()):
    """A driver line, with answers typed at the prompts it brings."""
    t.send(line + "\r")
    for answer in answers:
        type_line(t, answer)
    return console(t)


def commands(t):
    return [line for line in t.log() if line.split()[0] in ("dhclient", "ifconfig", "route")]


# (driver line, first prompt, [(answer, what the switch says next)]); no DHCP
# question when it is not allowed or there is no "/bin/dhclient".
RULES = [("setup 0", IP, [("", "Invalid IP address. Try again please\n" + IP),
                          ("0.1.2.3", bad("0.1.2.3", IP)), ("240.0.0.1", bad("240.0.0.1", IP)),
                          ("127.0.0.1", MASK), ("255.255.255.0", GW),
                          ("255.255.255.0", bad("255.255.255.0", GW)), ("qx", result(0) + DRIVER)]),
         ("rm /bin/dhclient", DRIVER, []),
         ("setup 1", IP, [("224.0.0.1", MASK), ("Q", result(0) + DRIVER)])]


def test_address_rules(make_board, terminal):
    t = boot(terminal, make_board())
    for line, first, rows in RULES:
        t.send(line + "\r")
        assert t.expect(first) == line + "\n"
        for answer, reply in rows:
            type_line(t, answer)
            assert t.expect(reply) == ""


# Input that ends after these answers, and the console's last text then.
ENDS = [("", DHCP_Q + "\n"), ("n\n", IP + "\n"), ("n\n192.0.2.10\n", MASK + "\n"),
        ("n\n192.0.2.10\n\n", GW + "\n"), ("n\n192.0.2.10", IP + "192.0.2.10\n")]


def test_cancelled_dialogues_run_no_command(make_board, terminal):
    board = make_board()
    t = boot(terminal, board)
    for i, (answers, last) in enumerate(ENDS):
        pathlib.Path(board.path, f"answers{i}").write_text(answers)
        assert run(t, f"setup 1 /.vswitch/answers{i}").endswith(last + result(0))
    t.send("setup 1\r")
    t.expect(DHCP_Q)
    press(t, "\x03")
    type_line(t, "y")
    assert t.expect(DRIVER) == result(0, flag=1)
    assert commands(t) == []


@pytest.mark.vm
def test_dhcp_lease_from_the_lab(make_board, terminal):
    t = boot(terminal, make_board(), "--mgmt-port", "plugged", *FAST)
    for answer in ("yes", "Y"):  # the first character decides, in either case
        assert run(t, "setup 1", [answer]) == "\n" + result(1)
    assert commands(t) == ["dhclient -1 eth0"] * 2
    seen = run(t, LOOK)
    assert re.search(r"inet 192\.0\.2\.1\d\d/24 ", seen)
    assert "default via 192.0.2.1 dev eth0" in seen and "1 packets received" in seen


def test_static_address(make_board, terminal):
    board = make_board()
    t = boot(terminal, board, "--mgmt-port", "plugged", *FAST)
    assert run(t, "setup 0", ["192.0.2.10", "255.255.255.0", "192.0.2.1"]) == (
        "\tNetmask    : 255.255.255.0\n\tGateway    : 192.0.2.1\n"
        "Configuring management port" + "." * 23 + "\n" + result(1))
    if not VM:  # the device model logs the commands and the sleeps:
        assert commands(t) == STATIC
        # 5 s for the address to settle before the route, a dot a second, a last second.
        assert [line for line in devices_log(board)
                if line.startswith(("sleep", "system route"))] == [
            "sleep 5", r"system route add default gw 192.0.2.1\n"] + ["sleep 1"] * 21
    seen = run(t, LOOK)
    assert "inet 192.0.2.10/24 " in seen and "default via 192.0.2.1 dev eth0" in seen
    assert "1 packets received" in seen


DOTS = "." * 20 + "\n"
# (cable at power-on, [(cable action before the set-up, how it ends)],
#  what "ip addr show eth0" shows at the end)
CABLES = [("plugged", [(None, DOTS + result(1)), ("pull", DOTS + NOT_AVAILABLE + result(0))],
           "<NO-CARRIER,BROADCAST,MULTICAST,UP>"),
          ("pulled", [(None, DOTS + NOT_AVAILABLE + result(0)), ("plug", DOTS + result(1))],
           "<BROADCAST,MULTICAST,UP,LOWER_UP>")]


@pytest.mark.ppc
@pytest.mark.parametrize("cable, steps, link", [
    pytest.param(*row, id=row[0], marks=[pytest.mark.vm] * (row[0] == "pulled")) for row in CABLES])
def test_link_and_cable(cable, steps, link, make_board, terminal):
    """The address 10.1 is 10.0.0.1; no netmask, and no gateway after a
    rejected one: one command."""
    board = make_board()
    t = boot(terminal, board, "--mgmt-port", cable, *FAST)
    for action, end in steps:
        if action:
            subprocess.run([VSWITCH, "cable", board.path, action], check=True)
        assert run(t, "setup 0", ["10.1", "", "255.255.255.0", ""]) == (
            GW + "\nConfiguring management port..." + end)  # the gateway asked again
    if not VM:  # the device model logs the launcher's commands
        assert commands(t) == ["ifconfig eth0 10.0.0.1"] * len(steps)
    seen = run(t, "ip addr show eth0; ip route")
    assert link in seen and "default" not in seen and "inet 10.0.0.1/8 " in seen
