// NOT YET BUILT: placeholders until USB boot is written; see usb_boot.h for
// what each returns.
#include "usb_boot.h"

int usb_mount()
{
    return -1; // placeholder: the stick never comes up
}

int usb_update_boot()
{
    return 0; // placeholder: nothing installed
}

int usb_which_image()
{
    return 0; // placeholder: nothing to boot from the stick
}

int usb_is_image_rejected(const char *)
{
    return 0; // placeholder: the list is empty
}

int usb_add_image_to_reject_list(const char *)
{
    return 0; // placeholder: nothing is remembered
}

int yesno_question(const char *)
{
    return 0; // placeholder: no answer counts as no
}
