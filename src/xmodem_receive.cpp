// The XMODEM-1K receiver on the console's serial port.
#include "xmodem.h"

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

namespace {

constexpr uint8_t SOH = 0x01;
constexpr uint8_t STX = 0x02;
constexpr uint8_t EOT = 0x04;
constexpr uint8_t ACK = 0x06;
constexpr uint8_t NAK = 0x15;
constexpr uint8_t CAN = 0x18;
constexpr uint8_t kCrcRequest = 'C';

// Error bits of one cycle; the receiver only asks whether any is set, the
// bits tell a reader of a core dump what went wrong.
constexpr int kErrAfterEot = 0x001;
constexpr int kErrHeaderTimeout = 0x002;
constexpr int kErrCancel = 0x004;
constexpr int kErrCrc = 0x008;
constexpr int kErrNoData = 0x010;
constexpr int kErrZeroFirst = 0x020;
constexpr int kErrSequence = 0x040;
constexpr int kErrComplement = 0x080;
constexpr int kErrEarlyAck = 0x100;

// Failed blocks in a row after the first good one that are asked for again;
// the next failure aborts.
constexpr int kRetries = 2;
constexpr int kCancelBurst = 5;

// Timeouts in seconds.
constexpr int kStartTimeout = 1;       // header, until a block header came
constexpr int kBlockTimeout = 5;       // header, from then on
constexpr int kFieldTimeout = 3;       // block number, complement, CRC bytes
constexpr int kAfterEotTimeout = 5;
constexpr int kAfterCanTimeout = 3;
constexpr int kRepeatQuiet = 1;        // silence that ends a repeated block
constexpr int kErrorQuiet = 2;         // silence before NAK and after CAN
constexpr int kPutTimeout = 5;         // for room to send one byte

uint8_t buffer[kXmodemBlockSize];
int errorflag = 0;

// Bytes read from the port ahead of their use: one read takes whatever is
// waiting, instead of one system call per byte. Emptied by flushRX and
// whenever another descriptor is read.
struct ReadAhead {
    int fd = -1;
    uint8_t bytes[kXmodemBlockSize + 5];
    size_t next = 0;
    size_t end = 0;
};
ReadAhead ahead;

// CRC-16/XMODEM of one byte value in the register's high byte.
constexpr uint16_t crc_entry(unsigned value)
{
    unsigned crc = value << 8;
    for (int bit = 0; bit < 8; bit++)
        crc = (crc & 0x8000) ? (crc << 1) ^ 0x1021 : crc << 1;
    return uint16_t(crc);
}

struct CrcTable {
    uint16_t entry[256];
};

constexpr CrcTable make_crctab()
{
    CrcTable table{};
    for (unsigned i = 0; i < 256; i++)
        table.entry[i] = crc_entry(i);
    return table;
}

constexpr CrcTable crctab = make_crctab();

// Milliseconds on the monotonic clock, which the waits are measured by.
long long now_ms()
{
    struct timespec now;
    (void)clock_gettime(CLOCK_MONOTONIC, &now);
    return (long long)now.tv_sec * 1000 + now.tv_nsec / 1000000;
}

void sleep_ms(long long ms)
{
    struct timespec left = {time_t(ms / 1000), long(ms % 1000) * 1000000};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

// 1 with a byte at `dest`; 0 when the port has nothing yet; -1 when it
// reports end of input or an error.
int take_byte(int fd, uint8_t *dest)
{
    if (ahead.fd != fd) {
        ahead.fd = fd;
        ahead.next = ahead.end = 0;
    }
    if (ahead.next == ahead.end) {
        const ssize_t n = read(fd, ahead.bytes, sizeof ahead.bytes);
        if (n <= 0)
            return n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) ? 0 : -1;
        ahead.next = 0;
        ahead.end = size_t(n);
    }
    *dest = ahead.bytes[ahead.next++];
    return 1;
}

// Waits up to `ms` for the port to be ready for `events` (a byte arrived,
// or room to send), so that a block that follows its ACK at once is taken
// at once. False when the port never will be: it hung up, or it cannot be
// polled. A signal only ends the wait early.
bool wait_for_port(int fd, short events, long long ms)
{
    struct pollfd port = {fd, events, 0};
    const int ready = poll(&port, 1, int(ms));
    if (ready < 0)
        return errno == EINTR;
    return ready == 0 || (port.revents & (POLLHUP | POLLERR | POLLNVAL)) == 0;
}

struct Descriptor {
    int fd;
    explicit Descriptor(int value) : fd(value) {}
    Descriptor(const Descriptor &) = delete;
    Descriptor &operator=(const Descriptor &) = delete;
    ~Descriptor()
    {
        if (fd >= 0)
            (void)close(fd);
    }
};

// One transfer's state; the module-level `buffer` and `errorflag` go with
// it, so there is one transfer at a time.
struct Transfer {
    int port;
    int file;
    uint8_t header = 0;        // what ended the last header wait
    uint8_t last_good = 0;     // so that the first block expected is 1
    bool have_good = false;
    bool abort = false;
    int retries = 0;
    int start_requests = 0;
    int header_timeout = kStartTimeout;
    int total = 0;
};

bool write_all(int fd, const uint8_t *data, int count)
{
    while (count > 0) {
        const ssize_t n = write(fd, data, size_t(count));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data += n;
        count -= int(n);
    }
    return true;
}

// Bytes that end the wait for a header. Once a good block has arrived an
// ACK or CAN on the line is taken for noise.
bool ends_header_wait(uint8_t c, bool have_good)
{
    return c == SOH || c == STX || c == EOT || (!have_good && (c == ACK || c == CAN));
}

// -1 after the header timeout; otherwise the byte, also kept in t.header.
int wait_header(Transfer &t)
{
    uint8_t c;
    while (getByte(t.header_timeout, &c, t.port) == 1) {
        if (ends_header_wait(c, t.have_good)) {
            t.header = c;
            return c;
        }
    }
    return -1;
}

// The sender's EOT is answered with NAK; a second EOT, or silence, ends the
// transfer (t.header stays EOT). A header byte starts the next cycle.
void answer_eot(Transfer &t)
{
    fputs("EOT\n", stderr);
    flushRX(t.port);
    (void)putByte(NAK, t.port);
    uint8_t c;
    if (getByte(kAfterEotTimeout, &c, t.port) != 1)
        return;
    if (ends_header_wait(c, t.have_good)) {
        t.header = c;
        return;
    }
    t.header = 0;
    errorflag |= kErrAfterEot;
}

// CAN CAN is the sender cancelling. A lone CAN (noise, or no second byte
// in time) is a failed cycle like any other.
void answer_can(Transfer &t)
{
    fputs("CAN\n", stderr);
    uint8_t c;
    if (getByte(kAfterCanTimeout, &c, t.port) == 1 && (c & 0x7F) == CAN)
        t.abort = true;
    else
        errorflag |= kErrCancel;
}

// The data and CRC of the expected block; written and acknowledged when
// every byte arrived and the CRC matches.
void take_block(Transfer &t, uint8_t number, int size)
{
    uint16_t crc = 0;
    const int got = readData(buffer, size, &crc, t.port);
    // A block that stopped short would leave a hole in the file, even if
    // the bytes that came happen to pass the CRC.
    if (got < size) {
        errorflag |= kErrNoData;
        return;
    }
    uint8_t high;
    uint8_t low;
    if (getByte(kFieldTimeout, &high, t.port) != 1 || getByte(kFieldTimeout, &low, t.port) != 1 ||
        uint16_t(high << 8 | low) != crc) {
        errorflag |= kErrCrc;
        return;
    }
    // A block that cannot be stored must not be acknowledged: the transfer
    // would end "complete" with a hole in the file.
    if (!write_all(t.file, buffer, got)) {
        t.abort = true;
        return;
    }
    t.retries = 0;
    t.total += got;
    t.have_good = true;
    t.last_good = number;
    flushRX(t.port);
    (void)putByte(ACK, t.port);
}

void receive_block(Transfer &t, int size)
{
    if (!t.have_good) {
        t.retries = 0;
        t.header_timeout = kBlockTimeout;
    }
    uint8_t number;
    uint8_t complement;
    // A number or complement that never came is a failed block; the
    // comparison below only ever sees bytes that arrived.
    if (getByte(kFieldTimeout, &number, t.port) != 1 ||
        getByte(kFieldTimeout, &complement, t.port) != 1) {
        errorflag |= kErrComplement;
        return;
    }
    switch (judge_block_number(number, complement, t.last_good, t.have_good)) {
    case kBlockBadComplement: errorflag |= kErrComplement; break;
    case kBlockNext: take_block(t, number, size); break;
    case kBlockZeroFirst: errorflag |= kErrZeroFirst; break;
    case kBlockRepeat:
        // Its ACK was lost: acknowledge again, keep nothing.
        flushRX(t.port);
        drain_until_quiet(kRepeatQuiet, t.port);
        (void)putByte(ACK, t.port);
        break;
    default:
        errorflag |= kErrSequence;
        t.abort = true;
        break;
    }
}

void act_on_header(Transfer &t, int got)
{
    switch (got) {
    case -1: errorflag |= kErrHeaderTimeout; break;
    case EOT: answer_eot(t); break;
    case CAN: answer_can(t); break;
    case ACK: errorflag |= kErrEarlyAck; break;
    case SOH: receive_block(t, 128); break;
    default: receive_block(t, kXmodemBlockSize); break;
    }
}

// Before the first good block the sender is asked to start again; after
// it, the block is asked for again up to kRetries times in a row.
void answer_error(Transfer &t)
{
    if (!t.have_good) {
        if (t.header == EOT)
            return;
        if (t.start_requests >= kXmodemStartRequests) {
            t.abort = true;
            return;
        }
        t.start_requests++;
        (void)putByte(kCrcRequest, t.port);
        return;
    }
    if (++t.retries > kRetries) {
        t.abort = true;
        return;
    }
    flushRX(t.port);
    drain_until_quiet(kErrorQuiet, t.port);
    (void)putByte(NAK, t.port);
}

void run_transfer(Transfer &t)
{
    flushRX(t.port);
    (void)putByte(kCrcRequest, t.port);
    t.start_requests = 1;
    for (;;) {
        errorflag = 0;
        act_on_header(t, wait_header(t));
        if (errorflag != 0 && !t.abort)
            answer_error(t);
        if (t.header == EOT || t.abort)
            return;
    }
}

} // namespace

