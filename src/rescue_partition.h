// The rescue partition's image: the one record at the partition's start,
// booted when the slot files leave nothing to boot (a rung of the boot's
// fallback ladder, extract.h) and by the rescue menu's diagnostics action.
// A diagnostics record is launched at once; a recovery (application)
// record may first be installed into slot 1 or 2 at the operator's choice.
#pragma once
#include "image.h"

// Boots the record at the start of the rescue partition. Returns 0 when
// there is no usable image there; otherwise does not return (it launches,
// or resets the board when a file cannot be opened).
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
