// The slot boot and the boot's fallback ladder (extract.h tells its rungs).
#include "extract.h"
#include "stdio_file.h"

#include "board.h"
#include "console.h"
#include "debugger.h"
#include "i2c.h"
#include "launch_image.h"
#include "rescue_partition.h"
#include "usb_boot.h"

#include <climits>
#include <unistd.h>

namespace {

// --- The rungs below a failed attempt ---------------------------------------

// Rungs 4 and 5: the shell step, then the reset.
[[noreturn]] void shell_then_reset()
{
    shell_step();
    board_reset();
}

// Rungs 3 to 5: the rescue partition, which returns only when it has
// nothing to boot, then the shell step and the reset.
[[noreturn]] void rescue_partition_then_reset()
{
    (void)extract_image_from_flash();
    shell_then_reset();
}

// The file holds no bootable record; `last` is the last header read. The
// stick's image and a first attempt give way to the flash slots or the
// other slot; the last attempt goes on to the rescue partition.
int no_bootable_record(int slot, const ImageHeader &last)
{
    if (slot == 3) {
        boot_error("Error: USB image corrupted or belongs to another switch type.\n");
        return 0;
    }
    if (tried_alt_image) {
        boot_error("No valid application image found. Trying rescue image\n");
        rescue_partition_then_reset();
    }
    boot_error("Image has invalid header 0x%x. (0x%x)\n", last.magic, IMAGE_DIAGS);
    boot_error("Image%d has invalid header... trying Image%d.\n", slot, other_slot(slot));
    return 0;
}

// The bootable record failed its check. As above, but the last attempt
// skips the rescue partition.
int record_failed(int slot)
{
    if (slot == 3) {
        boot_error("USB image CRC failed.");
        return 0;
    }
    if (tried_alt_image) {
        boot_error("Both image1 and image2 failed.\n");
        shell_then_reset();
    }
    boot_error("Image%d CRC failed, trying Image%d now.\n", slot, other_slot(slot));
    return 0;
}

// --- Opening a slot's file --------------------------------------------------

// The file to read for slots 1 and 2: the slot's file, else the other
// slot's, else the rescue partition.
File open_slot_file(int slot)
{
    File in = open_file(slot_file_path(slot), "rb");
    if (in)
        return in;
    const int other = other_slot(slot);
    boot_error("Failed to open Application image %d. Trying image %d.\n", slot, other);
    in = open_file(slot_file_path(other), "rb");
    if (in)
        return in;
    boot_error("Failed to open Application image %d. Trying rescue image\n", other);
    rescue_partition_then_reset();
}

// The file to read for slot 3: the stick's image, unless it is missing or
// the operator refuses it as a rejected image.
File open_usb_file()
{
    const char *path = slot_file_path(3);
    File in = open_file(path, "rb");
    if (!in) {
        boot_error("Failed to open application image from USB.\n");
        return nullptr;
    }
    // Listed before its record is read: an image that hangs the board is
    // then known at the next start.
    if (!usb_is_image_rejected(path)) {
        usb_add_image_to_reject_list(path);
        return in;
    }
    if (!yesno_question("USB image is in rejected list.\nWould you still like to load it? "))
        return nullptr;
    printf("Continuing to load USB image...\n");
    return in;
}

// --- The record ---------------------------------------------------------------

int seek_to(FILE *stream, uint64_t offset)
{
    // fseek takes a long, 32 bits wide on the target: offsets from 2 GiB on
    // cannot be reached there.
    if (offset > uint64_t(LONG_MAX))
        return 0;
    return fseek(stream, long(offset), SEEK_SET) == 0 ? 1 : 0;
}

// Takes back what a failed extraction wrote: a failed attempt leaves the
// archive empty, as its open left it. Always 0.
int empty_output(FILE *out)
{
    fflush(out);
    (void)ftruncate(fileno(out), 0);
    rewind(out);
    return 0;
}

// The record is good and its payload is in the archive. Does not return.
[[noreturn]] void boot_record(int slot, const ImageHeader &header)
{
    (void)api_set_booted_image(uint8_t(slot));
    if (gdb_enable && !gdbserver_enable)
        (void)extract_gdb(slot);
    launch_image(header.magic == IMAGE_DIAGS ? 1 : 0);
}

} // namespace

void boot_flash_slots(int slot)
{
    printf("Booting image '%d'\n", slot);
    (void)extract_image(slot);
    const int other = other_slot(slot);
    printf("Booting image '%d'\n", other);
    tried_alt_image = 1;
    (void)extract_image(other);
}

int extract_image(int slot)
{
    if (slot < 1 || slot > 3)
        return 0;
    File in = slot == 3 ? open_usb_file() : open_slot_file(slot);
    if (!in)
        return 0;
    File out = open_file(kArchivePath, "wb");
    if (!out) {
        boot_error("Failed to open application image output file.\n");
        in.reset();
        shell_then_reset();
    }
    ImageHeader header = {0, 0, 0, 0};
    const int found = parse_image(in.get(), &header);
    const int good = found && extract_record_payload(in.get(), out.get());
    in.reset();
    out.reset();
    if (!found)
        return no_bootable_record(slot, header);
    if (!good)
        return record_failed(slot);
    boot_record(slot, header);
}

int parse_image(FILE *stream, ImageHeader *header)
{
    uint64_t size = 0;
    if (!seek_to(stream, 0) || !stream_room(stream, &size))
        return 0;
    for (uint64_t offset = 0;;) {
        RecordHead head;
        if (!read_record_head(stream, &head))
            return 0;
        *header = head.header;
        if (image_type_bootable(header->magic))
            return seek_to(stream, offset);
        // A record that runs past the end of the file ends the scan: nothing
        // can follow it, and a length near 4 GiB would wrap a 32-bit offset
        // back to or before the record.
        if (record_payload_to_read(*header, size - offset, kRecordWhole) < 0)
            return 0;
        offset += IMAGE_HEADER_SIZE + header->len;
        if (!seek_to(stream, offset))
            return 0;
    }
}

int extract_record_payload(FILE *in, FILE *out)
{
    uint64_t room = 0;
    RecordHead head;
    uint32_t crc = 0;
    // A damaged `len` that runs past the end of the file fails at once.
    if (!stream_room(in, &room) || !read_record_head(in, &head) ||
        record_payload_to_read(head.header, room, kRecordWhole) < 0 ||
        stream_record(in, head, out, &crc) != kRecordGood)
        return empty_output(out);
    return 1;
}
