// Application image extraction from a slot file, and the rescue partition's
// image.
#include "extract.h"
#include "stdio_file.h"

#include "board.h"
#include "console.h"
#include "flash.h"
#include "i2c.h"
#include "usb_boot.h"

#include <climits>
#include <unistd.h>

namespace {

constexpr const char *kUsbImagePath = "/mnt/usb/QLX5270_OS.img";
constexpr const char *kGdbArchivePath = "/tmp/gdb.gz";
constexpr const char *kStagingPath = "/tmp/image";
constexpr uint8_t kBootedRescue = 4;

File open_file(const char *path, const char *mode)
{
    return File(fopen(path, mode));
}

const char *slot_path(int slot)
{
    switch (slot) {
    case 1: return "/user/images/image1";
    case 2: return "/user/images/image2";
    default: return kUsbImagePath;
    }
}

bool is_bootable(uint32_t magic)
{
    return magic == IMAGE_APPLICATION || magic == IMAGE_DIAGS;
}

int seek_to(FILE *stream, uint64_t offset)
{
    // fseek takes a long, 32 bits wide on the target: offsets from 2 GiB on
    // cannot be reached there.
    if (offset > uint64_t(LONG_MAX))
        return 0;
    return fseek(stream, long(offset), SEEK_SET) == 0 ? 1 : 0;
}

// Gives the heap block back at once (clear() alone keeps it).
void release(std::vector<uint8_t> &record)
{
    std::vector<uint8_t>().swap(record);
}

void write_payload(const ImageRecord &record, FILE *out)
{
    (void)fwrite(record.bytes.data() + IMAGE_HEADER_SIZE, 1, record.header.len, out);
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

// Rescue fallback of extract_image: returns only through board_reset.
[[noreturn]] void rescue_fallback()
{
    (void)extract_image_from_flash();
    shell_step();
    board_reset();
}

// The file to read for slots 1 and 2: the slot's file, else the other
// slot's, else the rescue fallback.
File open_slot_file(int slot)
{
    File in = open_file(slot_path(slot), "rb");
    if (in)
        return in;
    const int other = other_slot(slot);
    boot_error("Failed to open Application image %d. Trying image %d.\n", slot, other);
    in = open_file(slot_path(other), "rb");
    if (in)
        return in;
    boot_error("Failed to open Application image %d. Trying rescue image\n", other);
    rescue_fallback();
}

// The file to read for slot 3: the stick's image, unless it is missing or
// the operator refuses it as a rejected image.
File open_usb_file()
{
    File in = open_file(kUsbImagePath, "rb");
    if (!in) {
        boot_error("Failed to open application image from USB.\n");
        return nullptr;
    }
    // Listed before its record is read: an image that hangs the board is
    // then known at the next start.
    if (!usb_is_image_rejected(kUsbImagePath)) {
        usb_add_image_to_reject_list(kUsbImagePath);
        return in;
    }
    if (!yesno_question("USB image is in rejected list.\nWould you still like to load it? "))
        return nullptr;
    printf("Continuing to load USB image...\n");
    return in;
}

// The bootable record failed its check.
int record_failed(int slot, File &in, File &out)
{
    if (slot == 3) {
        boot_error("USB image CRC failed.");
        in.reset();
        out.reset();
        return 0;
    }
    if (tried_alt_image) {
        boot_error("Both image1 and image2 failed.\n");
        in.reset();
        out.reset();
        shell_step();
        board_reset();
    }
    in.reset();
    out.reset();
    boot_error("Image%d CRC failed, trying Image%d now.\n", slot, other_slot(slot));
    return 0;
}

// The file holds no bootable record; `last` is the last header read.
int no_bootable_record(int slot, const ImageHeader &last, File &in, File &out)
{
    if (slot == 3) {
        in.reset();
        out.reset();
        boot_error("Error: USB image corrupted or belongs to another switch type.\n");
        return 0;
    }
    if (tried_alt_image) {
        boot_error("No valid application image found. Trying rescue image\n");
        in.reset();
        out.reset();
        rescue_fallback();
    }
    in.reset();
    out.reset();
    boot_error("Image has invalid header 0x%x. (0x%x)\n", last.magic, IMAGE_DIAGS);
    boot_error("Image%d has invalid header... trying Image%d.\n", slot, other_slot(slot));
    return 0;
}

// The record is good and its payload is in the archive. Does not return.
[[noreturn]] void boot_record(int slot, const ImageHeader &header, File &in, File &out)
{
    in.reset();
    out.reset();
    (void)api_set_booted_image(uint8_t(slot));
    if (gdb_enable && !gdbserver_enable)
        (void)extract_gdb(slot);
    launch_image(header.magic == IMAGE_DIAGS ? 1 : 0);
}

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

// The recovery install: the record into /tmp/image and on into the slot
// file, and the VPD fields.
void install_recovery(const std::vector<uint8_t> &record, char digit)
{
    printf("\nInstalling recovery image as image%c...\n", digit);
    File staging = open_file(kStagingPath, "wb");
    if (!staging) {
        boot_error("Failed to open image file.\n");
        board_reset();
    }
    (void)fwrite(record.data(), 1, record.size(), staging.get());
    staging.reset();
    (void)run_command("mkdir /user/images &> /dev/null");
    char command[64];
    snprintf(command, sizeof command, "cp /tmp/image /user/images/image%c\n", digit);
    (void)run_command(command);
    const uint8_t slot = uint8_t(digit - '0');
    printf("Setting boot image to %d\n", slot);
    (void)api_set_image(slot);
    (void)api_set_booted_image(slot);
}

// The rescue partition's recovery record, installed into a slot at the
// operator's choice.
void offer_recovery_install(const std::vector<uint8_t> &record)
{
    const int answer = ask_first_char(
        "Install recovery image as image 1 or 2 (hit return to just boot image): ",
        kSigintEndsAnswer);
    if (answer < 0)
        return; // no input at all: neither VPD field is written
    if (answer == '1' || answer == '2') {
        install_recovery(record, char(answer));
        return;
    }
    printf("\nBooting recovery image. You will need to download and install an image before "
           "rebooting\n");
    (void)api_set_booted_image(kBootedRescue);
}

} // namespace

int other_slot(int slot)
{
    return slot == 1 ? 2 : 1;
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
        if (is_bootable(header->magic))
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
        shell_step();
        board_reset();
    }
    ImageHeader header = {0, 0, 0, 0};
    if (!parse_image(in.get(), &header))
        return no_bootable_record(slot, header, in, out);
    if (!extract_record_payload(in.get(), out.get()))
        return record_failed(slot, in, out);
    boot_record(slot, header, in, out);
}

