// A slot file as the boot reads it: the record scan, then the bootable
// record's payload streamed to the archive with its CRC checked.
#include "fuzz_support.h"
#include "extract.h"
#include "stdio_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    File in(fopen(fuzz_file("image1", data, size).c_str(), "rb"));
    File out(fopen((fuzz_root() + "/archive").c_str(), "wb"));
    ImageHeader header = {0, 0, 0, 0};
    if (parse_image(in.get(), &header))
        (void)extract_record_payload(in.get(), out.get());
    return 0;
}
