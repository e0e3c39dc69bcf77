// SPDX-License-Identifier: ISC
// server: listen on one UDP port on every local IPv4 address and print the
// text of each datagram that arrives as one line on standard output.

#include <sys/socket.h>

#include <netdb.h>
#include <netinet/in.h>

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <unistd.h>

namespace {

constexpr size_t buflen = 1024;
constexpr char usage[] = "usage: %s <port>\n";

[[noreturn]] void error(const char *msg)
{
	perror(msg);
	exit(1);
}

// Length of the well-formed UTF-8 sequence that s begins with, or 0.  A
// zero byte is never a continuation byte, so this stops at the text's end.
size_t utf8(const unsigned char *s)
{
	unsigned char lo = 0x80, hi = 0xbf;
	size_t n = 0;
	if (s[0] >= 0xc2 && s[0] <= 0xdf)
		n = 2;
	else if (s[0] >= 0xe0 && s[0] <= 0xef)
		n = 3;
	else if (s[0] >= 0xf0 && s[0] <= 0xf4)
		n = 4;
	else
		return 0;
	// No overlong forms, no surrogates, nothing beyond U+10FFFF.
	if (s[0] == 0xe0)
		lo = 0xa0;
	else if (s[0] == 0xed)
		hi = 0x9f;
	else if (s[0] == 0xf0)
		lo = 0x90;
	else if (s[0] == 0xf4)
		hi = 0x8f;
	for (size_t i = 1; i < n; i++, lo = 0x80, hi = 0xbf)
		if (s[i] < lo || s[i] > hi)
			return 0;
	return n;
}

// One byte as cat -v shows it: "M-" for the high bit, then "^" and the
// byte with bit 0x40 flipped for a control.  Returns the length, 4 at most.
size_t visible(unsigned char c, char *out)
{
	size_t n = 0;
	if (c >= 0x80) {
		out[n++] = 'M';
		out[n++] = '-';
		c &= 0x7f;
	} else if (c == '\t') {
		out[n++] = '\t';
		return n;
	}
	if (c < 0x20 || c == 0x7f) {
		out[n++] = '^';
		c ^= 0x40;
	}
	out[n++] = static_cast<char>(c);
	return n;
}

// Anyone can send a datagram, so on a terminal its control characters are
// shown rather than obeyed: nothing received may move the cursor, clear
// the screen, retitle the window or switch the character set.  C0 and DEL
// are shown in caret notation, C1 (U+0080 to U+009F in UTF-8, and any byte
// 0x80 to 0x9F outside a well-formed sequence) in cat -v notation.  Tab
// and all other UTF-8 text pass, and so do bytes from 0xa0 up outside any
// sequence, which no terminal obeys.  Returns the length.
size_t show(const char *text, char *out)
{
	auto s = reinterpret_cast<const unsigned char *>(text);
	size_t n = 0;
	while (*s != '\0') {
		size_t len = utf8(s);
		if (len == 2 && s[0] == 0xc2 && s[1] < 0xa0) {
			n += visible(s[0], out + n);
			n += visible(s[1], out + n);
		} else if (len == 0 &&
		    (*s < 0x20 || (*s >= 0x7f && *s < 0xa0))) {
			n += visible(*s, out + n);
			len = 1;
		} else {
			len = len > 0 ? len : 1;
			memcpy(out + n, s, len);
			n += len;
		}
		s += len;
	}
	return n;
}

} // namespace

int main(int argc, char *argv[])
{
	// One byte more than is ever received, so that a full buffer still
	// ends in a zero byte and printing it reads nothing beyond.
	char buf[buflen + 1];
	// The text as a terminal is shown it: four bytes at most for each
	// ("M-^["), and the newline.
	char shown[4 * buflen + 1];
	sockaddr_in addr{}, peer{};
	socklen_t peerlen = 0;
	int reuse = 1;

	// Started with a standard descriptor closed, the socket would take
	// its number and the lines would go into the socket.
	for (int fd = 0; fd <= 2; fd++)
		if (fcntl(fd, F_GETFD) < 0 && open("/dev/null", O_RDWR) != fd)
			error("ERROR opening /dev/null");

	if (argc != 2) {
		fprintf(stderr, usage, argv[0]);
		exit(1);
	}
	// atoi leaves a number beyond int undefined: refuse it.  Anything
	// else that atoi takes, a word without digits among it, stands.
	errno = 0;
	long long n = strtoll(argv[1], nullptr, 10);
	if (errno == ERANGE || n < INT_MIN || n > INT_MAX) {
		fprintf(stderr, usage, argv[0]);
		exit(1);
	}
	int port = atoi(argv[1]);
	bool tty = isatty(STDOUT_FILENO);

	int s = socket(AF_INET, SOCK_DGRAM, 0);
	if (s < 0)
		error("ERROR opening socket");
	setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse);

	bzero(&addr, sizeof addr);
	addr.sin_family = AF_INET;
	addr.sin_addr.s_addr = htonl(INADDR_ANY);
	addr.sin_port = htons(static_cast<uint16_t>(port));
	if (bind(s, reinterpret_cast<sockaddr *>(&addr), sizeof addr) < 0)
		error("ERROR on binding");

	peerlen = sizeof peer;
	for (;;) {
		// Zeroed every time: the text is whatever stands before the
		// first zero byte, and a short datagram must not show the
		// tail of a longer one before it.
		bzero(buf, sizeof buf);
		if (recvfrom(s, buf, buflen, 0,
		        reinterpret_cast<sockaddr *>(&peer), &peerlen) < 0)
			error("ERROR in recvfrom");
		if (gethostbyaddr(&peer.sin_addr, sizeof peer.sin_addr,
		        AF_INET) == nullptr)
			error("ERROR on gethostbyaddr");

		char *line = tty ? shown : buf;
		size_t len = tty ? show(buf, shown) : strlen(buf);
		line[len++] = '\n';
		// The line and its newline in one write, out at once: the
		// receiver only ever ends by a signal, which would lose what
		// stdio still holds, and a pipe reader wants each line as it
		// comes.  A full disk or a pipe without a reader ends the
		// receiver rather than losing every line without a word.
		if (fwrite(line, 1, len, stdout) != len ||
		    fflush(stdout) == EOF)
			error("ERROR writing to standard output");
	}
}
