// The record scan and payload check of slot files.
#include "extract.h"
#include "fixture.h"

#include <memory>

namespace {

using File = std::unique_ptr<FILE, int (*)(FILE *)>;

// The scan for the first bootable record, from the start whatever the
// stream's position: the header left behind and, when found, the stream's
// position; then the payload checked on its way to the archive, which held
// bytes before: a good one is written, anything else leaves it empty.
TEST(SlotFile, ScanAndPayload)
{
    const auto temporary = [](const Bytes &bytes) {
        File f(tmpfile(), &fclose);
        fwrite(bytes.data(), 1, bytes.size(), f.get());
        rewind(f.get());
        return f;
    };
    const auto after_a_record = [](const Bytes &b) { return concat({make_header(IMAGE_KERNEL, 4), Bytes(4), b}); };
    const auto flipped = [](Bytes bytes, size_t at) { bytes[at] ^= 0x10; return bytes; };
    const uint32_t kUntouched = 0x12345678;
    const Bytes payload = {0x1F, 0x8B, 8, 0, 1, 2, 3}, big = pattern(600 * 1024 + 7, 3); // 3 chunks of the stream
    const Bytes app = make_record(IMAGE_APPLICATION, payload), big_record = make_record(IMAGE_DIAGS, big);
    const Bytes good = after_a_record(app);
    const Bytes example = {0xa5, 0xaf, 0x3b, 0x7a, 0, 0, 0, 3, 1, 0x50, 0x47, 0x54, 1, 2, 3, 4, 'a', 'b', 'c'};
    const struct { Bytes file; uint32_t magic; long found_at; Bytes archive; } cases[] = {
        {example, IMAGE_APPLICATION, 0, {'a', 'b', 'c'}}, // the record layout, byte for byte
        {concat({make_header(IMAGE_KERNEL, 1000), Bytes(1000), app}), IMAGE_APPLICATION, 1016, payload},
        {concat({big_record, app}), IMAGE_DIAGS, 0, big},
        {concat({make_record(IMAGE_UBOOT, Bytes(8)), make_record(IMAGE_RFS, {2})}), IMAGE_RFS, -1, {}},
        {Bytes(15, 0x01), kUntouched, -1, {}},
        {concat({make_record(IMAGE_KERNEL, Bytes(4)), Bytes(10)}), IMAGE_KERNEL, -1, {}},
        {concat({make_header(IMAGE_KERNEL, 100000), app}), IMAGE_KERNEL, -1, {}},
        // 16 + len takes the 32-bit offset back to the record or before it.
        {after_a_record(make_header(IMAGE_RFS, 0xFFFFFFF0u)), IMAGE_RFS, -1, {}},
        {after_a_record(make_header(IMAGE_RFS, 0xFFFFFFFFu)), IMAGE_RFS, -1, {}},
        {after_a_record(make_header(IMAGE_RFS, 0xFFFFFFE0u)), IMAGE_RFS, -1, {}},
        // Found, but cut short, altered (the last chunk, the CRC word, id) or
        // claiming more than any file holds.
        {Bytes(good.begin(), good.end() - 1), IMAGE_APPLICATION, 20, {}},
        {flipped(big_record, big_record.size() - 3), IMAGE_DIAGS, 0, {}},
        {flipped(good, 20 + 3), IMAGE_APPLICATION, 20, {}},
        {flipped(good, 20 + 13), IMAGE_APPLICATION, 20, {}},
        {concat({make_header(IMAGE_APPLICATION, 0xFFFFFFFFu), payload}), IMAGE_APPLICATION, 0, {}},
    };
    for (const auto &c : cases) {
        const File in = temporary(c.file), out = temporary({'o', 'l', 'd'});
        ASSERT_EQ(fseek(in.get(), 7, SEEK_SET), 0);
        ImageHeader header = {0, 0, kUntouched, 0};
        EXPECT_EQ(parse_image(in.get(), &header), c.found_at < 0 ? 0 : 1) << testing::PrintToString(c.file);
        EXPECT_EQ(header.magic, c.magic);
        if (c.found_at < 0)
            continue;
        EXPECT_EQ(ftell(in.get()), c.found_at);
        EXPECT_EQ(extract_record_payload(in.get(), out.get()), c.archive.empty() ? 0 : 1);
        Bytes archive(c.archive.size() + 8);
        rewind(out.get());
        archive.resize(fread(archive.data(), 1, archive.size(), out.get()));
        EXPECT_TRUE(archive == c.archive);
    }
}

} // namespace
