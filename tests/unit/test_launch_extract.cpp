// Slot-file image extraction (record scan and record read), the rescue
// partition's record and the recovery-install answer. What the launch then
// does with them (commands, messages, VPD) is asserted end to end on the
// virtual switch (tests/system/test_boot_rescue_image.py and friends).
#include "launch_fixture.h"

#include <cstdio>
#include <memory>
#include <unistd.h>

namespace {

using Strings = std::vector<std::string>;
using Bytes = std::vector<uint8_t>;

const Bytes kPayload = {0x1F, 0x8B, 8, 0, 1, 2, 3, 4, 5, 6, 7};

// `bytes` behind a kernel record of 4 bytes.
Bytes after_a_record(const Bytes &bytes)
{
    return concat({make_header(IMAGE_KERNEL, 4), Bytes(4, 0), bytes});
}

Bytes flipped(Bytes bytes, size_t at, uint8_t mask = 0x01)
{
    bytes[at] ^= mask;
    return bytes;
}

// A temporary file holding `bytes`, read from its start.
using File = std::unique_ptr<FILE, int (*)(FILE *)>;
File temporary(const Bytes &bytes)
{
    File f(tmpfile(), &fclose);
    if (!bytes.empty())
        fwrite(bytes.data(), 1, bytes.size(), f.get());
    rewind(f.get());
    return f;
}

// --- parse_image ------------------------------------------------------------

constexpr uint32_t kUntouched = 0x12345678; // the header's magic before the scan

struct ScanCase {
    const char *what;
    Bytes file;
    int found;
    uint32_t magic; // of the header left behind
    long position;  // of the stream, checked when found
    long start = 0; // of the stream before the scan
};

TEST(ParseImage, ScanForTheBootableRecord)
{
    const Bytes app = make_record(IMAGE_APPLICATION, kPayload);
    const ScanCase cases[] = {
        {"skips records by their length",
         concat({make_header(IMAGE_KERNEL, 1000), Bytes(1000, 0xAA), app}), 1, IMAGE_APPLICATION, 1016},
        {"diagnostics record first", concat({make_record(IMAGE_DIAGS, kPayload), app}), 1, IMAGE_DIAGS, 0},
        {"skipped records are not checked",
         concat({flipped(make_record(IMAGE_KERNEL, Bytes(40, 1)), 0, 0xFF), app}), 1, IMAGE_APPLICATION, 56},
        {"rescans from the start", after_a_record(app), 1, IMAGE_APPLICATION, 20, 7},
        {"no bootable record", concat({make_record(IMAGE_UBOOT, Bytes(8, 1)), make_record(IMAGE_RFS, {2})}),
         0, IMAGE_RFS, 0},
        {"shorter than a header", Bytes(15, 0x01), 0, kUntouched, 0},
        {"empty", Bytes{}, 0, kUntouched, 0},
        {"second header truncated", concat({make_record(IMAGE_KERNEL, Bytes(4, 1)), Bytes(10, 1)}), 0,
         IMAGE_KERNEL, 0},
        {"length past the end", concat({make_header(IMAGE_KERNEL, 100000), app}), 0, IMAGE_KERNEL, 0},
        // 16 + len wraps the offset to itself or back: the scan must end.
        {"offset stands still", after_a_record(make_header(IMAGE_RFS, 0xFFFFFFF0u)), 0, IMAGE_RFS, 0},
        {"offset goes back by one", after_a_record(make_header(IMAGE_RFS, 0xFFFFFFFFu)), 0, IMAGE_RFS, 0},
        {"offset goes back by 16", after_a_record(make_header(IMAGE_RFS, 0xFFFFFFE0u)), 0, IMAGE_RFS, 0},
    };
    for (const ScanCase &c : cases) {
        SCOPED_TRACE(c.what);
        const File f = temporary(c.file);
        ASSERT_EQ(fseek(f.get(), c.start, SEEK_SET), 0);
        ImageHeader header = {0, 0, kUntouched, 0};
        EXPECT_EQ(parse_image(f.get(), &header), c.found);
        EXPECT_EQ(header.magic, c.magic);
        if (c.found) {
            EXPECT_EQ(ftell(f.get()), c.position);
        }
    }
}

// --- extract_record_payload, record_crc_good --------------------------------

// extract_record_payload on the record that parse_image finds in `file`:
// its result and what it left in an archive that held bytes before.
std::pair<int, Bytes> extract_from(const Bytes &file)
{
    const File in = temporary(file);
    ImageHeader header = {};
    EXPECT_EQ(parse_image(in.get(), &header), 1);
    const File out = temporary({'s', 't', 'a', 'l', 'e'});
    const int result = extract_record_payload(in.get(), header, out.get());
    fflush(out.get());
    rewind(out.get());
    Bytes archive;
    for (int c; (c = getc(out.get())) != EOF;)
        archive.push_back(uint8_t(c));
    return {result, archive};
}

TEST(ExtractPayload, GoodPayloadIsWrittenAnyDamageEmptiesTheArchive)
{
    Bytes big(600 * 1024 + 7); // larger than the streaming chunk
    for (size_t i = 0; i < big.size(); i++)
        big[i] = uint8_t(i * 31 + (i >> 11));
    const Bytes big_record = make_record(IMAGE_DIAGS, big);
    EXPECT_EQ(extract_from(big_record), std::make_pair(1, big));
    const Bytes good = make_record(IMAGE_APPLICATION, kPayload);
    EXPECT_EQ(extract_from(after_a_record(good)), std::make_pair(1, kPayload));
    EXPECT_EQ(record_crc_good(good), 1);
    EXPECT_EQ(record_crc_good(Bytes(10, 0)), 0);

    std::vector<Bytes> damaged = {
        Bytes(good.begin(), good.end() - 1),              // cut short
        flipped(big_record, big_record.size() - 3, 0x10), // in the last chunk
    };
    // The CRC covers length, type, id and payload, not the CRC word itself.
    for (size_t at : {size_t(0), size_t(5), size_t(9), size_t(13), size_t(16), good.size() - 1}) {
        EXPECT_EQ(record_crc_good(flipped(good, at)), 0) << at;
        if (at != 9) // a changed type word is no longer found by the scan
            damaged.push_back(flipped(good, at));
    }
    for (uint32_t len : {0xFFFFFFFFu, 0xFFFFFFF0u, 0x7FFFFFFFu})
        damaged.push_back(concat({make_header(IMAGE_APPLICATION, len), kPayload}));
    for (size_t i = 0; i < damaged.size(); i++)
        EXPECT_EQ(extract_from(damaged[i]), std::make_pair(0, Bytes{})) << "damaged record " << i;
}

// --- the rescue partition's record -------------------------------------------

struct RescueCase {
    const char *what;
    Bytes stored; // at the start of the erased partition
    RescueRead result;
    Strings reads; // the partition's read log
    bool open = true;
    const char *fault = nullptr;
};

TEST_F(LaunchTest, RescuePartitionRecord)
{
    const uint32_t partition = simdev_mtd_size("mtd-rescue");
    const Strings header_only = {"mtd-rescue read 0x00000000 16"};
    const Bytes diags = make_record(IMAGE_DIAGS, kPayload);
    const Bytes full = make_record(IMAGE_DIAGS, Bytes(partition - 16, 0x5A));
    const RescueCase cases[] = {
        {"erased", {}, kRescueNotFound, header_only},
        {"another type", make_record(IMAGE_KERNEL, kPayload), kRescueNotFound, header_only},
        {"flash not opened", diags, kRescueNotFound, {}, false},
        {"header unreadable", diags, kRescueNotFound, {"mtd-rescue read 0x00000000 16 -> EIO"}, true,
         "fail-read mtd-rescue"},
        {"good", diags, kRescueGood, {header_only[0], "mtd-rescue read 0x00000000 27"}},
        {"filling the partition", full, kRescueGood,
         {header_only[0], "mtd-rescue read 0x00000000 " + std::to_string(partition)}},
        {"payload altered", flipped(make_record(IMAGE_APPLICATION, kPayload), 26, 0x40), kRescueBad,
         {header_only[0], "mtd-rescue read 0x00000000 27"}},
        // A record larger than the partition is refused before it is read.
        {"one byte too large", make_header(IMAGE_DIAGS, partition - 15), kRescueBad, header_only},
        {"len near 4 GiB", make_header(IMAGE_DIAGS, 0xFFFFFFF0u), kRescueBad, header_only},
        {"len of 4 GiB - 1", make_header(IMAGE_DIAGS, 0xFFFFFFFFu), kRescueBad, header_only},
    };
    for (const RescueCase &c : cases) {
        SCOPED_TRACE(c.what);
        flash_reset_state();
        simdev_clear_faults();
        const Bytes erased(partition, 0xFF);
        ASSERT_EQ(simdev_poke("mtd-rescue", 0, erased.data(), partition), 0);
        ASSERT_EQ(simdev_poke("mtd-rescue", 0, c.stored.data(), uint32_t(c.stored.size())), 0);
        if (c.open)
            init_flash();
        simdev_log_clear();
        if (c.fault) {
            ASSERT_EQ(simdev_add_fault(c.fault), 0);
        }
        Bytes record = {1, 2, 3};
        EXPECT_EQ(stdout_of([&] { EXPECT_EQ(read_rescue_record(record), c.result); }), "");
        if (c.result == kRescueGood) {
            EXPECT_EQ(record, c.stored);
        } else {
            EXPECT_EQ(record.capacity(), 0u);
        }
        EXPECT_EQ(log_lines("mtd-rescue read"), c.reads);
    }
}

// --- the recovery-install prompt's answer ------------------------------------

TEST(InstallAnswer, FirstCharacterOfTheWholeLine)
{
    struct {
        std::string input;
        int answer;
        std::string unread;
    } const cases[] = {
        {"1\n", '1', ""}, {"2\n", '2', ""}, {"12\n", '1', ""}, {"\n", 0, ""}, {"3\n", 0, ""}, {" 1\n", 0, ""},
        {"2", '2', ""}, // a line without its end, then end of input
        {"", -1, ""},   // end of input at once
        {"2bcdefghij\nnext\n", '2', "next\n"}, {"1\nnext\n", '1', "next\n"},
    };
    for (const auto &c : cases) {
        // The answer, and on stdout what was left unread on descriptor 0.
        const Outcome o = run_to_end(
            [] {
                const int answer = read_install_answer();
                char buf[64];
                for (ssize_t got; (got = read(0, buf, sizeof buf)) > 0;)
                    fwrite(buf, 1, size_t(got), stdout);
                return answer;
            },
            c.input);
        ASSERT_TRUE(o.returned) << c.input;
        EXPECT_EQ(o.result, c.answer) << c.input;
        EXPECT_EQ(o.out, c.unread) << c.input;
    }
}

// --- extract_image for the stick's image, when there is none -----------------

TEST_F(LaunchTest, UsbSlotWithoutAStickImageReturns)
{
    if (access("/mnt/usb/QLX5270_OS.img", F_OK) == 0)
        GTEST_SKIP() << "this host has a stick image";
    testing::internal::CaptureStderr();
    EXPECT_EQ(stdout_of([] { EXPECT_EQ(extract_image(3), 0); }), "");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Failed to open application image from USB.\n");
    // The debugger is never fetched for a boot from the stick.
    EXPECT_EQ(stdout_of([] { EXPECT_EQ(extract_gdb(3), 0); }), "");
    EXPECT_TRUE(stub_calls().empty());
}

} // namespace
