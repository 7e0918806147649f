// The debugger of a GDB boot: carried as the first record of the other
// slot's image file, its payload a gzip-compressed executable, which
// becomes /tmp/gdb for the launch.
#pragma once

// Copies the first record of the other slot's file to /tmp/gdb.gz and
// unpacks it to /tmp/gdb. 1 when done, 0 otherwise (message on stderr,
// except for slot 3, which has no other slot, and for a file that ends
// inside the record). The record's CRC is not checked.
int extract_gdb(int slot);
