// MTD flash partitions: opened once at start-up, geometry measured on the
// kernel partition, byte ranges read, erased and rewritten sector by sector.
//
// Internal operations return 1 for success and 0 for failure; the exported
// api_flash_* layer returns 0 for success and -1 for failure and refuses
// every request (touching nothing) while the flash geometry is unknown.
#pragma once
#include <cstdint>

// Partition descriptors; -1 until opened or when the open failed. They are
// never closed: what the launch starts inherits them.
extern int uboot_fd;       // /dev/mtd-uboot
extern int uboot_env_fd;   // /dev/mtd-ubootenv
extern int device_tree_fd; // /dev/mtd-devicetree
extern int kernel_fd;      // /dev/mtd-kernel
extern int rfs_fd;         // /dev/mtd-rfs
extern int rescue_fd;      // /dev/mtd-rescue
extern int flash_fd;       // copy of kernel_fd, whose geometry is measured

// Trace switches: when non-zero, the operations of that kind print a trace
// line on stdout before they act. Nothing in the launcher sets them.
extern int debug_read;
extern int debug_write;
extern int debug_erase;

// Opens the partitions (mtd_open) and measures the geometry (mtd_type).
// 0 on success, -1 otherwise.
int api_flash_init();

// Reads `length` bytes at `offset` of partition `fd` into `dest`.
// 0 on success (a short read counts as success), -1 on failure.
int api_flash_read(void *dest, int fd, uint32_t offset, uint32_t length);

// Writes `length` bytes from `src` at `offset`: every sector the range
// touches is read, patched, erased and written back in 1024-byte pieces,
// except a sector that already holds the new bytes, which is neither
// erased nor written (the progress display is the same either way).
// A non-zero `progress` shows the percentage display on stdout.
// 0 on success, -1 on failure (the partition may be left partly rewritten).
int api_flash_write(const void *src, int fd, uint32_t offset, uint32_t length, uint8_t progress);

// Erases every sector that the range touches. 0 on success, -1 on failure.
int api_flash_erase(int fd, uint32_t offset, uint32_t length);

// Internal layer, offered for tests and the tools; note the range
// operations take the length before the offset.
void mtd_open();
int mtd_type();
int mtd_get_size(int fd, uint32_t *size);
int mtd_read(int fd, uint32_t offset, uint32_t length, void *buffer);
int mtd_write(int fd, uint32_t offset, uint32_t length, const void *buffer);
int mtd_erase(int fd, uint32_t start, uint32_t length);
int flash_open();
int flash_read(void *buffer, int fd, uint32_t length, uint32_t offset);
int flash_erase(int fd, uint32_t length, uint32_t offset);
int flash_write(const void *buffer, int fd, uint32_t length, uint32_t offset, uint8_t progress);

// The measured geometry, for tests and diagnostics.
struct FlashInfo {
    char description[128];
    uint32_t sector_count;
    uint32_t sector_size;
    uint32_t sector_shift;
    uint32_t size;
};
const FlashInfo *flash_info();

// Puts the module back to its start state: closes the descriptors, forgets
// the geometry, clears the trace switches. Tests only.
void flash_reset_state();
