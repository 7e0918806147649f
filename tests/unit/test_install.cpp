// The installed-header lookup and the installer, against the emulated flash
// and VPD. Slot files live under a scratch install_root. launch_image is a
// link-time stand-in (--wrap) that prints a marker and ends the process;
// system(), execv() and sleep() are process_stubs' recorders.
// The system tests cover the install end to end: every type in file order,
// the boot loader's payload alone, nothing outside a record changed
// (test_rescue_serial.py); skip-if-same of every type, the slot question's
// answers, a bad CRC in the second record (test_install_stops.py); the
// repair of a power cut by the same install (test_install_power_cut.py).
#include "install.h"
#include "launch_fixture.h"

#include <cstdio>
#include <filesystem>
#include <fstream>

extern "C" [[noreturn]] void __wrap__Z12launch_imageh(uint8_t diagnostics);

// Booting at once (an empty answer to the slot question) would end the
// process here, as the real launch never returns.
void __wrap__Z12launch_imageh(uint8_t diagnostics)
{
    printf("<launch_image %d>\n", int(diagnostics));
    fflush(stdout);
    _exit(77);
}

namespace {

using Bytes = std::vector<uint8_t>;
namespace fs = std::filesystem;

constexpr uint32_t S = 65536;
constexpr const char *kSmallBoard = "erasesize=65536\nmtd-uboot=262144\nmtd-devicetree=131072\n"
                                    "mtd-kernel=262144\nmtd-rfs=262144\nmtd-rescue=262144\n"
                                    "mtd-user-char=65536\n";
const std::string kExtracting = "\nExtracting images ... Do *NOT* power cycle the switch.\n";

Bytes pattern(size_t size, uint8_t seed)
{
    Bytes out(size);
    for (size_t i = 0; i < size; i++)
        out[i] = uint8_t(seed + i * 31 + (i >> 9));
    return out;
}

std::string hex_crc(const Bytes &record)
{
    char text[16];
    snprintf(text, sizeof text, "0x%08x",
             unsigned(gen_crc(record.data() + 4, uint32_t(record.size() - 4), 0xFFFFFFFFu)));
    return text;
}

void write_file(const std::string &path, const Bytes &bytes)
{
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char *>(bytes.data()),
                                                std::streamsize(bytes.size()));
}

Bytes read_file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

Bytes peek(const char *dev, uint32_t offset, uint32_t length)
{
    Bytes out(length);
    EXPECT_EQ(simdev_peek(dev, offset, out.data(), length), 0);
    return out;
}

void poke(const char *dev, uint32_t offset, const Bytes &bytes)
{
    ASSERT_EQ(simdev_poke(dev, offset, bytes.data(), uint32_t(bytes.size())), 0);
}

// Each flash record type, its partition, the name in its size limit's
// message and the line of a failed write.
struct FlashType {
    uint32_t magic;
    const char *dev, *name, *failed;
};
const FlashType kFlashTypes[] = {
    {IMAGE_UBOOT, "mtd-uboot", "UBOOT", "Uboot image update failed\n"},
    {IMAGE_KERNEL, "mtd-kernel", "KERNEL", "kernel image update failed\n"},
    {IMAGE_RFS, "mtd-rfs", "RFS", "RFS image update failed\n"},
    {IMAGE_DFT, "mtd-devicetree", "DFT", "DFT image update failed\n"},
    {IMAGE_DIAGS, "mtd-rescue", "DIAGS", "DIAGS image update failed\n"},
};

// A record of the type, of `len` payload bytes. A boot loader's payload
// carries at 240 a version header whose len, magic and id equal its record's;
// the first word is its own.
Bytes record_of(uint32_t magic, uint32_t len, uint32_t id, uint8_t seed)
{
    Bytes payload = pattern(len, seed);
    const ImageHeader h = {0xB007B007u, len, IMAGE_UBOOT, id};
    if (magic == IMAGE_UBOOT)
        header_encode(&h, payload.data() + kUbootHeaderOffset);
    return make_record(magic, payload, id);
}

