// The I2C back end (simdev_i2c.cpp): the two buses as i2c-dev, for the
// dispatch.
#pragma once
#include "simdev_internal.h"

#include <cstddef>
#include <sys/types.h>

ssize_t simdev_i2c_read(Desc &d, void *buf, size_t len);
ssize_t simdev_i2c_write(Desc &d, const void *buf, size_t len);
int simdev_i2c_ioctl(Desc &d, unsigned long request, void *arg);
