// The slot boot, and with it the boot's fallback ladder. When a rung
// fails, the one below it is tried:
//
//   1. this slot: its own file, or the other slot's file when its own is
//      missing (the requested slot keeps its number in every message and
//      in the VPD);
//   2. the other slot, once: the last attempt (tried_alt_image set);
//   3. the rescue partition (rescue_partition.h), when both slot files are
//      missing or the last attempt finds no bootable record;
//   4. the shell step, when the boot settings ask for a shell;
//   5. board_reset.
//
// A CRC failure on the last attempt, or an archive that cannot be made,
// goes to rung 4 at once. The USB stick's own image (slot 3), which the
// start-up tries before rung 1, goes back to the flash slots on any
// failure. extract.cpp holds the whole ladder.
//
// Result convention: on success extract_image does not return (the launch
// replaces it); it returns 0 only after a failure from which its caller
// may go on.
#pragma once
#include "image.h"

#include <cstdio>

// Rungs 1 and 2: boots `slot` (1 or 2), then the other slot as the last
// attempt, each after "Booting image '%d'". Returns only if the last
// attempt returned.
void boot_flash_slots(int slot);

// Boots slot 1, 2 or 3 (the USB stick's image). Returns 0 when this attempt
// failed and the caller may go on; otherwise does not return.
int extract_image(int slot);
// Scans an image file from its start for the first IMAGE_APPLICATION or
// IMAGE_DIAGS record. 1: `header` holds it and the stream stands at its
// first byte. 0: no bootable record (none, a header cut short, a seek that
// fails, or a record that runs past the end of the file); `header` then
// holds the last complete header read (untouched if none).
int parse_image(FILE *stream, ImageHeader *header);
// Copies the payload of the record at the stream's position (where
// parse_image left it) to `out`, checking the record's CRC on the way. 1
// when the record was whole and good. 0 when it runs past the end of the
// file, is read only in part or fails its CRC; `out` is then emptied
// again, as a failed attempt must leave the archive.
[[nodiscard]] int extract_record_payload(FILE *in, FILE *out);
