// The management port's link test against the device model's stand-in
// port, which answers what the virtual switch's veth cannot: a port up but
// not running, or running while its ethtool link reads 0; and each call
// failing.
#include "fixture.h"
#include "mgmt.h"

#include <linux/sockios.h>
#include <net/if.h>

namespace {

TEST(Mgmt, LinkStatus)
{
    const short kRunning = IFF_UP | IFF_RUNNING;
    const struct { unsigned long fails; short flags; uint32_t link; int up; const char *shown; } cases[] = {
        {0, kRunning, 1, 1, ""},
        {0, IFF_UP, 1, 0, ""},
        {0, kRunning, 0, 0, ""},
        {kSimdevPortSocket, kRunning, 1, 0, "Raw Socket open error\n"},
        {SIOCGIFINDEX, kRunning, 1, 0, "Open Interface eth0 error.\n"},
        {SIOCGIFFLAGS, kRunning, 1, 0, "Open flags error.\n"},
        {SIOCETHTOOL, kRunning, 1, 0, "EthTool GLINK error.\n"},
    };
    for (const auto &c : cases) {
        simdev_set_port(c.fails, c.flags, c.link);
        int up = -1;
        EXPECT_EQ(stdout_of([&] { up = mgmt_link_status(); }), c.shown);
        EXPECT_EQ(up, c.up) << c.fails << " " << c.flags << " " << c.link;
    }
    simdev_clear_port();
}

} // namespace
