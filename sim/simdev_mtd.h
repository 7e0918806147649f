// The MTD back end (simdev_mtd.cpp): the partitions as mtdchar over NOR
// flash, for the dispatch.
#pragma once
#include "simdev_internal.h"

#include <cstddef>
#include <cstdint>
#include <sys/types.h>

// Positioned transfers at pos; the caller moves the file position.
ssize_t simdev_mtd_read(Desc &d, void *buf, size_t len, int64_t pos);
ssize_t simdev_mtd_write(Desc &d, const void *buf, size_t len, int64_t pos);
int64_t simdev_mtd_lseek(Desc &d, int64_t offset, int whence);
int simdev_mtd_ioctl(Desc &d, unsigned long request, void *arg);
