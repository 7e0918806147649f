// SPDX-License-Identifier: GPL-2.0
/*
 * The switch's two I2C buses for the virtual machine: adapter 0 with the VPD
 * EEPROM at 0x54 (two-byte offsets, 32-byte write pages) and adapter 1 with
 * the eight-bit register device at 0x20. The adapters do plain I2C messages
 * (I2C_FUNC_I2C); SMBus requests reach them through the I2C core's
 * emulation, as on an adapter without native SMBus support.
 *
 * Each chip's bytes are a file of the board directory (shared into the
 * machine): read whole when the module loads, and every stored byte written
 * through to it before the message completes, so a power cut (the machine
 * killed) keeps every write that finished and none that did not. A chip
 * named in `nak` is not fitted: nothing answers at its address.
 */
#include <linux/fs.h>
#include <linux/i2c.h>
#include <linux/module.h>
#include <linux/slab.h>

static char *vpd_file;
static char *regs_file;
module_param(vpd_file, charp, 0444);
MODULE_PARM_DESC(vpd_file, "backing file of the VPD EEPROM (bus 0, 0x54)");
module_param(regs_file, charp, 0444);
MODULE_PARM_DESC(regs_file, "backing file of the register device (bus 1, 0x20)");
static char *nak;
module_param(nak, charp, 0444);
MODULE_PARM_DESC(nak, "chips that do not answer, as BUS-ADDR[,BUS-ADDR...] (0-54)");

#define EEPROM_PAGE 32

struct chip {
	u16 addr;
	u32 size;
	bool two_byte;		/* EEPROM: 16-bit offsets and page writes */
	bool absent;		/* named in nak */
	u8 *mem;
	u32 ptr;		/* the chip's own address pointer */
	struct file *backing;
	struct i2c_adapter adap;
};

static struct chip chips[2] = {
	{ .addr = 0x54, .size = 8192, .two_byte = true },
	{ .addr = 0x20, .size = 256, .two_byte = false },
};

static void persist(struct chip *c, u32 from, u32 len)
{
	loff_t pos = from;

	if (kernel_write(c->backing, c->mem + from, len, &pos) != len)
		pr_err("vswitch_i2c: chip 0x%02x: write-through failed\n", c->addr);
}

/* Stores from the pointer on; an EEPROM wraps within its 32-byte page. */
static void chip_write(struct chip *c, const u8 *buf, u16 len)
{
	u16 head = c->two_byte ? 2 : 1;
	u16 i;

	if (len < head)
		return;
	c->ptr = (c->two_byte ? (buf[0] << 8 | buf[1]) : buf[0]) % c->size;
	for (i = head; i < len; i++) {
		c->mem[c->ptr] = buf[i];
		persist(c, c->ptr, 1);
		if (c->two_byte)
			c->ptr = (c->ptr & ~(EEPROM_PAGE - 1)) | ((c->ptr + 1) & (EEPROM_PAGE - 1));
		else
			c->ptr = (c->ptr + 1) % c->size;
	}
}

static void chip_read(struct chip *c, u8 *buf, u16 len)
{
	u16 i;

	for (i = 0; i < len; i++) {
		buf[i] = c->mem[c->ptr];
		c->ptr = (c->ptr + 1) % c->size;
	}
}

static int xfer(struct i2c_adapter *adap, struct i2c_msg *msgs, int num)
{
	struct chip *c = i2c_get_adapdata(adap);
	int i;

	for (i = 0; i < num; i++) {
		if (msgs[i].addr != c->addr || c->absent || (msgs[i].flags & I2C_M_TEN))
			return -ENXIO;	/* nobody acknowledges the address */
		if (msgs[i].flags & I2C_M_RD)
			chip_read(c, msgs[i].buf, msgs[i].len);
		else
			chip_write(c, msgs[i].buf, msgs[i].len);
	}
	return num;
}

static u32 functionality(struct i2c_adapter *adap)
{
	return I2C_FUNC_I2C | I2C_FUNC_SMBUS_EMUL;
}

static const struct i2c_algorithm algorithm = {
	.master_xfer = xfer,
	.functionality = functionality,
};

/* Whether "BUS-ADDR" of this chip is in the nak list. */
static bool in_nak_list(int nr, u16 addr)
{
	const char *at = nak;
	char want[8];
	size_t n;

	snprintf(want, sizeof(want), "%d-%02x", nr, addr);
	n = strlen(want);
	while (at && *at) {
		if (!strncmp(at, want, n) && (at[n] == ',' || !at[n]))
			return true;
		at = strchr(at, ',');
		at = at ? at + 1 : NULL;
	}
	return false;
}

static void chip_release(struct chip *c)
{
	if (c->adap.algo)
		i2c_del_adapter(&c->adap);
	if (!IS_ERR_OR_NULL(c->backing))
		filp_close(c->backing, NULL);
	kfree(c->mem);
}

static int chip_start(struct chip *c, int nr, const char *path)
{
	loff_t pos = 0;
	ssize_t got;

	if (!path)
		return -EINVAL;
	c->mem = kmalloc(c->size, GFP_KERNEL);
	if (!c->mem)
		return -ENOMEM;
	memset(c->mem, 0xff, c->size);
	c->backing = filp_open(path, O_RDWR, 0);
	if (IS_ERR(c->backing)) {
		pr_err("vswitch_i2c: cannot open %s\n", path);
		return PTR_ERR(c->backing);
	}
	got = kernel_read(c->backing, c->mem, c->size, &pos);
	if (got < 0)
		return got;
	c->absent = in_nak_list(nr, c->addr);
	c->adap.owner = THIS_MODULE;
	c->adap.algo = &algorithm;
	c->adap.nr = nr;
	snprintf(c->adap.name, sizeof(c->adap.name), "vswitch bus %d", nr);
	i2c_set_adapdata(&c->adap, c);
	got = i2c_add_numbered_adapter(&c->adap);
	if (got)
		c->adap.algo = NULL;
	return got;
}

static int __init vswitch_i2c_init(void)
{
	/* Without vpd_file, bus 0 is the SoC's own controller and its EEPROM. */
	int err = vpd_file ? chip_start(&chips[0], 0, vpd_file) : 0;

	if (!err)
		err = chip_start(&chips[1], 1, regs_file);
	if (err) {
		chip_release(&chips[1]);
		chip_release(&chips[0]);
	}
	return err;
}

static void __exit vswitch_i2c_exit(void)
{
	chip_release(&chips[1]);
	chip_release(&chips[0]);
}

module_init(vswitch_i2c_init);
module_exit(vswitch_i2c_exit);
MODULE_DESCRIPTION("The virtual switch's VPD EEPROM and bus-1 device");
MODULE_LICENSE("GPL");
