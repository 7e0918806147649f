// Link-time stand-ins (-Wl,--wrap=system,--wrap=execv) that end the test
// loudly: a unit test must never run a command or replace itself, as a
// launch that got that far would reboot the machine running the tests.
#include <cstdio>
#include <cstdlib>

extern "C" int __wrap_system(const char *command)
{
    fprintf(stderr, "a unit test ran system(\"%s\")\n", command);
    abort();
}

extern "C" int __wrap_execv(const char *path, char *const *)
{
    fprintf(stderr, "a unit test ran execv(\"%s\")\n", path);
    abort();
}
