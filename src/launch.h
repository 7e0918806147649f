// The boot launcher's top: the start-up sequence and slot choice, and the
// boot settings from the boot-loader environment, with the program entry
// `main` (launch.cpp). It stands on the board's services (board.h), the
// slot boot with its fallback ladder (extract.h), the rescue menu
// (rescue.h) and the USB stick (usb_boot.h); nothing below includes this
// header.
//
// Below the top, calls run both ways between the boot and the rescue
// console, by design: the start-up and the launch's compatibility question
// (launch_image) call the rescue menu, and the menu's actions call back
// into the rescue-partition boot (extract_image_from_flash) and the
// installer (processTroveImage), which launch afresh (launch_image). Each
// such turn needs an operator's choice, so no loop runs without one, and a
// launch never returns to the call that led to it.
#pragma once
#include <cstdint>

// --- Start-up sequence and slot choice ------------------------------------
// The whole start-up sequence of `main`, from sig_init to the final
// board_reset. Does not return.
[[noreturn]] void run_boot_sequence();
// The board's bring-up, the start-up's steps after the SIGINT handler and
// in their order: opens the I2C buses and the flash partitions, reads the
// boot settings and mounts the user partition (results ignored: a part
// that failed shows its failure where it is used). The programs that the
// tests and benchmarks boot in the launcher's place start the board with
// it too.
void board_bring_up();
// The slot to boot from the VPD boot slot: 2 for 2, else 1.
int which_image();

// --- Boot settings --------------------------------------------------------
// Reads the 1280 bytes after the environment's checksum word and sets the
// boot flags. When the partition cannot be read every setting is kept.
// Always 0.
int parse_uboot_env();
// The parse itself over the 1280 environment bytes (NULs included); what
// parse_uboot_env runs on what it read. For tests.
constexpr uint32_t kUbootEnvOffset = 4;
constexpr uint32_t kUbootEnvLength = 1280;
void parse_uboot_env_text(const uint8_t *bytes);
