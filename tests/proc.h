// SPDX-License-Identifier: ISC
// Starting programs, waiting, and talking UDP to them, for the suite and
// the bench: nothing here knows of tests.
#pragma once

#include <netinet/in.h>
#include <sys/types.h>

#include <functional>
#include <set>
#include <string>
#include <vector>

namespace harness {

using args = std::vector<std::string>;

// Micro- and milliseconds of the monotonic clock, for timing and deadlines.
long long now_us();
long long now_ms();

// The one wait: polls done every few milliseconds, or as soon as fd (where
// given) is readable, until it holds or timeout_ms have passed; whether it
// held.
bool until(int timeout_ms, const std::function<bool()> &done, int fd = -1);

// Waits until the child pid has ended, at once when it does; its exit
// status, or 128 + the signal, or -1 when timeout_ms have passed first.
int reap(pid_t pid, int timeout_ms);

// Where a program's standard output goes: a pipe, a pseudo-terminal (read
// back like a pipe, without output processing), or nowhere: the
// descriptor is closed. A file, when one is named, goes before all three.
enum class output { pipe, pty, closed };

// The one way to start a program: argv in a process group of its own that
// dies with this process (and everything it starts: see harness.h's host),
// standard input from the file in (or /dev/null) or, where in_pipe is
// given, from a pipe whose writing end it receives; standard output into
// file or as to says (*out reads it back, or is -1); standard error to a
// pipe (*err).
pid_t start(const args &argv, output to, const std::string &file, int *out,
    int *err, const std::string &in = "", int *in_pipe = nullptr);

// Reads what fd holds now onto the end of s; false at end of file.
bool drain(int fd, std::string &s);

// The rows of pid's /proc/PID/net/TABLE (udp, netlink), split into their
// columns, of the sockets that pid, or a process it started, holds.
std::vector<std::vector<std::string>> rows(pid_t pid, const char *table);
// The UDP ports that pid, or a process it started, holds sockets on, in
// pid's network namespace.
std::set<int> ports(pid_t pid);
// Waits until ports(pid) holds port, or any port when port is 0; the port,
// or 0 when timeout_ms have passed first.
int bound(pid_t pid, int port, int timeout_ms);
// The descriptors of pid that are sockets.
std::vector<int> socket_fds(pid_t pid);
// pid and the processes it started, and they in turn.
std::vector<pid_t> family(pid_t pid);

// A UDP socket on 127.0.0.1 (or addr), port 0 meaning any, in this
// process's network namespace or in that of the process net.
class udp {
      public:
	explicit udp(int port = 0, bool reuse = false,
	    const char *addr = "127.0.0.1", pid_t net = 0);
	~udp();
	udp(const udp &) = delete;
	udp &operator=(const udp &) = delete;

	int port() const
	{
		return port_;
	}
	// One datagram, or false when none came within timeout_ms.
	bool recv(std::string &data, sockaddr_in *from = nullptr,
	    int timeout_ms = 5000);
	void send(
	    const std::string &data, int port, const char *addr = "127.0.0.1");

      private:
	int fd_ = -1;
	int port_ = 0;
};

// A port that was free a moment ago.
int freeport();

} // namespace harness
