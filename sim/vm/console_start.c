/*
 * Starts the launcher on the console as a switch's init does: in a session
 * of its own with the console as its controlling terminal, every signal at
 * its default. The machine's init is a shell, which starts background
 * commands with SIGINT and SIGQUIT ignored; a program started that way would
 * keep them ignored across exec, so Ctrl-C would never reach it.
 *
 * Usage: console_start TTY STDERR PROGRAM [ARGS]   (STDERR: a path, or - for TTY)
 */
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/ioctl.h>
#include <unistd.h>

int main(int argc, char **argv)
{
	if (argc < 4)
		return 2;
	for (int sig = 1; sig < NSIG; sig++)
		signal(sig, SIG_DFL);
	sigset_t none;
	sigemptyset(&none);
	sigprocmask(SIG_SETMASK, &none, NULL);
	if (setsid() < 0) {
		perror("console_start: setsid");
		return 1;
	}
	int tty = open(argv[1], O_RDWR);
	if (tty < 0 || ioctl(tty, TIOCSCTTY, 0) != 0) {
		perror("console_start: console");
		return 1;
	}
	int err = strcmp(argv[2], "-") == 0 ? tty : open(argv[2], O_WRONLY);
	if (err < 0) {
		perror("console_start: stderr");
		return 1;
	}
	dup2(tty, 0);
	dup2(tty, 1);
	dup2(err, 2);
	if (tty > 2)
		close(tty);
	if (err > 2 && err != tty)
		close(err);
	execv(argv[3], argv + 3);
	perror("console_start: exec");
	return 127;
}
