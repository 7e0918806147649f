// What is installed, and the installer of image files: every record of an
// image file goes to its flash partition or, for the application, to a slot
// file "/user/images/image%d" (or is booted at once without being kept).
//
// Results follow the internal convention: 1 for success or yes, 0 for
// failure or no.
#pragma once
#include "image.h"

#include <cstdint>

// Prefix put before the system's absolute paths "/user/images/..." and
// "/tmp/velosimage.tar.gz". Empty on the switch; tests point it at a
// scratch directory.
extern const char *install_root;

// Largest record sizes that fit each flash partition. The boot loader's
// limit is on its payload (`len`), the others' on the whole record.
constexpr uint32_t kUbootMaxLen = 0x80000;       // 512 KiB
constexpr uint32_t kKernelMaxRecord = 0x300000;  // 3 MiB
constexpr uint32_t kRfsMaxRecord = 0xF00000;     // 15 MiB
constexpr uint32_t kDftMaxRecord = 0x40000;      // 256 KiB
constexpr uint32_t kDiagsMaxRecord = 0xA00000;   // 10 MiB

// Where the installed copy of the boot loader's version header lies within
// the boot-loader partition (its payload carries no record header).
constexpr uint32_t kUbootHeaderOffset = 240;

// Slot files are written in pieces of this many bytes.
constexpr uint32_t kSlotPieceSize = 65536;

// Fills the 16 bytes at `header` with the stored header of what is
// installed for type `magic` (slot file `slot` for IMAGE_APPLICATION, other
// types ignore `slot`); the area is zeroed first and whatever cannot be
// read stays zero. 1 when the type is known and, for the application, the
// slot file opened; 0 otherwise (null `header`: nothing at all happens).
// An unknown type prints "Unknown image type 0x%x \n".
int read_flash_image_header(uint32_t magic, uint8_t *header, int slot);

// 1 when the installed header of the record's type equals the stored
// header `header` (for the boot loader, its bytes 4..15 only), 0 otherwise.
// A header alone can lie: see record_already_installed.
int verifyMatchingHeaders(const uint8_t *header, int slot);

// 1 when `record` (len + 16 bytes) is really what is
// installed: the headers match and every installed byte equals the
// record's (the boot loader's payload, or the whole record). An install
// writes the header first, so after a power cut the header of a half-
// written partition or slot file already matches; only the bytes tell.
// A boot-loader payload that does not carry its record's header at byte
// 240 is judged by its bytes alone.
int record_already_installed(const ImageRecord &record, int slot);

// Installs every record of the image file `path` in file order, up to its
// end or its first header of unknown type. `skip_same` non-zero skips
// records already installed; `slot` 1 or 2 puts application records into
// that slot, 0 asks the operator (and may boot the record at once, in
// which case the call does not return). 1 when the file was worked through
// and at least one record was written; 0 when nothing was written or any
// step failed (records written before the failure stay written).
int processTroveImage(const char *path, uint8_t skip_same, int slot);
