// SPDX-License-Identifier: ISC
// tossgram: send one 50-byte UDP datagram from a chosen local port, carrying
// a short text (by default "flarn") and its terminating zero byte.

#include <sys/socket.h>

#include <arpa/inet.h>
#include <netinet/in.h>

#include <errno.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

namespace {

constexpr char usage[] = "Usage: tossgram src-port dst-ip dst-port [message]";
constexpr size_t msglen = 50;

// "%d" leaves a number beyond int undefined, and one without digits leaves
// the port unset: both are refused rather than sent from a port nobody chose.
bool port(const char *arg, int *p)
{
	char *end = nullptr;
	errno = 0;
	long long n = strtoll(arg, &end, 10);
	if (end == arg || errno == ERANGE || n < INT_MIN || n > INT_MAX)
		return false;
	return sscanf(arg, "%d\n", p) == 1;
}

} // namespace

int main(int argc, char *argv[])
{
	char msg[msglen] = "flarn";
	int sport = 0, dport = 0;

	if (argc != 4 && argc != 5) {
		puts(usage);
		return 1;
	}
	if (argc == 5) {
		// The datagram is always the whole buffer, so a text that would
		// not fit with its terminator is refused, never cut.
		if (strlen(argv[4]) >= msglen) {
			puts(usage);
			return 1;
		}
		strcpy(msg, argv[4]);
	}
	if (!port(argv[1], &sport) || !port(argv[3], &dport)) {
		puts(usage);
		return 1;
	}

	int s = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
	if (s < 0) {
		perror("socket");
		return 1;
	}

	sockaddr_in dst{};
	dst.sin_family = AF_INET;
	dst.sin_addr.s_addr = inet_addr(argv[2]);
	dst.sin_port = htons(static_cast<uint16_t>(dport));

	// No address reuse: a source port that another socket holds must fail
	// here, not send from a port shared with someone else.
	sockaddr_in src{};
	src.sin_family = AF_INET;
	src.sin_addr.s_addr = htonl(INADDR_ANY);
	src.sin_port = htons(static_cast<uint16_t>(sport));
	if (bind(s, reinterpret_cast<sockaddr *>(&src), sizeof src) < 0) {
		perror("bind");
		return 1;
	}

	if (sendto(s, msg, sizeof msg, 0, reinterpret_cast<sockaddr *>(&dst),
	        sizeof dst) < 0) {
		perror("sendto");
		return 1;
	}
	return 0;
}
