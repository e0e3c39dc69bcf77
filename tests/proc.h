// SPDX-License-Identifier: ISC
// Starting programs, waiting, and talking UDP to them, for the suite and
// the bench: nothing here knows of tests.
#pragma once

#include <netinet/in.h>
#include <sys/types.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

namespace harness {

using args = std::vector<std::string>;

long long now_us(); // of the monotonic clock
long long now_ms();

// The one wait: polls done every 5 ms, or as soon as fd (where given) is
// readable, until it holds or timeout_ms have passed; whether it held.
bool until(int timeout_ms, const std::function<bool()> &done, int fd = -1);
// The child's exit status once it ends (128 + the signal that killed it),
// or -1 when timeout_ms pass first.
int reap(pid_t pid, int timeout_ms);

// Standard output: a pipe, a pseudo-terminal read back like one, closed.
enum class output { pipe, pty, closed };

// The one way to start a program: in a process group of its own that dies
// with this process; stdin from the file in (or /dev/null), or a pipe that
// *in_pipe writes to; stdout into file, or as to says (*out reads it, or is
// -1); stderr to a pipe (*err).
pid_t start(const args &argv, output to, const std::string &file, int *out,
    int *err, const std::string &in = "", int *in_pipe = nullptr);

// text with its first "{}" replaced by n.
std::string fill(std::string text, long n);
// A file's bytes, "" where it cannot be read.
std::string slurp(const std::string &path);
// The names in a folder.
std::vector<std::string> entries(const std::string &dir);
// pid and the processes it started, and they in turn.
std::vector<pid_t> family(pid_t pid);
// The inodes of pid's sockets, by descriptor.
std::map<int, std::string> sockets(pid_t pid);
// The rows of /proc/PID/net/TABLE (udp, netlink), split into columns, of
// the sockets of pid's family.
std::vector<std::vector<std::string>> rows(pid_t pid, const char *table);
// Waits until pid's family holds UDP port, or any when port is 0: the
// port, or 0 when timeout_ms pass first.
int bound(pid_t pid, int port, int timeout_ms);

// A UDP socket on 127.0.0.1 (or addr), port 0 meaning any, in this
// process's network namespace or in that of the process net.
class udp {
      public:
	explicit udp(int port = 0, bool reuse = false,
	    const char *addr = "127.0.0.1", pid_t net = 0);
	~udp();
	udp(const udp &) = delete;
	udp &operator=(const udp &) = delete;

	// One datagram, or false when none came within timeout_ms.
	bool recv(std::string &data, sockaddr_in *from = nullptr,
	    int timeout_ms = 5000);
	void send(
	    const std::string &data, int port, const char *addr = "127.0.0.1");

	int port = 0; // the one it is bound to

      private:
	int fd_ = -1;
};

// A port that was free a moment ago.
int freeport();

} // namespace harness