// The bytes of a record that its partition holds from offset 0: the boot
// loader's payload alone, any other record whole.
Bytes installed_form(const Bytes &record)
{
    return load_be32(record.data() + 8) == IMAGE_UBOOT ? Bytes(record.begin() + 16, record.end())
                                                       : record;
}

class Install : public testing::Test {
protected:
    void SetUp() override { set_up(kSmallBoard); }
    void set_up(const char *conf)
    {
        flash_reset_state();
        api_i2c_close();
        stub_calls_clear();
        board = make_board(conf);
        ASSERT_FALSE(board.empty());
        ASSERT_EQ(api_flash_init(), 0);
        ASSERT_EQ(api_i2c_init(), 0);
        root = board + "/root";
        fs::create_directories(root + "/user");
        fs::create_directories(root + "/tmp");
        install_root = root.c_str();
        vpd_slot(0xEE);
        simdev_log_clear();
    }
    void TearDown() override
    {
        install_root = "";
        flash_reset_state();
        api_i2c_close();
        simdev_detach();
        std::error_code ignored;
        fs::remove_all(board, ignored);
    }
    std::string image(const Bytes &bytes)
    {
        write_file(board + "/image.img", bytes);
        return board + "/image.img";
    }
    std::string slot_file(int slot) const { return root + "/user/images/image" + std::to_string(slot); }
    static uint8_t vpd_slot()
    {
        uint8_t b = 0;
        EXPECT_EQ(simdev_peek("i2c-0-54", VPD_BOOT_SLOT, &b, 1), 0);
        return b;
    }
    static void vpd_slot(uint8_t value) { ASSERT_EQ(simdev_poke("i2c-0-54", VPD_BOOT_SLOT, &value, 1), 0); }
    static size_t flash_writes()
    {
        size_t n = 0;
        for (const std::string &line : log_lines("mtd-"))
            n += line.find(" read ") == std::string::npos ? 1 : 0;
        return n;
    }
    int install(const std::string &path, uint8_t skip, int slot, std::string *out)
    {
        int result = -1;
        *out = stdout_of([&] { result = processTroveImage(path.c_str(), skip, slot); });
        return result;
    }
    std::string board, root;
};

// --- Installed headers -------------------------------------------------------

TEST_F(Install, BootLoaderHeaderComparesLenMagicAndIdAt240OthersAll16Bytes)
{
    const Bytes uboot = record_of(IMAGE_UBOOT, 1024, 0x01020304, 1);
    poke("mtd-uboot", 0, installed_form(uboot));
    // Partition bytes 240..243 are the payload's, not the record's CRC.
    ASSERT_NE(peek("mtd-uboot", 240, 4), Bytes(uboot.begin(), uboot.begin() + 4));
    EXPECT_EQ(verifyMatchingHeaders(uboot.data(), 0), 1);
    for (uint32_t at : {244u, 251u, 255u}) {
        Bytes changed = installed_form(uboot);
        changed[at] ^= 1;
        poke("mtd-uboot", 0, changed);
        EXPECT_EQ(verifyMatchingHeaders(uboot.data(), 0), 0) << at;
    }
    Bytes kernel = make_record(IMAGE_KERNEL, pattern(100, 4));
    poke("mtd-kernel", 0, kernel);
    EXPECT_EQ(verifyMatchingHeaders(kernel.data(), 0), 1);
    kernel[3] ^= 0x80; // the CRC alone differs
    EXPECT_EQ(verifyMatchingHeaders(kernel.data(), 0), 0);
}

