// The installed-header lookup and the installer, against the emulated flash
// and VPD. Slot files and the boot archive live under a scratch install_root.
// launch_image is a link-time stand-in (--wrap) that prints a marker and ends
// the process; system(), execv() and sleep() are process_stubs' recorders.
#include "install.h"
#include "launch_fixture.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sys/stat.h>

extern "C" [[noreturn]] void __wrap__Z12launch_imageh(uint8_t diagnostics);

// Booting at once ends the process here, as the real launch never returns;
// only ever reached in a run_to_end child.
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

// The percentage display of a flash write over `sectors` sectors.
std::string flash_progress(uint32_t sectors)
{
    std::string out = "     ";
    char step[16];
    for (uint32_t i = 0; i < sectors; i++) {
        snprintf(step, sizeof step, "\b\b\b\b%03u%%", i * 100 / sectors);
        out += step;
    }
    return out + "\b\b\b\b100%\n";
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

// What a boot-loader image's payload carries at 240: a version header whose
// len, magic and id equal its record's; the first word is its own.
Bytes uboot_payload(uint32_t len, uint32_t id, uint8_t seed)
{
    Bytes payload = pattern(len, seed);
    ImageHeader h = {0xB007B007u, len, IMAGE_UBOOT, id};
    header_encode(&h, payload.data() + kUbootHeaderOffset);
    return payload;
}

struct FlashType {
    uint32_t magic;
    const char *dev;
};
const FlashType kFlashTypes[] = {
    {IMAGE_UBOOT, "mtd-uboot"}, {IMAGE_KERNEL, "mtd-kernel"}, {IMAGE_RFS, "mtd-rfs"},
    {IMAGE_DFT, "mtd-devicetree"}, {IMAGE_DIAGS, "mtd-rescue"},
};

// A record of the type that spans two sectors once installed.
Bytes two_sector_record(uint32_t magic, uint32_t id, uint8_t seed)
{
    const uint32_t len = S + 1000;
    return make_record(magic, magic == IMAGE_UBOOT ? uboot_payload(len, id, seed) : pattern(len, seed), id);
}

// The bytes of a record that its partition holds from offset 0.
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
        root_text = root;
        install_root = root_text.c_str();
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
    std::string image(const Bytes &bytes, const char *name = "image.img")
    {
        const std::string path = board + "/" + name;
        write_file(path, bytes);
        return path;
    }
    std::string slot_file(int slot) const { return root + "/user/images/image" + std::to_string(slot); }
    static uint8_t vpd_slot()
    {
        uint8_t b = 0;
        EXPECT_EQ(simdev_peek("i2c-0-54", VPD_BOOT_SLOT, &b, 1), 0);
        return b;
    }
    static void vpd_slot(uint8_t value) { ASSERT_EQ(simdev_poke("i2c-0-54", VPD_BOOT_SLOT, &value, 1), 0); }
    static size_t flash_writes() { return log_lines("mtd-").size() - reads(); }
    static size_t reads()
    {
        size_t n = 0;
        for (const std::string &line : log_lines("mtd-"))
            n += line.find(" read ") != std::string::npos ? 1 : 0;
        return n;
    }
    int install(const std::string &path, uint8_t skip, int slot, std::string *out)
    {
        int result = -1;
        *out = stdout_of([&] { result = processTroveImage(path.c_str(), skip, slot); });
        return result;
    }
    std::string board, root, root_text;
};

// --- Installed headers -------------------------------------------------------

