// simdev-ctl: shell access to a board directory, through the same model the
// tests and the preload use.
//   simdev-ctl <board> init
//   simdev-ctl <board> peek <dev> <offset> <length>
//   simdev-ctl <board> poke <dev> <offset> <byte>...
//   simdev-ctl <board> wear <dev>
// <dev> as for simdev_peek ("mtd-kernel", "i2c-0"); numbers in C notation.
#include "simdev.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

int usage()
{
    fprintf(stderr,
            "usage: simdev-ctl <board> init\n"
            "       simdev-ctl <board> peek <dev> <offset> <length>\n"
            "       simdev-ctl <board> poke <dev> <offset> <byte>...\n"
            "       simdev-ctl <board> wear <dev>\n");
    return 2;
}

bool number(const char *text, uint32_t &out)
{
    char *end = nullptr;
    unsigned long long v = strtoull(text, &end, 0);
    if (*text == '\0' || *end != '\0' || v > 0xffffffffULL)
        return false;
    out = static_cast<uint32_t>(v);
    return true;
}

int init()
{
    for (int i = 0; i < simdev_mtd_count; i++) {
        std::string dev = std::string("mtd-") + simdev_mtd_names[i];
        printf("%-16s %10u bytes, %u sectors\n", dev.c_str(), simdev_mtd_size(dev.c_str()),
               simdev_mtd_size(dev.c_str()) / simdev_erasesize());
    }
    return 0;
}

int peek(const char *dev, uint32_t offset, uint32_t length)
{
    std::vector<unsigned char> buf(length);
    if (simdev_peek(dev, offset, buf.data(), length) != 0) {
        fprintf(stderr, "simdev-ctl: no range %u+%u on %s\n", offset, length, dev);
        return 1;
    }
    for (uint32_t i = 0; i < length; i++)
        printf("%s%02x", i % 16 == 0 ? (i ? "\n" : "") : " ", buf[i]);
    printf("\n");
    return 0;
}

int poke(const char *dev, uint32_t offset, char **bytes, int count)
{
    std::vector<unsigned char> buf;
    for (int i = 0; i < count; i++) {
        uint32_t b;
        if (!number(bytes[i], b) || b > 0xff)
            return usage();
        buf.push_back(static_cast<unsigned char>(b));
    }
    if (simdev_poke(dev, offset, buf.data(), static_cast<uint32_t>(buf.size())) != 0) {
        fprintf(stderr, "simdev-ctl: no range %u+%zu on %s\n", offset, buf.size(), dev);
        return 1;
    }
    return 0;
}

int wear(const char *dev)
{
    uint32_t sectors = simdev_erasesize() ? simdev_mtd_size(dev) / simdev_erasesize() : 0;
    if (sectors == 0) {
        fprintf(stderr, "simdev-ctl: no partition %s\n", dev);
        return 1;
    }
    for (uint32_t s = 0; s < sectors; s++)
        printf("%u %u\n", s, simdev_erase_count(dev, s));
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 3)
        return usage();
    if (simdev_attach(argv[1]) != 0)
        return 1;
    std::string cmd = argv[2];
    uint32_t offset = 0, length = 0;
    if (cmd == "init" && argc == 3)
        return init();
    if (cmd == "peek" && argc == 6 && number(argv[4], offset) && number(argv[5], length))
        return peek(argv[3], offset, length);
    if (cmd == "poke" && argc >= 6 && number(argv[4], offset))
        return poke(argv[3], offset, argv + 5, argc - 5);
    if (cmd == "wear" && argc == 4)
        return wear(argv[3]);
    return usage();
}
