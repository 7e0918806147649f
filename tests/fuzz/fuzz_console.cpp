// Keys at the console: byte 0 picks the line editor alone (with a buffer of
// that many bytes) or, when 0, the rescue menu with its actions (USB install
// from a stick holding two images, versions, erase and diagnostics, serial
// download whose port does not open, reboot, exit).
#include "console.h"
#include "fuzz_support.h"
#include "rescue.h"

#include <vector>

// The rescue partition's boot writes to the host's /tmp; its parsing is
// the installer's and the extraction's, fuzzed on their own.
extern "C" int __wrap__Z24extract_image_from_flashv()
{
    return 0;
}

// The stick holds one image: an application record (version 1.2.3.4,
// payload "abc").
const uint8_t kStickImage[] = {0xa5, 0xaf, 0x3b, 0x7a, 0, 0, 0, 3, 0x01, 0x50,
                               0x47, 0x54, 1, 2, 3, 4, 'a', 'b', 'c'};

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const std::string stick = fuzz_file("mnt/usb/app.img", kStickImage, sizeof kStickImage);
    if (size < 1)
        return 0;
    fuzz_reset_board();
    fuzz_stdin(data + 1, size - 1);
    try {
        if (data[0] == 0) {
            (void)run_rescue_mode();
        } else {
            std::vector<char> line(data[0]);
            (void)get_user_input(line.data(), line.size());
        }
    } catch (const BootEnded &) {
    }
    return 0;
}
