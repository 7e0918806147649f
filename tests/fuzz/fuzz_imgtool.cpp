// The image tool's list and verify over any file.
#include "fuzz_support.h"

int imgtool_main(int argc, char **argv);

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::string path = fuzz_file("tool.img", data, size);
    for (const char *command : {"list", "verify"}) {
        char *argv[] = {const_cast<char *>("imgtool"), const_cast<char *>(command), path.data(),
                        nullptr};
        (void)imgtool_main(3, argv);
    }
    return 0;
}
