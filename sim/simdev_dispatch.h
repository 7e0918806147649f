// The table of open emulated descriptors and the dispatch of their requests
// to the back ends (simdev_dispatch.cpp): what the two ways in (preload.cpp,
// wrap.cpp) call in place of the C library's call.
#pragma once
#include "simdev_internal.h"

#include <cstddef>
#include <cstdint>
#include <sys/types.h>

// Each returns -1 with errno set on failure, like the call it stands for.

// True when the path names an emulated node; then simdev_open decides.
bool simdev_is_node(const char *path);
int simdev_open(const char *path, int flags);
// True when fd is an open emulated descriptor.
bool simdev_owns(int fd);
int simdev_close(int fd);
ssize_t simdev_read(int fd, void *buf, size_t len);
ssize_t simdev_write(int fd, const void *buf, size_t len);
ssize_t simdev_pread(int fd, void *buf, size_t len, int64_t offset);
ssize_t simdev_pwrite(int fd, const void *buf, size_t len, int64_t offset);
int64_t simdev_lseek(int fd, int64_t offset, int whence);
int simdev_ioctl(int fd, unsigned long request, void *arg);
// Takes over the descriptors a process inherited across exec that still
// point into the board directory (found through /proc/self/fd).
void simdev_adopt_inherited();
// The open emulated descriptor fd, or null.
Desc *simdev_desc(int fd);
