// The boot settings' parse, the record scan and payload check of slot
// files, and the rescue partition's record.
#include "extract.h"
#include "fixture.h"
#include "launch.h"
#include "rescue_partition.h"

#include <algorithm>
#include <functional>
#include <memory>

namespace {

// gdb, gdbserver, port, shell, memchk, rescue, diags.
std::vector<long> settings()
{
    return {gdb_enable, gdbserver_enable, gdbport, shell_enable, memchk_enable, rescue_enable, standalone_diags};
}

TEST(Environment, ParseRules)
{
    // The entries ('|' stands for the NUL that ends each) start at `at` of
    // the 1280 bytes; erased flash follows.
    const struct { std::string entries; std::vector<long> settings; uint32_t at; } cases[] = {
        {"", {0, 0, 1234, 0, 0, 0, 0}, 0},
        {"gdb=off|gdbserver=on", {1, 1, 1234, 0, 0, 0, 0}, 0},
        {"gdb=on|gdbserver=off", {1, 0, 1234, 0, 0, 0, 0}, 0},
        {"shell=one|memchk=ON|gdb=On", {0, 0, 1234, 1, 0, 0, 0}, 0}, // "on" in lower case only
        {"diagnostics=rescue", {0, 0, 1234, 0, 0, 1, 0}, 0},
        {"diagnostics=diags", {0, 0, 1234, 0, 0, 0, 1}, 0},
        {"gdbport=abc", {0, 0, 1234, 0, 0, 0, 0}, 0},
        {"gdbport=77x9", {0, 0, 77, 0, 0, 0, 0}, 0},
        {"gdbport=|-5", {0, 0, -5, 0, 0, 0, 0}, 0}, // the NUL reads as a space; a sign counts
        {"gdbport=99999999999999", {0, 0, 2147483647, 0, 0, 0, 0}, 0},
        // Entries are one text: "gdb=" ends "xgdb=", a value runs on past
        // its NUL, and the first occurrence wins.
        {"bootargs=console=ttyS0 shell=on|xgdb=on", {1, 0, 1234, 1, 0, 0, 0}, 0},
        {"shell=o|n=1|memchk=on|memchk=off", {0, 0, 1234, 0, 1, 0, 0}, 0},
        // "on" as the last two bytes counts; a key cut by the end does not.
        {"shell=on", {0, 0, 1234, 1, 0, 0, 0}, kUbootEnvLength - 8},
        {"shell=on", {0, 0, 1234, 0, 0, 0, 0}, kUbootEnvLength - 4},
    };
    for (const auto &c : cases) {
        launch_reset_state();
        Bytes env(kUbootEnvLength + 64, 0xFF);
        std::string text = c.entries + "|";
        std::replace(text.begin(), text.end(), '|', '\0');
        std::copy(text.begin(), text.end(), env.begin() + c.at);
        parse_uboot_env_text(env.data());
        EXPECT_EQ(settings(), c.settings) << c.entries;
    }
}

// Leaves `text` all over the stack below the caller, as an earlier call can.
__attribute__((noinline)) void fill_stack(const char *text, size_t size)
{
    volatile char junk[16384];
    for (size_t i = 0; i < sizeof junk; i++)
        junk[i] = text[i % size];
}

// Runs `action` with its locals a few KiB below the caller: inside what
// fill_stack filled.
__attribute__((noinline)) void deeper(const std::function<void()> &action)
{
    volatile char gap[4096];
    gap[0] = 0;
    action();
    (void)gap[0];
}

// Partitions shorter than the reads: what a read leaves unfilled is no
// flash content.
TEST(Launch, ShortReadsAreNotTakenForContent)
{
    TestBoard board("erasesize=1024\nmtd-ubootenv=1024\nmtd-kernel=4096\nmtd-rescue=0\n");
    fill_stack("shell=on ", 9);
    deeper([] { EXPECT_EQ(parse_uboot_env(), 0); }); // flash not opened: nothing parsed
    EXPECT_EQ(settings(), std::vector<long>({0, 0, 1234, 0, 0, 0, 0}));
    ASSERT_EQ(api_flash_init(), 0);
    poke("mtd-ubootenv", 4, {'g', 'd', 'b', '=', 'o', 'n', 0});
    fill_stack("shell=on ", 9);
    deeper([] { EXPECT_EQ(parse_uboot_env(), 0); });
    EXPECT_EQ(settings(), std::vector<long>({1, 0, 1234, 0, 0, 0, 0}));
    ImageRecord record;
    fill_stack("\x06PGT", 4); // the diagnostics type word
    deeper([&] { EXPECT_EQ(read_rescue_record(record), kRescueNotFound); });
}

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

// A rescue record larger than its partition is refused before it is read.
TEST(Launch, RescueRecordSizeLimit)
{
    TestBoard board;
    ASSERT_EQ(api_flash_init(), 0);
    const uint32_t size = simdev_mtd_size("mtd-rescue");
    const Bytes full = make_record(IMAGE_DIAGS, Bytes(size - 16, 0x5A));
    for (const Bytes &stored : {full, make_header(IMAGE_DIAGS, size - 15), make_header(IMAGE_DIAGS, 0xFFFFFFF0u),
                                make_header(IMAGE_DIAGS, 0xFFFFFFFFu)}) {
        poke("mtd-rescue", 0, stored);
        simdev_log_clear();
        ImageRecord record;
        EXPECT_EQ(read_rescue_record(record), stored == full ? kRescueGood : kRescueBad);
        EXPECT_TRUE(record.bytes == (stored == full ? full : Bytes{}));
        Strings requests = {"mtd-rescue read 0x00000000 16", "mtd-rescue info"};
        if (stored == full)
            requests.push_back("mtd-rescue read 0x00000000 " + std::to_string(size));
        EXPECT_EQ(simdev_log(), requests);
    }
}

} // namespace
