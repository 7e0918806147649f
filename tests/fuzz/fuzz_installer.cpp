// An image file through the installer onto the emulated flash and slot
// files. Byte 0 picks skip-if-same and the slot, byte 1 is the answer to the
// slot question; the rest is the file.
#include "fuzz_support.h"
#include "install.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 2)
        return 0;
    fuzz_reset_board();
    const uint8_t answer[2] = {data[1], '\n'};
    fuzz_stdin(answer, sizeof answer);
    const std::string path = fuzz_file("image", data + 2, size - 2);
    try {
        (void)processTroveImage(path.c_str(), data[0] & 1, (data[0] >> 1) % 3);
    } catch (const BootEnded &) {
    }
    return 0;
}
