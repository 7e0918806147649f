// Application image extraction and launch: the slot files, the rescue
// partition's image, and the unpacking and start of the application.
//
// Split over extract.cpp (slot-file and rescue-partition images) and
// launch_image.cpp (the launch); this header is their one contract.
//
// Result convention: the operations that end the boot (`launch_image`, and
// on success `extract_image` and `extract_image_from_flash`) never return;
// they return 0 only after a failure from which the caller may go on.
#pragma once
#include "image.h"

#include <cstdint>
#include <cstdio>

// --- Application image extraction from a slot file ------------------------
// Boots slot 1, 2 or 3 (the USB stick's image). Returns 0 when this attempt
// failed and the caller may go on; otherwise does not return.
int extract_image(int slot);
// Scans an image file from its start for the first IMAGE_APPLICATION or
// IMAGE_DIAGS record. 1: `header` holds it and the stream stands at its
// first byte. 0: no bootable record (none, a header cut short, a seek that
// fails, or a record length that would not move the 32-bit offset forward);
// `header` then holds the last complete header read (untouched if none).
int parse_image(FILE *stream, ImageHeader *header);
// Copies the first record of the other slot's file to /tmp/gdb.gz and
// unpacks it to /tmp/gdb. 1 when done, 0 otherwise (message on stderr,
// except for slot 3 and for a file that ends inside the record).
int extract_gdb(int slot);

// Copies the payload of the record at the stream's position (where
// parse_image left it) to `out`, checking the record's CRC on the way. 1
// when the record was whole and good. 0 when it runs past the end of the
// file, is read only in part or fails its CRC; `out` is then emptied
// again, as a failed attempt must leave the archive.
[[nodiscard]] int extract_record_payload(FILE *in, FILE *out);

// --- Rescue-partition image -----------------------------------------------
// Boots the record at the start of the rescue partition (diagnostics at
// once; a recovery image after the install prompt). Returns 0 when there is
// no usable image there; otherwise does not return.
int extract_image_from_flash();
// Outcome of reading the rescue partition's record.
enum RescueRead {
    kRescueNotFound = 0, // header unreadable or not a bootable type
    kRescueBad = 1,      // CRC mismatch, or record unreadable, too large
    kRescueGood = 2,
};
// Reads the rescue partition's record whole into `record`. A `len` whose
// record does not fit the partition (mtd_get_size), cannot be allocated or
// is not read counts as kRescueBad.
[[nodiscard]] RescueRead read_rescue_record(ImageRecord &record);
// --- Application launch ---------------------------------------------------
// Unpacks /tmp/velosimage.tar.gz in /tmp and starts the application in the
// mode that the boot settings select. Never returns.
[[noreturn]] void launch_image(uint8_t diagnostics);

// --- Shared helpers -------------------------------------------------------
// The application archive that extraction writes and the launch unpacks.
constexpr const char *kArchivePath = "/tmp/velosimage.tar.gz";
// The slot tried after `slot`: 2 after 1, 1 after anything else.
int other_slot(int slot);
