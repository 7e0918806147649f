// The two I2C buses as i2c-dev presents them: read() and write() are one
// plain I2C message each to the address selected with I2C_SLAVE; I2C_SMBUS
// requests become the plain messages an adapter without native SMBus
// support would send; I2C_RDWR carries a list of messages.
#include "simdev_faults.h"
#include "simdev_i2c.h"
#include "simdev_internal.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <linux/i2c-dev.h>
#include <linux/i2c.h>

namespace {

// i2c-dev never moves more than this in one message.
const size_t kMaxMessage = 8192;
// I2C_RDWR takes at most this many messages (I2C_RDWR_IOCTL_MAX_MSGS).
const uint32_t kMaxRdwrMessages = 42;
// The VPD EEPROM programs at most one 32-byte page per write cycle.
const uint32_t kEepromPage = 32;

int bus_of(const Desc &d)
{
    return d.node == kNodeI2c0 ? 0 : 1;
}

// The chip answering at an address, or null for a NAK.
I2cChip *chip_at(int bus, int addr)
{
    if (simdev_fault_nak(bus, addr))
        return nullptr;
    for (I2cChip &c : simdev_model().chips)
        if (c.bus == bus && c.addr == addr)
            return &c;
    return nullptr;
}

bool two_byte_addressing(const I2cChip &c)
{
    return c.mem.size > 256;
}

// A write message as the chip takes it: the address (two bytes for the
// EEPROM, one register number otherwise), then data stored from there on.
void chip_write(I2cChip &c, const uint8_t *bytes, size_t len)
{
    size_t head = two_byte_addressing(c) ? 2 : 1;
    if (len < head)
        return;  // an incomplete address leaves the pointer alone
    uint32_t ptr = head == 2 ? (uint32_t(bytes[0]) << 8 | bytes[1]) : bytes[0];
    ptr %= c.mem.size;
    for (size_t i = head; i < len; i++) {
        c.mem.bytes[ptr] = bytes[i];
        if (two_byte_addressing(c))  // page writes wrap within the page
            ptr = (ptr & ~(kEepromPage - 1)) | ((ptr + 1) & (kEepromPage - 1));
        else
            ptr = (ptr + 1) % c.mem.size;
    }
    c.pointer = ptr;
}

// Sequential read from the pointer, wrapping at the chip end.
void chip_read(I2cChip &c, uint8_t *out, size_t len)
{
    for (size_t i = 0; i < len; i++) {
        out[i] = c.mem.bytes[c.pointer];
        c.pointer = (c.pointer + 1) % c.mem.size;
    }
}

// A power cut, or a write the EEPROM does not take, at a write message
// that stores at least one byte into the VPD EEPROM (beyond its two address
// bytes): none of it lands. True when the write fails.
bool vpd_write_fails(const I2cChip &c, size_t len, const std::string &line)
{
    Model &m = simdev_model();
    if (!two_byte_addressing(c) || len <= 2)
        return false;
    m.vpd_writes++;
    if (m.faults.cut_at_vpd_write != 0 && m.vpd_writes == m.faults.cut_at_vpd_write)
        simdev_power_cut(line);
    return m.vpd_writes == m.faults.fail_vpd_write;
}

std::string addr_text(int addr)
{
    char buf[8];
    snprintf(buf, sizeof buf, "0x%02x", addr);
    return buf;
}

std::string node_prefix(const Desc &d)
{
    return simdev_node_name(d.node) + " ";
}

// One plain write message; logs "<bus> write <addr> <bytes>".
int message_write(const Desc &d, int addr, const uint8_t *bytes, size_t len)
{
    std::string line = node_prefix(d) + "write " + addr_text(addr);
    if (len)
        line += " " + simdev_hex_bytes(bytes, len);
    if (simdev_fault_on(simdev_model().faults.fail_write, simdev_node_name(d.node)))
        return simdev_fail(line, EIO);
    I2cChip *c = chip_at(bus_of(d), addr);
    if (!c)
        return simdev_fail(line, ENXIO);
    if (vpd_write_fails(*c, len, line))
        return simdev_fail(line, EIO);
    chip_write(*c, bytes, len);
    simdev_log_line(line);
    return 0;
}

// One plain read message; logs "<bus> read <addr> <len> -> <bytes>".
int message_read(const Desc &d, int addr, uint8_t *out, size_t len)
{
    std::string line = node_prefix(d) + "read " + addr_text(addr) + " " + std::to_string(len);
    if (simdev_fault_on(simdev_model().faults.fail_read, simdev_node_name(d.node)))
        return simdev_fail(line, EIO);
    I2cChip *c = chip_at(bus_of(d), addr);
    if (!c)
        return simdev_fail(line, ENXIO);
    chip_read(*c, out, len);
    simdev_log_line(line + " ->" + (len ? " " : "") + simdev_hex_bytes(out, len));
    return 0;
}

int select_slave(Desc &d, unsigned long request, unsigned long addr)
{
    std::string line = node_prefix(d) + (request == I2C_SLAVE ? "slave " : "slave-force ") +
                       addr_text(static_cast<int>(addr & 0xffff));
    // Without ten-bit addressing the kernel takes 7-bit addresses only.
    if (addr > 0x7f)
        return simdev_fail(line, EINVAL);
    d.slave = static_cast<uint16_t>(addr);
    simdev_log_line(line);
    return 0;
}

// ---- SMBus over plain I2C ---------------------------------------------------

bool smbus_size_known(uint32_t size)
{
    switch (size) {
    case I2C_SMBUS_QUICK: case I2C_SMBUS_BYTE: case I2C_SMBUS_BYTE_DATA:
    case I2C_SMBUS_WORD_DATA: case I2C_SMBUS_PROC_CALL: case I2C_SMBUS_BLOCK_DATA:
    case I2C_SMBUS_I2C_BLOCK_BROKEN: case I2C_SMBUS_BLOCK_PROC_CALL:
    case I2C_SMBUS_I2C_BLOCK_DATA:
        return true;
    default:
        return false;
    }
}

// The bytes that go out first (command, then written data) and how many
// come back, as the kernel's SMBus emulation lays them out.
struct SmbusPlan {
    uint8_t out[I2C_SMBUS_BLOCK_MAX + 2];
    size_t out_len = 0;
    size_t in_len = 0;
    bool has_command = true;
};

int plan_smbus(const i2c_smbus_ioctl_data &r, SmbusPlan &plan)
{
    bool rd = r.read_write == I2C_SMBUS_READ;
    const i2c_smbus_data *data = r.data;
    plan.out[plan.out_len++] = r.command;
    switch (r.size) {
    case I2C_SMBUS_QUICK:
        plan.out_len = 0;
        plan.has_command = false;
        return 0;
    case I2C_SMBUS_BYTE:
        plan.has_command = false;
        if (rd) {
            plan.out_len = 0;
            plan.in_len = 1;
        }
        return 0;
    case I2C_SMBUS_BYTE_DATA:
        if (rd)
            plan.in_len = 1;
        else
            plan.out[plan.out_len++] = data->byte;
        return 0;
    case I2C_SMBUS_WORD_DATA:
    case I2C_SMBUS_PROC_CALL:
        if (rd) {
            plan.in_len = 2;
            return 0;
        }
        plan.out[plan.out_len++] = static_cast<uint8_t>(data->word & 0xff);
        plan.out[plan.out_len++] = static_cast<uint8_t>(data->word >> 8);
        if (r.size == I2C_SMBUS_PROC_CALL)
            plan.in_len = 2;
        return 0;
    case I2C_SMBUS_I2C_BLOCK_BROKEN:
    case I2C_SMBUS_I2C_BLOCK_DATA: {
        size_t n = data->block[0];
        if (rd && r.size == I2C_SMBUS_I2C_BLOCK_BROKEN)
            n = I2C_SMBUS_BLOCK_MAX;
        if (n < 1 || n > I2C_SMBUS_BLOCK_MAX)
            return EINVAL;
        if (rd) {
            plan.in_len = n;
            return 0;
        }
        memcpy(plan.out + plan.out_len, data->block + 1, n);
        plan.out_len += n;
        return 0;
    }
    case I2C_SMBUS_BLOCK_DATA:
        if (rd)  // needs I2C_M_RECV_LEN, which this adapter lacks
            return EOPNOTSUPP;
        if (data->block[0] < 1 || data->block[0] > I2C_SMBUS_BLOCK_MAX)
            return EINVAL;
        memcpy(plan.out + plan.out_len, data->block, data->block[0] + 1u);
        plan.out_len += data->block[0] + 1u;
        return 0;
    default:
        return EOPNOTSUPP;
    }
}

void store_smbus_result(const i2c_smbus_ioctl_data &r, const uint8_t *in, size_t len)
{
    if (len == 0)
        return;
    switch (r.size) {
    case I2C_SMBUS_BYTE:
    case I2C_SMBUS_BYTE_DATA:
        r.data->byte = in[0];
        break;
    case I2C_SMBUS_WORD_DATA:
    case I2C_SMBUS_PROC_CALL:
        r.data->word = static_cast<uint16_t>(in[0] | in[1] << 8);
        break;
    default:
        r.data->block[0] = static_cast<uint8_t>(len);
        memcpy(r.data->block + 1, in, len);
        break;
    }
}

std::string smbus_line(const Desc &d, const i2c_smbus_ioctl_data &r, const SmbusPlan &plan)
{
    bool rd = r.read_write == I2C_SMBUS_READ;
    std::string line = node_prefix(d);
    if (r.size == I2C_SMBUS_QUICK)
        return line + "smbus-quick " + addr_text(d.slave) + (rd ? " read" : " write");
    line += (rd ? "smbus-read " : "smbus-write ") + addr_text(d.slave);
    size_t data_from = 0;
    if (plan.has_command) {
        char reg[16];
        snprintf(reg, sizeof reg, " reg 0x%02x", r.command);
        line += reg;
        data_from = 1;
    }
    if (plan.out_len > data_from)
        line += " " + simdev_hex_bytes(plan.out + data_from, plan.out_len - data_from);
    return line;
}

// The transfers of one planned SMBus request: the write part (if any) and
// the read part (if any), to the selected address.
int run_smbus(const Desc &d, const SmbusPlan &plan, bool rd, uint8_t *in, int &err)
{
    if (simdev_fault_on(rd ? simdev_model().faults.fail_read : simdev_model().faults.fail_write,
                        simdev_node_name(d.node))) {
        err = EIO;
        return -1;
    }
    I2cChip *c = chip_at(bus_of(d), d.slave);
    if (!c) {
        err = ENXIO;
        return -1;
    }
    if (plan.out_len > 0)
        chip_write(*c, plan.out, plan.out_len);
    chip_read(*c, in, plan.in_len);
    return 0;
}

int smbus(Desc &d, void *arg)
{
    if (!arg) {
        errno = EFAULT;
        return -1;
    }
    i2c_smbus_ioctl_data r;
    memcpy(&r, arg, sizeof r);
    std::string line = node_prefix(d) + "smbus " + addr_text(d.slave);
    // Argument checks of i2c-dev: a known size and direction, and data for
    // everything but a quick command or a byte write.
    if (!smbus_size_known(r.size) ||
        (r.read_write != I2C_SMBUS_READ && r.read_write != I2C_SMBUS_WRITE))
        return simdev_fail(line, EINVAL);
    bool rd = r.read_write == I2C_SMBUS_READ;
    bool needs_data = !(r.size == I2C_SMBUS_QUICK || (r.size == I2C_SMBUS_BYTE && !rd));
    if (needs_data && !r.data)
        return simdev_fail(line, EINVAL);
    SmbusPlan plan;
    int bad = plan_smbus(r, plan);
    line = smbus_line(d, r, plan);
    if (bad)
        return simdev_fail(line, bad);
    uint8_t in[I2C_SMBUS_BLOCK_MAX];
    int err = 0;
    if (run_smbus(d, plan, rd, in, err) != 0)
        return simdev_fail(line, err);
    store_smbus_result(r, in, plan.in_len);
    if (plan.in_len)
        line += " -> " + simdev_hex_bytes(in, plan.in_len);
    simdev_log_line(line);
    return 0;
}

// ---- I2C_RDWR ---------------------------------------------------------------

int rdwr(Desc &d, void *arg)
{
    if (!arg) {
        errno = EFAULT;
        return -1;
    }
    i2c_rdwr_ioctl_data r;
    memcpy(&r, arg, sizeof r);
    std::string line = node_prefix(d) + "rdwr " + std::to_string(r.nmsgs);
    if (r.nmsgs > kMaxRdwrMessages)
        return simdev_fail(line, EINVAL);
    if (!r.msgs)
        return simdev_fail(line, EFAULT);
    for (uint32_t i = 0; i < r.nmsgs; i++) {
        const i2c_msg &m = r.msgs[i];
        if (m.len > kMaxMessage || (m.flags & (I2C_M_TEN | I2C_M_RECV_LEN)))
            return simdev_fail(line, EINVAL);
    }
    for (uint32_t i = 0; i < r.nmsgs; i++) {
        const i2c_msg &m = r.msgs[i];
        int rc = (m.flags & I2C_M_RD) ? message_read(d, m.addr, m.buf, m.len)
                                      : message_write(d, m.addr, m.buf, m.len);
        if (rc != 0)
            return -1;
    }
    return static_cast<int>(r.nmsgs);
}

} // namespace

