/*
 * Watches the console UART's line settings inside the virtual machine for
 * the runner, which keeps a pty outside with the same settings for
 * onlookers (a test that waits for raw mode before it presses a key, as it
 * watches the pty of the namespaces' switch). The UART shows only its speed
 * and framing on the wire; the line discipline's modes live in the kernel,
 * so they are read here.
 *
 * Every change seen is reported, and the runner may ask for the settings of
 * this moment: it does so after console output, when the launcher may have
 * left raw mode and come back faster than any polling sees. A request is a
 * line with a number; the answer carries it.
 *
 * Usage: ttywatch TTY CHANNEL   (reports "@vswitch tty N ..." lines on CHANNEL,
 *                                N the request answered, or 0)
 */
#include <fcntl.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <termios.h>
#include <unistd.h>

/* Often enough that a change is seen soon, seldom enough to leave the
 * machine's one emulated CPU to the launcher and its programs. */
#define POLL_MS 20

static void report(int out, unsigned long request, const struct termios *t)
{
	char line[256];
	int n = snprintf(line, sizeof line, "@vswitch tty %lu %u %u %u %u %u %u ", request,
			 t->c_iflag, t->c_oflag, t->c_cflag, t->c_lflag,
			 (unsigned)cfgetispeed(t), (unsigned)cfgetospeed(t));
	for (int i = 0; i < NCCS && n + 3 < (int)sizeof line; i++)
		n += snprintf(line + n, sizeof line - n, "%02x", t->c_cc[i]);
	line[n++] = '\n';
	(void)!write(out, line, n);
}

/* The last request number in what came in, or 0 when none. */
static unsigned long take_requests(int channel)
{
	char buf[128];
	ssize_t got = read(channel, buf, sizeof buf - 1);
	if (got <= 0)
		return 0;
	buf[got] = '\0';
	unsigned long last = 0;
	for (char *line = strtok(buf, "\n"); line; line = strtok(NULL, "\n"))
		last = strtoul(line, NULL, 10);
	return last;
}

int main(int argc, char **argv)
{
	if (argc != 3)
		return 2;
	int tty = open(argv[1], O_RDONLY | O_NOCTTY | O_NONBLOCK);
	int channel = open(argv[2], O_RDWR | O_NOCTTY);
	if (tty < 0 || channel < 0)
		return 1;
	struct termios raw;
	if (tcgetattr(channel, &raw) == 0) { /* requests arrive as they are sent */
		cfmakeraw(&raw);
		tcsetattr(channel, TCSANOW, &raw);
	}
	struct termios last, now;
	memset(&last, 0, sizeof last);
	for (int first = 1;; first = 0) {
		struct pollfd wait = { channel, POLLIN, 0 };
		unsigned long request = 0;
		if (poll(&wait, 1, POLL_MS) > 0)
			request = take_requests(channel);
		if (tcgetattr(tty, &now) != 0)
			return 1;
		if (first || request || memcmp(&now, &last, sizeof now) != 0) {
			report(channel, request, &now);
			last = now;
		}
	}
}