TEST_F(Install, HeaderOfEachTypeIsReadFromItsPlace)
{
    for (size_t i = 0; i < std::size(kFlashTypes); i++) {
        const FlashType &t = kFlashTypes[i];
        const Bytes stored = pattern(16, uint8_t(0x10 * (i + 1)));
        poke(t.dev, t.magic == IMAGE_UBOOT ? 240 : 0, stored);
        uint8_t header[16];
        memset(header, 0xAA, sizeof header);
        // The slot means nothing to a partition type.
        ASSERT_EQ(read_flash_image_header(t.magic, header, 7), 1) << t.dev;
        EXPECT_EQ(Bytes(header, header + 16), stored) << t.dev;
    }
    fs::create_directories(root + "/user/images");
    const Bytes record = make_record(IMAGE_APPLICATION, pattern(40, 3), 0x05060708);
    write_file(slot_file(2), record);
    uint8_t header[16];
    ASSERT_EQ(read_flash_image_header(IMAGE_APPLICATION, header, 2), 1);
    EXPECT_EQ(Bytes(header, header + 16), Bytes(record.begin(), record.begin() + 16));
}

TEST_F(Install, SlotFileMissingOrShort)
{
    uint8_t header[16];
    memset(header, 0xAA, sizeof header);
    EXPECT_EQ(stdout_of([&] { EXPECT_EQ(read_flash_image_header(IMAGE_APPLICATION, header, 1), 0); }), "");
    EXPECT_EQ(Bytes(header, header + 16), Bytes(16, 0));

    fs::create_directories(root + "/user/images");
    write_file(slot_file(1), {1, 2, 3, 4, 5});
    EXPECT_EQ(read_flash_image_header(IMAGE_APPLICATION, header, 1), 1);
    EXPECT_EQ(Bytes(header, header + 16), concat({{1, 2, 3, 4, 5}, Bytes(11, 0)}));
}

TEST_F(Install, UnknownTypeAndNullArea)
{
    uint8_t header[16];
    memset(header, 0xAA, sizeof header);
    EXPECT_EQ(stdout_of([&] { EXPECT_EQ(read_flash_image_header(0x07504754u, header, 0), 0); }),
              "Unknown image type 0x7504754 \n");
    EXPECT_EQ(Bytes(header, header + 16), Bytes(16, 0));
    EXPECT_EQ(stdout_of([] { EXPECT_EQ(read_flash_image_header(0x07504754u, nullptr, 0), 0); }), "");
    EXPECT_EQ(stdout_of([] { EXPECT_EQ(verifyMatchingHeaders(nullptr, 0), 0); }), "");
}

TEST_F(Install, FailedFlashReadGivesZerosThatMatchNothing)
{
    ASSERT_EQ(simdev_add_fault("fail-read mtd-kernel"), 0);
    poke("mtd-kernel", 0, make_record(IMAGE_KERNEL, {9}));
    uint8_t header[16];
    memset(header, 0xAA, sizeof header);
    EXPECT_EQ(read_flash_image_header(IMAGE_KERNEL, header, 0), 1);
    EXPECT_EQ(Bytes(header, header + 16), Bytes(16, 0));
    EXPECT_EQ(verifyMatchingHeaders(make_record(IMAGE_KERNEL, {9}).data(), 0), 0);
}

TEST_F(Install, BootLoaderHeaderComparesLenMagicAndIdOnly)
{
    const Bytes record = make_record(IMAGE_UBOOT, uboot_payload(1024, 0x01020304, 1), 0x01020304);
    poke("mtd-uboot", 0, installed_form(record));
    // Partition bytes 240..243 are the payload's, not the record's CRC.
    ASSERT_NE(peek("mtd-uboot", 240, 4), Bytes(record.begin(), record.begin() + 4));
    EXPECT_EQ(verifyMatchingHeaders(record.data(), 0), 1);
    for (uint32_t at : {244u, 251u, 255u}) {
        Bytes changed = installed_form(record);
        changed[at] ^= 1;
        poke("mtd-uboot", 0, changed);
        EXPECT_EQ(verifyMatchingHeaders(record.data(), 0), 0) << at;
    }
}

