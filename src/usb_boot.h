// USB boot: stick mount and image discovery, the rejected-image list and the
// yes/no prompt.
//
// NOT YET BUILT: until USB boot is written, every operation below is a
// placeholder that does what its callers expect in the do-nothing case: the
// stick never comes up, there is nothing to install or boot from it, nothing
// is on the rejected list, and every question is answered no.
#pragma once

// Waits for the stick. Placeholder: -1 (the stick did not come up).
int usb_mount();
// Installs a boot image found on the stick. Placeholder: does nothing.
int usb_update_boot();
// 0 nothing to boot from the stick; 1 or 2 a replacement was installed
// into that slot; 3 boot the stick's image. Placeholder: 0.
int usb_which_image();
// Non-zero when the stick image `path` is on the rejected list.
// Placeholder: 0.
int usb_is_image_rejected(const char *path);
// Puts the stick image `path` on the rejected list. Placeholder: nothing.
int usb_add_image_to_reject_list(const char *path);
// Asks `prompt`; 1 for y, 0 for n or no answer in 5 s. Placeholder: 0,
// without asking.
int yesno_question(const char *prompt);
