// The management port: questions, commands and the link test.
#include "mgmt.h"

#include "board.h"
#include "console.h"

#include <arpa/inet.h>
#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <linux/ethtool.h>
#include <linux/sockios.h>
#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr size_t kAnswerSize = 128;
constexpr const char *kDhcpClient = "/bin/dhclient";
constexpr const char *kLinkInterface = "eth0";
// The fixed waits of the static set-up: after the netmask, then the
// progress dots one second apart, then a last pause before the link test.
constexpr unsigned kSettleSeconds = 5;
constexpr int kProgressDots = 20;
constexpr unsigned kLastPauseSeconds = 1;
constexpr unsigned kDhcpWaitSeconds = 3;

// The DHCP question. 1 with `dhcp` set, 0 when the dialogue is over.
int ask_dhcp(uint8_t *dhcp)
{
    char answer[kAnswerSize];
    if (!ask_line("Confirm: Use DHCP for network configuration? y/N: ", answer, sizeof answer) ||
        sig_quit_raised)
        return 0;
    if (toupper(uint8_t(answer[0])) == 'Y')
        *dhcp = 1;
    printf("\n");
    return 1;
}

bool file_exists(const char *path)
{
    struct stat st;
    return stat(path, &st) == 0;
}

// Runs one command whose text is made from `format`; the shell's status is
// not looked at, as a failed command shows in the link test.
__attribute__((format(printf, 1, 2))) void run_formatted(const char *format, ...)
{
    char command[kAnswerSize];
    va_list args;
    va_start(args, format);
    vsnprintf(command, sizeof command, format, args);
    va_end(args);
    (void)run_command(command);
}

void configure_static(char port, const in_addr *address, const in_addr *netmask,
                      const in_addr *gateway)
{
    run_formatted("ifconfig eth%c %s\n", port, inet_ntoa(*address));
    if (netmask->s_addr != 0) {
        printf("\tNetmask    : %s\n", inet_ntoa(*netmask));
        run_formatted("ifconfig eth%c down\n", port);
        run_formatted("ifconfig eth%c netmask %s\n", port, inet_ntoa(*netmask));
        run_formatted("ifconfig eth%c up\n", port);
    }
    (void)sleep(kSettleSeconds);
    if (gateway->s_addr != 0) {
        printf("\tGateway    : %s\n", inet_ntoa(*gateway));
        run_formatted("route add default gw %s\n", inet_ntoa(*gateway));
    }
    printf("Configuring management port...");
    for (int i = 0; i < kProgressDots; i++) {
        (void)sleep(1);
        printf(".");
        fflush(stdout);
    }
    printf("\n");
    (void)sleep(kLastPauseSeconds);
}

struct Socket {
    int fd;
    ~Socket()
    {
        if (fd >= 0)
            (void)close(fd);
    }
};

} // namespace

int verify_ip_address(uint32_t address)
{
    const uint32_t host_order = ntohl(address);
    const uint32_t first_octet = host_order >> 24;
    return host_order != 0 && first_octet != 0 && first_octet < 240 ? 1 : 0;
}

int get_ip_addr(const char *prompt, in_addr *address, uint8_t required, uint8_t verify)
{
    for (;;) {
        char line[kAnswerSize];
        // Once the console's input has ended every further answer would be
        // empty: a required address would be asked for without end.
        if (!ask_line(prompt, line, sizeof line))
            return 0;
        if (line[0] == 'q' || line[0] == 'Q')
            return 0;
        if (line[0] == '\0' && !required)
            return 1;
        in_addr parsed;
        if (inet_aton(line, &parsed) == 0) {
            puts("Invalid IP address. Try again please");
            continue;
        }
        if (verify && !verify_ip_address(parsed.s_addr)) {
            printf("Invalid IP address %s. Try again please\n", line);
            continue;
        }
        *address = parsed;
        return 1;
    }
}

int mgmt_port_params(uint8_t *dhcp, in_addr *address, in_addr *netmask, in_addr *gateway,
                     uint8_t allow_dhcp)
{
    *dhcp = 0;
    if (allow_dhcp && file_exists(kDhcpClient) && !ask_dhcp(dhcp))
        return 0;
    if (*dhcp)
        return 1;
    return get_ip_addr("IP addr    :", address, 1, 1) &&
                   get_ip_addr("Netmask    :", netmask, 0, 0) &&
                   get_ip_addr("Gateway    :", gateway, 0, 1)
               ? 1
               : 0;
}

int mgmt_port_configure(uint8_t dhcp, char port, const in_addr *address,
                        const in_addr *netmask, const in_addr *gateway)
{
    if (dhcp) {
        run_formatted("dhclient -1 eth%c", port);
        (void)sleep(kDhcpWaitSeconds);
    } else {
        configure_static(port, address, netmask, gateway);
    }
    if (port == '0' && !mgmt_link_status()) {
        puts("Mgmt link not available. Quitting.");
        return 0;
    }
    return 1;
}

int mgmt_link_status()
{
    const Socket sock = {socket(AF_INET, SOCK_DGRAM, 0)};
    if (sock.fd < 0) {
        puts("Raw Socket open error");
        return 0;
    }
    ifreq request;
    memset(&request, 0, sizeof request);
    snprintf(request.ifr_name, sizeof request.ifr_name, "%s", kLinkInterface);
    if (ioctl(sock.fd, SIOCGIFINDEX, &request) < 0) {
        printf("Open Interface %s error.\n", kLinkInterface);
        return 0;
    }
    if (ioctl(sock.fd, SIOCGIFFLAGS, &request) < 0) {
        puts("Open flags error.");
        return 0;
    }
    const unsigned flags = uint16_t(request.ifr_flags);
    ethtool_value link = {ETHTOOL_GLINK, 0};
    request.ifr_data = reinterpret_cast<char *>(&link);
    if (ioctl(sock.fd, SIOCETHTOOL, &request) < 0) {
        puts("EthTool GLINK error.");
        return 0;
    }
    const unsigned wanted = IFF_UP | IFF_RUNNING;
    return link.data != 0 && (flags & wanted) == wanted ? 1 : 0;
}

int mgmt_port_setup(uint8_t allow_dhcp)
{
    // 0 in every address means "not given".
    in_addr address = {};
    in_addr netmask = {};
    in_addr gateway = {};
    uint8_t dhcp = 0;
    const char port = '0';
    if (!mgmt_port_params(&dhcp, &address, &netmask, &gateway, allow_dhcp))
        return 0;
    return mgmt_port_configure(dhcp, port, &address, &netmask, &gateway);
}
