#include "crc.h"

#include <array>
#include <cstddef>

namespace {

constexpr uint32_t kPoly = 0xEDB88320u;
constexpr int kSlices = 16;

using CrcTables = std::array<std::array<uint32_t, 256>, kSlices>;

// Table k advances the register over a byte followed by k zero bytes, which
// lets the main loop consume 16 bytes per step (slicing-by-16).
constexpr CrcTables make_tables()
{
    CrcTables t{};
    for (uint32_t n = 0; n < 256; n++) {
        uint32_t c = n;
        for (int bit = 0; bit < 8; bit++)
            c = (c & 1u) ? (c >> 1) ^ kPoly : c >> 1;
        t[0][n] = c;
    }
    for (uint32_t n = 0; n < 256; n++)
        for (int k = 1; k < kSlices; k++)
            t[k][n] = (t[k - 1][n] >> 8) ^ t[0][t[k - 1][n] & 0xFFu];
    return t;
}

constexpr CrcTables kTables = make_tables();

// Assembled byte by byte so that the result is the same on big- and
// little-endian hosts; compilers turn this into one load where they can.
inline uint32_t load_le32(const uint8_t *p)
{
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

inline uint32_t byte_of(uint32_t w, int i) { return (w >> (8 * i)) & 0xFFu; }

} // namespace

uint32_t gen_crc(const void *bytes, uint32_t count, uint32_t start)
{
    const uint8_t *p = static_cast<const uint8_t *>(bytes);
    uint32_t crc = start;
    while (count >= 16) {
        uint32_t w0 = load_le32(p) ^ crc;
        uint32_t w1 = load_le32(p + 4);
        uint32_t w2 = load_le32(p + 8);
        uint32_t w3 = load_le32(p + 12);
        crc = kTables[15][byte_of(w0, 0)] ^ kTables[14][byte_of(w0, 1)] ^
              kTables[13][byte_of(w0, 2)] ^ kTables[12][byte_of(w0, 3)] ^
              kTables[11][byte_of(w1, 0)] ^ kTables[10][byte_of(w1, 1)] ^
              kTables[9][byte_of(w1, 2)] ^ kTables[8][byte_of(w1, 3)] ^
              kTables[7][byte_of(w2, 0)] ^ kTables[6][byte_of(w2, 1)] ^
              kTables[5][byte_of(w2, 2)] ^ kTables[4][byte_of(w2, 3)] ^
              kTables[3][byte_of(w3, 0)] ^ kTables[2][byte_of(w3, 1)] ^
              kTables[1][byte_of(w3, 2)] ^ kTables[0][byte_of(w3, 3)];
        p += 16;
        count -= 16;
    }
    while (count--)
        crc = (crc >> 8) ^ kTables[0][(crc ^ *p++) & 0xFFu];
    return crc;
}

int CheckCrc(const void *bytes, uint32_t count, uint32_t expected)
{
    return gen_crc(bytes, count, 0xFFFFFFFFu) != expected ? 1 : 0;
}

uint32_t swapw(uint32_t word)
{
    return (word >> 24) | ((word >> 8) & 0x0000FF00u) | ((word << 8) & 0x00FF0000u) | (word << 24);
}
