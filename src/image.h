// Image records: a 16-byte header of four big-endian words, then `len`
// payload bytes. Image files are records back to back. Every reader of
// records (the slot scan and extraction, the rescue partition, the
// installer, the image tool) decodes headers, bounds `len` and checks the
// CRC here, with the reader below.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <vector>

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
// 1 when `magic` is IMAGE_APPLICATION or IMAGE_DIAGS: a record that the
// boot can launch.
int image_type_bootable(uint32_t magic);

// Short lower-case name of a record type ("application", "uboot", "kernel",
// "rfs", "dft", "diags"), or nullptr for an unknown type word.
const char *image_type_name(uint32_t magic);

// Type word for a name: the short name or the IMAGE_ constant's name, in
// any case; 0 when the name is none of them.
uint32_t image_type_from_name(const char *name);

// "a.b.c.d" from an id word, most significant byte first. Returns `out`.
char *image_version_text(uint32_t id, char *out, size_t out_size);

// Diagnostic dump of a header in native order: four lines on stdout when
// `show` is non-zero, nothing otherwise.
void display_header(const ImageHeader *header, int show);

// --- The record reader -------------------------------------------------------
// A record's header as read: decoded, and as stored (the CRC starts on its
// words from byte 4).
struct RecordHead {
    ImageHeader header;
    uint8_t stored[IMAGE_HEADER_SIZE];
};

// A record read whole: its decoded header and its bytes as stored (header,
// then payload): `len` + 16 of them unless its source ended first.
struct ImageRecord {
    ImageHeader header;
    std::vector<uint8_t> bytes;
};

// Decodes 16 stored bytes.
RecordHead record_head(const uint8_t *stored);
// Reads the 16 header bytes at the stream's position. 1 when all came.
int read_record_head(FILE *in, RecordHead *head);

// How a reader bounds `len` by what its source holds.
enum RecordBound {
    // The whole record must lie in the source: a longer one is refused
    // before any of it is read (the slot scan and extraction, the rescue
    // partition, the image tool).
    kRecordWhole,
    // The bytes that are there are read, and the CRC check turns a record
    // cut short away (the installer, whose message shows the CRC of what
    // came).
    kRecordAsFarAsItGoes,
};
// The payload bytes to read for `header` when `room` bytes lie in the
// source from the record's first byte on; -1 when the record is refused.
// Computed in 64 bits: no `len` wraps it.
int64_t record_payload_to_read(const ImageHeader &header, uint64_t room, RecordBound bound);
// The bytes from the stream's position to the end of its file. 0 when that
// cannot be told (not a regular file, no position).
int stream_room(FILE *in, uint64_t *room);

// What reading a record came to.
enum RecordRead {
    kRecordGood,     // whole, and its CRC matches
    kRecordBadCrc,   // whole, but the CRC does not match
    kRecordCutShort, // the source ended first (or could not be read)
    kRecordNoMemory, // no buffer could be had
};
// Reads the payload that follows `head` on `in` in pieces, computing the
// record's CRC (into `*crc`) on the way, and writes each piece to `copy`
// unless it is null (its write errors stay in its error flag). The payload
// is read as `len` says: bound it first.
RecordRead stream_record(FILE *in, const RecordHead &head, FILE *copy, uint32_t *crc);
// Reads `payload` bytes (bounded by record_payload_to_read) after `head` on
// `in` into `record`, header first. kRecordGood once read (what came may be
// less: check_record judges it), or kRecordNoMemory (`record` left empty).
RecordRead read_record(FILE *in, const RecordHead &head, uint32_t payload, ImageRecord *record);
// Judges a record read whole, with the CRC of what it holds into `*crc`.
RecordRead check_record(const ImageRecord &record, uint32_t *crc);
// Room for `size` (at least 16) bytes in `record`, the 16 stored header
// bytes first and decoded into its header; or kRecordNoMemory with
// `record` left empty. For readers that fill the rest themselves (the
// rescue partition's flash).
RecordRead allocate_record(const uint8_t *stored, uint64_t size, ImageRecord *record);
