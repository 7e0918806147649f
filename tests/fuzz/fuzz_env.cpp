// The boot-loader environment's 1280 bytes as the start-up parses them.
#include "fuzz_support.h"
#include "board.h"
#include "launch.h"

#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    uint8_t env[kUbootEnvLength] = {0};
    memcpy(env, data, size < sizeof env ? size : sizeof env);
    launch_reset_state();
    parse_uboot_env_text(env);
    return 0;
}
