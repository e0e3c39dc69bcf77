// SPDX-License-Identifier: ISC
// The floor of a sender: a static program that makes the three socket
// calls and nothing else of its own.  floor SRC-PORT DST-PORT sends 50
// bytes to 127.0.0.1.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <sys/socket.h>

int main(int argc, char *argv[])
{
	if (argc != 3)
		return 2;
	char msg[50] = "flarn";
	int s = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
	sockaddr_in a{};
	a.sin_family = AF_INET;
	a.sin_port = htons(static_cast<uint16_t>(atoi(argv[1])));
	if (bind(s, reinterpret_cast<sockaddr *>(&a), sizeof a) < 0)
		return 1;
	a.sin_port = htons(static_cast<uint16_t>(atoi(argv[2])));
	a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
	return sendto(s, msg, sizeof msg, 0, reinterpret_cast<sockaddr *>(&a),
	           sizeof a) < 0;
}
