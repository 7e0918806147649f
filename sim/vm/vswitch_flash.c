// SPDX-License-Identifier: GPL-2.0
/*
 * The switch's NOR flash for the virtual machine: one MTD device per
 * partition, named after it, whose bytes are a file of the board directory
 * (shared into the machine). As NOR flash: an erase sets a sector to 0xFF,
 * programming only clears bits (the new bytes are ANDed into the old), and
 * every operation reaches the file before it completes, so a power cut (the
 * machine killed) keeps every write that finished, whatever the kernel's
 * write-back of block devices: there is no page cache in between.
 *
 * cut_at_write=N cuts the power at the N-th write (counted over all the
 * partitions since the module loaded), before any byte of it lands: the
 * file cut_mark is made for the runner, every later write and erase fails,
 * and the machine resets at once, which ends it (QEMU runs with -no-reboot).
 */
#include <linux/fs.h>
#include <linux/module.h>
#include <linux/mtd/mtd.h>
#include <linux/mutex.h>
#include <linux/reboot.h>
#include <linux/slab.h>

#define MAX_PARTS 8
#define CHUNK 65536

static char *parts[MAX_PARTS];
static int nparts;
module_param_array(parts, charp, &nparts, 0444);
MODULE_PARM_DESC(parts, "NAME:FILE of each partition, in node order");
static uint erasesize;
module_param(erasesize, uint, 0444);
MODULE_PARM_DESC(erasesize, "sector size in bytes");
static uint cut_at_write;
module_param(cut_at_write, uint, 0444);
MODULE_PARM_DESC(cut_at_write, "cut the power at this write (0: never)");
static char *cut_mark;
module_param(cut_mark, charp, 0444);
MODULE_PARM_DESC(cut_mark, "file made when the power is cut");

struct part {
	struct mtd_info mtd;
	struct file *backing;
	struct mutex lock;	/* one read-modify-write at a time */
	char name[32];
};

static struct part flash[MAX_PARTS];
static atomic_t writes = ATOMIC_INIT(0);
static bool cut;

static void power_cut(void)
{
	struct file *mark;

	cut = true;
	mark = filp_open(cut_mark, O_WRONLY | O_CREAT, 0644);
	if (!IS_ERR(mark))
		filp_close(mark, NULL);
	pr_emerg("vswitch_flash: power cut at write %u\n", cut_at_write);
	emergency_restart();
}

static int part_read(struct mtd_info *mtd, loff_t from, size_t len, size_t *retlen,
		     u_char *buf)
{
	struct part *p = mtd->priv;
	loff_t pos = from;
	ssize_t got = kernel_read(p->backing, buf, len, &pos);

	if (got < 0)
		return got;
	*retlen = got;
	return got == len ? 0 : -EIO;
}

/* Stores `len` bytes at `to`: each ANDed into the byte there when `program`. */
static int store(struct part *p, loff_t to, size_t len, const u_char *buf, bool program,
		 size_t *retlen)
{
	u8 *work = kmalloc(min_t(size_t, len, CHUNK), GFP_KERNEL);
	size_t done = 0, i;
	int err = 0;

	if (!work)
		return -ENOMEM;
	mutex_lock(&p->lock);
	while (done < len && !err) {
		size_t n = min_t(size_t, len - done, CHUNK);
		loff_t pos = to + done;

		if (cut) {
			err = -EIO;
			break;
		}
		if (program) {
			if (kernel_read(p->backing, work, n, &pos) != n) {
				err = -EIO;
				break;
			}
			for (i = 0; i < n; i++)
				work[i] &= buf[done + i];
		} else {
			memset(work, 0xff, n);
		}
		pos = to + done;
		if (kernel_write(p->backing, work, n, &pos) != n)
			err = -EIO;
		else
			done += n;
	}
	mutex_unlock(&p->lock);
	kfree(work);
	if (retlen)
		*retlen = done;
	return err;
}

static int part_write(struct mtd_info *mtd, loff_t to, size_t len, size_t *retlen,
		      const u_char *buf)
{
	if (cut_at_write && atomic_inc_return(&writes) == cut_at_write)
		power_cut();
	return store(mtd->priv, to, len, buf, true, retlen);
}

static int part_erase(struct mtd_info *mtd, struct erase_info *instr)
{
	int err = store(mtd->priv, instr->addr, instr->len, NULL, false, NULL);

	if (err)
		instr->fail_addr = instr->addr;
	return err;
}

static void part_release(struct part *p)
{
	if (p->mtd.priv)
		mtd_device_unregister(&p->mtd);
	if (!IS_ERR_OR_NULL(p->backing))
		filp_close(p->backing, NULL);
}

/* One partition from its parameter "NAME:FILE". */
static int part_start(struct part *p, const char *arg)
{
	const char *path = strchr(arg, ':');
	loff_t size;
	int err;

	if (!path || path - arg >= sizeof(p->name) || !erasesize)
		return -EINVAL;
	memcpy(p->name, arg, path - arg);
	mutex_init(&p->lock);
	p->backing = filp_open(path + 1, O_RDWR | O_LARGEFILE, 0);
	if (IS_ERR(p->backing)) {
		pr_err("vswitch_flash: cannot open %s\n", path + 1);
		return PTR_ERR(p->backing);
	}
	/* A partition of no size is there, empty (a board may be made so). */
	size = i_size_read(file_inode(p->backing));
	if (size % erasesize)
		return -EINVAL;
	p->mtd.name = p->name;
	p->mtd.type = MTD_NORFLASH;
	p->mtd.flags = MTD_CAP_NORFLASH;
	p->mtd.size = size;
	p->mtd.erasesize = erasesize;
	p->mtd.writesize = 1;
	p->mtd.writebufsize = 1;
	p->mtd.owner = THIS_MODULE;
	p->mtd._read = part_read;
	p->mtd._write = part_write;
	p->mtd._erase = part_erase;
	p->mtd.priv = p;
	err = mtd_device_register(&p->mtd, NULL, 0);
	if (err)
		p->mtd.priv = NULL;
	return err;
}

static void release_all(void)
{
	int i;

	for (i = nparts - 1; i >= 0; i--)
		part_release(&flash[i]);
}

static int __init vswitch_flash_init(void)
{
	int i, err = 0;

	for (i = 0; i < nparts && !err; i++)
		err = part_start(&flash[i], parts[i]);
	if (err)
		release_all();
	return err;
}

static void __exit vswitch_flash_exit(void)
{
	release_all();
}

module_init(vswitch_flash_init);
module_exit(vswitch_flash_exit);
MODULE_DESCRIPTION("The virtual switch's NOR flash partitions");
MODULE_LICENSE("GPL");
