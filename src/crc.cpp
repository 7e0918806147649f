#include "crc.h"

#include <array>
#include <cstddef>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

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


// Runs the register over 16 bytes (slicing-by-16).
inline uint32_t step16(uint32_t crc, const uint8_t *p)
{
    const uint32_t w0 = load_le32(p) ^ crc;
    const uint32_t w1 = load_le32(p + 4);
    const uint32_t w2 = load_le32(p + 8);
    const uint32_t w3 = load_le32(p + 12);
    return kTables[15][byte_of(w0, 0)] ^ kTables[14][byte_of(w0, 1)] ^
           kTables[13][byte_of(w0, 2)] ^ kTables[12][byte_of(w0, 3)] ^
           kTables[11][byte_of(w1, 0)] ^ kTables[10][byte_of(w1, 1)] ^
           kTables[9][byte_of(w1, 2)] ^ kTables[8][byte_of(w1, 3)] ^
           kTables[7][byte_of(w2, 0)] ^ kTables[6][byte_of(w2, 1)] ^
           kTables[5][byte_of(w2, 2)] ^ kTables[4][byte_of(w2, 3)] ^
           kTables[3][byte_of(w3, 0)] ^ kTables[2][byte_of(w3, 1)] ^
           kTables[1][byte_of(w3, 2)] ^ kTables[0][byte_of(w3, 3)];
}

// Runs the register over 8 bytes (slicing-by-8).
inline uint32_t step8(uint32_t crc, const uint8_t *p)
{
    const uint32_t lo = load_le32(p) ^ crc;
    const uint32_t hi = load_le32(p + 4);
    return kTables[7][byte_of(lo, 0)] ^ kTables[6][byte_of(lo, 1)] ^
           kTables[5][byte_of(lo, 2)] ^ kTables[4][byte_of(lo, 3)] ^
           kTables[3][byte_of(hi, 0)] ^ kTables[2][byte_of(hi, 1)] ^
           kTables[1][byte_of(hi, 2)] ^ kTables[0][byte_of(hi, 3)];
}

// Large buffers are cut into blocks of kLanes stripes that are run as
// independent registers in one loop, so that the table look-ups of the
// stripes overlap instead of waiting on one long dependency chain. The
// update is linear: running register r over a stripe equals advancing r
// over as many zero bytes and XORing the register that the stripe gives
// from 0, which joins the stripes back together.
constexpr uint32_t kLanes = 4;
constexpr uint32_t kStripe = 4096;
constexpr uint32_t kBlock = kLanes * kStripe;

// Advancing a register over kStripe zero bytes is a linear map; these tables
// apply it one register byte at a time.
using ShiftTables = std::array<std::array<uint32_t, 256>, 4>;

constexpr uint32_t zeros_advance(uint32_t crc, uint32_t count)
{
    while (count--)
        crc = (crc >> 8) ^ kTables[0][crc & 0xFFu];
    return crc;
}

constexpr ShiftTables make_shift_tables()
{
    // The map of each single register bit, then every byte value from them.
    std::array<uint32_t, 32> bit_image{};
    for (int bit = 0; bit < 32; bit++)
        bit_image[bit] = zeros_advance(1u << bit, kStripe);
    ShiftTables t{};
    for (int k = 0; k < 4; k++)
        for (uint32_t n = 0; n < 256; n++) {
            uint32_t image = 0;
            for (int bit = 0; bit < 8; bit++)
                if (n & (1u << bit))
                    image ^= bit_image[8 * k + bit];
            t[k][n] = image;
        }
    return t;
}

const ShiftTables kShift = make_shift_tables();

inline uint32_t advance_stripe(uint32_t crc)
{
    return kShift[0][byte_of(crc, 0)] ^ kShift[1][byte_of(crc, 1)] ^ kShift[2][byte_of(crc, 2)] ^
           kShift[3][byte_of(crc, 3)];
}

