// SPDX-License-Identifier: ISC
// server: listen on one UDP port on every local IPv4 address and print the
// text of each datagram that arrives as one line on standard output.

#include <sys/socket.h>
#include <sys/types.h>

#include <arpa/inet.h>
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

// Anyone can send a datagram, so on a terminal its control bytes are shown
// in caret notation rather than obeyed: nothing received may move the
// cursor, retitle the window or switch the character set.  Tab and bytes
// from 0x80 up pass, so that UTF-8 text stays text.  Returns the length.
size_t caret(const char *text, char *out)
{
	size_t n = 0;
	for (; *text != '\0'; text++) {
		auto c = static_cast<unsigned char>(*text);
		if ((c < 0x20 && c != '\t') || c == 0x7f) {
			out[n++] = '^';
			out[n++] = static_cast<char>(c ^ 0x40);
		} else {
			out[n++] = static_cast<char>(c);
		}
	}
	return n;
}

} // namespace

int main(int argc, char *argv[])
{
	// One byte more than is ever received, so that a full buffer still
	// ends in a zero byte and printing it reads nothing beyond.
	char buf[buflen + 1];
	// The text in caret notation: two bytes at most for each, and the
	// newline.
	char shown[2 * buflen + 1];
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
		size_t len = tty ? caret(buf, shown) : strlen(buf);
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
