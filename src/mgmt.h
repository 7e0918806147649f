// The management port "eth0": the console questions for DHCP or a static
// address, netmask and gateway, the shell commands that apply the answers,
// and the test of the port's link.
//
// Input comes from the console line editor (console.h); everything is
// printed on standard output. Nothing is remembered between calls and
// nothing is written to a file: the settings last as long as the
// platform's network configuration does. No road of the boot calls these.
#pragma once
#include <cstdint>
#include <netinet/in.h>

// Asks how to configure the port and configures it, with the port
// character '0'. 1 when the port was configured and its link is up; 0 when
// the operator cancelled (no command has run then) or the link is not
// available. `allow_dhcp` non-zero lets the DHCP question be asked.
int mgmt_port_setup(uint8_t allow_dhcp);

// The questions. `dhcp` is set to 1 when the operator chose DHCP (asked only
// when allowed and "/bin/dhclient" exists; an answer starting with y or Y),
// else 0; then no address is asked for. Otherwise the address (required,
// verified), the netmask (may be empty, not verified) and the gateway (may
// be empty, verified) are asked in this order; an empty answer leaves its
// output as it was. 1 when the answers are complete; 0 when cancelled: q
// or Q at an address prompt, SIGINT while the DHCP question was answered
// (sig_quit_raised is left set; the address prompts do not look at it), or
// end of input at any prompt (nobody is left to answer, and a line cut off
// by it is not taken).
int mgmt_port_params(uint8_t *dhcp, in_addr *address, in_addr *netmask, in_addr *gateway,
                     uint8_t allow_dhcp);

// Prints `prompt` and reads one address with the line editor, asking again
// after "Invalid IP address. Try again please" (not an address, or empty
// when `required`) or "Invalid IP address <line>. Try again please" (when
// `verify` and verify_ip_address rejects it). 1 with the address in
// `address`, or with `address` untouched after an empty answer that is not
// required; 0 on q or Q as the first character, or at end of input.
int get_ip_addr(const char *prompt, in_addr *address, uint8_t required, uint8_t verify);

// 1 when the address (network order) is plausible for a host: not 0.0.0.0,
// first octet neither 0 nor 240 or more. 0 otherwise.
int verify_ip_address(uint32_t address);

// Applies the answers through the shell (exit statuses are not looked at):
// "dhclient -1 eth<port>" and 3 s, or the static commands with the netmask
// and gateway shown and 26 s of waits in all. Then, for port '0' only, the
// link test: on link down "Mgmt link not available. Quitting." and 0.
// Otherwise 1. A netmask or gateway of 0 is not given and skips its step.
int mgmt_port_configure(uint8_t dhcp, char port, const in_addr *address,
                        const in_addr *netmask, const in_addr *gateway);

// 1 when "eth0" is up (IFF_UP), running (IFF_RUNNING) and its ethtool link
// is up; 0 otherwise, also after any failure of the socket or a request,
// which prints its own message first.
int mgmt_link_status();