// The port is non-blocking, so a transmit buffer that is full for the
// moment refuses the byte with EAGAIN; an ACK, NAK or CAN lost that way
// would leave the sender waiting or resending. Waits for room instead, a
// bounded time, so that a line that never drains cannot hang the receiver.
int putByte(uint8_t byte, int fd)
{
    const long long deadline = now_ms() + kPutTimeout * 1000LL;
    for (;;) {
        const ssize_t n = write(fd, &byte, 1);
        if (n == 1)
            return 1;
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
            return -1;
        const long long left = deadline - now_ms();
        if (left <= 0 || !wait_for_port(fd, POLLOUT, left))
            return -1;
    }
}

int getByte(int seconds, uint8_t *dest, int fd)
{
    // Within a block the bytes are mostly waiting already: the clock is
    // read only once the port has nothing.
    long long deadline = -1;
    while (take_byte(fd, dest) != 1) {
        const long long now = now_ms();
        if (deadline < 0)
            deadline = now + seconds * 1000LL;
        const long long left = deadline - now;
        if (left <= 0)
            return -1;
        // A port that hung up polls as ready at once and brings nothing:
        // the rest of the wait is slept, so that it never spins.
        if (!wait_for_port(fd, POLLIN, left))
            sleep_ms(left);
    }
    return 1;
}

