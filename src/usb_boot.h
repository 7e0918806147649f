// USB boot: waiting for the stick, the boot-loader update and the slot
// replacements from it, the choice of booting the stick's own image, and the
// list of rejected stick images (whose question, yesno_question, is the
// console's).
//
// The system never mounts the stick: the root filesystem's hotplug handler
// mounts it read-only on "/mnt/usb" and creates "/tmp/usb" once its files
// can be read there. Only the presence of the stick's files is tested here;
// their contents are judged by the installer and the extraction.
#pragma once

// 0 when the stick is ready, or at once when usb_boot_enabled is clear; -1
// when "/tmp/usb" did not appear within ten tests one second apart (after a
// first second), with the dots and "USB mount timed out" on one line.
int usb_mount();
// Installs "/mnt/usb/QLX5270_Boot.img" when present (skipping what is
// installed already) and resets the board when anything was written;
// otherwise returns 0.
int usb_update_boot();
// Installs the replacements for slot 2, then slot 1 (a listed one only when
// the operator says yes) and tells what to boot: 1 or 2 the slot replaced
// last, 3 the stick's own image, 0 nothing from the stick (also when the
// operator refused a listed replacement).
int usb_which_image();

// --- The rejected-image list --------------------------------------------
// Room for a fingerprint: 32 lower-case hexadecimal characters and a NUL.
constexpr int kMd5StringSize = 33;
// The MD5 fingerprint of the file at `path` (given to the shell unquoted),
// through "/tmp/img_md5string". 1 when `fingerprint` holds the 32
// characters and the NUL; 0 otherwise (`fingerprint` is then empty).
int get_md5string(const char *path, char *fingerprint);
// 1 when the file's fingerprint has a marker in "/user/images/rejected"; 0
// when not, or when no fingerprint could be made (after a warning line).
int usb_is_image_rejected(const char *path);
// Makes the marker of the file's fingerprint (nothing when it is there
// already; a warning line when no fingerprint could be made).
void usb_add_image_to_reject_list(const char *path);
