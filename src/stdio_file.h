// An owned stdio stream: closed when it goes out of scope, so early
// returns cannot leak it.
#pragma once
#include <cstdio>
#include <memory>

struct StdioFileCloser {
    void operator()(FILE *file) const { (void)fclose(file); }
};
using File = std::unique_ptr<FILE, StdioFileCloser>;

// fopen's stream, owned; empty when it did not open.
inline File open_file(const char *path, const char *mode)
{
    return File(fopen(path, mode));
}
