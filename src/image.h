// Image records: a 16-byte header of four big-endian words, then `len`
// payload bytes. Image files are records back to back.
#pragma once
#include <cstddef>
#include <cstdint>

constexpr uint32_t IMAGE_APPLICATION = 0x01504754u;
constexpr uint32_t IMAGE_UBOOT = 0x02504754u;
constexpr uint32_t IMAGE_KERNEL = 0x03504754u;
constexpr uint32_t IMAGE_RFS = 0x04504754u;
constexpr uint32_t IMAGE_DFT = 0x05504754u;
constexpr uint32_t IMAGE_DIAGS = 0x06504754u;

constexpr uint32_t IMAGE_HEADER_SIZE = 16;
// The CRC covers the record from its byte 4 (len, magic, id, payload).
constexpr uint32_t IMAGE_CRC_START = 4;

// Header words in native order once decoded.
struct ImageHeader {
    uint32_t crc;
    uint32_t len;
    uint32_t magic;
    uint32_t id;
};

// Big-endian word access that does not depend on the host's byte order.
uint32_t load_be32(const uint8_t *bytes);
void store_be32(uint8_t *bytes, uint32_t word);

// Decodes the 16 stored bytes into native words, and back.
void header_decode(const uint8_t *stored, ImageHeader *header);
void header_encode(const ImageHeader *header, uint8_t *stored);

// 1 when `magic` is one of the six record types, 0 otherwise.
int image_type_known(uint32_t magic);

// Short lower-case name of a record type ("application", "uboot", "kernel",
// "rfs", "dft", "diags"), or nullptr for an unknown type word.
const char *image_type_name(uint32_t magic);

// Type word for a name: the short name or the IMAGE_ constant's name, in
// any case; 0 when the name is none of them.
uint32_t image_type_from_name(const char *name);

// "a.b.c.d" from an id word, most significant byte first. Returns `out`.
char *image_version_text(uint32_t id, char *out, size_t out_size);

// CRC that belongs in the header of a record whose bytes (header included)
// are `record`, `len` + 16 bytes long.
uint32_t image_record_crc(const uint8_t *record, uint32_t len);

// Diagnostic dump of a header in native order: four lines on stdout when
// `show` is non-zero, nothing otherwise.
void display_header(const ImageHeader *header, int show);
