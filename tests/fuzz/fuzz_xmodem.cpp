// The XMODEM receiver's byte stream, on a scripted serial line in virtual
// time (sim/simline), so that the receiver's waits take no wall time. The
// input is what the sender puts on the line, in pieces: a two-byte
// big-endian head, then that many bytes (the head's low 12 bits). The
// head's top bit sends the piece without waiting for the receiver's answer
// to the one before; the next three bits pick the pause before it, around
// the receiver's timeouts.
#include "simline.h"
#include "xmodem.h"

#include <algorithm>
#include <string>
#include <unistd.h>

namespace {

const int kPausesMs[] = {0, 500, 1500, 2500, 4000, 6000, 20000, 60000};
const uint8_t kEnter[] = {'\r'};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const std::string file = "/dev/shm/fuzz-xmodem-" + std::to_string(getpid());
    serial_device = "/fuzz/ttyS0";
    simline_start(serial_device);
    simline_send(kEnter, 1); // the operator's Enter at 115200
    for (size_t at = 0; at + 2 <= size;) {
        const unsigned head = unsigned(data[at] << 8 | data[at + 1]);
        const size_t len = std::min(size_t(head & 0xFFF), size - at - 2);
        simline_send(data + at + 2, len, kPausesMs[head >> 12 & 7], !(head & 0x8000));
        at += 2 + len;
    }
    (void)Xmodem1K(file.c_str());
    return 0;
}
