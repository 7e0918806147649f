// CRC-32 of image records: reflected polynomial 0xEDB88320, no final
// inversion (with start value 0xFFFFFFFF this is CRC-32/JAMCRC, the bitwise
// complement of zlib's crc32).
#pragma once
#include <cstdint>

// Runs the CRC register over `count` bytes from `start` and returns it
// without a final inversion. A new computation starts at 0xFFFFFFFF; a
// record checked in pieces passes the register from the previous piece.
uint32_t gen_crc(const void *bytes, uint32_t count, uint32_t start);

// The same result from the portable table-driven code alone, which is what
// runs on the target; gen_crc uses carry-less multiplication where the host
// has it. For tests and benchmarks.
uint32_t gen_crc_portable(const void *bytes, uint32_t count, uint32_t start);

// 0 when gen_crc(bytes, count, 0xFFFFFFFF) equals `expected`, 1 otherwise
// (a mismatch). Records are checked from their byte 4 on.
[[nodiscard]] int CheckCrc(const void *bytes, uint32_t count, uint32_t expected);

// The word with its four bytes in reverse order.
uint32_t swapw(uint32_t word);