// What a power cut leaves: the new header over old or erased bytes. With
// skip-if-same on, that must be written again, not skipped.
TEST_F(Install, MatchingHeaderOverOtherBytesIsNotTheSameRecord)
{
    for (const FlashType &t : kFlashTypes) {
        SCOPED_TRACE(t.dev);
        const Bytes record = record_of(t.magic, S + 1000, 0x01010101, 0x21);
        Bytes stale = installed_form(record);
        stale[S + 17] ^= 0xFF; // one byte in the second sector
        poke(t.dev, 0, stale);
        ASSERT_EQ(verifyMatchingHeaders(record.data(), 0), 1);
        EXPECT_EQ(record_already_installed(record, 0), 0);
        std::string out;
        EXPECT_EQ(install(image(record), 1, 0, &out), 1);
        EXPECT_EQ(out.find("Skipping"), std::string::npos);
        EXPECT_EQ(peek(t.dev, 0, uint32_t(stale.size())), installed_form(record));
    }
    // A slot file cut short, longer, or with a stale end.
    const Bytes app = make_record(IMAGE_APPLICATION, pattern(2 * S + 10, 0x55));
    fs::create_directories(root + "/user/images");
    Bytes stale_end = app;
    stale_end.back() ^= 0x10;
    for (const Bytes &left : {Bytes(app.begin(), app.begin() + S), concat({app, {0}}), stale_end}) {
        write_file(slot_file(1), left);
        ASSERT_EQ(verifyMatchingHeaders(app.data(), 1), 1);
        std::string out;
        EXPECT_EQ(install(image(app), 1, 1, &out), 1);
        EXPECT_EQ(out.find("Skipping"), std::string::npos);
        EXPECT_EQ(read_file(slot_file(1)), app);
    }
}

// --- Installer: flash records ---------------------------------------------------

// A bad CRC stops the install too: test_install_stops.py, and below.
TEST_F(Install, FailedFlashWriteOfEachTypeStopsTheInstall)
{
    for (const FlashType &t : kFlashTypes) {
        SCOPED_TRACE(t.dev);
        simdev_clear_faults();
        ASSERT_EQ(simdev_add_fault((std::string("fail-erase ") + t.dev).c_str()), 0);
        const Bytes file = concat({record_of(t.magic, 300, 1, 8), make_record(IMAGE_KERNEL, {1})});
        std::string out;
        EXPECT_EQ(install(image(file), 0, 0, &out), 0);
        const size_t failed = strlen(t.failed);
        EXPECT_EQ(out.substr(out.size() - std::min(out.size(), failed)), t.failed);
        EXPECT_EQ(out.find("done"), std::string::npos);
    }
}

TEST_F(Install, LengthWhoseRecordSizeOverflowsIsRefusedUnread)
{
    for (uint32_t len : {0xFFFFFFF0u, 0xFFFFFFFFu}) {
        std::string out;
        EXPECT_EQ(install(image(concat({make_header(IMAGE_KERNEL, len), pattern(64, 1)})), 0, 0, &out), 0);
        char text[80];
        snprintf(text, sizeof text, "Bad length for image: 0x%08x, voiding download\n", unsigned(len));
        EXPECT_EQ(out, kExtracting + text);
    }
    EXPECT_EQ(flash_writes(), 0u);
}

TEST_F(Install, RecordCutShortByTheFileFailsItsCrcWithoutClaimingItsLength)
{
    // A damaged length must not make the installer take (and zero) gigabytes
    // for a record that the file does not hold: what is there is checked,
    // and fails.
    const Bytes payload = pattern(64, 3);
    for (uint32_t len : {0xFFFFFF00u, 0x7FFFFFF0u, 65u}) {
        const Bytes file = concat({make_header(IMAGE_APPLICATION, len), payload});
        std::string out;
        EXPECT_EQ(install(image(file), 0, 1, &out), 0);
        EXPECT_EQ(out, kExtracting + "Installing Application: Bad crc for APPLICATION: " + hex_crc(file) +
                           ", voiding download\n")
            << len;
    }
    EXPECT_FALSE(fs::exists(slot_file(1)));
}

// --- Size limits, on partitions of the switch's own sizes; the device tree's
// end to end in test_install_stops.py ---------------------------------------------

class InstallLimits : public Install {
protected:
    void SetUp() override { set_up("erasesize=131072\n"); }
};

