// The rescue partition's image, and the recovery install from it.
#include "rescue_partition.h"
#include "stdio_file.h"

#include "board.h"
#include "console.h"
#include "flash.h"
#include "i2c.h"
#include "launch_image.h"

namespace {

constexpr const char *kStagingPath = "/tmp/image";
constexpr uint8_t kBootedRescue = 4;

// Gives the heap block back at once (clear() alone keeps it).
void release(std::vector<uint8_t> &bytes)
{
    std::vector<uint8_t>().swap(bytes);
}

void write_payload(const ImageRecord &record, FILE *out)
{
    (void)fwrite(record.bytes.data() + IMAGE_HEADER_SIZE, 1, record.header.len, out);
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

RescueRead read_rescue_record(ImageRecord &record)
{
    release(record.bytes);
    // Zeroed, as a short read counts as a success: a partition too small
    // for a header then shows no bootable type.
    uint8_t stored[IMAGE_HEADER_SIZE] = {0};
    if (api_flash_read(stored, rescue_fd, 0, IMAGE_HEADER_SIZE) != 0)
        return kRescueNotFound;
    const ImageHeader header = record_head(stored).header;
    if (!image_type_bootable(header.magic))
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
