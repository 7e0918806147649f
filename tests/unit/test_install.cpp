// The installer against the emulated flash and VPD; slot files and the
// archive live under a scratch install_root.
#include "install.h"

#include "fixture.h"

#include <cerrno>

namespace {

namespace fs = std::filesystem;
constexpr uint32_t S = 65536;
const std::string kExtracting = "\nExtracting images ... Do *NOT* power cycle the switch.\n";

Bytes read_file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void write_file(const std::string &path, const Bytes &bytes)
{
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char *>(bytes.data()), long(bytes.size()));
}

// The boot loader's limit is on its payload, the others' on the record.
const struct FlashType { uint32_t magic; const char *dev, *name; uint32_t limit; } kFlashTypes[] = {
    {IMAGE_UBOOT, "mtd-uboot", "UBOOT", kUbootMaxLen},    {IMAGE_KERNEL, "mtd-kernel", "KERNEL", kKernelMaxRecord},
    {IMAGE_RFS, "mtd-rfs", "RFS", kRfsMaxRecord},         {IMAGE_DFT, "mtd-devicetree", "DFT", kDftMaxRecord},
    {IMAGE_DIAGS, "mtd-rescue", "DIAGS", kDiagsMaxRecord},
};

// A record of `len` payload bytes. A boot loader's payload carries at 240
// a version header with its record's len, type and id.
Bytes record_of(uint32_t magic, uint32_t len, uint8_t seed)
{
    Bytes payload = pattern(len, seed);
    if (magic == IMAGE_UBOOT)
        std::copy_n(make_header(magic, len).begin() + 4, 12, payload.begin() + kUbootHeaderOffset + 4);
    return make_record(magic, payload);
}

// What the partition holds from offset 0: the boot loader's payload alone,
// any other record whole.
Bytes installed_form(const Bytes &record)
{
    return Bytes(record.begin() + (load_be32(record.data() + 8) == IMAGE_UBOOT ? 16 : 0), record.end());
}

// A board with flash and buses open and install_root in its directory.
struct InstallBoard : TestBoard {
    std::string root = dir + "/root", out; // `out`: what the last install printed
    explicit InstallBoard(const char *conf = kSmallBoard) : TestBoard(conf)
    {
        EXPECT_EQ(api_flash_init() + api_i2c_init(), 0);
        fs::create_directories(root + "/user/images");
        fs::create_directories(root + "/tmp");
        install_root = root.c_str();
    }
    ~InstallBoard() { install_root = ""; }
    int install(const Bytes &file, uint8_t skip, int slot)
    {
        write_file(dir + "/image.img", file);
        int result = -1;
        out = stdout_of([&] { result = processTroveImage((dir + "/image.img").c_str(), skip, slot); });
        return result;
    }
    std::string slot_file(int slot) const { return root + "/user/images/image" + std::to_string(slot); }
};

// Each flash type's size limit: accepted at it, refused one byte over
// before anything is written. Skip-if-same compares the installed bytes,
// not the header alone: a power cut leaves the new header over old bytes,
// which must be written again.
TEST(Install, FlashRecords)
{
    InstallBoard b("erasesize=131072\n"); // the switch's partition sizes
    for (const FlashType &t : kFlashTypes) {
        const uint32_t len = t.magic == IMAGE_UBOOT ? t.limit : t.limit - 16;
        simdev_log_clear();
        EXPECT_EQ(b.install(record_of(t.magic, len + 1, 6), 0, 0), 0);
        const std::string refused = " image is too big for flash (" + std::to_string(t.limit + 1) + " > ";
        EXPECT_NE(b.out.find(t.name + refused + std::to_string(t.limit) + ")\n"), std::string::npos) << b.out;
        EXPECT_EQ(simdev_log(), Strings{});
        const Bytes at = record_of(t.magic, len, 7);
        EXPECT_EQ(b.install(at, 0, 0), 1);
        EXPECT_TRUE(peek(t.dev, 0, uint32_t(installed_form(at).size())) == installed_form(at)) << t.name;
        const Bytes record = record_of(t.magic, S + 1000, 0x21);
        Bytes stale = installed_form(record);
        stale[S + 17] ^= 0xFF;
        poke(t.dev, 0, stale);
        EXPECT_EQ(b.install(record, 1, 0), 1);
        EXPECT_TRUE(peek(t.dev, 0, uint32_t(stale.size())) == installed_form(record)) << t.name;
    }
}