TEST_F(InstallLimits, EachLimitAcceptedAtItAndRefusedOneByteOver)
{
    struct Limit {
        const FlashType &type;
        uint32_t len; // at the limit
    };
    const Limit limits[] = {{kFlashTypes[0], kUbootMaxLen},          {kFlashTypes[1], kKernelMaxRecord - 16},
                            {kFlashTypes[2], kRfsMaxRecord - 16},    {kFlashTypes[3], kDftMaxRecord - 16},
                            {kFlashTypes[4], kDiagsMaxRecord - 16}};
    for (const Limit &l : limits) {
        SCOPED_TRACE(l.type.name);
        simdev_log_clear();
        const Bytes over = make_record(l.type.magic, pattern(l.len + 1, 6));
        std::string out;
        EXPECT_EQ(install(image(over), 0, 0, &out), 0);
        // The boot loader's limit is on its payload, the others' on the record.
        const uint32_t shown = l.type.magic == IMAGE_UBOOT ? l.len + 1 : l.len + 17;
        const uint32_t limit = l.type.magic == IMAGE_UBOOT ? l.len : l.len + 16;
        const std::string tail = std::string(l.type.name) + " image is too big for flash (" + std::to_string(shown) +
                                 " > " + std::to_string(limit) + ")\n";
        EXPECT_EQ(out.substr(out.size() - std::min(out.size(), tail.size())), tail);
        EXPECT_EQ(flash_writes(), 0u);

        const Bytes at = make_record(l.type.magic, pattern(l.len, 7));
        EXPECT_EQ(install(image(at), 0, 0, &out), 1);
        const Bytes want = installed_form(at);
        EXPECT_TRUE(peek(l.type.dev, 0, uint32_t(want.size())) == want);
    }
}

// --- Application records -----------------------------------------------------------

TEST_F(Install, SlotFileWrittenInPiecesOf64KiB)
{
    const Bytes app = make_record(IMAGE_APPLICATION, pattern(2 * S + 84, 2)); // 2 S + 100 bytes
    fs::create_directories(root + "/user/images");
    write_file(slot_file(2), pattern(5 * S, 9)); // longer than the record: truncated
    std::string out;
    EXPECT_EQ(install(image(app), 0, 2, &out), 1);
    EXPECT_EQ(out, kExtracting + "Installing Application: Installing image as image2: "
                                 "    \b\b\b\b049%\b\b\b\b099%\b\b\b\b100%\b\b\b\b100%\n\nImage2 updated succeeded\n");
    EXPECT_EQ(read_file(slot_file(2)), app);
    EXPECT_EQ(vpd_slot(), 2);
}

TEST_F(Install, SlotPathTooLongForItsBufferIsRefused)
{
    const std::string deep = root + "/" + std::string(150, 'd');
    fs::create_directories(deep + "/user/images");
    const Bytes record = make_record(IMAGE_APPLICATION, pattern(20, 5));
    write_file(deep + "/user/images/image1", record);
    install_root = deep.c_str();
    uint8_t header[16];
    EXPECT_EQ(read_flash_image_header(IMAGE_APPLICATION, header, 1), 0);
    std::string out;
    EXPECT_EQ(install(image(record), 0, 1, &out), 0);
    EXPECT_EQ(out, kExtracting + "Installing Application: Installing image as image1: "
                                 "Image1 update failed (err 36)\n");
    EXPECT_EQ(read_file(deep + "/user/images/image1"), record);
    EXPECT_EQ(vpd_slot(), 0xEE);
}

// The slot question, answered on descriptor 0 of a run_to_end child.
const std::string kQuestion = "Install image as image 1 or 2 (hit return to just boot image): ";

TEST_F(Install, OneAnswerServesEveryApplicationRecordAndIsConsumedWhole)
{
    const Bytes first = make_record(IMAGE_APPLICATION, pattern(50, 3), 1);
    const Bytes second = make_record(IMAGE_APPLICATION, pattern(60, 4), 2);
    const std::string path = image(concat({first, second}));
    const Outcome o = run_to_end(
        [path] {
            const int result = processTroveImage(path.c_str(), 0, 0);
            char next = 0;
            return result * 1000 + (read(0, &next, 1) == 1 ? next : 0);
        },
        "2" + std::string(60, 'x') + "\nZ");
    ASSERT_TRUE(o.returned);
    EXPECT_EQ(o.result, 1000 + 'Z');
    ASSERT_NE(o.out.find(kQuestion), std::string::npos);
    EXPECT_EQ(o.out.find(kQuestion), o.out.rfind(kQuestion));
    EXPECT_EQ(read_file(slot_file(2)), second);
    EXPECT_EQ(vpd_slot(), 2);
}

} // namespace
