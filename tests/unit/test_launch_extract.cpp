// Slot-file image extraction (record scan and record read), the rescue
// partition's image (its record, the install prompt) and, through the rescue
// partition, launch_image runs with every command recorded.
#include "launch_fixture.h"

#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

namespace {

using Strings = std::vector<std::string>;
using Bytes = std::vector<uint8_t>;

// An image file as a temporary stream.
struct ImageFile {
    explicit ImageFile(const Bytes &bytes) : stream(tmpfile())
    {
        if (stream) {
            if (!bytes.empty())
                fwrite(bytes.data(), 1, bytes.size(), stream);
            rewind(stream);
        }
    }
    ~ImageFile()
    {
        if (stream)
            fclose(stream);
    }
    ImageFile(const ImageFile &) = delete;
    ImageFile &operator=(const ImageFile &) = delete;
    FILE *stream;
};

const Bytes kPayload = {0x1F, 0x8B, 8, 0, 1, 2, 3, 4, 5, 6, 7};

// --- parse_image ----------------------------------------------------------

TEST(ParseImage, SkipsRecordsByTheirLengthToTheApplicationRecord)
{
    ImageFile f(concat({make_header(IMAGE_KERNEL, 1000), Bytes(1000, 0xAA),
                        make_record(IMAGE_APPLICATION, kPayload)}));
    ImageHeader header = {};
    ASSERT_EQ(parse_image(f.stream, &header), 1);
    EXPECT_EQ(header.magic, IMAGE_APPLICATION);
    EXPECT_EQ(header.len, kPayload.size());
    EXPECT_EQ(ftell(f.stream), 1016);
}

TEST(ParseImage, FindsADiagnosticsRecordFirst)
{
    ImageFile f(concat({make_record(IMAGE_DIAGS, kPayload), make_record(IMAGE_APPLICATION, kPayload)}));
    ImageHeader header = {};
    ASSERT_EQ(parse_image(f.stream, &header), 1);
    EXPECT_EQ(header.magic, IMAGE_DIAGS);
    EXPECT_EQ(ftell(f.stream), 0);
}

TEST(ParseImage, SkippedRecordsAreNotChecked)
{
    // A kernel record with a wrong CRC is skipped all the same.
    Bytes kernel = make_record(IMAGE_KERNEL, Bytes(40, 1));
    kernel[0] ^= 0xFF;
    ImageFile f(concat({kernel, make_record(IMAGE_APPLICATION, kPayload)}));
    ImageHeader header = {};
    EXPECT_EQ(parse_image(f.stream, &header), 1);
    EXPECT_EQ(ftell(f.stream), 56);
}

TEST(ParseImage, NoBootableRecordLeavesTheLastHeaderRead)
{
    ImageFile f(concat({make_record(IMAGE_UBOOT, Bytes(8, 1)), make_record(IMAGE_RFS, Bytes(8, 2))}));
    ImageHeader header = {};
    EXPECT_EQ(parse_image(f.stream, &header), 0);
    EXPECT_EQ(header.magic, IMAGE_RFS);
}

TEST(ParseImage, FileShorterThanAHeaderLeavesTheHeaderUntouched)
{
    ImageFile f(Bytes(15, 0x01));
    ImageHeader header = {0, 0, 0x12345678, 0};
    EXPECT_EQ(parse_image(f.stream, &header), 0);
    EXPECT_EQ(header.magic, 0x12345678u);
}

TEST(ParseImage, EmptyFile)
{
    ImageFile f(Bytes{});
    ImageHeader header = {};
    EXPECT_EQ(parse_image(f.stream, &header), 0);
}

TEST(ParseImage, TruncatedSecondHeaderEndsTheScan)
{
    ImageFile f(concat({make_record(IMAGE_KERNEL, Bytes(4, 1)), Bytes(10, 0x01)}));
    ImageHeader header = {};
    EXPECT_EQ(parse_image(f.stream, &header), 0);
    EXPECT_EQ(header.magic, IMAGE_KERNEL);
}

TEST(ParseImage, LengthPastTheEndOfTheFileEndsTheScan)
{
    ImageFile f(concat({make_header(IMAGE_KERNEL, 100000), make_record(IMAGE_APPLICATION, kPayload)}));
    ImageHeader header = {};
    EXPECT_EQ(parse_image(f.stream, &header), 0);
}

TEST(ParseImage, LengthThatWrapsTheOffsetBackEndsTheScan)
{
    // 16 + len wraps to 0 (offset stands still) or below (offset goes back):
    // the scan must end, not loop.
    for (uint32_t len : {0xFFFFFFF0u, 0xFFFFFFFFu, 0xFFFFFFE0u}) {
        ImageFile f(concat({make_header(IMAGE_KERNEL, 8), Bytes(8, 0), make_header(IMAGE_RFS, len)}));
        ImageHeader header = {};
        EXPECT_EQ(parse_image(f.stream, &header), 0) << len;
        EXPECT_EQ(header.len, len);
    }
}

TEST(ParseImage, RescansFromTheStart)
{
    ImageFile f(concat({make_header(IMAGE_KERNEL, 4), Bytes(4, 0), make_record(IMAGE_APPLICATION, kPayload)}));
    ASSERT_EQ(fseek(f.stream, 7, SEEK_SET), 0);
    ImageHeader header = {};
    EXPECT_EQ(parse_image(f.stream, &header), 1);
    EXPECT_EQ(ftell(f.stream), 20);
}

// --- extract_record_payload, record_crc_good --------------------------------

// What extract_record_payload left in the archive, and its result.
struct Extracted {
    int result;
    Bytes archive;
};

Extracted extract_from(const Bytes &file)
{
    ImageFile f(file);
    ImageHeader header = {};
    EXPECT_EQ(parse_image(f.stream, &header), 1);
    FILE *out = tmpfile();
    // A failed attempt must leave the archive empty even after earlier bytes.
    fputs("stale", out);
    rewind(out);
    (void)ftruncate(fileno(out), 0);
    Extracted e;
    e.result = extract_record_payload(f.stream, header, out);
    fflush(out);
    rewind(out);
    int c;
    while ((c = getc(out)) != EOF)
        e.archive.push_back(uint8_t(c));
    fclose(out);
    return e;
}

TEST(ExtractPayload, WritesThePayloadOfTheRecordTheScanFound)
{
    const Bytes record = make_record(IMAGE_APPLICATION, kPayload);
    const Extracted e = extract_from(concat({make_header(IMAGE_KERNEL, 4), Bytes(4, 0), record}));
    EXPECT_EQ(e.result, 1);
    EXPECT_EQ(e.archive, kPayload);
}

TEST(ExtractPayload, PayloadsLargerThanTheStreamingChunk)
{
    Bytes payload(600 * 1024 + 7);
    for (size_t i = 0; i < payload.size(); i++)
        payload[i] = uint8_t(i * 31 + (i >> 11));
    Bytes record = make_record(IMAGE_DIAGS, payload);
    Extracted e = extract_from(record);
    EXPECT_EQ(e.result, 1);
    EXPECT_EQ(e.archive, payload);
    // A flipped bit in the last chunk fails the check and empties the archive.
    record[record.size() - 3] ^= 0x10;
    e = extract_from(record);
    EXPECT_EQ(e.result, 0);
    EXPECT_TRUE(e.archive.empty());
}

TEST(ExtractPayload, AnyChangeCoveredByTheCrcEmptiesTheArchive)
{
    const Bytes good = make_record(IMAGE_APPLICATION, kPayload);
    for (size_t at : {size_t(0), size_t(5), size_t(13), size_t(16), good.size() - 1}) {
        Bytes bad = good;
        bad[at] ^= 0x01;
        const Extracted e = extract_from(bad);
        EXPECT_EQ(e.result, 0) << at;
        EXPECT_TRUE(e.archive.empty()) << at;
    }
}

TEST(ExtractPayload, RecordCutShortOrWithAHugeLengthIsRefused)
{
    Bytes cut = make_record(IMAGE_APPLICATION, kPayload);
    cut.pop_back();
    EXPECT_EQ(extract_from(cut).result, 0);
    for (uint32_t len : {0xFFFFFFFFu, 0xFFFFFFF0u, 0x7FFFFFFFu}) {
        const Extracted e = extract_from(concat({make_header(IMAGE_APPLICATION, len), kPayload}));
        EXPECT_EQ(e.result, 0) << len;
        EXPECT_TRUE(e.archive.empty());
    }
}

TEST(FileRecord, CrcCoversLengthTypeIdAndPayloadButNotTheCrcWord)
{
    const Bytes good = make_record(IMAGE_APPLICATION, kPayload);
    EXPECT_EQ(record_crc_good(good), 1);
    for (size_t at : {size_t(0), size_t(5), size_t(9), size_t(13), size_t(16), good.size() - 1}) {
        Bytes bad = good;
        bad[at] ^= 0x01;
        EXPECT_EQ(record_crc_good(bad), 0) << at;
    }
    EXPECT_EQ(record_crc_good(Bytes(10, 0)), 0);
}

// --- the rescue partition's record -----------------------------------------

class Rescue : public LaunchTest {
protected:
    void put(const Bytes &bytes)
    {
        ASSERT_EQ(simdev_poke("mtd-rescue", 0, bytes.data(), uint32_t(bytes.size())), 0);
    }
    RescueRead read(Bytes &record)
    {
        RescueRead result = kRescueNotFound;
        EXPECT_EQ(stdout_of([&] { result = read_rescue_record(record); }), "");
        return result;
    }
};

TEST_F(Rescue, ErasedPartitionHoldsNoImage)
{
    init_flash();
    Bytes record;
    EXPECT_EQ(read(record), kRescueNotFound);
    EXPECT_EQ(log_lines("mtd-rescue read"), Strings{"mtd-rescue read 0x00000000 16"});
}

TEST_F(Rescue, OtherTypeWordHoldsNoImage)
{
    init_flash();
    put(make_record(IMAGE_KERNEL, kPayload));
    Bytes record;
    EXPECT_EQ(read(record), kRescueNotFound);
}

TEST_F(Rescue, FlashNotOpenedHoldsNoImage)
{
    put(make_record(IMAGE_DIAGS, kPayload));
    Bytes record;
    EXPECT_EQ(read(record), kRescueNotFound);
}

TEST_F(Rescue, GoodRecordIsReadWholeFromOffsetZero)
{
    init_flash();
    const Bytes diags = make_record(IMAGE_DIAGS, kPayload);
    put(diags);
    Bytes record;
    EXPECT_EQ(read(record), kRescueGood);
    EXPECT_EQ(record, diags);
    EXPECT_EQ(log_lines("mtd-rescue read"),
              (Strings{"mtd-rescue read 0x00000000 16", "mtd-rescue read 0x00000000 27"}));
}

TEST_F(Rescue, AlteredPayloadByteFailsTheCrc)
{
    init_flash();
    Bytes image = make_record(IMAGE_APPLICATION, kPayload);
    image.back() ^= 0x40;
    put(image);
    Bytes record;
    EXPECT_EQ(read(record), kRescueBad);
    EXPECT_TRUE(record.empty());
}

TEST_F(Rescue, RecordLargerThanThePartitionIsBadAndNotRead)
{
    init_flash();
    const uint32_t partition = simdev_mtd_size("mtd-rescue");
    for (uint32_t len : {partition - 15, 0xFFFFFFF0u, 0xFFFFFFFFu}) {
        simdev_log_clear();
        put(make_header(IMAGE_DIAGS, len));
        Bytes record;
        EXPECT_EQ(read(record), kRescueBad) << len;
        EXPECT_EQ(record.capacity(), 0u);
        EXPECT_EQ(log_lines("mtd-rescue read"), Strings{"mtd-rescue read 0x00000000 16"});
    }
}

TEST_F(Rescue, RecordFillingThePartitionExactlyIsRead)
{
    init_flash();
    const uint32_t partition = simdev_mtd_size("mtd-rescue");
    const Bytes image = make_record(IMAGE_DIAGS, Bytes(partition - 16, 0x5A));
    put(image);
    Bytes record;
    EXPECT_EQ(read(record), kRescueGood);
}

TEST_F(Rescue, FailedHeaderReadHoldsNoImage)
{
    init_flash();
    put(make_record(IMAGE_DIAGS, kPayload));
    ASSERT_EQ(simdev_add_fault("fail-read mtd-rescue"), 0);
    Bytes record;
    EXPECT_EQ(read(record), kRescueNotFound);
}

// --- the recovery-install prompt's answer ---------------------------------

// read_install_answer with descriptor 0 reading `input`, then end of input;
// `rest` gets what it left unread.
int answer_for(const std::string &input, std::string *rest = nullptr)
{
    int fds[2];
    if (pipe(fds) != 0)
        return -99;
    (void)!write(fds[1], input.data(), input.size());
    close(fds[1]);
    const int saved = dup(0);
    dup2(fds[0], 0);
    const int answer = read_install_answer();
    if (rest) {
        char buf[64];
        const ssize_t got = read(0, buf, sizeof buf);
        rest->assign(buf, got > 0 ? size_t(got) : 0);
    }
    dup2(saved, 0);
    close(saved);
    close(fds[0]);
    return answer;
}

TEST(InstallAnswer, SlotDigits)
{
    EXPECT_EQ(answer_for("1\n"), '1');
    EXPECT_EQ(answer_for("2\n"), '2');
    EXPECT_EQ(answer_for("12\n"), '1'); // the first character counts
    EXPECT_EQ(answer_for("2"), '2');    // line without its end, then end of input
}

TEST(InstallAnswer, OtherAnswersJustBoot)
{
    EXPECT_EQ(answer_for("\n"), 0);
    EXPECT_EQ(answer_for("3\n"), 0);
    EXPECT_EQ(answer_for(" 1\n"), 0);
}

TEST(InstallAnswer, NoInputAtAll)
{
    EXPECT_EQ(answer_for(""), -1);
}

TEST(InstallAnswer, ReadsAtMostSevenCharactersOfTheLine)
{
    std::string rest;
    EXPECT_EQ(answer_for("2bcdefghij\nnext\n", &rest), '2');
    EXPECT_EQ(rest, "hij\nnext\n");
    EXPECT_EQ(answer_for("1\nnext\n", &rest), '1');
    EXPECT_EQ(rest, "next\n");
}

// --- extract_image: the cases that touch no slot file ------------------------

TEST_F(LaunchTest, ExtractImageIgnoresOtherSlotValues)
{
    for (int slot : {0, 4, -1, 99}) {
        testing::internal::CaptureStderr();
        const std::string out = stdout_of([&] { EXPECT_EQ(extract_image(slot), 0); });
        EXPECT_EQ(out, "");
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    }
    EXPECT_TRUE(stub_calls().empty());
}

TEST_F(LaunchTest, ExtractImageWithoutAStickImageReturns)
{
    if (access("/mnt/usb/QLX5270_OS.img", F_OK) == 0)
        GTEST_SKIP() << "this host has a stick image";
    testing::internal::CaptureStderr();
    const std::string out = stdout_of([] { EXPECT_EQ(extract_image(3), 0); });
    EXPECT_EQ(out, "");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Failed to open application image from USB.\n");
}

TEST_F(LaunchTest, ExtractGdbForAUsbBootDoesNothing)
{
    const std::string out = stdout_of([] { EXPECT_EQ(extract_gdb(3), 0); });
    EXPECT_EQ(out, "");
}

// --- rescue partition to launch, end to end, every command recorded --------

class RescueBoot : public Rescue {
protected:
    void SetUp() override
    {
        Rescue::SetUp();
        if (access("/tmp/home/bin/distro-id", F_OK) == 0)
            GTEST_SKIP() << "this host has an unpacked application tree in /tmp";
    }
    static uint8_t vpd(uint16_t offset)
    {
        uint8_t value = 0;
        EXPECT_EQ(simdev_peek("i2c-0-54", offset, &value, 1), 0);
        return value;
    }
    // The launch after the unpack, with the marker missing on the host and
    // the compatibility question answered by end of input.
    static Strings launch_calls(bool diagnostics)
    {
        Strings calls = {"sleep: 1",
                         "system: cd /tmp \\ntar mxzf /tmp/velosimage.tar.gz \\nrm "
                         "/tmp/velosimage.tar.gz\\n"};
        if (diagnostics) {
            calls.push_back("system: mkdir -p /tmp/home/bin");
            calls.push_back("system: mv /tmp/mpdiag.elf.strip /tmp/home/bin/mp.elf.strip");
        }
        calls.push_back("execv: /bin/backtrace /bin/backtrace");
        calls.push_back("sleep: 1");
        calls.push_back("system: reboot");
        return calls;
    }
    static constexpr const char *kMarkerQuestion =
        "WARNING: Suspected incompatible application image detected during unpacking\n"
        "Would you like to enter recovery mode to download a new image? y/N: ";
};

TEST_F(RescueBoot, DiagnosticsImageLaunchesWithTheDiagnosticsFlag)
{
    put(make_record(IMAGE_DIAGS, kPayload));
    const uint8_t slot = 1;
    ASSERT_EQ(simdev_poke("i2c-0-54", VPD_BOOT_SLOT, &slot, 1), 0);
    const Outcome o = run_to_end([] {
        (void)api_i2c_init();
        (void)api_flash_init();
        return extract_image_from_flash();
    });
    EXPECT_TRUE(o.exited);
    EXPECT_EQ(o.exit_status, 0);
    EXPECT_EQ(o.out, std::string("Launching diagnostics image\n") + kMarkerQuestion +
                         "install diags image\n");
    EXPECT_EQ(o.err, "Failed to start Application OS.\n");
    EXPECT_EQ(o.calls, launch_calls(true));
    EXPECT_EQ(vpd(VPD_BOOTED_IMAGE), 4);
    EXPECT_EQ(vpd(VPD_BOOT_SLOT), 1);
}

TEST_F(RescueBoot, RecoveryImageWithNoInputLaunchesWithoutWritingTheVpd)
{
    put(make_record(IMAGE_APPLICATION, kPayload));
    const uint8_t before = 0x77;
    ASSERT_EQ(simdev_poke("i2c-0-54", VPD_BOOTED_IMAGE, &before, 1), 0);
    const Outcome o = run_to_end([] {
        (void)api_i2c_init();
        (void)api_flash_init();
        return extract_image_from_flash();
    });
    EXPECT_TRUE(o.exited);
    EXPECT_EQ(o.out, std::string("Install recovery image as image 1 or 2 (hit return to just boot "
                                 "image): ") +
                         kMarkerQuestion);
    EXPECT_EQ(o.calls, launch_calls(false));
    EXPECT_EQ(vpd(VPD_BOOTED_IMAGE), 0x77);
}

TEST_F(RescueBoot, RecoveryImageInstalledAsSlotTwo)
{
    put(make_record(IMAGE_APPLICATION, kPayload));
    const Outcome o = run_to_end(
        [] {
            (void)api_i2c_init();
            (void)api_flash_init();
            return extract_image_from_flash();
        },
        "2\n");
    EXPECT_TRUE(o.exited);
    EXPECT_EQ(o.out, std::string("Install recovery image as image 1 or 2 (hit return to just boot "
                                 "image): \nInstalling recovery image as image2...\n"
                                 "Setting boot image to 2\n") +
                         kMarkerQuestion);
    Strings calls = {"system: mkdir /user/images &> /dev/null",
                     "system: cp /tmp/image /user/images/image2\\n"};
    const Strings launch = launch_calls(false);
    calls.insert(calls.end(), launch.begin(), launch.end());
    EXPECT_EQ(o.calls, calls);
    EXPECT_EQ(vpd(VPD_BOOT_SLOT), 2);
    EXPECT_EQ(vpd(VPD_BOOTED_IMAGE), 2);
}

TEST_F(RescueBoot, RecoveryImageBootedAfterABareEnter)
{
    put(make_record(IMAGE_APPLICATION, kPayload));
    const uint8_t slot = 1;
    ASSERT_EQ(simdev_poke("i2c-0-54", VPD_BOOT_SLOT, &slot, 1), 0);
    const Outcome o = run_to_end(
        [] {
            (void)api_i2c_init();
            (void)api_flash_init();
            return extract_image_from_flash();
        },
        "\n");
    EXPECT_EQ(o.out, std::string("Install recovery image as image 1 or 2 (hit return to just boot "
                                 "image): \nBooting recovery image. You will need to download and "
                                 "install an image before rebooting\n") +
                         kMarkerQuestion);
    EXPECT_EQ(o.calls, launch_calls(false));
    EXPECT_EQ(vpd(VPD_BOOT_SLOT), 1);
    EXPECT_EQ(vpd(VPD_BOOTED_IMAGE), 4);
}

TEST_F(RescueBoot, ErasedPartitionReturnsZero)
{
    const Outcome o = run_to_end([] {
        (void)api_flash_init();
        return extract_image_from_flash();
    });
    EXPECT_TRUE(o.returned);
    EXPECT_EQ(o.result, 0);
    EXPECT_EQ(o.err, "Image not found... \n");
    EXPECT_EQ(o.out, "");
    EXPECT_TRUE(o.calls.empty());
}

TEST_F(RescueBoot, BadCrcReturnsZero)
{
    Bytes image = make_record(IMAGE_DIAGS, kPayload);
    image[20] ^= 1;
    put(image);
    const Outcome o = run_to_end([] {
        (void)api_flash_init();
        return extract_image_from_flash();
    });
    EXPECT_TRUE(o.returned);
    EXPECT_EQ(o.result, 0);
    EXPECT_EQ(o.err, "Image CRC failed. Quitting\n");
    EXPECT_TRUE(o.calls.empty());
}

TEST_F(RescueBoot, RecordLargerThanThePartitionReturnsZeroAsACrcFailure)
{
    put(make_header(IMAGE_DIAGS, 0xFFFFFFF0u));
    const Outcome o = run_to_end([] {
        (void)api_flash_init();
        return extract_image_from_flash();
    });
    EXPECT_TRUE(o.returned);
    EXPECT_EQ(o.result, 0);
    EXPECT_EQ(o.err, "Image CRC failed. Quitting\n");
}

} // namespace