// A boot-loader payload without its version header at byte 240 never
// matches by header: once installed, its bytes alone must make skip-if-same
// leave it, or a stick left in would reinstall it at every start.
TEST(Install, BootLoaderWithoutItsHeaderIsSkippedOnceInstalled)
{
    InstallBoard b;
    const Bytes record = make_record(IMAGE_UBOOT, pattern(S + 300, 9));
    EXPECT_EQ(b.install(record, 1, 0), 1);
    simdev_log_clear();
    EXPECT_EQ(b.install(record, 1, 0), 0);
    EXPECT_NE(b.out.find("Skipping update..."), std::string::npos) << b.out;
    for (const std::string &line : simdev_log())
        EXPECT_TRUE(line.find(" write ") == line.npos && line.find(" erase ") == line.npos) << line;
}

// A slot file cut short, longer or with a stale end is written again
// despite skip-if-same, in pieces of 64 KiB with their display, and cut to
// the record.
TEST(Install, SlotFiles)
{
    InstallBoard b;
    const Bytes app = make_record(IMAGE_APPLICATION, pattern(2 * S + 84, 0x55)); // 2 pieces and 100 bytes
    Bytes stale_end = app;
    stale_end.back() ^= 0x10;
    for (const Bytes &left : {Bytes(app.begin(), app.begin() + S), concat({app, {0}}), stale_end}) {
        write_file(b.slot_file(2), left);
        EXPECT_EQ(b.install(app, 1, 2), 1);
        EXPECT_EQ(b.out, kExtracting + "Installing Application: Installing image as image2:     \b\b\b\b049%"
                                       "\b\b\b\b099%\b\b\b\b100%\b\b\b\b100%\n\nImage2 updated succeeded\n");
        EXPECT_TRUE(read_file(b.slot_file(2)) == app);
    }
    EXPECT_EQ(peek("i2c-0-54", VPD_BOOT_SLOT, 1), Bytes{2});
}

// A damaged len: one whose record size overflows 32 bits is refused unread;
// one that the file does not hold is not claimed (and zero-filled) but
// checked as far as it goes, and fails. A path that does not fit, an
// archive that cannot be made, a type without an installed header: each
// is refused with its message.
TEST(Install, Refusals)
{
    InstallBoard b;
    for (uint32_t len : {0xFFFFFFF0u, 0xFFFFFFFFu, 0xFFFFFF00u, 0x7FFFFFF0u, 65u}) {
        const Bytes file = concat({make_header(IMAGE_APPLICATION, len), pattern(64, 3)});
        char text[96];
        if (len > 0xFFFFFFEFu)
            snprintf(text, sizeof text, "Bad length for image: 0x%08x, voiding download\n", unsigned(len));
        else
            snprintf(text, sizeof text, "Installing Application: Bad crc for APPLICATION: 0x%08x, voiding download\n",
                     unsigned(gen_crc(file.data() + 4, uint32_t(file.size() - 4), 0xFFFFFFFFu)));
        EXPECT_EQ(b.install(file, 0, 1), 0);
        EXPECT_EQ(b.out, kExtracting + text);
        EXPECT_FALSE(fs::exists(b.slot_file(1)));
    }
    const Bytes app = make_record(IMAGE_APPLICATION, pattern(20, 5));
    const std::string deep = b.root + "/" + std::string(150, 'd');
    install_root = deep.c_str();
    EXPECT_EQ(b.install(app, 0, 1), 0);
    EXPECT_EQ(b.out, kExtracting + "Installing Application: Installing image as image1: "
                                   "Image1 update failed (err 36)\n");
    install_root = b.root.c_str();
    // Booting at once (an empty answer) with an archive that is a
    // directory, then one that takes no bytes.
    const std::string archive = b.root + "/tmp/velosimage.tar.gz";
    fs::create_directory(archive);
    for (int err : {EISDIR, ENOSPC}) {
        type_ahead("\n");
        EXPECT_EQ(b.install(app, 0, 0), 0);
        EXPECT_EQ(b.out, kExtracting + "Installing Application: Install image as image 1 or 2 (hit return to just "
                                       "boot image): Booting downloaded image\nImage unpack failed (err " +
                             std::to_string(err) + ")\n");
        fs::remove(archive);
        fs::create_symlink("/dev/full", archive);
    }
    uint8_t header[16] = {1};
    EXPECT_EQ(stdout_of([&] { EXPECT_EQ(read_flash_image_header(0x07504754u, header, 1), 0); }),
              "Unknown image type 0x7504754 \n");
    EXPECT_TRUE(Bytes(header, header + 16) == Bytes(16));
}

} // namespace