void flushRX(int fd)
{
    ahead.fd = fd;
    ahead.next = ahead.end = 0;
    while (read(fd, ahead.bytes, sizeof ahead.bytes) > 0) {
    }
}

void drain_until_quiet(int seconds, int fd)
{
    uint8_t ignored;
    while (getByte(seconds, &ignored, fd) == 1) {
    }
}

int readData(uint8_t *dest, int count, uint16_t *crc, int fd)
{
    *crc = 0;
    int got = 0;
    while (got < count) {
        const int pass_start = got;
        while (got < count && getByte(1, dest + got, fd) == 1)
            got++;
        if (got == pass_start)
            break;
        *crc = xmodem_crc16(dest + pass_start, size_t(got - pass_start), *crc);
    }
    return got;
}

uint16_t xmodem_crc16(const uint8_t *bytes, size_t count, uint16_t crc)
{
    for (size_t i = 0; i < count; i++)
        crc = uint16_t(crc << 8) ^ crctab.entry[(crc >> 8) ^ bytes[i]];
    return crc;
}

int judge_block_number(uint8_t number, uint8_t complement, uint8_t last_good, int have_good)
{
    if (number + complement != 255)
        return kBlockBadComplement;
    if (number == uint8_t(last_good + 1))
        return kBlockNext;
    if (number == 0 && !have_good)
        return kBlockZeroFirst;
    if (number == last_good)
        return kBlockRepeat;
    return kBlockOutOfSequence;
}

int Xmodem1K(const char *path)
{
    const int port = init_serial();
    // Without a port there is nobody to ask for a file: sending "C" into a
    // descriptor that is not open would go on for ever.
    if (port < 0)
        return -1;
    Descriptor owned_port(port);
    Descriptor file(open(path, O_WRONLY | O_CREAT | O_TRUNC, 0666));
    if (file.fd < 0) {
        perror("Can't open file!");
        reset_serial(port);
        return -1;
    }
    Transfer t{port, file.fd};
    run_transfer(t);
    if (t.abort) {
        for (int i = 0; i < kCancelBurst; i++)
            (void)putByte(CAN, port);
        flushRX(port);
        drain_until_quiet(kErrorQuiet, port);
        reset_serial(port);
        return 0;
    }
    (void)putByte(ACK, port);
    fputs("All done\n", stderr);
    reset_serial(port);
    return t.total;
}