ssize_t simdev_i2c_read(Desc &d, void *buf, size_t len)
{
    if (len > kMaxMessage)
        len = kMaxMessage;
    if (message_read(d, d.slave, static_cast<uint8_t *>(buf), len) != 0)
        return -1;
    return static_cast<ssize_t>(len);
}

ssize_t simdev_i2c_write(Desc &d, const void *buf, size_t len)
{
    if (len > kMaxMessage)
        len = kMaxMessage;
    if (message_write(d, d.slave, static_cast<const uint8_t *>(buf), len) != 0)
        return -1;
    return static_cast<ssize_t>(len);
}

int simdev_i2c_ioctl(Desc &d, unsigned long request, void *arg)
{
    switch (request) {
    case I2C_SLAVE:
    case I2C_SLAVE_FORCE:
        // The address comes by value, not through a pointer.
        return select_slave(d, request, reinterpret_cast<uintptr_t>(arg));
    case I2C_FUNCS: {
        unsigned long funcs = I2C_FUNC_I2C | I2C_FUNC_SMBUS_EMUL;
        if (!arg) {
            errno = EFAULT;
            return -1;
        }
        memcpy(arg, &funcs, sizeof funcs);
        return 0;
    }
    case I2C_SMBUS:
        return smbus(d, arg);
    case I2C_RDWR:
        return rdwr(d, arg);
    case I2C_RETRIES:
    case I2C_TIMEOUT:
    case I2C_PEC:
        return 0;
    case I2C_TENBIT:
        // No ten-bit addressing on these buses.
        if (arg) {
            errno = EINVAL;
            return -1;
        }
        return 0;
    default: {
        char line[64];
        snprintf(line, sizeof line, "%s ioctl 0x%lx", simdev_node_name(d.node).c_str(), request);
        return simdev_fail(line, ENOTTY);
    }
    }
}