int extract_gdb(int slot)
{
    if (slot != 1 && slot != 2)
        return 0;
    const int source = other_slot(slot);
    printf("Extracting GDB from image slot %d\n", source);
    File in = open_file(slot_path(source), "rb");
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
    if (!is_bootable(header.magic)) {
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

RescueRead read_rescue_record(ImageRecord &record)
{
    release(record.bytes);
    // Zeroed, as a short read counts as a success: a partition too small
    // for a header then shows no bootable type.
    uint8_t stored[IMAGE_HEADER_SIZE] = {0};
    if (api_flash_read(stored, rescue_fd, 0, IMAGE_HEADER_SIZE) != 0)
        return kRescueNotFound;
    const ImageHeader header = record_head(stored).header;
    if (!is_bootable(header.magic))
        return kRescueNotFound;
    uint32_t partition_size = 0;
    const uint64_t size = uint64_t(header.len) + IMAGE_HEADER_SIZE;
    if (!mtd_get_size(rescue_fd, &partition_size) ||
        record_payload_to_read(header, partition_size, kRecordWhole) < 0 ||
        allocate_record(stored, size, &record) != kRecordGood)
        return kRescueBad;
    uint32_t crc = 0;
    if (api_flash_read(record.bytes.data(), rescue_fd, 0, uint32_t(size)) != 0 ||
        check_record(record, &crc) != kRecordGood) {
        release(record.bytes);
        return kRescueBad;
    }
    return kRescueGood;
}

int extract_image_from_flash()
{
    File out = open_file(kArchivePath, "wb");
    if (!out) {
        boot_error("Failed to open AppOS tarfile.\n");
        board_reset();
    }
    ImageRecord record;
    switch (read_rescue_record(record)) {
    case kRescueNotFound:
        boot_error("Image not found... \n");
        return 0;
    case kRescueBad:
        boot_error("Image CRC failed. Quitting\n");
        return 0;
    case kRescueGood:
        break;
    }
    write_payload(record, out.get());
    out.reset();
    const bool diagnostics = record.header.magic == IMAGE_DIAGS;
    if (diagnostics) {
        printf("Launching diagnostics image\n");
        (void)api_set_booted_image(kBootedRescue);
    } else {
        offer_recovery_install(record.bytes);
    }
    release(record.bytes);
    launch_image(diagnostics ? 1 : 0);
}
