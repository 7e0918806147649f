// The debugger fetched from the other slot's file.
#include "debugger.h"
#include "stdio_file.h"

#include "board.h"
#include "image.h"

namespace {

constexpr const char *kGdbArchivePath = "/tmp/gdb.gz";

// Copies `length` bytes; 0 when the input ends first.
int copy_bytes(FILE *in, FILE *out, uint32_t length)
{
    for (uint32_t i = 0; i < length; i++) {
        const int byte = getc(in);
        if (byte == EOF)
            return 0;
        (void)putc(byte, out);
    }
    return 1;
}

} // namespace

int extract_gdb(int slot)
{
    if (slot != 1 && slot != 2)
        return 0;
    const int source = other_slot(slot);
    printf("Extracting GDB from image slot %d\n", source);
    File in = open_file(slot_file_path(source), "rb");
    if (!in) {
        boot_error("Failed to open GDB image (from slot %d)\n", source);
        return 0;
    }
    File out = open_file(kGdbArchivePath, "wb");
    if (!out) {
        boot_error("Failed to open GDB output file.\n");
        return 0;
    }
    // A file shorter than a header leaves the rest of it 0.
    uint8_t stored[IMAGE_HEADER_SIZE] = {0};
    (void)fread(stored, 1, sizeof stored, in.get());
    const ImageHeader header = record_head(stored).header;
    if (!image_type_bootable(header.magic)) {
        boot_error("Image has invalid header 0x%x\n", header.magic);
        return 0;
    }
    printf("Found GDB image %d of length = %u.\n", source, header.len);
    // A file that ends inside the record gives no debugger: the partial copy
    // is not unpacked, and launch_image then reports GDB as not available.
    if (!copy_bytes(in.get(), out.get(), header.len))
        return 0;
    in.reset();
    out.reset();
    printf("decompressing GDB....\n");
    (void)run_command("gunzip /tmp/gdb.gz");
    (void)run_command("chmod +x /tmp/gdb");
    return 1;
}
