// Answers typed at the console: byte 0 picks the yes/no question (0) or
// the management port's questions, DHCP allowed or not (its low bit); the
// rest are the keys.
#include "console.h"
#include "fuzz_support.h"
#include "mgmt.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    fuzz_stdin(data + 1, size - 1);
    if (data[0] == 0) {
        (void)yesno_question("Would you still like to load it? ");
    } else {
        uint8_t dhcp = 0;
        in_addr address = {0}, netmask = {0}, gateway = {0};
        (void)mgmt_port_params(&dhcp, &address, &netmask, &gateway, data[0] & 1);
    }
    return 0;
}
