#include "image.h"

#include "crc.h"

#include <algorithm>
#include <cstdio>
#include <memory>
#include <new>
#include <stdexcept>
#include <strings.h>
#include <sys/stat.h>

uint32_t load_be32(const uint8_t *bytes)
{
    return uint32_t(bytes[0]) << 24 | uint32_t(bytes[1]) << 16 | uint32_t(bytes[2]) << 8 |
           uint32_t(bytes[3]);
}

void store_be32(uint8_t *bytes, uint32_t word)
{
    bytes[0] = uint8_t(word >> 24);
    bytes[1] = uint8_t(word >> 16);
    bytes[2] = uint8_t(word >> 8);
    bytes[3] = uint8_t(word);
}

void header_decode(const uint8_t *stored, ImageHeader *header)
{
    header->crc = load_be32(stored);
    header->len = load_be32(stored + 4);
    header->magic = load_be32(stored + 8);
    header->id = load_be32(stored + 12);
}

void header_encode(const ImageHeader *header, uint8_t *stored)
{
    store_be32(stored, header->crc);
    store_be32(stored + 4, header->len);
    store_be32(stored + 8, header->magic);
    store_be32(stored + 12, header->id);
}

namespace {

struct TypeName {
    uint32_t magic;
    const char *short_name;
    const char *constant_name;
};

constexpr TypeName kTypeNames[] = {
    {IMAGE_APPLICATION, "application", "IMAGE_APPLICATION"},
    {IMAGE_UBOOT, "uboot", "IMAGE_UBOOT"},
    {IMAGE_KERNEL, "kernel", "IMAGE_KERNEL"},
    {IMAGE_RFS, "rfs", "IMAGE_RFS"},
    {IMAGE_DFT, "dft", "IMAGE_DFT"},
    {IMAGE_DIAGS, "diags", "IMAGE_DIAGS"},
};

} // namespace

int image_type_known(uint32_t magic)
{
    return image_type_name(magic) != nullptr ? 1 : 0;
}

int image_type_bootable(uint32_t magic)
{
    return magic == IMAGE_APPLICATION || magic == IMAGE_DIAGS ? 1 : 0;
}

const char *image_type_name(uint32_t magic)
{
    for (const TypeName &t : kTypeNames)
        if (t.magic == magic)
            return t.short_name;
    return nullptr;
}

uint32_t image_type_from_name(const char *name)
{
    for (const TypeName &t : kTypeNames)
        if (strcasecmp(name, t.short_name) == 0 || strcasecmp(name, t.constant_name) == 0)
            return t.magic;
    return 0;
}

char *image_version_text(uint32_t id, char *out, size_t out_size)
{
    snprintf(out, out_size, "%d.%d.%d.%d", int(id >> 24), int((id >> 16) & 0xFF),
             int((id >> 8) & 0xFF), int(id & 0xFF));
    return out;
}

void display_header(const ImageHeader *header, int show)
{
    if (!show)
        return;
    printf("  crc: 0x%08x\n", (unsigned)header->crc);
    printf("  len: 0x%08x\n", (unsigned)header->len);
    printf("magic: 0x%08x\n", (unsigned)header->magic);
    printf("   id: 0x%08x\n", (unsigned)header->id);
}

// --- The record reader -------------------------------------------------------

namespace {

// Streamed records pass through this much memory: a large application is
// neither held in RAM next to its unpacked copy in /tmp nor read twice.
constexpr uint32_t kStreamChunk = 256 * 1024;

// The CRC of the header's covered words, where every record's CRC starts.
uint32_t head_crc(const uint8_t *stored)
{
    return gen_crc(stored + IMAGE_CRC_START, IMAGE_HEADER_SIZE - IMAGE_CRC_START, 0xFFFFFFFFu);
}

// The verdict on a record whose bytes all came: the stored CRC against the
// one computed.
RecordRead crc_verdict(const ImageHeader &header, uint32_t crc)
{
    return crc == header.crc ? kRecordGood : kRecordBadCrc;
}

} // namespace

RecordHead record_head(const uint8_t *stored)
{
    RecordHead head;
    std::copy(stored, stored + IMAGE_HEADER_SIZE, head.stored);
    header_decode(stored, &head.header);
    return head;
}

int read_record_head(FILE *in, RecordHead *head)
{
    uint8_t stored[IMAGE_HEADER_SIZE];
    if (fread(stored, 1, sizeof stored, in) != sizeof stored)
        return 0;
    *head = record_head(stored);
    return 1;
}

int64_t record_payload_to_read(const ImageHeader &header, uint64_t room, RecordBound bound)
{
    const uint64_t after_header = room > IMAGE_HEADER_SIZE ? room - IMAGE_HEADER_SIZE : 0;
    if (header.len <= after_header && room >= IMAGE_HEADER_SIZE)
        return header.len;
    if (bound == kRecordWhole)
        return -1;
    return int64_t(after_header);
}

int stream_room(FILE *in, uint64_t *room)
{
    struct stat info;
    const long at = ftell(in);
    if (at < 0 || fstat(fileno(in), &info) != 0 || !S_ISREG(info.st_mode))
        return 0;
    *room = uint64_t(info.st_size) > uint64_t(at) ? uint64_t(info.st_size) - uint64_t(at) : 0;
    return 1;
}

RecordRead stream_record(FILE *in, const RecordHead &head, FILE *copy, uint32_t *crc)
{
    *crc = head_crc(head.stored);
    std::unique_ptr<uint8_t[]> chunk(new (std::nothrow) uint8_t[kStreamChunk]);
    if (!chunk)
        return kRecordNoMemory;
    for (uint32_t left = head.header.len; left > 0;) {
        const uint32_t n = left < kStreamChunk ? left : kStreamChunk;
        if (fread(chunk.get(), 1, n, in) != n)
            return kRecordCutShort;
        *crc = gen_crc(chunk.get(), n, *crc);
        if (copy)
            (void)fwrite(chunk.get(), 1, n, copy);
        left -= n;
    }
    return crc_verdict(head.header, *crc);
}

RecordRead allocate_record(const uint8_t *stored, uint64_t size, ImageRecord *record)
{
    std::vector<uint8_t>().swap(record->bytes); // gives an earlier block back at once
    header_decode(stored, &record->header);
    if (size > SIZE_MAX)
        return kRecordNoMemory;
    try {
        record->bytes.resize(size_t(size));
    } catch (const std::exception &) {
        std::vector<uint8_t>().swap(record->bytes);
        return kRecordNoMemory;
    }
    std::copy(stored, stored + IMAGE_HEADER_SIZE, record->bytes.begin());
    return kRecordGood;
}

RecordRead read_record(FILE *in, const RecordHead &head, uint32_t payload, ImageRecord *record)
{
    if (allocate_record(head.stored, uint64_t(payload) + IMAGE_HEADER_SIZE, record) != kRecordGood)
        return kRecordNoMemory;
    const size_t got = fread(record->bytes.data() + IMAGE_HEADER_SIZE, 1, payload, in);
    record->bytes.resize(IMAGE_HEADER_SIZE + got);
    return kRecordGood;
}

RecordRead check_record(const ImageRecord &record, uint32_t *crc)
{
    const std::vector<uint8_t> &bytes = record.bytes;
    *crc = gen_crc(bytes.data() + IMAGE_CRC_START, uint32_t(bytes.size() - IMAGE_CRC_START), 0xFFFFFFFFu);
    // A record cut short never passes, whatever its bytes happen to give.
    if (bytes.size() != uint64_t(record.header.len) + IMAGE_HEADER_SIZE)
        return kRecordCutShort;
    return crc_verdict(record.header, *crc);
}
