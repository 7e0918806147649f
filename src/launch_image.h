// The application launch: the archive that the slot boot, the rescue
// partition and the installer write is unpacked in /tmp and started in the
// mode that the boot settings select.
#pragma once
#include <cstdint>

// The application archive that the boot writes and the launch unpacks.
constexpr const char *kArchivePath = "/tmp/velosimage.tar.gz";

// Unpacks kArchivePath in /tmp and starts the application (`diagnostics`
// 1: the diagnostics program in its place). A tree without the
// compatibility marker first offers the rescue menu, which may launch
// afresh. Never returns.
[[noreturn]] void launch_image(uint8_t diagnostics);
