#include "image.h"

#include "crc.h"

#include <cstdio>
#include <strings.h>

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

uint32_t image_record_crc(const uint8_t *record, uint32_t len)
{
    return gen_crc(record + IMAGE_CRC_START, len + (IMAGE_HEADER_SIZE - IMAGE_CRC_START), 0xFFFFFFFFu);
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
