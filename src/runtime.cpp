// The C++ runtime's default terminate handler prints the uncaught
// exception's type through the runtime's demangler, which alone would add
// about 40 KB to the launcher a switch carries. The launcher catches what
// it can recover from; anything else ends the process as the default
// handler would, with a plain line on the console instead of a demangled
// name.
#include <cstdlib>
#include <unistd.h>

namespace __gnu_cxx {

void __verbose_terminate_handler()
{
    static const char kLine[] = "launcher: terminated by an uncaught C++ exception\n";
    (void)!write(STDERR_FILENO, kLine, sizeof kLine - 1);
    abort();
}

} // namespace __gnu_cxx
