// A stand-in launcher for system tests of the management port on the
// virtual switch. No launcher road sets the port up, so this program takes
// commands on the console, one line each, after "mgmt driver> ":
//   setup ALLOW [FILE]  mgmt_port_setup(ALLOW), reading the console's input
//                       from FILE when given (its end is the end of input),
//                       then "mgmt driver: result R flag F" (sig_quit_raised)
//   anything else       run through the shell, to look at the switch
// An empty line or the end of the console's input ends it.
#include "board.h"
#include "mgmt.h"

#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

int main()
{
    (void)sig_init();
    char line[256];
    for (;;) {
        printf("mgmt driver> ");
        fflush(stdout);
        const ssize_t got = read(STDIN_FILENO, line, sizeof line - 1); // one cooked line
        line[got > 0 ? got : 0] = '\0';
        line[strcspn(line, "\r\n")] = '\0';
        int allow = 0;
        char file[200] = "";
        if (line[0] == '\0')
            return 0;
        if (sscanf(line, "setup %d %199s", &allow, file) < 1) {
            (void)run_command(line);
            continue;
        }
        const int console = dup(STDIN_FILENO);
        const int answers = file[0] ? open(file, O_RDONLY) : -1;
        (void)dup2(answers, STDIN_FILENO); // no file: fails, the console stays
        close(answers);
        sig_quit_raised = 0;
        const int result = mgmt_port_setup(uint8_t(allow));
        (void)dup2(console, STDIN_FILENO);
        close(console);
        printf("mgmt driver: result %d flag %d\n", result, int(sig_quit_raised));
    }
}
