/*
 * Watches the console UART's line settings inside the virtual machine and
 * reports every change to the runner, which keeps a pty outside with the
 * same settings for onlookers (a test that waits for raw mode before it
 * presses a key, as it would watch the pty of the namespaces' switch). The
 * UART itself shows only its speed and framing on the wire; the line
 * discipline's modes live in the kernel, so they are read here.
 *
 * Usage: ttywatch TTY REPORT   (reports "@vswitch tty ..." lines to REPORT)
 */
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

static void report(FILE *out, const struct termios *t)
{
	fprintf(out, "@vswitch tty %u %u %u %u %u %u ", t->c_iflag, t->c_oflag, t->c_cflag,
		t->c_lflag, (unsigned)cfgetispeed(t), (unsigned)cfgetospeed(t));
	for (int i = 0; i < NCCS; i++)
		fprintf(out, "%02x", t->c_cc[i]);
	fputc('\n', out);
	fflush(out);
}

int main(int argc, char **argv)
{
	if (argc != 3)
		return 2;
	int fd = open(argv[1], O_RDONLY | O_NOCTTY | O_NONBLOCK);
	FILE *out = fopen(argv[2], "w");
	if (fd < 0 || !out)
		return 1;
	struct termios last, now;
	memset(&last, 0, sizeof last);
	/* Often enough that a key waits little for raw mode; seldom enough to leave
	 * the machine's one emulated CPU to the launcher and its programs. */
	const struct timespec pause = { 0, 20 * 1000 * 1000 };
	for (int first = 1;; first = 0) {
		if (tcgetattr(fd, &now) != 0)
			return 1;
		if (first || memcmp(&now, &last, sizeof now) != 0) {
			report(out, &now);
			last = now;
		}
		nanosleep(&pause, NULL);
	}
}