TEST_F(Install, KernelHeaderDifferingOnlyInCrcDoesNotMatch)
{
    Bytes record = make_record(IMAGE_KERNEL, pattern(100, 4));
    poke("mtd-kernel", 0, record);
    EXPECT_EQ(verifyMatchingHeaders(record.data(), 0), 1);
    record[3] ^= 0x80;
    EXPECT_EQ(verifyMatchingHeaders(record.data(), 0), 0);
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

// --- Installer: flash records ---------------------------------------------------

TEST_F(Install, NothingToInstall)
{
    std::string out;
    EXPECT_EQ(install(image({}), 0, 0, &out), 0);
    EXPECT_EQ(out, kExtracting);
    EXPECT_EQ(install(image(concat({make_header(0x07504754u, 0), make_record(IMAGE_KERNEL, {1})})), 0, 0, &out), 0);
    EXPECT_EQ(out, kExtracting);
    // A trailing piece shorter than a header ends the file quietly.
    EXPECT_EQ(install(image(Bytes(15, 0)), 0, 0, &out), 0);
    EXPECT_EQ(out, kExtracting);
    EXPECT_EQ(flash_writes(), 0u);
    EXPECT_EQ(install(board + "/absent.img", 0, 0, &out), 0);
    EXPECT_EQ(flash_writes(), 0u);
}

TEST_F(Install, BootLoaderPayloadOnlyRestOfPartitionKept)
{
    const Bytes old = pattern(4 * S, 0x77);
    poke("mtd-uboot", 0, old);
    const Bytes record = make_record(IMAGE_UBOOT, uboot_payload(S + 300, 0x02000001, 9), 0x02000001);
    std::string out;
    EXPECT_EQ(install(image(record), 0, 0, &out), 1);
    EXPECT_EQ(out, kExtracting + "Installing Boot Loader: " + flash_progress(2));

    Bytes want = old;
    std::copy(record.begin() + 16, record.end(), want.begin());
    EXPECT_EQ(peek("mtd-uboot", 0, 4 * S), want);
    EXPECT_EQ(simdev_erase_count("mtd-uboot", 2), 0u);
    EXPECT_EQ(simdev_erase_count("mtd-uboot", 3), 0u);
}

TEST_F(Install, WholeRecordTypesInFileOrder)
{
    Bytes file;
    std::vector<std::pair<const FlashType *, Bytes>> records;
    for (const FlashType &t : kFlashTypes) {
        const uint32_t size = simdev_mtd_size(t.dev);
        poke(t.dev, 0, pattern(size, 0x33));
        if (t.magic == IMAGE_UBOOT)
            continue;
        records.emplace_back(&t, make_record(t.magic, pattern(S + 5, uint8_t(t.magic >> 24))));
        file = concat({file, records.back().second});
    }
    std::string out;
    EXPECT_EQ(install(image(concat({file, make_header(0x00504754u, 4)})), 0, 0, &out), 1);
    EXPECT_EQ(out, kExtracting + "Installing Kernel: " + flash_progress(2) + "Installing Root Filesystem: " +
                       flash_progress(2) + "Installing Device Tree: " + flash_progress(2) +
                       "Installing Diagnostics: " + flash_progress(2) + "done\n");
    for (const auto &[t, record] : records) {
        const uint32_t size = simdev_mtd_size(t->dev);
        Bytes want = pattern(size, 0x33);
        std::copy(record.begin(), record.end(), want.begin());
        EXPECT_EQ(peek(t->dev, 0, size), want) << t->dev;
    }
    EXPECT_EQ(peek("mtd-uboot", 0, 4 * S), pattern(4 * S, 0x33));
}

TEST_F(Install, BadCrcOnSecondRecordKeepsTheFirstInstalled)
{
    const Bytes dft = make_record(IMAGE_DFT, pattern(500, 1));
    Bytes kernel = make_record(IMAGE_KERNEL, pattern(700, 2));
    kernel[400] ^= 0x04;
    const Bytes kernel_before = peek("mtd-kernel", 0, 4 * S);
    std::string out;
    EXPECT_EQ(install(image(concat({dft, kernel, make_record(IMAGE_RFS, {1})})), 0, 0, &out), 0);
    EXPECT_EQ(out, kExtracting + "Installing Device Tree: " + flash_progress(1) + "Installing Kernel: " +
                       "Bad crc for KERNEL: " + hex_crc(kernel) + ", voiding download\n");
    EXPECT_EQ(peek("mtd-devicetree", 0, uint32_t(dft.size())), dft);
    EXPECT_EQ(peek("mtd-kernel", 0, 4 * S), kernel_before);
    EXPECT_EQ(log_lines("mtd-rfs").size(), 0u);
}

TEST_F(Install, BadCrcMessageOfEachType)
{
    const std::pair<uint32_t, std::string> types[] = {
        {IMAGE_UBOOT, "Installing Boot Loader: Bad crc for UBOOT: "},
        {IMAGE_KERNEL, "Installing Kernel: Bad crc for KERNEL: "},
        {IMAGE_RFS, "Installing Root Filesystem: Bad crc for RFS: "},
        {IMAGE_DFT, "Installing Device Tree: Bad crc for DFT: "},
        {IMAGE_DIAGS, "Installing Diagnostics: Bad crc for DIAGNOSTICS IMAGE: "},
        {IMAGE_APPLICATION, "Installing Application: Bad crc for APPLICATION: "},
    };
    for (const auto &[magic, text] : types) {
        Bytes record = make_record(magic, pattern(300, 8));
        record[0] ^= 0x01; // the stored CRC word alone
        std::string out;
        EXPECT_EQ(install(image(record), 0, 1, &out), 0);
        EXPECT_EQ(out, kExtracting + text + hex_crc(record) + ", voiding download\n");
    }
    EXPECT_EQ(flash_writes(), 0u);
    EXPECT_FALSE(fs::exists(slot_file(1)));
}

TEST_F(Install, FailedFlashWriteLineOfEachType)
{
    const std::pair<const FlashType *, std::string> types[] = {
        {&kFlashTypes[0], "Uboot image update failed\n"},  {&kFlashTypes[1], "kernel image update failed\n"},
        {&kFlashTypes[2], "RFS image update failed\n"},    {&kFlashTypes[3], "DFT image update failed\n"},
        {&kFlashTypes[4], "DIAGS image update failed\n"},
    };
    for (const auto &[t, line] : types) {
        simdev_clear_faults();
        ASSERT_EQ(simdev_add_fault((std::string("fail-erase ") + t->dev).c_str()), 0);
        std::string out;
        EXPECT_EQ(install(image(concat({make_record(t->magic, pattern(300, 8)),
                                        make_record(IMAGE_KERNEL, {1})})),
                          0, 0, &out),
                  0);
        EXPECT_EQ(out.substr(out.size() - line.size()), line) << out;
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

// --- Size limits, on partitions of the switch's own sizes -------------------------

class InstallLimits : public Install {
protected:
    void SetUp() override { set_up("erasesize=131072\n"); }
};

TEST_F(InstallLimits, EachLimitAcceptedAtItAndRefusedOneByteOver)
{
    struct Limit {
        const FlashType *type;
        uint32_t len; // at the limit
        const char *name;
    };
    const Limit limits[] = {
        {&kFlashTypes[0], kUbootMaxLen, "UBOOT"},
        {&kFlashTypes[1], kKernelMaxRecord - 16, "KERNEL"},
        {&kFlashTypes[2], kRfsMaxRecord - 16, "RFS"},
        {&kFlashTypes[3], kDftMaxRecord - 16, "DFT"},
        {&kFlashTypes[4], kDiagsMaxRecord - 16, "DIAGS"},
    };
    for (const Limit &l : limits) {
        SCOPED_TRACE(l.name);
        const Bytes over = make_record(l.type->magic, pattern(l.len + 1, 6));
        std::string out;
        EXPECT_EQ(install(image(over), 0, 0, &out), 0);
        const uint32_t shown = l.type->magic == IMAGE_UBOOT ? l.len + 1 : l.len + 17;
        const uint32_t limit = l.type->magic == IMAGE_UBOOT ? l.len : l.len + 16;
        const std::string tail = std::string(l.name) + " image is too big for flash (" + std::to_string(shown) +
                                 " > " + std::to_string(limit) + ")\n";
        EXPECT_EQ(out.substr(out.size() - std::min(out.size(), tail.size())), tail);
        EXPECT_EQ(flash_writes(), 0u);

        const Bytes at = make_record(l.type->magic, pattern(l.len, 7));
        EXPECT_EQ(install(image(at), 0, 0, &out), 1);
        const Bytes want = installed_form(at);
        EXPECT_TRUE(peek(l.type->dev, 0, uint32_t(want.size())) == want);
        simdev_log_clear();
    }
}

// --- Skip-if-same --------------------------------------------------------------

TEST_F(Install, SkipIfSameSkipsEveryTypeThatIsReallyInstalled)
{
    Bytes file;
    for (const FlashType &t : kFlashTypes)
        file = concat({file, two_sector_record(t.magic, 0x01010101, uint8_t(t.magic >> 24))});
    const Bytes app = make_record(IMAGE_APPLICATION, pattern(3 * S + 7, 0x44));
    file = concat({file, app});
    const std::string path = image(file);
    std::string out;
    ASSERT_EQ(install(path, 1, 2, &out), 1);
    vpd_slot(1);
    simdev_log_clear();

    EXPECT_EQ(install(path, 1, 2, &out), 0);
    const std::string skip = "Image has same version as existing image. Skipping update...\n";
    EXPECT_EQ(out, kExtracting + "Installing Boot Loader: " + skip + "Installing Kernel: " + skip +
                       "Installing Root Filesystem: " + skip + "Installing Device Tree: " + skip +
                       "Installing Diagnostics: " + skip +
                       "Installing Application: Installing image as image2: "
                       "Image2 has same version as existing image. Skipping update...\n");
    EXPECT_EQ(flash_writes(), 0u);
    EXPECT_EQ(read_file(slot_file(2)), app);
    EXPECT_EQ(vpd_slot(), 1);

    // Switched off, the same file is written again.
    EXPECT_EQ(install(path, 0, 2, &out), 1);
    EXPECT_EQ(out.find("Skipping"), std::string::npos);
}

TEST_F(Install, MatchingHeaderOverOtherBytesIsNotTheSameRecord)
{
    for (const FlashType &t : kFlashTypes) {
        SCOPED_TRACE(t.dev);
        const Bytes record = two_sector_record(t.magic, 0x01010101, 0x21);
        // Header in place, one byte in the second sector stale.
        Bytes stale = installed_form(record);
        stale[S + 17] ^= 0xFF;
        poke(t.dev, 0, stale);
        ASSERT_EQ(verifyMatchingHeaders(record.data(), 0), 1);
        EXPECT_EQ(record_already_installed(record, 0), 0);
        std::string out;
        EXPECT_EQ(install(image(record), 1, 0, &out), 1);
        EXPECT_EQ(out.find("Skipping"), std::string::npos);
        EXPECT_EQ(peek(t.dev, 0, uint32_t(stale.size())), installed_form(record));
    }
}

TEST_F(Install, SlotFileThatIsNotExactlyTheRecordIsRewritten)
{
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

// A power cut in the middle of an install leaves the new header over old or
// erased bytes. The same install afterwards, skip-if-same on as on the USB
// path, must skip what was finished and repair the rest.
TEST_F(Install, PowerCutThenTheSameInstallRepairsEverything)
{
    std::vector<Bytes> olds, news;
    Bytes file;
    for (const FlashType &t : kFlashTypes) {
        olds.push_back(two_sector_record(t.magic, 0x01000000, 0x61));
        news.push_back(two_sector_record(t.magic, 0x02000000, 0x62));
        file = concat({file, news.back()});
    }
    const std::string path = image(file);
    // Every record is written as two sectors of S / 1024 writes.
    const uint32_t writes_per_record = 2 * S / 1024;
    for (size_t cut = 0; cut < std::size(kFlashTypes); cut++) {
        SCOPED_TRACE(kFlashTypes[cut].dev);
        for (size_t i = 0; i < std::size(kFlashTypes); i++)
            poke(kFlashTypes[i].dev, 0, installed_form(olds[i]));
        simdev_log_clear();
        // The first write of the cut record's second sector, which the
        // read-modify-erase-write has just erased.
        const uint32_t at = uint32_t(cut) * writes_per_record + S / 1024 + 1;
        const std::string board_dir = board;
        const Outcome o = run_to_end([&] {
            // A fresh attach in the child, so that the write count starts
            // from 0 whatever this process wrote before.
            flash_reset_state();
            if (simdev_attach(board_dir.c_str()) != 0 || api_flash_init() != 0 ||
                simdev_add_fault(("cut-at-write " + std::to_string(at)).c_str()) != 0)
                return -1;
            return processTroveImage(path.c_str(), 1, 0);
        });
        ASSERT_FALSE(o.returned);
        ASSERT_FALSE(o.exited);
        const Bytes log_bytes = read_file(board + "/devices.log");
        const std::string log(log_bytes.begin(), log_bytes.end());
        const size_t cut_line = log.rfind(" -> power-cut");
        ASSERT_NE(cut_line, std::string::npos);
        ASSERT_EQ(log.rfind(std::string("\n") + kFlashTypes[cut].dev + " write ", cut_line),
                  log.rfind('\n', cut_line));
        // The scene the header alone would misjudge: new header, old rest.
        ASSERT_EQ(verifyMatchingHeaders(news[cut].data(), 0), 1);
        ASSERT_EQ(record_already_installed(news[cut], 0), 0);

        std::string out;
        EXPECT_EQ(install(path, 1, 0, &out), 1);
        for (size_t i = 0; i < std::size(kFlashTypes); i++) {
            const Bytes want = installed_form(news[i]);
            EXPECT_TRUE(peek(kFlashTypes[i].dev, 0, uint32_t(want.size())) == want) << kFlashTypes[i].dev;
        }
        const size_t skipped = cut;
        size_t count = 0;
        for (size_t p = out.find("Skipping"); p != std::string::npos; p = out.find("Skipping", p + 1))
            count++;
        EXPECT_EQ(count, skipped);
    }
}

// --- Application records -----------------------------------------------------------

TEST_F(Install, SlotGivenInstallsWithoutAskingAndNamesTheSlotInTheVpd)
{
    const Bytes app = make_record(IMAGE_APPLICATION, pattern(100, 1));
    std::string out;
    EXPECT_EQ(install(image(app), 0, 1, &out), 1);
    EXPECT_EQ(out, kExtracting + "Installing Application: Installing image as image1: "
                                 "    \b\b\b\b100%\b\b\b\b100%\n\nImage1 updated succeeded\n");
    EXPECT_EQ(read_file(slot_file(1)), app);
    EXPECT_EQ(vpd_slot(), 1);
    struct stat st;
    ASSERT_EQ(stat((root + "/user/images").c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
}

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

TEST_F(Install, SlotFileThatCannotBeCreated)
{
    write_file(root + "/user/images", {0}); // a file where the directory belongs
    std::string out;
    EXPECT_EQ(install(image(make_record(IMAGE_APPLICATION, pattern(10, 1))), 0, 1, &out), 0);
    EXPECT_EQ(out, kExtracting + "Installing Application: Installing image as image1: "
                                 "Image1 update failed (err 20)\n");
    EXPECT_EQ(vpd_slot(), 0xEE);
}

class InstallAsk : public Install {
protected:
    // The slot question answered with `input`, in a child process.
    Outcome ask(const Bytes &file, const std::string &input)
    {
        const std::string path = image(file);
        return run_to_end([path] { return processTroveImage(path.c_str(), 0, 0); }, input);
    }
    const std::string question = "Install image as image 1 or 2 (hit return to just boot image): ";
};

TEST_F(InstallAsk, AnswerStartingWith2InstallsIntoSlot2)
{
    const Bytes app = make_record(IMAGE_APPLICATION, pattern(50, 3));
    const Outcome o = ask(app, "2abc\n");
    ASSERT_TRUE(o.returned);
    EXPECT_EQ(o.result, 1);
    EXPECT_EQ(o.out, kExtracting + "Installing Application: " + question + "Installing image as image2: " +
                         "    \b\b\b\b100%\b\b\b\b100%\n\nImage2 updated succeeded\n");
    EXPECT_EQ(read_file(slot_file(2)), app);
    EXPECT_EQ(vpd_slot(), 2);
}

TEST_F(InstallAsk, OneAnswerServesEveryApplicationRecordOfTheFile)
{
    const Bytes first = make_record(IMAGE_APPLICATION, pattern(50, 3), 1);
    const Bytes second = make_record(IMAGE_APPLICATION, pattern(60, 4), 2);
    const Outcome o = ask(concat({first, second}), "1\n");
    ASSERT_TRUE(o.returned);
    EXPECT_EQ(o.result, 1);
    EXPECT_EQ(o.out.find(question), o.out.rfind(question));
    EXPECT_EQ(read_file(slot_file(1)), second);
}

TEST_F(InstallAsk, OtherAnswersEmptyLineAndEndOfInputBootAtOnce)
{
    const Bytes payload = pattern(333, 5);
    const Bytes app = make_record(IMAGE_APPLICATION, payload);
    for (const char *input : {"3\n", "\n", "", "x2\n"}) {
        SCOPED_TRACE(input);
        fs::remove(root + "/tmp/velosimage.tar.gz");
        const Outcome o = ask(app, input);
        ASSERT_TRUE(o.exited);
        EXPECT_EQ(o.exit_status, 77);
        EXPECT_EQ(o.out, kExtracting + "Installing Application: " + question +
                             "Booting downloaded image\nImage ready to boot...\n<launch_image 0>\n");
        EXPECT_EQ(read_file(root + "/tmp/velosimage.tar.gz"), payload);
        EXPECT_FALSE(fs::exists(root + "/user/images/image1"));
        EXPECT_FALSE(fs::exists(root + "/user/images/image2"));
        EXPECT_EQ(vpd_slot(), 0xEE);
    }
}

TEST_F(InstallAsk, LongAnswerIsConsumedWholeNotLeftForTheNextPrompt)
{
    const Bytes app = make_record(IMAGE_APPLICATION, pattern(50, 3));
    const std::string path = image(app);
    const Outcome o = run_to_end(
        [path] {
            const int result = processTroveImage(path.c_str(), 0, 0);
            char next = 0;
            return result * 1000 + (read(0, &next, 1) == 1 ? next : 0);
        },
        "2" + std::string(60, 'x') + "\nZ");
    ASSERT_TRUE(o.returned);
    EXPECT_EQ(o.result, 1000 + 'Z');
    EXPECT_EQ(read_file(slot_file(2)), app);
}

TEST_F(InstallAsk, ArchiveThatCannotBeCreatedReturns0)
{
    fs::remove_all(root + "/tmp");
    const Outcome o = ask(make_record(IMAGE_APPLICATION, pattern(10, 1)), "\n");
    ASSERT_TRUE(o.returned);
    EXPECT_EQ(o.result, 0);
    EXPECT_EQ(o.out, kExtracting + "Installing Application: " + question +
                         "Booting downloaded image\nImage unpack failed (err 2)\n");
}

TEST_F(InstallAsk, FlashRecordsBeforeABootAtOnceStayInstalled)
{
    const Bytes kernel = make_record(IMAGE_KERNEL, pattern(90, 1));
    const Outcome o = ask(concat({kernel, make_record(IMAGE_APPLICATION, pattern(10, 1))}), "");
    ASSERT_TRUE(o.exited);
    EXPECT_EQ(peek("mtd-kernel", 0, uint32_t(kernel.size())), kernel);
    EXPECT_TRUE(o.calls.empty());
}

} // namespace
