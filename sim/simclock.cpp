// The harness's clock: see simclock.h.
#include "simclock.h"

#include <pthread.h>
#include <time.h>

extern "C" {
int __real_clock_gettime(clockid_t clock, struct timespec *now);
int __real_nanosleep(const struct timespec *want, struct timespec *left);
unsigned int __real_sleep(unsigned int seconds);

int __wrap_clock_gettime(clockid_t clock, struct timespec *now);
int __wrap_nanosleep(const struct timespec *want, struct timespec *left);
unsigned int __wrap_sleep(unsigned int seconds);
}

namespace {

constexpr int64_t kNsPerSecond = 1000000000;

bool started = false;
pthread_t owner;
int64_t virtual_ns = 0;

bool on_virtual_time()
{
    return started && pthread_equal(pthread_self(), owner);
}

} // namespace

void simclock_start()
{
    started = true;
    owner = pthread_self();
    virtual_ns = 0;
}

int64_t simclock_now()
{
    return virtual_ns;
}

void simclock_advance(int64_t ns)
{
    if (ns > 0)
        virtual_ns += ns;
}

int __wrap_clock_gettime(clockid_t clock, struct timespec *now)
{
    if (clock != CLOCK_MONOTONIC || !on_virtual_time())
        return __real_clock_gettime(clock, now);
    now->tv_sec = time_t(virtual_ns / kNsPerSecond);
    now->tv_nsec = long(virtual_ns % kNsPerSecond);
    return 0;
}

int __wrap_nanosleep(const struct timespec *want, struct timespec *left)
{
    if (!on_virtual_time())
        return __real_nanosleep(want, left);
    simclock_advance(int64_t(want->tv_sec) * kNsPerSecond + want->tv_nsec);
    return 0;
}

unsigned int __wrap_sleep(unsigned int seconds)
{
    if (!on_virtual_time())
        return __real_sleep(seconds);
    simclock_advance(int64_t(seconds) * kNsPerSecond);
    return 0;
}
