// The table of open emulated descriptors and the dispatch of requests to
// the MTD and I2C back ends (simdev_mtd.cpp, simdev_i2c.cpp).
#include "simdev_dispatch.h"
#include "simdev_faults.h"
#include "simdev_i2c.h"
#include "simdev_internal.h"
#include "simdev_mtd.h"
#include "simdev_sys.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

bool simdev_is_node(const char *path)
{
    return simdev_node_of_path(path) >= 0;
}

Desc *simdev_desc(int fd)
{
    for (Desc &d : simdev_model().descs)
        if (d.fd == fd)
            return &d;
    return nullptr;
}

bool simdev_owns(int fd)
{
    return fd >= 0 && simdev_desc(fd) != nullptr;
}

int simdev_open(const char *path, int flags)
{
    Model &m = simdev_model();
    int node = simdev_node_of_path(path);
    if (node < 0 || !m.attached) {
        errno = ENOENT;
        return -1;
    }
    std::string name = simdev_node_name(node);
    char line[96];
    snprintf(line, sizeof line, "%s open flags=0x%x", name.c_str(),
             static_cast<unsigned>(flags));
    if (simdev_fault_on(m.faults.fail_open, name))
        return simdev_fail(line, EIO);
    // The real descriptor keeps the access mode and the file position across
    // fork and exec, as the kernel's open file would.
    int accmode = flags & O_ACCMODE;
    int fd = simsys::open((m.board + "/" + simdev_node_file(node)).c_str(),
                          accmode | (flags & O_CLOEXEC));
    if (fd < 0)
        return simdev_fail(line, errno);
    m.descs.push_back(Desc{fd, node, accmode, 0});
    simdev_log_line(line);
    return fd;
}

int simdev_close(int fd)
{
    Model &m = simdev_model();
    for (size_t i = 0; i < m.descs.size(); i++) {
        if (m.descs[i].fd == fd) {
            simdev_log_line(simdev_node_name(m.descs[i].node) + " close");
            m.descs.erase(m.descs.begin() + static_cast<long>(i));
            return simsys::close(fd);
        }
    }
    errno = EBADF;
    return -1;
}

namespace {

Desc *lookup(int fd)
{
    Desc *d = simdev_desc(fd);
    if (!d)
        errno = EBADF;
    return d;
}

// Moves the file position after a transfer through read() or write().
ssize_t advance(Desc &d, int64_t pos, ssize_t n)
{
    if (n > 0)
        simdev_set_position(d, pos + n);
    return n;
}

} // namespace

ssize_t simdev_read(int fd, void *buf, size_t len)
{
    Desc *d = lookup(fd);
    if (!d)
        return -1;
    if (!simdev_is_mtd(d->node))
        return simdev_i2c_read(*d, buf, len);
    int64_t pos = simdev_position(*d);
    return advance(*d, pos, simdev_mtd_read(*d, buf, len, pos));
}

ssize_t simdev_write(int fd, const void *buf, size_t len)
{
    Desc *d = lookup(fd);
    if (!d)
        return -1;
    if (!simdev_is_mtd(d->node))
        return simdev_i2c_write(*d, buf, len);
    int64_t pos = simdev_position(*d);
    return advance(*d, pos, simdev_mtd_write(*d, buf, len, pos));
}

ssize_t simdev_pread(int fd, void *buf, size_t len, int64_t offset)
{
    Desc *d = lookup(fd);
    if (!d)
        return -1;
    if (!simdev_is_mtd(d->node)) {
        // i2c-dev has no positioned transfers.
        errno = ESPIPE;
        return -1;
    }
    return simdev_mtd_read(*d, buf, len, offset);
}

ssize_t simdev_pwrite(int fd, const void *buf, size_t len, int64_t offset)
{
    Desc *d = lookup(fd);
    if (!d)
        return -1;
    if (!simdev_is_mtd(d->node)) {
        errno = ESPIPE;
        return -1;
    }
    return simdev_mtd_write(*d, buf, len, offset);
}

int64_t simdev_lseek(int fd, int64_t offset, int whence)
{
    Desc *d = lookup(fd);
    if (!d)
        return -1;
    if (!simdev_is_mtd(d->node)) {
        errno = ESPIPE;
        return -1;
    }
    return simdev_mtd_lseek(*d, offset, whence);
}

int simdev_ioctl(int fd, unsigned long request, void *arg)
{
    Desc *d = lookup(fd);
    if (!d)
        return -1;
    if (simdev_is_mtd(d->node))
        return simdev_mtd_ioctl(*d, request, arg);
    return simdev_i2c_ioctl(*d, request, arg);
}

void simdev_adopt_inherited()
{
    Model &m = simdev_model();
    if (!m.attached)
        return;
    DIR *dir = opendir("/proc/self/fd");
    if (!dir)
        return;
    std::string prefix = m.board_real + "/";
    int skip = dirfd(dir);
    while (struct dirent *e = readdir(dir)) {
        int fd = atoi(e->d_name);
        if (e->d_name[0] == '.' || fd == skip || fd == m.log_fd || simdev_desc(fd))
            continue;
        char target[PATH_MAX];
        std::string link = std::string("/proc/self/fd/") + e->d_name;
        ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
        if (n <= 0)
            continue;
        target[n] = '\0';
        if (strncmp(target, prefix.c_str(), prefix.size()) != 0)
            continue;
        std::vector<int> nodes = {kNodeI2c0, kNodeI2c1};
        for (int i = 0; i < simdev_mtd_count; i++)
            nodes.push_back(i);
        for (int node : nodes) {
            if (simdev_node_file(node) == target + prefix.size()) {
                int fl = fcntl(fd, F_GETFL);
                m.descs.push_back(Desc{fd, node, fl & O_ACCMODE, 0});
            }
        }
    }
    closedir(dir);
}