inline uint32_t run_block(uint32_t crc, const uint8_t *p)
{
    uint32_t lane[kLanes] = {crc};
    for (uint32_t i = 0; i < kStripe; i += 8)
        for (uint32_t k = 0; k < kLanes; k++)
            lane[k] = step8(lane[k], p + k * kStripe + i);
    uint32_t joined = lane[0];
    for (uint32_t k = 1; k < kLanes; k++)
        joined = advance_stripe(joined) ^ lane[k];
    return joined;
}

#if defined(__x86_64__)
// x86-64 hosts (the build machines that check every image) fold 64 bytes
// per step with carry-less multiplication, then hand the folded 16 bytes to
// the tables. The constants are x^n mod P for the fold distances of 512 and
// 128 bits, bit-reflected, as the reflected polynomial needs.
__attribute__((target("pclmul,sse2"))) inline __m128i fold(__m128i x, __m128i k)
{
    return _mm_xor_si128(_mm_clmulepi64_si128(x, k, 0x00), _mm_clmulepi64_si128(x, k, 0x11));
}

__attribute__((target("pclmul,sse2"))) uint32_t clmul_crc(uint32_t crc, const uint8_t *&p,
                                                          uint32_t &count)
{
    const __m128i fold512 = _mm_set_epi64x(0x1c6e41596LL, 0x154442bd4LL);
    const __m128i fold128 = _mm_set_epi64x(0x0ccaa009eLL, 0x1751997d0LL);
    auto load = [](const uint8_t *q) { return _mm_loadu_si128(reinterpret_cast<const __m128i *>(q)); };

    __m128i x0 = _mm_xor_si128(load(p), _mm_cvtsi32_si128(int(crc)));
    __m128i x1 = load(p + 16), x2 = load(p + 32), x3 = load(p + 48);
    p += 64;
    count -= 64;
    for (; count >= 64; count -= 64, p += 64) {
        x0 = _mm_xor_si128(fold(x0, fold512), load(p));
        x1 = _mm_xor_si128(fold(x1, fold512), load(p + 16));
        x2 = _mm_xor_si128(fold(x2, fold512), load(p + 32));
        x3 = _mm_xor_si128(fold(x3, fold512), load(p + 48));
    }
    __m128i x = _mm_xor_si128(fold(x0, fold128), x1);
    x = _mm_xor_si128(fold(x, fold128), x2);
    x = _mm_xor_si128(fold(x, fold128), x3);
    for (; count >= 16; count -= 16, p += 16)
        x = _mm_xor_si128(fold(x, fold128), load(p));
    uint8_t folded[16];
    _mm_storeu_si128(reinterpret_cast<__m128i *>(folded), x);
    return step16(0, folded);
}

bool have_clmul()
{
    static const bool supported = __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("sse2");
    return supported;
}
#endif

uint32_t tables_crc(const uint8_t *p, uint32_t count, uint32_t crc)
{
    for (; count >= kBlock; count -= kBlock, p += kBlock)
        crc = run_block(crc, p);
    for (; count >= 16; count -= 16, p += 16)
        crc = step16(crc, p);
    while (count--)
        crc = (crc >> 8) ^ kTables[0][(crc ^ *p++) & 0xFFu];
    return crc;
}

} // namespace

uint32_t gen_crc_portable(const void *bytes, uint32_t count, uint32_t start)
{
    return tables_crc(static_cast<const uint8_t *>(bytes), count, start);
}

uint32_t gen_crc(const void *bytes, uint32_t count, uint32_t start)
{
    const uint8_t *p = static_cast<const uint8_t *>(bytes);
    uint32_t crc = start;
#if defined(__x86_64__)
    if (count >= 64 && have_clmul())
        crc = clmul_crc(crc, p, count);
#endif
    return tables_crc(p, count, crc);
}

int CheckCrc(const void *bytes, uint32_t count, uint32_t expected)
{
    return gen_crc(bytes, count, 0xFFFFFFFFu) != expected ? 1 : 0;
}

uint32_t swapw(uint32_t word)
{
    return (word >> 24) | ((word >> 8) & 0x0000FF00u) | ((word << 8) & 0x00FF0000u) | (word << 24);
}
